// The name resolver as a state machine: a fake clock and fake lookups, with
// the real worker threads. Waits are on conditions; the clock only moves
// when a test moves it.
#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "calvixd/net/resolver.h"
#include "calvixd/net/resolverclient.h"
#include "tests/support/wait.h"

namespace {

using namespace std::chrono_literals;

// A last guard: every wait below ends at its event.
constexpr auto kWait = 60s;

class FakeSys : public CResolverSys {
public:
    bool LookupName(const std::string& host, std::set<ADDRESS>* addresses) override
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        ++m_nameLookups[host];
        ++m_inFlight;
        m_lookupThread = std::this_thread::get_id();
        m_lookupUnstamped = true;
        m_changed.notify_all();
        m_changed.wait(lock, [&] { return !m_gate; });
        --m_inFlight;
        auto it = m_names.find(host);
        if (it == m_names.end())
            return false;
        *addresses = it->second;
        return true;
    }
    bool LookupAddress(const ADDRESS& address, std::string* host) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_addressLookups;
        m_lookupThread = std::this_thread::get_id();
        m_lookupUnstamped = true;
        auto it = m_hosts.find(address.ToString());
        if (it == m_hosts.end())
            return false;
        *host = it->second;
        return true;
    }
    // The first clock reading of a worker after its lookup stamps the
    // result; advancing the clock before that would move the retry too.
    uint32_t GetTickMs() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_lookupUnstamped && m_lookupThread == std::this_thread::get_id()) {
            m_lookupUnstamped = false;
            ++m_stamped;
        }
        return m_now.load();
    }
    int StampedLookups()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_stamped;
    }

    void Advance(uint32_t ms) { m_now += ms; }
    void SetName(const std::string& host, std::set<ADDRESS> addresses)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_names[host] = addresses;
    }
    void DropName(const std::string& host)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_names.erase(host);
    }
    void SetHost(const std::string& address, const std::string& host)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_hosts[address] = host;
    }
    void CloseGate()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_gate = true;
    }
    void OpenGate()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_gate = false;
        m_changed.notify_all();
    }
    int NameLookups(const std::string& host)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_nameLookups[host];
    }
    int AddressLookups()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_addressLookups;
    }
    int InFlight()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_inFlight;
    }

private:
    std::atomic<uint32_t> m_now{1000};
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_gate = false;
    int m_inFlight = 0;
    std::map<std::string, std::set<ADDRESS>> m_names;
    std::map<std::string, std::string> m_hosts;
    std::map<std::string, int> m_nameLookups;
    int m_addressLookups = 0;
    std::thread::id m_lookupThread;
    bool m_lookupUnstamped = false;
    int m_stamped = 0;
};

// Counts results and references.
class Recorder : public CResolverCallbackIface {
public:
    void OnNameResolved(const std::string&, const std::set<ADDRESS>& addresses) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        last = addresses;
        ++resolved;
    }
    void OnNameNotResolved(const std::string&) override { ++notResolved; }
    void OnAddressResolved(const ADDRESS&, const std::string& host) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        lastHost = host;
        ++addressResolved;
    }
    void OnAddressNotResolved(const ADDRESS&) override { ++addressNotResolved; }
    void AddRef() override { ++references; }
    void Release() override { --references; }

    std::set<ADDRESS> Last()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return last;
    }
    std::string LastHost()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return lastHost;
    }

    std::atomic<int> resolved{0};
    std::atomic<int> notResolved{0};
    std::atomic<int> addressResolved{0};
    std::atomic<int> addressNotResolved{0};
    std::atomic<int> references{0};

private:
    std::mutex m_mutex;
    std::set<ADDRESS> last;
    std::string lastHost;
};

std::set<ADDRESS> Set(std::initializer_list<const char*> texts)
{
    std::set<ADDRESS> result;
    for (const char* text : texts)
        result.insert(ADDRESS(text));
    return result;
}

struct Fixture {
    // A failed assertion must not leave a worker in a closed gate.
    ~Fixture()
    {
        if (resolver)
            sys->OpenGate();
    }
    FakeSys* sys = new FakeSys();
    std::unique_ptr<Resolver> resolver = std::make_unique<Resolver>(5, 10000, sys);
};

TEST(Resolver, OneLookupServesEveryCallbackOnce)
{
    Recorder a, b;
    Fixture f;
    f.sys->SetName("host.test", Set({"192.0.2.1", "2001:db8::1"}));
    f.sys->CloseGate();
    ASSERT_TRUE(f.resolver->ResolveName("host.test", &a));
    ASSERT_TRUE(testwait::waitUntil([&] { return f.sys->InFlight() == 1; }, kWait));
    ASSERT_TRUE(f.resolver->ResolveName("host.test", &b));
    ASSERT_TRUE(f.resolver->ResolveName("host.test", &a));
    f.sys->OpenGate();
    ASSERT_TRUE(testwait::waitUntil([&] { return a.resolved + b.resolved == 2 && a.references == 0; }, kWait));
    EXPECT_EQ(a.resolved.load(), 1);
    EXPECT_EQ(b.resolved.load(), 1);
    EXPECT_EQ(a.Last(), Set({"192.0.2.1", "2001:db8::1"}));
    EXPECT_EQ(f.sys->NameLookups("host.test"), 1);
    EXPECT_EQ(b.references.load(), 0);
}

