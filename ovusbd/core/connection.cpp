#include "ovusbd/core/connection.h"

#include <errno.h>
#include <ifaddrs.h>
#include <limits.h>
#include <sched.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>

#include "ovusbd/core/config.h"
#include "ovusbd/core/framing.h"
#include "ovusbd/core/log.h"
#include "ovusbd/core/randomuuid.h"
#include "ovusbd/core/settings.h"
#include "ovusbd/core/util.h"

namespace {

constexpr uint8_t kTransmitStarted = 1, kReceiveStarted = 2, kPingStarted = 4;

// The module's state, made by createConnectionList and freed by
// destroyConnectionList. `tick` wakes the per-client sleeps of the ping and
// watchdog threads (1 s each) when a client stops or the module shuts down,
// and tells removeAllClientConnections that a record went away.
struct ConnectionModule {
    LockedList* connectionList;  // the clients, owned by the list
    pthread_mutex_t mutex;       // guards liveWatchdogs and shuttingDown; never held while taking the list lock
    pthread_cond_t tick;
    int liveWatchdogs;           // detached watchdogs still running
    bool shuttingDown;
    pthread_mutex_t idLock;      // guards idCounter
    uint16_t idCounter;
    int pingTimeout;             // "PingTimeout", seconds
    bool traceMessages;          // "TraceMsgs"
    ConnectionCallbacks callbacks;
};
ConnectionModule* module = nullptr;

bool matchConnectionId(void* item, const void* key) {
    return static_cast<ConnectedClient*>(item)->connectionId == *static_cast<const uint16_t*>(key);
}

// Runs fn(client, arg) under the list lock on the client with this id.
// Returns false when there is no such client.
template <typename Fn>
bool withClient(uint16_t id, Fn fn) {
    struct Call {
        Fn* fn;
        bool found;
    } call{&fn, false};
    if (module == nullptr) {
        return false;
    }
    forEachInLockedList(
        module->connectionList, matchConnectionId,
        [](void* item, void* out) {
            auto* c = static_cast<Call*>(out);
            c->found = true;
            (*c->fn)(static_cast<ConnectedClient*>(item));
        },
        &id, &call, 1);
    return call.found;
}

timespec monotonicNow() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

// Sleeps up to one second; returns early when the module is woken (a client
// stops or the module shuts down).
void waitOneTick() {
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 1;
    pthread_mutex_lock(&module->mutex);
    if (!module->shuttingDown) {
        pthread_cond_timedwait(&module->tick, &module->mutex, &deadline);
    }
    pthread_mutex_unlock(&module->mutex);
}

void wakeTicks() {
    pthread_mutex_lock(&module->mutex);
    pthread_cond_broadcast(&module->tick);
    pthread_mutex_unlock(&module->mutex);
}

bool moduleShuttingDown() {
    pthread_mutex_lock(&module->mutex);
    bool down = module->shuttingDown;
    pthread_mutex_unlock(&module->mutex);
    return down;
}

void freeMessageItem(void* item, void*) {
    freeMessage(static_cast<MessageHeader*>(item));
}

void freeItem(void* item, void*) {
    free(item);
}

// Appends under the list lock, then the queue's lock (the fixed order).
// The queue is found under the list lock and appended to after it is
// released: the append wakes the transmit thread (a system call), and doing
// that under the one lock every client thread takes made the clients wait
// for each other. The sender is counted in queueSenders while it holds the
// queue pointer; removal takes the queue out of the record under the list
// lock and then waits for that count to drop before freeing the queue, so
// the queue, and the record the count lives in, outlive every append.
bool queueOnConnection(uint16_t id, MessageHeader* message) {
    LockedList* queue = nullptr;
    ConnectedClient* client = nullptr;
    withClient(id, [&](ConnectedClient* c) {
        if (c->transmitQueue != nullptr) {
            queue = c->transmitQueue;
            client = c;
            __atomic_add_fetch(&c->queueSenders, 1, __ATOMIC_ACQ_REL);
        }
    });
    if (queue == nullptr) {
        return false;
    }
    const bool queued = appendToLockedList(queue, message) == 0;
    __atomic_sub_fetch(&client->queueSenders, 1, __ATOMIC_RELEASE);
    return queued;
}

// The link's own address family decides the interface: for IPv4 (and IPv4
// mapped into IPv6) the IPv4 address, for IPv6 the 16-byte address.
void findInterfaceName(NetworkConnection* link, char out[256]) {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    const int rc = link->getLocalAddress(link, reinterpret_cast<sockaddr*>(&local), &length);
    if (rc != 0) {
        logMessage(4, "Error %d running getsockname to find interface, %s", -rc, strerror(-rc));
        return;
    }
    int family = local.ss_family;
    in_addr v4{};
    in6_addr v6{};
    if (family == AF_INET) {
        v4 = reinterpret_cast<sockaddr_in*>(&local)->sin_addr;
    } else if (family == AF_INET6) {
        v6 = reinterpret_cast<sockaddr_in6*>(&local)->sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&v6)) {
            family = AF_INET;
            memcpy(&v4, v6.s6_addr + 12, 4);
        }
    } else {
        return;
    }
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        logMessage(4, "Error %d running getifaddrs to find interface, %s", errno, strerror(errno));
        return;
    }
    for (ifaddrs* ifa = list; ifa != nullptr; ifa = ifa->ifa_next) {
        if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != family) {
            continue;
        }
        const bool same = family == AF_INET
                              ? reinterpret_cast<sockaddr_in*>(ifa->ifa_addr)->sin_addr.s_addr == v4.s_addr
                              : memcmp(&reinterpret_cast<sockaddr_in6*>(ifa->ifa_addr)->sin6_addr, &v6, 16) == 0;
        if (same) {
            snprintf(out, 256, "%s", ifa->ifa_name);
            break;
        }
    }
    freeifaddrs(list);
}

