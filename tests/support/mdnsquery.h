// A small multicast DNS query client for the tests, written from RFC 1035
// (message format, name compression) and RFC 6762 (port 5353, group
// 224.0.0.251, goodbyes with TTL 0), independent of the server's responder.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace mdnsquery {

constexpr uint16_t kTypeA = 1, kTypePtr = 12, kTypeTxt = 16, kTypeSrv = 33;

struct Record {
    std::string name;              // dotted, without the final dot
    uint16_t type = 0;
    uint32_t ttl = 0;
    std::string target;            // PTR and SRV
    uint16_t port = 0;             // SRV
    std::vector<std::string> txt;  // TXT strings
    std::string address;           // A, dotted quad
};

// Answers, authority and additional records of one response. False for a
// malformed message or a query.
bool parseResponse(const uint8_t* bytes, size_t length, std::vector<Record>* out);
// One question, class IN, id 0.
std::vector<uint8_t> buildQuery(const std::string& name, uint16_t type);

// Opens the shared mDNS socket: port 5353 with SO_REUSEADDR, joined to
// 224.0.0.251 on the interface holding interfaceAddress, which also sends.
// Call on a thread inside the namespace that should own the socket. -1 on
// failure.
int openSocket(const std::string& interfaceAddress);

class Querier {
public:
    explicit Querier(int fd) : fd_(fd) {}
    ~Querier();
    Querier(const Querier&) = delete;
    Querier& operator=(const Querier&) = delete;

    bool query(const std::string& name, uint16_t type);
    // Collects responses until done(records seen so far) holds or timeoutMs
    // pass; asks (name, type) again every second while waiting.
    bool waitFor(const std::function<bool(const std::vector<Record>&)>& done, int timeoutMs,
                 const std::string& name = "", uint16_t type = 0);
    const std::vector<Record>& records() const { return records_; }
    void clear() { records_.clear(); }

private:
    void receiveFor(int timeoutMs);
    int fd_;
    std::vector<Record> records_;
};

// First record of the type whose name is name (case-insensitive).
const Record* find(const std::vector<Record>& records, const std::string& name, uint16_t type);

} // namespace mdnsquery
