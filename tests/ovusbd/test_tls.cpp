// The TLS transports in-process: the real TLS services, connections and
// handlers on loopback, driven by an mbedTLS test client through a relay
// that hands the plain stream to the protocol client.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ovusbd/core/bindqueue.h"
#include "ovusbd/core/config.h"
#include "ovusbd/core/connection.h"
#include "ovusbd/core/connectionlog.h"
#include "ovusbd/core/handlers.h"
#include "ovusbd/core/log.h"
#include "ovusbd/core/coresettings.h"
#include "ovusbd/core/networkserver.h"
#include "ovusbd/core/nicknames.h"
#include "ovusbd/core/transport.h"
#include "ovusbd/core/tlsconnection.h"
#include "ovusbd/core/tlsservice.h"
#include "tests/support/ovclient.h"
#include "tests/support/tlsclient.h"
#include "tests/support/wait.h"

using namespace std::chrono_literals;
using ovclient::Message;
using ovclient::OvClient;
using testwait::waitUntil;
using tlsclient::ClientOptions;
using tlsclient::TlsRelay;

namespace {

const tlsclient::TestCertificates& certs = tlsclient::sharedTestCertificates();

class Tls : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(certs.serverPem.empty());
        char dirTemplate[] = "/tmp/ovusbd-tls.XXXXXX";
        ASSERT_NE(mkdtemp(dirTemplate), nullptr);
        dir_ = dirTemplate;
        settings_ = {certs.serverPem.c_str(), nullptr, nullptr, false, kTlsHandshakeTimeoutMs, kTlsFirstByteTimeoutMs};
    }
    void TearDown() override {
        stop();
        if (!HasFailure()) std::filesystem::remove_all(dir_);
    }

    // Loads the keys and makes the connection list and the two TLS services
    // on settings_; listens. Returns what the listen walk returned.
    bool start(std::map<std::string, std::string> keys = {}) {
        std::map<std::string, std::string> all = {{"SSLPort", "0"},       {"NetworkInterface", "127.0.0.1"},
                                                  {"PingInterval", "1"}, {"PingTimeout", "30"},
                                                  {"ServerName", "Tls $SERIAL$"}};
        for (auto& [k, v] : keys) all[k] = v;
        {
            std::ofstream config(dir_ + "/config.ini");
            for (auto& [k, v] : all) config << k << "=" << v << "\n";
        }
        logPath_ = dir_ + "/log.txt";
        logStream_ = fopen(logPath_.c_str(), "a");
        setLogFile(logStream_);
        EXPECT_TRUE(loadConfig((dir_ + "/config.ini").c_str(), true));
        core_.pingTimeout = getConfigInt("PingTimeout", 9);
        core_.serverSerial = strdup("SERIAL42");
        installCoreSettings(&core_);
        clientIdMap = createLockedList();
        nicknameList = createLockedList();
        fillMessageHandlerTable();
        EXPECT_EQ(startBindQueue(), 0);
        // A window longer than any test, so counts are reported at stop.
        EXPECT_EQ(startConnectionLog(kLogBurstLines, 600000), 0);
        EXPECT_EQ(createConnectionList(core_, &protocolConnectionCallbacks), 0);
        serviceList = createLockedList();
        appendToLockedList(serviceList, createTlsService(&settings_));
        appendToLockedList(serviceList, createTlsReverseService(&settings_));
        runServiceInit();
        running_ = true;
        listened_ = runServiceListen(&port_);
        if (listened_) {
            runServiceStart();
        } else {
            runServiceRelease();
        }
        return listened_;
    }

    void stop() {
        if (!running_) return;
        running_ = false;
        if (listened_) runServiceStop(1);
        destroyConnectionList();
        stopConnectionLog();
        stopBindQueue();
        destroyServiceList();
        clearLockedList(clientIdMap, freeItem);
        destroyLockedList(clientIdMap);
        clientIdMap = nullptr;
        clearLockedList(nicknameList, freeItem);
        destroyLockedList(nicknameList);
        nicknameList = nullptr;
        installCoreSettings(nullptr);
        freeCoreSettings(&core_);
        freeConfigStore();
        setLogFile(nullptr);
        fclose(logStream_);
    }

    std::string log() const {
        std::ifstream in(logPath_);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    bool logHas(const std::string& text, std::chrono::milliseconds timeout = 5s) const {
        return waitUntil([&] { return log().find(text) != std::string::npos; }, timeout);
    }

    int rawConnect() { return ovclient::connectTcp("127.0.0.1", uint16_t(port_), 5000); }

    // A connection to the listener from another loopback address.
    int connectFrom(const char* source) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, source, &local.sin_addr);
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_port = htons(uint16_t(port_));
        inet_pton(AF_INET, "127.0.0.1", &server.sin_addr);
        if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
            connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
            close(fd);
            return -1;
        }
        return fd;
    }

    size_t logCount(const std::string& text) const {
        const std::string all = log();
        size_t found = 0;
        for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) found++;
        return found;
    }

    // Connects, runs the client handshake and hands the plain stream to
    // client. Null (with the reason in *error) when the handshake failed.
    std::unique_ptr<TlsRelay> connectTls(OvClient& client, const ClientOptions& options = {},
                                         std::string* error = nullptr) {
        std::string why;
        int fd = rawConnect();
        if (fd < 0) {
            if (error) *error = "connect";
            return nullptr;
        }
        auto relay = TlsRelay::start(fd, options, &why);
        if (error) *error = why;
        if (relay) client.adopt(relay->takePlainFd());
        return relay;
    }

    size_t clients() const { return connectionListExists() ? connectionCount() : 0; }

    uint16_t onlyConnectionId() {
        uint16_t id = 0;
        waitUntil([&] { return clients() == 1; }, 5s);
        copyConnectionIds(&id, 1);
        return id;
    }

    std::string dir_, logPath_;
    FILE* logStream_ = nullptr;
    TlsSettings settings_{};
    CoreSettings core_;
    int port_ = 0;
    bool running_ = false;
    bool listened_ = false;
};