void* connectionTransmitThread(void* argument);
void* connectionReceiveThread(void* argument);
void* connectionPingThread(void* argument);
void* connectionWatchdogThread(void* argument);

uint16_t* idCopy(uint16_t id) {
    auto* copy = static_cast<uint16_t*>(malloc(sizeof(uint16_t)));
    if (copy != nullptr) {
        *copy = id;
    }
    return copy;
}

bool startThread(pthread_t* thread, void* (*routine)(void*), uint16_t id, bool detached) {
    uint16_t* copy = idCopy(id);
    if (copy == nullptr) {
        return false;
    }
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    if (detached) {
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    }
    int rc = pthread_create(thread, &attributes, routine, copy);
    pthread_attr_destroy(&attributes);
    if (rc != 0) {
        logMessage(3, "Error %d creating a thread for connection %u, %s", rc, id, strerror(rc));
        free(copy);
        return false;
    }
    return true;
}

// postInsert of the append: starts the threads while the list lock is still
// held, so no remover can claim the record before its thread handles exist.
// The new threads block on that lock until the append returns.
void startClientThreads(void* item, void*) {
    auto* c = static_cast<ConnectedClient*>(item);
    if (startThread(&c->transmitThread, connectionTransmitThread, c->connectionId, false)) {
        c->threadsStarted |= kTransmitStarted;
    }
    if (startThread(&c->receiveThread, connectionReceiveThread, c->connectionId, false)) {
        c->threadsStarted |= kReceiveStarted;
    }
    if (startThread(&c->pingThread, connectionPingThread, c->connectionId, false)) {
        c->threadsStarted |= kPingStarted;
    }
    pthread_mutex_lock(&module->mutex);
    module->liveWatchdogs++;
    pthread_mutex_unlock(&module->mutex);
    pthread_t watchdog;
    if (!startThread(&watchdog, connectionWatchdogThread, c->connectionId, true)) {
        pthread_mutex_lock(&module->mutex);
        module->liveWatchdogs--;
        pthread_mutex_unlock(&module->mutex);
    }
}

bool matchNothing(void*, const void*) {
    return false;
}

void addressText(const sockaddr_storage* address, char* out, size_t size) {
    if (formatSocketAddress(reinterpret_cast<const sockaddr*>(address), out, size) == nullptr) {
        snprintf(out, size, "%s", "unknown");
    }
}

} // namespace

