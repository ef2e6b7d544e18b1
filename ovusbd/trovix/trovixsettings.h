// Values the Trovix layer settles once, before its first start, and the
// system calls it makes that a test must be able to replace.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

// One member per call; each returns a value or -errno.
struct TrovixSys {
    // The machine's IPv4 interface addresses (network order) other than
    // 127.0.0.1, in getifaddrs order, at most max. Returns the count or
    // -errno. Does not block.
    int (*listIpv4Addresses)(uint32_t* out, int max);
    // getrandom(2) without flags: the bytes read or -errno. Blocks only
    // until the kernel's pool is first initialised.
    ssize_t (*getRandom)(void* buffer, size_t length);
};

extern const TrovixSys trovixProductionSys;

// Timings of the rendezvous client and the peer links. The defaults are the
// protocol's; tests scale them down.
struct TrovixSettings {
    const TrovixSys* sys;
    int tickMs;              // 500: keep-alive and retry waits are counted in ticks
    int keepAliveTicks;      // 12: ticks between keep-alives (2 x the 6-second period)
    int linkLossMs;          // 9000: silence of the rendezvous server that ends a registration
    int retryTicks;          // 20: ticks to wait after a key exchange that left no socket
    int receiveTimeoutMs;    // 1000: receive time-out of the rendezvous socket
    int punchPendingMs;      // 10000: a punch that has not ended by then is dropped
    int peerConnectMs;       // 3000: wait for the ENet connection of a punched peer
    int peerServiceWaitMs;   // 1000: longest wait of a peer's service thread on its socket
    int tlsHandshakeMs;      // 15000: a peer that has not finished its TLS handshake by then is dropped
    // What a peer may make one link hold, as a TCP socket's buffers bound a
    // TCP client; each may be passed by one packet (a frame travels as one
    // packet of up to 9 MiB), never by two.
    size_t peerReceiveLimit;  // 4 MiB: received packets waiting for the reader; past it the service
                              // thread takes nothing more from ENet
    size_t peerWaitingLimit;  // 4 MiB: data ENet keeps undelivered; past it ENet refuses more
                              // (unacknowledged, so the peer sends it again later)
    size_t peerSendLimit;     // 4 MiB: data sent that ENet holds until the peer acknowledges it; past
                              // it a write waits, for the link's send time-out at most
};

// Read by the Trovix threads; written only while no Trovix service runs.
extern TrovixSettings trovixSettings;

// The protocol's values and the production calls.
TrovixSettings defaultTrovixSettings();
