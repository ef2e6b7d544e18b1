// Peer links: the two-read packet rule, ENet set-up in both modes over a
// socket of our own, writes and teardown while writers run, and the
// failures a remote client can cause.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "ovusbd/trovix/base58.h"
#include "ovusbd/trovix/peer.h"
#include "ovusbd/trovix/trovixservice.h"
#include "ovusbd/trovix/trovixsettings.h"
#include "tests/support/tlsclient.h"
#include "tests/support/trovixtest.h"
#include "tests/support/wait.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using testwait::waitUntil;

const uint8_t kPeerId[16] = {0, 0, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4};

int boundUdp(const char* address, sockaddr_storage* local) {
    sockaddr_in a = trovixtest::loopback(address, 0);
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return -1;
    socklen_t length = sizeof *local;
    getsockname(fd, reinterpret_cast<sockaddr*>(local), &length);
    return fd;
}

bool fdOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

// ---- the read rule, on packets put straight into the queue ----

struct ReadCase {
    const char* name;
    std::vector<int> packets;  // sizes; -1 is the end-of-stream item
    std::vector<size_t> reads;
    std::vector<int> results;
};

TEST(TrovixPeerRead, OneOrTwoReadsPerPacket) {
    const ReadCase cases[] = {
        {"whole packet", {100}, {100}, {100}},
        {"header then exactly the rest", {100}, {8, 92}, {8, 92}},
        {"rest too short", {100}, {8, 50}, {8, -EPROTO}},
        {"rest too long", {100, 10}, {8, 93, 10}, {8, -EPROTO, 10}},
        {"longer than the packet", {100, 10}, {101, 10}, {-EPROTO, 10}},
        {"end of stream, and it stays ended", {20, -1, 20}, {20, 20, 20}, {20, 0, 0}},
        {"three reads are one too many", {100}, {8, 8}, {8, -EPROTO}},
    };
    for (const auto& c : cases) {
        sockaddr_storage none{};
        TrovixPeerContext* p = createTrovixPeer(-1, none, none, kPeerId, 0);
        ASSERT_NE(p, nullptr);
        p->receivedQueue = createLockedList();
        uint8_t fill = 1;
        for (int size : c.packets) {
            if (size < 0) {
                appendToLockedList(p->receivedQueue, nullptr);
                continue;
            }
            Bytes data(static_cast<size_t>(size));
            for (auto& b : data) b = fill++;
            appendToLockedList(p->receivedQueue, enet_packet_create(data.data(), data.size(), 0));
        }
        Bytes stream;
        for (size_t i = 0; i < c.reads.size(); i++) {
            Bytes buffer(c.reads[i]);
            errno = 0;
            const int got = trovixPeerRead(p, buffer.data(), buffer.size());
            EXPECT_EQ(got, c.results[i]) << c.name << ", read " << i;
            if (got < 0) {
                EXPECT_EQ(errno, EPROTO) << c.name << ": a refused read says why";
            }
        }
        if (std::string(c.name) == "header then exactly the rest") {
            // The two reads return the packet in order.
            sockaddr_storage n{};
            TrovixPeerContext* q = createTrovixPeer(-1, n, n, kPeerId, 0);
            q->receivedQueue = createLockedList();
            Bytes data(100);
            for (size_t i = 0; i < 100; i++) data[i] = uint8_t(i);
            appendToLockedList(q->receivedQueue, enet_packet_create(data.data(), 100, 0));
            Bytes a(8), b(92);
            ASSERT_EQ(trovixPeerRead(q, a.data(), 8), 8);
            ASSERT_EQ(trovixPeerRead(q, b.data(), 92), 92);
            a.insert(a.end(), b.begin(), b.end());
            EXPECT_EQ(a, data);
            releaseTrovixPeer(q);
        }
        releaseTrovixPeer(p);  // frees what is left, pending packet included
    }
}

TEST(TrovixPeerRead, CloseWakesAWaitingReaderAndWritesWithoutAPeerAreZero) {
    sockaddr_storage none{};
    TrovixPeerContext* p = createTrovixPeer(-1, none, none, kPeerId, 0);
    p->receivedQueue = createLockedList();
    auto reader = std::async(std::launch::async, [&] {
        uint8_t b[8];
        return trovixPeerRead(p, b, 8);
    });
    EXPECT_EQ(reader.wait_for(50ms), std::future_status::timeout);
    closeTrovixPeer(p);
    EXPECT_EQ(reader.get(), 0);
    EXPECT_EQ(trovixPeerWrite(p, "x", 1), 0);
    closeTrovixPeer(p);  // a second close does nothing
    releaseTrovixPeer(p);
}

