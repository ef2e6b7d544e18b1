// The server core with the production driver interface and stubs on the
// simulated stub driver, in a private network namespace: start, the claim
// rules it hands the driver, a device's way through share and unshare, and
// the order in which it lets go of the driver.
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>

#include "tests/calvixd/test_devicemodel_fakes.h"
#include "tests/support/ravelsim.h"
#include "tests/support/wait.h"

using namespace std::chrono_literals;

namespace {

bool EnterPrivateNetworkNamespace()
{
    static bool entered = unshare(CLONE_NEWNET) == 0;
    return entered;
}

class CSimDeps : public CFakeDeps {
public:
    using CFakeDeps::CFakeDeps;
    CLoaderApi* CreateLoader(CLoaderEvents* events) override { return new CLoaderApiKmod(events, GetSysfsRoot()); }
    std::shared_ptr<CUsbStub> CreateStub(const UsbStubParams& params) override { return CreateKmodUsbStub(params); }
};

struct ServerCoreOnSim : ::testing::Test {
    CTempDir logDir;
    CEventLog log{logDir.File("calvixd.log").c_str()};
    ModelJournal journal;
    CFakeOwner owner{&journal, &log};
    LoaderScript unused;
    StubScript stubs;
    std::atomic<uint32_t> clock{1000};
    CTempDir sysfs;
    std::unique_ptr<ravelsim::RavelSim> sim;
    std::unique_ptr<CTestServerCore> core;

    void SetUp() override
    {
        if (geteuid() != 0 || !EnterPrivateNetworkNamespace())
            GTEST_SKIP() << "needs root for a private network namespace";
        sim = std::make_unique<ravelsim::RavelSim>(sysfs.Path() + "/devices/");
        sim->Install();
    }
    void TearDown() override
    {
        core.reset();
        sim.reset();
    }
    void Make()
    {
        core = std::make_unique<CTestServerCore>(
            std::make_unique<CSimDeps>(&owner, sim->SysfsRoot(), &unused, &stubs, &journal, &clock));
    }
    static ravelsim::SimDevice Device(const std::string& busId, const std::string& serial)
    {
        ravelsim::SimDevice d;
        d.busId = busId;
        d.serial = serial;
        return d;
    }
    // The state of the present record on the port, -1 when none.
    int StateOn(const std::string& port)
    {
        for (auto& [id, state] : core->States()) {
            UsbDevice d;
            core->Snapshot(id, &d);
            if (d.port == port && state != DEVICE_STATE_NOT_PLUGGED)
                return state;
        }
        return -1;
    }
    bool WaitForState(const std::string& port, int state)
    {
        return testwait::waitUntil([&] { return StateOn(port) == state; }, 10s);
    }
    std::vector<uint32_t> RuleFlags()
    {
        std::vector<uint32_t> flags;
        for (const ravelsim::SimRule& rule : sim->ClaimRules())
            flags.push_back(rule.flags);
        return flags;
    }
};

ConfiguredDevice Remembered(const std::string& serial, uint8_t shareKind)
{
    ConfiguredDevice stored;
    stored.vendorId = 0x1234;
    stored.productId = 0x5678;
    stored.serial = serial;
    stored.port = "9-9";
    stored.shareKind = shareKind;
    stored.name = "ACME Mouse";
    return stored;
}

DevicePolicyRule VendorRule(uint16_t vendorId)
{
    DevicePolicyRule rule;
    rule.flags = 0x1;
    rule.vendorId = vendorId;
    return rule;
}

constexpr uint32_t CLAIM = LOADER_RULE_CLAIM;
constexpr uint32_t LEAVE = LOADER_RULE_LEAVE;
constexpr uint32_t BY_IDENTITY = 0x10000003;

} // namespace

