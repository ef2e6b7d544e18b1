// The protocol layer in-process: the real TCP services, connections and
// handlers on loopback, driven by the test protocol client.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ovusbd/core/bindqueue.h"
#include "ovusbd/core/clientlimit.h"
#include "ovusbd/core/config.h"
#include "ovusbd/core/connection.h"
#include "ovusbd/core/connectionmodule.h"
#include "ovusbd/core/coresettings.h"
#include "ovusbd/core/framebudget.h"
#include "ovusbd/core/handlers.h"
#include "ovusbd/core/log.h"
#include "ovusbd/core/networkserver.h"
#include "ovusbd/core/nicknames.h"
#include "ovusbd/core/reverseservice.h"
#include "ovusbd/core/servermessages.h"
#include "ovusbd/core/tcpservice.h"
#include "ovusbd/core/transport.h"
#include "ovusbd/trovix/trovixsettings.h"
#include "tests/support/ovclient.h"
#include "tests/support/wait.h"

using namespace std::chrono_literals;
using ovclient::Message;
using ovclient::OvClient;

namespace {

// The Trovix service of these tests finds no interface address, so it never
// looks up or sends to a rendezvous server.
int noTrovixAddresses(uint32_t*, int) { return 0; }
const TrovixSys kNoTrovixNetwork = {noTrovixAddresses, trovixProductionSys.getRandom};


using Clock = std::chrono::steady_clock;

using testwait::waitUntil;

class Server : public ::testing::Test {
protected:
    void TearDown() override {
        stop();
        if (!HasFailure()) {
            std::filesystem::remove_all(dir_);  // kept for a look when a test failed
        }
    }

    // Starts the layer the way start-up does, with the given keys on top of
    // a loopback listener on a port of the system's choosing.
    void start(std::map<std::string, std::string> keys = {}, const std::string& host = "127.0.0.1") {
        char dirTemplate[] = "/tmp/ovusbd-conn.XXXXXX";
        ASSERT_NE(mkdtemp(dirTemplate), nullptr);
        dir_ = dirTemplate;
        std::map<std::string, std::string> all = {{"TCPPort", "0"},     {"NetworkInterface", host},
                                                  {"PingInterval", "1"}, {"PingTimeout", "3"},
                                                  {"ServerName", "Bench $SERIAL$"}};
        for (auto& [k, v] : keys) {
            all[k] = v;
        }
        {
            std::ofstream config(dir_ + "/config.ini");
            for (auto& [k, v] : all) {
                config << k << "=" << v << "\n";
            }
        }
        logPath_ = dir_ + "/log.txt";
        logStream_ = fopen(logPath_.c_str(), "a");
        setLogFile(logStream_);
        ASSERT_TRUE(loadConfig((dir_ + "/config.ini").c_str(), true));
        settings_.pingTimeout = getConfigInt("PingTimeout", 9);
        settings_.traceMessages = getConfigBool("TraceMsgs", "0");
        settings_.serverSerial = strdup("SERIAL42");
        installCoreSettings(&settings_);
        clientIdMap = createLockedList();
        nicknameList = createLockedList();
        trovixSettings.sys = &kNoTrovixNetwork;
        trovixSettings.tickMs = 20;
        fillMessageHandlerTable();
        ASSERT_EQ(startBindQueue(), 0);
        ASSERT_EQ(createConnectionList(settings_, &protocolConnectionCallbacks), 0);
        ASSERT_EQ(createServiceList(false), 0);
        runServiceInit();
        ASSERT_TRUE(runServiceListen(&port_));
        runServiceStart();
        running_ = true;
        host_ = host;
    }

    void stop() {
        if (!running_) {
            return;
        }
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
    // The timeout only guards: generous for a loaded machine.
    bool logHas(const std::string& text, std::chrono::milliseconds timeout = 20s) const {
        return waitUntil([&] { return log().find(text) != std::string::npos; }, timeout);
    }
    size_t logCount(const std::string& text) const {
        std::string all = log();
        size_t n = 0;
        for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) {
            n++;
        }
        return n;
    }

    void connect(OvClient& client) { ASSERT_TRUE(client.connectTo(host_, uint16_t(port_))) << host_ << ":" << port_; }

    uint16_t onlyConnectionId() {
        uint16_t id = 0;
        waitUntil([&] { return connectionCount() == 1; }, 30s);
        copyConnectionIds(&id, 1);
        return id;
    }

