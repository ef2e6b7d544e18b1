// The rendezvous client: keeps the server registered with the Trovix
// rendezvous server over UDP, answers its keep-alives, and punches a path
// to each remote client it announces. The punched socket goes to the
// new-peer hook and a new registration starts on a new socket.
//
// The receive thread takes announcements (7), keep-alive answers (10) and
// notices (12) only from the address and port the rendezvous server
// answered from, and from any other address only the datagrams of a punch
// (8, 9, 11) with a client the server announced (punch.h).
//
// Threads: the rendezvous thread, and per registration a transmit, a
// receive and a keep-alive thread. Only the transmit thread sends on the
// socket; only the receive thread receives (the key exchange runs on the
// rendezvous thread before the others exist).
#pragma once

#include <netinet/in.h>
#include <pthread.h>
#include <stdint.h>
#include <sys/socket.h>

#include "ovusbd/core/lockedlist.h"
#include "ovusbd/trovix/crypto.h"
#include "ovusbd/trovix/datagram.h"
#include "ovusbd/trovix/punch.h"

struct TrovixContext;

// What the punch leaves for the peer session.
struct TrovixPunchedPeer {
    int socket;                  // owned by the hook from the call on
    sockaddr_storage peerAddress;
    sockaddr_storage localAddress;
    uint8_t peerId[kTrovixIdSize];
    uint8_t peerMode;            // 0: this side connects; 1: it waits
};

// Installed by the service; each called on the client's threads with no
// lock held. arg is TrovixHooks::arg.
struct TrovixHooks {
    void* arg;
    void (*serverNotice)(void* arg, const char* first, const char* second);
    void (*linkUp)(void* arg);
    void (*linkDown)(void* arg);
    // Takes over peer->socket: makes a peer session of it or closes it
    // before returning. May watch trovixStopRequested(context) to end early.
    void (*newPeer)(void* arg, TrovixContext* context, const TrovixPunchedPeer* peer);
    // serverSerial: the text sent in hellos (at most 36 characters are used).
    const char* serial;
};

// A datagram waiting for the transmit thread: plain text, destination and
// the key that enciphers it. Zero-filled when made.
struct TrovixTransmitItem {
    uint8_t datagram[kTrovixDatagramSize];
    sockaddr_storage destination;
    uint8_t key[kTrovixKeySize];
    bool toServer;             // a failed send ends the registration
    uint32_t punchGeneration;  // for a 9 or 11: the punch it belongs to
};

struct TrovixContext {
    // Atomic flags (read and written with __atomic builtins by every thread).
    uint8_t stop;       // ends every thread of the client
    uint8_t linkLost;   // ends the current registration

    uint8_t role;             // 1
    uint8_t keepAlivePeriod;  // 6 seconds; the timings themselves come from trovixSettings
    TrovixHooks hooks;
    TrovixRandom* random;     // the service form's generator, for the key pairs
    uint8_t id[kTrovixIdSize];
    uint8_t pin[kTrovixPinSize];
    char hostName[255];
    char portText[9];

    // Of TrovixTransmitItem*; a null item stops the transmit thread.
    LockedList* transmitQueue;

    // Of the current registration: written by the rendezvous thread while
    // no other thread of the client runs.
    int socket;
    sockaddr_storage serverAddress;
    socklen_t serverAddressLength;
    uint32_t cookie;
    uint8_t ownKey[kTrovixKeySize];

    int64_t lastReceiveMs;  // atomic; monotonic time of the last keep-alive answer

    // The punch. punchMutex guards punch and the peer fields below; held
    // only for a step of the state machine, never across a send.
    pthread_mutex_t punchMutex;
    TrovixPunchState punch;
    TrovixPunchedPeer peer;   // socket unused until the hand-over
    uint8_t peerSerial[kTrovixSerialSize];
    uint8_t peerKey[kTrovixKeySize];

    pthread_t rendezvousThread;
};

// Makes a context (role 1, period 6, its queue and lock) and starts the
// rendezvous thread on it. host and port are "TrovixHostname" and
// "TrovixPort" (refused when too long). Returns the context or null.
TrovixContext* startTrovixRendezvous(const char* host, const char* port, const uint8_t id[kTrovixIdSize],
                                     const uint8_t pin[kTrovixPinSize], TrovixRandom* random,
                                     const TrovixHooks& hooks);
// Sets stop, wakes and joins the rendezvous thread (its current step ends
// first: within a tick of a wait, a receive time-out while registered, or
// the end of a key exchange or of a peer hand-over), then frees the
// context.
void stopTrovixRendezvous(TrovixContext* context);

inline bool trovixStopRequested(const TrovixContext* context) {
    return __atomic_load_n(&context->stop, __ATOMIC_ACQUIRE) != 0;
}

// Monotonic milliseconds.
int64_t trovixNowMs();
