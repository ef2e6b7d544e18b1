// The network server as the daemon's server core runs it: the collaborator
// bundle that makes it, and the adapter through which it asks the core.
#pragma once

#include <memory>

#include "calvixd/core/usbservercoredeps.h"

class CUsbServerCoreImpl;

// The real network server serving core; throws as CDaemonServerCoreDeps does.
CNetworkServerIface* CreateCoreNetworkServer(CUsbServerCoreImpl* core, CUsbServerCoreOwner* owner);

class CDaemonServerCoreDeps : public CUsbServerCoreDeps {
public:
    explicit CDaemonServerCoreDeps(std::unique_ptr<CUsbServerCoreOwner> owner)
        : CUsbServerCoreDeps(std::move(owner)) {}
    // core is a CUsbServerCoreImpl that outlives the server. Throws
    // CExceptionEx* when the server's threads cannot be started.
    CNetworkServerIface* CreateNetworkServer(CUsbServerCore* core) override;
    // core is a CUsbServerCoreImpl: it hears the results of the names its
    // host rules watch.
    CResolverClient* CreateResolverClient(CUsbServerCore* core) override;
};
