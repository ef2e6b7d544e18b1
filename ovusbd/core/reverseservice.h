// "TCP Reverse Service": dials the clients listed in "ReverseClients" and
// hands each link to addClientConnection like an accepted one.
#pragma once

#include <sys/socket.h>

#include "ovusbd/core/transport.h"

// What the plain and the TLS dialler do differently.
struct ReverseDialer {
    const char* listKey;     // "ReverseClients"
    const char* portKey;     // "ReverseClientsPort", for items without a port
    int defaultPort;
    const char* clientWord;  // "reverse client", in the resolver's error line
    // Wraps a connected socket; null (socket left open) when memory runs out.
    NetworkConnection* (*wrap)(NetworkService* service, int socket);
};

NetworkService* createTcpReverseService();
void* reverseClientThread(void* service);
// One pass over a comma list of host[:port] items.
void dialReverseClients(NetworkService* service, const char* list);

// The dialler's loop for either kind: a pass over the list, then the pause
// of "ReverseClientsRetryPeriod" seconds, until the stop flag is set.
void runReverseDialler(NetworkService* service, const ReverseDialer* dialer);
void dialReverseClientsWith(NetworkService* service, const char* list, const ReverseDialer* dialer);
// Non-blocking connect bounded by 4 seconds; the socket is blocking again
// after a true result.
bool connectWithTimeout(int socket, const sockaddr* address, socklen_t length);
