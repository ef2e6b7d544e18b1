// The network server object: listeners and accept loops, the handshake,
// connection ids and the thread bookkeeping. Sessions are in
// clientsession.cpp, callback connections and the data connection set-up
// in callbackconnection.cpp.
#include "calvixd/net/networkserver.h"

#include <cstring>

#include "calvixd/core/linetext.h"
#include "calvixd/net/handshake.h"
#include "calvixd/net/networkserverjob.h"
#include "calvixd/net/pipesocket.h"
#include "calvixd/net/tcpsocket.h"

// Eleven accept failures in a row stop a listener.
constexpr int ACCEPT_FAILURE_LIMIT = 11;
// A listener out of descriptors or memory tries again after this: the
// pending connection keeps it readable, so it must not go straight back.
constexpr int ACCEPT_RESOURCE_WAIT_MS = 250;
// Waits for threads log a debug line this often while they go on.
constexpr uint32_t THREAD_WAIT_REPORT_MS = 60000;

CNetworkServer::CNetworkServer(CNetworkServerOwner* owner, const NetworkServerSettings& settings)
    : m_settings(settings), m_owner(owner), m_eventLog(owner->GetEventLog()),
      m_peerLog(std::make_unique<CPeerLog>(m_eventLog))
{
    PeerLimits process = PeerLimitsFor(ReadProcessLimits());
    m_limits.connections = settings.limits.connections ? settings.limits.connections : process.connections;
    m_limits.threads = settings.limits.threads ? settings.limits.threads : process.threads;
    m_resolverClient = std::make_unique<CResolverClient>(owner->GetResolver(), this);
    m_callbackManager = CThread::Create(CallbackManagerThread, this, CTHREAD_JOINABLE);
    if (!m_callbackManager)
        throw new CExceptionEx(MODULE_NETWORKSERVER, __LINE__, ERROR_NOT_ENOUGH_MEMORY);
}

// Joins without a limit: deleting a joinable thread that still runs would
// stop the daemon, and freeing what it uses would be worse.
static void JoinAndDelete(CThread** thread, CNetworkServerOwner* owner, uint32_t line)
{
    if (!*thread)
        return;
    while ((*thread)->Join(static_cast<int>(THREAD_WAIT_REPORT_MS)) == SYNC_TIMEOUT)
        owner->LogDebug(MODULE_NETWORKSERVER, line, ERROR_TIMEOUT);
    delete *thread;
    *thread = nullptr;
}

CNetworkServer::~CNetworkServer()
{
    Stop();
    for (ClientSession* session : m_sessions)
        delete session;
    m_sessions.clear();
    m_parked.clear();
}

void CNetworkServer::Stop()
{
    m_tcpStop.Set();
    m_pipeStop.Set();
    m_stop.Set();
    // Handshake, session, dialling and command threads are detached: the
    // server must not go before the last of them has returned.
    uint32_t waited = 0;
    while (m_liveThreads.Get() > 0) {
        SleepMs(10);
        waited += 10;
        if (waited % THREAD_WAIT_REPORT_MS == 0)
            Debug(__LINE__, ERROR_TIMEOUT);
    }
    JoinAndDelete(&m_callbackManager, m_owner, __LINE__);
    JoinAndDelete(&m_acceptV4, m_owner, __LINE__);
    JoinAndDelete(&m_acceptV6, m_owner, __LINE__);
    JoinAndDelete(&m_acceptPipe, m_owner, __LINE__);
    // Waits until no resolver result is being delivered to this object.
    m_resolverClient.reset();
}

void CNetworkServer::Debug(uint32_t line, uint32_t error)
{
    m_owner->LogDebug(MODULE_NETWORKSERVER, line, error);
}

void CNetworkServer::LogPeer(const ADDRESS& address, int level, const char* format, const std::string& text)
{
    // Client names and peer texts come from the network: a control byte in
    // one must not start a line of its own.
    std::string source = address.IsValid() ? address.ToString() : std::string();
    m_peerLog->Print(source.c_str(), level, format, ReplaceControlCharacters(text).c_str());
}

