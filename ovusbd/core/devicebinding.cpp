#include "ovusbd/core/devicebinding.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

#include "ovusbd/core/config.h"
#include "ovusbd/core/connection.h"
#include "ovusbd/core/connectionlog.h"
#include "ovusbd/core/deviceannounce.h"
#include "ovusbd/core/devicescripts.h"
#include "ovusbd/core/log.h"
#include "ovusbd/core/messagetypes.h"
#include "ovusbd/core/servermessages.h"
#include "ovusbd/core/scriptcommand.h"
#include "ovusbd/core/util.h"
#include "ovusbd/usb/clientwork.h"
#include "ovusbd/usb/deviceclaim.h"
#include "ovusbd/usb/devicehooks.h"
#include "ovusbd/usb/devicerecord.h"
#include "ovusbd/usb/usbsettings.h"

namespace {

// Of DeviceBinding*; at most one per device.
LockedList* bindingList = nullptr;

constexpr uint32_t kUnbindOrdinary = 1;
constexpr uint32_t kUnbindKicked = 2;

struct FreeDeleter {
    void operator()(void* p) const { free(p); }
};
using Text = std::unique_ptr<char, FreeDeleter>;

bool matchAddress(void* item, const void* key) {
    return static_cast<DeviceBinding*>(item)->address == *static_cast<const uint32_t*>(key);
}
bool matchBindingId(void* item, const void* key) {
    return static_cast<DeviceBinding*>(item)->bindingId == *static_cast<const uint16_t*>(key);
}
bool matchConnection(void* item, const void* key) {
    return static_cast<DeviceBinding*>(item)->connectionId == *static_cast<const uint16_t*>(key);
}
void copyBinding(void* item, void* out) {
    memcpy(out, item, sizeof(DeviceBinding));
}
void freeBinding(void* item, void*) {
    free(item);
}

bool findBinding(LockedListPredicate predicate, const void* key, DeviceBinding* out) {
    if (bindingList == nullptr) {
        return false;
    }
    DeviceBinding copy = {};
    bool found = false;
    struct Out {
        DeviceBinding* copy;
        bool* found;
    } o{&copy, &found};
    forEachInLockedList(
        bindingList, predicate,
        [](void* item, void* out) {
            auto* o = static_cast<Out*>(out);
            copyBinding(item, o->copy);
            *o->found = true;
        },
        key, &o, 1);
    if (found && out != nullptr) {
        *out = copy;
    }
    return found;
}

// What the authorization and deauthorization scripts are told.
struct ScriptValues {
    uint16_t vendorId;
    uint16_t productId;
    const char* clientId;
    const char* clientIp;
    const char* serial;
    const char* password;  // null: no $PASSWORD$
    const char* devpath;
    const char* nickname;
    int bindings;  // < 0: no $NUM_BINDINGS$
};

// extra: further placeholder pairs (extraCount texts), after the values.
Text buildScriptCommand(const char* command, const ScriptValues& v, const char* const* extra = nullptr,
                        size_t extraCount = 0) {
    char vendor[8], product[8], bindings[16];
    snprintf(vendor, sizeof vendor, "%04x", v.vendorId);
    snprintf(product, sizeof product, "%04x", v.productId);
    snprintf(bindings, sizeof bindings, "%u", unsigned(v.bindings));
    const char* pairs[24];
    size_t count = 0;
    auto add = [&](const char* placeholder, const char* value) {
        pairs[count++] = placeholder;
        pairs[count++] = value;
    };
    add("$VENDOR_ID$", vendor);
    add("$PRODUCT_ID$", product);
    add("$CLIENT_ID$", v.clientId);
    add("$CLIENT_IP$", v.clientIp);
    add("$PRODUCT_SERIAL$", v.serial);
    if (v.password != nullptr) {
        add("$PASSWORD$", v.password);
    }
    add("$DEVPATH$", v.devpath);
    add("$NICKNAME$", v.nickname);
    if (v.bindings >= 0) {
        add("$NUM_BINDINGS$", bindings);
    }
    for (size_t i = 0; i + 1 < extraCount && count + 2 <= sizeof pairs / sizeof pairs[0]; i += 2) {
        add(extra[i], extra[i + 1]);
    }
    return Text(fillScriptCommand(command, pairs, count));
}

struct DeviceFacts {
    DeviceSummary summary;
    uint8_t descriptors[kDescriptorsSize];
    char sysfsPath[255];
    char nickname[64];
};

// False when the device is gone.
bool readFacts(uint32_t address, DeviceFacts* facts) {
    if (!readDeviceSummary(address, &facts->summary, facts->descriptors)) {
        return false;
    }
    getDeviceSysfsPath(address, facts->sysfsPath);
    facts->nickname[0] = '\0';
    lookupDeviceNickname(address, facts->summary.productId, facts->summary.vendorId, facts->summary.serial,
                         facts->nickname);
    return true;
}

// Maps the authorization script's answer to 1 (go on) or a bind result.
// `clientText` gets the text the binding records.
int32_t authorize(const char* command, uint16_t connectionId, uint32_t address, const DeviceFacts& facts,
                  char clientText[64]) {
    char password[128] = {};
    takeDevicePassword(connectionId, address, password);
    password[sizeof password - 1] = '\0';
    char first[33];
    snprintf(first, sizeof first, "%s", password);
    // A password longer than 32 characters carries the client's id after
    // them.
    if (strlen(password) > 32) {
        snprintf(clientText, 64, "%.63s", password + 32);
    }
    char ip[64];
    connectionAddressText(connectionId, ip);
    ScriptValues values{facts.summary.vendorId, facts.summary.productId, clientText, ip, facts.summary.serial, first,
                        facts.sysfsPath, facts.nickname, int(countConnectionBindings(connectionId))};
    Text line = buildScriptCommand(command, values);
    if (!line) {
        logMessage(3, "Error %d starting client authorization, %s", ENOMEM, strerror(ENOMEM));
        return kBindError;
    }
    const int code = runScriptForExitCode(line.get(), "client authorization", "client authorization");
    switch (code) {
        case -1:
            return kBindError;
        case 1:
            return kBindOk;
        case 0:
            return kBindUnauthorized;
        case 2:
            return kBindPasswordRequired;
        case 3:
            return kBindAuthorizationAnswered3;
        default:
            logConnectionMessage(connectionId, 3, "Unknown return value %d from clientAuthorization", code);
            return kBindError;
    }
}

// Appends the binding and marks the device bound, in one step under
// deviceLifecycleMutex: the device must still be there and free, and the
// client there with no removal begun. False when any of that fails.
bool commitBinding(uint16_t connectionId, uint32_t address, const char* clientText) {
    auto* binding = static_cast<DeviceBinding*>(calloc(1, sizeof(DeviceBinding)));
    if (binding == nullptr || bindingList == nullptr) {
        free(binding);
        return false;
    }
    binding->connectionId = connectionId;
    binding->address = address;
    snprintf(binding->clientText, sizeof binding->clientText, "%s", clientText);
    bool committed = false;
    pthread_mutex_lock(&deviceLifecycleMutex);
    binding->bindingId = nextConnectionId();
    if (binding->bindingId != 0 && connectionAcceptsBinds(connectionId) && !findBinding(matchAddress, &address, nullptr) &&
        setDeviceBound(address, true)) {
        if (appendToLockedList(bindingList, binding) == 0) {
            committed = true;
        } else {
            setDeviceBound(address, false);
        }
    }
    pthread_mutex_unlock(&deviceLifecycleMutex);
    if (!committed) {
        free(binding);
    }
    return committed;
}

// The whole unbind; deviceLifecycleMutex is held by the caller.
void unbindLocked(uint16_t bindingId, int orderly, int kicked) {
    DeviceBinding binding;
    if (!findBinding(matchBindingId, &bindingId, &binding)) {
        return;
    }
    const uint32_t address = binding.address;
    // The holder's requests end first, so that none reaches usbfs once the
    // interfaces are released. A device that went away gives its discarded
    // URBs back to the removal instead.
    stopClientWork(address, orderly ? usbSettings().unbindDrainMs : 0);
    auto facts = std::make_unique<DeviceFacts>();
    if (!readFacts(address, facts.get())) {
        memset(facts.get(), 0, sizeof(DeviceFacts));
    }
    const char* surprise[] = {"$SURPRISE_UNBOUND$", orderly ? "0" : "1"};
    runHookForDevice("onUnbind", address, false, surprise, 2);
    Text deauthorization(getConfigString("ClientDeauthorization", nullptr, false));
    if (deauthorization) {
        char clientText[64] = {};
        getConnectionClientText(binding.connectionId, clientText);
        char ip[64];
        connectionAddressText(binding.connectionId, ip);
        ScriptValues values{facts->summary.vendorId, facts->summary.productId, clientText, ip, facts->summary.serial,
                            nullptr, facts->sysfsPath, facts->nickname, -1};
        Text line = buildScriptCommand(deauthorization.get(), values);
        if (line) {
            runScriptForExitCode(line.get(), "client deauthorization", "client deauthorization");
        } else {
            logMessage(3, "Error %d starting client deauthorization, %s", ENOMEM, strerror(ENOMEM));
        }
    }
    releaseDeviceClaim(address);
    if (getConfigBool("AutoAttachToKernel", usbSettings().autoAttachDefault) && facts->sysfsPath[0] != '\0') {
        passToKernel(address, facts->summary.vendorId, facts->summary.productId, facts->sysfsPath);
    }
    setDeviceBound(address, false);
    removeFromLockedList(bindingList, matchBindingId, freeBinding, &bindingId, nullptr);
    logMessage(6, "Device %u [%04x:%04x] %sUNBOUND from connection %d", address, facts->summary.vendorId,
               facts->summary.productId, orderly ? "" : "SURPRISE ", int(binding.connectionId));
    MessageHeader* notice = newMessage({.type = kMsgDeviceUnbound, .payloadLength = 4, .deviceAddress = address});
    if (notice != nullptr) {
        const uint32_t reason = kicked ? kUnbindKicked : kUnbindOrdinary;
        memcpy(messagePayload(notice), &reason, 4);
        sendToConnection(binding.connectionId, notice);
    }
    if (orderly) {
        announceDevice(address, 0, nullptr);
    }
}

// Sends the client its bind result (message 39); a failure is logged, and
// counted per connection, since a client can ask for failing binds at will.
void sendBindResult(uint16_t connectionId, uint32_t address, const DeviceFacts& facts, bool present, int32_t result) {
    const uint8_t speed = getDeviceSpeed(address);
    const uint8_t* descriptors = present ? facts.descriptors : nullptr;
    sendToConnection(connectionId, buildBindResultMessage(address, speed, descriptors, facts.summary.serial,
                                                          facts.summary.product, result));
    if (result != kBindOk) {
        logConnectionMessage(connectionId, 3, "Error binding device %u [%04x:%04x] to connection %u, %s", address,
                             facts.summary.vendorId, facts.summary.productId, connectionId, bindResultName(result));
    }
}

} // namespace

