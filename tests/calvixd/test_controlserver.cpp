// The control server over a real abstract socket, against a core that
// records what it is asked and answers as the golden tables say.
#include <gtest/gtest.h>
#include <sched.h>
#include <grp.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <mutex>
#include <sstream>

#include "calvixd/core/usbcoreiface.h"
#include "tests/calvixd/controlclient.h"
#include "tests/support/controlwire_golden.h"

using namespace controlgolden;
using namespace controlclient;

namespace {

const char NAME[] = "calvixd-test.pipe";

// Abstract socket names belong to the network namespace: use a private one.
bool EnterPrivateNetworkNamespace()
{
    static bool entered = unshare(CLONE_NEWNET) == 0;
    return entered;
}

std::string RulesText(const std::vector<std::string>& rules)
{
    std::string text;
    for (const std::string& rule : rules)
        text += "[" + rule + "]";
    return text;
}

class CRecordingCore : public CCoreRequests {
public:
    uint32_t startupState = 100;
    std::vector<uint8_t> deviceData = DeviceDataBlock();

    std::vector<std::string> Calls()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }
    void ClearCalls()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.clear();
    }

    uint32_t GetStartupState() const override { return startupState; }
    void LogDebug(uint16_t, uint32_t, uint32_t) override {}

    void GetSnapshot(std::vector<DeviceInfo>* devices, std::vector<ConnectionInfo>* connections,
                     std::vector<DeviceClientInfo>* clients) override
    {
        Call("GetSnapshot");
        ConnectionInfo tcp;
        tcp.id = 0;
        tcp.state = 2;
        tcp.lastError = CExceptionEx(1, 0, 0);
        tcp.platformCode = 0x90;
        tcp.name = "0.0.0.0";
        tcp.port = 32032;
        tcp.listenAddress = ADDRESS(static_cast<uint32_t>(0));
        tcp.flags = 0x24;
        connections->push_back(tcp);
        ConnectionInfo client;
        client.id = 0x80000003;
        client.state = 0;
        client.lastError = CExceptionEx(1, 0, 0);
        client.platformCode = 0x10;
        client.name = "desk";
        client.address = ADDRESS("127.0.0.2");
        client.port = 40000;
        client.flags = 0x420;
        connections->push_back(client);

        DeviceInfo d;
        d.id = 7;
        d.clientConnectionId = 0x80000003;
        d.state = 4;
        d.lastError = CExceptionEx(1, 0x10, 0);
        d.flags = 0x224;
        d.clientAddress = ADDRESS("127.0.0.2");
        d.timeout = 30;
        d.usbVersion = 0x0200; // not on the wire
        d.speed = 2;
        d.resetMode = 1;
        d.shareMode = 1; // not on the wire
        d.vendorId = 0x0781;
        d.productId = 0x5567;
        d.bcdDevice = 0x0100;
        d.deviceClass = 8;
        d.subClass = 6;
        d.protocol = 0x50;
        d.name = "Cruzer";
        d.nickname = "stick";
        d.instanceIdentity = "4C53";
        d.serial = "4C53";
        d.port = "1-1.2";
        d.addresses.push_back(ADDRESS("127.0.0.5")); // the list is always sent empty
        devices->push_back(d);

        DeviceClientInfo c;
        c.deviceId = 7;
        c.clientAddress = ADDRESS("127.0.0.2");
        c.clientName = "desk";
        clients->push_back(c);
    }
    void SetTcpPort(uint16_t port) override { Call("SetTcpPort(" + std::to_string(port) + ")"); }
    void SetListenAddress(const ADDRESS& address) override
    {
        Call(std::string("SetListenAddress(") + address.ToString() + ")");
    }
    void SetAutoShareMode(uint32_t mode) override { Call("SetAutoShareMode(" + std::to_string(mode) + ")"); }
    void ShareDevice(uint32_t id, uint32_t parameter) override
    {
        Call("ShareDevice(" + std::to_string(id) + "," + std::to_string(parameter) + ")");
        if (id == 99)
            throw new CExceptionEx(1, 0x123, 1354);
    }
    void UnshareDevice(uint32_t id) override { Call("UnshareDevice(" + std::to_string(id) + ")"); }
    void ConnectDevice(uint32_t id, uint32_t client) override
    {
        Call("ConnectDevice(" + std::to_string(id) + "," + std::to_string(client) + ")");
    }
    void DisconnectDevice(uint32_t id) override { Call("DisconnectDevice(" + std::to_string(id) + ")"); }
    void GetIpFilters(uint8_t* mode, std::vector<std::string>* rules) override
    {
        Call("GetIpFilters");
        *mode = 1;
        *rules = {"127.0.0.0/8", "::1"};
    }
    void SetIpFilters(uint8_t mode, const std::vector<std::string>& rules) override
    {
        Call("SetIpFilters(" + std::to_string(mode) + "," + RulesText(rules) + ")");
    }
    void GetDeviceAcl(uint32_t id, uint8_t* mode, std::vector<std::string>* rules) override
    {
        Call("GetDeviceAcl(" + std::to_string(id) + ")");
        *mode = 2;
        *rules = {"127.0.0.9"};
    }
    void SetDeviceAcl(uint32_t id, uint8_t mode, const std::vector<std::string>& rules) override
    {
        Call("SetDeviceAcl(" + std::to_string(id) + "," + std::to_string(mode) + "," + RulesText(rules) + ")");
    }
    void SetDeviceTimeout(uint32_t id, uint32_t seconds) override
    {
        Call("SetDeviceTimeout(" + std::to_string(id) + "," + std::to_string(seconds) + ")");
    }
    void SetDeviceNickname(uint32_t id, const std::string& nickname) override
    {
        Call("SetDeviceNickname(" + std::to_string(id) + "," + nickname + ")");
    }
    void SetDeviceResetMethod(uint32_t id, uint32_t method) override
    {
        Call("SetDeviceResetMethod(" + std::to_string(id) + "," + std::to_string(method) + ")");
    }
    void GetDeviceData(uint32_t id, std::vector<uint8_t>* block) override
    {
        Call("GetDeviceData(" + std::to_string(id) + ")");
        if (id == 7)
            *block = deviceData;
    }
    uint32_t AddCallbackConnection(const std::string& address, uint16_t port, uint32_t kind) override
    {
        Call("AddCallbackConnection(" + address + "," + std::to_string(port) + "," + std::to_string(kind) + ")");
        return 0xC0000007;
    }
    void RemoveCallbackConnection(uint32_t id) override { Call("RemoveCallbackConnection(" + std::to_string(id) + ")"); }
    void AddExclusion(uint32_t server, uint32_t id) override
    {
        Call("AddExclusion(" + std::to_string(server) + "," + std::to_string(id) + ")");
    }
    void RemoveExclusion(uint32_t server, uint32_t id) override
    {
        Call("RemoveExclusion(" + std::to_string(server) + "," + std::to_string(id) + ")");
    }
    void SetObjectFlags(uint32_t object, uint32_t flags) override
    {
        Call("SetObjectFlags(" + std::to_string(object) + "," + std::to_string(flags) + ")");
    }
    void GetDeviceInstanceId(uint32_t server, uint32_t id, std::string* text) override
    {
        Call("GetDeviceInstanceId(" + std::to_string(server) + "," + std::to_string(id) + ")");
        if (server != 0)
            throw new CExceptionEx(0, 942, 1349);
        *text = "/dev/bus/usb/001/002";
    }
    void GetDevicePolicy(uint8_t selector, uint8_t* mode, std::vector<DevicePolicyRule>* rules) override
    {
        Call("GetDevicePolicy(" + std::to_string(selector) + ")");
        *mode = 1;
        rules->push_back(Rule());
    }
    void SetDevicePolicy(uint8_t selector, uint8_t mode, const std::vector<DevicePolicyRule>& rules) override
    {
        std::string text;
        for (const DevicePolicyRule& r : rules) {
            char fields[64];
            snprintf(fields, sizeof(fields), "%u:%.4x:%.4x:", r.flags, r.vendorId, r.productId);
            text += "[" + std::string(fields) + r.serial + ":" + r.name + "]";
        }
        Call("SetDevicePolicy(" + std::to_string(selector) + "," + std::to_string(mode) + "," + text + ")");
    }
    int RegisterNotifyQueue(int id, const struct ucred&) override
    {
        Call("RegisterNotifyQueue(" + std::to_string(id) + ")");
        return 1;
    }
    void UnregisterNotifyQueue(int id, const struct ucred&) override
    {
        Call("UnregisterNotifyQueue(" + std::to_string(id) + ")");
    }

    static DevicePolicyRule Rule()
    {
        DevicePolicyRule rule;
        rule.flags = 0x81;
        rule.vendorId = 0x0781;
        rule.serial = "4C53";
        rule.name = "sticks";
        return rule;
    }

