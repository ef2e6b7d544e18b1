#include "calvixd/net/resolver.h"

#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>

// Retry intervals by the number of consecutive failures.
static int RefreshInterval(uint32_t failures)
{
    if (failures == 0)
        return 600000;
    if (failures <= 7)
        return 15000;
    if (failures <= 11)
        return 30000;
    return 600000;
}

// One-shot callers hear of a failure only from this failure on.
constexpr uint32_t RESOLVER_REPORTED_FAILURES = 12;

bool CResolverSys::LookupName(const std::string& host, std::set<ADDRESS>* addresses)
{
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* results = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &results) != 0)
        return false;
    for (const addrinfo* r = results; r; r = r->ai_next) {
        if (r->ai_socktype != SOCK_STREAM || r->ai_protocol != IPPROTO_TCP)
            continue;
        if (r->ai_family == AF_INET)
            addresses->insert(ADDRESS(&reinterpret_cast<const sockaddr_in*>(r->ai_addr)->sin_addr));
        else if (r->ai_family == AF_INET6)
            addresses->insert(ADDRESS(&reinterpret_cast<const sockaddr_in6*>(r->ai_addr)->sin6_addr, 0));
    }
    freeaddrinfo(results);
    return true;
}

bool CResolverSys::LookupAddress(const ADDRESS& address, std::string* host)
{
    ENDPOINT_ADDRESS endpoint(address, 0);
    char name[1025];
    if (getnameinfo(endpoint.GetSockAddr(), endpoint.GetLength(), name, sizeof name, nullptr, 0,
                    NI_NOFQDN | NI_NAMEREQD) != 0)
        return false;
    *host = name;
    return true;
}

Resolver::Resolver(int maxWorkers, int idleMs, CResolverSys* sys)
    : m_sys(sys ? sys : new CResolverSys()), m_maxWorkers(maxWorkers), m_idleMs(idleMs)
{
}

Resolver::~Resolver()
{
    m_stop.Set();
    // Workers that see the stop event return without touching the list, so
    // the copy names every thread that may still use this object. The lock
    // is not held across the joins: a worker may be waiting for it.
    std::vector<pthread_t> workers;
    if (m_lock.Lock(-1) == SYNC_OK) {
        workers = m_workers;
        m_workers.clear();
        m_lock.Unlock();
    }
    for (pthread_t thread : workers)
        pthread_join(thread, nullptr);
    for (auto& entry : m_names) {
        ReleaseAll(&entry.second.notified);
        ReleaseAll(&entry.second.newWatchers);
        ReleaseAll(&entry.second.oneShot);
    }
    for (auto& entry : m_addresses) {
        ReleaseAll(&entry.second.notified);
        ReleaseAll(&entry.second.newWatchers);
        ReleaseAll(&entry.second.oneShot);
    }
    delete m_sys;
}

bool Resolver::Lock(CMutexGuard* guard)
{
    return guard->LockAbortable(&m_stop, -1) == SYNC_OK;
}

void Resolver::AddCallback(std::vector<CResolverCallbackIface*>* list, CResolverCallbackIface* callback)
{
    list->push_back(callback);
    callback->AddRef();
}

bool Resolver::RemoveFrom(std::vector<CResolverCallbackIface*>* list, CResolverCallbackIface* callback)
{
    bool found = false;
    for (auto it = list->begin(); it != list->end();) {
        if (*it == callback) {
            callback->Release();
            it = list->erase(it);
            found = true;
        } else {
            ++it;
        }
    }
    return found;
}

void Resolver::ReleaseAll(std::vector<CResolverCallbackIface*>* list)
{
    for (auto* callback : *list)
        callback->Release();
    list->clear();
}

bool Resolver::ResolveName(const std::string& host, CResolverCallbackIface* callback)
{
    CMutexGuard guard(&m_lock);
    if (!callback || !Lock(&guard))
        return false;
    try {
        AddCallback(&m_names[host].oneShot, callback);
    } catch (...) {
        return false;
    }
    Schedule(false);
    return true;
}

bool Resolver::WatchName(const std::string& host, CResolverCallbackIface* callback)
{
    CMutexGuard guard(&m_lock);
    if (!callback || !Lock(&guard))
        return false;
    try {
        AddCallback(&m_names[host].newWatchers, callback);
    } catch (...) {
        return false;
    }
    Schedule(false);
    return true;
}

