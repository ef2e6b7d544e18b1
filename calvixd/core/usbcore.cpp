#include "calvixd/core/usbcore.h"

#include <sys/ipc.h>
#include <sys/msg.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "calvixd/core/usbcoreiface.h"
#include "calvixd/core/usbservercoreimpl.h"
#include "calvixd/net/socket.h"

namespace {

// A device that the daemon must not reset on share: the only built-in quirk.
const DeviceQuirk BUILT_IN_QUIRK = {QUIRK_BUILT_IN, 0x6547, 0x0232, 1};

// One creation step: null on success, else the error record (an exception of
// another type becomes error 8 with the step's own line).
template <typename Create>
CExceptionEx* CreateStep(Create create, uint32_t line)
{
    try {
        create();
        return nullptr;
    } catch (CExceptionEx* error) {
        return error;
    } catch (...) {
        return new CExceptionEx(MODULE_USBCORE, line, ERROR_NOT_ENOUGH_MEMORY);
    }
}

} // namespace

CRandom* CUsbCoreFactory::CreateRandom()
{
    return new CRandom();
}

CCoreIface* CUsbCoreFactory::CreateControlServer(CUsbCore* core, const char* socketName, const char* userGroup,
                                                 const char* adminGroup)
{
    return new CUsbCoreIface(core, socketName, userGroup, adminGroup);
}

Resolver* CUsbCoreFactory::CreateResolver(int maxWorkers, int idleMs)
{
    return new Resolver(maxWorkers, idleMs);
}

CUsbServerCore* CUsbCoreFactory::CreateServerCore(CUsbCore* core)
{
    return CreateDeviceServerCore(core);
}

CConfigFile* CUsbCoreFactory::CreateConfigFile()
{
    return new CConfigFile();
}

CUsbCore::CUsbCore(CEventLog* eventLog, CUsbCoreFactory* factory) : m_eventLog(eventLog)
{
    // Host names of callbacks are dialled over IPv4 only; IPv6 peers are
    // reached through their numeric address or a "tcp6" URL.
    AddressFamilyPreference = 2;
    if (!factory) {
        m_defaultFactory = std::make_unique<CUsbCoreFactory>();
        factory = m_defaultFactory.get();
    }
    m_configFile.reset(factory->CreateConfigFile());

    CExceptionEx* error = CreateStep([&] { m_random.reset(factory->CreateRandom()); }, 1572);
    if (!error)
        error = CreateStep(
            [&] {
                m_controlServer.reset(factory->CreateControlServer(this, m_socketName.c_str(), m_userGroup.c_str(),
                                                                   m_adminGroup.c_str()));
            },
            1595);
    if (!error)
        error = CreateStep([&] { m_resolver.reset(factory->CreateResolver(5, 10000)); }, 1620);
    if (!error)
        error = CreateStep([&] { m_serverCore.reset(factory->CreateServerCore(this)); }, 1647);
    if (error) {
        m_serverCore.reset();
        m_resolver.reset();
        m_controlServer.reset();
        m_random.reset();
        throw error;
    }
}

CUsbCore::~CUsbCore()
{
    // No control request may run once the rest goes down.
    m_controlServer.reset();
    ClearNotifyQueues();
    m_stop.Set();
    m_serverCore.reset();
    m_resolver.reset();
    m_random.reset();
}

void CUsbCore::Start()
{
    m_startupState = STARTUP_CONTROL;
    if (!m_controlServer->Start()) {
        // The name lives in the network namespace, not the file system: the
        // usual holder is a second daemon, which nothing else would reveal.
        if (m_controlServer->GetStartError() == EADDRINUSE && m_eventLog)
            m_eventLog->Print("Control socket name \"%s\" is held by another process (is calvixd already running?)\n",
                              m_controlServer->GetSocketName().c_str());
        throw new CExceptionEx(MODULE_USBCORE, 216, ERROR_GEN_FAILURE);
    }

    StoredSettings settings;
    settings.quirks.push_back(BUILT_IN_QUIRK);
    LoadConfig(&settings);
    m_startupState = STARTUP_CONFIG;
    m_startupState = STARTUP_SERVER;
    m_serverCore->Start(settings);
    m_startupState = STARTUP_READY;
    NotifyListeners();
}

