#include "ovusbd/trovix/rendezvous.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "ovusbd/core/log.h"
#include "ovusbd/core/util.h"
#include "ovusbd/trovix/trovixsettings.h"

namespace {

constexpr int kMaxInterfaceAddresses = 8;

bool flag(const uint8_t* f) { return __atomic_load_n(f, __ATOMIC_ACQUIRE) != 0; }
void setFlag(uint8_t* f, uint8_t v) { __atomic_store_n(f, v, __ATOMIC_RELEASE); }

bool stopOrLost(const TrovixContext* c) { return flag(&c->stop) || flag(&c->linkLost); }

bool punchComplete(TrovixContext* c) {
    pthread_mutex_lock(&c->punchMutex);
    const bool done = c->punch.punchSent && c->punch.punchReceived;
    pthread_mutex_unlock(&c->punchMutex);
    return done;
}

bool registrationOver(TrovixContext* c) { return stopOrLost(c) || punchComplete(c); }

void freeItem(void* item, void*) { free(item); }

// Appends the stop item; only memory can make that fail, and then the
// transmit thread still ends at its next item or flag check.
void wakeTransmitThread(TrovixContext* c) { appendToLockedList(c->transmitQueue, nullptr); }

void queueDatagram(TrovixContext* c, const uint8_t datagram[kTrovixDatagramSize], const sockaddr* destination,
                   socklen_t length, const uint8_t key[kTrovixKeySize], bool toServer, uint32_t generation = 0) {
    auto* item = static_cast<TrovixTransmitItem*>(calloc(1, sizeof(TrovixTransmitItem)));
    if (item == nullptr) return;
    memcpy(item->datagram, datagram, kTrovixDatagramSize);
    memcpy(&item->destination, destination, length < sizeof item->destination ? length : sizeof item->destination);
    memcpy(item->key, key, kTrovixKeySize);
    item->toServer = toServer;
    item->punchGeneration = generation;
    if (appendToLockedList(c->transmitQueue, item) != 0) free(item);
}

void setReceiveTimeout(int socket, int ms) {
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

// One 90-byte datagram within the socket's receive time-out; false for a
// time-out, an error or a short datagram. The source goes to from.
bool receiveDatagram(int socket, uint8_t out[kTrovixDatagramSize], sockaddr_storage* from, socklen_t* fromLength) {
    *fromLength = sizeof *from;
    const ssize_t n = recvfrom(socket, out, kTrovixDatagramSize, MSG_TRUNC, reinterpret_cast<sockaddr*>(from),
                               fromLength);
    return n >= ssize_t(kTrovixDatagramSize);
}

bool sendDatagram(int socket, const uint8_t datagram[kTrovixDatagramSize], const sockaddr* to, socklen_t length) {
    return sendto(socket, datagram, kTrovixDatagramSize, MSG_NOSIGNAL, to, length) == ssize_t(kTrovixDatagramSize);
}

void localIpv4(int socket, uint16_t* port, uint32_t* address) {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    *port = 0;
    *address = 0;
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length) == 0 && local.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&local);
        *port = ntohs(in->sin_port);
        *address = in->sin_addr.s_addr;
    }
}

bool sameHost(const sockaddr_storage& a, const sockaddr* b) {
    if (a.ss_family != AF_INET || b->sa_family != AF_INET) return false;
    return reinterpret_cast<const sockaddr_in&>(a).sin_addr.s_addr ==
           reinterpret_cast<const sockaddr_in*>(b)->sin_addr.s_addr;
}

bool sameEndpoint(const sockaddr_storage& a, const sockaddr_storage& b) {
    return sameHost(a, reinterpret_cast<const sockaddr*>(&b)) &&
           reinterpret_cast<const sockaddr_in&>(a).sin_port == reinterpret_cast<const sockaddr_in&>(b).sin_port;
}

