// Client connections of the server core against recording fakes: connect
// and disconnect requests, data connections, reservations and their expiry
// on the test clock, the stubs' activity reports, callback connections and
// the connect record's unscrambling.
#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include "tests/calvixd/test_devicemodel_fakes.h"
#include "tests/support/calvixwire.h"

namespace {

constexpr uint32_t kClientA = 0x80000005;
constexpr uint32_t kClientB = 0x80000009;

// What the fake network server knows and answers beyond the device events.
struct NetScript {
    std::mutex lock;
    std::map<uint32_t, ConnectionSnapshot> connections; // acquirable ids
    uint32_t nextCallbackId = 0xC0000001;
    uint32_t addError = 0;   // non-zero: AddCallbackConnection fails with it
    int addErrno = 0;        // errno left behind by a failing add
    bool removeResult = true;
};

class CConnNetwork : public CFakeNetwork {
public:
    CConnNetwork(ModelJournal* journal, NetScript* script) : CFakeNetwork(journal), m_journal(journal), m_script(script)
    {
    }
    bool AcquireConnection(uint32_t id) override
    {
        std::lock_guard<std::mutex> hold(m_script->lock);
        bool known = m_script->connections.count(id) != 0;
        m_journal->Add(std::string(known ? "net.acquire(" : "net.acquire-failed(") + std::to_string(id) + ")");
        return known;
    }
    bool GetConnectionSnapshot(uint32_t id, ConnectionSnapshot* out) override
    {
        std::lock_guard<std::mutex> hold(m_script->lock);
        auto it = m_script->connections.find(id);
        if (it == m_script->connections.end() || it->second.connectionId != id)
            return false;
        *out = it->second;
        return true;
    }
    void SendDeviceCommand(uint32_t deviceId, uint32_t connectionId, uint32_t command) override
    {
        m_journal->Add("net.command(" + std::to_string(deviceId) + "," + std::to_string(connectionId) + "," +
                       std::to_string(command) + ")");
    }
    uint32_t AddCallbackConnection(uint32_t id, const std::string& host, uint16_t port, uint32_t kind,
                                   uint32_t flags, uint32_t* error) override
    {
        std::ostringstream text;
        text << "net.addcallback(" << std::hex << id << "," << host << "," << std::dec << port << ",0x" << std::hex
             << kind << ",0x" << flags << ")";
        m_journal->Add(text.str());
        std::lock_guard<std::mutex> hold(m_script->lock);
        if (m_script->addError) {
            if (m_script->addErrno)
                errno = m_script->addErrno;
            *error = m_script->addError;
            return 0;
        }
        return id ? id : m_script->nextCallbackId++;
    }
    bool RemoveCallbackConnection(uint32_t id) override
    {
        std::ostringstream text;
        text << "net.removecallback(" << std::hex << id << ")";
        m_journal->Add(text.str());
        std::lock_guard<std::mutex> hold(m_script->lock);
        return m_script->removeResult;
    }
    void SetCallbackConnectionFlags(uint32_t id, uint32_t flags) override
    {
        std::ostringstream text;
        text << "net.callbackflags(" << std::hex << id << ",0x" << flags << ")";
        m_journal->Add(text.str());
    }

private:
    ModelJournal* m_journal;
    NetScript* m_script;
};

// A stub whose data connections run at once and are counted.
class CRunningStub : public CFakeStub {
public:
    CRunningStub(StubScript* script, std::atomic<int>* runs) : CFakeStub(script), m_runs(runs) {}
    uint8_t RunDataConnection(CSocket*, uint8_t, uint32_t* code) override
    {
        ++*m_runs;
        *code = 0;
        return '2';
    }

private:
    std::atomic<int>* m_runs;
};

class CConnDeps : public CFakeDeps {
public:
    CConnDeps(CUsbServerCoreOwner* owner, const std::string& root, LoaderScript* loader, StubScript* stubs,
              ModelJournal* journal, std::atomic<uint32_t>* clock, NetScript* net, std::atomic<int>* runs)
        : CFakeDeps(owner, root, loader, stubs, journal, clock), m_journal(journal), m_net(net), m_stubs(stubs),
          m_runs(runs)
    {
    }
    CNetworkServerIface* CreateNetworkServer(CUsbServerCore*) override { return new CConnNetwork(m_journal, m_net); }
    std::shared_ptr<CUsbStub> CreateStub(const UsbStubParams& params) override
    {
        CFakeDeps::CreateStub(params);
        return std::make_shared<CRunningStub>(m_stubs, m_runs);
    }

private:
    ModelJournal* m_journal;
    NetScript* m_net;
    StubScript* m_stubs;
    std::atomic<int>* m_runs;
};

struct Connections : ::testing::Test {
    CTempDir logDir;
    CEventLog log{logDir.File("calvixd.log").c_str()};
    ModelJournal journal;
    CFakeOwner owner{&journal, &log};
    LoaderScript loader;
    StubScript stubs;
    NetScript net;
    std::atomic<int> runs{0};
    std::atomic<uint32_t> clock{1000};
    CSysfsTree sysfs;
    std::unique_ptr<CTestServerCore> core;
    uint32_t id = 0;

