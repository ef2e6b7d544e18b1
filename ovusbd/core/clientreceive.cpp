// The receive thread of a client: reads one frame at a time from the link,
// decodes it and hands the message to the protocol layer (the handler
// table), until the link ends, a frame is malformed or the client stops.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "ovusbd/core/connectionmodule.h"
#include "ovusbd/core/framing.h"
#include "ovusbd/core/log.h"

namespace {

bool clientStoppingOrGone(uint16_t id) {
    bool stopping = true;
    withClient(id, [&](ConnectedClient* c) { stopping = c->stopFlag != 0; });
    return stopping;
}

// Logs why a read ended, unless the other direction or a removal already did.
void reportReadEnd(uint16_t id, int result, const char* what) {
    ClientState s = clientState(id);
    if (!s.found || s.stopping || s.transmitEnded) {
        return;
    }
    if (result == 0 && strcmp(what, "rx msg size") == 0) {
        logMessage(6, "Connection %d remotely disconnected gracefully (%s)", id, what);
    } else if (result == -ECONNRESET) {
        logMessage(6, "Connection %d remotely disconnected abruptly (%s)", id, what);
    } else if (result == -ENODATA) {
        // A TLS link whose stream ended inside a record: not a graceful
        // close, and possibly a truncation by someone on the path.
        logMessage(4, "Warning, connection %d remotely disconnected inside a TLS record, the record truncated (%s)",
                   id, what);
    }
}

bool stopCheck(const void* id) {
    return clientStoppingOrGone(*static_cast<const uint16_t*>(id));
}

} // namespace

// The loop of readConnectionExact with the link already in hand. A read that
// delivers everything asked for (the usual case: the link reads with
// MSG_WAITALL) takes no lock. Only a read that came back short, or asked to
// be retried, looks at the stop flag: removal shuts the link down, which
// ends every blocked read.
int readLinkExact(uint16_t connectionId, NetworkConnection* link, void* buffer, size_t length) {
    size_t total = 0;
    while (total < length) {
        const int got = link->read(link, static_cast<uint8_t*>(buffer) + total, length - total);
        if (got > 0) {
            total += size_t(got);
            if (total == length) {
                break;
            }
        } else if (got != -EAGAIN) {
            return got;
        }
        if (clientStoppingOrGone(connectionId)) {
            // Bytes that arrived are of no use without the rest.
            return got < 0 ? got : 0;
        }
    }
    return int(length);
}

void* connectionReceiveThread(void* argument) {
    const uint16_t id = *static_cast<uint16_t*>(argument);
    free(argument);
    const bool trace = connectionModule->traceMessages;
    FrameDecoder decoder{};
    // Handlers may take a large body over instead of copying it.
    setDispatchingDecoder(&decoder);
    // The link stays valid until the remover has joined this thread.
    NetworkConnection* link = nullptr;
    bool stopping = true;
    withClient(id, [&](ConnectedClient* c) {
        stopping = c->stopFlag != 0;
        link = c->link;
    });
    while (!stopping) {
        uint8_t prefix[kFramePrefixSize];
        int rc = readLinkExact(id, link, prefix, sizeof prefix);
        if (rc <= 0) {
            reportReadEnd(id, rc, "rx msg size");
            break;
        }
        FrameSizes sizes;
        rc = parseFramePrefix(prefix, sizeof prefix, &sizes);
        if (rc == FRAME_TOO_BIG) {
            logMessage(3, "Error received message is too big (comp=%u, uncomp=%u)", sizes.compressedLength,
                       sizes.bodyLength);
            break;
        }
        if (rc != 0) {
            logMessage(3, "Error received message is malformed (comp=%u, uncomp=%u), %s", sizes.compressedLength,
                       sizes.bodyLength, frameErrorText(rc));
            break;
        }
        // A large frame may wait here for the frame budget; its bytes stay
        // in the socket meanwhile.
        rc = beginFrame(&decoder, &sizes, {stopCheck, &id});
        if (rc == -ECANCELED) {
            break;
        }
        if (rc != 0) {
            logMessage(3, "Error allocating %u bytes for a message of connection %u", sizes.frameBytes, id);
            break;
        }
        const bool compressed = sizes.compressedLength != 0;
        rc = readLinkExact(id, link, frameDecoderFrame(&decoder), sizes.frameBytes);
        if (rc <= 0) {
            reportReadEnd(id, rc, "rx msg data");
            break;
        }
        const MessageHeader* body = nullptr;
        rc = decodeFrameBody(&sizes, frameDecoderFrame(&decoder), sizes.frameBytes,
                             compressed ? frameDecoderInflate(&decoder) : nullptr, compressed ? sizes.bodyLength : 0,
                             &body);
        if (rc == FRAME_BAD_COMPRESSION) {
            logMessage(3, "Error decompressing message");
            break;
        }
        if (rc != 0) {
            logMessage(3, "Error received message is malformed (comp=%u, uncomp=%u), %s", sizes.compressedLength,
                       sizes.bodyLength, frameErrorText(rc));
            break;
        }
        // One walk per message: the pending refresh of the receive time, and
        // whether the client is being removed (then the message is dropped).
        withClient(id, [&](ConnectedClient* c) {
            stopping = c->stopFlag != 0;
            if (c->refreshPending) {
                c->lastReceive = monotonicNow();
                c->refreshPending = 0;
            }
        });
        if (stopping) {
            break;
        }
        if (trace) {
            logMessage(7, "rx:t=%d,a=%u,s=%u", body->type, body->deviceAddress, body->payloadLength);
        }
        // The network server installs dispatchMessage (handlers.cpp) here.
        if (connectionModule->callbacks.messageReceived != nullptr) {
            connectionModule->callbacks.messageReceived(id, body);
        }
        endFrame(&decoder);
    }
    withClient(id, [&](ConnectedClient* c) { c->receiveEnded = 1; });
    setDispatchingDecoder(nullptr);
    releaseFrameDecoder(&decoder);
    return nullptr;
}
