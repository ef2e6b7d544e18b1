// The server core: the device model (one UsbDevice per known device, kept in
// a map of stable ids), the handling of the stub-driver layer's device
// events, and the worker that ends connection attempts that took too long.
//
// Locking: the device mutex guards the device map, every record, the
// reservations, the policy and the quirks. Device events are queued to the
// network server while it is held (device mutex before the session locks);
// the owner's NotifyListeners and SaveConfig run only after it is released,
// and so do the destructors of stubs (they wait for their data connection).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "calvixd/core/snapshot.h"
#include "calvixd/core/usbdevice.h"
#include "calvixd/core/usbservercore.h"
#include "calvixd/core/usbservercoredeps.h"

// Error numbers of the device model (module 1).
constexpr uint32_t ERROR_ACCESS_DENIED_EXCLUDED = 3; // sharing an excluded device
constexpr uint32_t ERROR_POLICY_REFUSED = 4;
constexpr uint32_t ERROR_DRIVER_REFUSED = 1117;
constexpr uint32_t ERROR_NEEDS_REPLUG = 1164;
constexpr uint32_t ERROR_DEVICE_NOT_PRESENT = 1351;
constexpr uint32_t ERROR_UNKNOWN_DEVICE = 1354;

// A client's reservation of a device whose current user is inactive.
struct PendingConnection {
    uint32_t connectionId = 0; // its use count is held while the reservation exists
    uint32_t kind = 0;
    ADDRESS address;
    std::string clientName;
    uint32_t created = 0;
};

class CUsbServerCoreImpl : public CUsbServerCore, public CLoaderEvents, public CResolverClientCallbackIface {
public:
    // Takes the bundle. Starts the worker; throws CExceptionEx* (module 1,
    // error 8) when it cannot, after undoing what was made.
    explicit CUsbServerCoreImpl(std::unique_ptr<CUsbServerCoreDeps> deps);
    ~CUsbServerCoreImpl() override;
    CUsbServerCoreImpl(const CUsbServerCoreImpl&) = delete;
    CUsbServerCoreImpl& operator=(const CUsbServerCoreImpl&) = delete;

    // Applies the stored device settings (ids, remembered devices, nicknames,
    // time-outs, quirks) and the automatic sharing mode.
    void Start(const StoredSettings& settings) override;

    // Device events of the stub-driver layer, each with the device's bus id.
    // They wait for the device mutex as long as it takes (only shutdown ends
    // the wait): the driver layer reports each event once.
    void OnDeviceArrived(const std::string& busId) override;
    void OnStubAttached(const std::string& busId) override;
    void OnDeviceRemoved(const std::string& busId) override;
    // A stub asks for a USB configuration of its device.
    void SetDeviceConfiguration(uint32_t deviceId, int value);
    // A device's data connection has ended.
    void OnDataConnectionEnded(uint32_t deviceId);
    // A reference to the device's stub that keeps it alive while a data
    // connection uses it; null when there is none.
    std::shared_ptr<CUsbStub> GetStub(uint32_t deviceId);

    // The network server's calls. Devices for a greeting (false when the
    // device mutex cannot be had); a whole device data connection ('2'
    // served, '3' with *code refused).
    bool CollectDeviceInfos(std::vector<DeviceInfo>* devices);
    uint8_t ServeDeviceConnection(CSocket* socket, uint32_t kind, const ADDRESS& address,
                                  const std::string& clientName, uint8_t platform, uint32_t deviceId,
                                  uint32_t connectionId, uint32_t* code);
    uint32_t GetTickMs() { return Now(); }
    // Null when the event log is off; the log outlives the core.
    CEventLog* GetEventLog() const { return m_eventLog; }

    // Worker steps; true while entries remain that the worker must watch.
    bool ExpireConnectingDevices();
    bool ExpirePendingConnections();

    UsbDevice* NewRememberedDevice();
    void LogDebug(uint16_t module, uint32_t line, uint32_t error) override;
    void NotifyListeners();

    // Control requests of the device model.
    void SetAutoShareMode(uint32_t mode) override;
    void ShareDevice(uint32_t deviceId, uint32_t parameter, bool byUser) override;
    void UnshareDevice(uint32_t deviceId, bool byUser) override;
    void SetDeviceExcluded(uint32_t deviceId, bool excluded, bool byUser) override;
    void GetDeviceData(uint32_t deviceId, std::vector<uint8_t>* block) override;
    void GetServerId(uint8_t id[16]) override;
    void CollectIdentities(std::vector<IdentityEntry>* identities) override;
    void CollectNicknames(std::map<uint32_t, std::string>* nicknames) override;
    void CollectTimeouts(std::map<uint32_t, uint32_t>* timeouts) override;
    void GetQuirks(std::vector<DeviceQuirk>* quirks) override;
    uint32_t GetAutoShareMode() override { return m_autoShareMode.load(); }

