#include "tests/support/mdnsquery.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace mdnsquery {

namespace {

uint16_t be16(const uint8_t* p) {
    return uint16_t(p[0] << 8 | p[1]);
}
uint32_t be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// Reads a possibly compressed name at *offset; moves *offset past it.
bool readName(const uint8_t* bytes, size_t length, size_t* offset, std::string* out) {
    out->clear();
    size_t at = *offset;
    bool jumped = false;
    int jumps = 0;
    while (true) {
        if (at >= length) return false;
        const uint8_t label = bytes[at];
        if ((label & 0xC0) == 0xC0) {
            if (at + 1 >= length || ++jumps > 32) return false;
            if (!jumped) *offset = at + 2;
            jumped = true;
            at = size_t(label & 0x3F) << 8 | bytes[at + 1];
            continue;
        }
        if (label & 0xC0) return false;
        if (label == 0) {
            if (!jumped) *offset = at + 1;
            return true;
        }
        if (at + 1 + label > length) return false;
        if (!out->empty()) *out += '.';
        out->append(reinterpret_cast<const char*>(bytes + at + 1), label);
        at += 1 + size_t(label);
    }
}

} // namespace

bool parseResponse(const uint8_t* bytes, size_t length, std::vector<Record>* out) {
    if (length < 12) return false;
    const uint16_t flags = be16(bytes + 2);
    if ((flags & 0x8000) == 0) return false;  // a query
    const unsigned questions = be16(bytes + 4);
    const unsigned records = unsigned(be16(bytes + 6)) + be16(bytes + 8) + be16(bytes + 10);
    size_t at = 12;
    std::string name;
    for (unsigned i = 0; i < questions; i++) {
        if (!readName(bytes, length, &at, &name) || at + 4 > length) return false;
        at += 4;
    }
    for (unsigned i = 0; i < records; i++) {
        Record r;
        if (!readName(bytes, length, &at, &r.name) || at + 10 > length) return false;
        r.type = be16(bytes + at);
        r.ttl = be32(bytes + at + 4);
        const size_t dataLength = be16(bytes + at + 8);
        at += 10;
        if (at + dataLength > length) return false;
        const size_t end = at + dataLength;
        size_t p = at;
        switch (r.type) {
        case kTypePtr:
            if (!readName(bytes, length, &p, &r.target)) return false;
            break;
        case kTypeSrv:
            if (dataLength < 7) return false;
            r.port = be16(bytes + at + 4);
            p = at + 6;
            if (!readName(bytes, length, &p, &r.target)) return false;
            break;
        case kTypeTxt:
            while (p < end) {
                const size_t n = bytes[p];
                if (p + 1 + n > end) return false;
                r.txt.emplace_back(reinterpret_cast<const char*>(bytes + p + 1), n);
                p += 1 + n;
            }
            break;
        case kTypeA:
            if (dataLength != 4) return false;
            r.address = std::to_string(bytes[at]) + "." + std::to_string(bytes[at + 1]) + "." +
                        std::to_string(bytes[at + 2]) + "." + std::to_string(bytes[at + 3]);
            break;
        default:
            break;
        }
        at = end;
        out->push_back(std::move(r));
    }
    return true;
}

std::vector<uint8_t> buildQuery(const std::string& name, uint16_t type) {
    std::vector<uint8_t> q = {0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0};
    size_t start = 0;
    while (start <= name.size()) {
        size_t dot = name.find('.', start);
        if (dot == std::string::npos) dot = name.size();
        if (dot > start) {
            q.push_back(uint8_t(dot - start));
            q.insert(q.end(), name.begin() + long(start), name.begin() + long(dot));
        }
        start = dot + 1;
    }
    q.push_back(0);
    q.push_back(uint8_t(type >> 8));
    q.push_back(uint8_t(type));
    q.push_back(0);
    q.push_back(1);
    return q;
}

int openSocket(const std::string& interfaceAddress) {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(5353);
    in_addr iface{};
    ip_mreq group{};
    if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        inet_pton(AF_INET, interfaceAddress.c_str(), &iface) != 1) {
        const int error = errno;
        close(s);
        errno = error;
        return -1;
    }
    inet_pton(AF_INET, "224.0.0.251", &group.imr_multiaddr);
    group.imr_interface = iface;
    unsigned char ttl = 255;
    if (setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, &group, sizeof group) != 0 ||
        setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof iface) != 0 ||
        setsockopt(s, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0) {
        const int error = errno;
        close(s);
        errno = error;
        return -1;
    }
    return s;
}

Querier::~Querier() {
    if (fd_ >= 0) close(fd_);
}

bool Querier::query(const std::string& name, uint16_t type) {
    const std::vector<uint8_t> q = buildQuery(name, type);
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(5353);
    inet_pton(AF_INET, "224.0.0.251", &group.sin_addr);
    return sendto(fd_, q.data(), q.size(), 0, reinterpret_cast<sockaddr*>(&group), sizeof group) ==
           ssize_t(q.size());
}

void Querier::receiveFor(int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    uint8_t buffer[9000];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return;
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, int(left)) != 1) return;
        const ssize_t n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) parseResponse(buffer, size_t(n), &records_);
    }
}

bool Querier::waitFor(const std::function<bool(const std::vector<Record>&)>& done, int timeoutMs,
                      const std::string& name, uint16_t type) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done(records_)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        if (!name.empty()) query(name, type);
        receiveFor(int(left < 1000 ? left : 1000));
    }
    return true;
}

const Record* find(const std::vector<Record>& records, const std::string& name, uint16_t type) {
    for (const Record& r : records) {
        if (r.type == type && strcasecmp(r.name.c_str(), name.c_str()) == 0) return &r;
    }
    return nullptr;
}

} // namespace mdnsquery