TEST(TrovixPeerConnection, LocalAddressNeedsA128ByteBuffer) {
    sockaddr_storage local{};
    reinterpret_cast<sockaddr_in*>(&local)->sin_family = AF_INET;
    reinterpret_cast<sockaddr_in*>(&local)->sin_port = htons(4242);
    TrovixPeerContext* p = createTrovixPeer(-1, local, local, kPeerId, 0);
    NetworkConnection* c = createTrovixPlainConnection(p);
    sockaddr_storage out{};
    socklen_t length = 127;
    EXPECT_EQ(c->getLocalAddress(c, reinterpret_cast<sockaddr*>(&out), &length), -1);
    length = 128;
    EXPECT_EQ(c->getLocalAddress(c, reinterpret_cast<sockaddr*>(&out), &length), 0);
    EXPECT_EQ(length, 128u);
    EXPECT_EQ(reinterpret_cast<sockaddr_in*>(&out)->sin_port, htons(4242));
    EXPECT_EQ(c->setNoDelay(c), 0);
    EXPECT_TRUE(c->handshake(c));
    c->close(c);
    c->destroy(c);
    free(c);
}

// ---- ENet between the server side and the test remote client ----

class PeerLink : public ::testing::Test {
protected:
    void SetUp() override {
        trovixSettings = defaultTrovixSettings();
        trovixSettings.peerConnectMs = 3000;
        trovixSettings.peerServiceWaitMs = 50;
        trovixSettings.peerReceiveLimit = 256u << 10;
        trovixSettings.peerWaitingLimit = 256u << 10;
        trovixSettings.peerSendLimit = 1u << 20;
        ASSERT_TRUE(client_.open());
    }
    void TearDown() override {
        releaseTrovixPeer(peer_);
        trovixSettings = defaultTrovixSettings();
    }
    // Sets the link up with the server side in mode; the client takes the
    // other part.
    void connect(uint8_t mode) {
        sockaddr_storage local{}, remote{};
        socket_ = boundUdp("127.0.0.2", &local);
        ASSERT_GE(socket_, 0);
        const sockaddr_in clientAddress = client_.address();
        memcpy(&remote, &clientAddress, sizeof clientAddress);
        peer_ = createTrovixPeer(socket_, remote, local, kPeerId, mode);
        ASSERT_NE(peer_, nullptr);
        client_.setServer(*reinterpret_cast<sockaddr_in*>(&local), mode);
        auto session = std::async(std::launch::async, [&] { return trovixPeerSession(peer_, nullptr); });
        ASSERT_TRUE(client_.connectPeer(5000));
        ASSERT_TRUE(session.get()) << peer_->errorText;
    }
    // Reads one packet on the server side as the client connection does.
    Bytes readPacket(size_t length) {
        Bytes b(length);
        const int got = trovixPeerRead(peer_, b.data(), length);
        b.resize(got > 0 ? size_t(got) : 0);
        return b;
    }

    trovixtest::RemoteClient client_;
    TrovixPeerContext* peer_ = nullptr;
    int socket_ = -1;
};

TEST_F(PeerLink, BothModesCarryPacketsBothWays) {
    for (uint8_t mode : {0, 1}) {
        SCOPED_TRACE(int(mode));
        if (mode == 1) {
            releaseTrovixPeer(peer_);
            peer_ = nullptr;
            client_.disconnect();
            client_ = trovixtest::RemoteClient();
            ASSERT_TRUE(client_.open());
        }
        connect(mode);
        Bytes big(3000);
        for (size_t i = 0; i < big.size(); i++) big[i] = uint8_t(i * 13);
        ASSERT_EQ(trovixPeerWrite(peer_, big.data(), big.size()), int(big.size()));
        Bytes got;
        ASSERT_TRUE(client_.receivePacket(&got, 5000));
        EXPECT_EQ(got, big) << "a write larger than the MTU arrives as one packet";
        ASSERT_TRUE(client_.sendPacket(big));
        EXPECT_EQ(readPacket(big.size()), big);
    }
}

// One datagram over ENet's 4096-byte buffer is not the end of the link.
TEST_F(PeerLink, OversizedDatagramIsTransient) {
    connect(0);
    ASSERT_TRUE(client_.sendRawUdp(5000));
    ASSERT_TRUE(client_.sendRawUdp(65000));
    Bytes hello = {1, 2, 3};
    ASSERT_TRUE(client_.sendPacket(hello));
    EXPECT_EQ(readPacket(3), hello);
    ASSERT_EQ(trovixPeerWrite(peer_, "abc", 3), 3);
    Bytes got;
    ASSERT_TRUE(client_.receivePacket(&got, 5000));
    EXPECT_EQ(got, (Bytes{'a', 'b', 'c'}));
}

TEST_F(PeerLink, RemoteDisconnectEndsTheStream) {
    connect(1);
    client_.disconnect();
    uint8_t b[8];
    EXPECT_EQ(trovixPeerRead(peer_, b, 8), 0);
}

