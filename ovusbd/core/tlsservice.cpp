#include "ovusbd/core/tlsservice.h"

#include <errno.h>
#include <fcntl.h>
#include <mbedtls/net_sockets.h>
#include <netdb.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "ovusbd/core/config.h"
#include "ovusbd/core/connection.h"
#include "ovusbd/core/connectionlog.h"
#include "ovusbd/core/log.h"
#include "ovusbd/core/reverseservice.h"
#include "ovusbd/core/tcpservice.h"
#include "ovusbd/core/util.h"

namespace {

TlsService* tlsService(NetworkService* service) {
    return reinterpret_cast<TlsService*>(service);
}

int magnitude(int code) {
    return code < 0 ? -code : code;
}

char* copyText(const char* text) {
    return text != nullptr ? strdup(text) : nullptr;
}

NetworkService* makeService(const TlsSettings* settings, const char* name) {
    auto* service = static_cast<TlsService*>(calloc(1, sizeof(TlsService)));
    if (service == nullptr) {
        return nullptr;
    }
    service->settings = *settings;
    service->settings.certPath = copyText(settings->certPath);
    service->settings.caPath = copyText(settings->caPath);
    service->settings.crlPath = copyText(settings->crlPath);
    if (service->settings.handshakeTimeoutMs <= 0) {
        service->settings.handshakeTimeoutMs = kTlsHandshakeTimeoutMs;
    }
    if (service->settings.firstByteTimeoutMs <= 0) {
        service->settings.firstByteTimeoutMs = kTlsFirstByteTimeoutMs;
    }
    service->listenSocket = -1;
    service->owner = {&service->tls, &service->settings, &service->base.stopFlag};
    pthread_mutex_init(&service->handshakeMutex, nullptr);
    pthread_cond_init(&service->handshakeDone, nullptr);
    snprintf(service->base.name, sizeof service->base.name, "%s", name);
    return &service->base;
}

// deinit: what the service object itself holds beyond the TLS objects.
void tlsServiceDeinit(NetworkService* base) {
    TlsService* service = tlsService(base);
    releaseTlsConfig(&service->tls);
    free(const_cast<char*>(service->settings.certPath));
    free(const_cast<char*>(service->settings.caPath));
    free(const_cast<char*>(service->settings.crlPath));
    service->settings.certPath = service->settings.caPath = service->settings.crlPath = nullptr;
    pthread_mutex_destroy(&service->handshakeMutex);
    pthread_cond_destroy(&service->handshakeDone);
}

void releaseTlsService(NetworkService* base) {
    TlsService* service = tlsService(base);
    if (service->listenSocket >= 0) {
        close(service->listenSocket);
        service->listenSocket = -1;
    }
    releaseTlsConfig(&service->tls);
}

void startThread(NetworkService* service, void* (*routine)(void*)) {
    int rc = pthread_create(&service->thread, nullptr, routine, service);
    service->threadRunning = rc == 0;
    if (rc != 0) {
        logMessage(3, "Error %d starting %s, %s", rc, service->name, strerror(rc));
    }
}

void tlsServiceStart(NetworkService* service) {
    startThread(service, tlsAcceptThread);
}

void tlsReverseServiceStart(NetworkService* service) {
    startThread(service, tlsReverseClientThread);
}

// Stop flag, join the service thread, then wait for the handshakes it left
// running: each sees the flag within a quarter second.
void tlsServiceStop(NetworkService* base, int) {
    TlsService* service = tlsService(base);
    setServiceStopFlag(base, 1);
    if (base->threadRunning) {
        pthread_join(base->thread, nullptr);
        base->threadRunning = false;
    }
    pthread_mutex_lock(&service->handshakeMutex);
    while (service->pendingHandshakes > 0) {
        pthread_cond_wait(&service->handshakeDone, &service->handshakeMutex);
    }
    pthread_mutex_unlock(&service->handshakeMutex);
    setServiceStopFlag(base, 0);
}

struct PendingLink {
    TlsService* service;
    NetworkConnection* connection;
    sockaddr_storage peer;
    PeerSource source;
};

TlsHandshakeShare* findShare(TlsService* service, const PeerSource& source) {
    for (TlsHandshakeShare& share : service->shares) {
        if (share.count > 0 && samePeerSource(share.source, source)) {
            return &share;
        }
    }
    return nullptr;
}

// Under handshakeMutex. Takes a place for one more handshake of the source;
// 0, or the cap that is full (the listener's or the source's share).
int takeHandshakePlace(TlsService* service, const PeerSource& source) {
    if (service->pendingHandshakes >= kMaxPendingTlsHandshakes) {
        return kMaxPendingTlsHandshakes;
    }
    TlsHandshakeShare* share = findShare(service, source);
    if (share != nullptr && share->count >= kMaxPendingTlsHandshakesPerSource) {
        return kMaxPendingTlsHandshakesPerSource;
    }
    if (share == nullptr) {
        // There are fewer sources than handshakes, so a free entry exists.
        for (TlsHandshakeShare& entry : service->shares) {
            if (entry.count == 0) {
                share = &entry;
                share->source = source;
                break;
            }
        }
    }
    if (share == nullptr) {
        return kMaxPendingTlsHandshakes;
    }
    share->count++;
    service->pendingHandshakes++;
    return 0;
}

void giveHandshakePlace(TlsService* service, const PeerSource& source) {
    pthread_mutex_lock(&service->handshakeMutex);
    TlsHandshakeShare* share = findShare(service, source);
    if (share != nullptr) {
        share->count--;
    }
    service->pendingHandshakes--;
    pthread_cond_broadcast(&service->handshakeDone);
    pthread_mutex_unlock(&service->handshakeMutex);
}

void* handshakeThread(void* argument) {
    auto* pending = static_cast<PendingLink*>(argument);
    TlsService* service = pending->service;
    const PeerSource source = pending->source;
    if (!addClientConnection(pending->connection, reinterpret_cast<sockaddr*>(&pending->peer))) {
        discardConnection(pending->connection);
    }
    free(pending);
    giveHandshakePlace(service, source);
    return nullptr;
}

// Hands an accepted link to a handshake thread of its own. False when none
// could be started; the caller then discards the link.
bool startHandshake(TlsService* service, NetworkConnection* connection, const sockaddr_storage& peer) {
    const PeerSource source = peerSourceOf(reinterpret_cast<const sockaddr*>(&peer));
    pthread_mutex_lock(&service->handshakeMutex);
    const int full = takeHandshakePlace(service, source);
    pthread_mutex_unlock(&service->handshakeMutex);
    if (full == kMaxPendingTlsHandshakes) {
        logPeerMessage(source, 4, "Warning, %d SSL handshakes in progress, new client dropped", full);
        return false;
    }
    if (full != 0) {
        char text[64];
        formatPeerSource(source, text, sizeof text);
        logPeerMessage(source, 4, "Warning, %d SSL handshakes in progress from %s, new client dropped", full, text);
        return false;
    }
    auto* pending = static_cast<PendingLink*>(malloc(sizeof(PendingLink)));
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int rc = ENOMEM;
    if (pending != nullptr) {
        *pending = {service, connection, peer, source};
        rc = pthread_create(&thread, &attributes, handshakeThread, pending);
    }
    pthread_attr_destroy(&attributes);
    if (rc == 0) {
        return true;
    }
    logPeerMessage(source, 3, "Error %d starting an SSL handshake, %s", rc, strerror(rc));
    free(pending);
    giveHandshakePlace(service, source);
    return false;
}

NetworkConnection* wrapDialled(NetworkService* service, int socket) {
    return createTlsConnection(socket, &tlsService(service)->owner, linkSendTimeout() * 1000);
}

const ReverseDialer tlsDialer = {"SSLReverseClients", "SSLReverseClientsPort", 7572, "reverse SSL client",
                                 wrapDialled};

} // namespace

