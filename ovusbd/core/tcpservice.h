// "TCP Service": the plain TCP listener, and the plain TCP link that both it
// and the reverse dialler hand to addClientConnection.
#pragma once

#include <sys/socket.h>

#include "ovusbd/core/transport.h"

struct TcpService {
    NetworkService base;  // first, so a NetworkService* is a TcpService*
    int listenSocket;     // -1 when none; closed by the accept thread as it ends
};

// Plain TCP link: the operations, then the socket.
struct TcpConnection {
    NetworkConnection base;
    int socket;
};

// New zero-filled "TCP Service" with its operations set and no socket; null
// when memory runs out. Freed with freeService.
NetworkService* createTcpService();

// Wraps a connected socket. Each send is bounded by a time-out of
// sendTimeoutSeconds so one client that stops reading cannot hold its
// transmit thread forever. Null (socket left open) when memory runs out.
NetworkConnection* createTcpConnection(int socket, int sendTimeoutSeconds);

// Releases a link that was never handed over or that addClientConnection
// refused: close, destroy, free.
void discardConnection(NetworkConnection* connection);

bool tcpServiceListen(NetworkService* service, int* boundPort);
void* tcpAcceptThread(void* service);

// Stop for both plain TCP services: stop flag, join, flag back to 0.
void stopServiceThread(NetworkService* service, int flag);

// Seconds a blocked send may take before the link counts as dead.
int linkSendTimeout();