    CoreSettings settings_;
    std::string dir_, logPath_, host_;
    FILE* logStream_ = nullptr;
    int port_ = 0;
    bool running_ = false;
};

Message request(uint8_t type, std::vector<uint8_t> payload = {}, uint32_t address = 0) {
    Message m;
    m.type = type;
    for (int i = 0; i < 5; i++) {
        m.context[i] = 0xA0000000u + uint32_t(type) * 16 + uint32_t(i);
    }
    m.deviceAddress = address;
    m.payload = std::move(payload);
    return m;
}

void expectContextCopied(const Message& reply, const Message& asked) {
    for (int i = 0; i < 5; i++) {
        EXPECT_EQ(reply.context[i], asked.context[i]) << "context word " << i + 1;
    }
    EXPECT_EQ(reply.deviceAddress, asked.deviceAddress);
}

TEST_F(Server, HelloReplyFields) {
    start();
    OvClient client;
    connect(client);
    Message hello = request(kMsgHello, std::vector<uint8_t>(128, 0));
    memcpy(hello.payload.data(), "tester", 6);
    memcpy(hello.payload.data() + 64, "detail text", 11);
    ASSERT_TRUE(client.send(hello));
    Message m;
    ASSERT_TRUE(client.waitFor(kMsgHelloReply, &m, 20000));
    expectContextCopied(m, hello);
    ovclient::HelloReply reply;
    ASSERT_TRUE(ovclient::parseHelloReply(m, &reply));
    EXPECT_EQ(reply.marker, 8);
    EXPECT_EQ(reply.serverName, "Bench SERIAL42");
    EXPECT_EQ(reply.serverSerial, "SERIAL42");
    EXPECT_EQ(reply.version[0], 4);
    EXPECT_EQ(reply.version[1], 3);
    EXPECT_EQ(reply.version[2], 3);
    EXPECT_EQ(reply.interfaceName, "lo");
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    EXPECT_EQ(reply.hostName, host);
    uint8_t zero[16] = {};
    EXPECT_NE(memcmp(reply.uuid, zero, 16), 0);
    EXPECT_EQ(reply.trovixAvailable, 1);
    // Start-up created the identity; the reply carries it decoded.
    char* idText = getConfigString("TrovixId", nullptr, true);
    ASSERT_NE(idText, nullptr);
    uint8_t id16[16];
    ASSERT_TRUE(decodeBase58(idText, id16, 16));
    free(idText);
    EXPECT_EQ(memcmp(reply.trovixId, id16, 16), 0);
    EXPECT_NE(memcmp(reply.trovixId, zero, 16), 0);

    const uint16_t id = onlyConnectionId();
    char text[64];
    getConnectionClientText(id, text);
    EXPECT_STREQ(text, "tester");
    getConnectionClientDetail(id, text);
    EXPECT_STREQ(text, "detail text");
    uint8_t uuid[16];
    getConnectionUuid(id, uuid);
    EXPECT_EQ(memcmp(uuid, reply.uuid, 16), 0);
}

TEST_F(Server, HelloMapsClientIdAndTrovixFields) {
    start({{"DisableTrovix", "0"}, {"Trovix", "1"}, {"TrovixId", "2"}, {"TrovixPin", "1z"}});
    auto* pair = static_cast<ClientIdPair*>(calloc(1, sizeof(ClientIdPair)));
    strcpy(pair->clientText, "alice");
    strcpy(pair->replacement, "bob");
    appendToLockedList(clientIdMap, pair);
    OvClient client;
    connect(client);
    Message hello = request(kMsgHello, std::vector<uint8_t>(64, 0));
    memcpy(hello.payload.data(), "alice", 5);
    ASSERT_TRUE(client.send(hello));
    Message m;
    ASSERT_TRUE(client.waitFor(kMsgHelloReply, &m, 20000));
    ovclient::HelloReply reply;
    ASSERT_TRUE(ovclient::parseHelloReply(m, &reply));
    EXPECT_EQ(reply.trovixEnabled, 1);
    EXPECT_EQ(reply.trovixId[15], 1);  // "2" is the digit 1
    EXPECT_EQ(reply.trovixPin[3], 57);  // "z" is the digit 57
    char text[64];
    getConnectionClientText(onlyConnectionId(), text);
    EXPECT_STREQ(text, "bob");
    getConnectionClientDetail(onlyConnectionId(), text);
    EXPECT_STREQ(text, "");
}

TEST_F(Server, FixedRepliesForwardPasswordAndUnknownType) {
    start();
    OvClient client;
    connect(client);
    Message asked = request(kMsgType2Request, {1, 2, 3}, 77);
    Message m;
    ASSERT_TRUE(client.send(asked));
    ASSERT_TRUE(client.waitFor(kMsgType2Reply, &m, 20000));
    expectContextCopied(m, asked);
    EXPECT_TRUE(m.payload.empty());

    asked = request(kMsgType10Request, {}, 77);
    ASSERT_TRUE(client.send(asked));
    ASSERT_TRUE(client.waitFor(kMsgType10Reply, &m, 20000));
    for (uint32_t word : m.context) {
        EXPECT_EQ(word, 0u);
    }
    EXPECT_EQ(m.deviceAddress, 0u);

    asked = request(kMsgType33Request, {}, 78);
    ASSERT_TRUE(client.send(asked));
    ASSERT_TRUE(client.waitFor(kMsgType33Reply, &m, 20000));
    expectContextCopied(m, asked);
    EXPECT_EQ(m.payload, std::vector<uint8_t>(12, 0));

    // Unknown type: a warning, and the connection goes on.
    ASSERT_TRUE(client.send(request(200)));
    EXPECT_TRUE(logHas("Warning, this server has received an unknown message of type 200"));
    asked = request(kMsgDevicePassword, std::vector<uint8_t>(127, 'p'), 91);
    ASSERT_TRUE(client.send(asked));
    ASSERT_TRUE(client.waitFor(kMsgDevicePasswordReply, &m, 20000));
    EXPECT_EQ(m.deviceAddress, 91u);
    EXPECT_EQ(m.context[0], 0u);
    EXPECT_TRUE(m.payload.empty());
    ASSERT_TRUE(client.send(request(kMsgDevicePassword, std::vector<uint8_t>(128, 'p'), 91)));
    ASSERT_TRUE(client.waitFor(kMsgDevicePasswordReply, &m, 20000));
    EXPECT_TRUE(logHas("Password for device 91 is too long, max 127 chars"));
    char password[128];
    EXPECT_TRUE(takeDevicePassword(onlyConnectionId(), 91, password));
    EXPECT_EQ(std::string(password), std::string(127, 'p'));

    // Forward to our own uuid comes back as it was sent.
    ovclient::HelloReply hello;
    ASSERT_TRUE(client.hello("me", "", &hello));
    Message forward = request(kMsgForward);
    forward.payload.assign(hello.uuid, hello.uuid + 16);
    forward.payload.insert(forward.payload.end(), {9, 8, 7});
    ASSERT_TRUE(client.send(forward));
    ASSERT_TRUE(client.waitFor(kMsgForward, &m, 20000));
    EXPECT_EQ(m.payload, forward.payload);
    expectContextCopied(m, forward);

    // Device list: the device list is empty, so nothing answers.
    std::vector<ovclient::DeviceAnnouncement> devices;
    ASSERT_TRUE(client.listDevices(&devices, 300));
    EXPECT_TRUE(devices.empty());
}

// A peer that pads its frames (L above 33 + P) is served: the padding is
// skipped and the connection goes on.
TEST_F(Server, PaddedFramesAreServed) {
    start();
    OvClient client;
    connect(client);
    Message asked = request(kMsgType33Request, {9, 9}, 80);
    std::vector<uint8_t> frame = ovclient::encodeFrame(asked, ovclient::Compression::Never);
    ovclient::putLe32(frame, 4, ovclient::le32(frame.data() + 4) + 10);
    frame.insert(frame.end(), 10, 0xEE);
    ASSERT_TRUE(client.sendRaw(frame.data(), frame.size()));
    Message m;
    ASSERT_TRUE(client.waitFor(kMsgType33Reply, &m, 20000));
    expectContextCopied(m, asked);
    asked = request(kMsgType2Request, {}, 81);
    ASSERT_TRUE(client.send(asked));
    ASSERT_TRUE(client.waitFor(kMsgType2Reply, &m, 20000));
    expectContextCopied(m, asked);
    EXPECT_EQ(logCount("Error received message is malformed"), 0u);
}

// Ids wrap after 65535 connections: a new client never gets the id of one
// that is still connected (which dropped the older client), and no id is 0.
TEST_F(Server, ConnectionIdsSkipLiveIdsAfterWrapping) {
    start({{"PingTimeout", "60"}});
    OvClient first;
    connect(first);
    ovclient::HelloReply hello;
    ASSERT_TRUE(first.hello("first", "", &hello));
    const uint16_t firstId = onlyConnectionId();
    for (int i = 0; i < 65534; i++) {
        const uint16_t id = nextConnectionId();
        ASSERT_NE(id, 0);
        ASSERT_NE(id, firstId);
    }
    OvClient second;
    connect(second);
    ASSERT_TRUE(second.hello("second", "", &hello));
    ASSERT_EQ(connectionCount(), 2u);
    uint16_t ids[2] = {};
    ASSERT_EQ(copyConnectionIds(ids, 2), 2u);
    EXPECT_NE(ids[0], ids[1]);
    EXPECT_EQ(ids[0], firstId);
    // Both are served.
    ASSERT_TRUE(first.hello("first", "", &hello));
    ASSERT_TRUE(second.hello("second", "", &hello));
}

TEST_F(Server, BindOfUnknownDeviceFailsAndQueuedBindOfGoneClientIsSkipped) {
    start();
    OvClient client;
    connect(client);
    ovclient::BindResult result;
    ASSERT_TRUE(client.bind(4242, &result));
    EXPECT_EQ(result.result, -1);
    EXPECT_EQ(result.speed, 2);
    EXPECT_EQ(result.address, 4242u);
    EXPECT_EQ(result.serverSerial, "SERIAL42");
    EXPECT_TRUE(logHas("Error binding device 4242 [0000:0000] to connection"));
    EXPECT_TRUE(logHas("BIND_ERROR"));

    // A request whose client left before the bind thread reached it must not
    // bind anything for nobody.
    queueBindRequest(60000, 4243, true);
    EXPECT_TRUE(logHas("Dropping bind request for device 4243: connection 60000 is gone"));
    EXPECT_EQ(logCount("Error binding device 4243"), 0u);
}

// Short fixed-offset payloads: a request with a reply gets it with -22, one
// without is dropped with a warning; the handler never runs on them.
std::atomic<int> fakeHandlerCalls{0};
void fakeHandler(uint16_t, const MessageHeader*) {
    fakeHandlerCalls++;
}

TEST_F(Server, ShortPayloadsAreRefusedBeforeTheHandler) {
    start();
    messageHandlers[13].handler = fakeHandler;
    messageHandlers[51].handler = fakeHandler;
    OvClient client;
    connect(client);
    Message m;
    // 14 of 16 bytes: endpoint, flags and six bytes of the setup packet.
    Message control = request(kMsgControlTransfer, {0, 0, 0, 0, 0, 0, 0, 0, 0x80, 6, 0, 1, 0, 0}, 5);
    ASSERT_TRUE(client.send(control));
    ASSERT_TRUE(client.waitFor(kMsgControlTransferReply, &m, 20000));
    expectContextCopied(m, control);
    ASSERT_EQ(m.payload.size(), 16u);
    // What arrived of the setup packet is echoed where the reply carries it.
    EXPECT_EQ(std::vector<uint8_t>(m.payload.begin(), m.payload.begin() + 8),
              (std::vector<uint8_t>{0x80, 6, 0, 1, 0, 0, 0, 0}));
    EXPECT_EQ(int32_t(ovclient::le32(m.payload.data() + 8)), -22);

    Message reset = request(kMsgResetAndConfigure, std::vector<uint8_t>(17, 1), 5);  // 17 of 18 bytes
    ASSERT_TRUE(client.send(reset));
    ASSERT_TRUE(client.waitFor(kMsgDeviceResetReply, &m, 20000));
    ASSERT_EQ(m.payload.size(), 4u);
    EXPECT_EQ(int32_t(ovclient::le32(m.payload.data())), -22);

    ASSERT_TRUE(client.send(request(kMsgForward, std::vector<uint8_t>(15, 0))));
    EXPECT_TRUE(logHas("Warning, dropping message of type 45 from connection"));

    // No device is bound here: the handler is reached only with the holder
    // check off.
    messageHandlers[51].heldDeviceOnly = false;
    ASSERT_TRUE(client.send(request(kMsgResetAndConfigure, std::vector<uint8_t>(18, 1), 5)));  // exactly enough
    EXPECT_TRUE(waitUntil([] { return fakeHandlerCalls.load() == 1; }, 5s));
    messageHandlers[13].handler = nullptr;
    messageHandlers[51].handler = nullptr;
    messageHandlers[51].heldDeviceOnly = true;
    fakeHandlerCalls = 0;
}

TEST_F(Server, KeepAliveKeepsAClientSilenceDropsIt) {
    start({{"PingInterval", "1"}, {"PingTimeout", "2"}});
    OvClient talker, silent;
    connect(talker);
    connect(silent);
    talker.skipPings = false;
    // The talker sends keep-alives for longer than the time-out and sees pings.
    int pings = 0;
    const auto end = Clock::now() + 4500ms;
    while (Clock::now() < end) {
        ASSERT_TRUE(talker.keepAlive());
        Message m;
        while (talker.receive(&m, 400) == 1) {
            if (m.type == kMsgPing) {
                pings++;
                ASSERT_EQ(m.payload.size(), 4u);
                EXPECT_NEAR(double(ovclient::le32(m.payload.data())), double(time(nullptr)), 5.0);
            }
        }
    }
    EXPECT_GE(pings, 2);
    EXPECT_TRUE(silent.waitClosed(1000)) << "silent client should be gone by now";
    EXPECT_TRUE(logHas("successfully removed (reason:timeout)"));
    ovclient::HelloReply reply;
    EXPECT_TRUE(talker.hello("still here", "", &reply));
    EXPECT_EQ(connectionCount(), 1u);
}

// Other clients coming and going wake every connection's ticks; a steady
// client is still pinged once per "PingInterval", not once per wake-up.
TEST_F(Server, PingsKeepTheirIntervalDuringConnectionChurn) {
    // Passers are removed by the watchdog a second or two after they close.
    start({{"PingInterval", "2"}, {"PingTimeout", "1"}});
    OvClient steady;
    connect(steady);
    steady.skipPings = false;
    std::atomic<bool> churning{true};
    std::thread churn([&] {
        while (churning) {
            OvClient passer;
            if (passer.connectTo(host_, uint16_t(port_))) {
                passer.close();
            }
            std::this_thread::sleep_for(20ms);
        }
    });
    int pings = 0;
    const auto begin = Clock::now();
    // At least 5 s, and on until the churn has removed 5 clients (a slow
    // machine churns slowly); 60 s only guard.
    const auto least = begin + 5000ms, guard = begin + 60s;
    while (Clock::now() < guard && (Clock::now() < least || logCount("successfully removed") < 5)) {
        ASSERT_TRUE(steady.keepAlive());
        Message m;
        if (steady.receive(&m, 200) == 1 && m.type == kMsgPing) {
            pings++;
        }
    }
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - begin).count();
    churning = false;
    churn.join();
    // One ping per 2 s: at most one more than the whole periods, whatever
    // the machine's load.
    EXPECT_LE(pings, int(seconds / 2) + 1);
    EXPECT_GE(logCount("successfully removed"), 5u) << "the churn removed too few clients to show anything";
}

