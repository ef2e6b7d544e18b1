// The Trovix service in the protocol layer, in-process: a remote client
// reaches the server through the test rendezvous server, punches, and
// speaks the protocol over the ENet link; message 75 switches the service.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
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
#include "ovusbd/core/transport.h"
#include "ovusbd/core/networkserver.h"
#include "ovusbd/core/coresettings.h"
#include "ovusbd/core/messagetypes.h"
#include "ovusbd/core/nicknames.h"
#include "ovusbd/trovix/base58.h"
#include "ovusbd/trovix/trovixservice.h"
#include "ovusbd/trovix/trovixsettings.h"
#include "tests/support/ovclient.h"
#include "tests/support/tlsclient.h"
#include "tests/support/trovixtest.h"
#include "tests/support/wait.h"

namespace {

using namespace std::chrono_literals;
using ovclient::Message;
using testwait::waitUntil;
using trovixtest::Ending;
using trovixtest::RemoteClient;

int loopbackInterface(uint32_t* out, int max) {
    if (max < 1) return 0;
    out[0] = inet_addr("127.0.0.2");
    return 1;
}
const TrovixSys kLoopbackSys = {loopbackInterface, trovixProductionSys.getRandom};

Message request(uint8_t type, std::vector<uint8_t> payload = {}) {
    Message m;
    m.type = type;
    for (int i = 0; i < 5; i++) m.context[i] = 0xB0000000u + uint32_t(i);
    m.payload = std::move(payload);
    return m;
}

Message hello() {
    std::vector<uint8_t> payload(128, 0);
    memcpy(payload.data(), "remote", 6);
    memcpy(payload.data() + 64, "over trovix", 11);
    return request(0, payload);
}

class TrovixServer : public ::testing::Test {
protected:
    void SetUp() override {
        trovixSettings = defaultTrovixSettings();
        trovixSettings.sys = &kLoopbackSys;
        trovixSettings.tickMs = 10;
        trovixSettings.keepAliveTicks = 10;
        trovixSettings.linkLossMs = 5000;
        trovixSettings.retryTicks = 10;
        trovixSettings.receiveTimeoutMs = 500;  // room for a slow answer under the sanitizers
        trovixSettings.peerServiceWaitMs = 50;
        ASSERT_TRUE(rv_.start());
    }
    void TearDown() override {
        stop();
        rv_.stop();
        trovixSettings = defaultTrovixSettings();
        if (!HasFailure()) std::filesystem::remove_all(dir_);
    }

