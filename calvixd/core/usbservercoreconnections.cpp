// Who may open a device's data connection and when: clients that simply
// connect, clients to which a control request hands a device (state 12 for
// at most 30000 ms), and clients that reserve a device whose user has gone
// inactive. Also the stub's activity reports, the configured callback
// connections and the connect record's unscrambling.
//
// Every decision is taken under the device mutex and announced with the
// network server's device events while it is held; NotifyListeners runs
// after it is released. Callback entries are under the callback mutex only.
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "calvixd/core/linetext.h"
#include "calvixd/core/usbservercoreimpl.h"
#include "calvixd/core/usbservercorelimits.h"

namespace {

constexpr uint8_t RESET_MODE_REPLUG = 3;
constexpr uint8_t ANSWER_REFUSED = '3';

// Device commands of a session record.
constexpr uint32_t DEVICE_COMMAND_OPEN = 1;
constexpr uint32_t DEVICE_COMMAND_CLOSE = 2;

// Errors of the connect and callback requests (module 1).
constexpr uint32_t ERROR_NO_MORE_IDS = 69;
constexpr uint32_t ERROR_CONNECTION_ID_ZERO = 1350;
constexpr uint32_t ERROR_CONNECTION_NOT_OPEN = 1353;
constexpr uint32_t ERROR_UNKNOWN_CONNECTION = 1356;
constexpr uint32_t ERROR_ACL_REFUSED = 0xF0000005;
constexpr uint32_t ERROR_DEVICE_BUSY = 2404;
constexpr uint32_t CONNECTION_OPEN = 0;

// Refusal codes of a device data connection.
constexpr uint32_t REFUSED_LOCK = 1;
constexpr uint32_t REFUSED_NO_SLOT = 2;
constexpr uint32_t REFUSED_NOT_SHARED = 3;
constexpr uint32_t REFUSED_NO_RECORD = 4;
constexpr uint32_t REFUSED_BUSY = 5;
constexpr uint32_t REFUSED_ACL = 14;

constexpr uint32_t CALLBACK_OPTIONS_MASK = CALLBACK_FLAG_AUTO | CALLBACK_FLAG_ALLOW_CLIENT_CONTROL;
// Ids 0xC0000001 to 0xCFFFFFFE: at most this many entries.
constexpr size_t CALLBACK_ENTRY_LIMIT = CALLBACK_ID_LAST - CALLBACK_ID_BASE;

constexpr size_t CONNECT_RECORD_SIZE = 92;
constexpr size_t CONNECT_RECORD_KEY_SIZE = 128;
constexpr size_t CONNECT_RECORD_ECHO_SIZE = 16;

[[noreturn]] void Fail(uint32_t line, uint32_t error)
{
    FailRequest(line, error);
}

// The last error a device that was connecting to a refused client keeps.
uint32_t RefusalError(uint32_t code)
{
    switch (code) {
    case REFUSED_NOT_SHARED:
        return ERROR_DEVICE_NOT_PRESENT;
    case REFUSED_BUSY:
        return ERROR_DEVICE_BUSY;
    case REFUSED_ACL:
        return ERROR_ACL_REFUSED;
    default:
        return ERROR_CONNECTION_CANCELLED;
    }
}

} // namespace

// ---------------------------------------------------------------------------
// Device data connections

