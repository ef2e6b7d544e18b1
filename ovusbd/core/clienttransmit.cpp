// Sending to clients: the transmit queue of each client, the transmit
// thread that encodes each queued message and writes it to the link, and
// the ping thread that keeps an idle link alive.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "ovusbd/core/config.h"
#include "ovusbd/core/connectionmodule.h"
#include "ovusbd/core/framing.h"
#include "ovusbd/core/log.h"

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

void* connectionTransmitThread(void* argument) {
    const uint16_t id = *static_cast<uint16_t*>(argument);
    free(argument);
    FrameEncoder encoder;
    initFrameEncoder(&encoder, uint32_t(getConfigInt("CompressionLimit", int(kDefaultCompressionLimit))));
    const bool trace = connectionModule->traceMessages;
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

void* connectionPingThread(void* argument) {
    const uint16_t id = *static_cast<uint16_t*>(argument);
    free(argument);
    int interval = getConfigInt("PingInterval", 4);
    // Below 1 would ping without pause (0) or never (negative).
    if (interval < 1) {
        interval = 1;
    }
    // Pings go by the clock: ticks also end early (every removal wakes
    // them), so counting them would ping other clients far too often.
    timespec next = monotonicNow();
    next.tv_sec += interval;
    while (!clientState(id).stopping) {
        const timespec now = monotonicNow();
        if (now.tv_sec > next.tv_sec || (now.tv_sec == next.tv_sec && now.tv_nsec >= next.tv_nsec)) {
            MessageHeader* ping = newMessage({.type = kMsgPing, .payloadLength = 4});
            if (ping != nullptr) {
                const uint32_t wall = uint32_t(time(nullptr));
                memcpy(messagePayload(ping), &wall, 4);
                if (!queueOnConnection(id, ping)) {
                    freeMessage(ping);
                }
            }
            next = now;
            next.tv_sec += interval;
        } else {
            waitOneTick();
        }
    }
    return nullptr;
}
