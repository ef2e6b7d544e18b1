// What the control server asks of the object it serves: one operation per
// control request, with the meaning the core object gives it. Failures are
// thrown as CExceptionEx*, which the caller owns.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <vector>

#include "calvixd/core/coretypes.h"

class CCoreRequests {
public:
    virtual ~CCoreRequests() {}

    virtual uint32_t GetStartupState() const = 0;
    virtual void LogDebug(uint16_t module, uint32_t line, uint32_t error) = 0;

    virtual void GetSnapshot(std::vector<DeviceInfo>* devices, std::vector<ConnectionInfo>* connections,
                             std::vector<DeviceClientInfo>* clients) = 0;
    virtual void SetTcpPort(uint16_t port) = 0;
    virtual void SetListenAddress(const ADDRESS& address) = 0;
    virtual void SetAutoShareMode(uint32_t mode) = 0;
    virtual void ShareDevice(uint32_t deviceId, uint32_t parameter) = 0;
    virtual void UnshareDevice(uint32_t deviceId) = 0;
    virtual void ConnectDevice(uint32_t deviceId, uint32_t clientId) = 0;
    virtual void DisconnectDevice(uint32_t deviceId) = 0;
    virtual void GetIpFilters(uint8_t* mode, std::vector<std::string>* rules) = 0;
    virtual void SetIpFilters(uint8_t mode, const std::vector<std::string>& rules) = 0;
    virtual void GetDeviceAcl(uint32_t deviceId, uint8_t* mode, std::vector<std::string>* rules) = 0;
    virtual void SetDeviceAcl(uint32_t deviceId, uint8_t mode, const std::vector<std::string>& rules) = 0;
    virtual void SetDeviceTimeout(uint32_t deviceId, uint32_t seconds) = 0;
    virtual void SetDeviceNickname(uint32_t deviceId, const std::string& nickname) = 0;
    virtual void SetDeviceResetMethod(uint32_t deviceId, uint32_t method) = 0;
    // The device's data block with its real size; empty when it has none.
    virtual void GetDeviceData(uint32_t deviceId, std::vector<uint8_t>* block) = 0;
    virtual uint32_t AddCallbackConnection(const std::string& address, uint16_t port, uint32_t kind) = 0;
    virtual void RemoveCallbackConnection(uint32_t id) = 0;
    virtual void AddExclusion(uint32_t serverId, uint32_t deviceId) = 0;
    virtual void RemoveExclusion(uint32_t serverId, uint32_t deviceId) = 0;
    virtual void SetObjectFlags(uint32_t objectId, uint32_t flags) = 0;
    virtual void GetDeviceInstanceId(uint32_t serverId, uint32_t deviceId, std::string* text) = 0;
    virtual void GetDevicePolicy(uint8_t selector, uint8_t* mode, std::vector<DevicePolicyRule>* rules) = 0;
    virtual void SetDevicePolicy(uint8_t selector, uint8_t mode, const std::vector<DevicePolicyRule>& rules) = 0;
    // peer is the caller's kernel credentials (SO_PEERCRED).
    virtual int RegisterNotifyQueue(int queueId, const struct ucred& peer) = 0;
    virtual void UnregisterNotifyQueue(int queueId, const struct ucred& peer) = 0;
};
