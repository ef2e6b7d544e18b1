// Protocol layer against plain TCP, on loopback, in one run:
//  - round trips per second of a small request/reply on 1 and 16 connections
//  - frame throughput (MB/s of payload) of large raw and compressed frames
//  - 64 KiB bulk IN transfers of a simulated device, bound by the client,
//    through the whole device path with the replies in mapped URB buffers
// Each figure is printed beside plain TCP moving the same bytes (an echo;
// for the bulk row a server that answers each request frame with a reply
// frame of the same size), with the goal for the ratio.
//  - the stall case: a client's median round trip while 64 other clients do
//    not read their replies, against its own median without them.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ovusbd/core/bindqueue.h"
#include "ovusbd/core/config.h"
#include "ovusbd/core/connection.h"
#include "ovusbd/core/coresettings.h"
#include "ovusbd/core/handlers.h"
#include "ovusbd/core/log.h"
#include "ovusbd/core/networkserver.h"
#include "ovusbd/core/deviceannounce.h"
#include "ovusbd/core/devicebinding.h"
#include "ovusbd/core/networkserver.h"
#include "ovusbd/core/replybuffers.h"
#include "ovusbd/core/transport.h"
#include "ovusbd/usb/devicerecord.h"
#include "ovusbd/usb/discovery.h"
#include "ovusbd/usb/removedqueue.h"
#include "ovusbd/usb/usbevents.h"
#include "ovusbd/usb/usbsettings.h"
#include "tests/support/ovclient.h"
#include "tests/support/simbus.h"

using Clock = std::chrono::steady_clock;
using ovclient::Message;
using ovclient::OvClient;

namespace {

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// ---- plain TCP ----

int echoPort = 0;
int replyPort = 0;

void echoConnection(int fd) {
    std::vector<char> buffer(1 << 20);
    for (;;) {
        ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0) {
            break;
        }
        for (ssize_t sent = 0; sent < n;) {
            ssize_t w = send(fd, buffer.data() + sent, size_t(n - sent), MSG_NOSIGNAL);
            if (w <= 0) {
                close(fd);
                return;
            }
            sent += w;
        }
    }
    close(fd);
}

// A listener on 127.0.0.1 whose connections each get a thread running
// serve; returns its port.
int startPlainServer(void (*serve)(int)) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listener, 32);
    socklen_t l = sizeof a;
    getsockname(listener, reinterpret_cast<sockaddr*>(&a), &l);
    std::thread([listener, serve] {
        for (;;) {
            int fd = accept(listener, nullptr, nullptr);
            if (fd < 0) {
                return;
            }
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            std::thread(serve, fd).detach();
        }
    }).detach();
    return ntohs(a.sin_port);
}

bool sendAll(int fd, const void* p, size_t n) {
    const char* c = static_cast<const char*>(p);
    while (n > 0) {
        ssize_t w = send(fd, c, n, MSG_NOSIGNAL);
        if (w <= 0) return false;
        c += w;
        n -= size_t(w);
    }
    return true;
}

bool recvAll(int fd, void* p, size_t n) {
    char* c = static_cast<char*>(p);
    while (n > 0) {
        ssize_t r = recv(fd, c, n, 0);
        if (r <= 0) return false;
        c += r;
        n -= size_t(r);
    }
    return true;
}

// The reply frame the plain request/reply server sends for every request
// frame it reads; set before the first connection.
std::vector<uint8_t> plainReplyFrame;

void replyConnection(int fd) {
    std::vector<uint8_t> body;
    for (;;) {
        uint32_t prefix[2];
        if (!recvAll(fd, prefix, sizeof prefix)) {
            break;
        }
        body.resize(prefix[0] != 0 ? prefix[0] : prefix[1]);
        if (!recvAll(fd, body.data(), body.size()) ||
            !sendAll(fd, plainReplyFrame.data(), plainReplyFrame.size())) {
            break;
        }
    }
    close(fd);
}

// Waits for POLLIN until deadline; false when it passed.
bool readable(int fd, Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left < 0) {
            return false;
        }
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, int(left) + 1);
        if (r > 0) {
            return true;
        }
        if (r < 0 && errno != EINTR) {
            return false;
        }
    }
}

