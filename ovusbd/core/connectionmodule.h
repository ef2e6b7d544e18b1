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

// Records are indexed by their 16-bit id; each index entry is guarded by the
// stripe lock of id % kClientStripes, so consecutive ids (busy clients
// arriving together) never share a lock.
constexpr uint32_t kClientStripes = 256;

// The module's state, made by createConnectionList and freed by
// destroyConnectionList. `tick` wakes the per-client sleeps of the ping and
// watchdog threads (1 s each) when a client stops or the module shuts down,
// and tells removeAllClientConnections that a record went away.
struct ConnectionModule {
    LockedList* connectionList;  // the clients, owned by the list; taken before a stripe lock
    pthread_mutex_t stripes[kClientStripes];
    ConnectedClient* index[0x10000];  // by id; entry guarded by its stripe
    pthread_mutex_t mutex;       // guards liveWatchdogs, shuttingDown, the slots and the refusal run; never held while taking the list lock
    pthread_cond_t tick;
    int liveWatchdogs;           // detached watchdogs still running
    bool shuttingDown;
    uint32_t refusedInRun;       // connections refused since the last one accepted
    pthread_mutex_t idLock;      // guards idCounter
    uint16_t idCounter;
    uint32_t clientLimit;        // the most clients at once, from the process limits
    uint64_t descriptorBudget;   // descriptors all links together may hold, from the same
    uint32_t clientSlots;        // clients made or being made, not yet freed
    uint64_t descriptorsHeld;    // by the links of those clients
    int pingTimeout;             // "PingTimeout", seconds
    bool traceMessages;          // "TraceMsgs"
    ConnectionCallbacks callbacks;
};
extern ConnectionModule* connectionModule;

inline pthread_mutex_t* clientStripe(uint16_t id) {
    return &connectionModule->stripes[id % kClientStripes];
}

// Runs fn(client) under the stripe lock of id on the client with this id,
// which stays valid for the call. fn must not call withClient itself.
// Returns false when there is no such client.
template <typename Fn>
bool withClient(uint16_t id, Fn fn) {
    if (connectionModule == nullptr) {
        return false;
    }
    pthread_mutex_t* stripe = clientStripe(id);
    pthread_mutex_lock(stripe);
    ConnectedClient* c = connectionModule->index[id];
    if (c != nullptr) {
        fn(c);
    }
    pthread_mutex_unlock(stripe);
    return c != nullptr;
}

// Keeps the record of a client that is not being removed from being freed
// until unpinClient, for a thread other than the client's own that must use
// it outside the stripe lock. Null when the client is gone or stopping.
ConnectedClient* pinClient(uint16_t id);
void unpinClient(ConnectedClient* client);

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
// caller's) when the client is gone, stopping, can no longer be sent to, or
// was just dropped for passing kTransmitQueueLimit.
bool queueOnConnection(uint16_t id, MessageHeader* message);

// Frees the messages of a transmit queue, keeping its other items (a stop
// request); returns their frame bytes.
uint64_t freeQueuedMessages(LockedList* queue);
// Frees a transmit queue with whatever it holds.
void freeTransmitQueue(LockedList* queue);

// The loop of readConnectionExact with the link already in hand.
int readLinkExact(uint16_t connectionId, NetworkConnection* link, void* buffer, size_t length);

// Thread routines; each takes a malloc'd copy of the connection id and frees it.
void* connectionTransmitThread(void* argument);
void* connectionReceiveThread(void* argument);
void* connectionPingThread(void* argument);
void* connectionWatchdogThread(void* argument);
