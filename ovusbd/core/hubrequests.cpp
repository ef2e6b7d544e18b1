#include "ovusbd/core/hubrequests.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "ovusbd/core/connection.h"
#include "ovusbd/core/connectionlog.h"
#include "ovusbd/core/log.h"
#include "ovusbd/core/messagetypes.h"
#include "ovusbd/usb/hubports.h"
#include "ovusbd/usb/usbsettings.h"

namespace {

constexpr uint32_t kSetupSize = 8;

// Owned by the hub thread until its completion frees it.
struct HubReplyContext {
    MessageHeader* reply;
    uint16_t connectionId;
    uint8_t* outCopy;  // message 59, host-to-device data; else null
};

void putResult(MessageHeader* reply, int32_t result) { memcpy(messagePayload(reply), &result, 4); }

// Port status, port power and hub-class completions alike: word 0 is the
// result; the thread has already written the status word or IN data.
void completeHubRequest(int result, void* context) {
    auto* c = static_cast<HubReplyContext*>(context);
    putResult(c->reply, result);
    sendToConnection(c->connectionId, c->reply);
    free(c->outCopy);
    free(c);
}

// A reply of `payload` bytes with `result` in word 0, sent at once.
void replyNow(uint16_t connectionId, const MessageHeader* request, MessageType type, uint32_t payload, int32_t result) {
    MessageHeader* reply = newMessage({.type = type, .payloadLength = payload, .replyTo = request});
    if (reply == nullptr) {
        logMessage(3, "Error, no memory to answer a message of type %d from connection %u", request->type,
                   connectionId);
        return;
    }
    putResult(reply, result);
    sendToConnection(connectionId, reply);
}

// The reply and its context; null (after answering -ENOMEM when a reply
// can be made at all) when memory runs out.
HubReplyContext* newContext(uint16_t connectionId, const MessageHeader* request, MessageType type, uint32_t payload,
                            uint32_t refusalPayload) {
    auto* context = static_cast<HubReplyContext*>(calloc(1, sizeof(HubReplyContext)));
    MessageHeader* reply =
        context != nullptr ? newMessage({.type = type, .payloadLength = payload, .replyTo = request}) : nullptr;
    if (reply == nullptr) {
        free(context);
        replyNow(connectionId, request, type, refusalPayload, -ENOMEM);
        return nullptr;
    }
    context->reply = reply;
    context->connectionId = connectionId;
    return context;
}

// A refused request has had its -EBUSY reply.
void noteRefusal(int started, uint16_t connectionId, const char* what) {
    if (started == -EBUSY) {
        logConnectionMessage(connectionId, 4, "Warning, refusing %s of connection %u: %u hub requests are running",
                             what, connectionId, usbSettings().hubRequestThreads);
    }
}

}  // namespace

void handlePortStatusRequest(uint16_t connectionId, const MessageHeader* request) {
    HubReplyContext* context = newContext(connectionId, request, kMsgPortStatusReply, 6, 6);
    auto* work = static_cast<PortStatusRequest*>(malloc(sizeof(PortStatusRequest)));
    if (context == nullptr || work == nullptr) {
        if (context != nullptr) {
            completeHubRequest(-ENOMEM, context);
        }
        free(work);
        return;
    }
    *work = {request->deviceAddress, messagePayload(context->reply) + 4, completeHubRequest, context};
    noteRefusal(startPortStatusThread(work), connectionId, "a port status request");
}

void handlePortPowerRequest(uint16_t connectionId, const MessageHeader* request) {
    HubReplyContext* context = newContext(connectionId, request, kMsgPortPowerReply, 4, 4);
    auto* work = static_cast<PortPowerRequest*>(malloc(sizeof(PortPowerRequest)));
    if (context == nullptr || work == nullptr) {
        if (context != nullptr) {
            completeHubRequest(-ENOMEM, context);
        }
        free(work);
        return;
    }
    *work = {request->deviceAddress, uint8_t(messagePayload(request)[0] != 0 ? 1 : 0), completeHubRequest, context};
    noteRefusal(startPortPowerThread(work), connectionId, "a port power request");
}

void handleHubClassRequest(uint16_t connectionId, const MessageHeader* request) {
    const uint8_t* payload = messagePayload(request);
    const bool in = (payload[0] & 0x80) != 0;
    uint16_t wLength;
    memcpy(&wLength, payload + 6, 2);
    // The OUT data stage must be carried by the request itself.
    if (!in && wLength > request->payloadLength - kSetupSize) {
        replyNow(connectionId, request, kMsgHubClassReply, 4, -EINVAL);
        return;
    }
    HubReplyContext* context = newContext(connectionId, request, kMsgHubClassReply, in ? 4u + wLength : 4u, 4);
    if (context == nullptr) {
        return;
    }
    auto* work = static_cast<HubClassRequest*>(calloc(1, sizeof(HubClassRequest)));
    if (work != nullptr && !in && wLength != 0) {
        context->outCopy = static_cast<uint8_t*>(malloc(wLength));
        if (context->outCopy == nullptr) {
            free(work);
            work = nullptr;
        } else {
            memcpy(context->outCopy, payload + kSetupSize, wLength);
        }
    }
    if (work == nullptr) {
        completeHubRequest(-ENOMEM, context);
        return;
    }
    work->address = request->deviceAddress;
    memcpy(work->setup, payload, kSetupSize);
    work->outData = context->outCopy;
    work->inData = in ? messagePayload(context->reply) + 4 : nullptr;
    work->completion = completeHubRequest;
    work->context = context;
    noteRefusal(startHubRequestThread(work), connectionId, "a hub-class request");
}