    void SetUp() override
    {
        AddClient(kClientA, "10.0.0.5", "alpha");
        AddClient(kClientB, "10.0.0.9", "beta");
    }
    void TearDown() override { core.reset(); }

    void Make(const StoredSettings& settings = StoredSettings())
    {
        core = std::make_unique<CTestServerCore>(std::make_unique<CConnDeps>(
            &owner, sysfs.Root(), &loader, &stubs, &journal, &clock, &net, &runs));
        core->Start(settings);
    }
    void AddClient(uint32_t connectionId, const char* address, const char* name, uint32_t state = 0)
    {
        ConnectionSnapshot c;
        c.connectionId = connectionId;
        c.state = state;
        c.kind = CONNECTION_KIND_TCP;
        c.clientAddress = ADDRESS(address);
        c.clientName = name;
        net.connections[connectionId] = c;
    }
    // One device, shared and attached to the stub driver: state 3.
    void MakeShared()
    {
        Make();
        core->SetAutoShareMode(1);
        CSysfsTree::Device d;
        d.busId = "1-1";
        sysfs.Add(d);
        loader.identities["1-1"] = "SN0001";
        loader.stubNumbers["1-1"] = 7;
        core->OnDeviceArrived("1-1");
        core->OnStubAttached("1-1");
        id = core->States().begin()->first;
        ASSERT_EQ(core->States()[id], DEVICE_STATE_SHARED);
        journal.Clear();
    }
    UsbDevice Record()
    {
        UsbDevice d;
        EXPECT_TRUE(core->Snapshot(id, &d));
        return d;
    }
    std::vector<std::string> NetEvents()
    {
        std::vector<std::string> out;
        for (const std::string& e : journal.Events())
            if (e.rfind("net.", 0) == 0)
                out.push_back(e);
        return out;
    }
    size_t Count(const std::string& event)
    {
        auto events = NetEvents();
        return static_cast<size_t>(std::count(events.begin(), events.end(), event));
    }
    static std::string Release(uint32_t connection) { return "net.release(" + std::to_string(connection) + ")"; }
    static std::string Acquire(uint32_t connection) { return "net.acquire(" + std::to_string(connection) + ")"; }
    std::string InUse(uint32_t target, int mode, uint32_t kind, const char* address)
    {
        char text[128];
        snprintf(text, sizeof text, "net.inuse(%u,%u,%d,0x%x,%s)", id, target, mode,
                 SetClientKindFlags(Record().flags, kind), address);
        return text;
    }
    // A data connection of the client; the answer and the refusal code.
    std::pair<uint8_t, uint32_t> Serve(uint32_t connectionId, const char* address = "10.0.0.5")
    {
        uint32_t code = 99;
        uint8_t answer =
            core->ServeDeviceConnection(nullptr, CONNECTION_KIND_TCP, ADDRESS(address), "", 1, id, connectionId, &code);
        return {answer, code};
    }
    uint32_t ErrorOf(const std::function<void()>& request)
    {
        try {
            request();
        } catch (CExceptionEx* e) {
            uint32_t error = e->GetError();
            EXPECT_EQ(e->GetModule(), MODULE_USBSERVERCORE);
            delete e;
            return error;
        }
        return 0;
    }
    // A client uses the device and has gone quiet: state 9.
    void MakeInactive(uint32_t user)
    {
        core->MakeInUse(id, user, "10.0.0.1");
        core->OnDeviceInactive(id);
        ASSERT_EQ(Record().state, DEVICE_STATE_INACTIVE);
        journal.Clear();
    }
};

TEST(ConnectRecord, UnscrambleGivesTheEchoOfAnIndependentScrambler)
{
    const struct {
        uint8_t platform;
        uint32_t deviceId, connectionId;
    } cases[] = {{0x00, 1, 0x80000001}, {0x01, 7, 0x80000005}, {0x07, 0xFFFFFFFF, 0}, {0x90, 42, 0xC0000003},
                 {0xFF, 0x12345678, 0x8FFFFFFF}};
    for (const auto& c : cases) {
        std::vector<uint8_t> echo;
        std::vector<uint8_t> record = calvixwire::connectRecord(c.deviceId, c.connectionId, c.platform, &echo);
        ASSERT_EQ(record.size(), 92u);
        std::vector<uint8_t> clear(record.begin(), record.begin() + 8);
        ASSERT_TRUE(CUsbServerCoreImpl::UnscrambleConnectRecord(record.data(), record.size(), c.platform));
        EXPECT_EQ(std::vector<uint8_t>(record.begin(), record.begin() + 8), clear) << int(c.platform);
        EXPECT_EQ(std::vector<uint8_t>(record.begin() + 8, record.begin() + 24), echo) << int(c.platform);
    }
    // Another platform byte draws another key.
    std::vector<uint8_t> echo;
    std::vector<uint8_t> record = calvixwire::connectRecord(1, 2, 0x07, &echo);
    ASSERT_TRUE(CUsbServerCoreImpl::UnscrambleConnectRecord(record.data(), record.size(), 0x08));
    EXPECT_NE(std::vector<uint8_t>(record.begin() + 8, record.begin() + 24), echo);

    uint8_t bytes[93] = {};
    for (size_t size : {0, 8, 91, 93})
        EXPECT_FALSE(CUsbServerCoreImpl::UnscrambleConnectRecord(bytes, size, 1)) << size;
    EXPECT_FALSE(CUsbServerCoreImpl::UnscrambleConnectRecord(nullptr, 92, 1));
}

TEST_F(Connections, ConnectHandsTheDeviceToTheClientUntilItsDataConnectionComes)
{
    MakeShared();
    core->ConnectDevice(id, kClientA);
    UsbDevice d = Record();
    EXPECT_EQ(d.state, DEVICE_STATE_CONNECTING);
    EXPECT_EQ(d.clientConnectionId, kClientA);
    EXPECT_EQ(d.clientName, "alpha");
    EXPECT_EQ(d.flags & 0x1E000, 0x4000u);
    EXPECT_EQ(NetEvents(), (std::vector<std::string>{Acquire(kClientA), "net.command(1," + std::to_string(kClientA) + ",1)",
                                                     InUse(kClientA, DELIVER_ALL_BUT, 32, "10.0.0.5")}));
    // The same client again: already done. Another client: not free.
    EXPECT_EQ(ErrorOf([&] { core->ConnectDevice(id, kClientA); }), ERROR_ALREADY_INITIALIZED);
    EXPECT_EQ(ErrorOf([&] { core->ConnectDevice(id, kClientB); }), ERROR_DEVICE_NOT_PRESENT);

    // Another client's data connection is refused and leaves the attempt.
    journal.Clear();
    EXPECT_EQ(Serve(kClientB, "10.0.0.9"), std::make_pair(uint8_t('3'), 5u));
    EXPECT_EQ(Record().state, DEVICE_STATE_CONNECTING);
    EXPECT_EQ(NetEvents(), std::vector<std::string>{});

    // The client's own is served; the connect request's use of its id ends
    // once.
    EXPECT_EQ(Serve(kClientA), std::make_pair(uint8_t('2'), 0u));
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(Count(Release(kClientA)), 1u);
    EXPECT_EQ(Record().state, DEVICE_STATE_SHARED);
    EXPECT_EQ(Record().lastError.GetError(), 0u);
}

TEST_F(Connections, ConnectAttemptExpiresAfterThirtySeconds)
{
    MakeShared();
    core->ConnectDevice(id, kClientA);
    journal.Clear();
    clock += 29999;
    EXPECT_TRUE(core->ExpireConnectingDevices());
    EXPECT_EQ(Record().state, DEVICE_STATE_CONNECTING);
    clock += 1;
    // The worker may get there first; either way it expires once.
    core->ExpireConnectingDevices();
    EXPECT_FALSE(core->ExpireConnectingDevices());
    EXPECT_EQ(Record().state, DEVICE_STATE_SHARED);
    EXPECT_EQ(Record().lastError.GetError(), ERROR_CONNECTION_EXPIRED);
    EXPECT_EQ(NetEvents(), (std::vector<std::string>{Release(kClientA), "net.available(1,0,0)"}));
}

TEST_F(Connections, ConnectRefusals)
{
    MakeShared();
    AddClient(0x80000011, "10.0.0.11", "closing", 8);
    AddClient(0x80000012, "10.0.0.12", "gone");
    net.connections[0x80000012].connectionId = 0; // acquirable, but not found any more
    const struct {
        const char* what;
        uint32_t deviceId;
        uint32_t connectionId;
        uint32_t error;
    } cases[] = {
        {"connection id 0", 1, 0, 1350},
        {"unknown device", 99, kClientA, ERROR_UNKNOWN_DEVICE},
        {"unknown connection", 1, 0x80000077, 1356},
        {"connection not listed", 1, 0x80000012, 1356},
        {"connection not open", 1, 0x80000011, 1353},
    };
    for (const auto& c : cases) {
        journal.Clear();
        EXPECT_EQ(ErrorOf([&] { core->ConnectDevice(c.deviceId, c.connectionId); }), c.error) << c.what;
        EXPECT_EQ(Record().state, DEVICE_STATE_SHARED) << c.what;
        // Every use taken is given back.
        EXPECT_EQ(Count(Acquire(c.connectionId)), Count(Release(c.connectionId))) << c.what;
    }
    // A device that is not shared.
    core->UnshareDevice(id, true);
    EXPECT_EQ(ErrorOf([&] { core->ConnectDevice(id, kClientA); }), ERROR_DEVICE_NOT_PRESENT);
}

TEST_F(Connections, Disconnect)
{
    MakeShared();
    EXPECT_EQ(ErrorOf([&] { core->DisconnectDevice(id); }), ERROR_ALREADY_INITIALIZED);
    EXPECT_EQ(ErrorOf([&] { core->DisconnectDevice(99); }), ERROR_UNKNOWN_DEVICE);

    // A connecting device is given back at once.
    core->ConnectDevice(id, kClientA);
    journal.Clear();
    core->DisconnectDevice(id);
    EXPECT_EQ(Record().state, DEVICE_STATE_SHARED);
    EXPECT_EQ(Record().lastError.GetError(), ERROR_CONNECTION_CANCELLED);
    EXPECT_EQ(NetEvents(), (std::vector<std::string>{Release(kClientA), "net.available(1,0,0)"}));

    // A device in use: its client is told to close.
    for (bool inactive : {false, true}) {
        core->MakeInUse(id, kClientB, "10.0.0.9");
        if (inactive)
            core->OnDeviceInactive(id);
        journal.Clear();
        core->DisconnectDevice(id);
        EXPECT_EQ(NetEvents(), std::vector<std::string>{"net.command(1," + std::to_string(kClientB) + ",2)"});
    }
}

TEST_F(Connections, ActivityReportsMoveBetweenInUseAndInactive)
{
    MakeShared();
    core->OnDeviceInactive(id);
    core->OnDeviceActive(id);
    EXPECT_EQ(NetEvents(), std::vector<std::string>{}) << "a device nobody uses";
    EXPECT_EQ(journal.notifies, 0);

    core->MakeInUse(id, kClientA, "10.0.0.5");
    core->OnDeviceInactive(id);
    EXPECT_EQ(Record().state, DEVICE_STATE_INACTIVE);
    core->OnDeviceInactive(id);
    core->OnDeviceActive(id);
    EXPECT_EQ(Record().state, DEVICE_STATE_IN_USE);
    EXPECT_EQ(NetEvents(), (std::vector<std::string>{"net.inactive(1,0,0)", InUse(0, DELIVER_ALL, 32, "10.0.0.5")}));
    EXPECT_EQ(journal.notifies, 2);
}

TEST_F(Connections, ReservationHoldsTheDeviceForTheReserver)
{
    MakeShared();
    MakeInactive(kClientB);
    core->ReserveInactiveDevice(kClientA, id, CONNECTION_KIND_TCP, ADDRESS("10.0.0.5"), "alpha");
    EXPECT_EQ(core->ReservationCount(), 1u);
    EXPECT_EQ(stubs.stops, 1) << "the quiet client's connection is ended";
    EXPECT_EQ(NetEvents(), (std::vector<std::string>{Acquire(kClientA), InUse(kClientA, DELIVER_ALL_BUT, 32, "10.0.0.5")}));

    // The reserver comes while the quiet client's connection is still
    // ending: refused, but the reservation and its use of the id stay.
    journal.Clear();
    EXPECT_EQ(Serve(kClientA), std::make_pair(uint8_t('3'), 5u));
    EXPECT_EQ(core->ReservationCount(), 1u);
    EXPECT_EQ(Count(Release(kClientA)), 0u);

    // The connection ends: the device is offered to the reserver alone, and
    // anybody else is refused.
    journal.Clear();
    core->OnDataConnectionEnded(id);
    EXPECT_EQ(NetEvents(), std::vector<std::string>{"net.available(1," + std::to_string(kClientA) + ",1)"});
    EXPECT_EQ(Serve(kClientB, "10.0.0.9"), std::make_pair(uint8_t('3'), 5u));
    EXPECT_EQ(core->ReservationCount(), 1u);

    // The reserver is served; the reservation ends with one release.
    journal.Clear();
    EXPECT_EQ(Serve(kClientA), std::make_pair(uint8_t('2'), 0u));
    EXPECT_EQ(core->ReservationCount(), 0u);
    EXPECT_EQ(Count(Release(kClientA)), 1u);
    EXPECT_FALSE(core->ExpirePendingConnections());
    EXPECT_EQ(Count(Release(kClientA)), 1u);
}

TEST_F(Connections, ReservationIsMadeOnlyForAnInactiveDevice)
{
    MakeShared();
    const struct {
        const char* what;
        std::function<void()> arrange;
        uint32_t reserver;
    } cases[] = {
        {"free device", [] {}, kClientA},
        {"active user", [&] { core->MakeInUse(id, kClientB, "10.0.0.9"); }, kClientA},
        {"unknown connection", [&] { MakeInactive(kClientB); }, 0x80000077},
        {"already reserved",
         [&] {
             MakeInactive(kClientB);
             PendingConnection other;
             other.connectionId = 0x80000031;
             core->Reserve(id, other);
         },
         kClientA},
    };
    for (const auto& c : cases) {
        c.arrange();
        size_t before = core->ReservationCount();
        journal.Clear();
        core->ReserveInactiveDevice(c.reserver, id, CONNECTION_KIND_TCP, ADDRESS("10.0.0.5"), "alpha");
        EXPECT_EQ(core->ReservationCount(), before) << c.what;
        EXPECT_EQ(stubs.stops, 0) << c.what;
        for (const std::string& e : NetEvents())
            EXPECT_EQ(e.rfind("net.acquire", 0), 0u) << c.what << ": " << e;
    }
}

TEST_F(Connections, ReservationEnds)
{
    MakeShared();
    auto reserve = [&] {
        MakeInactive(kClientB);
        core->ReserveInactiveDevice(kClientA, id, CONNECTION_KIND_TCP, ADDRESS("10.0.0.5"), "alpha");
        ASSERT_EQ(core->ReservationCount(), 1u);
        core->OnDataConnectionEnded(id);
        journal.Clear();
    };

    // After 30000 ms: everybody may have it again.
    reserve();
    clock += 29999;
    EXPECT_TRUE(core->ExpirePendingConnections());
    clock += 1;
    EXPECT_FALSE(core->ExpirePendingConnections());
    EXPECT_EQ(NetEvents(), (std::vector<std::string>{"net.available(1,0,0)", Release(kClientA)}));

    // A connect request for somebody else: the new client, which saw the
    // device reserved, is told that it is available.
    reserve();
    core->ConnectDevice(id, kClientB);
    EXPECT_EQ(core->ReservationCount(), 0u);
    std::vector<std::string> events = NetEvents();
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events[1], Release(kClientA));
    EXPECT_EQ(events[2], "net.available(1," + std::to_string(kClientB) + ",1)");
    core->DisconnectDevice(id);

