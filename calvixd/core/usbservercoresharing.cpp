// Sharing and the per-device settings of the server core: share, unshare
// and exclusion, automatic sharing, nickname, inactivity time-out, reset
// method, node path and descriptor block, the device policy, the quirks and
// the unsharing of every device at shutdown.
#include "calvixd/core/usbservercoreimpl.h"

#include <cerrno>
#include <cstring>

#include "calvixd/core/linetext.h"
#include "calvixd/core/usbservercorelimits.h"

namespace {

constexpr uint8_t RESET_MODE_LIMIT = 3;
constexpr uint32_t TIMEOUT_LIMIT_SECONDS = 7200;
constexpr uint8_t POLICY_MODE_LIMIT = FILTER_MODE_DENY;
// The node path's failure when "busnum" or "devnum" cannot be read.
constexpr uint32_t ERROR_NOT_READY = 21;

// A device-policy rule whose texts would break its line in the
// configuration file.
bool PolicyRuleHasControlCharacters(const DevicePolicyRule& rule)
{
    return HasControlCharacters(rule.port) || HasControlCharacters(rule.serial) ||
           HasControlCharacters(rule.name);
}

} // namespace

// ---------------------------------------------------------------------------
// Whether to share, and the quirks (device mutex held)

bool CUsbServerCoreImpl::ShouldShare(UsbDevice* device)
{
    device->flags &= ~DEVICE_FLAG_AUTO_SHARED;
    if (!PolicyAllows(device) || device->shareMode == SHARE_MODE_EXCLUDED)
        return false;
    if (device->IsSharedByUser())
        return true;
    if (!m_autoShareOn)
        return false;
    device->flags |= DEVICE_FLAG_AUTO_SHARED;
    return true;
}

uint32_t CUsbServerCoreImpl::GetQuirkFlags(uint16_t vendorId, uint16_t productId)
{
    for (const DeviceQuirk& quirk : m_quirks) {
        if (quirk.vendorId == vendorId && quirk.productId == productId)
            return quirk.flags;
    }
    return 0;
}

uint8_t CUsbServerCoreImpl::GetQuirkResetMode(uint16_t vendorId, uint16_t productId)
{
    for (const DeviceQuirk& quirk : m_quirks) {
        if (quirk.vendorId == vendorId && quirk.productId == productId)
            return quirk.resetMode;
    }
    return DEVICE_RESET_MODE_UNSET;
}

bool CUsbServerCoreImpl::SendQuirks()
{
    std::vector<LoaderQuirk> elements;
    for (const DeviceQuirk& quirk : m_quirks) {
        if (!(quirk.flags & QUIRK_IGNORE_SERIAL))
            continue;
        LoaderQuirk element;
        element.vendorId = quirk.vendorId;
        element.productId = quirk.productId;
        element.flags = quirk.flags;
        elements.push_back(element);
    }
    return m_loader->SetQuirks(elements);
}

void CUsbServerCoreImpl::GetQuirks(std::vector<DeviceQuirk>* quirks)
{
    CMutexGuard guard(&m_deviceMutex);
    if (guard.LockAbortable(&m_stop, LOCK_REQUEST_LONG_MS) != SYNC_OK)
        FailRequest(__LINE__, ERROR_TIMEOUT);
    *quirks = m_quirks;
}

// ---------------------------------------------------------------------------
// Sharing requests

void CUsbServerCoreImpl::SetAutoShareMode(uint32_t mode)
{
    CMutexGuard guard(&m_deviceMutex);
    LockForRequest(&guard, LOCK_REQUEST_SHORT_MS, __LINE__);
    m_autoShareOn = mode != 0;
    m_autoShareMode = mode;
    const char* names[] = {"Disabled", "Enabled", "Enabled Until Restart"};
    if (m_eventLog)
        m_eventLog->Print("Auto sharing mode changed to %s\n", mode < 3 ? names[mode] : "Unknown");
    bool ruled = BuildLoaderRules();
    guard.Unlock();
    if (!ruled)
        FailRequest(__LINE__, ERROR_DRIVER_REFUSED);
}

