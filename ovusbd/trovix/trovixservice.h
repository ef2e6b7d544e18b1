// The Trovix rendezvous service as a NetworkService ("Trovix Service"),
// and the connection it hands to addClientConnection for each remote
// client that arrives over a peer link.
#pragma once

#include <pthread.h>

#include "ovusbd/core/transport.h"
#include "ovusbd/core/tlsconfig.h"
#include "ovusbd/core/tlssession.h"
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

    // The TLS form ("Trovix SSL Service"): its settings (texts owned by the
    // start-up settings) and its configuration, from listen to release.
    bool tlsForm;
    TlsSettings tlsSettings;
    TlsConfig tls;
};

// The plain peer connection: its operations, then the peer link.
struct TrovixPlainConnection {
    NetworkConnection base;
    TrovixPeerContext* peer;
};

// The TLS peer connection: its operations, the owning service, the peer
// link and a TLS session whose records travel one per packet.
struct TrovixTlsConnection {
    NetworkConnection base;
    TrovixService* service;
    TrovixPeerContext* peer;
    const uint8_t* stopFlag;  // the rendezvous client's stop: ends a handshake early; null after it
    TlsSession session;
};

// The plain connection around a peer link, which it owns from here on.
// Null without memory (the peer is then still the caller's).
NetworkConnection* createTrovixPlainConnection(TrovixPeerContext* peer);

// The TLS connection around a peer link, on service's configuration;
// stopFlag (may be null) ends its handshake early.
NetworkConnection* createTrovixTlsConnection(TrovixPeerContext* peer, TrovixService* service,
                                             const uint8_t* stopFlag);

// A zero-filled "Trovix Service", or with tls the "Trovix SSL Service" on
// those settings (copied; the texts must outlive the service). Null
// without memory.
NetworkService* createTrovixService(const TlsSettings* tls = nullptr);

// The service's operations.
bool trovixPlainServicePrepare(NetworkService* service, int* boundPort);
bool trovixServicePrepare(NetworkService* service, int* boundPort);
void trovixServiceRelease(NetworkService* service);
void trovixServiceStart(NetworkService* service);
void trovixServiceStop(NetworkService* service, int flag);
void trovixPlainServiceRelease(NetworkService* service);
void trovixServiceDeinit(NetworkService* service);

// Whether a rendezvous client runs.
bool trovixServiceRunning(NetworkService* service);

// The new-peer hooks of the plain and the TLS form (arg: the TrovixService).
void acceptTrovixPlainPeer(void* arg, TrovixContext* context, const TrovixPunchedPeer* peer);
void acceptTrovixPeer(void* arg, TrovixContext* context, const TrovixPunchedPeer* peer);