TEST_F(PeerLink, FailedSendsKeepNoPacket) {
    connect(0);
    // ENet refuses a send on a channel the peer does not have; the packet
    // made for it must not leak.
    pthread_mutex_lock(&peer_->hostMutex);
    const size_t channels = peer_->peer->channelCount;
    peer_->peer->channelCount = 0;
    pthread_mutex_unlock(&peer_->hostMutex);
    errno = 0;
    EXPECT_LT(trovixPeerWrite(peer_, "abc", 3), 0);
    EXPECT_NE(errno, 0);
    pthread_mutex_lock(&peer_->hostMutex);
    peer_->peer->channelCount = channels;
    pthread_mutex_unlock(&peer_->hostMutex);
    EXPECT_EQ(trovixPeerWrite(peer_, "abc", 3), 3);
}

// Writers that run while the link is closed find no peer and get 0; none
// touches the host after the service thread destroyed it.
TEST_F(PeerLink, CloseWhileWritersRun) {
    connect(0);
    std::atomic<bool> go{true};
    std::atomic<int> zeros{0};
    std::vector<std::thread> writers;
    for (int i = 0; i < 3; i++) {
        writers.emplace_back([&] {
            while (go) {
                const int rc = trovixPeerWrite(peer_, "0123456789", 10);
                if (rc == 0) zeros++;
            }
        });
    }
    ASSERT_TRUE(waitUntil([&] {
        Bytes b;
        return client_.receivePacket(&b, 100);
    }, 5s));
    closeTrovixPeer(peer_);
    ASSERT_TRUE(waitUntil([&] { return zeros.load() > 0; }, 5s));
    go = false;
    for (auto& t : writers) t.join();
    EXPECT_EQ(peer_->host, nullptr);
}

// ENet copies the host's MTU into a peer only when it resets the peer:
// both ends set it on every peer, so a 5000-byte packet travels in
// datagrams of at most 900 bytes (and not of 1400, ENet's default), in
// both modes and both directions.
std::atomic<size_t> serverLargestDatagram{0};
int recordServerDatagram(ENetHost* host, ENetEvent*) {
    size_t seen = serverLargestDatagram.load();
    while (host->receivedDataLength > seen && !serverLargestDatagram.compare_exchange_weak(seen, host->receivedDataLength)) {
    }
    return 0;
}

TEST_F(PeerLink, DatagramsAreAtMost900Bytes) {
    for (uint8_t mode : {0, 1}) {
        SCOPED_TRACE(int(mode));
        if (mode == 1) {
            releaseTrovixPeer(peer_);
            peer_ = nullptr;
            client_.disconnect();
            client_ = trovixtest::RemoteClient();
            ASSERT_TRUE(client_.open());
        }
        connect(mode);
        pthread_mutex_lock(&peer_->hostMutex);
        peer_->host->intercept = recordServerDatagram;
        pthread_mutex_unlock(&peer_->hostMutex);
        serverLargestDatagram = 0;
        Bytes big(5000, 0x5a);
        ASSERT_EQ(trovixPeerWrite(peer_, big.data(), big.size()), int(big.size()));
        Bytes got;
        ASSERT_TRUE(client_.receivePacket(&got, 20000));
        EXPECT_EQ(got, big);
        EXPECT_LE(client_.largestDatagram(), kTrovixPeerMtu);
        EXPECT_GT(client_.largestDatagram(), kTrovixPeerMtu - 100) << "fragments fill the datagrams";
        ASSERT_TRUE(client_.sendPacket(big));
        EXPECT_EQ(readPacket(big.size()), big);
        EXPECT_LE(serverLargestDatagram.load(), kTrovixPeerMtu);
        EXPECT_GT(serverLargestDatagram.load(), kTrovixPeerMtu - 100);
    }
}

// A reader far behind a sending peer: the packets waiting for it stay
// within the receive limit and one packet, ENet refuses the rest until
// the reader catches up, and nothing is lost or reordered.
TEST_F(PeerLink, PacketsWaitingForTheReaderAreBounded) {
    connect(0);
    constexpr size_t kPackets = 160, kSize = 32 * 1024;
    std::atomic<bool> done{false};
    std::thread sender([&] {
        for (size_t i = 0; i < kPackets; i++) {
            Bytes packet(kSize, uint8_t(i));
            if (!client_.sendPacket(packet)) return;
        }
        // Keeps the client's host serviced: retransmissions and acks.
        Bytes ignored;
        while (!done) client_.receivePacket(&ignored, 20);
    });
    // The reader starts only once the queue has reached its limit.
    ASSERT_TRUE(waitUntil([&] {
        return __atomic_load_n(&peer_->receivedBytes, __ATOMIC_ACQUIRE) >= trovixSettings.peerReceiveLimit;
    }, 20s)) << "the peer's packets fill the queue";
    bool intact = true;
    for (size_t i = 0; i < kPackets && intact; i++) {
        const Bytes got = readPacket(kSize);
        intact = got == Bytes(kSize, uint8_t(i));
        EXPECT_TRUE(intact) << "packet " << i;
    }
    done = true;
    sender.join();
    EXPECT_LE(__atomic_load_n(&peer_->receivedPeak, __ATOMIC_RELAXED), trovixSettings.peerReceiveLimit + kSize);
    EXPECT_LE(trovixPeerReceivePeak(), trovixSettings.peerReceiveLimit + kSize);
}

