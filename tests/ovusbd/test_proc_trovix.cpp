// The real ovusbd in its own network namespace, reached through the test
// rendezvous server by a remote client over a punched ENet link, with the
// protocol's own timings.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include "ovusbd/core/messagetypes.h"
#include "tests/support/nsrun.h"
#include "tests/support/ovclient.h"
#include "tests/support/trovixtest.h"
#include "tests/support/wait.h"

namespace {

using namespace std::chrono_literals;
using ovclient::Message;
using ovclient::OvClient;
using testwait::waitUntil;

const char kRunning[] = "Orvanta USB Server is running...press CTRL-C to stop\n";
const char kMachineId[] = "0123456789abcdef0123456789abcdef\n";
constexpr uint16_t kRendezvousPort = 4433;

// Runs fn on a thread that has joined the network namespace of pid, so the
// sockets it makes live there.
bool inNamespace(pid_t pid, const std::function<bool()>& fn) {
    bool result = false;
    std::thread t([&] {
        int ns = open(("/proc/" + std::to_string(pid) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
        if (ns < 0 || setns(ns, CLONE_NEWNET) != 0) {
            if (ns >= 0) close(ns);
            return;
        }
        close(ns);
        result = fn();
    });
    t.join();
    return result;
}

// 127.0.0.2 as a second address of lo, so the server has an interface
// address other than 127.0.0.1 to register from.
bool addLoopbackAlias() {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    strcpy(request.ifr_name, "lo:1");
    sockaddr_in address = trovixtest::loopback("127.0.0.2", 0);
    memcpy(&request.ifr_addr, &address, sizeof address);
    const bool ok = ioctl(s, SIOCSIFADDR, &request) == 0;
    close(s);
    return ok;
}

Message request(uint8_t type, std::vector<uint8_t> payload) {
    Message m;
    m.type = type;
    m.payload = std::move(payload);
    return m;
}

TEST(TrovixProcess, RemoteClientReachesTheServerThroughTheRendezvousServer) {
    char dirTemplate[] = "/tmp/ovusbd-trovixproc.XXXXXX";
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    const std::string dir = dirTemplate, logPath = dir + "/server.log";
    {
        std::ofstream config(dir + "/config.ini");
        config << "UseAVAHI=0\nPingInterval=1\nPingTimeout=3\nTrovix=0\nTrovixHostname=127.0.0.1\nTrovixPort="
               << kRendezvousPort << "\n";
    }
    nsrun::RunOptions s;
    s.argv = {OVUSBD_BIN, "-c", dir + "/config.ini", "-r", logPath};
    s.env = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
    s.mounts = nsrun::isolatedSystemMounts();
    s.files = {{"/etc/machine-id", kMachineId, 0644, 0, 0, nsrun::File::Type::Regular}};
    s.workDir = dir + "/ns";
    std::string error;
    auto server = nsrun::Process::start(s, &error);
    ASSERT_TRUE(server) << error;
    auto report = [&] { return "log:\n" + nsrun::readFile(logPath) + "\nstderr:\n" + server->err(); };
    ASSERT_TRUE(server->waitForOut(kRunning, 30s)) << report();
    const pid_t pid = server->pid();

    trovixtest::RendezvousServer rv;
    trovixtest::RemoteClient remote;
    OvClient admin;
    ASSERT_TRUE(inNamespace(pid, [&] {
        const int fd = ovclient::connectTcp("127.0.0.1", 7575, 30000);
        if (fd >= 0) admin.adopt(fd);
        return addLoopbackAlias() && rv.start(kRendezvousPort) && remote.open("127.0.0.3") && fd >= 0;
    })) << report();

    // Off at start: the identity exists, nothing went to the rendezvous server.
    Message hello = request(kMsgHello, std::vector<uint8_t>(128, 0));
    ASSERT_TRUE(admin.send(hello));
    Message m;
    ASSERT_TRUE(admin.waitFor(kMsgHelloReply, &m, 30000));
    ovclient::HelloReply direct;
    ASSERT_TRUE(ovclient::parseHelloReply(m, &direct));
    EXPECT_EQ(direct.trovixEnabled, 0);
    EXPECT_NE(std::vector<uint8_t>(direct.trovixId, direct.trovixId + 16), std::vector<uint8_t>(16, 0));
    EXPECT_EQ(rv.offers(), 0u);

    // Message 75 switches it on.
    ASSERT_TRUE(admin.send(request(kMsgTrovixSwitch, {1})));
    // A registration counts once its first keep-alive came (six seconds);
    // one answered later than the receive time-out is retried after ten.
    ASSERT_TRUE(rv.waitForRegistrations(1, 90000)) << report();
    trovixtest::Registration r = rv.registrations().back();
    EXPECT_EQ(r.problems, "");
    EXPECT_EQ(r.address, inet_addr("127.0.0.2"));
    EXPECT_EQ(memcmp(r.id, direct.trovixId, 16), 0);
    EXPECT_EQ(memcmp(r.pin, direct.trovixPin, 4), 0);
    EXPECT_NE(nsrun::readFile(logPath).find("Your Trovix Id : "), std::string::npos) << report();
    const size_t registered = rv.registrations().size();

    std::string punchError;
    remote.punchTimeoutMs = 30000;
    ASSERT_TRUE(remote.punch(trovixtest::Ending::ClientAcknowledges, rv, r, &punchError)) << punchError;
    ASSERT_TRUE(remote.connectPeer(30000)) << report();
    ASSERT_TRUE(remote.sendFrame(hello));
    ASSERT_TRUE(remote.waitForFrame(kMsgHelloReply, &m, 30000)) << report();
    ovclient::HelloReply viaTrovix;
    ASSERT_TRUE(ovclient::parseHelloReply(m, &viaTrovix));
    EXPECT_EQ(viaTrovix.trovixEnabled, 1);
    EXPECT_EQ(memcmp(viaTrovix.trovixId, direct.trovixId, 16), 0);
    EXPECT_EQ(memcmp(viaTrovix.trovixPin, direct.trovixPin, 4), 0);
    EXPECT_EQ(viaTrovix.interfaceName, "lo:1") << "the punched socket is bound to the alias 127.0.0.2";
    ASSERT_TRUE(waitUntil([&] {
        Message any;
        remote.receiveFrame(&any, 100);
        return remote.pings >= 1;
    }, 30s)) << "a ping over the peer link";
    // After the hand-over the server registers again.
    ASSERT_TRUE(rv.waitForRegistrations(registered + 1, 90000)) << report();

    ASSERT_EQ(server->kill(SIGTERM), 0);
    auto status = server->wait(30s);
    ASSERT_TRUE(status) << report();
    EXPECT_EQ(*status, nsrun::ExitStatus::exitCode(0)) << report();
    const std::string log = nsrun::readFile(logPath);
    EXPECT_NE(log.find(">>> Shutdown <<<"), std::string::npos) << log;
    remote.disconnect();
    rv.stop();
    std::filesystem::remove_all(dir);
}

} // namespace
