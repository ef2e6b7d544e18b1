// The DNS-SD announcement of the real ovusbd in its own namespaces, on a
// dummy interface of a network namespace the test made, looked up with the
// test's own mDNS querier: the built-in responder, and the service file
// loaded by a real avahi-daemon.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include "tests/support/mdnsquery.h"
#include "tests/support/nsrun.h"
#include "tests/support/ovclient.h"
#include "tests/support/wait.h"

namespace {

using namespace std::chrono_literals;
using mdnsquery::Querier;
using mdnsquery::Record;
using testwait::waitUntil;

const char kRunning[] = "Orvanta USB Server is running...press CTRL-C to stop\n";
const char kLinkAddress[] = "10.77.0.1";
const char kType[] = "_ovusb._tcp.local";

int inNamespace(pid_t pid, const std::function<int()>& fn) {
    int result = -1;
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

bool hasPtr(const std::vector<Record>& records, const std::string& instance, bool goodbye = false) {
    for (const Record& r : records) {
        if (r.type == mdnsquery::kTypePtr && r.target == instance + "." + kType && (r.ttl == 0) == goodbye) {
            return true;
        }
    }
    return false;
}

class DnssdProcess : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/ovusbd-dnssd.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
    }
    void TearDown() override {
        querier_.reset();
        server_.reset();
        if (!HasFailure()) std::filesystem::remove_all(dir_);
    }

    std::string config(const std::string& name, std::map<std::string, std::string> keys) {
        std::map<std::string, std::string> all = {{"PingTimeout", "5"}, {"DNSFriendlyName", "Test Box"}};
        for (auto& [k, v] : keys) all[k] = v;
        const std::string path = dir_ + "/" + name + ".ini";
        std::ofstream out(path);
        for (auto& [k, v] : all) out << k << "=" << v << "\n";
        return path;
    }
    std::string server(const std::string& name, std::map<std::string, std::string> keys) {
        return std::string(OVUSBD_BIN) + " -c " + config(name, keys) + " -r " + dir_ + "/" + name + ".log";
    }

    // Runs script after the link is made: a veth pair, kLinkAddress on d0
    // (mDNS needs a multicast interface; lo is none).
    void start(const std::string& script, std::vector<nsrun::File> files = {}) {
        // avahi-daemon looks its user up even when it keeps root.
        files.push_back({"/etc/passwd", "root:x:0:0::/root:/bin/sh\navahi:x:101:101::/run:/bin/false\n", 0644, 0, 0,
                         nsrun::File::Type::Regular});
        files.push_back({"/etc/group", "root:x:0:\navahi:x:101:\n", 0644, 0, 0, nsrun::File::Type::Regular});
        files.push_back({"/etc/nsswitch.conf", "passwd: files\ngroup: files\n", 0644, 0, 0, nsrun::File::Type::Regular});
        nsrun::RunOptions s;
        s.argv = {"/bin/sh", "-c",
                  std::string("ip link add d0 type veth peer name d1 && ip link set d1 up && ip addr add ") +
                      kLinkAddress + "/24 dev d0 && ip link set d0 up && " + script};
        s.env = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
        s.mounts = nsrun::isolatedSystemMounts();
        s.files = {{"/etc/machine-id", "0123456789abcdef0123456789abcdef\n", 0644, 0, 0, nsrun::File::Type::Regular}};
        for (auto& f : files) s.files.push_back(f);
        s.workDir = dir_ + "/ns";
        std::string error;
        server_ = nsrun::Process::start(s, &error);
        ASSERT_TRUE(server_) << error;
        ASSERT_TRUE(server_->waitForOut(kRunning, 30s)) << report("main");
        int fd = -1;
        waitUntil(
            [&] {
                fd = inNamespace(server_->pid(), [] { return mdnsquery::openSocket(kLinkAddress); });
                return fd >= 0;
            },
            5s, 100ms);
        ASSERT_GE(fd, 0) << strerror(errno);
        querier_ = std::make_unique<Querier>(fd);
    }
    std::string log(const std::string& name) const { return nsrun::readFile(dir_ + "/" + name + ".log"); }
    std::string report(const std::string& name) const {
        return "stdout:\n" + server_->out() + "\nstderr:\n" + server_->err() + "\nlog:\n" + log(name);
    }
    std::string serialOf(uint16_t port) {
        int fd = inNamespace(server_->pid(), [&] { return ovclient::connectTcp("127.0.0.1", port, 5000); });
        if (fd < 0) return "";
        ovclient::OvClient client;
        client.adopt(fd);
        ovclient::HelloReply hello;
        return client.hello("dnssd", "", &hello) ? hello.serverSerial : "";
    }

    std::string dir_;
    std::unique_ptr<nsrun::Process> server_;
    std::unique_ptr<Querier> querier_;
};

