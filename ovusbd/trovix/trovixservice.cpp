#include "ovusbd/trovix/trovixservice.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "ovusbd/core/config.h"
#include "ovusbd/core/connection.h"
#include "ovusbd/core/log.h"
#include "ovusbd/core/servermessages.h"
#include "ovusbd/core/coresettings.h"
#include "ovusbd/core/message.h"
#include "ovusbd/core/tcpservice.h"
#include "ovusbd/trovix/trovixsettings.h"

namespace {

const char kDefaultRendezvousHost[] = "rv.trovix.net";

TrovixService* trovix(NetworkService* service) { return reinterpret_cast<TrovixService*>(service); }

void ignoreNotice(void*, const char*, const char*) {}
void ignoreLink(void*) {}

void broadcastServerInfo() {
    MessageHeader* info = buildServerInfoMessage();
    if (info != nullptr) broadcastMessage(info);
}

TrovixPeerContext* plainPeer(NetworkConnection* connection) {
    return reinterpret_cast<TrovixPlainConnection*>(connection)->peer;
}

int plainSetNoDelay(NetworkConnection*) { return 0; }
bool plainHandshake(NetworkConnection*) { return true; }
void plainClose(NetworkConnection* connection) { closeTrovixPeer(plainPeer(connection)); }
int plainRead(NetworkConnection* connection, void* buffer, size_t length) {
    return trovixPeerRead(plainPeer(connection), buffer, length);
}
int plainWrite(NetworkConnection* connection, const void* buffer, size_t length) {
    return trovixPeerWrite(plainPeer(connection), buffer, length);
}
void plainDestroy(NetworkConnection* connection) {
    auto* plain = reinterpret_cast<TrovixPlainConnection*>(connection);
    releaseTrovixPeer(plain->peer);
    plain->peer = nullptr;
}

int plainLocalAddress(NetworkConnection* connection, sockaddr* address, socklen_t* length) {
    if (*length < socklen_t(sizeof(sockaddr_storage))) {
        errno = EINVAL;
        return -1;
    }
    memcpy(address, &plainPeer(connection)->localAddress, sizeof(sockaddr_storage));
    *length = sizeof(sockaddr_storage);
    return 0;
}

TrovixTlsConnection* tlsLink(NetworkConnection* connection) {
    return reinterpret_cast<TrovixTlsConnection*>(connection);
}

// The session's transport: the peer link, whose writes queue one packet
// each, or wait for the peer's acknowledgements outside the session's
// mutex, and whose reads wait on the received packets.
int peerSend(void* context, const unsigned char* data, size_t length) {
    const int rc = trovixPeerWriteNow(static_cast<TrovixPeerContext*>(context), data, length);
    return rc == 0 ? -EPIPE : rc;  // no peer any more: never a success
}
int peerReceive(void* context, unsigned char* data, size_t length) {
    return trovixPeerReadNow(static_cast<TrovixPeerContext*>(context), data, length);
}
int peerWait(void* context, bool forWrite, int timeoutMs) {
    auto* peer = static_cast<TrovixPeerContext*>(context);
    return forWrite ? trovixPeerWaitWritable(peer, timeoutMs) : trovixPeerWaitReadable(peer, timeoutMs);
}

int failWith(int negativeErrno) {
    errno = -negativeErrno;
    return negativeErrno;
}

bool tlsHandshake(NetworkConnection* connection) {
    TrovixTlsConnection* c = tlsLink(connection);
    // Read at every handshake: a change takes effect for the next client.
    const bool require = getConfigBool("SSLUseClientCerts", "0");
    const bool ok = tlsSessionHandshake(&c->session, &c->service->tls.config, require, trovixSettings.tlsHandshakeMs,
                                        c->stopFlag) == 0;
    // The flag belongs to the rendezvous client, which a switch-off frees
    // while this link stays up.
    c->stopFlag = nullptr;
    return ok;
}
int tlsRead(NetworkConnection* connection, void* buffer, size_t length) {
    const int rc = tlsSessionRead(&tlsLink(connection)->session, buffer, length);
    return rc < 0 ? failWith(rc) : rc;
}
int tlsWrite(NetworkConnection* connection, const void* buffer, size_t length) {
    TrovixTlsConnection* c = tlsLink(connection);
    const int rc = tlsSessionWrite(&c->session, buffer, length, c->peer->sendTimeoutMs);
    return rc < 0 ? failWith(rc) : rc;
}
void tlsClose(NetworkConnection* connection) { closeTrovixPeer(tlsLink(connection)->peer); }
void tlsDestroy(NetworkConnection* connection) {
    TrovixTlsConnection* c = tlsLink(connection);
    tlsSessionFree(&c->session);
    releaseTrovixPeer(c->peer);
    c->peer = nullptr;
}
int tlsLocalAddress(NetworkConnection* connection, sockaddr* address, socklen_t* length) {
    if (*length < socklen_t(sizeof(sockaddr_storage))) {
        errno = EINVAL;
        return -1;
    }
    memcpy(address, &tlsLink(connection)->peer->localAddress, sizeof(sockaddr_storage));
    *length = sizeof(sockaddr_storage);
    return 0;
}

// Runs the session over the punched socket and hands the connection to the
// client code; on any failure everything is closed and freed here.
void acceptPeer(TrovixService* s, TrovixContext* context, const TrovixPunchedPeer* punched) {
    TrovixPeerContext* peer = createTrovixPeer(punched->socket, punched->peerAddress, punched->localAddress,
                                               punched->peerId, punched->peerMode);
    if (peer == nullptr) return;
    // Frames travel one per packet, TLS records one per packet.
    peer->packetLimit = s->tlsForm ? kTrovixTlsPacketLimit : kFramePrefixSize + kMaxFrameLength;
    peer->sendTimeoutMs = linkSendTimeout() * 1000;
    if (!trovixPeerSession(peer, &context->stop)) {
        logMessage(6, "%s", peer->errorText);
        releaseTrovixPeer(peer);
        return;
    }
    NetworkConnection* connection = s->tlsForm ? createTrovixTlsConnection(peer, s, &context->stop)
                                               : createTrovixPlainConnection(peer);
    if (connection == nullptr) {
        releaseTrovixPeer(peer);
        return;
    }
    if (!addClientConnection(connection, reinterpret_cast<const sockaddr*>(&peer->peerAddress))) {
        connection->close(connection);
        connection->destroy(connection);
        free(connection);
    }
}

} // namespace