// Steps 5.1 to 5.5 of one attempt at one resolved address. True when the
// registration was answered; the context then holds the server's address,
// the cookie and ownKey.
bool registerAt(TrovixContext* c, int socket, TrovixKeyPair* pair, const uint8_t offer[kTrovixDatagramSize],
                const sockaddr* resolved, socklen_t resolvedLength) {
    if (!sendDatagram(socket, offer, resolved, resolvedLength)) return false;
    setReceiveTimeout(socket, trovixSettings.receiveTimeoutMs);
    uint8_t buffer[kTrovixDatagramSize];
    sockaddr_storage server{};
    socklen_t serverLength = 0;
    TrovixDatagram answer;
    // The answer may come from another port of the server (its source is
    // the server's address from then on), never from another host.
    if (!receiveDatagram(socket, buffer, &server, &serverLength) || !sameHost(server, resolved) ||
        parseTrovixDatagram(buffer, sizeof buffer, &answer) != 0 || answer.type != kTrovixKeyAnswer) {
        return false;
    }
    uint8_t shared[kTrovixKeySize];
    if (computeTrovixSharedKey(c->random, pair, answer.key, shared) != 0) return false;

    uint16_t localPort;
    uint32_t localAddress;
    localIpv4(socket, &localPort, &localAddress);
    uint8_t registration[kTrovixDatagramSize];
    buildTrovixRegistration(answer.cookie, c->id, c->pin, c->role, localPort, localAddress, registration);
    if (trovixEncryptDatagram(shared, registration, registration) != 0 ||
        !sendDatagram(socket, registration, reinterpret_cast<sockaddr*>(&server), serverLength)) {
        return false;
    }
    sockaddr_storage from{};
    socklen_t fromLength = 0;
    TrovixDatagram confirmation;
    if (!receiveDatagram(socket, buffer, &from, &fromLength) || !sameEndpoint(from, server) ||
        trovixDecryptDatagram(shared, buffer, buffer) != 0 ||
        parseTrovixDatagram(buffer, sizeof buffer, &confirmation) != 0 ||
        confirmation.type != kTrovixRegistrationAnswer) {
        return false;
    }
    memcpy(c->ownKey, shared, kTrovixKeySize);
    c->serverAddress = server;
    c->serverAddressLength = serverLength;
    c->cookie = answer.cookie;
    return true;
}

// Returns the registered socket, or -1.
int keyExchange(TrovixContext* c) {
    TrovixKeyPair pair;
    TrovixKeyStep step = kTrovixKeyGroup;
    const int rc = makeTrovixKeyPair(c->random, &pair, &step);
    if (rc != 0) {
        static const char* const kFormats[] = {"Error %d loading 22219 group", "Error %d generating public key",
                                               "Error %d writing public key"};
        logMessage(6, kFormats[step], rc);
        freeTrovixKeyPair(&pair);
        return -1;
    }
    uint8_t offer[kTrovixDatagramSize];
    buildTrovixKeyOffer(pair.publicKey, offer);

    uint32_t addresses[kMaxInterfaceAddresses];
    const int count = trovixSettings.sys->listIpv4Addresses(addresses, kMaxInterfaceAddresses);
    int registered = -1;
    for (int i = 0; i < count && registered < 0 && !trovixStopRequested(c); i++) {
        const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (s < 0) continue;
        const int one = 1;
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = addresses[i];
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_DGRAM;
        addrinfo* resolved = nullptr;
        if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
            bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
            getaddrinfo(c->hostName, c->portText, &hints, &resolved) != 0) {
            close(s);
            continue;
        }
        for (addrinfo* r = resolved; r != nullptr && !trovixStopRequested(c); r = r->ai_next) {
            if (registerAt(c, s, &pair, offer, r->ai_addr, r->ai_addrlen)) {
                registered = s;
                break;
            }
        }
        freeaddrinfo(resolved);
        if (registered < 0) close(s);
    }
    freeTrovixKeyPair(&pair);
    return registered;
}

