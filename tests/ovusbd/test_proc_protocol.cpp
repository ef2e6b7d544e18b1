// The real ovusbd on its own network namespace, driven by the test protocol
// client over loopback sockets opened inside that namespace.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/nsrun.h"
#include "tests/support/ovclient.h"
#include "tests/support/wait.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using ovclient::Message;
using ovclient::OvClient;
using Bytes = std::vector<uint8_t>;

const char kRunning[] = "Orvanta USB Server is running...press CTRL-C to stop\n";
const char kMachineId[] = "0123456789abcdef0123456789abcdef\n";

using testwait::waitUntil;

// Runs fn on a thread that has joined the network namespace of pid, so the
// sockets it makes live there; the descriptors work from any thread.
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

class ProtocolProcess : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/ovusbd-proto.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        log_ = dir_ + "/server.log";
    }
    void TearDown() override {
        server_.reset();
        std::filesystem::remove_all(dir_);
    }

    void start(std::map<std::string, std::string> keys = {}, std::vector<std::string> extra = {}) {
        std::map<std::string, std::string> all = {{"PingInterval", "1"}, {"PingTimeout", "3"}, {"UseAVAHI", "0"}};
        for (auto& [k, v] : keys) all[k] = v;
        {
            std::ofstream config(dir_ + "/config.ini");
            for (auto& [k, v] : all) config << k << "=" << v << "\n";
        }
        run(extra);
    }

    // Starts the server on the config.ini as it stands and waits until it
    // listens.
    void run(std::vector<std::string> extra = {}) {
        const size_t listening = logCount("at TCP port");
        nsrun::RunOptions s;
        s.argv = {OVUSBD_BIN, "-c", dir_ + "/config.ini", "-r", log_};
        s.argv.insert(s.argv.end(), extra.begin(), extra.end());
        s.env = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
        s.mounts = nsrun::isolatedSystemMounts();
        s.files = {{"/etc/machine-id", kMachineId, 0644, 0, 0, nsrun::File::Type::Regular}};
        s.workDir = dir_ + "/ns";
        std::string error;
        server_ = nsrun::Process::start(s, &error);
        ASSERT_TRUE(server_) << error;
        ASSERT_TRUE(server_->waitForOut(kRunning, 30s)) << report();
        ASSERT_TRUE(waitUntil([&] { return logCount("at TCP port") > listening; }, 10s)) << report();
    }

    std::string report() const {
        return "stdout:\n" + server_->out() + "\nstderr:\n" + server_->err() + "\nlog:\n" + nsrun::readFile(log_);
    }
    std::string log() const { return nsrun::readFile(log_); }
    bool logHas(const std::string& text, std::chrono::milliseconds timeout = 10s) const {
        return waitUntil([&] { return log().find(text) != std::string::npos; }, timeout);
    }
    size_t logCount(const std::string& text) const {
        std::string all = log();
        size_t n = 0;
        for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) n++;
        return n;
    }

    void connect(OvClient& client, const std::string& host = "127.0.0.1", uint16_t port = 7575) {
        int fd = inNamespace(server_->pid(), [&] { return ovclient::connectTcp(host, port, 5000); });
        ASSERT_GE(fd, 0) << "cannot connect to " << host << "\n" << report();
        client.adopt(fd);
    }

    // A listening socket in the server's namespace.
    int listenInNamespace(uint16_t port) {
        return inNamespace(server_->pid(), [&] {
            int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            int one = 1;
            setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(port);
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(s, 4) != 0) {
                close(s);
                return -1;
            }
            return s;
        });
    }

    void stopAndExpectCleanExit() {
        ASSERT_EQ(server_->kill(SIGTERM), 0);
        auto status = server_->wait(30s);
        ASSERT_TRUE(status) << "server did not end\n" << report();
        EXPECT_EQ(*status, nsrun::ExitStatus::exitCode(0)) << report();
        EXPECT_TRUE(logHas(">>> Shutdown <<<", 0ms)) << report();
    }

    std::string dir_, log_;
    std::unique_ptr<nsrun::Process> server_;
};

