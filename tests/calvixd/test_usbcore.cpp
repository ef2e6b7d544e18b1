#include "calvixd/core/usbcore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <fstream>
#include <functional>
#include <memory>
#include <sstream>

#include "tests/calvixd/fakes.h"
#include "tests/calvixd/ipcnamespace.h"
#include "calvixd/net/socket.h"
#include "tests/calvixd/logmatch.h"
#include "tests/calvixd/tempdir.h"

namespace {

const struct ucred ROOT_PEER = {1, 0, 0};

struct CoreFixture : ::testing::Test {
    CoreJournal journal;
    CFakeFactory factory{&journal};

    std::unique_ptr<CUsbCore> Make(CEventLog* log = nullptr)
    {
        return std::make_unique<CUsbCore>(log, &factory);
    }

    // A started core with one registered queue that counts notifications.
    std::unique_ptr<CUsbCore> MakeStartedWithQueue(int* queue)
    {
        *queue = msgget(IPC_PRIVATE, IPC_CREAT | 0600);
        EXPECT_GE(*queue, 0);
        auto core = Make();
        core->Start();
        EXPECT_EQ(core->RegisterNotifyQueue(*queue, ROOT_PEER), 1);
        DrainQueue(*queue);
        journal.events.clear();
        journal.written.clear();
        return core;
    }