uint8_t CUsbServerCoreImpl::ServeDeviceConnection(CSocket* socket, uint32_t kind, const ADDRESS& address,
                                                  const std::string& clientName, uint8_t platform,
                                                  uint32_t deviceId, uint32_t connectionId, uint32_t* code)
{
    std::shared_ptr<CUsbStub> stub;
    bool changed = false;
    {
        CMutexGuard guard(&m_deviceMutex);
        if (guard.LockAbortable(&m_stop, LOCK_REQUEST_SHORT_MS) != SYNC_OK) {
            LogDebug(MODULE_USBSERVERCORE, __LINE__, ERROR_TIMEOUT);
            *code = REFUSED_LOCK;
            return ANSWER_REFUSED;
        }
        auto slot = m_devices.find(deviceId);
        UsbDevice* d = slot == m_devices.end() ? nullptr : slot->second.device.get();
        *code = slot == m_devices.end() ? REFUSED_NO_SLOT : !d ? REFUSED_NO_RECORD : !d->stub ? REFUSED_NOT_SHARED : 0;
        if (*code == 0 && address.IsValid() && !CheckDeviceAcl(d, address, clientName))
            *code = REFUSED_ACL;
        // Ownership only: the reservation is given up when the connection is
        // accepted, or when the refusal is final. A reserver that comes while
        // the previous user's connection is still ending keeps it.
        auto reservation = m_reservations.find(deviceId);
        bool reserved = reservation != m_reservations.end() && reservation->second.connectionId == connectionId;
        if (*code == 0 && reservation != m_reservations.end() && !reserved)
            *code = REFUSED_BUSY;
        bool connectingHere = d && d->state == DEVICE_STATE_CONNECTING && d->clientConnectionId == connectionId;
        if (*code == 0 && d->state == DEVICE_STATE_CONNECTING && !connectingHere)
            *code = REFUSED_BUSY;
        else if (*code == 0 && d->state != DEVICE_STATE_CONNECTING && d->state != DEVICE_STATE_SHARED)
            *code = REFUSED_BUSY;

        if (*code == 0) {
            if (reserved) {
                m_network->ReleaseConnection(connectionId);
                m_reservations.erase(reservation);
            }
            // The connect request's use of the id ends with its attempt.
            if (connectingHere)
                m_network->ReleaseConnection(connectionId);
            d->stub->ClearActivitySignal();
            d->SetState(DEVICE_STATE_IN_USE, Now());
            d->clientConnectionId = connectionId;
            d->clientAddress = address;
            d->clientName = clientName;
            d->flags = SetClientKindFlags(d->flags, kind);
            d->lastError = CExceptionEx(MODULE_USBSERVERCORE, 0, 0);
            m_network->BroadcastDeviceInUse(d->id, d->flags, address, 0, DELIVER_ALL);
            if (m_eventLog)
                m_eventLog->Print(
                    "Client connected the USB device (%s; %s; VID %04x; PID %04x; Serial %s; Port %s).\n",
                    address.IsValid() ? address.ToString() : ReplaceControlCharacters(clientName).c_str(),
                    d->name.c_str(), d->vendorId,
                    d->productId, d->serial.c_str(), d->port.c_str());
            stub = d->stub;
            changed = true;
        } else {
            if (reserved && *code != REFUSED_BUSY) {
                AnnounceReservationEnd(deviceId, reservation->second);
                m_network->ReleaseConnection(connectionId);
                m_reservations.erase(reservation);
                changed = true;
            }
            if (connectingHere) {
                EndConnectAttempt(d, __LINE__, RefusalError(*code));
                changed = true;
            }
        }
    }
    if (changed)
        NotifyListeners();
    if (!stub)
        return ANSWER_REFUSED;
    uint8_t answer = stub->RunDataConnection(socket, platform, code);
    OnDataConnectionEnded(deviceId);
    return answer;
}

void CUsbServerCoreImpl::OnDataConnectionEnded(uint32_t deviceId)
{
    CMutexGuard guard(&m_deviceMutex);
    // No limit: a device left in use would never be offered again.
    if (guard.LockAbortable(&m_stop, LOCK_NO_LIMIT) != SYNC_OK) {
        LogDebug(MODULE_USBSERVERCORE, __LINE__, 0);
        return;
    }
    UsbDevice* d = FindDevice(deviceId);
    if (d && d->stub && (d->state == DEVICE_STATE_IN_USE || d->state == DEVICE_STATE_INACTIVE)) {
        if (m_eventLog)
            m_eventLog->Print("Client disconnected from USB device (%s; %s; VID %04x; PID %04x; Serial %s; "
                              "Port %s).\n",
                              d->clientAddress.IsValid() ? d->clientAddress.ToString()
                                                          : ReplaceControlCharacters(d->clientName).c_str(),
                              d->name.c_str(), d->vendorId, d->productId, d->serial.c_str(), d->port.c_str());
        d->SetState(DEVICE_STATE_SHARED, Now());
        d->ClearClientKind();
        AnnounceAfterDisconnect(d);
    }
    guard.Unlock();
    NotifyListeners();
}

