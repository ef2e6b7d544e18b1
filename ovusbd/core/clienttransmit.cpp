// Sending to clients: a message written at once by the thread that built it
// when its link is idle, else the transmit queue of each client (bounded in
// bytes) and the transmit thread that encodes each queued message and
// writes it to the link; the ping thread that keeps an idle link alive.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "ovusbd/core/config.h"
#include "ovusbd/core/connectionmodule.h"
#include "ovusbd/core/framing.h"
#include "ovusbd/core/log.h"

namespace {

// Larger frames go through the transmit thread even on an idle link: it
// compresses and writes one while the receive thread reads the next, and
// the thread that built the frame (a device's reaper) goes back to its work.
constexpr uint64_t kDirectFrameLimit = 128u << 10;

// A compression buffer grown past this for one large frame is given back
// after it, so a link that once sent a 9 MiB frame does not keep 9 MiB.
constexpr size_t kKeptEncoderBytes = (2u << 20) + kFramePrefixSize;

// Queue item that only wakes the transmit thread to finish a partial frame.
uint8_t resumeMarker;
void* const kResumeItem = &resumeMarker;

uint64_t frameBytes(const MessageHeader* message) {
    return uint64_t(kFramePrefixSize) + kMessageHeaderSize + message->payloadLength;
}

void freeQueuedItem(void* item, void* bytes) {
    auto* message = static_cast<MessageHeader*>(item);
    *static_cast<uint64_t*>(bytes) += frameBytes(message);
    freeMessage(message);
}

bool isMessage(void* item, const void*) {
    return item != nullptr && item != kResumeItem;
}

// Fills the message's prefix and picks the frame (encodeFrame); the
// caller holds client->writeLock. Returns 1 to write it, 0 to skip it (no
// memory to compress it; logged) or FRAME_TOO_BIG (logged; nothing more may
// be sent).
int encodeLocked(uint16_t id, ConnectedClient* client, MessageHeader* message, const uint8_t** frame, size_t* length) {
    const int rc = encodeFrame(&client->encoder, message, frame, length);
    if (rc == FRAME_TOO_BIG) {
        logMessage(3, "Error processing message (type %u). It is too big (%u bytes) to transmit", message->type,
                   uint32_t(kMessageHeaderSize + uint64_t(message->payloadLength) > 0xffffffffu
                                ? 0xffffffffu
                                : kMessageHeaderSize + message->payloadLength));
        return FRAME_TOO_BIG;
    }
    if (rc != 0) {
        logMessage(3, "Error %d encoding message (type %u) for connection %u", rc, message->type, id);
        return 0;
    }
    if (connectionModule->traceMessages) {
        logMessage(7, "tx:t=%d,a=%u,s=%u", message->type, message->deviceAddress, message->payloadLength);
    }
    return 1;
}

// Not while a partial frame may still lie in the buffer.
void keepEncoderSmall(ConnectedClient* client) {
    if (client->encoder.size > kKeptEncoderBytes && client->partialMessage == nullptr) {
        releaseFrameEncoder(&client->encoder);
    }
}

// Writes frame[written, length) with as many blocking writes as it takes.
// Returns 1, or the failed write's result: 0 when the peer closed, a
// negative errno (-EAGAIN: the send timed out on a peer that stopped
// reading).
int writeRest(NetworkConnection* link, const uint8_t* frame, size_t written, size_t length) {
    while (written < length) {
        const int result = link->write(link, frame + written, length - written);
        if (result <= 0) {
            return result;
        }
        written += size_t(result);
    }
    return 1;
}

// The caller holds writeLock. A frame begun by a direct write is finished
// (or, once sending has ended, dropped) before anything else goes out.
// Returns 1 or the failed write's result.
int finishPartialLocked(ConnectedClient* client, bool sending) {
    MessageHeader* message = client->partialMessage;
    if (message == nullptr) {
        return 1;
    }
    const int outcome = sending ? writeRest(client->link, client->partialFrame, client->partialWritten,
                                            client->partialLength)
                                : 1;
    client->partialMessage = nullptr;
    __atomic_sub_fetch(&client->queuedBytes, frameBytes(message), __ATOMIC_ACQ_REL);
    freeMessage(message);
    keepEncoderSmall(client);
    return outcome;
}

// Sending on the link has ended after outcome (a failed write, or
// FRAME_TOO_BIG): the reason is logged unless the client is being removed
// or its receive thread has already ended (one disconnection, one line);
// later sends are dropped; unless the client is being removed its link is
// shut down, which ends its receive thread, and the watchdog removes it.
// Called without writeLock by a thread for which the record stays (one of
// the client's own, or one that pinned it).
void endSending(uint16_t id, ConnectedClient* client, int outcome) {
    bool stopping = true, receiveEnded = false;
    withClient(id, [&](ConnectedClient* c) {
        stopping = c->stopFlag != 0;
        receiveEnded = c->receiveEnded != 0;
        __atomic_store_n(&c->sendingEnded, 1, __ATOMIC_RELEASE);
        c->transmitEnded = 1;
    });
    if (stopping) {
        return;
    }
    if (!receiveEnded) {
        if (outcome == 0) {
            logMessage(6, "Connection %d remotely disconnected gracefully (tx)", id);
        } else if (outcome == -EAGAIN || outcome == -EWOULDBLOCK) {
            logMessage(6, "Connection %d stopped reading, send timed out", id);
        }
    }
    client->link->close(client->link);
}

// The queue of id passed kTransmitQueueLimit (its sends are already being
// dropped): free what it holds now and shut the link down; the watchdog
// removes the client once its receive thread has ended.
void dropOverflowingClient(uint16_t id) {
    ConnectedClient* c = pinClient(id);
    if (c == nullptr) {
        return;
    }
    logMessage(4, "Connection %u transmit queue over %u bytes, client is not reading, dropping it", id,
               uint32_t(kTransmitQueueLimit));
    __atomic_sub_fetch(&c->queuedBytes, freeQueuedMessages(c->transmitQueue), __ATOMIC_ACQ_REL);
    withClient(id, [](ConnectedClient* client) { client->transmitEnded = 1; });
    c->link->close(c->link);
    unpinClient(c);
}

// Writes message at once, from whatever thread built it, when nothing is
// queued or being written (so it overtakes nothing) and the link takes the
// frame without waiting. What the link does not take at once is finished
// by the transmit thread, so no thread but that one ever waits on a peer.
// True when the message was taken (written, handed on or dropped); false
// leaves it to the queue.
bool writeWithoutWaiting(uint16_t id, MessageHeader* message) {
    if (frameBytes(message) > kDirectFrameLimit) {
        return false;
    }
    ConnectedClient* client = nullptr;
    bool drop = false;
    withClient(id, [&](ConnectedClient* c) {
        if (c->stopFlag != 0 || __atomic_load_n(&c->sendingEnded, __ATOMIC_ACQUIRE) != 0) {
            drop = true;
        } else if (c->link->writeNow != nullptr && __atomic_load_n(&c->queuedBytes, __ATOMIC_ACQUIRE) == 0 &&
                   pthread_mutex_trylock(&c->writeLock) == 0) {
            // Queueing counts under this stripe lock, so nothing is queued
            // before the write ownership is held. The pin keeps the record
            // while this thread uses it.
            c->users++;
            client = c;
        }
    });
    if (drop) {
        freeMessage(message);
        return true;
    }
    if (client == nullptr) {
        return false;
    }
    const uint8_t* frame = nullptr;
    size_t length = 0;
    bool taken = true;
    int failure = 1;  // 0 or less: sending ends with this outcome
    const int encoded = encodeLocked(id, client, message, &frame, &length);
    if (encoded == FRAME_TOO_BIG) {
        failure = FRAME_TOO_BIG;
    } else if (encoded == 1) {
        NetworkConnection* link = client->link;
        const int written = link->writeNow(link, frame, length);
        if (written == -EAGAIN) {
            taken = false;
        } else if (written <= 0) {
            failure = written;
        } else if (size_t(written) < length) {
            client->partialMessage = message;
            client->partialFrame = frame;
            client->partialWritten = size_t(written);
            client->partialLength = length;
            message = nullptr;
            __atomic_add_fetch(&client->queuedBytes, frameBytes(client->partialMessage), __ATOMIC_ACQ_REL);
            if (appendToLockedList(client->transmitQueue, kResumeItem) != 0) {
                failure = finishPartialLocked(client, true);
            }
        }
    }
    keepEncoderSmall(client);
    pthread_mutex_unlock(&client->writeLock);
    if (taken) {
        freeMessage(message);
    }
    if (failure <= 0) {
        endSending(id, client, failure);
    }
    unpinClient(client);
    return taken;
}

} // namespace

