#include "tests/support/trovixtest.h"

#include "ovusbd/core/messagetypes.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <random>

#include <mbedtls/cipher.h>
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/ecdh.h>
#include <mbedtls/entropy.h>
#include <mbedtls/error.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>
#include <mbedtls/pk.h>

namespace trovixtest {

namespace {

// The protocol's initialisation vector, used afresh for every datagram.
const uint8_t kIv[8] = {0x4f, 0x76, 0x54, 0x72, 0x6f, 0x76, 0x69, 0x78};

using Clock = std::chrono::steady_clock;

Datagram crypt(const Key& key, const Datagram& in, mbedtls_operation_t operation) {
    Datagram out{};
    mbedtls_cipher_context_t context;
    mbedtls_cipher_init(&context);
    size_t length = 0;
    if (mbedtls_cipher_setup(&context, mbedtls_cipher_info_from_type(MBEDTLS_CIPHER_BLOWFISH_CFB64)) != 0 ||
        mbedtls_cipher_setkey(&context, key.data(), 256, operation) != 0 ||
        mbedtls_cipher_crypt(&context, kIv, sizeof kIv, in.data(), in.size(), out.data(), &length) != 0 ||
        length != in.size()) {
        out.fill(0xee);
    }
    mbedtls_cipher_free(&context);
    return out;
}

void putBe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}
uint32_t be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
void putBe16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

bool sameAddress(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_port == b.sin_port && a.sin_addr.s_addr == b.sin_addr.s_addr;
}

// The rendezvous server's half of the Curve25519 agreement: its public key
// and the shared secret with the offered key, both big-endian.
struct Agreement {
    Key publicKey{};
    Key shared{};
    bool ok = false;
};

int randomBytes(void*, unsigned char* out, size_t length) {
    static thread_local std::mt19937_64 generator{std::random_device{}()};
    for (size_t i = 0; i < length; i++) out[i] = uint8_t(generator());
    return 0;
}

Agreement agree(const uint8_t offered[32]) {
    Agreement result;
    mbedtls_ecp_group group;
    mbedtls_mpi secret, shared;
    mbedtls_ecp_point own, peer;
    mbedtls_ecp_group_init(&group);
    mbedtls_mpi_init(&secret);
    mbedtls_mpi_init(&shared);
    mbedtls_ecp_point_init(&own);
    mbedtls_ecp_point_init(&peer);
    result.ok = mbedtls_ecp_group_load(&group, MBEDTLS_ECP_DP_CURVE25519) == 0 &&
                mbedtls_ecdh_gen_public(&group, &secret, &own, randomBytes, nullptr) == 0 &&
                mbedtls_mpi_write_binary(&own.X, result.publicKey.data(), 32) == 0 &&
                mbedtls_mpi_read_binary(&peer.X, offered, 32) == 0 && mbedtls_mpi_lset(&peer.Z, 1) == 0 &&
                mbedtls_ecdh_compute_shared(&group, &shared, &peer, &secret, randomBytes, nullptr) == 0 &&
                mbedtls_mpi_write_binary(&shared, result.shared.data(), 32) == 0;
    mbedtls_ecp_point_free(&peer);
    mbedtls_ecp_point_free(&own);
    mbedtls_mpi_free(&shared);
    mbedtls_mpi_free(&secret);
    mbedtls_ecp_group_free(&group);
    return result;
}

int udpSocket(const sockaddr_in& at) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

uint16_t boundPort(int fd) {
    sockaddr_in a{};
    socklen_t length = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    return ntohs(a.sin_port);
}

} // namespace

Datagram encipher(const Key& key, const Datagram& plain) { return crypt(key, plain, MBEDTLS_ENCRYPT); }
Datagram decipher(const Key& key, const Datagram& cipher) { return crypt(key, cipher, MBEDTLS_DECRYPT); }

std::string toHex(const uint8_t* bytes, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < length; i++) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

sockaddr_in loopback(const char* dotted, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, dotted, &a.sin_addr);
    return a;
}

