// The network server against a test client written from the wire layouts:
// handshake bytes, greetings, pings on a test clock, records, broadcasts
// across sessions, IP filter re-checks, callback dials and the data
// connection set-up. Real loopback sockets and abstract names inside a
// private network namespace per test process.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "calvixd/net/networkserver.h"
#include "calvixd/net/socket.h"
#include "tests/calvixd/tempdir.h"
#include "tests/support/calvixwire.h"
#include "tests/support/netns.h"
#include "tests/support/wait.h"

namespace {

using namespace std::chrono_literals;
using calvixwire::Connection;
using calvixwire::Record;
using calvixwire::recordBytes;

const int g_netns = [] {
    std::string error;
    int result = netns::enterPrivateNetwork(&error);
    if (result != 0)
        fprintf(stderr, "private network namespace: %s\n", error.c_str());
    return result;
}();

constexpr uint16_t kPort = 32032;
const char* kPipe = "calvixdvc.pipe";

class FakeOwner : public CNetworkServerOwner {
public:
    explicit FakeOwner(const std::string& logPath) : log(logPath.c_str()) {}

    uint32_t GetTickMs() override { return now.load(); }
    void LogDebug(uint16_t, uint32_t, uint32_t) override {}
    CEventLog* GetEventLog() override { return &log; }
    void NotifyListeners() override
    {
        bool armed = true;
        if (holdNextNotify.compare_exchange_strong(armed, false)) {
            inHeldNotify = true;
            while (!releaseNotify)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ++notifications;
    }
    // The next notification stays inside the core until released.
    std::atomic<bool> holdNextNotify{false};
    std::atomic<bool> inHeldNotify{false};
    std::atomic<bool> releaseNotify{false};
    // A serve that stays inside the core while held.
    std::atomic<bool> holdServe{false};
    std::atomic<bool> serveUntilClosed{false};
    std::atomic<bool> inServe{false};
    Resolver* GetResolver() override { return nullptr; }
    void GetServerId(uint8_t id[16]) override
    {
        for (int i = 0; i < 16; ++i)
            id[i] = static_cast<uint8_t>(0xA0 + i);
    }
    bool CheckIpFilters(const ADDRESS& address) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        return refused.count(address.ToString()) == 0;
    }
    bool CollectDevices(std::vector<DeviceInfo>* out) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        *out = devices;
        return true;
    }
    bool UnscrambleConnectRecord(uint8_t*, size_t, uint8_t) override { return true; }
    uint8_t ServeDeviceConnection(CSocket* socket, uint32_t kind, const ADDRESS&, const std::string&, uint8_t,
                                  uint32_t deviceId, uint32_t connectionId, uint32_t* code) override
    {
        inServe = true;
        while (holdServe)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (serveUntilClosed) {
            // As a real data connection: it runs until its socket fails.
            uint8_t byte;
            while (socket->Receive(&byte, 1, nullptr) == SOCK_OK) {
            }
            return '2';
        }
        std::lock_guard<std::mutex> lock(mutex);
        served.push_back({deviceId, connectionId, kind});
        *code = serveCode;
        return serveAnswer;
    }
    void RemoveCallbackConnection(uint32_t id) override
    {
        ++inRemove;
        while (holdRemove)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        {
            std::lock_guard<std::mutex> lock(mutex);
            removedCallbacks.push_back(id);
        }
        --inRemove;
    }
    // Removals stay inside the core while held.
    std::atomic<bool> holdRemove{false};
    std::atomic<int> inRemove{0};
    void ReserveInactiveDevice(uint32_t connectionId, uint32_t deviceId, uint32_t, const ADDRESS&,
                               const std::string&) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        reservations.push_back({connectionId, deviceId});
    }

    struct Served {
        uint32_t deviceId, connectionId, kind;
    };
    CEventLog log;
    std::atomic<uint32_t> now{100000};
    std::atomic<int> notifications{0};
    std::mutex mutex;
    std::set<std::string> refused;
    std::vector<DeviceInfo> devices;
    std::vector<Served> served;
    uint8_t serveAnswer = '3';
    uint32_t serveCode = 4;
    std::vector<uint32_t> removedCallbacks;
    std::vector<std::pair<uint32_t, uint32_t>> reservations;
};

// A connect record whose scrambled part the fake owner leaves as it is.
std::vector<uint8_t> connectRecord(uint32_t deviceId, uint32_t connectionId)
{
    auto bytes = recordBytes({deviceId, connectionId});
    for (int i = 0; i < 84; ++i)
        bytes.push_back(static_cast<uint8_t>(i));
    return bytes;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class NetworkServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(g_netns, 0);
        owner = std::make_unique<FakeOwner>(dir.File("calvixd.log"));
        NetworkServerSettings settings;
        settings.callbackRetryMs = 300;
        settings.callbackKickDelayMs = 50;
        server = std::make_unique<CNetworkServer>(owner.get(), settings);
        server->SetListenAddresses(ADDRESS("127.0.0.1"), ADDRESS("::1"), kPort);
        CExceptionEx* error = server->StartTcpListeners();
        ASSERT_EQ(error, nullptr);
        server->SetPipeName(kPipe);
        error = server->StartPipeListener();
        ASSERT_EQ(error, nullptr);
    }
    void TearDown() override
    {
        server.reset();
        owner.reset();
    }

    std::string Log() { return ReadFile(dir.File("calvixd.log")); }
    bool LogHas(const std::string& text)
    {
        return testwait::waitUntil([&] { return Log().find(text) != std::string::npos; }, 5s);
    }

    // A session connection that has read its greeting up to the connection
    // id; devices are left unread.
    bool OpenSession(Connection* c, uint32_t* id, const std::string& from = "")
    {
        std::vector<uint8_t> serverId;
        return c->connectTcp("127.0.0.1", kPort, from) && c->handshake('E') && c->readGreetingStart(&serverId, id);
    }

    CTempDir dir;
    std::unique_ptr<FakeOwner> owner;
    std::unique_ptr<CNetworkServer> server;
};

