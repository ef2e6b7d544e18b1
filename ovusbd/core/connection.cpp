#include "ovusbd/core/connection.h"

#include <errno.h>
#include <ifaddrs.h>
#include <limits.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>

#include "ovusbd/core/clientlimit.h"
#include "ovusbd/core/config.h"
#include "ovusbd/core/connectionmodule.h"
#include "ovusbd/core/coresettings.h"
#include "ovusbd/core/log.h"
#include "ovusbd/core/randomuuid.h"
#include "ovusbd/core/util.h"

ConnectionModule* connectionModule = nullptr;

timespec monotonicNow() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

void waitOneTick() {
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 1;
    pthread_mutex_lock(&connectionModule->mutex);
    if (!connectionModule->shuttingDown) {
        pthread_cond_timedwait(&connectionModule->tick, &connectionModule->mutex, &deadline);
    }
    pthread_mutex_unlock(&connectionModule->mutex);
}

void wakeTicks() {
    pthread_mutex_lock(&connectionModule->mutex);
    pthread_cond_broadcast(&connectionModule->tick);
    pthread_mutex_unlock(&connectionModule->mutex);
}

bool moduleShuttingDown() {
    pthread_mutex_lock(&connectionModule->mutex);
    bool down = connectionModule->shuttingDown;
    pthread_mutex_unlock(&connectionModule->mutex);
    return down;
}

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

ConnectedClient* pinClient(uint16_t id) {
    ConnectedClient* pinned = nullptr;
    withClient(id, [&](ConnectedClient* c) {
        if (c->stopFlag == 0) {
            c->users++;
            pinned = c;
        }
    });
    return pinned;
}

void unpinClient(ConnectedClient* client) {
    pthread_mutex_t* stripe = clientStripe(client->connectionId);
    pthread_mutex_lock(stripe);
    if (--client->users == 0) {
        pthread_cond_broadcast(&client->usersGone);
    }
    pthread_mutex_unlock(stripe);
}