Message request(uint8_t type, Bytes payload = {}, uint32_t address = 0) {
    Message m;
    m.type = type;
    for (int i = 0; i < 5; i++) m.context[i] = 0x5000u + uint32_t(type) * 8 + uint32_t(i);
    m.deviceAddress = address;
    m.payload = std::move(payload);
    return m;
}

void expectContextCopied(const Message& reply, const Message& asked) {
    for (int i = 0; i < 5; i++) EXPECT_EQ(reply.context[i], asked.context[i]) << "word " << i + 1;
    EXPECT_EQ(reply.deviceAddress, asked.deviceAddress);
}

// Connect, say hello, list devices, the fixed replies, stay with
// keep-alives, be dropped when silent.
TEST_F(ProtocolProcess, SessionBasics) {
    start({{"ServerName", "Proto $SERIAL$"}, {"PingTimeout", "2"}});
    OvClient client, silent;
    connect(client);
    connect(silent);
    Message hello = request(kMsgHello, Bytes(128, 0));
    memcpy(hello.payload.data(), "proc-client", 11);
    ASSERT_TRUE(client.send(hello));
    Message m;
    ASSERT_TRUE(client.waitFor(kMsgHelloReply, &m, 20000)) << report();
    expectContextCopied(m, hello);
    ovclient::HelloReply reply;
    ASSERT_TRUE(ovclient::parseHelloReply(m, &reply));
    EXPECT_EQ(m.payload.size(), 724u);
    EXPECT_EQ(reply.marker, 8);
    EXPECT_EQ(reply.serverSerial, "0123456789abcdef0123456789abcdef");
    EXPECT_EQ(reply.serverName, "Proto 0123456789abcdef0123456789abcdef");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(reply.version), 3), std::string("\x04\x03\x03", 3));
    EXPECT_EQ(reply.interfaceName, "lo");

    std::vector<ovclient::DeviceAnnouncement> devices;
    ASSERT_TRUE(client.listDevices(&devices, 300));
    EXPECT_TRUE(devices.empty());

    struct Fixed {
        MessageType type, reply;
        size_t payload;
        bool copied;
    };
    for (Fixed f : {Fixed{kMsgType2Request, kMsgType2Reply, 0, true}, Fixed{kMsgType10Request, kMsgType10Reply, 0, false},
                    Fixed{kMsgType33Request, kMsgType33Reply, 12, true}}) {
        SCOPED_TRACE(int(f.type));
        Message asked = request(f.type, {}, 33);
        ASSERT_TRUE(client.send(asked));
        ASSERT_TRUE(client.waitFor(f.reply, &m, 20000));
        EXPECT_EQ(m.payload, Bytes(f.payload, 0));
        if (f.copied) {
            expectContextCopied(m, asked);
        } else {
            EXPECT_EQ(m.context[0], 0u);
            EXPECT_EQ(m.deviceAddress, 0u);
        }
    }
    ASSERT_TRUE(client.send(request(44)));
    EXPECT_TRUE(logHas("Warning, this server has received an unknown message of type 44"));

    // Keep-alives keep the client past the time-out, pings arrive every
    // interval, and the silent one is dropped.
    client.skipPings = false;
    int pings = 0;
    const auto end = Clock::now() + 5s;
    while (Clock::now() < end) {
        ASSERT_TRUE(client.keepAlive());
        while (client.receive(&m, 300) == 1) pings += m.type == kMsgPing;
    }
    EXPECT_GE(pings, 3);
    EXPECT_TRUE(silent.waitClosed(2000)) << report();
    EXPECT_TRUE(logHas("successfully removed (reason:timeout)"));
    ASSERT_TRUE(client.hello("still", "", &reply));
    stopAndExpectCleanExit();
}