Message forwardTo(const uint8_t uuid[16], size_t bodyLength, uint8_t fill) {
    Message m;
    m.type = kMsgForward;
    m.payload.assign(uuid, uuid + 16);
    m.payload.resize(bodyLength - 33, fill);
    return m;
}

TEST_F(Tls, WholeProtocolOverTls) {
    settings_.caPath = certs.caCert.c_str();
    ASSERT_TRUE(start()) << log();
    EXPECT_TRUE(logHas("Listening on 127.0.0.1 at TCP SSL port " + std::to_string(port_) + " "));
    OvClient client;
    ClientOptions verified;
    verified.caCert = certs.caCert;  // the client checks the server's chain too
    auto relay = connectTls(client, verified);
    ASSERT_TRUE(relay) << log();

    ovclient::HelloReply hello;
    ASSERT_TRUE(client.hello("over tls", "detail", &hello));
    EXPECT_EQ(hello.serverName, "Tls SERIAL42");
    EXPECT_EQ(hello.serverSerial, "SERIAL42");
    std::vector<ovclient::DeviceAnnouncement> devices;
    ASSERT_TRUE(client.listDevices(&devices));
    EXPECT_TRUE(devices.empty());

    client.skipPings = false;
    Message m;
    ASSERT_TRUE(client.waitFor(kMsgPing, &m, 5000));
    EXPECT_EQ(m.payload.size(), 4u);
    client.skipPings = true;

    // Frames far larger than one TLS record (16 KiB) both ways, compressed
    // and incompressible.
    std::mt19937 rng(7);
    for (size_t length : {size_t(385), size_t(100000), size_t(3 << 20)}) {
        Message big = forwardTo(hello.uuid, length, 'x');
        for (size_t i = 16; i < big.payload.size(); i += 3) big.payload[i] = uint8_t(rng());
        ASSERT_TRUE(client.send(big));
        ASSERT_TRUE(client.waitFor(kMsgForward, &m, 15000)) << length;
        EXPECT_EQ(m.payload, big.payload) << length;
    }
    Message compressible = forwardTo(hello.uuid, 1 << 20, 'z');
    ASSERT_TRUE(client.send(compressible));
    ASSERT_TRUE(client.waitFor(kMsgForward, &m, 15000));
    EXPECT_GT(m.wireCompressedLength, 0u);
    EXPECT_EQ(m.payload, compressible.payload);
    EXPECT_EQ(clients(), 1u);
}

