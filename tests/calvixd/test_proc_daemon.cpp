// Runs calvixd inside private mount, PID, network and IPC namespaces: the
// daemon built with the simulated stub driver (calvixd_sim, its model under
// /var/run), and the production one where a case needs the driver missing. /etc is a tmpfs holding only the configuration a case gives;
// /var/log and /var/run are private directories of the test bound over the
// fixed paths, so the log and the pid file can be read after the namespace
// is gone.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/calvixd/logmatch.h"
#include "tests/calvixd/tempdir.h"
#include "tests/support/nsrun.h"

using namespace std::chrono_literals;

namespace {

const char GATE[] = "/etc/calvixd-test.gate";

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 15s)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(10ms);
    }
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Each line stamped, then exactly the given texts; "" stands for an empty
// line, "*" for any number of stamped lines.
::testing::AssertionResult LogIs(const std::string& log, const std::vector<std::string>& expected)
{
    std::vector<std::string> lines = Lines(log);
    size_t at = 0;
    for (size_t e = 0; e < expected.size(); e++) {
        if (expected[e] == "*") {
            while (at < lines.size() && SplitStamp(lines[at], nullptr) &&
                   (e + 1 == expected.size() || lines[at].find(expected[e + 1]) == std::string::npos))
                at++;
            continue;
        }
        if (at >= lines.size())
            return ::testing::AssertionFailure() << "log ends before \"" << expected[e] << "\":\n" << log;
        if (expected[e].empty()) {
            if (!lines[at].empty())
                return ::testing::AssertionFailure() << "line " << at << " is not empty:\n" << log;
        } else {
            std::string text;
            if (!SplitStamp(lines[at], &text) || text != expected[e])
                return ::testing::AssertionFailure()
                       << "line " << at << " is \"" << lines[at] << "\", not \"" << expected[e] << "\":\n" << log;
        }
        at++;
    }
    if (at != lines.size())
        return ::testing::AssertionFailure() << "extra lines after line " << at << ":\n" << log;
    return ::testing::AssertionSuccess();
}

const std::vector<std::string> START_LINES = {"Daemon starting up...", "TCPv4 server started on 0.0.0.0:32032",
                                              "RDP channel started", "Daemon started."};
const std::vector<std::string> SHUTDOWN_LINES = {"Daemon shutting down...", "Daemon shutdown.", ""};

