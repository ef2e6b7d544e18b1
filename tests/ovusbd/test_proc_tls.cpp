// The real ovusbd with "SSLCert" set, in its own namespaces: it serves TLS
// on its TLS port, or ends start-up with 5 when its TLS configuration fails.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include "tests/support/nsrun.h"
#include "tests/support/ovclient.h"
#include "tests/support/tlsclient.h"
#include "tests/support/wait.h"

namespace {

using namespace std::chrono_literals;
using testwait::waitUntil;

const char kRunning[] = "Orvanta USB Server is running...press CTRL-C to stop\n";

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

class TlsProcess : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(certs().serverPem.empty());
        char dir[] = "/tmp/ovusbd-proctls.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        log_ = dir_ + "/server.log";
    }
    void TearDown() override {
        server_.reset();
        std::filesystem::remove_all(dir_);
    }
    static const tlsclient::TestCertificates& certs() { return tlsclient::sharedTestCertificates(); }

    void start(std::map<std::string, std::string> keys) {
        std::map<std::string, std::string> all = {{"PingInterval", "1"}, {"PingTimeout", "5"}, {"UseAVAHI", "0"}};
        for (auto& [k, v] : keys) all[k] = v;
        {
            std::ofstream config(dir_ + "/config.ini");
            for (auto& [k, v] : all) config << k << "=" << v << "\n";
        }
        nsrun::RunOptions s;
        s.argv = {OVUSBD_BIN, "-c", dir_ + "/config.ini", "-r", log_};
        s.env = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
        s.mounts = nsrun::isolatedSystemMounts();
        s.files = {{"/etc/machine-id", "0123456789abcdef0123456789abcdef\n", 0644, 0, 0, nsrun::File::Type::Regular}};
        s.workDir = dir_ + "/ns";
        std::string error;
        server_ = nsrun::Process::start(s, &error);
        ASSERT_TRUE(server_) << error;
    }
    std::string log() const { return nsrun::readFile(log_); }
    std::string report() const {
        return "stdout:\n" + server_->out() + "\nstderr:\n" + server_->err() + "\nlog:\n" + log();
    }

    std::string dir_, log_;
    std::unique_ptr<nsrun::Process> server_;
};

TEST_F(TlsProcess, ServesTlsOnItsPortAndNoPlainListener) {
    start({{"SSLCert", certs().serverPem}, {"SSLCAFile", certs().caCert}, {"SSLCRLFile", certs().emptyCrl}});
    ASSERT_TRUE(server_->waitForOut(kRunning, 30s)) << report();
    const std::string text = log();
    EXPECT_NE(text.find("Using SSL Server certificate at " + certs().serverPem), std::string::npos) << text;
    EXPECT_NE(text.find("Using SSL CA at " + certs().caCert), std::string::npos);
    EXPECT_NE(text.find("Using SSL CRL's at " + certs().emptyCrl), std::string::npos);
    EXPECT_NE(text.find("at TCP SSL port 7574"), std::string::npos);
    EXPECT_EQ(text.find("at TCP port"), std::string::npos);

    EXPECT_LT(inNamespace(server_->pid(), [] { return ovclient::connectTcp("127.0.0.1", 7575, 2000); }), 0);
    int fd = inNamespace(server_->pid(), [] { return ovclient::connectTcp("127.0.0.1", 7574, 5000); });
    ASSERT_GE(fd, 0) << report();
    tlsclient::ClientOptions options;
    options.caCert = certs().caCert;
    std::string error;
    auto relay = tlsclient::TlsRelay::start(fd, options, &error);
    ASSERT_TRUE(relay) << error << "\n" << report();
    ovclient::OvClient client;
    client.adopt(relay->takePlainFd());
    ovclient::HelloReply hello;
    ASSERT_TRUE(client.hello("tls process", "", &hello)) << report();

    ASSERT_EQ(server_->kill(SIGTERM), 0);
    auto status = server_->wait(30s);
    ASSERT_TRUE(status.has_value()) << report();
    EXPECT_EQ(*status, nsrun::ExitStatus::exitCode(0)) << report();
    EXPECT_TRUE(waitUntil([&] { return relay->ended(); }, 5s));
}

TEST_F(TlsProcess, TlsConfigurationFailureEndsStartUpWith5) {
    start({{"SSLCert", dir_ + "/missing.pem"}});
    auto status = server_->wait(30s);
    ASSERT_TRUE(status.has_value()) << report();
    EXPECT_EQ(*status, nsrun::ExitStatus::exitCode(5)) << report();
    const std::string text = log();
    EXPECT_NE(text.find("loading SSL Certificate file " + dir_ + "/missing.pem, "), std::string::npos) << text;
    EXPECT_NE(text.find("Error starting server"), std::string::npos) << text;
    EXPECT_EQ(server_->out().find(kRunning), std::string::npos);
}

} // namespace