private:
    void Call(const std::string& text)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.push_back(text);
    }

    std::mutex m_mutex;
    std::vector<std::string> m_calls;
};

std::string Hex(const std::vector<uint8_t>& bytes)
{
    std::ostringstream out;
    char two[4];
    for (size_t i = 0; i < bytes.size(); i++) {
        snprintf(two, sizeof(two), "%02x", bytes[i]);
        out << two << ((i + 1) % 16 == 0 ? "\n" : " ");
    }
    return out.str();
}

class ControlServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!EnterPrivateNetworkNamespace())
            GTEST_SKIP() << "needs root for a private network namespace";
    }
    void StartServer(const CoreIfaceSettings& settings = CoreIfaceSettings())
    {
        server = std::make_unique<CUsbCoreIface>(&core, NAME, "", "", settings);
        ASSERT_EQ(server->Start(), 1);
    }
    // Handshake passed (granted 0); the socket, or -1.
    int Open()
    {
        int fd = Connect(NAME);
        if (fd < 0)
            return -1;
        Send(fd, Hello());
        std::vector<uint8_t> granted = Read(fd, 4);
        if (granted != U32(0)) {
            close(fd);
            return -1;
        }
        return fd;
    }
    // The whole reply to `request`; the stream must end after it.
    std::vector<uint8_t> Exchange(const std::vector<uint8_t>& request)
    {
        int fd = Open();
        EXPECT_GE(fd, 0);
        if (fd < 0)
            return {};
        Send(fd, request);
        std::vector<uint8_t> reply = ReadToEnd(fd);
        close(fd);
        return reply;
    }

    CRecordingCore core;
    std::unique_ptr<CUsbCoreIface> server;
};

} // namespace

