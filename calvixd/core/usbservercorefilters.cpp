// Address rules, IP filters, device ACLs and the device policy's matching:
// who may connect at all, who may use one device, and which devices may be
// shared. Host-name rules are kept resolved through the resolver client.
#include "calvixd/core/usbservercoreimpl.h"

#include <strings.h>

#include <cassert>
#include <new>

#include "calvixd/core/linetext.h"
#include "calvixd/core/usbservercorelimits.h"

namespace {

const char* FilterModeName(uint8_t mode)
{
    switch (mode) {
    case FILTER_MODE_DISABLED:
        return "Disabled";
    case FILTER_MODE_ALLOW:
        return "Allow";
    case FILTER_MODE_DENY:
        return "Deny";
    default:
        return "Unknown";
    }
}

// Whether a mode admits a client that did or did not match a rule.
bool ModeAdmits(uint8_t mode, bool matched)
{
    if (mode == FILTER_MODE_ALLOW)
        return matched;
    if (mode == FILTER_MODE_DENY)
        return !matched;
    return true;
}

std::vector<std::string> DisplayTexts(const std::vector<AddressRuleEntry>& rules)
{
    std::vector<std::string> texts;
    for (const AddressRuleEntry& entry : rules)
        texts.push_back(AddressRuleDisplayText(entry.text, entry.rule));
    return texts;
}

std::vector<AddressRule> ParsedRules(const std::vector<IpFilterRuleEntry>& rules)
{
    std::vector<AddressRule> parsed;
    for (const IpFilterRuleEntry& entry : rules)
        parsed.push_back(entry.rule);
    return parsed;
}

// The checks every rule list gets before it is applied: mode 0 to 2, no
// control characters, every text a valid rule.
bool AcceptableList(uint8_t mode, const std::vector<std::string>& texts, std::vector<AddressRuleEntry>* parsed,
                    bool (*validate)(const std::vector<std::string>&, std::vector<AddressRuleEntry>*))
{
    if (mode > FILTER_MODE_DENY)
        return false;
    for (const std::string& text : texts) {
        if (HasControlCharacters(text))
            return false;
    }
    return validate(texts, parsed);
}

} // namespace

// ---------------------------------------------------------------------------
// Rule texts

bool CUsbServerCoreImpl::ParseAddress(const std::string* text, AddressRule* rule)
{
    assert(text && rule);
    return ParseAddressRule(*text, rule);
}

bool CUsbServerCoreImpl::ValidateRules(const std::vector<std::string>& texts, std::vector<AddressRuleEntry>* rules)
{
    bool valid = true;
    for (const std::string& text : texts) {
        AddressRuleEntry entry;
        if (!ParseAddress(&text, &entry.rule))
            valid = false;
        // The addresses of a host rule live in the rule only.
        entry.text = entry.rule.kind == ADDRESS_RULE_HOST ? StripAddressList(text) : text;
        rules->push_back(std::move(entry));
    }
    return valid;
}

void CUsbServerCoreImpl::ReplaceWatchedHosts(const std::vector<AddressRuleEntry>& old,
                                              std::vector<AddressRuleEntry>* fresh)
{
    for (AddressRuleEntry& entry : *fresh) {
        if (entry.rule.kind != ADDRESS_RULE_HOST)
            continue;
        for (const AddressRuleEntry& before : old) {
            if (before.rule.kind == ADDRESS_RULE_HOST && before.rule.host == entry.rule.host) {
                entry.rule.resolved = before.rule.resolved;
                break;
            }
        }
        WatchHost(entry.rule.host);
    }
    // Watched first, unwatched second: a name in both lists stays watched.
    for (const AddressRuleEntry& before : old) {
        if (before.rule.kind == ADDRESS_RULE_HOST)
            UnwatchHost(before.rule.host);
    }
}

void CUsbServerCoreImpl::WatchHost(const std::string& host)
{
    std::lock_guard<std::mutex> hold(m_watchLock);
    if (++m_watchCounts[host] == 1)
        m_resolverClient->WatchName(host);
}

void CUsbServerCoreImpl::UnwatchHost(const std::string& host)
{
    std::lock_guard<std::mutex> hold(m_watchLock);
    auto entry = m_watchCounts.find(host);
    if (entry == m_watchCounts.end() || --entry->second > 0)
        return;
    m_watchCounts.erase(entry);
    m_resolverClient->UnwatchName(host);
}