    // A connect request for the reserver itself keeps it to the reserver.
    reserve();
    core->ConnectDevice(id, kClientA);
    EXPECT_EQ(core->ReservationCount(), 0u);
    EXPECT_EQ(Count(Release(kClientA)), 1u);
    EXPECT_EQ(Count("net.available(1," + std::to_string(kClientA) + ",1)"), 0u);
}

TEST_F(Connections, CallbackConnectionsAreAddedOnceAndPassedOn)
{
    Make();
    uint32_t first = core->AddCallbackConnection("client.example", 32032, 0x80 | 0x1 | 0x400);
    EXPECT_EQ(first, 0xC0000001u);
    EXPECT_EQ(core->AddCallbackConnection("client.example", 32032, 0x20), first) << "same kind, host and port";
    EXPECT_EQ(core->AddCallbackConnection("client.example", 32033, 0), 0xC0000002u);
    EXPECT_EQ(NetEvents(), (std::vector<std::string>{"net.addcallback(0,client.example,32032,0x20,0x81)",
                                                     "net.addcallback(0,client.example,32033,0x20,0x0)"}));
    std::map<uint32_t, uint32_t> flags;
    std::vector<ConnectionInfo> listed;
    core->CollectState(nullptr, &listed, nullptr);
    for (const ConnectionInfo& info : listed)
        flags[info.id] = info.flags;
    EXPECT_EQ(flags[first], 0xA3u) << "[incomming] dropped, [callback] set";

    journal.Clear();
    core->SetCallbackConnectionFlags(first, 0x80 | 0x2);
    EXPECT_EQ(NetEvents(), std::vector<std::string>{"net.callbackflags(c0000001,0x80)"});
    EXPECT_EQ(ErrorOf([&] { core->SetCallbackConnectionFlags(0xC0000077, 0); }), 1356u);

    journal.Clear();
    net.removeResult = false;
    EXPECT_EQ(ErrorOf([&] { core->RemoveCallbackConnection(first); }), ERROR_TIMEOUT);
    net.removeResult = true;
    core->RemoveCallbackConnection(first);
    EXPECT_EQ(ErrorOf([&] { core->RemoveCallbackConnection(first); }), 1356u);
    EXPECT_EQ(Count("net.removecallback(c0000001)"), 2u);

    // The rest goes with the core.
    journal.Clear();
    core.reset();
    EXPECT_EQ(NetEvents(), std::vector<std::string>{"net.removecallback(c0000002)"});
}

