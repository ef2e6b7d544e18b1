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
// A punch is tied to the peer recorded when it began: an answer or an
// acknowledgement from any other address is ignored, so a half-finished
// punch can never hand the next client the previous client's address. A
// pending punch that has not ended after pendingLimitMs is dropped.
#pragma once

#include <netinet/in.h>
#include <stdint.h>

struct TrovixPunchState {
    bool punchSent;      // a 9 or 11 to the peer went out (set by the transmit thread)
    bool punchReceived;  // a 9 or 11 came from the peer
    bool peerPending;    // a punch with peer is in progress
    uint8_t peerMode;
    uint8_t role;
    sockaddr_in peer;        // recorded at the start of the punch
    int64_t pendingSinceMs;  // monotonic
    uint32_t generation;     // changes whenever a punch begins or is dropped
};

enum TrovixPunchAction {
    kPunchIgnore,        // nothing to do
    kPunchAnswerHello,   // record the hello's fields; queue a 9 to the peer with its key
    kPunchAcknowledge,   // record the answer's fields; queue an 11 to the peer with its key
    kPunchWaitForSend,   // the punch ends once our own 9 or 11 has gone out
    kPunchComplete,      // both sides done: wake the transmit thread so every thread ends
};

// Drops a pending punch older than pendingLimitMs. True when it did.
bool expireTrovixPunch(TrovixPunchState* state, int64_t nowMs, int64_t pendingLimitMs);

// One received datagram of type 8, 9 or 11 from `from`; other types are
// ignored. Updates state and says what the caller must do.
TrovixPunchAction stepTrovixPunch(TrovixPunchState* state, uint8_t type, const sockaddr_in& from, int64_t nowMs,
                                  int64_t pendingLimitMs);
