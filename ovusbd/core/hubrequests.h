// Requests of a client to the hub port its device hangs on: port status
// (20), port power (48) and hub-class requests (59). Each starts a detached
// thread of the USB layer (hubports.h) that asks the hub; its completion
// fills the reply allocated here and sends it. Every request gets exactly
// one reply. Handlers run on the client's receive thread and never wait for
// the hub; while the USB layer's few hub threads are all busy a request is
// answered -EBUSY at once, as a device answers a control transfer beyond
// its share.
#pragma once

#include <stdint.h>

#include "ovusbd/core/message.h"

void handlePortStatusRequest(uint16_t connectionId, const MessageHeader* request);  // 20
void handlePortPowerRequest(uint16_t connectionId, const MessageHeader* request);   // 48
void handleHubClassRequest(uint16_t connectionId, const MessageHeader* request);    // 59