bool recvAllBy(int fd, void* p, size_t n, Clock::time_point deadline) {
    char* c = static_cast<char*>(p);
    while (n > 0) {
        if (!readable(fd, deadline)) return false;
        ssize_t r = recv(fd, c, n, 0);
        if (r <= 0) return false;
        c += r;
        n -= size_t(r);
    }
    return true;
}

// Reads one whole frame (prefix included) and returns its message type,
// -1 on a closed link, a malformed frame or a passed deadline.
int readFrame(int fd, std::vector<uint8_t>& frame, Clock::time_point deadline) {
    uint32_t prefix[2];
    if (!recvAllBy(fd, prefix, sizeof prefix, deadline) || prefix[1] > ovclient::kMaxLength ||
        prefix[0] > ovclient::kMaxLength) {
        return -1;
    }
    frame.resize(sizeof prefix + (prefix[0] != 0 ? prefix[0] : prefix[1]));
    memcpy(frame.data(), prefix, sizeof prefix);
    if (!recvAllBy(fd, frame.data() + sizeof prefix, frame.size() - sizeof prefix, deadline)) {
        return -1;
    }
    ovclient::Message m;
    if (ovclient::decodeFrame(frame.data(), frame.size(), &m) != long(frame.size())) {
        return -1;
    }
    return m.type;
}

// ---- the simulated device ----

// "1-1" on the simulated bus.
constexpr uint32_t kDeviceAddress = 11;
constexpr uint8_t kBulkIn = 0x81;
constexpr uint32_t kBulkSize = 64 * 1024;

// Answers every bulk IN with the same bytes, as much as asked for.
class BulkSource : public simbus::UsbModel {
public:
    std::string data;
    simbus::UrbAnswer in(uint8_t, size_t length) override {
        return simbus::UrbAnswer{false, 0, data.substr(0, length)};
    }
};

simbus::SimBus* bus = nullptr;
UsbSettings deviceSettings;