int createConnectionList(const CoreSettings& settings, const ConnectionCallbacks* callbacks) {
    auto* made = static_cast<ConnectionModule*>(calloc(1, sizeof(ConnectionModule)));
    if (made == nullptr) {
        return -ENOMEM;
    }
    made->connectionList = createLockedList();
    if (made->connectionList == nullptr) {
        free(made);
        return -ENOMEM;
    }
    pthread_mutex_init(&made->mutex, nullptr);
    pthread_cond_init(&made->tick, nullptr);
    pthread_mutex_init(&made->idLock, nullptr);
    made->pingTimeout = settings.pingTimeout;
    made->traceMessages = settings.traceMessages;
    if (callbacks != nullptr) {
        made->callbacks = *callbacks;
    }
    module = made;
    return 0;
}

void destroyConnectionList() {
    if (module == nullptr) {
        return;
    }
    removeAllClientConnections("server shutdown");
    pthread_mutex_lock(&module->mutex);
    module->shuttingDown = true;
    pthread_cond_broadcast(&module->tick);
    while (module->liveWatchdogs > 0) {
        pthread_cond_wait(&module->tick, &module->mutex);
    }
    pthread_mutex_unlock(&module->mutex);
    clearLockedList(module->connectionList, freeItem);
    destroyLockedList(module->connectionList);
    pthread_mutex_destroy(&module->mutex);
    pthread_cond_destroy(&module->tick);
    pthread_mutex_destroy(&module->idLock);
    free(module);
    module = nullptr;
}

bool connectionListExists() {
    return module != nullptr;
}

size_t copyConnectionIds(uint16_t* ids, size_t capacity) {
    struct Ids {
        uint16_t* ids;
        size_t count, capacity;
    } list{ids, 0, capacity};
    if (module == nullptr) {
        return 0;
    }
    forEachInLockedList(
        module->connectionList, nullptr,
        [](void* item, void* out) {
            auto* l = static_cast<Ids*>(out);
            if (l->count < l->capacity) {
                l->ids[l->count++] = static_cast<ConnectedClient*>(item)->connectionId;
            }
        },
        nullptr, &list, 0);
    return list.count;
}

size_t connectionCount() {
    return module != nullptr ? countLockedList(module->connectionList) : 0;
}

uint16_t nextConnectionId() {
    pthread_mutex_lock(&module->idLock);
    module->idCounter++;
    if (module->idCounter == 0) {
        module->idCounter = 1;
    }
    uint16_t id = module->idCounter;
    pthread_mutex_unlock(&module->idLock);
    return id;
}

bool addClientConnection(NetworkConnection* connection, const sockaddr* remoteAddress) {
    sockaddr_storage remote{};
    const socklen_t remoteLength =
        remoteAddress->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : remoteAddress->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof remote;
    memcpy(&remote, remoteAddress, remoteLength);
    char remoteText[64];
    addressText(&remote, remoteText, sizeof remoteText);
    const int noDelay = connection->setNoDelay(connection);
    if (noDelay != 0) {
        logMessage(3, "Error %d setting NODELAY for client %s, %s", -noDelay, remoteText, strerror(-noDelay));
        return false;
    }
    if (!connection->handshake(connection)) {
        return false;
    }
    auto* c = static_cast<ConnectedClient*>(calloc(1, sizeof(ConnectedClient)));
    if (c == nullptr) {
        return false;
    }
    c->transmitQueue = createLockedList();
    c->devicePasswords = createLockedList();
    if (c->transmitQueue == nullptr || c->devicePasswords == nullptr) {
        if (c->transmitQueue) destroyLockedList(c->transmitQueue);
        if (c->devicePasswords) destroyLockedList(c->devicePasswords);
        free(c);
        return false;
    }
    c->connectionId = nextConnectionId();
    readRandomUuid(c->uuid);
    c->link = connection;
    c->remoteAddress = remote;
    findInterfaceName(connection, c->interfaceName);
    c->lastReceive = monotonicNow();
    const uint16_t id = c->connectionId;
    logMessage(6, "%s connected as connection %u", remoteText, id);
    if (module->callbacks.clientConnected != nullptr) {
        char* command = getConfigString("onClientConnect", nullptr, true);
        if (command != nullptr) {
            module->callbacks.clientConnected(command, remoteText, id);
            free(command);
        }
    }
    if (moduleShuttingDown() ||
        updateOrAppendInLockedList(module->connectionList, matchNothing, freeItem, startClientThreads, nullptr, nullptr,
                                   nullptr, c) != 0) {
        destroyLockedList(c->transmitQueue);
        destroyLockedList(c->devicePasswords);
        free(c);
        return false;
    }
    return true;
}

