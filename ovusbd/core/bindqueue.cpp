#include "ovusbd/core/bindqueue.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "ovusbd/core/config.h"
#include "ovusbd/core/connection.h"
#include "ovusbd/core/connectionlog.h"
#include "ovusbd/core/coresettings.h"
#include "ovusbd/core/devicebinding.h"
#include "ovusbd/core/util.h"

LockedList* bindQueue = nullptr;

namespace {
pthread_t bindThread;
bool bindThreadRunning = false;

// Requests queued or being carried out, by connection id. A connection id is
// 16 bits, so a counter per id is a fixed 128 KiB however many clients come.
pthread_mutex_t pendingLock = PTHREAD_MUTEX_INITIALIZER;
uint16_t pending[65536];  // guarded by pendingLock

bool takeShare(uint16_t connectionId) {
    pthread_mutex_lock(&pendingLock);
    const bool room = pending[connectionId] < coreSettings().bindRequestsPerClient;
    if (room) {
        pending[connectionId]++;
    }
    pthread_mutex_unlock(&pendingLock);
    return room;
}

void returnShare(uint16_t connectionId) {
    pthread_mutex_lock(&pendingLock);
    if (pending[connectionId] > 0) {
        pending[connectionId]--;
    }
    pthread_mutex_unlock(&pendingLock);
}
} // namespace

int queueBindRequest(uint16_t connectionId, uint32_t deviceAddress, bool bind) {
    if (!takeShare(connectionId)) {
        return -EAGAIN;
    }
    auto* request = static_cast<BindRequest*>(calloc(1, sizeof(BindRequest)));
    if (request == nullptr) {
        returnShare(connectionId);
        return -ENOMEM;
    }
    request->connectionId = connectionId;
    request->deviceAddress = deviceAddress;
    request->bindFlag = bind ? 1 : 0;
    if (appendToLockedList(bindQueue, request) != 0) {
        free(request);
        returnShare(connectionId);
        return -ENOMEM;
    }
    return 0;
}

unsigned pendingBindRequests(uint16_t connectionId) {
    pthread_mutex_lock(&pendingLock);
    const unsigned count = pending[connectionId];
    pthread_mutex_unlock(&pendingLock);
    return count;
}

namespace {

void processBind(const BindRequest* request) {
    const auto connectionId = uint16_t(request->connectionId);
    // A client that left while its request waited must not end up holding a
    // device that nobody will ever release.
    if (!connectionExists(connectionId)) {
        logConnectionMessage(connectionId, 6, "Dropping %s request for device %u: connection %u is gone",
                             request->bindFlag ? "bind" : "unbind", request->deviceAddress, connectionId);
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
        returnShare(uint16_t(request->connectionId));
        free(request);
    }
    return nullptr;
}

int startBindQueue() {
    pthread_mutex_lock(&pendingLock);
    memset(pending, 0, sizeof pending);
    pthread_mutex_unlock(&pendingLock);
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
