// CUsbCore: the one object the daemon's main unit creates. It owns the
// random generator, the control server, the name resolver and the server
// core; carries the daemon through its start-up states; loads the
// configuration once and writes it back after persistent changes; keeps the
// System V message queues that control clients registered and notifies them
// after every change; and routes every control request to the server core.
//
// Lock order: the queue mutex is taken alone and never held while the server
// core is called.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "calvixd/core/configfile.h"
#include "calvixd/core/coreiface.h"
#include "calvixd/core/corerequests.h"
#include "calvixd/core/coretypes.h"
#include "calvixd/core/eventlog.h"
#include "calvixd/core/usbservercore.h"
#include "calvixd/net/resolver.h"
#include "sys/thread"

class CUsbCore;

// Start-up states as control clients see them.
constexpr uint32_t STARTUP_CONSTRUCTED = 0;
constexpr uint32_t STARTUP_CONTROL = 1;    // the control socket opens in this state
constexpr uint32_t STARTUP_CONFIG = 10;    // the configuration file is loaded
constexpr uint32_t STARTUP_SERVER = 40;    // the server core starts in this state
constexpr uint32_t STARTUP_READY = 100;    // the control tool refuses to work below this

constexpr uint8_t PLATFORM_CODE_LINUX = 0x90;
constexpr uint32_t ERROR_ACCESS_DENIED = 5;
constexpr uint32_t ERROR_NOT_FOUND_SERVER = 1349;
// A save waits this long for another save's write.
constexpr int SAVE_LOCK_MS = 25000;
// A queue holding more notifications than this is not read by anyone.
constexpr unsigned long NOTIFY_QUEUE_LIMIT = 50;

// CORE_NOTIFY_MESSAGE: a System V message of type 1 with an empty body.
struct CORE_NOTIFY_MESSAGE {
    long type;
};

// Makes the parts of the core object. The default makes the production
// parts; a test passes its own to record what the core object does.
class CUsbCoreFactory {
public:
    virtual ~CUsbCoreFactory() {}
    virtual CRandom* CreateRandom();
    virtual CCoreIface* CreateControlServer(CUsbCore* core, const char* socketName, const char* userGroup,
                                            const char* adminGroup);
    virtual Resolver* CreateResolver(int maxWorkers, int idleMs);
    virtual CUsbServerCore* CreateServerCore(CUsbCore* core);
    virtual CConfigFile* CreateConfigFile();
};

class CUsbCore : public CCoreRequests {
public:
    // Creates the parts in order: random generator, control server, resolver,
    // server core. Throws the CExceptionEx* of the first step that fails,
    // after destroying the parts made so far. factory may be null.
    explicit CUsbCore(CEventLog* eventLog, CUsbCoreFactory* factory = nullptr);
    // The daemon's shutdown order: control server, queues, stop event,
    // server core, resolver.
    ~CUsbCore() override;
    CUsbCore(const CUsbCore&) = delete;
    CUsbCore& operator=(const CUsbCore&) = delete;

    // Throws CExceptionEx*: (0, 216, 31) when the control server does not
    // start; server core failures pass through unchanged.
    void Start();

    uint32_t GetStartupState() const override { return m_startupState.load(); }
    // "Debug: Module 0x%04x Line %lu Error %lu", only with debuglog on.
    void LogDebug(uint16_t module, uint32_t line, uint32_t error) override;
    // Sends CORE_NOTIFY_MESSAGE to every registered queue, dropping queues
    // that are gone or full.
    void NotifyListeners();
    CEventLog* GetEventLog() const { return m_eventLog; }
    Resolver* GetResolver() const { return m_resolver.get(); }
    uint8_t GetPlatformCode() const { return m_platformCode; }
    bool IsDebugLogOn() const { return m_debuglog.load(); }
    // The daemon answers no reverse request itself.
    int AnswerReverseRequest() { return 0; }

    // A queue is accepted only from a peer that owns or created it, or from
    // root: the daemon runs as root, writes into the queue and removes it
    // when full, which no user may make it do to someone else's queue.
    // Returns 1; throws (0, 321, 1460) on a lock time-out, ERROR_ACCESS_DENIED
    // for a foreign queue, ERROR_INVALID_PARAMETER for a queue that does not
    // exist.
    int RegisterNotifyQueue(int queueId, const struct ucred& peer) override;
    // The same rule, while the queue still exists; an unlisted id is no error.
    void UnregisterNotifyQueue(int queueId, const struct ucred& peer) override;
    void ClearNotifyQueues();
    std::vector<int> GetNotifyQueues();

