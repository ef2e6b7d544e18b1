// calvixd_sim run as a daemon in private mount, PID, network and IPC
// namespaces: its own /etc (with an optional calvixd.conf), its event log
// and pid file in host directories of the run, and the model's control
// socket at /var/run/ravelsim.sock. Remote clients reach it through
// InNetwork, which makes sockets inside the daemon's network namespace.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/nsrun.h"

namespace ravelsim {

class SimDaemon {
public:
    SimDaemon();
    ~SimDaemon(); // kills every process of the namespaces
    SimDaemon(const SimDaemon&) = delete;
    SimDaemon& operator=(const SimDaemon&) = delete;

    // Starts binary (calvixd_sim) with config as /etc/calvixd.conf (none
    // when empty) and further files (under /etc, such as passwd and group),
    // and waits for "Daemon started.". False with the reason in *error.
    bool Start(const std::string& binary, const std::string& config, std::string* error,
               const std::vector<nsrun::File>& files = {});

    std::string Log() const;
    bool WaitForLog(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(15)) const;
    // One request on the model's control socket; its reply line.
    std::string Driver(const std::string& line) const;
    // The daemonised process's pid inside the namespace, 0 when the pid
    // file does not come.
    pid_t DaemonPid() const;
    // SIGTERM to the daemon; true once its pid file is gone and no process
    // is left.
    bool Stop();
    // Runs fn on the calling thread inside the daemon's network namespace;
    // sockets made there stay in it. False when it cannot be entered.
    bool InNetwork(const std::function<void()>& fn) const;
    // The same in the daemon's IPC namespace as well, where its change
    // notifications go; threads that fn starts stay in both.
    bool InNetworkAndIpc(const std::function<void()>& fn) const;

    nsrun::Process* Run() const { return m_process.get(); }
    std::string RunFile(const char* name) const { return m_runDir + "/" + name; }

private:
    std::string m_logDir;
    std::string m_runDir;
    std::unique_ptr<nsrun::Process> m_process;
    // Holds the network namespace also after every process of the run ended.
    int m_netns = -1;
    int m_ipcns = -1;
};

} // namespace ravelsim
