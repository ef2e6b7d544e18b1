// The rendezvous client against the test rendezvous server on loopback:
// key exchange, registration, keep-alives, link loss, re-registration, the
// three punch endings, and the failures a rendezvous server or a remote
// client can cause. Timings are scaled down; the interface list holds
// 127.0.0.2.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <poll.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "ovusbd/core/log.h"
#include "ovusbd/trovix/rendezvous.h"
#include "ovusbd/trovix/trovixsettings.h"
#include "tests/support/trovixtest.h"
#include "tests/support/wait.h"

namespace {

using namespace std::chrono_literals;
using testwait::waitUntil;
using trovixtest::Ending;
using trovixtest::RemoteClient;
using trovixtest::RendezvousServer;

int loopbackInterface(uint32_t* out, int max) {
    if (max < 1) return 0;
    out[0] = inet_addr("127.0.0.2");
    return 1;
}
const TrovixSys kLoopbackSys = {loopbackInterface, trovixProductionSys.getRandom};

// What the hooks saw.
struct Seen {
    std::mutex mutex;
    std::vector<TrovixPunchedPeer> peers;
    std::vector<std::pair<std::string, std::string>> notices;
    std::atomic<int> linkUps{0}, linkDowns{0};
};

void onNotice(void* arg, const char* first, const char* second) {
    auto* seen = static_cast<Seen*>(arg);
    std::lock_guard<std::mutex> lock(seen->mutex);
    seen->notices.emplace_back(first, second);
}
void onLinkUp(void* arg) { static_cast<Seen*>(arg)->linkUps++; }
void onLinkDown(void* arg) { static_cast<Seen*>(arg)->linkDowns++; }
void onNewPeer(void* arg, TrovixContext*, const TrovixPunchedPeer* peer) {
    auto* seen = static_cast<Seen*>(arg);
    close(peer->socket);
    std::lock_guard<std::mutex> lock(seen->mutex);
    seen->peers.push_back(*peer);
}

class Rendezvous : public ::testing::Test {
protected:
    void SetUp() override {
        trovixSettings = defaultTrovixSettings();
        trovixSettings.sys = &kLoopbackSys;
        trovixSettings.tickMs = 10;
        trovixSettings.keepAliveTicks = 6;   // a keep-alive every 60 ms
        trovixSettings.linkLossMs = 2000;
        trovixSettings.retryTicks = 10;
        trovixSettings.receiveTimeoutMs = 500;  // room for a slow answer under the sanitizers
        trovixSettings.punchPendingMs = 1000;
        ASSERT_EQ(seedTrovixRandom(&random_), 0);
        ASSERT_TRUE(rv_.start());
        for (int i = 0; i < 16; i++) id_[i] = uint8_t(0xa0 + i);
    }
    void TearDown() override {
        stopTrovixRendezvous(context_);
        rv_.stop();
        freeTrovixRandom(&random_);
        trovixSettings = defaultTrovixSettings();
    }
    void start() {
        TrovixHooks hooks{};
        hooks.arg = &seen_;
        hooks.serverNotice = onNotice;
        hooks.linkUp = onLinkUp;
        hooks.linkDown = onLinkDown;
        hooks.newPeer = onNewPeer;
        hooks.serial = "SERVER-SERIAL";
        const std::string port = std::to_string(rv_.port());
        context_ = startTrovixRendezvous("127.0.0.1", port.c_str(), id_, pin_, &random_, hooks);
        ASSERT_NE(context_, nullptr);
    }
    trovixtest::Registration registered(size_t n = 1) {
        EXPECT_TRUE(rv_.waitForRegistrations(n, 5000));
        auto all = rv_.registrations();
        return all.empty() ? trovixtest::Registration{} : all.back();
    }
    // Everything sent to the server before this call has been handled, and
    // whatever the server queued in answer has gone out: an announcement
    // sent now is handled after those datagrams, and its hellos leave
    // after their answers.
    void flushed(const trovixtest::Registration& r) {
        RemoteClient marker;
        ASSERT_TRUE(marker.open("127.0.0.9"));
        ASSERT_TRUE(rv_.announce(r, marker.key(), marker.address(), marker.address()));
        trovixtest::Datagram d;
        ASSERT_TRUE(marker.awaitDatagram(8, &d, 10000)) << "the marker's hello";
    }
    size_t noticesSeen() {
        std::lock_guard<std::mutex> lock(seen_.mutex);
        return seen_.notices.size();
    }
    size_t peersSeen() {
        std::lock_guard<std::mutex> lock(seen_.mutex);
        return seen_.peers.size();
    }
    TrovixPunchedPeer lastPeer() {
        std::lock_guard<std::mutex> lock(seen_.mutex);
        return seen_.peers.back();
    }

