// Client sessions: groups of up to 1024 session connections served by one
// thread, with the greeting, incoming records, pings, broadcasts, IP filter
// re-checks and the removal of closed connections.
#include <cstring>

#include "calvixd/core/usbdevice.h"
#include "calvixd/net/devicerecord.h"
#include "calvixd/net/networkserver.h"
#include "calvixd/net/networkserverjob.h"
#include "calvixd/net/sessionrecord.h"

namespace {

void Append32(std::vector<uint8_t>* out, uint32_t value)
{
    uint8_t bytes[4];
    memcpy(bytes, &value, sizeof bytes);
    out->insert(out->end(), bytes, bytes + 4);
}

void AppendRecord(std::vector<uint8_t>* out, std::initializer_list<uint32_t> words)
{
    for (uint32_t word : words)
        Append32(out, word);
}

bool IsCallbackId(uint32_t id)
{
    return (id & CONNECTION_CLASS_MASK) == CONNECTION_CLASS_CALLBACK;
}

// Lines for the event log, written after the locks are released.
struct PendingLine {
    const char* format;
    ADDRESS address;
    std::string text;
};
struct PendingLines {
    std::vector<PendingLine> lines;
    void Add(const char* format, const ADDRESS& address, const std::string& text)
    {
        lines.push_back({format, address, text});
    }
};

std::string PeerName(const ClientConnection& connection)
{
    return connection.socket ? connection.socket->GetPeerName() : std::string();
}

// Snapshot states listed in a greeting, and how they are sent.
bool ListedState(uint32_t state, uint8_t* sent)
{
    switch (state) {
    case 3:
    case 4:
    case 5:
    case 9:
        *sent = static_cast<uint8_t>(state);
        return true;
    case 2:
        *sent = 5;
        return true;
    case 12:
        *sent = 4;
        return true;
    default:
        return false;
    }
}

// Snapshot flag of devices that are never announced.
constexpr uint32_t SNAPSHOT_FLAG_EXCLUDED = 0x2;

} // namespace

bool CNetworkServer::BuildDeviceList(std::vector<uint8_t>* list)
{
    std::vector<DeviceInfo> devices;
    try {
        if (!m_owner->CollectDevices(&devices))
            return false;
        for (const DeviceInfo& device : devices) {
            DeviceRecordFields fields;
            if (!ListedState(device.state, &fields.stateOrEvent) || (device.flags & SNAPSHOT_FLAG_EXCLUDED))
                continue;
            fields.vendorId = device.vendorId;
            fields.productId = device.productId;
            fields.bcdDevice = device.bcdDevice;
            fields.deviceClass = device.deviceClass;
            fields.subClass = device.subClass;
            fields.protocol = device.protocol;
            fields.speed = device.speed;
            fields.deviceId = device.id;
            fields.client = device.clientAddress;
            fields.flags = device.flags;
            fields.usbVersion = device.usbVersion;
            fields.withStrings = true;
            fields.name = device.name;
            fields.nickname = device.nickname;
            fields.instanceIdentity = device.instanceIdentity;
            fields.serial = device.serial;
            fields.port = device.port;
            std::vector<uint8_t> record = EncodeDeviceRecord(SESSION_RECORD_DEVICE, fields);
            list->insert(list->end(), record.begin(), record.end());
        }
    } catch (...) {
        return false;
    }
    return true;
}

size_t CNetworkServer::GetSessionCount()
{
    CMutexGuard guard(&m_sessionsLock);
    if (guard.LockAbortable(&m_stop, m_settings.lockMs) != SYNC_OK)
        return 0;
    return m_sessions.size();
}