void CUsbServerCoreImpl::ShareDevice(uint32_t deviceId, uint32_t parameter, bool byUser)
{
    CMutexGuard guard(&m_deviceMutex);
    LockForRequest(&guard, LOCK_REQUEST_LONG_MS, __LINE__);
    UsbDevice* d = FindDevice(deviceId);
    try {
        if (!d || d->IsHidden())
            FailRequest(__LINE__, ERROR_UNKNOWN_DEVICE);
        if (d->IsSharedByUser())
            FailRequest(__LINE__, ERROR_ALREADY_INITIALIZED);
        if (d->shareMode == SHARE_MODE_EXCLUDED)
            FailRequest(__LINE__, ERROR_ACCESS_DENIED_EXCLUDED);
        if (!d->IsPresent() || d->state == DEVICE_STATE_DEINITIALIZING)
            FailRequest(__LINE__, ERROR_DEVICE_NOT_PRESENT);
        if (!PolicyAllows(d))
            FailRequest(__LINE__, ERROR_POLICY_REFUSED);
        // A share the driver was not told of is no share: a retry must try
        // again rather than answer "already done".
        uint8_t previousMode = d->shareMode;
        d->shareMode = parameter == 1 ? SHARE_MODE_USER_OPTION : SHARE_MODE_USER;
        if (!BuildLoaderRules()) {
            d->shareMode = previousMode;
            FailRequest(__LINE__, ERROR_DRIVER_REFUSED);
        }
        d->flags &= ~DEVICE_FLAG_AUTO_SHARED;
        if (d->state == DEVICE_STATE_PLUGGED) {
            d->SetState(DEVICE_STATE_INITIALIZING, Now());
            int result = m_loader->Rebind(d->port);
            if (result < 0 && result != -ENODEV) {
                if (byUser)
                    LogDevice("shared by user, but requires physical re-plug to complete sharing process", *d);
                throw new CExceptionEx(MODULE_USBSERVERCORE, __LINE__, ERROR_NEEDS_REPLUG);
            }
        }
        if (byUser)
            LogDevice("shared by user", *d);
    } catch (CExceptionEx* error) {
        if (error->GetError() != ERROR_NEEDS_REPLUG && m_eventLog) {
            if (d)
                m_eventLog->Print("USB device sharing failed, error %d module 0x%04x line %d (%s; VID %04x; "
                                  "PID %04x; Serial %s; Port %s).\n",
                                  static_cast<int>(error->GetError()), error->GetModule(), error->GetLine(),
                                  d->name.c_str(), d->vendorId, d->productId, d->serial.c_str(), d->port.c_str());
            else
                m_eventLog->Print("USB device sharing failed, error %d module 0x%04x line %d.\n",
                                  static_cast<int>(error->GetError()), error->GetModule(), error->GetLine());
        }
        throw;
    }
}

void CUsbServerCoreImpl::UnshareLocked(UsbDevice* d, bool exclude, bool log, StubList* released)
{
    // A device still being initialized is on its way to the stub driver: it
    // is shared as far as taking it back is concerned.
    if (!d->IsSharedByUser() && !d->stub && d->state != DEVICE_STATE_INITIALIZING)
        FailRequest(__LINE__, ERROR_ALREADY_INITIALIZED);
    d->shareMode = exclude ? SHARE_MODE_EXCLUDED : SHARE_MODE_NONE;
    if (!BuildLoaderRules())
        FailRequest(__LINE__, ERROR_DRIVER_REFUSED);
    if (log)
        LogDevice("unshared by user", *d);
    uint32_t now = Now();
    if (d->state == DEVICE_STATE_CONNECTING) {
        m_network->ReleaseConnection(d->clientConnectionId);
        d->lastError = CExceptionEx(MODULE_USBSERVERCORE, __LINE__, ERROR_CONNECTION_CANCELLED);
    }
    uint32_t id = d->id;
    std::string port = d->port;
    bool rebind = false;
    if (d->stub) {
        d->SetState(DEVICE_STATE_DEINITIALIZING, now);
        d->ClearClientKind();
        DetachStub(d, released);
        rebind = true;
    } else if (d->state == DEVICE_STATE_NOT_PLUGGED) {
        if (d->CanForget()) {
            m_devices[id].device.reset();
            d = nullptr;
        }
    } else if (d->state == DEVICE_STATE_INITIALIZING) {
        d->SetState(DEVICE_STATE_DEINITIALIZING, now);
        rebind = true;
    }
    auto reservation = m_reservations.find(id);
    if (reservation != m_reservations.end()) {
        m_network->ReleaseConnection(reservation->second.connectionId);
        m_reservations.erase(reservation);
    }
    m_network->BroadcastDeviceUnshared(id, 0, DELIVER_ALL);
    if (rebind) {
        int result = m_loader->Rebind(port);
        if (result < 0 && result != -ENODEV)
            FailRequest(__LINE__, ERROR_NEEDS_REPLUG);
        d->SetState(DEVICE_STATE_PLUGGED, Now());
    }
}

