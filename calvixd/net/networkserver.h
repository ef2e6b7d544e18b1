// The network side of calvixd: TCP listeners over IPv4 and IPv6 and the
// remote-desktop pipe, the connection handshake, client sessions (groups of
// up to 1024 session connections served by one thread), the broadcast of
// device events, IP filter re-checks, connection ids, device data
// connection set-up and callback connections that the server dials itself.
//
// Locks (all abortable by m_stop, 25000 ms unless noted), in this order:
//   m_sessionsLock -> ClientSession::connectionLock or ClientSession::sendQueueLock -> m_idLock.
// m_filterLock is never held together with another lock. No lock is held
// across a socket wait, a call into the owner or a thread start that may
// block.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "calvixd/core/coretypes.h"
#include "calvixd/core/eventlog.h"
#include "calvixd/core/peerlog.h"
#include "calvixd/net/addressrule.h"
#include "calvixd/net/networkserveriface.h"
#include "calvixd/net/peerlimits.h"
#include "calvixd/net/resolverclient.h"
#include "calvixd/net/socket.h"
#include "calvixd/net/socketfactory.h"

struct UsbDevice;

// Listener kinds kept in every connection.
constexpr uint32_t LISTENER_KIND_PIPE = 16;
constexpr uint32_t LISTENER_KIND_TCP = 32;

// Listener states.
constexpr uint32_t LISTENER_STATE_RUNNING = 0;
constexpr uint32_t LISTENER_STATE_OFF = 1;
constexpr uint32_t LISTENER_STATE_FAILED = 6;
constexpr uint32_t LISTENER_STATE_STARTING = 7;
constexpr uint32_t LISTENER_STATE_NO_FAMILY = 8;

// Connection states.
constexpr uint32_t CONNECTION_ACTIVE = 0;
constexpr uint32_t CONNECTION_DISCONNECTED = 1;
constexpr uint32_t CONNECTION_DIALLING = 7;
constexpr uint32_t CONNECTION_CLOSING = 8;

// Connection id classes (top four bits).
constexpr uint32_t CONNECTION_CLASS_SESSION = 0x80000000;
constexpr uint32_t CONNECTION_CLASS_CALLBACK = 0xC0000000;
constexpr uint32_t CONNECTION_CLASS_MASK = 0xF0000000;
constexpr uint32_t CONNECTION_NUMBER_MASK = 0x0FFFFFFF;

// Session limits and times.
constexpr size_t SESSION_CONNECTION_LIMIT = 1024;
constexpr size_t SESSION_RECEIVE_SIZE = 1024;
constexpr uint32_t SESSION_SILENCE_LIMIT_MS = 30000;
constexpr uint32_t SESSION_PING_INTERVAL_MS = 10000;

// Deferred commands ('G', 'I', reserve) of one session connection that may
// run at once; further ones are dropped until one ends.
constexpr uint32_t COMMAND_THREADS_PER_CONNECTION = 8;

// Answers of the 'C' exchange.
constexpr uint8_t DATA_ANSWER_DONE = '2';
constexpr uint8_t DATA_ANSWER_REFUSED = '3';
constexpr uint8_t DATA_CONFIRM = '7';
constexpr size_t CONNECT_RECORD_SIZE = 92;

// What the network server asks of the server core. Every call is made with
// no lock of the network server held.
class CNetworkServerOwner {
public:
    virtual ~CNetworkServerOwner() {}
    virtual uint32_t GetTickMs() { return GetTickCountMs(); }
    virtual void LogDebug(uint16_t module, uint32_t line, uint32_t error) = 0;
    // Null when the event log is off.
    virtual CEventLog* GetEventLog() = 0;
    virtual void NotifyListeners() = 0;
    // Null when names cannot be resolved.
    virtual Resolver* GetResolver() = 0;
    virtual uint8_t GetPlatformByte() { return 0x90; }
    virtual void GetServerId(uint8_t id[16]) = 0;
    // False when the address is refused.
    virtual bool CheckIpFilters(const ADDRESS& address) = 0;
    // The devices to list in a greeting; false when they cannot be had.
    virtual bool CollectDevices(std::vector<DeviceInfo>* devices) = 0;
    // Un-scrambles bytes 8 to 91 of a connect record in place.
    virtual bool UnscrambleConnectRecord(uint8_t* record, size_t size, uint8_t platform) = 0;
    // Runs a whole device data connection; the answer byte ('2' done) and a
    // refusal code.
    virtual uint8_t ServeDeviceConnection(CSocket* socket, uint32_t kind, const ADDRESS& address,
                                          const std::string& clientName, uint8_t platform, uint32_t deviceId,
                                          uint32_t connectionId, uint32_t* code) = 0;
    virtual void RemoveCallbackConnection(uint32_t id) = 0;
    virtual void ReserveInactiveDevice(uint32_t connectionId, uint32_t deviceId, uint32_t kind,
                                       const ADDRESS& address, const std::string& clientName) = 0;
};