TEST_F(NetworkServerTest, HandshakeBytesAndVersionBits)
{
    struct Case {
        uint32_t version;
        bool accepted;
    } cases[] = {
        {0x10000A16, true},
        {0x10000A16 ^ 0xFF, true},       // bits 0 to 7
        {0x10000A16 ^ 0xF8000000, true}, // bits 27 to 31
        {0x10000A16 ^ 0x100, false},     // bit 8
        {0x10000A16 ^ 0x04000000, false},
    };
    for (const auto& c : cases) {
        Connection client;
        ASSERT_TRUE(client.connectTcp("127.0.0.1", kPort));
        uint8_t accept = 0;
        std::vector<uint8_t> reply;
        ASSERT_TRUE(client.handshake('E', c.version, 0x05, &accept, &reply)) << std::hex << c.version;
        EXPECT_EQ(accept, 0x10);
        // The server's bytes come before its verdict on the version.
        EXPECT_EQ(reply, (std::vector<uint8_t>{0x20, 0x90, 0x16, 0x0A, 0x00, 0x10}));
        if (c.accepted) {
            std::vector<uint8_t> id;
            uint32_t connectionId = 0;
            EXPECT_TRUE(client.readGreetingStart(&id, &connectionId)) << std::hex << c.version;
            EXPECT_EQ(connectionId & 0xF0000000, 0x80000000u);
        } else {
            EXPECT_TRUE(client.waitClosed()) << std::hex << c.version;
        }
    }
    EXPECT_TRUE(LogHas("but was rejected due to incompatible version.\n"));
}

TEST_F(NetworkServerTest, RefusalsAndBadHello)
{
    // An address the filters refuse gets exactly one byte, 0x11.
    {
        std::lock_guard<std::mutex> lock(owner->mutex);
        owner->refused.insert("127.0.0.3");
    }
    Connection refused;
    ASSERT_TRUE(refused.connectTcp("127.0.0.1", kPort, "127.0.0.3"));
    EXPECT_EQ(refused.receive(1), std::vector<uint8_t>{0x11});
    EXPECT_TRUE(refused.waitClosed());
    EXPECT_TRUE(LogHas("Client connected from 127.0.0.3:"));
    EXPECT_TRUE(LogHas(", but was rejected by IP filters.\n"));

    // Bad magic: nothing after the accept byte, and no wait for the rest of
    // the hello once the magic is wrong.
    Connection bad;
    ASSERT_TRUE(bad.connectTcp("127.0.0.1", kPort));
    EXPECT_EQ(bad.receive(1), std::vector<uint8_t>{0x10});
    ASSERT_TRUE(bad.sendBytes("KQWX", 4));
    EXPECT_TRUE(bad.waitClosed());
    EXPECT_TRUE(LogHas(", but was rejected due to invalid data.\n"));

    Connection unsupported;
    ASSERT_TRUE(unsupported.connectTcp("::1", kPort));
    ASSERT_TRUE(unsupported.handshake('Z'));
    EXPECT_TRUE(unsupported.waitClosed());
    EXPECT_TRUE(LogHas(", but was rejected due to unsupported request.\n"));
    EXPECT_TRUE(Log().find("Client connected from [::1]:") != std::string::npos);
}

TEST_F(NetworkServerTest, PipeClientsAndTheirNames)
{
    Connection tooLong;
    ASSERT_TRUE(tooLong.connectPipe(kPipe));
    ASSERT_TRUE(tooLong.sendDesktopPrefix(std::string(256, 'x'), 256));
    EXPECT_TRUE(tooLong.waitClosed()); // not a single byte from the server
    EXPECT_TRUE(LogHas("Remote Desktop Client app connection was rejected due to invalid data.\n"));

    Connection named;
    ASSERT_TRUE(named.connectPipe(kPipe));
    ASSERT_TRUE(named.sendDesktopPrefix("desk-1"));
    ASSERT_TRUE(named.handshake('E'));
    std::vector<uint8_t> serverId;
    uint32_t id = 0;
    ASSERT_TRUE(named.readGreetingStart(&serverId, &id));
    std::string name;
    EXPECT_TRUE(server->GetConnectionName(id, &name));
    EXPECT_EQ(name, "desk-1");

    Connection unnamed;
    ASSERT_TRUE(unnamed.connectPipe(kPipe));
    ASSERT_TRUE(unnamed.sendDesktopPrefix(""));
    ASSERT_TRUE(unnamed.handshake('E'));
    ASSERT_TRUE(unnamed.readGreetingStart(&serverId, &id));
    EXPECT_TRUE(server->GetConnectionName(id, &name));
    EXPECT_EQ(name, "");

    // The core's snapshot sees both, as pipe connections.
    std::vector<ConnectionSnapshot> list;
    server->ListConnections(&list);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].kind, LISTENER_KIND_PIPE);
    EXPECT_EQ(list[0].clientName, "desk-1");
    EXPECT_FALSE(list[0].clientAddress.IsValid());
    EXPECT_EQ(server->GetConnectionName(id), "");
}

