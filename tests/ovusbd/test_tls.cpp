// The TLS transports in-process: the real TLS services, connections and
// handlers on loopback, driven by an mbedTLS test client through a relay
// that hands the plain stream to the protocol client.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
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
    };
    const std::vector<Row> rows = {
        {"optional, none", false, "", "", "", true},
        {"optional, signed by another CA", false, "", certs.strangerCert, certs.strangerKey, true},
        {"required, none", true, "", "", "", false},
        {"required, CA-signed", true, "", certs.clientCert, certs.clientKey, true},
        {"required, signed by another CA", true, "", certs.strangerCert, certs.strangerKey, false},
        {"required, CA-signed, empty CRL", true, certs.emptyCrl, certs.clientCert, certs.clientKey, true},
        {"required, CA-signed, revoked", true, certs.revokedCrl, certs.clientCert, certs.clientKey, false},
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
}

} // namespace