std::vector<std::string> Join(std::initializer_list<std::vector<std::string>> parts)
{
    std::vector<std::string> all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

struct Options {
    std::optional<std::string> config; // /etc/calvixd.conf, absent when not given
    bool asInit = false;               // run as process 1 of a namespace of its own
    std::optional<uid_t> uid;
    std::optional<uid_t> euid; // only the effective user id changed (the real one stays 0)
    bool gated = false; // the daemon starts only once Open() is called
    bool production = false; // the daemon without the simulated driver
};

class CDaemonRun {
public:
    CTempDir logDir;
    CTempDir runDir;
    std::unique_ptr<nsrun::Process> process;

    bool Start(const Options& options)
    {
        if (geteuid() != 0)
            return false;
        nsrun::RunOptions run;
        std::vector<std::string> command;
        const char* binary = options.production ? CALVIXD_BIN : CALVIXD_SIM_BIN;
        if (options.asInit)
            command = {"/usr/bin/unshare", "--pid", "--fork", binary};
        else if (options.euid)
            command = {"/usr/bin/setpriv", "--euid=" + std::to_string(*options.euid), binary};
        else
            command = {binary};
        run.env = {"RAVELSIM_ROOT=/var/run/ravelsim/devices/", "RAVELSIM_SOCKET=/var/run/ravelsim.sock"};
        if (options.gated) {
            std::string line;
            for (const std::string& word : command)
                line += word + " ";
            run.argv = {"/bin/sh", "-c", std::string("read go < ") + GATE + "; exec " + line};
        } else {
            run.argv = command;
        }
        run.mounts.push_back({nsrun::Mount::Kind::Tmpfs, "/etc", "", "", {"ld.so.cache"}});
        run.mounts.push_back({nsrun::Mount::Kind::Bind, "/var/log", logDir.Path(), "", {}});
        run.mounts.push_back({nsrun::Mount::Kind::Bind, "/var/run", runDir.Path(), "", {}});
        if (options.config)
            run.files.push_back({"/etc/calvixd.conf", *options.config, 0644, 0, 0, nsrun::File::Type::Regular});
        if (options.gated)
            run.files.push_back({GATE, "", 0600, 0, 0, nsrun::File::Type::Fifo});
        if (options.uid) {
            run.uid = *options.uid;
            run.gid = *options.uid;
        }
        std::string error;
        process = nsrun::Process::start(run, &error);
        EXPECT_TRUE(process) << error;
        return process != nullptr;
    }

    void Open()
    {
        int fd = open(process->hostPath(GATE).c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, "go\n", 3), 3);
        close(fd);
    }

    std::string LogPath() const { return logDir.File("calvixd.log"); }
    std::string PidPath() const { return runDir.File("calvixd.pid"); }
    std::string Log() const { return nsrun::readFile(LogPath()); }
    bool HasPidFile() const { return access(PidPath().c_str(), F_OK) == 0; }

    bool WaitForLog(const std::string& text) const
    {
        return WaitFor([&] { return Log().find(text) != std::string::npos; });
    }

    // The daemonised child: its namespace pid from the pid file.
    pid_t DaemonPid() const
    {
        std::string text;
        if (!WaitFor([&] {
                text = nsrun::readFile(PidPath());
                return !text.empty() && text.back() == '\n';
            }))
            return 0;
        return static_cast<pid_t>(std::stoi(text));
    }

    // The daemon run as process 1 of its own namespace: the child of the
    // unshare that the runner started. (The unshare is found by name: in a
    // TSan-built test the runner's target is not always namespace pid 2.)
    pid_t InitHostPid() const
    {
        pid_t result = 0;
        WaitFor([&] {
            for (const nsrun::NsPid& entry : process->processes()) {
                std::string proc = "/proc/" + std::to_string(entry.hostPid);
                if (nsrun::readFile(proc + "/comm") != "unshare\n")
                    continue;
                std::string children =
                    nsrun::readFile(proc + "/task/" + std::to_string(entry.hostPid) + "/children");
                if (!children.empty())
                    result = static_cast<pid_t>(std::stoi(children));
            }
            return result > 0;
        });
        return result;
    }

    pid_t HostPid(pid_t nsPid) const
    {
        for (const nsrun::NsPid& entry : process->processes()) {
            if (entry.nsPid == nsPid)
                return entry.hostPid;
        }
        return 0;
    }

    // What is still running in the namespace, for failure messages.
    std::string Describe() const
    {
        std::string text;
        for (const nsrun::NsPid& entry : process->processes()) {
            std::string proc = "/proc/" + std::to_string(entry.hostPid);
            text += std::to_string(entry.nsPid) + ": " + nsrun::readFile(proc + "/stat") + " wchan " +
                    nsrun::readFile(proc + "/wchan") + "\n";
        }
        return text;
    }

    // The control socket is bound after the signal handlers are in place:
    // the sign that the daemon is up even when it keeps no log.
    bool WaitForControlSocket(pid_t hostPid) const
    {
        std::string table = "/proc/" + std::to_string(hostPid) + "/net/unix";
        return WaitFor([&] { return nsrun::readFile(table).find(" @calvixd.pipe") != std::string::npos; });
    }

    // Daemonised: the pid file goes last, then the process ends.
    bool WaitForShutdown() const
    {
        return WaitFor([&] { return !HasPidFile(); }) && process->waitAll(15s);
    }
};

// Whether the process of a /proc/PID/stat line leads its session; ids
// there are the reader's.
bool SessionLeader(const std::string& statPath, pid_t hostPid)
{
    std::string stat = nsrun::readFile(statPath);
    size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return false;
    char state = 0;
    int parent = 0, group = 0, session = 0;
    if (sscanf(stat.c_str() + close + 1, " %c %d %d %d", &state, &parent, &group, &session) != 4)
        return false;
    return state != 'Z' && session == hostPid;
}

