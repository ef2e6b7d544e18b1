#include "ovusbd/core/tlssession.h"

#include <errno.h>
#include <mbedtls/net_sockets.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "ovusbd/core/connectionlog.h"
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

void endCertificateCheck(TlsSession* session) {
    free(session->certificateRecord);
    session->certificateRecord = nullptr;
    session->certificateFilled = 0;
    session->checkCertificates = false;
}

// The count bytes just delivered into data, while mbedtls waits for the
// client's Certificate message: collected with the record they belong to
// and judged once it is whole. mbedtls asks for a record's header, then for
// exactly its body, so nothing of the next record arrives here early.
// Returns count, or MBEDTLS_ERR_SSL_BAD_HS_CERTIFICATE for a chain over the
// bounds, so mbedtls never parses or verifies it.
int collectCertificateRecord(TlsSession* session, const unsigned char* data, int count) {
    constexpr size_t kCapacity = kTlsRecordHeader + kMaxPlainRecord;
    if (session->certificateRecord == nullptr) {
        session->certificateRecord = static_cast<uint8_t*>(malloc(kCapacity));
        session->certificateFilled = 0;
        if (session->certificateRecord == nullptr) {
            session->checkCertificates = false;
            return MBEDTLS_ERR_SSL_ALLOC_FAILED;
        }
    }
    if (size_t(count) > kCapacity - session->certificateFilled) {
        session->certificateVerdict = CertificateVerdict::Malformed;
        endCertificateCheck(session);
        return MBEDTLS_ERR_SSL_BAD_HS_CERTIFICATE;
    }
    memcpy(session->certificateRecord + session->certificateFilled, data, size_t(count));
    session->certificateFilled += size_t(count);
    for (;;) {
        size_t recordLength = 0;
        const CertificateVerdict verdict = checkCertificateRecord(
            session->certificateRecord, session->certificateFilled, kClientCertificateLimits, &recordLength);
        switch (verdict) {
        case CertificateVerdict::NeedMore:
            return count;
        case CertificateVerdict::OtherRecord:
            // An alert or the like, which mbedtls may pass over to read
            // the next record in the same state.
            if (session->certificateFilled < recordLength) {
                return count;
            }
            session->certificateFilled -= recordLength;
            memmove(session->certificateRecord, session->certificateRecord + recordLength,
                    session->certificateFilled);
            continue;
        case CertificateVerdict::NoCertificate:
        case CertificateVerdict::Acceptable:
            endCertificateCheck(session);
            return count;
        default:
            session->certificateVerdict = verdict;
            endCertificateCheck(session);
            return MBEDTLS_ERR_SSL_BAD_HS_CERTIFICATE;
        }
    }
}