// A peer that acknowledges nothing: ENet holds at most the send limit and
// one packet for it, and then a write waits for the send time-out and
// fails with EAGAIN (as a TCP write to a peer that stopped reading).
TEST_F(PeerLink, WritesToAPeerThatAcknowledgesNothingTimeOut) {
    connect(0);
    peer_->sendTimeoutMs = 200;
    // The client never services its host again: nothing is acknowledged.
    constexpr size_t kSize = 64 * 1024;
    const Bytes packet(kSize, 0x33);
    int rc = 0;
    size_t written = 0;
    while (written < 8 * trovixSettings.peerSendLimit && (rc = trovixPeerWrite(peer_, packet.data(), kSize)) > 0) {
        written += kSize;
    }
    EXPECT_EQ(rc, -EAGAIN);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_GE(written, trovixSettings.peerSendLimit);
    EXPECT_LT(written, trovixSettings.peerSendLimit + kSize);
    pthread_mutex_lock(&peer_->hostMutex);
    EXPECT_LT(peer_->sendingBytes, trovixSettings.peerSendLimit + kSize);
    pthread_mutex_unlock(&peer_->hostMutex);
    // Without waiting, the same write is refused at once.
    EXPECT_EQ(trovixPeerWriteNow(peer_, packet.data(), kSize), -EAGAIN);
    EXPECT_EQ(trovixPeerWaitWritable(peer_, 0), 0);
}

TEST_F(PeerLink, ClientThatNeverConnectsTimesOut) {
    trovixSettings.peerConnectMs = 200;
    for (uint8_t mode : {0, 1}) {
        SCOPED_TRACE(int(mode));
        sockaddr_storage local{}, remote{};
        const int fd = boundUdp("127.0.0.2", &local);
        const sockaddr_in clientAddress = client_.address();
        memcpy(&remote, &clientAddress, sizeof clientAddress);
        TrovixPeerContext* p = createTrovixPeer(fd, remote, local, kPeerId, mode);
        EXPECT_FALSE(trovixPeerSession(p, nullptr));
        char id[30];
        encodeBase58(kPeerId, 16, id, sizeof id);
        EXPECT_EQ(std::string(p->errorText),
                  std::string(mode == 0 ? "(Server Mode)" : "(Client Mode)") + " Connection to Trovix peer " + id +
                      " timed out");
        EXPECT_FALSE(fdOpen(fd)) << "the socket is closed";
        releaseTrovixPeer(p);
    }
}

} // namespace

namespace {

// A TLS link whose peer has gone: writes fail instead of reporting
// success or waiting for ever, and a reader sees the end of the stream.
TEST_F(PeerLink, TlsWritesAfterCloseFail) {
    const tlsclient::TestCertificates& certs = tlsclient::sharedTestCertificates();
    ASSERT_FALSE(certs.serverPem.empty());
    TrovixService service{};
    service.tlsForm = true;
    service.tlsSettings = {certs.serverPem.c_str(), nullptr, nullptr, false, 5000, 0};
    ASSERT_TRUE(loadTlsConfig(&service.tls, &service.tlsSettings));
    connect(0);
    NetworkConnection* c = createTrovixTlsConnection(peer_, &service, nullptr);
    ASSERT_NE(c, nullptr);
    auto handshake = std::async(std::launch::async, [c] { return c->handshake(c); });
    trovixtest::PeerTlsClient tls(client_, {});
    std::string error;
    ASSERT_EQ(tls.handshake(5000, &error), 0) << error;
    ASSERT_TRUE(handshake.get());
    ASSERT_EQ(c->write(c, "0123456789", 10), 10);

    c->close(c);
    errno = 0;
    EXPECT_LT(c->write(c, "0123456789", 10), 0);
    EXPECT_NE(errno, 0);
    uint8_t b[8];
    EXPECT_EQ(c->read(c, b, 8), 0);
    c->destroy(c);
    free(c);
    peer_ = nullptr;  // released by destroy
    releaseTlsConfig(&service.tls);
}

} // namespace