struct ClientConnection {
    std::unique_ptr<CSocketBase> socket; // none once closed
    uint32_t kind = 0;
    uint32_t state = CONNECTION_ACTIVE;
    std::vector<uint8_t> output; // not yet sent
    std::vector<uint8_t> input;  // received, not yet cut into records
    uint32_t lastReceive = 0;
    uint32_t lastPing = 0;
    uint32_t useCount = 0; // device data connections using it
    uint32_t id = 0;
    ADDRESS address; // empty for pipe connections
    uint8_t platform = 0;
    uint16_t port = 0;
    std::string clientName;
    uint32_t callbackFlags = 0;
    CExceptionEx lastError;
    // A callback entry whose dial failed or whose session ended is dialled
    // again only once the retry interval has passed since this tick.
    bool retryWait = false;
    uint32_t downSince = 0;
};

struct OutgoingRecord {
    uint32_t target = 0;
    uint32_t mode = 0; // DELIVER_ALL, DELIVER_ONLY, DELIVER_ALL_BUT; others reach nobody
    std::vector<uint8_t> bytes;
};

struct ClientSession {
    uint8_t receiveBuffer[SESSION_RECEIVE_SIZE];
    CMutex connectionLock;
    // Guarded by connectionLock.
    std::list<ClientConnection> connections;
    CMutex sendQueueLock;
    // Guarded by sendQueueLock.
    std::vector<OutgoingRecord> sendQueue;
};

// Times of the network server; tests scale them down.
struct NetworkServerSettings {
    int lockMs = 25000;
    int scanLockMs = 5000;
    int callbackRetryMs = 10000;
    int callbackKickDelayMs = 1000;
    // A whole handshake, from accept to the request's hand-over.
    uint32_t handshakeMs = 10000;
    // Bounds for peers; a zero bound comes from the process's limits.
    PeerLimits limits = {0, 0};
};

class CNetworkServer : public CNetworkServerIface, public CResolverClientCallbackIface {
public:
    // Starts the callback manager; throws CExceptionEx*(2, line, 8) when it
    // cannot.
    explicit CNetworkServer(CNetworkServerOwner* owner, const NetworkServerSettings& settings = {});
    // Stops as Stop does.
    ~CNetworkServer() override;
    CNetworkServer(const CNetworkServer&) = delete;
    CNetworkServer& operator=(const CNetworkServer&) = delete;

    // Stops everything and waits until no thread of the server runs; once
    // stopped the server serves nobody. A class derived from this one calls
    // it in its own destructor: the threads call virtual operations, which
    // must not run while a destructor changes the object's type.
    void Stop();

    void SetListenAddresses(const ADDRESS& v4, const ADDRESS& v6, uint16_t port);
    // Null on success, else an error record the caller deletes.
    CExceptionEx* StartTcpListeners();
    void StopTcpListeners(uint32_t state);
    void SetPipeName(const std::string& name);
    CExceptionEx* StartPipeListener();
    void StopPipeListener(uint32_t state);
    void GetListenerStates(uint32_t* overall, uint32_t* v4, uint32_t* v6, uint32_t* pipe);

    uint32_t AllocateConnectionId(uint32_t request);
    bool AcquireConnection(uint32_t id) override;
    void ReleaseConnection(uint32_t id) override;

    // Device events (CNetworkServerIface).
    void BroadcastDeviceAvailable(const UsbDevice& device, uint32_t target, int mode) override;
    void BroadcastDeviceInUse(uint32_t deviceId, uint32_t flags, const ADDRESS& client, uint32_t target,
                              int mode) override;
    void BroadcastDeviceInUseDetails(const UsbDevice& device, uint32_t flags, const ADDRESS& client,
                                     uint32_t target, int mode) override;
    void BroadcastDeviceInactive(const UsbDevice& device, uint32_t target, int mode) override;
    void BroadcastDeviceRemoved(uint32_t deviceId, uint32_t target, int mode) override;
    void BroadcastDeviceUnshared(uint32_t deviceId, uint32_t target, int mode) override;
    void SendDeviceNickname(uint32_t deviceId, const std::string& nickname) override;
    void SendDeviceCommand(uint32_t deviceId, uint32_t connectionId, uint32_t command) override;
    void QueueRecord(OutgoingRecord record);