int bioReceive(void* context, unsigned char* data, size_t length) {
    auto* session = static_cast<TlsSession*>(context);
    const int rc = session->transport.receive(session->transport.context, data, length);
    if (rc > 0) {
        session->received += uint64_t(rc);
        if (session->checkCertificates && session->ssl.state == MBEDTLS_SSL_CLIENT_CERTIFICATE) {
            return collectCertificateRecord(session, data, rc);
        }
        return rc;
    }
    if (rc == 0) {
        return rc;  // end of stream, which mbedtls reports as MBEDTLS_ERR_SSL_CONN_EOF
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

// A record the peer causes: counted per source when the session knows it.
template <typename... Arguments>
void sessionLog(const TlsSession* session, int level, const char* format, Arguments... arguments) {
    if (session->hasPeer) {
        logPeerMessage(session->peer, level, format, arguments...);
    } else {
        logMessage(level, format, arguments...);
    }
}

void logHandshakeError(const TlsSession* session, int code) {
    char text[256];
    sessionLog(session, 3, "Error -0x%04x during SSL handshake, %s", magnitude(code),
               tlsErrorText(code, text, sizeof text));
}

} // namespace

void tlsSessionInit(TlsSession* session, const TlsTransport* transport) {
    pthread_mutex_init(&session->mutex, nullptr);
    mbedtls_ssl_init(&session->ssl);
    session->transport = *transport;
    session->lastTransportError = 0;
    session->setUp = false;
    session->hasPeer = false;
    session->peer = PeerSource{};
    session->firstByteTimeoutMs = 0;
    session->received = 0;
    session->checkCertificates = false;
    session->certificateRecord = nullptr;
    session->certificateFilled = 0;
    session->certificateVerdict = CertificateVerdict::Acceptable;
}

void tlsSessionSetPeer(TlsSession* session, const PeerSource* peer, int firstByteTimeoutMs) {
    session->hasPeer = peer != nullptr;
    session->peer = peer != nullptr ? *peer : PeerSource{};
    session->firstByteTimeoutMs = firstByteTimeoutMs;
}

int tlsSessionHandshake(TlsSession* session, mbedtls_ssl_config* config, bool requireClientCerts, int timeoutMs,
                        const uint8_t* stopFlag) {
    char text[256];
    // Without a CA chain a client certificate proves nothing, and verifying
    // one still costs whatever its keys make it cost: none is asked for,
    // and one sent anyway is neither parsed nor verified (mbedtls skips the
    // Certificate state under VERIFY_NONE).
    const bool haveCa = config->ca_chain != nullptr;
    if (requireClientCerts && !haveCa) {
        sessionLog(session, 3, "Error, client certificates are required but no SSL CA file is set: client refused");
        return -EPROTO;
    }
    pthread_mutex_lock(&session->mutex);
    int rc = mbedtls_ssl_setup(&session->ssl, config);
    if (rc != 0) {
        pthread_mutex_unlock(&session->mutex);
        sessionLog(session, 3, "Error 0x%04x calling ssl_setup, %s", magnitude(rc),
                   tlsErrorText(rc, text, sizeof text));
        return -EPROTO;
    }
    session->setUp = true;
    mbedtls_ssl_set_hs_authmode(&session->ssl, !haveCa             ? MBEDTLS_SSL_VERIFY_NONE
                                               : requireClientCerts ? MBEDTLS_SSL_VERIFY_REQUIRED
                                                                    : MBEDTLS_SSL_VERIFY_OPTIONAL);
    session->checkCertificates = haveCa;
    mbedtls_ssl_set_bio(&session->ssl, session, bioSend, bioReceive, nullptr);
    pthread_mutex_unlock(&session->mutex);

    const long long started = nowMs();
    const long long deadline = started + timeoutMs;
    // A peer that has sent nothing yet gets the shorter first-byte bound.
    const int firstByte = session->firstByteTimeoutMs;
    const long long firstByteDeadline = firstByte > 0 && firstByte < timeoutMs ? started + firstByte : deadline;
    for (;;) {
        pthread_mutex_lock(&session->mutex);
        rc = mbedtls_ssl_handshake(&session->ssl);
        const uint64_t received = session->received;
        pthread_mutex_unlock(&session->mutex);
        if (rc == 0) {
            endCertificateCheck(session);
            return 0;
        }
        if (rc != MBEDTLS_ERR_SSL_WANT_READ && rc != MBEDTLS_ERR_SSL_WANT_WRITE) {
            if (session->certificateVerdict != CertificateVerdict::Acceptable) {
                sessionLog(session, 4, "Warning, client certificate chain refused: %s",
                           certificateVerdictText(session->certificateVerdict));
            }
            logHandshakeError(session, rc);
            endCertificateCheck(session);
            return -EPROTO;
        }
        int waited = 0;
        while (waited == 0) {
            if (stopRequested(stopFlag)) {
                endCertificateCheck(session);
                return -ECANCELED;
            }
            const long long left = (received == 0 ? firstByteDeadline : deadline) - nowMs();
            if (left <= 0) {
                logHandshakeError(session, MBEDTLS_ERR_SSL_TIMEOUT);
                endCertificateCheck(session);
                return -ETIMEDOUT;
            }
            waited = session->transport.wait(session->transport.context, rc == MBEDTLS_ERR_SSL_WANT_WRITE,
                                             int(left < kHandshakeSliceMs ? left : kHandshakeSliceMs));
        }
        if (waited < 0) {
            endCertificateCheck(session);
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
        case MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY:
            return 0;
        case 0:  // mbedtls_ssl_read's end of stream
        case MBEDTLS_ERR_SSL_CONN_EOF: {
            // Bytes of a record already read: the peer cut the record short.
            pthread_mutex_lock(&session->mutex);
            const size_t partial = session->ssl.in_left;
            pthread_mutex_unlock(&session->mutex);
            return partial > 0 ? -ENODATA : 0;
        }
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
    endCertificateCheck(session);
    mbedtls_ssl_free(&session->ssl);
    pthread_mutex_destroy(&session->mutex);
}
