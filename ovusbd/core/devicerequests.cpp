#include "ovusbd/core/devicerequests.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "ovusbd/core/connection.h"
#include "ovusbd/core/log.h"
#include "ovusbd/core/messagetypes.h"
#include "ovusbd/usb/controltransfer.h"
#include "ovusbd/usb/deviceclaim.h"
#include "ovusbd/usb/devicereset.h"
#include "ovusbd/usb/deviceops.h"
#include "ovusbd/usb/devicerecord.h"
#include "ovusbd/usb/usbsettings.h"
#include "ovusbd/usb/zerocopy.h"

namespace {

// USBDEVFS_URB_TYPE_INTERRUPT and USBDEVFS_URB_TYPE_BULK: the only kinds a
// bulk or interrupt request may ask for.
constexpr uint8_t kUrbTypeInterrupt = 1;
constexpr uint8_t kUrbTypeBulk = 3;

// Largest payload a reply frame can carry.
constexpr uint64_t kMaxReplyPayload = kMaxFrameLength - kMessageHeaderSize;

uint32_t payloadWord(const MessageHeader* request, uint32_t offset) {
    uint32_t value;
    memcpy(&value, messagePayload(request) + offset, 4);
    return value;
}

void putStatus(MessageHeader* reply, uint32_t offset, int32_t status) {
    memcpy(messagePayload(reply) + offset, &status, 4);
}

// A reply of `payload` bytes whose word 0 is the status, sent at once.
void replyWithStatus(uint16_t connectionId, const MessageHeader* request, MessageType type, uint32_t payload,
                     int32_t status) {
    MessageHeader* reply = newMessage({.type = type, .payloadLength = payload, .replyTo = request});
    if (reply == nullptr) {
        logMessage(3, "Error, no memory to answer a message of type %d from connection %u", request->type,
                   connectionId);
        return;
    }
    putStatus(reply, 0, status);
    sendToConnection(connectionId, reply);
}

// ---- codes 0-4 and 8: one status word ----

struct StatusContext {
    MessageHeader* reply;
    uint16_t connectionId;
    bool alwaysZero;      // message 50 reports 0 whatever happened
    uint8_t altSettings[16];  // message 51
};

void completeWithStatus(int result, void* context) {
    auto* c = static_cast<StatusContext*>(context);
    putStatus(c->reply, 0, c->alwaysZero ? 0 : result);
    sendToConnection(c->connectionId, c->reply);
    free(c);
}

StatusContext* newStatusContext(uint16_t connectionId, const MessageHeader* request, MessageType replyType) {
    auto* c = static_cast<StatusContext*>(calloc(1, sizeof(StatusContext)));
    if (c == nullptr) {
        return nullptr;
    }
    c->reply = newMessage({.type = replyType, .payloadLength = 4, .replyTo = request});
    if (c->reply == nullptr) {
        free(c);
        return nullptr;
    }
    c->connectionId = connectionId;
    return c;
}

void queueStatusOperation(uint16_t connectionId, const MessageHeader* request, DeviceOperationCode code,
                          MessageType replyType, bool alwaysZero) {
    StatusContext* context = newStatusContext(connectionId, request, replyType);
    auto* operation = static_cast<DeviceOperation*>(calloc(1, sizeof(DeviceOperation)));
    if (context == nullptr || operation == nullptr) {
        if (context != nullptr) {
            freeMessage(context->reply);
        }
        free(context);
        free(operation);
        replyWithStatus(connectionId, request, replyType, 4, alwaysZero ? 0 : -ENOMEM);
        return;
    }
    context->alwaysZero = alwaysZero;
    operation->address = request->deviceAddress;
    operation->code = code;
    operation->endpoint = payloadWord(request, 0);
    operation->completion = completeWithStatus;
    operation->completionContext = context;
    enqueueDeviceOperation(operation);
}

// ---- code 5: bulk and interrupt ----

struct BulkContext {
    MessageHeader* reply;
    uint8_t* outBuffer;  // null for IN
    bool zeroCopyOut;    // outBuffer came from acquireUrbBuffer
    uint32_t address;
    uint32_t length;     // requested bytes
    bool in;
};

void completeBulkInterruptTransfer(void* context, int status, int32_t actualLength, int32_t, uint32_t,
                                   uint16_t connectionId) {
    auto* c = static_cast<BulkContext*>(context);
    putStatus(c->reply, 0, status < 0 ? status : actualLength);
    if (c->in) {
        // What the device did not fill must not carry an earlier user's
        // bytes: pool buffers are reused and only their first word is cleared.
        const uint32_t filled =
            actualLength < 0 ? 0 : (uint32_t(actualLength) > c->length ? c->length : uint32_t(actualLength));
        memset(messagePayload(c->reply) + 4 + filled, 0, c->length - filled);
    }
    if (c->outBuffer != nullptr) {
        if (c->zeroCopyOut) {
            releaseUrbBuffer(c->address, c->outBuffer);
        } else {
            free(c->outBuffer);
        }
    }
    sendToConnection(connectionId, c->reply);
    free(c);
}

// ---- control transfers ----

struct ControlContext {
    MessageHeader* reply;
    uint8_t* outCopy;  // host-to-device data, or null
    uint16_t length;   // wLength
    bool in;
};

void completeControlTransfer(void* context, int status, int32_t actualLength, int32_t, uint32_t,
                             uint16_t connectionId) {
    auto* c = static_cast<ControlContext*>(context);
    putStatus(c->reply, 8, status);
    memcpy(messagePayload(c->reply) + 12, &actualLength, 4);
    if (c->in) {
        const uint32_t filled =
            actualLength < 0 ? 0 : (uint32_t(actualLength) > c->length ? c->length : uint32_t(actualLength));
        memset(messagePayload(c->reply) + 16 + filled, 0, c->length - filled);
    }
    free(c->outCopy);
    sendToConnection(connectionId, c->reply);
    free(c);
}

// SET_CONFIGURATION, SET_INTERFACE and CLEAR_FEATURE(ENDPOINT_HALT) change
// what usbfs tracks of the device, so they go through its own calls, not as
// control transfers. Returns false for every other request.
bool doStandardRequest(uint32_t address, const uint8_t setup[8], int* status) {
    uint16_t value, index;
    memcpy(&value, setup + 2, 2);
    memcpy(&index, setup + 4, 2);
    if (setup[0] == 0x00 && setup[1] == 9) {
        *status = setDeviceConfiguration(address, value == 0 ? -1 : value);
        return true;
    }
    if (setup[0] == 0x01 && setup[1] == 11) {
        *status = setInterfaceAltSetting(address, index, value);
        return true;
    }
    if (setup[0] == 0x02 && setup[1] == 1 && value == 0) {
        *status = clearEndpointHalt(address, index);
        return true;
    }
    return false;
}

} // namespace