std::string SignalText(int signal)
{
    return std::string("Daemon terminated due to error (") + strsignal(signal) + ").";
}

} // namespace

TEST(DaemonProcess, RefusesToStartWithoutRoot)
{
    CDaemonRun run;
    Options options;
    options.uid = 1000;
    if (!run.Start(options))
        GTEST_SKIP() << "needs root";
    auto status = run.process->wait(15s);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, nsrun::ExitStatus::exitCode(255)) << nsrun::describe(*status);
    EXPECT_EQ(run.process->out(), "USB Calvento can not start! Root priveleges required!\n");
    ASSERT_TRUE(run.process->waitAll(15s));
    EXPECT_FALSE(run.HasPidFile());
    EXPECT_TRUE(std::filesystem::is_empty(run.logDir.Path()));
}

TEST(DaemonProcess, DaemonisesWritesPidFileAndShutsDownOnSigterm)
{
    CDaemonRun run;
    if (!run.Start({}))
        GTEST_SKIP() << "needs root";
    // The parent returns at once with 0.
    auto status = run.process->wait(15s);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, nsrun::ExitStatus::exitCode(0)) << nsrun::describe(*status);
    ASSERT_TRUE(run.process->waitForOut("USB Calvento startup...\n", 15s));

    pid_t daemon = run.DaemonPid();
    ASSERT_GT(daemon, 2); // a child of the started process
    EXPECT_EQ(nsrun::readFile(run.PidPath()), std::to_string(daemon) + "\n");
    struct stat info;
    ASSERT_EQ(stat(run.PidPath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);

    ASSERT_TRUE(run.WaitForLog("Daemon started.\n"));
    pid_t host = run.HostPid(daemon);
    ASSERT_GT(host, 0);
    // Detached: a session of its own, /dev/null on the standard descriptors,
    // file mask 027.
    std::string proc = "/proc/" + std::to_string(host);
    for (int fd = 0; fd < 3; fd++)
        EXPECT_EQ(std::filesystem::read_symlink(proc + "/fd/" + std::to_string(fd)), "/dev/null") << fd;
    EXPECT_EQ(getsid(host), host);
    EXPECT_NE(nsrun::readFile(proc + "/status").find("Umask:\t0027"), std::string::npos);

    ASSERT_EQ(run.process->killNs(daemon, SIGTERM), 0);
    ASSERT_TRUE(run.WaitForShutdown());
    EXPECT_TRUE(LogIs(run.Log(), Join({START_LINES, {"Received SIGTERM signal, starting shutdown sequence."},
                                       SHUTDOWN_LINES})));
    ASSERT_EQ(stat(run.LogPath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
}

TEST(DaemonProcess, EachTerminationSignalAfterAnIgnoredSigpipe)
{
    const std::pair<int, const char*> cases[] = {
        {SIGHUP, "SIGHUP"}, {SIGINT, "SIGINT"}, {SIGQUIT, "SIGQUIT"}, {SIGTERM, "SIGTERM"}};
    for (const auto& [signal, name] : cases) {
        SCOPED_TRACE(name);
        CDaemonRun run;
        if (!run.Start({}))
            GTEST_SKIP() << "needs root";
        pid_t daemon = run.DaemonPid();
        ASSERT_GT(daemon, 0);
        ASSERT_TRUE(run.WaitForLog("Daemon started.\n"));

        ASSERT_EQ(run.process->killNs(daemon, SIGPIPE), 0);
        ASSERT_TRUE(run.WaitForLog("Received SIGPIPE signal, ignoring.\n"));
        EXPECT_GT(run.HostPid(daemon), 0); // still running
        EXPECT_TRUE(run.HasPidFile());

        ASSERT_EQ(run.process->killNs(daemon, signal), 0);
        ASSERT_TRUE(run.WaitForShutdown());
        EXPECT_TRUE(LogIs(run.Log(), Join({START_LINES,
                                           {"Received SIGPIPE signal, ignoring.",
                                            std::string("Received ") + name + " signal, starting shutdown sequence."},
                                           SHUTDOWN_LINES})));
    }
}

TEST(DaemonProcess, SecondSignalDuringShutdownWritesNothing)
{
    CDaemonRun run;
    if (!run.Start({}))
        GTEST_SKIP() << "needs root";
    pid_t daemon = run.DaemonPid();
    ASSERT_GT(daemon, 0);
    ASSERT_TRUE(run.WaitForLog("Daemon started.\n"));
    // Sent together, the two may be taken in either order (different
    // threads can take them); only the first is written.
    ASSERT_EQ(run.process->killNs(daemon, SIGTERM), 0);
    run.process->killNs(daemon, SIGQUIT);
    run.process->killNs(daemon, SIGPIPE);
    ASSERT_TRUE(run.WaitForShutdown());
    std::string log = run.Log();
    std::vector<std::string> lines = Lines(log);
    const size_t first = START_LINES.size();
    ASSERT_GT(lines.size(), first) << log;
    ASSERT_NE(lines[first].find("Received"), std::string::npos) << log;
    std::string received = lines[first].substr(lines[first].find("Received"));
    EXPECT_TRUE(received == "Received SIGTERM signal, starting shutdown sequence." ||
                received == "Received SIGQUIT signal, starting shutdown sequence.")
        << log;
    EXPECT_TRUE(LogIs(log, Join({START_LINES, {received}, SHUTDOWN_LINES})));
}

TEST(DaemonProcess, SignalFloodWhileLoggingNeverDeadlocks)
{
    // Handlers that wrote the log themselves could block on the log's lock
    // held by the very thread they interrupted. Here they only record.
    CDaemonRun run;
    if (!run.Start({}))
        GTEST_SKIP() << "needs root";
    pid_t daemon = run.DaemonPid();
    ASSERT_GT(daemon, 0);
    ASSERT_TRUE(run.WaitForLog("Daemon started.\n"));
    pid_t host = run.HostPid(daemon);
    ASSERT_GT(host, 0);
    for (int i = 0; i < 2000; i++)
        ASSERT_EQ(kill(host, SIGPIPE), 0);
    ASSERT_TRUE(run.WaitForLog("Received SIGPIPE signal, ignoring.\n"));
    ASSERT_EQ(kill(host, SIGTERM), 0);
    ASSERT_TRUE(run.WaitForShutdown()) << run.Describe();

    std::vector<std::string> lines = Lines(run.Log());
    ASSERT_GE(lines.size(), START_LINES.size() + 4);
    size_t pipes = 0;
    for (size_t i = START_LINES.size(); i + 4 < lines.size(); i++) {
        std::string text;
        ASSERT_TRUE(SplitStamp(lines[i], &text)) << lines[i];
        EXPECT_EQ(text, "Received SIGPIPE signal, ignoring.");
        pipes++;
    }
    EXPECT_GE(pipes, 1u);
    std::vector<std::string> tail(lines.end() - 4, lines.end());
    std::string text;
    ASSERT_TRUE(SplitStamp(tail[0], &text));
    EXPECT_EQ(text, "Received SIGTERM signal, starting shutdown sequence.");
}

TEST(DaemonProcess, AsProcessOneStaysInTheForeground)
{
    CDaemonRun run;
    // A stale pid file: process 1 writes none but still removes the path.
    {
        std::ofstream stale(run.PidPath());
        stale << "12345\n";
    }
    Options options;
    options.asInit = true;
    if (!run.Start(options))
        GTEST_SKIP() << "needs root";
    ASSERT_TRUE(run.WaitForLog("Daemon started.\n"));
    EXPECT_EQ(nsrun::readFile(run.PidPath()), "12345\n");
    pid_t host = run.InitHostPid();
    ASSERT_GT(host, 0);
    // Its standard descriptors are the ones it was given.
    EXPECT_NE(std::filesystem::read_symlink("/proc/" + std::to_string(host) + "/fd/1"), "/dev/null");
    EXPECT_EQ(run.process->out(), "");

    ASSERT_EQ(kill(host, SIGINT), 0);
    auto status = run.process->wait(15s);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, nsrun::ExitStatus::exitCode(0)) << nsrun::describe(*status);
    EXPECT_FALSE(run.HasPidFile());
    EXPECT_TRUE(LogIs(run.Log(), Join({START_LINES, {"Received SIGINT signal, starting shutdown sequence."},
                                       SHUTDOWN_LINES})));
    EXPECT_EQ(run.process->out(), "");
}

TEST(DaemonProcess, GenericOptionsOfTheConfigurationFile)
{
    struct Case {
        const char* name;
        std::string config;
        bool logged;
    };
    const Case cases[] = {
        {"eventlog=false", "[Generic options section]\neventlog=false\n", false},
        {"debuglog=true", "[Generic options section]\neventlog=true\ndebuglog=true\n", true},
        {"keys of another section", "[Local USB server section]\neventlog=false\n", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CDaemonRun run;
        Options options;
        options.config = c.config;
        if (!run.Start(options))
            GTEST_SKIP() << "needs root";
        pid_t daemon = run.DaemonPid();
        ASSERT_GT(daemon, 0);
        ASSERT_TRUE(run.WaitForControlSocket(run.HostPid(daemon)));
        if (c.logged) {
            ASSERT_TRUE(run.WaitForLog("Daemon started.\n"));
        }
        // Signals are handled without a log as well.
        ASSERT_EQ(run.process->killNs(daemon, SIGPIPE), 0);
        if (c.logged) {
            ASSERT_TRUE(run.WaitForLog("Received SIGPIPE signal, ignoring.\n"));
        }
        ASSERT_EQ(run.process->killNs(daemon, SIGTERM), 0);
        ASSERT_TRUE(run.WaitForShutdown());
        if (c.logged) {
            // A clean run has no failure to report, so no debug line either.
            EXPECT_TRUE(LogIs(run.Log(), Join({START_LINES,
                                               {"Received SIGPIPE signal, ignoring.",
                                                "Received SIGTERM signal, starting shutdown sequence."},
                                               SHUTDOWN_LINES})));
        } else {
            EXPECT_TRUE(std::filesystem::is_empty(run.logDir.Path()));
        }
    }
}

TEST(DaemonProcess, FatalSignalWritesBacktraceAndExitsWithOne)
{
    const int cases[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
    for (int signal : cases) {
        SCOPED_TRACE(strsignal(signal));
        CDaemonRun run;
        Options options;
        options.asInit = true;
        if (!run.Start(options))
            GTEST_SKIP() << "needs root";
        ASSERT_TRUE(run.WaitForLog("Daemon started.\n"));
        pid_t host = run.InitHostPid();
        ASSERT_GT(host, 0);
        ASSERT_EQ(kill(host, signal), 0);
        auto status = run.process->wait(15s);
        ASSERT_TRUE(status);
        EXPECT_EQ(*status, nsrun::ExitStatus::exitCode(1)) << nsrun::describe(*status);
        std::string log = run.Log();
        EXPECT_TRUE(LogIs(log, Join({START_LINES, {SignalText(signal), "== Start Backtrace ==", "*",
                                                   "== End Backtrace =="}})));
        // Frames are named by the module they are in, one per line.
        std::vector<std::string> lines = Lines(log);
        size_t begin = 0;
        while (begin < lines.size() && lines[begin].find("== Start Backtrace ==") == std::string::npos)
            begin++;
        ASSERT_LT(begin + 2, lines.size());
        EXPECT_GE(lines.size() - begin - 2, 2u);
        EXPECT_NE(log.find("calvixd_sim("), std::string::npos) << log;
    }
}

TEST(DaemonProcess, FatalSignalWhenDaemonisedLeavesPidFileAndNoLogWhenOff)
{
    struct Case {
        std::optional<std::string> config;
        bool logged;
    };
    const Case cases[] = {{std::nullopt, true}, {std::string("[Generic options section]\neventlog=false\n"), false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.logged ? "logged" : "no log");
        CDaemonRun run;
        Options options;
        options.config = c.config;
        if (!run.Start(options))
            GTEST_SKIP() << "needs root";
        pid_t daemon = run.DaemonPid();
        ASSERT_GT(daemon, 0);
        ASSERT_TRUE(run.WaitForControlSocket(run.HostPid(daemon)));
        if (c.logged) {
            ASSERT_TRUE(run.WaitForLog("Daemon started.\n"));
        }
        ASSERT_EQ(run.process->killNs(daemon, SIGSEGV), 0);
        ASSERT_TRUE(run.process->waitAll(15s)) << run.Describe() << run.Log();
        // No shutdown order runs after a fatal signal.
        EXPECT_TRUE(run.HasPidFile());
        if (c.logged) {
            EXPECT_TRUE(LogIs(run.Log(), Join({START_LINES, {SignalText(SIGSEGV), "== Start Backtrace ==", "*",
                                                             "== End Backtrace =="}})));
        } else {
            EXPECT_TRUE(std::filesystem::is_empty(run.logDir.Path()));
        }
    }
}

TEST(DaemonProcess, StartFailsWhenTheControlSocketNameIsTaken)
{
    CDaemonRun run;
    Options options;
    options.asInit = true;
    options.gated = true;
    if (!run.Start(options))
        GTEST_SKIP() << "needs root";

    // Another program holds the name in the daemon's network namespace.
    int holder = -1;
    std::thread claim([&] {
        std::string netns = run.process->hostPath("").substr(0, run.process->hostPath("").size() - 5) + "/ns/net";
        int ns = open(netns.c_str(), O_RDONLY | O_CLOEXEC);
        if (ns < 0 || setns(ns, CLONE_NEWNET) != 0)
            return;
        close(ns);
        holder = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un address;
        memset(&address, 0, sizeof(address));
        address.sun_family = AF_UNIX;
        memcpy(address.sun_path + 1, "calvixd.pipe", 12);
        socklen_t length = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + 1 + 12 + 1);
        if (bind(holder, reinterpret_cast<struct sockaddr*>(&address), length) != 0 || listen(holder, 1) != 0) {
            close(holder);
            holder = -1;
        }
    });
    claim.join();
    ASSERT_GE(holder, 0);
    run.Open();

    auto status = run.process->wait(15s);
    close(holder);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, nsrun::ExitStatus::exitCode(1)) << nsrun::describe(*status);
    EXPECT_TRUE(LogIs(run.Log(), Join({{"Daemon starting up...",
                                        "Control socket name \"calvixd.pipe\" is held by another process (is "
                                        "calvixd already running?)",
                                        "Daemon can not be started! Error 31 Module 0x0000 Line 216"},
                                       SHUTDOWN_LINES})));
}

TEST(DaemonProcess, ProductionDaemonRefusesToStartWithoutTheDriver)
{
    CDaemonRun run;
    Options options;
    options.asInit = true;
    options.production = true;
    if (!run.Start(options))
        GTEST_SKIP() << "needs root";
    auto status = run.process->wait(15s);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, nsrun::ExitStatus::exitCode(1)) << nsrun::describe(*status);
    // No "raveld_cdev" in /proc/devices: the driver interface cannot be made
    // (module 3, ENODEV), so neither can the core object.
    std::string log = run.Log();
    EXPECT_TRUE(LogIs(log, Join({{"Daemon starting up...", "*"}, SHUTDOWN_LINES}))) << log;
    EXPECT_NE(log.find("Daemon can not be started! Error 19 Module 0x0003 Line "), std::string::npos) << log;
}

