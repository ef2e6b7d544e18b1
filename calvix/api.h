// The C-style functions of the client API over the one process-wide
// CApiIface. Each returns true on success; on failure the calling thread's
// last error (ApiGetLastError) says why. Without an open API every function
// but ApiOpen, ApiClose, ApiGetLastError, ApiSetLastError and ApiGetVersion
// returns false and changes nothing.
//
// Lists follow the size-query convention: a null buffer asks for the size
// in bytes; a buffer too small takes the whole records that fit, stores the
// bytes copied and fails with 299.
#pragma once

#include <semaphore.h>

#include <cstdint>

#include "calvix/apiiface.h"
#include "calvix/apirecords.h"

bool ApiOpen(bool notifications);
bool ApiOpenWithNotifications();
// ApiOpen with settings other than the defaults (shorter waits in tests).
bool ApiOpenWithSettings(bool notifications, const ApiSettings& settings);
bool ApiClose();
// With an open API the calling thread's last error; without one the stored
// open error, which is reset to 17 once read.
uint32_t ApiGetLastError(uint32_t* location);
void ApiSetLastError(uint32_t code, uint32_t location);
bool ApiGetVersion(uint32_t* version);

// Cache queries.
bool ApiListDevices(API_DEVICE_RECORD* buffer, uint32_t* size);
bool ApiListServerDevices(uint32_t serverId, API_DEVICE_RECORD* buffer, uint32_t* size);
bool ApiListClients(API_CONNECTION_RECORD* buffer, uint32_t* size);
bool ApiListCallbackConnections(API_CONNECTION_RECORD* buffer, uint32_t* size);
bool ApiListServers(API_CONNECTION_RECORD* buffer, uint32_t* size);
bool ApiListOwnListeners(uint32_t serverId, API_CONNECTION_RECORD* buffer, uint32_t* size);
bool ApiGetConnectionRecord(uint32_t id, API_CONNECTION_RECORD* record);
bool ApiGetDeviceRecord(uint32_t serverId, uint32_t deviceId, API_DEVICE_RECORD* record);
bool ApiGetDeviceUserText(uint32_t clientId, uint32_t deviceId, char* buffer, uint32_t size);
bool ApiGetDeviceUserName(uint32_t clientId, uint32_t deviceId, char* buffer, uint32_t size);
bool ApiGetObjectError(uint32_t objectId, uint32_t deviceId, uint32_t* code, uint32_t* location);
bool ApiGetObjectErrorEx(uint32_t objectId, uint32_t deviceId, uint32_t* code, uint32_t* location, char* name,
                         uint32_t nameSize);
bool ApiGetConnectionErrorByKind(uint32_t id, uint32_t transport, uint32_t* code, uint32_t* location);
// Waits until the device is in use (or, for device 0, the connection is
// connected); timeoutMs -1 waits without limit.
bool ApiWaitForDeviceConnection(uint32_t id, uint32_t deviceId, bool ignoreErrors, int timeoutMs);

// Requests.
bool ApiShareDevice(uint32_t deviceId);
bool ApiShareDeviceEx(uint32_t deviceId, uint32_t parameter);
bool ApiUnshareDevice(uint32_t deviceId);
bool ApiAddExclusion(uint32_t serverId, uint32_t deviceId);
bool ApiRemoveExclusion(uint32_t serverId, uint32_t deviceId);
bool ApiConnectDevice(uint32_t deviceId, uint32_t clientId);
bool ApiDisconnectDevice(uint32_t deviceId);
bool ApiSetTcpPort(uint16_t port);
bool ApiSetListenAddressV4(uint32_t hostOrderAddress);
bool ApiSetListenAddressV4Bytes(const uint8_t* address);
bool ApiSetListenAddressV6(const uint8_t* address);
bool ApiSetDeviceTimeout(uint32_t deviceId, uint32_t seconds);
bool ApiSetDeviceNickname(uint32_t deviceId, const char* text);
bool ApiSetDeviceResetMethod(uint32_t deviceId, uint32_t method);
bool ApiSetObjectFlags(uint32_t objectId, uint32_t flags);
bool ApiSetObjectFlagsMasked(uint32_t objectId, uint32_t deviceId, uint32_t flags);
bool ApiSetAutoShare(bool on);
bool ApiSetAutoConnect(uint32_t id, bool on);
bool ApiSetDeviceAutoFlag(uint32_t objectId, uint32_t deviceId, bool on);
bool ApiSetConnectionOptionBit(uint32_t id, bool on);
bool ApiSetAutoShareMode(uint32_t mode);
bool ApiAddCallbackConnection(const char* address, uint16_t port, uint32_t kind, uint32_t* newId);
bool ApiRemoveCallbackConnection(uint32_t id);
// Rules as a multi-string: zero-terminated texts ended by an empty one.
bool ApiGetIpFilters(uint8_t* mode, char* buffer, uint32_t* size);
bool ApiSetIpFilters(uint8_t mode, const char* rules);
bool ApiGetDeviceAcl(uint32_t deviceId, uint8_t* mode, char* buffer, uint32_t* size);
bool ApiSetDeviceAcl(uint32_t deviceId, uint8_t mode, const char* rules);
bool ApiGetDevicePolicy(uint8_t* mode, API_POLICY_RULE* rules, uint32_t* size);
bool ApiGetClientDevicePolicy(uint8_t* mode, API_POLICY_RULE* rules, uint32_t* size);
bool ApiSetDevicePolicy(uint8_t mode, const API_POLICY_RULE* rules, uint32_t size);
bool ApiSetClientDevicePolicy(uint8_t mode, const API_POLICY_RULE* rules, uint32_t size);
bool ApiGetDeviceInstanceId(uint32_t serverId, uint32_t deviceId, char* buffer, uint32_t* size);
bool ApiGetDeviceData(uint32_t deviceId, void* buffer, uint32_t* size);
bool ApiGetDeviceInterfaceClasses(uint32_t serverId, uint32_t deviceId, uint8_t* buffer, uint32_t* size);
bool ApiGetVersionText(uint32_t* version, char* text, uint32_t* length);
bool ApiAddServer(const char* address, uint16_t port, uint32_t kind, uint32_t* newId);
bool ApiRemoveServer(uint32_t id);
bool ApiReserved2003(uint32_t first, uint32_t second);
bool ApiReserved2004(uint32_t serverId, uint32_t deviceId);
bool ApiReserved1021(uint32_t word);

bool ApiSetNotifyCallback(API_NOTIFY_CALLBACK callback, void* userData);
bool ApiSetNotifySemaphore(sem_t* semaphore);