void* transmitThread(void* argument) {
    auto* c = static_cast<TrovixContext*>(argument);
    while (!registrationOver(c)) {
        auto* item = static_cast<TrovixTransmitItem*>(takeFromLockedList(c->transmitQueue));
        if (item == nullptr) break;
        uint8_t cipher[kTrovixDatagramSize];
        const uint8_t type = item->datagram[0];
        const socklen_t length = item->destination.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
        const bool sent = trovixEncryptDatagram(item->key, item->datagram, cipher) == 0 &&
                          sendDatagram(c->socket, cipher, reinterpret_cast<sockaddr*>(&item->destination), length);
        if (!sent && item->toServer) {
            // Only the rendezvous server's link is lost by a failed send: a
            // remote client's address (port 0, broadcast, unroutable) says
            // nothing about it.
            setFlag(&c->linkLost, 1);
        }
        if (sent && (type == kTrovixHelloAnswer || type == kTrovixAcknowledgement)) {
            pthread_mutex_lock(&c->punchMutex);
            if (c->punch.peerPending && c->punch.generation == item->punchGeneration) c->punch.punchSent = true;
            pthread_mutex_unlock(&c->punchMutex);
        }
        free(item);
    }
    return nullptr;
}

void* keepAliveThread(void* argument) {
    auto* c = static_cast<TrovixContext*>(argument);
    while (!stopOrLost(c)) {
        if (punchComplete(c)) break;
        for (int tick = 0; tick < trovixSettings.keepAliveTicks && !registrationOver(c); tick++) {
            sleepMilliseconds(unsigned(trovixSettings.tickMs));
        }
        if (registrationOver(c)) break;
        uint8_t keepAlive[kTrovixDatagramSize];
        buildTrovixKeepAlive(c->cookie, keepAlive);
        queueDatagram(c, keepAlive, reinterpret_cast<sockaddr*>(&c->serverAddress), c->serverAddressLength, c->ownKey,
                      true);
        if (trovixNowMs() - __atomic_load_n(&c->lastReceiveMs, __ATOMIC_ACQUIRE) >= trovixSettings.linkLossMs) {
            setFlag(&c->linkLost, 1);
        }
    }
    return nullptr;
}

void announcePeer(TrovixContext* c, const TrovixDatagram& d) {
    // Address B first, then A.
    const struct {
        uint32_t address;
        uint16_t port;
    } targets[2] = {{d.addressB, d.portB}, {d.addressA, d.portA}};
    uint8_t hello[kTrovixDatagramSize];
    buildTrovixHello(c->cookie, c->id, c->ownKey, c->hooks.serial, hello);
    for (const auto& t : targets) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = t.address;
        to.sin_port = htons(t.port);
        queueDatagram(c, hello, reinterpret_cast<sockaddr*>(&to), sizeof to, d.key, false);
    }
}

void punchStep(TrovixContext* c, const TrovixDatagram& d, const sockaddr_in& source) {
    uint8_t reply[kTrovixDatagramSize];
    uint8_t key[kTrovixKeySize];
    uint32_t generation = 0;
    pthread_mutex_lock(&c->punchMutex);
    const TrovixPunchAction action =
        stepTrovixPunch(&c->punch, d, source, trovixNowMs(), trovixSettings.punchPendingMs);
    if (action == kPunchAnswerHello || action == kPunchAcknowledge) {
        memset(&c->peer, 0, sizeof c->peer);
        memcpy(&c->peer.peerAddress, &source, sizeof source);
        socklen_t length = sizeof c->peer.localAddress;
        getsockname(c->socket, reinterpret_cast<sockaddr*>(&c->peer.localAddress), &length);
        memcpy(c->peer.peerId, d.id, kTrovixIdSize);
        memcpy(c->peerSerial, d.serial, kTrovixSerialSize);
        memcpy(c->peerKey, d.key, kTrovixKeySize);
        memcpy(key, d.key, kTrovixKeySize);
        generation = c->punch.generation;
        if (action == kPunchAnswerHello) {
            buildTrovixHelloAnswer(c->cookie, c->id, d.serial, c->ownKey, reply);
        } else {
            buildTrovixAcknowledgement(c->cookie, reply);
        }
    }
    pthread_mutex_unlock(&c->punchMutex);
    if (action == kPunchAnswerHello || action == kPunchAcknowledge) {
        queueDatagram(c, reply, reinterpret_cast<const sockaddr*>(&source), sizeof source, key, false, generation);
    } else if (action == kPunchComplete) {
        wakeTransmitThread(c);
    }
}