bool CNetworkServer::AcceptSession(std::unique_ptr<CSocketBase>* socket, uint32_t kind, const ADDRESS& address,
                                   uint16_t port, uint8_t platform, uint32_t id)
{
    uint8_t answer = '0';
    ClientSession* created = nullptr;
    std::vector<uint8_t> devices;
    bool resolve = false;
    // An accepted client was checked in its handshake; a dialled one, or
    // one that joins a session which applied the filters before, is
    // checked here, or nothing would ever check it.
    if (kind == LISTENER_KIND_TCP && RefusedByFilters(address, std::string())) {
        LogPeer(address, LOG_BURST_WARNING, "Client connected from %s, but was rejected by IP filters.\n",
                (*socket)->GetPeerName());
        return false;
    }
    if (id == 0 || !BuildDeviceList(&devices)) {
        answer = 12;
    } else {
        CMutexGuard sessions(&m_sessionsLock);
        if (sessions.LockAbortable(&m_stop, m_settings.lockMs) != SYNC_OK) {
            answer = 1;
        } else {
            try {
                // The session's loop bounds the connection from here on.
                ForgetDial(socket->get());
                (*socket)->SetDeadline(0);
                ClientConnection connection;
                connection.kind = kind;
                connection.lastReceive = connection.lastPing = Now();
                connection.id = id;
                connection.address = address;
                connection.platform = platform;
                connection.port = port;
                auto parked = m_parked.end();
                if (IsCallbackId(id)) {
                    for (auto it = m_parked.begin(); it != m_parked.end(); ++it)
                        if (it->id == id && it->state == CONNECTION_DIALLING)
                            parked = it;
                    if (parked == m_parked.end())
                        throw 1;
                    connection.clientName = parked->clientName;
                    connection.useCount = parked->useCount;
                    connection.callbackFlags = parked->callbackFlags;
                }
                if (!address.IsValid() && connection.clientName.empty())
                    connection.clientName = (*socket)->GetPeerName();
                uint8_t serverId[16];
                m_owner->GetServerId(serverId);
                connection.output.push_back('0');
                connection.output.insert(connection.output.end(), serverId, serverId + 16);
                AppendRecord(&connection.output, {SESSION_RECORD_CONNECTION_ID, 12, id});
                if (IsCallbackId(id))
                    AppendRecord(&connection.output, {SESSION_RECORD_SETTINGS, 20, 0, 1, connection.callbackFlags});
                connection.output.insert(connection.output.end(), devices.begin(), devices.end());
                resolve = address.IsValid() && connection.clientName.empty();

                ClientSession* target = nullptr;
                for (ClientSession* session : m_sessions) {
                    CMutexGuard connections(&session->connectionLock);
                    if (connections.LockAbortable(&m_stop, m_settings.lockMs) != SYNC_OK)
                        continue;
                    if (session->connections.size() < SESSION_CONNECTION_LIMIT) {
                        connection.socket = std::move(*socket);
                        session->connections.push_back(std::move(connection));
                        target = session;
                        break;
                    }
                }
                if (!target) {
                    created = new ClientSession();
                    connection.socket = std::move(*socket);
                    created->connections.push_back(std::move(connection));
                    m_sessions.push_back(created);
                }
                // The entry's own use of the id passes to the session
                // connection; the dialling thread gives back its own.
                if (parked != m_parked.end())
                    m_parked.erase(parked);
            } catch (...) {
                answer = '1';
                if (created) {
                    // Listed only if push_back succeeded: the socket is back
                    // with the caller either way.
                    if (!created->connections.empty())
                        *socket = std::move(created->connections.front().socket);
                    m_sessions.remove(created);
                    delete created;
                    created = nullptr;
                }
            }
        }
    }
    if (answer != '0') {
        Debug(__LINE__, answer);
        if (*socket)
            (*socket)->Send(&answer, 1, &m_stop);
        return false;
    }
    if (resolve)
        m_resolverClient->ResolveAddress(address);
    m_owner->NotifyListeners();
    if (created) {
        RunSession(created);
        DestroySession(created);
    }
    return true;
}

