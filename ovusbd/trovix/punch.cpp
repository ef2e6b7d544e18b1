#include "ovusbd/trovix/punch.h"

#include <string.h>

#include "ovusbd/trovix/datagram.h"

namespace {

bool samePeer(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_family == b.sin_family && a.sin_port == b.sin_port && a.sin_addr.s_addr == b.sin_addr.s_addr;
}

void begin(TrovixPunchState* state, const sockaddr_in& from, int64_t nowMs) {
    state->peerPending = true;
    state->punchSent = false;
    state->punchReceived = false;
    state->peerMode = 0;
    state->peer = from;
    state->pendingSinceMs = nowMs;
    state->generation++;
}

} // namespace

bool expireTrovixPunch(TrovixPunchState* state, int64_t nowMs, int64_t pendingLimitMs) {
    if (!state->peerPending || nowMs - state->pendingSinceMs < pendingLimitMs) return false;
    state->peerPending = false;
    state->punchSent = false;
    state->punchReceived = false;
    state->peerMode = 0;
    memset(&state->peer, 0, sizeof state->peer);
    state->generation++;
    return true;
}

TrovixPunchAction stepTrovixPunch(TrovixPunchState* state, uint8_t type, const sockaddr_in& from, int64_t nowMs,
                                  int64_t pendingLimitMs) {
    expireTrovixPunch(state, nowMs, pendingLimitMs);
    const bool fromPeer = state->peerPending && samePeer(from, state->peer);
    switch (type) {
    case kTrovixHello:
        if (state->peerPending) return kPunchIgnore;
        begin(state, from, nowMs);
        return kPunchAnswerHello;
    case kTrovixHelloAnswer:
        if (!state->peerPending) {
            begin(state, from, nowMs);
            state->punchReceived = true;
            return kPunchAcknowledge;
        }
        if (!fromPeer) return kPunchIgnore;
        // Both answered a hello: the roles decide who connects.
        state->punchReceived = true;
        state->peerMode = state->role == 0 ? 1 : 0;
        return state->punchSent ? kPunchComplete : kPunchWaitForSend;
    case kTrovixAcknowledgement:
        if (!fromPeer) return kPunchIgnore;
        state->punchReceived = true;
        state->peerMode = 1;
        return state->punchSent ? kPunchComplete : kPunchWaitForSend;
    default:
        return kPunchIgnore;
    }
}
