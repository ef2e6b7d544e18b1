// Relay of a device data connection against a plain TCP echo, on loopback,
// in one run: the client sends stub messages, the data connection hands them
// to a stub device that gives each one straight back (a looped-back driver),
// and the pump returns it to the client. Round trips of small messages and
// throughput of 64 KiB messages, each beside the echo's for the same bytes.
// Twice: the data connection alone in this process, and the whole daemon
// (calvixd_sim in private namespaces, root only) with a looped-back
// simulated device, its echo then running in the daemon's network namespace.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "calvixd/net/dataconnection.h"
#include "calvixd/net/tcpsocket.h"
#include "tests/support/calvixwire.h"
#include "tests/support/ravelsimdaemon.h"

using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// Every message written comes back to be read.
class LoopStub : public CStubApi {
public:
    LoopStub() : CStubApi(1) {}
    ~LoopStub() override
    {
        free(m_read);
        free(m_write);
    }
    uint8_t* AllocReadBuffer(size_t size, size_t head, size_t) override
    {
        free(m_read);
        m_read = static_cast<uint8_t*>(calloc(1, size));
        m_readHead = head;
        m_readCapacity = size - head;
        return m_read;
    }
    uint8_t* AllocWriteBuffer(size_t size, size_t head, size_t) override
    {
        free(m_write);
        m_write = static_cast<uint8_t*>(calloc(1, size));
        m_writeHead = head;
        return m_write;
    }
    uint8_t* GetReadBuffer() override { return m_read; }
    uint8_t* GetWriteBuffer() override { return m_write; }
    int WaitReadable(CEvent* abort, int ms) override
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        auto deadline = Clock::now() + std::chrono::milliseconds(ms < 0 ? 500 : ms);
        while (m_queue.empty()) {
            if (abort && abort->IsSet())
                return SYNC_ABORTED;
            if (m_ready.wait_until(lock, std::min(deadline, Clock::now() + std::chrono::milliseconds(50))) ==
                    std::cv_status::timeout &&
                Clock::now() >= deadline)
                return m_queue.empty() ? SYNC_TIMEOUT : SYNC_OK;
        }
        return SYNC_OK;
    }
    int ReadMessage() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_queue.empty())
            return STUB_READ_NONE;
        std::vector<uint8_t>& m = m_queue.front();
        if (m.size() > m_readCapacity)
            return STUB_READ_FAILED;
        memcpy(m_read + m_readHead, m.data(), m.size());
        m_queue.pop_front();
        return STUB_READ_OK;
    }
    int WriteMessage() override
    {
        uint8_t* message = m_write + m_writeHead;
        uint32_t length;
        memcpy(&length, message + 8, 4);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.emplace_back(message, message + length);
        m_ready.notify_one();
        return STUB_WRITE_OK;
    }
    int FlushRequests() override { return 0; }
    bool SetFlags(uint32_t) override { return true; }
    bool SetResetMode(uint8_t) override { return true; }
    bool NeedsReset() override { return false; }
    bool ResetDevice() override { return true; }

private:
    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<std::vector<uint8_t>> m_queue;
    uint8_t* m_read = nullptr;
    uint8_t* m_write = nullptr;
    size_t m_readHead = 0, m_writeHead = 0, m_readCapacity = 0;
};

class Events : public CDataConnectionEvents {
public:
    void LogDebug(uint16_t, uint32_t, uint32_t) override {}
    CEventLog* GetEventLog() override { return nullptr; }
    void SetDeviceConfiguration(uint32_t, int) override {}
    void SetInactive(bool) override {}
};

// ---- plain TCP echo ----

void EchoServe(int fd)
{
    std::vector<char> buffer(1 << 20);
    for (;;) {
        ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0)
            break;
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

int Listen(uint16_t* port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd, 8);
    socklen_t length = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    *port = ntohs(a.sin_port);
    return fd;
}

