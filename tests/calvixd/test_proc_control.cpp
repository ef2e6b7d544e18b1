// The control interface of the real daemon, in private mount, PID, network
// and IPC namespaces: /etc holds crafted user and group files and the
// configuration, /var/run and /var/log are directories of the test. Clients
// are child processes that enter the daemon's network namespace (abstract
// socket names belong to it) and take their user and group ids before they
// connect, so the daemon sees them in its peer credentials.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/calvixd/controlclient.h"
#include "tests/calvixd/tempdir.h"
#include "tests/support/controlwire_golden.h"
#include "tests/support/nsrun.h"
#include "tests/support/wait.h"

using namespace std::chrono_literals;
using namespace controlgolden;

namespace {

const char PASSWD[] = "root:x:0:0:root:/root:/bin/sh\n"
                      "admin:x:1001:1001::/:/bin/false\n"
                      "user:x:1002:1002::/:/bin/false\n"
                      "other:x:1003:1003::/:/bin/false\n"
                      "primary:x:1004:3000::/:/bin/false\n";
const char GROUPS_BOTH[] = "root:x:0:\n"
                           "calvusr:x:2000:user\n"
                           "calvusradm:x:3000:admin\n"
                           "admin:x:1001:\n"
                           "user:x:1002:\n"
                           "other:x:1003:\n";
const char GROUPS_NONE[] = "root:x:0:\n"
                           "admin:x:1001:\n"
                           "user:x:1002:\n"
                           "other:x:1003:\n";

class CControlDaemon {
public:
    CTempDir logDir;
    CTempDir runDir;
    std::unique_ptr<nsrun::Process> process;

    bool Start(const std::string& groups, const std::optional<std::string>& config = std::nullopt)
    {
        if (geteuid() != 0)
            return false;
        nsrun::RunOptions run;
        run.argv = {CALVIXD_SIM_BIN};
        run.env = {"RAVELSIM_ROOT=/var/run/ravelsim/devices/", "RAVELSIM_SOCKET=/var/run/ravelsim.sock"};
        run.mounts.push_back({nsrun::Mount::Kind::Tmpfs, "/etc", "", "", {"ld.so.cache"}});
        run.mounts.push_back({nsrun::Mount::Kind::Bind, "/var/log", logDir.Path(), "", {}});
        run.mounts.push_back({nsrun::Mount::Kind::Bind, "/var/run", runDir.Path(), "", {}});
        run.files.push_back({"/etc/passwd", PASSWD, 0644, 0, 0, nsrun::File::Type::Regular});
        run.files.push_back({"/etc/group", groups, 0644, 0, 0, nsrun::File::Type::Regular});
        run.files.push_back(
            {"/etc/nsswitch.conf", "passwd: files\ngroup: files\n", 0644, 0, 0, nsrun::File::Type::Regular});
        if (config)
            run.files.push_back({"/etc/calvixd.conf", *config, 0644, 0, 0, nsrun::File::Type::Regular});
        std::string error;
        process = nsrun::Process::start(run, &error);
        EXPECT_TRUE(process) << error;
        if (!process)
            return false;
        // Ready: the control tool's own test, the start-up state 100.
        return testwait::waitUntil(
            [&] {
                std::vector<uint8_t> reply;
                return Request(0, 0, Cat({U32(GET_STARTUP_STATE)}), &reply) && reply == Cat({U32(1), U32(100)});
            },
            15000ms, 50ms);
    }

