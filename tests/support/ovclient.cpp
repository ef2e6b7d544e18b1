#include "tests/support/ovclient.h"

#include <lz4.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace ovclient {

uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint16_t le16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}

void putLe32(std::vector<uint8_t>& out, size_t offset, uint32_t value) {
    if (out.size() < offset + 4) {
        out.resize(offset + 4);
    }
    for (int i = 0; i < 4; i++) {
        out[offset + i] = uint8_t(value >> (8 * i));
    }
}

std::string fixedText(const uint8_t* p, size_t width) {
    size_t n = 0;
    while (n < width && p[n] != 0) {
        n++;
    }
    return std::string(reinterpret_cast<const char*>(p), n);
}

namespace {

void appendLe32(std::vector<uint8_t>& out, uint32_t value) {
    for (int i = 0; i < 4; i++) {
        out.push_back(uint8_t(value >> (8 * i)));
    }
}

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

std::vector<uint8_t> encodeFrame(const Message& message, Compression mode, uint32_t limit) {
    std::vector<uint8_t> body;
    body.reserve(kHeaderSize + message.payload.size());
    body.push_back(message.type);
    body.insert(body.end(), message.reserved, message.reserved + 4);
    for (uint32_t word : message.context) {
        appendLe32(body, word);
    }
    appendLe32(body, message.deviceAddress);
    appendLe32(body, uint32_t(message.payload.size()));
    body.insert(body.end(), message.payload.begin(), message.payload.end());

    std::vector<uint8_t> frame;
    const uint32_t L = uint32_t(body.size());
    bool compress = mode == Compression::Always || (mode == Compression::Auto && L > limit);
    if (compress) {
        std::vector<char> block(LZ4_compressBound(int(L)));
        int c = LZ4_compress_default(reinterpret_cast<const char*>(body.data()), block.data(), int(L),
                                     int(block.size()));
        if (c > 0 && (mode == Compression::Always || uint32_t(c) <= L)) {
            appendLe32(frame, uint32_t(c));
            appendLe32(frame, L);
            frame.insert(frame.end(), block.begin(), block.begin() + c);
            return frame;
        }
    }
    appendLe32(frame, 0);
    appendLe32(frame, L);
    frame.insert(frame.end(), body.begin(), body.end());
    return frame;
}

long decodeFrame(const uint8_t* bytes, size_t length, Message* out) {
    if (length < kPrefixSize) {
        return 0;
    }
    const uint32_t C = le32(bytes), L = le32(bytes + 4);
    if (C > kMaxLength || L > kMaxLength || L < kHeaderSize) {
        return -1;
    }
    const size_t n = C != 0 ? C : L;
    if (length - kPrefixSize < n) {
        return 0;
    }
    std::vector<uint8_t> inflated;
    const uint8_t* body = bytes + kPrefixSize;
    if (C != 0) {
        inflated.resize(L);
        int got = LZ4_decompress_safe(reinterpret_cast<const char*>(bytes + kPrefixSize),
                                      reinterpret_cast<char*>(inflated.data()), int(C), int(L));
        if (got != int(L)) {
            return -1;
        }
        body = inflated.data();
    }
    const uint32_t P = le32(body + 29);
    if (P != L - kHeaderSize) {
        return -1;
    }
    out->type = body[0];
    memcpy(out->reserved, body + 1, 4);
    for (int i = 0; i < 5; i++) {
        out->context[i] = le32(body + 5 + 4 * i);
    }
    out->deviceAddress = le32(body + 25);
    out->payload.assign(body + kHeaderSize, body + L);
    out->wireCompressedLength = C;
    return long(kPrefixSize + n);
}

bool parseHelloReply(const Message& m, HelloReply* out) {
    if (m.type != kMsgHelloReply || m.payload.size() != 724) {
        return false;
    }
    const uint8_t* p = m.payload.data();
    out->marker = p[0];
    out->serverName = fixedText(p + 1, 128);
    out->serverSerial = fixedText(p + 129, 37);
    memcpy(out->uuid, p + 168, 16);
    memcpy(out->version, p + 184, 3);
    out->remoteAdmin = p[187];
    out->hostName = fixedText(p + 188, 256);
    out->interfaceName = fixedText(p + 444, 256);
    out->trovixAvailable = p[700];
    out->trovixEnabled = p[701];
    memcpy(out->trovixId, p + 702, 16);
    memcpy(out->trovixPin, p + 718, 4);
    out->kernelAtLeast315 = p[723];
    out->raw = m;
    return true;
}

bool parseDeviceAnnouncement(const Message& m, DeviceAnnouncement* out) {
    if (m.type != kMsgDeviceAnnounce || m.payload.size() != 499) {
        return false;
    }
    const uint8_t* p = m.payload.data();
    out->vendorId = le16(p);
    out->productId = le16(p + 2);
    out->manufacturer = fixedText(p + 4, 64);
    out->product = fixedText(p + 68, 64);
    out->address = le32(p + 132);
    out->state = p[136];
    memcpy(out->boundUuid, p + 137, 16);
    out->nickname = fixedText(p + 157, 64);
    out->clientText = fixedText(p + 226, 64);
    out->serial = fixedText(p + 306, 128);
    out->clientDetail = fixedText(p + 434, 64);
    out->raw = m;
    return true;
}

bool parseBindResult(const Message& m, BindResult* out) {
    if (m.type != kMsgBindResult || m.payload.size() != 65878) {
        return false;
    }
    const uint8_t* p = m.payload.data();
    out->result = int32_t(le32(p));
    out->speed = p[4];
    out->address = m.deviceAddress;
    out->product = fixedText(p + 65558, 128);
    out->serial = fixedText(p + 65686, 128);
    out->serverSerial = fixedText(p + 65814, 64);
    return true;
}

bool parseServerInfo(const Message& m, ServerInfo* out) {
    if (m.type != kMsgServerInfo || m.payload.size() != 192) {
        return false;
    }
    const uint8_t* p = m.payload.data();
    out->serverName = fixedText(p, 128);
    out->serverSerial = fixedText(p + 128, 37);
    out->trovixAvailable = p[169];
    out->trovixEnabled = p[170];
    memcpy(out->trovixId, p + 171, 16);
    memcpy(out->trovixPin, p + 187, 4);
    return true;
}

bool parseTextNotice(const Message& m, std::string* out) {
    if (m.type != kMsgTextNotice || m.payload.empty()) {
        return false;
    }
    *out = fixedText(m.payload.data(), m.payload.size());
    return true;
}

bool parseUnboundNotice(const Message& m, uint32_t* reason) {
    if (m.type != kMsgDeviceUnbound || m.payload.size() != 4) {
        return false;
    }
    *reason = le32(m.payload.data());
    return true;
}

int listenLoopback(uint16_t* port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(fd);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

int connectTcp(const std::string& host, uint16_t port, int timeoutMs) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* results = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &results) != 0) {
        return -1;
    }
    int fd = -1;
    for (addrinfo* ai = results; ai != nullptr && fd < 0; ai = ai->ai_next) {
        int s = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
        if (s < 0) {
            continue;
        }
        int rc = ::connect(s, ai->ai_addr, ai->ai_addrlen);
        if (rc != 0 && errno == EINPROGRESS) {
            pollfd pfd{s, POLLOUT, 0};
            int err = 0;
            socklen_t len = sizeof err;
            if (poll(&pfd, 1, timeoutMs) == 1 && getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) {
                rc = 0;
            }
        }
        if (rc != 0) {
            ::close(s);
            continue;
        }
        fcntl(s, F_SETFL, fcntl(s, F_GETFL) & ~O_NONBLOCK);
        int one = 1;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        fd = s;
    }
    freeaddrinfo(results);
    return fd;
}