void CUsbCore::LoadConfig(StoredSettings* settings)
{
    std::vector<DeviceQuirk> quirks = std::move(settings->quirks);
    *settings = StoredSettings();
    settings->quirks = std::move(quirks);
    m_configFile->ReadAll(settings);

    m_random->Fill(settings->serverId, sizeof(settings->serverId));
    for (const IdentityEntry& entry : settings->uniqids) {
        if (entry.id == 0) {
            memcpy(settings->serverId, entry.digest, sizeof(settings->serverId));
            break;
        }
    }
    m_eventlog = settings->eventlog;
    m_debuglog = settings->debuglog;
}

void CUsbCore::SaveConfig()
{
    // What the core holds after the stop event is being taken down: a file
    // written from it would lose the shares, exclusions and callbacks.
    if (m_stop.IsSet())
        return;
    // Saves run on the control thread, the uevent thread and the start-up
    // scan. Each collects its state outside the save mutex; a save whose
    // collection began before another's has written is older, and skipped.
    uint64_t generation = ++m_saveGeneration;
    try {
        StoredSettings settings;
        if (!m_serverCore->CollectState(&settings.snapshotDevices, &settings.snapshotConnections, nullptr)) {
            LogDebug(MODULE_USBCORE, __LINE__, ERROR_TIMEOUT);
            return;
        }
        IdentityEntry self;
        m_serverCore->GetServerId(self.digest);
        self.id = 0;
        settings.uniqids.push_back(self);
        m_serverCore->CollectIdentities(&settings.identities);
        m_serverCore->CollectNicknames(&settings.nicknames);
        m_serverCore->CollectTimeouts(&settings.timeouts);
        m_serverCore->GetDevicePolicy(&settings.policyMode, &settings.policyRules);
        m_serverCore->CollectIpFilters(&settings.ipFilterMode, &settings.ipFilterRules);
        m_serverCore->CollectDeviceAcls(&settings.aclModes, &settings.aclRules);
        m_serverCore->GetQuirks(&settings.quirks);
        // Mode 2 (on until restart) is saved as manual sharing.
        settings.autoShareMode = m_serverCore->GetAutoShareMode();
        settings.autoShare = settings.autoShareMode == 1 ? 1 : 0;
        settings.listenV4 = m_serverCore->GetListenAddressV4();
        settings.tcpPort = m_serverCore->GetTcpPort();
        settings.eventlog = m_eventlog;
        settings.debuglog = m_debuglog;

        CMutexGuard guard(&m_saveMutex);
        if (guard.LockAbortable(&m_stop, SAVE_LOCK_MS) != SYNC_OK || m_stop.IsSet())
            return;
        if (generation <= m_savedGeneration)
            return;
        if (m_configFile->WriteAll(settings))
            m_savedGeneration = generation;
    } catch (CExceptionEx* error) {
        delete error;
    } catch (...) {
    }
}

void CUsbCore::LogDebug(uint16_t module, uint32_t line, uint32_t error)
{
    if (m_debuglog && m_eventLog)
        m_eventLog->Print("Debug: Module 0x%04x Line %lu Error %lu\n", module, static_cast<unsigned long>(line),
                          static_cast<unsigned long>(error));
}

void CUsbCore::NotifyListeners()
{
    CMutexGuard guard(&m_queueMutex);
    if (guard.LockAbortable(&m_stop, 5000) != SYNC_OK) {
        LogDebug(MODULE_USBCORE, 1022, 0);
        return;
    }
    for (size_t i = 0; i < m_queues.size();) {
        int id = m_queues[i];
        CORE_NOTIFY_MESSAGE message = {1};
        bool drop = false;
        int sendError = msgsnd(id, &message, 0, IPC_NOWAIT) == 0 ? 0 : errno;
        if (sendError == EIDRM || sendError == EINVAL) {
            // Gone: a removed id answers EINVAL unless the removal raced a wait.
            drop = true;
        } else if (sendError == EAGAIN) {
            msgctl(id, IPC_RMID, nullptr);
            drop = true;
        } else {
            struct msqid_ds status;
            if (msgctl(id, IPC_STAT, &status) == 0) {
                if (status.msg_qnum > NOTIFY_QUEUE_LIMIT) {
                    msgctl(id, IPC_RMID, nullptr);
                    drop = true;
                }
            } else if (errno == EINVAL || errno == EIDRM) {
                drop = true;
            }
        }
        if (drop)
            m_queues.erase(m_queues.begin() + static_cast<std::ptrdiff_t>(i));
        else
            i++;
    }
}