TEST_F(ControlServer, GoldenExchanges)
{
    StartServer();
    for (const controlgolden::Exchange& e : Exchanges()) {
        SCOPED_TRACE(e.name);
        core.ClearCalls();
        int fd = Open();
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(Send(fd, e.request));
        std::vector<uint8_t> reply;
        if (!e.followUp.empty()) {
            reply = Read(fd, e.replyBeforeFollowUp);
            ASSERT_EQ(reply.size(), e.replyBeforeFollowUp);
            ASSERT_TRUE(Send(fd, e.followUp));
        }
        std::vector<uint8_t> rest = ReadToEnd(fd);
        reply.insert(reply.end(), rest.begin(), rest.end());
        close(fd);
        EXPECT_EQ(Hex(reply), Hex(e.reply));
        std::vector<std::string> expected;
        if (*e.call)
            expected.push_back(e.call);
        EXPECT_EQ(core.Calls(), expected);
    }
}

// Requests that break off get no reply and change nothing: the stream ends
// right after the handshake. A list that breaks off is not applied in part,
// except a device ACL or policy after its count (below).
TEST_F(ControlServer, CutRequestsCloseWithoutReplyOrChange)
{
    struct Case {
        const char* name;
        Bytes request;
    };
    const Case cases[] = {
        {"code cut", {0x03, 0x10}},
        {"share without device id", U32(SHARE_DEVICE)},
        {"share with half a device id", Cat({U32(SHARE_DEVICE), U16(7)})},
        {"nickname cut in its text", Cat({U32(SET_DEVICE_NICKNAME), U32(0), U32(7), U32(10), {'a', 'b'}})},
        {"filters cut after a rule", Cat({U32(SET_IP_FILTERS), U8(1), U32(2), Text("127.0.0.1")})},
        {"acl cut before its count", Cat({U32(SET_DEVICE_ACL), U32(7), U8(1), U16(3)})},
        {"policy cut before its count", Cat({U32(SET_DEVICE_POLICY), U8(0), U8(1), U16(2)})},
        {"callback cut before the kind", Cat({U32(ADD_CALLBACK), Text("127.0.0.1"), U16(1)})},
        {"exclusion without device id", Cat({U32(ADD_EXCLUSION), U32(0)})},
        {"object flags cut", Cat({U32(SET_OBJECT_FLAGS), U32(0), U32(0)})},
        {"policy listing without selector", U32(GET_DEVICE_POLICY)},
    };
    StartServer();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        core.ClearCalls();
        int fd = Open();
        ASSERT_GE(fd, 0);
        Send(fd, c.request);
        shutdown(fd, SHUT_WR);
        EXPECT_EQ(Hex(ReadToEnd(fd)), "");
        close(fd);
        EXPECT_EQ(core.Calls(), std::vector<std::string>{});
    }
}