void CUsbServerCoreImpl::AnnounceAfterDisconnect(UsbDevice* d)
{
    if (d->resetMode == RESET_MODE_REPLUG) {
        // The device re-enumerates after the reset.
        m_network->BroadcastDeviceRemoved(d->id, 0, DELIVER_ALL);
        return;
    }
    auto reservation = m_reservations.find(d->id);
    if (reservation != m_reservations.end())
        m_network->BroadcastDeviceAvailable(*d, reservation->second.connectionId, DELIVER_ONLY);
    else
        m_network->BroadcastDeviceAvailable(*d, 0, DELIVER_ALL);
}

// ---------------------------------------------------------------------------
// Reservations

void CUsbServerCoreImpl::ReserveInactiveDevice(uint32_t connectionId, uint32_t deviceId, uint32_t kind,
                                               const ADDRESS& address, const std::string& clientName)
{
    CMutexGuard guard(&m_deviceMutex);
    if (guard.LockAbortable(&m_stop, LOCK_REQUEST_SHORT_MS) != SYNC_OK) {
        LogDebug(MODULE_USBSERVERCORE, __LINE__, ERROR_TIMEOUT);
        return;
    }
    UsbDevice* d = FindDevice(deviceId);
    if (!d || !d->stub || d->state != DEVICE_STATE_INACTIVE)
        return;
    if (address.IsValid() && !CheckDeviceAcl(d, address, clientName))
        return;
    if (m_reservations.count(deviceId) || !m_network->AcquireConnection(connectionId))
        return;
    try {
        PendingConnection& reservation = m_reservations[deviceId];
        reservation.connectionId = connectionId;
        reservation.kind = kind;
        reservation.address = address;
        reservation.clientName = clientName;
        reservation.created = Now();
    } catch (...) {
        m_reservations.erase(deviceId);
        m_network->ReleaseConnection(connectionId);
        LogDebug(MODULE_USBSERVERCORE, __LINE__, ERROR_NOT_ENOUGH_MEMORY);
        return;
    }
    // The others see the device taken by the reserver from now on.
    m_network->BroadcastDeviceInUse(deviceId, SetClientKindFlags(d->flags, kind), address, connectionId,
                                    DELIVER_ALL_BUT);
    // The inactive client's connection ends; its end offers the device to
    // the reserver alone.
    d->stub->RequestStop();
    WakeWorker();
}

void CUsbServerCoreImpl::AnnounceReservationEnd(uint32_t deviceId, const PendingConnection& reservation)
{
    auto slot = m_devices.find(deviceId);
    if (slot == m_devices.end())
        return;
    UsbDevice* d = slot->second.device.get();
    if (d && (d->IsPresent() || d->IsSharedByUser() || !(d->flags & DEVICE_FLAG_AUTO_SHARED))) {
        if (d->state == DEVICE_STATE_SHARED)
            m_network->BroadcastDeviceAvailable(*d, 0, DELIVER_ALL);
        else if (d->state == DEVICE_STATE_IN_USE)
            m_network->BroadcastDeviceInUse(d->id, d->flags, d->clientAddress, 0, DELIVER_ALL);
        return;
    }
    m_network->BroadcastDeviceUnshared(deviceId, reservation.connectionId, DELIVER_ONLY);
}

bool CUsbServerCoreImpl::ExpirePendingConnections()
{
    CMutexGuard guard(&m_deviceMutex);
    if (guard.LockAbortable(&m_stop, LOCK_EXPIRY_MS) != SYNC_OK)
        return true;
    uint32_t now = Now();
    for (auto it = m_reservations.begin(); it != m_reservations.end();) {
        // Ticks wrap: only the unsigned difference is meaningful.
        if (now - it->second.created <= CONNECT_LIMIT_MS) {
            ++it;
            continue;
        }
        AnnounceReservationEnd(it->first, it->second);
        m_network->ReleaseConnection(it->second.connectionId);
        it = m_reservations.erase(it);
    }
    return !m_reservations.empty();
}

// ---------------------------------------------------------------------------
// Connect and disconnect requests

