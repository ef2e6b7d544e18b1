#include "calvixd/core/usbservercore.h"

namespace {

[[noreturn]] void NotSupported(int line)
{
    throw new CExceptionEx(MODULE_USBSERVERCORE, static_cast<uint32_t>(line), ERROR_NOT_SUPPORTED);
}

class CUnbuiltServerCore : public CUsbServerCore {
public:
    void Start(const StoredSettings&) override {}

    void CollectState(std::vector<DeviceInfo>*, std::vector<ConnectionInfo>*, std::vector<DeviceClientInfo>*) override
    {
        NotSupported(__LINE__);
    }
    void SetTcpPort(uint16_t) override { NotSupported(__LINE__); }
    void SetListenAddress(const ADDRESS&) override { NotSupported(__LINE__); }
    void SetAutoShareMode(uint32_t) override { NotSupported(__LINE__); }
    void ShareDevice(uint32_t, uint32_t, bool) override { NotSupported(__LINE__); }
    void UnshareDevice(uint32_t, bool) override { NotSupported(__LINE__); }
    void ConnectDevice(uint32_t, uint32_t) override { NotSupported(__LINE__); }
    void DisconnectDevice(uint32_t) override { NotSupported(__LINE__); }
    void GetIpFilters(uint8_t*, std::vector<std::string>*) override { NotSupported(__LINE__); }
    void SetIpFilters(uint8_t, const std::vector<std::string>&) override { NotSupported(__LINE__); }
    void SetIpFilterMode(uint8_t) override { NotSupported(__LINE__); }
    void GetDeviceAcl(uint32_t, uint8_t*, std::vector<std::string>*) override { NotSupported(__LINE__); }
    void SetDeviceAcl(uint32_t, uint8_t, const std::vector<std::string>&) override { NotSupported(__LINE__); }
    void SetDeviceTimeout(uint32_t, uint32_t) override { NotSupported(__LINE__); }
    void SetDeviceNickname(uint32_t, const std::string&) override { NotSupported(__LINE__); }
    void SetDeviceResetMethod(uint32_t, uint32_t) override { NotSupported(__LINE__); }
    void GetDeviceData(uint32_t, std::vector<uint8_t>*) override { NotSupported(__LINE__); }
    uint32_t AddCallbackConnection(const std::string&, uint16_t, uint32_t) override { NotSupported(__LINE__); }
    void RemoveCallbackConnection(uint32_t) override { NotSupported(__LINE__); }
    void SetCallbackConnectionFlags(uint32_t, uint32_t) override { NotSupported(__LINE__); }
    void SetDeviceExcluded(uint32_t, bool, bool) override { NotSupported(__LINE__); }
    void GetDeviceNodePath(uint32_t, std::string*) override { NotSupported(__LINE__); }
    void GetDevicePolicy(uint8_t*, std::vector<DevicePolicyRule>*) override { NotSupported(__LINE__); }
    void SetDevicePolicy(uint8_t, const std::vector<DevicePolicyRule>&) override { NotSupported(__LINE__); }

    void GetServerId(uint8_t[16]) override { NotSupported(__LINE__); }
    void CollectIdentities(std::vector<IdentityEntry>*) override { NotSupported(__LINE__); }
    void CollectNicknames(std::map<uint32_t, std::string>*) override { NotSupported(__LINE__); }
    void CollectTimeouts(std::map<uint32_t, uint32_t>*) override { NotSupported(__LINE__); }
    void CollectIpFilters(uint8_t*, std::vector<std::string>*) override { NotSupported(__LINE__); }
    void CollectDeviceAcls(std::map<uint32_t, uint8_t>*, std::map<uint32_t, std::vector<std::string>>*) override
    {
        NotSupported(__LINE__);
    }
    void GetQuirks(std::vector<DeviceQuirk>*) override { NotSupported(__LINE__); }
    uint32_t GetAutoShareMode() override { NotSupported(__LINE__); }
    ADDRESS GetListenAddressV4() override { NotSupported(__LINE__); }
    uint16_t GetTcpPort() override { NotSupported(__LINE__); }
};

} // namespace

CUsbServerCore* CreateUnbuiltServerCore(CUsbCore*)
{
    return new CUnbuiltServerCore();
}
