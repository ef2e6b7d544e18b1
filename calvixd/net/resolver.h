// The asynchronous name resolver: host names and client addresses are looked
// up on up to a few worker threads, never on the threads that need them.
// One pending request per host name and per address; the last answer is
// cached; watched names are looked up again every ten minutes; failed
// lookups are retried on a schedule; results come back through callbacks.
//
// Locking: m_lock guards the worker list, the two request maps and every
// field of every request. Lookups and callbacks run with it released.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "sys/thread"

// What a resolver reports to. Results run on a worker thread with no lock of
// the resolver held; every request holds a reference (AddRef) on each
// callback it lists, and a delivery holds one until the call returns.
class CResolverCallbackIface {
public:
    virtual ~CResolverCallbackIface() {}
    virtual void OnNameResolved(const std::string&, const std::set<ADDRESS>&) {}
    virtual void OnNameNotResolved(const std::string&) {}
    virtual void OnAddressResolved(const ADDRESS&, const std::string&) {}
    virtual void OnAddressNotResolved(const ADDRESS&) {}
    virtual void AddRef() = 0;
    virtual void Release() = 0;
};

// The lookups and the clock of a resolver. Each lookup blocks as long as the
// system's resolver takes and returns true on success.
class CResolverSys {
public:
    virtual ~CResolverSys() {}
    // getaddrinfo(host, no service, any family, SOCK_STREAM, IPPROTO_TCP, no
    // flags): the IPv4 and IPv6 addresses, the latter with scope 0.
    virtual bool LookupName(const std::string& host, std::set<ADDRESS>* addresses);
    // getnameinfo with NI_NOFQDN and NI_NAMEREQD: a name, never a numeric text.
    virtual bool LookupAddress(const ADDRESS& address, std::string* host);
    // Milliseconds, wrapping modulo 2^32.
    virtual uint32_t GetTickMs() { return GetTickCountMs(); }
};

struct ResolverRequest {
    uint32_t lastSuccess = 0;
    uint32_t lastAttempt = 0;
    int refreshInterval = 0; // ms, -1 none
    uint32_t failures = 0;   // consecutive failed lookups
    bool busy = false;       // a worker looks it up now
    pthread_t working{};     // that worker
    std::vector<CResolverCallbackIface*> notified;
    std::vector<CResolverCallbackIface*> newWatchers;
    std::vector<CResolverCallbackIface*> oneShot;
    bool hasResult = false;
    std::set<ADDRESS> addresses; // result of a name request
    std::string name;            // result of an address request

    bool HasCallbacks() const { return !notified.empty() || !newWatchers.empty() || !oneShot.empty(); }
};

class Resolver {
public:
    // sys null: the system's lookups and clock. The resolver owns sys.
    Resolver(int maxWorkers, int idleMs, CResolverSys* sys = nullptr);
    virtual ~Resolver();
    Resolver(const Resolver&) = delete;
    Resolver& operator=(const Resolver&) = delete;

    // Each returns false only when the lock could not be taken (shutdown) or
    // memory ran out.
    bool ResolveName(const std::string& host, CResolverCallbackIface* callback);
    bool WatchName(const std::string& host, CResolverCallbackIface* callback);
    bool UnwatchName(const std::string& host, CResolverCallbackIface* callback);
    bool ResolveAddress(const ADDRESS& address, CResolverCallbackIface* callback);
    bool RemoveCallback(CResolverCallbackIface* callback);

    int GetMaxWorkers() const { return m_maxWorkers; }
    int GetIdleMs() const { return m_idleMs; }
    // Makes the workers look at the requests now (after a test clock moved).
    void Wake() { m_work.Set(); }
    size_t GetWorkerCount();
    size_t GetRequestCount();

    // When a request is due: 0 now, >0 in that many ms, -1 never; also sets
    // its refresh interval.
    int TimeUntilDue(ResolverRequest* request, uint32_t now) const;

private:
    struct Delivery {
        CResolverCallbackIface* callback;
        bool resolved;
    };

    static void* WorkerEntry(void* self);
    void WorkerLoop();
    // The wait before the next look, or false when this worker must leave.
    bool NextWait(int* wait);
    // Called under the lock. Returns the time until the next due request plus
    // 500 ms, or -1.
    int Schedule(bool fromWorker);
    void ExpireRequests(uint32_t now);
    bool DeliverCachedName();
    bool DeliverCachedAddress();
    bool TakeDueName();
    bool TakeDueAddress();
    void ClearMarks(pthread_t self);
    bool Lock(CMutexGuard* guard);
    // Adds the callback with a reference unless it is listed already.
    static void AddCallback(std::vector<CResolverCallbackIface*>* list, CResolverCallbackIface* callback);
    static bool RemoveFrom(std::vector<CResolverCallbackIface*>* list, CResolverCallbackIface* callback);
    static void ReleaseAll(std::vector<CResolverCallbackIface*>* list);

    CResolverSys* m_sys;
    int m_maxWorkers;
    int m_idleMs;
    CEvent m_stop;
    CEvent m_work;
    CMutex m_lock;
    int m_wantedWorkers = 1;
    std::vector<pthread_t> m_workers;
    std::map<std::string, ResolverRequest> m_names;
    std::map<ADDRESS, ResolverRequest> m_addresses;
};
