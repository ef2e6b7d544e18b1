#include "calvixd/core/corenetwork.h"

#include "calvixd/core/usbservercoreimpl.h"
#include "calvixd/net/networkserver.h"

namespace {

// The remote-desktop channel's pipe.
const char* const DESKTOP_PIPE_NAME = "calvixdvc.pipe";

class CCoreNetworkOwner : public CNetworkServerOwner {
public:
    CCoreNetworkOwner(CUsbServerCoreImpl* core, CUsbServerCoreOwner* owner) : m_core(core), m_owner(owner) {}

    uint32_t GetTickMs() override { return m_core->GetTickMs(); }
    void LogDebug(uint16_t module, uint32_t line, uint32_t error) override { m_core->LogDebug(module, line, error); }
    CEventLog* GetEventLog() override { return m_owner->GetEventLog(); }
    void NotifyListeners() override { m_core->NotifyListeners(); }
    Resolver* GetResolver() override { return m_owner->GetResolver(); }
    uint8_t GetPlatformByte() override { return m_owner->GetPlatformCode(); }
    void GetServerId(uint8_t id[16]) override { m_core->GetServerId(id); }
    bool CheckIpFilters(const ADDRESS& address) override { return m_core->CheckIpFilters(address); }
    bool CollectDevices(std::vector<DeviceInfo>* devices) override { return m_core->CollectDeviceInfos(devices); }
    bool UnscrambleConnectRecord(uint8_t* record, size_t size, uint8_t platform) override
    {
        return CUsbServerCoreImpl::UnscrambleConnectRecord(record, size, platform);
    }
    uint8_t ServeDeviceConnection(CSocket* socket, uint32_t kind, const ADDRESS& address,
                                  const std::string& clientName, uint8_t platform, uint32_t deviceId,
                                  uint32_t connectionId, uint32_t* code) override
    {
        return m_core->ServeDeviceConnection(socket, kind, address, clientName, platform, deviceId, connectionId,
                                             code);
    }
    // Throws CExceptionEx*, which the command's thread logs.
    void RemoveCallbackConnection(uint32_t id) override { m_core->RemoveCallbackConnection(id); }
    void ReserveInactiveDevice(uint32_t connectionId, uint32_t deviceId, uint32_t kind, const ADDRESS& address,
                               const std::string& clientName) override
    {
        m_core->ReserveInactiveDevice(connectionId, deviceId, kind, address, clientName);
    }

private:
    CUsbServerCoreImpl* m_core;
    CUsbServerCoreOwner* m_owner;
};

// The server with its adapter, which must be made first and go last.
struct CoreNetworkOwnerHolder {
    CoreNetworkOwnerHolder(CUsbServerCoreImpl* core, CUsbServerCoreOwner* owner) : adapter(core, owner) {}
    CCoreNetworkOwner adapter;
};

class CCoreNetworkServer : private CoreNetworkOwnerHolder, public CNetworkServer {
public:
    CCoreNetworkServer(CUsbServerCoreImpl* core, CUsbServerCoreOwner* owner)
        : CoreNetworkOwnerHolder(core, owner), CNetworkServer(&adapter), m_core(core)
    {
    }
    ~CCoreNetworkServer() override { Stop(); }

    void StartListening(const ADDRESS& v4, const ADDRESS& v6, uint16_t port) override
    {
        SetListenAddresses(v4, v6, port);
        CEventLog* log = adapter.GetEventLog();
        if (port == 0) {
            if (log)
                log->Print("TCP server disabled in configuration\n");
        } else if (CExceptionEx* error = StartTcpListeners()) {
            const char* format =
                error->GetError() == ERROR_LISTEN_IN_USE
                    ? "Can not start TCP server, selected TCP port is used by another app (error %d module 0x%04x "
                      "line %d)\n"
                : error->GetError() == ERROR_LISTEN_ADDRESS
                    ? "Can not start TCP server, selected network interface is not found (error %d module 0x%04x "
                      "line %d)\n"
                    : "Can not start TCP server, error %d module 0x%04x line %d\n";
            if (log)
                log->Print(format, static_cast<int>(error->GetError()), error->GetModule(), error->GetLine());
            delete error;
        } else if (log) {
            if (v4.IsValid())
                log->Print("TCPv4 server started on %s\n", ENDPOINT_ADDRESS(v4, port).ToString());
            if (v6.IsValid())
                log->Print("TCPv6 server started on %s\n", ENDPOINT_ADDRESS(v6, port).ToString());
        }
        SetPipeName(DESKTOP_PIPE_NAME);
        if (CExceptionEx* error = StartPipeListener()) {
            const char* format =
                error->GetError() == ERROR_LISTEN_IN_USE
                    ? "Can not start RDP channel, pipe name already in use by another app (error %d module 0x%04x "
                      "line %d)\n"
                    : "Can not start RDP channel, error %d module 0x%04x line %d\n";
            if (log)
                log->Print(format, static_cast<int>(error->GetError()), error->GetModule(), error->GetLine());
            Report(error, __LINE__);
        } else if (log) {
            log->Print("RDP channel started\n");
        }
    }
    void StopListening() override
    {
        StopTcpListeners(LISTENER_STATE_OFF);
        StopPipeListener(LISTENER_STATE_OFF);
    }

private:
    void Report(CExceptionEx* error, uint32_t line)
    {
        if (!error)
            return;
        m_core->LogDebug(error->GetModule(), line, error->GetError());
        delete error;
    }

    CUsbServerCoreImpl* m_core;
};

} // namespace

CNetworkServerIface* CreateCoreNetworkServer(CUsbServerCoreImpl* core, CUsbServerCoreOwner* owner)
{
    return new CCoreNetworkServer(core, owner);
}

CNetworkServerIface* CDaemonServerCoreDeps::CreateNetworkServer(CUsbServerCore* core)
{
    return CreateCoreNetworkServer(static_cast<CUsbServerCoreImpl*>(core), GetOwner());
}

CResolverClient* CDaemonServerCoreDeps::CreateResolverClient(CUsbServerCore* core)
{
    return new CResolverClient(GetOwner()->GetResolver(), static_cast<CUsbServerCoreImpl*>(core));
}
