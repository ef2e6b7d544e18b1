// A remote client reaches a device of the simulated stub driver through the
// real daemon (calvixd_sim in private namespaces): the device shared on plug
// is in the session greeting, a data connection relays driver messages both
// ways, and once the client leaves the device is offered again. Over the
// IPv4 listener and the remote-desktop pipe, and over IPv6 through a
// callback connection that the daemon dials (its configuration gives it no
// IPv6 listen address).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>

#include "tests/calvixd/controlclient.h"
#include "tests/support/calvixwire.h"
#include "tests/support/controlwire_golden.h"
#include "tests/support/ravelsimdaemon.h"
#include "tests/support/wait.h"

using namespace std::chrono_literals;
using calvixwire::Connection;
using calvixwire::Record;
using calvixwire::recordBytes;

namespace {

const char* const kConfig = "[Local USB server section]\ntcpport=32032\nstartup=autosharing\n";

uint32_t Get32(const uint8_t* p)
{
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}

std::string Hex(const std::vector<uint8_t>& bytes)
{
    std::string text;
    char pair[3];
    for (uint8_t b : bytes) {
        snprintf(pair, sizeof pair, "%02x", b);
        text += pair;
    }
    return text;
}

// The next device record's state or event byte, -1 when none comes.
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

TEST(EndToEndProcess, SharedDeviceIsReachedOverTcpAndPipe)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    ravelsim::SimDaemon daemon;
    std::string error;
    ASSERT_TRUE(daemon.Start(CALVIXD_SIM_BIN, kConfig, &error)) << error;
    ASSERT_TRUE(daemon.WaitForLog("TCPv4 server started on 0.0.0.0:32032\n")) << daemon.Log();
    EXPECT_EQ(daemon.Log().find("TCPv6 server started"), std::string::npos);

    ASSERT_EQ(daemon.Driver("plug 1-1 serial=SN0001"), "ok");
    ASSERT_TRUE(testwait::waitUntil([&] { return daemon.Driver("stub 1-1") != "ok -1"; }, 15s)) << daemon.Log();

    struct Transport {
        const char* what;
        std::function<bool(Connection*)> open;
    } const transports[] = {
        {"tcp4", [](Connection* c) { return c->connectTcp("127.0.0.1", 32032); }},
        {"pipe", [](Connection* c) { return c->connectPipe("calvixdvc.pipe") && c->sendDesktopPrefix("desk"); }},
    };
    for (const Transport& t : transports) {
        SCOPED_TRACE(t.what);
        Connection session, data;
        bool opened = false;
        ASSERT_TRUE(daemon.InNetwork([&] { opened = t.open(&session) && t.open(&data); }));
        ASSERT_TRUE(opened);
        // Generous: the daemon may run under sanitizers on a loaded machine.
        session.setTimeoutMs(30000);
        data.setTimeoutMs(30000);

        ASSERT_TRUE(session.handshake('E', calvixwire::kServerVersion, 0x07));
        std::vector<uint8_t> serverId;
        uint32_t sessionId = 0;
        ASSERT_TRUE(session.readGreetingStart(&serverId, &sessionId));
        // The stub may be there before the core has taken the device as
        // shared: the greeting then shows an earlier state and an
        // "available" event follows.
        uint32_t deviceId = 0;
        int state = NextDeviceState(&session, &deviceId);
        while (state != 3 && state != -1)
            state = NextDeviceState(&session, &deviceId);
        ASSERT_EQ(state, 3);

        ASSERT_TRUE(data.handshake('C', calvixwire::kServerVersion, 0x07));
        uint32_t refusal = 99;
        ASSERT_TRUE(data.openData(deviceId, sessionId, 0x07, &refusal));
        ASSERT_EQ(refusal, 0u);
        EXPECT_EQ(NextDeviceState(&session, &deviceId), 4);

        // Driver to client, the status mapped on the way (-32 becomes 11).
        std::vector<uint8_t> message(40, 0x61);
        uint32_t length = 40, kind = 1, status = static_cast<uint32_t>(-32);
        memcpy(&message[8], &length, 4);
        memcpy(&message[12], &kind, 4);
        memcpy(&message[16], &status, 4);
        ASSERT_EQ(daemon.Driver("push 1-1 " + Hex(message)), "ok");
        ASSERT_EQ(data.receive(8), recordBytes({3, 40}));
        auto body = data.receive(40);
        ASSERT_EQ(body.size(), 40u);
        EXPECT_EQ(Get32(&body[16]), 11u);
        EXPECT_EQ(std::vector<uint8_t>(body.begin() + 20, body.end()), std::vector<uint8_t>(20, 0x61));

        // Client to driver and back again through a looped-back device.
        ASSERT_EQ(daemon.Driver("knob echo 1"), "ok");
        std::vector<uint8_t> answer(64, 0x62);
        uint32_t answerLength = 64;
        memcpy(&answer[8], &answerLength, 4);
        memset(&answer[16], 0, 4);
        auto record = recordBytes({3, 64});
        record.insert(record.end(), answer.begin(), answer.end());
        ASSERT_TRUE(data.sendBytes(record));
        ASSERT_EQ(data.receive(record.size()), record);
        ASSERT_EQ(daemon.Driver("knob echo 0"), "ok");

        // The client leaves: the device is offered again, also to a new
        // session.
        data.close();
        EXPECT_EQ(NextDeviceState(&session, &deviceId), 3);
        session.close();
        Connection again;
        ASSERT_TRUE(daemon.InNetwork([&] { opened = t.open(&again); }));
        again.setTimeoutMs(30000);
        ASSERT_TRUE(opened && again.handshake('E', calvixwire::kServerVersion, 0x07));
        ASSERT_TRUE(again.readGreetingStart(&serverId, &sessionId));
        EXPECT_EQ(NextDeviceState(&again, &deviceId), 3);
    }
    EXPECT_TRUE(daemon.Stop()) << daemon.Log();
}

