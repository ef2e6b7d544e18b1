#include "calvix/apiiface.h"

#include <arpa/inet.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "calvix/controlwire.h"

namespace {

constexpr int kCacheLockMs = 5000;
// Notifications taken from the queue before one refresh; a daemon that
// keeps the queue full cannot hold the thread in the drain.
constexpr int kMaxDrain = 4096;

uint32_t Location(const CExceptionEx& error)
{
    return static_cast<uint32_t>(error.GetModule()) << 16 | error.GetLine();
}

[[noreturn]] void Fail(uint32_t line, uint32_t error)
{
    throw new CExceptionEx(MODULE_APIIFACE, line, error);
}

// Takes the cache lock for 5000 ms, giving up when stop is set.
class CCacheLock {
public:
    CCacheLock(CMutex* mutex, CEvent* stop) : m_guard(mutex)
    {
        if (m_guard.LockAbortable(stop, kCacheLockMs) != SYNC_OK)
            Fail(__LINE__, API_ERROR_LOCK_TIMEOUT);
    }

private:
    CMutexGuard m_guard;
};

// A text is handed out only when it fits its 256-byte field with its NUL.
void CopyText(char (&field)[256], const std::string& text)
{
    memset(field, 0, sizeof(field));
    if (!text.empty() && text.size() < sizeof(field))
        memcpy(field, text.data(), text.size());
}

API_DEVICE_RECORD MakeDeviceRecord(const DeviceEntry& entry)
{
    API_DEVICE_RECORD record;
    memset(&record, 0, sizeof(record));
    record.id = entry.id;
    record.owner = entry.owner;
    record.state = entry.state;
    record.flags = entry.flags;
    record.userAddress = entry.clientAddress.GetIPv4();
    record.timeout = entry.timeout;
    record.vendorId = entry.vendorId;
    record.productId = entry.productId;
    record.bcdDevice = entry.bcdDevice;
    record.deviceClass = entry.deviceClass;
    record.deviceSubclass = entry.deviceSubclass;
    record.deviceProtocol = entry.deviceProtocol;
    record.speed = entry.speed;
    record.entryByte10 = entry.byte10;
    record.resetMethod = entry.resetMethod;
    record.entryByte12 = entry.byte12;
    CopyText(record.name, entry.product);
    CopyText(record.nickname, entry.nickname);
    CopyText(record.identity, entry.identity);
    CopyText(record.serial, entry.serial);
    CopyText(record.busId, entry.busId);
    return record;
}

API_CONNECTION_RECORD MakeConnectionRecord(const ConnectionEntry& entry)
{
    API_CONNECTION_RECORD record;
    memset(&record, 0, sizeof(record));
    record.id = entry.id;
    record.status = entry.state;
    record.flags = entry.flags;
    record.extra = entry.extra;
    record.platform = entry.platform;
    record.secondAddress = entry.secondAddress.IsIPv4() ? ntohl(entry.secondAddress.GetIPv4()) : 0;
    record.address = entry.address.GetIPv4();
    record.port = entry.port;
    CopyText(record.host, entry.name);
    return record;
}

// The size-query convention of every list: a null buffer asks for the size;
// a buffer too small takes the whole records that fit and fails with 299.
template <typename Record>
void CopyRecords(const std::vector<Record>& records, Record* buffer, uint32_t* size)
{
    if (!size)
        Fail(__LINE__, API_ERROR_INVALID_PARAMETER);
    size_t needed = records.size() * sizeof(Record);
    if (!buffer) {
        *size = static_cast<uint32_t>(needed);
        return;
    }
    size_t room = *size / sizeof(Record);
    size_t count = std::min(room, records.size());
    if (count)
        memcpy(static_cast<void*>(buffer), records.data(), count * sizeof(Record));
    *size = static_cast<uint32_t>(count * sizeof(Record));
    if (count < records.size())
        Fail(__LINE__, API_ERROR_PARTIAL_COPY);
}

void PutU32(std::vector<uint8_t>& out, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

} // namespace

// One request exchange: the bytes of the request are built first, so that
// nothing reaches the daemon before every argument has been checked; Send
// connects, writes them and reads the status word.
class CApiIface::CRequest {
public:
    CRequest(const CApiIface& api, uint32_t code, const SYNC_FLAG* cancel = nullptr)
        : m_api(api), m_cancel(cancel)
    {
        U32(code);
    }

    void U8(uint8_t value) { m_out.push_back(value); }
    void U16(uint16_t value)
    {
        m_out.push_back(static_cast<uint8_t>(value));
        m_out.push_back(static_cast<uint8_t>(value >> 8));
    }
    void U32(uint32_t value) { PutU32(m_out, value); }
    void Bytes(const void* data, size_t length)
    {
        const auto* bytes = static_cast<const uint8_t*>(data);
        m_out.insert(m_out.end(), bytes, bytes + length);
    }
    // CORE_WIRE_STRING: u32 length, the bytes, no NUL.
    void Text(const char* text, size_t length)
    {
        U32(static_cast<uint32_t>(length));
        Bytes(text, length);
    }

    void Send()
    {
        m_iface.SetIdleLimit(m_api.m_settings.idleLimitMs);
        switch (m_iface.Connect(m_api.m_settings.socketName)) {
        case USERIFACE_CONNECTED:
            break;
        case USERIFACE_REFUSED:
            throw new CExceptionEx(0, 0, API_ERROR_SERVICE_NOT_ACTIVE);
        case USERIFACE_ACCESS_DENIED:
            Fail(__LINE__, API_ERROR_ACCESS_DENIED);
        default:
            Fail(__LINE__, API_ERROR_CONNECT_FAILED);
        }
        if (!m_iface.Write(m_out.data(), m_out.size(), m_cancel))
            Fail(__LINE__, TransferError());
        uint32_t status = 0;
        if (!m_iface.Read(&status, sizeof(status), m_cancel))
            Fail(__LINE__, TransferError());
        if (status == 0)
            m_iface.ReadAndThrowError(m_cancel);
    }