OvClient::~OvClient() {
    close();
}

bool OvClient::connectTo(const std::string& host, uint16_t port, int timeoutMs) {
    close();
    fd_ = connectTcp(host, port, timeoutMs);
    return fd_ >= 0;
}

void OvClient::adopt(int fd) {
    close();
    fd_ = fd;
    int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void OvClient::close() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = -1;
    rxStart_ = rxEnd_ = 0;
    backlog_.clear();
    closed_ = false;
}

bool OvClient::sendRaw(const void* bytes, size_t length) {
    const auto* p = static_cast<const uint8_t*>(bytes);
    while (length > 0) {
        ssize_t n = ::send(fd_, p, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        p += n;
        length -= size_t(n);
    }
    return true;
}

bool OvClient::send(const Message& message) {
    std::vector<uint8_t> frame = encodeFrame(message, compression, compressionLimit);
    return sendRaw(frame.data(), frame.size());
}

// Reads what is available into rx_. 1 = got bytes, 0 = time-out, -1 = closed.
// Reads straight into rx_, as much as the frame in progress still needs (at
// least 64 KiB), and polls only when nothing is there yet.
int OvClient::readMore(int timeoutMs) {
    if (closed_ || fd_ < 0) {
        return -1;
    }
    size_t want = 65536;
    if (rxSize() >= kPrefixSize) {
        const uint32_t C = le32(rxBytes()), L = le32(rxBytes() + 4);
        const size_t frame = kPrefixSize + size_t(C != 0 ? C : L);
        if (frame > rxSize() + want && frame <= kPrefixSize + kMaxLength) {
            want = frame - rxSize();
        }
    }
    uint8_t* into = rxReserve(want);
    ssize_t n = recv(fd_, into, want, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        pollfd pfd{fd_, POLLIN, 0};
        int rc = poll(&pfd, 1, timeoutMs < 0 ? 0 : timeoutMs);
        if (rc <= 0) {
            return rc == 0 || errno == EINTR ? 0 : -1;
        }
        n = recv(fd_, into, want, MSG_DONTWAIT);
    }
    if (n <= 0) {
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            return 0;
        }
        closed_ = true;
        return -1;
    }
    rxEnd_ += size_t(n);
    bytesReceived_ += size_t(n);
    return 1;
}