void CUsbServerCoreImpl::EndConnectAttempt(UsbDevice* d, uint32_t line, uint32_t error)
{
    m_network->ReleaseConnection(d->clientConnectionId);
    d->SetState(DEVICE_STATE_SHARED, Now());
    d->ClearClientKind();
    d->lastError = CExceptionEx(MODULE_USBSERVERCORE, line, error);
    m_network->BroadcastDeviceAvailable(*d, 0, DELIVER_ALL);
}

void CUsbServerCoreImpl::ConnectDevice(uint32_t deviceId, uint32_t connectionId)
{
    CMutexGuard guard(&m_deviceMutex);
    LockForRequest(&guard, LOCK_REQUEST_LONG_MS, __LINE__);
    if (connectionId == 0)
        Fail(__LINE__, ERROR_CONNECTION_ID_ZERO);
    UsbDevice* d = FindDevice(deviceId);
    if (!d)
        Fail(__LINE__, ERROR_UNKNOWN_DEVICE);
    if (!d->stub)
        Fail(__LINE__, ERROR_DEVICE_NOT_PRESENT);
    if (d->HasClient() && d->clientConnectionId == connectionId)
        Fail(__LINE__, ERROR_ALREADY_INITIALIZED);
    if (d->state != DEVICE_STATE_SHARED)
        Fail(__LINE__, ERROR_DEVICE_NOT_PRESENT);

    if (!m_network->AcquireConnection(connectionId))
        Fail(__LINE__, ERROR_UNKNOWN_CONNECTION);
    ConnectionSnapshot connection;
    uint32_t error = 0;
    uint32_t line = 0;
    if (!m_network->GetConnectionSnapshot(connectionId, &connection)) {
        error = ERROR_UNKNOWN_CONNECTION;
        line = __LINE__;
    } else if (connection.state != CONNECTION_OPEN) {
        error = ERROR_CONNECTION_NOT_OPEN;
        line = __LINE__;
    } else if (connection.clientAddress.IsValid() &&
               !CheckDeviceAcl(d, connection.clientAddress, connection.clientName)) {
        error = ERROR_ACL_REFUSED;
        line = __LINE__;
    }
    if (error) {
        m_network->ReleaseConnection(connectionId);
        Fail(line, error);
    }

    auto reservation = m_reservations.find(deviceId);
    if (reservation != m_reservations.end()) {
        m_network->ReleaseConnection(reservation->second.connectionId);
        // The new client saw the device as reserved by somebody else.
        if (reservation->second.connectionId != connectionId)
            m_network->BroadcastDeviceAvailable(*d, connectionId, DELIVER_ONLY);
        m_reservations.erase(reservation);
    }
    m_network->SendDeviceCommand(deviceId, connectionId, DEVICE_COMMAND_OPEN);
    d->SetState(DEVICE_STATE_CONNECTING, Now());
    d->clientConnectionId = connectionId;
    d->clientAddress = connection.clientAddress;
    d->clientName = connection.clientName;
    d->flags = SetClientKindFlags(d->flags, connection.kind);
    m_network->BroadcastDeviceInUse(deviceId, d->flags, d->clientAddress, connectionId, DELIVER_ALL_BUT);
    WakeWorker();
}

void CUsbServerCoreImpl::DisconnectDevice(uint32_t deviceId)
{
    CMutexGuard guard(&m_deviceMutex);
    LockForRequest(&guard, LOCK_REQUEST_LONG_MS, __LINE__);
    UsbDevice* d = FindDevice(deviceId);
    if (!d)
        Fail(__LINE__, ERROR_UNKNOWN_DEVICE);
    if (d->state == DEVICE_STATE_CONNECTING)
        EndConnectAttempt(d, __LINE__, ERROR_CONNECTION_CANCELLED);
    else if (d->state == DEVICE_STATE_IN_USE || d->state == DEVICE_STATE_INACTIVE)
        // The device returns to state 3 when the client's data connection ends.
        m_network->SendDeviceCommand(deviceId, d->clientConnectionId, DEVICE_COMMAND_CLOSE);
    else
        Fail(__LINE__, ERROR_ALREADY_INITIALIZED);
}