// The device layer as start-up wires it, over the simulated bus, with
// "EnableBulkIntZeroCopy" on and the large URBs of a current kernel.
bool startDeviceLayer(const std::string& deviceData) {
    bus = new simbus::SimBus();
    bus->install();
    bus->addRootHub(1);
    simbus::SimDevice device;
    device.name = "1-1";
    bus->addDevice(device);
    auto source = std::make_shared<BulkSource>();
    source->data = deviceData;
    bus->setModel("1-1", source);
    bus->setMmapCapable("1-1", true);
    deviceSettings.enableBulkIntZeroCopy = true;
    deviceSettings.bulkUrbSize = kLargeUrbSize;
    deviceSettings.isoUrbSize = kLargeUrbSize;
    installUsbSettings(&deviceSettings);
    installReplyBuffers(deviceSettings);
    installUsbEventCallbacks(&deviceAnnouncementCallbacks);
    if (createDeviceList() < 0 || createBindingList() < 0 || startDeviceManagerThreads() < 0 ||
        startUsbDiscoveryThreads() < 0) {
        return false;
    }
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (countLockedList(deviceList) == 0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return countLockedList(deviceList) == 1;
}

void stopDeviceLayer() {
    stopUsbDiscoveryThreads();
    stopDeviceManager();
    stopDeviceManagerThreads();
    destroyBindingList();
    removeReplyBuffers();
    installUsbEventCallbacks(nullptr);
    installUsbSettings(nullptr);
    bus->uninstall();
    delete bus;
    bus = nullptr;
}

// ---- the server ----

int serverPort = 0;
std::string workDir;
CoreSettings serverSettings;

void startServer(const std::string& deviceData) {
    char dir[] = "/tmp/ovusbd-bench.XXXXXX";
    workDir = mkdtemp(dir);
    std::ofstream(workDir + "/config.ini") << "TCPPort=0\nNetworkInterface=127.0.0.1\nPingTimeout=60\n";
    setLogFile(fopen((workDir + "/log.txt").c_str(), "a"));
    loadConfig((workDir + "/config.ini").c_str(), true);
    if (!startDeviceLayer(deviceData)) {
        fprintf(stderr, "the simulated device did not come up\n");
        exit(1);
    }
    serverSettings.pingTimeout = 60;
    serverSettings.serverSerial = strdup("BENCH");
    installCoreSettings(&serverSettings);
    fillMessageHandlerTable();
    startBindQueue();
    createConnectionList(serverSettings, &protocolConnectionCallbacks);
    createServiceList(false);
    runServiceInit();
    if (!runServiceListen(&serverPort)) {
        fprintf(stderr, "server did not listen\n");
        exit(1);
    }
    runServiceStart();
}

void stopServer() {
    runServiceStop(1);
    // Clients and binds end before the device layer under them.
    removeAllClients("bench over");
    stopBindQueue();
    stopDeviceLayer();
    destroyConnectionList();
    destroyServiceList();
    installCoreSettings(nullptr);
    freeCoreSettings(&serverSettings);
    freeConfigStore();
    std::string cmd = "rm -rf " + workDir;
    if (system(cmd.c_str()) != 0) {
        fprintf(stderr, "could not remove %s\n", workDir.c_str());
    }
}

// ---- measurements ----

constexpr double kRoundTripSeconds = 2.0;

// Small request/reply: type 33 (41-byte frame) answered by type 34 (53
// bytes). Both sides are read the same way: one blocking read of the known
// size, so that the figures differ only by what the server does.
double serverRoundTrips(int connections) {
    std::atomic<long> total{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < connections; c++) {
        threads.emplace_back([&] {
            int fd = ovclient::connectTcp("127.0.0.1", uint16_t(serverPort), 5000);
            if (fd < 0) return;
            Message m;
            m.type = kMsgType33Request;
            std::vector<uint8_t> frame = ovclient::encodeFrame(m);
            uint8_t reply[8 + 33 + 12];
            long n = 0;
            const auto end = Clock::now() + std::chrono::duration<double>(kRoundTripSeconds);
            Message decoded;
            while (Clock::now() < end) {
                if (!sendAll(fd, frame.data(), frame.size()) || !recvAll(fd, reply, sizeof reply)) break;
                if (ovclient::decodeFrame(reply, sizeof reply, &decoded) != long(sizeof reply) || decoded.type != kMsgType33Reply) {
                    fprintf(stderr, "unexpected reply\n");
                    break;
                }
                n++;
            }
            close(fd);
            total += n;
        });
    }
    for (auto& t : threads) t.join();
    return double(total) / kRoundTripSeconds;
}

double echoRoundTrips(int connections) {
    std::atomic<long> total{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < connections; c++) {
        threads.emplace_back([&] {
            int fd = ovclient::connectTcp("127.0.0.1", uint16_t(echoPort), 5000);
            if (fd < 0) return;
            // Equal sizes: the request frame out, the reply frame's size back.
            char request[8 + 33 + 12] = {}, reply[8 + 33 + 12];
            long n = 0;
            const auto end = Clock::now() + std::chrono::duration<double>(kRoundTripSeconds);
            while (Clock::now() < end) {
                if (!sendAll(fd, request, sizeof request) || !recvAll(fd, reply, sizeof reply)) break;
                n++;
            }
            close(fd);
            total += n;
        });
    }
    for (auto& t : threads) t.join();
    return double(total) / kRoundTripSeconds;
}

std::vector<uint8_t> makePayload(size_t size, bool compressible) {
    std::vector<uint8_t> p(size);
    std::mt19937 rng(3);
    if (compressible) {
        const char* words[] = {"usb ", "device ", "bulk ", "transfer ", "endpoint ", "0x81 "};
        size_t i = 0;
        while (i < size) {
            const char* w = words[rng() % 6];
            for (const char* c = w; *c && i < size; c++) p[i++] = uint8_t(*c);
        }
    } else {
        for (auto& b : p) b = uint8_t(rng());
    }
    return p;
}

constexpr int kFrames = 64;
constexpr size_t kFrameSize = 1 << 20;

// A forward to the client's own uuid: the server reads, decodes, copies and
// sends the frame back. MB/s of payload through the round trip, pipelined.
double serverThroughput(bool compressible) {
    OvClient client;
    client.connectTo("127.0.0.1", uint16_t(serverPort));
    ovclient::HelloReply hello;
    client.hello("bench", "", &hello);
    Message m;
    m.type = kMsgForward;
    m.payload.assign(hello.uuid, hello.uuid + 16);
    std::vector<uint8_t> data = makePayload(kFrameSize - 16, compressible);
    m.payload.insert(m.payload.end(), data.begin(), data.end());
    std::vector<uint8_t> frame = ovclient::encodeFrame(m, ovclient::Compression::Auto);
    const auto start = Clock::now();
    std::thread sender([&] {
        for (int i = 0; i < kFrames; i++) client.sendRaw(frame.data(), frame.size());
    });
    int got = 0;
    Message reply;
    while (got < kFrames && client.waitFor(kMsgForward, &reply, 10000)) got++;
    sender.join();
    return double(got) * double(kFrameSize) / 1e6 / seconds(Clock::now() - start);
}

double echoThroughput(bool compressible) {
    int fd = ovclient::connectTcp("127.0.0.1", uint16_t(echoPort), 5000);
    // The echo moves what the wire would carry for the same payload.
    Message m;
    m.type = kMsgForward;
    m.payload = makePayload(kFrameSize, compressible);
    std::vector<uint8_t> frame = ovclient::encodeFrame(m, ovclient::Compression::Auto);
    std::vector<uint8_t> back(frame.size());
    const auto start = Clock::now();
    std::thread sender([&] {
        for (int i = 0; i < kFrames; i++) sendAll(fd, frame.data(), frame.size());
    });
    int got = 0;
    while (got < kFrames && recvAll(fd, back.data(), back.size())) {
        // The client decodes what comes back, as it does with the server.
        ovclient::decodeFrame(back.data(), back.size(), &m);
        got++;
    }
    sender.join();
    close(fd);
    return double(got) * double(kFrameSize) / 1e6 / seconds(Clock::now() - start);
}

// ---- 64 KiB bulk IN ----

std::vector<uint8_t> bulkRequestFrame() {
    ovclient::BulkRequest request;
    request.endpoint = kBulkIn;
    request.length = kBulkSize;
    Message m;
    m.type = kMsgBulkInterruptTransfer;
    m.deviceAddress = kDeviceAddress;
    m.payload = ovclient::encodeBulkTransfer(request);
    return ovclient::encodeFrame(m);
}

// What ovusbd answers to one request: the status word and the device's bytes.
std::vector<uint8_t> bulkReplyFrame(const std::string& deviceData) {
    Message m;
    m.type = kMsgBulkInterruptTransferReply;
    m.deviceAddress = kDeviceAddress;
    m.payload.resize(4);
    ovclient::putLe32(m.payload, 0, kBulkSize);
    m.payload.insert(m.payload.end(), deviceData.begin(), deviceData.begin() + kBulkSize);
    return ovclient::encodeFrame(m);
}

// One request at a time, as a driver reading a disk does; both sides are
// read by the same client code. MB/s of device data.
// Context switches of the whole process (every thread: the server's, the
// client's, the simulated bus's), voluntary and not.
long contextSwitches() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_nvcsw + usage.ru_nivcsw;
}

