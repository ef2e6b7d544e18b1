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

// The dialler's log lines name a list entry, and the list is written by
// clients: per entry and call site the first lines of a window are logged,
// the rest counted, as for a client's lines (connectionlog.h). One per
// dialler thread.
struct ReverseDiallerLog;
ReverseDiallerLog* createReverseDiallerLog();
// Logs the counts of windows that are over; with `final` every count, and
// frees the log.
void flushReverseDiallerLog(ReverseDiallerLog* log, bool final);

NetworkService* createTcpReverseService();
void* reverseClientThread(void* service);
// One pass over a comma list of host[:port] items.
void dialReverseClients(NetworkService* service, const char* list);

// The dialler's loop for either kind: a pass over the list, then the pause
// of "ReverseClientsRetryPeriod" seconds, until the stop flag is set.
void runReverseDialler(NetworkService* service, const ReverseDialer* dialer);
// log: null logs every line as it comes.
void dialReverseClientsWith(NetworkService* service, const char* list, const ReverseDialer* dialer,
                            ReverseDiallerLog* log = nullptr);
// Non-blocking connect bounded by 4 seconds; the socket is blocking again
// after a true result.
bool connectWithTimeout(int socket, const sockaddr* address, socklen_t length);