void CNetworkServer::RunSession(ClientSession* session)
{
    uint64_t filterGeneration = 0;
    while (!m_stop.IsSet()) {
        try {
            if (!TransferSessionData(session) || !ProcessIncoming(session) || !CheckPings(session))
                break;
            DeliverQueuedRecords(session);
            if (!ApplyIpFilters(session, &filterGeneration) || !RemoveClosedConnections(session))
                break;
        } catch (...) {
            // Out of memory: end the session as a failed step does.
            Debug(__LINE__, ERROR_NOT_ENOUGH_MEMORY);
            break;
        }
    }
}

void CNetworkServer::Disconnect(ClientConnection* connection)
{
    if (connection->state != CONNECTION_CLOSING)
        connection->state = CONNECTION_DISCONNECTED;
}

bool CNetworkServer::TransferSessionData(ClientSession* session)
{
    SocketSet set;
    {
        CMutexGuard guard(&session->connectionLock);
        if (guard.LockAbortable(&m_stop, m_settings.scanLockMs) != SYNC_OK)
            return false;
        for (ClientConnection& connection : session->connections) {
            if (!connection.socket)
                continue;
            if (connection.state == CONNECTION_ACTIVE)
                set.AddRead(connection.socket.get());
            if ((connection.state == CONNECTION_ACTIVE || connection.state == CONNECTION_CLOSING) &&
                !connection.output.empty())
                set.AddWrite(connection.socket.get());
        }
    }
    if (set.Wait(100) != 0)
        return true;
    PendingLines log;
    {
        CMutexGuard guard(&session->connectionLock);
        if (guard.LockAbortable(&m_stop, m_settings.lockMs) != SYNC_OK)
            return false;
        for (ClientConnection& connection : session->connections) {
            if (!connection.socket)
                continue;
            CSocketBase* socket = connection.socket.get();
            bool failed = false;
            if (connection.state == CONNECTION_ACTIVE && set.IsReadable(socket)) {
                size_t count = 0;
                if (socket->ReceiveSome(session->receiveBuffer, sizeof session->receiveBuffer, &count) != SOCK_OK)
                    failed = true;
                else
                    connection.input.insert(connection.input.end(), session->receiveBuffer,
                                            session->receiveBuffer + count);
            }
            if (!failed && set.IsWritable(socket) && !connection.output.empty()) {
                size_t count = 0;
                if (socket->SendSome(connection.output.data(), connection.output.size(), &count) != SOCK_OK) {
                    failed = true;
                    connection.output.clear();
                } else {
                    connection.output.erase(connection.output.begin(),
                                            connection.output.begin() + static_cast<long>(count));
                }
            }
            if (failed) {
                Disconnect(&connection);
                log.Add("Client disconnected (%s)\n", connection.address, socket->GetPeerName());
            }
        }
    }
    for (auto& line : log.lines)
        LogPeer(line.address, LOG_BURST_INFO, line.format, line.text);
    return true;
}