const char* bindResultName(int32_t result) {
    // Indexed by result + 7: -7 .. 1.
    static const char* const kNames[] = {
        "BIND_PASSWORD_REQUIRED", "BIND_TRY_AGAIN", nullptr, "BIND_UNAUTHORIZED", nullptr, nullptr,
        "BIND_ERROR", "BIND UNKNOWN ERROR", "BIND_OK",
    };
    const int64_t index = int64_t(result) + 7;
    if (index < 0 || index >= int64_t(sizeof kNames / sizeof kNames[0]) || kNames[index] == nullptr) {
        return "BIND UNKNOWN ERROR";
    }
    return kNames[index];
}

int createBindingList() {
    bindingList = createLockedList();
    return bindingList != nullptr ? 0 : -ENOMEM;
}

void destroyBindingList() {
    if (bindingList == nullptr) {
        return;
    }
    // Shutdown removes every client, and with it every binding, before the
    // device layer stops: one left over is worth a line.
    if (countLockedList(bindingList) != 0) {
        logMessage(4, "Warning, stopping DeviceManager while there are bound devices");
    }
    clearLockedList(bindingList, freeBinding);
    destroyLockedList(bindingList);
    bindingList = nullptr;
}

bool findDeviceBinding(uint32_t address, DeviceBinding* out) {
    return findBinding(matchAddress, &address, out);
}