std::vector<uint8_t> Message(uint32_t length)
{
    std::vector<uint8_t> m(length, 0x5A);
    uint32_t kind = 1;
    memcpy(&m[8], &length, 4);
    memcpy(&m[12], &kind, 4);
    memset(&m[16], 0, 4);
    return m;
}

struct Figures {
    double roundTripUs = 0;
    double megabytesPerSecond = 0;
};

// Round trips of one small record, then a stream of large ones with a
// reader thread; the same bytes for both paths.
Figures Measure(calvixwire::Connection* client, size_t smallSize, int trips, size_t largeSize, int count)
{
    Figures figures;
    std::vector<uint8_t> small = calvixwire::recordBytes({3, static_cast<uint32_t>(smallSize)});
    auto body = Message(static_cast<uint32_t>(smallSize));
    small.insert(small.end(), body.begin(), body.end());
    std::vector<uint8_t> reply(small.size());
    auto start = Clock::now();
    for (int i = 0; i < trips; ++i) {
        client->sendBytes(small);
        client->receiveBytes(reply.data(), reply.size());
    }
    figures.roundTripUs = Seconds(Clock::now() - start) * 1e6 / trips;

    std::vector<uint8_t> large = calvixwire::recordBytes({3, static_cast<uint32_t>(largeSize)});
    auto largeBody = Message(static_cast<uint32_t>(largeSize));
    large.insert(large.end(), largeBody.begin(), largeBody.end());
    std::thread reader([&] {
        std::vector<uint8_t> in(large.size());
        for (int i = 0; i < count; ++i)
            client->receiveBytes(in.data(), in.size());
    });
    start = Clock::now();
    for (int i = 0; i < count; ++i)
        client->sendBytes(large);
    reader.join();
    figures.megabytesPerSecond = double(largeSize) * count / Seconds(Clock::now() - start) / 1e6;
    return figures;
}

// The server's '6', then the client's side of the capability exchange.
bool Negotiate(calvixwire::Connection* client)
{
    return client->receive(1) == std::vector<uint8_t>{'6'} && client->negotiate(0x10);
}

constexpr size_t kSmall = 64;
constexpr int kTrips = 5000;
constexpr size_t kLarge = 64 * 1024;
constexpr int kCount = 4000;