bool CNetworkServer::ProcessIncoming(ClientSession* session)
{
    PendingLines log;
    std::vector<ThreadJob*> jobs;
    {
        CMutexGuard guard(&session->connectionLock);
        if (guard.LockAbortable(&m_stop, m_settings.lockMs) != SYNC_OK)
            return false;
        for (ClientConnection& connection : session->connections) {
            if (connection.state != CONNECTION_ACTIVE)
                continue;
            size_t used = 0;
            for (;;) {
                ClientRecord record;
                RecordParse result =
                    ParseClientRecord(connection.input.data() + used, connection.input.size() - used, &record);
                if (result == RecordParse::NeedMore)
                    break;
                if (result == RecordParse::Invalid) {
                    Disconnect(&connection);
                    log.Add("Client disconnected after invalid packet (%s)\n", connection.address,
                            PeerName(connection));
                    used = connection.input.size();
                    break;
                }
                used += record.length;
                connection.lastReceive = Now();
                if (record.ignored) {
                    Debug(__LINE__, record.type);
                    continue;
                }
                ThreadJob* job = nullptr;
                if (record.type == SESSION_RECORD_SESSION_COMMAND && record.command == SESSION_COMMAND_DIAL_BACK) {
                    if (connection.kind != LISTENER_KIND_TCP || !connection.address.IsValid())
                        continue;
                    job = new ThreadJob();
                    job->kind = ThreadJob::DIAL;
                    job->request = 'G';
                    ENDPOINT_ADDRESS endpoint(connection.address, connection.port);
                    job->url = std::string(connection.address.IsIPv6() ? "tcp6://" : "tcp4://") + endpoint.ToString();
                    job->listenerKind = LISTENER_KIND_TCP;
                    job->values[0] = record.values[0];
                    job->values[1] = record.values[1];
                } else if (record.type == SESSION_RECORD_SESSION_COMMAND) {
                    job = new ThreadJob();
                    job->kind = ThreadJob::REMOVE_CALLBACK;
                } else if (record.type == SESSION_RECORD_DEVICE_COMMAND) {
                    job = new ThreadJob();
                    job->kind = ThreadJob::RESERVE;
                    job->deviceId = record.deviceId;
                    job->listenerKind = connection.kind;
                    job->address = connection.address;
                    job->name = connection.clientName;
                }
                if (job) {
                    job->id = connection.id;
                    jobs.push_back(job);
                }
            }
            connection.input.erase(connection.input.begin(), connection.input.begin() + static_cast<long>(used));
        }
    }
    for (auto& line : log.lines)
        LogPeer(line.address, LOG_BURST_INFO, line.format, line.text);
    // Each thread holds a use of the connection's id for its lifetime.
    for (ThreadJob* job : jobs) {
        uint32_t id = job->id;
        if (!BeginCommand(id)) {
            Debug(__LINE__, ERROR_NOT_ENOUGH_MEMORY);
            delete job;
            continue;
        }
        job->command = true;
        if (!AcquireConnection(id)) {
            EndCommand(id);
            delete job;
            continue;
        }
        if (!StartDetached(job)) {
            Debug(__LINE__, ERROR_NOT_ENOUGH_MEMORY);
            ReleaseConnection(id);
        }
    }
    return true;
}

bool CNetworkServer::CheckPings(ClientSession* session)
{
    PendingLines log;
    {
        CMutexGuard guard(&session->connectionLock);
        if (guard.LockAbortable(&m_stop, m_settings.lockMs) != SYNC_OK)
            return false;
        uint32_t now = Now();
        for (ClientConnection& connection : session->connections) {
            if (connection.state != CONNECTION_ACTIVE)
                continue;
            if (now - connection.lastReceive > SESSION_SILENCE_LIMIT_MS) {
                Disconnect(&connection);
                log.Add("Client disconnected after ping timeout (%s)\n", connection.address,
                        PeerName(connection));
            } else if (now - connection.lastPing > SESSION_PING_INTERVAL_MS) {
                AppendRecord(&connection.output, {SESSION_RECORD_PING, 8});
                connection.lastPing = now;
            }
        }
    }
    for (auto& line : log.lines)
        LogPeer(line.address, LOG_BURST_INFO, line.format, line.text);
    return true;
}

static bool Selected(const OutgoingRecord& record, uint32_t id)
{
    if (record.target == 0 || record.mode == DELIVER_ALL)
        return true;
    if (record.mode == DELIVER_ONLY)
        return id == record.target;
    if (record.mode == DELIVER_ALL_BUT)
        return id != record.target;
    return false;
}

bool CNetworkServer::DeliverQueuedRecords(ClientSession* session)
{
    std::vector<OutgoingRecord> queue;
    {
        CMutexGuard guard(&session->sendQueueLock);
        if (guard.LockAbortable(&m_stop, m_settings.lockMs) != SYNC_OK)
            return false;
        queue.swap(session->sendQueue);
    }
    if (queue.empty())
        return true;
    CMutexGuard guard(&session->connectionLock);
    if (guard.LockAbortable(&m_stop, m_settings.lockMs) != SYNC_OK)
        return false;
    for (const OutgoingRecord& record : queue)
        for (ClientConnection& connection : session->connections)
            if (connection.state == CONNECTION_ACTIVE && Selected(record, connection.id))
                connection.output.insert(connection.output.end(), record.bytes.begin(), record.bytes.end());
    return true;
}

