// A peer link: one ENet (reliable UDP) connection over a punched socket,
// kept alive by a service thread, turned into a byte stream for the client
// connection code. Each write sends one reliable packet; each packet must
// be read in one read of its whole length, or in two of which the second
// takes exactly the rest (the stream's frames and TLS records keep to
// that: a header, then the rest).
#pragma once

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>

#include <enet/enet.h>

#include "ovusbd/core/lockedlist.h"

// ENet's datagram size on a peer link: every peer of a host takes it (ENet
// copies the host's MTU into a peer only when it resets the peer).
constexpr size_t kTrovixPeerMtu = 900;

// The largest TLS record on the wire (2^14 bytes of plain text, 2048 of
// expansion, the 5-byte header): the packet limit of a TLS link.
constexpr size_t kTrovixTlsPacketLimit = 16384 + 2048 + 5;

struct TrovixPeerContext {
    sockaddr_storage localAddress;
    sockaddr_storage peerAddress;   // only IPv4 is used
    int socket;                     // owned by the host once the host exists
    uint8_t peerId[16];
    uint8_t mode;                   // 0: this side connects; 1: it waits
    // Set before trovixPeerSession: the largest packet the stream carries
    // (ENet refuses larger ones; default a whole frame) and how long a write
    // waits for the peer's acknowledgements (default 9000 ms).
    size_t packetLimit;
    int sendTimeoutMs;

    // hostMutex guards host, peer, closed and every ENet call on the host.
    // It lives with the context until releaseTrovixPeer, so a writer can
    // always take it: the service thread clears host and peer under it when
    // it destroys the host, and writers test peer under it.
    pthread_mutex_t hostMutex;
    ENetHost* host;
    ENetPeer* peer;                 // null until connected and after the host is gone
    bool closed;                    // close ran
    // Bytes of packets sent to the peer that ENet still holds (queued or
    // unacknowledged); sendSpace (with hostMutex) is signalled when they
    // fall below the send limit (trovixsettings.h), and on close.
    size_t sendingBytes;
    pthread_cond_t sendSpace;
    // Signalled (with hostMutex) when the reader brings receivedBytes below
    // the receive limit (trovixsettings.h), and on close: the service thread
    // waits on it instead of the socket while the reader is behind.
    pthread_cond_t receiveSpace;

    uint8_t stop;                   // atomic: the service thread destroys the host and ends
    pthread_t serviceThread;
    bool serviceStarted;

    // Of ENetPacket*; a null item means the connection ended. The reader
    // owns what it takes out.
    LockedList* receivedQueue;
    // Bytes of the packets in receivedQueue and of pendingPacket, and the
    // most they ever were (both atomic; the service thread adds, the reader
    // subtracts).
    size_t receivedBytes;
    size_t receivedPeak;
    // The reader's own state (one reader at a time).
    ENetPacket* pendingPacket;
    size_t readOffset;
    bool streamEnded;

    char errorText[255];            // why the set-up failed
};

// Makes a context for a punched socket (the socket is the context's from
// here on). Null when memory runs out; the socket is then closed.
TrovixPeerContext* createTrovixPeer(int socket, const sockaddr_storage& peerAddress,
                                    const sockaddr_storage& localAddress, const uint8_t peerId[16], uint8_t mode);

// Builds the host and the connection within the connect time-out, ending
// early when *abort becomes non-zero (read atomically; may be null). On
// false errorText says why and the host (with the socket) is gone.
bool trovixPeerSession(TrovixPeerContext* peer, const uint8_t* abort);

// Stream operations. Read: bytes, 0 once the connection ended or was
// closed, -EPROTO (errno EPROTO) for a read that breaks the packet rule.
// Write: the length, 0 without a connected peer, negative -errno (errno
// set) when the packet cannot be queued: -EAGAIN when the peer acknowledged
// too little for sendTimeoutMs, -EMSGSIZE over the packet limit.
int trovixPeerRead(TrovixPeerContext* peer, void* buffer, size_t length);
int trovixPeerWrite(TrovixPeerContext* peer, const void* buffer, size_t length);
// The same write without waiting: -EAGAIN at once while ENet holds
// the send limit or more for the peer.
int trovixPeerWriteNow(TrovixPeerContext* peer, const void* buffer, size_t length);
// Waits until a write would not wait, or timeoutMs pass (-1: no limit).
// 1 ready (or no peer any more: the write says so), 0 time-out,
// -ECANCELED once the link was closed.
int trovixPeerWaitWritable(TrovixPeerContext* peer, int timeoutMs);
// The same read without waiting: -EAGAIN (errno EAGAIN) when no packet is
// there yet. For a transport that waits itself (TLS).
int trovixPeerReadNow(TrovixPeerContext* peer, void* buffer, size_t length);
// Waits until a read would not wait, or timeoutMs pass (-1: no limit).
// 1 ready, 0 time-out, -ECANCELED once the link was closed.
int trovixPeerWaitReadable(TrovixPeerContext* peer, int timeoutMs);
// Ends the stream for a waiting reader, stops the service thread and
// destroys the host (within the service wait). Safe to call more than once
// and from any thread but the service thread.
void closeTrovixPeer(TrovixPeerContext* peer);
// Closes when not closed yet, then frees the context with every packet
// still queued.
void releaseTrovixPeer(TrovixPeerContext* peer);

// The most bytes that ever waited for a reader on one link, over every
// link of the process since the last reset.
size_t trovixPeerReceivePeak();
void resetTrovixPeerReceivePeak();

// ENet's socket wait with hostMutex released for the duration of the poll:
// waits until the socket can be read or timeoutMs pass. 0 or -errno.
int waitSocketUnlocked(int socket, pthread_mutex_t* hostMutex, int timeoutMs);