    RendezvousServer rv_;
    TrovixRandom random_{};
    TrovixContext* context_ = nullptr;
    Seen seen_;
    uint8_t id_[16];
    uint8_t pin_[4] = {0, 1, 2, 3};
};

TEST_F(Rendezvous, RegistersFieldByFieldAndStaysUpOnKeepAlives) {
    start();
    trovixtest::Registration r = registered();
    EXPECT_EQ(r.problems, "");
    EXPECT_EQ(memcmp(r.id, id_, 16), 0);
    EXPECT_EQ(memcmp(r.pin, pin_, 4), 0);
    EXPECT_EQ(r.role, 1);
    EXPECT_EQ(r.address, inet_addr("127.0.0.2"));
    EXPECT_EQ(seen_.linkUps.load(), 1);
    // Several keep-alive periods, each answered: still the one registration.
    ASSERT_TRUE(waitUntil([&] { return rv_.keepAlives() >= 6; }, 5s));
    EXPECT_EQ(rv_.registrations().size(), 1u);
    EXPECT_EQ(seen_.linkDowns.load(), 0);
}

TEST_F(Rendezvous, UnansweredKeepAlivesEndTheLinkAndANewSocketRegisters) {
    start();
    trovixtest::Registration first = registered();
    rv_.answerKeepAlives = false;
    trovixtest::Registration second = registered(2);
    EXPECT_NE(first.source.sin_port, second.source.sin_port) << "a new registration uses a new socket";
    EXPECT_NE(memcmp(first.key.data(), second.key.data(), 32), 0) << "and a new key exchange";
    EXPECT_GE(seen_.linkDowns.load(), 1);
}

TEST_F(Rendezvous, MalformedOrMissingKeyAnswersNeverRegister) {
    for (auto mode : {trovixtest::Answers::Silent, trovixtest::Answers::Short, trovixtest::Answers::WrongType}) {
        SCOPED_TRACE(int(mode));
        rv_.answers = mode;
        start();
        // Offers keep coming after each wait; none leads to a registration.
        ASSERT_TRUE(waitUntil([&] { return rv_.offers() >= 3; }, 5s));
        EXPECT_EQ(rv_.registrations().size(), 0u);
        stopTrovixRendezvous(context_);
        context_ = nullptr;
    }
    // The same client registers once the server answers.
    rv_.answers = trovixtest::Answers::Normal;
    start();
    EXPECT_EQ(registered().problems, "");
}

TEST_F(Rendezvous, AnswerFromAnotherPortBecomesTheServerAddress) {
    rv_.answers = trovixtest::Answers::OtherPort;
    start();
    registered();
    // Keep-alives go to the port that answered, and their answers keep the
    // link: after many periods there is still one registration.
    ASSERT_TRUE(waitUntil([&] { return rv_.keepAlives() >= 6; }, 5s));
    EXPECT_EQ(rv_.registrations().size(), 1u);
}

TEST_F(Rendezvous, NoticesAndDatagramLengths) {
    start();
    trovixtest::Registration r = registered();
    ASSERT_TRUE(rv_.notice(r, std::string(40, 'a'), std::string(100, 'b')));
    ASSERT_TRUE(waitUntil([&] { std::lock_guard<std::mutex> l(seen_.mutex); return seen_.notices.size() == 1; }, 5s));
    {
        std::lock_guard<std::mutex> l(seen_.mutex);
        EXPECT_EQ(seen_.notices[0].first, std::string(16, 'a'));
        EXPECT_EQ(seen_.notices[0].second, std::string(69, 'b'));
    }
    // 89 bytes are ignored; 100 bytes are read as their first 90.
    trovixtest::Datagram notice{};
    notice[0] = 12;
    memcpy(&notice[5], "short", 5);
    trovixtest::Datagram cipher = trovixtest::encipher(r.key, notice);
    ASSERT_TRUE(rv_.sendRaw(r.source, cipher.data(), 89));
    std::vector<uint8_t> longer(cipher.begin(), cipher.end());
    longer.resize(100, 0x33);
    ASSERT_TRUE(rv_.sendRaw(r.source, longer.data(), longer.size()));
    ASSERT_TRUE(waitUntil([&] { std::lock_guard<std::mutex> l(seen_.mutex); return seen_.notices.size() >= 2; }, 5s));
    std::lock_guard<std::mutex> l(seen_.mutex);
    EXPECT_EQ(seen_.notices.size(), 2u);
    EXPECT_EQ(seen_.notices[1].first, "short");
    EXPECT_EQ(rv_.registrations().size(), 1u) << "the link stayed up";
}

TEST_F(Rendezvous, ThreePunchEndingsHandOverTheSocketAndRegisterAgain) {
    start();
    struct Case {
        Ending ending;
        uint8_t mode;
    } cases[] = {{Ending::ClientAcknowledges, 1}, {Ending::ServerAcknowledges, 0}, {Ending::BothAnswer, 0}};
    size_t n = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.ending));
        trovixtest::Registration r = registered(n);
        RemoteClient client;
        ASSERT_TRUE(client.open());
        std::string error;
        ASSERT_TRUE(client.punch(c.ending, rv_, r, &error)) << error;
        ASSERT_TRUE(waitUntil([&] { return peersSeen() == n; }, 5s));
        TrovixPunchedPeer peer = lastPeer();
        EXPECT_EQ(peer.peerMode, c.mode);
        const auto* address = reinterpret_cast<const sockaddr_in*>(&peer.peerAddress);
        EXPECT_EQ(address->sin_port, client.address().sin_port);
        EXPECT_EQ(address->sin_addr.s_addr, client.address().sin_addr.s_addr);
        EXPECT_EQ(memcmp(peer.peerId, client.id, 16), 0);
        const auto* local = reinterpret_cast<const sockaddr_in*>(&peer.localAddress);
        EXPECT_EQ(local->sin_port, r.source.sin_port) << "the punched socket is the registration's";
        n++;
    }
    // After each hand-over a new registration starts at once.
    registered(n);
}