// A device ACL or policy that breaks off after its count is applied with
// the rules read whole so far, and the status is sent.
TEST_F(ControlServer, CutRuleListsApplyTheRulesReadSoFar)
{
    struct Case {
        const char* name;
        Bytes request;
        const char* call;
    };
    const Bytes policyRule = PolicyRule();
    const Case cases[] = {
        {"acl cut after two rules", Cat({U32(SET_DEVICE_ACL), U32(7), U8(1), U32(3), Text("a"), Text("b")}), "SetDeviceAcl(7,1,[a][b])"},
        {"acl cut inside a rule", Cat({U32(SET_DEVICE_ACL), U32(7), U8(2), U32(2), Text("a"), U32(5), {'x'}}), "SetDeviceAcl(7,2,[a])"},
        {"acl cut right after the count", Cat({U32(SET_DEVICE_ACL), U32(7), U8(1), U32(2)}), "SetDeviceAcl(7,1,)"},
        {"policy cut in its second rule's fields",
         Cat({U32(SET_DEVICE_POLICY), U8(0), U8(1), U32(2), policyRule, U32(0x1), U16(1)}),
         "SetDevicePolicy(0,1,[129:0781:0000:4C53:sticks])"},
        {"policy cut in its second rule's serial",
         Cat({U32(SET_DEVICE_POLICY), U8(0), U8(1), U32(3), policyRule, U32(0x1), U16(1), U16(2), U8(0), U8(0), U8(0),
              Text(""), U32(10), {'s', 'e'}}),
         "SetDevicePolicy(0,1,[129:0781:0000:4C53:sticks])"},
        {"policy cut right after the count", Cat({U32(SET_DEVICE_POLICY), U8(0), U8(2), U32(4)}),
         "SetDevicePolicy(0,2,)"},
    };
    StartServer();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        core.ClearCalls();
        int fd = Open();
        ASSERT_GE(fd, 0);
        Send(fd, c.request);
        shutdown(fd, SHUT_WR);
        EXPECT_EQ(ReadToEnd(fd), U32(1));
        close(fd);
        EXPECT_EQ(core.Calls(), std::vector<std::string>{c.call});
    }
}