TEST_F(NetworkServerTest, GreetingListsDevicesByLayout)
{
    auto device = [](uint32_t id, uint32_t state, uint32_t flags) {
        DeviceInfo d;
        d.id = id;
        d.state = state;
        d.flags = flags;
        d.vendorId = 0x1234;
        d.productId = 0x5678;
        d.bcdDevice = 0x0102;
        d.deviceClass = 9;
        d.subClass = 1;
        d.protocol = 2;
        d.speed = 2;
        d.usbVersion = 0x0200;
        d.name = "Name" + std::to_string(id);
        d.nickname = id == 3 ? "nick" : "";
        d.instanceIdentity = "inst";
        d.serial = "SER";
        d.port = "1-1";
        return d;
    };
    {
        std::lock_guard<std::mutex> lock(owner->mutex);
        owner->devices = {device(1, 3, 0), device(2, 12, 0), device(3, 2, 0), device(4, 3, 0x2), device(5, 0, 0),
                          device(6, 4, 0x40), device(7, 9, 0)};
        owner->devices[5].clientAddress = ADDRESS("2001:db8::5");
        owner->devices[6].clientAddress = ADDRESS("192.0.2.7");
    }
    Connection client;
    ASSERT_TRUE(client.connectTcp("127.0.0.1", kPort));
    ASSERT_TRUE(client.handshake('E'));
    std::vector<uint8_t> greeting = client.receive(1 + 16 + 12);
    ASSERT_EQ(greeting.size(), 29u);
    EXPECT_EQ(greeting[0], '0');
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(greeting[1 + i], 0xA0 + i);
    uint32_t id;
    memcpy(&id, &greeting[25], 4);
    EXPECT_EQ(std::vector<uint8_t>(greeting.begin() + 17, greeting.end()), recordBytes({7, 12, id}));

    // Listed states 3, 12 (as 4), 2 (as 5), 4 and 9; not the excluded one
    // (flag 0x2) nor one in state 0.
    struct Expected {
        uint32_t id;
        uint8_t state;
    } expected[] = {{1, 3}, {2, 4}, {3, 5}, {6, 4}, {7, 9}};
    for (const auto& e : expected) {
        Record record;
        ASSERT_TRUE(client.readRecord(&record)) << e.id;
        calvixwire::DeviceRecord want;
        want.type = 1;
        want.vendorId = 0x1234;
        want.productId = 0x5678;
        want.bcdDevice = 0x0102;
        want.deviceClass = 9;
        want.subClass = 1;
        want.protocol = 2;
        want.speed = 2;
        want.stateOrEvent = e.state;
        want.deviceId = e.id;
        want.usbVersion = 0x0200;
        want.strings[0] = "Name" + std::to_string(e.id);
        want.strings[1] = e.id == 3 ? "nick" : "";
        want.strings[2] = "inst";
        want.strings[3] = "SER";
        want.strings[4] = "1-1";
        if (e.id == 6) {
            want.flags = 0x40;
            want.clientV4 = 0xFFFFFFFF;
            want.clientV6 = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5};
        }
        if (e.id == 7)
            want.clientV4 = 0x070200C0; // 192.0.2.7 in network order, read little-endian
        EXPECT_EQ(record.bytes, calvixwire::buildDeviceRecord(want)) << e.id;
    }
    EXPECT_EQ(client.available(), 0u);
}

TEST_F(NetworkServerTest, PingsOnTheTestClock)
{
    Connection silent, pinger;
    uint32_t silentId, pingerId;
    ASSERT_TRUE(OpenSession(&silent, &silentId));
    ASSERT_TRUE(OpenSession(&pinger, &pingerId));
    // Ten seconds pass: both are pinged.
    owner->now += 10001;
    Record record;
    ASSERT_TRUE(silent.readRecord(&record));
    EXPECT_EQ(record.bytes, recordBytes({4, 8}));
    ASSERT_TRUE(pinger.readRecord(&record));
    EXPECT_EQ(record.bytes, recordBytes({4, 8}));
    // The pinger answers every 15 s; the silent one never does. Steps of
    // 15 s keep the pinger within 30 s of its last record even when the
    // server takes its ping in only after the clock has moved once more.
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(pinger.sendBytes(recordBytes({4, 8})));
        owner->now += 15000;
        ASSERT_TRUE(pinger.readRecord(&record));
        EXPECT_EQ(record.type, 4u);
    }
    // The silent one got its pings, then was closed.
    while (silent.readRecord(&record))
        EXPECT_EQ(record.type, 4u);
    EXPECT_TRUE(LogHas("Client disconnected after ping timeout (127.0.0.1:"));
    ConnectionInfo info;
    EXPECT_TRUE(server->GetConnectionInfo(pingerId, &info));
    EXPECT_EQ(info.state, CONNECTION_ACTIVE);
}

TEST_F(NetworkServerTest, BadRecordsAndPartialRecords)
{
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        bool dropped;
    } cases[] = {
        {"type 3", recordBytes({3, 8}), true},
        {"length below the header", recordBytes({4, 7}), true},
        {"length above the limit", recordBytes({6, 4097}), true},
        {"huge length", recordBytes({8, 0xFFFFFFFF}), true},
        {"type-6 without command", recordBytes({6, 8}), false},
        {"short dial-back", [] {
             auto b = recordBytes({6, 12});
             b.push_back('G');
             b.resize(12);
             return b;
         }(),
         false},
        {"type-8 too short", [] {
             auto b = recordBytes({8, 10});
             b.push_back(1);
             b.push_back(0);
             return b;
         }(),
         false},
        {"unknown session command", [] {
             auto b = recordBytes({6, 9});
             b.push_back('Q');
             return b;
         }(),
         false},
    };
    for (const auto& c : cases) {
        Connection client;
        uint32_t id;
        ASSERT_TRUE(OpenSession(&client, &id)) << c.what;
        ASSERT_TRUE(client.sendBytes(c.bytes)) << c.what;
        if (c.dropped) {
            EXPECT_TRUE(client.waitClosed()) << c.what;
        } else {
            // Still served: a ping is answered by the server's next ping.
            ASSERT_TRUE(client.sendBytes(recordBytes({4, 8})));
            owner->now += 10001;
            Record record;
            EXPECT_TRUE(client.readRecord(&record)) << c.what;
            EXPECT_EQ(record.type, 4u) << c.what;
        }
    }
    EXPECT_TRUE(LogHas("Client disconnected after invalid packet (127.0.0.1:"));

    // A record that has not fully arrived waits for the rest.
    Connection partial;
    uint32_t id;
    ASSERT_TRUE(OpenSession(&partial, &id));
    auto reserve = recordBytes({8, 13});
    reserve.push_back(1);
    auto device = recordBytes({77});
    reserve.insert(reserve.end(), device.begin(), device.end());
    ASSERT_TRUE(partial.sendBytes(reserve.data(), 10));
    std::this_thread::sleep_for(200ms);
    {
        std::lock_guard<std::mutex> lock(owner->mutex);
        EXPECT_TRUE(owner->reservations.empty());
    }
    ASSERT_TRUE(partial.sendBytes(reserve.data() + 10, reserve.size() - 10));
    ASSERT_TRUE(testwait::waitUntil(
        [&] {
            std::lock_guard<std::mutex> lock(owner->mutex);
            return owner->reservations.size() == 1;
        },
        5s));
    std::lock_guard<std::mutex> lock(owner->mutex);
    EXPECT_EQ(owner->reservations[0], std::make_pair(id, 77u));
}

