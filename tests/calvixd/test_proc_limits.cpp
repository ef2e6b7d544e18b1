// calvixd_sim under hostile peers, with a low descriptor limit where that is
// the point: what peers make the daemon hold is bounded, comes back when
// they leave, and a good client is served again.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/calvixwire.h"
#include "tests/support/ravelsimdaemon.h"
#include "tests/support/wait.h"

using namespace std::chrono_literals;

namespace {

// Generous: the daemon may run under the sanitizers on a loaded machine.
constexpr auto GUARD = 30s;
constexpr rlim_t kFileLimit = 100;

size_t CountEntries(const std::string& path)
{
    DIR* dir = opendir(path.c_str());
    if (!dir)
        return 0;
    size_t count = 0;
    while (dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.')
            ++count;
    closedir(dir);
    return count;
}

// The daemonised process's pid as the host sees it; 0 when not found.
pid_t DaemonHostPid(const ravelsim::SimDaemon& run)
{
    pid_t nsPid = run.DaemonPid();
    for (const nsrun::NsPid& entry : run.Run()->processes())
        if (entry.nsPid == nsPid)
            return entry.hostPid;
    return 0;
}

// Starts calvixd_sim with the soft descriptor limit given (inherited
// through the namespace runner), then puts the test's own limit back.
bool StartWithFileLimit(ravelsim::SimDaemon* run, rlim_t files, std::string* error)
{
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    rlimit low = saved;
    low.rlim_cur = files;
    setrlimit(RLIMIT_NOFILE, &low);
    bool started = run->Start(CALVIXD_SIM_BIN, "", error);
    setrlimit(RLIMIT_NOFILE, &saved);
    return started;
}

// A TCP connection to the daemon's port that is never used; -1 when the
// socket could not be made. Non-blocking connect: a full backlog must not
// hold the test.
int IdleConnection()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(32032);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    return fd;
}

// A client that goes through the handshake and reads the greeting's start;
// empty when it was served.
std::string GoodClient()
{
    calvixwire::Connection client;
    std::vector<uint8_t> serverId;
    uint32_t id = 0;
    if (!client.connectTcp("127.0.0.1", 32032))
        return "no connection";
    if (!client.handshake('E'))
        return "handshake";
    if (!client.readGreetingStart(&serverId, &id))
        return "greeting";
    return "";
}

} // namespace

// With the descriptor limit at 100 a flood of idle connections meets the
// daemon's bound (100 less its headroom of 64): the excess is closed with
// the resource message, the listener never ends, the daemon's descriptors
// and threads come back when the flood leaves, and a good client is served.
TEST(LimitsProcess, ConnectionFloodUnderLowDescriptorLimitLeavesTheListenerServing)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    ravelsim::SimDaemon run;
    std::string error;
    // A small bound, so that the flood meets it long before the handshake
    // deadline frees the first connections, however slowly the daemon
    // accepts on a loaded machine.
    ASSERT_TRUE(StartWithFileLimit(&run, kFileLimit, &error)) << error;
    pid_t daemon = DaemonHostPid(run);
    ASSERT_GT(daemon, 0);
    std::string fds = "/proc/" + std::to_string(daemon) + "/fd";
    std::string tasks = "/proc/" + std::to_string(daemon) + "/task";
    std::string served = "cannot enter the daemon's network namespace";
    run.InNetwork([&] { served = GoodClient(); });
    ASSERT_EQ(served, "");
    // The good client's connection is gone once the count is back here.
    size_t baseFds = 0;
    size_t baseTasks = 0;
    ASSERT_TRUE(testwait::waitUntil(
        [&] {
            baseFds = CountEntries(fds);
            baseTasks = CountEntries(tasks);
            return baseFds > 0 && run.Log().find("Client connected from 127.0.0.1") != std::string::npos;
        },
        GUARD));

    std::vector<int> flood;
    run.InNetwork([&] {
        for (int i = 0; i < 400; ++i)
            flood.push_back(IdleConnection());
    });
    ASSERT_EQ(flood.size(), 400u);
    EXPECT_TRUE(run.WaitForLog("but was rejected due to insufficient resources on server.\n", GUARD))
        << "waiting for the daemon to refuse past its bound\n"
        << run.Log();
    EXPECT_LE(CountEntries(fds), kFileLimit);
    for (int fd : flood)
        if (fd >= 0)
            close(fd);

    EXPECT_TRUE(testwait::waitUntil([&] { return CountEntries(fds) <= baseFds; }, GUARD))
        << "waiting for the daemon's descriptors to come back: " << CountEntries(fds) << " of " << baseFds;
    EXPECT_TRUE(testwait::waitUntil([&] { return CountEntries(tasks) <= baseTasks; }, GUARD))
        << "waiting for the daemon's threads to end: " << CountEntries(tasks) << " of " << baseTasks;
    served = "cannot enter the daemon's network namespace";
    run.InNetwork([&] { served = GoodClient(); });
    EXPECT_EQ(served, "");
    EXPECT_EQ(run.Log().find("Server stopped"), std::string::npos) << run.Log();
    ASSERT_TRUE(run.Stop()) << run.Log();
}

