#include "calvixd/core/usbservercoreimpl.h"

#include "calvixd/core/corenetwork.h"

#include <cerrno>
#include <cstring>
#include <new>

#include "calvixd/core/linetext.h"
#include "calvixd/core/threadreaper.h"
#include "calvixd/core/usbcore.h"
#include "calvixd/core/usbservercorelimits.h"

namespace {

constexpr int ARRIVAL_CONFIG_TRIES = 40;
constexpr int ARRIVAL_CONFIG_WAIT_MS = 25;
constexpr int WORKER_TICK_MS = 1000;
constexpr uint8_t DEVICE_CLASS_HUB = 9;
constexpr uint8_t RESET_MODE_REPLUG = 3;

[[noreturn]] void Fail(uint32_t line, uint32_t error)
{
    FailRequest(line, error);
}

} // namespace

uint32_t CUsbCoreOwner::GetStartupState()
{
    return m_core->GetStartupState();
}

void CUsbCoreOwner::LogDebug(uint16_t module, uint32_t line, uint32_t error)
{
    m_core->LogDebug(module, line, error);
}

void CUsbCoreOwner::NotifyListeners()
{
    m_core->NotifyListeners();
}

void CUsbCoreOwner::SaveConfig()
{
    m_core->SaveConfig();
}

CEventLog* CUsbCoreOwner::GetEventLog()
{
    return m_core->GetEventLog();
}

uint8_t CUsbCoreOwner::GetPlatformCode()
{
    return m_core->GetPlatformCode();
}

Resolver* CUsbCoreOwner::GetResolver()
{
    return m_core->GetResolver();
}

CUsbServerCore* CreateDeviceServerCore(CUsbCore* owner)
{
    return new CUsbServerCoreImpl(
        std::make_unique<CDaemonServerCoreDeps>(std::make_unique<CUsbCoreOwner>(owner)));
}

// ---------------------------------------------------------------------------
// Life cycle

CUsbServerCoreImpl::CUsbServerCoreImpl(std::unique_ptr<CUsbServerCoreDeps> deps)
    : m_deps(std::move(deps)), m_owner(m_deps->GetOwner()), m_eventLog(m_owner->GetEventLog())
{
    m_sysfs = std::make_unique<UsbSysfs>(m_deps->GetSysfsRoot());
    m_resolverClient.reset(m_deps->CreateResolverClient(this));
    m_network.reset(m_deps->CreateNetworkServer(this));
    m_loader.reset(m_deps->CreateLoader(this));
    m_workerState = std::make_shared<WorkerState>();
    m_workerState->core = this;
    auto* reference = new std::shared_ptr<WorkerState>(m_workerState);
    m_worker = CThread::Create(WorkerThread, reference, CTHREAD_JOINABLE);
    if (!m_worker) {
        delete reference; // the thread never ran
        Fail(__LINE__, ERROR_NOT_ENOUGH_MEMORY);
    }
}

CUsbServerCoreImpl::~CUsbServerCoreImpl()
{
    // No client and no device event may arrive while the devices are
    // taken down.
    m_network->StopListening();
    m_loader->Stop();
    RemoveAllCallbackConnections();
    m_stop.Set();
    m_workerState->stop.Set();
    UnshareAllOnShutdown();
    // Waits for a result being delivered: none may reach the records
    // destroyed below.
    m_resolverClient.reset();
    StopWorker();
    m_network.reset();
    StubList released;
    for (auto& entry : m_devices) {
        if (entry.second.device)
            DetachStub(entry.second.device.get(), &released);
    }
    released.clear();
    m_devices.clear();
}

void CUsbServerCoreImpl::StopWorker()
{
    // The worker calls the network server, so it ends first.
    if (m_worker->Join(m_deps->GetWorkerJoinMs()) == SYNC_OK) {
        delete m_worker;
        m_worker = nullptr;
        return;
    }
    // Destroying a running thread object stops the program. The thread is
    // left running: once a step it is in has returned it no longer reaches
    // this object, and its state stays alive with it until it ends.
    LogDebug(MODULE_USBSERVERCORE, __LINE__, ERROR_TIMEOUT);
    {
        CMutexGuard guard(&m_workerState->coreLock);
        guard.Lock(LOCK_NO_LIMIT);
        m_workerState->core = nullptr;
    }
    CThreadReaper::JoinOrAbandon(&m_worker, 0, m_workerState, nullptr, MODULE_USBSERVERCORE, __LINE__);
}

void CUsbServerCoreImpl::WakeWorker()
{
    m_workerState->wake.Set();
}

