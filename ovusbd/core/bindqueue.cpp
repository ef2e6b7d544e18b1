#include "ovusbd/core/bindqueue.h"

#include <errno.h>
#include <stdlib.h>

#include "ovusbd/core/config.h"
#include "ovusbd/core/connection.h"
#include "ovusbd/core/devicebinding.h"
#include "ovusbd/core/log.h"
#include "ovusbd/core/util.h"

LockedList* bindQueue = nullptr;

namespace {
pthread_t bindThread;
bool bindThreadRunning = false;
} // namespace

void queueBindRequest(uint16_t connectionId, uint32_t deviceAddress, bool bind) {
    auto* request = static_cast<BindRequest*>(calloc(1, sizeof(BindRequest)));
    if (request == nullptr) {
        logMessage(3, "Error, no memory to queue a %s request of connection %u", bind ? "bind" : "unbind", connectionId);
        return;
    }
    request->connectionId = connectionId;
    request->deviceAddress = deviceAddress;
    request->bindFlag = bind ? 1 : 0;
    if (appendToLockedList(bindQueue, request) != 0) {
        logMessage(3, "Error, no memory to queue a %s request of connection %u", bind ? "bind" : "unbind", connectionId);
        free(request);
    }
}

namespace {

void processBind(const BindRequest* request) {
    const auto connectionId = uint16_t(request->connectionId);
    // A client that left while its request waited must not end up holding a
    // device that nobody will ever release.
    if (!connectionExists(connectionId)) {
        logMessage(6, "Dropping %s request for device %u: connection %u is gone", request->bindFlag ? "bind" : "unbind",
                   request->deviceAddress, connectionId);
        return;
    }
    DeviceBinding binding;
    const bool bound = findDeviceBinding(request->deviceAddress, &binding);
    if (request->bindFlag) {
        if (!bound) {
            bindDevice(connectionId, request->deviceAddress);
        }
        return;
    }
    if (!bound) {
        return;
    }
    if (binding.connectionId == connectionId) {
        unbindDevice(binding.bindingId, 1, 0);
        return;
    }
    char* kick = getConfigString("OnDeviceKick", nullptr, false);
    const bool allowed = kick == nullptr || kick[0] == '\0' || runDeviceKickScript(kick, &binding, connectionId);
    free(kick);
    if (allowed) {
        unbindDevice(binding.bindingId, 1, 1);
    }
}

} // namespace

void* bindUnbindProcessingThread(void*) {
    for (;;) {
        auto* request = static_cast<BindRequest*>(takeFromLockedList(bindQueue));
        if (request == nullptr) {
            break;
        }
        processBind(request);
        free(request);
    }
    return nullptr;
}

int startBindQueue() {
    bindQueue = createLockedList();
    if (bindQueue == nullptr) {
        return -ENOMEM;
    }
    const int rc = pthread_create(&bindThread, nullptr, bindUnbindProcessingThread, nullptr);
    if (rc != 0) {
        destroyLockedList(bindQueue);
        bindQueue = nullptr;
        return -rc;
    }
    bindThreadRunning = true;
    return 0;
}

void stopBindQueue() {
    if (bindQueue == nullptr) {
        return;
    }
    if (bindThreadRunning) {
        while (appendToLockedList(bindQueue, nullptr) != 0) {
            sleepMilliseconds(100);  // no memory for the stop item yet
        }
        pthread_join(bindThread, nullptr);
        bindThreadRunning = false;
    }
    clearLockedList(bindQueue, [](void* item, void*) { free(item); });
    destroyLockedList(bindQueue);
    bindQueue = nullptr;
}
