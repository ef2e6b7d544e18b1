#include "ovusbd/core/handlers.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ovusbd/core/bindqueue.h"
#include "ovusbd/core/connection.h"
#include "ovusbd/core/log.h"
#include "ovusbd/core/servermessages.h"
#include "ovusbd/core/startlists.h"
#include "ovusbd/core/trovixswitch.h"
#include "ovusbd/usb/announce.h"
#include "ovusbd/usb/devicerecord.h"

MessageHandlerEntry messageHandlers[256];

namespace {

struct TableRow {
    uint8_t type;
    MessageHandler handler;
    uint32_t minimumPayload;
    bool hasReply;
    uint8_t replyType;
    uint32_t replyPayload;
    uint32_t statusOffset;
};

// Every type a client may send. Rows without a handler belong to modules
// not built yet: their type is still logged as unknown, and their minimum
// and reply are ready for when the handler lands. Minimums are the bytes of
// the fixed-offset fields the handler reads; a request below it is answered
// with -22 in its reply's status word, or dropped when it has no reply.
const TableRow kTable[] = {
    {0, handleServerInfoRequest, 0, false, 0, 0, 0},
    {2, answerType2WithEmptyReply, 0, false, 0, 0, 0},
    {9, handleDeviceListRequest, 0, false, 0, 0, 0},
    {10, answerType10WithEmptyReply, 0, false, 0, 0, 0},
    {13, nullptr, 16, true, 14, 16, 8},     // control transfer: setup packet at 8
    {15, handleClientKeepAlive, 0, false, 0, 0, 0},
    {18, nullptr, 13, true, 19, 4, 0},      // bulk/interrupt: length at 9
    {20, nullptr, 0, true, 21, 6, 0},
    {22, nullptr, 0, true, 23, 4, 0},
    {25, handleBindDeviceRequest, 0, false, 0, 0, 0},
    {26, nullptr, 4, true, 27, 4, 0},
    {28, nullptr, 4, true, 29, 4, 0},
    {30, nullptr, 4, true, 31, 4, 0},
    {33, answerType33WithZeroReply, 0, false, 0, 0, 0},
    {35, handleUnbindDeviceRequest, 0, false, 0, 0, 0},
    {36, nullptr, 17, true, 37, 12, 0},     // isochronous: packet count at 13
    {40, nullptr, 0, false, 0, 0, 0},
    {42, nullptr, 72, false, 0, 0, 0},      // nickname: char[64] at 8
    {45, handleForwardToConnection, 16, false, 0, 0, 0},
    {47, nullptr, 0, false, 0, 0, 0},
    {48, nullptr, 1, true, 49, 4, 0},
    {50, nullptr, 4, true, 32, 4, 0},
    {51, nullptr, 18, true, 23, 4, 0},      // 16 alternate settings at 2
    {59, nullptr, 8, true, 60, 4, 0},
    {61, nullptr, 5, false, 0, 0, 0},
    {62, nullptr, 0, false, 0, 0, 0},
    {63, nullptr, 0, false, 0, 0, 0},
    {64, nullptr, 0, false, 0, 0, 0},
    {66, handleDevicePasswordRequest, 0, false, 0, 0, 0},
    {68, ignoreMessage, 0, false, 0, 0, 0},
    {70, nullptr, 8, true, 71, 4, 0},
    {72, nullptr, 8, true, 73, 4, 0},
    {74, nullptr, 13, true, 19, 4, 0},
    {75, handleTrovixSwitchRequest, 1, false, 0, 0, 0},
    {77, nullptr, 17, true, 76, 12, 0},
    {78, nullptr, 0, false, 0, 0, 0},
    {80, nullptr, 0, false, 0, 0, 0},
};

void refuseShortRequest(uint16_t connectionId, const MessageHeader* request, const MessageHandlerEntry& entry) {
    if (!entry.hasReply) {
        logMessage(4, "Warning, dropping message of type %d from connection %u: payload of %u bytes, at least %u needed",
                   request->type, connectionId, request->payloadLength, entry.minimumPayload);
        return;
    }
    MessageHeader* reply = allocReply(request, entry.replyType, entry.replyPayload);
    if (reply == nullptr) {
        return;
    }
    // Request bytes that precede the status (the setup packet of a control
    // transfer) are echoed as far as they arrived.
    const uint32_t echo = request->payloadLength < entry.statusOffset ? request->payloadLength : entry.statusOffset;
    memcpy(messagePayload(reply), messagePayload(request), echo);
    const int32_t status = -22;
    memcpy(messagePayload(reply) + entry.statusOffset, &status, 4);
    sendToConnection(connectionId, reply);
}

} // namespace

