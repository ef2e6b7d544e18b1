#include "ovusbd/core/handlers.h"

#include "ovusbd/core/devicerequests.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ovusbd/core/adminmessages.h"
#include "ovusbd/core/bindqueue.h"
#include "ovusbd/core/connection.h"
#include "ovusbd/core/connectionlog.h"
#include "ovusbd/core/coresettings.h"
#include "ovusbd/core/devicebinding.h"
#include "ovusbd/core/deviceannounce.h"
#include "ovusbd/core/devicescripts.h"
#include "ovusbd/core/eventscripts.h"
#include "ovusbd/core/framing.h"
#include "ovusbd/core/hubrequests.h"
#include "ovusbd/core/nicknames.h"
#include "ovusbd/core/servermessages.h"
#include "ovusbd/core/trovixswitch.h"
#include "ovusbd/usb/devicerecord.h"

MessageHandlerEntry messageHandlers[256];

namespace {

// The reply a refused request gets (below its type's minimum, or for a
// device the asker does not hold); none when hasReply is false (the request
// is dropped).
struct RefusalReply {
    bool hasReply;
    MessageType type;
    uint32_t payload;
    uint32_t statusOffset;
    uint32_t echoFrom = 0;
};

struct TableRow {
    MessageType type;
    MessageHandler handler;
    uint32_t minimumPayload = 0;
    RefusalReply refusal = {false, kMsgHello, 0, 0};
    bool heldDeviceOnly = false;
};

// A request to the device named in its header, served only for a device
// bound to the asking connection.
constexpr bool kHeld = true;

// Every type a client may send. A row without a handler is logged as an
// unknown type; its minimum and reply stay with the row so the table says
// the whole protocol in one place. Minimums are the bytes of
// the fixed-offset fields the handler reads; a request below it is answered
// with -22 in its reply's status word, or dropped when it has no reply.
// A device request for a device that is not bound to the asker gets -19,
// the answer for a device that is not there.
const TableRow kTable[] = {
    {kMsgHello, handleServerInfoRequest},
    {kMsgType2Request, answerType2WithEmptyReply},
    {kMsgDeviceListRequest, handleDeviceListRequest},
    {kMsgType10Request, answerType10WithEmptyReply},
    {kMsgControlTransfer, handleControlTransferRequest, 16, {true, kMsgControlTransferReply, 16, 8, 8}, kHeld},  // setup packet at 8
    {kMsgKeepAlive, handleClientKeepAlive},
    {kMsgBulkInterruptTransfer, handleBulkInterruptTransferRequest, 13, {true, kMsgBulkInterruptTransferReply, 4, 0}, kHeld},  // length at 9
    {kMsgPortStatus, handlePortStatusRequest, 0, {true, kMsgPortStatusReply, 6, 0}, kHeld},
    {kMsgDeviceReset, handleDeviceResetRequest, 0, {true, kMsgDeviceResetReply, 4, 0}, kHeld},
    {kMsgBindDevice, handleBindDeviceRequest},
    {kMsgClearHalt, handleClearHaltRequest, 4, {true, kMsgClearHaltReply, 4, 0}, kHeld},
    {kMsgResetEndpoint, handleResetEndpointRequest, 4, {true, kMsgResetEndpointReply, 4, 0}, kHeld},
    {kMsgAbortEndpoint, handleAbortEndpointRequest, 4, {true, kMsgAbortEndpointReply, 4, 0}, kHeld},
    {kMsgType33Request, answerType33WithZeroReply},
    {kMsgUnbindDevice, handleUnbindDeviceRequest},
    {kMsgIsoTransfer, handleIsoTransferRequest, 17, {true, kMsgIsoTransferReply, 12, 0}, kHeld},  // packet count at 13
    {kMsgServerRename, handleServerRenameRequest, 1},
    {kMsgDeviceNickname, handleDeviceNicknameRequest, 72},  // char[64] at 8
    {kMsgForward, handleForwardToConnection, 16},
    {kMsgCustomEvent, handleCustomEventRequest, 2},  // "k="
    {kMsgPortPower, handlePortPowerRequest, 1, {true, kMsgPortPowerReply, 4, 0}, kHeld},
    {kMsgAbortResetClearHalt, handleAbortResetClearHaltRequest, 4, {true, kMsgAbortResetClearHaltReply, 4, 0}, kHeld},
    {kMsgResetAndConfigure, handleResetAndConfigureRequest, 18, {true, kMsgDeviceResetReply, 4, 0}, kHeld},  // 16 alternate settings at 2
    {kMsgHubClassRequest, handleHubClassRequest, 8, {true, kMsgHubClassReply, 4, 0}, kHeld},
    {kMsgDeviceIgnore, handleDeviceIgnoreRequest, 5},  // serial flag at 4
    {kMsgAddReverseClient, handleAddReverseClientRequest, 1},
    {kMsgRemoveReverseClient, handleRemoveReverseClientRequest, 1},
    {kMsgListReverseClients, handleListReverseClientsRequest},
    {kMsgDevicePassword, handleDevicePasswordRequest},
    {kMsgIgnored, ignoreMessage},
    {kMsgAllocStreams, handleAllocStreamsRequest, 8, {true, kMsgAllocStreamsReply, 4, 0}, kHeld},
    {kMsgFreeStreams, handleFreeStreamsRequest, 8, {true, kMsgFreeStreamsReply, 4, 0}, kHeld},
    {kMsgBulkStreamTransfer, handleBulkInterruptTransferRequest, 13, {true, kMsgBulkInterruptTransferReply, 4, 0}, kHeld},
    {kMsgTrovixSwitch, handleTrovixSwitchRequest, 1},
    {kMsgIsoPackedTransfer, handlePackedIsoTransferRequest, 17, {true, kMsgIsoTransferReply, 12, 0}, kHeld},
    {kMsgGetIgnoredDevices, handleGetIgnoredDevicesRequest},
    {kMsgSetIgnoredDevices, handleSetIgnoredDevicesRequest, 3},  // "v/p"
};

// Answers a request that is not carried out with its reply type and
// `status`. The reply's bytes before the status are the request's from
// echoFrom on, as far as they arrived: a control transfer's setup packet,
// which its request carries at 8 and its reply at 0.
void refuseRequest(uint16_t connectionId, const MessageHeader* request, const MessageHandlerEntry& entry,
                   int32_t status) {
    // Transfer replies may come from a pool buffer, which is not cleared.
    MessageHeader* reply = newMessage({.type = entry.replyType,
                                       .payloadLength = entry.replyPayload,
                                       .replyTo = request,
                                       .zeroCount = uint8_t(entry.replyPayload)});
    if (reply == nullptr) {
        return;
    }
    const uint32_t arrived = request->payloadLength > entry.echoFrom ? request->payloadLength - entry.echoFrom : 0;
    const uint32_t echo = arrived < entry.statusOffset ? arrived : entry.statusOffset;
    memcpy(messagePayload(reply), messagePayload(request) + entry.echoFrom, echo);
    memcpy(messagePayload(reply) + entry.statusOffset, &status, 4);
    sendToConnection(connectionId, reply);
}

void refuseShortRequest(uint16_t connectionId, const MessageHeader* request, const MessageHandlerEntry& entry) {
    if (!entry.hasReply) {
        logConnectionMessage(connectionId, 4,
                             "Warning, dropping message of type %d from connection %u: payload of %u bytes, at least "
                             "%u needed",
                             request->type, connectionId, request->payloadLength, entry.minimumPayload);
        return;
    }
    refuseRequest(connectionId, request, entry, -EINVAL);
}

// A client reaches only the devices bound to it: one that holds none of
// them, or whose bind was refused, gets what a missing device gets.
bool connectionHoldsDevice(uint16_t connectionId, uint32_t address) {
    DeviceBinding binding;
    return findDeviceBinding(address, &binding) && binding.connectionId == connectionId;
}

} // namespace