    void SetIpFilters(uint8_t mode, const std::vector<AddressRule>& rules) override;

    // What the core's snapshot shows (CNetworkServerIface).
    uint32_t GetTcpV4State() override { return m_v4State.load(); }
    uint32_t GetTcpServerState() override { return m_tcpState.load(); }
    void StopTcpServer(const ADDRESS& v4, const ADDRESS& v6, uint16_t port) override
    {
        StopTcpListeners(LISTENER_STATE_OFF);
        SetListenAddresses(v4, v6, port);
    }
    CExceptionEx* StartTcpServer() override { return StartTcpListeners(); }
    CExceptionEx GetTcpV4Error() override;
    uint32_t GetPipeListenerState() override { return m_pipeState.load(); }
    CExceptionEx GetPipeListenerError() override;
    // Every connection of every session, then every parked one.
    void ListConnections(std::vector<ConnectionSnapshot>* connections) override;
    std::string GetConnectionName(uint32_t id) override;
    bool GetConnectionInfo(uint32_t id, ConnectionInfo* info);
    bool GetConnectionSnapshot(uint32_t id, ConnectionSnapshot* snapshot) override;
    bool GetConnectionName(uint32_t id, std::string* name);

    // Callback connections (CNetworkServerIface).
    uint32_t AddCallbackConnection(uint32_t id, const std::string& host, uint16_t port, uint32_t kind,
                                   uint32_t flags, uint32_t* error) override;
    bool RemoveCallbackConnection(uint32_t id) override;
    void SetCallbackConnectionFlags(uint32_t id, uint32_t flags) override;

    // Data connections: the session connection a data connection names.
    bool AttachDataConnection(uint32_t id, uint32_t kind, const ADDRESS& address, std::string* name, uint32_t* code);
    void DetachDataConnection(uint32_t id);

    void OnAddressResolved(const ADDRESS& address, const std::string& host) override;

    // Threads of the server that run detached (handshakes, sessions, dials,
    // deferred commands).
    int GetLiveThreads() const { return m_liveThreads.Get(); }
    // Sockets held for peers (accepted, or dialled for a peer's request).
    int GetPeerSockets() const { return m_peerSockets.Get(); }
    const PeerLimits& GetPeerLimits() const { return m_limits; }
    size_t GetSessionCount();

private:
    struct ThreadJob;
    static int AcceptThread(void* argument);
    static int DetachedThread(void* argument);
    static int CallbackManagerThread(void* argument);

    // Starts a counted detached thread; false (and the job is deleted) when
    // it cannot.
    bool StartDetached(ThreadJob* job);
    struct AcceptJob;
    void AcceptLoop(AcceptJob* job);
    // Counts the socket against the peer bound until it is destroyed; false
    // when the bound is reached.
    bool TakePeerSocket(CSocketBase* socket);
    // A deferred command thread of the connection; false when it has its
    // COMMAND_THREADS_PER_CONNECTION already.
    bool BeginCommand(uint32_t id);
    void EndCommand(uint32_t id);
    // False when the dial's connection has gone or is going.
    bool RegisterDial(uint32_t id, CSocketBase* socket);
    // Forgets the dial; no-op for a socket that is not registered.
    void ForgetDial(CSocketBase* socket);
    // Closes the dials of a connection that left its session.
    void EndDials(uint32_t id);
    uint32_t StartListener(const std::string& endpoint, CThread** slot, std::atomic<uint32_t>* state);
    void Handshake(std::unique_ptr<CSocketBase> socket, uint32_t kind);
    // True when the socket was taken over.
    bool AcceptSession(std::unique_ptr<CSocketBase>* socket, uint32_t kind, const ADDRESS& address, uint16_t port,
                       uint8_t platform, uint32_t id);
    void AcceptDeviceConnection(CSocketBase* socket, uint32_t kind, const ADDRESS& address, uint16_t port,
                                uint8_t platform, uint32_t expectedId);
    bool AcceptReverseConnection(CSocketBase* socket, uint8_t request);
    bool BuildDeviceList(std::vector<uint8_t>* list);
    void RunSession(ClientSession* session);
    bool TransferSessionData(ClientSession* session);
    bool ProcessIncoming(ClientSession* session);
    void DispatchRecord(ClientSession* session, ClientConnection* connection, const struct ClientRecord& record);
    bool CheckPings(ClientSession* session);
    bool DeliverQueuedRecords(ClientSession* session);
    // Applies the filters once per change; *applied is the session's last
    // applied generation.
    bool ApplyIpFilters(ClientSession* session, uint64_t* applied);
    static bool FiltersRefuse(uint8_t mode, const std::vector<AddressRule>& rules, const ADDRESS& address,
                              const std::string& name);
    // Under the network server's own filters; pipe and loopback clients
    // pass.
    bool RefusedByFilters(const ADDRESS& address, const std::string& name);
    bool RemoveClosedConnections(ClientSession* session);
    void DestroySession(ClientSession* session);
    // Parks or drops a connection that left its session; sessions lock held.
    void ParkOrDrop(ClientConnection&& connection, bool* kick);
    // State 1, except that a closing connection stays closing.
    static void Disconnect(ClientConnection* connection);
    void CallbackManagerLoop();
    void RunCallbackConnection(ThreadJob* job);
    // A line that the peer at address caused (an empty address for a pipe
    // peer), with its name or peer name as the one %s; counted per address
    // and call site, so that a flood of connections does not flood the log.
    void LogPeer(const ADDRESS& address, int level, const char* format, const std::string& text);
    void Debug(uint32_t line, uint32_t error);
    uint32_t Now() { return m_owner->GetTickMs(); }
    void QueueDeviceEvent(const struct DeviceRecordFields& fields, uint32_t target, int mode);
    // Runs fn on the connection with the id under the locks; false when
    // there is none or a lock was not obtained.
    bool VisitConnection(uint32_t id, const std::function<void(const ClientConnection&)>& fn);

