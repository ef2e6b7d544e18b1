// The outside of the Trovix rendezvous service, for tests: a rendezvous
// server and a remote client, written from the datagram table of the
// protocol (90-byte datagrams, big-endian numbers, Blowfish-CFB64 through
// mbedTLS's generic cipher layer) without the server's own codec.
//
// Summary:
//   RendezvousServer rv; rv.start();                 // UDP on 127.0.0.1
//   rv.waitForRegistrations(1, 5000);                // checked field by field
//   rv.announce(reg, clientKey, addrA, addrB);       // type 7
//   rv.notice("a", "b");                             // type 12
//   knobs: rv.answers = Answers::Silent / Short / WrongType / OtherPort;
//          rv.answerKeepAlives = false;
//   RemoteClient c; c.open();                        // punch socket on 127.0.0.3
//   c.punch(Ending::..., rv, reg)                    // the three endings
//   c.connectPeer(mode) ; c.send(frame) ; c.receive(...)
#pragma once

#include <netinet/in.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <enet/enet.h>

#include "tests/support/ovclient.h"

namespace trovixtest {

using Datagram = std::array<uint8_t, 90>;
using Key = std::array<uint8_t, 32>;

// Blowfish-CFB64 with the 32 key bytes as a 256-bit key and the protocol's
// initialisation vector, through mbedtls_cipher_*.
Datagram encipher(const Key& key, const Datagram& plain);
Datagram decipher(const Key& key, const Datagram& cipher);

std::string toHex(const uint8_t* bytes, size_t length);
sockaddr_in loopback(const char* dotted, uint16_t port);

struct Registration {
    sockaddr_in source{};        // where the registration came from
    Key key{};                   // the shared secret (the server's ownKey)
    uint32_t cookie = 0;
    uint8_t id[16] = {};
    uint8_t pin[4] = {};
    uint8_t role = 0;
    uint16_t port = 0;           // as the server wrote it
    uint32_t address = 0;        // network order, as written
    std::string problems;        // field checks that failed; empty when all held
    bool confirmed = false;      // a keep-alive came from it: the server took the answer
};

enum class Answers { Normal, Silent, Short, WrongType, OtherPort };

class RendezvousServer {
public:
    RendezvousServer() = default;
    ~RendezvousServer();
    // On 127.0.0.1 at port (0: a port the system picks).
    bool start(uint16_t port = 0);
    void stop();
    uint16_t port() const { return port_; }

    std::atomic<Answers> answers{Answers::Normal};
    std::atomic<bool> answerKeepAlives{true};