    static void DrainQueue(int queue)
    {
        CORE_NOTIFY_MESSAGE message;
        while (msgrcv(queue, &message, 0, 0, IPC_NOWAIT) >= 0) {
        }
    }
};

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

TEST_F(CoreFixture, StartWalksTheStatesInOrder)
{
    if (!EnterPrivateIpcNamespace())
        GTEST_SKIP() << "needs root for a private IPC namespace";
    int queue = msgget(IPC_PRIVATE, IPC_CREAT | 0600);
    auto core = Make();
    EXPECT_EQ(core->GetStartupState(), STARTUP_CONSTRUCTED);
    core->RegisterNotifyQueue(queue, ROOT_PEER);
    core->Start();
    EXPECT_EQ(core->GetStartupState(), STARTUP_READY);
    std::vector<std::string> expected = {
        "create.control(calvixd.pipe,calvusr,calvusradm)",
        "create.resolver(5,10000)",
        "create.server",
        "control.Start@1",
        "config.ReadAll@1",
        "server.Start@40",
    };
    EXPECT_EQ(journal.events, expected);
    // Ready is announced to the listeners once.
    EXPECT_EQ(QueueLength(queue), 1u);
    // The built-in quirk comes first, before the file's.
    ASSERT_FALSE(journal.started.quirks.empty());
    const DeviceQuirk& builtIn = journal.started.quirks[0];
    EXPECT_EQ(builtIn.flags, QUIRK_BUILT_IN);
    EXPECT_EQ(builtIn.vendorId, 0x6547);
    EXPECT_EQ(builtIn.productId, 0x0232);
    EXPECT_EQ(builtIn.resetMode, 1);
    EXPECT_EQ(core->GetPlatformCode(), PLATFORM_CODE_LINUX);
}

TEST_F(CoreFixture, StartFailuresStopWhereTheyHappen)
{
    struct Case {
        const char* name;
        int controlResult;
        const char* throwing;
        CExceptionEx expected;
        uint32_t state;
    };
    const Case cases[] = {
        {"control socket not opened", 0, "", CExceptionEx(0, 216, 31), STARTUP_CONTROL},
        {"server core start passes through", 1, "Start", CExceptionEx(1, 77, ERROR_TIMEOUT), STARTUP_SERVER},
    };
    for (const Case& c : cases) {
        CoreJournal local;
        local.controlStartResult = c.controlResult;
        if (*c.throwing)
            local.throwing.insert(c.throwing);
        CFakeFactory localFactory(&local);
        CUsbCore core(nullptr, &localFactory);
        try {
            core.Start();
            ADD_FAILURE() << c.name << ": no error";
        } catch (CExceptionEx* error) {
            EXPECT_EQ(*error, c.expected) << c.name;
            delete error;
        }
        EXPECT_EQ(core.GetStartupState(), c.state) << c.name;
        if (c.controlResult == 0) {
            EXPECT_EQ(local.Count("config.ReadAll@1"), 0u) << c.name;
            EXPECT_EQ(local.written.size(), 0u) << c.name;
        }
    }
}

TEST_F(CoreFixture, ConstructionFailureUnwindsThePartsMadeSoFar)
{
    struct Case {
        const char* step;
        bool withRecord;
        CExceptionEx expected;
        std::vector<std::string> deleted;
    };
    const Case cases[] = {
        {"random", false, CExceptionEx(0, 1572, 8), {}},
        {"control", false, CExceptionEx(0, 1595, 8), {}},
        {"resolver", false, CExceptionEx(0, 1620, 8), {"control.delete"}},
        {"server", false, CExceptionEx(0, 1647, 8), {"resolver.delete", "control.delete"}},
        {"server", true, CExceptionEx(1, 99, 1234), {"resolver.delete", "control.delete"}},
    };
    for (const Case& c : cases) {
        CoreJournal local;
        local.failCreate = c.step;
        local.failCreateWithRecord = c.withRecord;
        CFakeFactory localFactory(&local);
        try {
            CUsbCore core(nullptr, &localFactory);
            ADD_FAILURE() << c.step << ": constructed";
        } catch (CExceptionEx* error) {
            EXPECT_EQ(*error, c.expected) << c.step;
            delete error;
        }
        std::vector<std::string> deleted;
        for (const std::string& event : local.events) {
            if (event.find(".delete") != std::string::npos)
                deleted.push_back(event);
        }
        EXPECT_EQ(deleted, c.deleted) << c.step;
    }
}

TEST_F(CoreFixture, ShutdownOrder)
{
    if (!EnterPrivateIpcNamespace())
        GTEST_SKIP() << "needs root for a private IPC namespace";
    int queue = 0;
    auto core = MakeStartedWithQueue(&queue);
    core.reset();
    std::vector<std::string> expected = {"control.delete", "server.delete", "resolver.delete"};
    EXPECT_EQ(journal.events, expected);
    // Shutdown tells nobody anything and leaves the client's queue alone.
    EXPECT_EQ(QueueLength(queue), 0u);
    msgctl(queue, IPC_RMID, nullptr);
}

TEST_F(CoreFixture, RequestTableSavesAndNotifies)
{
    if (!EnterPrivateIpcNamespace())
        GTEST_SKIP() << "needs root for a private IPC namespace";
    struct Case {
        const char* name;
        std::function<void(CUsbCore*)> call;
        std::vector<std::string> serverCalls;
        bool save;
        bool notify;
    };
    std::vector<uint8_t> block;
    std::vector<std::string> rules;
    std::vector<DevicePolicyRule> policy;
    uint8_t mode = 0;
    std::string text;
    const Case cases[] = {
        {"GetSnapshot", [](CUsbCore* c) { c->GetSnapshot(nullptr, nullptr, nullptr); }, {"CollectState"}, false, false},
        {"SetTcpPort", [](CUsbCore* c) { c->SetTcpPort(5000); }, {"SetTcpPort(5000)"}, false, true},
        {"SetListenAddress", [](CUsbCore* c) { c->SetListenAddress(ADDRESS("10.0.0.1")); }, {"SetListenAddress"}, false, true},
        {"SetAutoShareMode", [](CUsbCore* c) { c->SetAutoShareMode(2); }, {"SetAutoShareMode(2)"}, true, true},
        {"ShareDevice", [](CUsbCore* c) { c->ShareDevice(17, 3); }, {"ShareDevice(17,3,1)"}, true, true},
        {"UnshareDevice", [](CUsbCore* c) { c->UnshareDevice(17); }, {"UnshareDevice(17,1)"}, true, true},
        {"ConnectDevice", [](CUsbCore* c) { c->ConnectDevice(17, 5); }, {"ConnectDevice"}, false, true},
        {"DisconnectDevice", [](CUsbCore* c) { c->DisconnectDevice(17); }, {"DisconnectDevice"}, false, true},
        {"GetIpFilters", [&](CUsbCore* c) { c->GetIpFilters(&mode, &rules); }, {"GetIpFilters"}, false, false},
        {"SetIpFilters", [&](CUsbCore* c) { c->SetIpFilters(1, rules); }, {"SetIpFilters"}, true, true},
        {"GetDeviceAcl", [&](CUsbCore* c) { c->GetDeviceAcl(17, &mode, &rules); }, {"GetDeviceAcl"}, false, false},
        {"SetDeviceAcl", [&](CUsbCore* c) { c->SetDeviceAcl(17, 1, rules); }, {"SetDeviceAcl"}, true, true},
        {"SetDeviceTimeout", [](CUsbCore* c) { c->SetDeviceTimeout(17, 60); }, {"SetDeviceTimeout"}, false, false},
        {"SetDeviceNickname", [](CUsbCore* c) { c->SetDeviceNickname(17, "n"); }, {"SetDeviceNickname"}, false, false},
        {"SetDeviceResetMethod", [](CUsbCore* c) { c->SetDeviceResetMethod(17, 2); }, {"SetDeviceResetMethod"}, false, false},
        {"GetDeviceData", [&](CUsbCore* c) { c->GetDeviceData(17, &block); }, {"GetDeviceData"}, false, false},
        {"AddCallbackConnection", [](CUsbCore* c) { EXPECT_EQ(c->AddCallbackConnection("h", 1, 32), 0xC0000007u); },
         {"AddCallbackConnection"}, true, true},
        {"RemoveCallbackConnection", [](CUsbCore* c) { c->RemoveCallbackConnection(0xC0000007); },
         {"RemoveCallbackConnection"}, true, true},
        {"AddExclusion", [](CUsbCore* c) { c->AddExclusion(0, 17); }, {"SetDeviceExcluded(17,1,1)"}, true, true},
        {"RemoveExclusion", [](CUsbCore* c) { c->RemoveExclusion(0, 17); }, {"SetDeviceExcluded(17,0,1)"}, true, true},
        {"SetObjectFlags", [](CUsbCore* c) { c->SetObjectFlags(0, 0x9); },
         {"SetAutoShareMode(1)", "SetIpFilterMode(1)"}, true, true},
        {"GetDeviceInstanceId", [&](CUsbCore* c) { c->GetDeviceInstanceId(0, 17, &text); }, {"GetDeviceNodePath"}, false, false},
        {"GetDevicePolicy", [&](CUsbCore* c) { c->GetDevicePolicy(0, &mode, &policy); }, {"GetDevicePolicy"}, false, false},
        {"SetDevicePolicy", [&](CUsbCore* c) { c->SetDevicePolicy(0, 2, policy); }, {"SetDevicePolicy"}, true, true},
    };
    for (const Case& c : cases) {
        for (bool fail : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (fail ? " failing" : ""));
            journal = CoreJournal();
            int queue = 0;
            auto core = MakeStartedWithQueue(&queue);
            if (fail) {
                std::string first = c.serverCalls[0];
                journal.throwing.insert(first.substr(0, first.find('(')));
            }
            bool threw = false;
            try {
                c.call(core.get());
            } catch (CExceptionEx* error) {
                threw = true;
                EXPECT_EQ(*error, CExceptionEx(1, 77, ERROR_TIMEOUT));
                delete error;
            }
            EXPECT_EQ(threw, fail);
            ASSERT_GE(journal.events.size(), fail ? 1u : c.serverCalls.size());
            for (size_t i = 0; i < (fail ? 1 : c.serverCalls.size()); i++)
                EXPECT_EQ(journal.events[i], "server." + c.serverCalls[i]);
            EXPECT_EQ(journal.written.size(), (!fail && c.save) ? 1u : 0u);
            EXPECT_EQ(QueueLength(queue), (!fail && c.notify) ? 1u : 0u);
            core.reset();
            msgctl(queue, IPC_RMID, nullptr);
        }
    }
}

