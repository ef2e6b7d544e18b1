// The rendezvous client against the test rendezvous server on loopback:
// key exchange, registration, keep-alives, link loss, re-registration, the
// three punch endings, and the failures a rendezvous server or a remote
// client can cause. Timings are scaled down; the interface list holds
// 127.0.0.2.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
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
        trovixSettings.punchPendingMs = 400;
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
    // The first client says hello, gets its answer and then goes silent.
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