void CUsbServerCoreImpl::UnshareDevice(uint32_t deviceId, bool byUser)
{
    StubList released;
    CMutexGuard guard(&m_deviceMutex);
    LockForRequest(&guard, LOCK_REQUEST_LONG_MS, __LINE__);
    try {
        UsbDevice* d = FindDevice(deviceId);
        if (!d || d->IsHidden())
            FailRequest(__LINE__, ERROR_UNKNOWN_DEVICE);
        UnshareLocked(d, m_autoShareOn, byUser, &released);
    } catch (CExceptionEx* error) {
        if (error->GetError() != ERROR_NEEDS_REPLUG && m_eventLog)
            m_eventLog->Print("USB device unsharing failed, error %d module 0x%04x line %d.\n",
                              static_cast<int>(error->GetError()), error->GetModule(), error->GetLine());
        guard.Unlock();
        released.clear();
        throw;
    }
    guard.Unlock();
    released.clear();
}

void CUsbServerCoreImpl::SetDeviceExcluded(uint32_t deviceId, bool excluded, bool byUser)
{
    StubList released;
    CMutexGuard guard(&m_deviceMutex);
    LockForRequest(&guard, LOCK_REQUEST_SHORT_MS, __LINE__);
    try {
        UsbDevice* d = FindDevice(deviceId);
        if (!d || d->IsHidden())
            FailRequest(__LINE__, ERROR_UNKNOWN_DEVICE);
        if (excluded) {
            if (d->shareMode == SHARE_MODE_EXCLUDED)
                FailRequest(__LINE__, ERROR_ALREADY_INITIALIZED);
            // A device the stub driver holds or is about to hold must be
            // handed back, not only marked.
            if (d->stub || d->IsSharedByUser() || d->state == DEVICE_STATE_INITIALIZING) {
                try {
                    UnshareLocked(d, true, false, &released);
                } catch (CExceptionEx* error) {
                    if (error->GetError() != ERROR_NEEDS_REPLUG && m_eventLog)
                        m_eventLog->Print("USB device unsharing failed, error %d module 0x%04x line %d.\n",
                                          static_cast<int>(error->GetError()), error->GetModule(),
                                          error->GetLine());
                    throw;
                }
                d = FindDevice(deviceId);
            } else {
                d->shareMode = SHARE_MODE_EXCLUDED;
            }
            if (byUser && d)
                LogDevice("added to exclusions by user", *d);
        } else {
            if (d->shareMode != SHARE_MODE_EXCLUDED)
                FailRequest(__LINE__, ERROR_ALREADY_INITIALIZED);
            d->shareMode = SHARE_MODE_NONE;
            if (byUser)
                LogDevice("removed from exclusions by user", *d);
            if (!d->IsPresent() && d->CanForget())
                m_devices[deviceId].device.reset();
        }
        if (!BuildLoaderRules())
            FailRequest(__LINE__, ERROR_DRIVER_REFUSED);
    } catch (CExceptionEx*) {
        guard.Unlock();
        released.clear();
        throw;
    }
    guard.Unlock();
    released.clear();
}

// ---------------------------------------------------------------------------
// Per-device settings

void CUsbServerCoreImpl::SetDeviceNickname(uint32_t deviceId, const std::string& nickname)
{
    if (HasControlCharacters(nickname))
        FailRequest(__LINE__, ERROR_INVALID_PARAMETER);
    CMutexGuard guard(&m_deviceMutex);
    LockForRequest(&guard, LOCK_REQUEST_SHORT_MS, __LINE__);
    // Hidden records keep settings too: a nickname may be given to a device
    // that is not plugged in.
    UsbDevice* d = FindDevice(deviceId);
    if (!d)
        FailRequest(__LINE__, ERROR_UNKNOWN_DEVICE);
    if (d->nickname == nickname)
        return;
    d->nickname = nickname;
    if (nickname.empty())
        d->flags &= ~DEVICE_FLAG_NICKNAME;
    else
        d->flags |= DEVICE_FLAG_NICKNAME;
    m_network->SendDeviceNickname(deviceId, nickname);
    guard.Unlock();
    m_owner->SaveConfig();
    NotifyListeners();
}