bool CNetworkServer::FiltersRefuse(uint8_t mode, const std::vector<AddressRule>& rules, const ADDRESS& address,
                                   const std::string& name)
{
    if (mode != FILTER_MODE_ALLOW && mode != FILTER_MODE_DENY)
        return false;
    bool matched = false;
    for (const AddressRule& rule : rules)
        if (AddressRuleMatches(rule, address, name))
            matched = true;
    return mode == FILTER_MODE_ALLOW ? !matched : matched;
}

bool CNetworkServer::RefusedByFilters(const ADDRESS& address, const std::string& name)
{
    // Pipe and loopback clients are never filtered.
    if (!address.IsValid() || address.IsLoopback())
        return false;
    std::vector<AddressRule> rules;
    uint8_t mode = 0;
    {
        CMutexGuard guard(&m_filterLock);
        if (guard.LockAbortable(&m_stop, m_settings.lockMs) != SYNC_OK)
            return false;
        rules = m_filterRules;
        mode = m_filterMode;
    }
    return FiltersRefuse(mode, rules, address, name);
}

bool CNetworkServer::ApplyIpFilters(ClientSession* session, uint64_t* applied)
{
    std::vector<AddressRule> rules;
    uint8_t mode = 0;
    {
        CMutexGuard guard(&m_filterLock);
        if (guard.LockAbortable(&m_stop, m_settings.lockMs) != SYNC_OK)
            return false;
        if (m_filterGeneration == *applied)
            return true;
        *applied = m_filterGeneration;
        rules = m_filterRules;
        mode = m_filterMode;
    }
    if (mode != FILTER_MODE_ALLOW && mode != FILTER_MODE_DENY)
        return true;
    PendingLines log;
    {
        CMutexGuard guard(&session->connectionLock);
        if (guard.LockAbortable(&m_stop, m_settings.lockMs) != SYNC_OK)
            return false;
        for (ClientConnection& connection : session->connections) {
            if (connection.state != CONNECTION_ACTIVE)
                continue;
            // The handshake does not filter pipe and loopback clients; a
            // change of the filters does not drop them either.
            if (connection.kind == LISTENER_KIND_PIPE || !connection.address.IsValid() ||
                connection.address.IsLoopback())
                continue;
            if (FiltersRefuse(mode, rules, connection.address, connection.clientName)) {
                Disconnect(&connection);
                log.Add("Client disconnected by IP filters (%s)\n", connection.address,
                        PeerName(connection));
            }
        }
    }
    for (auto& line : log.lines)
        LogPeer(line.address, LOG_BURST_INFO, line.format, line.text);
    return true;
}

void CNetworkServer::ParkOrDrop(ClientConnection&& connection, bool* kick)
{
    EndDials(connection.id);
    connection.socket.reset();
    connection.input.clear();
    connection.output.clear();
    bool callback = IsCallbackId(connection.id);
    if (connection.useCount != 0 || (callback && connection.state != CONNECTION_CLOSING)) {
        if (callback && connection.state != CONNECTION_CLOSING) {
            connection.state = CONNECTION_DISCONNECTED;
            connection.retryWait = true;
            connection.downSince = GetTickCountMs();
            *kick = true;
        }
        m_parked.push_back(std::move(connection));
    } else {
        ReleaseConnection(connection.id);
    }
}