    void start(std::map<std::string, std::string> keys = {}, bool tls = false) {
        char dirTemplate[] = "/tmp/ovusbd-trovix.XXXXXX";
        ASSERT_NE(mkdtemp(dirTemplate), nullptr);
        dir_ = dirTemplate;
        std::map<std::string, std::string> all = {
            {"TCPPort", "0"},      {"SSLPort", "0"}, {"NetworkInterface", "127.0.0.1"}, {"PingInterval", "1"},
            {"PingTimeout", "3"},  {"Trovix", "1"},                   {"TrovixHostname", "127.0.0.1"},
            {"TrovixPort", std::to_string(rv_.port())}};
        for (auto& [k, v] : keys) all[k] = v;
        {
            std::ofstream config(dir_ + "/config.ini");
            for (auto& [k, v] : all) config << k << "=" << v << "\n";
        }
        logPath_ = dir_ + "/log.txt";
        logStream_ = fopen(logPath_.c_str(), "a");
        setLogFile(logStream_);
        ASSERT_TRUE(loadConfig((dir_ + "/config.ini").c_str(), true));
        settings_.pingTimeout = getConfigInt("PingTimeout", 9);
        if (tls) {
            const tlsclient::TestCertificates& certs = tlsclient::sharedTestCertificates();
            ASSERT_FALSE(certs.serverPem.empty());
            settings_.sslCertPath = strdup(certs.serverPem.c_str());
            settings_.sslCaPath = strdup(certs.caCert.c_str());
        }
        settings_.serverSerial = strdup("SERIAL42");
        installCoreSettings(&settings_);
        clientIdMap = createLockedList();
        nicknameList = createLockedList();
        fillMessageHandlerTable();
        ASSERT_EQ(startBindQueue(), 0);
        ASSERT_EQ(createConnectionList(settings_, &protocolConnectionCallbacks), 0);
        ASSERT_EQ(createServiceList(tls), 0);
        runServiceInit();
        ASSERT_TRUE(runServiceListen(&port_));
        runServiceStart();
        running_ = true;
    }
    void stop() {
        if (!running_) return;
        running_ = false;
        runServiceStop(1);
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
        freeCoreSettings(&settings_);
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
    NetworkService* trovixService() {
        NetworkService* found = nullptr;
        forEachInLockedList(
            serviceList, matchServiceName, [](void* item, void* out) { *static_cast<NetworkService**>(out) = static_cast<NetworkService*>(item); },
            "Trovix", &found, 1);
        return found;
    }
    std::vector<uint8_t> stored(const char* key, size_t width) {
        char* text = getConfigString(key, nullptr, true);
        std::vector<uint8_t> out(width);
        EXPECT_NE(text, nullptr) << key;
        if (text != nullptr) {
            EXPECT_TRUE(decodeBase58Fixed(text, out.data(), width));
        }
        free(text);
        return out;
    }
    // Punches through the latest registration (at least the given number
    // of registrations made) and sets the ENet link up.
    void reach(RemoteClient& client, Ending ending, size_t registration = 1) {
        ASSERT_TRUE(rv_.waitForRegistrations(registration, 60000)) << "registration " << registration;
        ASSERT_TRUE(client.open());
        client.punchTimeoutMs = 30000;
        std::string error;
        ASSERT_TRUE(client.punch(ending, rv_, rv_.registrations().back(), &error)) << error;
        ASSERT_TRUE(client.connectPeer(30000)) << "the peer link";
    }

    trovixtest::RendezvousServer rv_;
    CoreSettings settings_;
    std::string dir_, logPath_;
    FILE* logStream_ = nullptr;
    int port_ = 0;
    bool running_ = false;
};

TEST_F(TrovixServer, RemoteClientCompletesTheProtocolOverThePeerLink) {
    start();
    for (Ending ending : {Ending::ClientAcknowledges, Ending::ServerAcknowledges}) {
        SCOPED_TRACE(int(ending));
        const size_t before = connectionCount();
        RemoteClient client;
        ASSERT_NO_FATAL_FAILURE(reach(client, ending, before + 1));
        ASSERT_TRUE(client.sendFrame(hello()));
        Message m;
        ASSERT_TRUE(client.waitForFrame(1, &m, 30000));
        ovclient::HelloReply reply;
        ASSERT_TRUE(ovclient::parseHelloReply(m, &reply));
        EXPECT_EQ(reply.serverSerial, "SERIAL42");
        EXPECT_EQ(reply.trovixEnabled, 1);
        EXPECT_EQ(std::vector<uint8_t>(reply.trovixId, reply.trovixId + 16), stored("TrovixId", 16));
        EXPECT_EQ(std::vector<uint8_t>(reply.trovixPin, reply.trovixPin + 4), stored("TrovixPin", 4));
        // The 724-byte reply went LZ4-compressed, as one frame in one packet.
        EXPECT_NE(m.wireCompressedLength, 0u);
        EXPECT_TRUE(client.lastPacketWasOneFrame);
        // A compressed request is read as header and rest of one packet.
        ASSERT_TRUE(client.sendFrame(hello(), ovclient::Compression::Always));
        ASSERT_TRUE(client.waitForFrame(1, &m, 30000));
        ASSERT_TRUE(waitUntil([&] {
            Message any;
            client.receiveFrame(&any, 100);
            return client.pings >= 1;
        }, 30s)) << "a ping over the peer link";
        EXPECT_NE(log().find("connected as connection"), std::string::npos) << log();
    }
    EXPECT_EQ(connectionCount(), 2u);
}

TEST_F(TrovixServer, RemoteDisconnectEndsTheClient) {
    start({{"PingTimeout", "1"}});
    RemoteClient client;
    ASSERT_NO_FATAL_FAILURE(reach(client, Ending::ClientAcknowledges));
    ASSERT_TRUE(client.sendFrame(hello()));
    Message m;
    ASSERT_TRUE(client.waitForFrame(1, &m, 30000));
    client.disconnect();
    ASSERT_TRUE(waitUntil([&] { return connectionCount() == 0; }, 60s)) << "the client's removal\n" << log();
}

TEST_F(TrovixServer, SwitchOffAndOnKeepsPeerLinksAndRegistersAfresh) {
    // The client sends nothing while the test waits for registrations.
    start({{"PingTimeout", "60"}});
    RemoteClient client;
    ASSERT_NO_FATAL_FAILURE(reach(client, Ending::ClientAcknowledges));
    ASSERT_TRUE(client.sendFrame(hello()));
    Message m;
    ASSERT_TRUE(client.waitForFrame(1, &m, 20000));
    ASSERT_TRUE(rv_.waitForRegistrations(2, 20000)) << "a new registration after the hand-over";

    // Message 75 off over the peer link itself.
    ASSERT_TRUE(client.sendFrame(request(75, {0})));
    ASSERT_TRUE(waitUntil([&] { return !trovixServiceRunning(trovixService()); }, 20s));
    char* value = getConfigString("Trovix", nullptr, false);
    EXPECT_STREQ(value, "1") << "switching off leaves the key";
    free(value);
    const size_t offers = rv_.offers();
    // The link stays: a request is still answered.
    ASSERT_TRUE(client.sendFrame(hello()));
    ASSERT_TRUE(client.waitForFrame(1, &m, 20000));
    EXPECT_EQ(rv_.offers(), offers) << "nothing is sent to the rendezvous server while off";

    ASSERT_TRUE(client.sendFrame(request(75, {1})));
    ASSERT_TRUE(rv_.waitForRegistrations(3, 20000));
    auto all = rv_.registrations();
    EXPECT_NE(memcmp(all[2].key.data(), all[1].key.data(), 32), 0) << "a new key exchange";
    // A second start while running makes no second client.
    ASSERT_TRUE(client.sendFrame(request(75, {1})));
    ASSERT_TRUE(client.sendFrame(hello()));
    ASSERT_TRUE(client.waitForFrame(1, &m, 20000));
    EXPECT_EQ(rv_.registrations().size(), 3u);
}

TEST_F(TrovixServer, OffAtStartCreatesTheIdentityButSendsNothing) {
    start({{"Trovix", "0"}});
    EXPECT_EQ(stored("TrovixId", 16).size(), 16u);
    EXPECT_EQ(stored("TrovixPin", 4).size(), 4u);
    EXPECT_FALSE(trovixServiceRunning(trovixService()));
    EXPECT_EQ(rv_.offers(), 0u);
}

// Start and stop from many clients at once: one rendezvous client at most,
// none left after the last stop, nothing freed twice.
TEST_F(TrovixServer, StartAndStopRacesEndInOneState) {
    start({{"Trovix", "0"}});
    setConfigString("Trovix", "1");
    NetworkService* service = trovixService();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([service, t] {
            for (int i = 0; i < 10; i++) {
                if ((i + t) % 2 == 0) {
                    service->start(service);
                } else {
                    service->stop(service, 0);
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    service->start(service);
    EXPECT_TRUE(trovixServiceRunning(service));
    service->stop(service, 0);
    EXPECT_FALSE(trovixServiceRunning(service));
    service->stop(service, 0);  // without a client: nothing happens
}

// Datagrams waiting on fd (read and dropped).
size_t waitingDatagrams(int fd) {
    size_t count = 0;
    uint8_t buffer[200];
    while (recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) >= 0) count++;
    return count;
}

// 256 datagrams of random bytes, one per first byte, to the registered
// port from another address make no client in either form (none is
// answered, so no link is ever set up); a real client is still served.
TEST_F(TrovixServer, RandomDatagramsMakeNoClientInEitherForm) {
    for (bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "Trovix SSL Service" : "Trovix Service");
        const size_t before = rv_.registrations().size();
        start({}, tls);
        ASSERT_TRUE(rv_.waitForRegistrations(before + 1, 20000));
        const trovixtest::Registration r = rv_.registrations().back();
        RemoteClient forger;
        ASSERT_TRUE(forger.open("127.0.0.3"));
        std::mt19937 random(tls ? 35 : 34);
        for (int first = 0; first < 256; first++) {
            uint8_t bytes[90];
            for (auto& b : bytes) b = uint8_t(random());
            bytes[0] = uint8_t(first);
            ASSERT_EQ(sendto(forger.fd(), bytes, 90, 0, reinterpret_cast<const sockaddr*>(&r.source),
                             sizeof r.source),
                      90);
            if (first % 32 == 31) {
                // Handled, and whatever answer they got has gone out: the
                // announcement is handled after them, its hello after
                // their answers.
                RemoteClient marker;
                ASSERT_TRUE(marker.open("127.0.0.9"));
                ASSERT_TRUE(rv_.announce(r, marker.key(), marker.address(), marker.address()));
                trovixtest::Datagram d;
                ASSERT_TRUE(marker.awaitDatagram(8, &d, 20000));
            }
        }
        EXPECT_EQ(waitingDatagrams(forger.fd()), 0u) << "nothing is sent to the forger";
        EXPECT_EQ(connectionCount(), 0u);
        EXPECT_EQ(log().find("connected as connection"), std::string::npos) << log();

        RemoteClient client;
        ASSERT_NO_FATAL_FAILURE(reach(client, Ending::ClientAcknowledges, rv_.registrations().size()));
        Message m;
        if (tls) {
            trovixtest::PeerTlsClient session(client, {});
            std::string error;
            ASSERT_EQ(session.handshake(20000, &error), 0) << error;
            ASSERT_TRUE(session.sendFrame(hello()));
            ASSERT_TRUE(session.waitForFrame(kMsgHelloReply, &m, 20000)) << log();
        } else {
            ASSERT_TRUE(client.sendFrame(hello()));
            ASSERT_TRUE(client.waitForFrame(kMsgHelloReply, &m, 20000)) << log();
        }
        stop();
    }
}

// A client that sends frames of 33 KB that inflate to 8 MiB each, far
// faster than they are handled: what waits for its receive thread stays
// within the receive limit and one packet, and another client is served
// meanwhile.
TEST_F(TrovixServer, InflatingFloodWaitsInABoundedQueue) {
    trovixSettings.peerReceiveLimit = 256u << 10;
    trovixSettings.peerWaitingLimit = 256u << 10;
    // The flood's refused packets come again as ENet's back-off allows:
    // its link may fall silent for longer than the fixture's ping time-out.
    start({{"PingTimeout", "120"}});
    RemoteClient flooder;
    ASSERT_NO_FATAL_FAILURE(reach(flooder, Ending::ClientAcknowledges, 1));
    // The server leaves what is over its limits unacknowledged: a client's
    // ENet drops the link itself when that lasts past its time-out, which a
    // loaded machine reaches. This client waits as long as the test does.
    flooder.setPeerTimeout(120000, 120000);
    Message m;
    ASSERT_TRUE(flooder.sendFrame(hello()));
    ASSERT_TRUE(flooder.waitForFrame(kMsgHelloReply, &m, 20000));
    resetTrovixPeerReceivePeak();

    Message bomb = request(kMsgKeepAlive, std::vector<uint8_t>(8u << 20, 0));
    const std::vector<uint8_t> frame = ovclient::encodeFrame(bomb, ovclient::Compression::Always);
    ASSERT_LT(frame.size(), 40000u);
    // Twice the waiting limit: enough to meet it, little enough that a
    // loaded machine under TSan inflates it all well within the time-outs.
    constexpr int kFrames = 16;
    std::atomic<bool> answered{false};
    std::thread flood([&] {
        for (int i = 0; i < kFrames; i++) {
            if (!flooder.sendPacket(frame)) return;
        }
        // The hello after the flood is answered once every frame before
        // it was read; waiting for it keeps the client's host serviced.
        Message reply;
        answered = flooder.sendFrame(hello()) && flooder.waitForFrame(kMsgHelloReply, &reply, 120000);
    });
    RemoteClient good;
    ASSERT_NO_FATAL_FAILURE(reach(good, Ending::ClientAcknowledges, 2));
    ASSERT_TRUE(good.sendFrame(hello()));
    EXPECT_TRUE(good.waitForFrame(kMsgHelloReply, &m, 20000)) << "a good client is served during the flood";
    flood.join();
    EXPECT_TRUE(answered.load()) << "the flooding client is served after its flood\n" << log();
    EXPECT_GE(trovixPeerReceivePeak(), frame.size());
    EXPECT_LE(trovixPeerReceivePeak(), trovixSettings.peerReceiveLimit + frame.size());
}

// ---- the TLS form ----

trovixtest::PeerTlsClient::Options verifyingServer() {
    trovixtest::PeerTlsClient::Options o;
    o.caCert = tlsclient::sharedTestCertificates().caCert;
    return o;
}

TEST_F(TrovixServer, TlsOverThePeerLink) {
    start({}, true);
    EXPECT_STREQ(trovixService()->name, "Trovix SSL Service");
    for (Ending ending : {Ending::ClientAcknowledges, Ending::ServerAcknowledges}) {
        SCOPED_TRACE(int(ending));
        const size_t before = connectionCount();
        RemoteClient client;
        ASSERT_NO_FATAL_FAILURE(reach(client, ending, before + 1));
        trovixtest::PeerTlsClient tls(client, verifyingServer());
        std::string error;
        ASSERT_EQ(tls.handshake(5000, &error), 0) << error << "\n" << log();
        ASSERT_TRUE(tls.sendFrame(hello()));
        Message m;
        ASSERT_TRUE(tls.waitForFrame(kMsgHelloReply, &m, 5000)) << log();
        ovclient::HelloReply reply;
        ASSERT_TRUE(ovclient::parseHelloReply(m, &reply));
        EXPECT_EQ(std::vector<uint8_t>(reply.trovixId, reply.trovixId + 16), stored("TrovixId", 16));
        EXPECT_EQ(std::vector<uint8_t>(reply.trovixPin, reply.trovixPin + 4), stored("TrovixPin", 4));
        ASSERT_TRUE(tls.sendFrame(hello(), ovclient::Compression::Always));
        ASSERT_TRUE(tls.waitForFrame(kMsgHelloReply, &m, 5000));
        EXPECT_NE(m.wireCompressedLength, 0u);
        ASSERT_TRUE(waitUntil([&] {
            Message any;
            tls.receiveFrame(&any, 100);
            return tls.pings >= 1;
        }, 5s));
        EXPECT_EQ(tls.packetsNotOneRecord, 0u) << "every record travels in a packet of its own";
    }
}

TEST_F(TrovixServer, RequiredClientCertificates) {
    start({{"SSLUseClientCerts", "1"}}, true);
    {
        RemoteClient client;
        ASSERT_NO_FATAL_FAILURE(reach(client, Ending::ClientAcknowledges, 1));
        trovixtest::PeerTlsClient tls(client, verifyingServer());
        std::string error;
        EXPECT_NE(tls.handshake(2000, &error), 0);
        ASSERT_TRUE(rv_.waitForRegistrations(2, 20000)) << "the rendezvous client went on";
        EXPECT_EQ(connectionCount(), 0u);
    }
    RemoteClient client;
    ASSERT_NO_FATAL_FAILURE(reach(client, Ending::ClientAcknowledges, 2));
    trovixtest::PeerTlsClient::Options o = verifyingServer();
    o.certFile = tlsclient::sharedTestCertificates().clientCert;
    o.keyFile = tlsclient::sharedTestCertificates().clientKey;
    trovixtest::PeerTlsClient tls(client, o);
    std::string error;
    ASSERT_EQ(tls.handshake(5000, &error), 0) << error;
    ASSERT_TRUE(waitUntil([&] { return connectionCount() == 1; }, 5s));
}

// A remote client that connects and then says nothing holds the rendezvous
// thread only until the handshake deadline.
TEST_F(TrovixServer, SilentTlsPeerHasADeadline) {
    trovixSettings.tlsHandshakeMs = 300;
    start({}, true);
    RemoteClient silent;
    ASSERT_NO_FATAL_FAILURE(reach(silent, Ending::ClientAcknowledges, 1));
    ASSERT_TRUE(rv_.waitForRegistrations(2, 10000)) << "registered again after the deadline\n" << log();
    EXPECT_NE(log().find("during SSL handshake"), std::string::npos) << log();
    EXPECT_EQ(connectionCount(), 0u);
}

// Without a deadline in sight, a stop ends the handshake.
TEST_F(TrovixServer, StopEndsAWaitingTlsHandshake) {
    trovixSettings.tlsHandshakeMs = 100000000;
    start({}, true);
    RemoteClient silent;
    ASSERT_NO_FATAL_FAILURE(reach(silent, Ending::ClientAcknowledges, 1));
    // This one keeps its ENet link alive, so only a stop can end the wait.
    std::atomic<bool> serviced{true};
    std::thread keepAlive([&] {
        std::vector<uint8_t> packet;
        while (serviced) silent.receivePacket(&packet, 20);
    });
    NetworkService* service = trovixService();
    auto stopped = std::async(std::launch::async, [service] { service->stop(service, 0); });
    const bool ended = waitUntil([&] { return stopped.wait_for(0s) == std::future_status::ready; }, 10s);
    serviced = false;
    keepAlive.join();
    ASSERT_TRUE(ended) << "stop waits for a handshake that never ends";
    EXPECT_FALSE(trovixServiceRunning(service));
    EXPECT_EQ(connectionCount(), 0u);
}

} // namespace