// Every malformed frame ends only its own client; another client is served
// throughout.
TEST_F(Server, MalformedFramesDropOnlyTheirClient) {
    start({{"PingInterval", "1"}, {"PingTimeout", "2"}});
    const std::vector<ovclient::MalformedFrame> frames = ovclient::malformedFrames();

    OvClient good;
    connect(good);
    std::vector<std::unique_ptr<OvClient>> bad;
    for (const ovclient::MalformedFrame& frame : frames) {
        bad.push_back(std::make_unique<OvClient>());
        connect(*bad.back());
        ASSERT_TRUE(bad.back()->sendRaw(frame.bytes.data(), frame.bytes.size())) << frame.what;
        ovclient::HelloReply reply;
        ASSERT_TRUE(good.hello("good", "", &reply));
    }
    // Each bad client is dropped by its watchdog once its receive thread has
    // ended; the good one keeps talking meanwhile.
    for (size_t i = 0; i < bad.size(); i++) {
        const auto deadline = Clock::now() + 8s;
        bool closed = false;
        while (!closed && Clock::now() < deadline) {
            ASSERT_TRUE(good.keepAlive());
            closed = bad[i]->waitClosed(300);
        }
        EXPECT_TRUE(closed) << frames[i].what;
    }
    ovclient::HelloReply reply;
    EXPECT_TRUE(good.hello("good", "", &reply));
    std::map<std::string, size_t> expected;
    for (const ovclient::MalformedFrame& frame : frames) expected[frame.logLine]++;
    for (const auto& [line, count] : expected) EXPECT_EQ(logCount(line), count) << line;
}