// A client may blank any key with a custom event; a blank number takes its
// default at the next start, with a warning naming the key: the server
// listens on 7575 again and keeps a client that sends keep-alives (a blank
// "PingTimeout" read as 0 dropped every client within a second).
TEST_F(ProtocolProcess, BlankedNumericKeysTakeTheirDefaultsAtTheNextStart) {
    start({{"PingTimeout", "9"}});
    OvClient admin;
    connect(admin);
    for (const std::string text : {"TCPPort=", "PingTimeout="}) {
        Bytes payload(text.begin(), text.end());
        payload.push_back(0);
        ASSERT_TRUE(admin.send(request(kMsgCustomEvent, payload)));
        ASSERT_TRUE(logHas("Set custom event \"" + text + "\"")) << report();
    }
    stopAndExpectCleanExit();
    const std::string saved = nsrun::readFile(dir_ + "/config.ini");
    ASSERT_NE(saved.find("TCPPort=\n"), std::string::npos) << saved;
    ASSERT_NE(saved.find("PingTimeout=\n"), std::string::npos) << saved;

    run();
    EXPECT_TRUE(logHas("Warning, property \"TCPPort\" is not a number \"\", using the default 7575")) << report();
    EXPECT_TRUE(logHas("Warning, property \"PingTimeout\" is not a number \"\", using the default 9")) << report();
    OvClient client;
    connect(client, "127.0.0.1", 7575);
    ovclient::HelloReply reply;
    ASSERT_TRUE(client.hello("kept", "", &reply)) << report();
    client.skipPings = false;
    Message m;
    const auto end = Clock::now() + 3s;
    while (Clock::now() < end) {
        ASSERT_TRUE(client.keepAlive()) << report();
        while (client.receive(&m, 300) == 1) {
        }
    }
    ASSERT_TRUE(client.hello("still", "", &reply)) << report();
    EXPECT_EQ(logCount("reason:timeout"), 0u) << report();
    stopAndExpectCleanExit();
}

TEST_F(ProtocolProcess, BindOfAnUnknownDeviceFails) {
    start();
    OvClient client;
    connect(client);
    ovclient::BindResult result;
    ASSERT_TRUE(client.bind(777, &result)) << report();
    EXPECT_EQ(result.result, -1);
    EXPECT_EQ(result.speed, 2);
    EXPECT_TRUE(logHas("Error binding device 777 [0000:0000] to connection"));
    stopAndExpectCleanExit();
}

// Sums the counts logged for the connection's records of format.
size_t countedRecords(const std::string& log, unsigned connectionId, const std::string& format) {
    const std::string start = "Connection " + std::to_string(connectionId) + ": ";
    const std::string end = " more records like \"" + format + "\" not logged";
    size_t total = 0;
    for (size_t at = log.find(start); at != std::string::npos; at = log.find(start, at + 1)) {
        const size_t number = at + start.size();
        const size_t stop = log.find_first_not_of("0123456789", number);
        if (stop != number && log.compare(stop, end.size(), end) == 0) total += std::stoul(log.substr(number, stop - number));
    }
    return total;
}

