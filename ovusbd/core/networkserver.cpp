#include "ovusbd/core/networkserver.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "ovusbd/core/bindqueue.h"
#include "ovusbd/core/connection.h"
#include "ovusbd/core/connectionlog.h"
#include "ovusbd/core/devicebinding.h"
#include "ovusbd/core/eventscripts.h"
#include "ovusbd/core/handlers.h"
#include "ovusbd/core/log.h"
#include "ovusbd/core/reverseservice.h"
#include "ovusbd/core/coresettings.h"
#include "ovusbd/core/tcpservice.h"
#include "ovusbd/core/tlsservice.h"
#include "ovusbd/core/transport.h"
#include "ovusbd/trovix/trovixservice.h"

namespace {
// What a leaving client leaves behind: its bound devices, and the counts of
// the log records it caused.
void releaseLeavingClient(uint16_t connectionId) {
    unbindConnectionDevices(connectionId);
    flushConnectionLog(connectionId);
}
} // namespace

const ConnectionCallbacks protocolConnectionCallbacks = {dispatchMessage, releaseLeavingClient, isBindingIdInUse,
                                                          startClientConnectScript, startClientDisconnectScript};

void setUpMessageHandlers() {
    fillMessageHandlerTable();
}

int startBindProcessing() {
    const int rc = startBindQueue();
    return rc < 0 ? rc : 1;
}

void stopBindProcessing() {
    stopBindQueue();
}

void buildNetworkServices(const CoreSettings& settings) {
    int rc = createServiceList(settings.sslCertPath != nullptr);
    if (rc < 0) {
        logMessage(3, "Error %d building the network services, %s", -rc, strerror(-rc));
    }
    rc = createConnectionList(settings, &protocolConnectionCallbacks);
    if (rc < 0) {
        logMessage(3, "Error %d making the connection list, %s", -rc, strerror(-rc));
    }
}

void initNetworkServices() {
    if (serviceList != nullptr) {
        runServiceInit();
    }
}

bool listenNetworkServices(int* boundPort) {
    // Without its lists the server cannot serve anyone: that is a failed start.
    if (serviceList == nullptr || !connectionListExists()) {
        return false;
    }
    return runServiceListen(boundPort);
}

void startNetworkServices() {
    if (serviceList != nullptr) {
        runServiceStart();
    }
}

void releaseNetworkServices() {
    if (serviceList != nullptr) {
        runServiceRelease();
    }
}

void stopNetworkServices() {
    if (serviceList != nullptr) {
        runServiceStop(1);
    }
}

void removeAllClients(const char* reason) {
    if (connectionListExists()) {
        removeAllClientConnections(reason);
    }
}

void freeNetworkServices() {
    destroyConnectionList();
    destroyServiceList();
}

int createServiceList(bool tls) {
    serviceList = createLockedList();
    if (serviceList == nullptr) {
        return -ENOMEM;
    }
    const CoreSettings& core = coreSettings();
    const TlsSettings settings = {core.sslCertPath, core.sslCaPath, core.sslCrlPath, core.sslRequireClientCerts,
                                  kTlsHandshakeTimeoutMs, kTlsFirstByteTimeoutMs};
    NetworkService* listener = tls ? createTlsService(&settings) : createTcpService();
    if (listener == nullptr || appendToLockedList(serviceList, listener) != 0) {
        free(listener);
        return -ENOMEM;
    }
    NetworkService* reverse = tls ? createTlsReverseService(&settings) : createTcpReverseService();
    if (reverse == nullptr || appendToLockedList(serviceList, reverse) != 0) {
        free(reverse);
        return -ENOMEM;
    }
    NetworkService* trovix = createTrovixService(tls ? &settings : nullptr);
    if (trovix == nullptr || appendToLockedList(serviceList, trovix) != 0) {
        if (trovix != nullptr) {
            trovix->deinit(trovix);
            free(trovix);
        }
        return -ENOMEM;
    }
    return 0;
}

void destroyServiceList() {
    if (serviceList == nullptr) {
        return;
    }
    runServiceDeinit();
    clearLockedList(serviceList, freeService);
    destroyLockedList(serviceList);
    serviceList = nullptr;
}