namespace {

void freeItem(void* item, void*) {
    free(item);
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

// postInsert of the append: indexes the record and starts its threads under
// its stripe lock, so no remover can claim the record before its thread
// handles exist. The new threads block on that lock until it is released.
void startClientThreads(void* item, void*) {
    auto* c = static_cast<ConnectedClient*>(item);
    pthread_mutex_t* stripe = clientStripe(c->connectionId);
    pthread_mutex_lock(stripe);
    connectionModule->index[c->connectionId] = c;
    if (startThread(&c->transmitThread, connectionTransmitThread, c->connectionId, false)) {
        c->threadsStarted |= kTransmitStarted;
    }
    if (startThread(&c->receiveThread, connectionReceiveThread, c->connectionId, false)) {
        c->threadsStarted |= kReceiveStarted;
    }
    if (startThread(&c->pingThread, connectionPingThread, c->connectionId, false)) {
        c->threadsStarted |= kPingStarted;
    }
    pthread_mutex_lock(&connectionModule->mutex);
    connectionModule->liveWatchdogs++;
    pthread_mutex_unlock(&connectionModule->mutex);
    pthread_t watchdog;
    if (!startThread(&watchdog, connectionWatchdogThread, c->connectionId, true)) {
        pthread_mutex_lock(&connectionModule->mutex);
        connectionModule->liveWatchdogs--;
        pthread_mutex_unlock(&connectionModule->mutex);
    }
    pthread_mutex_unlock(stripe);
}

bool matchNothing(void*, const void*) {
    return false;
}

bool matchItem(void* item, const void* key) {
    return item == key;
}

uint32_t linkDescriptors(const NetworkConnection* link) {
    return link->descriptors > 0 ? link->descriptors : 1;
}

// Takes a place for one more client whose link holds `descriptors`, or
// refuses it: the first refusal after a client was accepted is logged, the
// rest of the run counted and their count logged when a client is accepted
// again, so a flood of connections costs two lines.
bool reserveClientSlot(const char* remoteText, uint32_t descriptors) {
    ConnectionModule* m = connectionModule;
    pthread_mutex_lock(&m->mutex);
    const bool room = m->clientSlots < m->clientLimit && m->descriptorsHeld + descriptors <= m->descriptorBudget;
    uint32_t refusedBefore = 0;
    bool first = false;
    if (room) {
        m->clientSlots++;
        m->descriptorsHeld += descriptors;
        refusedBefore = m->refusedInRun;
        m->refusedInRun = 0;
    } else {
        first = m->refusedInRun++ == 0;
    }
    const uint32_t clients = m->clientSlots;
    pthread_mutex_unlock(&m->mutex);
    if (first) {
        logMessage(4, "Warning, %u clients connected, the most this server can serve: refusing %s and any more until one leaves",
                   clients, remoteText);
    }
    if (refusedBefore > 1) {
        logMessage(4, "Warning, %u more connections were refused while the server was full", refusedBefore - 1);
    }
    return room;
}

void releaseClientSlot(uint32_t descriptors) {
    pthread_mutex_lock(&connectionModule->mutex);
    connectionModule->clientSlots--;
    connectionModule->descriptorsHeld -= descriptors;
    pthread_mutex_unlock(&connectionModule->mutex);
}

// Frees a record that never was, or no longer is, listed or indexed; its
// link stays the caller's.
void freeClientRecord(ConnectedClient* c) {
    if (c->transmitQueue != nullptr) {
        freeTransmitQueue(c->transmitQueue);
    }
    freeMessage(c->partialMessage);
    if (c->devicePasswords != nullptr) {
        clearLockedList(c->devicePasswords, freeItem);
        destroyLockedList(c->devicePasswords);
    }
    releaseFrameEncoder(&c->encoder);
    pthread_mutex_destroy(&c->writeLock);
    pthread_cond_destroy(&c->usersGone);
    free(c);
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
    for (pthread_mutex_t& stripe : made->stripes) {
        pthread_mutex_init(&stripe, nullptr);
    }
    pthread_mutex_init(&made->mutex, nullptr);
    pthread_cond_init(&made->tick, nullptr);
    pthread_mutex_init(&made->idLock, nullptr);
    made->pingTimeout = settings.pingTimeout;
    made->traceMessages = settings.traceMessages;
    const SystemLimits limits = readSystemLimits();
    made->clientLimit = clientLimitFor(limits);
    made->descriptorBudget = linkDescriptorBudget(limits);
    if (callbacks != nullptr) {
        made->callbacks = *callbacks;
    }
    connectionModule = made;
    return 0;
}

void destroyConnectionList() {
    if (connectionModule == nullptr) {
        return;
    }
    removeAllClientConnections("server shutdown");
    pthread_mutex_lock(&connectionModule->mutex);
    connectionModule->shuttingDown = true;
    pthread_cond_broadcast(&connectionModule->tick);
    while (connectionModule->liveWatchdogs > 0) {
        pthread_cond_wait(&connectionModule->tick, &connectionModule->mutex);
    }
    pthread_mutex_unlock(&connectionModule->mutex);
    clearLockedList(connectionModule->connectionList, freeItem);
    destroyLockedList(connectionModule->connectionList);
    pthread_mutex_destroy(&connectionModule->mutex);
    pthread_cond_destroy(&connectionModule->tick);
    pthread_mutex_destroy(&connectionModule->idLock);
    for (pthread_mutex_t& stripe : connectionModule->stripes) {
        pthread_mutex_destroy(&stripe);
    }
    free(connectionModule);
    connectionModule = nullptr;
}

bool connectionListExists() {
    return connectionModule != nullptr;
}

size_t copyConnectionIds(uint16_t* ids, size_t capacity) {
    struct Ids {
        uint16_t* ids;
        size_t count, capacity;
    } list{ids, 0, capacity};
    if (connectionModule == nullptr) {
        return 0;
    }
    forEachInLockedList(
        connectionModule->connectionList, nullptr,
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
    return connectionModule != nullptr ? countLockedList(connectionModule->connectionList) : 0;
}

uint32_t connectionLimit() {
    return connectionModule != nullptr ? connectionModule->clientLimit : 0;
}

uint64_t connectionQueuedBytes(uint16_t connectionId) {
    uint64_t bytes = 0;
    withClient(connectionId, [&](ConnectedClient* c) { bytes = __atomic_load_n(&c->queuedBytes, __ATOMIC_ACQUIRE); });
    return bytes;
}

uint16_t nextConnectionId() {
    // After 65535 ids the counter wraps onto ids that may still name a client
    // or a binding: those are skipped. The check runs without idLock; no
    // other caller can draw the same candidate, since the counter has moved
    // past it.
    for (uint32_t tries = 0; tries < 0xFFFF; tries++) {
        pthread_mutex_lock(&connectionModule->idLock);
        connectionModule->idCounter++;
        if (connectionModule->idCounter == 0) {
            connectionModule->idCounter = 1;
        }
        const uint16_t id = connectionModule->idCounter;
        pthread_mutex_unlock(&connectionModule->idLock);
        const bool held = connectionModule->callbacks.idInUse != nullptr && connectionModule->callbacks.idInUse(id);
        if (!held && !connectionExists(id)) {
            return id;
        }
    }
    return 0;
}

bool addClientConnection(NetworkConnection* connection, const sockaddr* remoteAddress) {
    sockaddr_storage remote{};
    const socklen_t remoteLength =
        remoteAddress->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : remoteAddress->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof remote;
    memcpy(&remote, remoteAddress, remoteLength);
    char remoteText[64];
    addressText(&remote, remoteText, sizeof remoteText);
    const uint32_t descriptors = linkDescriptors(connection);
    if (!reserveClientSlot(remoteText, descriptors)) {
        return false;
    }
    const int noDelay = connection->setNoDelay(connection);
    if (noDelay != 0) {
        logMessage(3, "Error %d setting NODELAY for client %s, %s", -noDelay, remoteText, strerror(-noDelay));
        releaseClientSlot(descriptors);
        return false;
    }
    if (!connection->handshake(connection)) {
        releaseClientSlot(descriptors);
        return false;
    }
    auto* c = static_cast<ConnectedClient*>(calloc(1, sizeof(ConnectedClient)));
    if (c == nullptr) {
        releaseClientSlot(descriptors);
        return false;
    }
    c->transmitQueue = createLockedList();
    c->devicePasswords = createLockedList();
    pthread_mutex_init(&c->writeLock, nullptr);
    pthread_cond_init(&c->usersGone, nullptr);
    initFrameEncoder(&c->encoder, uint32_t(getConfigInt("CompressionLimit", int(kDefaultCompressionLimit))));
    if (c->transmitQueue == nullptr || c->devicePasswords == nullptr) {
        freeClientRecord(c);
        releaseClientSlot(descriptors);
        return false;
    }
    c->connectionId = nextConnectionId();
    if (c->connectionId == 0) {
        logMessage(3, "Error, no free connection id for client %s", remoteText);
        freeClientRecord(c);
        releaseClientSlot(descriptors);
        return false;
    }
    readRandomUuid(c->uuid);
    c->link = connection;
    c->remoteAddress = remote;
    findInterfaceName(connection, c->interfaceName);
    c->lastReceive = monotonicNow();
    const uint16_t id = c->connectionId;
    logMessage(6, "%s connected as connection %u", remoteText, id);
    if (connectionModule->callbacks.clientConnected != nullptr) {
        char* command = getConfigString("onClientConnect", nullptr, true);
        if (command != nullptr) {
            connectionModule->callbacks.clientConnected(command, remoteText, id);
            free(command);
        }
    }
    if (moduleShuttingDown() ||
        updateOrAppendInLockedList(connectionModule->connectionList, matchNothing, freeItem, startClientThreads, nullptr, nullptr,
                                   nullptr, c) != 0) {
        freeClientRecord(c);
        releaseClientSlot(descriptors);
        return false;
    }
    return true;
}

bool removeClientConnection(uint16_t connectionId, const char* reason) {
    ConnectedClient* c = nullptr;
    char clientText[64];
    withClient(connectionId, [&](ConnectedClient* client) {
        if (!client->removing) {
            client->removing = 1;
            c = client;
            memcpy(clientText, client->clientText, sizeof clientText);
        }
    });
    if (c == nullptr) {
        return false;
    }
    // From here this thread owns the claim: the record stays indexed (others
    // may still read fields under its stripe lock) and only this thread
    // frees it. The link, the remote address and the thread handles do not
    // change any more.
    char remoteText[64];
    addressText(&c->remoteAddress, remoteText, sizeof remoteText);
    char* command = nullptr;
    if (connectionModule->callbacks.clientDisconnected != nullptr) {
        command = getConfigString("onClientDisconnect", nullptr, true);
    }

    if (connectionModule->callbacks.clientLeaving != nullptr) {
        connectionModule->callbacks.clientLeaving(connectionId);
    }

    uint8_t started = 0;
    withClient(connectionId, [&](ConnectedClient* client) {
        client->stopFlag = 1;
        started = client->threadsStarted;
    });
    wakeTicks();
    NetworkConnection* link = c->link;
    link->close(link);
    if (started & kReceiveStarted) {
        pthread_join(c->receiveThread, nullptr);
    }
    if (started & kPingStarted) {
        pthread_join(c->pingThread, nullptr);
    }
    if (started & kTransmitStarted) {
        appendToLockedList(c->transmitQueue, nullptr);
        pthread_join(c->transmitThread, nullptr);
    }
    // With the stop flag set nothing more is queued or pinned; a thread that
    // pinned the record before (dropping it for a full queue) is waited for,
    // on a condition.
    pthread_mutex_t* stripe = clientStripe(connectionId);
    pthread_mutex_lock(stripe);
    while (c->users != 0) {
        pthread_cond_wait(&c->usersGone, stripe);
    }
    c->link = nullptr;
    pthread_mutex_unlock(stripe);
    logMessage(6, "Connection %u successfully removed (reason:%s)", connectionId, reason);
    if (command != nullptr) {
        connectionModule->callbacks.clientDisconnected(command, connectionId, reason, clientText, remoteText);
        free(command);
    }
    const uint32_t descriptors = linkDescriptors(link);
    link->destroy(link);
    free(link);
    // Out of the list first: while the record is still indexed its id cannot
    // be handed out again, so the list never holds two records of one id.
    removeFromLockedList(connectionModule->connectionList, matchItem, nullptr, c, nullptr);
    pthread_mutex_lock(stripe);
    connectionModule->index[connectionId] = nullptr;
    pthread_mutex_unlock(stripe);
    freeClientRecord(c);
    releaseClientSlot(descriptors);
    wakeTicks();
    return true;
}

void removeAllClientConnections(const char* reason) {
    for (;;) {
        uint16_t first = 0;
        bool claimedElsewhere = false;
        forEachInLockedList(
            connectionModule->connectionList, nullptr,
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
            // The list lock is never taken under connectionModule->mutex (the
            // other order exists), so look first, then wait; a wake-up
            // missed in between costs at most the one-second bound.
            if (connectionExists(first)) {
                timespec deadline;
                clock_gettime(CLOCK_REALTIME, &deadline);
                deadline.tv_sec += 1;
                pthread_mutex_lock(&connectionModule->mutex);
                pthread_cond_timedwait(&connectionModule->tick, &connectionModule->mutex, &deadline);
                pthread_mutex_unlock(&connectionModule->mutex);
            }
        }
    }
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

// By the index: an id stays taken until its record has left the index,
// after the list, so two listed records never share an id.
bool connectionExists(uint16_t connectionId) {
    return withClient(connectionId, [](ConnectedClient*) {});
}

bool connectionAcceptsBinds(uint16_t connectionId) {
    bool accepts = false;
    withClient(connectionId, [&](ConnectedClient* c) { accepts = c->removing == 0; });
    return connectionModule != nullptr && accepts;
}

uint16_t findConnectionByUuid(const uint8_t uuid[16]) {
    uint16_t id = 0;
    struct Search {
        const uint8_t* uuid;
        uint16_t* id;
    } search{uuid, &id};
    if (connectionModule == nullptr) {
        return 0;
    }
    forEachInLockedList(
        connectionModule->connectionList,
        [](void* item, const void* key) {
            return memcmp(static_cast<ConnectedClient*>(item)->uuid, static_cast<const Search*>(key)->uuid, 16) == 0;
        },
        [](void* item, void* out) { *static_cast<uint16_t*>(out) = static_cast<ConnectedClient*>(item)->connectionId; },
        &search, &id, 1);
    return id;
}

bool isRemoteAddressConnected(const sockaddr* address) {
    return connectionModule != nullptr && findInLockedList(
        connectionModule->connectionList,
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

void* connectionWatchdogThread(void* argument) {
    const uint16_t id = *static_cast<uint16_t*>(argument);
    free(argument);
    const int interval = getConfigInt("PingInterval", 4);
    const int timeout = connectionModule->pingTimeout;
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
    pthread_mutex_lock(&connectionModule->mutex);
    connectionModule->liveWatchdogs--;
    pthread_cond_broadcast(&connectionModule->tick);
    pthread_mutex_unlock(&connectionModule->mutex);
    return nullptr;
}