// One client repeats an unknown type and a failing bind thousands of times:
// a bounded number of lines is written and the rest is in counts logged by
// the time it has left; every bind is answered, and another client's bind
// is served beside the flood.
TEST_F(ProtocolProcess, RepeatedRecordsOfOneClientAreCounted) {
    // The flood's own keep-alive answers queue behind its 5400 records: a
    // loaded machine takes seconds to get through them. Its close is then
    // taken up by the watchdog, PingTimeout later.
    start({{"PingTimeout", "10"}});
    OvClient flood, other;
    connect(flood);
    ASSERT_TRUE(logHas(" connected as connection ")) << report();
    const std::string connected = " connected as connection ";
    const std::string text = log();
    const unsigned floodId = unsigned(std::stoul(text.substr(text.find(connected) + connected.size())));
    connect(other);

    // Each bind result is 66 KB: more answers than fit the 32 MiB transmit
    // cap would have the server drop a client that reads them too slowly.
    constexpr unsigned kUnknown = 5000, kBinds = 400;
    Bytes frames;
    for (unsigned i = 0; i < kUnknown; i++) {
        Bytes frame = ovclient::encodeFrame(request(44));
        frames.insert(frames.end(), frame.begin(), frame.end());
    }
    for (unsigned i = 0; i < kBinds; i++) {
        Bytes frame = ovclient::encodeFrame(request(kMsgBindDevice, {}, 777));
        frames.insert(frames.end(), frame.begin(), frame.end());
    }
    ASSERT_TRUE(flood.sendRaw(frames.data(), frames.size()));

    // Both keep alive while they wait, so neither is taken for silent.
    auto waitBindResult = [](OvClient& client, ovclient::BindResult* result) {
        const auto deadline = Clock::now() + 60s;
        Message m;
        while (Clock::now() < deadline && client.keepAlive()) {
            if (client.waitFor(kMsgBindResult, &m, 500)) return ovclient::parseBindResult(m, result);
        }
        return false;
    };
    ovclient::BindResult result;
    ASSERT_TRUE(other.send(request(kMsgBindDevice, {}, 778)));
    ASSERT_TRUE(waitBindResult(other, &result)) << report();
    EXPECT_EQ(result.result, -1);
    unsigned answered = 0;
    while (answered < kBinds && waitBindResult(flood, &result)) {
        EXPECT_TRUE(result.result == -1 || result.result == -6) << result.result;
        answered++;
    }
    EXPECT_EQ(answered, kBinds) << "every bind gets its one answer";

    flood.close();
    const std::string removed = "Connection " + std::to_string(floodId) + " successfully removed";
    ASSERT_TRUE(logHas(removed, 60s)) << report();
    const std::string all = log();
    const size_t unknownLines = logCount("Warning, this server has received an unknown message of type 44");
    const size_t bindLines = logCount("Error binding device 777 [0000:0000] to connection " + std::to_string(floodId) + ", ");
    EXPECT_LT(unknownLines, 100u);
    EXPECT_LT(bindLines, 100u);
    EXPECT_EQ(unknownLines + countedRecords(all, floodId, "Warning, this server has received an unknown message of type %d"),
              kUnknown)
        << all;
    EXPECT_EQ(bindLines + countedRecords(all, floodId, "Error binding device %u [%04x:%04x] to connection %u, %s"), kBinds)
        << all;
    EXPECT_EQ(logCount("Error binding device 778 [0000:0000]"), 1u);
    stopAndExpectCleanExit();
}

// Every malformed frame drops its own client only; the server serves the
// others throughout and stays up.
TEST_F(ProtocolProcess, MalformedFramesDropOnlyTheirClient) {
    start({{"PingTimeout", "2"}});
    const std::vector<ovclient::MalformedFrame> frames = ovclient::malformedFrames();

    OvClient good;
    connect(good);
    ovclient::HelloReply reply;
    for (const ovclient::MalformedFrame& frame : frames) {
        SCOPED_TRACE(frame.what);
        OvClient bad;
        connect(bad);
        ASSERT_TRUE(bad.sendRaw(frame.bytes.data(), frame.bytes.size()));
        ASSERT_TRUE(good.hello("good", "", &reply)) << report();
        bool closed = false;
        const auto deadline = Clock::now() + 8s;
        while (!closed && Clock::now() < deadline) {
            ASSERT_TRUE(good.keepAlive());
            closed = bad.waitClosed(300);
        }
        EXPECT_TRUE(closed) << report();
    }
    std::map<std::string, size_t> expected;
    for (const ovclient::MalformedFrame& frame : frames) expected[frame.logLine]++;
    for (const auto& [line, count] : expected) EXPECT_EQ(logCount(line), count) << line << "\n" << log();
    ASSERT_TRUE(good.hello("good", "", &reply));
    stopAndExpectCleanExit();
}