TEST(Resolver, FreshLookupAfterSuccessCacheAfterFailure)
{
    Recorder first, second, third, fourth;
    Fixture f;
    f.sys->SetName("cached.test", Set({"192.0.2.7"}));
    ASSERT_TRUE(f.resolver->ResolveName("cached.test", &first));
    ASSERT_TRUE(testwait::waitUntil([&] { return first.resolved == 1; }, kWait));

    // Last lookup succeeded 5 s ago: a new lookup, not the cache.
    f.sys->Advance(5000);
    ASSERT_TRUE(f.resolver->ResolveName("cached.test", &second));
    ASSERT_TRUE(testwait::waitUntil([&] { return second.resolved == 1; }, kWait));
    EXPECT_EQ(f.sys->NameLookups("cached.test"), 2);

    // A failed lookup 2 s later; 3 s after that the cached set answers.
    f.sys->DropName("cached.test");
    f.sys->Advance(2000);
    ASSERT_TRUE(f.resolver->ResolveName("cached.test", &third));
    ASSERT_TRUE(testwait::waitUntil([&] { return f.sys->NameLookups("cached.test") == 3; }, kWait));
    f.sys->Advance(3000);
    ASSERT_TRUE(f.resolver->ResolveName("cached.test", &fourth));
    ASSERT_TRUE(testwait::waitUntil([&] { return fourth.resolved == 1; }, kWait));
    EXPECT_EQ(fourth.Last(), Set({"192.0.2.7"}));
    EXPECT_EQ(third.resolved.load(), 1); // waiting since the failure: served by the same cache
    EXPECT_EQ(f.sys->NameLookups("cached.test"), 3);
}

TEST(Resolver, FailuresReachOneShotCallersAtTheTwelfth)
{
    Recorder early, late;
    Fixture f;
    ASSERT_TRUE(f.resolver->ResolveName("never.test", &early));
    // Retries after 15 s (failures 1 to 7) and 30 s (8 to 11).
    for (int failures = 1; failures <= 11; ++failures) {
        ASSERT_TRUE(testwait::waitUntil([&] { return f.sys->StampedLookups() == failures; }, kWait))
            << failures;
        EXPECT_EQ(early.notResolved.load(), 0);
        f.sys->Advance(failures <= 7 ? 15000 : 30000);
        f.resolver->Wake();
    }
    ASSERT_TRUE(testwait::waitUntil([&] { return early.notResolved == 1; }, kWait));
    EXPECT_EQ(f.sys->NameLookups("never.test"), 12);

    // Callers that arrive later hear of the 13th failure, ten minutes on.
    ASSERT_TRUE(f.resolver->ResolveName("never.test", &late));
    f.sys->Advance(599000);
    f.resolver->Wake();
    EXPECT_EQ(late.notResolved.load(), 0);
    f.sys->Advance(1000);
    f.resolver->Wake();
    ASSERT_TRUE(testwait::waitUntil([&] { return late.notResolved == 1; }, kWait));
    EXPECT_EQ(early.notResolved.load(), 1);
    EXPECT_EQ(late.references.load(), 0);
}

TEST(Resolver, WatchersHearChangesOnlyAndIdleRequestsExpire)
{
    Recorder watcher;
    Fixture f;
    f.sys->SetName("watched.test", Set({"192.0.2.1"}));
    ASSERT_TRUE(f.resolver->WatchName("watched.test", &watcher));
    ASSERT_TRUE(testwait::waitUntil([&] { return watcher.resolved == 1; }, kWait));

    // Ten minutes on, the same answer: looked up, not reported.
    f.sys->Advance(600000);
    f.resolver->Wake();
    ASSERT_TRUE(testwait::waitUntil([&] { return f.sys->NameLookups("watched.test") == 2; }, kWait));
    f.sys->SetName("watched.test", Set({"192.0.2.2"}));
    f.sys->Advance(600000);
    f.resolver->Wake();
    ASSERT_TRUE(testwait::waitUntil([&] { return watcher.resolved == 2; }, kWait));
    EXPECT_EQ(watcher.Last(), Set({"192.0.2.2"}));
    EXPECT_EQ(f.sys->NameLookups("watched.test"), 3);

    ASSERT_TRUE(f.resolver->UnwatchName("watched.test", &watcher));
    EXPECT_EQ(watcher.references.load(), 0);
    EXPECT_EQ(f.resolver->GetRequestCount(), 1u);
    f.sys->Advance(10001);
    f.resolver->Wake();
    EXPECT_TRUE(testwait::waitUntil([&] { return f.resolver->GetRequestCount() == 0; }, kWait));
}

