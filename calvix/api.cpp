#include "calvix/api.h"

#include <arpa/inet.h>

#include <new>

#include "calvix/controlwire.h"

namespace {

// The process-wide instance; ApiOpen and ApiClose are called once each, on
// one thread, so the pointer needs no lock.
CApiIface* g_api = nullptr;
// The reason of the last failed open while no instance exists.
uint32_t g_openError = API_ERROR_BAD_COMMAND;
uint32_t g_openLocation = 0;

constexpr uint32_t Here(uint32_t line)
{
    return static_cast<uint32_t>(MODULE_CLIENTAPI) << 16 | line;
}

} // namespace

bool ApiOpenWithSettings(bool notifications, const ApiSettings& settings)
{
    if (g_api) {
        g_api->SetLastError(API_ERROR_ALREADY_DONE, Here(__LINE__));
        return false;
    }
    try {
        g_api = new CApiIface(notifications, settings);
        return true;
    } catch (CExceptionEx* error) {
        g_openError = error->GetError();
        g_openLocation = static_cast<uint32_t>(error->GetModule()) << 16 | error->GetLine();
        delete error;
    } catch (std::bad_alloc&) {
        g_openError = API_ERROR_NOT_ENOUGH_MEMORY;
        g_openLocation = Here(__LINE__);
    } catch (...) {
        g_openError = API_ERROR_GEN_FAILURE;
        g_openLocation = Here(__LINE__);
    }
    return false;
}

bool ApiOpen(bool notifications)
{
    return ApiOpenWithSettings(notifications, ApiSettings());
}

bool ApiOpenWithNotifications()
{
    return ApiOpen(true);
}

bool ApiClose()
{
    delete g_api;
    g_api = nullptr;
    return true;
}

uint32_t ApiGetLastError(uint32_t* location)
{
    if (g_api)
        return g_api->GetLastError(location);
    uint32_t code = g_openError;
    if (location)
        *location = g_openLocation;
    g_openError = API_ERROR_BAD_COMMAND;
    g_openLocation = 0;
    return code;
}

void ApiSetLastError(uint32_t code, uint32_t location)
{
    if (g_api) {
        g_api->SetLastError(code, location);
    } else {
        g_openError = code;
        g_openLocation = location;
    }
}

bool ApiGetVersion(uint32_t* version)
{
    if (!version)
        return false;
    *version = CORE_INTERFACE_VERSION;
    return true;
}

bool ApiListDevices(API_DEVICE_RECORD* buffer, uint32_t* size)
{
    return g_api && g_api->ListDevices(buffer, size);
}

bool ApiListServerDevices(uint32_t serverId, API_DEVICE_RECORD* buffer, uint32_t* size)
{
    return g_api && g_api->ListServerDevices(serverId, buffer, size);
}

bool ApiListClients(API_CONNECTION_RECORD* buffer, uint32_t* size)
{
    return g_api && g_api->ListClients(buffer, size);
}

bool ApiListCallbackConnections(API_CONNECTION_RECORD* buffer, uint32_t* size)
{
    return g_api && g_api->ListCallbackConnections(buffer, size);
}

bool ApiListServers(API_CONNECTION_RECORD* buffer, uint32_t* size)
{
    return g_api && g_api->ListServers(buffer, size);
}

bool ApiListOwnListeners(uint32_t serverId, API_CONNECTION_RECORD* buffer, uint32_t* size)
{
    return g_api && g_api->ListOwnListeners(serverId, buffer, size);
}

bool ApiGetConnectionRecord(uint32_t id, API_CONNECTION_RECORD* record)
{
    return g_api && g_api->GetConnectionRecord(id, record);
}

bool ApiGetDeviceRecord(uint32_t serverId, uint32_t deviceId, API_DEVICE_RECORD* record)
{
    return g_api && g_api->GetDeviceRecord(serverId, deviceId, record);
}

bool ApiGetDeviceUserText(uint32_t clientId, uint32_t deviceId, char* buffer, uint32_t size)
{
    return g_api && g_api->GetDeviceUserText(clientId, deviceId, buffer, size, false);
}

bool ApiGetDeviceUserName(uint32_t clientId, uint32_t deviceId, char* buffer, uint32_t size)
{
    return g_api && g_api->GetDeviceUserText(clientId, deviceId, buffer, size, true);
}

