#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/calvixd/test_devicemodel_fakes.h"

namespace {

// Polls cond until it holds or the deadline passes.
bool WaitFor(const std::function<bool()>& cond, int ms = 20000)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

struct DeviceModelThreads : ::testing::Test {
    ModelJournal journal;
    CFakeOwner owner{&journal, nullptr};
    LoaderScript loader;
    StubScript stubs;
    std::atomic<uint32_t> clock{1000};
    CSysfsTree sysfs;
    std::unique_ptr<CTestServerCore> core;

    void SetUp() override
    {
        core = std::make_unique<CTestServerCore>(
            std::make_unique<CFakeDeps>(&owner, sysfs.Root(), &loader, &stubs, &journal, &clock));
        core->Start(StoredSettings());
        core->SetAutoShareMode(1);
    }
    void TearDown() override { core.reset(); }

    // Writes the device to sysfs and tells the fake driver its identity.
    void Prepare(const std::string& busId, const std::string& serial)
    {
        CSysfsTree::Device d;
        d.busId = busId;
        d.serial = serial;
        sysfs.Add(d);
        std::lock_guard<std::mutex> hold(loader.lock);
        loader.identities[busId] = serial;
        loader.stubNumbers[busId] = 3;
    }
    uint32_t IdOf(const std::string& port)
    {
        for (auto& [id, state] : core->States()) {
            UsbDevice d;
            core->Snapshot(id, &d);
            if (d.port == port && state != DEVICE_STATE_NOT_PLUGGED)
                return id;
        }
        return 0;
    }
    size_t DebugLines()
    {
        std::lock_guard<std::mutex> hold(journal.lock);
        return journal.debugLines.size();
    }
};

} // namespace

// The stub-driver layer reports each event once: an event that finds the
// device mutex held for long must wait for it, not give up.
TEST_F(DeviceModelThreads, EventsWaitOutALongHoldOfTheDeviceMutex)
{
    Prepare("1-1", "A");
    Prepare("1-2", "B");
    Prepare("1-3", "C");
    core->OnDeviceArrived("1-1");
    core->OnDeviceArrived("1-3");
    core->OnStubAttached("1-3");
    uint32_t attached = IdOf("1-1");
    uint32_t leaving = IdOf("1-3");
    ASSERT_EQ(core->States()[leaving], DEVICE_STATE_SHARED);

    ASSERT_EQ(core->DeviceMutex()->Lock(-1), SYNC_OK);
    std::atomic<int> done{0};
    std::vector<std::thread> events;
    events.emplace_back([&] { core->OnDeviceArrived("1-2"); done++; });
    events.emplace_back([&] { core->OnStubAttached("1-1"); done++; });
    events.emplace_back([&] { core->OnDeviceRemoved("1-3"); done++; });
    // Longer than the bounded wait the attachment used to have (5000 ms).
    std::this_thread::sleep_for(std::chrono::milliseconds(5500));
    EXPECT_EQ(done.load(), 0) << "an event returned while the mutex was held";
    core->DeviceMutex()->Unlock();
    EXPECT_TRUE(WaitFor([&] { return done.load() == 3; }));
    for (std::thread& t : events)
        t.join();

    EXPECT_NE(IdOf("1-2"), 0u) << "arrival lost";
    EXPECT_EQ(core->States()[attached], DEVICE_STATE_SHARED) << "attachment lost";
    EXPECT_TRUE(core->HasStub(attached));
    EXPECT_EQ(IdOf("1-3"), 0u) << "removal lost";
    EXPECT_EQ(stubs.destroyed, 1);
    EXPECT_EQ(DebugLines(), 0u);
}

TEST_F(DeviceModelThreads, ShutdownEndsAnEventWaitingForTheMutex)
{
    Prepare("1-1", "A");
    core->OnDeviceArrived("1-1");
    uint32_t id = IdOf("1-1");
    ASSERT_EQ(core->DeviceMutex()->Lock(-1), SYNC_OK);
    std::atomic<bool> done{false};
    std::thread removal([&] { core->OnDeviceRemoved("1-1"); done = true; });
    core->RaiseStop();
    EXPECT_TRUE(WaitFor([&] { return done.load(); }));
    removal.join();
    core->DeviceMutex()->Unlock();
    EXPECT_EQ(DebugLines(), 1u);
    EXPECT_EQ(core->States()[id], DEVICE_STATE_INITIALIZING) << "the map is left as it was";
}