int CUsbServerCoreImpl::WorkerThread(void* argument)
{
    std::shared_ptr<WorkerState> state = std::move(*static_cast<std::shared_ptr<WorkerState>*>(argument));
    delete static_cast<std::shared_ptr<WorkerState>*>(argument);
    try {
        WorkerLoop(state.get());
    } catch (CExceptionEx* error) {
        CMutexGuard guard(&state->coreLock);
        guard.Lock(LOCK_NO_LIMIT);
        if (state->core)
            state->core->LogDebug(error->GetModule(), error->GetLine(), error->GetError());
        delete error;
    } catch (...) {
        CMutexGuard guard(&state->coreLock);
        guard.Lock(LOCK_NO_LIMIT);
        if (state->core)
            state->core->LogDebug(MODULE_USBSERVERCORE, __LINE__, 0);
    }
    return 0;
}

void CUsbServerCoreImpl::WorkerLoop(WorkerState* state)
{
    int timeout = 0;
    for (;;) {
        int result = state->wake.WaitAbortable(&state->stop, timeout);
        if (result != SYNC_OK && result != SYNC_TIMEOUT)
            return;
        state->wake.Reset();
        timeout = LOCK_NO_LIMIT;
        CMutexGuard guard(&state->coreLock);
        guard.Lock(LOCK_NO_LIMIT);
        if (!state->core)
            return;
        bool reservations = state->core->ExpirePendingConnections();
        bool connecting = state->core->ExpireConnectingDevices();
        if (reservations || connecting)
            timeout = WORKER_TICK_MS;
    }
}

void CUsbServerCoreImpl::Start(const StoredSettings& settings)
{
    m_autoShareOn = settings.autoShare != 0;
    m_autoShareMode = settings.autoShare != 0 ? 1 : 0;
    memcpy(m_serverId, settings.serverId, sizeof(m_serverId));

    CMutexGuard guard(&m_deviceMutex);
    if (guard.LockAbortable(&m_stop, LOCK_NO_LIMIT) != SYNC_OK)
        Fail(__LINE__, ERROR_TIMEOUT);
    // Stored ids first, so that known devices keep theirs.
    ApplyIdentities(settings.identities);
    ApplyConfiguredDevices(settings.devices);
    ApplyNicknames(settings.nicknames);
    ApplyTimeouts(settings.timeouts);
    ApplyDevicePolicyAndAcls(settings);
    m_quirks = settings.quirks;
    bool ruled = BuildLoaderRules();
    bool quirked = ruled && SendQuirks();
    guard.Unlock();
    ApplyNetworkSettings(settings);
    if (!ruled || !quirked)
        Fail(__LINE__, ERROR_DRIVER_REFUSED);

    // The devices already present arrive from here on, each taking the
    // device mutex itself.
    m_loader->Start();
    m_network->StartListening(settings.listenV4, settings.listenV6, settings.tcpPort);
    WatchHostRules();
}

void CUsbServerCoreImpl::ApplyDevicePolicyAndAcls(const StoredSettings& settings)
{
    m_policyMode = settings.policyMode;
    m_policyRules = settings.policyRules;
    for (const auto& [id, mode] : settings.aclModes) {
        UsbDevice* d = SettingsRecord(id);
        if (!d)
            continue;
        auto rules = settings.aclRules.find(id);
        d->aclRules.clear();
        // Rules the file holds are installed also when invalid: they never
        // match.
        if (rules != settings.aclRules.end())
            ValidateRules(rules->second, &d->aclRules);
        d->aclMode = mode;
        if (mode != 0)
            d->flags |= DEVICE_FLAG_ACL;
        else
            d->flags &= ~DEVICE_FLAG_ACL;
    }
}

void CUsbServerCoreImpl::ApplyNetworkSettings(const StoredSettings& settings)
{
    {
        std::vector<IpFilterRuleEntry> rules;
        ValidateRules(settings.ipFilterRules, &rules);
        CMutexAutoGuard guard(&m_ipFilterMutex, &m_stop, LOCK_REQUEST_LONG_MS);
        m_ipFilterMode = settings.ipFilterMode;
        m_ipFilterRules.swap(rules);
    }
    {
        CMutexAutoGuard guard(&m_listenMutex, &m_stop, LOCK_REQUEST_LONG_MS);
        m_listenV4 = settings.listenV4;
        m_listenV6 = settings.listenV6;
        m_tcpPort = settings.tcpPort;
    }
    ApplyCallbackConnections(settings.callbacks);
}

void CUsbServerCoreImpl::ApplyIdentities(const std::vector<IdentityEntry>& identities)
{
    for (const IdentityEntry& entry : identities) {
        if (entry.id == 0 || m_devices.count(entry.id))
            continue;
        memcpy(m_devices[entry.id].identity, entry.digest, MD5_DIGEST_SIZE);
    }
}