TEST_F(Connections, CallbackConnectionRefusals)
{
    Make();
    const struct {
        const char* what;
        std::string host;
        uint16_t port;
        uint32_t error;
    } cases[] = {
        {"empty host", "", 1, 87},
        {"port 0", "10.0.0.5", 0, 87},
        {"line feed", "evil\n[Generic options section]", 1, 87},
        {"carriage return", "host\r", 1, 87},
        {"tab", "a\tb", 1, 87},
        {"delete", "a\x7f", 1, 87},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ErrorOf([&] { core->AddCallbackConnection(c.host, c.port, 0x20); }), c.error) << c.what;
    EXPECT_EQ(NetEvents(), std::vector<std::string>{});

    // A failure of the network server carries errno when a call set it,
    // else the server's own cause.
    const struct {
        int err;
        uint32_t serverError;
        uint32_t expected;
    } failures[] = {{0, ERROR_TIMEOUT, ERROR_TIMEOUT}, {0, ERROR_NOT_ENOUGH_MEMORY, 8}, {EMFILE, 8, EMFILE}};
    for (const auto& f : failures) {
        errno = EINTR; // left over from before the request
        net.addError = f.serverError;
        net.addErrno = f.err;
        EXPECT_EQ(ErrorOf([&] { core->AddCallbackConnection("10.0.0.5", 32032, 0); }), f.expected) << f.err;
    }
}

TEST_F(Connections, ConfiguredCallbacksAreDialled)
{
    StoredSettings settings;
    settings.callbacks = {{0xC0000005, "10.0.0.5", 32032, 0x23}, {0x5, "10.0.0.6", 32032, 0x420}};
    Make(settings);
    EXPECT_EQ(NetEvents(), std::vector<std::string>{"net.addcallback(c0000005,10.0.0.5,32032,0x20,0x1)"});
    EXPECT_EQ(core->AddCallbackConnection("10.0.0.5", 32032, 0x20), 0xC0000005u);
}

} // namespace
