// Trovix identity: the Base58 codec and the identity steps against a real
// configuration store, with the random source replaced.
#include <gtest/gtest.h>

#include <sys/random.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ovusbd/core/config.h"
#include "ovusbd/core/log.h"
#include "ovusbd/trovix/base58.h"
#include "ovusbd/trovix/identity.h"
#include "ovusbd/trovix/trovixsettings.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string encode(const Bytes& b) {
    char out[64];
    EXPECT_GE(encodeBase58(b.data(), b.size(), out, sizeof out), 0);
    return out;
}

TEST(TrovixBase58, ReferenceValues) {
    struct Case {
        Bytes bytes;
        std::string text;
    } cases[] = {
        {{}, ""},
        {{0}, "1"},
        {{0, 0}, "11"},
        {{0x61}, "2g"},
        {{0x62, 0x62, 0x62}, "a3gV"},
        {{0x63, 0x63, 0x63}, "aPEr"},
        {{'H', 'e', 'l', 'l', 'o', ' ', 'W', 'o', 'r', 'l', 'd', '!'}, "2NEpo7TZRRrLZSi2U"},
        {{0, 0, 0x28, 0x7f, 0xb4, 0xcd}, "11233QC4"},
        {{0x00, 0xeb, 0x15, 0x23, 0x1d, 0xfc, 0xeb, 0x60, 0x92, 0x58, 0x86, 0xb6, 0x7d, 0x06, 0x52, 0x99, 0x92, 0x59,
          0x15, 0xae, 0xb1, 0x72, 0xc0, 0x66, 0x47},
         "1NS17iag9jJgTHD1VXjvLCEnZuQ3rJDE9L"},
        {Bytes(16, 0), std::string(16, '1')},
        {{0xff, 0xff, 0xff, 0xff}, "7YXq9G"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(encode(c.bytes), c.text);
        if (c.bytes.size() == 16 || c.bytes.size() == 4) {
            Bytes back(c.bytes.size(), 0xaa);
            ASSERT_TRUE(decodeBase58Fixed(c.text.c_str(), back.data(), back.size())) << c.text;
            EXPECT_EQ(back, c.bytes) << c.text;
        }
    }
}

TEST(TrovixBase58, LongestIdAndPinFitTheirBuffers) {
    char id[30], pin[20];
    Bytes ones(16, 0xff), pinOnes(4, 0xff);
    EXPECT_EQ(encodeBase58(ones.data(), 16, id, sizeof id), 22);
    EXPECT_EQ(encodeBase58(pinOnes.data(), 4, pin, sizeof pin), 6);
    char small[6];
    EXPECT_EQ(encodeBase58(pinOnes.data(), 4, small, sizeof small), -ENOSPC);
}

TEST(TrovixBase58, LeadingZerosRoundTrip) {
    Bytes id = {0, 0, 0, 5, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    std::string text = encode(id);
    EXPECT_EQ(text.substr(0, 3), "111");
    EXPECT_NE(text[3], '1');
    Bytes back(16);
    ASSERT_TRUE(decodeBase58Fixed(text.c_str(), back.data(), 16));
    EXPECT_EQ(back, id);
}

TEST(TrovixBase58, Refusals) {
    const std::string tooBigForPin = encode({1, 0, 0, 0, 0});
    struct Case {
        std::string text;
        size_t width;
    } cases[] = {
        {"0", 16}, {"O", 16}, {"I", 16}, {"l", 16}, {"2g0", 16}, {"abc+", 16}, {"2g\x80", 16}, {"2g\xff", 4},
        {tooBigForPin, 4},
        {std::string(23, 'z'), 16},
    };
    for (const auto& c : cases) {
        Bytes out(c.width, 0x5a);
        EXPECT_FALSE(decodeBase58Fixed(c.text.c_str(), out.data(), c.width)) << c.text;
        EXPECT_EQ(out, Bytes(c.width, 0x5a)) << "touched by a refused text: " << c.text;
    }
    Bytes zero(16, 0x5a);
    EXPECT_TRUE(decodeBase58Fixed("", zero.data(), 16));
    EXPECT_EQ(zero, Bytes(16, 0));
    Bytes ones(4, 0x5a);
    EXPECT_TRUE(decodeBase58Fixed("1111111", ones.data(), 4));
    EXPECT_EQ(ones, Bytes(4, 0));
}

// The random source of the identity steps, scripted per test.
std::vector<Bytes> scriptedDraws;
size_t drawsMade = 0;
ssize_t scriptedRandom(void* buffer, size_t length) {
    const size_t i = drawsMade++;
    if (i >= scriptedDraws.size()) return -EIO;
    const Bytes& d = scriptedDraws[i];
    if (d.empty()) return -EAGAIN;
    memcpy(buffer, d.data(), std::min(length, d.size()));
    return ssize_t(std::min(length, d.size()));
}
int noAddresses(uint32_t*, int) { return 0; }
const TrovixSys kScriptedSys = {noAddresses, scriptedRandom};

class TrovixIdentitySteps : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/ovusbd-trovixid.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        log_ = fopen((dir_ + "/log").c_str(), "a");
        setLogFile(log_);
        trovixSettings = defaultTrovixSettings();
        trovixSettings.sys = &kScriptedSys;
        scriptedDraws.clear();
        drawsMade = 0;
        memset(&unseeded_, 0, sizeof unseeded_);
    }
    void TearDown() override {
        freeConfigStore();
        setLogFile(nullptr);
        fclose(log_);
        trovixSettings = defaultTrovixSettings();
        std::filesystem::remove_all(dir_);
    }
    void load(const std::string& content) {
        std::ofstream(dir_ + "/config.ini") << content;
        ASSERT_TRUE(loadConfig((dir_ + "/config.ini").c_str(), true));
    }
    std::string value(const char* key) {
        char* v = getConfigString(key, nullptr, false);
        std::string s = v != nullptr ? v : "<absent>";
        free(v);
        return s;
    }
    std::string log() {
        fflush(log_);
        std::ifstream in(dir_ + "/log");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::string dir_;
    FILE* log_ = nullptr;
    TrovixRandom unseeded_;
};

TEST_F(TrovixIdentitySteps, FirstStartCreatesAndLaterStartsReuse) {
    load("");
    scriptedDraws = {{0, 0, 0, 0}, {0, 0, 0, 7}};
    TrovixIdentity first{};
    setUpTrovixIdentity(&first, &unseeded_);
    ASSERT_TRUE(first.hasPin);
    EXPECT_EQ(Bytes(first.pin, first.pin + 4), (Bytes{0, 0, 0, 7})) << "an all-zero draw is repeated";
    EXPECT_EQ(value("TrovixPin"), "1118");
    EXPECT_NE(Bytes(first.id, first.id + 16), Bytes(16, 0)) << "the id comes from the kernel's UUID";
    const std::string idText = value("TrovixId");
    Bytes decoded(16);
    ASSERT_TRUE(decodeBase58Fixed(idText.c_str(), decoded.data(), 16));
    EXPECT_EQ(decoded, Bytes(first.id, first.id + 16));

    ASSERT_EQ(saveConfig(), 0);
    freeConfigStore();
    ASSERT_TRUE(loadConfig((dir_ + "/config.ini").c_str(), true));
    drawsMade = 0;
    TrovixIdentity second{};
    setUpTrovixIdentity(&second, &unseeded_);
    EXPECT_EQ(drawsMade, 0u) << "a stored PIN is not drawn again";
    EXPECT_EQ(Bytes(second.id, second.id + 16), Bytes(first.id, first.id + 16));
    EXPECT_EQ(Bytes(second.pin, second.pin + 4), Bytes(first.pin, first.pin + 4));
    EXPECT_EQ(value("TrovixId"), idText);
}

TEST_F(TrovixIdentitySteps, RefusedTextsAreReplacedAndLogged) {
    load("TrovixId=0OIl\nTrovixPin=" + encode({1, 0, 0, 0, 0}) + "\n");
    scriptedDraws = {{1, 2, 3, 4}};
    TrovixIdentity identity{};
    setUpTrovixIdentity(&identity, &unseeded_);
    EXPECT_NE(value("TrovixId"), "0OIl");
    EXPECT_EQ(value("TrovixPin"), encode({1, 2, 3, 4}));
    EXPECT_NE(log().find("Your TrovixId could not be decoded, regenerating..."), std::string::npos) << log();
    EXPECT_NE(log().find("Your TrovixPin could not be decoded, regenerating..."), std::string::npos) << log();
}

TEST_F(TrovixIdentitySteps, EmptyIdIsZeroAndKept) {
    load("TrovixId=\nTrovixPin=2g\n");
    TrovixIdentity identity{};
    memset(identity.id, 0x77, 16);
    setUpTrovixIdentity(&identity, &unseeded_);
    EXPECT_EQ(Bytes(identity.id, identity.id + 16), Bytes(16, 0));
    EXPECT_EQ(value("TrovixId"), "");
    EXPECT_EQ(Bytes(identity.pin, identity.pin + 4), (Bytes{0, 0, 0, 0x61}));
}

// Without a seeded generator and without getrandom, no PIN is stored: a
// fixed or guessable one would be worse.
TEST_F(TrovixIdentitySteps, NoRandomSourceStoresNoPin) {
    struct Case {
        std::vector<Bytes> draws;
    } cases[] = {
        {{}},                                  // every draw fails
        {std::vector<Bytes>(40, {0, 0, 0, 0})},  // only zeros
        {std::vector<Bytes>(40, Bytes{})},     // EAGAIN
    };
    for (const auto& c : cases) {
        load("");
        scriptedDraws = c.draws;
        drawsMade = 0;
        TrovixIdentity identity{};
        setUpTrovixIdentity(&identity, &unseeded_);
        EXPECT_FALSE(identity.hasPin);
        EXPECT_EQ(value("TrovixPin"), "<absent>");
        freeConfigStore();
        std::filesystem::remove(dir_ + "/config.ini");
    }
}

TEST_F(TrovixIdentitySteps, SeededGeneratorGivesThePin) {
    load("");
    TrovixRandom random;
    ASSERT_EQ(seedTrovixRandom(&random), 0);
    TrovixIdentity identity{};
    setUpTrovixIdentity(&identity, &random);
    EXPECT_EQ(drawsMade, 0u) << "getrandom is only the fallback";
    EXPECT_TRUE(identity.hasPin);
    EXPECT_NE(Bytes(identity.pin, identity.pin + 4), Bytes(4, 0));
    freeTrovixRandom(&random);
}

} // namespace