// ---- rendezvous server ----

RendezvousServer::~RendezvousServer() { stop(); }

bool RendezvousServer::start(uint16_t port) {
    fd_ = udpSocket(loopback("127.0.0.1", port));
    otherFd_ = udpSocket(loopback("127.0.0.1", 0));
    if (fd_ < 0 || otherFd_ < 0) return false;
    port_ = boundPort(fd_);
    stop_ = false;
    thread_ = std::thread([this] { loop(); });
    return true;
}

void RendezvousServer::stop() {
    if (thread_.joinable()) {
        stop_ = true;
        thread_.join();
    }
    if (fd_ >= 0) close(fd_);
    if (otherFd_ >= 0) close(otherFd_);
    fd_ = otherFd_ = -1;
}

void RendezvousServer::loop() {
    while (!stop_) {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {otherFd_, POLLIN, 0}};
        if (poll(fds, 2, 20) <= 0) continue;
        for (auto& p : fds) {
            if (!(p.revents & POLLIN)) continue;
            uint8_t buffer[200];
            sockaddr_in from{};
            socklen_t length = sizeof from;
            ssize_t n = recvfrom(p.fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
            if (n > 0) handle(p.fd, buffer, size_t(n), from);
        }
    }
}

void RendezvousServer::handle(int fd, const uint8_t* bytes, size_t length, const sockaddr_in& from) {
    if (length != 90) return;
    auto reply = [&](int replyFd, const uint8_t* data, size_t size) {
        sendto(replyFd, data, size, 0, reinterpret_cast<const sockaddr*>(&from), sizeof from);
    };
    if (bytes[0] == 1) {
        std::lock_guard<std::mutex> lock(mutex_);
        offers_++;
        const Answers mode = answers.load();
        if (mode == Answers::Silent) return;
        Agreement agreement = agree(bytes + 5);
        if (!agreement.ok) return;
        Session session{from, agreement.shared, uint32_t(std::random_device{}())};
        sessions_.erase(std::remove_if(sessions_.begin(), sessions_.end(),
                                       [&](const Session& s) { return sameAddress(s.source, from); }),
                        sessions_.end());
        sessions_.push_back(session);
        Datagram answer{};
        answer[0] = mode == Answers::WrongType ? 4 : 2;
        putBe32(&answer[1], session.cookie);
        memcpy(&answer[5], agreement.publicKey.data(), 32);
        reply(mode == Answers::OtherPort ? otherFd_ : fd, answer.data(), mode == Answers::Short ? 89 : 90);
        return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    const Session* session = nullptr;
    for (auto& s : sessions_) {
        if (sameAddress(s.source, from)) session = &s;
    }
    if (session == nullptr) return;
    Datagram cipher;
    memcpy(cipher.data(), bytes, 90);
    Datagram plain = decipher(session->key, cipher);
    if (plain[0] == 3) {
        Registration r;
        r.source = from;
        r.key = session->key;
        r.cookie = be32(&plain[1]);
        memcpy(r.id, &plain[5], 16);
        memcpy(r.pin, &plain[21], 4);
        r.role = plain[29];
        r.port = uint16_t(plain[30] << 8 | plain[31]);
        memcpy(&r.address, &plain[32], 4);
        if (r.cookie != session->cookie) r.problems += "cookie;";
        for (int i = 25; i <= 28; i++)
            if (plain[i] != 0) r.problems += "bytes 25-28;";
        if (r.role != 1) r.problems += "role;";
        if (r.port != ntohs(from.sin_port)) r.problems += "port;";
        if (r.address != from.sin_addr.s_addr) r.problems += "address;";
        for (int i = 36; i < 90; i++)
            if (plain[i] != 0) {
                r.problems += "tail not zero;";
                break;
            }
        registrations_.push_back(r);
        Datagram answer{};
        answer[0] = 4;
        Datagram out = encipher(session->key, answer);
        lock.unlock();
        reply(fd, out.data(), out.size());
    } else if (plain[0] == 5) {
        keepAlives_++;
        for (auto& r : registrations_) {
            if (sameAddress(r.source, from)) r.confirmed = true;
        }
        if (be32(&plain[1]) != session->cookie || !answerKeepAlives) return;
        Datagram answer{};
        answer[0] = 10;
        Datagram out = encipher(session->key, answer);
        lock.unlock();
        reply(fd, out.data(), out.size());
    }
}

bool RendezvousServer::waitForRegistrations(size_t count, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline) {
        if (registrations().size() >= count) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return registrations().size() >= count;
}

std::vector<Registration> RendezvousServer::registrations() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Registration> confirmed;
    for (const auto& r : registrations_) {
        if (r.confirmed) confirmed.push_back(r);
    }
    return confirmed;
}
size_t RendezvousServer::offers() {
    std::lock_guard<std::mutex> lock(mutex_);
    return offers_;
}
size_t RendezvousServer::keepAlives() {
    std::lock_guard<std::mutex> lock(mutex_);
    return keepAlives_;
}