void fillMessageHandlerTable() {
    memset(messageHandlers, 0, sizeof messageHandlers);
    for (const TableRow& row : kTable) {
        messageHandlers[row.type] = {row.handler, row.minimumPayload, row.hasReply, row.replyType, row.replyPayload,
                                     row.statusOffset};
    }
}

void dispatchMessage(uint16_t connectionId, const MessageHeader* body) {
    const MessageHandlerEntry& entry = messageHandlers[body->type];
    if (entry.handler == nullptr) {
        logMessage(4, "Warning, this server has received an unknown message of type %d", body->type);
        return;
    }
    if (body->payloadLength < entry.minimumPayload) {
        refuseShortRequest(connectionId, body, entry);
        return;
    }
    entry.handler(connectionId, body);
}

void handleServerInfoRequest(uint16_t connectionId, const MessageHeader* request) {
    const uint8_t* payload = messagePayload(request);
    if (request->payloadLength >= 64) {
        char text[64] = {};
        memcpy(text, payload, 63);
        struct Lookup {
            const char* text;
            char replacement[64];
            bool found;
        } lookup{text, {}, false};
        if (clientIdMap != nullptr) {
            forEachInLockedList(
                clientIdMap,
                [](void* item, const void* key) {
                    return strcmp(static_cast<ClientIdPair*>(item)->clientText, static_cast<const Lookup*>(key)->text) == 0;
                },
                [](void* item, void* out) {
                    auto* l = static_cast<Lookup*>(out);
                    memcpy(l->replacement, static_cast<ClientIdPair*>(item)->replacement, 64);
                    l->replacement[63] = 0;
                    l->found = true;
                },
                &lookup, &lookup, 1);
        }
        setConnectionClientText(connectionId, lookup.found ? lookup.replacement : text);
    }
    if (request->payloadLength >= 128) {
        char detail[64] = {};
        memcpy(detail, payload + 64, 63);
        setConnectionClientDetail(connectionId, detail);
    }
    sendToConnection(connectionId, buildHelloReply(connectionId, request));
}

void answerType2WithEmptyReply(uint16_t connectionId, const MessageHeader* request) {
    sendToConnection(connectionId, allocReply(request, 17, 0));
}

void answerType10WithEmptyReply(uint16_t connectionId, const MessageHeader*) {
    sendToConnection(connectionId, allocMessage(0, 11, 0, 0, 0, 0, 0, 0, 0, 0));
}

void answerType33WithZeroReply(uint16_t connectionId, const MessageHeader* request) {
    sendToConnection(connectionId, allocReply(request, 34, 12));
}

void handleDeviceListRequest(uint16_t connectionId, const MessageHeader* request) {
    // Copy the addresses first: announcing walks the device list again per
    // device, and no list lock may be held across a send.
    size_t capacity = 64;
    for (;;) {
        auto* addresses = static_cast<uint32_t*>(calloc(capacity, sizeof(uint32_t)));
        if (addresses == nullptr) {
            return;
        }
        const size_t count = copyDeviceAddresses(addresses, capacity);
        if (count == capacity && capacity < 65536) {
            free(addresses);
            capacity *= 2;
            continue;
        }
        for (size_t i = 0; i < count; i++) {
            announceDevice(addresses[i], connectionId, request);
        }
        free(addresses);
        return;
    }
}

void handleClientKeepAlive(uint16_t connectionId, const MessageHeader*) {
    refreshReceiveTime(connectionId);
}

void handleBindDeviceRequest(uint16_t connectionId, const MessageHeader* request) {
    queueBindRequest(connectionId, request->deviceAddress, true);
}

void handleUnbindDeviceRequest(uint16_t connectionId, const MessageHeader* request) {
    queueBindRequest(connectionId, request->deviceAddress, false);
}

void handleForwardToConnection(uint16_t, const MessageHeader* request) {
    const uint16_t target = findConnectionByUuid(messagePayload(request));
    if (target != 0) {
        sendToConnection(target, cloneMessage(request));
    }
}

void handleDevicePasswordRequest(uint16_t connectionId, const MessageHeader* request) {
    if (request->payloadLength > 127) {
        char address[16];
        snprintf(address, sizeof address, "%u", request->deviceAddress);
        logMessage(3, "Password for device %s is too long, max %d chars", address, 127);
    } else {
        storeDevicePassword(connectionId, request->deviceAddress, reinterpret_cast<const char*>(messagePayload(request)),
                            strnlen(reinterpret_cast<const char*>(messagePayload(request)), request->payloadLength));
    }
    sendToConnection(connectionId, allocMessage(0, 67, 0, 0, 0, 0, request->deviceAddress, 0, 0, 0));
}

void ignoreMessage(uint16_t, const MessageHeader*) {}