bool fromServer(const TrovixContext* c, const sockaddr_storage& from) { return sameEndpoint(from, c->serverAddress); }

// What the rendezvous server says: announcements, keep-alive answers and
// notices. Nothing else is taken from it.
void serverDatagram(TrovixContext* c, const TrovixDatagram& d) {
    switch (d.type) {
    case kTrovixPeerAnnouncement:
        pthread_mutex_lock(&c->punchMutex);
        announceTrovixPeer(&c->punch, d, trovixNowMs());
        pthread_mutex_unlock(&c->punchMutex);
        announcePeer(c, d);
        break;
    case kTrovixKeepAliveAnswer:
        __atomic_store_n(&c->lastReceiveMs, trovixNowMs(), __ATOMIC_RELEASE);
        break;
    case kTrovixNotice:
        if (c->hooks.serverNotice != nullptr) c->hooks.serverNotice(c->hooks.arg, d.noticeFirst, d.noticeSecond);
        break;
    default:
        break;
    }
}

// What a remote client says: only the datagrams of a punch, and only while
// one was announced or is under way (otherwise not even deciphered).
void clientDatagram(TrovixContext* c, TrovixCipher* cipher, uint8_t buffer[kTrovixDatagramSize],
                    const sockaddr_storage& from) {
    if (from.ss_family != AF_INET) return;
    pthread_mutex_lock(&c->punchMutex);
    const bool expected = trovixPunchExpected(&c->punch, trovixNowMs(), trovixSettings.punchPendingMs);
    pthread_mutex_unlock(&c->punchMutex);
    TrovixDatagram d;
    if (!expected || trovixDecryptWith(cipher, buffer, buffer) != 0 ||
        parseTrovixDatagram(buffer, kTrovixDatagramSize, &d) != 0) {
        return;
    }
    if (d.type == kTrovixHello || d.type == kTrovixHelloAnswer || d.type == kTrovixAcknowledgement) {
        punchStep(c, d, reinterpret_cast<const sockaddr_in&>(from));
    }
}

void* receiveThread(void* argument) {
    auto* c = static_cast<TrovixContext*>(argument);
    TrovixCipher cipher;
    if (keyTrovixCipher(&cipher, c->ownKey) != 0) setFlag(&c->linkLost, 1);
    while (!registrationOver(c)) {
        pthread_mutex_lock(&c->punchMutex);
        expireTrovixPunch(&c->punch, trovixNowMs(), trovixSettings.punchPendingMs);
        pthread_mutex_unlock(&c->punchMutex);

        uint8_t buffer[kTrovixDatagramSize];
        sockaddr_storage from{};
        socklen_t fromLength = sizeof from;
        const ssize_t n = recvfrom(c->socket, buffer, sizeof buffer, MSG_TRUNC, reinterpret_cast<sockaddr*>(&from),
                                   &fromLength);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) setFlag(&c->linkLost, 1);
            continue;
        }
        if (n < ssize_t(kTrovixDatagramSize)) continue;
        if (fromServer(c, from)) {
            TrovixDatagram d;
            if (trovixDecryptWith(&cipher, buffer, buffer) == 0 &&
                parseTrovixDatagram(buffer, sizeof buffer, &d) == 0) {
                serverDatagram(c, d);
            }
        } else {
            clientDatagram(c, &cipher, buffer, from);
        }
    }
    freeTrovixCipher(&cipher);
    return nullptr;
}

void resetRegistration(TrovixContext* c) {
    setFlag(&c->linkLost, 0);
    pthread_mutex_lock(&c->punchMutex);
    const uint32_t generation = c->punch.generation + 1;
    const uint8_t role = c->punch.role;
    memset(&c->punch, 0, sizeof c->punch);
    c->punch.role = role;
    c->punch.generation = generation;
    memset(&c->peer, 0, sizeof c->peer);
    memset(c->peerKey, 0, sizeof c->peerKey);
    pthread_mutex_unlock(&c->punchMutex);
}