bool RendezvousServer::sendRaw(const sockaddr_in& to, const void* bytes, size_t length) {
    // Answers go out of the socket the server last spoke from.
    const int fd = answers.load() == Answers::OtherPort ? otherFd_ : fd_;
    return sendto(fd, bytes, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) == ssize_t(length);
}

bool RendezvousServer::sendEnciphered(const Registration& to, const Datagram& plain) {
    Datagram out = encipher(to.key, plain);
    return sendRaw(to.source, out.data(), out.size());
}

bool RendezvousServer::announce(const Registration& to, const Key& clientKey, const sockaddr_in& a,
                                const sockaddr_in& b) {
    Datagram d{};
    d[0] = 7;
    memcpy(&d[5], clientKey.data(), 32);
    putBe16(&d[37], ntohs(a.sin_port));
    memcpy(&d[39], &a.sin_addr.s_addr, 4);
    putBe16(&d[43], ntohs(b.sin_port));
    memcpy(&d[45], &b.sin_addr.s_addr, 4);
    return sendEnciphered(to, d);
}

bool RendezvousServer::notice(const Registration& to, const std::string& first, const std::string& second) {
    Datagram d{};
    d[0] = 12;
    memcpy(&d[5], first.data(), std::min<size_t>(first.size(), 16));
    memcpy(&d[21], second.data(), std::min<size_t>(second.size(), 69));
    return sendEnciphered(to, d);
}

// ---- remote client ----

namespace {
// ENetHost has no user pointer: the largest datagram each host received.
std::mutex largestMutex;
std::map<ENetHost*, size_t> largestByHost;
} // namespace

// Every datagram the client's host receives, before ENet reads it.
int RemoteClient::recordDatagram(ENetHost* host, ENetEvent*) {
    std::lock_guard<std::mutex> lock(largestMutex);
    size_t& largest = largestByHost[host];
    if (host->receivedDataLength > largest) largest = host->receivedDataLength;
    return 0;
}

size_t RemoteClient::largestDatagram() {
    std::lock_guard<std::mutex> lock(largestMutex);
    auto it = largestByHost.find(host_);
    return it == largestByHost.end() ? 0 : it->second;
}

RemoteClient::RemoteClient() {
    for (auto& b : key_) b = uint8_t(std::random_device{}());
}

RemoteClient::~RemoteClient() {
    disconnect();
    if (fd_ >= 0) close(fd_);
}

bool RemoteClient::open(const char* address) {
    fd_ = udpSocket(loopback(address, 0));
    if (fd_ < 0) return false;
    address_ = loopback(address, boundPort(fd_));
    return true;
}

