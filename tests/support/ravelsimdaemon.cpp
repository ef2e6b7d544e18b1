#include "tests/support/ravelsimdaemon.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/ravelsimcontrol.h"
#include "tests/support/wait.h"

namespace ravelsim {

namespace {

std::string MakeTempDir()
{
    char pattern[] = "/tmp/ravelsim-run-XXXXXX";
    const char* made = mkdtemp(pattern);
    return made ? made : "";
}

void RemoveTree(const std::string& path)
{
    std::error_code ignored;
    if (!path.empty())
        std::filesystem::remove_all(path, ignored);
}

} // namespace

SimDaemon::SimDaemon() : m_logDir(MakeTempDir()), m_runDir(MakeTempDir()) {}

SimDaemon::~SimDaemon()
{
    if (m_netns >= 0)
        close(m_netns);
    if (m_ipcns >= 0)
        close(m_ipcns);
    m_process.reset();
    RemoveTree(m_logDir);
    RemoveTree(m_runDir);
}

bool SimDaemon::Start(const std::string& binary, const std::string& config, std::string* error,
                      const std::vector<nsrun::File>& files)
{
    if (geteuid() != 0) {
        *error = "needs root";
        return false;
    }
    if (m_logDir.empty() || m_runDir.empty()) {
        *error = "no temporary directory";
        return false;
    }
    nsrun::RunOptions run;
    run.argv = {binary};
    run.env = {"RAVELSIM_ROOT=/var/run/ravelsim/devices/", "RAVELSIM_SOCKET=/var/run/ravelsim.sock"};
    run.mounts.push_back({nsrun::Mount::Kind::Tmpfs, "/etc", "", "", {"ld.so.cache"}});
    run.mounts.push_back({nsrun::Mount::Kind::Bind, "/var/log", m_logDir, "", {}});
    run.mounts.push_back({nsrun::Mount::Kind::Bind, "/var/run", m_runDir, "", {}});
    if (!config.empty())
        run.files.push_back({"/etc/calvixd.conf", config, 0644, 0, 0, nsrun::File::Type::Regular});
    run.files.insert(run.files.end(), files.begin(), files.end());
    m_process = nsrun::Process::start(run, error);
    if (!m_process)
        return false;
    m_netns = open(m_process->hostPath("/proc/1/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
    m_ipcns = open(m_process->hostPath("/proc/1/ns/ipc").c_str(), O_RDONLY | O_CLOEXEC);
    if (m_netns < 0 || m_ipcns < 0) {
        *error = "the run's namespaces cannot be opened";
        return false;
    }
    if (!WaitForLog("Daemon started.\n")) {
        *error = "the daemon did not start; its log:\n" + Log();
        return false;
    }
    return true;
}

std::string SimDaemon::Log() const
{
    return nsrun::readFile(m_logDir + "/calvixd.log");
}

bool SimDaemon::WaitForLog(const std::string& text, std::chrono::milliseconds timeout) const
{
    return testwait::waitUntil([&] { return Log().find(text) != std::string::npos; }, timeout);
}

std::string SimDaemon::Driver(const std::string& line) const
{
    return ControlRequest(RunFile("ravelsim.sock"), line);
}

pid_t SimDaemon::DaemonPid() const
{
    std::string text;
    if (!testwait::waitUntil(
            [&] {
                text = nsrun::readFile(RunFile("calvixd.pid"));
                return !text.empty() && text.back() == '\n';
            },
            std::chrono::seconds(15)))
        return 0;
    return static_cast<pid_t>(std::stoi(text));
}

bool SimDaemon::Stop()
{
    pid_t daemon = DaemonPid();
    if (daemon <= 0 || m_process->killNs(daemon, SIGTERM) != 0)
        return false;
    return testwait::waitUntil([&] { return access(RunFile("calvixd.pid").c_str(), F_OK) != 0; },
                               std::chrono::seconds(15)) &&
           m_process->waitAll(std::chrono::seconds(15));
}

namespace {

// Runs fn with the calling thread in the given namespaces, then puts it
// back into its own.
bool InNamespaces(const std::vector<std::pair<int, int>>& targets, const std::function<void()>& fn)
{
    std::vector<std::pair<int, int>> own;
    bool entered = true;
    for (const auto& [fd, type] : targets) {
        const char* path = type == CLONE_NEWNET ? "/proc/thread-self/ns/net" : "/proc/thread-self/ns/ipc";
        int mine = open(path, O_RDONLY | O_CLOEXEC);
        if (mine < 0 || fd < 0 || setns(fd, type) != 0) {
            if (mine >= 0)
                close(mine);
            entered = false;
            break;
        }
        own.push_back({mine, type});
    }
    if (entered)
        fn();
    for (const auto& [fd, type] : own) {
        if (setns(fd, type) != 0)
            abort(); // a test thread left in the wrong namespace would mislead every later test
        close(fd);
    }
    return entered;
}

} // namespace

bool SimDaemon::InNetwork(const std::function<void()>& fn) const
{
    return InNamespaces({{m_netns, CLONE_NEWNET}}, fn);
}

bool SimDaemon::InNetworkAndIpc(const std::function<void()>& fn) const
{
    return InNamespaces({{m_netns, CLONE_NEWNET}, {m_ipcns, CLONE_NEWIPC}}, fn);
}

} // namespace ravelsim