void CUsbServerCoreImpl::ApplyConfiguredDevices(const std::vector<ConfiguredDevice>& devices)
{
    for (const ConfiguredDevice& stored : devices) {
        if (stored.serverNumber != 0 || (stored.serial.empty() && stored.port.empty()))
            continue;
        // A serial identifies the device unless a device present now already
        // answers to it; otherwise the port does.
        std::string identity = stored.port;
        if (!stored.serial.empty()) {
            bool taken = false;
            for (auto& entry : m_devices) {
                const UsbDevice* d = entry.second.device.get();
                if (d && d->IsPresent() && d->vendorId == stored.vendorId && d->productId == stored.productId &&
                    d->instanceIdentity == stored.serial)
                    taken = true;
            }
            if (!taken)
                identity = stored.serial;
        }
        bool isNew = false;
        uint32_t id = GetDeviceId(stored.vendorId, stored.productId, stored.bcdDevice, identity, &isNew);
        if (id == 0)
            continue;
        std::unique_ptr<UsbDevice>& record = m_devices[id].device;
        if (record && record->IsPresent())
            continue;
        if (!record)
            record.reset(NewRememberedDevice());
        UsbDevice* d = record.get();
        d->id = id;
        d->SetState(DEVICE_STATE_NOT_PLUGGED, Now());
        d->vendorId = stored.vendorId;
        d->productId = stored.productId;
        d->bcdDevice = stored.bcdDevice;
        d->usbVersion = 0;
        d->deviceClass = stored.deviceClass;
        d->subClass = stored.subClass;
        d->protocol = stored.protocol;
        d->shareMode = stored.shareKind;
        d->flags = stored.flags & ~DEVICE_FLAG_HIDDEN;
        d->name = stored.name;
        d->instanceIdentity = identity;
        d->nickname = stored.nickname;
        d->serial = stored.serial;
        d->port = stored.port;
        d->timeout = stored.timeout;
        d->speed = DEVICE_SPEED_UNKNOWN;
        d->resetMode = DEVICE_RESET_MODE_UNSET;
    }
}

// The record that stored settings of `id` go to: a remembered record is made
// for a known slot without one; null when the id has no slot.
UsbDevice* CUsbServerCoreImpl::SettingsRecord(uint32_t id)
{
    auto slot = m_devices.find(id);
    if (slot == m_devices.end())
        return nullptr;
    if (!slot->second.device)
        slot->second.device.reset(NewRememberedDevice());
    UsbDevice* d = slot->second.device.get();
    d->id = id;
    return d;
}

void CUsbServerCoreImpl::ApplyNicknames(const std::map<uint32_t, std::string>& nicknames)
{
    for (const auto& [id, nickname] : nicknames) {
        UsbDevice* d = SettingsRecord(id);
        if (!d)
            continue;
        d->nickname = nickname;
        if (nickname.empty())
            d->flags &= ~DEVICE_FLAG_NICKNAME;
        else
            d->flags |= DEVICE_FLAG_NICKNAME;
    }
}

void CUsbServerCoreImpl::ApplyTimeouts(const std::map<uint32_t, uint32_t>& timeouts)
{
    for (const auto& [id, seconds] : timeouts) {
        UsbDevice* d = SettingsRecord(id);
        if (!d)
            continue;
        d->timeout = seconds;
        if (seconds)
            d->flags |= DEVICE_FLAG_TIMEOUT;
        else
            d->flags &= ~DEVICE_FLAG_TIMEOUT;
    }
}

UsbDevice* CUsbServerCoreImpl::NewRememberedDevice()
{
    UsbDevice* d = new UsbDevice();
    d->flags = DEVICE_FLAG_HIDDEN;
    d->SetState(DEVICE_STATE_NOT_PLUGGED, Now());
    return d;
}

void CUsbServerCoreImpl::LogDebug(uint16_t module, uint32_t line, uint32_t error)
{
    m_owner->LogDebug(module, line, error);
}

void CUsbServerCoreImpl::NotifyListeners()
{
    m_owner->NotifyListeners();
}

void CUsbServerCoreImpl::LogDevice(const char* what, const UsbDevice& d)
{
    if (m_eventLog)
        m_eventLog->Print("USB device %s (%s; VID %04x; PID %04x; Serial %s; Port %s).\n", what, d.name.c_str(),
                          d.vendorId, d.productId, d.serial.c_str(), d.port.c_str());
}

void CUsbServerCoreImpl::LockForRequest(CMutexGuard* guard, int ms, uint32_t line)
{
    if (guard->LockAbortable(&m_stop, ms) != SYNC_OK) {
        LogDebug(MODULE_USBSERVERCORE, line, 0);
        Fail(line, ERROR_TIMEOUT);
    }
}

// ---------------------------------------------------------------------------
// Ids and records (device mutex held)

uint32_t CUsbServerCoreImpl::GetDeviceId(uint16_t vendorId, uint16_t productId, uint16_t,
                                         const std::string& identity, bool* isNew)
{
    uint8_t digest[MD5_DIGEST_SIZE];
    ComputeDeviceIdentity(vendorId, productId, identity, digest);
    for (const auto& entry : m_devices) {
        if (memcmp(entry.second.identity, digest, MD5_DIGEST_SIZE) == 0) {
            *isNew = false;
            return entry.first;
        }
    }
    uint32_t id = 1;
    for (const auto& entry : m_devices) {
        if (entry.first == id) {
            if (++id == 0)
                return 0; // every id is taken
        } else if (entry.first > id) {
            break;
        }
    }
    memcpy(m_devices[id].identity, digest, MD5_DIGEST_SIZE);
    *isNew = true;
    return id;
}

