// Requests of a client to the device it holds: each becomes work for the
// device layer, whose completion fills the reply allocated here and sends
// it. Every request gets exactly one reply. Handlers run on the client's
// receive thread and never wait for the device.
#pragma once

#include <stdint.h>

#include "ovusbd/core/message.h"

void handleControlTransferRequest(uint16_t connectionId, const MessageHeader* request);               // 13
void handleBulkInterruptTransferRequest(uint16_t connectionId, const MessageHeader* request);  // 18, 74
void handleDeviceResetRequest(uint16_t connectionId, const MessageHeader* request);            // 22
void handleClearHaltRequest(uint16_t connectionId, const MessageHeader* request);              // 26
void handleResetEndpointRequest(uint16_t connectionId, const MessageHeader* request);          // 28
void handleAbortEndpointRequest(uint16_t connectionId, const MessageHeader* request);          // 30
void handleAbortResetClearHaltRequest(uint16_t connectionId, const MessageHeader* request);    // 50
void handleResetAndConfigureRequest(uint16_t connectionId, const MessageHeader* request);      // 51