void CUsbCore::CheckQueueOwner(int queueId, const struct ucred& peer, bool missingIsError)
{
    struct msqid_ds status;
    if (msgctl(queueId, IPC_STAT, &status) != 0) {
        if (missingIsError)
            throw new CExceptionEx(MODULE_USBCORE, __LINE__, ERROR_INVALID_PARAMETER);
        return;
    }
    if (peer.uid == 0 || status.msg_perm.uid == peer.uid || status.msg_perm.cuid == peer.uid)
        return;
    throw new CExceptionEx(MODULE_USBCORE, __LINE__, ERROR_ACCESS_DENIED);
}

int CUsbCore::RegisterNotifyQueue(int queueId, const struct ucred& peer)
{
    CheckQueueOwner(queueId, peer, true);
    CMutexGuard guard(&m_queueMutex);
    if (guard.LockAbortable(&m_stop, 5000) != SYNC_OK) {
        LogDebug(MODULE_USBCORE, 320, 0);
        throw new CExceptionEx(MODULE_USBCORE, 321, ERROR_TIMEOUT);
    }
    if (std::find(m_queues.begin(), m_queues.end(), queueId) == m_queues.end())
        m_queues.push_back(queueId);
    return 1;
}

void CUsbCore::UnregisterNotifyQueue(int queueId, const struct ucred& peer)
{
    CheckQueueOwner(queueId, peer, false);
    CMutexGuard guard(&m_queueMutex);
    if (guard.LockAbortable(&m_stop, 5000) != SYNC_OK) {
        LogDebug(MODULE_USBCORE, 350, 0);
        throw new CExceptionEx(MODULE_USBCORE, 351, ERROR_TIMEOUT);
    }
    m_queues.erase(std::remove(m_queues.begin(), m_queues.end(), queueId), m_queues.end());
}

void CUsbCore::ClearNotifyQueues()
{
    CMutexGuard guard(&m_queueMutex);
    if (guard.LockAbortable(&m_stop, 5000) != SYNC_OK) {
        LogDebug(MODULE_USBCORE, 376, 0);
        return;
    }
    m_queues.clear();
}

std::vector<int> CUsbCore::GetNotifyQueues()
{
    CMutexGuard guard(&m_queueMutex);
    if (guard.LockAbortable(&m_stop, 5000) != SYNC_OK)
        return {};
    return m_queues;
}

void CUsbCore::SaveAndNotify()
{
    SaveConfig();
    NotifyListeners();
}

void CUsbCore::GetSnapshot(std::vector<DeviceInfo>* devices, std::vector<ConnectionInfo>* connections,
                           std::vector<DeviceClientInfo>* clients)
{
    if (m_stop.IsSet())
        return;
    m_serverCore->CollectState(devices, connections, clients);
}

void CUsbCore::SetTcpPort(uint16_t port)
{
    // The server core saves the new port itself, also when the restart fails.
    m_serverCore->SetTcpPort(port);
    NotifyListeners();
}

void CUsbCore::SetListenAddress(const ADDRESS& address)
{
    m_serverCore->SetListenAddress(address);
    NotifyListeners();
}

void CUsbCore::SetAutoShareMode(uint32_t mode)
{
    m_serverCore->SetAutoShareMode(mode);
    SaveAndNotify();
}

void CUsbCore::ShareDevice(uint32_t deviceId, uint32_t parameter)
{
    m_serverCore->ShareDevice(deviceId, parameter, true);
    SaveAndNotify();
}

void CUsbCore::UnshareDevice(uint32_t deviceId)
{
    m_serverCore->UnshareDevice(deviceId, true);
    SaveAndNotify();
}