void CUsbServerCoreImpl::AddDevice(uint32_t deviceId, const UsbDeviceInfo& info)
{
    auto slot = m_devices.find(deviceId);
    if (slot == m_devices.end()) {
        LogDebug(MODULE_USBSERVERCORE, __LINE__, 0);
        return;
    }
    std::unique_ptr<UsbDevice>& record = slot->second.device;
    if (record && (record->stub || record->HasClient())) {
        // A repeated report must not tear down a device that is shared or
        // used right now.
        LogDebug(MODULE_USBSERVERCORE, __LINE__, 0);
        return;
    }
    if (!record) {
        UsbDevice* made = new (std::nothrow) UsbDevice();
        if (!made) {
            LogDebug(MODULE_USBSERVERCORE, __LINE__, 0);
            return;
        }
        made->id = deviceId;
        made->flags = 0;
        record.reset(made);
    }
    UsbDevice* d = record.get();
    uint32_t now = Now();
    d->vendorId = info.vendorId;
    d->productId = info.productId;
    d->bcdDevice = info.bcdDevice;
    d->usbVersion = info.usbVersion;
    d->deviceClass = info.deviceClass;
    d->subClass = info.subClass;
    d->protocol = info.protocol;
    d->port = info.busId;
    d->serial = info.serial;
    d->instanceIdentity = info.instanceIdentity;
    d->name = info.Name();
    d->speed = info.speed;
    memcpy(d->textBlock, info.textBlock, sizeof(d->textBlock));
    d->descriptors.clear();
    d->clientConnectionId = 0;
    d->handedBack = false;
    d->SetState(DEVICE_STATE_PLUGGED, now);

    d->flags &= ~DEVICE_FLAG_HIDDEN;
    d->ClearClientKind();
    d->flags |= DEVICE_FLAG_DETECTED_2 | DEVICE_FLAG_DETECTED;
    auto setFlag = [d](uint32_t bit, bool on) {
        if (on)
            d->flags |= bit;
        else
            d->flags &= ~bit;
    };
    setFlag(DEVICE_FLAG_REMOTE_WAKEUP, info.remoteWakeup != 0);
    setFlag(DEVICE_FLAG_NICKNAME, !d->nickname.empty());
    setFlag(DEVICE_FLAG_TIMEOUT, d->timeout != 0);
    if (d->quirkFlags == 0)
        d->quirkFlags = GetQuirkFlags(d->vendorId, d->productId);
    if (d->resetMode == DEVICE_RESET_MODE_UNSET) {
        d->resetMode = GetQuirkResetMode(d->vendorId, d->productId);
        if (d->resetMode == DEVICE_RESET_MODE_UNSET)
            d->resetMode = DEVICE_RESET_MODE_HARD;
    }
    setFlag(DEVICE_FLAG_RESET_MODE, d->resetMode != 0);
    setFlag(DEVICE_FLAG_ACL, d->aclMode != 0);
    setFlag(DEVICE_FLAG_SERIAL, !d->serial.empty());

    if (ShouldShare(d))
        d->SetState(DEVICE_STATE_INITIALIZING, now);
    LogDevice(m_owner->GetStartupState() < STARTUP_READY ? "detected" : "plugged", *d);
}

bool CUsbServerCoreImpl::BuildLoaderRules()
{
    std::vector<LoaderRule> rules;
    auto policyRules = [&](uint32_t verdict) {
        for (const DevicePolicyRule& p : m_policyRules) {
            LoaderRule rule;
            rule.flags = (p.flags & 0xFB) | verdict;
            rule.vendorId = p.vendorId;
            rule.productId = p.productId;
            rule.deviceClass = p.deviceClass;
            rule.subClass = p.subClass;
            rule.protocol = p.protocol;
            rule.port = p.port;
            rule.serial = p.serial;
            rules.push_back(rule);
        }
    };
    auto deviceRules = [&](bool excluded, uint32_t verdict) {
        for (const auto& entry : m_devices) {
            const UsbDevice* d = entry.second.device.get();
            if (!d || d->IsHidden())
                continue;
            if (excluded ? d->shareMode != SHARE_MODE_EXCLUDED : !d->IsSharedByUser())
                continue;
            LoaderRule rule;
            rule.flags = LOADER_RULE_IDENTITY | LOADER_RULE_VENDOR | LOADER_RULE_PRODUCT | verdict;
            rule.vendorId = d->vendorId;
            rule.productId = d->productId;
            rule.instanceIdentity = d->instanceIdentity;
            rules.push_back(rule);
        }
    };
    bool autoOn = m_autoShareOn;
    if (autoOn && m_policyMode == FILTER_MODE_DENY)
        policyRules(LOADER_RULE_LEAVE);
    deviceRules(true, LOADER_RULE_LEAVE);
    deviceRules(false, LOADER_RULE_CLAIM);
    if (autoOn && m_policyMode == FILTER_MODE_ALLOW)
        policyRules(LOADER_RULE_CLAIM);
    LoaderRule catchAll;
    catchAll.flags = autoOn && m_policyMode != FILTER_MODE_ALLOW ? LOADER_RULE_CLAIM : LOADER_RULE_LEAVE;
    rules.push_back(catchAll);
    return m_loader->SetClaimRules(rules);
}