bool CNetworkServer::RemoveClosedConnections(ClientSession* session)
{
    bool removed = false;
    bool empty = false;
    bool kick = false;
    {
        CMutexGuard sessions(&m_sessionsLock);
        if (sessions.LockAbortable(&m_stop, m_settings.lockMs) != SYNC_OK)
            return false;
        CMutexGuard guard(&session->connectionLock);
        if (guard.LockAbortable(&m_stop, m_settings.lockMs) != SYNC_OK)
            return false;
        for (auto it = session->connections.begin(); it != session->connections.end();) {
            bool closed = it->state == CONNECTION_DISCONNECTED ||
                          (it->state == CONNECTION_CLOSING && it->output.empty());
            if (!closed) {
                ++it;
                continue;
            }
            ParkOrDrop(std::move(*it), &kick);
            it = session->connections.erase(it);
            removed = true;
        }
        // Taken off the list in the same hold that emptied it: no new
        // client can join a session whose thread is about to end.
        if (session->connections.empty()) {
            m_sessions.remove(session);
            empty = true;
        }
    }
    if (kick)
        m_callbackKick.Set();
    if (removed)
        m_owner->NotifyListeners();
    return !empty;
}

void CNetworkServer::DestroySession(ClientSession* session)
{
    bool kick = false;
    {
        CMutexGuard sessions(&m_sessionsLock);
        // Never free a session that is still listed: wait for the lock as
        // long as it takes.
        while (sessions.Lock(20000) != SYNC_OK)
            Debug(__LINE__, ERROR_TIMEOUT);
        m_sessions.remove(session);
        CMutexGuard guard(&session->connectionLock);
        while (guard.Lock(20000) != SYNC_OK)
            Debug(__LINE__, ERROR_TIMEOUT);
        for (ClientConnection& connection : session->connections) {
            if (connection.state != CONNECTION_CLOSING)
                connection.state = CONNECTION_DISCONNECTED;
            ParkOrDrop(std::move(connection), &kick);
        }
        session->connections.clear();
    }
    if (kick)
        m_callbackKick.Set();
    delete session;
}

void CNetworkServer::QueueRecord(OutgoingRecord record)
{
    CMutexGuard sessions(&m_sessionsLock);
    if (sessions.LockAbortable(&m_stop, m_settings.lockMs) != SYNC_OK)
        return;
    size_t left = m_sessions.size();
    for (ClientSession* session : m_sessions) {
        --left;
        try {
            OutgoingRecord copy = left == 0 ? std::move(record) : record;
            CMutexGuard queue(&session->sendQueueLock);
            if (queue.LockAbortable(&m_stop, m_settings.lockMs) != SYNC_OK)
                continue;
            session->sendQueue.push_back(std::move(copy));
        } catch (...) {
        }
    }
}

void CNetworkServer::QueueDeviceEvent(const DeviceRecordFields& fields, uint32_t target, int mode)
{
    try {
        OutgoingRecord record;
        record.target = target;
        record.mode = static_cast<uint32_t>(mode);
        record.bytes = EncodeDeviceRecord(SESSION_RECORD_DEVICE_EVENT, fields);
        QueueRecord(std::move(record));
    } catch (...) {
    }
}

static DeviceRecordFields FieldsOf(const UsbDevice& device, bool withStrings)
{
    DeviceRecordFields fields;
    fields.vendorId = device.vendorId;
    fields.productId = device.productId;
    fields.bcdDevice = device.bcdDevice;
    fields.deviceClass = device.deviceClass;
    fields.subClass = device.subClass;
    fields.protocol = device.protocol;
    fields.speed = device.speed;
    fields.deviceId = device.id;
    fields.flags = device.flags;
    fields.usbVersion = device.usbVersion;
    fields.withStrings = withStrings;
    if (withStrings) {
        fields.name = device.name;
        fields.nickname = device.nickname;
        fields.instanceIdentity = device.instanceIdentity;
        fields.serial = device.serial;
        fields.port = device.port;
    }
    return fields;
}

void CNetworkServer::BroadcastDeviceAvailable(const UsbDevice& device, uint32_t target, int mode)
{
    DeviceRecordFields fields = FieldsOf(device, true);
    fields.stateOrEvent = DEVICE_EVENT_AVAILABLE;
    QueueDeviceEvent(fields, target, mode);
}

