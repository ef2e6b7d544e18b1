// Binding a device to a client connection and ending the binding: the
// authorization scripts, the claim of the device layer, the bind result and
// the unbind notice.
//
// Lock: deviceLifecycleMutex (device layer) covers the making and removal of
// device records, the commit of a bind and the whole of an unbind, so a bind
// never commits to a device being removed or a client being removed, and one
// binding is never ended twice.
#pragma once

#include <stdint.h>

#include "ovusbd/usb/usbevents.h"

struct DeviceBinding {
    uint16_t bindingId;     // from nextConnectionId; names the binding in an unbind
    uint16_t connectionId;  // the client that holds the device
    uint32_t address;       // device address
    char clientText[64];
};

// Bind results (message 39).
enum BindResult : int32_t {
    kBindOk = 1,
    kBindUnknownError = 0,
    kBindError = -1,
    kBindUnauthorized = -4,
    kBindTryAgain = -6,
    kBindPasswordRequired = -7,
    kBindAuthorizationAnswered3 = -8,
};
// The name a bind result is logged with.
const char* bindResultName(int32_t result);

// Makes and frees bindingList. Without it no bind succeeds.
int createBindingList();
void destroyBindingList();

// Copies the binding of the device into out; false when it is not bound.
bool findDeviceBinding(uint32_t address, DeviceBinding* out);

// True when a binding has this binding id.
bool isBindingIdInUse(uint16_t bindingId);

// Number of devices bound to the connection.
unsigned countConnectionBindings(uint16_t connectionId);

// Binds the device to the connection and tells the client the result
// (message 39); no result here. Runs on the bind thread.
void bindDevice(uint16_t connectionId, uint32_t address);

// Answers a bind request that is not carried out with the bind result
// (message 39) and logs it as a failed bind.
void refuseBind(uint16_t connectionId, uint32_t address, int32_t result);

// orderly 1: asked for by a client or the server; kicked 1: another client
// takes the device. Takes deviceLifecycleMutex.
void unbindDevice(uint16_t bindingId, int orderly, int kicked);

// Unbinds every device bound to a connection that is going away.
void unbindConnectionDevices(uint16_t connectionId);

// Runs the "OnDeviceKick" command `script` for a binding that another
// client wants, with the device's and both clients' texts; true when the
// script lets the device be taken (exit code 1). Exit code 2 sends the
// asking client "INSUFFICIENT_PERMISSIONS_MSG".
bool runDeviceKickScript(const char* script, const DeviceBinding* binding, uint16_t askingConnection);

// The device layer's report that a bound device is being removed: a
// surprise unbind, run with deviceLifecycleMutex already held.
void unbindLeavingDevice(uint32_t address);