    void Write(const void* data, size_t length)
    {
        if (!m_iface.Write(data, length, m_cancel))
            Fail(__LINE__, TransferError());
    }
    // A daemon that stopped moving bytes is as unreachable as one that
    // does not listen.
    uint32_t TransferError() const
    {
        return m_iface.TimedOut() ? API_ERROR_CONNECT_FAILED : API_ERROR_TRANSFER_FAILED;
    }
    void Read(void* data, size_t length)
    {
        if (!m_iface.Read(data, length, m_cancel))
            Fail(__LINE__, TransferError());
    }
    uint32_t ReadU32()
    {
        uint32_t value = 0;
        Read(&value, sizeof(value));
        return value;
    }
    // The rest of the reply: the daemon closes the connection after it.
    std::vector<uint8_t> ReadRest()
    {
        std::vector<uint8_t> data;
        if (!m_iface.ReadToEnd(data, m_api.m_settings.maxReplyBytes, m_cancel))
            Fail(__LINE__, TransferError());
        return data;
    }

private:
    const CApiIface& m_api;
    const SYNC_FLAG* m_cancel;
    std::vector<uint8_t> m_out;
    CUserIface m_iface;
};

template <typename Body>
bool CApiIface::Run(Body body, bool alreadyDoneIsSuccess)
{
    try {
        body();
        SetLastError(0, 0);
        return true;
    } catch (CExceptionEx* error) {
        uint32_t code = error->GetError();
        SetLastError(code, Location(*error));
        delete error;
        return alreadyDoneIsSuccess && code == API_ERROR_ALREADY_DONE;
    } catch (CMutexAutoGuardException&) {
        SetLastError(API_ERROR_LOCK_TIMEOUT, MODULE_APIIFACE << 16 | __LINE__);
    } catch (std::bad_alloc&) {
        SetLastError(API_ERROR_NOT_ENOUGH_MEMORY, MODULE_APIIFACE << 16 | __LINE__);
    } catch (...) {
        SetLastError(API_ERROR_NOT_ENOUGH_MEMORY, MODULE_APIIFACE << 16 | __LINE__);
    }
    return false;
}

CApiIface::CApiIface(bool notifications, const ApiSettings& settings)
    : m_notifications(notifications), m_settings(settings)
{
    SetLastError(0, 0);
    try {
        uint32_t version = 0;
        GetVersion(version, nullptr);
        if (version != CORE_INTERFACE_VERSION)
            Fail(__LINE__, API_ERROR_VERSION);
        uint32_t state = GetStartupState();
        if (state <= CORE_STARTUP_STATE_READY_ABOVE)
            throw new CExceptionEx(state >> 16, state & 0xFFFF, API_ERROR_SERVICE_NOT_ACTIVE);
        if (m_notifications)
            MakeNotifyQueue(nullptr);
        {
            CCacheLock lock(&m_cacheMutex, &m_stop);
            ReadSnapshot(nullptr);
        }
        if (m_notifications) {
            m_thread = CThread::Create(NotifyThreadMain, this, CTHREAD_JOINABLE);
            if (!m_thread)
                Fail(__LINE__, API_ERROR_NOT_ENOUGH_MEMORY);
        }
    } catch (...) {
        Cleanup();
        throw;
    }
}

CApiIface::~CApiIface()
{
    Cleanup();
}

void CApiIface::Cleanup()
{
    m_stop.Set();
    if (m_thread) {
        // Every wait of the thread takes the stop event, so it ends; a
        // bounded join would leave a joinable thread running and abort.
        m_thread->Join(-1);
        delete m_thread;
        m_thread = nullptr;
    }
    RemoveNotifyQueue();
}

void CApiIface::MakeNotifyQueue(const SYNC_FLAG* cancel)
{
    int queue = msgget(IPC_PRIVATE, IPC_CREAT | 0666);
    if (queue < 0)
        Fail(__LINE__, API_ERROR_IPC);
    m_queueId = queue;
    RegisterNotifyQueue(queue, cancel);
    m_queueRegistered = true;
}

void CApiIface::RemoveNotifyQueue()
{
    int queue = m_queueId.exchange(-1);
    if (queue < 0)
        return;
    if (m_queueRegistered) {
        m_queueRegistered = false;
        try {
            UnregisterNotifyQueue(queue);
        } catch (CExceptionEx* error) {
            delete error;
        }
    }
    msgctl(queue, IPC_RMID, nullptr);
}

void CApiIface::SetLastError(uint32_t code, uint32_t location)
{
    m_lastErrorCode.Set(code);
    m_lastErrorLocation.Set(location);
}

uint32_t CApiIface::GetLastError(uint32_t* location) const
{
    if (location)
        *location = static_cast<uint32_t>(m_lastErrorLocation.Get());
    return static_cast<uint32_t>(m_lastErrorCode.Get());
}

void CApiIface::ThrowLastError() const
{
    uint32_t location = 0;
    uint32_t code = GetLastError(&location);
    throw new CExceptionEx(location >> 16, location & 0xFFFF, code);
}

void CApiIface::GetVersion(uint32_t& version, std::string* text)
{
    CRequest request(*this, CORE_REQ_GET_VERSION);
    request.Send();
    version = request.ReadU32();
    uint32_t length = request.ReadU32();
    // The product name is short; at most 255 bytes of it are taken.
    char buffer[256] = {};
    uint32_t take = std::min<uint32_t>(length, 255);
    request.Read(buffer, take);
    if (text)
        text->assign(buffer, strnlen(buffer, take));
}

uint32_t CApiIface::GetStartupState()
{
    CRequest request(*this, CORE_REQ_GET_STARTUP_STATE);
    request.Send();
    return request.ReadU32();
}

void CApiIface::RegisterNotifyQueue(int queue, const SYNC_FLAG* cancel)
{
    CRequest request(*this, CORE_REQ_REGISTER_NOTIFY_QUEUE, cancel);
    request.U32(static_cast<uint32_t>(queue));
    request.Send();
}

void CApiIface::UnregisterNotifyQueue(int queue)
{
    CRequest request(*this, CORE_REQ_UNREGISTER_NOTIFY_QUEUE);
    request.U32(static_cast<uint32_t>(queue));
    request.Send();
}

void CApiIface::ReadSnapshot(const SYNC_FLAG* cancel)
{
    CRequest request(*this, CORE_REQ_GET_SNAPSHOT, cancel);
    request.Send();
    std::vector<uint8_t> reply = request.ReadRest();
    SnapshotLists lists;
    uint32_t error = ParseSnapshotReply(reply.data(), reply.size(), lists);

    m_ownListeners.clear();
    m_servers.clear();
    m_clients.clear();
    m_callbacks.clear();
    m_devices.clear();
    m_usage.clear();
    for (const ConnectionEntry& entry : lists.connections)
        StoreConnectionEntry(entry);
    for (const DeviceEntry& entry : lists.devices)
        m_devices[entry.owner].push_back(entry);
    for (const UsageEntry& entry : lists.usages)
        m_usage[entry.owner][entry.deviceId] = entry;
    if (error)
        Fail(__LINE__, error);
}

void CApiIface::StoreConnectionEntry(const ConnectionEntry& entry)
{
    if (entry.id == 0)
        m_ownListeners.push_back(entry);
    else if (IsServerId(entry.id))
        m_servers[entry.id] = entry;
    else if (IsClientId(entry.id))
        m_clients[entry.id] = entry;
    else if (IsCallbackId(entry.id))
        m_callbacks[entry.id] = entry;
}

void CApiIface::Refresh(const SYNC_FLAG* cancel)
{
    CCacheLock lock(&m_cacheMutex, &m_stop);
    ReadSnapshot(cancel);
}

bool CApiIface::RefreshSnapshot()
{
    return Run([&] { Refresh(nullptr); });
}

void CApiIface::RefreshSnapshotQuiet()
{
    uint32_t location = 0;
    uint32_t code = GetLastError(&location);
    RefreshSnapshot();
    // The operation's own result stays the last error.
    SetLastError(code, location);
}

// Cache queries.

bool CApiIface::ListDevices(API_DEVICE_RECORD* buffer, uint32_t* size)
{
    return Run([&] {
        std::vector<API_DEVICE_RECORD> records;
        CCacheLock lock(&m_cacheMutex, &m_stop);
        for (const auto& [owner, devices] : m_devices) {
            if (IsServerId(owner))
                continue;
            for (const DeviceEntry& entry : devices)
                records.push_back(MakeDeviceRecord(entry));
        }
        CopyRecords(records, buffer, size);
    });
}

bool CApiIface::ListServerDevices(uint32_t serverId, API_DEVICE_RECORD* buffer, uint32_t* size)
{
    return Run([&] {
        if (!IsServerId(serverId))
            Fail(__LINE__, API_ERROR_INVALID_PARAMETER);
        CCacheLock lock(&m_cacheMutex, &m_stop);
        if (!m_servers.count(serverId))
            Fail(__LINE__, API_ERROR_SERVER_NOT_FOUND);
        std::vector<API_DEVICE_RECORD> records;
        auto found = m_devices.find(serverId);
        if (found != m_devices.end()) {
            for (const DeviceEntry& entry : found->second)
                records.push_back(MakeDeviceRecord(entry));
        }
        CopyRecords(records, buffer, size);
    });
}

namespace {

std::vector<API_CONNECTION_RECORD> MakeConnectionRecords(const std::map<uint32_t, ConnectionEntry>& map)
{
    std::vector<API_CONNECTION_RECORD> records;
    for (const auto& [id, entry] : map)
        records.push_back(MakeConnectionRecord(entry));
    return records;
}

} // namespace

bool CApiIface::ListClients(API_CONNECTION_RECORD* buffer, uint32_t* size)
{
    return Run([&] {
        CCacheLock lock(&m_cacheMutex, &m_stop);
        CopyRecords(MakeConnectionRecords(m_clients), buffer, size);
    });
}

bool CApiIface::ListCallbackConnections(API_CONNECTION_RECORD* buffer, uint32_t* size)
{
    return Run([&] {
        CCacheLock lock(&m_cacheMutex, &m_stop);
        CopyRecords(MakeConnectionRecords(m_callbacks), buffer, size);
    });
}

bool CApiIface::ListServers(API_CONNECTION_RECORD* buffer, uint32_t* size)
{
    return Run([&] {
        CCacheLock lock(&m_cacheMutex, &m_stop);
        CopyRecords(MakeConnectionRecords(m_servers), buffer, size);
    });
}

bool CApiIface::ListOwnListeners(uint32_t serverId, API_CONNECTION_RECORD* buffer, uint32_t* size)
{
    return Run([&] {
        if (serverId != 0)
            Fail(__LINE__, API_ERROR_NOT_SUPPORTED);
        CCacheLock lock(&m_cacheMutex, &m_stop);
        std::vector<API_CONNECTION_RECORD> records;
        for (const ConnectionEntry& entry : m_ownListeners)
            records.push_back(MakeConnectionRecord(entry));
        CopyRecords(records, buffer, size);
    });
}

bool CApiIface::BuildServerRecord(API_CONNECTION_RECORD& record) const
{
    if (m_ownListeners.empty())
        Fail(__LINE__, API_ERROR_SERVER_NOT_FOUND);
    memset(&record, 0, sizeof(record));
    record.status = CONNECTION_STATUS_REMOVED;
    CopyText(record.host, "My Computer");
    for (const ConnectionEntry& entry : m_ownListeners) {
        // "connected" outranks "error", which outranks "disconnected".
        bool keep = record.status == CONNECTION_STATUS_CONNECTED ||
                    (record.status == CONNECTION_STATUS_DISCONNECTED && entry.state != CONNECTION_STATUS_CONNECTED &&
                     entry.state != CONNECTION_STATUS_ERROR) ||
                    (record.status == CONNECTION_STATUS_ERROR && entry.state != CONNECTION_STATUS_CONNECTED);
        if (!keep)
            record.status = entry.state;
        if (entry.flags & CONNECTION_FLAG_AUTO)
            record.flags |= CONNECTION_FLAG_AUTO;
        record.platform = entry.platform;
        uint32_t transport = entry.flags & CONNECTION_TRANSPORT_MASK;
        uint32_t current = record.flags & CONNECTION_TRANSPORT_MASK;
        if (transport == 0 || transport == CONNECTION_TRANSPORT_MIXED)
            Fail(__LINE__, API_ERROR_BAD_DATA);
        if (transport == CONNECTION_TRANSPORT_RDP) {
            if (current == 0)
                record.flags |= CONNECTION_TRANSPORT_RDP | CONNECTION_FLAG_FILTER_BIT1;
            else
                record.flags |= CONNECTION_TRANSPORT_MIXED;
            record.flags |= entry.flags & CONNECTION_FLAG_RDP_EXTRA;
        } else if (transport == CONNECTION_TRANSPORT_TCP) {
            if (current == 0) {
                record.flags |= CONNECTION_TRANSPORT_TCP;
            } else {
                record.flags |= CONNECTION_TRANSPORT_MIXED;
                record.flags &= ~CONNECTION_FLAG_FILTER_BIT1;
            }
            record.flags |= entry.flags & (CONNECTION_FLAG_LISTENER_EXTRA | CONNECTION_FLAG_FILTER_BIT1 |
                                           CONNECTION_FLAG_FILTER_BIT2);
            record.secondAddress = entry.secondAddress.IsIPv4() ? ntohl(entry.secondAddress.GetIPv4()) : 0;
            record.port = entry.port;
            record.address = entry.address.GetIPv4();
        }
    }
    return true;
}

bool CApiIface::GetConnectionRecord(uint32_t id, API_CONNECTION_RECORD* record)
{
    return Run([&] {
        if (!record)
            Fail(__LINE__, API_ERROR_INVALID_PARAMETER);
        CCacheLock lock(&m_cacheMutex, &m_stop);
        const std::map<uint32_t, ConnectionEntry>* map = nullptr;
        uint32_t absent = API_ERROR_CLIENT_NOT_FOUND;
        if (id == 0) {
            BuildServerRecord(*record);
            return;
        } else if (IsServerId(id)) {
            map = &m_servers;
            absent = API_ERROR_SERVER_NOT_FOUND;
        } else if (IsClientId(id)) {
            map = &m_clients;
        } else if (IsCallbackId(id)) {
            map = &m_callbacks;
        } else {
            Fail(__LINE__, API_ERROR_INVALID_PARAMETER);
        }
        auto found = map->find(id);
        if (found == map->end())
            Fail(__LINE__, absent);
        *record = MakeConnectionRecord(found->second);
    });
}

uint32_t CApiIface::FindDeviceOwner(uint32_t deviceId) const
{
    for (const auto& [owner, devices] : m_devices) {
        if (IsServerId(owner))
            continue;
        for (const DeviceEntry& entry : devices) {
            if (entry.id == deviceId)
                return owner;
        }
    }
    return 0;
}

const DeviceEntry* CApiIface::FindDevice(uint32_t ownerKey, uint32_t deviceId) const
{
    auto found = m_devices.find(ownerKey);
    if (found == m_devices.end())
        return nullptr;
    for (const DeviceEntry& entry : found->second) {
        if (entry.id == deviceId)
            return &entry;
    }
    return nullptr;
}

bool CApiIface::GetDeviceRecord(uint32_t serverId, uint32_t deviceId, API_DEVICE_RECORD* record)
{
    return Run([&] {
        if (!record || deviceId == 0 || deviceId == 0xFFFFFFFF)
            Fail(__LINE__, API_ERROR_INVALID_PARAMETER);
        CCacheLock lock(&m_cacheMutex, &m_stop);
        uint32_t key = serverId == 0 ? FindDeviceOwner(deviceId) : serverId;
        if (!m_devices.count(key))
            Fail(__LINE__, API_ERROR_SERVER_NOT_FOUND);
        const DeviceEntry* entry = FindDevice(key, deviceId);
        if (!entry)
            Fail(__LINE__, API_ERROR_DEVICE_NOT_FOUND);
        *record = MakeDeviceRecord(*entry);
    });
}

bool CApiIface::GetDeviceUserText(uint32_t clientId, uint32_t deviceId, char* buffer, uint32_t size, bool nameOnly)
{
    return Run([&] {
        if ((clientId == 0 && deviceId == 0) || !buffer)
            Fail(__LINE__, API_ERROR_INVALID_PARAMETER);
        CCacheLock lock(&m_cacheMutex, &m_stop);
        auto owner = m_usage.find(clientId);
        if (owner == m_usage.end() && IsClientOrCallbackId(clientId))
            owner = m_usage.find(0);
        if (owner == m_usage.end())
            Fail(__LINE__, API_ERROR_SERVER_NOT_FOUND);
        auto usage = owner->second.find(deviceId);
        if (usage == owner->second.end())
            Fail(__LINE__, API_ERROR_DEVICE_NOT_FOUND);
        std::string text = usage->second.clientName;
        if (text.empty() && !nameOnly && usage->second.address.IsValid())
            text = usage->second.address.ToString();
        if (size == 0)
            Fail(__LINE__, API_ERROR_PARTIAL_COPY);
        if (text.size() + 1 > size) {
            memcpy(buffer, text.data(), size - 1);
            buffer[size - 1] = '\0';
            Fail(__LINE__, API_ERROR_PARTIAL_COPY);
        }
        memcpy(buffer, text.c_str(), text.size() + 1);
    });
}

bool CApiIface::GetObjectError(uint32_t objectId, uint32_t deviceId, uint32_t* code, uint32_t* location, char* text,
                               uint32_t textSize)
{
    return Run([&] {
        CCacheLock lock(&m_cacheMutex, &m_stop);
        const CExceptionEx* error = nullptr;
        const std::string* name = nullptr;
        if (deviceId != 0) {
            uint32_t key = (objectId == 0 || IsClientOrCallbackId(objectId)) ? FindDeviceOwner(deviceId) : objectId;
            const DeviceEntry* entry = FindDevice(key, deviceId);
            if (!entry)
                Fail(__LINE__, API_ERROR_DEVICE_NOT_FOUND);
            error = &entry->error;
            name = &entry->product;
        } else {
            const ConnectionEntry* entry = nullptr;
            uint32_t absent = API_ERROR_CLIENT_NOT_FOUND;
            if (objectId == 0) {
                absent = API_ERROR_SERVER_NOT_FOUND;
                if (!m_ownListeners.empty())
                    entry = &m_ownListeners.front();
            } else {
                const std::map<uint32_t, ConnectionEntry>* map = &m_clients;
                if (IsServerId(objectId)) {
                    map = &m_servers;
                    absent = API_ERROR_SERVER_NOT_FOUND;
                } else if (IsCallbackId(objectId)) {
                    map = &m_callbacks;
                }
                auto found = map->find(objectId);
                if (found != map->end())
                    entry = &found->second;
            }
            if (!entry)
                Fail(__LINE__, absent);
            error = &entry->error;
            name = &entry->name;
        }
        if (code)
            *code = error->GetError();
        if (location)
            *location = Location(*error);
        if (text && textSize) {
            size_t take = std::min<size_t>(name->size(), textSize - 1);
            memcpy(text, name->data(), take);
            text[take] = '\0';
        }
    });
}

bool CApiIface::GetConnectionErrorByKind(uint32_t id, uint32_t transport, uint32_t* code, uint32_t* location)
{
    return Run([&] {
        CCacheLock lock(&m_cacheMutex, &m_stop);
        const ConnectionEntry* found = nullptr;
        uint32_t absent = API_ERROR_CLIENT_NOT_FOUND;
        auto matches = [&](const ConnectionEntry& entry) {
            return (entry.flags & CONNECTION_TRANSPORT_MASK) == transport;
        };
        if (id == 0) {
            absent = API_ERROR_SERVER_NOT_FOUND;
            for (const ConnectionEntry& entry : m_ownListeners) {
                if (matches(entry)) {
                    found = &entry;
                    break;
                }
            }
        } else {
            const std::map<uint32_t, ConnectionEntry>* map =
                IsServerId(id) ? &m_servers : IsCallbackId(id) ? &m_callbacks : &m_clients;
            if (IsServerId(id))
                absent = API_ERROR_SERVER_NOT_FOUND;
            auto entry = map->find(id);
            if (entry != map->end() && matches(entry->second))
                found = &entry->second;
        }
        if (!found)
            Fail(__LINE__, absent);
        if (code)
            *code = found->error.GetError();
        if (location)
            *location = Location(found->error);
    });
}

bool CApiIface::WaitForDeviceConnection(uint32_t id, uint32_t deviceId, bool ignoreErrors, int timeoutMs)
{
    return Run([&] {
        int remaining = timeoutMs;
        bool seenConnecting = false;
        // What the cache already holds (the refresh that follows a connect
        // request) counts as a look at the device: a connection made and
        // dropped again before the next refresh was seen connecting here.
        if (deviceId != 0) {
            CCacheLock lock(&m_cacheMutex, &m_stop);
            bool local = id == 0 || IsClientOrCallbackId(id);
            const DeviceEntry* entry = FindDevice(local ? FindDeviceOwner(deviceId) : id, deviceId);
            if (entry && entry->state == DEVICE_STATE_CONNECTING)
                seenConnecting = true;
        }
        for (;;) {
            // The cache may predate the request that started the connection:
            // look at the daemon's state before the first check as well.
            if (!m_notifications)
                Refresh(nullptr);
            {
                CCacheLock lock(&m_cacheMutex, &m_stop);
                if (deviceId != 0) {
                    bool local = id == 0 || IsClientOrCallbackId(id);
                    uint32_t key = local ? FindDeviceOwner(deviceId) : id;
                    const DeviceEntry* entry = FindDevice(key, deviceId);
                    if (!entry)
                        Fail(__LINE__, API_ERROR_DEVICE_NOT_FOUND);
                    uint32_t state = entry->state;
                    bool done = local ? (state == DEVICE_STATE_IN_USE || state == DEVICE_STATE_IN_USE_INACTIVE)
                                      : state == 6;
                    if (done)
                        return;
                    bool hasError = entry->error.GetError() != 0;
                    if (state == DEVICE_STATE_CONNECTING) {
                        seenConnecting = true;
                    } else if (seenConnecting) {
                        // It came through connecting and left it other than in
                        // use: the client connected and let go between two
                        // looks, or the connection failed.
                        if (hasError)
                            throw new CExceptionEx(entry->error);
                        return;
                    } else if (!ignoreErrors && hasError) {
                        throw new CExceptionEx(entry->error);
                    }
                } else {
                    const ConnectionEntry* entry = nullptr;
                    const std::map<uint32_t, ConnectionEntry>* map =
                        IsServerId(id) ? &m_servers : IsCallbackId(id) ? &m_callbacks : &m_clients;
                    auto found = map->find(id);
                    if (found != map->end())
                        entry = &found->second;
                    if (!entry)
                        Fail(__LINE__, IsServerId(id) ? API_ERROR_SERVER_NOT_FOUND : API_ERROR_CLIENT_NOT_FOUND);
                    if (entry->state == CONNECTION_STATUS_CONNECTED)
                        return;
                    if (!ignoreErrors && entry->state != CONNECTION_STATUS_CONNECTING &&
                        entry->error.GetError() != 0)
                        throw new CExceptionEx(entry->error);
                }
            }
            if (remaining == 0)
                Fail(__LINE__, API_ERROR_IO_PENDING);
            int pause = m_settings.connectPollMs;
            if (remaining > 0) {
                pause = std::min(pause, remaining);
                remaining -= pause;
            }
            SleepMs(static_cast<uint32_t>(pause));
        }
    });
}

// Requests.

void CApiIface::SendStatusRequest(uint32_t code, std::initializer_list<uint32_t> words)
{
    CRequest request(*this, code);
    for (uint32_t word : words)
        request.U32(word);
    request.Send();
}

bool CApiIface::ShareDevice(uint32_t deviceId)
{
    return Run([&] { SendStatusRequest(CORE_REQ_SHARE_DEVICE, {deviceId}); }, true);
}

bool CApiIface::ShareDeviceEx(uint32_t deviceId, uint32_t parameter)
{
    return Run([&] { SendStatusRequest(CORE_REQ_SHARE_DEVICE_EX, {0, deviceId, parameter}); }, true);
}

bool CApiIface::UnshareDevice(uint32_t deviceId)
{
    return Run([&] { SendStatusRequest(CORE_REQ_UNSHARE_DEVICE, {deviceId}); }, true);
}

bool CApiIface::AddExclusion(uint32_t serverId, uint32_t deviceId)
{
    return Run(
        [&] {
            if (serverId == 0xFFFFFFFF || deviceId == 0 || deviceId == 0xFFFFFFFF)
                Fail(__LINE__, API_ERROR_INVALID_PARAMETER);
            SendStatusRequest(CORE_REQ_ADD_EXCLUSION, {serverId, deviceId});
        },
        true);
}

bool CApiIface::RemoveExclusion(uint32_t serverId, uint32_t deviceId)
{
    return Run(
        [&] {
            if (serverId == 0xFFFFFFFF || deviceId == 0 || deviceId == 0xFFFFFFFF)
                Fail(__LINE__, API_ERROR_INVALID_PARAMETER);
            SendStatusRequest(CORE_REQ_REMOVE_EXCLUSION, {serverId, deviceId});
        },
        true);
}

bool CApiIface::ConnectDevice(uint32_t deviceId, uint32_t clientId)
{
    return Run(
        [&] {
            if (deviceId == 0 || deviceId == 0xFFFFFFFF)
                Fail(__LINE__, API_ERROR_INVALID_PARAMETER);
            SendStatusRequest(CORE_REQ_CONNECT_DEVICE, {deviceId, clientId});
        },
        true);
}

bool CApiIface::DisconnectDevice(uint32_t deviceId)
{
    return Run(
        [&] {
            if (deviceId == 0 || deviceId == 0xFFFFFFFF)
                Fail(__LINE__, API_ERROR_INVALID_PARAMETER);
            SendStatusRequest(CORE_REQ_DISCONNECT_DEVICE, {deviceId});
        },
        true);
}

bool CApiIface::SetTcpPort(uint16_t port)
{
    return Run([&] { SendStatusRequest(CORE_REQ_SET_TCP_PORT, {port}); });
}

bool CApiIface::SetListenAddress(const uint8_t* bytes, uint32_t length)
{
    return Run([&] {
        if (!bytes || (length != 4 && length != 16))
            Fail(__LINE__, API_ERROR_INVALID_PARAMETER);
        CRequest request(*this, CORE_REQ_SET_LISTEN_ADDRESS);
        request.U32(length);
        request.Bytes(bytes, length);
        request.Send();
    });
}

bool CApiIface::SetDeviceTimeout(uint32_t deviceId, uint32_t seconds)
{
    return Run([&] { SendStatusRequest(CORE_REQ_SET_DEVICE_TIMEOUT, {deviceId, seconds}); });
}

bool CApiIface::SetDeviceNickname(uint32_t deviceId, const char* text)
{
    return Run([&] {
        CRequest request(*this, CORE_REQ_SET_DEVICE_NICKNAME);
        request.U32(0);
        request.U32(deviceId);
        request.Text(text ? text : "", text ? strlen(text) : 0);
        request.Send();
    });
}

bool CApiIface::SetDeviceResetMethod(uint32_t deviceId, uint32_t method)
{
    return Run([&] { SendStatusRequest(CORE_REQ_SET_DEVICE_RESET_METHOD, {deviceId, method}); });
}

bool CApiIface::SetObjectFlags(uint32_t objectId, uint32_t flags)
{
    return Run([&] { SendStatusRequest(CORE_REQ_SET_OBJECT_FLAGS, {objectId, 0, flags}); });
}

bool CApiIface::SetObjectFlagsMasked(uint32_t objectId, uint32_t deviceId, uint32_t flags)
{
    (void)flags;
    return Run([&] {
        if (objectId == 0xFFFFFFFF || deviceId == 0xFFFFFFFF)
            Fail(__LINE__, API_ERROR_INVALID_PARAMETER);
        if (deviceId == 0)
            Fail(__LINE__, 1348);
        if (objectId != 0 && !IsServerId(objectId))
            Fail(__LINE__, 1349);
        // The daemon ignores the second word of the request and would set
        // the flags of the object itself: a device cannot be named here.
        Fail(__LINE__, API_ERROR_NOT_SUPPORTED);
    });
}

bool CApiIface::SetConnectionFlagBit(uint32_t id, uint32_t bit, bool on)
{
    API_CONNECTION_RECORD record;
    if (!GetConnectionRecord(id, &record))
        return false;
    uint32_t flags = on ? (record.flags | bit) : (record.flags & ~bit);
    return Run([&] { SendStatusRequest(CORE_REQ_SET_OBJECT_FLAGS, {id, 0, flags}); });
}

bool CApiIface::SetAutoShare(bool on)
{
    return SetConnectionFlagBit(0, CONNECTION_FLAG_AUTO, on);
}

bool CApiIface::SetAutoConnect(uint32_t id, bool on)
{
    return SetConnectionFlagBit(id, CONNECTION_FLAG_AUTO, on);
}

bool CApiIface::SetDeviceAutoFlag(uint32_t objectId, uint32_t deviceId, bool on)
{
    if (deviceId == 0)
        return SetAutoConnect(objectId, on);
    // The daemon would read the device's flags as flags of the object.
    return Run([&] { Fail(__LINE__, API_ERROR_NOT_SUPPORTED); });
}

bool CApiIface::SetConnectionOptionBit(uint32_t id, bool on)
{
    return SetConnectionFlagBit(id, CONNECTION_FLAG_CLIENT_CONTROL, on);
}

bool CApiIface::SetAutoShareMode(uint32_t mode)
{
    return Run([&] { SendStatusRequest(CORE_REQ_SET_AUTO_SHARE_MODE, {0, mode}); });
}

bool CApiIface::AddCallbackConnection(const char* address, uint16_t port, uint32_t kind, uint32_t* newId)
{
    return Run([&] {
        if (!address || strlen(address) > CORE_MAX_REQUEST_TEXT)
            Fail(__LINE__, API_ERROR_INVALID_PARAMETER);
        CRequest request(*this, CORE_REQ_ADD_CALLBACK);
        request.Text(address, strlen(address));
        request.U16(port);
        request.U32(kind & 0x13B1);
        request.Send();
        uint32_t id = request.ReadU32();
        if (newId)
            *newId = id;
    });
}

bool CApiIface::RemoveCallbackConnection(uint32_t id)
{
    return Run([&] {
        if (id == 0 || id == 0xFFFFFFFF)
            Fail(__LINE__, API_ERROR_INVALID_PARAMETER);
        SendStatusRequest(CORE_REQ_REMOVE_CALLBACK, {id});
    });
}

void CApiIface::ReadRuleList(uint32_t code, const uint32_t* deviceId, uint8_t* mode, char* buffer, uint32_t* size)
{
    if ((!mode && !buffer && !size) || (buffer && !size))
        Fail(__LINE__, API_ERROR_INVALID_PARAMETER);
    CRequest request(*this, code);
    if (deviceId)
        request.U32(*deviceId);
    request.Send();
    std::vector<uint8_t> reply = request.ReadRest();
    uint8_t listMode = 0;
    std::vector<std::string> rules;
    if (uint32_t error = ParseRuleListReply(reply.data(), reply.size(), listMode, rules))
        Fail(__LINE__, error);
    if (mode)
        *mode = listMode;
    if (!size)
        return;
    size_t needed = 1;
    for (const std::string& rule : rules)
        needed += rule.size() + 1;
    if (!buffer) {
        *size = static_cast<uint32_t>(needed);
        return;
    }
    if (needed > *size) {
        *size = static_cast<uint32_t>(needed);
        Fail(__LINE__, API_ERROR_INSUFFICIENT_BUFFER);
    }
    char* out = buffer;
    for (const std::string& rule : rules) {
        memcpy(out, rule.c_str(), rule.size() + 1);
        out += rule.size() + 1;
    }
    *out = '\0';
    *size = static_cast<uint32_t>(needed);
}

void CApiIface::SendRuleList(uint32_t code, const uint32_t* deviceId, uint8_t mode, const char* rules)
{
    // The whole list is checked before a byte is sent: a daemon that saw the
    // mode and then a broken list would apply the rules read so far.
    CRequest request(*this, code);
    if (deviceId)
        request.U32(*deviceId);
    request.U8(mode);
    std::vector<const char*> texts;
    for (const char* rule = rules ? rules : ""; *rule; rule += strlen(rule) + 1) {
        if (strlen(rule) > CORE_MAX_WIRE_TEXT || texts.size() >= CORE_MAX_RULES)
            Fail(__LINE__, API_ERROR_INVALID_PARAMETER);
        texts.push_back(rule);
    }
    request.U32(static_cast<uint32_t>(texts.size()));
    for (const char* text : texts)
        request.Text(text, strlen(text));
    request.Send();
}

bool CApiIface::GetIpFilters(uint8_t* mode, char* buffer, uint32_t* size)
{
    return Run([&] { ReadRuleList(CORE_REQ_GET_IP_FILTERS, nullptr, mode, buffer, size); });
}

bool CApiIface::SetIpFilters(uint8_t mode, const char* rules)
{
    return Run([&] {
        if (mode > 2)
            Fail(__LINE__, API_ERROR_INVALID_PARAMETER);
        SendRuleList(CORE_REQ_SET_IP_FILTERS, nullptr, mode, rules);
    });
}

bool CApiIface::GetDeviceAcl(uint32_t deviceId, uint8_t* mode, char* buffer, uint32_t* size)
{
    return Run([&] { ReadRuleList(CORE_REQ_GET_DEVICE_ACL, &deviceId, mode, buffer, size); });
}

bool CApiIface::SetDeviceAcl(uint32_t deviceId, uint8_t mode, const char* rules)
{
    return Run([&] { SendRuleList(CORE_REQ_SET_DEVICE_ACL, &deviceId, mode, rules); });
}

bool CApiIface::GetDevicePolicy(uint8_t selector, uint8_t* mode, API_POLICY_RULE* rules, uint32_t* size)
{
    return Run([&] {
        if ((!mode && !rules && !size) || (rules && !size))
            Fail(__LINE__, API_ERROR_INVALID_PARAMETER);
        CRequest request(*this, CORE_REQ_GET_DEVICE_POLICY);
        request.U8(selector);
        request.Send();
        uint8_t policyMode = 0;
        request.Read(&policyMode, 1);
        uint32_t count = request.ReadU32();
        if (mode)
            *mode = policyMode;
        // The daemon sends the rules only when asked to with a nonzero word.
        const uint32_t wanted = rules ? 1 : 0;
        request.Write(&wanted, sizeof(wanted));
        if (!rules) {
            if (size)
                *size = static_cast<uint32_t>(std::min<uint64_t>(uint64_t(count) * sizeof(API_POLICY_RULE),
                                                                 0xFFFFFFFF));
            return;
        }
        std::vector<uint8_t> reply = request.ReadRest();
        std::vector<API_POLICY_RULE> list;
        if (uint32_t error = ParsePolicyRules(reply.data(), reply.size(), count, list))
            Fail(__LINE__, error);
        CopyRecords(list, rules, size);
    });
}

bool CApiIface::SetDevicePolicy(uint8_t selector, uint8_t mode, const API_POLICY_RULE* rules, uint32_t size)
{
    return Run([&] {
        if (!rules && size != 0)
            Fail(__LINE__, API_ERROR_INVALID_PARAMETER);
        uint32_t count = size / sizeof(API_POLICY_RULE);
        if (count > CORE_MAX_POLICY_RULES)
            Fail(__LINE__, API_ERROR_INVALID_PARAMETER);
        CRequest request(*this, CORE_REQ_SET_DEVICE_POLICY);
        request.U8(selector);
        request.U8(mode);
        request.U32(count);
        for (uint32_t i = 0; i < count; ++i) {
            const API_POLICY_RULE& rule = rules[i];
            request.U32(rule.flags);
            request.U16(rule.vendorId);
            request.U16(rule.productId);
            request.U8(rule.deviceClass);
            request.U8(rule.deviceSubclass);
            request.U8(rule.deviceProtocol);
            const char* texts[] = {(rule.flags & POLICY_MATCH_PORT) ? rule.usbPort : "",
                                   (rule.flags & POLICY_MATCH_SERIAL) ? rule.serial : "", rule.name};
            for (const char* text : texts) {
                // The daemon stops reading the list at a longer text and
                // would apply only the rules before it.
                size_t length = strnlen(text, sizeof(rule.name));
                if (length > CORE_MAX_REQUEST_TEXT)
                    Fail(__LINE__, API_ERROR_INVALID_PARAMETER);
                request.Text(text, length);
            }
        }
        request.Send();
    });
}

namespace {

// The size convention of the text and block requests: a null buffer asks
// for the size; a buffer shorter than what must go into it fails with 299.
void CopyOut(const std::vector<uint8_t>& data, bool terminate, void* buffer, uint32_t* size, uint32_t line)
{
    size_t needed = data.size() + (terminate ? 1 : 0);
    if (!buffer) {
        *size = static_cast<uint32_t>(needed);
        return;
    }
    if (*size < needed) {
        *size = static_cast<uint32_t>(needed);
        Fail(line, API_ERROR_PARTIAL_COPY);
    }
    if (!data.empty())
        memcpy(buffer, data.data(), data.size());
    if (terminate)
        static_cast<char*>(buffer)[data.size()] = '\0';
    *size = static_cast<uint32_t>(needed);
}

} // namespace

bool CApiIface::GetDeviceInstanceId(uint32_t serverId, uint32_t deviceId, char* buffer, uint32_t* size)
{
    return Run([&] {
        if (!size)
            Fail(__LINE__, API_ERROR_INVALID_PARAMETER);
        CRequest request(*this, CORE_REQ_GET_DEVICE_INSTANCE_ID);
        request.U32(serverId);
        request.U32(deviceId);
        request.Send();
        std::vector<uint8_t> reply = request.ReadRest();
        std::vector<uint8_t> text;
        if (uint32_t error = ParseCountedBytes(reply.data(), reply.size(), 256, text))
            Fail(__LINE__, error);
        text.resize(strnlen(reinterpret_cast<const char*>(text.data()), text.size()));
        CopyOut(text, true, buffer, size, __LINE__);
    });
}

bool CApiIface::GetDeviceData(uint32_t deviceId, void* buffer, uint32_t* size)
{
    return Run([&] {
        if (!size)
            Fail(__LINE__, API_ERROR_INVALID_PARAMETER);
        CRequest request(*this, CORE_REQ_GET_DEVICE_DATA);
        request.U32(deviceId);
        request.Send();
        std::vector<uint8_t> reply = request.ReadRest();
        std::vector<uint8_t> block;
        // The block carries its size as a u16.
        if (uint32_t error = ParseCountedBytes(reply.data(), reply.size(), 0xFFFF, block))
            Fail(__LINE__, error);
        CopyOut(block, false, buffer, size, __LINE__);
    });
}

bool CApiIface::GetDeviceInterfaceClasses(uint32_t serverId, uint32_t deviceId, uint8_t* buffer, uint32_t* size)
{
    if (serverId != 0 || !size)
        return Run([&] { Fail(__LINE__, API_ERROR_INVALID_PARAMETER); });
    uint32_t blockSize = 0;
    if (!GetDeviceData(deviceId, nullptr, &blockSize))
        return false;
    std::vector<uint8_t> block(blockSize);
    // The block may have changed between the two requests; a grown one
    // fails with 299 like any list that grew.
    if (!GetDeviceData(deviceId, block.data(), &blockSize))
        return false;
    block.resize(blockSize);
    return Run([&] {
        std::vector<uint8_t> triples;
        if (uint32_t error = ParseInterfaceClasses(block.data(), block.size(), triples))
            Fail(__LINE__, error);
        if (!buffer) {
            *size = static_cast<uint32_t>(triples.size());
            return;
        }
        size_t room = *size - *size % 3;
        size_t take = std::min(room, triples.size());
        if (take)
            memcpy(buffer, triples.data(), take);
        *size = static_cast<uint32_t>(take);
        if (take < triples.size())
            Fail(__LINE__, API_ERROR_PARTIAL_COPY);
    });
}

bool CApiIface::GetVersionText(uint32_t* version, char* text, uint32_t* length)
{
    return Run([&] {
        if (!version && !text && !length)
            Fail(__LINE__, API_ERROR_INVALID_PARAMETER);
        uint32_t number = 0;
        std::string name;
        GetVersion(number, &name);
        if (version)
            *version = number;
        if (!length)
            return;
        if (!text || *length < name.size() + 1) {
            bool asked = text != nullptr;
            *length = static_cast<uint32_t>(name.size() + 1);
            if (asked)
                Fail(__LINE__, API_ERROR_INSUFFICIENT_BUFFER);
            return;
        }
        memcpy(text, name.c_str(), name.size() + 1);
        *length = static_cast<uint32_t>(name.size() + 1);
    });
}

bool CApiIface::AddServer(const char* address, uint16_t port, uint32_t kind, uint32_t* newId)
{
    return Run([&] {
        if (!address || strlen(address) > CORE_MAX_REQUEST_TEXT)
            Fail(__LINE__, API_ERROR_INVALID_PARAMETER);
        CRequest request(*this, CORE_REQ_ADD_SERVER);
        request.Text(address, strlen(address));
        request.U16(port);
        request.U32(kind);
        request.Send();
        uint32_t id = request.ReadU32();
        if (newId)
            *newId = id;
    });
}

bool CApiIface::RemoveServer(uint32_t id)
{
    return Run([&] {
        if (id == 0)
            Fail(__LINE__, API_ERROR_INVALID_PARAMETER);
        SendStatusRequest(CORE_REQ_REMOVE_SERVER, {id});
    });
}

bool CApiIface::Reserved2003(uint32_t first, uint32_t second)
{
    return Run(
        [&] {
            if (first == 0 || first == 0xFFFFFFFF)
                Fail(__LINE__, API_ERROR_INVALID_PARAMETER);
            SendStatusRequest(CORE_REQ_RESERVED_2003, {first, second});
        },
        true);
}

bool CApiIface::Reserved2004(uint32_t serverId, uint32_t deviceId)
{
    return Run([&] { SendStatusRequest(CORE_REQ_RESERVED_2004, {serverId, deviceId}); }, true);
}

bool CApiIface::Reserved1021(uint32_t word)
{
    return Run([&] { SendStatusRequest(CORE_REQ_RESERVED_1021, {word}); });
}

void CApiIface::SetNotifyCallback(API_NOTIFY_CALLBACK callback, void* userData)
{
    CMutexGuard guard(&m_notifyMutex);
    guard.Lock(-1);
    m_callback = callback;
    m_callbackData = userData;
}

bool CApiIface::SetNotifySemaphore(sem_t* semaphore)
{
    return Run([&] {
        if (!semaphore)
            Fail(__LINE__, API_ERROR_INVALID_PARAMETER);
        if (!m_notifications)
            Fail(__LINE__, 1);
        m_semaphore = semaphore;
    });
}

// Notification thread.

int CApiIface::NotifyThreadMain(void* self)
{
    static_cast<CApiIface*>(self)->NotifyLoop();
    return 0;
}

int CApiIface::PollNotifyQueue()
{
    struct {
        long type;
        char body[4];
    } message;
    int taken = 0;
    while (taken < kMaxDrain) {
        ssize_t n = msgrcv(m_queueId.load(), &message, sizeof(message.body), 0, IPC_NOWAIT | MSG_NOERROR);
        if (n >= 0) {
            ++taken;
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno == ENOMSG)
            break;
        return -errno;
    }
    return taken;
}

void CApiIface::NotifyLoop()
{
    int pause = m_settings.notifyIdleMs;
    for (;;) {
        if (m_stop.Wait(pause) == SYNC_OK)
            return;
        int taken = PollNotifyQueue();
        if (taken == -EIDRM || taken == -EINVAL) {
            // The daemon removes a queue that filled up and forgets it; a
            // new one is registered, and what was missed is read below.
            int old = m_queueId.exchange(-1);
            msgctl(old, IPC_RMID, nullptr);
            m_queueRegistered = false;
            try {
                MakeNotifyQueue(m_stop.GetFlagAddress());
            } catch (CExceptionEx* error) {
                delete error;
                RemoveNotifyQueue();
                pause = m_settings.notifyErrorMs;
                continue;
            }
        } else if (taken <= 0) {
            pause = taken == 0 ? m_settings.notifyIdleMs : m_settings.notifyErrorMs;
            continue;
        }
        bool refreshed = false;
        try {
            CCacheLock lock(&m_cacheMutex, &m_stop);
            ReadSnapshot(m_stop.GetFlagAddress());
            refreshed = true;
        } catch (CExceptionEx* error) {
            delete error;
        } catch (...) {
        }
        if (!refreshed) {
            pause = m_settings.notifyErrorMs;
            continue;
        }
        if (sem_t* semaphore = m_semaphore.load())
            sem_post(semaphore);
        API_NOTIFY_CALLBACK callback = nullptr;
        void* userData = nullptr;
        {
            CMutexGuard guard(&m_notifyMutex);
            guard.Lock(-1);
            callback = m_callback;
            userData = m_callbackData;
        }
        if (callback)
            callback(userData);
        pause = m_settings.notifyBusyMs;
    }
}