// A remote client's address that cannot be sent to says nothing about the
// rendezvous server: the registration stays, and the punch goes on with
// the other address.
TEST_F(Rendezvous, UnsendableClientAddressKeepsTheLink) {
    start();
    size_t n = 1;
    for (const char* bad : {"127.0.0.3:0", "255.255.255.255:9"}) {
        SCOPED_TRACE(bad);
        trovixtest::Registration r = registered(n);
        RemoteClient client;
        ASSERT_TRUE(client.open());
        std::string text = bad;
        client.addressB = trovixtest::loopback(text.substr(0, text.find(':')).c_str(),
                                               uint16_t(std::stoi(text.substr(text.find(':') + 1))));
        std::string error;
        ASSERT_TRUE(client.punch(Ending::ServerAcknowledges, rv_, r, &error)) << error;
        ASSERT_TRUE(waitUntil([&] { return peersSeen() == n; }, 5s));
        const TrovixPunchedPeer peer = lastPeer();
        const auto* address = reinterpret_cast<const sockaddr_in*>(&peer.peerAddress);
        EXPECT_EQ(address->sin_port, client.address().sin_port);
        // The hand-over, not a lost link, ended that registration: the
        // punched socket is the registration's.
        EXPECT_EQ(reinterpret_cast<const sockaddr_in*>(&peer.localAddress)->sin_port, r.source.sin_port);
        n++;
        registered(n);
    }
}

// A punch that never finishes must not hand the next client the first
// client's address; it is dropped after the pending limit.
TEST_F(Rendezvous, HalfFinishedPunchDoesNotConnectTheNextClient) {
    start();
    trovixtest::Registration r = registered();
    RemoteClient first, second;
    ASSERT_TRUE(first.open());
    ASSERT_TRUE(second.open());
    // The first client is announced, says hello, gets its answer and then
    // goes silent.
    ASSERT_TRUE(rv_.announce(r, first.key(), first.address(), first.address()));
    trovixtest::Datagram hello{};
    hello[0] = 8;
    memcpy(&hello[5], first.id, 16);
    memcpy(&hello[21], first.key().data(), 32);
    trovixtest::Datagram cipher = trovixtest::encipher(r.key, hello);
    ASSERT_EQ(sendto(first.fd(), cipher.data(), 90, 0, reinterpret_cast<const sockaddr*>(&r.source),
                     sizeof r.source),
              90);
    // The second client answers the server's hello while the first punch is pending.
    second.punchTimeoutMs = 150;
    std::string error;
    EXPECT_FALSE(second.punch(Ending::ServerAcknowledges, rv_, r, &error));
    EXPECT_EQ(peersSeen(), 0u) << "no hand-over with the first client's address";
    // Once the first punch has expired, the second client gets through.
    second.punchTimeoutMs = 2000;
    ASSERT_TRUE(waitUntil([&] {
        second.seen.clear();
        return second.punch(Ending::ServerAcknowledges, rv_, r, &error);
    }, 5s)) << error;
    ASSERT_TRUE(waitUntil([&] { return peersSeen() == 1; }, 5s));
    const TrovixPunchedPeer peer = lastPeer();
    const auto* address = reinterpret_cast<const sockaddr_in*>(&peer.peerAddress);
    EXPECT_EQ(address->sin_port, second.address().sin_port);
}

