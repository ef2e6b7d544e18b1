#include "ovusbd/trovix/punch.h"

#include <string.h>

namespace {

bool samePeer(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_family == b.sin_family && a.sin_port == b.sin_port && a.sin_addr.s_addr == b.sin_addr.s_addr;
}

bool sameKey(const uint8_t* a, const uint8_t* b) {
    // Not secret from the sender, who put it in the datagram: a plain
    // comparison leaks nothing.
    return memcmp(a, b, kTrovixKeySize) == 0;
}

bool expired(const TrovixAnnouncedPeer& a, int64_t nowMs, int64_t limitMs) {
    return nowMs - a.sinceMs >= limitMs;
}

// The live announcement this datagram answers: its key, from one of its
// addresses. Null when none.
TrovixAnnouncedPeer* findAnnouncement(TrovixPunchState* state, const uint8_t key[kTrovixKeySize],
                                      const sockaddr_in& from) {
    if (from.sin_family != AF_INET) return nullptr;
    for (auto& a : state->announced) {
        if (!a.live || !sameKey(a.key, key)) continue;
        if (from.sin_addr.s_addr == a.addressA || from.sin_addr.s_addr == a.addressB) return &a;
    }
    return nullptr;
}

void begin(TrovixPunchState* state, TrovixAnnouncedPeer* announcement, const TrovixDatagram& d,
           const sockaddr_in& from, int64_t nowMs) {
    state->peerPending = true;
    state->punchSent = false;
    state->punchReceived = false;
    state->peerMode = 0;
    state->peer = from;
    memcpy(state->peerKey, announcement->key, kTrovixKeySize);
    state->peerCookie = d.cookie;
    state->pendingSinceMs = nowMs;
    state->generation++;
    // One announcement, one punch.
    memset(announcement, 0, sizeof *announcement);
}

} // namespace

void announceTrovixPeer(TrovixPunchState* state, const TrovixDatagram& d, int64_t nowMs) {
    TrovixAnnouncedPeer* slot = nullptr;
    for (auto& a : state->announced) {
        if (a.live && sameKey(a.key, d.key)) slot = &a;
    }
    for (auto& a : state->announced) {
        if (slot == nullptr && !a.live) slot = &a;
    }
    if (slot == nullptr) {
        slot = &state->announced[0];
        for (auto& a : state->announced) {
            if (a.sinceMs < slot->sinceMs) slot = &a;
        }
    }
    slot->live = true;
    memcpy(slot->key, d.key, kTrovixKeySize);
    slot->addressA = d.addressA;
    slot->addressB = d.addressB;
    slot->sinceMs = nowMs;
}

bool expireTrovixPunch(TrovixPunchState* state, int64_t nowMs, int64_t pendingLimitMs) {
    for (auto& a : state->announced) {
        if (a.live && expired(a, nowMs, pendingLimitMs)) memset(&a, 0, sizeof a);
    }
    if (!state->peerPending || nowMs - state->pendingSinceMs < pendingLimitMs) return false;
    state->peerPending = false;
    state->punchSent = false;
    state->punchReceived = false;
    state->peerMode = 0;
    memset(&state->peer, 0, sizeof state->peer);
    memset(state->peerKey, 0, sizeof state->peerKey);
    state->peerCookie = 0;
    state->generation++;
    return true;
}

bool trovixPunchExpected(const TrovixPunchState* state, int64_t nowMs, int64_t pendingLimitMs) {
    if (state->peerPending) return true;
    for (const auto& a : state->announced) {
        if (a.live && !expired(a, nowMs, pendingLimitMs)) return true;
    }
    return false;
}

TrovixPunchAction stepTrovixPunch(TrovixPunchState* state, const TrovixDatagram& d, const sockaddr_in& from,
                                  int64_t nowMs, int64_t pendingLimitMs) {
    expireTrovixPunch(state, nowMs, pendingLimitMs);
    const bool fromPeer = state->peerPending && samePeer(from, state->peer);
    switch (d.type) {
    case kTrovixHello: {
        if (state->peerPending) return kPunchIgnore;
        TrovixAnnouncedPeer* announcement = findAnnouncement(state, d.key, from);
        if (announcement == nullptr) return kPunchIgnore;
        begin(state, announcement, d, from, nowMs);
        return kPunchAnswerHello;
    }
    case kTrovixHelloAnswer:
        if (!state->peerPending) {
            TrovixAnnouncedPeer* announcement = findAnnouncement(state, d.key, from);
            if (announcement == nullptr) return kPunchIgnore;
            begin(state, announcement, d, from, nowMs);
            state->punchReceived = true;
            return kPunchAcknowledge;
        }
        if (!fromPeer || !sameKey(d.key, state->peerKey)) return kPunchIgnore;
        // Both answered a hello: the roles decide who connects.
        state->punchReceived = true;
        state->peerMode = state->role == 0 ? 1 : 0;
        return state->punchSent ? kPunchComplete : kPunchWaitForSend;
    case kTrovixAcknowledgement:
        if (!fromPeer || d.cookie != state->peerCookie) return kPunchIgnore;
        state->punchReceived = true;
        state->peerMode = 1;
        return state->punchSent ? kPunchComplete : kPunchWaitForSend;
    default:
        return kPunchIgnore;
    }
}