bool ApiGetObjectError(uint32_t objectId, uint32_t deviceId, uint32_t* code, uint32_t* location)
{
    return g_api && g_api->GetObjectError(objectId, deviceId, code, location, nullptr, 0);
}

bool ApiGetObjectErrorEx(uint32_t objectId, uint32_t deviceId, uint32_t* code, uint32_t* location, char* name,
                         uint32_t nameSize)
{
    return g_api && g_api->GetObjectError(objectId, deviceId, code, location, name, nameSize);
}

bool ApiGetConnectionErrorByKind(uint32_t id, uint32_t transport, uint32_t* code, uint32_t* location)
{
    return g_api && g_api->GetConnectionErrorByKind(id, transport, code, location);
}

bool ApiWaitForDeviceConnection(uint32_t id, uint32_t deviceId, bool ignoreErrors, int timeoutMs)
{
    return g_api && g_api->WaitForDeviceConnection(id, deviceId, ignoreErrors, timeoutMs);
}

bool ApiShareDevice(uint32_t deviceId)
{
    return g_api && g_api->ShareDevice(deviceId);
}

bool ApiShareDeviceEx(uint32_t deviceId, uint32_t parameter)
{
    return g_api && g_api->ShareDeviceEx(deviceId, parameter);
}

bool ApiUnshareDevice(uint32_t deviceId)
{
    return g_api && g_api->UnshareDevice(deviceId);
}

bool ApiAddExclusion(uint32_t serverId, uint32_t deviceId)
{
    return g_api && g_api->AddExclusion(serverId, deviceId);
}

bool ApiRemoveExclusion(uint32_t serverId, uint32_t deviceId)
{
    return g_api && g_api->RemoveExclusion(serverId, deviceId);
}

bool ApiConnectDevice(uint32_t deviceId, uint32_t clientId)
{
    if (!g_api)
        return false;
    bool done = g_api->ConnectDevice(deviceId, clientId);
    g_api->RefreshSnapshotQuiet();
    return done;
}

bool ApiDisconnectDevice(uint32_t deviceId)
{
    return g_api && g_api->DisconnectDevice(deviceId);
}

bool ApiSetTcpPort(uint16_t port)
{
    return g_api && g_api->SetTcpPort(port);
}

bool ApiSetListenAddressV4(uint32_t hostOrderAddress)
{
    uint32_t networkOrder = htonl(hostOrderAddress);
    return g_api && g_api->SetListenAddress(reinterpret_cast<const uint8_t*>(&networkOrder), 4);
}

bool ApiSetListenAddressV4Bytes(const uint8_t* address)
{
    return g_api && g_api->SetListenAddress(address, 4);
}

bool ApiSetListenAddressV6(const uint8_t* address)
{
    return g_api && g_api->SetListenAddress(address, 16);
}

bool ApiSetDeviceTimeout(uint32_t deviceId, uint32_t seconds)
{
    return g_api && g_api->SetDeviceTimeout(deviceId, seconds);
}

bool ApiSetDeviceNickname(uint32_t deviceId, const char* text)
{
    return g_api && g_api->SetDeviceNickname(deviceId, text);
}

bool ApiSetDeviceResetMethod(uint32_t deviceId, uint32_t method)
{
    if (!g_api)
        return false;
    bool done = g_api->SetDeviceResetMethod(deviceId, method);
    g_api->RefreshSnapshotQuiet();
    return done;
}

bool ApiSetObjectFlags(uint32_t objectId, uint32_t flags)
{
    return g_api && g_api->SetObjectFlags(objectId, flags);
}

bool ApiSetObjectFlagsMasked(uint32_t objectId, uint32_t deviceId, uint32_t flags)
{
    return g_api && g_api->SetObjectFlagsMasked(objectId, deviceId, flags);
}

bool ApiSetAutoShare(bool on)
{
    return g_api && g_api->SetAutoShare(on);
}

bool ApiSetAutoConnect(uint32_t id, bool on)
{
    return g_api && g_api->SetAutoConnect(id, on);
}

bool ApiSetDeviceAutoFlag(uint32_t objectId, uint32_t deviceId, bool on)
{
    return g_api && g_api->SetDeviceAutoFlag(objectId, deviceId, on);
}

bool ApiSetConnectionOptionBit(uint32_t id, bool on)
{
    return g_api && g_api->SetConnectionOptionBit(id, on);
}