uint64_t freeQueuedMessages(LockedList* queue) {
    uint64_t bytes = 0;
    removeFromLockedList(queue, isMessage, freeQueuedItem, nullptr, &bytes);
    return bytes;
}

void freeTransmitQueue(LockedList* queue) {
    freeQueuedMessages(queue);
    clearLockedList(queue, nullptr);
    destroyLockedList(queue);
}

// Counts and appends under the stripe lock of the client (then the queue's
// lock), so the count, the queue and the direct path of writeWithoutWaiting
// agree. Removal frees the queue only after the record has left the index.
bool queueOnConnection(uint16_t id, MessageHeader* message) {
    const uint64_t bytes = frameBytes(message);
    bool queued = false, overflow = false;
    withClient(id, [&](ConnectedClient* c) {
        if (c->stopFlag != 0 || __atomic_load_n(&c->sendingEnded, __ATOMIC_ACQUIRE) != 0) {
            return;
        }
        const uint64_t before = __atomic_fetch_add(&c->queuedBytes, bytes, __ATOMIC_ACQ_REL);
        if (before + bytes > kTransmitQueueLimit) {
            __atomic_sub_fetch(&c->queuedBytes, bytes, __ATOMIC_ACQ_REL);
            __atomic_store_n(&c->sendingEnded, 1, __ATOMIC_RELEASE);
            overflow = true;
            return;
        }
        queued = appendToLockedList(c->transmitQueue, message) == 0;
        if (!queued) {
            __atomic_sub_fetch(&c->queuedBytes, bytes, __ATOMIC_ACQ_REL);
        }
    });
    if (overflow) {
        dropOverflowingClient(id);
    }
    return queued;
}