TEST_F(ServerCoreOnSim, ClaimRulesOverAutoSharePolicyAndShareModes)
{
    struct Case {
        const char* what;
        uint8_t autoShare;
        uint8_t policyMode;
        std::vector<ConfiguredDevice> devices;
        std::vector<uint32_t> flags;
    };
    const Case cases[] = {
        {"nothing shared", 0, 0, {}, {LEAVE}},
        {"automatic sharing", 1, 0, {}, {CLAIM}},
        {"automatic sharing, deny policy", 1, 2, {}, {0x1 | LEAVE, CLAIM}},
        {"automatic sharing, allow policy", 1, 1, {}, {0x1 | CLAIM, LEAVE}},
        {"policy without automatic sharing", 0, 2, {}, {LEAVE}},
        {"exclusions before shares",
         0,
         0,
         {Remembered("SN3", 3), Remembered("SN1", 1), Remembered("SN2", 2)},
         {BY_IDENTITY | LEAVE, BY_IDENTITY | CLAIM, BY_IDENTITY | CLAIM, LEAVE}},
        {"all of it",
         1,
         2,
         {Remembered("SN1", 1), Remembered("SN2", 2)},
         {0x1 | LEAVE, BY_IDENTITY | LEAVE, BY_IDENTITY | CLAIM, CLAIM}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        core.reset();
        Make();
        StoredSettings settings;
        settings.autoShare = c.autoShare;
        settings.policyMode = c.policyMode;
        settings.policyRules = {VendorRule(0x1111)};
        settings.devices = c.devices;
        core->Start(settings);
        EXPECT_EQ(RuleFlags(), c.flags);
    }
    // Device rules name the device by its ids and identity text.
    auto rules = sim->ClaimRules();
    EXPECT_EQ(rules[1].identity, "SN2");
    EXPECT_EQ(rules[2].identity, "SN1");
    EXPECT_EQ(rules[2].vendorId, 0x1234);
    EXPECT_EQ(rules[0].vendorId, 0x1111);
}

TEST_F(ServerCoreOnSim, StartSendsOnlyIgnoreSerialQuirksAndFailsWhenRefused)
{
    Make();
    StoredSettings settings;
    settings.quirks = {{QUIRK_BUILT_IN, 0x6547, 0x0232, 1},
                       {QUIRK_IGNORE_SERIAL, 0x1234, 0x5678, 255},
                       {QUIRK_NO_RESET_ON_SHARE | QUIRK_IGNORE_SERIAL, 0x1, 0x2, 2}};
    core->Start(settings);
    auto quirks = sim->Quirks();
    ASSERT_EQ(quirks.size(), 2u);
    EXPECT_EQ(quirks[0].vendorId, 0x1234);
    EXPECT_EQ(quirks[1].flags, QUIRK_NO_RESET_ON_SHARE | QUIRK_IGNORE_SERIAL);

    for (int refused = 0; refused < 2; refused++) {
        SCOPED_TRACE(refused ? "quirks refused" : "rules refused");
        core.reset();
        sim->SetClaimRulesRefused(refused == 0);
        sim->SetQuirksRefused(refused == 1);
        Make();
        try {
            core->Start(settings);
            ADD_FAILURE() << "started";
        } catch (CExceptionEx* error) {
            EXPECT_EQ(error->GetError(), ERROR_DRIVER_REFUSED);
            EXPECT_EQ(error->GetModule(), MODULE_USBSERVERCORE);
            delete error;
        }
    }
}

TEST_F(ServerCoreOnSim, PlugShareUnshareUnplug)
{
    sim->Plug(Device("1-2", "SNPRESENT")); // already there at start
    Make();
    core->Start(StoredSettings());
    ASSERT_TRUE(WaitForState("1-2", DEVICE_STATE_PLUGGED));
    sim->Plug(Device("1-1", "SN0001"));
    ASSERT_TRUE(WaitForState("1-1", DEVICE_STATE_PLUGGED));
    EXPECT_EQ(sim->StubNumber("1-1"), -1);

    uint32_t id = 0;
    for (auto& [candidate, state] : core->States()) {
        UsbDevice d;
        core->Snapshot(candidate, &d);
        if (d.port == "1-1")
            id = candidate;
    }
    ASSERT_NE(id, 0u);
    core->ShareDevice(id, 0, true);
    // The driver claims it, the stub device comes online, the stub opens it.
    ASSERT_TRUE(WaitForState("1-1", DEVICE_STATE_SHARED));
    EXPECT_TRUE(core->HasStub(id));
    ravelsim::SimStub stub = sim->Stub("1-1");
    EXPECT_EQ(stub.number, 1);
    EXPECT_EQ(stub.resetMode, 2);
    EXPECT_EQ(stub.flushes, 1);
    EXPECT_EQ(stub.resets, 1);

    core->UnshareDevice(id, true);
    EXPECT_EQ(StateOn("1-1"), DEVICE_STATE_PLUGGED);
    EXPECT_EQ(sim->StubNumber("1-1"), -1) << "handed back by the rebind";
    EXPECT_FALSE(core->HasStub(id));

    sim->Unplug("1-1");
    ASSERT_TRUE(testwait::waitUntil([&] { return StateOn("1-1") == -1; }, 10s));
    EXPECT_EQ(StateOn("1-2"), DEVICE_STATE_PLUGGED);
}

TEST_F(ServerCoreOnSim, AutoSharedDeviceAndTheOrderOfLettingGo)
{
    Make();
    StoredSettings settings;
    settings.autoShare = 1;
    core->Start(settings);
    sim->Plug(Device("1-1", "SN0001"));
    ASSERT_TRUE(WaitForState("1-1", DEVICE_STATE_SHARED));
    sim->ClearIoctlLog();
    core.reset();
    // Rules and quirks cleared first; the device handed back; the stub,
    // deleted outside the device mutex, flushes and closes its stub device
    // after that (the driver has let go of it); the control device last.
    std::vector<std::string> log = sim->IoctlLog();
    std::vector<std::string> kinds;
    for (const std::string& line : log)
        kinds.push_back(line.rfind("ctl", 0) == 0 ? line.substr(0, 10) : line);
    const std::vector<std::string> expected = {"ctl 0x40c9", "ctl 0x40d0", "ctl 0x40cc", "stub 1 0x40a2 -> -19",
                                               "close stub 1", "close ctl"};
    EXPECT_EQ(kinds, expected) << ::testing::PrintToString(log);
    EXPECT_EQ(sim->StubNumber("1-1"), -1);
}
