// Random generators, MD5 and RC4.
#include "sys/thread"

#include <mbedtls/md5.h>

#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::string Hex(const uint8_t* bytes, size_t length)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < length; i++) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

std::vector<uint8_t> Unhex(const std::string& text)
{
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return bytes;
}

// MD5 of data given to Md5Update in pieces whose sizes cycle through steps.
std::string Md5Pieces(const std::string& data, const std::vector<size_t>& steps)
{
    MD5_CONTEXT context;
    Md5Init(&context);
    size_t offset = 0;
    for (size_t i = 0; offset < data.size(); i++) {
        size_t take = std::min(steps[i % steps.size()], data.size() - offset);
        Md5Update(&context, data.data() + offset, take);
        offset += take;
    }
    uint8_t digest[MD5_DIGEST_SIZE];
    Md5Final(&context, digest);
    return Hex(digest, sizeof(digest));
}

} // namespace

// The test suite of RFC 1321, whole and in uneven pieces.
TEST(Md5, Rfc1321Suite)
{
    struct Case {
        const char* message;
        const char* digest;
    };
    const Case cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    const std::vector<std::vector<size_t>> pieces = {{1000}, {1}, {3, 7, 1}, {63, 2}, {64}, {65, 0, 13}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        for (const std::vector<size_t>& steps : pieces)
            EXPECT_EQ(Md5Pieces(c.message, steps), c.digest);
    }
}

// Every padding boundary (55, 56, 63, 64, 119, 120 ... bytes), checked
// against mbedTLS.
TEST(Md5, LengthsAcrossBlockBoundaries)
{
    std::string data;
    for (int i = 0; i < 300; i++)
        data += static_cast<char>(i * 7 + 3);
    for (size_t length = 0; length <= data.size(); length++) {
        uint8_t expected[16];
        ASSERT_EQ(mbedtls_md5_ret(reinterpret_cast<const unsigned char*>(data.data()), length, expected), 0);
        std::string part = data.substr(0, length);
        EXPECT_EQ(Md5Pieces(part, {5, 1, 17}), Hex(expected, 16)) << length;
        EXPECT_EQ(Md5Pieces(part, {length + 1}), Hex(expected, 16)) << length;
    }
}

TEST(Md5, TransformIsOneBlock)
{
    // One block of the padded empty message gives the empty digest's words.
    uint8_t block[64] = {0x80};
    MD5_CONTEXT context;
    Md5Init(&context);
    Md5Transform(&context, block);
    uint8_t digest[16];
    for (int i = 0; i < 16; i++)
        digest[i] = static_cast<uint8_t>(context.state[i / 4] >> (8 * (i % 4)));
    EXPECT_EQ(Hex(digest, 16), "d41d8cd98f00b204e9800998ecf8427e");
}

// Key streams of RFC 6229 at some of its offsets.
TEST(Rc4, Rfc6229Vectors)
{
    struct Case {
        const char* key;
        size_t offset;
        const char* stream;
    };
    const Case cases[] = {
        {"0102030405", 0, "b2396305f03dc027ccc3524a0a1118a8"},
        {"0102030405", 16, "6982944f18fc82d589c403a47a0d0919"},
        {"0102030405", 240, "28cb1132c96ce286421dcaadb8b69eae"},
        {"0102030405", 256, "1cfcf62b03eddb641d77dfcf7f8d8c93"},
        {"0102030405", 1520, "3294f744d8f9790507e70f62e5bbceea"},
        {"0102030405", 4096, "ff25b58995996707e51fbdf08b34d875"},
        {"0102030405060708090a0b0c0d0e0f10", 0, "9ac7cc9a609d1ef7b2932899cde41b97"},
        {"0102030405060708090a0b0c0d0e0f10", 16, "5248c4959014126a6e8a84f11d1a9e1c"},
        {"0102030405060708090a0b0c0d0e0f10", 3072, "c05d88abd50357f935a63c59ee537623"},
        {"0102030405060708090a0b0c0d0e0f10", 4096, "a36a4c301ae8ac13610ccbc12256cacc"},
        {"0102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f20", 0,
         "eaa6bd25880bf93d3f5d1e4ca2611d91"},
        {"0102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f20", 4096,
         "f3e4c0a2e02d1d01f7f0a74618af2b48"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " @" + std::to_string(c.offset));
        std::vector<uint8_t> key = Unhex(c.key);
        size_t length = c.offset + 16;

        // To a separate buffer: zeros in, key stream out; input untouched.
        RC4_STATE state;
        Rc4Init(&state, key.data(), key.size());
        std::vector<uint8_t> zeros(length, 0);
        std::vector<uint8_t> stream(length, 0xAA);
        Rc4Crypt(&state, zeros.data(), stream.data(), length);
        EXPECT_EQ(Hex(stream.data() + c.offset, 16), c.stream);
        EXPECT_EQ(zeros, std::vector<uint8_t>(length, 0));

        // In place, in uneven pieces (the 8-byte steps and their remainders).
        Rc4Init(&state, key.data(), key.size());
        std::vector<uint8_t> buffer(length, 0);
        size_t done = 0;
        for (size_t step = 1; done < length; step = step % 13 + 3) {
            size_t take = std::min(step, length - done);
            Rc4Crypt(&state, buffer.data() + done, buffer.data() + done, take);
            done += take;
        }
        EXPECT_EQ(buffer, stream);
    }
}