bool removeClientConnection(uint16_t connectionId, const char* reason) {
    ConnectedClient* c = nullptr;
    withClient(connectionId, [&](ConnectedClient* client) {
        if (!client->removing) {
            client->removing = 1;
            c = client;
        }
    });
    if (c == nullptr) {
        return false;
    }
    // From here this thread owns the claim: the record stays listed (others
    // may still read fields under the lock) and only this thread frees it.
    char clientText[64];
    char remoteText[64];
    withClient(connectionId, [&](ConnectedClient* client) { memcpy(clientText, client->clientText, sizeof clientText); });
    addressText(&c->remoteAddress, remoteText, sizeof remoteText);
    char* command = nullptr;
    if (module->callbacks.clientDisconnected != nullptr) {
        command = getConfigString("onClientDisconnect", nullptr, true);
    }

    if (module->callbacks.clientLeaving != nullptr) {
        module->callbacks.clientLeaving(connectionId);
    }

    NetworkConnection* link = nullptr;
    uint8_t started = 0;
    LockedList* queue = nullptr;
    withClient(connectionId, [&](ConnectedClient* client) {
        client->stopFlag = 1;
        link = client->link;
        started = client->threadsStarted;
        queue = client->transmitQueue;
    });
    wakeTicks();
    link->close(link);
    if (started & kReceiveStarted) {
        pthread_join(c->receiveThread, nullptr);
    }
    if (started & kPingStarted) {
        pthread_join(c->pingThread, nullptr);
    }
    if (started & kTransmitStarted) {
        appendToLockedList(queue, nullptr);
        pthread_join(c->transmitThread, nullptr);
    }
    LockedList* passwords = nullptr;
    withClient(connectionId, [&](ConnectedClient* client) {
        client->transmitQueue = nullptr;
        passwords = client->devicePasswords;
        client->devicePasswords = nullptr;
    });
    // Senders that found the queue before it was taken out finish their
    // append first (a few instructions; no lock is held while they do).
    while (__atomic_load_n(&c->queueSenders, __ATOMIC_ACQUIRE) != 0) {
        sched_yield();
    }
    clearLockedList(queue, freeMessageItem);
    destroyLockedList(queue);
    clearLockedList(passwords, freeItem);
    destroyLockedList(passwords);
    logMessage(6, "Connection %u successfully removed (reason:%s)", connectionId, reason);
    if (command != nullptr) {
        module->callbacks.clientDisconnected(command, connectionId, reason, clientText, remoteText);
        free(command);
    }
    link->destroy(link);
    free(link);
    removeFromLockedList(module->connectionList, matchConnectionId, freeItem, &connectionId, nullptr);
    wakeTicks();
    return true;
}

void removeAllClientConnections(const char* reason) {
    for (;;) {
        uint16_t first = 0;
        bool claimedElsewhere = false;
        forEachInLockedList(
            module->connectionList, nullptr,
            [](void* item, void* out) {
                auto* c = static_cast<ConnectedClient*>(item);
                *static_cast<uint16_t*>(out) = c->connectionId;
            },
            nullptr, &first, 1);
        if (first == 0) {
            return;
        }
        if (!removeClientConnection(first, reason)) {
            claimedElsewhere = true;
        }
        if (claimedElsewhere) {
            // Another thread (the client's watchdog) is removing it; wait for
            // that removal to finish rather than spin.
            // The list lock is never taken under module->mutex (the
            // other order exists), so look first, then wait; a wake-up
            // missed in between costs at most the one-second bound.
            if (connectionExists(first)) {
                timespec deadline;
                clock_gettime(CLOCK_REALTIME, &deadline);
                deadline.tv_sec += 1;
                pthread_mutex_lock(&module->mutex);
                pthread_cond_timedwait(&module->tick, &module->mutex, &deadline);
                pthread_mutex_unlock(&module->mutex);
            }
        }
    }
}

