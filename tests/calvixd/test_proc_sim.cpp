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
#include "tests/support/ravelsimdaemon.h"

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
