// The bind queue: bind and unbind requests of every client, carried out one
// at a time on bindUnbindProcessingThread so that two binds of one device can
// never both succeed.
#pragma once

#include <pthread.h>
#include <stdint.h>

// One queue item (bindQueue of start-up); a null item stops the thread.
struct BindRequest {
    uint32_t connectionId;
    uint32_t deviceAddress;
    uint32_t bindFlag;  // 1 bind, 0 unbind
};

#include "ovusbd/core/lockedlist.h"

// Queue of BindRequest items between the receive threads and the bind thread.
extern LockedList* bindQueue;

// Appends a request. Returns 0, -EAGAIN when the client already has its
// share (bindRequestsPerClient of CoreSettings) queued, or -ENOMEM; on failure nothing is queued and the caller
// answers the client.
int queueBindRequest(uint16_t connectionId, uint32_t deviceAddress, bool bind);

// The client's requests queued or being carried out.
unsigned pendingBindRequests(uint16_t connectionId);

// Makes bindQueue and starts its consumer. Returns 0 or a negative errno
// (then nothing is left made).
int startBindQueue();
// Appends the stop item, joins the thread and frees the queue with what is
// left in it. Stop it before the device layer, so that no bind runs against
// a device layer that is going away.
void stopBindQueue();

void* bindUnbindProcessingThread(void* argument);