void sendToConnection(uint16_t connectionId, MessageHeader* message) {
    if (message == nullptr) {
        return;
    }
    if (!queueOnConnection(connectionId, message)) {
        freeMessage(message);
    }
}

void broadcastMessage(MessageHeader* message) {
    if (message == nullptr) {
        return;
    }
    const size_t expected = connectionCount() + 8;
    auto* ids = static_cast<uint16_t*>(calloc(expected, sizeof(uint16_t)));
    const size_t count = ids != nullptr ? copyConnectionIds(ids, expected) : 0;
    for (size_t i = 0; i < count; i++) {
        sendToConnection(ids[i], cloneMessage(message));
    }
    free(ids);
    freeMessage(message);
}

bool getConnectionRemoteAddress(uint16_t connectionId, sockaddr_storage* out) {
    memset(out, 0, sizeof *out);
    return withClient(connectionId, [&](ConnectedClient* c) { *out = c->remoteAddress; });
}

bool getConnectionClientText(uint16_t connectionId, char out[64]) {
    memset(out, 0, 64);
    return withClient(connectionId, [&](ConnectedClient* c) { memcpy(out, c->clientText, 64); });
}

bool getConnectionClientDetail(uint16_t connectionId, char out[64]) {
    memset(out, 0, 64);
    return withClient(connectionId, [&](ConnectedClient* c) { memcpy(out, c->clientDetail, 64); });
}

bool getConnectionUuid(uint16_t connectionId, uint8_t out[16]) {
    memset(out, 0, 16);
    return withClient(connectionId, [&](ConnectedClient* c) { memcpy(out, c->uuid, 16); });
}

bool getConnectionInterfaceName(uint16_t connectionId, char out[256]) {
    memset(out, 0, 256);
    return withClient(connectionId, [&](ConnectedClient* c) { memcpy(out, c->interfaceName, 256); });
}

bool setConnectionClientText(uint16_t connectionId, const char* text) {
    return withClient(connectionId, [&](ConnectedClient* c) { snprintf(c->clientText, sizeof c->clientText, "%s", text); });
}

bool setConnectionClientDetail(uint16_t connectionId, const char* text) {
    return withClient(connectionId,
                      [&](ConnectedClient* c) { snprintf(c->clientDetail, sizeof c->clientDetail, "%s", text); });
}

bool connectionExists(uint16_t connectionId) {
    return module != nullptr && findInLockedList(module->connectionList, matchConnectionId, &connectionId);
}

uint16_t findConnectionByUuid(const uint8_t uuid[16]) {
    uint16_t id = 0;
    struct Search {
        const uint8_t* uuid;
        uint16_t* id;
    } search{uuid, &id};
    if (module == nullptr) {
        return 0;
    }
    forEachInLockedList(
        module->connectionList,
        [](void* item, const void* key) {
            return memcmp(static_cast<ConnectedClient*>(item)->uuid, static_cast<const Search*>(key)->uuid, 16) == 0;
        },
        [](void* item, void* out) { *static_cast<uint16_t*>(out) = static_cast<ConnectedClient*>(item)->connectionId; },
        &search, &id, 1);
    return id;
}

bool isRemoteAddressConnected(const sockaddr* address) {
    return module != nullptr && findInLockedList(
        module->connectionList,
        [](void* item, const void* key) {
            return memcmp(&static_cast<ConnectedClient*>(item)->remoteAddress, key, sizeof(sockaddr_storage)) == 0;
        },
        address);
}

void refreshReceiveTime(uint16_t connectionId) {
    const timespec now = monotonicNow();
    withClient(connectionId, [&](ConnectedClient* c) { c->lastReceive = now; });
}

void refreshReceiveTimeIfPending(uint16_t connectionId) {
    // The clock is read only when the watchdog asked for it, so a busy link
    // costs one clock read per watchdog tick rather than one per message.
    withClient(connectionId, [&](ConnectedClient* c) {
        if (c->refreshPending) {
            c->lastReceive = monotonicNow();
            c->refreshPending = 0;
        }
    });
}

