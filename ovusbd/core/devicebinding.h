// What the protocol layer asks of device binding: the binding records and the
// bind and unbind entry points. Until the device layer can claim a device,
// this is the smallest honest version: no binding is ever made, and a bind
// fails as it does for a device that is not there (BIND_ERROR, speed 2).
// The device layer replaces this module when its binding lands.
#pragma once

#include <stdint.h>

struct DeviceBinding {
    uint16_t bindingId;     // from nextConnectionId; names the binding in an unbind
    uint16_t connectionId;  // the client that holds the device
    uint32_t address;       // device address
    char clientText[64];
};

// Copies the binding of the device into out; false when it is not bound.
bool findDeviceBinding(uint32_t address, DeviceBinding* out);

// True when a binding has this binding id.
bool isBindingIdInUse(uint16_t bindingId);

// Binds the device to the connection and tells the client the result
// (message 39); no result here.
void bindDevice(uint16_t connectionId, uint32_t address);

// orderly 1: asked for by a client or the server; kicked 1: another client
// takes the device.
void unbindDevice(uint16_t bindingId, int orderly, int kicked);

// Unbinds every device bound to a connection that is going away.
void unbindConnectionDevices(uint16_t connectionId);

// Runs "OnDeviceKick" for a binding that another client wants; true when
// the script lets the device be taken.
bool runDeviceKickScript(const DeviceBinding* binding, uint16_t askingConnection);
