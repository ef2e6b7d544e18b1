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
    rxLowat_ = 1;
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
        // Only a frame's rest of more than 64 KiB raises the mark; a smaller
        // one, or a frame not begun, wakes us at its first byte.
        const int lowat = want > 65536 ? int(std::min<size_t>(want, 1u << 20)) : 1;
        if (lowat != rxLowat_ && setsockopt(fd_, SOL_SOCKET, SO_RCVLOWAT, &lowat, sizeof lowat) == 0) {
            rxLowat_ = lowat;
        }
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

template <typename Match>
bool OvClient::waitMatching(Match match, Message* out, int timeoutMs) {
    for (auto it = backlog_.begin(); it != backlog_.end(); ++it) {
        if (match(*it)) {
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
        if (match(m)) {
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

bool OvClient::waitFor(uint8_t type, Message* out, int timeoutMs) {
    return waitMatching([type](const Message& m) { return m.type == type; }, out, timeoutMs);
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

// ---- device requests ----

void putSetup(std::vector<uint8_t>& out, size_t offset, const SetupPacket& setup) {
    if (out.size() < offset + 8) {
        out.resize(offset + 8);
    }
    uint8_t* p = out.data() + offset;
    p[0] = setup.requestType;
    p[1] = setup.request;
    p[2] = uint8_t(setup.value);
    p[3] = uint8_t(setup.value >> 8);
    p[4] = uint8_t(setup.index);
    p[5] = uint8_t(setup.index >> 8);
    p[6] = uint8_t(setup.length);
    p[7] = uint8_t(setup.length >> 8);
}

SetupPacket readSetup(const uint8_t* p) {
    SetupPacket setup;
    setup.requestType = p[0];
    setup.request = p[1];
    setup.value = le16(p + 2);
    setup.index = le16(p + 4);
    setup.length = le16(p + 6);
    return setup;
}

std::vector<uint8_t> encodeControlTransfer(const SetupPacket& setup, const std::vector<uint8_t>& outData,
                                           uint32_t flags, uint32_t endpoint) {
    std::vector<uint8_t> payload(16, 0);
    putLe32(payload, 0, endpoint);
    putLe32(payload, 4, flags);
    putSetup(payload, 8, setup);
    if (!setup.in()) {
        payload.insert(payload.end(), outData.begin(), outData.end());
    }
    return payload;
}

bool parseControlReply(const Message& m, ControlReply* out) {
    if (m.type != kMsgControlTransferReply || m.payload.size() < 16) {
        return false;
    }
    const uint8_t* p = m.payload.data();
    out->setup = readSetup(p);
    out->status = int32_t(le32(p + 8));
    out->actualLength = le32(p + 12);
    const size_t area = m.payload.size() - 16;
    out->data.clear();
    if (out->setup.in()) {
        if (area != out->setup.length || out->actualLength > area) {
            return false;
        }
        out->data.assign(p + 16, p + 16 + (out->status < 0 ? 0 : out->actualLength));
    } else if (area != 0) {
        return false;
    }
    return true;
}

std::vector<uint8_t> encodeBulkTransfer(const BulkRequest& r) {
    std::vector<uint8_t> payload(13, 0);
    payload[0] = r.endpoint;
    payload[4] = uint8_t(r.flags);
    putLe32(payload, 5, r.stream ? r.streamId : r.urbType);
    const bool in = (r.endpoint & 0x80) != 0;
    putLe32(payload, 9, in ? r.length : uint32_t(r.outData.size()));
    if (!in) {
        payload.insert(payload.end(), r.outData.begin(), r.outData.end());
    }
    return payload;
}

namespace {

// The result word and the length of the data the reply carries; false when
// the layout does not hold.
bool transferReplyLayout(const Message& m, int32_t* result, size_t* length) {
    if ((m.type != kMsgBulkInterruptTransferReply && m.type != kMsgHubClassReply) || m.payload.size() < 4) {
        return false;
    }
    *result = int32_t(le32(m.payload.data()));
    const size_t area = m.payload.size() - 4;
    *length = 0;
    if (*result > 0 && area > 0) {
        // An IN reply carries the whole asked-for area; an OUT reply none.
        if (size_t(*result) > area) {
            return false;
        }
        *length = size_t(*result);
    }
    return true;
}

} // namespace

bool parseTransferReply(const Message& m, TransferReply* out) {
    size_t length = 0;
    if (!transferReplyLayout(m, &out->result, &length)) {
        return false;
    }
    out->data.assign(m.payload.begin() + 4, m.payload.begin() + 4 + ptrdiff_t(length));
    return true;
}

bool parseTransferReply(Message&& m, TransferReply* out) {
    size_t length = 0;
    if (!transferReplyLayout(m, &out->result, &length)) {
        return false;
    }
    // One move within the buffer instead of a fresh allocation and a copy.
    out->data = std::move(m.payload);
    if (length > 0) {
        memmove(out->data.data(), out->data.data() + 4, length);
    }
    out->data.resize(length);
    return true;
}

uint32_t IsoRequest::totalLength() const {
    uint32_t total = 0;
    for (uint32_t length : packetLengths) {
        total += length;
    }
    return total;
}

std::vector<uint8_t> encodeIsoTransfer(const IsoRequest& r) {
    const uint32_t n = uint32_t(r.packetLengths.size());
    std::vector<uint8_t> payload(17 + 12 * size_t(n), 0);
    payload[0] = r.endpoint;
    putLe32(payload, 5, r.totalLength());
    putLe32(payload, 13, n);
    for (uint32_t i = 0; i < n; i++) {
        putLe32(payload, 17 + 12 * i, r.packetLengths[i]);
    }
    if ((r.endpoint & 0x80) == 0) {
        payload.insert(payload.end(), r.outData.begin(), r.outData.end());
    }
    return payload;
}

bool parseIsoReply(const Message& m, const std::vector<uint32_t>& requested, IsoReply* out) {
    const size_t n = requested.size();
    if ((m.type != kMsgIsoTransferReply && m.type != kMsgIsoPackedTransferReply) ||
        m.payload.size() < 12 + 12 * n) {
        return false;
    }
    const uint8_t* p = m.payload.data();
    out->result = int32_t(le32(p));
    out->errorCount = le32(p + 4);
    out->reserved = le32(p + 8);
    out->packed = m.type == kMsgIsoPackedTransferReply;
    out->packets.resize(n);
    for (size_t i = 0; i < n; i++) {
        out->packets[i] = {le32(p + 12 + 12 * i), le32(p + 16 + 12 * i), le32(p + 20 + 12 * i)};
    }
    out->data.assign(m.payload.begin() + 12 + 12 * n, m.payload.end());
    // Where each packet's bytes lie must stay inside the data area.
    size_t offset = 0;
    out->offsets.assign(n, 0);
    for (size_t i = 0; i < n; i++) {
        out->offsets[i] = offset;
        if (out->packets[i].actualLength > requested[i]) {
            return false;
        }
        if (!out->data.empty() && offset + out->packets[i].actualLength > out->data.size()) {
            return false;
        }
        offset += out->packed ? out->packets[i].actualLength : requested[i];
    }
    if (out->packed && offset != out->data.size()) {
        return false;
    }
    return true;
}

std::vector<uint8_t> IsoReply::packetData(size_t i) const {
    if (i >= packets.size() || i >= offsets.size() || data.empty()) {
        return {};
    }
    return std::vector<uint8_t>(data.begin() + offsets[i], data.begin() + offsets[i] + packets[i].actualLength);
}

std::vector<uint8_t> encodeHubClassRequest(const SetupPacket& setup, const std::vector<uint8_t>& outData) {
    std::vector<uint8_t> payload(8, 0);
    putSetup(payload, 0, setup);
    if (!setup.in()) {
        payload.insert(payload.end(), outData.begin(), outData.end());
    }
    return payload;
}

bool parsePortStatusReply(const Message& m, PortStatusReply* out) {
    if (m.type != kMsgPortStatusReply || m.payload.size() != 6) {
        return false;
    }
    out->result = int32_t(le32(m.payload.data()));
    out->portStatus = le16(m.payload.data() + 4);
    return true;
}

MessageType StatusRequest::replyType() const {
    switch (type) {
    case kMsgDeviceReset:
    case kMsgResetAndConfigure:
        return kMsgDeviceResetReply;
    case kMsgClearHalt:
        return kMsgClearHaltReply;
    case kMsgResetEndpoint:
        return kMsgResetEndpointReply;
    case kMsgAbortEndpoint:
        return kMsgAbortEndpointReply;
    case kMsgAbortResetClearHalt:
        return kMsgAbortResetClearHaltReply;
    case kMsgPortPower:
        return kMsgPortPowerReply;
    case kMsgAllocStreams:
        return kMsgAllocStreamsReply;
    case kMsgFreeStreams:
        return kMsgFreeStreamsReply;
    default:
        return kMsgHelloReply;  // not a status request: nothing will match
    }
}

namespace {

StatusRequest endpointRequest(MessageType type, uint32_t endpoint) {
    StatusRequest r{type, {}};
    putLe32(r.payload, 0, endpoint);
    return r;
}

StatusRequest streamsRequest(MessageType type, uint32_t streams, const std::vector<uint8_t>& endpoints) {
    StatusRequest r{type, {}};
    putLe32(r.payload, 0, streams);
    putLe32(r.payload, 4, uint32_t(endpoints.size()));
    r.payload.insert(r.payload.end(), endpoints.begin(), endpoints.end());
    return r;
}

} // namespace

StatusRequest deviceResetRequest() {
    return {kMsgDeviceReset, {}};
}
StatusRequest clearHaltRequest(uint32_t endpoint) {
    return endpointRequest(kMsgClearHalt, endpoint);
}
StatusRequest resetEndpointRequest(uint32_t endpoint) {
    return endpointRequest(kMsgResetEndpoint, endpoint);
}
StatusRequest abortEndpointRequest(uint32_t endpoint) {
    return endpointRequest(kMsgAbortEndpoint, endpoint);
}
StatusRequest abortResetClearHaltRequest(uint32_t endpoint) {
    return endpointRequest(kMsgAbortResetClearHalt, endpoint);
}
StatusRequest portPowerRequest(bool on) {
    return {kMsgPortPower, {uint8_t(on ? 1 : 0)}};
}
StatusRequest resetAndConfigureRequest(uint8_t configuration, const std::vector<uint8_t>& altSettings) {
    StatusRequest r{kMsgResetAndConfigure, std::vector<uint8_t>(18, 0)};
    const size_t count = std::min<size_t>(altSettings.size(), 16);
    r.payload[0] = configuration;
    r.payload[1] = uint8_t(count);
    std::copy(altSettings.begin(), altSettings.begin() + count, r.payload.begin() + 2);
    return r;
}
StatusRequest allocStreamsRequest(uint32_t streams, const std::vector<uint8_t>& endpoints) {
    return streamsRequest(kMsgAllocStreams, streams, endpoints);
}
StatusRequest freeStreamsRequest(const std::vector<uint8_t>& endpoints) {
    return streamsRequest(kMsgFreeStreams, 0, endpoints);
}

bool parseStatusReply(const Message& m, int32_t* result) {
    if (m.payload.size() != 4) {
        return false;
    }
    switch (m.type) {
    case kMsgDeviceResetReply:
    case kMsgClearHaltReply:
    case kMsgResetEndpointReply:
    case kMsgAbortEndpointReply:
    case kMsgAbortResetClearHaltReply:
    case kMsgPortPowerReply:
    case kMsgAllocStreamsReply:
    case kMsgFreeStreamsReply:
        *result = int32_t(le32(m.payload.data()));
        return true;
    default:
        return false;
    }
}

bool OvClient::controlTransfer(uint32_t deviceAddress, const SetupPacket& setup, const std::vector<uint8_t>& outData,
                               ControlReply* reply, int timeoutMs, uint32_t flags) {
    Message m;
    return request(kMsgControlTransfer, encodeControlTransfer(setup, outData, flags), &m, kMsgControlTransferReply,
                   deviceAddress, timeoutMs) &&
           parseControlReply(m, reply);
}

bool OvClient::bulkTransfer(uint32_t deviceAddress, const BulkRequest& r, TransferReply* reply, int timeoutMs) {
    Message m;
    return request(bulkRequestType(r), encodeBulkTransfer(r), &m, kMsgBulkInterruptTransferReply, deviceAddress,
                   timeoutMs) &&
           parseTransferReply(std::move(m), reply);
}

bool OvClient::isoTransfer(uint32_t deviceAddress, const IsoRequest& r, IsoReply* reply, int timeoutMs) {
    const uint8_t type = r.packed ? kMsgIsoPackedTransfer : kMsgIsoTransfer;
    const uint32_t tag = 0x150000u | type;
    Message m;
    // A packed request may be answered with either reply type.
    return sendTagged(type, encodeIsoTransfer(r), deviceAddress, tag) &&
           waitMatching(
               [tag](const Message& x) {
                   return (x.type == kMsgIsoTransferReply || x.type == kMsgIsoPackedTransferReply) &&
                          x.context[0] == tag;
               },
               &m, timeoutMs) &&
           parseIsoReply(m, r.packetLengths, reply);
}

bool OvClient::hubClassRequest(uint32_t deviceAddress, const SetupPacket& setup, const std::vector<uint8_t>& outData,
                               TransferReply* reply, int timeoutMs) {
    Message m;
    return request(kMsgHubClassRequest, encodeHubClassRequest(setup, outData), &m, kMsgHubClassReply,
                   deviceAddress, timeoutMs) &&
           parseTransferReply(m, reply);
}

bool OvClient::portStatus(uint32_t deviceAddress, PortStatusReply* reply, int timeoutMs) {
    Message m;
    return request(kMsgPortStatus, {}, &m, kMsgPortStatusReply, deviceAddress, timeoutMs) &&
           parsePortStatusReply(m, reply);
}

bool OvClient::statusRequest(uint32_t deviceAddress, const StatusRequest& r, int32_t* result, int timeoutMs) {
    Message m;
    return request(r.type, r.payload, &m, r.replyType(), deviceAddress, timeoutMs) && parseStatusReply(m, result);
}

bool OvClient::sendTagged(uint8_t type, std::vector<uint8_t> payload, uint32_t deviceAddress, uint32_t tag) {
    Message m;
    m.type = type;
    m.context[0] = tag;
    m.deviceAddress = deviceAddress;
    m.payload = std::move(payload);
    return send(m);
}

bool OvClient::waitTagged(uint8_t replyType, uint32_t tag, Message* out, int timeoutMs) {
    return waitMatching([replyType, tag](const Message& m) { return m.type == replyType && m.context[0] == tag; },
                        out, timeoutMs);
}

bulkonly::Transport bulkPipes(OvClient& client, uint32_t deviceAddress, uint8_t endpointIn, uint8_t endpointOut,
                              int timeoutMs) {
    auto transfer = [&client, deviceAddress, timeoutMs](BulkRequest r, std::vector<uint8_t>* in, std::string* why) {
        TransferReply reply;
        if (!client.bulkTransfer(deviceAddress, r, &reply, timeoutMs)) {
            *why = "no reply";
            return false;
        }
        if (reply.result < 0) {
            *why = "status " + std::to_string(reply.result);
            return false;
        }
        if (in != nullptr) {
            *in = std::move(reply.data);
        }
        return true;
    };
    bulkonly::Transport t;
    t.out = [transfer, endpointOut](const std::vector<uint8_t>& data, std::string* why) {
        BulkRequest r;
        r.endpoint = endpointOut;
        r.outData = data;
        return transfer(r, nullptr, why);
    };
    t.in = [transfer, endpointIn](uint32_t length, std::vector<uint8_t>* data, std::string* why) {
        BulkRequest r;
        r.endpoint = endpointIn;
        r.length = length;
        return transfer(r, data, why);
    };
    return t;
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
