#include "tests/support/calvixwire.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <mbedtls/arc4.h>
#include <mbedtls/md5.h>

namespace calvixwire {

namespace {

uint32_t get32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

uint16_t get16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

void put32(std::vector<uint8_t> *out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void put16(std::vector<uint8_t> *out, uint16_t v) {
    out->push_back(static_cast<uint8_t>(v));
    out->push_back(static_cast<uint8_t>(v >> 8));
}

} // namespace

uint32_t Record::word(size_t offset) const { return offset + 4 <= bytes.size() ? get32(bytes.data() + offset) : 0; }

Connection::~Connection() { close(); }

Connection::Connection(Connection &&other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

void Connection::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void Connection::adopt(int fd) {
    close();
    fd_ = fd;
    setTimeoutMs(5000);
}

void Connection::setTimeoutMs(int ms) {
    timeval tv = {ms / 1000, (ms % 1000) * 1000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool Connection::connectTcp(const std::string &host, uint16_t port, const std::string &from) {
    close();
    sockaddr_storage address = {};
    socklen_t length;
    bool v6 = host.find(':') != std::string::npos;
    if (v6) {
        auto *a = reinterpret_cast<sockaddr_in6 *>(&address);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(port);
        if (inet_pton(AF_INET6, host.c_str(), &a->sin6_addr) != 1) return false;
        length = sizeof *a;
    } else {
        auto *a = reinterpret_cast<sockaddr_in *>(&address);
        a->sin_family = AF_INET;
        a->sin_port = htons(port);
        if (inet_pton(AF_INET, host.c_str(), &a->sin_addr) != 1) return false;
        length = sizeof *a;
    }
    fd_ = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    if (!from.empty()) {
        sockaddr_in local = {};
        local.sin_family = AF_INET;
        if (inet_pton(AF_INET, from.c_str(), &local.sin_addr) != 1 ||
            bind(fd_, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
            close();
            return false;
        }
    }
    if (connect(fd_, reinterpret_cast<sockaddr *>(&address), length) != 0) {
        close();
        return false;
    }
    setTimeoutMs(5000);
    return true;
}

bool Connection::connectPipe(const std::string &name) {
    close();
    sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (name.size() + 1 > sizeof address.sun_path) return false;
    memcpy(address.sun_path + 1, name.data(), name.size());
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    if (connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close();
        return false;
    }
    setTimeoutMs(5000);
    return true;
}

bool Connection::sendBytes(const void *data, size_t size) {
    const uint8_t *p = static_cast<const uint8_t *>(data);
    while (size > 0) {
        ssize_t n = send(fd_, p, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool Connection::receiveBytes(void *data, size_t size) {
    uint8_t *p = static_cast<uint8_t *>(data);
    while (size > 0) {
        ssize_t n = recv(fd_, p, size, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

std::vector<uint8_t> Connection::receive(size_t size) {
    std::vector<uint8_t> bytes(size);
    if (!receiveBytes(bytes.data(), size)) bytes.clear();
    return bytes;
}

bool Connection::waitClosed() {
    uint8_t byte;
    for (;;) {
        ssize_t n = recv(fd_, &byte, 1, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) return true;
        if (n < 0) return errno == ECONNRESET;
        return false; // a byte came
    }
}

size_t Connection::available() {
    int count = 0;
    if (ioctl(fd_, FIONREAD, &count) != 0) return 0;
    return static_cast<size_t>(count);
}

bool Connection::handshake(uint8_t request, uint32_t version, uint8_t platform, uint8_t *accept,
                           std::vector<uint8_t> *serverReply) {
    uint8_t first = 0;
    if (!receiveBytes(&first, 1)) return false;
    if (accept) *accept = first;
    if (first != 0x10) return false;
    std::vector<uint8_t> hello = {'K', 'Q', 'W', 'B'};
    put32(&hello, version);
    hello.push_back(platform);
    if (!sendBytes(hello)) return false;
    std::vector<uint8_t> reply = receive(6);
    if (serverReply) *serverReply = reply;
    if (reply.size() != 6) return false;
    return sendBytes(&request, 1);
}

bool Connection::answerHandshake(uint8_t platform, uint8_t *request, uint32_t version) {
    uint8_t accept = 0x10;
    if (!sendBytes(&accept, 1)) return false;
    std::vector<uint8_t> hello = receive(9);
    if (hello.size() != 9 || memcmp(hello.data(), "KQWB", 4) != 0) return false;
    std::vector<uint8_t> reply = {0x20, platform};
    put32(&reply, version);
    return sendBytes(reply) && receiveBytes(request, 1);
}

bool Connection::openData(uint32_t deviceId, uint32_t sessionId, uint8_t platform, uint32_t *refusal) {
    std::vector<uint8_t> echo;
    if (!sendBytes(connectRecord(deviceId, sessionId, platform, &echo)) || receive(16) != echo) return false;
    if (!sendBytes("7", 1)) return false;
    uint8_t answer = 0;
    if (!receiveBytes(&answer, 1)) return false;
    if (answer == '3') {
        std::vector<uint8_t> code = receive(4);
        if (code.size() != 4) return false;
        *refusal = get32(code.data());
        return true;
    }
    *refusal = 0;
    return answer == '6' && negotiate(0x10);
}

bool Connection::sendDesktopPrefix(const std::string &name, uint32_t declaredLength) {
    std::vector<uint8_t> bytes = {'K', 'Q', 'W', 'A'};
    put32(&bytes, declaredLength);
    bytes.insert(bytes.end(), name.begin(), name.end());
    return sendBytes(bytes);
}

bool Connection::readRecord(Record *record) {
    uint8_t header[8];
    if (!receiveBytes(header, 8)) return false;
    record->type = get32(header);
    record->length = get32(header + 4);
    if (record->length < 8 || record->length > (1u << 20)) return false;
    record->bytes.assign(header, header + 8);
    record->bytes.resize(record->length);
    return receiveBytes(record->bytes.data() + 8, record->length - 8);
}

bool Connection::readGreetingStart(std::vector<uint8_t> *serverId, uint32_t *connectionId) {
    uint8_t zero = 0;
    if (!receiveBytes(&zero, 1) || zero != '0') return false;
    *serverId = receive(16);
    if (serverId->size() != 16) return false;
    Record record;
    if (!readRecord(&record) || record.type != 7 || record.length != 12) return false;
    *connectionId = record.word(8);
    return true;
}

bool Connection::negotiate(uint32_t capabilities) {
    // Requested capabilities; '4' and the server's first answer; '4' and
    // ours again; the server's proposal; our final word.
    std::vector<uint8_t> round = {'4'};
    std::vector<uint8_t> words = recordBytes({capabilities});
    round.insert(round.end(), words.begin(), words.end());
    // The server's first answer is always 0x10.
    std::vector<uint8_t> first;
    if (!sendBytes(words) || (first = receive(5)).size() != 5 || first[0] != '4' || get32(&first[1]) != 0x10 ||
        !sendBytes(round) || receive(4).size() != 4 || !sendBytes(words))
        return false;
    std::vector<uint8_t> head = receive(9);
    if (head.size() != 9 || head[0] != '2') return false;
    size_t blocks = size_t(get32(&head[1])) + get32(&head[5]);
    return receive(blocks).size() == blocks;
}

std::vector<uint8_t> recordBytes(std::initializer_list<uint32_t> words) {
    std::vector<uint8_t> out;
    for (uint32_t w : words) put32(&out, w);
    return out;
}

std::vector<uint8_t> connectRecord(uint32_t deviceId, uint32_t connectionId, uint8_t platform,
                                   std::vector<uint8_t> *echo) {
    // The key: 128 bytes of the linear congruential generator seeded with
    // the platform byte (state = state * 1664525 + 1013904223, bits 16 to 23).
    uint8_t key[128];
    uint32_t state = platform;
    for (uint8_t &byte : key) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(state >> 16);
    }
    // The server's view after its RC4 pass: any bytes will do.
    uint8_t clear[84];
    for (int i = 0; i < 84; ++i) clear[i] = static_cast<uint8_t>(i * 7 + 3);
    uint8_t digest[16];
    mbedtls_md5_ret(clear, sizeof clear, digest);
    echo->resize(16);
    for (int i = 0; i < 16; ++i) (*echo)[i] = clear[i] ^ digest[i] ^ clear[83 - i];
    uint8_t scrambled[84];
    mbedtls_arc4_context rc4;
    mbedtls_arc4_init(&rc4);
    mbedtls_arc4_setup(&rc4, key, sizeof key);
    mbedtls_arc4_crypt(&rc4, sizeof clear, clear, scrambled);
    mbedtls_arc4_free(&rc4);
    std::vector<uint8_t> record = recordBytes({deviceId, connectionId});
    record.insert(record.end(), scrambled, scrambled + sizeof scrambled);
    return record;
}

DeviceRecord parseDeviceRecord(const Record &record) {
    DeviceRecord d;
    const std::vector<uint8_t> &b = record.bytes;
    if (b.size() < 56) return d;
    const uint8_t *p = b.data();
    d.type = get32(p);
    d.length = get32(p + 4);
    d.vendorId = get16(p + 8);
    d.productId = get16(p + 10);
    d.bcdDevice = get16(p + 12);
    d.deviceClass = p[14];
    d.subClass = p[15];
    d.protocol = p[16];
    d.speed = p[17];
    d.stateOrEvent = p[18];
    d.deviceId = get32(p + 20);
    d.clientV4 = get32(p + 24);
    d.flags = get32(p + 28);
    d.usbVersion = get16(p + 32);
    size_t at = 56;
    for (int i = 0; i < 5; ++i) {
        uint32_t n = get32(p + 36 + 4 * i);
        if (at + n > b.size()) return d;
        d.strings[i].assign(reinterpret_cast<const char *>(p + at), n);
        at += n;
    }
    if (d.clientV4 == 0xFFFFFFFF && at + 16 <= b.size()) d.clientV6.assign(p + at, p + at + 16);
    return d;
}

std::vector<uint8_t> buildDeviceRecord(const DeviceRecord &d) {
    std::vector<uint8_t> out;
    size_t total = 56 + d.clientV6.size();
    for (const auto &s : d.strings) total += s.size();
    put32(&out, d.type);
    put32(&out, static_cast<uint32_t>(total));
    put16(&out, d.vendorId);
    put16(&out, d.productId);
    put16(&out, d.bcdDevice);
    out.push_back(d.deviceClass);
    out.push_back(d.subClass);
    out.push_back(d.protocol);
    out.push_back(d.speed);
    out.push_back(d.stateOrEvent);
    out.push_back(0);
    put32(&out, d.deviceId);
    put32(&out, d.clientV4);
    put32(&out, d.flags);
    put16(&out, d.usbVersion);
    put16(&out, 0);
    for (const auto &s : d.strings) put32(&out, static_cast<uint32_t>(s.size()));
    for (const auto &s : d.strings) out.insert(out.end(), s.begin(), s.end());
    out.insert(out.end(), d.clientV6.begin(), d.clientV6.end());
    return out;
}

} // namespace calvixwire