void CNetworkServer::BroadcastDeviceInUseDetails(const UsbDevice& device, uint32_t flags, const ADDRESS& client,
                                                 uint32_t target, int mode)
{
    DeviceRecordFields fields = FieldsOf(device, true);
    fields.stateOrEvent = DEVICE_EVENT_IN_USE;
    fields.flags = flags;
    fields.client = client;
    QueueDeviceEvent(fields, target, mode);
}

void CNetworkServer::BroadcastDeviceInUse(uint32_t deviceId, uint32_t flags, const ADDRESS& client, uint32_t target,
                                          int mode)
{
    DeviceRecordFields fields;
    fields.stateOrEvent = DEVICE_EVENT_IN_USE;
    fields.deviceId = deviceId;
    fields.flags = flags;
    fields.client = client;
    QueueDeviceEvent(fields, target, mode);
}

void CNetworkServer::BroadcastDeviceInactive(const UsbDevice& device, uint32_t target, int mode)
{
    DeviceRecordFields fields = FieldsOf(device, false);
    fields.stateOrEvent = DEVICE_EVENT_INACTIVE;
    fields.client = device.clientAddress;
    QueueDeviceEvent(fields, target, mode);
}

void CNetworkServer::BroadcastDeviceRemoved(uint32_t deviceId, uint32_t target, int mode)
{
    DeviceRecordFields fields;
    fields.stateOrEvent = DEVICE_EVENT_REMOVED;
    fields.deviceId = deviceId;
    QueueDeviceEvent(fields, target, mode);
}

void CNetworkServer::BroadcastDeviceUnshared(uint32_t deviceId, uint32_t target, int mode)
{
    DeviceRecordFields fields;
    fields.stateOrEvent = DEVICE_EVENT_UNSHARED;
    fields.deviceId = deviceId;
    QueueDeviceEvent(fields, target, mode);
}

void CNetworkServer::SendDeviceNickname(uint32_t deviceId, const std::string& nickname)
{
    try {
        OutgoingRecord record;
        record.mode = DELIVER_ALL;
        AppendRecord(&record.bytes, {SESSION_RECORD_SETTINGS, static_cast<uint32_t>(16 + nickname.size()), deviceId, 3});
        record.bytes.insert(record.bytes.end(), nickname.begin(), nickname.end());
        QueueRecord(std::move(record));
    } catch (...) {
    }
}

void CNetworkServer::SendDeviceCommand(uint32_t deviceId, uint32_t connectionId, uint32_t command)
{
    try {
        OutgoingRecord record;
        record.target = connectionId;
        record.mode = DELIVER_ONLY;
        AppendRecord(&record.bytes, {SESSION_RECORD_DEVICE_COMMAND, 16, deviceId, command});
        QueueRecord(std::move(record));
    } catch (...) {
    }
}

void CNetworkServer::SetIpFilters(uint8_t mode, const std::vector<AddressRule>& rules)
{
    CMutexGuard guard(&m_filterLock);
    if (guard.LockAbortable(&m_stop, m_settings.lockMs) != SYNC_OK)
        return;
    try {
        m_filterRules.clear();
        for (const AddressRule& rule : rules)
            if (rule.kind >= ADDRESS_RULE_SINGLE)
                m_filterRules.push_back(rule);
    } catch (...) {
        return;
    }
    m_filterMode = mode;
    ++m_filterGeneration;
    std::vector<AddressRule> kept = m_filterRules;
    guard.Unlock();
    // Running data connections of an address the change denies end too:
    // their sessions are dropped by the sessions' own threads.
    std::lock_guard<std::mutex> lock(m_commandLock);
    for (const DataConnectionEntry& entry : m_dataConnections)
        if (entry.address.IsValid() && !entry.address.IsLoopback() &&
            FiltersRefuse(mode, kept, entry.address, entry.name))
            entry.socket->Close();
}

