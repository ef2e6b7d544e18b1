#include "ovusbd/core/transport.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

LockedList* serviceList = nullptr;

namespace {

void initAction(void* item, void*) {
    auto* service = static_cast<NetworkService*>(item);
    if (service->init != nullptr) {
        service->init(service);
    }
}

void deinitAction(void* item, void*) {
    auto* service = static_cast<NetworkService*>(item);
    if (service->deinit != nullptr) {
        service->deinit(service);
    }
}

struct ListenWalk {
    bool ok;
    int* boundPort;
};

void listenAction(void* item, void* out) {
    auto* service = static_cast<NetworkService*>(item);
    auto* walk = static_cast<ListenWalk*>(out);
    if (walk->ok && service->listen != nullptr) {
        walk->ok = service->listen(service, walk->boundPort);
    }
}

void startAction(void* item, void*) {
    auto* service = static_cast<NetworkService*>(item);
    if (service->start != nullptr) {
        service->start(service);
    }
}

void releaseAction(void* item, void*) {
    auto* service = static_cast<NetworkService*>(item);
    if (service->release != nullptr) {
        service->release(service);
    }
}

void stopAction(void* item, void* out) {
    auto* service = static_cast<NetworkService*>(item);
    if (service->stop != nullptr) {
        service->stop(service, *static_cast<int*>(out));
    }
}

struct StartOrStop {
    uint8_t flag;
};

void startOrStopAction(void* item, void* out) {
    auto* service = static_cast<NetworkService*>(item);
    if (static_cast<StartOrStop*>(out)->flag != 0) {
        startAction(service, nullptr);
    } else if (service->stop != nullptr) {
        service->stop(service, 0);
    }
}

} // namespace

// The walks hold the service-list lock while a service's operation runs
// (stop joins a thread). Safe: service threads never touch the service list.
void runServiceInit() {
    forEachInLockedList(serviceList, nullptr, initAction, nullptr, nullptr, 0);
}

bool runServiceListen(int* boundPort) {
    ListenWalk walk{true, boundPort};
    forEachInLockedList(serviceList, nullptr, listenAction, nullptr, &walk, 0);
    return walk.ok;
}

void runServiceStart() {
    forEachInLockedList(serviceList, nullptr, startAction, nullptr, nullptr, 0);
}

void runServiceRelease() {
    forEachInLockedList(serviceList, nullptr, releaseAction, nullptr, nullptr, 0);
}

void runServiceStop(int flag) {
    forEachInLockedList(serviceList, nullptr, stopAction, nullptr, &flag, 0);
}

void runServiceDeinit() {
    forEachInLockedList(serviceList, nullptr, deinitAction, nullptr, nullptr, 0);
}

bool matchServiceName(void* item, const void* key) {
    return strstr(static_cast<NetworkService*>(item)->name, static_cast<const char*>(key)) != nullptr;
}

void startOrStopService(const char* key, uint8_t flag) {
    StartOrStop arg{flag};
    forEachInLockedList(serviceList, matchServiceName, startOrStopAction, key, &arg, 1);
}

void freeService(void* item, void*) {
    free(item);
}
