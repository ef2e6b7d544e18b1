#include "ovusbd/core/devicescripts.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include "ovusbd/core/config.h"
#include "ovusbd/core/connection.h"
#include "ovusbd/core/connectionlog.h"
#include "ovusbd/core/log.h"
#include "ovusbd/core/servermessages.h"
#include "ovusbd/core/scriptcommand.h"
#include "ovusbd/core/util.h"
#include "ovusbd/usb/ignoreddevices.h"

namespace {

constexpr uint32_t kSerialOffset = 5;
// The serial is read only from requests that carry its whole field.
constexpr uint32_t kSerialPayloadAbove = 132;
constexpr size_t kSerialMax = 127;

}  // namespace

void connectionAddressText(uint16_t connectionId, char out[64]) {
    out[0] = '\0';
    sockaddr_storage remote = {};
    if (getConnectionRemoteAddress(connectionId, &remote) &&
        formatSocketAddress(reinterpret_cast<const sockaddr*>(&remote), out, 64) == nullptr) {
        out[0] = '\0';
    }
}

bool scriptAllows(int exitCode, uint16_t askingConnection, const char* eventName) {
    switch (exitCode) {
        case 1:
            return true;
        case 0:
        case -1:
            return false;
        case 2:
            sendToConnection(askingConnection, buildTextMessage("INSUFFICIENT_PERMISSIONS_MSG"));
            return false;
        default:
            logMessage(3, "Unknown return value %d from %s", exitCode, eventName);
            return false;
    }
}

bool runDeviceIgnoreScript(const char* script, uint16_t connectionId, uint16_t vendorId, uint16_t productId,
                           const char* serial) {
    char vendor[8], product[8], clientText[64] = {}, clientIp[64];
    snprintf(vendor, sizeof vendor, "%04x", vendorId);
    snprintf(product, sizeof product, "%04x", productId);
    getConnectionClientText(connectionId, clientText);
    connectionAddressText(connectionId, clientIp);
    // Without a serial "$SERIAL$" stays as the administrator wrote it.
    const char* pairs[] = {"$VENDOR_ID$", vendor,     "$PRODUCT_ID$", product, "$CLIENT_ID$",
                           clientText,    "$CLIENT_IP$", clientIp,    "$SERIAL$", serial};
    char* line = fillScriptCommand(script, pairs, serial != nullptr ? 10 : 8);
    if (line == nullptr) {
        logMessage(3, "Error %d starting OnDeviceIgnore, %s", ENOMEM, strerror(ENOMEM));
        return false;
    }
    const int code = runScriptForExitCode(line, "OnDeviceIgnore", "onDeviceIgnore script");
    free(line);
    return scriptAllows(code, connectionId, "OnDeviceIgnore");
}

void handleDeviceIgnoreRequest(uint16_t connectionId, const MessageHeader* request) {
    const uint8_t* payload = messagePayload(request);
    uint16_t vendorId, productId;
    memcpy(&vendorId, payload, 2);
    memcpy(&productId, payload + 2, 2);
    char serial[kSerialMax + 1] = {};
    const bool withSerial = payload[4] != 0 && request->payloadLength > kSerialPayloadAbove;
    if (withSerial) {
        const char* text = reinterpret_cast<const char*>(payload + kSerialOffset);
        memcpy(serial, text, strnlen(text, kSerialMax));
    }
    // Refused before the script is asked, and again as the list is edited.
    int result = ignoreDeviceRefusal(vendorId, productId, withSerial ? serial : nullptr);
    if (result == 0) {
        char* script = getConfigString("OnDeviceIgnore", nullptr, true);
        const bool allowed = script == nullptr || script[0] == '\0' ||
                             runDeviceIgnoreScript(script, connectionId, vendorId, productId, withSerial ? serial : nullptr);
        free(script);
        result = allowed ? ignoreDevice(vendorId, productId, withSerial ? serial : nullptr) : 0;
    }
    if (result == -EINVAL) {
        logConnectionMessage(connectionId, 4,
                             "Warning, refusing to ignore device %04x:%04x for connection %u: its serial holds ',' or a "
                             "control character",
                             vendorId, productId, connectionId);
    } else if (result == -ENOSPC) {
        logConnectionMessage(connectionId, 4,
                             "Warning, refusing to ignore device %04x:%04x for connection %u: %zu devices are ignored",
                             vendorId, productId, connectionId, kMaxIgnoredDevices);
    }
}