void runRegistration(TrovixContext* c) {
    resetRegistration(c);
    __atomic_store_n(&c->lastReceiveMs, trovixNowMs(), __ATOMIC_RELEASE);
    if (c->hooks.linkUp != nullptr) c->hooks.linkUp(c->hooks.arg);

    pthread_t transmit, receive, keepAlive;
    const bool transmitStarted = pthread_create(&transmit, nullptr, transmitThread, c) == 0;
    const bool receiveStarted = transmitStarted && pthread_create(&receive, nullptr, receiveThread, c) == 0;
    const bool keepAliveStarted = receiveStarted && pthread_create(&keepAlive, nullptr, keepAliveThread, c) == 0;
    if (!keepAliveStarted) setFlag(&c->linkLost, 1);
    if (receiveStarted) pthread_join(receive, nullptr);
    if (keepAliveStarted) pthread_join(keepAlive, nullptr);
    wakeTransmitThread(c);
    if (transmitStarted) pthread_join(transmit, nullptr);
    clearLockedList(c->transmitQueue, freeItem);

    if (!flag(&c->stop) && punchComplete(c) && c->hooks.newPeer != nullptr) {
        TrovixPunchedPeer peer;
        pthread_mutex_lock(&c->punchMutex);
        peer = c->peer;
        peer.peerMode = c->punch.peerMode;
        pthread_mutex_unlock(&c->punchMutex);
        peer.socket = c->socket;
        c->hooks.newPeer(c->hooks.arg, c, &peer);
    } else {
        shutdown(c->socket, SHUT_RDWR);
        close(c->socket);
    }
    c->socket = -1;
    resetRegistration(c);
    memset(c->ownKey, 0, sizeof c->ownKey);
    if (c->hooks.linkDown != nullptr) c->hooks.linkDown(c->hooks.arg);
}

void* rendezvousThread(void* argument) {
    auto* c = static_cast<TrovixContext*>(argument);
    while (!flag(&c->stop)) {
        c->socket = keyExchange(c);
        if (c->socket < 0) {
            for (int tick = 0; tick < trovixSettings.retryTicks && !stopOrLost(c); tick++) {
                sleepMilliseconds(unsigned(trovixSettings.tickMs));
            }
            continue;
        }
        runRegistration(c);
    }
    return nullptr;
}

void freeContext(TrovixContext* c) {
    if (c->transmitQueue != nullptr) {
        clearLockedList(c->transmitQueue, freeItem);
        destroyLockedList(c->transmitQueue);
    }
    pthread_mutex_destroy(&c->punchMutex);
    free(c);
}

} // namespace

int64_t trovixNowMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

TrovixContext* startTrovixRendezvous(const char* host, const char* port, const uint8_t id[kTrovixIdSize],
                                     const uint8_t pin[kTrovixPinSize], TrovixRandom* random,
                                     const TrovixHooks& hooks) {
    if (host == nullptr || port == nullptr || strlen(host) > 254 || strlen(port) > 8) {
        logMessage(3, "Error, \"TrovixHostname\" or \"TrovixPort\" is too long: the rendezvous client does not start");
        return nullptr;
    }
    auto* c = static_cast<TrovixContext*>(calloc(1, sizeof(TrovixContext)));
    if (c == nullptr) return nullptr;
    c->role = 1;
    c->keepAlivePeriod = 6;
    c->hooks = hooks;
    c->random = random;
    memcpy(c->id, id, kTrovixIdSize);
    memcpy(c->pin, pin, kTrovixPinSize);
    strcpy(c->hostName, host);
    strcpy(c->portText, port);
    c->socket = -1;
    c->punch.role = c->role;
    pthread_mutex_init(&c->punchMutex, nullptr);
    c->transmitQueue = createLockedList();
    if (c->transmitQueue == nullptr || pthread_create(&c->rendezvousThread, nullptr, rendezvousThread, c) != 0) {
        freeContext(c);
        return nullptr;
    }
    return c;
}

void stopTrovixRendezvous(TrovixContext* c) {
    if (c == nullptr) return;
    setFlag(&c->stop, 1);
    wakeTransmitThread(c);
    pthread_join(c->rendezvousThread, nullptr);
    freeContext(c);
}
