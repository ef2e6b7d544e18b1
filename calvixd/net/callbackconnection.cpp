// Connections the server dials itself (configured callback connections and
// dial-backs for device data connections), the reverse requests of accepted
// connections, and the set-up of device data connections.
#include <algorithm>
#include <cstring>

#include "calvixd/net/handshake.h"
#include "calvixd/net/networkserver.h"
#include "calvixd/net/networkserverjob.h"
#include "calvixd/net/sessionrecord.h"
#include "calvixd/net/tcpsocket.h"

// Errors of a dial (module 2), the system's error codes.
constexpr uint32_t ERROR_CONNECTION_REFUSED = 1225;
constexpr uint32_t ERROR_HOST_UNREACHABLE = 1232;
constexpr uint32_t ERROR_PROTOCOL_VERSION = 1233;
constexpr uint32_t ERROR_CONNECTION_ABORTED = 1236;
constexpr uint32_t ERROR_PLATFORM = 1150;

// Refusal codes of the 'C' exchange.
constexpr uint32_t DATA_REFUSED_OTHER_CONNECTION = 7;
constexpr uint32_t DATA_REFUSED_NOT_FOUND = 15;
constexpr uint32_t DATA_REFUSED_LOCK = 1;
constexpr uint32_t DATA_REFUSED_EXCEPTION = 12;

static bool IsCallbackId(uint32_t id)
{
    return (id & CONNECTION_CLASS_MASK) == CONNECTION_CLASS_CALLBACK;
}

// The URL of a configured host: a numeric address is dialled in its own
// family (its scheme says which, so an IPv6 host is reached under any family
// preference); a name is resolved under the preference.
static std::string CallbackUrl(const std::string& host, uint16_t port)
{
    ADDRESS numeric(host.c_str());
    if (numeric.IsValid()) {
        ENDPOINT_ADDRESS endpoint(numeric, port);
        return std::string(numeric.IsIPv6() ? "tcp6://" : "tcp4://") + endpoint.ToString();
    }
    return "tcp://" + host + ":" + std::to_string(port);
}