TEST(Resolver, AddressesResolveToNamesOrFailAfterTwelve)
{
    Recorder named, unnamed;
    Fixture f;
    f.sys->SetHost("192.0.2.5", "client.test");
    ASSERT_TRUE(f.resolver->ResolveAddress(ADDRESS("192.0.2.5"), &named));
    ASSERT_TRUE(testwait::waitUntil([&] { return named.addressResolved == 1; }, kWait));
    EXPECT_EQ(named.LastHost(), "client.test");

    ASSERT_TRUE(f.resolver->ResolveAddress(ADDRESS("192.0.2.6"), &unnamed));
    for (int failures = 1; failures < 12; ++failures) {
        ASSERT_TRUE(testwait::waitUntil([&] { return f.sys->StampedLookups() == 1 + failures; }, kWait));
        f.sys->Advance(failures <= 7 ? 15000 : 30000);
        f.resolver->Wake();
    }
    ASSERT_TRUE(testwait::waitUntil([&] { return unnamed.addressNotResolved == 1; }, kWait));
    EXPECT_EQ(unnamed.addressResolved.load(), 0);
}

TEST(Resolver, RequestBeingLookedUpIsNotExpired)
{
    Recorder gone, other;
    Fixture f;
    f.sys->SetName("slow.test", Set({"192.0.2.9"}));
    f.sys->SetName("other.test", Set({"192.0.2.10"}));
    f.sys->CloseGate();
    ASSERT_TRUE(f.resolver->ResolveName("slow.test", &gone));
    ASSERT_TRUE(testwait::waitUntil([&] { return f.sys->InFlight() == 1; }, kWait));
    // The only callback leaves while its lookup runs, and the idle time
    // passes: a second worker's expiry must keep the request.
    ASSERT_TRUE(f.resolver->RemoveCallback(&gone));
    f.sys->Advance(20000);
    ASSERT_TRUE(f.resolver->ResolveName("other.test", &other));
    ASSERT_TRUE(testwait::waitUntil([&] { return f.sys->InFlight() == 2; }, kWait));
    EXPECT_EQ(f.resolver->GetRequestCount(), 2u);
    f.sys->OpenGate();
    ASSERT_TRUE(testwait::waitUntil([&] { return other.resolved == 1; }, kWait));
    EXPECT_EQ(gone.resolved.load(), 0);
    EXPECT_EQ(gone.references.load(), 0);
}

TEST(Resolver, ShutdownWithLookupsInFlight)
{
    Recorder recorder;
    Fixture f;
    f.sys->CloseGate();
    for (int i = 0; i < 12; ++i) {
        std::string host = "busy" + std::to_string(i) + ".test";
        f.sys->SetName(host, Set({"192.0.2.1"}));
        ASSERT_TRUE(f.resolver->ResolveName(host, &recorder));
    }
    ASSERT_TRUE(testwait::waitUntil([&] { return f.sys->InFlight() >= 2; }, kWait));
    FakeSys* sys = f.sys;
    std::thread opener([sys] {
        std::this_thread::sleep_for(50ms);
        sys->OpenGate();
    });
    // Joins every worker, including those still in a lookup, and drops
    // every reference the requests held.
    f.resolver.reset();
    opener.join();
    EXPECT_EQ(recorder.references.load(), 0);
}

class Owner : public CResolverClientCallbackIface {
public:
    void OnAddressResolved(const ADDRESS&, const std::string& host) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        names.push_back(host);
    }
    size_t Count()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return names.size();
    }
    std::mutex m_mutex;
    std::vector<std::string> names;
};

TEST(ResolverClient, ForwardsToItsOwnerUntilDestroyed)
{
    Owner owner;
    Fixture f;
    f.sys->SetHost("192.0.2.5", "client.test");
    auto client = std::make_unique<CResolverClient>(f.resolver.get(), &owner);
    ASSERT_TRUE(client->ResolveAddress(ADDRESS("192.0.2.5")));
    ASSERT_TRUE(testwait::waitUntil([&] { return owner.Count() == 1; }, kWait));
    EXPECT_EQ(owner.names[0], "client.test");

    // Pending when the client goes: nothing reaches the owner afterwards.
    f.sys->CloseGate();
    f.sys->SetName("late.test", Set({"192.0.2.1"}));
    ASSERT_TRUE(client->ResolveName("late.test"));
    ASSERT_TRUE(testwait::waitUntil([&] { return f.sys->InFlight() == 1; }, kWait));
    client.reset();
    f.sys->OpenGate();

    CResolverClient detached(nullptr, &owner);
    EXPECT_FALSE(detached.ResolveName("x.test"));
    EXPECT_FALSE(detached.WatchName("x.test"));
}

} // namespace