// A length or count past its limit ends the connection at once, without a
// reply and without waiting for the bytes it announces.
TEST_F(ControlServer, LengthsPastTheirLimitsCloseAtOnce)
{
    struct Case {
        const char* name;
        Bytes request;
    };
    const Case cases[] = {
        {"filter count over the limit", Cat({U32(SET_IP_FILTERS), U8(1), U32(1025)})},
        {"filter count huge", Cat({U32(SET_IP_FILTERS), U8(1), U32(0xFFFFFFFF)})},
        {"filter text over the limit", Cat({U32(SET_IP_FILTERS), U8(1), U32(1), U32(1025)})},
        {"filter text huge", Cat({U32(SET_IP_FILTERS), U8(1), U32(1), U32(0x7FFFFFFF)})},
        {"acl count over the limit", Cat({U32(SET_DEVICE_ACL), U32(7), U8(1), U32(5000)})},
        {"acl text over the limit", Cat({U32(SET_DEVICE_ACL), U32(7), U8(1), U32(1), U32(4096)})},
        {"policy count over the limit", Cat({U32(SET_DEVICE_POLICY), U8(0), U8(1), U32(1025)})},
        {"callback address of 255", Cat({U32(ADD_CALLBACK), U32(255)})},
        {"callback address huge", Cat({U32(ADD_CALLBACK), U32(0xFFFFFFFF)})},
        {"listen address of 8", Cat({U32(SET_LISTEN_ADDRESS), U32(8)})},
        {"listen address of 0", Cat({U32(SET_LISTEN_ADDRESS), U32(0)})},
    };
    CoreIfaceSettings settings;
    settings.idleLimitMs = 3600 * 1000;
    StartServer(settings);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        core.ClearCalls();
        int fd = Open();
        ASSERT_GE(fd, 0);
        Send(fd, c.request);
        bool ended = false;
        EXPECT_EQ(Hex(ReadToEnd(fd, 5000, &ended)), "");
        EXPECT_TRUE(ended);
        close(fd);
        EXPECT_EQ(core.Calls(), std::vector<std::string>{});
    }
}

// Lengths and rules the server takes as they are, where the peer's numbers
// would be unsafe to trust further.
TEST_F(ControlServer, LimitsTakenAsTheWireGivesThem)
{
    StartServer();
    // A nickname over 255 bytes is cut to 255; the rest is not read.
    std::string long300(300, 'n');
    EXPECT_EQ(Exchange(Cat({U32(SET_DEVICE_NICKNAME), U32(0), U32(7), Text(long300)})), Ok());
    EXPECT_EQ(core.Calls().back(), "SetDeviceNickname(7," + std::string(255, 'n') + ")");
    // The text ends at its first NUL.
    EXPECT_EQ(Exchange(Cat({U32(SET_DEVICE_NICKNAME), U32(0), U32(7), U32(5), {'a', 'b', 0, 'c', 'd'}})), Ok());
    EXPECT_EQ(core.Calls().back(), "SetDeviceNickname(7,ab)");
    // The longest address text and texts of the limit pass.
    std::string host(254, 'h');
    EXPECT_EQ(Exchange(Cat({U32(ADD_CALLBACK), Text(host), U16(1), U32(32)})), Cat({U32(1), U32(0xC0000007)}));
    Bytes rules = Cat({U32(SET_IP_FILTERS), U8(2), U32(1024)});
    for (int i = 0; i < 1024; i++)
        Append(&rules, Text(std::string(1024, 'r')));
    EXPECT_EQ(Exchange(rules), Ok());
    EXPECT_EQ(core.Calls().back().size(), std::string("SetIpFilters(2,)").size() + 1024 * 1026);
}