UsbDevice* CUsbServerCoreImpl::FindDevice(uint32_t deviceId)
{
    auto slot = m_devices.find(deviceId);
    return slot == m_devices.end() ? nullptr : slot->second.device.get();
}

UsbDevice* CUsbServerCoreImpl::FindPresentByPort(const std::string& busId)
{
    for (auto& entry : m_devices) {
        UsbDevice* d = entry.second.device.get();
        if (d && d->port == busId && d->IsPresent())
            return d;
    }
    return nullptr;
}

void CUsbServerCoreImpl::DetachStub(UsbDevice* device, StubList* released)
{
    if (!device->stub)
        return;
    device->stub->RequestStop();
    released->push_back(std::move(device->stub));
    device->stub.reset();
}

// ---------------------------------------------------------------------------
// Device events

void CUsbServerCoreImpl::OnDeviceArrived(const std::string& busId)
{
    for (int i = 0; i < ARRIVAL_CONFIG_TRIES && !m_sysfs->HasConfiguration(busId); i++) {
        if (m_stop.Wait(ARRIVAL_CONFIG_WAIT_MS) == SYNC_OK)
            return;
    }
    UsbDeviceInfo info;
    if (!m_sysfs->ReadDeviceInfo(busId, &info)) {
        LogDebug(MODULE_USBSERVERCORE, __LINE__, 0);
        return;
    }
    if (info.deviceClass == DEVICE_CLASS_HUB)
        return;
    if (!m_loader->QueryDeviceString(busId, &info.instanceIdentity)) {
        LogDebug(MODULE_USBSERVERCORE, __LINE__, 0);
        return;
    }

    CMutexGuard guard(&m_deviceMutex);
    if (guard.LockAbortable(&m_stop, LOCK_NO_LIMIT) != SYNC_OK) {
        LogDebug(MODULE_USBSERVERCORE, __LINE__, 0);
        return;
    }
    bool isNew = false;
    uint32_t id = GetDeviceId(info.vendorId, info.productId, info.bcdDevice, info.instanceIdentity, &isNew);
    UsbDevice* same = id ? FindDevice(id) : nullptr;
    if (same && same->IsPresent() && same->port != busId) {
        // Another device with the same ids and identity (a duplicated serial)
        // is plugged in: this one is known by its port instead.
        bool portNew = false;
        id = GetDeviceId(info.vendorId, info.productId, info.bcdDevice, busId, &portNew);
        isNew = isNew || portNew;
    }
    if (id == 0)
        LogDebug(MODULE_USBSERVERCORE, __LINE__, 0);
    else
        AddDevice(id, info);
    guard.Unlock();

    if (isNew)
        m_owner->SaveConfig();
    NotifyListeners();
}