void NoDelay(calvixwire::Connection* client)
{
    int one = 1;
    setsockopt(client->fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    client->setTimeoutMs(30000);
}

// The plain TCP echo in the calling thread's network namespace.
bool MeasureEcho(Figures* figures)
{
    uint16_t echoPort = 0;
    int echoListener = Listen(&echoPort);
    std::thread echo([&] {
        int fd = accept(echoListener, nullptr, nullptr);
        if (fd >= 0)
            EchoServe(fd);
    });
    calvixwire::Connection echoClient;
    bool connected = echoClient.connectTcp("127.0.0.1", echoPort);
    if (connected) {
        NoDelay(&echoClient);
        *figures = Measure(&echoClient, kSmall, kTrips, kLarge, kCount);
    }
    echoClient.close();
    shutdown(echoListener, SHUT_RDWR);
    echo.join();
    close(echoListener);
    return connected;
}

// The data connection alone, on a loopback TCP socket of its own.
bool MeasureInProcess(Figures* figures)
{
    uint16_t port = 0;
    int probe = Listen(&port);
    close(probe);
    CTcpSocket listener;
    if (listener.Listen("tcp4://127.0.0.1:" + std::to_string(port)) != SOCK_OK)
        return false;
    calvixwire::Connection client;
    if (!client.connectTcp("127.0.0.1", port))
        return false;
    NoDelay(&client);
    CSocket* accepted = nullptr;
    if (listener.Accept(&accepted, nullptr) != SOCK_OK)
        return false;
    static_cast<CSocketBase*>(accepted)->SetNoDelay();
    LoopStub stub;
    Events events;
    DataConnectionParams params;
    CDataConnection connection(&stub, &events, params);
    CDataConnectionGate gate;
    gate.Begin();
    uint32_t code = 0;
    std::thread runner([&] { connection.Run(accepted, gate.GetStopEvent(), &code); });
    bool negotiated = Negotiate(&client);
    if (negotiated)
        *figures = Measure(&client, kSmall, kTrips, kLarge, kCount);
    client.close();
    runner.join();
    delete accepted;
    return negotiated;
}

// The whole daemon: a session for the device id, then a data connection
// to a simulated device that loops every message back.
bool MeasureDaemon(Figures* relay, Figures* plain, std::string* error)
{
    ravelsim::SimDaemon daemon;
    if (!daemon.Start(CALVIXD_SIM_BIN, "[Local USB server section]\ntcpport=32032\nstartup=autosharing\n", error))
        return false;
    if (daemon.Driver("plug 1-1 serial=BENCH") != "ok" || daemon.Driver("knob echo 1") != "ok") {
        *error = "the simulated driver does not answer";
        return false;
    }
    auto deadline = Clock::now() + std::chrono::seconds(15);
    while (daemon.Driver("stub 1-1") == "ok -1" && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    calvixwire::Connection session, data;
    bool ok = false;
    daemon.InNetwork([&] {
        ok = MeasureEcho(plain) && session.connectTcp("127.0.0.1", 32032) && data.connectTcp("127.0.0.1", 32032);
    });
    if (!ok) {
        *error = "no connection to the daemon";
        return false;
    }
    NoDelay(&data);
    std::vector<uint8_t> serverId;
    uint32_t sessionId = 0, deviceId = 0;
    if (!session.handshake('E', calvixwire::kServerVersion, 0x07) || !session.readGreetingStart(&serverId, &sessionId)) {
        *error = "no session greeting";
        return false;
    }
    for (;;) {
        calvixwire::Record record;
        if (!session.readRecord(&record)) {
            *error = "the device is not offered";
            return false;
        }
        if (record.type == 1 || record.type == 2) {
            calvixwire::DeviceRecord d = calvixwire::parseDeviceRecord(record);
            if (d.stateOrEvent == 3) {
                deviceId = d.deviceId;
                break;
            }
        }
    }
    uint32_t refusal = 0;
    if (!data.handshake('C', calvixwire::kServerVersion, 0x07) ||
        !data.openData(deviceId, sessionId, 0x07, &refusal) || refusal != 0) {
        *error = "the data connection was refused";
        return false;
    }
    *relay = Measure(&data, kSmall, kTrips, kLarge, kCount);
    return true;
}

void PrintTable(const char* title, const Figures& relay, const Figures& plain)
{
    printf("%s\n", title);
    printf("%-34s %12s %12s %8s\n", "figure", "relay", "tcp echo", "ratio");
    printf("%-34s %12.1f %12.1f %7.0f%%\n", "round trip, 64-byte message (us)", relay.roundTripUs, plain.roundTripUs,
           100.0 * relay.roundTripUs / plain.roundTripUs);
    printf("%-34s %12.0f %12.0f %7.0f%%\n", "throughput, 64 KiB messages (MB/s)", relay.megabytesPerSecond,
           plain.megabytesPerSecond, 100.0 * relay.megabytesPerSecond / plain.megabytesPerSecond);
}

} // namespace

int main()
{
    Figures plain, relay;
    if (!MeasureEcho(&plain) || !MeasureInProcess(&relay))
        return 1;
    PrintTable("data connection in this process", relay, plain);

    if (geteuid() != 0) {
        printf("\nthrough calvixd_sim: skipped (needs root for its namespaces)\n");
        return 0;
    }
    std::string error;
    if (!MeasureDaemon(&relay, &plain, &error)) {
        fprintf(stderr, "through calvixd_sim: %s\n", error.c_str());
        return 1;
    }
    printf("\n");
    PrintTable("through calvixd_sim (TCP over IPv4 loopback, looped-back simulated device)", relay, plain);
    return 0;
}
