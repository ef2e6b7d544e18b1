#include "ovusbd/core/tlsconnection.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ovusbd/core/config.h"

namespace {

TlsConnection* tls(NetworkConnection* connection) {
    return reinterpret_cast<TlsConnection*>(connection);
}

int socketSend(void* context, const unsigned char* data, size_t length) {
    const ssize_t rc = send(static_cast<TlsConnection*>(context)->socket, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    return rc >= 0 ? int(rc) : -errno;
}

int socketReceive(void* context, unsigned char* data, size_t length) {
    const ssize_t rc = recv(static_cast<TlsConnection*>(context)->socket, data, length, MSG_DONTWAIT);
    return rc >= 0 ? int(rc) : -errno;
}

int socketWait(void* context, bool forWrite, int timeoutMs) {
    auto* c = static_cast<TlsConnection*>(context);
    for (;;) {
        if (__atomic_load_n(&c->closed, __ATOMIC_ACQUIRE) != 0) {
            return -ECANCELED;
        }
        pollfd fds[2] = {{c->socket, short(forWrite ? POLLOUT : POLLIN), 0}, {c->wakeFd, POLLIN, 0}};
        const int rc = poll(fds, 2, timeoutMs);
        if (rc < 0 && errno == EINTR) {
            continue;
        }
        if (rc < 0) {
            return -errno;
        }
        if (fds[1].revents != 0) {
            return -ECANCELED;
        }
        // An error or hang-up is reported by the next send or receive.
        return rc == 0 ? 0 : 1;
    }
}

int tlsSetNoDelay(NetworkConnection* connection) {
    int one = 1;
    if (setsockopt(tls(connection)->socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) {
        return -errno;
    }
    return 0;
}

// Only wakes the threads using the link: the session stays whole until
// destroy, after the remover has joined them.
void tlsClose(NetworkConnection* connection) {
    TlsConnection* c = tls(connection);
    __atomic_store_n(&c->closed, 1, __ATOMIC_RELEASE);
    const uint64_t one = 1;
    if (write(c->wakeFd, &one, sizeof one) < 0) {
        // The counter is far from overflowing; nothing else can fail here.
    }
}

int tlsGetLocalAddress(NetworkConnection* connection, sockaddr* address, socklen_t* length) {
    if (getsockname(tls(connection)->socket, address, length) != 0) {
        return -errno;
    }
    return 0;
}

bool tlsHandshake(NetworkConnection* connection) {
    TlsConnection* c = tls(connection);
    // Read at every handshake: a change takes effect for the next client.
    const bool require = getConfigBool("SSLUseClientCerts", "0");
    tlsSessionSetPeer(&c->session, &c->peer, c->owner->settings->firstByteTimeoutMs);
    return tlsSessionHandshake(&c->session, &c->owner->tls->config, require, c->owner->settings->handshakeTimeoutMs,
                               c->owner->stopFlag) == 0;
}

int tlsRead(NetworkConnection* connection, void* buffer, size_t length) {
    return tlsSessionRead(&tls(connection)->session, buffer, length);
}

int tlsWrite(NetworkConnection* connection, const void* buffer, size_t length) {
    TlsConnection* c = tls(connection);
    if (__atomic_load_n(&c->closed, __ATOMIC_ACQUIRE) != 0) {
        return -EPIPE;
    }
    return tlsSessionWrite(&c->session, buffer, length, c->sendTimeoutMs);
}

// Every thread that used the session has been joined: close_notify goes out
// once, without waiting, then the socket is shut and closed.
void tlsDestroy(NetworkConnection* connection) {
    TlsConnection* c = tls(connection);
    tlsSessionCloseNotify(&c->session);
    tlsSessionFree(&c->session);
    if (c->socket >= 0) {
        shutdown(c->socket, SHUT_RDWR);
        close(c->socket);
        c->socket = -1;
    }
    if (c->wakeFd >= 0) {
        close(c->wakeFd);
        c->wakeFd = -1;
    }
}

} // namespace

NetworkConnection* createTlsConnection(int socket, const TlsLinkOwner* owner, int sendTimeoutMs, int* error) {
    int failure = 0;
    const int flags = fcntl(socket, F_GETFL);
    if (flags < 0 || fcntl(socket, F_SETFL, flags | O_NONBLOCK) != 0) {
        failure = -errno;
    }
    auto* c = failure == 0 ? static_cast<TlsConnection*>(calloc(1, sizeof(TlsConnection))) : nullptr;
    if (failure == 0 && c == nullptr) {
        failure = -ENOMEM;
    }
    if (c != nullptr) {
        c->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (c->wakeFd < 0) {
            failure = -errno;
            free(c);
            c = nullptr;
        }
    }
    if (c == nullptr) {
        if (error != nullptr) {
            *error = failure;
        }
        return nullptr;
    }
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof peer;
    if (getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0) {
        c->peer = peerSourceOf(reinterpret_cast<sockaddr*>(&peer));
    }
    c->base.descriptors = 2;
    c->base.setNoDelay = tlsSetNoDelay;
    c->base.close = tlsClose;
    c->base.getLocalAddress = tlsGetLocalAddress;
    c->base.handshake = tlsHandshake;
    c->base.read = tlsRead;
    c->base.write = tlsWrite;
    c->base.destroy = tlsDestroy;
    c->owner = owner;
    c->socket = socket;
    c->sendTimeoutMs = sendTimeoutMs;
    const TlsTransport transport{c, socketSend, socketReceive, socketWait};
    tlsSessionInit(&c->session, &transport);
    return &c->base;
}
