// Messages the server builds about itself and its devices, and the fields
// they share.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <arpa/inet.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "ovusbd/core/config.h"
#include "ovusbd/core/coresettings.h"
#include "ovusbd/core/deviceannounce.h"
#include "ovusbd/core/log.h"
#include "ovusbd/core/nicknames.h"
#include "ovusbd/core/servermessages.h"
#include "tests/support/ovclient.h"

namespace {

class ServerMessages : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/ovusbd-msg.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        logStream_ = fopen((dir_ + "/log.txt").c_str(), "a");
        setLogFile(logStream_);
        settings_.serverSerial = strdup("SER-1");
        installCoreSettings(&settings_);
        nicknameList = createLockedList();
    }
    void TearDown() override {
        clearLockedList(nicknameList, freeItem);
        destroyLockedList(nicknameList);
        nicknameList = nullptr;
        installCoreSettings(nullptr);
        freeCoreSettings(&settings_);
        freeConfigStore();
        setLogFile(nullptr);
        fclose(logStream_);
        std::string cmd = "rm -rf " + dir_;
        EXPECT_EQ(system(cmd.c_str()), 0);
    }
    void config(const std::string& text) {
        std::ofstream(dir_ + "/config.ini") << text;
        ASSERT_TRUE(loadConfig((dir_ + "/config.ini").c_str(), true));
    }
    std::string log() const {
        std::ifstream in(dir_ + "/log.txt");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    void nickname(uint32_t vendor, uint32_t product, uint32_t address, const char* serial, const char* name) {
        auto* n = static_cast<DeviceNickname*>(calloc(1, sizeof(DeviceNickname)));
        n->vendorId = vendor;
        n->productId = product;
        n->address = address;
        strcpy(n->serial, serial);
        strcpy(n->nickname, name);
        appendToLockedList(nicknameList, n);
    }
    CoreSettings settings_;
    std::string dir_;
    FILE* logStream_ = nullptr;
};

ovclient::Message toClient(MessageHeader* m) {
    ovclient::Message out;
    out.type = m->type;
    out.deviceAddress = m->deviceAddress;
    out.context[0] = m->context1;
    out.payload.assign(messagePayload(m), messagePayload(m) + m->payloadLength);
    freeMessage(m);
    return out;
}