bool Resolver::UnwatchName(const std::string& host, CResolverCallbackIface* callback)
{
    CMutexGuard guard(&m_lock);
    if (!Lock(&guard))
        return false;
    auto it = m_names.find(host);
    if (it != m_names.end() && !RemoveFrom(&it->second.notified, callback))
        RemoveFrom(&it->second.newWatchers, callback);
    Schedule(false);
    return true;
}

bool Resolver::ResolveAddress(const ADDRESS& address, CResolverCallbackIface* callback)
{
    CMutexGuard guard(&m_lock);
    if (!callback || !Lock(&guard))
        return false;
    try {
        AddCallback(&m_addresses[address].oneShot, callback);
    } catch (...) {
        return false;
    }
    Schedule(false);
    return true;
}

bool Resolver::RemoveCallback(CResolverCallbackIface* callback)
{
    CMutexGuard guard(&m_lock);
    if (!Lock(&guard))
        return false;
    for (auto& entry : m_names) {
        RemoveFrom(&entry.second.notified, callback);
        RemoveFrom(&entry.second.newWatchers, callback);
        RemoveFrom(&entry.second.oneShot, callback);
    }
    for (auto& entry : m_addresses) {
        RemoveFrom(&entry.second.notified, callback);
        RemoveFrom(&entry.second.newWatchers, callback);
        RemoveFrom(&entry.second.oneShot, callback);
    }
    Schedule(false);
    return true;
}

size_t Resolver::GetWorkerCount()
{
    CMutexGuard guard(&m_lock);
    return Lock(&guard) ? m_workers.size() : 0;
}

size_t Resolver::GetRequestCount()
{
    CMutexGuard guard(&m_lock);
    return Lock(&guard) ? m_names.size() + m_addresses.size() : 0;
}

int Resolver::TimeUntilDue(ResolverRequest* request, uint32_t now) const
{
    if ((!request->oneShot.empty() || !request->newWatchers.empty()) && request->failures == 0)
        return 0;
    if (request->HasCallbacks()) {
        request->refreshInterval = RefreshInterval(request->failures);
        uint32_t elapsed = now - request->lastAttempt;
        if (elapsed >= static_cast<uint32_t>(request->refreshInterval))
            return 0;
        return static_cast<int>(static_cast<uint32_t>(request->refreshInterval) - elapsed);
    }
    request->refreshInterval = -1;
    // Nothing to look up: what is left is the time until it expires.
    uint32_t age = now - request->lastSuccess;
    if (age >= static_cast<uint32_t>(m_idleMs))
        return 1;
    return static_cast<int>(static_cast<uint32_t>(m_idleMs) - age);
}

int Resolver::Schedule(bool fromWorker)
{
    uint32_t now = m_sys->GetTickMs();
    size_t total = 0;
    size_t busy = 0;
    size_t due = 0;
    int shortest = -1;
    auto count = [&](ResolverRequest& request) {
        ++total;
        if (request.busy) {
            ++busy;
            return;
        }
        int left = TimeUntilDue(&request, now);
        if (left == 0 && request.HasCallbacks())
            ++due;
        if (left >= 0 && (shortest < 0 || left < shortest))
            shortest = left;
    };
    for (auto& entry : m_names)
        count(entry.second);
    for (auto& entry : m_addresses)
        count(entry.second);
    // One worker per three requests, and one more than are busy while
    // something is due: counting only the running workers would let the
    // extra worker leave again as soon as it has started.
    int wanted = static_cast<int>((total + 2) / 3);
    if (due > 0 && static_cast<int>(busy) >= wanted)
        wanted = static_cast<int>(busy) + 1;
    m_wantedWorkers = std::clamp(wanted, 1, std::max(1, m_maxWorkers));
    if (static_cast<int>(m_workers.size()) < m_wantedWorkers && !m_stop.IsSet()) {
        pthread_t thread;
        if (pthread_create(&thread, nullptr, WorkerEntry, this) == 0)
            m_workers.push_back(thread);
    }
    if (!fromWorker)
        m_work.Set();
    else if (due == 0)
        m_work.Reset();
    return shortest < 0 ? -1 : shortest + 500;
}

void* Resolver::WorkerEntry(void* self)
{
    static_cast<Resolver*>(self)->WorkerLoop();
    return nullptr;
}

void Resolver::ClearMarks(pthread_t self)
{
    for (auto& entry : m_names)
        if (entry.second.busy && pthread_equal(entry.second.working, self))
            entry.second.busy = false;
    for (auto& entry : m_addresses)
        if (entry.second.busy && pthread_equal(entry.second.working, self))
            entry.second.busy = false;
}

