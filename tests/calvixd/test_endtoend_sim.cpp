// A remote client reaches a device on the simulated stub driver through the
// server core and the real network server: the device shared on plug shows
// in the client's greeting; a data connection with a scrambled connect
// record relays driver messages both ways; when it ends the device is
// offered again. Loopback TCP over IPv4 and IPv6 and the remote-desktop
// pipe, in a private network namespace.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "calvixd/core/corenetwork.h"
#include "calvixd/net/socket.h"
#include "tests/calvixd/test_devicemodel_fakes.h"
#include "tests/support/calvixwire.h"
#include "tests/support/netns.h"
#include "tests/support/ravelsim.h"
#include "tests/support/wait.h"

using namespace std::chrono_literals;
using calvixwire::Connection;
using calvixwire::Record;
using calvixwire::recordBytes;

namespace {

const int g_netns = [] {
    std::string error;
    return netns::enterPrivateNetwork(&error);
}();

class CNetworkSimDeps : public CFakeDeps {
public:
    using CFakeDeps::CFakeDeps;
    CLoaderApi* CreateLoader(CLoaderEvents* events) override { return new CLoaderApiKmod(events, GetSysfsRoot()); }
    std::shared_ptr<CUsbStub> CreateStub(const UsbStubParams& params) override { return CreateKmodUsbStub(params); }
    CNetworkServerIface* CreateNetworkServer(CUsbServerCore* core) override
    {
        return CreateCoreNetworkServer(static_cast<CUsbServerCoreImpl*>(core), GetOwner());
    }
};

uint32_t Get32(const uint8_t* p)
{
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}

struct EndToEnd : ::testing::Test {
    CTempDir logDir;
    CEventLog log{logDir.File("calvixd.log").c_str()};
    ModelJournal journal;
    CFakeOwner owner{&journal, &log};
    LoaderScript unused;
    StubScript stubs;
    std::atomic<uint32_t> clock{1000};
    CTempDir sysfs;
    std::unique_ptr<ravelsim::RavelSim> sim;
    std::unique_ptr<CTestServerCore> core;

    void SetUp() override
    {
        if (geteuid() != 0 || g_netns != 0)
            GTEST_SKIP() << "needs root for a private network namespace";
        sim = std::make_unique<ravelsim::RavelSim>(sysfs.Path() + "/devices/");
        sim->Install();
        core = std::make_unique<CTestServerCore>(
            std::make_unique<CNetworkSimDeps>(&owner, sim->SysfsRoot(), &unused, &stubs, &journal, &clock));
        StoredSettings settings;
        settings.autoShare = 1;
        settings.tcpPort = 32032;
        settings.listenV4 = ADDRESS("127.0.0.1");
        settings.listenV6 = ADDRESS("::1");
        core->Start(settings);
    }
    void TearDown() override
    {
        core.reset();
        sim.reset();
    }

    // Reads records until a device record (type 1 or 2) for the device
    // comes; its state or event byte, -1 when none comes.
    int NextDeviceState(Connection* session, uint32_t* deviceId)
    {
        for (;;) {
            Record record;
            if (!session->readRecord(&record))
                return -1;
            if (record.type != 1 && record.type != 2)
                continue;
            calvixwire::DeviceRecord d = calvixwire::parseDeviceRecord(record);
            *deviceId = d.deviceId;
            return d.stateOrEvent;
        }
    }

    // A data connection: the handshake, then served (refusal 0) or refused
    // with the code given.
    void OpenData(Connection* data, uint32_t deviceId, uint32_t sessionId, uint32_t refusal)
    {
        ASSERT_TRUE(data->handshake('C', calvixwire::kServerVersion, 0x07));
        uint32_t code = 99;
        ASSERT_TRUE(data->openData(deviceId, sessionId, 0x07, &code));
        EXPECT_EQ(code, refusal);
    }