// A policy text over 254 bytes ends the reading at its length, without
// waiting for the bytes it announces: its rule and the rest are dropped,
// the rules before it applied and the status sent. A text of 254 bytes is
// taken.
TEST_F(ControlServer, LongPolicyTextAppliesTheRulesBeforeIt)
{
    struct Case {
        const char* name;
        Bytes request;
        const char* call;
    };
    auto fields = [] { return Cat({U32(0x80), U16(0), U16(0), U8(0), U8(0), U8(0)}); };
    auto rule = [&](size_t serial) { return Cat({fields(), Text(""), Text(std::string(serial, 's')), Text("n")}); };
    const std::string serial254(254, 's');
    const std::string taken = "SetDevicePolicy(0,2,[128:0000:0000:" + serial254 + ":n])";
    const Case cases[] = {
        {"second of three serials 255 long",
         Cat({U32(SET_DEVICE_POLICY), U8(0), U8(2), U32(3), rule(1), rule(255), rule(2)}),
         "SetDevicePolicy(0,2,[128:0000:0000:s:n])"},
        {"first port 300 long", Cat({U32(SET_DEVICE_POLICY), U8(0), U8(2), U32(2), fields(), Text(std::string(300, 'p'))}),
         "SetDevicePolicy(0,2,)"},
        {"name huge, its bytes never sent",
         Cat({U32(SET_DEVICE_POLICY), U8(0), U8(2), U32(2), rule(3), fields(), Text(""), Text(""), U32(0x40000000)}),
         "SetDevicePolicy(0,2,[128:0000:0000:sss:n])"},
        {"serial of 254 taken", Cat({U32(SET_DEVICE_POLICY), U8(0), U8(2), U32(1), rule(254)}), taken.c_str()},
    };
    CoreIfaceSettings settings;
    settings.idleLimitMs = 3600 * 1000;
    StartServer(settings);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        core.ClearCalls();
        int fd = Open();
        ASSERT_GE(fd, 0);
        Send(fd, c.request);
        bool ended = false;
        EXPECT_EQ(Hex(ReadToEnd(fd, 5000, &ended)), Hex(U32(1)));
        EXPECT_TRUE(ended);
        close(fd);
        EXPECT_EQ(core.Calls(), std::vector<std::string>{c.call});
    }
}

TEST_F(ControlServer, WrongMagicGetsNoReplyAtAll)
{
    StartServer();
    int fd = Connect(NAME);
    ASSERT_GE(fd, 0);
    Send(fd, {'N', 'S', 'F', 'J', 0, 0, 0, 0, 0x07, 0x30, 0, 0});
    EXPECT_EQ(Hex(ReadToEnd(fd)), "");
    close(fd);
    EXPECT_EQ(core.Calls(), std::vector<std::string>{});
}