bool isBindingIdInUse(uint16_t bindingId) {
    return findBinding(matchBindingId, &bindingId, nullptr);
}

unsigned countConnectionBindings(uint16_t connectionId) {
    unsigned count = 0;
    if (bindingList != nullptr) {
        forEachInLockedList(
            bindingList, matchConnection, [](void*, void* out) { ++*static_cast<unsigned*>(out); }, &connectionId, &count,
            0);
    }
    return count;
}

void bindDevice(uint16_t connectionId, uint32_t address) {
    auto facts = std::make_unique<DeviceFacts>();
    const bool present = readFacts(address, facts.get());
    if (present && facts->summary.state == DEVICE_BOUND) {
        return;
    }
    if (present) {
        runHookForDevice("onBind", address, false, nullptr, 0);
    }
    char clientText[64] = {};
    getConnectionClientText(connectionId, clientText);
    int32_t result = present ? kBindOk : kBindError;
    if (result == kBindOk) {
        Text authorization(getConfigString("ClientAuthorization", nullptr, false));
        if (authorization) {
            result = authorize(authorization.get(), connectionId, address, *facts, clientText);
        }
    }
    if (result == kBindOk) {
        int resetResult = 0;
        if (claimDevice(address, &resetResult) < 0) {
            // The claim opened the device to client work; nobody holds it.
            pthread_mutex_lock(&deviceLifecycleMutex);
            stopClientWork(address, usbSettings().unbindDrainMs);
            pthread_mutex_unlock(&deviceLifecycleMutex);
            result = kBindError;
            if (resetResult < 0) {
                char text[256];
                snprintf(text, sizeof text, "Error \"%s\" (%d) trying to use this device.", strerror(-resetResult),
                         resetResult);
                sendToConnection(connectionId, buildTextMessage(text));
            }
        }
    }
    if (result == kBindOk && !commitBinding(connectionId, address, clientText)) {
        // The device or the client went away during the claim.
        pthread_mutex_lock(&deviceLifecycleMutex);
        stopClientWork(address, usbSettings().unbindDrainMs);
        releaseDeviceClaim(address);
        pthread_mutex_unlock(&deviceLifecycleMutex);
        result = kBindError;
    }
    sendBindResult(connectionId, address, *facts, present, result);
    if (result == kBindOk) {
        logMessage(6, "Device %u [%04x:%04x] BOUND to connection %u", address, facts->summary.vendorId,
                   facts->summary.productId, connectionId);
        announceDevice(address, 0, nullptr);
    }
}