TEST_F(NetworkServerTest, BroadcastModesAcrossTwoSessions)
{
    rlimit limit = {8192, 8192};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    constexpr int kCount = 1025;
    std::vector<Connection> clients(kCount);
    std::vector<uint32_t> ids(kCount);
    // Handshakes run on threads of their own: open every connection first,
    // then read all greetings, so the waits overlap.
    for (int i = 0; i < kCount; ++i)
        ASSERT_TRUE(clients[i].connectTcp("127.0.0.1", kPort) && clients[i].handshake('E')) << i;
    std::vector<uint8_t> serverId;
    for (int i = 0; i < kCount; ++i)
        ASSERT_TRUE(clients[i].readGreetingStart(&serverId, &ids[i])) << i;
    EXPECT_EQ(server->GetSessionCount(), 2u);

    // Every connection but the target; then only the target.
    uint32_t target = ids[kCount - 1];
    server->BroadcastDeviceRemoved(42, target, DELIVER_ALL_BUT);
    server->BroadcastDeviceUnshared(43, target, DELIVER_ONLY);
    for (int i = 0; i < kCount; ++i) {
        Record record;
        ASSERT_TRUE(clients[i].readRecord(&record)) << i;
        calvixwire::DeviceRecord d = calvixwire::parseDeviceRecord(record);
        EXPECT_EQ(d.type, 2u);
        if (i == kCount - 1) {
            EXPECT_EQ(d.deviceId, 43u);
            EXPECT_EQ(d.stateOrEvent, 10);
        } else {
            EXPECT_EQ(d.deviceId, 42u) << i;
            EXPECT_EQ(d.stateOrEvent, 8);
            EXPECT_EQ(d.speed, 255);
        }
    }
    for (auto& client : clients)
        client.close();
    EXPECT_TRUE(testwait::waitUntil([&] { return server->GetSessionCount() == 0; }, 10s));
}

TEST_F(NetworkServerTest, FilterChangeSparesPipeAndLoopbackClients)
{
    Connection remote, loopback, pipe;
    uint32_t remoteId, loopbackId, pipeId;
    ASSERT_TRUE(OpenSession(&remote, &remoteId, "127.0.0.2"));
    ASSERT_TRUE(OpenSession(&loopback, &loopbackId));
    std::vector<uint8_t> serverId;
    ASSERT_TRUE(pipe.connectPipe(kPipe) && pipe.sendDesktopPrefix("desk") && pipe.handshake('E') &&
                pipe.readGreetingStart(&serverId, &pipeId));

    // Allow only an address none of them has.
    AddressRule rule;
    rule.kind = ADDRESS_RULE_SINGLE;
    rule.first = ADDRESS("192.0.2.1");
    server->SetIpFilters(FILTER_MODE_ALLOW, {rule});
    EXPECT_TRUE(remote.waitClosed());
    EXPECT_TRUE(LogHas("Client disconnected by IP filters (127.0.0.2:"));
    ConnectionInfo info;
    EXPECT_TRUE(server->GetConnectionInfo(loopbackId, &info));
    EXPECT_EQ(info.state, CONNECTION_ACTIVE);
    EXPECT_TRUE(server->GetConnectionInfo(pipeId, &info));
    EXPECT_EQ(info.state, CONNECTION_ACTIVE);
}