bool RemoteClient::sendDatagram(const sockaddr_in& to, const Key& key, const Datagram& plain) {
    Datagram out = encipher(key, plain);
    return sendto(fd_, out.data(), out.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 90;
}

bool RemoteClient::receiveDatagram(Datagram* out, sockaddr_in* from, int timeoutMs) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return false;
    uint8_t buffer[200];
    socklen_t length = sizeof *from;
    ssize_t n = recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(from), &length);
    if (n != 90) return false;
    Datagram cipher;
    memcpy(cipher.data(), buffer, 90);
    *out = decipher(key_, cipher);
    seen.push_back(*out);
    return true;
}

bool RemoteClient::awaitDatagram(uint8_t type, Datagram* out, int timeoutMs) {
    for (auto it = unread_.begin(); it != unread_.end(); ++it) {
        if ((*it)[0] == type) {
            *out = *it;
            unread_.erase(it);
            return true;
        }
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline) {
        Datagram d;
        sockaddr_in from{};
        if (!receiveDatagram(&d, &from, 20)) continue;
        if (d[0] == type) {
            *out = d;
            return true;
        }
        unread_.push_back(d);
    }
    return false;
}

bool RemoteClient::sendHello(const sockaddr_in& to, const Key& serverKey) {
    Datagram h{};
    h[0] = 8;
    putBe32(&h[1], cookie);
    memcpy(&h[5], id, 16);
    memcpy(&h[21], key_.data(), 32);
    memcpy(&h[53], serial.data(), std::min<size_t>(serial.size(), 36));
    return sendDatagram(to, serverKey, h);
}

bool RemoteClient::punch(Ending ending, RendezvousServer& rv, const Registration& reg, std::string* error) {
    server_ = reg.source;
    unread_.clear();
    Datagram d;
    // Waits for a datagram of type from the server; others are kept for a
    // later wait (the server's hellos may come before its answer).
    auto await = [&](uint8_t type) {
        if (awaitDatagram(type, &d, punchTimeoutMs)) return true;
        *error = "no datagram of type " + std::to_string(type);
        return false;
    };
    auto checkAnswer = [&] {
        // The answer echoes our serial field and carries the server's key.
        if (memcmp(&d[21], serial.c_str(), serial.size() + 1) != 0) *error = "serial not echoed";
        if (memcmp(&d[58], reg.key.data(), 32) != 0) *error = "answer without the server's key";
        if (memcmp(&d[5], reg.id, 16) != 0) *error = "answer without the server's id";
        return error->empty();
    };
    auto answerHello = [&] {
        if (memcmp(&d[21], reg.key.data(), 32) != 0 || memcmp(&d[5], reg.id, 16) != 0) {
            *error = "hello without the server's key or id";
            return false;
        }
        Key serverKey;
        memcpy(serverKey.data(), &d[21], 32);
        Datagram a{};
        a[0] = 9;
        putBe32(&a[1], cookie);
        memcpy(&a[5], id, 16);
        memcpy(&a[21], &d[53], 37);
        memcpy(&a[58], key_.data(), 32);
        return sendDatagram(server_, serverKey, a);
    };
    error->clear();
    // The rendezvous server announces the client before any punch: the
    // server takes hellos only from a client announced to it.
    if (!rv.announce(reg, key_, address_, addressB.value_or(address_))) {
        *error = "announcement not sent";
        return false;
    }
    switch (ending) {
    case Ending::ClientAcknowledges: {
        if (!sendHello(server_, reg.key) || !await(9) || !checkAnswer()) return false;
        Datagram ack{};
        ack[0] = 11;
        putBe32(&ack[1], cookie);
        Key serverKey;
        memcpy(serverKey.data(), &d[58], 32);
        serverMode_ = 1;
        return sendDatagram(server_, serverKey, ack);
    }
    case Ending::ServerAcknowledges:
        if (!await(8) || !answerHello() || !await(11)) return false;
        serverMode_ = 0;
        return true;
    case Ending::BothAnswer:
        if (!sendHello(server_, reg.key) || !await(9) || !checkAnswer()) return false;
        if (!await(8) || !answerHello()) return false;
        serverMode_ = 0;
        return true;
    }
    return false;
}

