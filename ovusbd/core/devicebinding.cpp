#include "ovusbd/core/devicebinding.h"

#include "ovusbd/core/connection.h"
#include "ovusbd/core/log.h"
#include "ovusbd/core/servermessages.h"

namespace {

// Result -1 (BIND_ERROR): the claim could not be made. Speed 2 is what the
// result carries for a device that is not in the device list.
constexpr int32_t kBindError = -1;
constexpr uint8_t kSpeedWhenGone = 2;

} // namespace

bool findDeviceBinding(uint32_t, DeviceBinding*) {
    return false;
}

bool isBindingIdInUse(uint16_t) {
    return false;
}

void bindDevice(uint16_t connectionId, uint32_t address) {
    sendToConnection(connectionId, buildBindResultMessage(address, kSpeedWhenGone, nullptr, "", "", kBindError));
    logMessage(3, "Error binding device %u [%04x:%04x] to connection %u, %s", address, 0u, 0u, connectionId,
               "BIND_ERROR");
}

void unbindDevice(uint16_t, int, int) {}

void unbindConnectionDevices(uint16_t) {}

bool runDeviceKickScript(const DeviceBinding*, uint16_t) {
    return true;
}