// Filters switched off after an allow list without rules admit remote
// clients again, as a session of their own and as a newcomer joining a
// session that applied the earlier change: the old rules are not kept.
TEST_F(NetworkServerTest, FiltersSwitchedOffAdmitRemoteClientsAgain)
{
    struct Case {
        const char* name;
        bool loopbackSessionOpen;
    } cases[] = {{"a session of its own", false}, {"joining a running session", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Connection loopback;
        uint32_t loopbackId = 0;
        if (c.loopbackSessionOpen) {
            ASSERT_TRUE(OpenSession(&loopback, &loopbackId));
        }
        server->SetIpFilters(FILTER_MODE_ALLOW, {});
        Connection refused;
        uint32_t id = 0;
        EXPECT_FALSE(OpenSession(&refused, &id, "127.0.0.2"));
        server->SetIpFilters(FILTER_MODE_DISABLED, {});
        Connection admitted;
        EXPECT_TRUE(OpenSession(&admitted, &id, "127.0.0.2"));
        admitted.close();
        loopback.close();
        EXPECT_TRUE(testwait::waitUntil([&] { return server->GetSessionCount() == 0; }, 20s));
    }
}

TEST_F(NetworkServerTest, NewClientsAlwaysGetAGreetingWhileOthersLeave)
{
    for (int i = 0; i < 50; ++i) {
        Connection leaving, arriving;
        uint32_t id;
        ASSERT_TRUE(OpenSession(&leaving, &id)) << i;
        leaving.close();
        ASSERT_TRUE(OpenSession(&arriving, &id)) << i;
        arriving.close();
    }
    EXPECT_TRUE(testwait::waitUntil([&] { return server->GetSessionCount() == 0; }, 5s));
}

TEST_F(NetworkServerTest, ASessionThatEmptiedTakesNoNewClient)
{
    // The thread of a session that has just lost its last connection is
    // held in the notification that follows; a client arriving meanwhile
    // must not join that session, whose thread is about to end.
    Connection leaving;
    uint32_t id;
    ASSERT_TRUE(OpenSession(&leaving, &id));
    owner->holdNextNotify = true;
    leaving.close();
    ASSERT_TRUE(testwait::waitUntil([&] { return owner->inHeldNotify.load(); }, 10s));
    int before = owner->notifications;
    Connection arriving;
    ASSERT_TRUE(arriving.connectTcp("127.0.0.1", kPort));
    ASSERT_TRUE(arriving.handshake('E'));
    ASSERT_TRUE(testwait::waitUntil([&] { return owner->notifications > before; }, 10s));
    owner->releaseNotify = true;
    std::vector<uint8_t> serverId;
    EXPECT_TRUE(arriving.readGreetingStart(&serverId, &id));
}

TEST_F(NetworkServerTest, ConnectionNumbersAreReused)
{
    uint32_t a = server->AllocateConnectionId(CONNECTION_CLASS_SESSION);
    uint32_t b = server->AllocateConnectionId(CONNECTION_CLASS_CALLBACK);
    EXPECT_EQ(a, 0x80000001u);
    EXPECT_EQ(b, 0xC0000002u);
    EXPECT_EQ(server->AllocateConnectionId(CONNECTION_CLASS_SESSION | 2), 0u);
    EXPECT_TRUE(server->AcquireConnection(a));
    server->ReleaseConnection(a);
    server->ReleaseConnection(a);
    EXPECT_FALSE(server->AcquireConnection(a));
    EXPECT_EQ(server->AllocateConnectionId(CONNECTION_CLASS_SESSION), 0x80000001u);
}

// A listener of the test that plays the client side of a callback.
class TestListener {
public:
    explicit TestListener(const std::string& host, uint16_t port)
    {
        bool v6 = host.find(':') != std::string::npos;
        m_fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_storage address = {};
        socklen_t length;
        if (v6) {
            auto* a = reinterpret_cast<sockaddr_in6*>(&address);
            a->sin6_family = AF_INET6;
            a->sin6_port = htons(port);
            inet_pton(AF_INET6, host.c_str(), &a->sin6_addr);
            length = sizeof *a;
        } else {
            auto* a = reinterpret_cast<sockaddr_in*>(&address);
            a->sin_family = AF_INET;
            a->sin_port = htons(port);
            inet_pton(AF_INET, host.c_str(), &a->sin_addr);
            length = sizeof *a;
        }
        m_ok = bind(m_fd, reinterpret_cast<sockaddr*>(&address), length) == 0 && listen(m_fd, 8) == 0;
        timeval tv = {5, 0};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~TestListener() { close(m_fd); }
    bool Ok() const { return m_ok; }
    bool Accept(Connection* connection)
    {
        int fd = accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            return false;
        connection->adopt(fd);
        return true;
    }

private:
    int m_fd;
    bool m_ok;
};

TEST_F(NetworkServerTest, CallbackConnectionsDialAndRetry)
{
    struct Case {
        const char* host;
    } cases[] = {{"127.0.0.1"}, {"::1"}};
    for (const auto& c : cases) {
        TestListener listener(c.host, 33033);
        ASSERT_TRUE(listener.Ok()) << c.host;
        uint32_t id = server->AddCallbackConnection(0, c.host, 33033, LISTENER_KIND_TCP, 0x5, nullptr);
        ASSERT_NE(id, 0u);
        EXPECT_EQ(id & 0xF0000000, 0xC0000000u);

        // First dial: refused.
        Connection first;
        ASSERT_TRUE(listener.Accept(&first)) << c.host;
        ASSERT_TRUE(first.sendBytes("\x11", 1));
        EXPECT_TRUE(first.waitClosed());
        ASSERT_TRUE(testwait::waitUntil(
            [&] {
                ConnectionInfo info;
                return server->GetConnectionInfo(id, &info) && info.state == CONNECTION_DISCONNECTED &&
                       info.lastError.GetError() == 1225;
            },
            5s))
            << c.host;

        // Retried: this time the dialled side plays the client.
        Connection second;
        ASSERT_TRUE(listener.Accept(&second)) << c.host;
        ASSERT_TRUE(second.sendBytes("\x10", 1));
        std::vector<uint8_t> hello = second.receive(9);
        ASSERT_EQ(hello.size(), 9u);
        EXPECT_EQ(std::vector<uint8_t>(hello.begin(), hello.begin() + 4), (std::vector<uint8_t>{'K', 'Q', 'W', 'B'}));
        EXPECT_EQ(std::vector<uint8_t>(hello.begin() + 4, hello.end()),
                  (std::vector<uint8_t>{0x16, 0x0A, 0x00, 0x10, 0x90}));
        auto reply = std::vector<uint8_t>{0x20, 0x07};
        auto version = recordBytes({0x10000A16});
        reply.insert(reply.end(), version.begin(), version.end());
        ASSERT_TRUE(second.sendBytes(reply));
        EXPECT_EQ(second.receive(1), std::vector<uint8_t>{'F'});
        std::vector<uint8_t> serverId;
        uint32_t greetedId = 0;
        ASSERT_TRUE(second.readGreetingStart(&serverId, &greetedId));
        EXPECT_EQ(greetedId, id);
        Record flags;
        ASSERT_TRUE(second.readRecord(&flags));
        EXPECT_EQ(flags.bytes, recordBytes({9, 20, 0, 1, 0x5}));

        // Removing it sends {5, 12, 0} and closes the connection.
        EXPECT_TRUE(server->RemoveCallbackConnection(id));
        Record drop;
        ASSERT_TRUE(second.readRecord(&drop));
        EXPECT_EQ(drop.bytes, recordBytes({5, 12, 0}));
        EXPECT_TRUE(second.waitClosed());
        EXPECT_TRUE(testwait::waitUntil(
            [&] {
                ConnectionInfo info;
                return !server->GetConnectionInfo(id, &info);
            },
            5s));
    }
}

// A session that floods 'G' records at a dial-back address that never
// answers gets at most COMMAND_THREADS_PER_CONNECTION dials at once, and
// they end with the session connection, well before their own deadline.
TEST_F(NetworkServerTest, DialBackFloodIsBoundedAndEndsWithTheSession)
{
    NetworkServerSettings settings;
    // The entry is dialled again this long after its session ends: long
    // enough to see the session's own threads gone first.
    settings.callbackRetryMs = 600000;
    settings.callbackKickDelayMs = 5000;
    settings.handshakeMs = 120000;
    server.reset();
    server = std::make_unique<CNetworkServer>(owner.get(), settings);
    server->SetListenAddresses(ADDRESS("127.0.0.1"), ADDRESS("255.255.255.255"), kPort);
    CExceptionEx* error = server->StartTcpListeners();
    ASSERT_EQ(error, nullptr);

    // The dial-backs go to the callback session's address: the listener,
    // which takes its session and then accepts nothing more.
    TestListener listener("127.0.0.1", 33034);
    ASSERT_TRUE(listener.Ok());
    uint32_t id = server->AddCallbackConnection(0, "127.0.0.1", 33034, LISTENER_KIND_TCP, 0, nullptr);
    ASSERT_NE(id, 0u);
    Connection session;
    ASSERT_TRUE(testwait::waitUntil([&] { return listener.Accept(&session); }, 20s)) << "waiting for the dial";
    uint8_t request = 0;
    ASSERT_TRUE(session.answerHandshake(0x07, &request));
    ASSERT_EQ(request, 'F');
    std::vector<uint8_t> serverId;
    uint32_t greeted = 0;
    ASSERT_TRUE(session.readGreetingStart(&serverId, &greeted));
    int base = server->GetLiveThreads();

    std::vector<uint8_t> flood;
    for (int i = 0; i < 200; ++i) {
        auto command = recordBytes({6, 17});
        command.push_back('G');
        auto values = recordBytes({0x11, static_cast<uint32_t>(i)});
        command.insert(command.end(), values.begin(), values.end());
        flood.insert(flood.end(), command.begin(), command.end());
    }
    ASSERT_TRUE(session.sendBytes(flood));
    EXPECT_TRUE(testwait::waitUntil(
        [&] { return server->GetLiveThreads() >= base + static_cast<int>(COMMAND_THREADS_PER_CONNECTION); }, 20s))
        << "waiting for the dial-backs to reach their bound: " << server->GetLiveThreads();
    // An invalid record after the flood: once it is logged, every 'G'
    // before it has been handled.
    ASSERT_TRUE(session.sendBytes(recordBytes({0x77, 8})));
    EXPECT_TRUE(testwait::waitUntil(
        [&] { return Log().find("Client disconnected after invalid packet") != std::string::npos; }, 20s));
    EXPECT_LE(server->GetLiveThreads(), base + static_cast<int>(COMMAND_THREADS_PER_CONNECTION));
    // The session thread and every dial end; nothing waits for the deadline.
    EXPECT_TRUE(testwait::waitUntil([&] { return server->GetLiveThreads() < base; }, 20s))
        << "waiting for the dial-backs to end with their session: " << server->GetLiveThreads();
    EXPECT_TRUE(testwait::waitUntil([&] { return server->GetPeerSockets() == 0; }, 20s))
        << "waiting for the dialled sockets to go: " << server->GetPeerSockets();
}

// 'I' records run as deferred commands as 'G' records do: a flood of them
// from one session connection holds at most COMMAND_THREADS_PER_CONNECTION
// threads at once; the rest are dropped while those run.
TEST_F(NetworkServerTest, RemovalFloodHoldsAtMostTheCommandBound)
{
    owner->holdRemove = true;
    Connection session;
    uint32_t id = 0;
    ASSERT_TRUE(OpenSession(&session, &id));
    int base = server->GetLiveThreads();
    std::vector<uint8_t> flood;
    for (int i = 0; i < 200; ++i) {
        auto command = recordBytes({6, 9});
        command.push_back('I');
        flood.insert(flood.end(), command.begin(), command.end());
    }
    ASSERT_TRUE(session.sendBytes(flood));
    const int bound = static_cast<int>(COMMAND_THREADS_PER_CONNECTION);
    EXPECT_TRUE(testwait::waitUntil([&] { return owner->inRemove.load() >= bound; }, 20s))
        << "waiting for the removals to reach their bound: " << owner->inRemove.load();
    // An invalid record after the flood: once it is logged, every 'I'
    // before it has been handled.
    ASSERT_TRUE(session.sendBytes(recordBytes({0x77, 8})));
    EXPECT_TRUE(testwait::waitUntil(
        [&] { return Log().find("Client disconnected after invalid packet") != std::string::npos; }, 20s));
    EXPECT_LE(owner->inRemove.load(), bound);
    EXPECT_LE(server->GetLiveThreads(), base + bound);
    owner->holdRemove = false;
    EXPECT_TRUE(testwait::waitUntil([&] { return owner->inRemove.load() == 0; }, 20s));
    std::lock_guard<std::mutex> lock(owner->mutex);
    EXPECT_EQ(owner->removedCallbacks.size(), COMMAND_THREADS_PER_CONNECTION);
}

// Callback peers that stall or fail: a silent peer and one that stalls
// after 0x10 are given up at the handshake's deadline and retried; a peer
// that breaks its session at once is dialled again only after the retry
// interval; a dial under way ends when its entry is removed.
TEST_F(NetworkServerTest, StallingCallbackPeersAreBoundedAndRetriedAtTheInterval)
{
    NetworkServerSettings settings;
    settings.callbackRetryMs = 2000;
    settings.callbackKickDelayMs = 50;
    settings.handshakeMs = 500;
    server.reset();
    server = std::make_unique<CNetworkServer>(owner.get(), settings);
    server->SetListenAddresses(ADDRESS("127.0.0.1"), ADDRESS("255.255.255.255"), kPort);
    CExceptionEx* error = server->StartTcpListeners();
    ASSERT_EQ(error, nullptr);
    TestListener listener("127.0.0.1", 33035);
    ASSERT_TRUE(listener.Ok());
    uint32_t id = server->AddCallbackConnection(0, "127.0.0.1", 33035, LISTENER_KIND_TCP, 0, nullptr);
    ASSERT_NE(id, 0u);
    auto downWith = [&](uint32_t code) {
        return testwait::waitUntil(
            [&] {
                ConnectionInfo info;
                return server->GetConnectionInfo(id, &info) && info.state == CONNECTION_DISCONNECTED &&
                       info.lastError.GetError() == code;
            },
            20s);
    };

    // Reads whatever comes until the server closes; false at the guard.
    auto endsAfterAnything = [](Connection& c) {
        auto start = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() - start < 20s) {
            pollfd entry = {c.fd(), POLLIN, 0};
            if (poll(&entry, 1, 100) != 1)
                continue;
            uint8_t buffer[256];
            if (recv(c.fd(), buffer, sizeof buffer, 0) <= 0)
                return true;
        }
        return false;
    };
    for (bool accepted : {false, true}) {
        SCOPED_TRACE(accepted ? "stalls after 0x10" : "silent");
        Connection peer;
        ASSERT_TRUE(testwait::waitUntil([&] { return listener.Accept(&peer); }, 20s)) << "waiting for a dial";
        if (accepted)
            ASSERT_TRUE(peer.sendBytes("\x10", 1));
        EXPECT_TRUE(downWith(1236)) << "waiting for the dial to be given up";
        EXPECT_TRUE(endsAfterAnything(peer));
    }

    // A peer that answers the handshake and sends garbage on the session.
    Connection broken;
    ASSERT_TRUE(testwait::waitUntil([&] { return listener.Accept(&broken); }, 20s)) << "waiting for a dial";
    uint8_t request = 0;
    ASSERT_TRUE(broken.answerHandshake(0x07, &request));
    ASSERT_EQ(request, 'F');
    std::vector<uint8_t> serverId;
    uint32_t greeted = 0;
    ASSERT_TRUE(broken.readGreetingStart(&serverId, &greeted));
    ASSERT_TRUE(broken.sendBytes(recordBytes({0x77, 8})));
    EXPECT_TRUE(endsAfterAnything(broken));
    auto ended = std::chrono::steady_clock::now();
    Connection next;
    ASSERT_TRUE(testwait::waitUntil([&] { return listener.Accept(&next); }, 20s)) << "waiting for the next dial";
    EXPECT_GE(std::chrono::steady_clock::now() - ended, 1500ms);

    // Removed while its dial waits for the peer: the dialling thread ends
    // long before the handshake's deadline would end it.
    int threads = server->GetLiveThreads();
    EXPECT_GE(threads, 1);
    EXPECT_TRUE(server->RemoveCallbackConnection(id));
    EXPECT_TRUE(testwait::waitUntil([&] { return server->GetLiveThreads() == 0; }, 20s))
        << "waiting for the dialling thread to end";
    EXPECT_TRUE(endsAfterAnything(next));
}

TEST_F(NetworkServerTest, DataConnectionSetUp)
{
    Connection session;
    uint32_t sessionId;
    ASSERT_TRUE(OpenSession(&session, &sessionId));

    struct Case {
        uint32_t connectionId;
        std::vector<uint8_t> answer;
        bool served;
    } cases[] = {
        {0x80000FFF, {'3', 15, 0, 0, 0}, false}, // no such session connection
        {sessionId, {'3', 4, 0, 0, 0}, true},    // the core refuses with 4
    };
    for (const auto& c : cases) {
        Connection data;
        ASSERT_TRUE(data.connectTcp("127.0.0.1", kPort));
        ASSERT_TRUE(data.handshake('C'));
        ASSERT_TRUE(data.sendBytes(connectRecord(9, c.connectionId)));
        std::vector<uint8_t> echo = data.receive(16);
        std::vector<uint8_t> expected;
        for (int i = 0; i < 16; ++i)
            expected.push_back(static_cast<uint8_t>(i));
        EXPECT_EQ(echo, expected);
        ASSERT_TRUE(data.sendBytes("7", 1));
        EXPECT_EQ(data.receive(5), c.answer);
        EXPECT_TRUE(data.waitClosed());
    }
    std::lock_guard<std::mutex> lock(owner->mutex);
    ASSERT_EQ(owner->served.size(), 1u);
    EXPECT_EQ(owner->served[0].deviceId, 9u);
    EXPECT_EQ(owner->served[0].connectionId, sessionId);
    EXPECT_EQ(owner->served[0].kind, LISTENER_KIND_TCP);
}

// A callback session to a host the filters deny is refused even when it
// would join a session that applied the filters before it came.
TEST_F(NetworkServerTest, CallbackSessionToADeniedHostIsRefused)
{
    Connection loopback;
    uint32_t loopbackId;
    ASSERT_TRUE(OpenSession(&loopback, &loopbackId));
    AddressRule rule;
    rule.kind = ADDRESS_RULE_SINGLE;
    rule.first = ADDRESS("192.0.2.1");
    server->SetIpFilters(FILTER_MODE_ALLOW, {rule});
    // The loopback session stays, and applies the change: a newcomer
    // would join it.
    TestListener listener("127.0.0.2", 33036);
    ASSERT_TRUE(listener.Ok());
    uint32_t id = server->AddCallbackConnection(0, "127.0.0.2", 33036, LISTENER_KIND_TCP, 0, nullptr);
    ASSERT_NE(id, 0u);
    Connection dialled;
    ASSERT_TRUE(testwait::waitUntil([&] { return listener.Accept(&dialled); }, 20s)) << "waiting for the dial";
    uint8_t request = 0;
    ASSERT_TRUE(dialled.answerHandshake(0x07, &request));
    ASSERT_EQ(request, 'F');
    std::vector<uint8_t> serverId;
    uint32_t greeted = 0;
    EXPECT_FALSE(dialled.readGreetingStart(&serverId, &greeted));
    EXPECT_TRUE(LogHas("Client connected from 127.0.0.2:33036, but was rejected by IP filters.\n")) << Log();
    EXPECT_TRUE(server->RemoveCallbackConnection(id));
}

// A filter change that denies an address ends its running data
// connections, not only its sessions.
TEST_F(NetworkServerTest, FilterChangeEndsTheDataConnectionsOfADeniedAddress)
{
    owner->serveUntilClosed = true;
    Connection session;
    uint32_t sessionId;
    ASSERT_TRUE(OpenSession(&session, &sessionId, "127.0.0.2"));
    Connection data;
    ASSERT_TRUE(data.connectTcp("127.0.0.1", kPort, "127.0.0.2"));
    ASSERT_TRUE(data.handshake('C'));
    ASSERT_TRUE(data.sendBytes(connectRecord(9, sessionId)));
    EXPECT_EQ(data.receive(16).size(), 16u);
    ASSERT_TRUE(data.sendBytes("7", 1));
    ASSERT_TRUE(testwait::waitUntil([&] { return owner->inServe.load(); }, 20s)) << "waiting for the serve";

    AddressRule rule;
    rule.kind = ADDRESS_RULE_SINGLE;
    rule.first = ADDRESS("192.0.2.1");
    server->SetIpFilters(FILTER_MODE_ALLOW, {rule});
    EXPECT_TRUE(data.waitClosed());
    EXPECT_TRUE(session.waitClosed());
}

// A dialled 'G' data connection names the session connection that asked
// for it: a connect record with another session's id is refused and
// nothing is served.
TEST_F(NetworkServerTest, DialledDataConnectionForAnotherSessionIsRefused)
{
    Connection other;
    uint32_t otherId;
    ASSERT_TRUE(OpenSession(&other, &otherId));
    TestListener listener("127.0.0.1", 33037);
    ASSERT_TRUE(listener.Ok());
    uint32_t id = server->AddCallbackConnection(0, "127.0.0.1", 33037, LISTENER_KIND_TCP, 0, nullptr);
    ASSERT_NE(id, 0u);
    Connection session;
    ASSERT_TRUE(testwait::waitUntil([&] { return listener.Accept(&session); }, 20s)) << "waiting for the dial";
    uint8_t request = 0;
    ASSERT_TRUE(session.answerHandshake(0x07, &request));
    std::vector<uint8_t> serverId;
    uint32_t greeted = 0;
    ASSERT_TRUE(session.readGreetingStart(&serverId, &greeted));

    auto command = recordBytes({6, 17});
    command.push_back('G');
    auto values = recordBytes({0x11, 0x22});
    command.insert(command.end(), values.begin(), values.end());
    ASSERT_TRUE(session.sendBytes(command));
    Connection data;
    ASSERT_TRUE(testwait::waitUntil([&] { return listener.Accept(&data); }, 20s)) << "waiting for the dial-back";
    ASSERT_TRUE(data.answerHandshake(0x07, &request));
    ASSERT_EQ(request, 'G');
    EXPECT_EQ(data.receive(8), values);
    ASSERT_TRUE(data.sendBytes(connectRecord(9, otherId)));
    EXPECT_EQ(data.receive(16).size(), 16u);
    ASSERT_TRUE(data.sendBytes("7", 1));
    EXPECT_EQ(data.receive(5), (std::vector<uint8_t>{'3', 7, 0, 0, 0}));
    EXPECT_TRUE(data.waitClosed());
    std::lock_guard<std::mutex> lock(owner->mutex);
    EXPECT_TRUE(owner->served.empty());
}

TEST_F(NetworkServerTest, ListenersOffFailedAndStopWaitsForThreads)
{
    uint32_t overall, v4, v6, pipe;
    server->GetListenerStates(&overall, &v4, &v6, &pipe);
    EXPECT_EQ(overall, LISTENER_STATE_RUNNING);
    EXPECT_EQ(v4, LISTENER_STATE_RUNNING);
    EXPECT_EQ(v6, LISTENER_STATE_RUNNING);
    EXPECT_EQ(pipe, LISTENER_STATE_RUNNING);

    // A second server: the port is taken; an off IPv4 address stays off.
    FakeOwner otherOwner(dir.File("other.log"));
    {
        CNetworkServer other(&otherOwner);
        other.SetListenAddresses(ADDRESS("255.255.255.255"), ADDRESS("::1"), kPort);
        CExceptionEx* error = other.StartTcpListeners();
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->GetError(), ERROR_LISTEN_IN_USE);
        delete error;
        other.GetListenerStates(&overall, &v4, &v6, nullptr);
        EXPECT_EQ(overall, LISTENER_STATE_FAILED);
        EXPECT_EQ(other.GetTcpV4Error().GetError(), ERROR_LISTEN_IN_USE);
        other.SetListenAddresses(ADDRESS("255.255.255.255"), ADDRESS(), kPort + 1);
        error = other.StartTcpListeners();
        EXPECT_EQ(error, nullptr);
        delete error;
        other.GetListenerStates(&overall, &v4, &v6, nullptr);
        EXPECT_EQ(overall, LISTENER_STATE_RUNNING);
        EXPECT_EQ(v4, LISTENER_STATE_OFF);
        EXPECT_EQ(v6, LISTENER_STATE_OFF);
    }

    // Clients mid-handshake and in sessions: the destructor returns only
    // after their threads have ended.
    Connection silent, session;
    ASSERT_TRUE(silent.connectTcp("127.0.0.1", kPort));
    EXPECT_EQ(silent.receive(1), std::vector<uint8_t>{0x10});
    uint32_t id;
    ASSERT_TRUE(OpenSession(&session, &id));
    EXPECT_GE(server->GetLiveThreads(), 2);
    server.reset();
    EXPECT_TRUE(silent.waitClosed());
    EXPECT_TRUE(session.waitClosed());
}