TEST_F(ProtocolProcess, CompressionLimitAndSizeEdge) {
    start({{"CompressionLimit", "100"}, {"PingTimeout", "30"}});
    OvClient client;
    connect(client);
    ovclient::HelloReply hello;
    ASSERT_TRUE(client.hello("me", "", &hello));
    auto forward = [&](uint32_t bodyLength) {
        Message m = request(kMsgForward);
        m.payload.assign(hello.uuid, hello.uuid + 16);
        m.payload.resize(bodyLength - 33, 'c');
        return m;
    };
    Message m;
    client.compression = ovclient::Compression::Never;
    ASSERT_TRUE(client.send(forward(100)));
    ASSERT_TRUE(client.waitFor(kMsgForward, &m, 20000));
    EXPECT_EQ(m.wireCompressedLength, 0u) << "a body of exactly the limit goes raw";
    ASSERT_TRUE(client.send(forward(101)));
    ASSERT_TRUE(client.waitFor(kMsgForward, &m, 20000));
    EXPECT_GT(m.wireCompressedLength, 0u) << "one byte more is compressed";
    client.compression = ovclient::Compression::Always;
    ASSERT_TRUE(client.send(forward(60)));
    ASSERT_TRUE(client.waitFor(kMsgForward, &m, 20000));
    EXPECT_EQ(m.payload.size(), 60u - 33u);

    // The largest body there may be comes back whole; one byte more is too big.
    client.compression = ovclient::Compression::Auto;
    Message edge = forward(0x900000);
    ASSERT_TRUE(client.send(edge));
    ASSERT_TRUE(client.waitFor(kMsgForward, &m, 20000)) << report();
    EXPECT_EQ(m.payload.size(), 0x900000u - 33u);
    edge.payload.push_back('c');
    ASSERT_TRUE(client.send(edge));
    EXPECT_TRUE(logHas("Error received message is too big (comp="));
    stopAndExpectCleanExit();
}

TEST_F(ProtocolProcess, StuckReaderDoesNotDelayAnotherClient) {
    start({{"PingTimeout", "30"}});
    OvClient stuck, other;
    connect(stuck);
    int small = 4096;
    setsockopt(stuck.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ovclient::HelloReply hello;
    ASSERT_TRUE(stuck.hello("stuck", "", &hello));
    std::mt19937 rng(5);
    Message flood = request(kMsgForward);
    flood.payload.assign(hello.uuid, hello.uuid + 16);
    for (int i = 0; i < (1 << 20); i++) flood.payload.push_back(uint8_t(rng()));
    for (int i = 0; i < 12; i++) ASSERT_TRUE(stuck.send(flood));
    connect(other);
    // With the stuck client's write blocked for up to 30 s, the other
    // client's replies still come at once.
    for (int i = 0; i < 10; i++) {
        const auto asked = Clock::now();
        ASSERT_TRUE(other.hello("other", "", &hello, 3000)) << "reply " << i << "\n" << report();
        EXPECT_LT(Clock::now() - asked, 3000ms);
        std::this_thread::sleep_for(100ms);
    }
    stopAndExpectCleanExit();
}

TEST_F(ProtocolProcess, ReverseDiallingToOurListener) {
    // The listener must exist in the server's namespace before the dialler
    // looks; the server is started first and dials every second.
    start({{"ReverseClients", "127.0.0.1"}, {"ReverseClientsRetryPeriod", "1"}, {"PingTimeout", "30"}});
    int listener = listenInNamespace(7573);
    ASSERT_GE(listener, 0);
    pollfd pfd{listener, POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 10000), 1) << report();
    OvClient dialled;
    dialled.adopt(accept(listener, nullptr, nullptr));
    ovclient::HelloReply hello;
    ASSERT_TRUE(dialled.hello("reverse", "", &hello)) << report();
    EXPECT_EQ(hello.serverSerial, "0123456789abcdef0123456789abcdef");
    EXPECT_EQ(poll(&pfd, 1, 2500), 0) << "a connected reverse client is not dialled again";
    close(listener);
    stopAndExpectCleanExit();
}

// No pause between passes: the dialler must still see the stop request.
TEST_F(ProtocolProcess, ReverseDiallerWithoutPauseLetsTheServerStop) {
    start({{"ReverseClients", "127.0.0.1:9"}, {"ReverseClientsRetryPeriod", "0"}});
    stopAndExpectCleanExit();
}