TEST_F(CoreFixture, SaveCollectsEverythingInOrderAndKeepsFlags)
{
    if (!EnterPrivateIpcNamespace())
        GTEST_SKIP() << "needs root for a private IPC namespace";
    journal.fileContents.eventlog = false;
    journal.fileContents.debuglog = true;
    int queue = 0;
    auto core = MakeStartedWithQueue(&queue);
    core->SaveConfig();
    std::vector<std::string> expected = {
        "server.CollectState",       "server.GetServerId",       "server.CollectIdentities",
        "server.CollectNicknames",   "server.CollectTimeouts",   "server.GetDevicePolicy",
        "server.CollectIpFilters",   "server.CollectDeviceAcls", "server.GetQuirks",
        "server.GetAutoShareMode",   "server.GetListenAddressV4", "server.GetTcpPort",
        "config.WriteAll",
    };
    EXPECT_EQ(journal.events, expected);
    ASSERT_EQ(journal.written.size(), 1u);
    const StoredSettings& saved = journal.written[0];
    EXPECT_FALSE(saved.eventlog);
    EXPECT_TRUE(saved.debuglog);
    ASSERT_EQ(saved.uniqids.size(), 1u);
    EXPECT_EQ(saved.uniqids[0].id, 0u);
    EXPECT_EQ(saved.uniqids[0].digest[0], 0xA0);
    EXPECT_EQ(saved.uniqids[0].digest[15], 0xAF);
    EXPECT_EQ(saved.snapshotDevices.size(), 1u);
    EXPECT_EQ(saved.tcpPort, 4242);
    EXPECT_EQ(saved.listenV4, ADDRESS("10.1.2.3"));
    EXPECT_EQ(saved.policyMode, FILTER_MODE_ALLOW);
    msgctl(queue, IPC_RMID, nullptr);
}