bool CUsbServerCoreImpl::ExpireConnectingDevices()
{
    CMutexGuard guard(&m_deviceMutex);
    if (guard.LockAbortable(&m_stop, LOCK_EXPIRY_MS) != SYNC_OK)
        return true;
    uint32_t now = Now();
    bool connecting = false;
    bool expired = false;
    for (auto& entry : m_devices) {
        UsbDevice* d = entry.second.device.get();
        if (!d || d->state != DEVICE_STATE_CONNECTING)
            continue;
        connecting = true;
        if (now - d->lastChange <= CONNECT_LIMIT_MS)
            continue;
        EndConnectAttempt(d, __LINE__, ERROR_CONNECTION_EXPIRED);
        expired = true;
    }
    guard.Unlock();
    if (expired)
        NotifyListeners();
    return connecting;
}

// ---------------------------------------------------------------------------
// Activity reports of the stubs

void CUsbServerCoreImpl::OnDeviceActive(uint32_t deviceId)
{
    SetActivity(deviceId, true);
}

void CUsbServerCoreImpl::OnDeviceInactive(uint32_t deviceId)
{
    SetActivity(deviceId, false);
}

void CUsbServerCoreImpl::SetActivity(uint32_t deviceId, bool active)
{
    CMutexGuard guard(&m_deviceMutex);
    if (guard.LockAbortable(&m_stop, LOCK_REQUEST_SHORT_MS) != SYNC_OK) {
        LogDebug(MODULE_USBSERVERCORE, __LINE__, ERROR_TIMEOUT);
        return;
    }
    UsbDevice* d = FindDevice(deviceId);
    if (!d)
        return;
    if (!active && d->state == DEVICE_STATE_IN_USE) {
        d->SetState(DEVICE_STATE_INACTIVE, Now());
        m_network->BroadcastDeviceInactive(*d, 0, DELIVER_ALL);
    } else if (active && d->state == DEVICE_STATE_INACTIVE) {
        d->SetState(DEVICE_STATE_IN_USE, Now());
        m_network->BroadcastDeviceInUse(d->id, d->flags, d->clientAddress, 0, DELIVER_ALL);
    } else {
        return;
    }
    guard.Unlock();
    NotifyListeners();
}

// ---------------------------------------------------------------------------
// Callback connections

void CUsbServerCoreImpl::ApplyCallbackConnections(const std::vector<ConfiguredCallback>& callbacks)
{
    CMutexGuard guard(&m_callbackMutex);
    if (guard.LockAbortable(&m_stop, LOCK_REQUEST_SHORT_MS) != SYNC_OK) {
        LogDebug(MODULE_USBSERVERCORE, __LINE__, ERROR_TIMEOUT);
        return;
    }
    // Only entries the daemon dials itself are kept.
    for (const ConfiguredCallback& entry : callbacks) {
        if (!(entry.flags & CALLBACK_FLAG_CALLBACK))
            continue;
        m_callbacks[entry.id] = CallbackEntry{entry.host, entry.port, entry.flags};
        uint32_t error = 0;
        if (m_network->AddCallbackConnection(entry.id, entry.host, entry.port, entry.flags & CALLBACK_KIND_MASK,
                                             entry.flags & CALLBACK_OPTIONS_MASK, &error) == 0)
            LogDebug(MODULE_USBSERVERCORE, __LINE__, entry.id);
    }
}

uint32_t CUsbServerCoreImpl::AddCallbackConnection(const std::string& host, uint16_t port, uint32_t flags)
{
    if ((flags & CALLBACK_KIND_MASK) == 0)
        flags |= CALLBACK_FLAG_TCP;
    uint32_t kind = flags & CALLBACK_KIND_MASK;
    if ((kind == CALLBACK_FLAG_TCP && port == 0) || host.empty() || HasControlCharacters(host))
        Fail(__LINE__, ERROR_INVALID_PARAMETER);
    CMutexGuard guard(&m_callbackMutex);
    LockForRequest(&guard, LOCK_REQUEST_SHORT_MS, __LINE__);
    if (m_callbacks.size() >= CALLBACK_ENTRY_LIMIT)
        Fail(__LINE__, ERROR_NO_MORE_IDS);
    for (const auto& [id, entry] : m_callbacks) {
        if ((entry.flags & CALLBACK_KIND_MASK) == kind && entry.host == host && entry.port == port)
            return id;
    }
    uint32_t stored = (flags & ~(CALLBACK_FLAG_CALLBACK | CALLBACK_FLAG_INCOMING)) | CALLBACK_FLAG_CALLBACK;
    try {
        uint32_t error = 0;
        errno = 0;
        uint32_t id = m_network->AddCallbackConnection(0, host, port, kind, stored & CALLBACK_OPTIONS_MASK, &error);
        if (id == 0) {
            // errno tells the cause when a system call failed; the network
            // server's own answer otherwise.
            Fail(__LINE__, errno != 0 ? static_cast<uint32_t>(errno) : error);
        }
        try {
            m_callbacks[id] = CallbackEntry{host, port, stored};
        } catch (...) {
            m_network->RemoveCallbackConnection(id);
            throw;
        }
        return id;
    } catch (std::bad_alloc&) {
        Fail(__LINE__, ERROR_NOT_ENOUGH_MEMORY);
    }
}