void handleControlTransferRequest(uint16_t connectionId, const MessageHeader* request) {
    const uint8_t* payload = messagePayload(request);
    const uint8_t* setup = payload + 8;
    const bool in = (setup[0] & 0x80) != 0;
    uint16_t wLength;
    memcpy(&wLength, setup + 6, 2);
    auto* context = static_cast<ControlContext*>(calloc(1, sizeof(ControlContext)));
    MessageHeader* reply = newMessage(
        {.type = kMsgControlTransferReply, .payloadLength = uint32_t(in ? 16 + wLength : 16), .replyTo = request});
    if (reply == nullptr) {
        free(context);
        reply = newMessage({.type = kMsgControlTransferReply, .payloadLength = 16, .replyTo = request});
        if (reply != nullptr) {
            memcpy(messagePayload(reply), setup, 8);
            putStatus(reply, 8, -ENOMEM);
            sendToConnection(connectionId, reply);
        }
        return;
    }
    memcpy(messagePayload(reply), setup, 8);
    // The OUT data stage must be carried by the request itself.
    int32_t refusal = 0;
    if (!in && wLength > request->payloadLength - 16) {
        refusal = -EINVAL;
    } else if (context == nullptr) {
        refusal = -ENOMEM;
    } else if (!in && wLength != 0) {
        context->outCopy = static_cast<uint8_t*>(malloc(wLength));
        if (context->outCopy == nullptr) {
            refusal = -ENOMEM;
        } else {
            memcpy(context->outCopy, payload + 16, wLength);
        }
    }
    int standardStatus = 0;
    if (refusal == 0 && doStandardRequest(request->deviceAddress, setup, &standardStatus)) {
        refusal = standardStatus;
        if (refusal == 0) {
            free(context->outCopy);
            free(context);
            sendToConnection(connectionId, reply);
            return;
        }
    }
    if (refusal != 0) {
        if (context != nullptr) {
            free(context->outCopy);
        }
        free(context);
        putStatus(reply, 8, refusal);
        sendToConnection(connectionId, reply);
        return;
    }
    context->reply = reply;
    context->length = in ? wLength : 0;
    context->in = in;
    submitControlTransfer(request->deviceAddress, uint8_t(payloadWord(request, 0)), setup, context->outCopy,
                          in ? messagePayload(reply) + 16 : nullptr, int32_t(payloadWord(request, 4)),
                          completeControlTransfer, context, connectionId);
}