// Switches per transfer of the last bulkInLoop.
double lastSwitchesPerTransfer = 0;

double bulkInLoop(OvClient& client, const std::string& deviceData) {
    const std::vector<uint8_t> frame = bulkRequestFrame();
    long n = 0;
    const long switchesBefore = contextSwitches();
    Message reply;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(kRoundTripSeconds);
    while (Clock::now() < end) {
        if (!client.sendRaw(frame.data(), frame.size()) ||
            !client.waitFor(kMsgBulkInterruptTransferReply, &reply, 10000)) {
            fprintf(stderr, "bulk IN: no reply\n");
            break;
        }
        if (reply.payload.size() != 4 + kBulkSize || ovclient::le32(reply.payload.data()) != kBulkSize ||
            memcmp(reply.payload.data() + 4, deviceData.data(), kBulkSize) != 0) {
            fprintf(stderr, "bulk IN: unexpected reply\n");
            break;
        }
        n++;
    }
    lastSwitchesPerTransfer = n > 0 ? double(contextSwitches() - switchesBefore) / double(n) : 0;
    return double(n) * kBulkSize / 1e6 / seconds(Clock::now() - start);
}

double serverBulkIn(const std::string& deviceData) {
    OvClient client;
    ovclient::HelloReply hello;
    ovclient::BindResult bound;
    if (!client.connectTo("127.0.0.1", uint16_t(serverPort)) || !client.hello("bench", "", &hello) ||
        !client.bind(kDeviceAddress, &bound) || bound.result != 1) {
        fprintf(stderr, "bulk IN: the device could not be bound\n");
        return 0;
    }
    return bulkInLoop(client, deviceData);
}