NetworkService* createTrovixService(const TlsSettings* tls) {
    auto* s = static_cast<TrovixService*>(calloc(1, sizeof(TrovixService)));
    if (s == nullptr) return nullptr;
    s->base.start = trovixServiceStart;
    s->base.stop = trovixServiceStop;
    s->base.deinit = trovixServiceDeinit;
    if (tls != nullptr) {
        s->tlsForm = true;
        s->tlsSettings = *tls;
        s->base.listen = trovixServicePrepare;
        s->base.release = trovixServiceRelease;
        strcpy(s->base.name, "Trovix SSL Service");
    } else {
        s->base.listen = trovixPlainServicePrepare;
        s->base.release = trovixPlainServiceRelease;
        strcpy(s->base.name, "Trovix Service");
    }
    pthread_mutex_init(&s->stateMutex, nullptr);
    return &s->base;
}

bool trovixPlainServicePrepare(NetworkService* service, int*) {
    TrovixService* s = trovix(service);
    if (!s->randomMade) {
        const int rc = seedTrovixRandom(&s->random);
        s->randomMade = true;
        if (rc != 0) logMessage(6, "Error %d initializing entropy", rc);
    }
    setUpTrovixIdentity(&s->identity, &s->random);
    return s->random.seeded;
}

bool trovixServicePrepare(NetworkService* service, int*) {
    TrovixService* s = trovix(service);
    if (!s->randomMade) {
        const int rc = seedTrovixRandom(&s->random);
        s->randomMade = true;
        if (rc != 0) {
            logMessage(6, "Error %d initializing entropy", rc);
            return false;
        }
    }
    setUpTrovixIdentity(&s->identity, &s->random);
    return loadTlsConfig(&s->tls, &s->tlsSettings);
}

void trovixServiceRelease(NetworkService* service) {
    releaseTlsConfig(&trovix(service)->tls);
    trovixPlainServiceRelease(service);
}