bool Resolver::NextWait(int* wait)
{
    CMutexGuard guard(&m_lock);
    // Aborted by the stop event: the destructor joins this thread.
    if (!Lock(&guard))
        return false;
    *wait = Schedule(true);
    if (static_cast<int>(m_workers.size()) <= m_wantedWorkers || m_stop.IsSet())
        return true;
    pthread_t self = pthread_self();
    auto it = std::find_if(m_workers.begin(), m_workers.end(), [&](pthread_t t) { return pthread_equal(t, self); });
    if (it != m_workers.end())
        m_workers.erase(it);
    ClearMarks(self);
    pthread_detach(self);
    return false;
}

void Resolver::ExpireRequests(uint32_t now)
{
    auto expired = [&](const ResolverRequest& request) {
        // A request being looked up stays: its worker comes back to it.
        if (request.busy || request.HasCallbacks())
            return false;
        return !request.hasResult || now - request.lastSuccess > static_cast<uint32_t>(m_idleMs);
    };
    for (auto it = m_names.begin(); it != m_names.end();)
        it = expired(it->second) ? m_names.erase(it) : std::next(it);
    for (auto it = m_addresses.begin(); it != m_addresses.end();)
        it = expired(it->second) ? m_addresses.erase(it) : std::next(it);
}

// Sorted, each callback once; the references of the duplicates are dropped.
static void Distinct(std::vector<CResolverCallbackIface*>* callbacks)
{
    std::sort(callbacks->begin(), callbacks->end());
    for (size_t i = 1; i < callbacks->size();) {
        if ((*callbacks)[i] == (*callbacks)[i - 1]) {
            (*callbacks)[i]->Release();
            callbacks->erase(callbacks->begin() + static_cast<long>(i));
        } else {
            ++i;
        }
    }
}

// Moves the one-shot callbacks and new watchers of a request into the list
// to call; new watchers stay listed as notified watchers with a reference of
// their own.
static void TakeWaiting(ResolverRequest* request, std::vector<CResolverCallbackIface*>* calls)
{
    for (auto* callback : request->newWatchers) {
        callback->AddRef();
        calls->push_back(callback);
        request->notified.push_back(callback);
    }
    request->newWatchers.clear();
    calls->insert(calls->end(), request->oneShot.begin(), request->oneShot.end());
    request->oneShot.clear();
}

bool Resolver::DeliverCachedName()
{
    std::string host;
    std::set<ADDRESS> addresses;
    std::vector<CResolverCallbackIface*> calls;
    {
        CMutexGuard guard(&m_lock);
        if (!Lock(&guard))
            return false;
        uint32_t now = m_sys->GetTickMs();
        for (auto& entry : m_names) {
            ResolverRequest& request = entry.second;
            if (request.busy || !request.hasResult || (request.oneShot.empty() && request.newWatchers.empty()))
                continue;
            if (now - request.lastSuccess >= static_cast<uint32_t>(m_idleMs) || TimeUntilDue(&request, now) == 0)
                continue;
            TakeWaiting(&request, &calls);
            TimeUntilDue(&request, now);
            host = entry.first;
            addresses = request.addresses;
            break;
        }
    }
    if (calls.empty())
        return false;
    Distinct(&calls);
    for (auto* callback : calls) {
        callback->OnNameResolved(host, addresses);
        callback->Release();
    }
    return true;
}

bool Resolver::DeliverCachedAddress()
{
    ADDRESS address;
    std::string host;
    std::vector<CResolverCallbackIface*> calls;
    {
        CMutexGuard guard(&m_lock);
        if (!Lock(&guard))
            return false;
        uint32_t now = m_sys->GetTickMs();
        for (auto& entry : m_addresses) {
            ResolverRequest& request = entry.second;
            if (request.busy || !request.hasResult || (request.oneShot.empty() && request.newWatchers.empty()))
                continue;
            if (now - request.lastSuccess >= static_cast<uint32_t>(m_idleMs) || TimeUntilDue(&request, now) == 0)
                continue;
            TakeWaiting(&request, &calls);
            TimeUntilDue(&request, now);
            address = entry.first;
            host = request.name;
            break;
        }
    }
    if (calls.empty())
        return false;
    Distinct(&calls);
    for (auto* callback : calls) {
        callback->OnAddressResolved(address, host);
        callback->Release();
    }
    return true;
}