void refuseBind(uint16_t connectionId, uint32_t address, int32_t result) {
    auto facts = std::make_unique<DeviceFacts>();
    const bool present = readFacts(address, facts.get());
    sendBindResult(connectionId, address, *facts, present, result);
}

void unbindDevice(uint16_t bindingId, int orderly, int kicked) {
    pthread_mutex_lock(&deviceLifecycleMutex);
    unbindLocked(bindingId, orderly, kicked);
    pthread_mutex_unlock(&deviceLifecycleMutex);
}

void unbindLeavingDevice(uint32_t address) {
    DeviceBinding binding;
    if (findBinding(matchAddress, &address, &binding)) {
        unbindLocked(binding.bindingId, 0, 0);
    }
}

void unbindConnectionDevices(uint16_t connectionId) {
    DeviceBinding binding;
    while (findBinding(matchConnection, &connectionId, &binding)) {
        unbindDevice(binding.bindingId, 1, 0);
    }
}

bool runDeviceKickScript(const char* script, const DeviceBinding* binding, uint16_t askingConnection) {
    auto facts = std::make_unique<DeviceFacts>();
    if (!readFacts(binding->address, facts.get())) {
        memset(facts.get(), 0, sizeof(DeviceFacts));
    }
    char holderText[64] = {}, holderIp[64], kickerText[64] = {}, kickerIp[64];
    getConnectionClientText(binding->connectionId, holderText);
    connectionAddressText(binding->connectionId, holderIp);
    getConnectionClientText(askingConnection, kickerText);
    connectionAddressText(askingConnection, kickerIp);
    ScriptValues values{facts->summary.vendorId, facts->summary.productId, holderText, holderIp, facts->summary.serial,
                        nullptr, facts->sysfsPath, facts->nickname, -1};
    const char* kicker[] = {"$KICKER_ID$", kickerText, "$KICKER_IP$", kickerIp};
    Text line = buildScriptCommand(script, values, kicker, 4);
    if (!line) {
        logMessage(3, "Error %d starting OnDeviceKick, %s", ENOMEM, strerror(ENOMEM));
        return false;
    }
    return scriptAllows(runScriptForExitCode(line.get(), "OnDeviceKick", "onDeviceKick script"), askingConnection,
                        "OnDeviceKick");
}