// Datagrams waiting on fd (read and dropped).
size_t waitingDatagrams(int fd) {
    size_t count = 0;
    uint8_t buffer[200];
    while (recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) >= 0) count++;
    return count;
}

bool sendFrom(int fd, const trovixtest::Registration& to, const trovixtest::Datagram& plain) {
    const trovixtest::Datagram cipher = trovixtest::encipher(to.key, plain);
    return sendto(fd, cipher.data(), 90, 0, reinterpret_cast<const sockaddr*>(&to.source), sizeof to.source) == 90;
}

// A client datagram as the protocol lays it out: type, cookie, id, and the
// key where the type carries one (8: bytes 21-52, 9: bytes 58-89).
trovixtest::Datagram clientDatagram(uint8_t type, uint32_t cookie, const uint8_t id[16],
                                    const trovixtest::Key& key) {
    trovixtest::Datagram d{};
    d[0] = type;
    d[1] = uint8_t(cookie >> 24);
    d[2] = uint8_t(cookie >> 16);
    d[3] = uint8_t(cookie >> 8);
    d[4] = uint8_t(cookie);
    memcpy(&d[5], id, 16);
    if (type == 8) memcpy(&d[21], key.data(), 32);
    if (type == 9) memcpy(&d[58], key.data(), 32);
    return d;
}

// 256 datagrams of random bytes, one per first byte, from an address other
// than the rendezvous server's: whatever the cipher makes of them, none is
// answered or leads to a hand-over, with no client announced and with one
// announced on the forger's own host. The announced client still gets
// through afterwards.
TEST_F(Rendezvous, RandomDatagramsFromAnotherAddressAreNeverAnswered) {
    start();
    trovixtest::Registration r = registered();
    RemoteClient client, forger;
    ASSERT_TRUE(client.open("127.0.0.3"));
    ASSERT_TRUE(forger.open("127.0.0.3"));
    std::mt19937 random(34);
    for (bool announced : {false, true}) {
        SCOPED_TRACE(announced ? "a client announced" : "no client announced");
        if (announced) {
            ASSERT_TRUE(rv_.announce(r, client.key(), client.address(), client.address()));
        }
        for (int first = 0; first < 256; first++) {
            uint8_t bytes[90];
            for (auto& b : bytes) b = uint8_t(random());
            bytes[0] = uint8_t(first);
            ASSERT_EQ(sendto(forger.fd(), bytes, 90, 0, reinterpret_cast<const sockaddr*>(&r.source),
                             sizeof r.source),
                      90);
            // In batches that the socket's receive buffer holds whole.
            if (first % 32 == 31) {
                ASSERT_NO_FATAL_FAILURE(flushed(r));
            }
        }
        EXPECT_EQ(waitingDatagrams(forger.fd()), 0u) << "nothing is sent to the forger";
        EXPECT_EQ(peersSeen(), 0u) << "no punched socket is handed over";
    }
    EXPECT_EQ(rv_.registrations().size(), 1u) << "the registration stays";
    std::string error;
    ASSERT_TRUE(client.punch(Ending::ClientAcknowledges, rv_, r, &error)) << error;
    ASSERT_TRUE(waitUntil([&] { return peersSeen() == 1; }, 20s));
    const TrovixPunchedPeer peer = lastPeer();
    EXPECT_EQ(reinterpret_cast<const sockaddr_in*>(&peer.peerAddress)->sin_port, client.address().sin_port);
}

