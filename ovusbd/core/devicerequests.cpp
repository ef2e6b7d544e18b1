#include "ovusbd/core/devicerequests.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "ovusbd/core/connection.h"
#include "ovusbd/core/connectionlog.h"
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
    // Transfer replies may come from a pool buffer, which is not cleared.
    MessageHeader* reply = newMessage(
        {.type = type, .payloadLength = payload, .replyTo = request, .zeroCount = uint8_t(payload < 255 ? payload : 255)});
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

// ---- code 9: isochronous ----

// usbfs isochronous packet descriptor: u32 length, u32 actual length, u32
// status.
constexpr uint64_t kIsoDescriptorSize = 12;

struct IsoContext {
    MessageHeader* reply;
    uint8_t* packets;       // the request's descriptors, then the OUT data
    bool zeroCopyPackets;   // packets came from acquireUrbBuffer
    uint32_t address;
    uint32_t packetCount;
    uint32_t dataArea;      // IN data bytes behind the packet results
    bool packed;            // message 77: type 76 when the data can be packed
};

// Each packet's IN data sits at its slot, the sum of the requested lengths
// before it. Clears what the device did not fill (pool buffers are reused,
// and a failed transfer fills nothing) and returns the bytes kept per
// packet in `kept`, each within its slot and the data area.
void clearUnusedPacketBytes(const IsoContext* c, uint32_t* kept) {
    uint8_t* data = messagePayload(c->reply) + 12 + kIsoDescriptorSize * c->packetCount;
    const uint8_t* results = messagePayload(c->reply) + 12;
    uint64_t offset = 0;
    for (uint32_t i = 0; i < c->packetCount; i++) {
        uint32_t requested, actual;
        memcpy(&requested, c->packets + kIsoDescriptorSize * i, 4);
        memcpy(&actual, results + kIsoDescriptorSize * i + 4, 4);
        const uint64_t start = offset < c->dataArea ? offset : c->dataArea;
        const uint64_t end = offset + requested < c->dataArea ? offset + requested : c->dataArea;
        const uint64_t keep = actual < end - start ? actual : end - start;
        memset(data + start + keep, 0, end - start - keep);
        kept[i] = uint32_t(keep);
        offset += requested;
    }
    if (offset < c->dataArea) {
        memset(data + offset, 0, c->dataArea - offset);
    }
}

// Moves the packets' data together: packet i from its slot to right behind
// packet i-1's kept bytes. Slots only move towards the start, so moving in
// order never overwrites data still to be moved. Returns the packed bytes.
uint64_t packIsoData(const IsoContext* c, const uint32_t* kept) {
    uint8_t* data = messagePayload(c->reply) + 12 + kIsoDescriptorSize * c->packetCount;
    uint64_t from = 0, to = 0;
    for (uint32_t i = 0; i < c->packetCount; i++) {
        uint32_t requested;
        memcpy(&requested, c->packets + kIsoDescriptorSize * i, 4);
        if (kept[i] != 0 && from != to) {
            memmove(data + to, data + from, kept[i]);
        }
        to += kept[i];
        from += requested;
    }
    return to;
}

void completeIsoTransfer(void* context, int status, int32_t actualLength, int32_t errorCount, uint32_t reserved,
                         uint16_t connectionId) {
    auto* c = static_cast<IsoContext*>(context);
    MessageHeader* reply = c->reply;
    auto* kept = static_cast<uint32_t*>(malloc(sizeof(uint32_t) * c->packetCount));
    if (kept == nullptr) {
        // Without the bookkeeping the data cannot be sorted out; none of it
        // goes to the client rather than stale bytes.
        memset(messagePayload(reply) + 12 + kIsoDescriptorSize * c->packetCount, 0, c->dataArea);
        reply->type = kMsgIsoTransferReply;
    } else {
        clearUnusedPacketBytes(c, kept);
        if (c->packed && status >= 0 && actualLength >= 0 && uint32_t(actualLength) <= c->dataArea) {
            reply->payloadLength = uint32_t(12 + kIsoDescriptorSize * c->packetCount + packIsoData(c, kept));
        } else {
            reply->type = kMsgIsoTransferReply;
        }
        free(kept);
    }
    putStatus(reply, 0, status < 0 ? status : actualLength);
    putStatus(reply, 4, int32_t(int16_t(errorCount)));
    memcpy(messagePayload(reply) + 8, &reserved, 4);
    if (c->zeroCopyPackets) {
        releaseUrbBuffer(c->address, c->packets);
    } else {
        free(c->packets);
    }
    sendToConnection(connectionId, reply);
    free(c);
}

