// The rendezvous datagrams: codec, cipher, key agreement, and the punch
// state machine as a table.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <string>
#include <vector>

#include "ovusbd/trovix/crypto.h"
#include "ovusbd/trovix/datagram.h"
#include "ovusbd/trovix/punch.h"
#include "tests/support/trovixtest.h"

namespace {

using Bytes = std::vector<uint8_t>;
using trovixtest::Datagram;
using trovixtest::Key;

// Blowfish-CFB64, key bytes 0..31, the protocol's IV; computed through
// mbedTLS's generic cipher layer.
const char kKnownCipherText[] =
    "05d0c1c2ce9aad456933e9c097a26631bbd896a28c30a39e2832462c060e0738af2784bfa3249d791e96575448a704c30ba3727e03fdbb8"
    "22fe2ef53cbd40aea789627ec229a3a9777f404de4d8fe819196e678d05288b975849";

TEST(TrovixCipher, KnownAnswerThroughBothImplementations) {
    Key key;
    Datagram plain;
    for (int i = 0; i < 32; i++) key[i] = uint8_t(i);
    for (int i = 0; i < 90; i++) plain[i] = uint8_t(i * 7 + 1);
    uint8_t out[90];
    ASSERT_EQ(trovixEncryptDatagram(key.data(), plain.data(), out), 0);
    EXPECT_EQ(trovixtest::toHex(out, 90), kKnownCipherText);
    Datagram generic = trovixtest::encipher(key, plain);
    EXPECT_EQ(trovixtest::toHex(generic.data(), 90), kKnownCipherText);

    uint8_t back[90];
    ASSERT_EQ(trovixDecryptDatagram(key.data(), out, back), 0);
    EXPECT_EQ(Bytes(back, back + 90), Bytes(plain.begin(), plain.end()));
    // Every datagram starts afresh: the same plain text gives the same cipher text.
    uint8_t again[90];
    ASSERT_EQ(trovixEncryptDatagram(key.data(), plain.data(), again), 0);
    EXPECT_EQ(Bytes(again, again + 90), Bytes(out, out + 90));
    // In place.
    uint8_t inPlace[90];
    memcpy(inPlace, plain.data(), 90);
    ASSERT_EQ(trovixEncryptDatagram(key.data(), inPlace, inPlace), 0);
    EXPECT_EQ(Bytes(inPlace, inPlace + 90), Bytes(out, out + 90));
    // Keyed once, the cipher deciphers each datagram afresh, in place too.
    TrovixCipher keyed;
    ASSERT_EQ(keyTrovixCipher(&keyed, key.data()), 0);
    for (int i = 0; i < 2; i++) {
        uint8_t plainAgain[90];
        ASSERT_EQ(trovixDecryptWith(&keyed, out, plainAgain), 0);
        EXPECT_EQ(Bytes(plainAgain, plainAgain + 90), Bytes(plain.begin(), plain.end())) << i;
    }
    ASSERT_EQ(trovixDecryptWith(&keyed, inPlace, inPlace), 0);
    EXPECT_EQ(Bytes(inPlace, inPlace + 90), Bytes(plain.begin(), plain.end()));
    freeTrovixCipher(&keyed);
}

TEST(TrovixKeyAgreement, BothSidesAgree) {
    TrovixRandom random;
    ASSERT_EQ(seedTrovixRandom(&random), 0);
    TrovixKeyPair a, b;
    TrovixKeyStep step;
    ASSERT_EQ(makeTrovixKeyPair(&random, &a, &step), 0);
    ASSERT_EQ(makeTrovixKeyPair(&random, &b, &step), 0);
    uint8_t ab[32], ba[32];
    ASSERT_EQ(computeTrovixSharedKey(&random, &a, b.publicKey, ab), 0);
    ASSERT_EQ(computeTrovixSharedKey(&random, &b, a.publicKey, ba), 0);
    EXPECT_EQ(Bytes(ab, ab + 32), Bytes(ba, ba + 32));
    EXPECT_NE(Bytes(ab, ab + 32), Bytes(32, 0));
    // A zero key gives no secret rather than a known one.
    uint8_t zero[32] = {}, out[32];
    EXPECT_NE(computeTrovixSharedKey(&random, &a, zero, out), 0);
    freeTrovixKeyPair(&a);
    freeTrovixKeyPair(&b);
    freeTrovixRandom(&random);
}

TEST(TrovixDatagram, BuildersFollowTheTable) {
    uint8_t id[16], pin[4] = {9, 8, 7, 6}, key[32];
    for (int i = 0; i < 16; i++) id[i] = uint8_t(0x10 + i);
    for (int i = 0; i < 32; i++) key[i] = uint8_t(0x80 + i);
    uint8_t d[90];

    buildTrovixRegistration(0x01020304, id, pin, 1, 0xabcd, inet_addr("127.0.0.2"), d);
    Bytes expect(90, 0);
    expect[0] = 3;
    expect[1] = 1, expect[2] = 2, expect[3] = 3, expect[4] = 4;
    memcpy(&expect[5], id, 16);
    memcpy(&expect[21], pin, 4);
    expect[29] = 1;
    expect[30] = 0xab, expect[31] = 0xcd;
    expect[32] = 127, expect[33] = 0, expect[34] = 0, expect[35] = 2;
    EXPECT_EQ(Bytes(d, d + 90), expect);

    buildTrovixKeepAlive(0xa0b0c0d0, d);
    expect.assign(90, 0);
    expect[0] = 5, expect[1] = 0xa0, expect[2] = 0xb0, expect[3] = 0xc0, expect[4] = 0xd0;
    EXPECT_EQ(Bytes(d, d + 90), expect);

    buildTrovixKeyOffer(key, d);
    expect.assign(90, 0);
    expect[0] = 1;
    memcpy(&expect[5], key, 32);
    EXPECT_EQ(Bytes(d, d + 90), expect);

    // A serial longer than 36 characters is cut, so its NUL always fits.
    buildTrovixHello(7, id, key, std::string(50, 'S').c_str(), d);
    expect.assign(90, 0);
    expect[0] = 8, expect[4] = 7;
    memcpy(&expect[5], id, 16);
    memcpy(&expect[21], key, 32);
    memset(&expect[53], 'S', 36);
    EXPECT_EQ(Bytes(d, d + 90), expect);

    uint8_t serialField[37];
    for (int i = 0; i < 37; i++) serialField[i] = uint8_t('a' + i % 26);
    buildTrovixHelloAnswer(7, id, serialField, key, d);
    expect.assign(90, 0);
    expect[0] = 9, expect[4] = 7;
    memcpy(&expect[5], id, 16);
    memcpy(&expect[21], serialField, 37);
    memcpy(&expect[58], key, 32);
    EXPECT_EQ(Bytes(d, d + 90), expect);

    buildTrovixAcknowledgement(7, d);
    expect.assign(90, 0);
    expect[0] = 11, expect[4] = 7;
    EXPECT_EQ(Bytes(d, d + 90), expect);
}

TEST(TrovixDatagram, ParseReadsTheFieldsOfEachType) {
    uint8_t d[100] = {};
    d[0] = 7;
    for (int i = 0; i < 32; i++) d[5 + i] = uint8_t(i + 1);
    d[37] = 0x12, d[38] = 0x34;
    d[39] = 10, d[40] = 0, d[41] = 0, d[42] = 1;
    d[43] = 0x56, d[44] = 0x78;
    d[45] = 10, d[46] = 0, d[47] = 0, d[48] = 2;
    TrovixDatagram out;
    ASSERT_EQ(parseTrovixDatagram(d, 90, &out), 0);
    EXPECT_EQ(out.type, kTrovixPeerAnnouncement);
    EXPECT_EQ(out.key[0], 1);
    EXPECT_EQ(out.key[31], 32);
    EXPECT_EQ(out.portA, 0x1234);
    EXPECT_EQ(out.portB, 0x5678);
    EXPECT_EQ(out.addressA, inet_addr("10.0.0.1"));
    EXPECT_EQ(out.addressB, inet_addr("10.0.0.2"));

    memset(d, 0, sizeof d);
    d[0] = 2;
    d[1] = 0xde, d[2] = 0xad, d[3] = 0xbe, d[4] = 0xef;
    d[5] = 0x99;
    ASSERT_EQ(parseTrovixDatagram(d, 100, &out), 0) << "a longer datagram is read as its first 90 bytes";
    EXPECT_EQ(out.cookie, 0xdeadbeefu);
    EXPECT_EQ(out.key[0], 0x99);

    // Notice texts without their NUL are cut at the field's end.
    memset(d, 'x', sizeof d);
    d[0] = 12;
    ASSERT_EQ(parseTrovixDatagram(d, 90, &out), 0);
    EXPECT_EQ(std::string(out.noticeFirst), std::string(16, 'x'));
    EXPECT_EQ(std::string(out.noticeSecond), std::string(69, 'x'));
}

TEST(TrovixDatagram, Refusals) {
    uint8_t d[90] = {};
    TrovixDatagram out;
    d[0] = 10;
    EXPECT_EQ(parseTrovixDatagram(d, 89, &out), -EMSGSIZE);
    EXPECT_EQ(parseTrovixDatagram(d, 0, &out), -EMSGSIZE);
    EXPECT_EQ(parseTrovixDatagram(d, 90, &out), 0);
    // Types this server sends but never receives, and unknown ones.
    for (uint8_t type : {0, 1, 3, 5, 6, 13, 200, 255}) {
        d[0] = type;
        EXPECT_EQ(parseTrovixDatagram(d, 90, &out), -ENOMSG) << int(type);
    }
}

// ---- punch state machine ----

sockaddr_in peerAt(uint16_t port, const char* host = nullptr) {
    return trovixtest::loopback(host != nullptr ? host : "127.0.0.3", port);
}

constexpr uint8_t kAnnouncedKeyByte = 0x5c;
constexpr uint32_t kHelloCookie = 77;

// What the rendezvous server says of the clients on 127.0.0.3 (both
// addresses there), with their key.
TrovixDatagram announcement() {
    TrovixDatagram d{};
    d.type = kTrovixPeerAnnouncement;
    memset(d.key, kAnnouncedKeyByte, sizeof d.key);
    d.addressA = d.addressB = peerAt(0).sin_addr.s_addr;
    return d;
}

struct Event {
    // '8', '9', 'a' (acknowledgement 11), 's' (our 9 or 11 went out),
    // 't' (the pending limit passes), 'n' (an announcement), '7', 'c' (12)
    char what;
    uint16_t port = 0;
    TrovixPunchAction expect = kPunchIgnore;
    bool otherKey = false;        // a key the announcement does not name
    const char* host = nullptr;   // 127.0.0.3 when null
    uint32_t cookie = kHelloCookie;
};

struct PunchCase {
    const char* name;
    uint8_t role;
    std::vector<Event> events;
    bool complete;
    uint8_t mode;
    uint16_t peerPort;  // recorded peer at the end; 0 when none is pending
};

TrovixDatagram clientDatagram(const Event& e) {
    TrovixDatagram d{};
    d.type = TrovixDatagramType(e.what == '8' ? 8 : e.what == '9' ? 9 : e.what == 'a' ? 11 : e.what == '7' ? 7 : 12);
    d.cookie = e.cookie;
    memset(d.key, e.otherKey ? kAnnouncedKeyByte + 1 : kAnnouncedKeyByte, sizeof d.key);
    return d;
}

TEST(TrovixPunch, Table) {
    const PunchCase cases[] = {
        {"client's hello answered, client acknowledges", 1,
         {{'n'}, {'8', 1, kPunchAnswerHello}, {'s'}, {'a', 1, kPunchComplete}}, true, 1, 1},
        {"acknowledgement before our answer went out", 1,
         {{'n'}, {'8', 1, kPunchAnswerHello}, {'a', 1, kPunchWaitForSend}, {'s'}}, true, 1, 1},
        {"client answers our hello, we acknowledge", 1, {{'n'}, {'9', 1, kPunchAcknowledge}, {'s'}}, true, 0, 1},
        {"both answer, role 1 connects", 1,
         {{'n'}, {'8', 1, kPunchAnswerHello}, {'s'}, {'9', 1, kPunchComplete}}, true, 0, 1},
        {"both answer, role 0 waits", 0,
         {{'n'}, {'8', 1, kPunchAnswerHello}, {'s'}, {'9', 1, kPunchComplete}}, true, 1, 1},
        {"second hello while one is answered", 1,
         {{'n'}, {'8', 1, kPunchAnswerHello}, {'n'}, {'8', 2}}, false, 0, 1},
        {"answer from another client than the one being answered", 1,
         {{'n'}, {'8', 1, kPunchAnswerHello}, {'s'}, {'9', 2}}, false, 0, 1},
        {"acknowledgement from another client", 1,
         {{'n'}, {'8', 1, kPunchAnswerHello}, {'s'}, {'a', 2}}, false, 0, 1},
        {"acknowledgement with nothing pending", 1, {{'n'}, {'a', 1}}, false, 0, 0},
        {"half-finished punch expires, the next client starts afresh", 1,
         {{'n'}, {'8', 1, kPunchAnswerHello}, {'s'}, {'t'}, {'n'}, {'9', 2, kPunchAcknowledge}, {'s'}}, true, 0, 2},
        {"expired punch: a late acknowledgement from the old client is ignored", 1,
         {{'n'}, {'8', 1, kPunchAnswerHello}, {'t'}, {'a', 1}}, false, 0, 0},
        {"other types are ignored", 1, {{'n'}, {'7', 1}, {'c', 1}}, false, 0, 0},
        // Only an announced client punches.
        {"hello with nothing announced", 1, {{'8', 1}}, false, 0, 0},
        {"answer with nothing announced", 1, {{'9', 1}}, false, 0, 0},
        {"hello with a key not announced", 1, {{'n'}, {'8', 1, kPunchIgnore, true}}, false, 0, 0},
        {"answer with a key not announced", 1, {{'n'}, {'9', 1, kPunchIgnore, true}}, false, 0, 0},
        {"hello from a host not announced", 1, {{'n'}, {'8', 1, kPunchIgnore, false, "127.0.0.4"}}, false, 0, 0},
        {"announcement expired", 1, {{'n'}, {'t'}, {'8', 1}}, false, 0, 0},
        {"answer to our hello with another key than the client's hello", 1,
         {{'n'}, {'8', 1, kPunchAnswerHello}, {'s'}, {'9', 1, kPunchIgnore, true}}, false, 0, 1},
        {"acknowledgement with another cookie than the hello's", 1,
         {{'n'}, {'8', 1, kPunchAnswerHello}, {'s'}, {'a', 1, kPunchIgnore, false, nullptr, kHelloCookie + 1}},
         false, 0, 1},
    };
    for (const auto& c : cases) {
        TrovixPunchState s{};
        s.role = c.role;
        int64_t now = 1000;
        for (size_t i = 0; i < c.events.size(); i++) {
            const Event& e = c.events[i];
            TrovixPunchAction got = kPunchIgnore;
            switch (e.what) {
            case 's':
                s.punchSent = s.peerPending;  // what the transmit thread does after a send
                break;
            case 't':
                now += 10000;
                expireTrovixPunch(&s, now, 10000);
                break;
            case 'n':
                announceTrovixPeer(&s, announcement(), now);
                break;
            default:
                got = stepTrovixPunch(&s, clientDatagram(e), peerAt(e.port, e.host), now, 10000);
            }
            EXPECT_EQ(got, e.expect) << c.name << ", event " << i;
        }
        EXPECT_EQ(s.punchSent && s.punchReceived, c.complete) << c.name;
        if (c.complete) {
            EXPECT_EQ(s.peerMode, c.mode) << c.name;
        }
        EXPECT_EQ(s.peerPending ? ntohs(s.peer.sin_port) : 0, c.peerPort) << c.name;
    }
}

TEST(TrovixPunch, PendingPunchExpiresOnlyAfterTheLimit) {
    TrovixPunchState s{};
    s.role = 1;
    const TrovixDatagram hello = clientDatagram({'8'});
    announceTrovixPeer(&s, announcement(), 0);
    EXPECT_TRUE(trovixPunchExpected(&s, 0, 10000));
    ASSERT_EQ(stepTrovixPunch(&s, hello, peerAt(1), 0, 10000), kPunchAnswerHello);
    EXPECT_FALSE(expireTrovixPunch(&s, 9999, 10000));
    announceTrovixPeer(&s, announcement(), 9999);
    EXPECT_EQ(stepTrovixPunch(&s, hello, peerAt(2), 9999, 10000), kPunchIgnore);
    EXPECT_EQ(stepTrovixPunch(&s, hello, peerAt(2), 10000, 10000), kPunchAnswerHello);
    EXPECT_EQ(ntohs(s.peer.sin_port), 2);
    // Nothing pending and nothing announced: nothing is expected.
    EXPECT_TRUE(expireTrovixPunch(&s, 20000, 10000));
    EXPECT_FALSE(trovixPunchExpected(&s, 20000, 10000));
}

// More announcements than slots: the oldest gives way.
TEST(TrovixPunch, AnnouncementsBeyondTheSlotsReplaceTheOldest) {
    TrovixPunchState s{};
    s.role = 1;
    for (int i = 0; i <= kTrovixAnnouncedPeers; i++) {
        TrovixDatagram a = announcement();
        a.key[0] = uint8_t(i);
        announceTrovixPeer(&s, a, i);
    }
    TrovixDatagram hello = clientDatagram({'8'});
    hello.key[0] = 0;
    EXPECT_EQ(stepTrovixPunch(&s, hello, peerAt(1), 10, 10000), kPunchIgnore) << "the oldest is gone";
    hello.key[0] = uint8_t(kTrovixAnnouncedPeers);
    EXPECT_EQ(stepTrovixPunch(&s, hello, peerAt(1), 10, 10000), kPunchAnswerHello);
}

} // namespace