    // The whole stream a client with these ids gets after sending `bytes`
    // (handshake included). False when the client could not run.
    bool Exchange(uid_t uid, gid_t gid, const std::vector<uint8_t>& bytes, std::vector<uint8_t>* reply)
    {
        std::string init = process->hostPath("");
        std::string netns = init.substr(0, init.size() - 5) + "/ns/net"; // "/proc/<init>/root/"
        int pipeFds[2];
        if (pipe2(pipeFds, O_CLOEXEC) != 0)
            return false;
        pid_t child = fork();
        if (child == 0) {
            close(pipeFds[0]);
            int ns = open(netns.c_str(), O_RDONLY | O_CLOEXEC);
            if (ns < 0 || setns(ns, CLONE_NEWNET) != 0)
                _exit(20);
            if (setgroups(0, nullptr) != 0 || setresgid(gid, gid, gid) != 0 || setresuid(uid, uid, uid) != 0)
                _exit(21);
            int fd = controlclient::Connect("calvixd.pipe");
            if (fd < 0)
                _exit(22);
            controlclient::Send(fd, bytes);
            std::vector<uint8_t> got = controlclient::ReadToEnd(fd, 15000);
            if (!got.empty() && write(pipeFds[1], got.data(), got.size()) != static_cast<ssize_t>(got.size()))
                _exit(23);
            _exit(0);
        }
        close(pipeFds[1]);
        reply->clear();
        uint8_t buffer[4096];
        ssize_t n;
        while ((n = read(pipeFds[0], buffer, sizeof(buffer))) > 0)
            reply->insert(reply->end(), buffer, buffer + n);
        close(pipeFds[0]);
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

    // Handshake with requested flags 0, then the request.
    bool Request(uid_t uid, gid_t gid, const std::vector<uint8_t>& request, std::vector<uint8_t>* reply)
    {
        std::vector<uint8_t> granted;
        if (!Exchange(uid, gid, Cat({controlclient::Hello(0), request}), &granted) || granted.size() < 4)
            return false;
        reply->assign(granted.begin() + 4, granted.end());
        return granted[0] == 0 && granted[1] == 0 && granted[2] == 0 && granted[3] == 0;
    }

    bool Stop()
    {
        std::string pid = nsrun::readFile(runDir.File("calvixd.pid"));
        if (pid.empty())
            return false;
        process->killNs(static_cast<pid_t>(std::stoi(pid)), SIGTERM);
        return testwait::waitUntil([&] { return access(runDir.File("calvixd.pid").c_str(), F_OK) != 0; }, 15000ms) &&
               process->waitAll(15s);
    }
};

const Bytes VERSION_REPLY = Cat({U32(1), U32(0x3A000), Text("USB Calvento for Linux")});

} // namespace

// Root, the admin group (as a member or as the primary group), the user
// group; refused: a user in neither group; undecided: a user the system does
// not know.
TEST(ControlProcess, AccessMatrix)
{
    CControlDaemon daemon;
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    ASSERT_TRUE(daemon.Start(GROUPS_BOTH)) << daemon.logDir.Path();
    struct Case {
        const char* name;
        uid_t uid;
        gid_t gid;
        Bytes stream; // everything after the client's bytes
    };
    const Bytes request = U32(GET_VERSION);
    const Case cases[] = {
        {"root", 0, 0, Cat({U32(0), VERSION_REPLY})},
        {"admin group member", 1001, 1001, Cat({U32(0), VERSION_REPLY})},
        {"admin group as primary group", 1004, 3000, Cat({U32(0), VERSION_REPLY})},
        {"user group member", 1002, 1002, Cat({U32(0), VERSION_REPLY})},
        {"in neither group", 1003, 1003, U32(0x80000000)},
        {"unknown user", 4242, 4242, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> stream;
        ASSERT_TRUE(daemon.Exchange(c.uid, c.gid, Cat({controlclient::Hello(0), request}), &stream));
        EXPECT_EQ(stream, c.stream);
    }
    // A refused peer that asks for the denied bit itself gets the same
    // answer and no reply to its request.
    std::vector<uint8_t> stream;
    ASSERT_TRUE(daemon.Exchange(1003, 1003, Cat({controlclient::Hello(0x80000000), request}), &stream));
    EXPECT_EQ(stream, U32(0x80000000));
    EXPECT_TRUE(daemon.Stop());
}

// Without either group every local user may use the daemon.
TEST(ControlProcess, WithoutTheGroupsEveryoneIsAllowed)
{
    CControlDaemon daemon;
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    ASSERT_TRUE(daemon.Start(GROUPS_NONE));
    std::vector<uint8_t> stream;
    ASSERT_TRUE(daemon.Exchange(1003, 1003, Cat({controlclient::Hello(0), U32(GET_VERSION)}), &stream));
    EXPECT_EQ(stream, Cat({U32(0), VERSION_REPLY}));
    EXPECT_TRUE(daemon.Stop());
}

// A request that saves rewrites the file in its own layout: what was read
// stays, and what the request changed is there.
TEST(ControlProcess, RequestsRewriteTheConfigurationFile)
{
    CControlDaemon daemon;
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    const std::string initial = "[Local USB server section]\n"
                                "tcpport=4000\n"
                                "interface=0100007f\n"
                                "[IP filters section]\n"
                                "ipfiltersmode=deny\n"
                                "ipfiltersrule=127.0.0.5;\n"
                                "[USB device quirks section]\n"
                                "quirk=1234:5678::ResetHard;\n"
                                "[USB servers uniqid section]\n"
                                "usbserver=00000000:000102030405060708090a0b0c0d0e0f;\n";
    ASSERT_TRUE(daemon.Start(GROUPS_BOTH, initial));
    std::string path = daemon.process->hostPath("/etc/calvixd.conf");

    // An exclusion on another server changes nothing and still saves.
    std::vector<uint8_t> reply;
    ASSERT_TRUE(daemon.Request(1002, 1002, Cat({U32(ADD_EXCLUSION), U32(1), U32(7)}), &reply));
    EXPECT_EQ(reply, Ok());
    std::string saved = nsrun::readFile(path);
    for (const char* line : {"tcpport=4000\n", "interface=127.0.0.1\n", "startup=manualsharing\n",
                             "ipfiltersmode=deny\n", "ipfiltersrule=127.0.0.5;\n", "quirk=1234:5678::ResetHard;\n",
                             "usbserver=00000000:000102030405060708090a0b0c0d0e0f;\n", "eventlog=true\n"})
        EXPECT_NE(saved.find(line), std::string::npos) << line << " in\n" << saved;
    // The built-in quirk is never written.
    EXPECT_EQ(saved.find("6547"), std::string::npos) << saved;

    // Automatic sharing: the file says what the answer says.
    ASSERT_TRUE(daemon.Request(0, 0, Cat({U32(SET_AUTO_SHARE_MODE), U32(0), U32(1)}), &reply));
    ASSERT_GE(reply.size(), 4u);
    saved = nsrun::readFile(path);
    if (reply == Ok())
        EXPECT_NE(saved.find("startup=autosharing\n"), std::string::npos) << saved;
    else
        EXPECT_NE(saved.find("startup=manualsharing\n"), std::string::npos) << saved;

    // No temporary file is left beside it.
    size_t entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(daemon.process->hostPath("/etc"))) {
        std::string name = entry.path().filename();
        EXPECT_EQ(name.rfind("calvixd.conf.", 0), std::string::npos) << name;
        entries++;
    }
    EXPECT_GT(entries, 0u);
    EXPECT_TRUE(daemon.Stop());
}