void CUsbServerCoreImpl::WatchHostRules()
{
    {
        CMutexGuard guard(&m_deviceMutex);
        if (guard.LockAbortable(&m_stop, LOCK_REQUEST_LONG_MS) == SYNC_OK) {
            for (const auto& entry : m_devices) {
                const UsbDevice* d = entry.second.device.get();
                for (const AclRuleEntry& rule : d ? d->aclRules : std::vector<AclRuleEntry>()) {
                    if (rule.rule.kind == ADDRESS_RULE_HOST)
                        WatchHost(rule.rule.host);
                }
            }
        } else {
            LogDebug(MODULE_USBSERVERCORE, __LINE__, ERROR_TIMEOUT);
        }
    }
    CMutexGuard guard(&m_ipFilterMutex);
    if (guard.LockAbortable(&m_stop, LOCK_REQUEST_LONG_MS) != SYNC_OK) {
        LogDebug(MODULE_USBSERVERCORE, __LINE__, ERROR_TIMEOUT);
        return;
    }
    for (const IpFilterRuleEntry& rule : m_ipFilterRules) {
        if (rule.rule.kind == ADDRESS_RULE_HOST)
            WatchHost(rule.rule.host);
    }
}

// ---------------------------------------------------------------------------
// IP filters

void CUsbServerCoreImpl::GetIpFilters(uint8_t* mode, std::vector<std::string>* rules)
{
    CMutexGuard guard(&m_ipFilterMutex);
    if (guard.LockAbortable(&m_stop, LOCK_REQUEST_LONG_MS) != SYNC_OK)
        FailRequest(__LINE__, ERROR_TIMEOUT);
    try {
        *rules = DisplayTexts(m_ipFilterRules);
    } catch (std::bad_alloc&) {
        FailRequest(__LINE__, ERROR_NOT_ENOUGH_MEMORY);
    }
    *mode = m_ipFilterMode;
}

void CUsbServerCoreImpl::CollectIpFilters(uint8_t* mode, std::vector<std::string>* rules)
{
    CMutexAutoGuard guard(&m_ipFilterMutex, &m_stop, LOCK_REQUEST_LONG_MS);
    *mode = m_ipFilterMode;
    for (const IpFilterRuleEntry& entry : m_ipFilterRules)
        rules->push_back(entry.text);
}

void CUsbServerCoreImpl::SetIpFilters(uint8_t mode, const std::vector<std::string>& rules)
{
    std::vector<IpFilterRuleEntry> fresh;
    if (!AcceptableList(mode, rules, &fresh, ValidateRules))
        FailRequest(__LINE__, ERROR_INVALID_PARAMETER);
    CMutexGuard guard(&m_ipFilterMutex);
    LockForRequest(&guard, LOCK_REQUEST_LONG_MS, __LINE__);
    ReplaceWatchedHosts(m_ipFilterRules, &fresh);
    m_ipFilterRules.swap(fresh);
    m_ipFilterMode = mode;
    // Disabled too: sessions apply the mode the network server holds, and
    // an older one would keep refusing clients.
    m_network->SetIpFilters(mode, ParsedRules(m_ipFilterRules));
    guard.Unlock();
    if (m_eventLog)
        m_eventLog->Print("IP filters modified\n");
}

void CUsbServerCoreImpl::SetIpFilterMode(uint8_t mode)
{
    CMutexGuard guard(&m_ipFilterMutex);
    LockForRequest(&guard, LOCK_REQUEST_LONG_MS, __LINE__);
    if (mode == m_ipFilterMode)
        return;
    m_ipFilterMode = mode;
    m_network->SetIpFilters(mode, ParsedRules(m_ipFilterRules));
    guard.Unlock();
    if (m_eventLog)
        m_eventLog->Print("IP Filters mode changed to %s\n", FilterModeName(mode));
}

bool CUsbServerCoreImpl::CheckIpFilters(const ADDRESS& client)
{
    ADDRESS address = UnmapAddress(client);
    if (address.IsLoopback())
        return true;
    CMutexGuard guard(&m_ipFilterMutex);
    // A client is never kept out because the filters were busy.
    if (guard.LockAbortable(&m_stop, LOCK_REQUEST_LONG_MS) != SYNC_OK)
        return true;
    if (m_ipFilterMode == FILTER_MODE_DISABLED)
        return true;
    bool matched = false;
    for (const IpFilterRuleEntry& entry : m_ipFilterRules) {
        // Only addresses count here: the client's name is not known yet.
        if (AddressRuleMatches(entry.rule, address, std::string())) {
            matched = true;
            break;
        }
    }
    return ModeAdmits(m_ipFilterMode, matched);
}