// A peer that connects and sends nothing, and one that trickles its hello a
// byte at a time, are both closed by the handshake's deadline.
TEST(LimitsProcess, HandshakeHasADeadline)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    ravelsim::SimDaemon run;
    std::string error;
    ASSERT_TRUE(run.Start(CALVIXD_SIM_BIN, "", &error)) << error;
    std::string failure = "cannot enter the daemon's network namespace";
    run.InNetwork([&] {
        calvixwire::Connection silent;
        calvixwire::Connection trickle;
        if (!silent.connectTcp("127.0.0.1", 32032) || !trickle.connectTcp("127.0.0.1", 32032)) {
            failure = "no connection";
            return;
        }
        uint8_t accept = 0;
        if (!trickle.receiveBytes(&accept, 1) || accept != 0x10) {
            failure = "no accept byte";
            return;
        }
        // Eight of the hello's nine bytes, 1.5 s apart: every gap is far
        // below the handshake's 10 s, only the whole is longer.
        const uint8_t hello[8] = {'K', 'Q', 'W', 'B', 0x16, 0x0A, 0x00, 0x10};
        bool closed = false;
        for (size_t i = 0; !closed && i < sizeof hello; ++i) {
            trickle.sendBytes(&hello[i], 1);
            pollfd entry = {trickle.fd(), POLLIN, 0};
            closed = poll(&entry, 1, 1500) == 1;
        }
        if (!closed) {
            failure = "the trickling peer was never closed";
            return;
        }
        silent.setTimeoutMs(static_cast<int>(std::chrono::milliseconds(GUARD).count()));
        if (!silent.receiveBytes(&accept, 1) || !silent.waitClosed()) {
            failure = "the silent peer was never closed";
            return;
        }
        failure = "";
    });
    EXPECT_EQ(failure, "");
    ASSERT_TRUE(run.Stop()) << run.Log();
}

namespace {

size_t CountOf(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++count;
    return count;
}

size_t LineCount(const std::string& text)
{
    return CountOf(text, "\n");
}

// The sum of the counts in the lines "N more lines like \"<site>\" from
// <source> not logged.".
uint64_t CountedLines(const std::string& log, const std::string& site, const std::string& source)
{
    const std::string tail = " more lines like \"" + site + "\" from " + source + " not logged.\n";
    uint64_t sum = 0;
    for (size_t at = log.find(tail); at != std::string::npos; at = log.find(tail, at + tail.size())) {
        size_t start = at;
        while (start > 0 && log[start - 1] >= '0' && log[start - 1] <= '9')
            --start;
        sum += std::stoull(log.substr(start, at - start));
    }
    return sum;
}

} // namespace

// 2,000 handshakes with a bad magic from one address: the event log grows by
// the first lines of each window and one count line per window, not by a
// line per handshake, and every refusal is accounted for, written or
// counted, once the daemon has stopped. A good client is served between the
// bursts.
TEST(LimitsProcess, BadMagicFloodFromOneAddressGrowsTheLogByABoundedNumberOfLines)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    ravelsim::SimDaemon run;
    std::string error;
    ASSERT_TRUE(run.Start(CALVIXD_SIM_BIN, "", &error)) << error;
    ASSERT_TRUE(run.WaitForLog("TCPv4 server started", GUARD)) << run.Log();
    const size_t before = LineCount(run.Log());

    constexpr int kFlood = 2000;
    constexpr int kBurst = 250;
    int refused = 0;
    int goodServed = 0;
    std::string failure;
    const auto start = std::chrono::steady_clock::now();
    run.InNetwork([&] {
        for (int burst = 0; burst < kFlood / kBurst && failure.empty(); ++burst) {
            for (int i = 0; i < kBurst; ++i) {
                calvixwire::Connection bad;
                uint8_t accept = 0;
                if (!bad.connectTcp("127.0.0.1", 32032) || !bad.receiveBytes(&accept, 1) || accept != 0x10) {
                    failure = "handshake " + std::to_string(refused) + ": no accept byte";
                    return;
                }
                const uint8_t magic[4] = {'X', 'Q', 'W', 'B'};
                bad.sendBytes(magic, sizeof magic);
                if (!bad.waitClosed()) {
                    failure = "handshake " + std::to_string(refused) + ": not closed after its bad magic";
                    return;
                }
                ++refused;
            }
            std::string served = GoodClient();
            if (!served.empty()) {
                failure = "good client after " + std::to_string(refused) + " refusals: " + served;
                return;
            }
            ++goodServed;
        }
    });
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
    ASSERT_EQ(failure, "");
    ASSERT_EQ(refused, kFlood);

    // Per 10 s window of the address and call site: ten lines and one count
    // line; the good clients add their connect and disconnect lines.
    const size_t windows = static_cast<size_t>(seconds.count()) / 10 + 2;
    const size_t bound = windows * 11 + static_cast<size_t>(goodServed) * 2 + 10;
    const size_t grown = LineCount(run.Log()) - before;
    EXPECT_LE(grown, bound) << "the flood took " << seconds.count() << " s\n" << run.Log();
    EXPECT_LT(grown, static_cast<size_t>(kFlood) / 4) << run.Log();

    ASSERT_TRUE(run.Stop()) << run.Log();
    const std::string log = run.Log();
    const std::string site = "Client connected from %s, but was rejected due to invalid data.";
    const uint64_t written = CountOf(log, ", but was rejected due to invalid data.\n");
    EXPECT_EQ(written + CountedLines(log, site, "127.0.0.1"), static_cast<uint64_t>(kFlood))
        << written << " refusals written\n"
        << log;
}