void sendToConnection(uint16_t connectionId, MessageHeader* message) {
    if (message == nullptr || writeWithoutWaiting(connectionId, message)) {
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
    ConnectedClient* client = nullptr;
    withClient(id, [&](ConnectedClient* c) {
        if (c->stopFlag == 0) {
            client = c;
        }
    });
    // The record stays valid until this thread is joined by the remover.
    // After sending ended the queue is still drained (each message freed)
    // until removal's null item; nothing new is queued meanwhile.
    bool ended = false;
    while (client != nullptr) {
        void* item = takeFromLockedList(client->transmitQueue);
        if (item == nullptr) {
            break;
        }
        auto* message = item != kResumeItem ? static_cast<MessageHeader*>(item) : nullptr;
        pthread_mutex_lock(&client->writeLock);
        const bool sending = !ended && __atomic_load_n(&client->sendingEnded, __ATOMIC_ACQUIRE) == 0;
        int outcome = finishPartialLocked(client, sending);
        if (message != nullptr) {
            const uint8_t* frame = nullptr;
            size_t length = 0;
            if (sending && outcome > 0) {
                outcome = encodeLocked(id, client, message, &frame, &length);
                if (outcome == 1) {
                    outcome = writeRest(client->link, frame, 0, length);
                } else if (outcome == 0) {
                    outcome = 1;  // skipped
                }
                keepEncoderSmall(client);
            }
            __atomic_sub_fetch(&client->queuedBytes, frameBytes(message), __ATOMIC_ACQ_REL);
        }
        pthread_mutex_unlock(&client->writeLock);
        freeMessage(message);
        if (sending && outcome <= 0) {
            ended = true;
            endSending(id, client, outcome);
        }
    }
    withClient(id, [&](ConnectedClient* c) { c->transmitEnded = 1; });
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
