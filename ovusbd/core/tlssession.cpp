#include "ovusbd/core/tlssession.h"

#include <errno.h>
#include <mbedtls/net_sockets.h>
#include <time.h>

#include "ovusbd/core/log.h"
#include "ovusbd/core/tlsconfig.h"

namespace {

// Longest single wait of a handshake, so a stop request is seen quickly.
constexpr int kHandshakeSliceMs = 250;

int bioSend(void* context, const unsigned char* data, size_t length) {
    auto* session = static_cast<TlsSession*>(context);
    const int rc = session->transport.send(session->transport.context, data, length);
    if (rc > 0) {
        return rc;
    }
    if (rc == 0 || rc == -EAGAIN || rc == -EWOULDBLOCK || rc == -EINTR) {
        return MBEDTLS_ERR_SSL_WANT_WRITE;
    }
    session->lastTransportError = rc;
    return rc == -ECONNRESET || rc == -EPIPE ? MBEDTLS_ERR_NET_CONN_RESET : MBEDTLS_ERR_NET_SEND_FAILED;
}

int bioReceive(void* context, unsigned char* data, size_t length) {
    auto* session = static_cast<TlsSession*>(context);
    const int rc = session->transport.receive(session->transport.context, data, length);
    if (rc >= 0) {
        return rc;  // 0: end of stream, which mbedtls reports as MBEDTLS_ERR_SSL_CONN_EOF
    }
    if (rc == -EAGAIN || rc == -EWOULDBLOCK || rc == -EINTR) {
        return MBEDTLS_ERR_SSL_WANT_READ;
    }
    session->lastTransportError = rc;
    return rc == -ECONNRESET ? MBEDTLS_ERR_NET_CONN_RESET : MBEDTLS_ERR_NET_RECV_FAILED;
}

long long nowMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

bool stopRequested(const uint8_t* flag) {
    return flag != nullptr && __atomic_load_n(flag, __ATOMIC_ACQUIRE) != 0;
}

int magnitude(int code) {
    return code < 0 ? -code : code;
}

void logHandshakeError(int code) {
    char text[256];
    logMessage(3, "Error -0x%04x during SSL handshake, %s", magnitude(code), tlsErrorText(code, text, sizeof text));
}

} // namespace

void tlsSessionInit(TlsSession* session, const TlsTransport* transport) {
    pthread_mutex_init(&session->mutex, nullptr);
    mbedtls_ssl_init(&session->ssl);
    session->transport = *transport;
    session->lastTransportError = 0;
    session->setUp = false;
}

int tlsSessionHandshake(TlsSession* session, mbedtls_ssl_config* config, bool requireClientCerts, int timeoutMs,
                        const uint8_t* stopFlag) {
    char text[256];
    pthread_mutex_lock(&session->mutex);
    int rc = mbedtls_ssl_setup(&session->ssl, config);
    if (rc != 0) {
        pthread_mutex_unlock(&session->mutex);
        logMessage(3, "Error 0x%04x calling ssl_setup, %s", magnitude(rc), tlsErrorText(rc, text, sizeof text));
        return -EPROTO;
    }
    session->setUp = true;
    mbedtls_ssl_set_hs_authmode(&session->ssl,
                                requireClientCerts ? MBEDTLS_SSL_VERIFY_REQUIRED : MBEDTLS_SSL_VERIFY_OPTIONAL);
    mbedtls_ssl_set_bio(&session->ssl, session, bioSend, bioReceive, nullptr);
    pthread_mutex_unlock(&session->mutex);

    const long long deadline = nowMs() + timeoutMs;
    for (;;) {
        pthread_mutex_lock(&session->mutex);
        rc = mbedtls_ssl_handshake(&session->ssl);
        pthread_mutex_unlock(&session->mutex);
        if (rc == 0) {
            return 0;
        }
        if (rc != MBEDTLS_ERR_SSL_WANT_READ && rc != MBEDTLS_ERR_SSL_WANT_WRITE) {
            logHandshakeError(rc);
            return -EPROTO;
        }
        int waited = 0;
        while (waited == 0) {
            if (stopRequested(stopFlag)) {
                return -ECANCELED;
            }
            const long long left = deadline - nowMs();
            if (left <= 0) {
                logHandshakeError(MBEDTLS_ERR_SSL_TIMEOUT);
                return -ETIMEDOUT;
            }
            waited = session->transport.wait(session->transport.context, rc == MBEDTLS_ERR_SSL_WANT_WRITE,
                                             int(left < kHandshakeSliceMs ? left : kHandshakeSliceMs));
        }
        if (waited < 0) {
            return waited == -ECANCELED ? -ECANCELED : -EPROTO;
        }
    }
}

int tlsSessionRead(TlsSession* session, void* buffer, size_t length) {
    for (;;) {
        pthread_mutex_lock(&session->mutex);
        const int rc = mbedtls_ssl_read(&session->ssl, static_cast<unsigned char*>(buffer), length);
        pthread_mutex_unlock(&session->mutex);
        if (rc > 0) {
            return rc;
        }
        switch (rc) {
        case 0:
        case MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY:
        case MBEDTLS_ERR_SSL_CONN_EOF:
            return 0;
        case MBEDTLS_ERR_NET_CONN_RESET:
            return -ECONNRESET;
        case MBEDTLS_ERR_SSL_WANT_READ:
        case MBEDTLS_ERR_SSL_WANT_WRITE: {
            const int waited = session->transport.wait(session->transport.context,
                                                       rc == MBEDTLS_ERR_SSL_WANT_WRITE, -1);
            if (waited == -ECANCELED) {
                return 0;
            }
            if (waited < 0) {
                return waited == -ECONNRESET ? -ECONNRESET : -EPROTO;
            }
            break;
        }
        default:
            return -EPROTO;
        }
    }
}

int tlsSessionWrite(TlsSession* session, const void* buffer, size_t length, int timeoutMs) {
    for (;;) {
        pthread_mutex_lock(&session->mutex);
        const int rc = mbedtls_ssl_write(&session->ssl, static_cast<const unsigned char*>(buffer), length);
        pthread_mutex_unlock(&session->mutex);
        if (rc > 0) {
            return rc;
        }
        if (rc == MBEDTLS_ERR_NET_CONN_RESET) {
            return -ECONNRESET;
        }
        if (rc != MBEDTLS_ERR_SSL_WANT_READ && rc != MBEDTLS_ERR_SSL_WANT_WRITE) {
            return -EPROTO;
        }
        // mbedtls keeps the unsent part of the record: the next call with
        // the same arguments sends it on.
        const int waited = session->transport.wait(session->transport.context, rc == MBEDTLS_ERR_SSL_WANT_WRITE,
                                                   timeoutMs);
        if (waited == 0) {
            return -EAGAIN;
        }
        if (waited == -ECANCELED) {
            return -EPIPE;
        }
        if (waited < 0) {
            return waited == -ECONNRESET ? -ECONNRESET : -EPROTO;
        }
    }
}

void tlsSessionCloseNotify(TlsSession* session) {
    pthread_mutex_lock(&session->mutex);
    if (session->setUp && session->ssl.state == MBEDTLS_SSL_HANDSHAKE_OVER) {
        mbedtls_ssl_close_notify(&session->ssl);
    }
    pthread_mutex_unlock(&session->mutex);
}

void tlsSessionFree(TlsSession* session) {
    mbedtls_ssl_free(&session->ssl);
    pthread_mutex_destroy(&session->mutex);
}