// Each configuration failure logs its one line and fails listen, so start-up
// ends instead of running without a listener.
TEST_F(Tls, ConfigurationFailures) {
    const std::string missing = dir_ + "/missing.pem";
    const std::string garbage = dir_ + "/garbage.pem";
    std::ofstream(garbage) << "-----BEGIN X509 CRL-----\nnot base64 !!\n-----END X509 CRL-----\n";
    struct Row {
        std::string what, cert, ca, crl, line;
    };
    const std::vector<Row> rows = {
        {"no certificate file", missing, "", "", "loading SSL Certificate file " + missing + ", "},
        {"certificate without key", certs.serverCertOnly, "", "",
         "loading SSL Certificate (key) file " + certs.serverCertOnly + ", "},
        {"no CA file", certs.serverPem, missing, "", "Error 15872 loading SSL CA file " + missing + ", "},
        {"bad CRL", certs.serverPem, certs.caCert, garbage, "loading SSL CRL file " + garbage + ", "},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        settings_ = {row.cert.c_str(), row.ca.empty() ? nullptr : row.ca.c_str(),
                     row.crl.empty() ? nullptr : row.crl.c_str(), false, kTlsHandshakeTimeoutMs, kTlsFirstByteTimeoutMs};
        EXPECT_FALSE(start());
        EXPECT_TRUE(logHas(row.line, 0ms)) << log();
        EXPECT_EQ(log().find("at TCP SSL port"), std::string::npos);
        stop();
        std::filesystem::remove(logPath_);
    }
    // A CRL without a CA file is never opened.
    settings_ = {certs.serverPem.c_str(), nullptr, missing.c_str(), false, kTlsHandshakeTimeoutMs, kTlsFirstByteTimeoutMs};
    EXPECT_TRUE(start()) << log();
    EXPECT_EQ(log().find("CRL"), std::string::npos);
}

