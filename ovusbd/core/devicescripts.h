// The scripts that decide a client's request about a device whose answer is
// the script's exit code ("OnDeviceIgnore", "OnDeviceKick"), and the ignore
// request (message 61) itself.
#pragma once

#include <stdint.h>

#include "ovusbd/core/message.h"

// The client's remote IP address as text (no port); empty when the client
// is gone.
void connectionAddressText(uint16_t connectionId, char out[64]);

// The verdict of such a script from its exit code (runScriptForExitCode):
// 1 allows; 0 and -1 (no exit code) refuse; 2 refuses and tells the asking
// client "INSUFFICIENT_PERMISSIONS_MSG"; any other code refuses after
// "Unknown return value %d from <eventName>".
bool scriptAllows(int exitCode, uint16_t askingConnection, const char* eventName);

// Runs the "OnDeviceIgnore" command `script` with "$VENDOR_ID$",
// "$PRODUCT_ID$", "$SERIAL$" (only when serial is not null), "$CLIENT_ID$"
// and "$CLIENT_IP$" of the asking connection; true when the client may
// ignore the device. Blocks the calling thread until the script ends.
bool runDeviceIgnoreScript(const char* script, uint16_t connectionId, uint16_t vendorId, uint16_t productId,
                           const char* serial);

// Message 61: u16 vendor id, u16 product id, u8 serial flag, then (flag set
// and a payload longer than 132 bytes) the serial text. The device is
// ignored at once, or when "OnDeviceIgnore" allows it. Runs on the
// requesting connection's receive thread.
void handleDeviceIgnoreRequest(uint16_t connectionId, const MessageHeader* request);