    // The state snapshot and the stored settings that the snapshot and the
    // configuration save read.
    bool CollectState(std::vector<DeviceInfo>* devices, std::vector<ConnectionInfo>* connections,
                      std::vector<DeviceClientInfo>* clients) override;
    void GetIpFilters(uint8_t* mode, std::vector<std::string>* rules) override;
    void GetDevicePolicy(uint8_t* mode, std::vector<DevicePolicyRule>* rules) override;
    void CollectIpFilters(uint8_t* mode, std::vector<std::string>* rules) override;
    void CollectDeviceAcls(std::map<uint32_t, uint8_t>* modes,
                           std::map<uint32_t, std::vector<std::string>>* rules) override;
    ADDRESS GetListenAddressV4() override;
    uint16_t GetTcpPort() override;

    // Requests this server does not carry out: they fail with
    // ERROR_NOT_SUPPORTED.
    void SetTcpPort(uint16_t) override;
    void SetListenAddress(const ADDRESS&) override;
    // Per-device settings and the device policy (usbservercoresharing.cpp).
    // Texts with control characters are refused with 87: they would break
    // the configuration file.
    void SetDeviceNickname(uint32_t deviceId, const std::string& nickname) override;
    void SetDeviceResetMethod(uint32_t deviceId, uint32_t method) override;
    void SetDeviceTimeout(uint32_t deviceId, uint32_t seconds) override;
    void GetDeviceNodePath(uint32_t deviceId, std::string* path) override;
    void SetDevicePolicy(uint8_t mode, const std::vector<DevicePolicyRule>& rules) override;

    // Address rules, IP filters and device ACLs (usbservercorefilters.cpp).
    // A list is applied only whole: a refused request leaves the old one.
    static bool ParseAddress(const std::string* text, AddressRule* rule);
    void SetIpFilters(uint8_t mode, const std::vector<std::string>& rules) override;
    void SetIpFilterMode(uint8_t mode) override;
    void GetDeviceAcl(uint32_t deviceId, uint8_t* mode, std::vector<std::string>* rules) override;
    void SetDeviceAcl(uint32_t deviceId, uint8_t mode, const std::vector<std::string>& rules) override;
    // The handshake's check of a TCP client; admits when the lock cannot be
    // had.
    bool CheckIpFilters(const ADDRESS& address);
    // With the device mutex held.
    bool CheckDeviceAcl(UsbDevice* device, const ADDRESS& address, const std::string& clientName);
    // Resolver results for watched host names, on a resolver thread.
    void OnNameResolved(const std::string& host, const std::set<ADDRESS>& addresses) override;

    // Client connections, reservations and callback connections
    // (usbservercoreconnections.cpp). The control requests throw
    // CExceptionEx* (module 1); the network server's entries only log.
    void ConnectDevice(uint32_t deviceId, uint32_t connectionId) override;
    void DisconnectDevice(uint32_t deviceId) override;
    void ReserveInactiveDevice(uint32_t connectionId, uint32_t deviceId, uint32_t kind, const ADDRESS& address,
                               const std::string& clientName);
    void OnDeviceActive(uint32_t deviceId);
    void OnDeviceInactive(uint32_t deviceId);
    uint32_t AddCallbackConnection(const std::string& host, uint16_t port, uint32_t flags) override;
    void RemoveCallbackConnection(uint32_t id) override;
    void SetCallbackConnectionFlags(uint32_t id, uint32_t flags) override;
    void RemoveAllCallbackConnections();
    // Un-scrambles bytes 8 to 91 of a 92-byte connect record in place; false
    // for any other size or when its buffers cannot be had.
    static bool UnscrambleConnectRecord(uint8_t* record, size_t size, uint8_t platform);

protected:
    using StubList = std::vector<std::shared_ptr<CUsbStub>>;

    // Connections and reservations, device mutex held.
    // Gives a connecting device back to everybody with the last error given.
    void EndConnectAttempt(UsbDevice* device, uint32_t line, uint32_t error);
    void SetActivity(uint32_t deviceId, bool active);
    // The configured callback connections, handed to the network server.
    void ApplyCallbackConnections(const std::vector<ConfiguredCallback>& callbacks);

    // With the device mutex held.
    uint32_t GetDeviceId(uint16_t vendorId, uint16_t productId, uint16_t bcdDevice, const std::string& identity,
                         bool* isNew);
    void AddDevice(uint32_t deviceId, const UsbDeviceInfo& info);
    bool ShouldShare(UsbDevice* device);
    bool PolicyAllows(UsbDevice* device);
    uint32_t GetQuirkFlags(uint16_t vendorId, uint16_t productId);
    uint8_t GetQuirkResetMode(uint16_t vendorId, uint16_t productId);
    bool BuildLoaderRules();
    UsbDevice* FindDevice(uint32_t deviceId);
    // First present record on the bus id.
    UsbDevice* FindPresentByPort(const std::string& busId);
    // Moves the stub out of the record and tells it to end its data
    // connection; the caller drops the list after releasing the mutex.
    static void DetachStub(UsbDevice* device, StubList* released);
    // Unshares or excludes a device (mutex held). Throws CExceptionEx*.
    void UnshareLocked(UsbDevice* device, bool exclude, bool log, StubList* released);
    void AnnounceAfterDisconnect(UsbDevice* device);
    void AnnounceReservationEnd(uint32_t deviceId, const PendingConnection& reservation);
    void UnshareAllOnShutdown();