NetworkService* createTlsService(const TlsSettings* settings) {
    NetworkService* service = makeService(settings, "TCP SSL Service");
    if (service != nullptr) {
        service->deinit = tlsServiceDeinit;
        service->listen = tlsServiceListen;
        service->start = tlsServiceStart;
        service->stop = tlsServiceStop;
        service->release = releaseTlsService;
    }
    return service;
}

NetworkService* createTlsReverseService(const TlsSettings* settings) {
    NetworkService* service = makeService(settings, "TCP SSL Reverse Service");
    if (service != nullptr) {
        service->deinit = tlsServiceDeinit;
        service->listen = tlsReverseServiceConfigure;
        service->start = tlsReverseServiceStart;
        service->stop = tlsServiceStop;
        service->release = releaseTlsService;
    }
    return service;
}

bool tlsReverseServiceConfigure(NetworkService* base, int*) {
    return loadTlsConfig(&tlsService(base)->tls, &tlsService(base)->settings);
}

bool tlsServiceListen(NetworkService* base, int* boundPort) {
    TlsService* service = tlsService(base);
    if (!loadTlsConfig(&service->tls, &service->settings)) {
        return false;
    }
    const int port = getConfigInt("SSLPort", 7574);
    char* host = getConfigString("NetworkInterface", nullptr, true);
    char portText[16];
    snprintf(portText, sizeof portText, "%d", port);

    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE | AI_ADDRCONFIG | AI_NUMERICSERV;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* results = nullptr;
    if (getaddrinfo(host, portText, &hints, &results) != 0 || results == nullptr) {
        free(host);
        return false;
    }
    addrinfo* first = results;
    for (addrinfo* ai = results; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET6) {
            first = ai;
            break;
        }
    }
    char text[256];
    for (addrinfo* ai = first; ai != nullptr; ai = ai->ai_next) {
        char numericHost[256];
        char numericPort[33];
        int rc = getnameinfo(ai->ai_addr, ai->ai_addrlen, numericHost, sizeof numericHost, numericPort,
                             sizeof numericPort, NI_NUMERICHOST | NI_NUMERICSERV);
        if (rc != 0) {
            logMessage(3, "Error -0x%04x calling getnameinfo for ssl, %s", magnitude(rc), gai_strerror(rc));
            continue;
        }
        mbedtls_net_context listening;
        mbedtls_net_init(&listening);
        rc = mbedtls_net_bind(&listening, numericHost, numericPort, MBEDTLS_NET_PROTO_TCP);
        if (rc != 0) {
            logMessage(3, "Error -0x%04x calling mbedtls_net_bind for ssl, %s", magnitude(rc),
                       tlsErrorText(rc, text, sizeof text));
            mbedtls_net_free(&listening);
            continue;
        }
        // Scripts run through fork and exec: the listening socket stays ours.
        fcntl(listening.fd, F_SETFD, FD_CLOEXEC);
        sockaddr_storage bound{};
        socklen_t boundLength = sizeof bound;
        *boundPort = port;
        if (getsockname(listening.fd, reinterpret_cast<sockaddr*>(&bound), &boundLength) == 0) {
            *boundPort = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                                           : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
        }
        service->listenSocket = listening.fd;
        if (host != nullptr) {
            char boundHost[NI_MAXHOST];
            if (formatSocketAddress(reinterpret_cast<sockaddr*>(&bound), boundHost, sizeof boundHost) == nullptr) {
                snprintf(boundHost, sizeof boundHost, "%s", numericHost);
            }
            logMessage(6, "Listening on %s at TCP SSL port %d %s", boundHost, *boundPort, "");
        } else {
            logMessage(6, "Listening on %s at TCP SSL port %d %s", "all network interfaces", *boundPort,
                       ai->ai_family == AF_INET6 ? "(IPv6 dual-stack)" : "");
        }
        break;
    }
    freeaddrinfo(results);
    free(host);
    return service->listenSocket >= 0;
}