void RemoteClient::setPeerTimeout(uint32_t minimumMs, uint32_t maximumMs) {
    if (peer_ != nullptr) enet_peer_timeout(peer_, 0, minimumMs, maximumMs);
}

bool RemoteClient::connectPeer(int timeoutMs) {
    if (enet_initialize() != 0) return false;
    host_ = enet_host_create(nullptr, 1, 1, 0, 0);
    if (host_ == nullptr) return false;
    enet_socket_destroy(host_->socket);
    host_->socket = fd_;
    fd_ = -1;  // the host closes it
    enet_socket_set_option(host_->socket, ENET_SOCKOPT_NONBLOCK, 1);
    // ENet gives a peer the host's MTU only when it resets the peer, and
    // enet_host_create has reset them all already.
    host_->mtu = 900;
    for (size_t i = 0; i < host_->peerCount; i++) host_->peers[i].mtu = host_->mtu;
    host_->intercept = recordDatagram;
    ENetPeer* made = nullptr;
    if (serverMode_ == 1) {
        ENetAddress a;
        a.host = server_.sin_addr.s_addr;
        a.port = ntohs(server_.sin_port);
        made = enet_host_connect(host_, &a, 1, 0);
        if (made == nullptr) return false;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline) {
        ENetEvent e;
        if (enet_host_service(host_, &e, 20) > 0) {
            if (e.type == ENET_EVENT_TYPE_CONNECT) {
                peer_ = made != nullptr ? made : e.peer;
                // The acknowledgement that completes the other side's
                // connection goes out now, not at the next service.
                enet_host_flush(host_);
                return true;
            }
            if (e.type == ENET_EVENT_TYPE_RECEIVE) enet_packet_destroy(e.packet);
        }
    }
    return false;
}

void RemoteClient::service(int timeoutMs) {
    if (host_ == nullptr) return;
    ENetEvent e;
    int rc = enet_host_service(host_, &e, enet_uint32(timeoutMs));
    while (rc > 0) {
        if (e.type == ENET_EVENT_TYPE_RECEIVE) {
            packets_.emplace_back(e.packet->data, e.packet->data + e.packet->dataLength);
            packetsReceived++;
            enet_packet_destroy(e.packet);
        } else if (e.type == ENET_EVENT_TYPE_DISCONNECT) {
            disconnected_ = true;
            peer_ = nullptr;
        }
        rc = enet_host_service(host_, &e, 0);
    }
}

bool RemoteClient::sendPacket(const std::vector<uint8_t>& bytes) {
    if (peer_ == nullptr) return false;
    ENetPacket* p = enet_packet_create(bytes.data(), bytes.size(), ENET_PACKET_FLAG_RELIABLE);
    if (enet_peer_send(peer_, 0, p) != 0) {
        enet_packet_destroy(p);
        return false;
    }
    enet_host_flush(host_);
    return true;
}

bool RemoteClient::sendFrame(const ovclient::Message& message, ovclient::Compression mode) {
    return sendPacket(ovclient::encodeFrame(message, mode));
}

bool RemoteClient::receivePacket(std::vector<uint8_t>* out, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (packets_.empty() && !disconnected_ && Clock::now() < deadline) service(20);
    if (packets_.empty()) return false;
    *out = std::move(packets_.front());
    packets_.pop_front();
    return true;
}

bool RemoteClient::receiveFrame(ovclient::Message* out, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        std::vector<uint8_t> packet;
        if (left <= 0 || !receivePacket(&packet, int(left))) return false;
        ovclient::Message m;
        const long used = ovclient::decodeFrame(packet.data(), packet.size(), &m);
        if (used != long(packet.size())) {
            lastPacketWasOneFrame = false;
            return false;
        }
        if (m.type == kMsgPing) {
            pings++;
            continue;
        }
        *out = std::move(m);
        return true;
    }
}

