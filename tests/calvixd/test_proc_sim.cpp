// calvixd with the simulated stub driver (calvixd_sim) in private mount, PID,
// network and IPC namespaces: devices are plugged and unplugged through the
// model's control socket, and the daemon's event log tells what it saw.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "tests/calvixd/controlclient.h"
#include "tests/calvixd/logmatch.h"
#include "tests/support/calvixwire.h"
#include "tests/support/ravelsimdaemon.h"
#include "tests/support/wait.h"

using namespace std::chrono_literals;

namespace {

// Every line of the log without its stamp.
std::vector<std::string> Texts(const std::string& log)
{
    std::vector<std::string> texts;
    size_t at = 0;
    while (at < log.size()) {
        size_t end = log.find('\n', at);
        if (end == std::string::npos)
            end = log.size();
        std::string line = log.substr(at, end - at);
        std::string text;
        texts.push_back(SplitStamp(line, &text) ? text : line);
        at = end + 1;
    }
    return texts;
}

} // namespace

TEST(SimulatedDriverProcess, PlugUnplugAndCleanStop)
{
    ravelsim::SimDaemon run;
    std::string error;
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    ASSERT_TRUE(run.Start(CALVIXD_SIM_BIN, "", &error)) << error;

    ASSERT_EQ(run.Driver("plug 1-1 serial=SN0001"), "ok");
    ASSERT_TRUE(run.WaitForLog("USB device plugged (ACME Mouse; VID 1234; PID 5678; Serial SN0001; Port 1-1).\n"))
        << run.Log();
    ASSERT_EQ(run.Driver("plug 1-2 vid=abcd pid=0001 manufacturer=Maker product=Pad"), "ok");
    ASSERT_TRUE(run.WaitForLog("USB device plugged (Maker Pad; VID abcd; PID 0001; Serial ; Port 1-2).\n"))
        << run.Log();
    // Nothing is shared: the driver holds neither.
    EXPECT_EQ(run.Driver("stub 1-1"), "ok -1");
    EXPECT_EQ(run.Driver("rules"), "ok 1");

    ASSERT_EQ(run.Driver("unplug 1-1"), "ok");
    ASSERT_TRUE(run.WaitForLog("USB device unplugged (ACME Mouse; VID 1234; PID 5678; Serial SN0001; Port 1-1).\n"))
        << run.Log();
    // A hub is never taken into the model.
    ASSERT_EQ(run.Driver("plug 1-3 class=09 interfaces=09.00.00"), "ok");
    ASSERT_EQ(run.Driver("plug 1-3.1 serial=BEHIND"), "ok");
    ASSERT_TRUE(run.WaitForLog("Serial BEHIND; Port 1-3.1).\n")) << run.Log();

    ASSERT_TRUE(run.Stop()) << run.Log();
    std::vector<std::string> texts = Texts(run.Log());
    const std::vector<std::string> expected = {
        "Daemon starting up...",
        "TCPv4 server started on 0.0.0.0:32032",
        "RDP channel started",
        "Daemon started.",
        "USB device plugged (ACME Mouse; VID 1234; PID 5678; Serial SN0001; Port 1-1).",
        "USB device plugged (Maker Pad; VID abcd; PID 0001; Serial ; Port 1-2).",
        "USB device unplugged (ACME Mouse; VID 1234; PID 5678; Serial SN0001; Port 1-1).",
        "USB device plugged (ACME Mouse; VID 1234; PID 5678; Serial BEHIND; Port 1-3.1).",
        "Received SIGTERM signal, starting shutdown sequence.",
        "Daemon shutting down...",
        "Daemon shutdown.",
        "",
    };
    EXPECT_EQ(texts, expected);
}

namespace {

// Adds a callback connection to a listener of the test through the control
// interface, answers the daemon's dial as a client and uses the shared
// device over it. Empty when all went as it should.
std::string DialledClientUsesTheDevice()
{
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 1) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return "no listener";
    uint16_t port = ntohs(address.sin_port);

    int control = controlclient::Connect("calvixd.pipe");
    if (control < 0)
        return "no control socket";
    std::vector<uint8_t> request = controlclient::Hello(0);
    for (uint32_t word : {0x1018u, 9u})
        for (int i = 0; i < 4; i++)
            request.push_back(uint8_t(word >> (8 * i)));
    for (char c : std::string("127.0.0.1"))
        request.push_back(uint8_t(c));
    request.push_back(uint8_t(port));
    request.push_back(uint8_t(port >> 8));
    for (uint8_t b : {32, 0, 0, 0})
        request.push_back(b);
    controlclient::Send(control, request);
    std::vector<uint8_t> reply = controlclient::ReadToEnd(control, 15000);
    close(control);
    // Granted flags, then success and the new id.
    if (reply.size() != 12 || controlclient::Le32(reply, 4) != 1)
        return "control reply of " + std::to_string(reply.size()) + " bytes";
    uint32_t callbackId = controlclient::Le32(reply, 8);
    if ((callbackId & 0xF0000000) != 0xC0000000)
        return "callback id " + std::to_string(callbackId);

    pollfd dial = {listener, POLLIN, 0};
    if (poll(&dial, 1, 30000) != 1)
        return "the daemon did not dial";
    calvixwire::Connection session;
    session.adopt(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    close(listener);
    uint8_t kind = 0;
    if (!session.answerHandshake(0x07, &kind) || kind != 'F')
        return "dialled handshake";
    std::vector<uint8_t> serverId;
    uint32_t sessionId = 0;
    if (!session.readGreetingStart(&serverId, &sessionId) || sessionId != callbackId)
        return "greeting";
    uint32_t deviceId = 0;
    for (int state = -1; state != 3;) {
        calvixwire::Record record;
        if (!session.readRecord(&record))
            return "no shared device listed";
        if (record.type == 1 || record.type == 2) {
            calvixwire::DeviceRecord d = calvixwire::parseDeviceRecord(record);
            deviceId = d.deviceId;
            state = d.stateOrEvent;
        }
    }

    calvixwire::Connection data;
    uint32_t refusal = 99;
    if (!data.connectTcp("127.0.0.1", 32032) || !data.handshake('C', calvixwire::kServerVersion, 0x07) ||
        !data.openData(deviceId, callbackId, 0x07, &refusal))
        return "data connection";
    if (refusal != 0)
        return "data connection refused with " + std::to_string(refusal);
    return "";
}

} // namespace

TEST(SimulatedDriverProcess, CallbackConnectionAddedByControlRequestServesTheDevice)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    ravelsim::SimDaemon run;
    std::string error;
    ASSERT_TRUE(run.Start(CALVIXD_SIM_BIN, "[Local USB server section]\nstartup=autosharing\n", &error)) << error;
    ASSERT_EQ(run.Driver("plug 1-1 serial=SN0001"), "ok");
    ASSERT_TRUE(run.WaitForLog("USB device auto-shared (ACME Mouse; VID 1234; PID 5678; Serial SN0001; Port 1-1).\n"))
        << run.Log();

    std::string failure = "cannot enter the daemon's network namespace";
    run.InNetwork([&] { failure = DialledClientUsesTheDevice(); });
    EXPECT_EQ(failure, "");
    EXPECT_TRUE(run.WaitForLog("Client connected the USB device (127.0.0.1; ACME Mouse; VID 1234; PID 5678; "
                               "Serial SN0001; Port 1-1).\n"))
        << run.Log();
    ASSERT_TRUE(run.Stop()) << run.Log();
}
