// The transport interfaces: network services (ways of getting client links:
// listener, reverse dialler, TLS forms, Trovix) and network connections (one
// link, reached only through its operations); the service list and the
// drivers that walk it. The network server (networkserver.h) makes the
// services; the connection module (connection.h) owns accepted links.
#pragma once

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>

#include "ovusbd/core/lockedlist.h"

struct NetworkConnection;

// One link. Owned by the service until addClientConnection accepts it, then
// by its ConnectedClient. Every slot that can fail returns a negative errno
// itself, never -1 with errno left to be read later.
struct NetworkConnection {
    // 0, or a negative errno.
    int (*setNoDelay)(NetworkConnection* connection);
    // Wakes every thread blocked in read or write and stops the link. May be
    // called more than once and from the transmit thread; must not release
    // what a concurrent read or write uses (destroy does that).
    void (*close)(NetworkConnection* connection);
    // getsockname contract: a 128-byte buffer, its length in and out; 0 on
    // success, else a negative errno.
    int (*getLocalAddress)(NetworkConnection* connection, sockaddr* address, socklen_t* length);
    // True when the link may be used.
    bool (*handshake)(NetworkConnection* connection);
    // Bytes read, 0 when the peer closed, a negative errno on error (-EAGAIN:
    // nothing yet, try again).
    int (*read)(NetworkConnection* connection, void* buffer, size_t length);
    // Bytes written, 0 or a negative errno on failure (a timed-out write
    // fails with -EAGAIN).
    int (*write)(NetworkConnection* connection, const void* buffer, size_t length);
    // Last call: frees the transport state, not the structure itself.
    void (*destroy)(NetworkConnection* connection);
    // Optional (null when the link has none): write without waiting. Bytes
    // written, -EAGAIN when the link takes nothing now, 0 or another negative
    // errno on failure. Lets a thread write a reply at once without ever
    // blocking on a peer that does not read.
    int (*writeNow)(NetworkConnection* connection, const void* buffer, size_t length);
    // Descriptors the link holds open, counted against the client limit;
    // 0 counts as one.
    uint32_t descriptors;
};

struct NetworkService {
    void (*init)(NetworkService* service);
    void (*deinit)(NetworkService* service);
    bool (*listen)(NetworkService* service, int* boundPort);
    void (*start)(NetworkService* service);
    void (*stop)(NetworkService* service, int flag);
    void (*release)(NetworkService* service);

    pthread_t thread;
    bool threadRunning;              // written by start/stop on the main thread
    uint8_t stopFlag;                // atomic access only (below); read by the service thread at least once a second
    char name[35];
};

inline bool serviceStopRequested(const NetworkService* service) {
    return __atomic_load_n(&service->stopFlag, __ATOMIC_ACQUIRE) != 0;
}
inline void setServiceStopFlag(NetworkService* service, uint8_t value) {
    __atomic_store_n(&service->stopFlag, value, __ATOMIC_RELEASE);
}

// The service list: NetworkService items in start-up order.
extern LockedList* serviceList;

// Drivers of the service list; each walks
// every service in list order.
void runServiceInit();
// True when every service listened; the services after the first that did
// not are not asked. The TCP listener stores its port through boundPort.
bool runServiceListen(int* boundPort);
void runServiceStart();
void runServiceRelease();
void runServiceStop(int flag);
void runServiceDeinit();
// Starts (flag != 0) or stops (flag 0) the first service whose name
// contains key.
void startOrStopService(const char* key, uint8_t flag);

// predicate for the service list: the service name contains key (a text).
bool matchServiceName(void* item, const void* key);

// Item destructor for clearing the service list: frees the service.
void freeService(void* item, void* arg);