TEST_F(Tls, ClientCertificates) {
    struct Row {
        std::string what;
        bool require;
        std::string crl;
        std::string cert, key;
        bool accepted;
        std::string refusal = "";  // the chain is refused before mbedtls verifies it
    };
    const std::vector<Row> rows = {
        {"optional, none", false, "", "", "", true},
        {"optional, signed by another CA", false, "", certs.strangerCert, certs.strangerKey, true},
        {"required, none", true, "", "", "", false},
        {"required, CA-signed", true, "", certs.clientCert, certs.clientKey, true},
        {"required, signed by another CA", true, "", certs.strangerCert, certs.strangerKey, false},
        {"required, CA-signed, empty CRL", true, certs.emptyCrl, certs.clientCert, certs.clientKey, true},
        {"required, CA-signed, revoked", true, certs.revokedCrl, certs.clientCert, certs.clientKey, false},
        {"required, under one intermediate", true, "", certs.shortChain, certs.shortChainKey, true},
        {"required, five certificates", true, "", certs.deepChain, certs.deepChainKey, false,
         "too many certificates"},
        {"optional, five certificates", false, "", certs.deepChain, certs.deepChainKey, false,
         "too many certificates"},
        {"required, RSA exponent 2^64+1", true, "", certs.hugeExponentCert, certs.hugeExponentKey, false,
         "key too large"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        settings_ = {certs.serverPem.c_str(), certs.caCert.c_str(), row.crl.empty() ? nullptr : row.crl.c_str(),
                     row.require, kTlsHandshakeTimeoutMs, kTlsFirstByteTimeoutMs};
        ASSERT_TRUE(start({{"SSLUseClientCerts", row.require ? "1" : "0"}})) << log();
        OvClient client;
        ClientOptions options;
        options.certFile = row.cert;
        options.keyFile = row.key;
        std::string error;
        auto relay = connectTls(client, options, &error);
        if (row.accepted) {
            ASSERT_TRUE(relay) << error << "\n" << log();
            ovclient::HelloReply hello;
            EXPECT_TRUE(client.hello("c", "", &hello));
            EXPECT_EQ(clients(), 1u);
        } else {
            EXPECT_FALSE(relay);
            EXPECT_TRUE(logHas("during SSL handshake, ")) << log();
            if (!row.refusal.empty()) {
                EXPECT_TRUE(logHas("Warning, client certificate chain refused: " + row.refusal, 0ms)) << log();
            }
            EXPECT_EQ(clients(), 0u);
        }
        relay.reset();
        client.close();
        stop();
        std::filesystem::remove(logPath_);
    }
}

// "SSLUseClientCerts" is read at every handshake: a change applies to the
// next client without a restart.
TEST_F(Tls, ClientCertificateModeIsReadAtEveryHandshake) {
    settings_.caPath = certs.caCert.c_str();
    ASSERT_TRUE(start()) << log();
    OvClient first;
    ASSERT_TRUE(connectTls(first));
    setConfigString("SSLUseClientCerts", "1");
    OvClient second;
    EXPECT_FALSE(connectTls(second));
    EXPECT_TRUE(logHas("during SSL handshake, "));
}

// A peer that connects and says nothing must neither hold up the next
// client nor the service's stop.
TEST_F(Tls, IdleConnectionBlocksNoOne) {
    ASSERT_TRUE(start()) << log();
    std::vector<int> idle;
    for (int i = 0; i < 3; i++) idle.push_back(rawConnect());
    OvClient client;
    auto relay = connectTls(client);
    ASSERT_TRUE(relay) << log();
    ovclient::HelloReply hello;
    EXPECT_TRUE(client.hello("second", "", &hello));
    relay.reset();
    // Stop ends the pending handshakes too; the bound only keeps a hang
    // from stalling the whole run.
    auto stopped = std::async(std::launch::async, [&] { runServiceStop(1); });
    EXPECT_EQ(stopped.wait_for(20s), std::future_status::ready);
    stopped.get();
    listened_ = false;
    for (int fd : idle) close(fd);
}

TEST_F(Tls, SilentPeerIsDroppedAfterTheHandshakeBound) {
    settings_.handshakeTimeoutMs = 300;
    ASSERT_TRUE(start()) << log();
    int idle = rawConnect();
    ASSERT_GE(idle, 0);
    pollfd pfd{idle, POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 10000), 1);
    char byte;
    EXPECT_EQ(recv(idle, &byte, 1, 0), 0);  // closed by the server
    EXPECT_TRUE(logHas("Error -0x6800 during SSL handshake, "));
    EXPECT_EQ(clients(), 0u);
    close(idle);
}

TEST_F(Tls, ReverseTlsWaitsForTheClientHello) {
    uint16_t port = 0;
    int listener = ovclient::listenLoopback(&port);
    ASSERT_GE(listener, 0);
    ASSERT_TRUE(start({{"SSLReverseClients", "127.0.0.1:" + std::to_string(port)},
                       {"ReverseClientsRetryPeriod", "1"}}))
        << log();
    pollfd pfd{listener, POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 5000), 1);
    int dialled = accept(listener, nullptr, nullptr);
    ASSERT_GE(dialled, 0);
    // The server speaks first in nothing: it waits for our ClientHello.
    pollfd quiet{dialled, POLLIN, 0};
    EXPECT_EQ(poll(&quiet, 1, 300), 0);
    std::string error;
    auto relay = TlsRelay::start(dialled, {}, &error);
    ASSERT_TRUE(relay) << error << "\n" << log();
    OvClient client;
    client.adopt(relay->takePlainFd());
    ovclient::HelloReply hello;
    ASSERT_TRUE(client.hello("reverse", "", &hello));
    EXPECT_EQ(hello.serverSerial, "SERIAL42");
    close(listener);
}

