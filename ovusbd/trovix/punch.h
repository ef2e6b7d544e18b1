// The hole punch with a remote client as a pure state machine: what the
// receive thread does with each hello (8), hello answer (9) and
// acknowledgement (11). The transmit thread's only part is setting
// punchSent once a 9 or 11 has gone out.
//
// The three endings, each leaving punchSent and punchReceived set:
//   we answered the client's hello and it acknowledged   -> peerMode 1
//   the client answered our hello and we acknowledged     -> peerMode 0
//   both answered each other's hello                      -> 0 for role 1
//
// Only a client the rendezvous server announced (type 7) can punch: a
// hello or hello answer must carry the key of a live announcement and come
// from one of its two IPv4 addresses, and the acknowledgement must come
// from the punch's peer with the cookie of its hello. The type byte alone
// proves nothing: with the protocol's fixed initialisation vector it is the
// first ciphertext byte XOR a constant, so one datagram in 256 of random
// bytes carries any given type.
//
// A punch is tied to the peer recorded when it began: an answer or an
// acknowledgement from any other address is ignored, so a half-finished
// punch can never hand the next client the previous client's address. A
// pending punch that has not ended after pendingLimitMs is dropped, and so
// is an announcement no punch used within that time.
#pragma once

#include <netinet/in.h>
#include <stdint.h>

#include "ovusbd/trovix/datagram.h"

// Announcements kept at once; a further one replaces the oldest.
constexpr int kTrovixAnnouncedPeers = 4;

struct TrovixAnnouncedPeer {
    bool live;
    uint8_t key[kTrovixKeySize];  // the remote client's key (type 7 bytes 5-36)
    uint32_t addressA, addressB;  // network order
    int64_t sinceMs;              // monotonic
};

struct TrovixPunchState {
    bool punchSent;      // a 9 or 11 to the peer went out (set by the transmit thread)
    bool punchReceived;  // a 9 or 11 came from the peer
    bool peerPending;    // a punch with peer is in progress
    uint8_t peerMode;
    uint8_t role;
    sockaddr_in peer;        // recorded at the start of the punch
    uint8_t peerKey[kTrovixKeySize];  // the announced key the punch began with
    uint32_t peerCookie;     // the cookie of the datagram that began it
    int64_t pendingSinceMs;  // monotonic
    uint32_t generation;     // changes whenever a punch begins or is dropped
    TrovixAnnouncedPeer announced[kTrovixAnnouncedPeers];
};

enum TrovixPunchAction {
    kPunchIgnore,        // nothing to do
    kPunchAnswerHello,   // record the hello's fields; queue a 9 to the peer with its key
    kPunchAcknowledge,   // record the answer's fields; queue an 11 to the peer with its key
    kPunchWaitForSend,   // the punch ends once our own 9 or 11 has gone out
    kPunchComplete,      // both sides done: wake the transmit thread so every thread ends
};

// Records an announcement of the rendezvous server (type 7). An
// announcement of a key already live replaces that one.
void announceTrovixPeer(TrovixPunchState* state, const TrovixDatagram& announcement, int64_t nowMs);

// Drops a pending punch and announcements older than pendingLimitMs. True
// when a pending punch was dropped.
bool expireTrovixPunch(TrovixPunchState* state, int64_t nowMs, int64_t pendingLimitMs);

// True when a datagram from a remote client could change anything: a punch
// is pending or an announcement is live. Otherwise such datagrams need not
// even be deciphered.
bool trovixPunchExpected(const TrovixPunchState* state, int64_t nowMs, int64_t pendingLimitMs);

// One received datagram of type 8, 9 or 11 from `from`; other types are
// ignored. Updates state and says what the caller must do.
TrovixPunchAction stepTrovixPunch(TrovixPunchState* state, const TrovixDatagram& datagram, const sockaddr_in& from,
                                  int64_t nowMs, int64_t pendingLimitMs);
