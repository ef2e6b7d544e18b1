#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/calvixd/rulesfixture.h"

namespace {

using Sharing = RulesFixture;

DevicePolicyRule VendorRule(uint16_t vendorId)
{
    DevicePolicyRule rule;
    rule.flags = POLICY_FLAG_VID;
    rule.vendorId = vendorId;
    rule.name = "vendor";
    return rule;
}

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

} // namespace

// ---------------------------------------------------------------------------
// Per-device settings

TEST_F(Sharing, NicknameIsSentSavedAndNotifiedOnlyWhenItChanges)
{
    uint32_t id = PlugShared("1-1");
    core->SetDeviceNickname(id, "Printer");
    UsbDevice d = Record(id);
    EXPECT_EQ(d.nickname, "Printer");
    EXPECT_TRUE(d.flags & DEVICE_FLAG_NICKNAME);
    EXPECT_EQ(journal.Count("net.nickname(" + std::to_string(id) + ",Printer)"), 1u);
    EXPECT_EQ(journal.saves, 1);
    EXPECT_EQ(journal.notifies, 1);

    core->SetDeviceNickname(id, "Printer");
    EXPECT_EQ(journal.Count("net.nickname"), 1u) << "the same nickname again sends nothing";
    EXPECT_EQ(journal.saves, 1);

    core->SetDeviceNickname(id, "");
    EXPECT_FALSE(Record(id).flags & DEVICE_FLAG_NICKNAME);
    EXPECT_EQ(journal.Count("net.nickname(" + std::to_string(id) + ",)"), 1u);
    EXPECT_EQ(journal.saves, 2);

    // A line break would split the nickname's line in the configuration
    // file into two entries.
    core->SetDeviceNickname(id, "Kept");
    journal.Clear();
    for (const char* bad : {"two\nlines", "cr\rhere", "nul\x01"}) {
        EXPECT_EQ(ErrorOf([&] { core->SetDeviceNickname(id, bad); }), ERROR_INVALID_PARAMETER) << bad;
    }
    EXPECT_EQ(Record(id).nickname, "Kept");
    EXPECT_EQ(journal.saves, 0);
    EXPECT_EQ(journal.Count("net.nickname"), 0u);
    EXPECT_EQ(ErrorOf([&] { core->SetDeviceNickname(99, "x"); }), ERROR_UNKNOWN_DEVICE);
}

TEST_F(Sharing, NicknameOfARememberedDeviceSurvivesUnplug)
{
    uint32_t id = Plug("1-1");
    core->SetDeviceNickname(id, "Scanner");
    core->OnDeviceRemoved("1-1");
    // The record stays, hidden, for its nickname; it may still be renamed.
    core->SetDeviceNickname(id, "Scanner 2");
    std::map<uint32_t, std::string> nicknames;
    core->CollectNicknames(&nicknames);
    EXPECT_EQ(nicknames[id], "Scanner 2");
    EXPECT_EQ(Plug("1-1"), id);
    EXPECT_EQ(Record(id).nickname, "Scanner 2");
}

TEST_F(Sharing, TimeoutAndResetMethodLimits)
{
    struct Case {
        const char* what;
        bool timeout; // else reset method
        uint32_t value;
        uint32_t error;
        uint32_t flagOn; // flag expected set (0: expected clear)
        const char* stubCall;
        int saves;
    };
    const Case cases[] = {
        {"time-out at the limit", true, 7200, 0, DEVICE_FLAG_TIMEOUT, "stub.timeout(7200)", 1},
        {"time-out above the limit", true, 7201, ERROR_INVALID_PARAMETER, 0, nullptr, 0},
        {"time-out cleared", true, 0, 0, 0, "stub.timeout(0)", 1},
        {"reset replug", false, 3, 0, DEVICE_FLAG_RESET_MODE, "stub.reset(3)", 0},
        {"reset mode 4", false, 4, ERROR_INVALID_PARAMETER, 0, nullptr, 0},
        {"reset disabled", false, 0, 0, 0, "stub.reset(0)", 0},
    };
    uint32_t id = PlugShared("1-1");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // Start from the opposite of what the case expects.
        core->WithDevice(id, [&](UsbDevice* d) {
            d->flags |= DEVICE_FLAG_TIMEOUT | DEVICE_FLAG_RESET_MODE;
            d->timeout = 5;
            d->resetMode = 2;
        });
        journal.Clear();
        uint32_t error = ErrorOf([&] {
            if (c.timeout)
                core->SetDeviceTimeout(id, c.value);
            else
                core->SetDeviceResetMethod(id, c.value);
        });
        EXPECT_EQ(error, c.error);
        UsbDevice d = Record(id);
        uint32_t flag = c.timeout ? DEVICE_FLAG_TIMEOUT : DEVICE_FLAG_RESET_MODE;
        if (c.error) {
            EXPECT_EQ(c.timeout ? d.timeout : d.resetMode, c.timeout ? 5u : 2u) << "refused value changed nothing";
            EXPECT_EQ(journal.notifies, 0);
            EXPECT_TRUE(d.flags & flag);
        } else {
            EXPECT_EQ(c.timeout ? d.timeout : d.resetMode, c.value);
            EXPECT_EQ(d.flags & flag, c.flagOn);
            EXPECT_EQ(journal.Count(c.stubCall), 1u);
            EXPECT_EQ(journal.notifies, 1);
        }
        EXPECT_EQ(journal.saves, c.saves) << "the reset method is not stored";
    }
    EXPECT_EQ(ErrorOf([&] { core->SetDeviceTimeout(99, 1); }), ERROR_UNKNOWN_DEVICE);
    EXPECT_EQ(ErrorOf([&] { core->SetDeviceResetMethod(99, 1); }), ERROR_UNKNOWN_DEVICE);
}