void fillMessageHandlerTable() {
    memset(messageHandlers, 0, sizeof messageHandlers);
    for (const TableRow& row : kTable) {
        messageHandlers[row.type] = {row.handler,          row.minimumPayload,  row.refusal.hasReply,
                                     row.refusal.type,     row.refusal.payload, row.refusal.statusOffset,
                                     row.refusal.echoFrom, row.heldDeviceOnly};
    }
}

void dispatchMessage(uint16_t connectionId, const MessageHeader* body) {
    const MessageHandlerEntry& entry = messageHandlers[body->type];
    if (entry.handler == nullptr) {
        logConnectionMessage(connectionId, 4, "Warning, this server has received an unknown message of type %d",
                             body->type);
        return;
    }
    if (body->payloadLength < entry.minimumPayload) {
        refuseShortRequest(connectionId, body, entry);
        return;
    }
    if (entry.heldDeviceOnly && !connectionHoldsDevice(connectionId, body->deviceAddress)) {
        logConnectionMessage(connectionId, 4,
                             "Warning, refusing message of type %d from connection %u: device %u is not bound to it",
                             body->type, connectionId, body->deviceAddress);
        refuseRequest(connectionId, body, entry, -ENODEV);
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
    uint8_t uuid[16];
    char interfaceName[256];
    getConnectionUuid(connectionId, uuid);
    getConnectionInterfaceName(connectionId, interfaceName);
    sendToConnection(connectionId, buildHelloReply(request, uuid, interfaceName));
}

void answerType2WithEmptyReply(uint16_t connectionId, const MessageHeader* request) {
    sendToConnection(connectionId, newMessage({.type = kMsgType2Reply, .replyTo = request}));
}

void answerType10WithEmptyReply(uint16_t connectionId, const MessageHeader*) {
    sendToConnection(connectionId, newMessage({.type = kMsgType10Reply}));
}

void answerType33WithZeroReply(uint16_t connectionId, const MessageHeader* request) {
    sendToConnection(connectionId, newMessage({.type = kMsgType33Reply, .payloadLength = 12, .replyTo = request}));
}

void handleDeviceListRequest(uint16_t connectionId, const MessageHeader* request) {
    announceEveryDevice(connectionId, request);
}

void handleClientKeepAlive(uint16_t connectionId, const MessageHeader*) {
    refreshReceiveTime(connectionId);
}

// A bind that cannot be queued is still answered, so the client does not
// wait for a result that never comes.
void handleBindDeviceRequest(uint16_t connectionId, const MessageHeader* request) {
    const int rc = queueBindRequest(connectionId, request->deviceAddress, true);
    if (rc < 0) {
        refuseBind(connectionId, request->deviceAddress, rc == -EAGAIN ? kBindTryAgain : kBindError);
    }
}

// An unbind has no answer to carry a refusal: it is dropped with a line.
void handleUnbindDeviceRequest(uint16_t connectionId, const MessageHeader* request) {
    const int rc = queueBindRequest(connectionId, request->deviceAddress, false);
    if (rc == -EAGAIN) {
        logConnectionMessage(connectionId, 4,
                             "Warning, dropping unbind request for device %u: connection %u has %u requests queued",
                             request->deviceAddress, connectionId, coreSettings().bindRequestsPerClient);
    } else if (rc < 0) {
        logConnectionMessage(connectionId, 3, "Error, no memory to queue an unbind request of connection %u",
                             connectionId);
    }
}

void handleForwardToConnection(uint16_t, const MessageHeader* request) {
    const uint16_t target = findConnectionByUuid(messagePayload(request));
    if (target != 0) {
        // A large frame goes on in the buffer it arrived in, uncopied.
        sendToConnection(target, takeReceivedMessage(request));
    }
}

void handleDevicePasswordRequest(uint16_t connectionId, const MessageHeader* request) {
    if (request->payloadLength > 127) {
        char address[16];
        snprintf(address, sizeof address, "%u", request->deviceAddress);
        logConnectionMessage(connectionId, 3, "Password for device %s is too long, max %d chars", address, 127);
    } else {
        storeDevicePassword(connectionId, request->deviceAddress, reinterpret_cast<const char*>(messagePayload(request)),
                            strnlen(reinterpret_cast<const char*>(messagePayload(request)), request->payloadLength));
    }
    sendToConnection(connectionId, newMessage({.type = kMsgDevicePasswordReply, .deviceAddress = request->deviceAddress}));
}

void ignoreMessage(uint16_t, const MessageHeader*) {}
