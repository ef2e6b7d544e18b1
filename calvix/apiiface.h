// The client object of calvixd's control interface: one per process. It
// checks the daemon's interface version and start-up state, keeps the
// daemon's state (the snapshot) in a cache that the list and lookup
// operations answer from, and sends every change as a request of its own.
// With notifications it registers a System V message queue with the daemon
// and a thread refreshes the cache on every message.
//
// Every method returns true on success; on failure the calling thread's last
// error (code, and location = module << 16 | line) says why.
#pragma once

#include <semaphore.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "calvix/apirecords.h"
#include "calvix/replyparser.h"
#include "calvix/useriface.h"
#include "sys/thread"

typedef void (*API_NOTIFY_CALLBACK)(void* userData);

// Fixed when the object is made; tests shorten the waits.
struct ApiSettings {
    const char* socketName = "calvixd.pipe";
    // Pause between two looks at a device that is being connected.
    int connectPollMs = 500;
    // Pauses of the notification thread: nothing queued, after a refresh,
    // after a failed refresh.
    int notifyIdleMs = 50;
    int notifyBusyMs = 10;
    int notifyErrorMs = 100;
    // Largest reply taken from the daemon in one request.
    size_t maxReplyBytes = 64u << 20;
    // A daemon that moves nothing for this long is unreachable.
    int idleLimitMs = USERIFACE_IDLE_LIMIT_MS;
};

class CApiIface {
public:
    // Throws CExceptionEx* when the daemon cannot be used.
    CApiIface(bool notifications, const ApiSettings& settings = ApiSettings());
    virtual ~CApiIface();
    CApiIface(const CApiIface&) = delete;
    CApiIface& operator=(const CApiIface&) = delete;

    void SetLastError(uint32_t code, uint32_t location);
    uint32_t GetLastError(uint32_t* location) const;
    [[noreturn]] void ThrowLastError() const;

    bool RefreshSnapshot();
    void RefreshSnapshotQuiet();

    // Cache queries.
    bool ListDevices(API_DEVICE_RECORD* buffer, uint32_t* size);
    bool ListServerDevices(uint32_t serverId, API_DEVICE_RECORD* buffer, uint32_t* size);
    bool ListClients(API_CONNECTION_RECORD* buffer, uint32_t* size);
    bool ListCallbackConnections(API_CONNECTION_RECORD* buffer, uint32_t* size);
    bool ListServers(API_CONNECTION_RECORD* buffer, uint32_t* size);
    bool ListOwnListeners(uint32_t serverId, API_CONNECTION_RECORD* buffer, uint32_t* size);
    bool GetConnectionRecord(uint32_t id, API_CONNECTION_RECORD* record);
    bool GetDeviceRecord(uint32_t serverId, uint32_t deviceId, API_DEVICE_RECORD* record);
    bool GetDeviceUserText(uint32_t clientId, uint32_t deviceId, char* buffer, uint32_t size, bool nameOnly);
    bool GetObjectError(uint32_t objectId, uint32_t deviceId, uint32_t* code, uint32_t* location, char* text,
                        uint32_t textSize);
    bool GetConnectionErrorByKind(uint32_t id, uint32_t transport, uint32_t* code, uint32_t* location);
    bool WaitForDeviceConnection(uint32_t id, uint32_t deviceId, bool ignoreErrors, int timeoutMs);

    // Requests.
    bool ShareDevice(uint32_t deviceId);
    bool ShareDeviceEx(uint32_t deviceId, uint32_t parameter);
    bool UnshareDevice(uint32_t deviceId);
    bool AddExclusion(uint32_t serverId, uint32_t deviceId);
    bool RemoveExclusion(uint32_t serverId, uint32_t deviceId);
    bool ConnectDevice(uint32_t deviceId, uint32_t clientId);
    bool DisconnectDevice(uint32_t deviceId);
    bool SetTcpPort(uint16_t port);
    bool SetListenAddress(const uint8_t* bytes, uint32_t length);
    bool SetDeviceTimeout(uint32_t deviceId, uint32_t seconds);
    bool SetDeviceNickname(uint32_t deviceId, const char* text);
    bool SetDeviceResetMethod(uint32_t deviceId, uint32_t method);
    bool SetObjectFlags(uint32_t objectId, uint32_t flags);
    bool SetObjectFlagsMasked(uint32_t objectId, uint32_t deviceId, uint32_t flags);
    bool SetAutoShare(bool on);
    bool SetAutoConnect(uint32_t id, bool on);
    bool SetDeviceAutoFlag(uint32_t objectId, uint32_t deviceId, bool on);
    bool SetConnectionOptionBit(uint32_t id, bool on);
    bool SetAutoShareMode(uint32_t mode);
    bool AddCallbackConnection(const char* address, uint16_t port, uint32_t kind, uint32_t* newId);
    bool RemoveCallbackConnection(uint32_t id);
    bool GetIpFilters(uint8_t* mode, char* buffer, uint32_t* size);
    bool SetIpFilters(uint8_t mode, const char* rules);
    bool GetDeviceAcl(uint32_t deviceId, uint8_t* mode, char* buffer, uint32_t* size);
    bool SetDeviceAcl(uint32_t deviceId, uint8_t mode, const char* rules);
    bool GetDevicePolicy(uint8_t selector, uint8_t* mode, API_POLICY_RULE* rules, uint32_t* size);
    bool SetDevicePolicy(uint8_t selector, uint8_t mode, const API_POLICY_RULE* rules, uint32_t size);
    bool GetDeviceInstanceId(uint32_t serverId, uint32_t deviceId, char* buffer, uint32_t* size);
    bool GetDeviceData(uint32_t deviceId, void* buffer, uint32_t* size);
    bool GetDeviceInterfaceClasses(uint32_t serverId, uint32_t deviceId, uint8_t* buffer, uint32_t* size);
    bool GetVersionText(uint32_t* version, char* text, uint32_t* length);
    bool AddServer(const char* address, uint16_t port, uint32_t kind, uint32_t* newId);
    bool RemoveServer(uint32_t id);
    bool Reserved2003(uint32_t first, uint32_t second);
    bool Reserved2004(uint32_t serverId, uint32_t deviceId);
    bool Reserved1021(uint32_t word);