// Removal while both directions are busy: the threads are woken and joined
// before the session goes, and only then close_notify is sent.
TEST_F(Tls, RemovalDuringTransfer) {
    ASSERT_TRUE(start()) << log();
    for (int round = 0; round < 3; round++) {
        OvClient client;
        auto relay = connectTls(client);
        ASSERT_TRUE(relay) << log();
        ovclient::HelloReply hello;
        ASSERT_TRUE(client.hello("busy", "", &hello));
        const uint16_t id = onlyConnectionId();
        std::atomic<bool> going{true};
        std::thread sender([&] {
            Message big = forwardTo(hello.uuid, 200000, 'q');
            while (going && client.send(big)) {
            }
        });
        std::thread reader([&] {
            Message m;
            while (going && client.receive(&m, 100) >= 0) {
            }
        });
        std::this_thread::sleep_for(50ms);  // let traffic flow both ways
        EXPECT_TRUE(removeClientConnection(id, "test"));
        EXPECT_TRUE(waitUntil([&] { return relay->ended(); }, 5s));
        going = false;
        sender.join();
        reader.join();
        EXPECT_EQ(clients(), 0u);
    }
}

// A client that stopped reading leaves the server's sends pending: removal
// must not wait for them, nor for a close_notify that cannot be sent.
TEST_F(Tls, RemovalOfAClientThatStoppedReading) {
    ASSERT_TRUE(start()) << log();
    OvClient client;
    auto relay = connectTls(client);
    ASSERT_TRUE(relay) << log();
    int small = 4096;
    setsockopt(client.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ovclient::HelloReply hello;
    ASSERT_TRUE(client.hello("stuck", "", &hello));
    const uint16_t id = onlyConnectionId();
    Message big = forwardTo(hello.uuid, 1 << 20, 0);
    std::mt19937 rng(3);
    for (size_t i = 16; i < big.payload.size(); i++) big.payload[i] = uint8_t(rng());
    for (int i = 0; i < 8; i++) ASSERT_TRUE(client.send(big));
    auto removed = std::async(std::launch::async, [&] { return removeClientConnection(id, "test"); });
    EXPECT_EQ(removed.wait_for(20s), std::future_status::ready);
    EXPECT_TRUE(removed.get());
}

// The close_notify of a removal reaches a client that is idle.
TEST_F(Tls, RemovalSendsCloseNotify) {
    ASSERT_TRUE(start()) << log();
    OvClient client;
    auto relay = connectTls(client);
    ASSERT_TRUE(relay) << log();
    ovclient::HelloReply hello;
    ASSERT_TRUE(client.hello("idle", "", &hello));
    EXPECT_TRUE(removeClientConnection(onlyConnectionId(), "test"));
    EXPECT_TRUE(waitUntil([&] { return relay->ended(); }, 5s));
    EXPECT_TRUE(relay->sawCloseNotify());
}

// Without a CA file a client certificate would prove nothing: none is asked
// for, so a client that has one does not send it; with "SSLUseClientCerts"
// set every client is refused.
TEST_F(Tls, NoCertificateRequestWithoutCaFile) {
    ClientOptions withCertificate;
    withCertificate.certFile = certs.strangerCert;
    withCertificate.keyFile = certs.strangerKey;
    {
        ASSERT_TRUE(start()) << log();
        OvClient client;
        auto relay = connectTls(client, withCertificate);
        ASSERT_TRUE(relay) << log();
        EXPECT_FALSE(relay->certificateRequested());
        ovclient::HelloReply hello;
        EXPECT_TRUE(client.hello("no ca", "", &hello));
        relay.reset();
        client.close();
        stop();
    }
    {
        settings_.caPath = certs.caCert.c_str();
        ASSERT_TRUE(start()) << log();
        OvClient client;
        auto relay = connectTls(client, withCertificate);
        ASSERT_TRUE(relay) << log();
        EXPECT_TRUE(relay->certificateRequested()) << "with a CA file it is asked for";
        relay.reset();
        client.close();
        stop();
    }
    settings_.caPath = nullptr;
    ASSERT_TRUE(start({{"SSLUseClientCerts", "1"}})) << log();
    OvClient client;
    EXPECT_FALSE(connectTls(client, withCertificate));
    EXPECT_TRUE(logHas("client certificates are required but no SSL CA file is set")) << log();
    EXPECT_EQ(clients(), 0u);
}

namespace {

// A ClientHello record header and the first bytes of its body, then nothing.
const uint8_t kStalledHello[] = {22, 3, 1, 1, 0, 1, 0, 0};

bool closedByServer(int fd, int timeoutMs) {
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, timeoutMs) != 1) return false;
    char byte;
    return recv(fd, &byte, 1, MSG_DONTWAIT) <= 0;
}

} // namespace