TEST_F(Sharing, NodePath)
{
    uint32_t present = Plug("1-5");
    std::string path;
    core->GetDeviceNodePath(present, &path);
    EXPECT_EQ(path, "/dev/bus/usb/001/005");

    uint32_t unreadable = Plug("1-6", "SN0006");
    sysfs.Remove("1-6", "devnum");
    EXPECT_EQ(ErrorOf([&] { core->GetDeviceNodePath(unreadable, &path); }), 21u);

    core->ShareDevice(present, 0, false); // stays remembered when unplugged
    core->OnDeviceRemoved("1-5");
    EXPECT_EQ(ErrorOf([&] { core->GetDeviceNodePath(present, &path); }), ERROR_DEVICE_NOT_PRESENT);
    EXPECT_EQ(ErrorOf([&] { core->GetDeviceNodePath(99, &path); }), ERROR_UNKNOWN_DEVICE);
}

// ---------------------------------------------------------------------------
// Device policy

TEST_F(Sharing, PolicyDecidesWhatMayBeShared)
{
    struct Case {
        const char* what;
        uint8_t mode;
        std::vector<DevicePolicyRule> rules;
        bool allowed;
    };
    DevicePolicyRule any; // no criteria: every device
    DevicePolicyRule portRule;
    portRule.flags = POLICY_FLAG_PORT;
    portRule.port = "1-1";
    DevicePolicyRule portPrefix = portRule;
    portPrefix.port = "1-"; // texts compare whole
    DevicePolicyRule classAndSerial;
    classAndSerial.flags = POLICY_FLAG_CLASS | POLICY_FLAG_SERIAL;
    classAndSerial.deviceClass = 3; // the first interface's class: the device's own is 0
    classAndSerial.serial = "SN0001";
    DevicePolicyRule wrongSerial = classAndSerial;
    wrongSerial.serial = "SN0002";
    const Case cases[] = {
        {"disabled", FILTER_MODE_DISABLED, {VendorRule(0x1234)}, true},
        {"deny the vendor", FILTER_MODE_DENY, {VendorRule(0x1234)}, false},
        {"deny another vendor", FILTER_MODE_DENY, {VendorRule(0x9999)}, true},
        {"allow the vendor", FILTER_MODE_ALLOW, {VendorRule(0x1234)}, true},
        {"allow another vendor", FILTER_MODE_ALLOW, {VendorRule(0x9999)}, false},
        {"allow with no rule", FILTER_MODE_ALLOW, {}, false},
        {"deny with no rule", FILTER_MODE_DENY, {}, true},
        {"deny everything", FILTER_MODE_DENY, {any}, false},
        {"deny the port", FILTER_MODE_DENY, {portRule}, false},
        {"a port prefix is no match", FILTER_MODE_DENY, {portPrefix}, true},
        {"all criteria must hold", FILTER_MODE_DENY, {wrongSerial}, true},
        {"class and serial hold", FILTER_MODE_DENY, {classAndSerial}, false},
        {"first matching rule decides", FILTER_MODE_ALLOW, {VendorRule(0x9999), any}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Make();
        uint32_t id = Plug("1-1");
        core->SetDevicePolicy(c.mode, c.rules);
        uint32_t error = ErrorOf([&] { core->ShareDevice(id, 0, true); });
        EXPECT_EQ(error, c.allowed ? 0u : ERROR_POLICY_REFUSED);
        EXPECT_EQ((Record(id).flags & DEVICE_FLAG_POLICY_REFUSED) != 0, !c.allowed);
    }
}

TEST_F(Sharing, PolicyRulesReachTheDriverInOrder)
{
    core->SetAutoShareMode(1);
    uint32_t excluded = Plug("1-1", "SN0001");
    core->SetDeviceExcluded(excluded, true, false);
    core->SetDevicePolicy(FILTER_MODE_DENY, {VendorRule(0x1111), VendorRule(0x2222)});
    std::vector<LoaderRule> rules = loader.ruleSets.back();
    ASSERT_EQ(rules.size(), 4u);
    EXPECT_EQ(rules[0].flags, POLICY_FLAG_VID | LOADER_RULE_LEAVE);
    EXPECT_EQ(rules[0].vendorId, 0x1111);
    EXPECT_EQ(rules[1].vendorId, 0x2222);
    EXPECT_EQ(rules[2].instanceIdentity, "SN0001") << "then the exclusions";
    EXPECT_EQ(rules[3].flags, LOADER_RULE_CLAIM) << "the catch-all last";

    core->SetDevicePolicy(FILTER_MODE_ALLOW, {VendorRule(0x1111)});
    rules = loader.ruleSets.back();
    ASSERT_EQ(rules.size(), 3u);
    EXPECT_EQ(rules[0].instanceIdentity, "SN0001");
    EXPECT_EQ(rules[1].flags, POLICY_FLAG_VID | LOADER_RULE_CLAIM);
    EXPECT_EQ(rules[2].flags, LOADER_RULE_LEAVE) << "allow mode: what no rule names stays local";
}

TEST_F(Sharing, PolicyChangeUnsharesWhatItNowRefuses)
{
    for (bool autoShare : {false, true}) {
        SCOPED_TRACE(autoShare ? "automatic sharing on" : "automatic sharing off");
        Make();
        if (autoShare)
            core->SetAutoShareMode(1);
        uint32_t refused = Plug("1-1", "SN0001");
        if (!autoShare)
            core->ShareDevice(refused, 0, false);
        core->OnStubAttached("1-1");
        ASSERT_TRUE(core->HasStub(refused));
        DevicePolicyRule serialRule;
        serialRule.flags = POLICY_FLAG_SERIAL;
        serialRule.serial = "SN0001";
        uint32_t kept = PlugShared("1-2", "SN0002");
        journal.Clear();

        core->SetDevicePolicy(FILTER_MODE_DENY, {serialRule});
        UsbDevice d = Record(refused);
        EXPECT_FALSE(core->HasStub(refused));
        EXPECT_EQ(d.state, DEVICE_STATE_PLUGGED);
        EXPECT_EQ(d.shareMode, SHARE_MODE_NONE) << "not left on the exclusion list";
        EXPECT_EQ(journal.Count("loader.Rebind(1-1)"), 1u);
        EXPECT_EQ(journal.Count("net.unshared(" + std::to_string(refused) + ",0,0)"), 1u);
        EXPECT_TRUE(core->HasStub(kept));
        EXPECT_EQ(LogCount("unshared by user"), 0u) << "not the user's unshare";
    }
}

TEST_F(Sharing, RefusedPolicyWritesKeepTheOldPolicy)
{
    core->SetDevicePolicy(FILTER_MODE_DENY, {VendorRule(0x1234)});
    DevicePolicyRule broken = VendorRule(0x9999);
    broken.serial = "a\nb";
    DevicePolicyRule brokenName = VendorRule(0x9999);
    brokenName.name = "line\r";
    struct Case {
        const char* what;
        uint8_t mode;
        std::vector<DevicePolicyRule> rules;
        bool driverAccepts;
        uint32_t error;
    };
    const Case cases[] = {
        {"mode 3", 3, {VendorRule(0x9999)}, true, ERROR_INVALID_PARAMETER},
        {"line break in a serial", FILTER_MODE_ALLOW, {VendorRule(0x9999), broken}, true, ERROR_INVALID_PARAMETER},
        {"line break in a name", FILTER_MODE_ALLOW, {brokenName}, true, ERROR_INVALID_PARAMETER},
        {"driver refuses the claim rules", FILTER_MODE_ALLOW, {VendorRule(0x9999)}, false, ERROR_DRIVER_REFUSED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        loader.claimRulesResult = c.driverAccepts;
        EXPECT_EQ(ErrorOf([&] { core->SetDevicePolicy(c.mode, c.rules); }), c.error);
        loader.claimRulesResult = true;
        uint8_t mode = 0;
        std::vector<DevicePolicyRule> rules;
        core->GetDevicePolicy(&mode, &rules);
        EXPECT_EQ(mode, FILTER_MODE_DENY);
        ASSERT_EQ(rules.size(), 1u);
        EXPECT_EQ(rules[0].vendorId, 0x1234);
    }
}

// ---------------------------------------------------------------------------
// Shutdown

// A thread that holds the device mutex when shutdown begins (a handshake, the
// worker, a resolver result) finishes its step before the records are taken
// down under it.
TEST_F(Sharing, ShutdownWaitsForTheHolderOfTheDeviceMutex)
{
    PlugShared("1-1");
    CMutex* mutex = core->DeviceMutex();
    ASSERT_EQ(mutex->Lock(-1), SYNC_OK);
    std::thread shutdown([&] { core.reset(); });
    // Stopping the driver layer comes right before the devices are taken
    // down.
    ASSERT_TRUE(WaitFor([&] { return journal.Count("loader.Stop") == 1; }));
    // Long enough for a shutdown that ignores the holder to get there.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(journal.Count("loader.Rebind"), 0u) << "shutdown took the device down under the holder";
    EXPECT_EQ(stubs.stops.load(), 0);
    EXPECT_EQ(LogCount("unshared due to service shutting down"), 0u);
    mutex->Unlock();
    shutdown.join();
    EXPECT_EQ(journal.Count("loader.Rebind(1-1)"), 1u);
    EXPECT_EQ(stubs.stops.load(), 1);
    EXPECT_EQ(LogCount("unshared due to service shutting down"), 1u);
}

// ---------------------------------------------------------------------------
// Share, exclusion and the claim rules they give the driver

TEST_F(Sharing, ClaimRulesFollowShareAndExclusion)
{
    auto perDevice = [this] {
        std::vector<std::string> texts;
        for (const LoaderRule& r : loader.ruleSets.back())
            texts.push_back(r.instanceIdentity + ((r.flags & LOADER_RULE_CLAIM) ? ":claim" : ":leave"));
        return texts;
    };
    uint32_t id = Plug("1-1", "SN0001");
    core->ShareDevice(id, 0, true);
    EXPECT_EQ(perDevice(), (std::vector<std::string>{"SN0001:claim", ":leave"}));
    EXPECT_EQ(loader.ruleSets.back()[0].flags, 0x10000003u | LOADER_RULE_CLAIM);
    core->OnStubAttached("1-1");
    ASSERT_TRUE(core->HasStub(id));

    // Excluding a shared device hands it back without the user's unshare
    // line, then writes the exclusion line.
    journal.Clear();
    core->SetDeviceExcluded(id, true, true);
    UsbDevice d = Record(id);
    EXPECT_EQ(d.shareMode, SHARE_MODE_EXCLUDED);
    EXPECT_EQ(d.state, DEVICE_STATE_PLUGGED);
    EXPECT_FALSE(core->HasStub(id));
    EXPECT_EQ(journal.Count("loader.Rebind(1-1)"), 1u);
    EXPECT_EQ(LogCount("USB device unshared by user"), 0u);
    EXPECT_EQ(LogCount("USB device added to exclusions by user (ACME Mouse;"), 1u);
    EXPECT_EQ(perDevice(), (std::vector<std::string>{"SN0001:leave", ":leave"}));
    EXPECT_EQ(ErrorOf([&] { core->ShareDevice(id, 0, true); }), ERROR_ACCESS_DENIED_EXCLUDED);

    core->SetDeviceExcluded(id, false, true);
    EXPECT_EQ(perDevice(), std::vector<std::string>{":leave"});
    EXPECT_EQ(ErrorOf([&] { core->SetDeviceExcluded(id, false, true); }), ERROR_ALREADY_INITIALIZED);
}

TEST_F(Sharing, RememberedDevicesGoWhenNothingIsLeftToKeep)
{
    struct Case {
        const char* what;
        uint8_t shareKind;
        const char* nickname;
        bool unshare; // else taken off the exclusion list
        bool recordStays;
    };
    const Case cases[] = {
        {"unshared, no settings", SHARE_KIND_SHARED, "", true, false},
        {"unshared, with a nickname", SHARE_KIND_SHARED, "Printer", true, true},
        {"no longer excluded, no settings", SHARE_KIND_EXCLUDED, "", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ConfiguredDevice stored;
        stored.vendorId = 0x1234;
        stored.productId = 0x5678;
        stored.serial = "SN0001";
        stored.port = "1-1";
        stored.shareKind = c.shareKind;
        stored.name = "ACME Mouse";
        stored.nickname = c.nickname;
        StoredSettings settings;
        settings.devices = {stored};
        Make(settings);
        auto states = core->States();
        ASSERT_EQ(states.size(), 1u);
        uint32_t id = states.begin()->first;
        ASSERT_EQ(states[id], DEVICE_STATE_NOT_PLUGGED);
        if (c.unshare)
            core->UnshareDevice(id, true);
        else
            core->SetDeviceExcluded(id, false, true);
        EXPECT_EQ(core->WithDevice(id, [](UsbDevice*) {}), c.recordStays);
        EXPECT_TRUE(core->HasSlot(id)) << "the id stays with its identity";
        std::vector<DeviceInfo> devices;
        core->CollectState(&devices, nullptr, nullptr);
        EXPECT_TRUE(devices.empty()) << "a record kept for its settings is hidden";
    }
}