bool Resolver::TakeDueName()
{
    std::string host;
    {
        CMutexGuard guard(&m_lock);
        if (!Lock(&guard))
            return false;
        uint32_t now = m_sys->GetTickMs();
        for (auto& entry : m_names) {
            if (!entry.second.busy && entry.second.HasCallbacks() && TimeUntilDue(&entry.second, now) == 0) {
                entry.second.busy = true;
                entry.second.working = pthread_self();
                host = entry.first;
                break;
            }
        }
    }
    if (host.empty())
        return false;
    std::set<ADDRESS> addresses;
    bool resolved = m_sys->LookupName(host, &addresses);
    std::vector<CResolverCallbackIface*> calls;
    bool failureReport = false;
    {
        // Not abortable: the mark must come off even during shutdown.
        CMutexGuard guard(&m_lock);
        if (guard.Lock(-1) != SYNC_OK)
            return false;
        auto it = m_names.find(host);
        if (it == m_names.end())
            return true;
        ResolverRequest& request = it->second;
        request.busy = false;
        uint32_t now = m_sys->GetTickMs();
        request.lastAttempt = now;
        if (resolved) {
            request.failures = 0;
            request.lastSuccess = now;
            if (!request.hasResult || request.addresses != addresses) {
                request.addresses = addresses;
                for (auto* callback : request.notified) {
                    callback->AddRef();
                    calls.push_back(callback);
                }
            }
            request.hasResult = true;
            TakeWaiting(&request, &calls);
        } else {
            ++request.failures;
            if (request.failures >= RESOLVER_REPORTED_FAILURES) {
                calls = request.oneShot;
                request.oneShot.clear();
                failureReport = true;
            }
        }
        TimeUntilDue(&request, now);
    }
    Distinct(&calls);
    for (auto* callback : calls) {
        if (failureReport)
            callback->OnNameNotResolved(host);
        else
            callback->OnNameResolved(host, addresses);
        callback->Release();
    }
    return true;
}

bool Resolver::TakeDueAddress()
{
    ADDRESS address;
    bool found = false;
    {
        CMutexGuard guard(&m_lock);
        if (!Lock(&guard))
            return false;
        uint32_t now = m_sys->GetTickMs();
        for (auto& entry : m_addresses) {
            if (!entry.second.busy && entry.second.HasCallbacks() && TimeUntilDue(&entry.second, now) == 0) {
                entry.second.busy = true;
                entry.second.working = pthread_self();
                address = entry.first;
                found = true;
                break;
            }
        }
    }
    if (!found)
        return false;
    std::string host;
    bool resolved = m_sys->LookupAddress(address, &host);
    std::vector<CResolverCallbackIface*> calls;
    bool failureReport = false;
    {
        CMutexGuard guard(&m_lock);
        if (guard.Lock(-1) != SYNC_OK)
            return false;
        auto it = m_addresses.find(address);
        if (it == m_addresses.end())
            return true;
        ResolverRequest& request = it->second;
        request.busy = false;
        uint32_t now = m_sys->GetTickMs();
        request.lastAttempt = now;
        if (resolved) {
            request.failures = 0;
            request.lastSuccess = now;
            if (!request.hasResult || request.name != host) {
                request.name = host;
                for (auto* callback : request.notified) {
                    callback->AddRef();
                    calls.push_back(callback);
                }
            }
            request.hasResult = true;
            TakeWaiting(&request, &calls);
        } else {
            ++request.failures;
            if (request.failures >= RESOLVER_REPORTED_FAILURES) {
                calls = request.oneShot;
                request.oneShot.clear();
                failureReport = true;
            }
        }
        TimeUntilDue(&request, now);
    }
    Distinct(&calls);
    for (auto* callback : calls) {
        if (failureReport)
            callback->OnAddressNotResolved(address);
        else
            callback->OnAddressResolved(address, host);
        callback->Release();
    }
    return true;
}

void Resolver::WorkerLoop()
{
    for (;;) {
        try {
            int wait = 0;
            if (!NextWait(&wait))
                return;
            int result;
            for (;;) {
                result = m_work.WaitAbortable(&m_stop, wait);
                if (result == SYNC_ABORTED)
                    return;
                if (result == SYNC_OK || result == SYNC_TIMEOUT)
                    break;
                SleepMs(10);
            }
            {
                CMutexGuard guard(&m_lock);
                if (!Lock(&guard))
                    return;
                ExpireRequests(m_sys->GetTickMs());
            }
            while (DeliverCachedName()) {
            }
            TakeDueName();
            while (DeliverCachedAddress()) {
            }
            TakeDueAddress();
        } catch (...) {
            SleepMs(10);
        }
        if (m_stop.IsSet())
            return;
    }
}