void CUsbServerCoreImpl::OnStubAttached(const std::string& busId)
{
    CMutexGuard guard(&m_deviceMutex);
    if (guard.LockAbortable(&m_stop, LOCK_NO_LIMIT) != SYNC_OK) {
        LogDebug(MODULE_USBSERVERCORE, __LINE__, 0);
        return;
    }
    // Only a present device: a remembered record may name the same port.
    UsbDevice* d = FindPresentByPort(busId);
    if (!d || d->stub)
        return;
    if ((d->state == DEVICE_STATE_PLUGGED || d->state == DEVICE_STATE_INITIALIZING) && !ShouldShare(d)) {
        // The driver holds a device that is not to be shared (a claim rule
        // took it before the model changed its mind): it is handed back, once
        // per arrival, so that a driver that keeps claiming it cannot make a
        // loop of it.
        if (!d->handedBack) {
            d->handedBack = true;
            d->SetState(DEVICE_STATE_PLUGGED, Now());
            int result = m_loader->Rebind(d->port);
            if (result < 0)
                LogDebug(MODULE_USBSERVERCORE, __LINE__, static_cast<uint32_t>(-result));
        }
        return;
    }
    if (d->state != DEVICE_STATE_INITIALIZING)
        return;

    try {
        int stubNumber = m_loader->GetStubNumber(d->port);
        if (stubNumber == -1)
            Fail(__LINE__, ERROR_DRIVER_REFUSED);
        UsbStubParams params;
        params.stubNumber = stubNumber;
        params.owner = this;
        params.deviceId = d->id;
        params.textBlock = d->textBlock;
        params.timeout = d->timeout;
        params.resetMode = d->resetMode;
        params.quirkFlags = d->quirkFlags;
        std::shared_ptr<CUsbStub> stub = m_deps->CreateStub(params);
        if (!stub)
            throw std::bad_alloc();
        LogDevice(m_autoShareOn ? "auto-shared" : "shared", *d);
        d->SetState(DEVICE_STATE_SHARED, Now());
        d->stub = std::move(stub);

        auto reservation = m_reservations.find(d->id);
        if (reservation != m_reservations.end()) {
            const PendingConnection& r = reservation->second;
            m_network->BroadcastDeviceInUseDetails(*d, SetClientKindFlags(d->flags, r.kind), r.address,
                                                   r.connectionId, DELIVER_ALL_BUT);
            m_network->BroadcastDeviceAvailable(*d, r.connectionId, DELIVER_ONLY);
        } else {
            m_network->BroadcastDeviceAvailable(*d, 0, DELIVER_ALL);
        }
    } catch (CExceptionEx* error) {
        if (m_eventLog)
            m_eventLog->Print("USB device sharing failed, error %d module 0x%04x line %d (%s; VID %04x; PID %04x; "
                              "Serial %s; Port %s).\n",
                              static_cast<int>(error->GetError()), error->GetModule(), error->GetLine(),
                              d->name.c_str(), d->vendorId, d->productId, d->serial.c_str(), d->port.c_str());
        delete error;
    } catch (std::bad_alloc&) {
        if (m_eventLog)
            m_eventLog->Print("USB device sharing failed, not enough memory (%s; VID %04x; PID %04x; Serial %s; "
                              "Port %s).\n",
                              d->name.c_str(), d->vendorId, d->productId, d->serial.c_str(), d->port.c_str());
    } catch (...) {
        if (m_eventLog)
            m_eventLog->Print("USB device sharing failed, unknown error (%s; VID %04x; PID %04x; Serial %s; "
                              "Port %s).\n",
                              d->name.c_str(), d->vendorId, d->productId, d->serial.c_str(), d->port.c_str());
    }
    guard.Unlock();
    NotifyListeners();
}

void CUsbServerCoreImpl::OnDeviceRemoved(const std::string& busId)
{
    StubList released;
    CMutexGuard guard(&m_deviceMutex);
    if (guard.LockAbortable(&m_stop, LOCK_NO_LIMIT) != SYNC_OK) {
        LogDebug(MODULE_USBSERVERCORE, __LINE__, 0);
        return;
    }
    UsbDevice* d = FindPresentByPort(busId);
    if (!d)
        return;
    if (d->state == DEVICE_STATE_CONNECTING) {
        m_network->ReleaseConnection(d->clientConnectionId);
        d->lastError = CExceptionEx(MODULE_USBSERVERCORE, __LINE__, ERROR_CONNECTION_CANCELLED);
    }
    d->SetState(DEVICE_STATE_NOT_PLUGGED, Now());
    d->ClearClientKind();
    d->descriptors.clear();
    d->descriptors.shrink_to_fit();
    if (d->stub) {
        DetachStub(d, &released);
        m_network->BroadcastDeviceRemoved(d->id, 0, DELIVER_ALL);
    }
    if (!d->IsSharedByUser() && (d->flags & DEVICE_FLAG_AUTO_SHARED)) {
        auto reservation = m_reservations.find(d->id);
        if (reservation != m_reservations.end())
            m_network->BroadcastDeviceUnshared(d->id, reservation->second.connectionId, DELIVER_ALL_BUT);
        else
            m_network->BroadcastDeviceUnshared(d->id, 0, DELIVER_ALL);
    }
    LogDevice("unplugged", *d);
    if (d->CanForget())
        m_devices[d->id].device.reset();
    guard.Unlock();
    // A stub waits for its data connection to end when it goes.
    released.clear();
    NotifyListeners();
}

void CUsbServerCoreImpl::SetDeviceConfiguration(uint32_t deviceId, int value)
{
    CMutexGuard guard(&m_deviceMutex);
    if (guard.LockAbortable(&m_stop, LOCK_CONFIGURATION_MS) != SYNC_OK) {
        LogDebug(MODULE_USBSERVERCORE, __LINE__, 0);
        return;
    }
    UsbDevice* d = FindDevice(deviceId);
    if (d && (d->state == DEVICE_STATE_IN_USE || d->state == DEVICE_STATE_INACTIVE)) {
        int result = m_sysfs->SetConfiguration(d->port, value);
        if (result < 0)
            LogDebug(MODULE_USBSERVERCORE, __LINE__, static_cast<uint32_t>(-result));
    }
}

