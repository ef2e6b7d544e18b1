// A device's ACL in the real daemon: calvixd with the simulated stub driver
// (calvixd_sim) in private namespaces. The client works from a thread that
// joined the daemon's network namespace, from an address of its own on the
// loopback interface (loopback addresses themselves are never refused).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "tests/calvixd/controlclient.h"
#include "tests/calvixd/tempdir.h"
#include "tests/support/calvixwire.h"
#include "tests/support/controlwire_golden.h"
#include "tests/support/nsrun.h"
#include "tests/support/ravelsimcontrol.h"
#include "tests/support/wait.h"

using namespace std::chrono_literals;
using namespace controlgolden;
using calvixwire::Connection;

namespace {

constexpr const char CLIENT_ADDRESS[] = "10.77.0.5";
constexpr uint16_t DAEMON_PORT = 32032;
constexpr uint8_t PLATFORM = 0x07;

class CAclDaemon {
public:
    CTempDir logDir;
    CTempDir runDir;
    std::unique_ptr<nsrun::Process> process;

    bool Start()
    {
        nsrun::RunOptions run;
        run.argv = {CALVIXD_SIM_BIN};
        run.env = {"RAVELSIM_ROOT=/var/run/ravelsim/devices/", "RAVELSIM_SOCKET=/var/run/ravelsim.sock"};
        run.mounts.push_back({nsrun::Mount::Kind::Tmpfs, "/etc", "", "", {"ld.so.cache"}});
        run.mounts.push_back({nsrun::Mount::Kind::Bind, "/var/log", logDir.Path(), "", {}});
        run.mounts.push_back({nsrun::Mount::Kind::Bind, "/var/run", runDir.Path(), "", {}});
        std::string error;
        process = nsrun::Process::start(run, &error);
        EXPECT_TRUE(process) << error;
        return process && WaitForLog("Daemon started.\n");
    }
    std::string Log() const { return nsrun::readFile(logDir.File("calvixd.log")); }
    bool WaitForLog(const std::string& text) const
    {
        return testwait::waitUntil([&] { return Log().find(text) != std::string::npos; }, 15s);
    }
    std::string Driver(const std::string& line) const
    {
        return ravelsim::ControlRequest(runDir.File("ravelsim.sock"), line);
    }

    // Runs body on a thread that has joined the daemon's network namespace
    // (a thread's own: the rest of the test stays where it is). False when
    // the namespace could not be joined.
    bool InNamespace(const std::function<void()>& body)
    {
        int nsFd = -1;
        for (const nsrun::NsPid& entry : process->processes()) {
            std::string path = "/proc/" + std::to_string(entry.hostPid) + "/ns/net";
            nsFd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (nsFd >= 0)
                break;
        }
        if (nsFd < 0)
            return false;
        bool joined = false;
        std::thread worker([&] {
            joined = setns(nsFd, CLONE_NEWNET) == 0;
            if (joined)
                body();
        });
        worker.join();
        close(nsFd);
        return joined;
    }
};

// Adds the client's address to the loopback interface (as the alias lo:1).
bool AddClientAddress()
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    struct ifreq request;
    memset(&request, 0, sizeof request);
    strncpy(request.ifr_name, "lo:1", IFNAMSIZ - 1);
    struct sockaddr_in* address = reinterpret_cast<struct sockaddr_in*>(&request.ifr_addr);
    address->sin_family = AF_INET;
    inet_pton(AF_INET, CLIENT_ADDRESS, &address->sin_addr);
    bool added = ioctl(fd, SIOCSIFADDR, &request) == 0;
    close(fd);
    return added;
}

// One control request as root; the reply after the granted-flags word.
Bytes Control(const Bytes& request)
{
    int fd = controlclient::Connect("calvixd.pipe");
    if (fd < 0)
        return {};
    controlclient::Send(fd, Cat({controlclient::Hello(0), request}));
    Bytes stream = controlclient::ReadToEnd(fd, 15000);
    close(fd);
    return stream.size() < 4 ? Bytes() : Bytes(stream.begin() + 4, stream.end());
}

// A session and then a data connection for the device, both from the
// client's address; the server's first answer after the '7'.
std::vector<uint8_t> OpenDataConnection(uint32_t deviceId, Connection* session, Connection* data)
{
    if (!session->connectTcp(CLIENT_ADDRESS, DAEMON_PORT, CLIENT_ADDRESS) ||
        !session->handshake('E', calvixwire::kServerVersion, PLATFORM))
        return {};
    std::vector<uint8_t> serverId;
    uint32_t sessionId = 0;
    if (!session->readGreetingStart(&serverId, &sessionId))
        return {};
    if (!data->connectTcp(CLIENT_ADDRESS, DAEMON_PORT, CLIENT_ADDRESS) ||
        !data->handshake('C', calvixwire::kServerVersion, PLATFORM))
        return {};
    std::vector<uint8_t> echo;
    if (!data->sendBytes(calvixwire::connectRecord(deviceId, sessionId, PLATFORM, &echo)) ||
        data->receive(16) != echo || !data->sendBytes("7", 1))
        return {};
    std::vector<uint8_t> answer = data->receive(1);
    if (answer == std::vector<uint8_t>{'3'}) {
        std::vector<uint8_t> code = data->receive(4);
        answer.insert(answer.end(), code.begin(), code.end());
    }
    return answer;
}

} // namespace

TEST(DeviceAclProcess, DenyRefusesTheDataConnectionAllowAdmitsIt)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    CAclDaemon daemon;
    ASSERT_TRUE(daemon.Start()) << daemon.Log();
    ASSERT_EQ(daemon.Driver("plug 1-1 serial=SN0001"), "ok");
    ASSERT_TRUE(daemon.WaitForLog("USB device plugged (ACME Mouse;")) << daemon.Log();
    const uint32_t deviceId = 1; // the first id given out

    bool ran = daemon.InNamespace([&] {
        ASSERT_TRUE(AddClientAddress());
        ASSERT_EQ(Control(Cat({U32(SHARE_DEVICE), U32(deviceId)})), Ok());
        ASSERT_TRUE(testwait::waitUntil([&] { return daemon.Driver("stub 1-1") != "ok -1"; }, 15s));
        ASSERT_TRUE(daemon.WaitForLog("USB device shared (ACME Mouse;")) << daemon.Log();

        // Denied: '3' with code 14, and the device stays free.
        ASSERT_EQ(Control(Cat({U32(SET_DEVICE_ACL), U32(deviceId), U8(2), U32(1), Text(CLIENT_ADDRESS)})), Ok());
        {
            Connection session;
            Connection data;
            EXPECT_EQ(OpenDataConnection(deviceId, &session, &data), (std::vector<uint8_t>{'3', 14, 0, 0, 0}));
        }
        EXPECT_EQ(daemon.Log().find("Client connected the USB device"), std::string::npos);

        // Allowed by a network rule: the capability exchange begins.
        ASSERT_EQ(Control(Cat({U32(SET_DEVICE_ACL), U32(deviceId), U8(1), U32(1), Text("10.77.0.0/16")})), Ok());
        Connection session;
        Connection data;
        EXPECT_EQ(OpenDataConnection(deviceId, &session, &data), std::vector<uint8_t>{'6'});
        EXPECT_TRUE(daemon.WaitForLog(std::string("Client connected the USB device (") + CLIENT_ADDRESS + "; ACME Mouse;"))
            << daemon.Log();
    });
    EXPECT_TRUE(ran) << "could not join the daemon's network namespace";
}