// Unknown codes get the record (13, 2916, 50) even while their arguments
// still arrive.
TEST_F(ControlServer, UnknownCodesAnswerNotSupported)
{
    StartServer();
    for (uint32_t code : {0x1021u, 0x2001u, 0x2002u, 0x2003u, 0x2004u, 0x1005u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(code);
        int fd = Open();
        ASSERT_GE(fd, 0);
        Send(fd, Cat({U32(code), U32(1), U32(2)}));
        EXPECT_EQ(Read(fd, 12), Failed(13, 2916, 50));
        // Still sending: the daemon reads it away instead of resetting.
        Send(fd, Cat({U32(3), U32(4)}));
        close(fd);
    }
    EXPECT_EQ(core.Calls(), std::vector<std::string>{});
}

// Only version and start-up state are served before the daemon is ready.
TEST_F(ControlServer, BeforeReadyOnlyVersionAndState)
{
    core.startupState = 1;
    StartServer();
    EXPECT_EQ(Exchange(U32(GET_STARTUP_STATE)), Cat({U32(1), U32(1)}));
    EXPECT_EQ(Exchange(U32(GET_VERSION)), Cat({U32(1), U32(0x3A000), Text("USB Calvento for Linux")}));
    EXPECT_EQ(Exchange(Cat({U32(SHARE_DEVICE), U32(7)})), Failed(13, 2981, 21));
    EXPECT_EQ(Exchange(U32(GET_SNAPSHOT)), Failed(13, 2981, 21));
    EXPECT_EQ(core.Calls(), std::vector<std::string>{});
}

// The data block is sent with its real size, and only when its own size
// word agrees.
TEST_F(ControlServer, DeviceDataBlockMustCarryItsSize)
{
    StartServer();
    struct Case {
        Bytes block;
        Bytes reply;
    };
    const Case cases[] = {
        {{1, 2, 4, 0}, Cat({U32(1), U32(4), {1, 2, 4, 0}})},
        // The size word claims more than the block holds.
        {{1, 2, 0xFF, 0xFF, 5, 6}, Failed(13, 2982, 13)},
        // ... or less.
        {{1, 2, 4, 0, 5, 6, 7, 8}, Failed(13, 2982, 13)},
        {{1, 2, 3}, Failed(13, 2982, 13)},
    };
    for (const Case& c : cases) {
        core.deviceData = c.block;
        EXPECT_EQ(Hex(Exchange(Cat({U32(GET_DEVICE_DATA), U32(7)}))), Hex(c.reply));
    }
}

// One connection at a time: a client that connects second is served after
// the first connection is done, even when its request arrived first.
TEST_F(ControlServer, ClientsServedOneAfterTheOther)
{
    StartServer();
    int first = Open();
    ASSERT_GE(first, 0);
    Send(first, U32(SHARE_DEVICE));
    int second = Connect(NAME);
    ASSERT_GE(second, 0);
    Send(second, Cat({Hello(), U32(SHARE_DEVICE), U32(2)}));
    Send(first, U32(1));
    EXPECT_EQ(ReadToEnd(first), Ok());
    EXPECT_EQ(ReadToEnd(second), Cat({U32(0), Ok()}));
    close(first);
    close(second);
    EXPECT_EQ(core.Calls(), (std::vector<std::string>{"ShareDevice(1,0)", "ShareDevice(2,0)"}));
}

// A peer that goes silent loses its connection after the idle limit, and
// the next client is served.
TEST_F(ControlServer, SilentPeerIsDroppedAfterTheIdleLimit)
{
    CoreIfaceSettings settings;
    settings.idleLimitMs = 200;
    StartServer(settings);
    int silent = Open();
    ASSERT_GE(silent, 0);
    Send(silent, U32(SHARE_DEVICE));
    EXPECT_EQ(Hex(ReadToEnd(silent)), "");
    close(silent);
    EXPECT_EQ(Exchange(U32(GET_STARTUP_STATE)), Cat({U32(1), U32(100)}));
}

// The one accept thread is held neither by a peer that trickles its hello
// a byte before every idle limit nor by one that streams bytes after an
// unknown code: each is cut off and the next client is served.
TEST_F(ControlServer, TricklingAndStreamingPeersAreCutOff)
{
    CoreIfaceSettings settings;
    settings.idleLimitMs = 2000;
    settings.requestLimitMs = 1000;
    settings.drainMs = 300;
    StartServer(settings);

    int trickle = Connect(NAME);
    ASSERT_GE(trickle, 0);
    std::vector<uint8_t> hello = Hello();
    bool closed = false;
    for (size_t i = 0; i < hello.size() - 1 && !closed; ++i) {
        // Far below the idle limit each time; only the whole is too long.
        Send(trickle, std::vector<uint8_t>{hello[i]});
        struct pollfd entry = {trickle, POLLIN, 0};
        closed = poll(&entry, 1, 400) == 1;
    }
    EXPECT_TRUE(closed) << "the trickling peer kept its connection";
    close(trickle);

    int stream = Open();
    ASSERT_GE(stream, 0);
    Send(stream, Cat({U32(0x2001), U32(1)}));
    EXPECT_EQ(Read(stream, 12), Failed(13, 2916, 50));
    // Streams until the daemon closes; the guard is only a last resort.
    std::vector<uint8_t> chunk(1024, 0x55);
    auto start = std::chrono::steady_clock::now();
    bool cut = false;
    while (!cut && std::chrono::steady_clock::now() - start < std::chrono::seconds(20)) {
        cut = send(stream, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0 && errno != EAGAIN;
        struct pollfd entry = {stream, POLLIN, 0};
        if (!cut && poll(&entry, 1, 5) == 1) {
            char byte;
            cut = recv(stream, &byte, 1, MSG_DONTWAIT) <= 0;
        }
    }
    EXPECT_TRUE(cut) << "waiting for the streaming peer to be cut off";
    close(stream);
    EXPECT_EQ(Exchange(U32(GET_STARTUP_STATE)), Cat({U32(1), U32(100)}));
}

// Stop does not wait for a silent peer: the reads see the stop flag.
TEST_F(ControlServer, StopWithSilentPeerConnected)
{
    CoreIfaceSettings settings;
    settings.idleLimitMs = 3600 * 1000;
    StartServer(settings);
    int silent = Open();
    ASSERT_GE(silent, 0);
    Send(silent, U32(SET_DEVICE_TIMEOUT));
    // The server now waits inside the request's reads; a second client
    // waits in the listen queue.
    int probe = Connect(NAME);
    ASSERT_GE(probe, 0);
    server->Stop();
    EXPECT_EQ(Hex(ReadToEnd(silent)), "");
    close(silent);
    close(probe);
    EXPECT_EQ(core.Calls(), std::vector<std::string>{});
    EXPECT_EQ(Connect(NAME), -1);
}

// Descriptors of 1024 and above are waited on like any other (an fd_set
// holds only the first 1024).
TEST_F(ControlServer, ConnectionsOnHighDescriptorsAreServed)
{
    struct rlimit limit;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    struct rlimit raised = limit;
    raised.rlim_cur = raised.rlim_max < 4096 ? raised.rlim_max : 4096;
    if (raised.rlim_cur < 1200 || setrlimit(RLIMIT_NOFILE, &raised) != 0)
        GTEST_SKIP() << "cannot open 1200 descriptors";
    std::vector<int> filler;
    while (filler.empty() || (filler.back() >= 0 && filler.back() < 1100))
        filler.push_back(open("/dev/null", O_RDONLY | O_CLOEXEC));
    ASSERT_GE(filler.back(), 1100);
    StartServer();
    EXPECT_EQ(Exchange(U32(GET_STARTUP_STATE)), Cat({U32(1), U32(100)}));
    EXPECT_EQ(Exchange(Cat({U32(SHARE_DEVICE), U32(7)})), Ok());
    server.reset();
    for (int fd : filler)
        close(fd);
    setrlimit(RLIMIT_NOFILE, &limit);
}

TEST_F(ControlServer, SocketNameIsTakenOnceAndMustFit)
{
    StartServer();
    EXPECT_EQ(server->Start(), 1); // running already
    CUsbCoreIface second(&core, NAME, "", "");
    EXPECT_EQ(second.Start(), 0);
    server->Stop();
    EXPECT_EQ(Connect(NAME), -1);
    EXPECT_EQ(second.Start(), 1);

    std::string longest(CORE_SOCKET_ADDRESS_LIMIT - offsetof(struct sockaddr_un, sun_path) - 3, 'n');
    CUsbCoreIface fits(&core, longest.c_str(), "", "");
    EXPECT_EQ(fits.Start(), 1);
    CUsbCoreIface refused(&core, (longest + "n").c_str(), "", "");
    EXPECT_EQ(refused.Start(), 0);
}

// A peer outside the groups is answered 0x80000000 and disconnected; root
// passes whatever its groups.
TEST_F(ControlServer, PeerOutsideTheGroupsIsRefused)
{
    // "root" as the user group: an existing group that nobody (65534) is
    // not in.
    server = std::make_unique<CUsbCoreIface>(&core, NAME, "root", "");
    ASSERT_EQ(server->Start(), 1);
    pid_t child = fork();
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            _exit(10);
        int fd = Connect(NAME);
        if (fd < 0)
            _exit(11);
        Send(fd, Cat({Hello(0), U32(GET_VERSION)}));
        std::vector<uint8_t> reply = ReadToEnd(fd);
        _exit(reply == U32(0x80000000) ? 0 : 12);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(Exchange(U32(GET_VERSION)), Cat({U32(1), U32(0x3A000), Text("USB Calvento for Linux")}));
}
