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
void handleIsoTransferRequest(uint16_t connectionId, const MessageHeader* request);            // 36
void handleAbortResetClearHaltRequest(uint16_t connectionId, const MessageHeader* request);    // 50
void handleResetAndConfigureRequest(uint16_t connectionId, const MessageHeader* request);      // 51
void handleAllocStreamsRequest(uint16_t connectionId, const MessageHeader* request);           // 70
void handleFreeStreamsRequest(uint16_t connectionId, const MessageHeader* request);            // 72
// The same as 36, answered with the packets' data packed (type 76) when
// the transfer succeeded and its data fit.
void handlePackedIsoTransferRequest(uint16_t connectionId, const MessageHeader* request);     // 77