TEST_F(ServerMessages, Base58Decoding) {
    struct Case {
        const char* text;
        size_t width;
        bool ok;
        std::vector<uint8_t> value;
    };
    const Case cases[] = {
        {"", 4, true, {0, 0, 0, 0}},
        {"1111", 4, true, {0, 0, 0, 0}},
        {"2", 4, true, {0, 0, 0, 1}},
        {"z", 4, true, {0, 0, 0, 57}},
        {"21", 4, true, {0, 0, 0, 58}},
        {"7YXq9G", 4, true, {0xff, 0xff, 0xff, 0xff}},   // 2^32 - 1
        {"7YXq9H", 4, false, {0, 0, 0, 0}},              // 2^32: does not fit
        {"0", 4, false, {0, 0, 0, 0}},                   // not in the alphabet
        {"O", 4, false, {0, 0, 0, 0}},
        {"l", 4, false, {0, 0, 0, 0}},
        {"2\xc3", 4, false, {0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<uint8_t> out(c.width, 0xAA);
        EXPECT_EQ(decodeBase58(c.text, out.data(), c.width), c.ok);
        EXPECT_EQ(out, c.value);
    }
}

TEST_F(ServerMessages, ServerNamePlaceholders) {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    struct Case {
        const char* value;
        std::string expected;
    };
    const Case cases[] = {
        {"Hub-$HOSTNAME$", std::string("Hub-") + host},
        {"$SERIAL$ box", "SER-1 box"},
        {"$HOSTNAME$ $SERIAL$", std::string(host) + " $SERIAL$"},  // only one kind is replaced
        {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        config(std::string("ServerName=") + c.value + "\n");
        char name[128];
        makeServerName(name);
        EXPECT_EQ(std::string(name), c.expected);
        freeConfigStore();
    }
    config("ServerName=" + std::string(300, 'n') + "\n");
    char name[128];
    makeServerName(name);
    EXPECT_EQ(strlen(name), 127u);
}

TEST_F(ServerMessages, ServerInformationLayout) {
    config("ServerName=Info\nTrovix=1\nTrovixId=2\nTrovixPin=21\n");
    ovclient::Message m = toClient(buildServerInfoMessage());
    EXPECT_EQ(m.type, kMsgServerInfo);
    ASSERT_EQ(m.payload.size(), 192u);
    ovclient::ServerInfo info;
    ASSERT_TRUE(ovclient::parseServerInfo(m, &info));
    EXPECT_EQ(info.serverName, "Info");
    EXPECT_EQ(info.trovixEnabled, 1);
    EXPECT_EQ(ovclient::fixedText(m.payload.data(), 128), "Info");
    EXPECT_EQ(ovclient::fixedText(m.payload.data() + 128, 37), "SER-1");
    EXPECT_EQ(m.payload[169], 1);
    EXPECT_EQ(m.payload[170], 1);
    EXPECT_EQ(m.payload[171 + 15], 1);
    EXPECT_EQ(m.payload[187 + 3], 58);
    freeConfigStore();
    // "DisableTrovix" empties the hello reply's Trovix block only: byte 169
    // stays 1 and the identity follows.
    config("DisableTrovix=1\nTrovix=1\nTrovixId=2\nTrovixPin=21\n");
    m = toClient(buildServerInfoMessage());
    EXPECT_EQ(m.payload[169], 1);
    EXPECT_EQ(m.payload[170], 1);
    EXPECT_EQ(m.payload[171 + 15], 1);
    EXPECT_EQ(m.payload[187 + 3], 58);
    EXPECT_EQ(m.payload[191], 0);
    const uint8_t uuid[16] = {};
    MessageHeader* hello = newMessage({.type = kMsgHello});
    ovclient::Message reply = toClient(buildHelloReply(hello, uuid, "eth0"));
    for (size_t i = 700; i < 723; i++) {
        EXPECT_EQ(reply.payload[i], 0) << i;
    }
    freeConfigStore();
    config("Trovix=1\n");
    reply = toClient(buildHelloReply(hello, uuid, "eth0"));
    EXPECT_EQ(reply.payload[700], 1);
    EXPECT_EQ(reply.payload[701], 1);
    freeMessage(hello);
}

TEST_F(ServerMessages, TextAndBindResult) {
    config("");
    ovclient::Message text = toClient(buildTextMessage("hello there"));
    EXPECT_EQ(text.type, kMsgTextNotice);
    EXPECT_EQ(std::string(text.payload.begin(), text.payload.end()), std::string("hello there", 12));
    std::string notice;
    ASSERT_TRUE(ovclient::parseTextNotice(text, &notice));
    EXPECT_EQ(notice, "hello there");

    std::vector<uint8_t> descriptors(kDeviceDescriptorsSize, 0);
    descriptors[0] = 18;
    descriptors[kDeviceDescriptorsSize - 1] = 0x5A;
    ovclient::Message bind = toClient(buildBindResultMessage(112, 3, descriptors.data(), "SN1", "Widget", -7));
    ovclient::BindResult result;
    ASSERT_TRUE(ovclient::parseBindResult(bind, &result));
    EXPECT_EQ(result.result, -7);
    EXPECT_EQ(result.speed, 3);
    EXPECT_EQ(result.address, 112u);
    EXPECT_EQ(result.product, "Widget");
    EXPECT_EQ(result.serial, "SN1");
    EXPECT_EQ(result.serverSerial, "SER-1");
    EXPECT_EQ(bind.payload[5], 18);
    EXPECT_EQ(bind.payload[5 + kDeviceDescriptorsSize - 1], 0x5A);
}

// A device descriptor, a configuration descriptor, then the walk to the
// first interface descriptor.
std::vector<uint8_t> descriptorsWith(std::vector<std::vector<uint8_t>> after) {
    std::vector<uint8_t> d(kDeviceDescriptorsSize, 0);
    d[0] = 18;
    d[1] = 1;
    d[17] = 1;  // bNumConfigurations
    d[18] = 9;
    d[19] = 2;
    d[22] = 2;  // bNumInterfaces
    size_t at = 27;
    for (auto& block : after) {
        memcpy(d.data() + at, block.data(), block.size());
        at += block.size();
    }
    return d;
}

TEST_F(ServerMessages, DeviceAnnouncementFields) {
    config("");
    settings_.hideClientInfo = true;
    nickname(0x1234, 0x5678, 0, "", "printer");
    // An interface association descriptor before the interface is stepped over.
    auto d = descriptorsWith({{8, 11, 0, 2, 0xE, 1, 0, 0}, {9, 4, 0, 0, 1, 0xE, 2, 3, 0}});
    sockaddr_storage bound{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&bound);
    v4->sin_family = AF_INET;
    inet_pton(AF_INET, "10.1.2.3", &v4->sin_addr);
    uint8_t uuid[16];
    memset(uuid, 0x42, 16);
    MessageHeader* request = allocMessage(0, kMsgDeviceListRequest, 0, 0, 7, 8, 99, 10, 11, 12);
    ovclient::Message m = toClient(buildDeviceAnnounceMessage(112, 0x1234, 0x5678, 2, "Acme", "Printer",
                                                              std::string(200, 's').c_str(), d.data(), uuid, &bound,
                                                              "client-a", "detail-a", request));
    freeMessage(request);
    ovclient::DeviceAnnouncement a;
    ASSERT_TRUE(ovclient::parseDeviceAnnouncement(m, &a));
    EXPECT_EQ(m.context[0], 7u);
    EXPECT_EQ(m.deviceAddress, 99u);
    EXPECT_EQ(a.vendorId, 0x1234);
    EXPECT_EQ(a.address, 112u);
    EXPECT_EQ(a.state, 2);
    EXPECT_EQ(a.nickname, "printer");
    EXPECT_EQ(a.serial, std::string(127, 's'));
    EXPECT_EQ(a.clientText, "client-a");
    EXPECT_EQ(a.clientDetail, "detail-a");
    EXPECT_EQ(m.payload[153], 10);
    EXPECT_EQ(m.payload[156], 3);
    EXPECT_EQ(m.payload[221], 1);
    EXPECT_EQ(m.payload[222], 2);
    EXPECT_EQ(m.payload[223], 0xE);
    EXPECT_EQ(m.payload[224], 2);
    EXPECT_EQ(m.payload[225], 3);
    EXPECT_EQ(m.payload[498], 1);
    settings_.hideClientInfo = false;

    // A zero length stops the walk with an error line; running off the end
    // leaves the class bytes zero and reads nothing beyond the descriptors.
    auto empty = descriptorsWith({{0, 5, 1, 2, 3, 4, 5, 6}});
    m = toClient(buildDeviceAnnounceMessage(5, 1, 2, 0, "", "", "", empty.data(), nullptr, nullptr, nullptr, nullptr,
                                            nullptr));
    EXPECT_NE(log().find("Empty descriptor for device at address 5!"), std::string::npos);
    EXPECT_EQ(m.payload[223], 4);  // bytes 5 to 7 of where the walk stopped
    std::vector<uint8_t> noInterface(kDeviceDescriptorsSize, 255);
    noInterface[28] = 1;
    m = toClient(buildDeviceAnnounceMessage(6, 1, 2, 0, "", "", "", noInterface.data(), nullptr, nullptr, nullptr,
                                            nullptr, nullptr));
    EXPECT_EQ(m.payload[223], 0);
}

TEST_F(ServerMessages, NicknameLookupRules) {
    config("");
    nickname(0, 0, 5, "SERIAL-9", "by serial");
    nickname(0xFFFF, 0xFFFF, 42, "", "by address");
    nickname(0x1111, 0x2222, 0, "", "any address");
    nickname(0x3333, 0x4444, 7, "", "one address");
    struct Case {
        uint32_t address;
        uint16_t vendor, product;
        const char* serial;
        const char* expected;
    };
    const Case cases[] = {
        {1, 0x9999, 0x9999, "SERIAL-9", "by serial"},
        {42, 0x9999, 0x9999, "", "by address"},
        {3, 0x1111, 0x2222, "", "any address"},
        {7, 0x3333, 0x4444, "", "one address"},
        {8, 0x3333, 0x4444, "", "unchanged"},
        {42, 0x1111, 0x2222, "OTHER", "by address"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        char out[64] = "unchanged";
        lookupDeviceNickname(c.address, c.product, c.vendor, c.serial, out);
        EXPECT_STREQ(out, c.expected);
    }
}

} // namespace
