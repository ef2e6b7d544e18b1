// The server core as the core object calls it: the device model and every
// sharing setting. Every operation reports failure by throwing a
// CExceptionEx* that the caller owns.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "calvixd/core/coretypes.h"

class CUsbCore;

class CUsbServerCore {
public:
    virtual ~CUsbServerCore() {}

    // Applies the stored settings and brings up the stub driver and the
    // listeners.
    virtual void Start(const StoredSettings& settings) = 0;

    // The state snapshot: fills the lists given (any may be null; the
    // client list only together with the device list), appending. False
    // when a lock was not obtained and a part of the state is missing.
    virtual bool CollectState(std::vector<DeviceInfo>* devices, std::vector<ConnectionInfo>* connections,
                              std::vector<DeviceClientInfo>* clients) = 0;
    virtual void SetTcpPort(uint16_t port) = 0;
    virtual void SetListenAddress(const ADDRESS& address) = 0;
    virtual void SetAutoShareMode(uint32_t mode) = 0;
    virtual void ShareDevice(uint32_t deviceId, uint32_t parameter, bool byUser) = 0;
    virtual void UnshareDevice(uint32_t deviceId, bool byUser) = 0;
    virtual void ConnectDevice(uint32_t deviceId, uint32_t clientId) = 0;
    virtual void DisconnectDevice(uint32_t deviceId) = 0;
    virtual void GetIpFilters(uint8_t* mode, std::vector<std::string>* rules) = 0;
    virtual void SetIpFilters(uint8_t mode, const std::vector<std::string>& rules) = 0;
    virtual void SetIpFilterMode(uint8_t mode) = 0;
    virtual void GetDeviceAcl(uint32_t deviceId, uint8_t* mode, std::vector<std::string>* rules) = 0;
    virtual void SetDeviceAcl(uint32_t deviceId, uint8_t mode, const std::vector<std::string>& rules) = 0;
    virtual void SetDeviceTimeout(uint32_t deviceId, uint32_t seconds) = 0;
    virtual void SetDeviceNickname(uint32_t deviceId, const std::string& nickname) = 0;
    virtual void SetDeviceResetMethod(uint32_t deviceId, uint32_t method) = 0;
    // The device's data block; the caller owns the copy.
    virtual void GetDeviceData(uint32_t deviceId, std::vector<uint8_t>* block) = 0;
    virtual uint32_t AddCallbackConnection(const std::string& address, uint16_t port, uint32_t kind) = 0;
    virtual void RemoveCallbackConnection(uint32_t id) = 0;
    virtual void SetCallbackConnectionFlags(uint32_t id, uint32_t flags) = 0;
    virtual void SetDeviceExcluded(uint32_t deviceId, bool excluded, bool byUser) = 0;
    virtual void GetDeviceNodePath(uint32_t deviceId, std::string* path) = 0;
    virtual void GetDevicePolicy(uint8_t* mode, std::vector<DevicePolicyRule>* rules) = 0;
    virtual void SetDevicePolicy(uint8_t mode, const std::vector<DevicePolicyRule>& rules) = 0;

    // What the configuration file is written from.
    virtual void GetServerId(uint8_t id[16]) = 0;
    virtual void CollectIdentities(std::vector<IdentityEntry>* identities) = 0;
    virtual void CollectNicknames(std::map<uint32_t, std::string>* nicknames) = 0;
    virtual void CollectTimeouts(std::map<uint32_t, uint32_t>* timeouts) = 0;
    virtual void CollectIpFilters(uint8_t* mode, std::vector<std::string>* rules) = 0;
    virtual void CollectDeviceAcls(std::map<uint32_t, uint8_t>* modes,
                                   std::map<uint32_t, std::vector<std::string>>* rules) = 0;
    virtual void GetQuirks(std::vector<DeviceQuirk>* quirks) = 0;
    virtual uint32_t GetAutoShareMode() = 0;
    virtual ADDRESS GetListenAddressV4() = 0;
    virtual uint16_t GetTcpPort() = 0;
};