bool ApiSetAutoShareMode(uint32_t mode)
{
    return g_api && g_api->SetAutoShareMode(mode);
}

bool ApiAddCallbackConnection(const char* address, uint16_t port, uint32_t kind, uint32_t* newId)
{
    if (!g_api)
        return false;
    bool done = g_api->AddCallbackConnection(address, port, kind, newId);
    g_api->RefreshSnapshotQuiet();
    return done;
}

bool ApiRemoveCallbackConnection(uint32_t id)
{
    if (!g_api)
        return false;
    bool done = g_api->RemoveCallbackConnection(id);
    g_api->RefreshSnapshotQuiet();
    return done;
}

bool ApiGetIpFilters(uint8_t* mode, char* buffer, uint32_t* size)
{
    return g_api && g_api->GetIpFilters(mode, buffer, size);
}

bool ApiSetIpFilters(uint8_t mode, const char* rules)
{
    return g_api && g_api->SetIpFilters(mode, rules);
}

bool ApiGetDeviceAcl(uint32_t deviceId, uint8_t* mode, char* buffer, uint32_t* size)
{
    return g_api && g_api->GetDeviceAcl(deviceId, mode, buffer, size);
}

bool ApiSetDeviceAcl(uint32_t deviceId, uint8_t mode, const char* rules)
{
    return g_api && g_api->SetDeviceAcl(deviceId, mode, rules);
}

bool ApiGetDevicePolicy(uint8_t* mode, API_POLICY_RULE* rules, uint32_t* size)
{
    return g_api && g_api->GetDevicePolicy(0, mode, rules, size);
}

bool ApiGetClientDevicePolicy(uint8_t* mode, API_POLICY_RULE* rules, uint32_t* size)
{
    return g_api && g_api->GetDevicePolicy(1, mode, rules, size);
}

bool ApiSetDevicePolicy(uint8_t mode, const API_POLICY_RULE* rules, uint32_t size)
{
    return g_api && g_api->SetDevicePolicy(0, mode, rules, size);
}

bool ApiSetClientDevicePolicy(uint8_t mode, const API_POLICY_RULE* rules, uint32_t size)
{
    return g_api && g_api->SetDevicePolicy(1, mode, rules, size);
}

bool ApiGetDeviceInstanceId(uint32_t serverId, uint32_t deviceId, char* buffer, uint32_t* size)
{
    return g_api && g_api->GetDeviceInstanceId(serverId, deviceId, buffer, size);
}

bool ApiGetDeviceData(uint32_t deviceId, void* buffer, uint32_t* size)
{
    return g_api && g_api->GetDeviceData(deviceId, buffer, size);
}

bool ApiGetDeviceInterfaceClasses(uint32_t serverId, uint32_t deviceId, uint8_t* buffer, uint32_t* size)
{
    return g_api && g_api->GetDeviceInterfaceClasses(serverId, deviceId, buffer, size);
}

bool ApiGetVersionText(uint32_t* version, char* text, uint32_t* length)
{
    return g_api && g_api->GetVersionText(version, text, length);
}

bool ApiAddServer(const char* address, uint16_t port, uint32_t kind, uint32_t* newId)
{
    if (!g_api)
        return false;
    bool done = g_api->AddServer(address, port, kind, newId);
    g_api->RefreshSnapshotQuiet();
    return done;
}

bool ApiRemoveServer(uint32_t id)
{
    if (!g_api)
        return false;
    bool done = g_api->RemoveServer(id);
    g_api->RefreshSnapshotQuiet();
    return done;
}

bool ApiReserved2003(uint32_t first, uint32_t second)
{
    if (!g_api)
        return false;
    bool done = g_api->Reserved2003(first, second);
    g_api->RefreshSnapshotQuiet();
    return done;
}

bool ApiReserved2004(uint32_t serverId, uint32_t deviceId)
{
    return g_api && g_api->Reserved2004(serverId, deviceId);
}

bool ApiReserved1021(uint32_t word)
{
    return g_api && g_api->Reserved1021(word);
}

bool ApiSetNotifyCallback(API_NOTIFY_CALLBACK callback, void* userData)
{
    if (!g_api)
        return false;
    g_api->SetNotifyCallback(callback, userData);
    return true;
}

bool ApiSetNotifySemaphore(sem_t* semaphore)
{
    return g_api && g_api->SetNotifySemaphore(semaphore);
}
