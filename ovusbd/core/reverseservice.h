// "TCP Reverse Service": dials the clients listed in "ReverseClients" and
// hands each link to addClientConnection like an accepted one.
#pragma once

#include <sys/socket.h>

#include "ovusbd/core/transport.h"

NetworkService* createTcpReverseService();
void* reverseClientThread(void* service);
// One pass over a comma list of host[:port] items.
void dialReverseClients(NetworkService* service, const char* list);
// Non-blocking connect bounded by 4 seconds; the socket is blocking again
// after a true result.
bool connectWithTimeout(int socket, const sockaddr* address, socklen_t length);