// One host that opens connections and stalls them in the handshake holds
// only its share of the handshake places: a client from another address
// still gets through.
TEST_F(Tls, HandshakesOfOneSourceLeaveRoomForOthers) {
    settings_.handshakeTimeoutMs = 60000;  // none of the stalled ones ends by itself during the test
    ASSERT_TRUE(start()) << log();
    std::vector<int> stalled;
    for (int i = 0; i < kMaxPendingTlsHandshakes; i++) {
        int fd = rawConnect();
        ASSERT_GE(fd, 0);
        ASSERT_EQ(send(fd, kStalledHello, sizeof kStalledHello, MSG_NOSIGNAL), ssize_t(sizeof kStalledHello));
        stalled.push_back(fd);
    }
    const size_t beyondShare = size_t(kMaxPendingTlsHandshakes - kMaxPendingTlsHandshakesPerSource);
    auto closedCount = [&] {
        size_t closed = 0;
        for (int fd : stalled) closed += closedByServer(fd, 0);
        return closed;
    };
    EXPECT_TRUE(waitUntil([&] { return closedCount() >= beyondShare; }, 20s))
        << closedCount() << " of the stalled connections closed\n" << log();
    EXPECT_TRUE(logHas("Warning, 8 SSL handshakes in progress from 127.0.0.1, new client dropped", 0ms)) << log();

    int other = connectFrom("127.0.0.2");
    ASSERT_GE(other, 0);
    std::string error;
    auto relay = TlsRelay::start(other, {}, &error);
    ASSERT_TRUE(relay) << error << "\n" << log();
    OvClient client;
    client.adopt(relay->takePlainFd());
    ovclient::HelloReply hello;
    EXPECT_TRUE(client.hello("other host", "", &hello));
    EXPECT_EQ(closedCount(), beyondShare) << "the share itself is still held";
    for (int fd : stalled) close(fd);
}

// A peer that sends nothing at all is dropped after the first-byte bound;
// one that has begun its ClientHello keeps the whole handshake bound.
TEST_F(Tls, SilentPeerIsDroppedAfterTheFirstByteBound) {
    settings_.handshakeTimeoutMs = 60000;
    settings_.firstByteTimeoutMs = 300;
    ASSERT_TRUE(start()) << log();
    int talking = rawConnect();
    ASSERT_GE(talking, 0);
    ASSERT_EQ(send(talking, kStalledHello, sizeof kStalledHello, MSG_NOSIGNAL), ssize_t(sizeof kStalledHello));
    int silent = rawConnect();
    ASSERT_GE(silent, 0);
    EXPECT_TRUE(closedByServer(silent, 20000)) << "the silent peer is still connected";
    EXPECT_TRUE(logHas("Error -0x6800 during SSL handshake, ")) << log();
    EXPECT_FALSE(closedByServer(talking, 0));
    close(silent);
    close(talking);
}