TEST(Rc4, TwiceRestoresInput)
{
    const char text[] = "The quick brown fox jumps over the lazy dog, 84 bytes of a connect record or so....";
    std::vector<uint8_t> data(text, text + sizeof(text) - 1);
    uint8_t key[128];
    for (int i = 0; i < 128; i++)
        key[i] = static_cast<uint8_t>(i * 31);
    RC4_STATE state;
    Rc4Init(&state, key, sizeof(key));
    std::vector<uint8_t> encrypted(data.size());
    Rc4Crypt(&state, data.data(), encrypted.data(), data.size());
    EXPECT_NE(encrypted, data);
    Rc4Init(&state, key, sizeof(key));
    Rc4Crypt(&state, encrypted.data(), encrypted.data(), encrypted.size());
    EXPECT_EQ(encrypted, data);

    // An empty key does not crash and schedules like a single zero byte.
    RC4_STATE empty, zero;
    const uint8_t zeroKey = 0;
    Rc4Init(&empty, nullptr, 0);
    Rc4Init(&zero, &zeroKey, 1);
    EXPECT_EQ(memcmp(empty.s, zero.s, sizeof(empty.s)), 0);
}

// The generator's streams are part of the wire protocol: check them against
// the formulas written out independently here.
namespace {

struct ReferenceMwc {
    uint32_t x[4]; // x[0] newest
    uint32_t carry;

    explicit ReferenceMwc(uint32_t seed)
    {
        uint32_t s = seed;
        for (int i = 0; i < 4; i++)
            x[i] = s = s * 29943829u - 1u;
        carry = s * 29943829u - 1u;
        for (int i = 0; i < 19; i++)
            Next();
    }
    uint32_t Next()
    {
        uint64_t sum = 2111111111ull * x[3] + 1492ull * x[2] + 1776ull * x[1] + 5115ull * x[0] + carry;
        x[3] = x[2];
        x[2] = x[1];
        x[1] = x[0];
        x[0] = static_cast<uint32_t>(sum);
        carry = static_cast<uint32_t>(sum >> 32);
        return x[0];
    }
};

} // namespace

TEST(Random, LcgFirstValuesForSeedZero)
{
    RANDOM_STATE state;
    RandomInit(&state, 0);
    EXPECT_EQ(state.lcg, 0u);
    EXPECT_EQ(RandomNextLcg(&state), 0x6E);
    EXPECT_EQ(state.lcg, 0x3C6EF35Fu);
    EXPECT_EQ(RandomNextLcg(&state), 0x50);
    EXPECT_EQ(state.lcg, 0x47502932u);
}

TEST(Random, SeedsGiveTheirStreams)
{
    for (uint32_t seed : {0u, 1u, 0x55u, 0xDEADBEEFu, 0xFFFFFFFFu}) {
        SCOPED_TRACE(seed);
        RANDOM_STATE a, b;
        RandomInit(&a, seed);
        RandomInit(&b, seed);
        ReferenceMwc reference(seed);
        EXPECT_EQ(a.x0, reference.x[0]);
        EXPECT_EQ(a.carry, reference.carry);
        uint32_t lcg = seed;
        for (int i = 0; i < 50; i++) {
            uint32_t value = RandomNextMwc(&a);
            EXPECT_EQ(value, reference.Next());
            EXPECT_EQ(value, RandomNextMwc(&b));
            lcg = lcg * 1664525u + 1013904223u;
            uint8_t byte = RandomNextLcg(&a);
            EXPECT_EQ(byte, static_cast<uint8_t>(lcg >> 16));
            EXPECT_EQ(byte, RandomNextLcg(&b));
        }
    }
    RANDOM_STATE state;
    RandomInit(&state, 1);
    RANDOM_STATE other;
    RandomInit(&other, 2);
    EXPECT_NE(RandomNextMwc(&state), RandomNextMwc(&other));
}

TEST(Random, FillLcg)
{
    RANDOM_STATE state;
    RandomInit(&state, 0);
    uint8_t buffer[128];
    memset(buffer, 0xCC, sizeof(buffer));
    RandomFillLcg(&state, buffer, 0);
    RandomFillLcg(&state, nullptr, 16);
    RandomFillLcg(nullptr, buffer, 16);
    EXPECT_EQ(state.lcg, 0u);
    EXPECT_EQ(buffer[0], 0xCC);

    RandomFillLcg(&state, buffer, sizeof(buffer));
    EXPECT_EQ(buffer[0], 0x6E);
    EXPECT_EQ(buffer[1], 0x50);
    RANDOM_STATE check;
    RandomInit(&check, 0);
    for (uint8_t byte : buffer)
        EXPECT_EQ(byte, RandomNextLcg(&check));
    EXPECT_EQ(state.lcg, check.lcg);
}

TEST(Random, CRandomFills)
{
    CRandom first;
    CRandom second;
    uint8_t a[16] = {};
    uint8_t b[16] = {};
    first.Fill(a, sizeof(a));
    second.Fill(b, sizeof(b));
    // Two generators seeded at different moments give different server ids.
    EXPECT_NE(memcmp(a, b, sizeof(a)), 0);
    uint8_t untouched[4] = {1, 2, 3, 4};
    first.Fill(untouched, 0);
    EXPECT_EQ(untouched[0], 1);
}