TEST_F(CoreFixture, AutoShareModeTwoIsSavedAsManual)
{
    struct ModeServerCore : CFakeServerCore {
        ModeServerCore(CoreJournal* j, uint32_t m) : CFakeServerCore(j) { autoShareMode = m; }
    };
    struct ModeFactory : CFakeFactory {
        ModeFactory(CoreJournal* j, uint32_t m) : CFakeFactory(j), journal(j), mode(m) {}
        CUsbServerCore* CreateServerCore(CUsbCore*) override { return new ModeServerCore(journal, mode); }
        CoreJournal* journal;
        uint32_t mode;
    };
    const std::pair<uint32_t, uint8_t> cases[] = {{0, 0}, {1, 1}, {2, 0}};
    for (const auto& [mode, saved] : cases) {
        CoreJournal local;
        ModeFactory localFactory(&local, mode);
        CUsbCore core(nullptr, &localFactory);
        core.SaveConfig();
        ASSERT_EQ(local.written.size(), 1u);
        EXPECT_EQ(local.written[0].autoShare, saved) << "mode " << mode;
    }
}

TEST_F(CoreFixture, SaveNeverFailsAndLeavesTheFileOnErrors)
{
    for (const char* failing : {"CollectState", "GetServerId", "GetQuirks", "GetTcpPort"}) {
        CoreJournal local;
        local.throwing.insert(failing);
        CFakeFactory localFactory(&local);
        CUsbCore core(nullptr, &localFactory);
        EXPECT_NO_THROW(core.SaveConfig()) << failing;
        EXPECT_EQ(local.written.size(), 0u) << failing;
    }
}

// The daemon dials host names over IPv4 only, whatever a host's addresses.
TEST_F(CoreFixture, HostNamesAreDialledOverIPv4Only)
{
    int saved = AddressFamilyPreference.load();
    AddressFamilyPreference = 0;
    {
        auto core = Make();
        EXPECT_EQ(AddressFamilyPreference.load(), 2);
    }
    AddressFamilyPreference = saved;
}

