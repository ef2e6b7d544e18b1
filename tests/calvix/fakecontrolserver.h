// A fake of calvixd's control socket, written from the control
// interface's byte layouts: the abstract stream socket "calvixd.pipe", the
// "NSFI" handshake, one request per connection, status words, error records
// and the snapshot lists. It keeps a small model of the daemon's state that
// tests fill and inspect, logs the bytes of every request, and lets a test
// change the model between two requests (as a second client would).
//
// Abstract names are per network namespace: tests enter a private one
// (EnterPrivateNamespaces) before the server starts.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace fakecalvixd {

// Private network and IPC namespaces for the whole test process; call before
// any thread starts (threads made later inherit them).
bool EnterPrivateNamespaces();

struct ErrorRecord {
    uint16_t module = 0;
    uint16_t line = 0;
    uint32_t error = 0;
};

// Address on the wire: 0, 4 or 16 bytes in network order.
using WireAddress = std::vector<uint8_t>;
WireAddress Ipv4(const char* text);
WireAddress Ipv6(const char* text);

struct Connection {
    uint32_t id = 0;
    uint32_t state = 0;
    ErrorRecord error;
    uint32_t platform = 0;
    std::string name;
    WireAddress address;
    uint16_t port = 0;
    WireAddress secondAddress;
    uint32_t flags = 0;
    uint32_t extra = 0xFFFFFFFF;
};

struct Device {
    uint32_t id = 0;
    uint32_t owner = 0;
    uint32_t state = 0;
    ErrorRecord error;
    uint32_t flags = 0;
    WireAddress clientAddress;
    uint32_t timeout = 0;
    uint8_t speed = 2;
    uint8_t resetMethod = 0;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t bcdDevice = 0x0100;
    uint8_t deviceClass = 0;
    uint8_t deviceSubclass = 0;
    uint8_t deviceProtocol = 0;
    std::string product;
    std::string nickname;
    std::string identity;
    std::string serial;
    std::string busId;
};

struct Usage {
    uint32_t deviceId = 0;
    WireAddress address;
    std::string clientName;
};

struct PolicyRule {
    uint32_t flags = 0;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint8_t deviceClass = 0;
    uint8_t deviceSubclass = 0;
    uint8_t deviceProtocol = 0;
    std::string port;
    std::string serial;
    std::string name;
    bool operator==(const PolicyRule&) const = default;
};

struct RuleList {
    uint8_t mode = 0;
    std::vector<std::string> rules;
};

// The daemon's state as the fake shows it. Guarded by Server::Lock.
struct Model {
    uint32_t version = 0x3A000;
    uint32_t startupState = 100;
    uint32_t grantedFlags = 0;
    std::vector<Connection> connections;
    std::vector<Device> devices;
    std::vector<Usage> usages;
    RuleList ipFilters;
    std::map<uint32_t, RuleList> acls;
    uint8_t policyMode = 0;
    std::vector<PolicyRule> policy;
    std::map<uint32_t, std::string> instanceIds;
    std::map<uint32_t, std::vector<uint8_t>> deviceData;
    std::set<int> queues;
    uint16_t tcpPort = 32032;
    uint32_t nextCallbackId = 0xC0000001;
    // Requests answered with status 0 and this record.
    std::map<uint32_t, ErrorRecord> failures;
    // Requests whose connection is closed right after the code was read.
    std::set<uint32_t> closeAfterCode;
    // Raw snapshot reply bytes to send instead of the model's (after the
    // status word), when not empty.
    std::vector<uint8_t> snapshotOverride;

    Device* FindDevice(uint32_t id);
    Connection* FindConnection(uint32_t id);
};

// One request as it arrived: the bytes after the handshake.
struct Request {
    uint32_t code = 0;
    std::vector<uint8_t> bytes;  // code and arguments
};

class Server {
public:
    Server();
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    bool Start();
    void Stop();

    // Runs f on the model under the server's lock.
    template <typename F>
    auto With(F f)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return f(m_model);
    }
    std::vector<Request> Requests();
    std::vector<uint32_t> Codes();
    void ClearRequests();
    // Called with the model locked after each request was answered.
    void SetAfterRequest(std::function<void(const Request&, Model&)> hook);
    // Sends an empty notification of type 1 to every registered queue.
    int Notify();
    // While set, snapshot replies wait (after the request was logged), as a
    // daemon that does not answer, until the client closes the connection.
    std::atomic<bool> stallSnapshots{false};
    // With stallSnapshots: the status word is sent first, then the wait.
    std::atomic<bool> stallAfterStatus{false};

private:
    void AcceptLoop();
    void Serve(int fd);

    int m_listen = -1;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    std::mutex m_mutex;
    Model m_model;
    std::vector<Request> m_requests;
    std::function<void(const Request&, Model&)> m_after;
};

// Bytes of the snapshot reply (after the status word) for a model; tests
// use it to build replies that break a bound.
std::vector<uint8_t> SnapshotBytes(const Model& model);

// Little-endian writers for hand-made replies.
void PutU8(std::vector<uint8_t>& out, uint8_t value);
void PutU16(std::vector<uint8_t>& out, uint16_t value);
void PutU32(std::vector<uint8_t>& out, uint32_t value);
void PutText(std::vector<uint8_t>& out, const std::string& text);
void PutAddress(std::vector<uint8_t>& out, const WireAddress& address);

} // namespace fakecalvixd