TEST_F(ProtocolProcess, ShutdownWithClientsConnected) {
    start({{"PingTimeout", "30"}});
    std::vector<std::unique_ptr<OvClient>> clients;
    for (int i = 0; i < 5; i++) {
        clients.push_back(std::make_unique<OvClient>());
        connect(*clients.back());
        ovclient::HelloReply hello;
        ASSERT_TRUE(clients.back()->hello("c", "", &hello));
    }
    stopAndExpectCleanExit();
    for (auto& c : clients) EXPECT_TRUE(c->waitClosed(1000));
    EXPECT_EQ(logCount("successfully removed (reason:server shutdown)"), 5u) << log();
}

// Clients keep arriving while the server stops: every one that got in is
// removed, and the server ends cleanly.
TEST_F(ProtocolProcess, ShutdownWhileClientsArrive) {
    start({{"PingTimeout", "30"}});
    std::atomic<bool> stop{false};
    std::vector<int> fds;
    // Read here: the main thread's wait for the exit changes the process
    // record while the storm may still be starting.
    const std::string netns = "/proc/" + std::to_string(server_->pid()) + "/ns/net";
    std::thread storm([&] {
        int ns = open(netns.c_str(), O_RDONLY | O_CLOEXEC);
        if (ns < 0 || setns(ns, CLONE_NEWNET) != 0) return;
        close(ns);
        while (!stop) {
            int fd = ovclient::connectTcp("127.0.0.1", 7575, 1000);
            if (fd >= 0) fds.push_back(fd);
            std::this_thread::sleep_for(2ms);
        }
    });
    std::this_thread::sleep_for(300ms);
    stopAndExpectCleanExit();
    stop = true;
    storm.join();
    for (int fd : fds) close(fd);
    EXPECT_GT(logCount(" connected as connection "), 0u);
    EXPECT_EQ(logCount(" connected as connection "), logCount("successfully removed (reason:server shutdown)")) << log();
}

// No address can be bound: every service is released and start-up ends
// with 5.
TEST_F(ProtocolProcess, ListenFailureEndsStartUp) {
    {
        std::ofstream config(dir_ + "/config.ini");
        config << "NetworkInterface=192.0.2.1\nUseAVAHI=0\n";  // on no interface here
    }
    nsrun::RunOptions s;
    s.argv = {OVUSBD_BIN, "-c", dir_ + "/config.ini", "-r", log_};
    s.env = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
    s.mounts = nsrun::isolatedSystemMounts();
    s.files = {{"/etc/machine-id", kMachineId, 0644, 0, 0, nsrun::File::Type::Regular}};
    s.workDir = dir_ + "/ns";
    std::string error;
    server_ = nsrun::Process::start(s, &error);
    ASSERT_TRUE(server_) << error;
    auto status = server_->wait(30s);
    ASSERT_TRUE(status) << report();
    EXPECT_EQ(*status, nsrun::ExitStatus::exitCode(5)) << report();
    EXPECT_TRUE(logHas("Error starting server", 0ms)) << report();
    EXPECT_TRUE(logHas(">>> Shutdown <<<", 0ms)) << report();
}

TEST_F(ProtocolProcess, Ipv6DualStackLoopback) {
    start({}, {"-i"});
    EXPECT_TRUE(logHas("at TCP port 7575 (IPv6 dual-stack)")) << report();
    OvClient six, four;
    connect(six, "::1");
    connect(four, "127.0.0.1");
    ovclient::HelloReply hello;
    ASSERT_TRUE(six.hello("six", "", &hello)) << report();
    ASSERT_TRUE(four.hello("four", "", &hello)) << report();
    EXPECT_EQ(hello.interfaceName, "lo");
    EXPECT_TRUE(logHas("::1 connected as connection"));
    EXPECT_TRUE(logHas("127.0.0.1 connected as connection"));
    stopAndExpectCleanExit();
}

} // namespace