// Every bad handshake of a flood from one address would be a log line: the
// first of a window are written, the rest counted, and another address's
// lines are not held back by it.
TEST_F(Tls, BadHandshakesOfOneSourceAreCounted) {
    ASSERT_TRUE(start()) << log();
    const char garbage[] = "GET / HTTP/1.0\r\n\r\n";
    auto badHandshake = [&](const char* source) {
        int fd = connectFrom(source);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(send(fd, garbage, sizeof garbage - 1, MSG_NOSIGNAL), ssize_t(sizeof garbage - 1));
        EXPECT_TRUE(closedByServer(fd, 20000)) << source;
        close(fd);
    };
    constexpr int kFlood = 60;
    for (int i = 0; i < kFlood; i++) badHandshake("127.0.0.3");
    badHandshake("127.0.0.4");
    const std::string line = "during SSL handshake, SSL - ";  // the lines, not the count quoting their format
    EXPECT_TRUE(waitUntil([&] { return logCount(line) == kLogBurstLines + 1; }, 20s)) << log();
    stop();
    EXPECT_EQ(logCount(line), kLogBurstLines + 1) << log();
    EXPECT_EQ(logCount("Peer 127.0.0.3: " + std::to_string(kFlood - int(kLogBurstLines)) +
                       " more records like \"Error -0x%04x during SSL handshake, %s\" not logged"),
              1u)
        << log();
    EXPECT_EQ(logCount("Peer 127.0.0.4:"), 0u);
}

// A TLS link holds two descriptors: the client limit counts both, so the
// server refuses clients (with a line) before it runs out of descriptors.
TEST_F(Tls, ClientLimitCountsTwoDescriptorsPerLink) {
    size_t open = 0;
    for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) open++;
    if (open > 40) {
        GTEST_SKIP() << open << " descriptors open, too many to lower the limit to 70";
    }
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit lowered = saved;
    lowered.rlim_cur = 70;  // 64 kept for the server itself: 6 descriptors for links
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    const bool started = start();
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    ASSERT_TRUE(started) << log();
    std::vector<std::unique_ptr<OvClient>> served;
    std::vector<std::unique_ptr<TlsRelay>> relays;
    ovclient::HelloReply hello;
    for (int i = 0; i < 3; i++) {
        served.push_back(std::make_unique<OvClient>());
        relays.push_back(connectTls(*served.back()));
        ASSERT_TRUE(relays.back()) << i << "\n" << log();
        ASSERT_TRUE(served.back()->hello("served", "", &hello));
    }
    for (int i = 0; i < 3; i++) {
        OvClient extra;
        EXPECT_FALSE(connectTls(extra)) << "extra client " << i;
    }
    EXPECT_EQ(logCount("the most this server can serve"), 1u) << log();
    EXPECT_EQ(clients(), 3u);
    for (auto& c : served) EXPECT_TRUE(c->hello("served", "", &hello));

    uint16_t ids[3] = {};
    ASSERT_EQ(copyConnectionIds(ids, 3), 3u);
    ASSERT_TRUE(removeClientConnection(ids[0], "test"));
    OvClient late;
    auto relay = connectTls(late);
    ASSERT_TRUE(relay) << log();
    EXPECT_TRUE(late.hello("late", "", &hello));
    EXPECT_TRUE(logHas("Warning, 2 more connections were refused while the server was full", 0ms)) << log();
}

// A peer that ends the stream inside a record did not disconnect
// gracefully, and the log says so.
TEST_F(Tls, TruncatedRecordIsLoggedAsSuch) {
    ASSERT_TRUE(start()) << log();
    int fd = rawConnect();
    ASSERT_GE(fd, 0);
    ClientOptions options;
    options.relay = false;
    std::string error;
    auto relay = TlsRelay::start(fd, options, &error);
    ASSERT_TRUE(relay) << error;
    ASSERT_TRUE(waitUntil([&] { return clients() == 1; }, 5s));
    const uint8_t partial[] = {23, 3, 3, 0, 64, 1, 2, 3, 4, 5, 6, 7, 8};  // 8 of 64 bytes
    ASSERT_EQ(send(relay->rawFd(), partial, sizeof partial, MSG_NOSIGNAL), ssize_t(sizeof partial));
    shutdown(relay->rawFd(), SHUT_WR);
    EXPECT_TRUE(logHas("remotely disconnected inside a TLS record, the record truncated (rx msg size)")) << log();
    EXPECT_EQ(logCount("gracefully"), 0u) << log();
}