void storeDevicePassword(uint16_t connectionId, uint32_t deviceAddress, const char* password, size_t length) {
    auto* entry = static_cast<DevicePassword*>(calloc(1, sizeof(DevicePassword)));
    if (entry == nullptr) {
        return;
    }
    entry->deviceAddress = deviceAddress;
    memcpy(entry->password, password, length < sizeof entry->password - 1 ? length : sizeof entry->password - 1);
    bool stored = false;
    withClient(connectionId, [&](ConnectedClient* c) {
        if (c->devicePasswords != nullptr &&
            updateOrAppendInLockedList(
                c->devicePasswords,
                [](void* item, const void* key) {
                    return static_cast<DevicePassword*>(item)->deviceAddress == *static_cast<const uint32_t*>(key);
                },
                freeItem, nullptr, &deviceAddress, nullptr, nullptr, entry) == 0) {
            stored = true;
        }
    });
    if (!stored) {
        free(entry);
    }
}

bool takeDevicePassword(uint16_t connectionId, uint32_t deviceAddress, char out[128]) {
    struct Take {
        uint32_t address;
        char* out;
        bool found;
    } take{deviceAddress, out, false};
    withClient(connectionId, [&](ConnectedClient* c) {
        if (c->devicePasswords == nullptr) {
            return;
        }
        removeFromLockedList(
            c->devicePasswords,
            [](void* item, const void* key) {
                return static_cast<DevicePassword*>(item)->deviceAddress == static_cast<const Take*>(key)->address;
            },
            [](void* item, void* arg) {
                auto* t = static_cast<Take*>(arg);
                memcpy(t->out, static_cast<DevicePassword*>(item)->password, 128);
                t->found = true;
                free(item);
            },
            &take, &take);
    });
    return take.found;
}

namespace {

bool clientStoppingOrGone(uint16_t id) {
    bool stopping = true;
    withClient(id, [&](ConnectedClient* c) { stopping = c->stopFlag != 0; });
    return stopping;
}

// The loop of readConnectionExact with the link already in hand. A read that
// delivers everything asked for (the usual case: the link reads with
// MSG_WAITALL) takes no lock. Only a read that came back short, or asked to
// be retried, looks at the stop flag: removal shuts the link down, which
// ends every blocked read.
int readLinkExact(uint16_t connectionId, NetworkConnection* link, void* buffer, size_t length) {
    size_t total = 0;
    while (total < length) {
        const int got = link->read(link, static_cast<uint8_t*>(buffer) + total, length - total);
        if (got > 0) {
            total += size_t(got);
            if (total == length) {
                break;
            }
        } else if (got != -EAGAIN) {
            return got;
        }
        if (clientStoppingOrGone(connectionId)) {
            // Bytes that arrived are of no use without the rest.
            return got < 0 ? got : 0;
        }
    }
    return int(length);
}

} // namespace

int readConnectionExact(uint16_t connectionId, void* buffer, size_t length) {
    NetworkConnection* link = nullptr;
    bool stopping = true;
    withClient(connectionId, [&](ConnectedClient* c) {
        stopping = c->stopFlag != 0;
        link = c->link;
    });
    if (stopping) {
        return 0;
    }
    return readLinkExact(connectionId, link, buffer, length);
}

