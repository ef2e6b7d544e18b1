// The TLS link over a TCP socket that the TLS services hand to
// addClientConnection: the server side of TLS on an accepted or a dialled
// socket.
#pragma once

#include <stdint.h>

#include "ovusbd/core/peersource.h"
#include "ovusbd/core/transport.h"
#include "ovusbd/core/tlsconfig.h"
#include "ovusbd/core/tlssession.h"

// What a link needs of the service that made it; owned by the service and
// alive as long as any of its links.
struct TlsLinkOwner {
    TlsConfig* tls;
    const TlsSettings* settings;
    const uint8_t* stopFlag;  // the service's stop flag: ends a handshake early
};

struct TlsConnection {
    NetworkConnection base;  // holds two descriptors: socket and wakeFd
    const TlsLinkOwner* owner;
    PeerSource peer;         // where the socket is connected to
    int socket;          // non-blocking; closed by destroy
    int wakeFd;          // eventfd written by close: ends every wait of the link
    uint8_t closed;      // atomic; set by close
    int sendTimeoutMs;   // a write that makes no progress for this long fails
    TlsSession session;
};

// Takes a connected socket (made non-blocking here). Null, with the socket
// left open and the negative errno in *error (may be null), when memory or
// descriptors run out.
NetworkConnection* createTlsConnection(int socket, const TlsLinkOwner* owner, int sendTimeoutMs,
                                       int* error = nullptr);