void* tlsAcceptThread(void* argument) {
    TlsService* service = tlsService(static_cast<NetworkService*>(argument));
    char text[256];
    while (!serviceStopRequested(&service->base)) {
        pollfd readable{service->listenSocket, POLLIN, 0};
        int ready = poll(&readable, 1, 1000);
        if (ready == 0 || (ready < 0 && errno == EINTR)) {
            continue;
        }
        if (ready < 0) {
            logMessage(3, "Error %d selecting server SSL socket, %s", errno, strerror(errno));
            break;
        }
        sockaddr_storage peer{};
        socklen_t peerLength = sizeof peer;
        int s = accept4(service->listenSocket, reinterpret_cast<sockaddr*>(&peer), &peerLength, SOCK_CLOEXEC);
        if (s < 0) {
            const int error = errno;
            if (error == EAGAIN || error == EINTR) {
                continue;
            }
            logMessage(3, "Error -x%04x accepting a new SSL socket, %s", magnitude(MBEDTLS_ERR_NET_ACCEPT_FAILED),
                       tlsErrorText(MBEDTLS_ERR_NET_ACCEPT_FAILED, text, sizeof text));
            // Out of descriptors the waiting connection keeps the socket
            // readable: pause instead of spinning.
            if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
                for (int step = 0; step < 10 && !serviceStopRequested(&service->base); step++) {
                    sleepMilliseconds(100);
                }
            }
            continue;
        }
        int error = 0;
        NetworkConnection* connection = createTlsConnection(s, &service->owner, linkSendTimeout() * 1000, &error);
        if (connection == nullptr) {
            char peerText[64];
            const PeerSource source = peerSourceOf(reinterpret_cast<sockaddr*>(&peer));
            formatPeerSource(source, peerText, sizeof peerText);
            logPeerMessage(source, 3, "Error %d making an SSL link for %s, %s", -error, peerText, strerror(-error));
            close(s);
            continue;
        }
        if (!startHandshake(service, connection, peer)) {
            discardConnection(connection);
        }
    }
    shutdown(service->listenSocket, SHUT_RDWR);
    close(service->listenSocket);
    service->listenSocket = -1;
    return nullptr;
}

void* tlsReverseClientThread(void* argument) {
    runReverseDialler(static_cast<NetworkService*>(argument), &tlsDialer);
    return nullptr;
}

void dialTlsReverseClients(NetworkService* service, const char* list) {
    dialReverseClientsWith(service, list, &tlsDialer);
}