TEST_F(Server, CompressionAboveTheLimitBothWaysAndTheSizeEdge) {
    start({{"PingTimeout", "30"}});
    OvClient client;
    connect(client);
    ovclient::HelloReply hello;
    ASSERT_TRUE(client.hello("me", "", &hello));
    auto forwardOfBody = [&](uint32_t bodyLength, uint8_t fill) {
        Message m = request(kMsgForward);
        m.payload.assign(hello.uuid, hello.uuid + 16);
        m.payload.resize(bodyLength - 33, fill);
        return m;
    };
    Message m;
    // Server to client: L = 384 goes raw, 385 compressed.
    client.compression = ovclient::Compression::Never;
    ASSERT_TRUE(client.send(forwardOfBody(384, 'a')));
    ASSERT_TRUE(client.waitFor(kMsgForward, &m, 20000));
    EXPECT_EQ(m.wireCompressedLength, 0u);
    ASSERT_TRUE(client.send(forwardOfBody(385, 'a')));
    ASSERT_TRUE(client.waitFor(kMsgForward, &m, 20000));
    EXPECT_GT(m.wireCompressedLength, 0u);
    EXPECT_EQ(m.payload.size(), 385u - 33u);
    // Client to server, compressed even when small.
    client.compression = ovclient::Compression::Always;
    ASSERT_TRUE(client.send(forwardOfBody(100, 'b')));
    ASSERT_TRUE(client.waitFor(kMsgForward, &m, 20000));
    EXPECT_EQ(m.payload.back(), 'b');

    // The largest body is accepted (here dropped by the forward to nobody);
    // one byte more ends the receive thread.
    client.compression = ovclient::Compression::Auto;
    Message edge = request(kMsgForward);
    edge.payload.assign(kMaxFrameLength - 33, 0);
    ASSERT_TRUE(client.send(edge));
    ASSERT_TRUE(client.hello("after edge", "", &hello));
    edge.payload.push_back(0);
    ASSERT_TRUE(client.send(edge));
    EXPECT_TRUE(logHas("Error received message is too big (comp="));
}

// A client that stops reading must not hold up the replies of another
// (writes happen outside the connection-list lock), and its own stuck write
// gives up after the send time-out, ending only that client. The order of
// events proves it, not their times: the other client's replies come after
// the server holds what it cannot write to the stuck one and before that
// write gives up.
TEST_F(Server, StuckReaderDoesNotDelayOthers) {
    // The send time-out is the ping time-out: long enough that the replies
    // come within it on a loaded machine; the stuck client keeps itself
    // alive, so only its write can end it.
    start({{"PingInterval", "1"}, {"PingTimeout", "10"}});
    OvClient stuck, other;
    connect(stuck);
    const uint16_t stuckId = onlyConnectionId();
    int small = 4096;
    setsockopt(stuck.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ovclient::HelloReply hello;
    ASSERT_TRUE(stuck.hello("stuck", "", &hello));
    struct KeepAlive {
        OvClient& client;
        std::atomic<bool> done{false};
        std::thread thread;
        ~KeepAlive() {
            done = true;
            if (thread.joinable()) thread.join();
        }
    } alive{stuck, {}, {}};
    // Bounce incompressible data to itself and never read it.
    std::mt19937 rng(1);
    Message flood = request(kMsgForward);
    flood.payload.assign(hello.uuid, hello.uuid + 16);
    for (int i = 0; i < 1 << 20; i++) {
        flood.payload.push_back(uint8_t(rng()));
    }
    constexpr int kFrames = 12;
    for (int i = 0; i < kFrames; i++) {
        ASSERT_TRUE(stuck.send(flood));
    }
    // From here on only this thread writes to the stuck client's link.
    alive.thread = std::thread([&alive] {
        while (!alive.done) {
            alive.client.keepAlive();
            std::this_thread::sleep_for(200ms);  // a pace, not a synchronisation
        }
    });
    // More than the socket buffers hold waits in the server's queue: its
    // write to the stuck client is blocked.
    ASSERT_TRUE(waitUntil([&] { return connectionQueuedBytes(stuckId) >= (4u << 20); }, 120s))
        << "the forwards to queue up, " << connectionQueuedBytes(stuckId) << " bytes queued\n" << log();
    connect(other);
    int replies = 0;
    for (; replies < 3; replies++) {
        ASSERT_TRUE(other.hello("other", "", &hello)) << "reply " << replies << "\n" << log();
    }
    EXPECT_EQ(logCount("stopped reading, send timed out"), 0u) << "the other client's replies came only after it";
    // The other client goes on talking (and so stays) until the stuck one is
    // gone.
    EXPECT_TRUE(waitUntil(
        [&] {
            replies += other.hello("other", "", &hello) ? 1 : 0;
            return connectionCount() == 1 && log().find("stopped reading, send timed out") != std::string::npos;
        },
        120s))
        << "the stuck write to time out and its client to go\n" << log();
    EXPECT_TRUE(other.hello("other", "", &hello));
}

// A transmit thread that ends while the client is not being removed shuts
// the link down at once instead of leaving a client nobody can send to.
TEST_F(Server, EndedTransmitThreadShutsTheLinkDown) {
    start({{"PingInterval", "1"}, {"PingTimeout", "60"}});
    OvClient client;
    connect(client);
    const uint16_t id = onlyConnectionId();
    MessageHeader* huge = newMessage({.type = kMsgDeviceAnnounce, .payloadLength = kMaxFrameLength - 32});
    ASSERT_NE(huge, nullptr);
    sendToConnection(id, huge);
    EXPECT_TRUE(logHas("It is too big (9437185 bytes) to transmit"));
    EXPECT_TRUE(client.waitClosed(5000));
}

TEST_F(Server, ConcurrentRemovalsRemoveOnce) {
    start({{"PingTimeout", "60"}});
    OvClient client;
    connect(client);
    const uint16_t id = onlyConnectionId();
    std::atomic<int> removed{0};
    std::thread a([&] { removed += removeClientConnection(id, "first") ? 1 : 0; });
    std::thread b([&] { removed += removeClientConnection(id, "second") ? 1 : 0; });
    a.join();
    b.join();
    EXPECT_EQ(removed.load(), 1);
    EXPECT_EQ(logCount("successfully removed"), 1u);
    EXPECT_TRUE(client.waitClosed(5000));
    EXPECT_FALSE(removeClientConnection(id, "again"));
}

// Senders append outside the list lock; a removal racing with them must
// neither lose track of a message (leak) nor free the queue under one.
TEST_F(Server, SendsRacingRemoval) {
    start({{"PingTimeout", "60"}});
    for (int round = 0; round < 5; round++) {
        OvClient client;
        connect(client);
        uint16_t id = 0;
        ASSERT_TRUE(waitUntil([&] { return copyConnectionIds(&id, 1) == 1; }, 5s));
        std::atomic<bool> go{true};
        std::vector<std::thread> senders;
        for (int t = 0; t < 4; t++) {
            senders.emplace_back([&] {
                while (go) {
                    sendToConnection(id, newMessage({.type = kMsgTextNotice, .payloadLength = 16}));
                    broadcastMessage(newMessage({.type = kMsgTextNotice, .payloadLength = 8}));
                }
            });
        }
        std::this_thread::sleep_for(50ms);
        EXPECT_TRUE(removeClientConnection(id, "race"));
        go = false;
        for (auto& t : senders) t.join();
        EXPECT_FALSE(connectionExists(id));
    }
}

// The descriptor of this process whose peer is the socket fd (the server's
// end of a loopback link); -1 when none.
int peerSocketInThisProcess(int fd) {
    sockaddr_storage mine{};
    socklen_t mineLength = sizeof mine;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&mine), &mineLength) != 0) {
        return -1;
    }
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        const int candidate = std::stoi(entry.path().filename().string());
        sockaddr_storage peer{};
        socklen_t peerLength = sizeof peer;
        if (candidate != fd && getpeername(candidate, reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0 &&
            peerLength == mineLength && memcmp(&peer, &mine, peerLength) == 0) {
            return candidate;
        }
    }
    return -1;
}