void CUsbServerCoreImpl::SetDeviceResetMethod(uint32_t deviceId, uint32_t method)
{
    if (method > RESET_MODE_LIMIT)
        FailRequest(__LINE__, ERROR_INVALID_PARAMETER);
    CMutexGuard guard(&m_deviceMutex);
    LockForRequest(&guard, LOCK_REQUEST_SHORT_MS, __LINE__);
    UsbDevice* d = FindDevice(deviceId);
    if (!d)
        FailRequest(__LINE__, ERROR_UNKNOWN_DEVICE);
    d->resetMode = static_cast<uint8_t>(method);
    if (method != 0)
        d->flags |= DEVICE_FLAG_RESET_MODE;
    else
        d->flags &= ~DEVICE_FLAG_RESET_MODE;
    if (d->stub)
        d->stub->SetResetMode(d->resetMode);
    guard.Unlock();
    // Not saved: after a restart the quirk or the default applies again.
    NotifyListeners();
}

void CUsbServerCoreImpl::SetDeviceTimeout(uint32_t deviceId, uint32_t seconds)
{
    if (seconds > TIMEOUT_LIMIT_SECONDS)
        FailRequest(__LINE__, ERROR_INVALID_PARAMETER);
    CMutexGuard guard(&m_deviceMutex);
    LockForRequest(&guard, LOCK_REQUEST_SHORT_MS, __LINE__);
    UsbDevice* d = FindDevice(deviceId);
    if (!d)
        FailRequest(__LINE__, ERROR_UNKNOWN_DEVICE);
    d->timeout = seconds;
    if (seconds != 0)
        d->flags |= DEVICE_FLAG_TIMEOUT;
    else
        d->flags &= ~DEVICE_FLAG_TIMEOUT;
    if (d->stub)
        d->stub->SetInactivityTimeout(seconds);
    guard.Unlock();
    m_owner->SaveConfig();
    NotifyListeners();
}

void CUsbServerCoreImpl::GetDeviceNodePath(uint32_t deviceId, std::string* path)
{
    CMutexGuard guard(&m_deviceMutex);
    LockForRequest(&guard, LOCK_REQUEST_SHORT_MS, __LINE__);
    UsbDevice* d = FindDevice(deviceId);
    if (!d || d->IsHidden())
        FailRequest(__LINE__, ERROR_UNKNOWN_DEVICE);
    if (!d->IsPresent())
        FailRequest(__LINE__, ERROR_DEVICE_NOT_PRESENT);
    if (!m_sysfs->GetNodePath(d->port, path))
        FailRequest(__LINE__, ERROR_NOT_READY);
}

void CUsbServerCoreImpl::GetDeviceData(uint32_t deviceId, std::vector<uint8_t>* block)
{
    if (!block)
        FailRequest(__LINE__, ERROR_INVALID_PARAMETER);
    CMutexGuard guard(&m_deviceMutex);
    LockForRequest(&guard, LOCK_REQUEST_LONG_MS, __LINE__);
    UsbDevice* d = FindDevice(deviceId);
    if (!d || d->IsHidden())
        FailRequest(__LINE__, ERROR_UNKNOWN_DEVICE);
    if (!d->IsPresent())
        FailRequest(__LINE__, ERROR_DEVICE_NOT_PRESENT);
    if (d->descriptors.empty()) {
        std::vector<uint8_t> fetched;
        int result = m_loader->GetDescriptors(d->port, &fetched);
        if (result < 0)
            FailRequest(__LINE__, static_cast<uint32_t>(-result));
        // The driver's block is trusted only when its own total length
        // agrees with what was actually returned.
        if (DescriptorBlockLength(fetched.data(), fetched.size()) == 0)
            FailRequest(__LINE__, EPROTO);
        d->descriptors = std::move(fetched);
    }
    *block = d->descriptors;
}

// ---------------------------------------------------------------------------
// Device policy

void CUsbServerCoreImpl::GetDevicePolicy(uint8_t* mode, std::vector<DevicePolicyRule>* rules)
{
    CMutexGuard guard(&m_deviceMutex);
    LockForRequest(&guard, LOCK_REQUEST_LONG_MS, __LINE__);
    *mode = m_policyMode;
    *rules = m_policyRules;
}