void CUsbCore::ConnectDevice(uint32_t deviceId, uint32_t clientId)
{
    m_serverCore->ConnectDevice(deviceId, clientId);
    NotifyListeners();
}

void CUsbCore::DisconnectDevice(uint32_t deviceId)
{
    m_serverCore->DisconnectDevice(deviceId);
    NotifyListeners();
}

void CUsbCore::GetIpFilters(uint8_t* mode, std::vector<std::string>* rules)
{
    m_serverCore->GetIpFilters(mode, rules);
}

void CUsbCore::SetIpFilters(uint8_t mode, const std::vector<std::string>& rules)
{
    m_serverCore->SetIpFilters(mode, rules);
    SaveAndNotify();
}

void CUsbCore::GetDeviceAcl(uint32_t deviceId, uint8_t* mode, std::vector<std::string>* rules)
{
    m_serverCore->GetDeviceAcl(deviceId, mode, rules);
}

void CUsbCore::SetDeviceAcl(uint32_t deviceId, uint8_t mode, const std::vector<std::string>& rules)
{
    m_serverCore->SetDeviceAcl(deviceId, mode, rules);
    SaveAndNotify();
}

void CUsbCore::SetDeviceTimeout(uint32_t deviceId, uint32_t seconds)
{
    m_serverCore->SetDeviceTimeout(deviceId, seconds);
}

void CUsbCore::SetDeviceNickname(uint32_t deviceId, const std::string& nickname)
{
    m_serverCore->SetDeviceNickname(deviceId, nickname);
}

void CUsbCore::SetDeviceResetMethod(uint32_t deviceId, uint32_t method)
{
    m_serverCore->SetDeviceResetMethod(deviceId, method);
}

void CUsbCore::GetDeviceData(uint32_t deviceId, std::vector<uint8_t>* block)
{
    m_serverCore->GetDeviceData(deviceId, block);
}

uint32_t CUsbCore::AddCallbackConnection(const std::string& address, uint16_t port, uint32_t kind)
{
    uint32_t id = m_serverCore->AddCallbackConnection(address, port, kind);
    SaveAndNotify();
    return id;
}

void CUsbCore::RemoveCallbackConnection(uint32_t id)
{
    m_serverCore->RemoveCallbackConnection(id);
    SaveAndNotify();
}

void CUsbCore::AddExclusion(uint32_t serverId, uint32_t deviceId)
{
    if (serverId == 0)
        m_serverCore->SetDeviceExcluded(deviceId, true, true);
    SaveAndNotify();
}

void CUsbCore::RemoveExclusion(uint32_t serverId, uint32_t deviceId)
{
    if (serverId == 0)
        m_serverCore->SetDeviceExcluded(deviceId, false, true);
    SaveAndNotify();
}

void CUsbCore::SetObjectFlags(uint32_t objectId, uint32_t flags)
{
    if (objectId == 0) {
        m_serverCore->SetAutoShareMode(flags & 0x1);
        uint8_t mode = (flags & 0x4) ? FILTER_MODE_DISABLED : (flags & 0x8) ? FILTER_MODE_ALLOW : FILTER_MODE_DENY;
        m_serverCore->SetIpFilterMode(mode);
    } else if (objectId >= CALLBACK_ID_FIRST && objectId <= CALLBACK_ID_LAST) {
        m_serverCore->SetCallbackConnectionFlags(objectId, flags);
    }
    SaveAndNotify();
}

void CUsbCore::GetDeviceInstanceId(uint32_t serverId, uint32_t deviceId, std::string* text)
{
    if (serverId != 0)
        throw new CExceptionEx(MODULE_USBCORE, 942, ERROR_NOT_FOUND_SERVER);
    m_serverCore->GetDeviceNodePath(deviceId, text);
}

void CUsbCore::GetDevicePolicy(uint8_t selector, uint8_t* mode, std::vector<DevicePolicyRule>* rules)
{
    if (selector == 0)
        m_serverCore->GetDevicePolicy(mode, rules);
}

void CUsbCore::SetDevicePolicy(uint8_t selector, uint8_t mode, const std::vector<DevicePolicyRule>& rules)
{
    if (selector == 0)
        m_serverCore->SetDevicePolicy(mode, rules);
    SaveAndNotify();
}