bool RemoteClient::waitForFrame(uint8_t type, ovclient::Message* out, int timeoutMs) {
    for (auto it = backlog_.begin(); it != backlog_.end(); ++it) {
        if (it->type == type) {
            *out = std::move(*it);
            backlog_.erase(it);
            return true;
        }
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        ovclient::Message m;
        if (left <= 0 || !receiveFrame(&m, int(left))) return false;
        if (m.type == type) {
            *out = std::move(m);
            return true;
        }
        backlog_.push_back(std::move(m));
    }
}

bool RemoteClient::waitDisconnected(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!disconnected_ && Clock::now() < deadline) service(20);
    return disconnected_;
}

bool RemoteClient::sendRawUdp(size_t length) {
    std::vector<uint8_t> bytes(length, 0x5a);
    const int fd = host_ != nullptr ? int(host_->socket) : fd_;
    return sendto(fd, bytes.data(), length, 0, reinterpret_cast<const sockaddr*>(&server_), sizeof server_) ==
           ssize_t(length);
}

void RemoteClient::disconnect() {
    if (host_ == nullptr) return;
    if (peer_ != nullptr) {
        enet_peer_disconnect(peer_, 0);
        enet_host_flush(host_);
    }
    enet_host_destroy(host_);
    {
        std::lock_guard<std::mutex> lock(largestMutex);
        largestByHost.erase(host_);
    }
    host_ = nullptr;
    peer_ = nullptr;
}

// ---- TLS client over the ENet link ----

struct PeerTlsClient::State {
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
    mbedtls_ssl_config config;
    mbedtls_ssl_context ssl;
    mbedtls_x509_crt ca, cert;
    mbedtls_pk_context key;
};

// Each call is one record: it goes out as one packet.
int PeerTlsClient::bioSend(void* context, const unsigned char* data, size_t length) {
    auto* self = static_cast<PeerTlsClient*>(context);
    return self->link_.sendPacket(std::vector<uint8_t>(data, data + length)) ? int(length)
                                                                           : MBEDTLS_ERR_NET_SEND_FAILED;
}

int PeerTlsClient::bioReceive(void* context, unsigned char* data, size_t length) {
    auto* self = static_cast<PeerTlsClient*>(context);
    if (self->records_.empty()) return MBEDTLS_ERR_SSL_WANT_READ;
    const size_t n = std::min(length, self->records_.size());
    for (size_t i = 0; i < n; i++) {
        data[i] = self->records_.front();
        self->records_.pop_front();
    }
    return int(n);
}

PeerTlsClient::PeerTlsClient(RemoteClient& link, const Options& options) : link_(link), state_(new State) {
    State& s = *state_;
    mbedtls_entropy_init(&s.entropy);
    mbedtls_ctr_drbg_init(&s.drbg);
    mbedtls_ssl_config_init(&s.config);
    mbedtls_ssl_init(&s.ssl);
    mbedtls_x509_crt_init(&s.ca);
    mbedtls_x509_crt_init(&s.cert);
    mbedtls_pk_init(&s.key);
    mbedtls_ctr_drbg_seed(&s.drbg, mbedtls_entropy_func, &s.entropy, nullptr, 0);
    mbedtls_ssl_config_defaults(&s.config, MBEDTLS_SSL_IS_CLIENT, MBEDTLS_SSL_TRANSPORT_STREAM,
                                MBEDTLS_SSL_PRESET_DEFAULT);
    mbedtls_ssl_conf_rng(&s.config, mbedtls_ctr_drbg_random, &s.drbg);
    if (!options.caCert.empty() && mbedtls_x509_crt_parse_file(&s.ca, options.caCert.c_str()) == 0) {
        mbedtls_ssl_conf_ca_chain(&s.config, &s.ca, nullptr);
        mbedtls_ssl_conf_authmode(&s.config, MBEDTLS_SSL_VERIFY_REQUIRED);
    } else {
        mbedtls_ssl_conf_authmode(&s.config, MBEDTLS_SSL_VERIFY_NONE);
    }
    if (!options.certFile.empty() && mbedtls_x509_crt_parse_file(&s.cert, options.certFile.c_str()) == 0 &&
        mbedtls_pk_parse_keyfile(&s.key, options.keyFile.c_str(), nullptr) == 0) {
        mbedtls_ssl_conf_own_cert(&s.config, &s.cert, &s.key);
    }
    mbedtls_ssl_setup(&s.ssl, &s.config);
    mbedtls_ssl_set_bio(&s.ssl, this, bioSend, bioReceive, nullptr);
}