    void SetNotifyCallback(API_NOTIFY_CALLBACK callback, void* userData);
    bool SetNotifySemaphore(sem_t* semaphore);

    // The notification queue in use, -1 without notifications.
    int GetQueueId() const { return m_queueId.load(); }

private:
    class CRequest;

    // Runs body; the last error becomes 0 on success, the error raised
    // otherwise. With alreadyDoneIsSuccess an answer of 1247 is success.
    template <typename Body>
    bool Run(Body body, bool alreadyDoneIsSuccess = false);

    void GetVersion(uint32_t& version, std::string* text);
    uint32_t GetStartupState();
    void RegisterNotifyQueue(int queue, const SYNC_FLAG* cancel);
    void UnregisterNotifyQueue(int queue);
    void MakeNotifyQueue(const SYNC_FLAG* cancel);
    void RemoveNotifyQueue();
    void Cleanup();

    // Reads the snapshot into the cache; the cache lock is held by the
    // caller. cancel ends the request early (the notification thread's
    // stop event).
    void ReadSnapshot(const SYNC_FLAG* cancel);
    void Refresh(const SYNC_FLAG* cancel);
    void StoreConnectionEntry(const ConnectionEntry& entry);
    bool BuildServerRecord(API_CONNECTION_RECORD& record) const;
    uint32_t FindDeviceOwner(uint32_t deviceId) const;
    const DeviceEntry* FindDevice(uint32_t ownerKey, uint32_t deviceId) const;
    bool SetConnectionFlagBit(uint32_t id, uint32_t bit, bool on);
    void SendStatusRequest(uint32_t code, std::initializer_list<uint32_t> words);
    void SendRuleList(uint32_t code, const uint32_t* deviceId, uint8_t mode, const char* rules);
    void ReadRuleList(uint32_t code, const uint32_t* deviceId, uint8_t* mode, char* buffer, uint32_t* size);

    static int NotifyThreadMain(void* self);
    void NotifyLoop();
    // The number of notifications taken from the queue (all that were
    // pending), or -errno when the queue failed.
    int PollNotifyQueue();

    // Last error of each thread.
    CTlsValue m_lastErrorCode;
    CTlsValue m_lastErrorLocation;
    const bool m_notifications;
    const ApiSettings m_settings;

    // Guarded by m_cacheMutex: the cache, filled from the daemon's snapshot.
    std::vector<ConnectionEntry> m_ownListeners;
    std::map<uint32_t, ConnectionEntry> m_servers;
    std::map<uint32_t, ConnectionEntry> m_clients;
    std::map<uint32_t, ConnectionEntry> m_callbacks;
    std::map<uint32_t, std::vector<DeviceEntry>> m_devices;  // owner key -> devices
    std::map<uint32_t, std::map<uint32_t, UsageEntry>> m_usage;
    CMutex m_cacheMutex;

    // Set by the destructor; every wait of the notification thread takes it.
    CEvent m_stop;
    // Changed only by the notification thread once it runs (a queue the
    // daemon removed is replaced).
    std::atomic<int> m_queueId{-1};
    bool m_queueRegistered = false;
    std::atomic<sem_t*> m_semaphore{nullptr};
    CThread* m_thread = nullptr;
    // The callback and its data change together under m_notifyMutex.
    API_NOTIFY_CALLBACK m_callback = nullptr;
    void* m_callbackData = nullptr;
    CMutex m_notifyMutex;
};