// Takes the next connection the daemon dials and answers its handshake;
// the daemon's request byte, -1 when none came.
int AnswerDial(int listener, Connection* c)
{
    pollfd wait = {listener, POLLIN, 0};
    if (poll(&wait, 1, 30000) != 1)
        return -1;
    c->adopt(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    c->setTimeoutMs(30000);
    uint8_t request = 0;
    return c->answerHandshake(0x07, &request) ? request : -1;
}

TEST(EndToEndProcess, CallbackOverIpv6ServesTheDeviceThroughAReverseDataConnection)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    ravelsim::SimDaemon daemon;
    std::string error;
    ASSERT_TRUE(daemon.Start(CALVIXD_SIM_BIN, kConfig, &error)) << error;
    ASSERT_EQ(daemon.Driver("plug 1-1 serial=SN0001"), "ok");
    ASSERT_TRUE(testwait::waitUntil([&] { return daemon.Driver("stub 1-1") != "ok -1"; }, 15s)) << daemon.Log();

    // The client listens on IPv6 loopback; a control request adds it as a
    // callback connection.
    int listener = -1;
    uint16_t port = 0;
    std::vector<uint8_t> added;
    ASSERT_TRUE(daemon.InNetwork([&] {
        listener = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in6 address = {};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_loopback;
        socklen_t length = sizeof address;
        if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 2) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        port = ntohs(address.sin6_port);
        int control = controlclient::Connect("calvixd.pipe");
        using namespace controlgolden;
        if (control >= 0 && controlclient::Send(control, Cat({{'N', 'S', 'F', 'I'}, U32(0)})) &&
            controlclient::Read(control, 4) == U32(0) &&
            controlclient::Send(control, Cat({U32(ADD_CALLBACK), Text("::1"), U16(port), U32(32)})))
            added = controlclient::Read(control, 8);
        if (control >= 0)
            close(control);
    }));
    ASSERT_NE(port, 0);
    ASSERT_EQ(added.size(), 8u);
    ASSERT_EQ(Get32(added.data()), 1u);
    uint32_t callbackId = Get32(&added[4]);
    EXPECT_EQ(callbackId & 0xF0000000, 0xC0000000u);

    // The daemon dials: a session whose greeting names the callback id.
    Connection session;
    ASSERT_EQ(AnswerDial(listener, &session), 'F');
    std::vector<uint8_t> serverId;
    uint32_t sessionId = 0;
    ASSERT_TRUE(session.readGreetingStart(&serverId, &sessionId));
    EXPECT_EQ(sessionId, callbackId);
    uint32_t deviceId = 0;
    ASSERT_EQ(NextDeviceState(&session, &deviceId), 3);

    // Session command 'G': the daemon dials back for the data connection.
    auto command = recordBytes({6, 17});
    command.push_back('G');
    auto values = recordBytes({0x11, 0x22});
    command.insert(command.end(), values.begin(), values.end());
    ASSERT_TRUE(session.sendBytes(command));
    Connection data;
    ASSERT_EQ(AnswerDial(listener, &data), 'G');
    EXPECT_EQ(data.receive(8), values);
    uint32_t refusal = 99;
    ASSERT_TRUE(data.openData(deviceId, callbackId, 0x07, &refusal));
    ASSERT_EQ(refusal, 0u);
    EXPECT_EQ(NextDeviceState(&session, &deviceId), 4);

    std::vector<uint8_t> message(40, 0x63);
    uint32_t length = 40, kind = 1, status = 0;
    memcpy(&message[8], &length, 4);
    memcpy(&message[12], &kind, 4);
    memcpy(&message[16], &status, 4);
    ASSERT_EQ(daemon.Driver("push 1-1 " + Hex(message)), "ok");
    EXPECT_EQ(data.receive(8), recordBytes({3, 40}));
    EXPECT_EQ(data.receive(40), message);

    data.close();
    EXPECT_EQ(NextDeviceState(&session, &deviceId), 3);
    close(listener);
}