void OvClient::rxConsume(size_t n) {
    rxStart_ += n;
    if (rxStart_ == rxEnd_) {
        rxStart_ = rxEnd_ = 0;
    }
}

uint8_t* OvClient::rxReserve(size_t n) {
    if (rxCapacity_ - rxEnd_ < n && rxStart_ > 0) {
        memmove(rxData_.get(), rxBytes(), rxSize());
        rxEnd_ -= rxStart_;
        rxStart_ = 0;
    }
    if (rxCapacity_ - rxEnd_ < n) {
        const size_t capacity = std::max(rxEnd_ + n, rxCapacity_ * 2);
        std::unique_ptr<uint8_t[]> grown(new uint8_t[capacity]);
        if (rxEnd_ > 0) {
            memcpy(grown.get(), rxData_.get(), rxEnd_);
        }
        rxData_ = std::move(grown);
        rxCapacity_ = capacity;
    }
    return rxData_.get() + rxEnd_;
}

int OvClient::receive(Message* out, int timeoutMs) {
    if (!backlog_.empty()) {
        *out = std::move(backlog_.front());
        backlog_.pop_front();
        return 1;
    }
    const int64_t deadline = nowMs() + timeoutMs;
    for (;;) {
        long used = decodeFrame(rxBytes(), rxSize(), out);
        if (used < 0) {
            return -1;
        }
        if (used > 0) {
            rxConsume(size_t(used));
            if (skipPings && out->type == kMsgPing) {
                continue;
            }
            return 1;
        }
        const int64_t left = deadline - nowMs();
        if (left <= 0) {
            return 0;
        }
        int rc = readMore(int(left));
        if (rc < 0) {
            return -1;
        }
    }
}

bool OvClient::waitFor(uint8_t type, Message* out, int timeoutMs) {
    for (auto it = backlog_.begin(); it != backlog_.end(); ++it) {
        if (it->type == type) {
            *out = std::move(*it);
            backlog_.erase(it);
            return true;
        }
    }
    std::deque<Message> skipped;
    const int64_t deadline = nowMs() + timeoutMs;
    bool found = false;
    for (;;) {
        const int64_t left = deadline - nowMs();
        if (left <= 0) {
            break;
        }
        Message m;
        // The backlog was searched above; read only fresh frames here.
        long used = decodeFrame(rxBytes(), rxSize(), &m);
        if (used < 0) {
            break;
        }
        if (used == 0) {
            if (readMore(int(left)) < 0) {
                break;
            }
            continue;
        }
        rxConsume(size_t(used));
        if (skipPings && m.type == kMsgPing) {
            continue;
        }
        if (m.type == type) {
            *out = std::move(m);
            found = true;
            break;
        }
        skipped.push_back(std::move(m));
    }
    for (auto& m : skipped) {
        backlog_.push_back(std::move(m));
    }
    return found;
}

bool OvClient::waitClosed(int timeoutMs) {
    const int64_t deadline = nowMs() + timeoutMs;
    while (!closed_) {
        const int64_t left = deadline - nowMs();
        if (left <= 0) {
            return false;
        }
        if (readMore(int(left)) < 0) {
            return true;
        }
        rxStart_ = rxEnd_ = 0;  // whatever arrives before the close is of no interest
    }
    return true;
}

