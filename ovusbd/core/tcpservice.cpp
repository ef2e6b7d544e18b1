#include "ovusbd/core/tcpservice.h"

#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "ovusbd/core/config.h"
#include "ovusbd/core/connection.h"
#include "ovusbd/core/coresettings.h"
#include "ovusbd/core/log.h"
#include "ovusbd/core/platform.h"
#include "ovusbd/core/util.h"

namespace {

TcpConnection* tcp(NetworkConnection* connection) {
    return reinterpret_cast<TcpConnection*>(connection);
}

int tcpSetNoDelay(NetworkConnection* connection) {
    int one = 1;
    return setsockopt(tcp(connection)->socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0 ? 0 : -errno;
}

// Only shuts the socket down: this wakes a receive or transmit thread blocked
// on it, while the descriptor number stays ours until destroy. Closing it here
// would let a new socket reuse the number under a thread still about to call
// recv or send on it.
void tcpClose(NetworkConnection* connection) {
    if (tcp(connection)->socket >= 0) {
        shutdown(tcp(connection)->socket, SHUT_RDWR);
    }
}

int tcpGetLocalAddress(NetworkConnection* connection, sockaddr* address, socklen_t* length) {
    return getsockname(tcp(connection)->socket, address, length) == 0 ? 0 : -errno;
}

bool tcpHandshake(NetworkConnection*) {
    return true;
}

int tcpRead(NetworkConnection* connection, void* buffer, size_t length) {
    const ssize_t got = recv(tcp(connection)->socket, buffer, length, MSG_WAITALL);
    return got >= 0 ? int(got) : -errno;
}

int tcpWrite(NetworkConnection* connection, const void* buffer, size_t length) {
    const ssize_t sent = send(tcp(connection)->socket, buffer, length, MSG_NOSIGNAL);
    return sent >= 0 ? int(sent) : -errno;
}

int tcpWriteNow(NetworkConnection* connection, const void* buffer, size_t length) {
    const ssize_t sent = send(tcp(connection)->socket, buffer, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    return sent >= 0 ? int(sent) : -errno;
}

void tcpDestroy(NetworkConnection* connection) {
    if (tcp(connection)->socket >= 0) {
        close(tcp(connection)->socket);
        tcp(connection)->socket = -1;
    }
}

void tcpServiceStart(NetworkService* service) {
    int rc = pthread_create(&service->thread, nullptr, tcpAcceptThread, service);
    service->threadRunning = rc == 0;
    if (rc != 0) {
        logMessage(3, "Error %d starting %s, %s", rc, service->name, strerror(rc));
    }
}

// After a failed start-up the accept thread never ran, so the socket that
// listen kept is closed here.
void tcpServiceRelease(NetworkService* base) {
    auto* service = reinterpret_cast<TcpService*>(base);
    if (service->listenSocket >= 0) {
        close(service->listenSocket);
        service->listenSocket = -1;
    }
}

} // namespace

int linkSendTimeout() {
    const int timeout = coreSettings().pingTimeout;
    return timeout > 0 ? timeout : 1;
}

NetworkConnection* createTcpConnection(int socket, int sendTimeoutSeconds) {
    auto* connection = static_cast<TcpConnection*>(calloc(1, sizeof(TcpConnection)));
    if (connection == nullptr) {
        return nullptr;
    }
    connection->base.setNoDelay = tcpSetNoDelay;
    connection->base.close = tcpClose;
    connection->base.getLocalAddress = tcpGetLocalAddress;
    connection->base.handshake = tcpHandshake;
    connection->base.read = tcpRead;
    connection->base.write = tcpWrite;
    connection->base.destroy = tcpDestroy;
    connection->base.writeNow = tcpWriteNow;
    connection->socket = socket;
    timeval timeout{sendTimeoutSeconds, 0};
    setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    return &connection->base;
}

void discardConnection(NetworkConnection* connection) {
    connection->close(connection);
    connection->destroy(connection);
    free(connection);
}

void stopServiceThread(NetworkService* service, int) {
    setServiceStopFlag(service, 1);
    if (service->threadRunning) {
        pthread_join(service->thread, nullptr);
        service->threadRunning = false;
    }
    setServiceStopFlag(service, 0);
}

NetworkService* createTcpService() {
    auto* service = static_cast<TcpService*>(calloc(1, sizeof(TcpService)));
    if (service == nullptr) {
        return nullptr;
    }
    service->base.listen = tcpServiceListen;
    service->base.start = tcpServiceStart;
    service->base.stop = stopServiceThread;
    service->base.release = tcpServiceRelease;
    snprintf(service->base.name, sizeof service->base.name, "%s", "TCP Service");
    service->listenSocket = -1;
    return &service->base;
}

bool tcpServiceListen(NetworkService* base, int* boundPort) {
    auto* service = reinterpret_cast<TcpService*>(base);
    const int port = getConfigInt("TCPPort", coreSettings().platformCode == kPlatformSynology ? 17570 : 7575);
    char* host = getConfigString("NetworkInterface", nullptr, true);
    char portText[16];
    snprintf(portText, sizeof portText, "%d", port);

    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE | AI_ADDRCONFIG | AI_NUMERICSERV;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* results = nullptr;
    int rc = getaddrinfo(host, port != 0 ? portText : nullptr, &hints, &results);
    if (rc != 0) {
        const int error = errno;
        logMessage(3, "Error '%s' (%d) calling getaddrinfo for %s:%s", gai_strerror(rc), error,
                   host ? host : "(null)", portText);
        fprintf(stderr, "Error %d (%d) calling getaddrinfo for %s:%s", rc, error, host ? host : "(null)", portText);
        free(host);
        return false;
    }
    addrinfo* first = results;
    if (host == nullptr && coreSettings().preferIpv6) {
        for (addrinfo* ai = results; ai != nullptr; ai = ai->ai_next) {
            if (ai->ai_family == AF_INET6) {
                first = ai;
                break;
            }
        }
    }
    for (addrinfo* ai = first; ai != nullptr; ai = ai->ai_next) {
        int s = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (s < 0) {
            continue;
        }
        int zero = 0, one = 1;
        sockaddr_storage bound{};
        socklen_t boundLength = sizeof bound;
        char boundHost[NI_MAXHOST], boundPortText[NI_MAXSERV];
        if ((ai->ai_family == AF_INET6 && setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero) != 0) ||
            setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 || bind(s, ai->ai_addr, ai->ai_addrlen) != 0 ||
            ::listen(s, 10) != 0 || getsockname(s, reinterpret_cast<sockaddr*>(&bound), &boundLength) != 0 ||
            getnameinfo(reinterpret_cast<sockaddr*>(&bound), boundLength, nullptr, 0, boundPortText,
                        sizeof boundPortText, NI_NUMERICSERV) != 0) {
            close(s);
            continue;
        }
        *boundPort = atoi(boundPortText);
        service->listenSocket = s;
        if (host != nullptr) {
            formatSocketAddress(reinterpret_cast<sockaddr*>(&bound), boundHost, sizeof boundHost);
            logMessage(6, "Listening on %s at TCP port %d %s", boundHost, *boundPort, "");
        } else {
            logMessage(6, "Listening on %s at TCP port %d %s", "all network interfaces", *boundPort,
                       ai->ai_family == AF_INET6 ? "(IPv6 dual-stack)" : "");
        }
        break;
    }
    freeaddrinfo(results);
    free(host);
    return service->listenSocket >= 0;
}

void* tcpAcceptThread(void* argument) {
    auto* service = static_cast<TcpService*>(argument);
    while (!serviceStopRequested(&service->base)) {
        // poll, not select: with many clients the socket's number may be
        // beyond what an fd_set holds.
        pollfd readable{service->listenSocket, POLLIN, 0};
        int ready = poll(&readable, 1, 1000);
        if (ready == 0 || (ready < 0 && errno == EINTR)) {
            continue;
        }
        if (ready < 0) {
            logMessage(3, "Error %d selecting server socket, %s", errno, strerror(errno));
            break;
        }
        sockaddr_storage peer{};
        socklen_t peerLength = sizeof peer;
        int s = accept4(service->listenSocket, reinterpret_cast<sockaddr*>(&peer), &peerLength, SOCK_CLOEXEC);
        if (s < 0) {
            if (errno == EINTR) {
                break;
            }
            const int error = errno;
            logMessage(3, "Error %d accepting a new socket, %s", error, strerror(error));
            // Out of descriptors or memory the waiting connection keeps the
            // socket readable, so retrying at once would spin and flood the
            // log: pause, still watching the stop flag.
            if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
                for (int step = 0; step < 10 && !serviceStopRequested(&service->base); step++) {
                    sleepMilliseconds(100);
                }
            }
            continue;
        }
        NetworkConnection* connection = createTcpConnection(s, linkSendTimeout());
        if (connection == nullptr) {
            close(s);
            continue;
        }
        if (!addClientConnection(connection, reinterpret_cast<sockaddr*>(&peer))) {
            discardConnection(connection);
        }
    }
    shutdown(service->listenSocket, SHUT_RDWR);
    close(service->listenSocket);
    service->listenSocket = -1;
    return nullptr;
}
