// "TCP SSL Service" and "TCP SSL Reverse Service": the listener and the
// reverse dialler in their TLS forms. The server is the TLS server on every
// link, the dialled ones included.
#pragma once

#include <pthread.h>

#include "ovusbd/core/peersource.h"
#include "ovusbd/core/transport.h"
#include "ovusbd/core/tlsconfig.h"
#include "ovusbd/core/tlsconnection.h"

// Most handshakes of one listener in progress at once; a connection beyond
// them is closed at once, so a flood of silent peers costs bounded threads.
// One source (peersource.h) holds at most its share of them, so a host that
// opens connections and stalls them cannot lock out everyone else.
constexpr int kMaxPendingTlsHandshakes = 64;
constexpr int kMaxPendingTlsHandshakesPerSource = 8;

// Handshakes in progress from one source.
struct TlsHandshakeShare {
    PeerSource source;
    int count;  // 0: the entry is free
};

struct TlsService {
    NetworkService base;   // first, so a NetworkService* is a TlsService*
    int listenSocket;      // -1 when none; closed by the accept thread as it ends
    TlsSettings settings;  // copies owned by the service
    TlsConfig tls;
    TlsLinkOwner owner;    // what every link of the service points to
    // Handshakes of accepted links run on threads of their own, so one peer
    // that says nothing cannot hold up the accept loop. handshakeMutex
    // guards pendingHandshakes and shares; handshakeDone is signalled when
    // one ends.
    pthread_mutex_t handshakeMutex;
    pthread_cond_t handshakeDone;
    int pendingHandshakes;
    TlsHandshakeShare shares[kMaxPendingTlsHandshakes];  // every pending handshake is in one
};

// New services with their operations and a copy of settings; null when
// memory runs out. Freed with freeService after their deinit.
NetworkService* createTlsService(const TlsSettings* settings);
NetworkService* createTlsReverseService(const TlsSettings* settings);

bool tlsServiceListen(NetworkService* service, int* boundPort);
bool tlsReverseServiceConfigure(NetworkService* service, int* boundPort);
void* tlsAcceptThread(void* service);
void* tlsReverseClientThread(void* service);
// One pass over "SSLReverseClients".
void dialTlsReverseClients(NetworkService* service, const char* list);