bool CNetworkServer::StartDetached(ThreadJob* job)
{
    job->server = this;
    CThread* thread = nullptr;
    if (m_liveThreads.Increment() <= static_cast<int>(m_limits.threads))
        thread = CThread::Create(DetachedThread, job, 0);
    if (!thread) {
        m_liveThreads.Decrement();
        if (job->command)
            EndCommand(job->id);
        delete job;
        return false;
    }
    // Deleting the object of a thread made without CTHREAD_JOINABLE detaches it.
    delete thread;
    return true;
}

int CNetworkServer::DetachedThread(void* argument)
{
    ThreadJob* job = static_cast<ThreadJob*>(argument);
    CNetworkServer* server = job->server;
    try {
        switch (job->kind) {
        case ThreadJob::HANDSHAKE:
            server->Handshake(std::move(job->socket), job->listenerKind);
            break;
        case ThreadJob::DIAL:
            server->RunCallbackConnection(job);
            break;
        case ThreadJob::REMOVE_CALLBACK:
            server->m_owner->RemoveCallbackConnection(job->id);
            server->ReleaseConnection(job->id);
            break;
        case ThreadJob::RESERVE:
            server->m_owner->ReserveInactiveDevice(job->id, job->deviceId, job->listenerKind, job->address,
                                                   job->name);
            server->ReleaseConnection(job->id);
            break;
        }
    } catch (CExceptionEx* e) {
        server->Debug(e->GetLine(), e->GetError());
        delete e;
    } catch (...) {
        server->Debug(__LINE__, ERROR_NOT_ENOUGH_MEMORY);
    }
    if (job->command)
        server->EndCommand(job->id);
    delete job;
    // Last: after this the server may be gone.
    server->m_liveThreads.Decrement();
    return 0;
}

void CNetworkServer::SetListenAddresses(const ADDRESS& v4, const ADDRESS& v6, uint16_t port)
{
    m_listenV4 = v4;
    m_listenV6 = v6;
    m_port = port;
}

CExceptionEx CNetworkServer::GetTcpV4Error()
{
    std::lock_guard<std::mutex> lock(m_resultsLock);
    return m_tcpResult;
}

CExceptionEx CNetworkServer::GetPipeListenerError()
{
    std::lock_guard<std::mutex> lock(m_resultsLock);
    return m_pipeResult;
}

void CNetworkServer::SetPipeName(const std::string& name)
{
    m_pipeName = name;
}

void CNetworkServer::GetListenerStates(uint32_t* overall, uint32_t* v4, uint32_t* v6, uint32_t* pipe)
{
    if (overall)
        *overall = m_tcpState.load();
    if (v4)
        *v4 = m_v4State.load();
    if (v6)
        *v6 = m_v6State.load();
    if (pipe)
        *pipe = m_pipeState.load();
}

struct CNetworkServer::AcceptJob {
    CNetworkServer* server;
    CSocketBase* listener;
    uint32_t kind;
    CEvent* stop;
    // Set to failed when the loop ends for another reason than its stop.
    std::atomic<uint32_t>* state;
};