// PTR, SRV and TXT with the name, type, port and serial; an added address
// is announced; shutdown sends goodbyes.
TEST_F(DnssdProcess, BuiltInResponder) {
    ASSERT_NO_FATAL_FAILURE(start("exec " + server("main", {{"TCPPort", "7588"}})));
    const std::string serial = serialOf(7588);
    ASSERT_FALSE(serial.empty()) << report("main");
    const std::string instance = std::string("Test Box.") + kType;
    ASSERT_TRUE(querier_->waitFor(
        [&](const std::vector<Record>& r) {
            return hasPtr(r, "Test Box") && mdnsquery::find(r, instance, mdnsquery::kTypeSrv) &&
                   mdnsquery::find(r, instance, mdnsquery::kTypeTxt);
        },
        20000, kType, mdnsquery::kTypePtr))
        << report("main");
    const Record* srv = mdnsquery::find(querier_->records(), instance, mdnsquery::kTypeSrv);
    EXPECT_EQ(srv->port, 7588);
    const Record* txt = mdnsquery::find(querier_->records(), instance, mdnsquery::kTypeTxt);
    EXPECT_EQ(txt->txt, std::vector<std::string>{serial});
    const std::string host = srv->target;

    // A new address on the link is announced for the host.
    ASSERT_EQ(inNamespace(server_->pid(), [] { return std::system("ip addr add 10.77.0.9/24 dev d0"); }), 0);
    querier_->clear();
    EXPECT_TRUE(querier_->waitFor(
        [&](const std::vector<Record>& r) {
            for (const Record& a : r) {
                if (a.type == mdnsquery::kTypeA && a.address == "10.77.0.9" && a.ttl > 0) return true;
            }
            return false;
        },
        30000, host, mdnsquery::kTypeA))
        << report("main");
    EXPECT_TRUE(querier_->waitFor([&](const std::vector<Record>& r) { return hasPtr(r, "Test Box"); }, 30000, kType,
                                  mdnsquery::kTypePtr))
        << report("main");

    querier_->clear();
    ASSERT_EQ(server_->kill(SIGTERM), 0);
    EXPECT_TRUE(querier_->waitFor([&](const std::vector<Record>& r) { return hasPtr(r, "Test Box", true); }, 10000))
        << report("main");
    auto status = server_->wait(30s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, nsrun::ExitStatus::exitCode(0)) << report("main");
}

// A second server of the same name on the same link is renamed; under TLS
// the name and the type carry the SSL marks.
TEST_F(DnssdProcess, SecondServerOfTheSameNameIsRenamed) {
    ASSERT_NO_FATAL_FAILURE(
        start(server("first", {{"TCPPort", "7588"}}) + " & exec " + server("main", {{"TCPPort", "7589"}})));
    EXPECT_TRUE(querier_->waitFor(
        [&](const std::vector<Record>& r) { return hasPtr(r, "Test Box") && hasPtr(r, "Test Box #2"); }, 30000,
        kType, mdnsquery::kTypePtr))
        << report("main") << log("first");
    std::map<uint16_t, std::string> byPort;
    for (const Record& r : querier_->records()) {
        if (r.type == mdnsquery::kTypeSrv) byPort[r.port] = r.name;
    }
    EXPECT_EQ(byPort.size(), 2u);
}

TEST_F(DnssdProcess, AvahiDaemonLoadsTheServiceFile) {
    const std::string daemonConfig = "[server]\nuse-ipv6=no\nenable-dbus=no\nallow-interfaces=d0\n"
                                     "[publish]\npublish-workstation=no\npublish-hinfo=no\n";
    ASSERT_NO_FATAL_FAILURE(start("(avahi-daemon -f /etc/avahi/avahi-daemon.conf --no-drop-root --no-chroot --no-rlimits >" + dir_ +
              "/avahi.log 2>&1 &) && exec " + server("main", {{"TCPPort", "7590"}}),
          {{"/etc/avahi/services", "", 0755, 0, 0, nsrun::File::Type::Directory},
           {"/etc/avahi/avahi-daemon.conf", daemonConfig, 0644, 0, 0, nsrun::File::Type::Regular}}));
    const std::string serial = serialOf(7590);
    const std::string file = nsrun::readFile(server_->hostPath("/etc/avahi/services/ovusbd.service"));
    EXPECT_EQ(file, "<service-group>\n\t<name>Test Box</name>\n\t<service protocol=\"ipv4\">\n"
                    "\t\t<type>_ovusb._tcp</type>\n\t\t<port>7590</port>\n\t\t<txt-record>" +
                        serial + "</txt-record>\n\t</service>\n</service-group>");
    const std::string instance = std::string("Test Box.") + kType;
    EXPECT_TRUE(querier_->waitFor(
        [&](const std::vector<Record>& r) {
            const Record* srv = mdnsquery::find(r, instance, mdnsquery::kTypeSrv);
            const Record* txt = mdnsquery::find(r, instance, mdnsquery::kTypeTxt);
            return hasPtr(r, "Test Box") && srv && srv->port == 7590 && txt &&
                   txt->txt == std::vector<std::string>{serial};
        },
        30000, kType, mdnsquery::kTypePtr))
        << report("main") << nsrun::readFile(dir_ + "/avahi.log");
    EXPECT_EQ(log("main").find("built-in mdns server"), std::string::npos);

    ASSERT_EQ(server_->kill(SIGTERM), 0);
    auto status = server_->wait(30s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, nsrun::ExitStatus::exitCode(0)) << report("main");
    EXPECT_FALSE(std::filesystem::exists(server_->hostPath("/etc/avahi/services/ovusbd.service")));
}

} // namespace
