// The Trovix rendezvous service as a NetworkService ("Trovix Service"),
// and the connection it hands to addClientConnection for each remote
// client that arrives over a peer link.
#pragma once

#include <pthread.h>

#include "ovusbd/core/netservice.h"
#include "ovusbd/trovix/crypto.h"
#include "ovusbd/trovix/identity.h"
#include "ovusbd/trovix/peer.h"
#include "ovusbd/trovix/rendezvous.h"

struct TrovixService {
    NetworkService base;  // first: the service list holds &base
    TrovixIdentity identity;
    TrovixRandom random;  // the form's generator; seeded by listen
    bool randomMade;
    // Serialises start and stop (the main thread and message 75 from any
    // client) and guards rendezvous. Held across the join in stop: the
    // rendezvous thread never takes it, and a start must not run while a
    // stop is still ending the previous client.
    pthread_mutex_t stateMutex;
    TrovixContext* rendezvous;  // null while no rendezvous client runs
};

// The plain peer connection: its operations, then the peer link.
struct TrovixPlainConnection {
    NetworkConnection base;
    TrovixPeerContext* peer;
};

// The plain connection around a peer link, which it owns from here on.
// Null without memory (the peer is then still the caller's).
NetworkConnection* createTrovixPlainConnection(TrovixPeerContext* peer);

// A zero-filled "Trovix Service" with its operations. Null without memory.
NetworkService* createTrovixService();

// The service's operations.
bool trovixPlainServicePrepare(NetworkService* service, int* boundPort);
void trovixServiceStart(NetworkService* service);
void trovixServiceStop(NetworkService* service, int flag);
void trovixPlainServiceRelease(NetworkService* service);
void trovixServiceDeinit(NetworkService* service);

// Whether a rendezvous client runs.
bool trovixServiceRunning(NetworkService* service);

// The new-peer hook of the plain form (arg: the TrovixService).
void acceptTrovixPlainPeer(void* arg, TrovixContext* context, const TrovixPunchedPeer* peer);
