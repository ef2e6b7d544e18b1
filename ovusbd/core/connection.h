// Client connections: a NetworkConnection turned into a ConnectedClient with
// its transmit, receive, ping and watchdog threads; sending to one client or
// to all; removal. The receive thread lives in clientreceive.cpp; sending,
// the transmit and the ping thread in clienttransmit.cpp; the rest in
// connection.cpp.
//
// Locking: a record is found by its id in the module's index, and its
// fields are read or written under the index stripe lock of that id
// (withClient), so clients with different ids never wait for each other.
// The connection list lock is held only to add, remove and walk the clients
// (broadcasts, id copies, uuid and address searches, which read only fields
// fixed at creation). Lock order: connection list, stripe, transmit queue.
// No stripe or list lock is held across a read or write of a link. One
// thread at a time writes a link, holding its writeLock.
#pragma once

#include <pthread.h>
#include <stdint.h>
#include <sys/socket.h>
#include <time.h>

#include "ovusbd/core/coresettings.h"
#include "ovusbd/core/framing.h"
#include "ovusbd/core/lockedlist.h"
#include "ovusbd/core/message.h"
#include "ovusbd/core/transport.h"

struct ConnectedClient {
    uint16_t connectionId;        // never 0
    uint8_t uuid[16];
    sockaddr_storage remoteAddress;  // 128 bytes, zero padded
    char clientText[64];
    char clientDetail[64];
    char interfaceName[256];
    LockedList* transmitQueue;    // of MessageHeader*; null item stops the transmit thread
    // Frame bytes queued or being written by the transmit thread (atomic).
    // 0 means nothing is waiting, so a reply may be written at once.
    uint64_t queuedBytes;
    timespec lastReceive;         // CLOCK_MONOTONIC
    pthread_t transmitThread, receiveThread, pingThread;
    uint8_t threadsStarted;       // bit 0 transmit, 1 receive, 2 ping
    NetworkConnection* link;
    // Held by the one thread writing to link: the transmit thread, or the
    // client's own receive thread writing a reply while the queue is empty.
    // Guards encoder.
    pthread_mutex_t writeLock;
    FrameEncoder encoder;         // compression buffer of this link
    // A frame the link took only in part without waiting: the transmit
    // thread writes the rest before anything else (queuedBytes counts it).
    MessageHeader* partialMessage;
    const uint8_t* partialFrame;  // in partialMessage or in encoder
    size_t partialWritten, partialLength;
    uint8_t stopFlag;             // set once, by removal
    uint8_t removing;             // claimed by the one remover
    uint8_t transmitEnded;
    uint8_t receiveEnded;
    uint8_t refreshPending;
    uint8_t sendingEnded;         // a write failed or the queue overflowed: sends are dropped
    // Threads other than the client's own holding the record outside the
    // stripe lock; removal waits (usersGone) until none is left.
    uint32_t users;
    pthread_cond_t usersGone;
    LockedList* devicePasswords;  // of DevicePassword*
};

struct DevicePassword {
    uint32_t deviceAddress;
    char password[128];
};

// What the module asks of the protocol layer above it, which installs the
// table when it makes the module. Null members: nothing runs.
struct ConnectionCallbacks {
    // One received message, on the client's receive thread; message is valid
    // only during the call.
    void (*messageReceived)(uint16_t connectionId, const MessageHeader* message);
    // A client is being removed: release what it holds (its bound devices)
    // while its record still exists.
    void (*clientLeaving)(uint16_t connectionId);
    // True when id names something outside the module drawn from the same
    // counter (a binding), so that nextConnectionId skips it.
    bool (*idInUse)(uint16_t id);
    // Event-script hooks, run after connect and after removal. Each gets
    // copies it may keep.
    void (*clientConnected)(const char* command, const char* addressText, uint16_t connectionId);
    void (*clientDisconnected)(const char* command, uint16_t connectionId, const char* reason, const char* clientText,
                               const char* addressText);
};

// A client whose queued frames pass this many bytes is not reading: it is
// dropped. Well above what one client needs in flight (a frame is at most
// kMaxFrameLength, 9 MiB).
constexpr uint64_t kTransmitQueueLimit = 32u << 20;