bool CUsbServerCoreImpl::UpdateIpFilterHosts(const std::string& host, const std::set<ADDRESS>& addresses)
{
    CMutexAutoGuard guard(&m_ipFilterMutex, &m_stop, LOCK_REQUEST_LONG_MS);
    bool changed = false;
    // Every rule of the name: a list may name one host more than once.
    for (IpFilterRuleEntry& entry : m_ipFilterRules) {
        if (entry.rule.kind == ADDRESS_RULE_HOST && entry.rule.host == host && entry.rule.resolved != addresses) {
            entry.rule.resolved = addresses;
            changed = true;
        }
    }
    if (changed)
        m_network->SetIpFilters(m_ipFilterMode, ParsedRules(m_ipFilterRules));
    return changed;
}

// ---------------------------------------------------------------------------
// Device ACLs

void CUsbServerCoreImpl::GetDeviceAcl(uint32_t deviceId, uint8_t* mode, std::vector<std::string>* rules)
{
    CMutexGuard guard(&m_deviceMutex);
    LockForRequest(&guard, LOCK_REQUEST_LONG_MS, __LINE__);
    UsbDevice* d = FindDevice(deviceId);
    if (!d)
        FailRequest(__LINE__, ERROR_UNKNOWN_DEVICE);
    *rules = DisplayTexts(d->aclRules);
    *mode = d->aclMode;
}

void CUsbServerCoreImpl::SetDeviceAcl(uint32_t deviceId, uint8_t mode, const std::vector<std::string>& rules)
{
    std::vector<AclRuleEntry> fresh;
    if (!AcceptableList(mode, rules, &fresh, ValidateRules))
        FailRequest(__LINE__, ERROR_INVALID_PARAMETER);
    CMutexGuard guard(&m_deviceMutex);
    LockForRequest(&guard, LOCK_REQUEST_LONG_MS, __LINE__);
    UsbDevice* d = FindDevice(deviceId);
    if (!d)
        FailRequest(__LINE__, ERROR_UNKNOWN_DEVICE);
    ReplaceWatchedHosts(d->aclRules, &fresh);
    d->aclRules.swap(fresh);
    d->aclMode = mode;
    if (mode != FILTER_MODE_DISABLED)
        d->flags |= DEVICE_FLAG_ACL;
    else
        d->flags &= ~DEVICE_FLAG_ACL;
    RecheckDeviceAcl(d);
}

bool CUsbServerCoreImpl::CheckDeviceAcl(UsbDevice* d, const ADDRESS& client, const std::string& clientName)
{
    ADDRESS address = UnmapAddress(client);
    if (address.IsLoopback() || d->aclMode == FILTER_MODE_DISABLED)
        return true;
    bool matched = false;
    for (const AclRuleEntry& entry : d->aclRules) {
        if (AddressRuleMatches(entry.rule, address, std::string())) {
            matched = true;
            break;
        }
        // The client's reverse-resolved name answers for a host whose
        // addresses are not known (or not current) yet; they are asked for
        // again so that the set catches up.
        if (entry.rule.kind == ADDRESS_RULE_HOST && !clientName.empty() && !entry.rule.host.empty() &&
            strcasecmp(entry.rule.host.c_str(), clientName.c_str()) == 0) {
            if (m_resolverClient)
                m_resolverClient->ResolveName(entry.rule.host);
            matched = true;
            break;
        }
    }
    return ModeAdmits(d->aclMode, matched);
}

void CUsbServerCoreImpl::RecheckDeviceAcl(UsbDevice* d)
{
    if (d->HasClient() && d->clientName.empty())
        d->clientName = m_network->GetConnectionName(d->clientConnectionId);
    if (d->state == DEVICE_STATE_CONNECTING && d->clientAddress.IsValid() &&
        !CheckDeviceAcl(d, d->clientAddress, d->clientName)) {
        m_network->ReleaseConnection(d->clientConnectionId);
        d->SetState(DEVICE_STATE_SHARED, Now());
        d->ClearClientKind();
        d->lastError = CExceptionEx(MODULE_USBSERVERCORE, __LINE__, ERROR_CONNECTION_CANCELLED);
    }
    auto reservation = m_reservations.find(d->id);
    if (reservation != m_reservations.end()) {
        PendingConnection& r = reservation->second;
        if (r.clientName.empty())
            r.clientName = m_network->GetConnectionName(r.connectionId);
        if (r.address.IsValid() && !CheckDeviceAcl(d, r.address, r.clientName)) {
            m_network->ReleaseConnection(r.connectionId);
            m_reservations.erase(reservation);
        }
    }
    bool reserved = m_reservations.count(d->id) != 0;
    if (d->state == DEVICE_STATE_IN_USE || d->state == DEVICE_STATE_INACTIVE) {
        if (d->clientAddress.IsValid() && !CheckDeviceAcl(d, d->clientAddress, d->clientName)) {
            if (d->stub)
                d->stub->RequestStop();
        } else if (d->state == DEVICE_STATE_INACTIVE && !reserved) {
            m_network->BroadcastDeviceInactive(*d, 0, DELIVER_ALL);
        }
    } else if (d->state == DEVICE_STATE_SHARED && !reserved) {
        m_network->BroadcastDeviceAvailable(*d, 0, DELIVER_ALL);
    }
}