// An IPv6 loopback listener for the daemon to dial, added as a callback
// connection through the control socket; false when any step failed.
bool ListenAsCallback(ravelsim::SimDaemon* daemon, int* listener, uint32_t* callbackId)
{
    std::vector<uint8_t> added;
    bool ran = daemon->InNetwork([&] {
        *listener = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in6 address = {};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_loopback;
        socklen_t length = sizeof address;
        if (bind(*listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(*listener, 2) != 0 ||
            getsockname(*listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        int control = controlclient::Connect("calvixd.pipe");
        using namespace controlgolden;
        if (control >= 0 && controlclient::Send(control, Cat({{'N', 'S', 'F', 'I'}, U32(0)})) &&
            controlclient::Read(control, 4) == U32(0) &&
            controlclient::Send(control, Cat({U32(ADD_CALLBACK), Text("::1"), U16(ntohs(address.sin6_port)), U32(32)})))
            added = controlclient::Read(control, 8);
        if (control >= 0)
            close(control);
    });
    if (!ran || added.size() != 8 || Get32(added.data()) != 1)
        return false;
    *callbackId = Get32(&added[4]);
    return true;
}

// A reverse data connection is the session's own: one that names another
// session's id (same peer address, same transport) is refused and serves
// nothing, and the device stays free for its own session.
TEST(EndToEndProcess, ReverseDataConnectionForAnotherSessionIsRefused)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    ravelsim::SimDaemon daemon;
    std::string error;
    ASSERT_TRUE(daemon.Start(CALVIXD_SIM_BIN, kConfig, &error)) << error;
    ASSERT_EQ(daemon.Driver("plug 1-1 serial=SN0001"), "ok");
    ASSERT_TRUE(testwait::waitUntil([&] { return daemon.Driver("stub 1-1") != "ok -1"; }, 15s)) << daemon.Log();

    int listeners[2] = {-1, -1};
    uint32_t ids[2] = {0, 0};
    Connection sessions[2];
    uint32_t deviceId = 0;
    for (int i = 0; i < 2; i++) {
        ASSERT_TRUE(ListenAsCallback(&daemon, &listeners[i], &ids[i])) << daemon.Log();
        ASSERT_EQ(AnswerDial(listeners[i], &sessions[i]), 'F');
        std::vector<uint8_t> serverId;
        uint32_t sessionId = 0;
        ASSERT_TRUE(sessions[i].readGreetingStart(&serverId, &sessionId));
        ASSERT_EQ(sessionId, ids[i]);
        ASSERT_EQ(NextDeviceState(&sessions[i], &deviceId), 3);
    }
    ASSERT_NE(ids[0], ids[1]);

    auto command = recordBytes({6, 17});
    command.push_back('G');
    auto values = recordBytes({0x11, 0x22});
    command.insert(command.end(), values.begin(), values.end());

    // Dialled for the first session, the record names the second.
    ASSERT_TRUE(sessions[0].sendBytes(command));
    Connection forged;
    ASSERT_EQ(AnswerDial(listeners[0], &forged), 'G');
    EXPECT_EQ(forged.receive(8), values);
    uint32_t refusal = 0;
    ASSERT_TRUE(forged.openData(deviceId, ids[1], 0x07, &refusal));
    EXPECT_EQ(refusal, 7u);

    // Nothing was served: the device is still free, and the first session's
    // own reverse data connection takes it.
    ASSERT_TRUE(sessions[0].sendBytes(command));
    Connection data;
    ASSERT_EQ(AnswerDial(listeners[0], &data), 'G');
    EXPECT_EQ(data.receive(8), values);
    refusal = 99;
    ASSERT_TRUE(data.openData(deviceId, ids[0], 0x07, &refusal));
    ASSERT_EQ(refusal, 0u);
    EXPECT_EQ(NextDeviceState(&sessions[0], &deviceId), 4);
    EXPECT_EQ(daemon.Log().find("Client connected the USB device"),
              daemon.Log().rfind("Client connected the USB device"))
        << daemon.Log();
    for (int listener : listeners)
        close(listener);
}

} // namespace