    NetworkServerSettings m_settings;
    CNetworkServerOwner* m_owner;
    CEventLog* m_eventLog;
    std::unique_ptr<CPeerLog> m_peerLog;
    CEvent m_stop; // set only by the destructor
    CAtomic<int> m_liveThreads{0};
    PeerLimits m_limits;
    CAtomic<int> m_peerSockets{0};

    // Leaf lock: guards the two fields below; nothing is called under it
    // but CSocket::Close, which does not block.
    std::mutex m_commandLock;
    // Deferred command threads running per session connection id.
    std::map<uint32_t, uint32_t> m_commandThreads;
    // Dial-backs of session connections that have not yet reached their
    // data connection, closed when their connection leaves its session.
    std::multimap<uint32_t, CSocketBase*> m_dials;
    // Data connections being served, ended when a filter change denies
    // their address.
    struct DataConnectionEntry {
        ADDRESS address;
        std::string name;
        CSocketBase* socket;
    };
    std::list<DataConnectionEntry> m_dataConnections;
    CGenericSocketFactory m_factory;

    CMutex m_sessionsLock;
    // Guarded by m_sessionsLock. A session is freed only by its own thread,
    // and only after it has been taken off this list.
    std::list<ClientSession*> m_sessions;
    std::list<ClientConnection> m_parked;

    CMutex m_idLock;
    // Guarded by m_idLock: use count per connection number.
    std::map<uint32_t, uint32_t> m_ids;

    // Written by the control thread between stop and start only.
    ADDRESS m_listenV4;
    ADDRESS m_listenV6;
    uint16_t m_port = 0;
    std::string m_pipeName;
    CThread* m_acceptV4 = nullptr;
    CThread* m_acceptV6 = nullptr;
    CThread* m_acceptPipe = nullptr;
    CEvent m_tcpStop;
    CEvent m_pipeStop;
    std::atomic<uint32_t> m_tcpState{LISTENER_STATE_OFF};
    std::atomic<uint32_t> m_v4State{LISTENER_STATE_OFF};
    std::atomic<uint32_t> m_v6State{LISTENER_STATE_OFF};
    std::atomic<uint32_t> m_pipeState{LISTENER_STATE_OFF};
    std::mutex m_resultsLock; // guards the two last results
    CExceptionEx m_tcpResult{MODULE_NETWORKSERVER, 0, 0};
    CExceptionEx m_pipeResult{MODULE_NETWORKSERVER, 0, 0};

    CMutex m_filterLock;
    // Guarded by m_filterLock.
    std::vector<AddressRule> m_filterRules;
    uint8_t m_filterMode = 0;
    // Every session applies each change once: it keeps the generation it
    // applied last.
    uint64_t m_filterGeneration = 0;

    CThread* m_callbackManager = nullptr;
    CEvent m_callbackKick;

    std::unique_ptr<CResolverClient> m_resolverClient;
};