bool CUsbServerCoreImpl::UpdateAclHosts(const std::string& host, const std::set<ADDRESS>& addresses)
{
    CMutexAutoGuard guard(&m_deviceMutex, &m_stop, LOCK_REQUEST_LONG_MS);
    bool anyChanged = false;
    for (auto& slot : m_devices) {
        UsbDevice* d = slot.second.device.get();
        if (!d)
            continue;
        bool changed = false;
        for (AclRuleEntry& entry : d->aclRules) {
            if (entry.rule.kind == ADDRESS_RULE_HOST && entry.rule.host == host && entry.rule.resolved != addresses) {
                entry.rule.resolved = addresses;
                changed = true;
            }
        }
        if (changed)
            RecheckDeviceAcl(d);
        anyChanged = anyChanged || changed;
    }
    return anyChanged;
}

void CUsbServerCoreImpl::OnNameResolved(const std::string& host, const std::set<ADDRESS>& addresses)
{
    bool changed = false;
    // Each list on its own: a lock that is not had skips only that list.
    for (auto update : {&CUsbServerCoreImpl::UpdateIpFilterHosts, &CUsbServerCoreImpl::UpdateAclHosts}) {
        try {
            if ((this->*update)(host, addresses))
                changed = true;
        } catch (CExceptionEx* error) {
            LogDebug(error->GetModule(), error->GetLine(), error->GetError());
            delete error;
        } catch (CMutexAutoGuardException&) {
            LogDebug(MODULE_USBSERVERCORE, __LINE__, ERROR_TIMEOUT);
        } catch (...) {
            LogDebug(MODULE_USBSERVERCORE, __LINE__, ERROR_NOT_ENOUGH_MEMORY);
        }
    }
    if (changed)
        NotifyListeners();
}

// ---------------------------------------------------------------------------
// Device policy (device mutex held)

bool CUsbServerCoreImpl::PolicyAllows(UsbDevice* d)
{
    d->flags &= ~DEVICE_FLAG_POLICY_REFUSED;
    if (m_policyMode == FILTER_MODE_DISABLED)
        return true;
    bool matched = false;
    for (const DevicePolicyRule& rule : m_policyRules) {
        // A rule without criteria matches every device.
        if (((rule.flags & POLICY_FLAG_VID) && rule.vendorId != d->vendorId) ||
            ((rule.flags & POLICY_FLAG_PID) && rule.productId != d->productId) ||
            ((rule.flags & POLICY_FLAG_CLASS) && rule.deviceClass != d->deviceClass) ||
            ((rule.flags & POLICY_FLAG_SUBCLASS) && rule.subClass != d->subClass) ||
            ((rule.flags & POLICY_FLAG_PROTOCOL) && rule.protocol != d->protocol) ||
            ((rule.flags & POLICY_FLAG_PORT) && rule.port != d->port) ||
            ((rule.flags & POLICY_FLAG_SERIAL) && rule.serial != d->serial))
            continue;
        matched = true;
        break;
    }
    bool allowed = ModeAdmits(m_policyMode, matched);
    if (!allowed)
        d->flags |= DEVICE_FLAG_POLICY_REFUSED;
    return allowed;
}

void CUsbServerCoreImpl::CollectDeviceAcls(std::map<uint32_t, uint8_t>* modes,
                                           std::map<uint32_t, std::vector<std::string>>* rules)
{
    CMutexAutoGuard guard(&m_deviceMutex, &m_stop, LOCK_REQUEST_SHORT_MS);
    for (const auto& entry : m_devices) {
        const UsbDevice* d = entry.second.device.get();
        if (!d)
            continue;
        (*modes)[entry.first] = d->aclMode;
        std::vector<std::string>& texts = (*rules)[entry.first];
        for (const AclRuleEntry& rule : d->aclRules)
            texts.push_back(rule.text);
    }
}