bool OvClient::request(uint8_t type, const std::vector<uint8_t>& payload, Message* reply, uint8_t replyType,
                       uint32_t deviceAddress, int timeoutMs) {
    Message m;
    m.type = type;
    for (int i = 0; i < 5; i++) {
        m.context[i] = uint32_t(0x1000 * (i + 1) + type);
    }
    m.deviceAddress = deviceAddress;
    m.payload = payload;
    if (!send(m)) {
        return false;
    }
    return waitFor(replyType, reply, timeoutMs);
}

bool OvClient::hello(const std::string& name, const std::string& detail, HelloReply* reply, int timeoutMs) {
    std::vector<uint8_t> payload(128, 0);
    memcpy(payload.data(), name.data(), std::min<size_t>(name.size(), 63));
    memcpy(payload.data() + 64, detail.data(), std::min<size_t>(detail.size(), 63));
    Message m;
    if (!request(kMsgHello, payload, &m, kMsgHelloReply, 0, timeoutMs)) {
        return false;
    }
    return parseHelloReply(m, reply);
}

bool OvClient::keepAlive() {
    Message m;
    m.type = kMsgKeepAlive;
    return send(m);
}

bool OvClient::listDevices(std::vector<DeviceAnnouncement>* out, int quietMs) {
    Message m;
    m.type = kMsgDeviceListRequest;
    if (!send(m)) {
        return false;
    }
    out->clear();
    Message reply;
    while (waitFor(kMsgDeviceAnnounce, &reply, quietMs)) {
        DeviceAnnouncement d;
        if (parseDeviceAnnouncement(reply, &d)) {
            out->push_back(std::move(d));
        }
    }
    return !closed_;
}

bool OvClient::bind(uint32_t deviceAddress, BindResult* result, int timeoutMs) {
    Message m;
    m.type = kMsgBindDevice;
    m.deviceAddress = deviceAddress;
    if (!send(m)) {
        return false;
    }
    Message reply;
    return waitFor(kMsgBindResult, &reply, timeoutMs) && parseBindResult(reply, result);
}

bool OvClient::unbind(uint32_t deviceAddress) {
    Message m;
    m.type = kMsgUnbindDevice;
    m.deviceAddress = deviceAddress;
    return send(m);
}

bool OvClient::forward(const uint8_t uuid[16], const std::vector<uint8_t>& rest) {
    Message m;
    m.type = kMsgForward;
    m.payload.assign(uuid, uuid + 16);
    m.payload.insert(m.payload.end(), rest.begin(), rest.end());
    return send(m);
}

std::vector<MalformedFrame> malformedFrames() {
    using Bytes = std::vector<uint8_t>;
    auto prefix = [](uint32_t c, uint32_t l, Bytes rest) {
        Bytes v;
        putLe32(v, 0, c);
        putLe32(v, 4, l);
        v.insert(v.end(), rest.begin(), rest.end());
        return v;
    };
    auto frame = [](uint8_t type, Bytes payload, Compression mode) {
        Message m;
        m.type = type;
        m.payload = std::move(payload);
        return encodeFrame(m, mode);
    };
    const std::string malformed = "Error received message is malformed";
    const std::string inflate = "Error decompressing message";
    std::vector<MalformedFrame> frames;
    frames.push_back({"C=1, L=0, one zero byte", prefix(1, 0, {0}), malformed});
    frames.push_back({"L below the header", prefix(0, 32, Bytes(32, 7)), malformed});
    Bytes lie = frame(0, Bytes(128, 0), Compression::Never);
    putLe32(lie, 8 + 29, 4096);
    frames.push_back({"payload length beyond L - 33", lie, malformed});
    Bytes shortBlock = frame(45, Bytes(3000, 'z'), Compression::Always);
    putLe32(shortBlock, 4, 33 + 3000 + 50);
    frames.push_back({"LZ4 gives fewer than L bytes", shortBlock, malformed});
    Bytes longBlock = frame(45, Bytes(3000, 'z'), Compression::Always);
    putLe32(longBlock, 4, 33 + 100);
    frames.push_back({"LZ4 would give more than L bytes", longBlock, inflate});
    frames.push_back({"LZ4 block of garbage", prefix(16, 64, Bytes(16, 0xff)), inflate});
    frames.push_back({"C above the limit", prefix(0x900001, 64, Bytes(8, 0)),
                      "Error received message is too big (comp=9437185, uncomp=64)"});
    frames.push_back({"L above the limit", prefix(0, 0x900001, Bytes(8, 0)),
                      "Error received message is too big (comp=0, uncomp=9437185)"});
    return frames;
}

} // namespace ovclient