// A snapshot that misses part of the state (a lock not obtained, or the
// stop event set) would write a file without shares, exclusions or
// callbacks: nothing is written from it.
TEST_F(CoreFixture, IncompleteSnapshotIsNotSaved)
{
    CoreJournal local;
    local.stateComplete = false;
    CFakeFactory localFactory(&local);
    CUsbCore core(nullptr, &localFactory);
    core.SaveConfig();
    EXPECT_EQ(local.written.size(), 0u);
    EXPECT_EQ(local.Count("server.GetServerId"), 0u);
}

// Saves from several threads at once each write a whole file; the file
// writes never overlap.
TEST_F(CoreFixture, ConcurrentSavesWriteOneAtATime)
{
    struct SlowConfigFile : CConfigFile {
        std::atomic<int> inside{0};
        std::atomic<int> overlaps{0};
        std::atomic<int> writes{0};
        int WriteAll(const StoredSettings&) override
        {
            if (inside.fetch_add(1) != 0)
                overlaps++;
            std::this_thread::yield();
            writes++;
            inside--;
            return 1;
        }
    };
    struct SlowFactory : CFakeFactory {
        using CFakeFactory::CFakeFactory;
        SlowConfigFile* file = nullptr;
        CConfigFile* CreateConfigFile() override { return file = new SlowConfigFile(); }
    };
    CoreJournal local;
    SlowFactory localFactory(&local);
    CUsbCore core(nullptr, &localFactory);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&] {
            for (int i = 0; i < 50; i++)
                core.SaveConfig();
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(localFactory.file->overlaps.load(), 0);
    EXPECT_GE(localFactory.file->writes.load(), 1);
    EXPECT_LE(localFactory.file->writes.load(), 200);
}

TEST_F(CoreFixture, ServerIdComesFromTheFileWhenItHoldsOne)
{
    IdentityEntry other;
    other.id = 5;
    memset(other.digest, 0x55, sizeof(other.digest));
    IdentityEntry own;
    own.id = 0;
    for (int i = 0; i < 16; i++)
        own.digest[i] = static_cast<uint8_t>(i + 1);
    journal.fileContents.uniqids = {other, own};
    auto core = Make();
    core->Start();
    EXPECT_EQ(memcmp(journal.started.serverId, own.digest, 16), 0);

    CoreJournal local;
    local.fileContents.uniqids = {other};
    CFakeFactory localFactory(&local);
    CUsbCore second(nullptr, &localFactory);
    second.Start();
    EXPECT_NE(memcmp(local.started.serverId, other.digest, 16), 0);
}

TEST_F(CoreFixture, MissingFileGivesDefaults)
{
    journal.readAllResult = 0;
    auto core = Make();
    core->Start();
    EXPECT_EQ(journal.started.tcpPort, 32032);
    EXPECT_EQ(journal.started.listenV4, ADDRESS("0.0.0.0"));
    EXPECT_FALSE(journal.started.listenV6.IsValid());
    EXPECT_EQ(journal.started.autoShare, 0);
    EXPECT_EQ(journal.started.ipFilterMode, FILTER_MODE_DISABLED);
    EXPECT_EQ(journal.started.policyMode, FILTER_MODE_DISABLED);
    EXPECT_FALSE(core->IsDebugLogOn());
}