static ConnectionInfo InfoOf(const ClientConnection& connection)
{
    ConnectionInfo info;
    info.id = connection.id;
    info.state = connection.state;
    info.platformCode = connection.platform;
    info.name = connection.clientName;
    info.address = connection.address;
    info.port = connection.port;
    info.flags = connection.callbackFlags;
    info.lastError = connection.lastError;
    return info;
}

static ConnectionSnapshot SnapshotOf(const ClientConnection& connection)
{
    ConnectionSnapshot snapshot;
    snapshot.state = connection.state;
    snapshot.kind = connection.kind;
    snapshot.clientAddress = connection.address;
    snapshot.connectionId = connection.id;
    snapshot.platformCode = connection.platform;
    snapshot.port = connection.port;
    snapshot.clientName = connection.clientName;
    snapshot.callbackFlags = connection.callbackFlags;
    snapshot.lastError = connection.lastError;
    return snapshot;
}

void CNetworkServer::ListConnections(std::vector<ConnectionSnapshot>* connections)
{
    CMutexGuard sessions(&m_sessionsLock);
    if (sessions.LockAbortable(&m_stop, m_settings.lockMs) != SYNC_OK)
        return;
    for (ClientSession* session : m_sessions) {
        CMutexGuard guard(&session->connectionLock);
        if (guard.LockAbortable(&m_stop, m_settings.lockMs) != SYNC_OK)
            continue;
        for (const ClientConnection& connection : session->connections)
            connections->push_back(SnapshotOf(connection));
    }
    for (const ClientConnection& connection : m_parked)
        connections->push_back(SnapshotOf(connection));
}

std::string CNetworkServer::GetConnectionName(uint32_t id)
{
    std::string name;
    GetConnectionName(id, &name);
    return name;
}

bool CNetworkServer::VisitConnection(uint32_t id, const std::function<void(const ClientConnection&)>& fn)
{
    CMutexGuard sessions(&m_sessionsLock);
    if (sessions.LockAbortable(&m_stop, m_settings.lockMs) != SYNC_OK)
        return false;
    for (ClientSession* session : m_sessions) {
        CMutexGuard guard(&session->connectionLock);
        if (guard.LockAbortable(&m_stop, m_settings.lockMs) != SYNC_OK)
            continue;
        for (const ClientConnection& connection : session->connections)
            if (connection.id == id) {
                fn(connection);
                return true;
            }
    }
    for (const ClientConnection& connection : m_parked)
        if (connection.id == id) {
            fn(connection);
            return true;
        }
    return false;
}

bool CNetworkServer::GetConnectionInfo(uint32_t id, ConnectionInfo* info)
{
    return VisitConnection(id, [info](const ClientConnection& connection) { *info = InfoOf(connection); });
}

bool CNetworkServer::GetConnectionSnapshot(uint32_t id, ConnectionSnapshot* snapshot)
{
    return VisitConnection(id, [snapshot](const ClientConnection& connection) { *snapshot = SnapshotOf(connection); });
}

bool CNetworkServer::GetConnectionName(uint32_t id, std::string* name)
{
    ConnectionInfo info;
    if (!GetConnectionInfo(id, &info))
        return false;
    *name = info.name;
    return true;
}

void CNetworkServer::OnAddressResolved(const ADDRESS& address, const std::string& host)
{
    bool named = false;
    {
        CMutexGuard sessions(&m_sessionsLock);
        if (sessions.LockAbortable(&m_stop, m_settings.lockMs) != SYNC_OK)
            return;
        auto name = [&](ClientConnection& connection) {
            if (connection.address == address && connection.clientName.empty()) {
                connection.clientName = host;
                named = true;
            }
        };
        for (ClientSession* session : m_sessions) {
            CMutexGuard guard(&session->connectionLock);
            if (guard.LockAbortable(&m_stop, m_settings.lockMs) != SYNC_OK)
                continue;
            for (ClientConnection& connection : session->connections)
                name(connection);
        }
        for (ClientConnection& connection : m_parked)
            name(connection);
    }
    if (named)
        m_owner->NotifyListeners();
}
