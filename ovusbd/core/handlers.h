// The message handler table: one entry per message type, with the handler,
// the least payload the handler may read, and the reply a request of that
// type gets. Filled once before any service starts; read-only afterwards.
#pragma once

#include <stdint.h>

#include "ovusbd/core/message.h"

// request is valid only during the call (it lives in the receive thread's
// buffers); a handler that needs it later copies it.
typedef void (*MessageHandler)(uint16_t connectionId, const MessageHeader* request);

struct MessageHandlerEntry {
    MessageHandler handler;     // null: the type is unknown to this server
    uint32_t minimumPayload;    // fixed-offset fields the handler reads
    bool hasReply;              // a short request is answered, not dropped
    MessageType replyType;
    uint32_t replyPayload;      // payload length of the refusal reply
    uint32_t statusOffset;      // where its i32 status goes
    uint32_t echoFrom;          // request bytes from here fill the reply before the status
    // Served only when the header's device is bound to the asking
    // connection; otherwise refused with -19.
    bool heldDeviceOnly;
};

extern MessageHandlerEntry messageHandlers[256];

// Fills messageHandlers from the built-in table.
void fillMessageHandlerTable();

// Runs the handler of the body's type, after the type, minimum and holder
// checks.
void dispatchMessage(uint16_t connectionId, const MessageHeader* body);

// Handlers of this module.
void handleServerInfoRequest(uint16_t connectionId, const MessageHeader* request);
void answerType2WithEmptyReply(uint16_t connectionId, const MessageHeader* request);
void handleDeviceListRequest(uint16_t connectionId, const MessageHeader* request);
void answerType10WithEmptyReply(uint16_t connectionId, const MessageHeader* request);
void handleClientKeepAlive(uint16_t connectionId, const MessageHeader* request);
void handleBindDeviceRequest(uint16_t connectionId, const MessageHeader* request);
void answerType33WithZeroReply(uint16_t connectionId, const MessageHeader* request);
void handleUnbindDeviceRequest(uint16_t connectionId, const MessageHeader* request);
void handleForwardToConnection(uint16_t connectionId, const MessageHeader* request);
void handleDevicePasswordRequest(uint16_t connectionId, const MessageHeader* request);
void ignoreMessage(uint16_t connectionId, const MessageHeader* request);