double plainBulkIn(const std::string& deviceData) {
    OvClient client;
    client.adopt(ovclient::connectTcp("127.0.0.1", uint16_t(replyPort), 5000));
    return bulkInLoop(client, deviceData);
}

// ---- the stall case ----

constexpr int kStallClients = 64;
constexpr size_t kStallFrameSize = 64 * 1024;
// Each stalled client sends at most this much: well below what a server
// may hold for one client before it drops it.
constexpr uint64_t kStallMaxBytes = 24ull << 20;
constexpr int kProbeRoundTrips = 3000;
constexpr double kProbeSeconds = 5.0;

// Tx and rx queue of every IPv4 TCP socket, by (local port, remote port),
// from /proc/net/tcp: what the kernel holds for each end.
struct SocketQueues {
    uint64_t tx = 0, rx = 0;
};
std::map<std::pair<int, int>, SocketQueues> tcpQueues() {
    std::map<std::pair<int, int>, SocketQueues> out;
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues;
        fields >> slot >> local >> remote >> state >> queues;
        const size_t l = local.find(':'), r = remote.find(':'), q = queues.find(':');
        if (l == std::string::npos || r == std::string::npos || q == std::string::npos) continue;
        SocketQueues sq;
        sq.tx = std::stoull(queues.substr(0, q), nullptr, 16);
        sq.rx = std::stoull(queues.substr(q + 1), nullptr, 16);
        out[{std::stoi(local.substr(l + 1), nullptr, 16), std::stoi(remote.substr(r + 1), nullptr, 16)}] = sq;
    }
    return out;
}

// A client that sends forwards to itself and never reads them.
struct StallClient {
    OvClient client;
    int port = 0;  // its local port
    uint64_t sent = 0;
    bool stalled = false;
};

// Bytes sent to the server that neither socket holds: the server has them
// and could not hand them to the kernel, so its transmit to the client is
// blocked. Also the server's own send queue, which must not move.
int64_t heldByServer(const StallClient& c, const std::map<std::pair<int, int>, SocketQueues>& queues,
                     uint64_t* serverTx) {
    auto client = queues.find({c.port, serverPort});
    auto server = queues.find({serverPort, c.port});
    if (client == queues.end() || server == queues.end()) return -1;
    *serverTx = server->second.tx;
    return int64_t(c.sent) - int64_t(client->second.rx + client->second.tx + server->second.rx + server->second.tx);
}

bool looksStalled(const StallClient& c) {
    uint64_t tx1 = 0, tx2 = 0;
    if (heldByServer(c, tcpQueues(), &tx1) < int64_t(kStallFrameSize) || tx1 == 0) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return heldByServer(c, tcpQueues(), &tx2) >= int64_t(kStallFrameSize) && tx2 == tx1;
}