// The read slot's results: 0 for close_notify and for EOF, -ECONNRESET for
// a reset, -EPROTO for anything else; never a stale errno.
class TlsLink : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(certs.serverPem.empty());
        settings_ = {certs.serverPem.c_str(), nullptr, nullptr, false, 5000, kTlsFirstByteTimeoutMs};
        ASSERT_TRUE(loadTlsConfig(&config_, &settings_));
        owner_ = {&config_, &settings_, &stop_};
        listener_ = ovclient::listenLoopback(&port_);
        ASSERT_GE(listener_, 0);
    }
    void TearDown() override {
        if (server_) {
            server_->close(server_);
            server_->destroy(server_);
            free(server_);
        }
        releaseTlsConfig(&config_);
        close(listener_);
    }
    // A handshaken pair: the server's link and the test's client session.
    std::unique_ptr<TlsRelay> pair() {
        int client = ovclient::connectTcp("127.0.0.1", port_, 5000);
        int accepted = accept(listener_, nullptr, nullptr);
        server_ = createTlsConnection(accepted, &owner_, 1000);
        auto handshake = std::async(std::launch::async, [&] { return server_->handshake(server_); });
        ClientOptions options;
        options.relay = false;
        std::string error;
        auto relay = TlsRelay::start(client, options, &error);
        EXPECT_TRUE(handshake.get());
        EXPECT_TRUE(relay) << error;
        return relay;
    }
    int readOnce() {
        char buffer[64];
        return server_->read(server_, buffer, sizeof buffer);
    }

    TlsSettings settings_{};
    TlsConfig config_{};
    TlsLinkOwner owner_{};
    uint8_t stop_ = 0;
    int listener_ = -1;
    uint16_t port_ = 0;
    NetworkConnection* server_ = nullptr;
};

TEST_F(TlsLink, ReadResults) {
    {
        auto client = pair();
        ASSERT_TRUE(client);
        ASSERT_EQ(client->write("hello", 5), 5);
        char buffer[5];
        EXPECT_EQ(server_->read(server_, buffer, 5), 5);
        client->closeNotify();
        EXPECT_EQ(readOnce(), 0) << "close_notify";
    }
    TearDown();
    SetUp();
    {
        auto client = pair();
        ASSERT_TRUE(client);
        shutdown(client->rawFd(), SHUT_WR);
        EXPECT_EQ(readOnce(), 0) << "end of stream";
    }
    TearDown();
    SetUp();
    {
        auto client = pair();
        ASSERT_TRUE(client);
        client->reset();
        EXPECT_EQ(readOnce(), -ECONNRESET);
    }
    TearDown();
    SetUp();
    {
        auto client = pair();
        ASSERT_TRUE(client);
        const uint8_t record[] = {23, 3, 3, 0, 8, 1, 2, 3, 4, 5, 6, 7, 8};  // application data that does not decrypt
        ASSERT_EQ(send(client->rawFd(), record, sizeof record, 0), ssize_t(sizeof record));
        EXPECT_EQ(readOnce(), -EPROTO) << "bad record";
    }
    TearDown();
    SetUp();
    {
        auto client = pair();
        ASSERT_TRUE(client);
        const uint8_t partial[] = {23, 3, 3, 0, 40, 1, 2, 3};  // 3 of 40 bytes, then the end
        ASSERT_EQ(send(client->rawFd(), partial, sizeof partial, 0), ssize_t(sizeof partial));
        shutdown(client->rawFd(), SHUT_WR);
        EXPECT_EQ(readOnce(), -ENODATA) << "truncated record";
    }
}

} // namespace