// A client that never reads while forwards keep landing on its queue: its
// own forwards, or another client's. The queue never holds more than the
// cap, the client is dropped with one line, and the others are served.
TEST_F(Server, TransmitQueueOfAClientThatDoesNotReadIsCapped) {
    struct Case {
        const char* what;
        bool toItself;
    };
    for (const Case& c : {Case{"forwards to itself", true}, Case{"forwarded to by another", false}}) {
        SCOPED_TRACE(c.what);
        start({{"PingTimeout", "60"}});
        OvClient sender, bystander;
        auto reader = std::make_unique<OvClient>();
        // Its receive buffer is left as it is: a tiny one opens its window
        // so rarely that the data before the close would take minutes.
        connect(*reader);
        ovclient::HelloReply hello;
        ASSERT_TRUE(reader->hello("never reads", "", &hello));
        const uint16_t readerId = onlyConnectionId();
        OvClient* flooder = reader.get();
        if (!c.toItself) {
            connect(sender);
            ovclient::HelloReply ignored;
            ASSERT_TRUE(sender.hello("sender", "", &ignored));
            flooder = &sender;
        }
        connect(bystander);
        ovclient::HelloReply ignored;
        ASSERT_TRUE(bystander.hello("bystander", "", &ignored));

        // The largest frames, incompressible, so that the socket buffers
        // are full after a frame or two and the rest waits in the queue.
        Message flood = request(kMsgForward);
        flood.payload.assign(hello.uuid, hello.uuid + 16);
        std::mt19937 rng(7);
        while (flood.payload.size() < kMaxFrameLength - kMessageHeaderSize) {
            flood.payload.push_back(uint8_t(rng()));
        }
        const std::vector<uint8_t> frame = ovclient::encodeFrame(flood, ovclient::Compression::Never);
        const std::string dropped =
            "Connection " + std::to_string(readerId) + " transmit queue over 33554432 bytes, client is not reading, dropping it";
        uint64_t most = 0;
        // A flooder that is itself dropped finds its link closed.
        for (int i = 0; i < 40 && log().find(dropped) == std::string::npos; i++) {
            if (!flooder->sendRaw(frame.data(), frame.size())) {
                ASSERT_TRUE(c.toItself) << "frame " << i;
                break;
            }
            most = std::max(most, connectionQueuedBytes(readerId));
            ASSERT_LE(most, kTransmitQueueLimit) << "frame " << i;
        }
        EXPECT_TRUE(logHas(dropped, 60s));
        EXPECT_TRUE(reader->waitClosed(30000));
        // What the transmit thread was writing goes when that write fails.
        EXPECT_TRUE(waitUntil([&] { return connectionQueuedBytes(readerId) == 0; }, 30s));
        EXPECT_TRUE(bystander.hello("bystander", "", &ignored));
        if (!c.toItself) {
            EXPECT_TRUE(sender.hello("sender", "", &ignored));
        }
        EXPECT_EQ(logCount("transmit queue over"), 1u);
        reader.reset();
        stop();
        if (!HasFailure()) {
            std::filesystem::remove_all(dir_);
        }
    }
}

