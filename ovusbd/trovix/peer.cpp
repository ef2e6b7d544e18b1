#include "ovusbd/trovix/peer.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "ovusbd/core/util.h"
#include "ovusbd/core/message.h"
#include "ovusbd/trovix/base58.h"
#include "ovusbd/trovix/rendezvous.h"
#include "ovusbd/trovix/trovixsettings.h"

namespace {

constexpr int kDefaultSendTimeoutMs = 9000;
// Longest wait of the service thread while the reader is behind: ENet's
// acknowledgements and pings go on meanwhile.
constexpr int kBehindWaitMs = 20;

size_t processReceivePeak;  // atomic

pthread_once_t enetOnce = PTHREAD_ONCE_INIT;
int enetInitResult = -1;
void initialiseEnet() { enetInitResult = enet_initialize(); }

bool stopRequested(TrovixPeerContext* p) { return __atomic_load_n(&p->stop, __ATOMIC_ACQUIRE) != 0; }

void formatError(TrovixPeerContext* p, const char* format, ...) __attribute__((format(printf, 2, 3)));
void formatError(TrovixPeerContext* p, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(p->errorText, sizeof p->errorText, format, arguments);
    va_end(arguments);
}

const char* modeText(uint8_t mode) { return mode == 0 ? "(Server Mode)" : "(Client Mode)"; }

// An ENet host over the punched socket: ENet opens a socket of its own, so
// it is swapped for ours with the options ENet gives its sockets.
ENetHost* createHostOnSocket(int socket, size_t packetLimit) {
    pthread_once(&enetOnce, initialiseEnet);
    if (enetInitResult != 0) return nullptr;
    ENetHost* host = enet_host_create(nullptr, 1, 1, 0, 0);
    if (host == nullptr) return nullptr;
    enet_socket_destroy(host->socket);
    host->socket = socket;
    enet_socket_set_option(socket, ENET_SOCKOPT_NONBLOCK, 1);
    enet_socket_set_option(socket, ENET_SOCKOPT_BROADCAST, 1);
    enet_socket_set_option(socket, ENET_SOCKOPT_RCVBUF, ENET_HOST_RECEIVE_BUFFER_SIZE);
    enet_socket_set_option(socket, ENET_SOCKOPT_SNDBUF, ENET_HOST_SEND_BUFFER_SIZE);
    host->mtu = kTrovixPeerMtu;
    // enet_host_create has already reset its peers with the default MTU,
    // and a connection (made or accepted) keeps the peer's own value.
    for (size_t i = 0; i < host->peerCount; i++) host->peers[i].mtu = host->mtu;
    host->maximumPacketSize = packetLimit;
    host->maximumWaitingData = trovixSettings.peerWaitingLimit;
    return host;
}

void initMonotonicCondition(pthread_cond_t* condition) {
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(condition, &attributes);
    pthread_condattr_destroy(&attributes);
}

// ENet frees a sent packet once the peer has acknowledged all of it (or
// the peer is reset); always with hostMutex held.
void sentPacketFreed(ENetPacket* packet) {
    auto* p = static_cast<TrovixPeerContext*>(packet->userData);
    const size_t before = p->sendingBytes;
    p->sendingBytes -= packet->dataLength;
    if (before >= trovixSettings.peerSendLimit && p->sendingBytes < trovixSettings.peerSendLimit) {
        pthread_cond_broadcast(&p->sendSpace);
    }
}

void noteReceivePeak(TrovixPeerContext* p, size_t bytes) {
    if (bytes > __atomic_load_n(&p->receivedPeak, __ATOMIC_RELAXED)) {
        __atomic_store_n(&p->receivedPeak, bytes, __ATOMIC_RELAXED);
    }
    size_t seen = __atomic_load_n(&processReceivePeak, __ATOMIC_RELAXED);
    while (bytes > seen &&
           !__atomic_compare_exchange_n(&processReceivePeak, &seen, bytes, false, __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
    }
}

// The reader is done with packet: its bytes no longer wait.
void finishPacket(TrovixPeerContext* p, ENetPacket* packet) {
    const size_t length = packet->dataLength;
    enet_packet_destroy(packet);
    const size_t before = __atomic_fetch_sub(&p->receivedBytes, length, __ATOMIC_ACQ_REL);
    if (before >= trovixSettings.peerReceiveLimit && before - length < trovixSettings.peerReceiveLimit) {
        // Under hostMutex, so a service thread that found the queue full
        // and is about to wait cannot miss this.
        pthread_mutex_lock(&p->hostMutex);
        pthread_cond_signal(&p->receiveSpace);
        pthread_mutex_unlock(&p->hostMutex);
    }
}

// Destroys the host (closing the socket) and clears host and peer. Called
// with hostMutex held.
void destroyHostLocked(TrovixPeerContext* p) {
    if (p->host != nullptr) {
        enet_host_destroy(p->host);
        p->socket = -1;
    }
    p->host = nullptr;
    p->peer = nullptr;
}

void destroyPacket(void* item, void*) {
    if (item != nullptr) enet_packet_destroy(static_cast<ENetPacket*>(item));
}

void* serviceThread(void* argument) {
    auto* p = static_cast<TrovixPeerContext*>(argument);
    pthread_mutex_lock(&p->hostMutex);
    while (!stopRequested(p)) {
        if (__atomic_load_n(&p->receivedBytes, __ATOMIC_ACQUIRE) >= trovixSettings.peerReceiveLimit) {
            // The reader is behind: ENet keeps what arrives (up to its
            // waiting limit) until the reader has caught up.
            enet_host_service(p->host, nullptr, 0);
            const timespec until = monotonicDeadline(kBehindWaitMs);
            if (__atomic_load_n(&p->receivedBytes, __ATOMIC_ACQUIRE) >= trovixSettings.peerReceiveLimit &&
                !stopRequested(p)) {
                pthread_cond_timedwait(&p->receiveSpace, &p->hostMutex, &until);
            }
            continue;
        }
        ENetEvent event;
        const int rc = enet_host_service(p->host, &event, 0);
        if (rc > 0) {
            if (event.type == ENET_EVENT_TYPE_RECEIVE) {
                const size_t length = event.packet->dataLength;
                const size_t now = __atomic_add_fetch(&p->receivedBytes, length, __ATOMIC_ACQ_REL);
                if (appendToLockedList(p->receivedQueue, event.packet) != 0) {
                    __atomic_sub_fetch(&p->receivedBytes, length, __ATOMIC_ACQ_REL);
                    enet_packet_destroy(event.packet);
                } else {
                    noteReceivePeak(p, now);
                }
            } else if (event.type == ENET_EVENT_TYPE_DISCONNECT) {
                appendToLockedList(p->receivedQueue, nullptr);
            }
            continue;
        }
        // A failed pass (a datagram over ENet's 4096-byte buffer is one) is
        // not the end of the link: a dead peer ends in ENet's own time-out
        // as a disconnection.
        waitSocketUnlocked(p->socket, &p->hostMutex, trovixSettings.peerServiceWaitMs);
    }
    destroyHostLocked(p);
    pthread_mutex_unlock(&p->hostMutex);
    return nullptr;
}

} // namespace

int waitSocketUnlocked(int socket, pthread_mutex_t* hostMutex, int timeoutMs) {
    pollfd fd{socket, POLLIN, 0};
    pthread_mutex_unlock(hostMutex);
    const int rc = poll(&fd, 1, timeoutMs);
    const int error = errno;
    pthread_mutex_lock(hostMutex);
    return rc < 0 ? -error : 0;
}

TrovixPeerContext* createTrovixPeer(int socket, const sockaddr_storage& peerAddress,
                                    const sockaddr_storage& localAddress, const uint8_t peerId[16], uint8_t mode) {
    auto* p = static_cast<TrovixPeerContext*>(calloc(1, sizeof(TrovixPeerContext)));
    if (p == nullptr) {
        close(socket);
        return nullptr;
    }
    p->socket = socket;
    p->peerAddress = peerAddress;
    p->localAddress = localAddress;
    memcpy(p->peerId, peerId, 16);
    p->mode = mode;
    p->packetLimit = kFramePrefixSize + kMaxFrameLength;
    p->sendTimeoutMs = kDefaultSendTimeoutMs;
    pthread_mutex_init(&p->hostMutex, nullptr);
    initMonotonicCondition(&p->sendSpace);
    initMonotonicCondition(&p->receiveSpace);
    return p;
}

bool trovixPeerSession(TrovixPeerContext* p, const uint8_t* abort) {
    pthread_mutex_lock(&p->hostMutex);
    p->host = createHostOnSocket(p->socket, p->packetLimit);
    if (p->host == nullptr) {
        close(p->socket);
        p->socket = -1;
        pthread_mutex_unlock(&p->hostMutex);
        formatError(p, "Error %s occurred creating Trovix host", modeText(p->mode));
        return false;
    }
    const auto* in = reinterpret_cast<const sockaddr_in*>(&p->peerAddress);
    ENetPeer* made = nullptr;
    if (p->mode == 0) {
        ENetAddress address;
        address.host = in->sin_addr.s_addr;
        address.port = ntohs(in->sin_port);
        made = enet_host_connect(p->host, &address, 1, 0);
        if (made == nullptr) {
            char text[INET_ADDRSTRLEN] = "";
            inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
            formatError(p, "(Server Mode) Peer error while trying Trovix at %s:%d", text, ntohs(in->sin_port));
            destroyHostLocked(p);
            pthread_mutex_unlock(&p->hostMutex);
            return false;
        }
    }
    const int64_t deadline = trovixNowMs() + trovixSettings.peerConnectMs;
    ENetEvent event;
    int rc = 0;
    for (;;) {
        rc = enet_host_service(p->host, &event, 0);
        if (rc > 0) break;
        const int64_t left = deadline - trovixNowMs();
        if (left <= 0 || (abort != nullptr && __atomic_load_n(abort, __ATOMIC_ACQUIRE) != 0)) break;
        // Short slices, so the sends of the handshake are retried on time.
        waitSocketUnlocked(p->socket, &p->hostMutex, int(left < 50 ? left : 50));
    }
    if (rc > 0 && event.type == ENET_EVENT_TYPE_CONNECT) {
        p->peer = p->mode == 0 ? made : event.peer;
        p->receivedQueue = createLockedList();
        if (p->receivedQueue != nullptr &&
            pthread_create(&p->serviceThread, nullptr, serviceThread, p) == 0) {
            p->serviceStarted = true;
            pthread_mutex_unlock(&p->hostMutex);
            return true;
        }
        if (p->receivedQueue != nullptr) {
            destroyLockedList(p->receivedQueue);
            p->receivedQueue = nullptr;
        }
        enet_peer_reset(p->peer);
        made = nullptr;
    } else if (rc > 0 && event.type == ENET_EVENT_TYPE_RECEIVE) {
        enet_packet_destroy(event.packet);
    }
    if (made != nullptr) enet_peer_reset(made);
    char id[30] = "";
    encodeBase58(p->peerId, 16, id, sizeof id);
    formatError(p, "%s Connection to Trovix peer %s timed out", modeText(p->mode), id);
    destroyHostLocked(p);
    pthread_mutex_unlock(&p->hostMutex);
    return false;
}

int trovixPeerRead(TrovixPeerContext* p, void* buffer, size_t length) {
    if (p->streamEnded) return 0;
    ENetPacket* packet = p->pendingPacket;
    if (packet == nullptr) {
        if (p->receivedQueue == nullptr) return 0;
        packet = static_cast<ENetPacket*>(takeFromLockedList(p->receivedQueue));
        if (packet == nullptr) {
            p->streamEnded = true;
            return 0;
        }
        if (length < packet->dataLength) {
            memcpy(buffer, packet->data, length);
            p->pendingPacket = packet;
            p->readOffset = length;
            return int(length);
        }
        if (length == packet->dataLength) {
            memcpy(buffer, packet->data, length);
            finishPacket(p, packet);
            return int(length);
        }
    } else {
        p->pendingPacket = nullptr;
        if (length == packet->dataLength - p->readOffset) {
            memcpy(buffer, packet->data + p->readOffset, length);
            finishPacket(p, packet);
            return int(length);
        }
    }
    // Any other pattern means the stream and the packets disagree: the
    // packet is dropped and the link counts as broken.
    finishPacket(p, packet);
    errno = EPROTO;
    return -EPROTO;
}

int trovixPeerReadNow(TrovixPeerContext* p, void* buffer, size_t length) {
    // The reader is the queue's only consumer: a queue that holds an item
    // now still holds it when the read takes it.
    if (!p->streamEnded && p->pendingPacket == nullptr && p->receivedQueue != nullptr &&
        countLockedList(p->receivedQueue) == 0) {
        errno = EAGAIN;
        return -EAGAIN;
    }
    return trovixPeerRead(p, buffer, length);
}

int trovixPeerWaitReadable(TrovixPeerContext* p, int timeoutMs) {
    if (p->streamEnded || p->pendingPacket != nullptr || p->receivedQueue == nullptr) return 1;
    LockedList* queue = p->receivedQueue;
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    if (timeoutMs >= 0) {
        deadline.tv_sec += timeoutMs / 1000;
        deadline.tv_nsec += long(timeoutMs % 1000) * 1000000;
        if (deadline.tv_nsec >= 1000000000) {
            deadline.tv_sec++;
            deadline.tv_nsec -= 1000000000;
        }
    }
    // Waits on the queue's own condition; close appends the end-of-stream
    // item, which wakes this wait like any packet.
    int result = 1;
    pthread_mutex_lock(&queue->mutex);
    while (queue->head == nullptr) {
        if (stopRequested(p)) {
            result = -ECANCELED;
            break;
        }
        const int rc = timeoutMs < 0 ? pthread_cond_wait(&queue->itemAdded, &queue->mutex)
                                     : pthread_cond_timedwait(&queue->itemAdded, &queue->mutex, &deadline);
        if (rc == ETIMEDOUT && queue->head == nullptr) {
            result = 0;
            break;
        }
    }
    pthread_mutex_unlock(&queue->mutex);
    return result;
}

namespace {

// Queues one reliable packet for the peer and sends what ENet can send
// now. Called with hostMutex held and a peer. Returns length or -errno.
int queuePacketLocked(TrovixPeerContext* p, const void* buffer, size_t length) {
    if (p->peer->state != ENET_PEER_STATE_CONNECTED) return -EPIPE;
    if (length > p->host->maximumPacketSize || length > size_t(INT32_MAX)) return -EMSGSIZE;
    ENetPacket* packet = enet_packet_create(buffer, length, ENET_PACKET_FLAG_RELIABLE);
    if (packet == nullptr) return -ENOMEM;
    packet->userData = p;
    packet->freeCallback = sentPacketFreed;
    p->sendingBytes += length;
    if (enet_peer_send(p->peer, 0, packet) != 0) {
        // ENet keeps a packet only when it queued it.
        if (packet->referenceCount == 0) enet_packet_destroy(packet);
        return -EPIPE;
    }
    p->host->serviceTime = enet_time_get();
    enet_host_flush(p->host);
    return int(length);
}

// One packet to the peer, waiting for send space until deadline (null: not
// at all). Takes hostMutex.
int writePacket(TrovixPeerContext* p, const void* buffer, size_t length, const timespec* deadline) {
    pthread_mutex_lock(&p->hostMutex);
    int rc = 1;
    while (p->peer != nullptr && !p->closed && p->sendingBytes >= trovixSettings.peerSendLimit) {
        if (deadline == nullptr || pthread_cond_timedwait(&p->sendSpace, &p->hostMutex, deadline) == ETIMEDOUT) {
            rc = -EAGAIN;
            break;
        }
    }
    if (p->peer == nullptr) {
        rc = 0;
    } else if (rc > 0) {
        rc = queuePacketLocked(p, buffer, length);
    }
    pthread_mutex_unlock(&p->hostMutex);
    if (rc < 0) errno = -rc;
    return rc;
}

} // namespace

int trovixPeerWrite(TrovixPeerContext* p, const void* buffer, size_t length) {
    const timespec deadline = monotonicDeadline(p->sendTimeoutMs);
    return writePacket(p, buffer, length, &deadline);
}

int trovixPeerWriteNow(TrovixPeerContext* p, const void* buffer, size_t length) {
    return writePacket(p, buffer, length, nullptr);
}

int trovixPeerWaitWritable(TrovixPeerContext* p, int timeoutMs) {
    const timespec deadline = monotonicDeadline(timeoutMs < 0 ? 0 : timeoutMs);
    int result = 1;
    pthread_mutex_lock(&p->hostMutex);
    while (p->peer != nullptr && p->sendingBytes >= trovixSettings.peerSendLimit) {
        if (p->closed) {
            result = -ECANCELED;
            break;
        }
        const int rc = timeoutMs < 0 ? pthread_cond_wait(&p->sendSpace, &p->hostMutex)
                                     : pthread_cond_timedwait(&p->sendSpace, &p->hostMutex, &deadline);
        if (rc == ETIMEDOUT) {
            result = p->sendingBytes >= trovixSettings.peerSendLimit ? 0 : 1;
            break;
        }
    }
    pthread_mutex_unlock(&p->hostMutex);
    return result;
}

size_t trovixPeerReceivePeak() { return __atomic_load_n(&processReceivePeak, __ATOMIC_RELAXED); }
void resetTrovixPeerReceivePeak() { __atomic_store_n(&processReceivePeak, 0, __ATOMIC_RELAXED); }

void closeTrovixPeer(TrovixPeerContext* p) {
    pthread_mutex_lock(&p->hostMutex);
    const bool first = !p->closed;
    p->closed = true;
    pthread_cond_broadcast(&p->sendSpace);
    pthread_cond_broadcast(&p->receiveSpace);
    pthread_mutex_unlock(&p->hostMutex);
    if (!first) return;
    if (p->receivedQueue != nullptr) appendToLockedList(p->receivedQueue, nullptr);
    __atomic_store_n(&p->stop, 1, __ATOMIC_RELEASE);
    if (p->serviceStarted) pthread_join(p->serviceThread, nullptr);
}

void releaseTrovixPeer(TrovixPeerContext* p) {
    if (p == nullptr) return;
    closeTrovixPeer(p);
    pthread_mutex_lock(&p->hostMutex);
    destroyHostLocked(p);
    pthread_mutex_unlock(&p->hostMutex);
    if (p->receivedQueue != nullptr) {
        clearLockedList(p->receivedQueue, destroyPacket);
        destroyLockedList(p->receivedQueue);
    }
    if (p->pendingPacket != nullptr) enet_packet_destroy(p->pendingPacket);
    pthread_cond_destroy(&p->sendSpace);
    pthread_cond_destroy(&p->receiveSpace);
    pthread_mutex_destroy(&p->hostMutex);
    free(p);
}
