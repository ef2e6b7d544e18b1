// Protocol layer against a plain TCP echo, on loopback, in one run:
//  - round trips per second of a small request/reply on 1 and 16 connections
//  - frame throughput (MB/s of payload) of large raw and compressed frames
// Each figure is printed beside the echo's for equal sizes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
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
#include "ovusbd/core/transport.h"
#include "tests/support/ovclient.h"

using Clock = std::chrono::steady_clock;
using ovclient::Message;
using ovclient::OvClient;

namespace {

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// ---- plain TCP echo ----

int echoListener = -1;
int echoPort = 0;
std::atomic<bool> echoStop{false};

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

void startEcho() {
    echoListener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(echoListener, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(echoListener, 32);
    socklen_t l = sizeof a;
    getsockname(echoListener, reinterpret_cast<sockaddr*>(&a), &l);
    echoPort = ntohs(a.sin_port);
    std::thread([] {
        for (;;) {
            int fd = accept(echoListener, nullptr, nullptr);
            if (fd < 0) {
                return;
            }
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            std::thread(echoConnection, fd).detach();
        }
    }).detach();
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

// ---- the server ----

int serverPort = 0;
std::string workDir;
CoreSettings serverSettings;

void startServer() {
    char dir[] = "/tmp/ovusbd-bench.XXXXXX";
    workDir = mkdtemp(dir);
    std::ofstream(workDir + "/config.ini") << "TCPPort=0\nNetworkInterface=127.0.0.1\nPingTimeout=60\n";
    setLogFile(fopen((workDir + "/log.txt").c_str(), "a"));
    loadConfig((workDir + "/config.ini").c_str(), true);
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
    destroyConnectionList();
    stopBindQueue();
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

} // namespace

// With an argument, only the rows whose name contains it are measured.
int main(int argc, char** argv) {
    const std::string only = argc > 1 ? argv[1] : "";
    auto wanted = [&](const char* name) { return only.empty() || std::string(name).find(only) != std::string::npos; };
    startEcho();
    startServer();
    struct Row {
        const char* what;
        const char* unit;
        double server, echo;
        bool higherIsBetter;
    };
    std::vector<Row> rows;
    if (wanted("round trips, 1 connection"))
        rows.push_back({"round trips, 1 connection", "req/s", serverRoundTrips(1), echoRoundTrips(1), true});
    if (wanted("round trips, 16 connections"))
        rows.push_back({"round trips, 16 connections", "req/s", serverRoundTrips(16), echoRoundTrips(16), true});
    if (wanted("1 MiB frames, raw"))
        rows.push_back({"1 MiB frames, raw", "MB/s", serverThroughput(false), echoThroughput(false), true});
    if (wanted("1 MiB frames, LZ4"))
        rows.push_back({"1 MiB frames, LZ4", "MB/s", serverThroughput(true), echoThroughput(true), true});
    stopServer();

    printf("| measurement | unit | ovusbd | plain TCP echo | ovusbd / echo |\n");
    printf("|---|---|---:|---:|---:|\n");
    for (const Row& r : rows) {
        printf("| %s | %s | %.0f | %.0f | %.0f%% |\n", r.what, r.unit, r.server, r.echo,
               r.echo > 0 ? 100.0 * r.server / r.echo : 0.0);
    }
    if (rows.empty() || std::string(rows[0].what) != "round trips, 1 connection") {
        return 0;
    }
    const double rtt1 = rows[0].server > 0 ? 1e6 / rows[0].server : 0, echoRtt1 = rows[0].echo > 0 ? 1e6 / rows[0].echo : 0;
    printf("\nround-trip time, 1 connection: ovusbd %.1f us, echo %.1f us (+%.0f%%)\n", rtt1, echoRtt1,
           echoRtt1 > 0 ? 100.0 * (rtt1 - echoRtt1) / echoRtt1 : 0.0);
    return 0;
}