namespace {

struct ClientState {
    bool found;
    bool stopping;
    bool transmitEnded;
    bool receiveEnded;
};

ClientState clientState(uint16_t id) {
    ClientState s{false, true, false, false};
    withClient(id, [&](ConnectedClient* c) {
        s.found = true;
        s.stopping = c->stopFlag != 0;
        s.transmitEnded = c->transmitEnded != 0;
        s.receiveEnded = c->receiveEnded != 0;
    });
    return s;
}

void* connectionTransmitThread(void* argument) {
    const uint16_t id = *static_cast<uint16_t*>(argument);
    free(argument);
    FrameEncoder encoder;
    initFrameEncoder(&encoder, uint32_t(getConfigInt("CompressionLimit", int(kDefaultCompressionLimit))));
    const bool trace = module->traceMessages;
    LockedList* queue = nullptr;
    NetworkConnection* link = nullptr;
    bool stopping = true;
    withClient(id, [&](ConnectedClient* c) {
        stopping = c->stopFlag != 0;
        queue = c->transmitQueue;
        link = c->link;
    });
    // queue and link stay valid until this thread is joined by the remover.
    while (!stopping && queue != nullptr) {
        auto* message = static_cast<MessageHeader*>(takeFromLockedList(queue));
        if (message == nullptr) {
            break;
        }
        const uint8_t* frame = nullptr;
        size_t frameLength = 0;
        int rc = encodeFrame(&encoder, message, &frame, &frameLength);
        if (rc == FRAME_TOO_BIG) {
            logMessage(3, "Error processing message (type %u). It is too big (%u bytes) to transmit", message->type,
                       uint32_t(kMessageHeaderSize + uint64_t(message->payloadLength) > 0xffffffffu
                                    ? 0xffffffffu
                                    : kMessageHeaderSize + message->payloadLength));
            freeMessage(message);
            break;
        }
        if (rc != 0) {
            logMessage(3, "Error %d encoding message (type %u) for connection %u", rc, message->type, id);
            freeMessage(message);
            continue;
        }
        if (trace) {
            logMessage(7, "tx:t=%d,a=%u,s=%u", message->type, message->deviceAddress, message->payloadLength);
        }
        // Written outside the connection-list lock: a peer that does not read
        // holds up only this thread, and only until the send time-out.
        size_t written = 0;
        int result = 1;
        while (written < frameLength) {
            result = link->write(link, frame + written, frameLength - written);
            if (result <= 0) {
                break;
            }
            written += size_t(result);
        }
        freeMessage(message);
        if (result <= 0) {
            ClientState s = clientState(id);
            if (!s.found || s.stopping || s.receiveEnded) {
                break;
            }
            if (result == 0) {
                logMessage(6, "Connection %d remotely disconnected gracefully (tx)", id);
            } else if (result == -EAGAIN || result == -EWOULDBLOCK) {
                logMessage(6, "Connection %d stopped reading, send timed out", id);
            }
            break;
        }
        // The stop flag is not read again here: removal sets it and then
        // queues the null item, which ends this loop; a write to the link it
        // has shut down fails and is checked above.
    }
    bool wasStopping = true;
    withClient(id, [&](ConnectedClient* c) {
        c->transmitEnded = 1;
        wasStopping = c->stopFlag != 0;
    });
    // A client that can no longer be sent to must not linger with a growing
    // queue: shutting the link down ends its receive thread, and its watchdog
    // then removes it.
    if (!wasStopping && link != nullptr) {
        link->close(link);
    }
    releaseFrameEncoder(&encoder);
    return nullptr;
}

// Logs why a read ended, unless the other direction or a removal already did.
void reportReadEnd(uint16_t id, int result, const char* what) {
    ClientState s = clientState(id);
    if (!s.found || s.stopping || s.transmitEnded) {
        return;
    }
    if (result == 0 && strcmp(what, "rx msg size") == 0) {
        logMessage(6, "Connection %d remotely disconnected gracefully (%s)", id, what);
    } else if (result == -ECONNRESET) {
        logMessage(6, "Connection %d remotely disconnected abruptly (%s)", id, what);
    }
}

void* connectionReceiveThread(void* argument) {
    const uint16_t id = *static_cast<uint16_t*>(argument);
    free(argument);
    const bool trace = module->traceMessages;
    FrameDecoder decoder{};
    // The link stays valid until the remover has joined this thread.
    NetworkConnection* link = nullptr;
    bool stopping = true;
    withClient(id, [&](ConnectedClient* c) {
        stopping = c->stopFlag != 0;
        link = c->link;
    });
    while (!stopping) {
        uint8_t prefix[kFramePrefixSize];
        int rc = readLinkExact(id, link, prefix, sizeof prefix);
        if (rc <= 0) {
            reportReadEnd(id, rc, "rx msg size");
            break;
        }
        FrameSizes sizes;
        rc = parseFramePrefix(prefix, sizeof prefix, &sizes);
        if (rc == FRAME_TOO_BIG) {
            logMessage(3, "Error received message is too big (comp=%u, uncomp=%u)", sizes.compressedLength,
                       sizes.bodyLength);
            break;
        }
        if (rc != 0) {
            logMessage(3, "Error received message is malformed (comp=%u, uncomp=%u), %s", sizes.compressedLength,
                       sizes.bodyLength, frameErrorText(rc));
            break;
        }
        uint8_t* frame = frameDecoderFrameBuffer(&decoder, sizes.frameBytes);
        uint8_t* inflate = sizes.compressedLength != 0 ? frameDecoderInflateBuffer(&decoder, sizes.bodyLength) : nullptr;
        if (frame == nullptr || (sizes.compressedLength != 0 && inflate == nullptr)) {
            logMessage(3, "Error allocating %u bytes for a message of connection %u", sizes.frameBytes, id);
            break;
        }
        rc = readLinkExact(id, link, frame, sizes.frameBytes);
        if (rc <= 0) {
            reportReadEnd(id, rc, "rx msg data");
            break;
        }
        const MessageHeader* body = nullptr;
        rc = decodeFrameBody(&sizes, frame, sizes.frameBytes, inflate, inflate != nullptr ? sizes.bodyLength : 0, &body);
        if (rc == FRAME_BAD_COMPRESSION) {
            logMessage(3, "Error decompressing message");
            break;
        }
        if (rc != 0) {
            logMessage(3, "Error received message is malformed (comp=%u, uncomp=%u), %s", sizes.compressedLength,
                       sizes.bodyLength, frameErrorText(rc));
            break;
        }
        // One walk per message: the pending refresh of the receive time, and
        // whether the client is being removed (then the message is dropped).
        withClient(id, [&](ConnectedClient* c) {
            stopping = c->stopFlag != 0;
            if (c->refreshPending) {
                c->lastReceive = monotonicNow();
                c->refreshPending = 0;
            }
        });
        if (stopping) {
            break;
        }
        if (trace) {
            logMessage(7, "rx:t=%d,a=%u,s=%u", body->type, body->deviceAddress, body->payloadLength);
        }
        if (module->callbacks.messageReceived != nullptr) {
            module->callbacks.messageReceived(id, body);
        }
    }
    withClient(id, [&](ConnectedClient* c) { c->receiveEnded = 1; });
    releaseFrameDecoder(&decoder);
    return nullptr;
}

void* connectionPingThread(void* argument) {
    const uint16_t id = *static_cast<uint16_t*>(argument);
    free(argument);
    int interval = getConfigInt("PingInterval", 4);
    // Below 1 would ping without pause (0) or never (negative).
    if (interval < 1) {
        interval = 1;
    }
    int counter = 0;
    while (!clientState(id).stopping) {
        if (counter >= interval) {
            MessageHeader* ping = newMessage({.type = kMsgPing, .payloadLength = 4});
            if (ping != nullptr) {
                const uint32_t now = uint32_t(time(nullptr));
                memcpy(messagePayload(ping), &now, 4);
                if (!queueOnConnection(id, ping)) {
                    freeMessage(ping);
                }
            }
            counter = 0;
        } else {
            waitOneTick();
            counter++;
        }
    }
    return nullptr;
}

void* connectionWatchdogThread(void* argument) {
    const uint16_t id = *static_cast<uint16_t*>(argument);
    free(argument);
    const int interval = getConfigInt("PingInterval", 4);
    const int timeout = module->pingTimeout;
    while (!clientState(id).stopping && !moduleShuttingDown()) {
        waitOneTick();
        const timespec now = monotonicNow();
        long silence = INT_MAX;
        withClient(id, [&](ConnectedClient* c) {
            silence = long(now.tv_sec - c->lastReceive.tv_sec);
            if (silence > interval) {
                c->refreshPending = 1;
            }
        });
        if (silence > timeout) {
            removeClientConnection(id, "timeout");
            break;
        }
    }
    pthread_mutex_lock(&module->mutex);
    module->liveWatchdogs--;
    pthread_cond_broadcast(&module->tick);
    pthread_mutex_unlock(&module->mutex);
    return nullptr;
}

} // namespace