void CUsbServerCoreImpl::RemoveCallbackConnection(uint32_t id)
{
    CMutexGuard guard(&m_callbackMutex);
    LockForRequest(&guard, LOCK_REQUEST_SHORT_MS, __LINE__);
    auto entry = m_callbacks.find(id);
    if (entry == m_callbacks.end())
        Fail(__LINE__, ERROR_UNKNOWN_CONNECTION);
    if (!m_network->RemoveCallbackConnection(id))
        Fail(__LINE__, ERROR_TIMEOUT);
    m_callbacks.erase(entry);
}

void CUsbServerCoreImpl::SetCallbackConnectionFlags(uint32_t id, uint32_t flags)
{
    CMutexGuard guard(&m_callbackMutex);
    LockForRequest(&guard, LOCK_REQUEST_SHORT_MS, __LINE__);
    auto entry = m_callbacks.find(id);
    if (entry == m_callbacks.end())
        Fail(__LINE__, ERROR_UNKNOWN_CONNECTION);
    entry->second.flags = (entry->second.flags & ~CALLBACK_OPTIONS_MASK) | (flags & CALLBACK_OPTIONS_MASK);
    m_network->SetCallbackConnectionFlags(id, entry->second.flags & CALLBACK_OPTIONS_MASK);
}

void CUsbServerCoreImpl::RemoveAllCallbackConnections()
{
    CMutexGuard guard(&m_callbackMutex);
    if (guard.LockAbortable(&m_stop, LOCK_REQUEST_SHORT_MS) != SYNC_OK) {
        LogDebug(MODULE_USBSERVERCORE, __LINE__, ERROR_TIMEOUT);
        return;
    }
    for (const auto& entry : m_callbacks)
        m_network->RemoveCallbackConnection(entry.first);
    m_callbacks.clear();
}

// ---------------------------------------------------------------------------
// Connect record

bool CUsbServerCoreImpl::UnscrambleConnectRecord(uint8_t* record, size_t size, uint8_t platform)
{
    if (!record || size != CONNECT_RECORD_SIZE)
        return false;
    std::unique_ptr<uint8_t[]> key(new (std::nothrow) uint8_t[CONNECT_RECORD_KEY_SIZE]);
    std::unique_ptr<uint8_t[]> digest(new (std::nothrow) uint8_t[MD5_DIGEST_SIZE]);
    if (!key || !digest)
        return false;
    // The key is drawn anew for every record from the client's platform
    // byte; it is kept nowhere.
    RANDOM_STATE random;
    RandomInit(&random, platform);
    RandomFillLcg(&random, key.get(), CONNECT_RECORD_KEY_SIZE);
    RC4_STATE rc4;
    Rc4Init(&rc4, key.get(), CONNECT_RECORD_KEY_SIZE);
    uint8_t* scrambled = record + 8;
    const size_t length = CONNECT_RECORD_SIZE - 8;
    Rc4Crypt(&rc4, scrambled, scrambled, length);
    MD5_CONTEXT md5;
    Md5Init(&md5);
    Md5Update(&md5, scrambled, length);
    Md5Final(&md5, digest.get());
    for (size_t i = 0; i < CONNECT_RECORD_ECHO_SIZE; ++i) {
        record[8 + i] ^= digest[i];
        record[8 + i] ^= record[CONNECT_RECORD_SIZE - 1 - i];
    }
    return true;
}
