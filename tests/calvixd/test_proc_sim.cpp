// calvixd with the simulated stub driver (calvixd_sim) in private mount, PID,
// network and IPC namespaces: devices are plugged and unplugged through the
// model's control socket, and the daemon's event log tells what it saw.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "tests/calvixd/logmatch.h"
#include "tests/calvixd/tempdir.h"
#include "tests/support/nsrun.h"
#include "tests/support/ravelsimcontrol.h"
#include "tests/support/wait.h"

using namespace std::chrono_literals;

namespace {

class CSimRun {
public:
    CTempDir logDir;
    CTempDir runDir;
    std::unique_ptr<nsrun::Process> process;

    bool Start(const std::string& config = "")
    {
        if (geteuid() != 0)
            return false;
        nsrun::RunOptions run;
        run.argv = {CALVIXD_SIM_BIN};
        run.env = {"RAVELSIM_ROOT=/var/run/ravelsim/devices/", "RAVELSIM_SOCKET=/var/run/ravelsim.sock"};
        run.mounts.push_back({nsrun::Mount::Kind::Tmpfs, "/etc", "", "", {"ld.so.cache"}});
        run.mounts.push_back({nsrun::Mount::Kind::Bind, "/var/log", logDir.Path(), "", {}});
        run.mounts.push_back({nsrun::Mount::Kind::Bind, "/var/run", runDir.Path(), "", {}});
        if (!config.empty())
            run.files.push_back({"/etc/calvixd.conf", config, 0644, 0, 0, nsrun::File::Type::Regular});
        std::string error;
        process = nsrun::Process::start(run, &error);
        EXPECT_TRUE(process) << error;
        return process != nullptr;
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
    pid_t DaemonPid() const
    {
        std::string text;
        if (!testwait::waitUntil(
                [&] {
                    text = nsrun::readFile(runDir.File("calvixd.pid"));
                    return !text.empty() && text.back() == '\n';
                },
                15s))
            return 0;
        return static_cast<pid_t>(std::stoi(text));
    }
    bool Stop()
    {
        pid_t daemon = DaemonPid();
        if (daemon <= 0 || process->killNs(daemon, SIGTERM) != 0)
            return false;
        return testwait::waitUntil([&] { return access(runDir.File("calvixd.pid").c_str(), F_OK) != 0; }, 15s) &&
               process->waitAll(15s);
    }
};

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
    CSimRun run;
    if (!run.Start())
        GTEST_SKIP() << "needs root";
    ASSERT_TRUE(run.WaitForLog("Daemon started.\n")) << run.Log();

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