// Messages 36 and 77. Sizes come from the client, so they are computed in
// 64 bits and checked before anything is allocated: the packets and the
// OUT data must be in the request, the reply must fit in a frame.
void submitIsoTransfer(uint16_t connectionId, const MessageHeader* request, bool packed) {
    const uint8_t* payload = messagePayload(request);
    const uint8_t endpoint = payload[0];
    const bool in = (endpoint & 0x80) != 0;
    const uint64_t length = payloadWord(request, 5);
    const uint64_t count = payloadWord(request, 13);
    const uint64_t descriptorBytes = kIsoDescriptorSize * count;
    const uint64_t packetBytes = descriptorBytes + (in ? 0 : length);
    const uint64_t replyPayload = 12 + descriptorBytes + (in ? length : 0);
    // A failed transfer is answered as type 37 whichever message asked.
    if (count == 0 || count > UINT16_MAX || replyPayload > kMaxReplyPayload ||
        packetBytes > uint64_t(request->payloadLength) - 17) {
        replyWithStatus(connectionId, request, kMsgIsoTransferReply, 12, -EINVAL);
        return;
    }
    auto* context = static_cast<IsoContext*>(calloc(1, sizeof(IsoContext)));
    auto* operation = static_cast<DeviceOperation*>(calloc(1, sizeof(DeviceOperation)));
    MessageHeader* reply = nullptr;
    uint8_t* packets = nullptr;
    bool zeroCopyPackets = false;
    if (context != nullptr && operation != nullptr) {
        reply = newMessage({.type = packed ? kMsgIsoPackedTransferReply : kMsgIsoTransferReply,
                            .payloadLength = uint32_t(replyPayload),
                            .replyTo = request,
                            .endpoint = endpoint,
                            .zeroCount = 12});
        if (reply != nullptr) {
            if (usbSettings().enableIsoZeroCopy) {
                packets = acquireUrbBuffer(request->deviceAddress, endpoint, uint32_t(packetBytes), 0);
                zeroCopyPackets = packets != nullptr;
            }
            if (packets == nullptr) {
                packets = static_cast<uint8_t*>(malloc(packetBytes));
            }
        }
    }
    if (context == nullptr || operation == nullptr || reply == nullptr || packets == nullptr) {
        freeMessage(reply);
        free(context);
        free(operation);
        replyWithStatus(connectionId, request, kMsgIsoTransferReply, 12, -ENOMEM);
        return;
    }
    memcpy(packets, payload + 17, packetBytes);
    // The results are written only for packets whose URB came back; a pool
    // buffer still holds an earlier transfer's there.
    memset(messagePayload(reply), 0, 12 + descriptorBytes);
    *context = {reply,        packets, zeroCopyPackets, request->deviceAddress, uint32_t(count),
                uint32_t(in ? length : 0), packed};
    operation->address = request->deviceAddress;
    operation->code = kOpIsoTransfer;
    operation->endpoint = endpoint;
    operation->isoPacketCount = uint16_t(count);
    operation->isoLength = int32_t(length);
    operation->isoPackets = packets;
    operation->isoPacketsLength = size_t(descriptorBytes);
    operation->isoOutBuffer = in ? nullptr : packets + descriptorBytes;
    operation->isoInBuffer = in ? messagePayload(reply) + 12 + descriptorBytes : nullptr;
    operation->isoBufferLength = size_t(length);
    operation->isoResults = messagePayload(reply) + 12;
    operation->isoResultsLength = size_t(descriptorBytes);
    operation->connectionId = connectionId;
    operation->isoCompletion = completeIsoTransfer;
    operation->completionContext = context;
    enqueueDeviceOperation(operation);
}

// ---- codes 6 and 7: streams ----

void completeStreamsOperation(void* context, int result, uint16_t connectionId) {
    auto* reply = static_cast<MessageHeader*>(context);
    putStatus(reply, 0, result);
    sendToConnection(connectionId, reply);
}

void queueStreamsOperation(uint16_t connectionId, const MessageHeader* request, DeviceOperationCode code,
                           MessageType replyType) {
    const uint64_t count = payloadWord(request, 4);
    if (count > uint64_t(request->payloadLength) - 8) {
        replyWithStatus(connectionId, request, replyType, 4, -EINVAL);
        return;
    }
    MessageHeader* reply = newMessage({.type = replyType, .payloadLength = 4, .replyTo = request});
    auto* operation = static_cast<DeviceOperation*>(calloc(1, sizeof(DeviceOperation)));
    auto* endpoints = static_cast<uint8_t*>(malloc(count != 0 ? count : 1));
    if (reply == nullptr || operation == nullptr || endpoints == nullptr) {
        freeMessage(reply);
        free(operation);
        free(endpoints);
        replyWithStatus(connectionId, request, replyType, 4, -ENOMEM);
        return;
    }
    memcpy(endpoints, messagePayload(request) + 8, count);
    operation->address = request->deviceAddress;
    operation->code = code;
    operation->streamCount = code == kOpAllocStreams ? payloadWord(request, 0) : 0;
    operation->streamEndpointCount = uint32_t(count);
    operation->streamEndpoints = endpoints;
    operation->connectionId = connectionId;
    operation->streamsCompletion = completeStreamsOperation;
    operation->completionContext = reply;
    enqueueDeviceOperation(operation);
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
    const uint32_t address = request->deviceAddress;
    if (submitControlTransfer(address, uint8_t(payloadWord(request, 0)), setup, context->outCopy,
                              in ? messagePayload(reply) + 16 : nullptr, int32_t(payloadWord(request, 4)),
                              completeControlTransfer, context, connectionId) == -EBUSY) {
        logConnectionMessage(connectionId, 4,
                             "Warning, refusing a control transfer of connection %u: device %u has %u in flight",
                             connectionId, address, usbSettings().controlTransfersPerDevice);
    }
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

void handleIsoTransferRequest(uint16_t connectionId, const MessageHeader* request) {
    submitIsoTransfer(connectionId, request, false);
}

void handlePackedIsoTransferRequest(uint16_t connectionId, const MessageHeader* request) {
    submitIsoTransfer(connectionId, request, true);
}

void handleAllocStreamsRequest(uint16_t connectionId, const MessageHeader* request) {
    queueStreamsOperation(connectionId, request, kOpAllocStreams, kMsgAllocStreamsReply);
}

void handleFreeStreamsRequest(uint16_t connectionId, const MessageHeader* request) {
    queueStreamsOperation(connectionId, request, kOpFreeStreams, kMsgFreeStreamsReply);
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