void handleBulkInterruptTransferRequest(uint16_t connectionId, const MessageHeader* request) {
    const uint8_t* payload = messagePayload(request);
    const uint8_t endpoint = payload[0];
    const bool in = (endpoint & 0x80) != 0;
    const bool stream = request->type == kMsgBulkStreamTransfer;
    const uint32_t word5 = payloadWord(request, 5);
    // Streams exist only on bulk endpoints; for message 74 word 5 is the
    // stream id, not a URB type.
    const uint8_t urbType = stream ? kUrbTypeBulk : uint8_t(word5 & 0xff);
    const uint64_t length = payloadWord(request, 9);
    const MessageType replyType = kMsgBulkInterruptTransferReply;
    if (urbType != kUrbTypeInterrupt && urbType != kUrbTypeBulk) {
        replyWithStatus(connectionId, request, replyType, 4, -EINVAL);
        return;
    }
    // The reply of an IN transfer must fit in one frame; an OUT transfer
    // must carry the data it announces.
    if ((in && length + 4 > kMaxReplyPayload) || (!in && length > uint64_t(request->payloadLength) - 13)) {
        replyWithStatus(connectionId, request, replyType, 4, -EINVAL);
        return;
    }
    auto* context = static_cast<BulkContext*>(calloc(1, sizeof(BulkContext)));
    auto* operation = static_cast<DeviceOperation*>(calloc(1, sizeof(DeviceOperation)));
    MessageHeader* reply = nullptr;
    uint8_t* outBuffer = nullptr;
    bool zeroCopyOut = false;
    if (context != nullptr && operation != nullptr) {
        reply = newMessage({.type = replyType,
                            .payloadLength = uint32_t(in ? length + 4 : 4),
                            .replyTo = request,
                            .endpoint = endpoint,
                            .zeroCount = 4});
        if (reply != nullptr && !in && length != 0) {
            if (usbSettings().enableBulkIntZeroCopy) {
                outBuffer = acquireUrbBuffer(request->deviceAddress, endpoint, uint32_t(length), 0);
                zeroCopyOut = outBuffer != nullptr;
            }
            if (outBuffer == nullptr) {
                outBuffer = static_cast<uint8_t*>(malloc(length));
            }
        }
    }
    if (context == nullptr || operation == nullptr || reply == nullptr || (!in && length != 0 && outBuffer == nullptr)) {
        freeMessage(reply);
        free(context);
        free(operation);
        if (outBuffer != nullptr) {
            zeroCopyOut ? releaseUrbBuffer(request->deviceAddress, outBuffer) : free(outBuffer);
        }
        replyWithStatus(connectionId, request, replyType, 4, -ENOMEM);
        return;
    }
    if (!in && length != 0) {
        memcpy(outBuffer, payload + 13, length);
    }
    *context = {reply, outBuffer, zeroCopyOut, request->deviceAddress, uint32_t(in ? length : 0), in};
    operation->address = request->deviceAddress;
    operation->code = kOpTransfer;
    operation->endpoint = endpoint;
    operation->transferFlags = int8_t(payload[4]);
    operation->urbType = urbType;
    operation->length = int32_t(length);
    operation->outBuffer = outBuffer;
    operation->inBuffer = in ? messagePayload(reply) + 4 : nullptr;
    operation->transferBufferLength = size_t(length);
    operation->streamId = stream ? word5 : 0;
    operation->connectionId = connectionId;
    operation->transferCompletion = completeBulkInterruptTransfer;
    operation->completionContext = context;
    enqueueDeviceOperation(operation);
}

void handleDeviceResetRequest(uint16_t connectionId, const MessageHeader* request) {
    queueStatusOperation(connectionId, request, kOpResetDevice, kMsgDeviceResetReply, false);
}

void handleClearHaltRequest(uint16_t connectionId, const MessageHeader* request) {
    queueStatusOperation(connectionId, request, kOpClearHalt, kMsgClearHaltReply, false);
}

void handleResetEndpointRequest(uint16_t connectionId, const MessageHeader* request) {
    queueStatusOperation(connectionId, request, kOpResetEndpoint, kMsgResetEndpointReply, false);
}

void handleAbortEndpointRequest(uint16_t connectionId, const MessageHeader* request) {
    queueStatusOperation(connectionId, request, kOpAbortEndpoint, kMsgAbortEndpointReply, false);
}

void handleAbortResetClearHaltRequest(uint16_t connectionId, const MessageHeader* request) {
    queueStatusOperation(connectionId, request, kOpClearStall, kMsgAbortResetClearHaltReply, true);
}

void handleResetAndConfigureRequest(uint16_t connectionId, const MessageHeader* request) {
    StatusContext* context = newStatusContext(connectionId, request, kMsgDeviceResetReply);
    auto* operation = static_cast<DeviceOperation*>(calloc(1, sizeof(DeviceOperation)));
    if (context == nullptr || operation == nullptr) {
        if (context != nullptr) {
            freeMessage(context->reply);
        }
        free(context);
        free(operation);
        replyWithStatus(connectionId, request, kMsgDeviceResetReply, 4, -ENOMEM);
        return;
    }
    const uint8_t* payload = messagePayload(request);
    memcpy(context->altSettings, payload + 2, 16);
    // The message carries 16 alternate settings; a count outside 0..16
    // must not make the operation read past them.
    int8_t count = int8_t(payload[1]);
    if (count < 0) {
        count = 0;
    } else if (count > 16) {
        count = 16;
    }
    operation->address = request->deviceAddress;
    operation->code = kOpResetAndConfigure;
    operation->configurationValue = payload[0];
    operation->altSettingCount = count;
    operation->altSettings = context->altSettings;
    operation->completion = completeWithStatus;
    operation->completionContext = context;
    enqueueDeviceOperation(operation);
}