    void ApplyIdentities(const std::vector<IdentityEntry>& identities);
    void ApplyConfiguredDevices(const std::vector<ConfiguredDevice>& devices);
    UsbDevice* SettingsRecord(uint32_t id);
    void ApplyNicknames(const std::map<uint32_t, std::string>& nicknames);
    void ApplyTimeouts(const std::map<uint32_t, uint32_t>& timeouts);
    // Policy and ACLs with the device mutex held; the IP filters, the
    // listen settings and the callback entries under their own mutexes.
    void ApplyDevicePolicyAndAcls(const StoredSettings& settings);
    void ApplyNetworkSettings(const StoredSettings& settings);

    // Locks for a control request: a debug line and error 1460 on failure.
    void LockForRequest(CMutexGuard* guard, int ms, uint32_t line);
    void LogDevice(const char* what, const UsbDevice& device);
    uint32_t Now() { return m_deps->GetTickMs(); }

    // What the worker thread uses beyond the core: it outlives the core when
    // the worker does not end in time. coreLock guards core, which is null
    // once the core is being destroyed; the worker holds it for each step.
    struct WorkerState {
        CEvent wake;
        CEvent stop;
        CMutex coreLock;
        CUsbServerCoreImpl* core = nullptr;
    };
    static int WorkerThread(void* argument);
    static void WorkerLoop(WorkerState* state);
    void StopWorker();
    void WakeWorker();
    bool SendQuirks();

    // Sharing settings and address rules, with the device mutex held unless
    // said otherwise.
    void ApplyPolicyToDevices(); // takes the device mutex itself
    void RecheckDeviceAcl(UsbDevice* device);
    // Parses the texts into entries (host rules stored by their bare name);
    // false when one is invalid (the walk goes on).
    static bool ValidateRules(const std::vector<std::string>& texts, std::vector<AddressRuleEntry>* rules);
    // New host rules take the addresses of old ones of the same name and
    // are watched; then the old ones are unwatched.
    void ReplaceWatchedHosts(const std::vector<AddressRuleEntry>& old, std::vector<AddressRuleEntry>* fresh);
    void WatchHostRules(); // start: takes both locks in turn
    // The resolver keeps one watch per name and client: the core counts
    // the rules that name a host and watches while any does.
    void WatchHost(const std::string& host);
    void UnwatchHost(const std::string& host);
    bool UpdateIpFilterHosts(const std::string& host, const std::set<ADDRESS>& addresses);
    bool UpdateAclHosts(const std::string& host, const std::set<ADDRESS>& addresses);

    // Declared first so that it goes last: the loader outlives everything
    // that may call it.
    std::unique_ptr<CLoaderApi> m_loader;
    std::unique_ptr<CUsbServerCoreDeps> m_deps;
    CUsbServerCoreOwner* m_owner;
    CEventLog* m_eventLog; // not owned; null when the event log is off
    CEvent m_stop;         // set at the start of destruction
    std::unique_ptr<UsbSysfs> m_sysfs;
    std::unique_ptr<CResolverClient> m_resolverClient;
    std::unique_ptr<CNetworkServerIface> m_network;
    uint8_t m_serverId[16] = {};
    std::shared_ptr<WorkerState> m_workerState;
    CThread* m_worker = nullptr;
    std::atomic<bool> m_autoShareOn{false};
    std::atomic<uint32_t> m_autoShareMode{0};

    CMutex m_deviceMutex;
    // Guarded by m_deviceMutex. Slots are never erased: an id, once given to
    // an identity, stays with it.
    std::map<uint32_t, DeviceSlot> m_devices;
    std::map<uint32_t, PendingConnection> m_reservations;
    uint8_t m_policyMode = 0;
    std::vector<DevicePolicyRule> m_policyRules;
    std::vector<DeviceQuirk> m_quirks;

    // Each guards the fields below it and is taken alone.
    CMutex m_ipFilterMutex;
    uint8_t m_ipFilterMode = FILTER_MODE_DISABLED;
    std::vector<IpFilterRuleEntry> m_ipFilterRules;
    // Taken alone or inside the IP filter mutex or the device mutex.
    std::mutex m_watchLock;
    std::map<std::string, int> m_watchCounts; // host rules per watched name
    CMutex m_callbackMutex;
    std::map<uint32_t, CallbackEntry> m_callbacks;
    CMutex m_listenMutex;
    ADDRESS m_listenV4;
    ADDRESS m_listenV6;
    uint16_t m_tcpPort = 0;
};

// The daemon's server core, with the production collaborators.
CUsbServerCore* CreateDeviceServerCore(CUsbCore* owner);