    // Registrations the server went on with: only a registration whose
    // socket then sent a keep-alive counts (a server that gave up waiting
    // for the answer has closed that socket).
    bool waitForRegistrations(size_t count, int timeoutMs);
    std::vector<Registration> registrations();
    size_t offers();
    size_t keepAlives();
    // Sends a type 7 to the registration's source.
    bool announce(const Registration& to, const Key& clientKey, const sockaddr_in& a, const sockaddr_in& b);
    bool notice(const Registration& to, const std::string& first, const std::string& second);
    // Any 90 bytes to the registration's source, enciphered with its key.
    bool sendEnciphered(const Registration& to, const Datagram& plain);
    bool sendRaw(const sockaddr_in& to, const void* bytes, size_t length);

private:
    void loop();
    void handle(int fd, const uint8_t* bytes, size_t length, const sockaddr_in& from);
    int fd_ = -1, otherFd_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;  // guards everything below
    struct Session {
        sockaddr_in source;
        Key key;
        uint32_t cookie;
    };
    std::vector<Session> sessions_;
    std::vector<Registration> registrations_;
    size_t offers_ = 0, keepAlives_ = 0;
};

enum class Ending {
    ClientAcknowledges,  // the client's hello is answered, the client acknowledges: server waits (mode 1)
    ServerAcknowledges,  // the client answers the server's hello, the server acknowledges: server connects (mode 0)
    BothAnswer,          // both answer the other's hello: server (role 1) connects
};

class RemoteClient {
public:
    RemoteClient();
    ~RemoteClient();
    bool open(const char* address = "127.0.0.3");
    sockaddr_in address() const { return address_; }
    int fd() const { return fd_; }
    const Key& key() const { return key_; }
    uint8_t id[16] = {0x42, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    // Sent in the client's hello, hello answer and acknowledgement.
    uint32_t cookie = 0x11223344;
    std::string serial = "REMOTE-SERIAL";
    // Address B of the announcement; the client's own address when unset.
    std::optional<sockaddr_in> addressB;
    // How long each step of a punch waits for the server.
    int punchTimeoutMs = 5000;

    // Has the rendezvous server announce this client to the server
    // registered as reg (type 7, address A the client's own, B addressB),
    // then runs one ending. On failure *error says what was missing.
    bool punch(Ending ending, RendezvousServer& rv, const Registration& reg, std::string* error);
    // What the server sent during the punch.
    std::vector<Datagram> seen;
    // Waits for a datagram of type from the server (deciphered with the
    // client's key), taking first one that an earlier wait set aside.
    bool awaitDatagram(uint8_t type, Datagram* out, int timeoutMs);
    // A hello (type 8) of this client, enciphered with serverKey.
    bool sendHello(const sockaddr_in& to, const Key& serverKey);
    // The largest UDP datagram the client's ENet host has received.
    size_t largestDatagram();
    uint8_t serverMode() const { return serverMode_; }

    // Sets what a punch would have: the server's punched address and its
    // mode, for a link made without a punch.
    void setServer(const sockaddr_in& server, uint8_t serverMode) {
        server_ = server;
        serverMode_ = serverMode;
    }
    // The ENet link over the punched socket: this side connects when the
    // server waits, and waits when the server connects.
    bool connectPeer(int timeoutMs = 5000);
    bool sendPacket(const std::vector<uint8_t>& bytes);
    // How long the client's ENet waits for acknowledgements before it drops
    // the link itself (ENet's defaults: at least 5 s, at most 30 s).
    void setPeerTimeout(uint32_t minimumMs, uint32_t maximumMs);
    bool sendFrame(const ovclient::Message& message, ovclient::Compression mode = ovclient::Compression::Auto);
    // Next packet; false on time-out or disconnection.
    bool receivePacket(std::vector<uint8_t>* out, int timeoutMs);
    // Next frame of any type but ping (pings counted); whole packets only:
    // false when a packet is not exactly one frame.
    bool receiveFrame(ovclient::Message* out, int timeoutMs);
    bool waitForFrame(uint8_t type, ovclient::Message* out, int timeoutMs);
    bool waitDisconnected(int timeoutMs);
    void disconnect();
    // One UDP datagram of length bytes from the punched socket to the
    // server's punched port, outside ENet.
    bool sendRawUdp(size_t length);
    size_t pings = 0;
    size_t packetsReceived = 0;
    bool lastPacketWasOneFrame = true;

private:
    static int recordDatagram(ENetHost* host, ENetEvent* event);
    bool receiveDatagram(Datagram* out, sockaddr_in* from, int timeoutMs);
    std::deque<Datagram> unread_;
    bool sendDatagram(const sockaddr_in& to, const Key& key, const Datagram& plain);
    void service(int timeoutMs);
    int fd_ = -1;
    sockaddr_in address_{};
    Key key_{};
    sockaddr_in server_{};
    uint8_t serverMode_ = 0;
    ENetHost* host_ = nullptr;
    ENetPeer* peer_ = nullptr;
    bool disconnected_ = false;
    std::deque<std::vector<uint8_t>> packets_;
    std::deque<ovclient::Message> backlog_;
};

// A TLS client over a RemoteClient's ENet link: every record it writes is
// one packet; every packet it receives must be exactly one record.
class PeerTlsClient {
public:
    struct Options {
        std::string caCert;    // verify the server against it; empty: no verification
        std::string certFile;  // client certificate; empty: none
        std::string keyFile;
    };
    PeerTlsClient(RemoteClient& link, const Options& options);
    ~PeerTlsClient();
    PeerTlsClient(const PeerTlsClient&) = delete;
    PeerTlsClient& operator=(const PeerTlsClient&) = delete;

    // 0, or the mbedtls error; *error gets its text.
    int handshake(int timeoutMs, std::string* error);
    bool sendFrame(const ovclient::Message& message, ovclient::Compression mode = ovclient::Compression::Auto);
    // Next frame but pings (counted); false on time-out, close or error.
    bool receiveFrame(ovclient::Message* out, int timeoutMs);
    bool waitForFrame(uint8_t type, ovclient::Message* out, int timeoutMs);
    size_t pings = 0;
    // Packets that were not exactly one TLS record.
    size_t packetsNotOneRecord = 0;

    struct State;

private:
    static int bioSend(void* context, const unsigned char* data, size_t length);
    static int bioReceive(void* context, unsigned char* data, size_t length);
    bool pump(int timeoutMs);  // one received packet into the record buffer
    RemoteClient& link_;
    std::unique_ptr<State> state_;
    std::deque<uint8_t> records_;  // received bytes not yet read by mbedtls
    std::vector<uint8_t> plain_;   // decrypted bytes not yet decoded
    std::deque<ovclient::Message> backlog_;
};

} // namespace trovixtest