// Connects, says hello and sends 64 KiB forwards to itself until the server
// holds replies for it that it cannot write.
void stallOne(StallClient* c) {
    ovclient::HelloReply hello;
    if (!c->client.connectTo("127.0.0.1", uint16_t(serverPort)) || !c->client.hello("stall", "", &hello)) return;
    // A send the server does not take ends the client's part, never the bench.
    timeval timeout{10, 0};
    setsockopt(c->client.fd(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_in local{};
    socklen_t length = sizeof local;
    getsockname(c->client.fd(), reinterpret_cast<sockaddr*>(&local), &length);
    c->port = ntohs(local.sin_port);
    Message m;
    m.type = kMsgForward;
    m.payload.assign(hello.uuid, hello.uuid + 16);
    std::vector<uint8_t> data = makePayload(kStallFrameSize - 16, false);
    m.payload.insert(m.payload.end(), data.begin(), data.end());
    const std::vector<uint8_t> frame = ovclient::encodeFrame(m, ovclient::Compression::Never);
    while (c->sent < kStallMaxBytes) {
        if (!c->client.sendRaw(frame.data(), frame.size())) break;
        c->sent += frame.size();
        if (c->sent >= (1u << 20) && looksStalled(*c)) {
            c->stalled = true;
            return;
        }
    }
    c->stalled = looksStalled(*c);
}

// Round-trip times (microseconds) of small requests on fd, until count or
// kProbeSeconds; *missed when a reply did not come within 10 s.
std::vector<double> probeRoundTrips(int fd, bool* missed) {
    Message m;
    m.type = kMsgType33Request;
    const std::vector<uint8_t> frame = ovclient::encodeFrame(m);
    std::vector<uint8_t> reply;
    std::vector<double> times;
    const auto end = Clock::now() + std::chrono::duration<double>(kProbeSeconds);
    *missed = false;
    while (int(times.size()) < kProbeRoundTrips && Clock::now() < end) {
        const auto start = Clock::now();
        if (!sendAll(fd, frame.data(), frame.size())) {
            *missed = true;
            break;
        }
        int type;
        do {
            type = readFrame(fd, reply, start + std::chrono::seconds(10));
        } while (type >= 0 && type != kMsgType33Reply);
        if (type < 0) {
            *missed = true;
            break;
        }
        times.push_back(1e6 * seconds(Clock::now() - start));
    }
    return times;
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct StallResult {
    double unloaded = 0, loaded = 0;  // median round trip, microseconds
    bool missed = false;              // a reply did not come while loaded
    int stalled = 0, connected = 0;
    uint64_t held = 0;  // bytes the server held for the stalled clients
};

// Closed by the server: FIN or reset seen, unread data or not.
bool droppedByServer(int fd) {
    pollfd p{fd, POLLRDHUP, 0};
    return fd < 0 || (poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0);
}

StallResult stallCase() {
    StallResult result;
    int fd = ovclient::connectTcp("127.0.0.1", uint16_t(serverPort), 5000);
    bool missed = false;
    // Alone: before the stall and after it, so that a change in the
    // machine's load while the case runs does not pass for its effect.
    std::vector<double> alone = probeRoundTrips(fd, &missed);

    std::vector<std::unique_ptr<StallClient>> stallers;
    std::vector<std::thread> threads;
    for (int i = 0; i < kStallClients; i++) {
        stallers.push_back(std::make_unique<StallClient>());
        threads.emplace_back(stallOne, stallers.back().get());
    }
    for (auto& t : threads) t.join();
    const auto queues = tcpQueues();
    for (const auto& c : stallers) {
        uint64_t tx = 0;
        result.stalled += c->stalled;
        const int64_t held = c->stalled ? heldByServer(*c, queues, &tx) : 0;
        result.held += held > 0 ? uint64_t(held) : 0;
    }
    result.loaded = median(probeRoundTrips(fd, &result.missed));
    for (const auto& c : stallers) result.connected += !droppedByServer(c->client.fd());
    stallers.clear();
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (connectionCount() > 1 && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::vector<double> after = probeRoundTrips(fd, &missed);
    alone.insert(alone.end(), after.begin(), after.end());
    result.unloaded = median(alone);
    close(fd);
    return result;
}

} // namespace

// With an argument, only the rows whose name contains it are measured.
int main(int argc, char** argv) {
    const std::string only = argc > 1 ? argv[1] : "";
    auto wanted = [&](const char* name) { return only.empty() || std::string(name).find(only) != std::string::npos; };
    // Random bytes, as a disk's would be to LZ4: the replies go out raw.
    const std::vector<uint8_t> random = makePayload(kBulkSize, false);
    const std::string deviceData(random.begin(), random.end());
    plainReplyFrame = bulkReplyFrame(deviceData);
    echoPort = startPlainServer(echoConnection);
    replyPort = startPlainServer(replyConnection);
    startServer(deviceData);
    struct Row {
        const char* what;
        const char* unit;
        double server, echo;
        double goal;  // least server / echo
    };
    std::vector<Row> rows;
    if (wanted("round trips, 1 connection"))
        rows.push_back({"round trips, 1 connection", "req/s", serverRoundTrips(1), echoRoundTrips(1), 0.83});
    if (wanted("round trips, 16 connections"))
        rows.push_back({"round trips, 16 connections", "req/s", serverRoundTrips(16), echoRoundTrips(16), 0.80});
    if (wanted("1 MiB frames, raw"))
        rows.push_back({"1 MiB frames, raw", "MB/s", serverThroughput(false), echoThroughput(false), 0.80});
    if (wanted("1 MiB frames, LZ4"))
        rows.push_back({"1 MiB frames, LZ4", "MB/s", serverThroughput(true), echoThroughput(true), 0.60});
    const char* bulkRow = "64 KiB bulk IN, simulated device, zero copy";
    double bulkSwitches = 0, plainBulkSwitches = 0;
    if (wanted(bulkRow)) {
        const double server = serverBulkIn(deviceData);
        bulkSwitches = lastSwitchesPerTransfer;
        const double plain = plainBulkIn(deviceData);
        plainBulkSwitches = lastSwitchesPerTransfer;
        rows.push_back({bulkRow, "MB/s", server, plain, 0.80});
    }
    const char* stallRow = "stall: small round trip while 64 clients do not read";
    const bool stall = wanted(stallRow);
    StallResult stalled;
    if (stall) stalled = stallCase();
    stopServer();

    if (!rows.empty()) {
        printf("| measurement | unit | ovusbd | plain TCP echo | ovusbd / echo | goal | met |\n");
        printf("|---|---|---:|---:|---:|---:|---|\n");
    }
    for (const Row& r : rows) {
        const double ratio = r.echo > 0 ? r.server / r.echo : 0.0;
        printf("| %s | %s | %.0f | %.0f | %.0f%% | %.0f%% | %s |\n", r.what, r.unit, r.server, r.echo, 100.0 * ratio,
               100.0 * r.goal, ratio >= r.goal ? "yes" : "no");
    }
    if (bulkSwitches > 0) {
        printf("\n64 KiB bulk IN: %.1f context switches per transfer (whole process), plain server %.1f\n",
               bulkSwitches, plainBulkSwitches);
    }
    if (stall) {
        const double ratio = stalled.unloaded > 0 ? stalled.loaded / stalled.unloaded : 0.0;
        const bool met = !stalled.missed && stalled.stalled == kStallClients && ratio <= 2.0;
        printf("%s| measurement | median alone (before and after) | median with the stall | with / alone | goal | met | stalled | "
               "still connected |\n",
               rows.empty() ? "" : "\n");
        printf("|---|---:|---:|---:|---:|---|---:|---:|\n");
        char loaded[64], times[32];
        snprintf(loaded, sizeof loaded, stalled.missed ? "a reply took over 10 s" : "%.1f us", stalled.loaded);
        snprintf(times, sizeof times, stalled.missed ? "-" : "%.2fx", ratio);
        printf("| %s | %.1f us | %s | %s | <= 2.0x | %s | %d of %d | %d of %d |\n", stallRow, stalled.unloaded, loaded,
               times, met ? "yes" : "no", stalled.stalled, kStallClients, stalled.connected, kStallClients);
        printf("\nstall: the server held %.1f MB of replies it could not write to the stalled clients\n",
               double(stalled.held) / 1e6);
    }
    if (rows.empty() || std::string(rows[0].what) != "round trips, 1 connection") {
        return 0;
    }
    const double rtt1 = rows[0].server > 0 ? 1e6 / rows[0].server : 0, echoRtt1 = rows[0].echo > 0 ? 1e6 / rows[0].echo : 0;
    printf("\nround-trip time, 1 connection: ovusbd %.1f us, echo %.1f us (+%.0f%%)\n", rtt1, echoRtt1,
           echoRtt1 > 0 ? 100.0 * (rtt1 - echoRtt1) / echoRtt1 : 0.0);
    return 0;
}