TEST_F(CoreFixture, ObjectFlags)
{
    if (!EnterPrivateIpcNamespace())
        GTEST_SKIP() << "needs root for a private IPC namespace";
    struct Case {
        uint32_t object;
        uint32_t flags;
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {0, 0x9, {"server.SetAutoShareMode(1)", "server.SetIpFilterMode(1)"}},
        {0, 0xC, {"server.SetAutoShareMode(0)", "server.SetIpFilterMode(0)"}},
        {0, 0x0, {"server.SetAutoShareMode(0)", "server.SetIpFilterMode(2)"}},
        {0xC0000001, 0x81, {"server.SetCallbackConnectionFlags(3221225473,129)"}},
        {0xCFFFFFFE, 0x1, {"server.SetCallbackConnectionFlags(3489660926,1)"}},
        {0xC0000000, 0x1, {}},
        {0xCFFFFFFF, 0x1, {}},
        {0x80000001, 0x1, {}},
    };
    for (const Case& c : cases) {
        journal = CoreJournal();
        int queue = 0;
        auto core = MakeStartedWithQueue(&queue);
        core->SetObjectFlags(c.object, c.flags);
        std::vector<std::string> calls;
        for (const std::string& event : journal.events) {
            if (event.find("SetAutoShareMode") != std::string::npos || event.find("SetIpFilterMode") != std::string::npos ||
                event.find("SetCallbackConnectionFlags") != std::string::npos)
                calls.push_back(event);
        }
        EXPECT_EQ(calls, c.calls) << std::hex << c.object << " " << c.flags;
        // Saved and notified in every case.
        EXPECT_EQ(journal.written.size(), 1u);
        EXPECT_EQ(QueueLength(queue), 1u);
        core.reset();
        msgctl(queue, IPC_RMID, nullptr);
    }
}

TEST_F(CoreFixture, OtherServersAndSelectors)
{
    if (!EnterPrivateIpcNamespace())
        GTEST_SKIP() << "needs root for a private IPC namespace";
    int queue = 0;
    auto core = MakeStartedWithQueue(&queue);

    std::string text;
    try {
        core->GetDeviceInstanceId(1, 17, &text);
        ADD_FAILURE() << "server id 1 accepted";
    } catch (CExceptionEx* error) {
        EXPECT_EQ(*error, CExceptionEx(0, 942, 1349));
        delete error;
    }
    core->GetDeviceInstanceId(0, 17, &text);
    EXPECT_EQ(text, "/dev/bus/usb/001/002");

    // A foreign server id changes nothing but still saves and notifies.
    journal.events.clear();
    core->AddExclusion(3, 17);
    core->RemoveExclusion(3, 17);
    EXPECT_EQ(journal.Count("server.SetDeviceExcluded(17,1,1)"), 0u);
    EXPECT_EQ(journal.Count("server.SetDeviceExcluded(17,0,1)"), 0u);
    EXPECT_EQ(journal.written.size(), 2u);
    EXPECT_EQ(QueueLength(queue), 2u);

    // Only selector 0 reaches the policy; the set still saves and notifies.
    DrainQueue(queue);
    journal.events.clear();
    journal.written.clear();
    uint8_t mode = 77;
    std::vector<DevicePolicyRule> rules;
    core->GetDevicePolicy(1, &mode, &rules);
    EXPECT_EQ(mode, 77);
    core->SetDevicePolicy(1, 2, rules);
    EXPECT_EQ(journal.Count("server.GetDevicePolicy"), 1u); // from the save only
    EXPECT_EQ(journal.Count("server.SetDevicePolicy"), 0u);
    EXPECT_EQ(journal.written.size(), 1u);
    EXPECT_EQ(QueueLength(queue), 1u);
    msgctl(queue, IPC_RMID, nullptr);
}

TEST_F(CoreFixture, DebugLinesOnlyWithDebuglog)
{
    CTempDir dir;
    std::string path = dir.File("calvixd.log");
    for (bool debuglog : {false, true}) {
        unlink(path.c_str());
        CEventLog log(path.c_str());
        CoreJournal local;
        local.fileContents.debuglog = debuglog;
        CFakeFactory localFactory(&local);
        CUsbCore core(&log, &localFactory);
        core.LogDebug(0x000d, 2916, 50); // before the file is read: off
        core.Start();
        core.LogDebug(0x000d, 2916, 50);
        std::string text = ReadFile(path);
        if (!debuglog) {
            EXPECT_EQ(text, "");
        } else {
            EXPECT_TRUE(IsStampedLines(text, {"Debug: Module 0x000d Line 2916 Error 50"})) << text;
        }
    }
    // No event log: nothing to write to, nothing breaks.
    CoreJournal local;
    local.fileContents.debuglog = true;
    CFakeFactory localFactory(&local);
    CUsbCore core(nullptr, &localFactory);
    core.Start();
    core.LogDebug(1, 2, 3);
}