    // Never fails its caller: on any error the file is left as it was.
    void SaveConfig();
    // settings->quirks keeps what the caller put in; everything else is reset
    // to the defaults and then read from the file.
    void LoadConfig(StoredSettings* settings);

    // Control requests. Each calls the server core operation of the same
    // name; "save" and "notify" follow as the request table says, and
    // neither runs when the operation throws.
    void GetSnapshot(std::vector<DeviceInfo>* devices, std::vector<ConnectionInfo>* connections,
                     std::vector<DeviceClientInfo>* clients) override;
    void SetTcpPort(uint16_t port) override;
    void SetListenAddress(const ADDRESS& address) override;
    void SetAutoShareMode(uint32_t mode) override;
    void ShareDevice(uint32_t deviceId, uint32_t parameter) override;
    void UnshareDevice(uint32_t deviceId) override;
    void ConnectDevice(uint32_t deviceId, uint32_t clientId) override;
    void DisconnectDevice(uint32_t deviceId) override;
    void GetIpFilters(uint8_t* mode, std::vector<std::string>* rules) override;
    void SetIpFilters(uint8_t mode, const std::vector<std::string>& rules) override;
    void GetDeviceAcl(uint32_t deviceId, uint8_t* mode, std::vector<std::string>* rules) override;
    void SetDeviceAcl(uint32_t deviceId, uint8_t mode, const std::vector<std::string>& rules) override;
    void SetDeviceTimeout(uint32_t deviceId, uint32_t seconds) override;
    void SetDeviceNickname(uint32_t deviceId, const std::string& nickname) override;
    void SetDeviceResetMethod(uint32_t deviceId, uint32_t method) override;
    void GetDeviceData(uint32_t deviceId, std::vector<uint8_t>* block) override;
    uint32_t AddCallbackConnection(const std::string& address, uint16_t port, uint32_t kind) override;
    void RemoveCallbackConnection(uint32_t id) override;
    void AddExclusion(uint32_t serverId, uint32_t deviceId) override;
    void RemoveExclusion(uint32_t serverId, uint32_t deviceId) override;
    void SetObjectFlags(uint32_t objectId, uint32_t flags) override;
    void GetDeviceInstanceId(uint32_t serverId, uint32_t deviceId, std::string* text) override;
    void GetDevicePolicy(uint8_t selector, uint8_t* mode, std::vector<DevicePolicyRule>* rules) override;
    void SetDevicePolicy(uint8_t selector, uint8_t mode, const std::vector<DevicePolicyRule>& rules) override;

private:
    void SaveAndNotify();
    // Checks that peer may name queueId; throws as RegisterNotifyQueue says.
    void CheckQueueOwner(int queueId, const struct ucred& peer, bool missingIsError);

    CEvent m_stop; // set at destruction; every lock of this object aborts on it
    std::atomic<uint32_t> m_startupState{STARTUP_CONSTRUCTED};
    std::atomic<bool> m_eventlog{true};
    std::atomic<bool> m_debuglog{false};
    uint8_t m_platformCode = PLATFORM_CODE_LINUX;
    CEventLog* m_eventLog; // not owned; null when logging is off
    std::string m_socketName = "calvixd.pipe";
    std::string m_userGroup = "calvusr";
    std::string m_adminGroup = "calvusradm";
    std::unique_ptr<CUsbCoreFactory> m_defaultFactory;
    std::unique_ptr<CConfigFile> m_configFile;
    // The parts, destroyed in reverse order when construction fails.
    std::unique_ptr<CRandom> m_random;
    std::unique_ptr<CCoreIface> m_controlServer;
    std::unique_ptr<Resolver> m_resolver;
    std::unique_ptr<CUsbServerCore> m_serverCore;
    // Taken alone, never with a lock of the server core: only the file
    // write runs under it.
    CMutex m_saveMutex;
    uint64_t m_savedGeneration = 0; // guarded by m_saveMutex
    std::atomic<uint64_t> m_saveGeneration{0};
    CMutex m_queueMutex;     // guards m_queues
    std::vector<int> m_queues; // registration order, no duplicates
};