// Messages to one client from several threads at once, small ones that go
// out at once on an idle link and larger ones that wait in the queue, to a
// reader slow enough that the link often takes a frame only in part: every
// frame arrives whole, and each thread's messages in the order it sent them.
TEST_F(Server, FramesFromManyThreadsKeepTheirOrderAndNeverInterleave) {
    start({{"PingTimeout", "60"}});
    OvClient client;
    connect(client);
    const uint16_t id = onlyConnectionId();
    // The server's end of the link (same process) gets a send buffer smaller
    // than the middle size, so writes that do not wait come back short.
    const int serverEnd = peerSocketInThisProcess(client.fd());
    ASSERT_GE(serverEnd, 0);
    int small = 32768;
    ASSERT_EQ(setsockopt(serverEnd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    constexpr int kThreads = 3, kPerThread = 60;
    // Sizes: tiny, below the direct-write limit but more than the link takes
    // at once, above that limit.
    const size_t sizes[] = {20, 100000, 200000};
    auto payloadOf = [&](int thread, int seq) {
        std::vector<uint8_t> p(sizes[(thread + seq) % 3]);
        std::mt19937 rng(uint32_t(thread * 100000 + seq));
        for (auto& b : p) b = uint8_t(rng());
        p[0] = uint8_t(thread);
        memcpy(p.data() + 1, &seq, 4);
        return p;
    };
    // Joined however the test ends: a failed assertion returns while they
    // may still be sending, and the closed link ends a write that waits for
    // a reader.
    struct Joined {
        OvClient& client;
        std::vector<std::thread> threads;
        ~Joined() {
            client.close();
            for (auto& t : threads) t.join();
        }
    } senders{client, {}};
    for (int t = 0; t < kThreads; t++) {
        senders.threads.emplace_back([&, t] {
            for (int seq = 0; seq < kPerThread; seq++) {
                const std::vector<uint8_t> p = payloadOf(t, seq);
                MessageHeader* m = newMessage({.type = kMsgTextNotice, .payloadLength = uint32_t(p.size())});
                memcpy(messagePayload(m), p.data(), p.size());
                sendToConnection(id, m);
            }
        });
    }
    int next[kThreads] = {};
    int received = 0;
    while (received < kThreads * kPerThread) {
        Message m;
        ASSERT_EQ(client.receive(&m, 30000), 1) << "after " << received << " messages";
        ASSERT_EQ(m.type, kMsgTextNotice);
        ASSERT_GE(m.payload.size(), 5u);
        const int thread = m.payload[0];
        int seq = 0;
        memcpy(&seq, m.payload.data() + 1, 4);
        ASSERT_LT(thread, kThreads);
        ASSERT_EQ(seq, next[thread]) << "thread " << thread;
        ASSERT_TRUE(m.payload == payloadOf(thread, seq)) << "thread " << thread << " message " << seq << " corrupt";
        next[thread]++;
        received++;
        if (received % 4 == 0) {
            std::this_thread::sleep_for(2ms);  // a slow reader, so writes come back short
        }
    }
    EXPECT_TRUE(waitUntil([&] { return connectionQueuedBytes(id) == 0; }, 60s)) << "the queue to empty";
}

// The link of one client, its writes counted: a write that begins while
// another is under way is an overlap; one direct write can be held until
// the test lets it go.
struct WatchedLink {
    static inline int (*realWrite)(NetworkConnection*, const void*, size_t) = nullptr;
    static inline int (*realWriteNow)(NetworkConnection*, const void*, size_t) = nullptr;
    static inline std::atomic<int> inside{0};
    static inline std::atomic<bool> overlapped{false};
    static inline std::atomic<bool> holdNext{false};
    static inline std::atomic<bool> held{false};
    static inline std::mutex gateMutex;
    static inline std::condition_variable gate;
    static inline bool released = false;

    static void enter() {
        if (inside.fetch_add(1) != 0) overlapped = true;
    }
    static int write(NetworkConnection* link, const void* buffer, size_t length) {
        enter();
        const int result = realWrite(link, buffer, length);
        inside--;
        return result;
    }
    static int writeNow(NetworkConnection* link, const void* buffer, size_t length) {
        enter();
        if (holdNext.exchange(false)) {
            held = true;
            std::unique_lock<std::mutex> lock(gateMutex);
            gate.wait(lock, [] { return released; });
        }
        const int result = realWriteNow(link, buffer, length);
        inside--;
        return result;
    }
    static void release() {
        std::lock_guard<std::mutex> lock(gateMutex);
        released = true;
        gate.notify_all();
    }
};

// A glibc mutex another thread waits for: its lock word is 2 (locked, with
// waiters) once the waiter has gone to sleep on it.
bool hasWaiter(pthread_mutex_t* mutex) { return __atomic_load_n(&mutex->__data.__lock, __ATOMIC_ACQUIRE) == 2; }

// A message queued while a direct write of another thread is under way (held
// in the link's write) goes out only after it: the transmit thread waits for
// the link's write lock instead of writing into the middle of that frame.
TEST_F(Server, TransmitThreadWaitsForADirectWriteUnderWay) {
    start({{"PingTimeout", "60"}, {"PingInterval", "3600"}});
    OvClient client;
    connect(client);
    const uint16_t id = onlyConnectionId();
    NetworkConnection* link = nullptr;
    pthread_mutex_t* writeLock = nullptr;
    ASSERT_TRUE(withClient(id, [&](ConnectedClient* c) {
        link = c->link;
        writeLock = &c->writeLock;
    }));
    ASSERT_NE(link->writeNow, nullptr);
    WatchedLink::realWrite = link->write;
    WatchedLink::realWriteNow = link->writeNow;
    link->write = WatchedLink::write;
    link->writeNow = WatchedLink::writeNow;
    WatchedLink::holdNext = true;

    auto notice = [](uint8_t tag) {
        MessageHeader* m = newMessage({.type = kMsgTextNotice, .payloadLength = 64});
        memset(messagePayload(m), tag, 64);
        return m;
    };
    std::thread direct([&] { sendToConnection(id, notice(1)); });
    ASSERT_TRUE(waitUntil([] { return WatchedLink::held.load(); }, 20s)) << "the direct write to begin";
    sendToConnection(id, notice(2));  // the write lock is taken: queued
    EXPECT_TRUE(waitUntil([&] { return WatchedLink::overlapped || hasWaiter(writeLock); }, 20s))
        << "the transmit thread to write or to wait for the write lock";
    EXPECT_FALSE(WatchedLink::overlapped) << "the transmit thread wrote while a direct write was under way";
    WatchedLink::release();
    direct.join();
    for (uint8_t tag : {1, 2}) {
        Message m;
        ASSERT_EQ(client.receive(&m, 20000), 1) << "message " << int(tag);
        EXPECT_EQ(m.type, kMsgTextNotice);
        EXPECT_EQ(m.payload, std::vector<uint8_t>(64, tag));
    }
    EXPECT_FALSE(WatchedLink::overlapped);
    link->write = WatchedLink::realWrite;
    link->writeNow = WatchedLink::realWriteNow;
}

// Clients beyond the limit the descriptor limit allows are refused at once
// with one line per run of refusals; the clients already there are served,
// and a place that frees up is taken again.
TEST_F(Server, ClientsBeyondTheLimitAreRefused) {
    size_t open = 0;
    for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) open++;
    if (open > 40) {
        GTEST_SKIP() << open << " descriptors open, too many to lower the limit to 67";
    }
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit lowered = saved;
    lowered.rlim_cur = 67;  // 64 kept for the server itself: 3 clients
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    start({{"PingTimeout", "60"}});
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    ASSERT_EQ(connectionLimit(), 3u);
    const std::string refused = "the most this server can serve";
    std::vector<std::unique_ptr<OvClient>> served;
    ovclient::HelloReply hello;
    for (int i = 0; i < 3; i++) {
        served.push_back(std::make_unique<OvClient>());
        connect(*served.back());
        ASSERT_TRUE(served.back()->hello("served", "", &hello));
    }
    auto refuseBurst = [&](int n) {
        for (int i = 0; i < n; i++) {
            OvClient extra;
            connect(extra);
            EXPECT_TRUE(extra.waitClosed(5000)) << "extra client " << i;
        }
        for (auto& c : served) EXPECT_TRUE(c->hello("served", "", &hello));
    };
    refuseBurst(5);
    EXPECT_EQ(logCount(refused), 1u);
    EXPECT_EQ(connectionCount(), 3u);

    uint16_t ids[3] = {};
    ASSERT_EQ(copyConnectionIds(ids, 3), 3u);
    ASSERT_TRUE(removeClientConnection(ids[0], "test"));
    served.erase(served.begin());
    served.push_back(std::make_unique<OvClient>());
    connect(*served.back());
    ASSERT_TRUE(served.back()->hello("late", "", &hello));
    refuseBurst(3);
    EXPECT_EQ(logCount(refused), 2u);
}

TEST(ClientLimit, FollowsTheDescriptorAndThreadLimits) {
    struct Case {
        SystemLimits limits;
        uint32_t clients;
    };
    const Case cases[] = {
        {{1024, kNoLimit, kNoLimit}, 896},          // an eighth kept for the server
        {{100, kNoLimit, kNoLimit}, 36},            // at least 64 kept
        {{50, kNoLimit, kNoLimit}, 1},              // never none
        {{kNoLimit, 4096, 200000}, 896},            // four threads a client
        {{kNoLimit, kNoLimit, 1000}, 218},
        {{1024, 1000, kNoLimit}, 218},              // the tighter of the two
        {{kNoLimit, kNoLimit, kNoLimit}, 65535},    // ids are 16 bits
        {{1u << 20, kNoLimit, kNoLimit}, 65535},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(clientLimitFor(c.limits), c.clients)
            << c.limits.openFiles << " " << c.limits.processes << " " << c.limits.kernelThreads;
    }
}

// A link that delivers half a prefix and then stops while the client is
// being removed: the partial read is not taken for a whole one.
struct HalfLink {
    NetworkConnection base;
    std::atomic<int> reads{0};
    std::atomic<bool> closed{false};
};

TEST_F(Server, PartialReadWhileStoppingIsNotAFrame) {
    start({{"PingTimeout", "60"}});
    auto* link = static_cast<HalfLink*>(calloc(1, sizeof(HalfLink)));
    link->base.setNoDelay = [](NetworkConnection*) { return 0; };
    link->base.handshake = [](NetworkConnection*) { return true; };
    link->base.getLocalAddress = [](NetworkConnection*, sockaddr*, socklen_t*) { return -ENOTSOCK; };
    link->base.close = [](NetworkConnection* c) { reinterpret_cast<HalfLink*>(c)->closed = true; };
    link->base.destroy = [](NetworkConnection*) {};
    link->base.write = [](NetworkConnection*, const void*, size_t length) { return int(length); };
    link->base.read = [](NetworkConnection* c, void* buffer, size_t length) -> int {
        auto* half = reinterpret_cast<HalfLink*>(c);
        if (half->reads++ == 0) {
            // Four bytes of a prefix that would claim a huge body.
            memset(buffer, 0xff, length < 4 ? length : 4);
            return int(length < 4 ? length : 4);
        }
        while (!half->closed) {
            std::this_thread::sleep_for(5ms);
        }
        return -EAGAIN;
    };
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    ASSERT_TRUE(addClientConnection(&link->base, reinterpret_cast<sockaddr*>(&peer)));
    const uint16_t id = onlyConnectionId();
    ASSERT_TRUE(waitUntil([&] { return link->reads.load() >= 2; }, 5s));
    EXPECT_TRUE(removeClientConnection(id, "test"));
    EXPECT_EQ(logCount("Error received message"), 0u);
    EXPECT_EQ(logCount("unknown message"), 0u);
}

TEST_F(Server, ReverseDialling) {
    uint16_t port = 0;
    int listener = ovclient::listenLoopback(&port);
    ASSERT_GE(listener, 0);
    const std::string target = "127.0.0.1:" + std::to_string(port);
    start({{"ReverseClients", target}, {"ReverseClientsRetryPeriod", "1"}, {"PingTimeout", "30"}});
    pollfd pfd{listener, POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 5000), 1);
    OvClient dialled;
    dialled.adopt(accept(listener, nullptr, nullptr));
    ovclient::HelloReply hello;
    ASSERT_TRUE(dialled.hello("reverse", "", &hello));
    EXPECT_EQ(hello.serverSerial, "SERIAL42");
    // While that client is connected it is not dialled again.
    ASSERT_TRUE(dialled.keepAlive());
    EXPECT_EQ(poll(&pfd, 1, 2500), 0);
    close(listener);
}