// The process's rights are those of its effective user id: real root with
// another effective id is refused like any other user.
TEST(DaemonProcess, RefusesAnEffectiveUserOtherThanRoot)
{
#if defined(__SANITIZE_ADDRESS__)
    // A process whose real and effective ids differ cannot be inspected,
    // nor read its own environment: the leak checker fails at its exit.
    GTEST_SKIP() << "the leak checker cannot run in such a process";
#endif
    CDaemonRun run;
    Options options;
    options.euid = 1000;
    if (!run.Start(options))
        GTEST_SKIP() << "needs root";
    auto status = run.process->wait(15s);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, nsrun::ExitStatus::exitCode(255)) << nsrun::describe(*status) << run.process->err();
    EXPECT_EQ(run.process->out(), "USB Calvento can not start! Root priveleges required!\n");
    ASSERT_TRUE(run.process->waitAll(15s));
    EXPECT_FALSE(run.HasPidFile());
    EXPECT_TRUE(std::filesystem::is_empty(run.logDir.Path()));
}

// Symlinks in the place of the log and the pid file are not followed: the
// root daemon must not append to, truncate or chmod the files they name.
TEST(DaemonProcess, LogAndPidFileSymlinksAreNotFollowed)
{
    CDaemonRun run;
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    for (const CTempDir* dir : {&run.logDir, &run.runDir}) {
        std::string target = dir->File("target");
        FILE* f = fopen(target.c_str(), "w");
        ASSERT_TRUE(f);
        fputs("keep\n", f);
        fclose(f);
        ASSERT_EQ(chmod(target.c_str(), 0600), 0);
    }
    ASSERT_EQ(symlink("target", run.LogPath().c_str()), 0);
    ASSERT_EQ(symlink("target", run.PidPath().c_str()), 0);
    ASSERT_TRUE(run.Start({}));
    ASSERT_TRUE(run.process->waitForOut("USB Calvento startup...\n", 15s));

    // No pid file to read: the daemonised child is the calvixd_sim that
    // leads its own session. The name alone may find the exiting parent,
    // which comes last in /proc when the host's pids wrapped between them.
    pid_t daemon = 0;
    ASSERT_TRUE(WaitFor([&] {
        for (const nsrun::NsPid& entry : run.process->processes()) {
            std::string proc = "/proc/" + std::to_string(entry.hostPid);
            if (nsrun::readFile(proc + "/comm") == "calvixd_sim\n" && SessionLeader(proc + "/stat", entry.hostPid))
                daemon = entry.nsPid;
        }
        return daemon > 0;
    }));
    ASSERT_TRUE(run.WaitForControlSocket(run.HostPid(daemon)));
    ASSERT_EQ(run.process->killNs(daemon, SIGTERM), 0);
    ASSERT_TRUE(run.process->waitAll(60s));
    for (const CTempDir* dir : {&run.logDir, &run.runDir}) {
        std::string target = dir->File("target");
        EXPECT_EQ(nsrun::readFile(target), "keep\n") << target;
        struct stat info;
        ASSERT_EQ(stat(target.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u) << target;
    }
}

// A termination signal that arrives right after the pid file appears, before
// the handlers could be installed, still gets the whole shutdown.
TEST(DaemonProcess, SignalRightAfterTheForkGetsTheShutdown)
{
    for (int round = 0; round < 10; round++) {
        SCOPED_TRACE(round);
        CDaemonRun run;
        if (!run.Start({}))
            GTEST_SKIP() << "needs root";
        // No pause between the looks: the signal must land in the window.
        std::string text;
        auto deadline = std::chrono::steady_clock::now() + 15s;
        while ((text.empty() || text.back() != '\n') && std::chrono::steady_clock::now() < deadline)
            text = nsrun::readFile(run.PidPath());
        ASSERT_FALSE(text.empty());
        pid_t daemon = static_cast<pid_t>(std::stoi(text));
        ASSERT_EQ(run.process->killNs(daemon, SIGTERM), 0);
        ASSERT_TRUE(run.WaitForShutdown()) << run.Describe() << run.Log();
        EXPECT_TRUE(LogIs(run.Log(), Join({{"Daemon starting up...", "*"},
                                           {"Received SIGTERM signal, starting shutdown sequence."},
                                           SHUTDOWN_LINES})));
    }
}