// Makes the module with its connectionList (the clients, owned by the list).
// "PingTimeout" and "TraceMsgs" are the settings' pingTimeout and
// traceMessages, copied here; callbacks (may be null) are copied too. The
// most clients served at once is derived here, once, from the descriptor
// and thread limits of the process (clientlimit.h).
// Returns 0 or -ENOMEM.
int createConnectionList(const CoreSettings& settings, const ConnectionCallbacks* callbacks);
// Removes every remaining client ("server shutdown"), waits until every
// detached watchdog has ended, so none outlives the list, and frees the
// module. Call after the services are stopped.
void destroyConnectionList();
// The module is made (between createConnectionList and destroyConnectionList).
bool connectionListExists();

// Ids of the clients in list order, at most capacity; returns how many.
size_t copyConnectionIds(uint16_t* ids, size_t capacity);
size_t connectionCount();
// The most clients served at once; addClientConnection refuses more.
uint32_t connectionLimit();
// Frame bytes waiting in the client's transmit queue (0 when none or no
// such client).
uint64_t connectionQueuedBytes(uint16_t connectionId);

// Next 16-bit id, also the source of binding ids: never 0 and never one
// that a current client or a binding holds. 0 only when every id is held.
uint16_t nextConnectionId();

// Takes over connection when it returns true; on false the caller closes,
// destroys and frees it. Refused at once while connectionLimit() clients
// (those being removed included) hold their threads and descriptors; the
// first refusal of a run is logged, the run's count when it ends.
bool addClientConnection(NetworkConnection* connection, const sockaddr* remoteAddress);

// Removes one client. When another thread is already removing it, returns
// false at once. Returns true when this call removed it.
bool removeClientConnection(uint16_t connectionId, const char* reason);
// Removes every client (shutdown), waiting for removals other threads have
// started.
void removeAllClientConnections(const char* reason);

// Take ownership of message. Dropped (freed) when the client is gone, is
// being removed or can no longer be sent to. While nothing is queued for
// the client and no other thread writes its link, a frame of up to 128 KiB
// is written at once by the calling thread, without waiting (what the link
// does not take at once its transmit thread finishes); otherwise it is
// queued for the transmit thread. So a reply on an idle link costs no
// thread switch, and no sender ever blocks on a peer that does not read.
// A client whose queue would pass kTransmitQueueLimit is dropped: its queue
// is freed and its link closed.
void sendToConnection(uint16_t connectionId, MessageHeader* message);
void broadcastMessage(MessageHeader* message);

// One-field copies; zeros / empty text when the client is not there. Each
// returns whether the client was found.
bool getConnectionRemoteAddress(uint16_t connectionId, sockaddr_storage* out);
bool getConnectionClientText(uint16_t connectionId, char out[64]);
bool getConnectionClientDetail(uint16_t connectionId, char out[64]);
bool getConnectionUuid(uint16_t connectionId, uint8_t out[16]);
bool getConnectionInterfaceName(uint16_t connectionId, char out[256]);
bool setConnectionClientText(uint16_t connectionId, const char* text);
bool setConnectionClientDetail(uint16_t connectionId, const char* text);
bool connectionExists(uint16_t connectionId);
// The client is there and no removal of it has begun: its removal releases
// its bindings only after claiming it, so a binding committed while this
// holds (and under the same lock as that release) is always released.
bool connectionAcceptsBinds(uint16_t connectionId);
// Id of the client with this uuid, 0 when none.
uint16_t findConnectionByUuid(const uint8_t uuid[16]);
// A current client has exactly this (128-byte, zero-padded) remote address.
bool isRemoteAddressConnected(const sockaddr* address);

void refreshReceiveTime(uint16_t connectionId);
void refreshReceiveTimeIfPending(uint16_t connectionId);

// Replaces the client's password entry for the device (or appends one).
void storeDevicePassword(uint16_t connectionId, uint32_t deviceAddress, const char* password, size_t length);
// Takes the entry out (a password serves one bind). False when none.
bool takeDevicePassword(uint16_t connectionId, uint32_t deviceAddress, char out[128]);

// Reads exactly length bytes from the client's link. Returns length on
// success; 0 when the peer closed or the client stops before every byte
// arrived; the link read's negative errno otherwise.
int readConnectionExact(uint16_t connectionId, void* buffer, size_t length);