uint32_t CNetworkServer::AddCallbackConnection(uint32_t requested, const std::string& host, uint16_t port,
                                               uint32_t kind, uint32_t flags, uint32_t* error)
{
    uint32_t ignored = 0;
    if (!error)
        error = &ignored;
    *error = ERROR_NOT_ENOUGH_MEMORY;
    uint32_t id = AllocateConnectionId(requested ? (CONNECTION_CLASS_CALLBACK | requested) : CONNECTION_CLASS_CALLBACK);
    if (id == 0) {
        Debug(__LINE__, ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    {
        CMutexGuard sessions(&m_sessionsLock);
        if (sessions.LockAbortable(&m_stop, m_settings.lockMs) != SYNC_OK) {
            sessions.Unlock();
            ReleaseConnection(id);
            *error = ERROR_TIMEOUT;
            return 0;
        }
        try {
            ClientConnection entry;
            entry.kind = kind;
            entry.state = CONNECTION_DISCONNECTED;
            entry.id = id;
            entry.port = port;
            entry.clientName = host;
            entry.callbackFlags = flags;
            m_parked.push_back(std::move(entry));
        } catch (...) {
            sessions.Unlock();
            ReleaseConnection(id);
            return 0;
        }
    }
    m_callbackKick.Set();
    return id;
}

bool CNetworkServer::RemoveCallbackConnection(uint32_t id)
{
    CMutexGuard sessions(&m_sessionsLock);
    if (sessions.LockAbortable(&m_stop, m_settings.lockMs) != SYNC_OK)
        return false;
    for (ClientSession* session : m_sessions) {
        CMutexGuard guard(&session->connectionLock);
        if (guard.LockAbortable(&m_stop, m_settings.lockMs) != SYNC_OK)
            continue;
        for (ClientConnection& connection : session->connections) {
            if (connection.id != id || connection.state == CONNECTION_CLOSING)
                continue;
            uint32_t words[3] = {SESSION_RECORD_DROP, 12, 0};
            const uint8_t* bytes = reinterpret_cast<const uint8_t*>(words);
            connection.output.insert(connection.output.end(), bytes, bytes + sizeof words);
            connection.state = CONNECTION_CLOSING;
            return true;
        }
    }
    for (auto it = m_parked.begin(); it != m_parked.end(); ++it) {
        if (it->id != id)
            continue;
        // A dial under way ends now rather than at its deadline.
        EndDials(id);
        it->state = CONNECTION_CLOSING;
        if (it->useCount == 0) {
            m_parked.erase(it);
            ReleaseConnection(id);
        }
        break;
    }
    return true;
}

void CNetworkServer::SetCallbackConnectionFlags(uint32_t id, uint32_t flags)
{
    if (!IsCallbackId(id))
        return;
    {
        CMutexGuard sessions(&m_sessionsLock);
        if (sessions.LockAbortable(&m_stop, m_settings.lockMs) != SYNC_OK)
            return;
        for (ClientSession* session : m_sessions) {
            CMutexGuard guard(&session->connectionLock);
            if (guard.LockAbortable(&m_stop, m_settings.lockMs) != SYNC_OK)
                continue;
            for (ClientConnection& connection : session->connections)
                if (connection.id == id)
                    connection.callbackFlags = flags;
        }
        for (ClientConnection& connection : m_parked)
            if (connection.id == id)
                connection.callbackFlags = flags;
    }
    try {
        OutgoingRecord record;
        record.target = id;
        record.mode = DELIVER_ONLY;
        uint32_t words[5] = {SESSION_RECORD_SETTINGS, 20, 0, 1, flags};
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(words);
        record.bytes.assign(bytes, bytes + sizeof words);
        QueueRecord(std::move(record));
    } catch (...) {
    }
}

int CNetworkServer::CallbackManagerThread(void* argument)
{
    static_cast<CNetworkServer*>(argument)->CallbackManagerLoop();
    return 0;
}

void CNetworkServer::CallbackManagerLoop()
{
    int wait = m_settings.callbackKickDelayMs;
    for (;;) {
        int result = m_callbackKick.WaitAbortable(&m_stop, wait);
        if (result == SYNC_ABORTED)
            return;
        if (result == SYNC_OK) {
            m_callbackKick.Reset();
            wait = m_settings.callbackKickDelayMs;
            continue;
        }
        if (result != SYNC_TIMEOUT) {
            Debug(__LINE__, static_cast<uint32_t>(result));
            SleepMs(1000);
            continue;
        }
        wait = -1;
        std::vector<ThreadJob*> jobs;
        {
            CMutexGuard sessions(&m_sessionsLock);
            if (sessions.LockAbortable(&m_stop, m_settings.scanLockMs) != SYNC_OK) {
                Debug(__LINE__, ERROR_TIMEOUT);
                wait = m_settings.callbackRetryMs;
                continue;
            }
            for (ClientConnection& entry : m_parked) {
                if (!IsCallbackId(entry.id))
                    continue;
                if (wait < 0 || wait > m_settings.callbackRetryMs)
                    wait = m_settings.callbackRetryMs;
                if (entry.state != CONNECTION_DISCONNECTED || entry.kind != LISTENER_KIND_TCP ||
                    m_tcpState.load() != LISTENER_STATE_RUNNING)
                    continue;
                // A peer that fails or ends its session at once must not
                // be dialled every time something kicks the manager: the
                // next scan comes when its interval is over.
                uint32_t down = GetTickCountMs() - entry.downSince;
                uint32_t retry = static_cast<uint32_t>(m_settings.callbackRetryMs);
                if (entry.retryWait && down < retry) {
                    wait = std::min(wait, static_cast<int>(retry - down));
                    continue;
                }
                if (!AcquireConnection(entry.id))
                    continue;
                ThreadJob* job = new (std::nothrow) ThreadJob();
                if (!job) {
                    ReleaseConnection(entry.id);
                    continue;
                }
                job->kind = ThreadJob::DIAL;
                job->request = REQUEST_REVERSE_SESSION;
                job->id = entry.id;
                job->listenerKind = entry.kind;
                job->url = CallbackUrl(entry.clientName, entry.port);
                entry.state = CONNECTION_DIALLING;
                jobs.push_back(job);
            }
        }
        // Started outside the lock: a failed start puts the entry back.
        bool changed = false;
        for (ThreadJob* job : jobs) {
            uint32_t id = job->id;
            if (StartDetached(job)) {
                changed = true;
                continue;
            }
            CMutexGuard sessions(&m_sessionsLock);
            if (sessions.LockAbortable(&m_stop, m_settings.lockMs) == SYNC_OK)
                for (ClientConnection& entry : m_parked)
                    if (entry.id == id && entry.state == CONNECTION_DIALLING)
                        entry.state = CONNECTION_DISCONNECTED;
            sessions.Unlock();
            ReleaseConnection(id);
        }
        if (changed)
            m_owner->NotifyListeners();
    }
}

void CNetworkServer::RunCallbackConnection(ThreadJob* job)
{
    uint32_t error = 0;
    bool taken = false;
    std::unique_ptr<CSocketBase> socket;
    try {
        socket.reset(static_cast<CSocketBase*>(m_factory.Create(job->url)));
    } catch (CExceptionEx* e) {
        delete e;
        error = ERROR_GEN_FAILURE;
    }
    // A dialled socket counts against the peers' bound like an accepted
    // one, and the connect and the handshake get the same deadline.
    if (socket && !TakePeerSocket(socket.get())) {
        socket.reset();
        error = ERROR_NOT_ENOUGH_MEMORY;
    }
    if (socket) {
        socket->SetDeadline(m_settings.handshakeMs);
        // Ended when its session connection leaves, or its entry is removed.
        if (!RegisterDial(job->id, socket.get())) {
            socket.reset();
            error = ERROR_CONNECTION_ABORTED;
        }
    }
    ADDRESS address;
    uint16_t port = 0;
    if (socket && socket->Connect(job->url, &m_stop) != SOCK_OK) {
        if (m_eventLog)
            m_eventLog->Print("Can not establish callback connection to %s\n", job->url.c_str());
        error = ERROR_HOST_UNREACHABLE;
    }
    if (error == 0) {
        socket->SetNoDelay();
        socket->GetPeerAddress(&address, &port);
        uint8_t answer = 0;
        uint8_t hello[CLIENT_HELLO_SIZE] = {'K', 'Q', 'W', 'B'};
        uint32_t version = SERVER_VERSION;
        memcpy(hello + 4, &version, sizeof version);
        hello[8] = m_owner->GetPlatformByte();
        uint8_t reply[6];
        if (socket->Receive(&answer, 1, &m_stop) != SOCK_OK)
            error = ERROR_CONNECTION_ABORTED;
        else if (answer != HANDSHAKE_ACCEPT)
            error = ERROR_CONNECTION_REFUSED;
        else if (socket->Send(hello, sizeof hello, &m_stop) != SOCK_OK ||
                 socket->Receive(reply, 1, &m_stop) != SOCK_OK)
            error = ERROR_CONNECTION_ABORTED;
        else if (reply[0] != HANDSHAKE_PLATFORM_OK)
            error = ERROR_PLATFORM;
        else if (socket->Receive(reply + 1, 5, &m_stop) != SOCK_OK)
            error = ERROR_CONNECTION_ABORTED;
        else {
            uint32_t peerVersion;
            memcpy(&peerVersion, reply + 2, sizeof peerVersion);
            if (!IsCompatibleVersion(peerVersion))
                error = ERROR_PROTOCOL_VERSION;
            else if (socket->Send(&job->request, 1, &m_stop) != SOCK_OK)
                error = ERROR_CONNECTION_ABORTED;
            else if (job->request == REQUEST_REVERSE_SESSION)
                taken = AcceptSession(&socket, job->listenerKind, address, port, reply[1], job->id);
            else if (job->request == REQUEST_REVERSE_DATA) {
                if (socket->Send(job->values, sizeof job->values, &m_stop) != SOCK_OK)
                    error = ERROR_CONNECTION_ABORTED;
                else
                    AcceptDeviceConnection(socket.get(), job->listenerKind, address, port, reply[1], job->id);
            }
        }
    }
    if (!taken && job->request == REQUEST_REVERSE_SESSION) {
        CMutexGuard sessions(&m_sessionsLock);
        if (sessions.Lock(m_settings.lockMs) == SYNC_OK) {
            for (ClientConnection& entry : m_parked) {
                if (entry.id != job->id || entry.state != CONNECTION_DIALLING)
                    continue;
                entry.lastError = CExceptionEx(MODULE_NETWORKSERVER, __LINE__, error ? error : ERROR_CONNECTION_ABORTED);
                entry.state = CONNECTION_DISCONNECTED;
                entry.retryWait = true;
                entry.downSince = GetTickCountMs();
            }
        }
    }
    if (socket)
        ForgetDial(socket.get());
    if (error != 0)
        Debug(__LINE__, error);
    ReleaseConnection(job->id);
}

bool CNetworkServer::AcceptReverseConnection(CSocketBase* socket, uint8_t request)
{
    // The server core answers no reverse request in this system: the bytes
    // are read so the peer is not cut off mid-send, then the socket goes.
    uint8_t bytes[17];
    if (request == REQUEST_REVERSE_SESSION) {
        if (socket->Receive(bytes, 1, &m_stop) != SOCK_OK)
            Debug(__LINE__, 0);
        else if (bytes[0] == '0' && socket->Receive(bytes + 1, 16, &m_stop) != SOCK_OK)
            Debug(__LINE__, 0);
    } else if (socket->Receive(bytes, 8, &m_stop) != SOCK_OK) {
        Debug(__LINE__, 0);
    }
    return false;
}

bool CNetworkServer::AttachDataConnection(uint32_t id, uint32_t kind, const ADDRESS& address, std::string* name,
                                          uint32_t* code)
{
    CMutexGuard sessions(&m_sessionsLock);
    if (sessions.LockAbortable(&m_stop, m_settings.lockMs) != SYNC_OK) {
        *code = DATA_REFUSED_LOCK;
        return false;
    }
    try {
        auto attach = [&](ClientConnection& connection) {
            if (connection.id != id || connection.address != address || connection.state == CONNECTION_CLOSING)
                return false;
            ++connection.useCount;
            *name = connection.clientName;
            return true;
        };
        for (ClientSession* session : m_sessions) {
            CMutexGuard guard(&session->connectionLock);
            if (guard.LockAbortable(&m_stop, m_settings.lockMs) != SYNC_OK) {
                *code = DATA_REFUSED_LOCK;
                return false;
            }
            for (ClientConnection& connection : session->connections)
                if (connection.kind == kind && attach(connection))
                    return true;
        }
        for (ClientConnection& connection : m_parked)
            if (attach(connection))
                return true;
    } catch (...) {
        *code = DATA_REFUSED_EXCEPTION;
        return false;
    }
    *code = DATA_REFUSED_NOT_FOUND;
    return false;
}

void CNetworkServer::DetachDataConnection(uint32_t id)
{
    CMutexGuard sessions(&m_sessionsLock);
    // Not abortable: the use must be given back during shutdown too.
    if (sessions.Lock(m_settings.lockMs) != SYNC_OK) {
        Debug(__LINE__, ERROR_TIMEOUT);
        return;
    }
    for (ClientSession* session : m_sessions) {
        CMutexGuard guard(&session->connectionLock);
        if (guard.Lock(m_settings.lockMs) != SYNC_OK)
            continue;
        for (ClientConnection& connection : session->connections)
            if (connection.id == id && connection.useCount > 0) {
                --connection.useCount;
                return;
            }
    }
    for (auto it = m_parked.begin(); it != m_parked.end(); ++it) {
        if (it->id != id || it->useCount == 0)
            continue;
        // A callback entry that is still configured stays parked.
        if (--it->useCount == 0 && !(IsCallbackId(id) && it->state != CONNECTION_CLOSING)) {
            m_parked.erase(it);
            ReleaseConnection(id);
        }
        return;
    }
}

void CNetworkServer::AcceptDeviceConnection(CSocketBase* socket, uint32_t kind, const ADDRESS& address,
                                            uint16_t port, uint8_t platform, uint32_t expectedId)
{
    (void)port;
    uint8_t record[CONNECT_RECORD_SIZE];
    if (socket->Receive(record, sizeof record, &m_stop) != SOCK_OK)
        return Debug(__LINE__, 0);
    if (!m_owner->UnscrambleConnectRecord(record, sizeof record, platform))
        Debug(__LINE__, 0);
    if (socket->Send(record + 8, 16, &m_stop) != SOCK_OK)
        return Debug(__LINE__, 0);
    uint8_t confirm = 0;
    if (socket->Receive(&confirm, 1, &m_stop) != SOCK_OK || confirm != DATA_CONFIRM)
        return Debug(__LINE__, confirm);
    uint32_t deviceId;
    uint32_t connectionId;
    memcpy(&deviceId, record, sizeof deviceId);
    memcpy(&connectionId, record + 4, sizeof connectionId);
    uint8_t answer = DATA_ANSWER_REFUSED;
    uint32_t code = 0;
    std::string name;
    if (expectedId != 0 && connectionId != expectedId) {
        code = DATA_REFUSED_OTHER_CONNECTION;
    } else if (AttachDataConnection(connectionId, kind, address, &name, &code)) {
        // The data connection bounds its own waits, and a dial-back goes on
        // once its session connection has left.
        ForgetDial(socket);
        socket->SetDeadline(0);
        std::list<DataConnectionEntry>::iterator entry;
        {
            std::lock_guard<std::mutex> lock(m_commandLock);
            entry = m_dataConnections.insert(m_dataConnections.end(), {address, name, socket});
        }
        answer = m_owner->ServeDeviceConnection(socket, kind, address, name, platform, deviceId, connectionId, &code);
        {
            std::lock_guard<std::mutex> lock(m_commandLock);
            m_dataConnections.erase(entry);
        }
        DetachDataConnection(connectionId);
    }
    if (answer == DATA_ANSWER_DONE)
        return;
    socket->SetDeadline(m_settings.handshakeMs);
    uint8_t refusal[5] = {answer};
    memcpy(refusal + 1, &code, sizeof code);
    if (socket->Send(refusal, sizeof refusal, &m_stop) != SOCK_OK)
        Debug(__LINE__, 0);
}