// A listener whose socket breaks under it gives up after eleven failures
// and is then reported as failed, never as listening.
TEST_F(NetworkServerTest, AListenerThatEndedIsNotReportedAsListening)
{
    // The IPv4 listener's descriptor, found by its address.
    int listener = -1;
    for (int fd = 0; fd < 1024 && listener < 0; ++fd) {
        sockaddr_in address = {};
        socklen_t length = sizeof address;
        int accepting = 0;
        socklen_t size = sizeof accepting;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 && address.sin_family == AF_INET &&
            ntohs(address.sin_port) == kPort &&
            getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &size) == 0 && accepting)
            listener = fd;
    }
    ASSERT_GE(listener, 0);
    // A listening socket shut down stays readable and every accept fails.
    ASSERT_EQ(shutdown(listener, SHUT_RDWR), 0);
    EXPECT_TRUE(testwait::waitUntil([&] { return server->GetTcpV4State() == LISTENER_STATE_FAILED; }, 20s))
        << "waiting for the IPv4 listener to be reported failed";
    uint32_t overall = 0;
    server->GetListenerStates(&overall, nullptr, nullptr, nullptr);
    EXPECT_EQ(overall, LISTENER_STATE_FAILED);
    EXPECT_NE(server->GetTcpV4Error().GetError(), 0u);
    EXPECT_TRUE(LogHas("Server stopped due to unrecoverable error (error code"));
}

TEST_F(NetworkServerTest, DestructionOutwaitsAThreadInsideTheCore)
{
    // A data connection's thread is inside the core when the server goes:
    // it comes back to the server's lists and socket, so the destructor
    // must wait for it.
    Connection session, data;
    uint32_t sessionId;
    ASSERT_TRUE(OpenSession(&session, &sessionId));
    owner->holdServe = true;
    ASSERT_TRUE(data.connectTcp("127.0.0.1", kPort));
    ASSERT_TRUE(data.handshake('C'));
    ASSERT_TRUE(data.sendBytes(connectRecord(9, sessionId)));
    ASSERT_EQ(data.receive(16).size(), 16u);
    ASSERT_TRUE(data.sendBytes("7", 1));
    ASSERT_TRUE(testwait::waitUntil([&] { return owner->inServe.load(); }, 10s));
    std::atomic<bool> destroyed{false};
    std::thread destroyer([&] {
        server.reset();
        destroyed = true;
    });
    EXPECT_FALSE(testwait::waitUntil([&] { return destroyed.load(); }, 2s));
    owner->holdServe = false;
    destroyer.join();
    EXPECT_TRUE(data.waitClosed());
}

} // namespace