// A busy server holds more than 1024 descriptors: the listening socket and
// a dialled socket numbered above select's limit must still work.
TEST_F(Server, DescriptorsAboveSelectLimit) {
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_cur < 1200) {
        GTEST_SKIP() << "descriptor limit " << limit.rlim_cur << " too low";
    }
    uint16_t port = 0;
    int listener = ovclient::listenLoopback(&port);
    ASSERT_GE(listener, 0);
    const std::string target = "127.0.0.1:" + std::to_string(port);
    // Fill every free number below 1024 so the server's sockets land above.
    std::vector<int> fillers;
    for (int fd = open("/dev/null", O_RDONLY | O_CLOEXEC); fd >= 0; fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) {
        fillers.push_back(fd);
        if (fd >= 1023) {
            break;
        }
    }
    start({{"ReverseClients", target}, {"ReverseClientsRetryPeriod", "1"}, {"PingTimeout", "30"}});
    pollfd pfd{listener, POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 5000), 1);
    OvClient dialled;
    dialled.adopt(accept(listener, nullptr, nullptr));
    ovclient::HelloReply hello;
    EXPECT_TRUE(dialled.hello("reverse", "", &hello));
    OvClient direct;
    connect(direct);
    EXPECT_TRUE(direct.hello("direct", "", &hello));
    for (int fd : fillers) {
        close(fd);
    }
    close(listener);
}

// Out of descriptors, a waiting connection keeps the listener readable while
// accept fails: the accept thread must pause instead of spinning (and
// flooding the log), and take the client once descriptors are free again.
TEST_F(Server, AcceptOutOfDescriptorsPauses) {
    start({{"PingTimeout", "30"}});
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit lowered = saved;
    if (lowered.rlim_cur > 1024) {
        lowered.rlim_cur = 1024;
    }
    // The log is read through a descriptor opened beforehand: none is free later.
    const int logFd = open(logPath_.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(logFd, 0);
    auto count = [logFd](const std::string& text) {
        std::string all;
        char chunk[65536];
        for (ssize_t n; (n = pread(logFd, chunk, sizeof chunk, off_t(all.size()))) > 0;) {
            all.append(chunk, size_t(n));
        }
        size_t found = 0;
        for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) {
            found++;
        }
        return found;
    };
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    std::vector<int> fillers;
    for (int fd = open("/dev/null", O_RDONLY | O_CLOEXEC); fd >= 0; fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) {
        fillers.push_back(fd);
    }
    ASSERT_FALSE(fillers.empty());
    close(fillers.back());
    fillers.pop_back();
    OvClient late;
    const bool connected = late.connectTo(host_, uint16_t(port_));
    const bool failed = connected && waitUntil([&] { return count("Error 24 accepting a new socket") > 0; }, 5s);
    std::this_thread::sleep_for(1s);  // a window to count the retries in
    const size_t retries = count("accepting a new socket");
    for (int fd : fillers) {
        close(fd);
    }
    close(logFd);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    ASSERT_TRUE(connected);
    EXPECT_TRUE(failed);
    EXPECT_LE(retries, 3u);
    ovclient::HelloReply hello;
    EXPECT_TRUE(late.hello("late", "", &hello));
}

// The dialler's lines are counted per list entry and call site like a
// client's: each entry gets its first lines of a window, the rest come as
// one count, so a long or fast-failing list cannot flood the log.
TEST_F(Server, ReverseDiallerLinesAreCountedPerEntry) {
    start();
    NetworkService* service = createTcpReverseService();
    ASSERT_NE(service, nullptr);
    const ReverseDialer dialer = {"ReverseClients", "ReverseClientsPort", 7573, "reverse client", nullptr};
    ReverseDiallerLog* counted = createReverseDiallerLog();
    ASSERT_NE(counted, nullptr);
    // A port that is no number fails in getaddrinfo at once, without DNS.
    for (int pass = 0; pass < 25; pass++) {
        dialReverseClientsWith(service, "127.0.0.1:x,127.0.0.2:y", &dialer, counted);
    }
    flushReverseDiallerLog(counted, true);
    free(service);
    const std::string all = log();
    auto count = [&all](const std::string& text) {
        size_t n = 0;
        for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) {
            n++;
        }
        return n;
    };
    for (const std::string entry : {"127.0.0.1:x", "127.0.0.2:y"}) {
        SCOPED_TRACE(entry);
        EXPECT_EQ(count("calling getaddrinfo for reverse client " + entry), 10u);
        EXPECT_EQ(count("Reverse client " + entry + ": 15 more records like \"Error '%s' (%d) calling getaddrinfo"),
                  1u);
    }
}

// With no pause between passes the dialler must still see its stop flag.
TEST_F(Server, ReverseDiallerWithoutPauseStops) {
    start({{"ReverseClients", "127.0.0.1:1"}, {"ReverseClientsRetryPeriod", "0"}});
    std::this_thread::sleep_for(200ms);
    auto stopped = std::async(std::launch::async, [] { runServiceStop(1); });
    ASSERT_EQ(stopped.wait_for(10s), std::future_status::ready);
}

TEST_F(Server, ShutdownWithClientsConnected) {
    start({{"PingTimeout", "60"}});
    std::vector<std::unique_ptr<OvClient>> clients;
    for (int i = 0; i < 6; i++) {
        clients.push_back(std::make_unique<OvClient>());
        connect(*clients.back());
        ovclient::HelloReply hello;
        ASSERT_TRUE(clients.back()->hello("c" + std::to_string(i), "", &hello));
    }
    auto done = std::async(std::launch::async, [this] { stop(); });
    ASSERT_EQ(done.wait_for(15s), std::future_status::ready);
    for (auto& c : clients) {
        EXPECT_TRUE(c->waitClosed(2000));
    }
    std::string all = log();
    size_t n = 0;
    for (size_t at = all.find("reason:server shutdown"); at != std::string::npos; at = all.find("reason:server shutdown", at + 1)) {
        n++;
    }
    EXPECT_EQ(n, 6u);
}

