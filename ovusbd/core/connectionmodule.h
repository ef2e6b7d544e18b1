// The connection module's own state and the helpers its three files share:
// connection.cpp (records, removal, lookups), clientreceive.cpp (the receive
// thread) and clienttransmit.cpp (sending, the transmit and ping threads).
// Nothing outside those files includes this.
#pragma once

#include <pthread.h>
#include <stdint.h>
#include <time.h>

#include "ovusbd/core/connection.h"

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
extern ConnectionModule* connectionModule;

inline bool matchConnectionId(void* item, const void* key) {
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
    if (connectionModule == nullptr) {
        return false;
    }
    forEachInLockedList(
        connectionModule->connectionList, matchConnectionId,
        [](void* item, void* out) {
            auto* c = static_cast<Call*>(out);
            c->found = true;
            (*c->fn)(static_cast<ConnectedClient*>(item));
        },
        &id, &call, 1);
    return call.found;
}

timespec monotonicNow();
// Sleeps up to one second; returns early when the module is woken (a client
// stops or the module shuts down).
void waitOneTick();
void wakeTicks();
bool moduleShuttingDown();

struct ClientState {
    bool found;
    bool stopping;
    bool transmitEnded;
    bool receiveEnded;
};
ClientState clientState(uint16_t id);

// Queues message on the client's transmit queue; false (message still the
// caller's) when the client or its queue is gone.
bool queueOnConnection(uint16_t id, MessageHeader* message);

// The loop of readConnectionExact with the link already in hand.
int readLinkExact(uint16_t connectionId, NetworkConnection* link, void* buffer, size_t length);

// Thread routines; each takes a malloc'd copy of the connection id and frees it.
void* connectionTransmitThread(void* argument);
void* connectionReceiveThread(void* argument);
void* connectionPingThread(void* argument);
void* connectionWatchdogThread(void* argument);