void trovixServiceStart(NetworkService* service) {
    if (!getConfigBool("Trovix", "0")) return;
    TrovixService* s = trovix(service);
    pthread_mutex_lock(&s->stateMutex);
    if (s->rendezvous != nullptr) {
        pthread_mutex_unlock(&s->stateMutex);
        return;
    }
    logTrovixIdentity();
    char* host = getConfigString("TrovixHostname", kDefaultRendezvousHost, true);
    char* port = getConfigString("TrovixPort", "443", true);
    TrovixHooks hooks{};
    hooks.arg = s;
    hooks.serverNotice = ignoreNotice;
    hooks.linkUp = ignoreLink;
    hooks.linkDown = ignoreLink;
    hooks.newPeer = s->tlsForm ? acceptTrovixPeer : acceptTrovixPlainPeer;
    hooks.serial = coreSettings().serverSerial;
    s->rendezvous = startTrovixRendezvous(host, port, s->identity.id, s->identity.pin, &s->random, hooks);
    free(host);
    free(port);
    const bool started = s->rendezvous != nullptr;
    pthread_mutex_unlock(&s->stateMutex);
    if (started) broadcastServerInfo();
}

void trovixServiceStop(NetworkService* service, int flag) {
    TrovixService* s = trovix(service);
    pthread_mutex_lock(&s->stateMutex);
    TrovixContext* context = s->rendezvous;
    s->rendezvous = nullptr;
    if (context != nullptr) stopTrovixRendezvous(context);
    pthread_mutex_unlock(&s->stateMutex);
    if (context != nullptr && flag != 0) broadcastServerInfo();
}

bool trovixServiceRunning(NetworkService* service) {
    TrovixService* s = trovix(service);
    pthread_mutex_lock(&s->stateMutex);
    const bool running = s->rendezvous != nullptr;
    pthread_mutex_unlock(&s->stateMutex);
    return running;
}

void trovixPlainServiceRelease(NetworkService* service) {
    TrovixService* s = trovix(service);
    if (s->randomMade) {
        freeTrovixRandom(&s->random);
        s->randomMade = false;
    }
}

void trovixServiceDeinit(NetworkService* service) {
    // A client still running here means stop was never called: end it, so
    // no thread outlives the service object.
    trovixServiceStop(service, 0);
    if (trovix(service)->tlsForm) {
        trovixServiceRelease(service);
    } else {
        trovixPlainServiceRelease(service);
    }
    pthread_mutex_destroy(&trovix(service)->stateMutex);
}

void acceptTrovixPlainPeer(void* arg, TrovixContext* context, const TrovixPunchedPeer* punched) {
    acceptPeer(static_cast<TrovixService*>(arg), context, punched);
}

void acceptTrovixPeer(void* arg, TrovixContext* context, const TrovixPunchedPeer* punched) {
    acceptPeer(static_cast<TrovixService*>(arg), context, punched);
}

NetworkConnection* createTrovixTlsConnection(TrovixPeerContext* peer, TrovixService* service,
                                             const uint8_t* stopFlag) {
    auto* c = static_cast<TrovixTlsConnection*>(calloc(1, sizeof(TrovixTlsConnection)));
    if (c == nullptr) return nullptr;
    c->base.setNoDelay = plainSetNoDelay;
    c->base.close = tlsClose;
    c->base.getLocalAddress = tlsLocalAddress;
    c->base.handshake = tlsHandshake;
    c->base.read = tlsRead;
    c->base.write = tlsWrite;
    c->base.destroy = tlsDestroy;
    c->service = service;
    c->peer = peer;
    c->stopFlag = stopFlag;
    const TlsTransport transport = {peer, peerSend, peerReceive, peerWait};
    tlsSessionInit(&c->session, &transport);
    return &c->base;
}

NetworkConnection* createTrovixPlainConnection(TrovixPeerContext* peer) {
    auto* connection = static_cast<TrovixPlainConnection*>(calloc(1, sizeof(TrovixPlainConnection)));
    if (connection == nullptr) return nullptr;
    connection->base.setNoDelay = plainSetNoDelay;
    connection->base.close = plainClose;
    connection->base.getLocalAddress = plainLocalAddress;
    connection->base.handshake = plainHandshake;
    connection->base.read = plainRead;
    connection->base.write = plainWrite;
    connection->base.destroy = plainDestroy;
    connection->peer = peer;
    return &connection->base;
}