TEST_F(Server, Ipv6Loopback) {
    start({}, "::1");
    OvClient client;
    connect(client);
    ovclient::HelloReply hello;
    ASSERT_TRUE(client.hello("six", "", &hello));
    EXPECT_EQ(hello.interfaceName, "lo");
    EXPECT_TRUE(logHas("Listening on ::1 at TCP port"));
}

} // namespace

// Binding ids come from the same counter: one that a binding holds is not
// handed out, and when every id is held there is none (0) and no client.
namespace {
bool everyIdHeld = false;
bool heldByBinding(uint16_t id) {
    return everyIdHeld || id == 2 || id == 3;
}
} // namespace

TEST(ConnectionIds, SkipIdsHeldByBindingsAndNeverHandOutZero) {
    const ConnectionCallbacks callbacks = {nullptr, nullptr, heldByBinding, nullptr, nullptr};
    ASSERT_EQ(createConnectionList(CoreSettings(), &callbacks), 0);
    EXPECT_EQ(nextConnectionId(), 1);
    EXPECT_EQ(nextConnectionId(), 4);
    everyIdHeld = true;
    EXPECT_EQ(nextConnectionId(), 0);
    everyIdHeld = false;
    destroyConnectionList();
}

// Large frames: forwarded in the buffer they arrived in, and the memory all
// receive threads hold for them together kept under the frame budget.
namespace {

// A small frame budget for one test; the default again afterwards, even
// when the test fails half way.
struct FrameBudgetOf {
    explicit FrameBudgetOf(size_t bytes) {
        setFrameBudgetLimit(bytes);
        resetFrameBudgetPeak();
    }
    ~FrameBudgetOf() { setFrameBudgetLimit(kDefaultFrameBudget); }
};

std::vector<uint8_t> payloadOf(size_t size, bool compressible) {
    std::vector<uint8_t> p(size);
    std::mt19937 rng(7);
    for (size_t i = 0; i < size; i++) {
        p[i] = compressible ? uint8_t("usb bulk transfer "[i % 18]) : uint8_t(rng());
    }
    return p;
}

// The largest body a frame may carry, raw and as an LZ4 block, forwarded to
// the sender's own uuid: it comes back byte for byte, and no receive buffer
// stays behind in the budget.
TEST_F(Server, LargestForwardArrivesWholeRawAndCompressed) {
    start({{"PingTimeout", "60"}});
    OvClient client;
    connect(client);
    ovclient::HelloReply hello;
    ASSERT_TRUE(client.hello("big", "", &hello));
    for (bool compressible : {false, true}) {
        SCOPED_TRACE(compressible ? "LZ4" : "raw");
        Message forward = request(kMsgForward);
        forward.payload.assign(hello.uuid, hello.uuid + 16);
        const std::vector<uint8_t> data = payloadOf(kMaxFrameLength - kMessageHeaderSize - 16, compressible);
        forward.payload.insert(forward.payload.end(), data.begin(), data.end());
        const std::vector<uint8_t> frame =
            ovclient::encodeFrame(forward, compressible ? ovclient::Compression::Always : ovclient::Compression::Never);
        ASSERT_TRUE(client.sendRaw(frame.data(), frame.size()));
        Message back;
        ASSERT_TRUE(client.waitFor(kMsgForward, &back, 30000));
        EXPECT_TRUE(back.payload == forward.payload);
        expectContextCopied(back, forward);
        EXPECT_TRUE(waitUntil([] { return frameBudgetInUse() == 0; }, 10s));
    }
}

// Ten clients each send one large frame (1 MiB: above the kept buffer is
// what makes it large) while the budget holds three: three receive threads
// read theirs and seven wait, the bytes held never pass the budget, and
// once every frame is handled no large buffer is left.
TEST_F(Server, LargeFramesInFlightStayWithinTheBudget) {
    constexpr int kClients = 10, kHeld = 3;
    const std::vector<uint8_t> frame =
        ovclient::encodeFrame(request(kMsgType2Request, payloadOf(1u << 20, false)), ovclient::Compression::Never);
    const size_t perFrame = frame.size();  // the frame's bytes behind an 8-byte slot
    FrameBudgetOf budget(kHeld * perFrame);
    start({{"PingTimeout", "60"}});
    std::vector<std::unique_ptr<OvClient>> clients;
    for (int i = 0; i < kClients; i++) {
        clients.push_back(std::make_unique<OvClient>());
        connect(*clients.back());
    }
    // The prefix and the start of the body: enough for each receive thread
    // to ask for its buffer, while every frame stays unfinished.
    constexpr size_t kFirstPart = 4096;
    for (auto& c : clients) {
        ASSERT_TRUE(c->sendRaw(frame.data(), kFirstPart));
    }
    EXPECT_TRUE(waitUntil([&] { return frameBudgetWaiters() == kClients - kHeld && frameBudgetInUse() == kHeld * perFrame; }, 120s))
        << frameBudgetWaiters() << " waiting, " << frameBudgetInUse() << " bytes held";
    std::vector<std::thread> rest;
    std::atomic<int> answered{0};
    for (auto& c : clients) {
        rest.emplace_back([&, client = c.get()] {
            Message reply;
            if (client->sendRaw(frame.data() + kFirstPart, frame.size() - kFirstPart) &&
                client->waitFor(kMsgType2Reply, &reply, 120000)) {
                answered++;
            }
        });
    }
    for (auto& t : rest) {
        t.join();
    }
    EXPECT_EQ(answered, kClients);
    EXPECT_LE(frameBudgetPeak(), kHeld * perFrame);
    EXPECT_TRUE(waitUntil([] { return frameBudgetInUse() == 0; }, 60s)) << frameBudgetInUse() << " bytes still held";
}

// A receive thread waiting for the budget does not hold up its client's
// removal while another client keeps the budget, nor the shutdown.
TEST_F(Server, RemovalWhileAFrameWaitsForTheBudget) {
    const std::vector<uint8_t> frame =
        ovclient::encodeFrame(request(kMsgType2Request, payloadOf(1u << 20, false)), ovclient::Compression::Never);
    FrameBudgetOf budget(frame.size());
    start({{"PingTimeout", "60"}});
    OvClient holder, waiter;
    connect(holder);
    const uint16_t holderId = onlyConnectionId();
    ASSERT_TRUE(holder.sendRaw(frame.data(), 4096));
    ASSERT_TRUE(waitUntil([] { return frameBudgetInUse() > 0; }, 20s));
    connect(waiter);
    ASSERT_TRUE(waiter.sendRaw(frame.data(), 4096));
    ASSERT_TRUE(waitUntil([] { return frameBudgetWaiters() == 1; }, 20s));
    uint16_t ids[2] = {};
    ASSERT_EQ(copyConnectionIds(ids, 2), 2u);
    const uint16_t waiterId = ids[0] == holderId ? ids[1] : ids[0];
    auto removed = std::async(std::launch::async, [waiterId] { return removeClientConnection(waiterId, "timeout"); });
    ASSERT_EQ(removed.wait_for(15s), std::future_status::ready);
    EXPECT_TRUE(removed.get());
    EXPECT_EQ(frameBudgetInUse(), frame.size());
    auto done = std::async(std::launch::async, [this] { stop(); });
    ASSERT_EQ(done.wait_for(15s), std::future_status::ready);
    EXPECT_EQ(frameBudgetInUse(), 0u);
}

} // namespace