std::shared_ptr<CUsbStub> CUsbServerCoreImpl::GetStub(uint32_t deviceId)
{
    CMutexGuard guard(&m_deviceMutex);
    if (guard.LockAbortable(&m_stop, LOCK_REQUEST_SHORT_MS) != SYNC_OK)
        return nullptr;
    UsbDevice* d = FindDevice(deviceId);
    return d ? d->stub : nullptr;
}

// ---------------------------------------------------------------------------
// Settings collected for the configuration file

void CUsbServerCoreImpl::GetServerId(uint8_t id[16])
{
    memcpy(id, m_serverId, sizeof(m_serverId));
}

void CUsbServerCoreImpl::CollectIdentities(std::vector<IdentityEntry>* identities)
{
    CMutexAutoGuard guard(&m_deviceMutex, &m_stop, LOCK_REQUEST_SHORT_MS);
    for (const auto& entry : m_devices) {
        IdentityEntry identity;
        memcpy(identity.digest, entry.second.identity, MD5_DIGEST_SIZE);
        identity.id = entry.first;
        identities->push_back(identity);
    }
}

void CUsbServerCoreImpl::CollectNicknames(std::map<uint32_t, std::string>* nicknames)
{
    CMutexAutoGuard guard(&m_deviceMutex, &m_stop, LOCK_REQUEST_SHORT_MS);
    for (const auto& entry : m_devices) {
        const UsbDevice* d = entry.second.device.get();
        if (d && (d->flags & DEVICE_FLAG_NICKNAME))
            (*nicknames)[entry.first] = d->nickname;
    }
}

void CUsbServerCoreImpl::CollectTimeouts(std::map<uint32_t, uint32_t>* timeouts)
{
    CMutexAutoGuard guard(&m_deviceMutex, &m_stop, LOCK_REQUEST_SHORT_MS);
    for (const auto& entry : m_devices) {
        const UsbDevice* d = entry.second.device.get();
        if (d && (d->flags & DEVICE_FLAG_TIMEOUT))
            (*timeouts)[entry.first] = d->timeout;
    }
}

// ---------------------------------------------------------------------------
// State snapshot and the settings the configuration save reads

bool CUsbServerCoreImpl::CollectState(std::vector<DeviceInfo>* devices, std::vector<ConnectionInfo>* connections,
                                      std::vector<DeviceClientInfo>* clients)
{
    bool complete = !m_stop.IsSet();
    if (connections) {
        ListenerView view;
        view.tcpState = m_network->GetTcpV4State();
        view.tcpError = m_network->GetTcpV4Error();
        view.pipeState = m_network->GetPipeListenerState();
        view.pipeError = m_network->GetPipeListenerError();
        view.autoShare = m_autoShareOn;
        view.platformCode = m_owner->GetPlatformCode();
        {
            CMutexGuard guard(&m_listenMutex);
            if (guard.LockAbortable(&m_stop, LOCK_REQUEST_SHORT_MS) == SYNC_OK) {
                view.listenV4 = m_listenV4;
                view.tcpPort = m_tcpPort;
            } else {
                complete = false;
            }
        }
        {
            CMutexGuard guard(&m_ipFilterMutex);
            if (guard.LockAbortable(&m_stop, LOCK_REQUEST_SHORT_MS) == SYNC_OK)
                view.ipFilterMode = m_ipFilterMode;
            else
                complete = false;
        }
        AppendListenerInfo(view, connections);

        std::vector<ConnectionSnapshot> open;
        m_network->ListConnections(&open);
        std::map<uint32_t, CallbackEntry> callbacks;
        CMutexGuard guard(&m_callbackMutex);
        if (guard.LockAbortable(&m_stop, LOCK_REQUEST_SHORT_MS) == SYNC_OK) {
            callbacks = m_callbacks;
            guard.Unlock();
        } else {
            LogDebug(MODULE_USBSERVERCORE, __LINE__, 0);
            complete = false;
        }
        AppendConnectionInfo(callbacks, &open, connections);
    }
    if (devices) {
        CMutexGuard guard(&m_deviceMutex);
        if (guard.LockAbortable(&m_stop, LOCK_CONFIGURATION_MS) != SYNC_OK) {
            LogDebug(MODULE_USBSERVERCORE, __LINE__, 0);
            return false;
        }
        for (auto& entry : m_devices) {
            UsbDevice* d = entry.second.device.get();
            if (!d || d->IsHidden())
                continue;
            devices->push_back(MakeDeviceInfo(*d));
            if (!clients || !d->HasClient())
                continue;
            // The device keeps the name once the network server knows it.
            if (d->clientName.empty())
                d->clientName = m_network->GetConnectionName(d->clientConnectionId);
            DeviceClientInfo client;
            client.deviceId = d->id;
            client.clientAddress = d->clientAddress;
            client.clientName = d->clientName;
            clients->push_back(client);
        }
    }
    return complete && !m_stop.IsSet();
}

ADDRESS CUsbServerCoreImpl::GetListenAddressV4()
{
    CMutexAutoGuard guard(&m_listenMutex, &m_stop, LOCK_REQUEST_LONG_MS);
    return m_listenV4;
}

