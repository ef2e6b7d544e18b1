// The collaborators of the server core, given to it in one bundle: its
// owner, the stub driver's control device, the sysfs root, the stub factory,
// the network server, the resolver client and the tick source. The defaults
// are the production parts; tests derive and pass recording fakes and a fake
// clock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "calvixd/core/eventlog.h"
#include "calvixd/net/loaderapi.h"
#include "calvixd/net/networkserveriface.h"
#include "calvixd/net/resolver.h"
#include "calvixd/net/resolverclient.h"
#include "calvixd/net/usbstub.h"
#include "calvixd/net/usbsysfs.h"

class CUsbCore;
class CUsbServerCore;

// What the server core asks of the object that owns it.
class CUsbServerCoreOwner {
public:
    virtual ~CUsbServerCoreOwner() {}
    virtual uint32_t GetStartupState() = 0;
    virtual void LogDebug(uint16_t module, uint32_t line, uint32_t error) = 0;
    // Both are called only while the server core holds none of its locks.
    virtual void NotifyListeners() = 0;
    virtual void SaveConfig() = 0;
    // Null when the event log is off.
    virtual CEventLog* GetEventLog() = 0;
    virtual uint8_t GetPlatformCode() = 0;
    // The name resolver; null when names are not resolved.
    virtual Resolver* GetResolver() { return nullptr; }
};

// The production owner: the daemon's core object.
class CUsbCoreOwner : public CUsbServerCoreOwner {
public:
    explicit CUsbCoreOwner(CUsbCore* core) : m_core(core) {}
    uint32_t GetStartupState() override;
    void LogDebug(uint16_t module, uint32_t line, uint32_t error) override;
    void NotifyListeners() override;
    void SaveConfig() override;
    CEventLog* GetEventLog() override;
    uint8_t GetPlatformCode() override;
    Resolver* GetResolver() override;

private:
    CUsbCore* m_core; // not owned
};

class CUsbServerCoreDeps {
public:
    // owner must outlive the server core.
    explicit CUsbServerCoreDeps(CUsbServerCoreOwner* owner) : m_owner(owner) {}
    // Takes the owner adapter along.
    explicit CUsbServerCoreDeps(std::unique_ptr<CUsbServerCoreOwner> owner)
        : m_owner(owner.get()), m_ownedOwner(std::move(owner)) {}
    virtual ~CUsbServerCoreDeps() {}
    CUsbServerCoreDeps(const CUsbServerCoreDeps&) = delete;
    CUsbServerCoreDeps& operator=(const CUsbServerCoreDeps&) = delete;

    CUsbServerCoreOwner* GetOwner() const { return m_owner; }

    // Each Create hands over a new object that the core owns.
    virtual std::string GetSysfsRoot() { return usbSysfsRoot; }
    // Throws CExceptionEx* when the stub driver is missing.
    virtual CLoaderApi* CreateLoader(CLoaderEvents* events) { return new CLoaderApiKmod(events, GetSysfsRoot()); }
    // The daemon's bundle (CreateDeviceServerCore) makes the real network
    // server; this one reaches nobody.
    virtual CNetworkServerIface* CreateNetworkServer(CUsbServerCore*) { return new CIdleNetworkServer(); }
    virtual CResolverClient* CreateResolverClient(CUsbServerCore*) { return new CResolverClient(nullptr, nullptr); }
    // Throws as CreateKmodUsbStub does.
    virtual std::shared_ptr<CUsbStub> CreateStub(const UsbStubParams& params) { return CreateKmodUsbStub(params); }
    // How long the destructor waits for the worker to end.
    virtual int GetWorkerJoinMs() { return 20000; }
    // Milliseconds, wrapping modulo 2^32.
    virtual uint32_t GetTickMs() { return GetTickCountMs(); }

private:
    CUsbServerCoreOwner* m_owner;
    std::unique_ptr<CUsbServerCoreOwner> m_ownedOwner;
};