void CUsbServerCoreImpl::SetDevicePolicy(uint8_t mode, const std::vector<DevicePolicyRule>& rules)
{
    if (mode > POLICY_MODE_LIMIT)
        FailRequest(__LINE__, ERROR_INVALID_PARAMETER);
    for (const DevicePolicyRule& rule : rules) {
        if (PolicyRuleHasControlCharacters(rule))
            FailRequest(__LINE__, ERROR_INVALID_PARAMETER);
    }
    // Copied before the lock: a copy that fails leaves the old policy whole.
    std::vector<DevicePolicyRule> fresh(rules);
    CMutexGuard guard(&m_deviceMutex);
    LockForRequest(&guard, LOCK_REQUEST_LONG_MS, __LINE__);
    uint8_t oldMode = m_policyMode;
    m_policyRules.swap(fresh);
    m_policyMode = mode;
    if (!BuildLoaderRules()) {
        // The driver kept the rules of the old policy: so does the model.
        m_policyRules.swap(fresh);
        m_policyMode = oldMode;
        guard.Unlock();
        FailRequest(__LINE__, ERROR_DRIVER_REFUSED);
    }
    guard.Unlock();
    ApplyPolicyToDevices();
}

void CUsbServerCoreImpl::ApplyPolicyToDevices()
{
    std::vector<uint32_t> refused;
    std::vector<uint32_t> reincluded;
    {
        // Not abortable: a policy change made must reach the devices.
        CMutexGuard guard(&m_deviceMutex);
        if (guard.Lock(LOCK_REQUEST_LONG_MS) != SYNC_OK) {
            LogDebug(MODULE_USBSERVERCORE, __LINE__, ERROR_TIMEOUT);
            return;
        }
        for (auto& entry : m_devices) {
            UsbDevice* d = entry.second.device.get();
            if (!d || PolicyAllows(d) || !(d->stub || d->IsSharedByUser()))
                continue;
            refused.push_back(entry.first);
            // The unshare puts an auto-shared device on the exclusion list;
            // the policy, not the user, refused it, so it comes off again.
            if (m_autoShareOn)
                reincluded.push_back(entry.first);
        }
    }
    auto report = [this](CExceptionEx* error) {
        LogDebug(error->GetModule(), error->GetLine(), error->GetError());
        delete error;
    };
    for (uint32_t id : refused) {
        try {
            UnshareDevice(id, false);
        } catch (CExceptionEx* error) {
            report(error);
        }
    }
    for (uint32_t id : reincluded) {
        try {
            SetDeviceExcluded(id, false, false);
        } catch (CExceptionEx* error) {
            report(error);
        }
    }
}

// ---------------------------------------------------------------------------
// Shutdown

void CUsbServerCoreImpl::UnshareAllOnShutdown()
{
    m_loader->ClearClaimRules();
    m_loader->ClearQuirks();
    StubList released;
    // Every other thread's abortable wait for the mutex has ended; one that
    // holds it finishes its step first.
    CMutexGuard guard(&m_deviceMutex);
    guard.Lock(LOCK_NO_LIMIT);
    uint32_t now = Now();
    for (auto& entry : m_reservations)
        m_network->ReleaseConnection(entry.second.connectionId);
    m_reservations.clear();
    for (auto& entry : m_devices) {
        UsbDevice* d = entry.second.device.get();
        if (d && d->state == DEVICE_STATE_CONNECTING) {
            m_network->ReleaseConnection(d->clientConnectionId);
            d->SetState(DEVICE_STATE_SHARED, now);
            d->ClearClientKind();
            d->lastError = CExceptionEx(MODULE_USBSERVERCORE, __LINE__, ERROR_CONNECTION_CANCELLED);
        }
    }
    for (auto& entry : m_devices) {
        UsbDevice* d = entry.second.device.get();
        if (!d || !d->stub)
            continue;
        d->SetState(DEVICE_STATE_DEINITIALIZING, now);
        d->ClearClientKind();
        DetachStub(d, &released);
        LogDevice("unshared due to service shutting down", *d);
        int result = m_loader->Rebind(d->port);
        if (result >= 0 || result == -ENODEV)
            d->SetState(DEVICE_STATE_PLUGGED, Now());
    }
    guard.Unlock();
    released.clear();
}
