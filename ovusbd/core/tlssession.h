// One server side TLS session over a transport the caller supplies (a TCP
// socket, a peer link). The receive and the transmit thread use one session
// at the same time; an mbedtls context is not safe for that (a read that
// answers a bad record with an alert writes the same output buffer as a
// concurrent write), so every mbedtls call runs under the session's mutex
// and the transport calls it makes never block: the waits for readiness
// happen outside the mutex, through the transport's wait.
#pragma once

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include <mbedtls/ssl.h>

#include "ovusbd/core/certificaterecord.h"
#include "ovusbd/core/peersource.h"

// The transport under a session. Every member is required.
struct TlsTransport {
    void* context;
    // Never blocks. Bytes sent (at least 1), -EAGAIN when nothing can be
    // sent now, or another -errno.
    int (*send)(void* context, const unsigned char* data, size_t length);
    // Never blocks. Bytes received (at least 1), 0 at the end of the
    // stream, -EAGAIN when nothing is there now, or another -errno.
    int (*receive)(void* context, unsigned char* data, size_t length);
    // Blocks until send (forWrite) or receive may make progress, the link
    // was closed locally, or timeoutMs pass (-1: no limit). 1 ready, 0 time
    // out, -ECANCELED once the link was closed locally, another -errno.
    int (*wait)(void* context, bool forWrite, int timeoutMs);
};

struct TlsSession {
    // Guards ssl and lastTransportError. Held only across non-blocking
    // mbedtls calls, never across a wait.
    pthread_mutex_t mutex;
    mbedtls_ssl_context ssl;
    TlsTransport transport;
    int lastTransportError;  // -errno of the transport's last failure
    bool setUp;              // mbedtls_ssl_setup succeeded
    // The handshake's failures are logged counted per this source, when set.
    bool hasPeer;
    PeerSource peer;
    int firstByteTimeoutMs;  // 0: only the handshake's own bound
    uint64_t received;       // bytes the transport delivered
    // While the handshake waits for the client's certificate, the records
    // the transport delivers are collected here and judged
    // (checkCertificateRecord) before mbedtls gets the last byte of each.
    bool checkCertificates;  // a certificate was requested and not judged yet
    uint8_t* certificateRecord;  // kTlsRecordHeader + kMaxPlainRecord bytes while collecting
    size_t certificateFilled;
    CertificateVerdict certificateVerdict;  // the refusing verdict, else Acceptable
};

// Prepares the session on the transport (no I/O). Pair with tlsSessionFree.
void tlsSessionInit(TlsSession* session, const TlsTransport* transport);

// Counts the session's log records per source (logPeerMessage; peer may be
// null) and gives the peer firstByteTimeoutMs to send its first byte (0: no
// bound of its own). Call before the handshake.
void tlsSessionSetPeer(TlsSession* session, const PeerSource* peer, int firstByteTimeoutMs);

// Runs the server side of the handshake on the service's configuration.
// A client certificate is asked for only when the configuration has a CA
// chain to check it against: required when requireClientCerts, else
// optional (set for this session only: handshakes of one configuration may
// run at the same time); the chain it sends is bounded by
// kClientCertificateLimits. Without a CA chain none is asked for (one sent
// anyway is not verified), and requireClientCerts refuses every client.
// Ends after timeoutMs, or within a quarter second of *stopFlag becoming
// non-zero (stopFlag may be null). Returns 0, or -ETIMEDOUT, -ECANCELED
// (stop, or the link closed), -EPROTO (setup or handshake failure); every
// failure but a stop is logged at level 3.
int tlsSessionHandshake(TlsSession* session, mbedtls_ssl_config* config, bool requireClientCerts, int timeoutMs,
                        const uint8_t* stopFlag);

// Reads up to length bytes, waiting as long as it takes. Bytes read; 0 when
// the peer sent close_notify, the stream ended between records or the link
// was closed locally; -ENODATA when the stream ended inside a record (a
// truncated record); -ECONNRESET when the peer reset it; -EPROTO for every
// other failure.
int tlsSessionRead(TlsSession* session, void* buffer, size_t length);

// Writes up to length bytes (one record at most). Bytes written; -EAGAIN
// when the peer took nothing for timeoutMs (-1: no limit); -EPIPE once the
// link was closed locally; -ECONNRESET; -EPROTO for every other failure.
int tlsSessionWrite(TlsSession* session, const void* buffer, size_t length, int timeoutMs);

// Best effort: one non-blocking attempt to send close_notify. Call only
// when no other thread uses the session any more.
void tlsSessionCloseNotify(TlsSession* session);

// Frees the session. The transport is the caller's.
void tlsSessionFree(TlsSession* session);