uint16_t CUsbServerCoreImpl::GetTcpPort()
{
    CMutexAutoGuard guard(&m_listenMutex, &m_stop, LOCK_REQUEST_LONG_MS);
    return m_tcpPort;
}

// ---------------------------------------------------------------------------
// Listener changes. The new values are saved even when the listeners do not
// start again, so the next start uses them.

void CUsbServerCoreImpl::SetTcpPort(uint16_t port)
{
    ADDRESS v4, v6;
    {
        CMutexAutoGuard guard(&m_listenMutex, &m_stop, LOCK_REQUEST_LONG_MS);
        v4 = m_listenV4;
        v6 = m_listenV6;
        m_tcpPort = port;
    }
    m_network->StopTcpServer(v4, v6, port);
    CExceptionEx* error = nullptr;
    if (port != 0) {
        if (m_eventLog)
            m_eventLog->Print("TCP port changed to %d\n", static_cast<int>(port));
        error = m_network->StartTcpServer();
        if (error && m_eventLog) {
            const char* format = error->GetError() == ERROR_LISTEN_IN_USE
                                     ? "Can not restart TCP server after changing TCP port, selected TCP port is "
                                       "used by another app (error %d module 0x%04x line %d)\n"
                                     : "Can not restart TCP server after changing TCP port, error %d module 0x%04x "
                                       "line %d\n";
            m_eventLog->Print(format, static_cast<int>(error->GetError()), error->GetModule(), error->GetLine());
        }
    } else if (m_eventLog) {
        m_eventLog->Print("TCP server disabled\n");
    }
    m_owner->SaveConfig();
    if (error) {
        NotifyListeners();
        throw error;
    }
}

void CUsbServerCoreImpl::SetListenAddress(const ADDRESS& address)
{
    if (!address.IsIPv4())
        Fail(__LINE__, ERROR_INVALID_PARAMETER);
    uint32_t state = m_network->GetTcpServerState();
    ADDRESS v6;
    uint16_t port;
    {
        CMutexAutoGuard guard(&m_listenMutex, &m_stop, LOCK_REQUEST_LONG_MS);
        m_listenV4 = address;
        v6 = m_listenV6;
        port = m_tcpPort;
    }
    m_network->StopTcpServer(address, v6, port);
    m_owner->SaveConfig();
    if (m_eventLog)
        m_eventLog->Print("%s network interface changed to %s\n", address.GetFamilyName(), address.ToString());
    if (state == LISTENER_OFF)
        return;
    if (CExceptionEx* error = m_network->StartTcpServer()) {
        const char* format = error->GetError() == ERROR_LISTEN_ADDRESS
                                 ? "Can not restart TCP server after changing network interface, selected network "
                                   "interface not found (error %d module 0x%04x line %d)\n"
                                 : "Can not restart TCP server after changing network interface, error %d module "
                                   "0x%04x line %d\n";
        if (m_eventLog)
            m_eventLog->Print(format, static_cast<int>(error->GetError()), error->GetModule(), error->GetLine());
        NotifyListeners();
        throw error;
    }
}

// ---------------------------------------------------------------------------
// The network server's view

// The snapshot's excluded bit: such devices are never announced.
constexpr uint32_t GREETING_FLAG_EXCLUDED = 0x2;

bool CUsbServerCoreImpl::CollectDeviceInfos(std::vector<DeviceInfo>* devices)
{
    CMutexGuard guard(&m_deviceMutex);
    if (guard.LockAbortable(&m_stop, LOCK_REQUEST_SHORT_MS) != SYNC_OK) {
        LogDebug(MODULE_USBSERVERCORE, __LINE__, ERROR_TIMEOUT);
        return false;
    }
    for (const auto& entry : m_devices) {
        const UsbDevice* d = entry.second.device.get();
        if (!d || d->IsHidden())
            continue;
        DeviceInfo info;
        info.id = d->id;
        info.clientConnectionId = d->clientConnectionId;
        info.state = d->state;
        info.flags = d->flags;
        if (d->shareMode == SHARE_MODE_EXCLUDED)
            info.flags |= GREETING_FLAG_EXCLUDED;
        info.clientAddress = d->clientAddress;
        info.timeout = d->timeout;
        info.usbVersion = d->usbVersion;
        info.speed = d->speed;
        info.resetMode = d->resetMode;
        info.shareMode = d->shareMode;
        info.vendorId = d->vendorId;
        info.productId = d->productId;
        info.bcdDevice = d->bcdDevice;
        info.deviceClass = d->deviceClass;
        info.subClass = d->subClass;
        info.protocol = d->protocol;
        info.name = d->name;
        info.nickname = d->nickname;
        info.instanceIdentity = d->instanceIdentity;
        info.serial = d->serial;
        info.port = d->port;
        devices->push_back(info);
    }
    return true;
}