PeerTlsClient::~PeerTlsClient() {
    State& s = *state_;
    mbedtls_ssl_free(&s.ssl);
    mbedtls_ssl_config_free(&s.config);
    mbedtls_pk_free(&s.key);
    mbedtls_x509_crt_free(&s.cert);
    mbedtls_x509_crt_free(&s.ca);
    mbedtls_ctr_drbg_free(&s.drbg);
    mbedtls_entropy_free(&s.entropy);
}

bool PeerTlsClient::pump(int timeoutMs) {
    std::vector<uint8_t> packet;
    if (!link_.receivePacket(&packet, timeoutMs)) return false;
    if (packet.size() < 5 || size_t(packet[3] << 8 | packet[4]) + 5 != packet.size()) packetsNotOneRecord++;
    records_.insert(records_.end(), packet.begin(), packet.end());
    return true;
}

int PeerTlsClient::handshake(int timeoutMs, std::string* error) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const int rc = mbedtls_ssl_handshake(&state_->ssl);
        if (rc == 0) return 0;
        if (rc != MBEDTLS_ERR_SSL_WANT_READ && rc != MBEDTLS_ERR_SSL_WANT_WRITE) {
            char text[256];
            mbedtls_strerror(rc, text, sizeof text);
            *error = text;
            return rc;
        }
        if (Clock::now() >= deadline) {
            *error = "handshake timed out";
            return MBEDTLS_ERR_SSL_TIMEOUT;
        }
        pump(20);
    }
}

bool PeerTlsClient::sendFrame(const ovclient::Message& message, ovclient::Compression mode) {
    std::vector<uint8_t> frame = ovclient::encodeFrame(message, mode);
    size_t sent = 0;
    while (sent < frame.size()) {
        const int rc = mbedtls_ssl_write(&state_->ssl, frame.data() + sent, frame.size() - sent);
        if (rc > 0) {
            sent += size_t(rc);
        } else if (rc != MBEDTLS_ERR_SSL_WANT_READ && rc != MBEDTLS_ERR_SSL_WANT_WRITE) {
            return false;
        }
    }
    return true;
}

bool PeerTlsClient::receiveFrame(ovclient::Message* out, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        ovclient::Message m;
        const long used = plain_.empty() ? 0 : ovclient::decodeFrame(plain_.data(), plain_.size(), &m);
        if (used < 0) return false;
        if (used > 0) {
            plain_.erase(plain_.begin(), plain_.begin() + used);
            if (m.type == kMsgPing) {
                pings++;
                continue;
            }
            *out = std::move(m);
            return true;
        }
        uint8_t buffer[16384];
        const int rc = mbedtls_ssl_read(&state_->ssl, buffer, sizeof buffer);
        if (rc > 0) {
            plain_.insert(plain_.end(), buffer, buffer + rc);
            continue;
        }
        if (rc != MBEDTLS_ERR_SSL_WANT_READ && rc != MBEDTLS_ERR_SSL_WANT_WRITE) return false;
        if (Clock::now() >= deadline) return false;
        pump(20);
    }
}

bool PeerTlsClient::waitForFrame(uint8_t type, ovclient::Message* out, int timeoutMs) {
    for (auto it = backlog_.begin(); it != backlog_.end(); ++it) {
        if (it->type == type) {
            *out = std::move(*it);
            backlog_.erase(it);
            return true;
        }
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        ovclient::Message m;
        if (left <= 0 || !receiveFrame(&m, int(left))) return false;
        if (m.type == type) {
            *out = std::move(m);
            return true;
        }
        backlog_.push_back(std::move(m));
    }
}

} // namespace trovixtest