// A stub's destructor waits for its data connection to end; it runs after
// the device mutex is released, so other events go on meanwhile.
TEST_F(DeviceModelThreads, StubsAreDeletedOutsideTheDeviceMutex)
{
    struct Case {
        const char* what;
        std::function<void(CTestServerCore*, uint32_t)> drop;
    };
    const Case cases[] = {
        {"removal", [](CTestServerCore* c, uint32_t) { c->OnDeviceRemoved("1-1"); }},
        {"exclusion", [](CTestServerCore* c, uint32_t id) { c->SetDeviceExcluded(id, true, false); }},
        {"shutdown", [this](CTestServerCore*, uint32_t) { core.reset(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        bool shutdown = std::string(c.what) == "shutdown";
        core.reset();
        SetUp();
        Prepare("1-1", "A");
        Prepare("1-2", "B");
        core->OnDeviceArrived("1-1");
        core->OnStubAttached("1-1");
        uint32_t id = IdOf("1-1");
        ASSERT_TRUE(core->HasStub(id));

        CMutex* mutex = core->DeviceMutex();
        CEvent entered, release;
        std::atomic<bool> mutexFree{false};
        stubs.onDestroy = [&] {
            if (mutex->Lock(0) == SYNC_OK) {
                mutexFree = true;
                mutex->Unlock();
            }
            entered.Set();
            release.Wait(20000);
        };
        int destroyedBefore = stubs.destroyed;
        std::thread dropper([&] { c.drop(core.get(), id); });
        ASSERT_EQ(entered.Wait(20000), SYNC_OK);
        EXPECT_TRUE(mutexFree.load());
        if (!shutdown) {
            // While the stub is still going, the model serves other events.
            core->OnDeviceArrived("1-2");
            EXPECT_NE(IdOf("1-2"), 0u);
        }
        release.Set();
        dropper.join();
        stubs.onDestroy = nullptr;
        EXPECT_EQ(stubs.destroyed, destroyedBefore + 1);
        if (!shutdown)
            core->OnDeviceRemoved("1-2");
    }
}

// A running data connection holds its own reference: removing the device
// asks it to stop, and the stub goes only when the connection lets go.
TEST_F(DeviceModelThreads, RunningConnectionKeepsItsStub)
{
    Prepare("1-1", "A");
    core->OnDeviceArrived("1-1");
    core->OnStubAttached("1-1");
    uint32_t id = IdOf("1-1");
    std::shared_ptr<CUsbStub> connection = core->GetStub(id);
    ASSERT_TRUE(connection);
    core->MakeInUse(id, 5, "10.1.1.1");

    std::thread removal([&] { core->OnDeviceRemoved("1-1"); });
    removal.join();
    EXPECT_EQ(stubs.stops, 1);
    EXPECT_EQ(stubs.destroyed, 0);
    // The connection's end finds the device gone and changes nothing.
    core->OnDataConnectionEnded(id);
    connection.reset();
    EXPECT_EQ(stubs.destroyed, 1);
}

TEST_F(DeviceModelThreads, ConcurrentEventsOnManyPortsKeepTheMapConsistent)
{
    constexpr int threads = 4;
    constexpr int rounds = 25;
    for (int t = 0; t < threads; t++)
        Prepare("2-" + std::to_string(t + 1), "S" + std::to_string(t));
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; t++) {
        workers.emplace_back([&, t] {
            std::string port = "2-" + std::to_string(t + 1);
            for (int r = 0; r < rounds; r++) {
                core->OnDeviceArrived(port);
                core->OnStubAttached(port);
                core->ExpireConnectingDevices();
                core->OnDeviceRemoved(port);
            }
        });
    }
    for (std::thread& w : workers)
        w.join();
    EXPECT_EQ(stubs.made.load(), threads * rounds);
    EXPECT_EQ(stubs.destroyed.load(), threads * rounds);
    for (int t = 0; t < threads; t++)
        EXPECT_EQ(IdOf("2-" + std::to_string(t + 1)), 0u);
    EXPECT_EQ(journal.saves, threads) << "one save per new id";
    EXPECT_EQ(DebugLines(), 0u);
}