// Well-formed punch datagrams that the rendezvous server did not ask for,
// and server datagrams from anywhere but the server: none has any effect.
TEST_F(Rendezvous, UnsolicitedPunchesAndServerDatagramsFromElsewhereAreIgnored) {
    start();
    trovixtest::Registration r = registered();
    const uint8_t id[16] = {7, 7, 7};
    struct Case {
        const char* name;
        const char* clientHost;
        const char* announcedHost;  // null: no announcement
        bool announcedKey;          // the announcement names the client's key, else another
    } cases[] = {
        {"no announcement", "127.0.0.3", nullptr, true},
        {"announced on another host", "127.0.0.3", "127.0.0.4", true},
        {"announced with another key", "127.0.0.3", "127.0.0.3", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (uint8_t type : {8, 9}) {
            SCOPED_TRACE(int(type));
            RemoteClient client;
            ASSERT_TRUE(client.open(c.clientHost));
            if (c.announcedHost != nullptr) {
                trovixtest::Key announcedKey = client.key();
                if (!c.announcedKey) announcedKey[0] ^= 1;
                // Port 9 of the host: the server's own hellos to the
                // announced client go where nobody listens.
                const sockaddr_in at = trovixtest::loopback(c.announcedHost, 9);
                ASSERT_TRUE(rv_.announce(r, announcedKey, at, at));
            }
            ASSERT_TRUE(sendFrom(client.fd(), r, clientDatagram(type, 5, id, client.key())));
            ASSERT_NO_FATAL_FAILURE(flushed(r));
            EXPECT_EQ(waitingDatagrams(client.fd()), 0u) << "the server answered";
            EXPECT_EQ(peersSeen(), 0u);
        }
    }

    // Server datagrams enciphered with the right key, from another port of
    // the server's own host: an announcement makes no hellos, a notice
    // reaches no hook.
    RemoteClient forger, target;
    ASSERT_TRUE(forger.open("127.0.0.1"));
    ASSERT_TRUE(target.open("127.0.0.3"));
    trovixtest::Datagram announcement{};
    announcement[0] = 7;
    memcpy(&announcement[5], target.key().data(), 32);
    const sockaddr_in targetAddress = target.address();
    for (int at : {37, 43}) {
        announcement[at] = uint8_t(ntohs(targetAddress.sin_port) >> 8);
        announcement[at + 1] = uint8_t(ntohs(targetAddress.sin_port));
        memcpy(&announcement[at + 2], &targetAddress.sin_addr.s_addr, 4);
    }
    trovixtest::Datagram notice{};
    notice[0] = 12;
    memcpy(&notice[5], "forged", 6);
    ASSERT_TRUE(sendFrom(forger.fd(), r, announcement));
    ASSERT_TRUE(sendFrom(forger.fd(), r, notice));
    ASSERT_NO_FATAL_FAILURE(flushed(r));
    EXPECT_EQ(waitingDatagrams(target.fd()), 0u) << "no hello to a forged announcement's client";
    EXPECT_EQ(noticesSeen(), 0u);
    // The real server's notice is still taken.
    ASSERT_TRUE(rv_.notice(r, "real", ""));
    ASSERT_TRUE(waitUntil([&] { return noticesSeen() == 1; }, 20s));
}

// The acknowledgement of an answered hello must come from the punch's peer
// with the cookie of its hello.
TEST_F(Rendezvous, AcknowledgementNeedsTheCookieOfTheHello) {
    start();
    trovixtest::Registration r = registered();
    RemoteClient client, other;
    ASSERT_TRUE(client.open("127.0.0.3"));
    ASSERT_TRUE(other.open("127.0.0.3"));
    ASSERT_TRUE(rv_.announce(r, client.key(), client.address(), client.address()));
    ASSERT_TRUE(client.sendHello(r.source, r.key));
    trovixtest::Datagram answer;
    ASSERT_TRUE(client.awaitDatagram(9, &answer, 10000));
    trovixtest::Key serverKey;
    memcpy(serverKey.data(), &answer[58], 32);
    trovixtest::Registration toServer;
    toServer.source = r.source;
    toServer.key = serverKey;
    ASSERT_TRUE(sendFrom(client.fd(), toServer, clientDatagram(11, client.cookie + 1, client.id, {})));
    ASSERT_TRUE(sendFrom(other.fd(), toServer, clientDatagram(11, client.cookie, client.id, {})));
    ASSERT_NO_FATAL_FAILURE(flushed(r));
    EXPECT_EQ(peersSeen(), 0u) << "a wrong cookie, or the right one from another port";
    ASSERT_TRUE(sendFrom(client.fd(), toServer, clientDatagram(11, client.cookie, client.id, {})));
    ASSERT_TRUE(waitUntil([&] { return peersSeen() == 1; }, 20s));
    EXPECT_EQ(lastPeer().peerMode, 1);
}

TEST_F(Rendezvous, StopDuringTheRetryWaitAndWithoutAnyServer) {
    trovixSettings.retryTicks = 1000000;  // a wait that only a stop ends
    rv_.answers = trovixtest::Answers::Silent;
    start();
    ASSERT_TRUE(waitUntil([&] { return rv_.offers() >= 1; }, 5s));
    stopTrovixRendezvous(context_);
    context_ = nullptr;
    EXPECT_EQ(seen_.linkUps.load(), 0);
}

} // namespace