uint32_t CNetworkServer::StartListener(const std::string& endpoint, CThread** slot, std::atomic<uint32_t>* state)
{
    if (*slot)
        return 0;
    std::unique_ptr<CSocketBase> listener;
    try {
        listener = std::make_unique<CTcpSocket>();
    } catch (...) {
        return ERROR_GEN_FAILURE;
    }
    int result = listener->Listen(endpoint);
    if (result != SOCK_OK) {
        if (result == SOCK_ADDRESS_IN_USE)
            return ERROR_LISTEN_IN_USE;
        if (result == SOCK_ADDRESS_NOT_AVAILABLE)
            return ERROR_LISTEN_ADDRESS;
        if (result == SOCK_FAMILY_NOT_SUPPORTED)
            return ERROR_NOT_SUPPORTED;
        return ERROR_GEN_FAILURE;
    }
    AcceptJob* job = new (std::nothrow) AcceptJob{this, listener.get(), LISTENER_KIND_TCP, &m_tcpStop, state};
    if (!job)
        return ERROR_NOT_ENOUGH_MEMORY;
    *slot = CThread::Create(AcceptThread, job, CTHREAD_JOINABLE);
    if (!*slot) {
        delete job;
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    listener.release(); // the accept thread owns it now
    return 0;
}

CExceptionEx* CNetworkServer::StartTcpListeners()
{
    m_tcpState = LISTENER_STATE_STARTING;
    m_v4State = LISTENER_STATE_STARTING;
    m_v6State = LISTENER_STATE_STARTING;
    // Explicit schemes: the family of each listener is that of its address,
    // whatever the process-wide family preference says.
    struct Family {
        const ADDRESS& address;
        uint8_t offByte;
        const char* scheme;
        CThread** slot;
        std::atomic<uint32_t>* state;
        const char* unsupported;
    } families[] = {
        {m_listenV4, 0xFF, "tcp4://", &m_acceptV4, &m_v4State, "TCPv4 not supported on this system.\n"},
        {m_listenV6, 0xFF, "tcp6://", &m_acceptV6, &m_v6State, "TCPv6 not supported on this system.\n"},
    };
    for (auto& family : families) {
        const ADDRESS& address = family.address;
        bool off = !address.IsValid();
        if (!off) {
            off = true;
            for (uint32_t i = 0; i < address.GetAddressLength(); ++i)
                if (address.GetAddressBytes()[i] != family.offByte)
                    off = false;
        }
        if (off) {
            *family.state = LISTENER_STATE_OFF;
            continue;
        }
        ENDPOINT_ADDRESS endpoint(address, m_port);
        std::string text = endpoint.ToString();
        uint32_t error = text.empty() ? ERROR_NOT_SUPPORTED : StartListener(family.scheme + text, family.slot, family.state);
        if (error == ERROR_NOT_SUPPORTED) {
            if (m_eventLog)
                m_eventLog->Print("%s", family.unsupported);
            *family.state = LISTENER_STATE_NO_FAMILY;
            continue;
        }
        if (error != 0) {
            StopTcpListeners(LISTENER_STATE_FAILED);
            std::lock_guard<std::mutex> lock(m_resultsLock);
            m_tcpResult = CExceptionEx(MODULE_NETWORKSERVER, __LINE__, error);
            return new CExceptionEx(m_tcpResult);
        }
        *family.state = LISTENER_STATE_RUNNING;
    }
    m_tcpState = LISTENER_STATE_RUNNING;
    {
        std::lock_guard<std::mutex> lock(m_resultsLock);
        m_tcpResult = CExceptionEx(MODULE_NETWORKSERVER, 0, 0);
    }
    m_callbackKick.Set();
    return nullptr;
}

void CNetworkServer::StopTcpListeners(uint32_t state)
{
    m_tcpStop.Set();
    JoinAndDelete(&m_acceptV4, m_owner, __LINE__);
    m_v4State = state;
    JoinAndDelete(&m_acceptV6, m_owner, __LINE__);
    m_v6State = state;
    m_tcpState = state;
    m_tcpStop.Reset();
}

CExceptionEx* CNetworkServer::StartPipeListener()
{
    if (m_acceptPipe)
        return nullptr;
    m_pipeState = LISTENER_STATE_STARTING;
    uint32_t error = 0;
    std::unique_ptr<CSocketBase> listener;
    try {
        listener = std::make_unique<CPipeSocket>();
        int result = listener->Listen("pipe://" + m_pipeName);
        if (result == SOCK_ADDRESS_IN_USE)
            error = ERROR_LISTEN_IN_USE;
        else if (result == SOCK_ADDRESS_NOT_AVAILABLE)
            error = ERROR_LISTEN_ADDRESS;
        else if (result != SOCK_OK)
            error = ERROR_GEN_FAILURE;
    } catch (...) {
        error = ERROR_GEN_FAILURE;
    }
    if (error == 0) {
        AcceptJob* job = new (std::nothrow) AcceptJob{this, listener.get(), LISTENER_KIND_PIPE, &m_pipeStop, &m_pipeState};
        m_acceptPipe = job ? CThread::Create(AcceptThread, job, CTHREAD_JOINABLE) : nullptr;
        if (m_acceptPipe) {
            listener.release();
        } else {
            delete job;
            error = ERROR_NOT_ENOUGH_MEMORY;
        }
    }
    if (error != 0) {
        StopPipeListener(LISTENER_STATE_FAILED);
        std::lock_guard<std::mutex> lock(m_resultsLock);
        m_pipeResult = CExceptionEx(MODULE_NETWORKSERVER, __LINE__, error);
        return new CExceptionEx(m_pipeResult);
    }
    {
        std::lock_guard<std::mutex> lock(m_resultsLock);
        m_pipeResult = CExceptionEx(MODULE_NETWORKSERVER, 0, 0);
    }
    m_callbackKick.Set();
    m_pipeState = LISTENER_STATE_RUNNING;
    return nullptr;
}

void CNetworkServer::StopPipeListener(uint32_t state)
{
    m_pipeStop.Set();
    JoinAndDelete(&m_acceptPipe, m_owner, __LINE__);
    m_pipeState = state;
    m_pipeStop.Reset();
}

int CNetworkServer::AcceptThread(void* argument)
{
    AcceptJob* job = static_cast<AcceptJob*>(argument);
    job->server->AcceptLoop(job);
    delete job;
    return 0;
}

bool CNetworkServer::TakePeerSocket(CSocketBase* socket)
{
    if (m_peerSockets.Increment() > static_cast<int>(m_limits.connections)) {
        m_peerSockets.Decrement();
        return false;
    }
    socket->SetReleaseHook([this] { m_peerSockets.Decrement(); });
    return true;
}

bool CNetworkServer::BeginCommand(uint32_t id)
{
    std::lock_guard<std::mutex> lock(m_commandLock);
    uint32_t& running = m_commandThreads[id];
    if (running >= COMMAND_THREADS_PER_CONNECTION)
        return false;
    ++running;
    return true;
}

void CNetworkServer::EndCommand(uint32_t id)
{
    std::lock_guard<std::mutex> lock(m_commandLock);
    auto it = m_commandThreads.find(id);
    if (it != m_commandThreads.end() && --it->second == 0)
        m_commandThreads.erase(it);
}

bool CNetworkServer::RegisterDial(uint32_t id, CSocketBase* socket)
{
    // Under the sessions lock, which EndDials runs under too: a dial whose
    // connection has already gone is never registered after its end.
    bool registered = false;
    VisitConnection(id, [&](const ClientConnection& connection) {
        if (connection.state != CONNECTION_ACTIVE && connection.state != CONNECTION_DIALLING)
            return;
        std::lock_guard<std::mutex> lock(m_commandLock);
        m_dials.emplace(id, socket);
        registered = true;
    });
    return registered;
}

void CNetworkServer::ForgetDial(CSocketBase* socket)
{
    std::lock_guard<std::mutex> lock(m_commandLock);
    for (auto it = m_dials.begin(); it != m_dials.end(); ++it)
        if (it->second == socket) {
            m_dials.erase(it);
            return;
        }
}

void CNetworkServer::EndDials(uint32_t id)
{
    std::lock_guard<std::mutex> lock(m_commandLock);
    auto range = m_dials.equal_range(id);
    for (auto it = range.first; it != range.second; ++it)
        it->second->Close();
}

void CNetworkServer::AcceptLoop(AcceptJob* job)
{
    CSocketBase* listener = job->listener;
    int failures = 0;
    bool starved = false;
    int result = SOCK_OK;
    for (;;) {
        CSocket* accepted = nullptr;
        result = listener->Accept(&accepted, job->stop);
        if (result == SOCK_ABORTED || m_stop.IsSet() || job->stop->IsSet()) {
            delete accepted;
            break;
        }
        if (result == SOCK_NO_RESOURCES) {
            // Never the end of the listener: the descriptors come back when
            // connections close. One debug line per shortage.
            if (!starved)
                Debug(__LINE__, static_cast<uint32_t>(result));
            starved = true;
            if (job->stop->WaitAbortable(&m_stop, ACCEPT_RESOURCE_WAIT_MS) != SYNC_TIMEOUT)
                break;
            continue;
        }
        if (result == SOCK_CLOSED)
            break;
        if (result != SOCK_OK) {
            if (++failures >= ACCEPT_FAILURE_LIMIT) {
                if (m_eventLog)
                    m_eventLog->Print("Server stopped due to unrecoverable error (error code %d).\n", result);
                break;
            }
            if (job->stop->WaitAbortable(&m_stop, 100) != SYNC_TIMEOUT)
                break;
            continue;
        }
        failures = 0;
        starved = false;
        std::unique_ptr<CSocketBase> socket(static_cast<CSocketBase*>(accepted));
        std::string peer = socket->GetPeerName();
        ADDRESS peerAddress;
        uint16_t peerPort = 0;
        if (job->kind == LISTENER_KIND_TCP)
            socket->GetPeerAddress(&peerAddress, &peerPort);
        // Past either bound the connection is closed at once: a flood then
        // costs one accept and one close per connection, and the daemon
        // keeps what it needs for the connections it serves.
        if (m_liveThreads.Get() >= static_cast<int>(m_limits.threads) || !TakePeerSocket(socket.get())) {
            LogPeer(peerAddress, LOG_BURST_ERROR,
                    "Client connected from %s, but was rejected due to insufficient resources on server.\n", peer);
            continue;
        }
        if (job->kind == LISTENER_KIND_TCP)
            socket->SetNoDelay();
        socket->SetDeadline(m_settings.handshakeMs);
        ThreadJob* thread = new (std::nothrow) ThreadJob();
        if (thread) {
            thread->kind = ThreadJob::HANDSHAKE;
            thread->socket = std::move(socket);
            thread->listenerKind = job->kind;
        }
        if (!thread || !StartDetached(thread)) {
            LogPeer(peerAddress, LOG_BURST_ERROR,
                    "Client connected from %s, but was rejected due to insufficient resources on server.\n", peer);
            if (job->stop->WaitAbortable(&m_stop, 100) != SYNC_TIMEOUT)
                break;
        }
    }
    if (!m_stop.IsSet() && !job->stop->IsSet()) {
        // The listener is gone while it should run: it must not be reported
        // as listening.
        *job->state = LISTENER_STATE_FAILED;
        std::lock_guard<std::mutex> lock(m_resultsLock);
        CExceptionEx error(MODULE_NETWORKSERVER, __LINE__, static_cast<uint32_t>(result));
        if (job->kind == LISTENER_KIND_TCP) {
            m_tcpState = LISTENER_STATE_FAILED;
            m_tcpResult = error;
        } else {
            m_pipeResult = error;
        }
    }
    listener->Close();
    delete listener;
}

// Whole-length receive and send on the stop event; false on any failure,
// after a debug line.
static bool ReceiveAll(CSocket* socket, void* buffer, size_t length, CEvent* stop)
{
    return socket->Receive(buffer, length, stop) == SOCK_OK;
}

static bool SendAll(CSocket* socket, const void* buffer, size_t length, CEvent* stop)
{
    return socket->Send(buffer, length, stop) == SOCK_OK;
}

void CNetworkServer::Handshake(std::unique_ptr<CSocketBase> socket, uint32_t kind)
{
    ADDRESS address;
    uint16_t port = 0;
    uint8_t answer = HANDSHAKE_ACCEPT;
    if (kind == LISTENER_KIND_TCP) {
        socket->GetPeerAddress(&address, &port);
        if (!m_owner->CheckIpFilters(address)) {
            LogPeer(address, LOG_BURST_WARNING, "Client connected from %s, but was rejected by IP filters.\n",
                    socket->GetPeerName());
            answer = HANDSHAKE_REFUSE;
        }
    } else {
        uint8_t prefix[DESKTOP_PREFIX_SIZE];
        if (!ReceiveAll(socket.get(), prefix, sizeof prefix, &m_stop))
            return Debug(__LINE__, 0);
        long length = ParseDesktopPrefix(prefix, sizeof prefix);
        if (length < 0) {
            m_peerLog->Print("", LOG_BURST_WARNING,
                             "Remote Desktop Client app connection was rejected due to invalid data.\n");
            return;
        }
        char name[DESKTOP_NAME_LIMIT + 1] = {};
        if (!ReceiveAll(socket.get(), name, static_cast<size_t>(length), &m_stop))
            return Debug(__LINE__, 0);
        socket->SetPeerName(std::string(name, static_cast<size_t>(length)));
    }
    if (!SendAll(socket.get(), &answer, 1, &m_stop))
        return Debug(__LINE__, 0);
    if (answer == HANDSHAKE_REFUSE)
        return;
    // The magic is checked as soon as it is in: a peer that is no client is
    // not waited for.
    uint8_t hello[CLIENT_HELLO_SIZE];
    if (!ReceiveAll(socket.get(), hello, CLIENT_MAGIC_SIZE, &m_stop))
        return Debug(__LINE__, 0);
    bool magic = IsClientMagic(hello, CLIENT_MAGIC_SIZE);
    if (magic && !ReceiveAll(socket.get(), hello + CLIENT_MAGIC_SIZE, sizeof hello - CLIENT_MAGIC_SIZE, &m_stop))
        return Debug(__LINE__, 0);
    uint32_t version = 0;
    uint8_t platform = 0;
    if (!magic || !ParseClientHello(hello, sizeof hello, &version, &platform)) {
        LogPeer(address, LOG_BURST_WARNING,
                "Client connected from %s, but was rejected due to invalid data.\n", socket->GetPeerName());
        return;
    }
    uint8_t reply[6] = {HANDSHAKE_PLATFORM_OK, m_owner->GetPlatformByte()};
    uint32_t serverVersion = SERVER_VERSION;
    memcpy(reply + 2, &serverVersion, sizeof serverVersion);
    if (!SendAll(socket.get(), reply, sizeof reply, &m_stop))
        return Debug(__LINE__, 0);
    if (!IsCompatibleVersion(version)) {
        LogPeer(address, LOG_BURST_WARNING,
                "Client connected from %s, but was rejected due to incompatible version.\n", socket->GetPeerName());
        return;
    }
    uint8_t request = 0;
    if (!ReceiveAll(socket.get(), &request, 1, &m_stop))
        return Debug(__LINE__, 0);
    switch (request) {
    case REQUEST_DATA:
        AcceptDeviceConnection(socket.get(), kind, address, port, platform, 0);
        break;
    case REQUEST_SESSION: {
        LogPeer(address, LOG_BURST_INFO, "Client connected from %s\n", socket->GetPeerName());
        uint32_t id = AllocateConnectionId(CONNECTION_CLASS_SESSION);
        if (!AcceptSession(&socket, kind, address, port, platform, id) && id != 0)
            ReleaseConnection(id);
        break;
    }
    case REQUEST_REVERSE_SESSION:
    case REQUEST_REVERSE_DATA:
        AcceptReverseConnection(socket.get(), request);
        break;
    default:
        LogPeer(address, LOG_BURST_WARNING,
                "Client connected from %s, but was rejected due to unsupported request.\n", socket->GetPeerName());
        break;
    }
}

uint32_t CNetworkServer::AllocateConnectionId(uint32_t request)
{
    uint32_t wanted = request & CONNECTION_NUMBER_MASK;
    CMutexGuard guard(&m_idLock);
    if (guard.LockAbortable(&m_stop, m_settings.lockMs) != SYNC_OK)
        return 0;
    uint32_t number = 0;
    try {
        if (wanted != 0) {
            if (m_ids.count(wanted) == 0)
                number = wanted;
        } else {
            // The registry is ordered: the first gap is the lowest free number.
            uint32_t candidate = 1;
            for (const auto& entry : m_ids) {
                if (entry.first != candidate)
                    break;
                ++candidate;
            }
            if (candidate < 0x0FFFFFFE)
                number = candidate;
        }
        if (number != 0)
            m_ids[number] = 1;
    } catch (...) {
        return 0;
    }
    return number == 0 ? 0 : (request & CONNECTION_CLASS_MASK) | number;
}

bool CNetworkServer::AcquireConnection(uint32_t id)
{
    CMutexGuard guard(&m_idLock);
    if (guard.LockAbortable(&m_stop, m_settings.lockMs) != SYNC_OK)
        return false;
    auto it = m_ids.find(id & CONNECTION_NUMBER_MASK);
    if (it == m_ids.end())
        return false;
    ++it->second;
    return true;
}

void CNetworkServer::ReleaseConnection(uint32_t id)
{
    CMutexGuard guard(&m_idLock);
    // Not abortable: a use must be given back during shutdown too.
    if (guard.Lock(m_settings.lockMs) != SYNC_OK) {
        Debug(__LINE__, ERROR_TIMEOUT);
        return;
    }
    auto it = m_ids.find(id & CONNECTION_NUMBER_MASK);
    if (it != m_ids.end() && --it->second == 0)
        m_ids.erase(it);
}
