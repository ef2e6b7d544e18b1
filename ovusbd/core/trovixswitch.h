// Switching the Trovix rendezvous service on and off at run time
// (message 75).
#pragma once

#include <stdint.h>

#include "ovusbd/core/message.h"

// Stores "Trovix" = "1" and starts the first service whose name contains
// "Trovix".
void startTrovixService();
// Stops that service (flag 0); "Trovix" is left as it is.
void stopTrovixService();

// Message 75: byte 0 non-zero starts, 0 stops. No reply.
void handleTrovixSwitchRequest(uint16_t connectionId, const MessageHeader* request);