    // A session over IPv4 whose greeting lists the device as shared.
    void OpenSession(Connection* session, uint32_t* sessionId, uint32_t* deviceId)
    {
        ASSERT_TRUE(session->connectTcp("127.0.0.1", 32032));
        ASSERT_TRUE(session->handshake('E', calvixwire::kServerVersion, 0x07));
        std::vector<uint8_t> serverId;
        ASSERT_TRUE(session->readGreetingStart(&serverId, sessionId));
        int state = -1;
        for (int i = 0; i < 3 && state != 3; ++i)
            state = NextDeviceState(session, deviceId);
        ASSERT_EQ(state, 3);
    }
};

struct EndToEndConnections : EndToEnd {
    void SetUp() override
    {
        EndToEnd::SetUp();
        if (IsSkipped())
            return;
        ravelsim::SimDevice device;
        device.busId = "1-1";
        device.serial = "SN0001";
        sim->Plug(device);
        ASSERT_TRUE(testwait::waitUntil([&] { return sim->StubNumber("1-1") > 0; }, 10s));
    }
};

TEST_F(EndToEndConnections, ReservationHoldsTheDeviceForTheReserver)
{
    Connection user, reserver;
    uint32_t userId = 0, reserverId = 0, deviceId = 0;
    ASSERT_NO_FATAL_FAILURE(OpenSession(&user, &userId, &deviceId));
    ASSERT_NO_FATAL_FAILURE(OpenSession(&reserver, &reserverId, &deviceId));
    user.setTimeoutMs(30000);
    reserver.setTimeoutMs(30000);
    std::shared_ptr<CUsbStub> stub = core->GetStub(deviceId);
    ASSERT_TRUE(stub);
    stub->SetInactivityTimeout(1);

    Connection data;
    ASSERT_TRUE(data.connectTcp("127.0.0.1", 32032));
    ASSERT_NO_FATAL_FAILURE(OpenData(&data, deviceId, userId, 0));
    ASSERT_EQ(NextDeviceState(&reserver, &deviceId), 4);
    ASSERT_EQ(NextDeviceState(&user, &deviceId), 4);
    // The device stays quiet for longer than its time-out: the stub reports
    // it inactive at the pump's next turn.
    clock += 2000;
    ASSERT_EQ(NextDeviceState(&reserver, &deviceId), 9);
    ASSERT_EQ(NextDeviceState(&user, &deviceId), 9);

    // The reserve command: the quiet user's data connection is ended, the
    // user sees the device taken, the reserver sees it offered.
    std::vector<uint8_t> reserve = recordBytes({8, 13});
    reserve.push_back(1);
    auto id = recordBytes({deviceId});
    reserve.insert(reserve.end(), id.begin(), id.end());
    ASSERT_TRUE(reserver.sendBytes(reserve));
    EXPECT_TRUE(data.waitClosed());
    EXPECT_EQ(NextDeviceState(&user, &deviceId), 4);
    EXPECT_EQ(NextDeviceState(&reserver, &deviceId), 3);

    // The former user is refused; the reserver is served.
    Connection again;
    ASSERT_TRUE(again.connectTcp("127.0.0.1", 32032));
    ASSERT_NO_FATAL_FAILURE(OpenData(&again, deviceId, userId, 5));
    Connection reserved;
    ASSERT_TRUE(reserved.connectTcp("127.0.0.1", 32032));
    ASSERT_NO_FATAL_FAILURE(OpenData(&reserved, deviceId, reserverId, 0));
    EXPECT_EQ(NextDeviceState(&user, &deviceId), 4);
}

// Switching the time-out off makes an inactive device active again at once,
// before the driver sends anything.
TEST_F(EndToEndConnections, TimeoutZeroMakesAnInactiveDeviceActive)
{
    Connection user;
    uint32_t userId = 0, deviceId = 0;
    ASSERT_NO_FATAL_FAILURE(OpenSession(&user, &userId, &deviceId));
    // The pump notices the silence at its next turn, up to its ping
    // interval later: the guard leaves room for a loaded machine.
    user.setTimeoutMs(60000);
    core->SetDeviceTimeout(deviceId, 1);

    Connection data;
    ASSERT_TRUE(data.connectTcp("127.0.0.1", 32032));
    ASSERT_NO_FATAL_FAILURE(OpenData(&data, deviceId, userId, 0));
    ASSERT_EQ(NextDeviceState(&user, &deviceId), 4);
    clock += 2000;
    ASSERT_EQ(NextDeviceState(&user, &deviceId), 9);

    core->SetDeviceTimeout(deviceId, 0);
    EXPECT_EQ(NextDeviceState(&user, &deviceId), 4);
}

TEST_F(EndToEndConnections, CallbackConnectionIsDialledAndServesTheDevice)
{
    // The client's listener, on a port the kernel picks.
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    uint16_t port = ntohs(address.sin_port);

    uint32_t callbackId = core->AddCallbackConnection("127.0.0.1", port, 0x20);
    EXPECT_EQ(callbackId & 0xF0000000, 0xC0000000u);
    pollfd wait = {listener, POLLIN, 0};
    ASSERT_EQ(poll(&wait, 1, 30000), 1) << "the server dials the client";
    Connection session;
    session.adopt(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    close(listener);

    // The server dials, so the client answers as the accepting side.
    uint8_t request = 0;
    ASSERT_TRUE(session.answerHandshake(0x07, &request));
    EXPECT_EQ(request, 'F');
    std::vector<uint8_t> serverId;
    uint32_t sessionId = 0;
    ASSERT_TRUE(session.readGreetingStart(&serverId, &sessionId));
    EXPECT_EQ(sessionId, callbackId);
    uint32_t deviceId = 0;
    int state = -1;
    for (int i = 0; i < 3 && state != 3; ++i)
        state = NextDeviceState(&session, &deviceId);
    ASSERT_EQ(state, 3);

    // The client's data connection names the callback connection.
    Connection data;
    ASSERT_TRUE(data.connectTcp("127.0.0.1", 32032));
    ASSERT_NO_FATAL_FAILURE(OpenData(&data, deviceId, callbackId, 0));
    EXPECT_EQ(NextDeviceState(&session, &deviceId), 4);
}

TEST_F(EndToEnd, SharedDeviceIsReachedOverEveryTransport)
{
    ravelsim::SimDevice device;
    device.busId = "1-1";
    device.serial = "SN0001";
    sim->Plug(device);
    ASSERT_TRUE(testwait::waitUntil([&] { return sim->StubNumber("1-1") > 0; }, 10s));

    struct Transport {
        const char* what;
        std::function<bool(Connection*)> open;
    } transports[] = {
        {"tcp4", [](Connection* c) { return c->connectTcp("127.0.0.1", 32032); }},
        {"tcp6", [](Connection* c) { return c->connectTcp("::1", 32032); }},
        {"pipe", [](Connection* c) { return c->connectPipe("calvixdvc.pipe") && c->sendDesktopPrefix("desk"); }},
    };
    for (const auto& t : transports) {
        // The session greeting lists the shared device.
        Connection session;
        ASSERT_TRUE(t.open(&session)) << t.what;
        ASSERT_TRUE(session.handshake('E', calvixwire::kServerVersion, 0x07)) << t.what;
        std::vector<uint8_t> serverId;
        uint32_t sessionId = 0;
        ASSERT_TRUE(session.readGreetingStart(&serverId, &sessionId)) << t.what;
        uint32_t deviceId = 0;
        // The device may still be on its way to the shared state.
        int state = -1;
        for (int i = 0; i < 3 && state != 3; ++i)
            state = NextDeviceState(&session, &deviceId);
        ASSERT_EQ(state, 3) << t.what;

        // A data connection for it.
        Connection data;
        ASSERT_TRUE(t.open(&data)) << t.what;
        ASSERT_NO_FATAL_FAILURE(OpenData(&data, deviceId, sessionId, 0)) << t.what;

        // Every session hears that the device is in use.
        EXPECT_EQ(NextDeviceState(&session, &deviceId), 4) << t.what;

        // Driver to client, with the status mapped (-32 becomes 11).
        std::vector<uint8_t> message(40, 0x61);
        uint32_t length = 40, kind = 1, status = static_cast<uint32_t>(-32);
        memcpy(&message[8], &length, 4);
        memcpy(&message[12], &kind, 4);
        memcpy(&message[16], &status, 4);
        ASSERT_TRUE(sim->PushMessage("1-1", message));
        auto header = data.receive(8);
        ASSERT_EQ(header, recordBytes({3, 40})) << t.what;
        auto body = data.receive(40);
        ASSERT_EQ(body.size(), 40u);
        EXPECT_EQ(Get32(&body[16]), 11u);

        // Client to driver.
        std::vector<uint8_t> answer(24, 0x62);
        uint32_t answerLength = 24;
        memcpy(&answer[8], &answerLength, 4);
        size_t before = sim->Stub("1-1").written.size();
        auto record = recordBytes({3, 24});
        record.insert(record.end(), answer.begin(), answer.end());
        ASSERT_TRUE(data.sendBytes(record));
        ASSERT_TRUE(testwait::waitUntil([&] { return sim->Stub("1-1").written.size() == before + 1; }, 5s));
        EXPECT_EQ(sim->Stub("1-1").written.back(), answer);

        // The client leaves: the device is offered again.
        data.close();
        EXPECT_EQ(NextDeviceState(&session, &deviceId), 3) << t.what;
    }
}

} // namespace
