#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <thread>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tests/calvixd/fakes.h"
#include "tests/calvixd/test_devicemodel_fakes.h"
#include "calvixd/core/threadreaper.h"
#include "tests/support/ravelsim.h"
#include "tests/support/wait.h"

namespace {

std::string Hex(const uint8_t* bytes, size_t length)
{
    std::string text;
    char pair[3];
    for (size_t i = 0; i < length; i++) {
        snprintf(pair, sizeof(pair), "%02x", bytes[i]);
        text += pair;
    }
    return text;
}

void DigestFromHex(const char* hex, uint8_t digest[16])
{
    for (int i = 0; i < 16; i++)
        digest[i] = static_cast<uint8_t>(std::stoi(std::string(hex + 2 * i, 2), nullptr, 16));
}

struct DeviceModel : ::testing::Test {
    CTempDir logDir;
    CEventLog log{logDir.File("calvixd.log").c_str()};
    ModelJournal journal;
    CFakeOwner owner{&journal, &log};
    LoaderScript loader;
    StubScript stubs;
    std::atomic<uint32_t> clock{1000};
    CSysfsTree sysfs;
    std::unique_ptr<CTestServerCore> core;

    void SetUp() override { Make(); }
    void TearDown() override { core.reset(); }

    void Make()
    {
        core = std::make_unique<CTestServerCore>(
            std::make_unique<CFakeDeps>(&owner, sysfs.Root(), &loader, &stubs, &journal, &clock));
    }

    void Start(const StoredSettings& settings = StoredSettings()) { core->Start(settings); }

    // A device in sysfs whose stub-driver identity is its serial (or its
    // port when it has none), then its arrival event.
    void Plug(CSysfsTree::Device d, const std::string& identity = "")
    {
        sysfs.Add(d);
        {
            std::lock_guard<std::mutex> hold(loader.lock);
            loader.identities[d.busId] = !identity.empty() ? identity : (d.serial.empty() ? d.busId : d.serial);
            loader.stubNumbers[d.busId] = 7;
        }
        core->OnDeviceArrived(d.busId);
    }
    void Plug(const std::string& busId, const std::string& serial = "SN0001", const std::string& identity = "")
    {
        CSysfsTree::Device d;
        d.busId = busId;
        d.serial = serial;
        Plug(d, identity);
    }

    // The id of the present record on the port, else of any record on it; 0
    // when none.
    uint32_t IdOf(const std::string& port)
    {
        uint32_t found = 0;
        for (auto& [id, state] : core->States()) {
            UsbDevice d;
            core->Snapshot(id, &d);
            if (d.port == port && (found == 0 || state != DEVICE_STATE_NOT_PLUGGED))
                found = id;
        }
        return found;
    }
    int StateOf(uint32_t id)
    {
        auto states = core->States();
        return states.count(id) ? states[id] : -1;
    }
    UsbDevice Record(uint32_t id)
    {
        UsbDevice d;
        EXPECT_TRUE(core->Snapshot(id, &d)) << "no record for id " << id;
        return d;
    }

    std::string LogText()
    {
        std::ifstream in(logDir.File("calvixd.log"));
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    size_t LogCount(const std::string& fragment)
    {
        std::string text = LogText();
        size_t n = 0;
        for (size_t at = text.find(fragment); at != std::string::npos; at = text.find(fragment, at + 1))
            n++;
        return n;
    }
    std::vector<std::string> NetEvents()
    {
        std::vector<std::string> out;
        for (const std::string& e : journal.Events()) {
            if (e.rfind("net.", 0) == 0)
                out.push_back(e);
        }
        return out;
    }
    void EnableAutoShare()
    {
        core->SetAutoShareMode(1);
        journal.Clear();
    }
};

// Sets up a device that is shared by the user in the configuration file.
ConfiguredDevice RememberedShare(const std::string& serial, const std::string& port, uint8_t shareKind = 1)
{
    ConfiguredDevice stored;
    stored.vendorId = 0x1234;
    stored.productId = 0x5678;
    stored.serial = serial;
    stored.port = port;
    stored.shareKind = shareKind;
    stored.name = "ACME Mouse";
    return stored;
}

} // namespace

// ---------------------------------------------------------------------------
// Identity and ids

TEST(DeviceModelIdentity, DigestOverTheZeroPaddedText)
{
    struct Case {
        uint16_t vendorId, productId;
        std::string identity;
        const char* digest; // stored in configuration files: must never change
    };
    const Case cases[] = {
        {0x1234, 0x5678, "SN0001", "8af171dd6de5d065a183d4fd54f442a2"},        // 30 bytes, padded to 64
        {0xabcd, 0x00ef, "1-1.2", "d85959d7c9cd2be4732a60e2ab1f0962"},         // lower-case ids
        {0x1234, 0x5678, std::string(39, 'X'), "4a5ef75915099444c3e7ce5f7d04b638"}, // 63 bytes
        {0x1234, 0x5678, std::string(40, 'X'), "883ad1045e1da8084b0059136c197f91"}, // exactly 64
        {0x1234, 0x5678, std::string(300, 'Y'), "86023e3267691cc3b96f3fd9acb58474"}, // cut at 299
    };
    for (const Case& c : cases) {
        uint8_t digest[16];
        ComputeDeviceIdentity(c.vendorId, c.productId, c.identity, digest);
        EXPECT_EQ(Hex(digest, 16), c.digest) << c.identity.size();
    }
}

TEST(DeviceModelIdentity, ClientKindField)
{
    struct Case {
        uint32_t flags, kind, expected;
    };
    const Case cases[] = {
        {0, CONNECTION_KIND_RDP, 0x2000},       {0, CONNECTION_KIND_TCP, 0x4000},
        {0, CONNECTION_KIND_UDP, 0x8000},       {0, CONNECTION_KIND_512, 0x10000},
        {0, CONNECTION_KIND_PIPE, 0x18000},     {0, 64, 0},
        {0x18000 | 0x40000 | 0x20, 32, 0x4020}, // the old kind and bit 0x40000 go
        {0xFFFFFFFF, 99, 0xFFFA1FFF},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SetClientKindFlags(c.flags, c.kind), c.expected) << c.flags << " " << c.kind;
}

TEST_F(DeviceModel, IdsStayWithTheirIdentity)
{
    Start();
    // Identified by serial: another port keeps the id.
    Plug("1-1", "SN0001");
    uint32_t bySerial = IdOf("1-1");
    EXPECT_EQ(bySerial, 1u);
    core->OnDeviceRemoved("1-1");
    Plug("1-2", "SN0001");
    EXPECT_EQ(IdOf("1-2"), bySerial);

    // Identified by port (no serial): another port is another device.
    Plug("2-1", "");
    uint32_t byPort = IdOf("2-1");
    EXPECT_EQ(byPort, 2u);
    core->OnDeviceRemoved("2-1");
    Plug("2-2", "");
    EXPECT_EQ(IdOf("2-2"), 3u);

    // Forgotten records keep their slot, so their ids are not given again.
    EXPECT_TRUE(core->HasSlot(byPort));
    EXPECT_EQ(StateOf(byPort), -1) << "an unplugged unshared device without settings leaves no record";
    Plug("3-1", "OTHER");
    EXPECT_EQ(IdOf("3-1"), 4u);
}

TEST_F(DeviceModel, NewIdsTakeTheSmallestFreeNumber)
{
    StoredSettings settings;
    IdentityEntry one, three, dup;
    memset(one.digest, 1, 16);
    one.id = 1;
    memset(three.digest, 3, 16);
    three.id = 3;
    settings.identities = {one, three};
    Start(settings);
    Plug("1-1", "A");
    Plug("1-2", "B");
    EXPECT_EQ(IdOf("1-1"), 2u);
    EXPECT_EQ(IdOf("1-2"), 4u);

    std::vector<IdentityEntry> collected;
    core->CollectIdentities(&collected);
    ASSERT_EQ(collected.size(), 4u) << "slots without a record are written too";
    EXPECT_EQ(collected[0].id, 1u);
    EXPECT_EQ(collected[0].digest[0], 1);
    EXPECT_EQ(collected[2].id, 3u);
}

TEST_F(DeviceModel, DuplicateDigestsResolveToTheSmallerId)
{
    StoredSettings settings;
    IdentityEntry a, b;
    DigestFromHex("8af171dd6de5d065a183d4fd54f442a2", a.digest); // 1234:5678 "SN0001"
    memcpy(b.digest, a.digest, 16);
    a.id = 9;
    b.id = 5;
    settings.identities = {a, b};
    Start(settings);
    Plug("1-1", "SN0001");
    EXPECT_EQ(IdOf("1-1"), 5u);
    EXPECT_EQ(journal.saves, 0) << "a known id is not saved again";
}

// ---------------------------------------------------------------------------
// Arrival

TEST_F(DeviceModel, ArrivalCases)
{
    struct Case {
        const char* what;
        std::function<void(CSysfsTree::Device*)> edit;
        bool identityKnown;
        bool recorded;
        size_t debugLines;
    };
    const Case cases[] = {
        {"plain device", [](CSysfsTree::Device*) {}, true, true, 0},
        {"hub is ignored", [](CSysfsTree::Device* d) { d->deviceClass = 9; d->interfaces = {{9, 0, 0}}; }, true,
         false, 0},
        {"sysfs read fails", [](CSysfsTree::Device* d) { d->writeBcdDevice = false; }, true, false, 1},
        {"identity query fails", [](CSysfsTree::Device*) {}, false, false, 1},
    };
    int port = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        journal.Clear();
        CSysfsTree::Device d;
        d.busId = "4-" + std::to_string(port++);
        c.edit(&d);
        sysfs.Add(d);
        if (c.identityKnown) {
            std::lock_guard<std::mutex> hold(loader.lock);
            loader.identities[d.busId] = d.busId;
        }
        core->OnDeviceArrived(d.busId);
        EXPECT_EQ(IdOf(d.busId) != 0, c.recorded);
        EXPECT_EQ(journal.debugLines.size(), c.debugLines);
        EXPECT_EQ(journal.saves, c.recorded ? 1 : 0);
        EXPECT_EQ(journal.notifies, c.recorded ? 1 : 0);
    }
}

TEST_F(DeviceModel, ArrivalFillsTheRecord)
{
    Start();
    Plug("1-1", "SN0001");
    UsbDevice d = Record(IdOf("1-1"));
    EXPECT_EQ(d.state, DEVICE_STATE_PLUGGED);
    EXPECT_EQ(d.name, "ACME Mouse");
    EXPECT_EQ(d.instanceIdentity, "SN0001");
    EXPECT_EQ(d.resetMode, DEVICE_RESET_MODE_HARD);
    EXPECT_EQ(d.lastChange, 1000u);
    // Detected bits, remote wake-up (bmAttributes 0xa0), serial, reset mode.
    EXPECT_EQ(d.flags, 0x04000000u | 0x200 | 0x8 | 0x10 | 0x100);

    // A built-in quirk gives its reset mode; a device without serial and
    // without remote wake-up has neither bit.
    StoredSettings settings;
    settings.quirks = {{QUIRK_BUILT_IN | QUIRK_IGNORE_SERIAL, 0x6547, 0x0232, 1}};
    core.reset();
    Make();
    Start(settings);
    CSysfsTree::Device q;
    q.busId = "1-3";
    q.vendorId = 0x6547;
    q.productId = 0x0232;
    q.serial = "";
    q.bmAttributes = 0x80;
    Plug(q);
    d = Record(IdOf("1-3"));
    EXPECT_EQ(d.resetMode, 1);
    EXPECT_EQ(d.quirkFlags, QUIRK_BUILT_IN | QUIRK_IGNORE_SERIAL);
    EXPECT_EQ(d.flags, 0x04000000u | 0x200 | 0x100);
}

TEST_F(DeviceModel, DetectedBeforeReadyPluggedAfter)
{
    Start();
    owner.startupState = 40;
    Plug("1-1", "SN0001");
    owner.startupState = 100;
    Plug("1-2", "SN0002");
    std::string text = LogText();
    EXPECT_NE(text.find("USB device detected (ACME Mouse; VID 1234; PID 5678; Serial SN0001; Port 1-1).\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("USB device plugged (ACME Mouse; VID 1234; PID 5678; Serial SN0002; Port 1-2).\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(LogCount("USB device detected"), 1u);
}

TEST_F(DeviceModel, OneSavePerNewId)
{
    Start();
    Plug("1-1", "SN0001");
    EXPECT_EQ(journal.saves, 1);
    core->OnDeviceRemoved("1-1");
    Plug("1-1", "SN0001");
    Plug("1-1", "SN0001"); // reported again while present
    EXPECT_EQ(journal.saves, 1);
    EXPECT_EQ(journal.notifies, 4);
    Plug("1-2", "SN0002");
    EXPECT_EQ(journal.saves, 2);
}

TEST_F(DeviceModel, SharingFollowsTheModeAtDetection)
{
    Start();
    Plug("1-1", "SN0001");
    EXPECT_EQ(Record(IdOf("1-1")).state, DEVICE_STATE_PLUGGED);
    EnableAutoShare();
    Plug("1-2", "SN0002");
    UsbDevice d = Record(IdOf("1-2"));
    EXPECT_EQ(d.state, DEVICE_STATE_INITIALIZING);
    EXPECT_TRUE(d.flags & DEVICE_FLAG_AUTO_SHARED);
    // Already present devices are not touched by the mode change.
    EXPECT_EQ(Record(IdOf("1-1")).state, DEVICE_STATE_PLUGGED);
}

// ---------------------------------------------------------------------------
// Share life cycle through the events

TEST_F(DeviceModel, AutoSharedLifeCycleWithoutReservation)
{
    Start();
    EnableAutoShare();
    Plug("1-1", "SN0001");
    uint32_t id = IdOf("1-1");
    core->OnStubAttached("1-1");
    UsbDevice d = Record(id);
    EXPECT_EQ(d.state, DEVICE_STATE_SHARED);
    EXPECT_TRUE(core->HasStub(id));
    ASSERT_EQ(stubs.params.size(), 1u);
    EXPECT_EQ(stubs.params[0].stubNumber, 7);
    EXPECT_EQ(stubs.params[0].deviceId, id);
    EXPECT_EQ(stubs.params[0].resetMode, DEVICE_RESET_MODE_HARD);
    EXPECT_EQ(LogCount("USB device auto-shared (ACME Mouse; VID 1234; PID 5678; Serial SN0001; Port 1-1).\n"), 1u);
    EXPECT_EQ(NetEvents(), std::vector<std::string>{"net.available(1,0,0)"});

    // A client uses it and leaves.
    core->MakeInUse(id, 21, "10.0.0.5");
    journal.Clear();
    core->OnDataConnectionEnded(id);
    EXPECT_EQ(Record(id).state, DEVICE_STATE_SHARED);
    EXPECT_EQ(Record(id).flags & 0x1E000, 0u);
    EXPECT_EQ(NetEvents(), std::vector<std::string>{"net.available(1,0,0)"});
    EXPECT_EQ(LogCount("Client disconnected from USB device (10.0.0.5; ACME Mouse; VID 1234; PID 5678; "
                       "Serial SN0001; Port 1-1).\n"),
              1u);

    // It leaves: removed for the clients, unshared as it was auto-shared,
    // and forgotten as it has no settings of its own.
    journal.Clear();
    core->OnDeviceRemoved("1-1");
    EXPECT_EQ(stubs.destroyed, 1);
    EXPECT_EQ(stubs.stops, 1);
    EXPECT_EQ(NetEvents(), (std::vector<std::string>{"net.removed(1,0,0)", "net.unshared(1,0,0)"}));
    EXPECT_EQ(LogCount("USB device unplugged (ACME Mouse; VID 1234; PID 5678; Serial SN0001; Port 1-1).\n"), 1u);
    EXPECT_EQ(StateOf(id), -1);
    EXPECT_TRUE(core->HasSlot(id));
    EXPECT_EQ(journal.notifies, 1);
}

TEST_F(DeviceModel, AutoSharedLifeCycleWithReservation)
{
    Start();
    EnableAutoShare();
    Plug("1-1", "SN0001");
    uint32_t id = IdOf("1-1");
    PendingConnection reservation;
    reservation.connectionId = 7;
    reservation.kind = CONNECTION_KIND_TCP;
    reservation.address = ADDRESS("10.0.0.7");
    core->Reserve(id, reservation);
    journal.Clear();

    core->OnStubAttached("1-1");
    // The others see it taken by the reserving client; the reserver sees it
    // available.
    uint32_t flags = Record(id).flags;
    char expected[96];
    snprintf(expected, sizeof(expected), "net.inusedetails(1,7,2,0x%x,10.0.0.7)", SetClientKindFlags(flags, 32));
    EXPECT_EQ(NetEvents(), (std::vector<std::string>{expected, "net.available(1,7,1)"}));

    // The reserver's data connection ends: available to it only.
    core->MakeInUse(id, 7, "10.0.0.7");
    journal.Clear();
    core->OnDataConnectionEnded(id);
    EXPECT_EQ(NetEvents(), std::vector<std::string>{"net.available(1,7,1)"});

    journal.Clear();
    core->OnDeviceRemoved("1-1");
    EXPECT_EQ(NetEvents(), (std::vector<std::string>{"net.removed(1,0,0)", "net.unshared(1,7,2)"}));

    // The reservation then runs out with the record gone: the reserver alone
    // hears that the device is unshared.
    journal.Clear();
    clock += 30000;
    EXPECT_FALSE(core->ExpirePendingConnections());
    EXPECT_EQ(NetEvents(), (std::vector<std::string>{"net.unshared(1,7,1)", "net.release(7)"}));
}

TEST_F(DeviceModel, UserSharedDeviceStaysRememberedWhenUnplugged)
{
    StoredSettings settings;
    settings.devices = {RememberedShare("SN0001", "1-1")};
    Start(settings);
    uint32_t id = IdOf("1-1");
    ASSERT_NE(id, 0u);
    EXPECT_EQ(Record(id).state, DEVICE_STATE_NOT_PLUGGED);
    EXPECT_FALSE(Record(id).flags & DEVICE_FLAG_HIDDEN);

    Plug("1-1", "SN0001");
    EXPECT_EQ(IdOf("1-1"), id);
    EXPECT_EQ(Record(id).state, DEVICE_STATE_INITIALIZING);
    EXPECT_EQ(journal.saves, 0);
    core->OnStubAttached("1-1");
    EXPECT_EQ(LogCount("USB device shared (ACME Mouse; VID 1234; PID 5678; Serial SN0001; Port 1-1).\n"), 1u);

    journal.Clear();
    core->OnDeviceRemoved("1-1");
    EXPECT_EQ(NetEvents(), std::vector<std::string>{"net.removed(1,0,0)"}) << "a user's share is not unshared";
    UsbDevice d = Record(id);
    EXPECT_EQ(d.state, DEVICE_STATE_NOT_PLUGGED);
    EXPECT_EQ(d.shareMode, SHARE_MODE_USER);
    EXPECT_FALSE(d.flags & DEVICE_FLAG_HIDDEN);
}

TEST_F(DeviceModel, FailedStubLeavesTheDeviceInitializing)
{
    struct Case {
        const char* what;
        std::function<void()> arrange;
        const char* line;
    };
    const Case cases[] = {
        {"no stub number", [this] { std::lock_guard<std::mutex> h(loader.lock); loader.stubNumbers.clear(); },
         "USB device sharing failed, error 1117 module 0x0001 line "},
        {"stub cannot open", [this] { stubs.fail = true; },
         "USB device sharing failed, error 2 module 0x0009 line 42 (ACME Mouse; VID 1234; PID 5678; "
         "Serial SN0001; Port 1-1).\n"},
        {"out of memory", [this] { stubs.failBadAlloc = true; },
         "USB device sharing failed, not enough memory (ACME Mouse; VID 1234; PID 5678; Serial SN0001; "
         "Port 1-1).\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        core.reset();
        Make();
        Start();
        EnableAutoShare();
        stubs.fail = false;
        stubs.failBadAlloc = false;
        Plug("1-1", "SN0001");
        c.arrange();
        size_t before = LogCount("USB device sharing failed");
        core->OnStubAttached("1-1");
        uint32_t id = IdOf("1-1");
        EXPECT_EQ(Record(id).state, DEVICE_STATE_INITIALIZING);
        EXPECT_FALSE(core->HasStub(id));
        EXPECT_EQ(LogCount("USB device sharing failed"), before + 1);
        EXPECT_EQ(LogCount(c.line), 1u) << LogText();
        EXPECT_TRUE(NetEvents().empty());
    }
}

TEST_F(DeviceModel, StubForADeviceNotInitializingIsIgnored)
{
    Start();
    Plug("1-1", "SN0001"); // not shared: state 0
    core->OnStubAttached("1-1");
    core->OnStubAttached("9-9"); // unknown port
    EXPECT_EQ(Record(IdOf("1-1")).state, DEVICE_STATE_PLUGGED);
    EXPECT_EQ(stubs.made, 0);
    EXPECT_TRUE(NetEvents().empty());
}

// ---------------------------------------------------------------------------
// Removal and forgetting

TEST(DeviceModelRecord, CanForgetOnlyPlainUnsharedRecords)
{
    struct Case {
        const char* what;
        std::function<void(UsbDevice*)> edit;
        bool forget;
        bool hidden;
    };
    const Case cases[] = {
        {"defaults", [](UsbDevice*) {}, true, true},
        {"shared", [](UsbDevice* d) { d->shareMode = SHARE_MODE_USER; }, false, false},
        {"shared with option", [](UsbDevice* d) { d->shareMode = SHARE_MODE_USER_OPTION; }, false, false},
        {"excluded", [](UsbDevice* d) { d->shareMode = SHARE_MODE_EXCLUDED; }, false, false},
        {"nickname", [](UsbDevice* d) { d->nickname = "printer"; }, false, true},
        {"time-out", [](UsbDevice* d) { d->timeout = 60; }, false, true},
        {"reset mode", [](UsbDevice* d) { d->resetMode = 1; }, false, true},
        {"ACL mode", [](UsbDevice* d) { d->aclMode = 1; }, false, true},
        {"ACL rule", [](UsbDevice* d) { d->aclRules.push_back({"allow 10.0.0.1", {}}); }, false, true},
    };
    for (const Case& c : cases) {
        UsbDevice d;
        d.resetMode = DEVICE_RESET_MODE_HARD;
        d.flags = 0;
        c.edit(&d);
        EXPECT_EQ(d.CanForget(), c.forget) << c.what;
        EXPECT_EQ((d.flags & DEVICE_FLAG_HIDDEN) != 0, c.hidden) << c.what;
    }
}

TEST_F(DeviceModel, RemovalCases)
{
    Start();
    EnableAutoShare();
    Plug("1-1", "SN0001");
    uint32_t id = IdOf("1-1");
    core->OnStubAttached("1-1");

    // Unknown port and a record already unplugged: nothing at all.
    journal.Clear();
    core->OnDeviceRemoved("7-7");
    EXPECT_TRUE(journal.Events().empty());
    EXPECT_EQ(journal.notifies, 0);

    // A device connecting to a client: the attempt is cancelled.
    core->MakeConnecting(id, 33, CONNECTION_KIND_TCP, clock);
    core->OnDeviceRemoved("1-1");
    EXPECT_EQ(journal.Count("net.release(33)"), 1u);
    EXPECT_EQ(StateOf(id), -1);
    journal.Clear();
    core->OnDeviceRemoved("1-1");
    EXPECT_TRUE(journal.Events().empty());
}

TEST_F(DeviceModel, ConnectingDeviceRemovedKeepsError1236)
{
    StoredSettings settings;
    settings.devices = {RememberedShare("SN0001", "1-1")};
    Start(settings);
    Plug("1-1", "SN0001");
    uint32_t id = IdOf("1-1");
    core->OnStubAttached("1-1");
    core->MakeConnecting(id, 33, CONNECTION_KIND_TCP, clock);
    core->OnDeviceRemoved("1-1");
    UsbDevice d = Record(id);
    EXPECT_EQ(d.state, DEVICE_STATE_NOT_PLUGGED);
    EXPECT_EQ(d.lastError.GetError(), ERROR_CONNECTION_CANCELLED);
    EXPECT_EQ(d.lastError.GetModule(), MODULE_USBSERVERCORE);
    EXPECT_EQ(d.flags & 0x5E000, 0u) << "client kind cleared";
}

TEST_F(DeviceModel, SettingsSurviveUnplugAsHiddenRecord)
{
    StoredSettings settings;
    IdentityEntry known;
    DigestFromHex("8af171dd6de5d065a183d4fd54f442a2", known.digest);
    known.id = 4;
    settings.identities = {known};
    settings.nicknames = {{4, "desk mouse"}, {8, "no slot: dropped"}};
    settings.timeouts = {{4, 300}};
    Start(settings);
    EXPECT_TRUE(Record(4).flags & DEVICE_FLAG_HIDDEN);
    EXPECT_FALSE(core->HasSlot(8));

    Plug("1-1", "SN0001");
    UsbDevice d = Record(4);
    EXPECT_EQ(d.state, DEVICE_STATE_PLUGGED);
    EXPECT_EQ(d.nickname, "desk mouse");
    EXPECT_FALSE(d.flags & DEVICE_FLAG_HIDDEN);
    EXPECT_TRUE(d.flags & DEVICE_FLAG_NICKNAME);
    EXPECT_TRUE(d.flags & DEVICE_FLAG_TIMEOUT);

    core->OnDeviceRemoved("1-1");
    d = Record(4);
    EXPECT_EQ(d.state, DEVICE_STATE_NOT_PLUGGED);
    EXPECT_TRUE(d.flags & DEVICE_FLAG_HIDDEN);

    std::map<uint32_t, std::string> nicknames;
    std::map<uint32_t, uint32_t> timeouts;
    core->CollectNicknames(&nicknames);
    core->CollectTimeouts(&timeouts);
    EXPECT_EQ(nicknames, (std::map<uint32_t, std::string>{{4, "desk mouse"}}));
    EXPECT_EQ(timeouts, (std::map<uint32_t, uint32_t>{{4, 300}}));
}

// ---------------------------------------------------------------------------
// Expiry of connection attempts

TEST_F(DeviceModel, ConnectingDevicesExpireAfterTheLimit)
{
    struct Case {
        uint32_t start;
        const char* what;
    };
    const Case cases[] = {{1000, "plain"}, {0xFFFFF000u, "across the 32-bit wrap"}, {0xFFFFFFFFu, "at the top"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        core.reset();
        clock = c.start;
        Make();
        StoredSettings settings;
        settings.devices = {RememberedShare("SN0001", "1-1")};
        Start(settings);
        Plug("1-1", "SN0001");
        core->OnStubAttached("1-1");
        uint32_t id = IdOf("1-1");
        EXPECT_FALSE(core->ExpireConnectingDevices()) << "nothing to watch";
        core->MakeConnecting(id, 33, CONNECTION_KIND_TCP, c.start);
        journal.Clear();

        clock = c.start + 29999;
        EXPECT_TRUE(core->ExpireConnectingDevices()) << "still connecting keeps the worker ticking";
        EXPECT_EQ(Record(id).state, DEVICE_STATE_CONNECTING);
        EXPECT_EQ(journal.notifies, 0);

        clock = c.start + 30000;
        EXPECT_TRUE(core->ExpireConnectingDevices());
        UsbDevice d = Record(id);
        EXPECT_EQ(d.state, DEVICE_STATE_SHARED);
        EXPECT_EQ(d.lastError.GetError(), ERROR_CONNECTION_EXPIRED);
        EXPECT_EQ(d.lastChange, c.start + 30000);
        EXPECT_EQ(d.flags & 0x5E000, 0u);
        EXPECT_EQ(NetEvents(), (std::vector<std::string>{"net.release(33)", "net.available(1,0,0)"}));
        EXPECT_EQ(journal.notifies, 1);
        EXPECT_FALSE(core->ExpireConnectingDevices());
    }
}

// ---------------------------------------------------------------------------
// Faults

// A remembered record on the same port must not hide the device that is
// plugged in there now.
TEST_F(DeviceModel, StubAttachesToThePresentDeviceNotARememberedOne)
{
    StoredSettings settings;
    settings.devices = {RememberedShare("OLDSERIAL", "1-1")};
    Start(settings);
    uint32_t remembered = IdOf("1-1");
    EnableAutoShare();
    Plug("1-1", "NEWSERIAL");
    uint32_t present = IdOf("1-1");
    ASSERT_NE(present, remembered);
    ASSERT_LT(remembered, present) << "the remembered record comes first in the map";
    core->OnStubAttached("1-1");
    EXPECT_EQ(Record(present).state, DEVICE_STATE_SHARED);
    EXPECT_TRUE(core->HasStub(present));
    EXPECT_EQ(Record(remembered).state, DEVICE_STATE_NOT_PLUGGED);
    EXPECT_FALSE(core->HasStub(remembered));

    // Removal finds the present one too.
    core->OnDeviceRemoved("1-1");
    EXPECT_EQ(stubs.destroyed, 1);
}

TEST_F(DeviceModel, DuplicateSerialsGetTwoRecords)
{
    Start();
    EnableAutoShare();
    Plug("1-1", "DUP");
    Plug("1-2", "DUP");
    uint32_t first = IdOf("1-1");
    uint32_t second = IdOf("1-2");
    ASSERT_NE(first, 0u);
    ASSERT_NE(second, 0u);
    EXPECT_NE(first, second);
    EXPECT_EQ(Record(first).state, DEVICE_STATE_INITIALIZING);
    EXPECT_EQ(Record(second).state, DEVICE_STATE_INITIALIZING);
    EXPECT_EQ(journal.saves, 2);

    core->OnStubAttached("1-1");
    core->OnStubAttached("1-2");
    EXPECT_TRUE(core->HasStub(first));
    EXPECT_TRUE(core->HasStub(second));
    core->OnDeviceRemoved("1-2");
    EXPECT_TRUE(core->HasStub(first)) << "the other device is untouched";
    EXPECT_EQ(stubs.destroyed, 1);
}

TEST_F(DeviceModel, RepeatedArrivalDoesNotResetASharedOrUsedDevice)
{
    Start();
    EnableAutoShare();
    Plug("1-1", "SN0001");
    uint32_t id = IdOf("1-1");
    core->OnStubAttached("1-1");
    core->OnDeviceArrived("1-1");
    EXPECT_EQ(Record(id).state, DEVICE_STATE_SHARED);
    EXPECT_TRUE(core->HasStub(id));

    core->MakeInUse(id, 21, "10.0.0.5");
    core->OnDeviceArrived("1-1");
    EXPECT_EQ(Record(id).state, DEVICE_STATE_IN_USE);
    EXPECT_EQ(Record(id).clientConnectionId, 21u);
    EXPECT_EQ(stubs.destroyed, 0);
    EXPECT_EQ(stubs.made, 1);
}

TEST_F(DeviceModel, DescriptorBlockIsCopiedByItsRealLength)
{
    Start();
    Plug("1-1", "SN0001");
    uint32_t id = IdOf("1-1");
    // A configuration descriptor: bLength 9, type 2 (first u16 0x0209),
    // wTotalLength 34.
    std::vector<uint8_t> config(34, 0xAB);
    config[0] = 9;
    config[1] = 2;
    config[2] = 34;
    config[3] = 0;

    struct Case {
        const char* what;
        std::vector<uint8_t> block;
        bool ok;
    };
    std::vector<uint8_t> shortTotal = config;
    shortTotal[2] = 40; // says more than the driver returned
    std::vector<uint8_t> longTotal = config;
    longTotal[2] = 20; // says less
    const Case cases[] = {
        {"too short", {9, 2, 3}, false},
        {"empty", {}, false},
        {"length above the block", shortTotal, false},
        {"length below the block", longTotal, false},
        {"matching", config, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        {
            std::lock_guard<std::mutex> hold(loader.lock);
            loader.descriptors["1-1"] = c.block;
        }
        std::vector<uint8_t> out;
        if (c.ok) {
            core->GetDeviceData(id, &out);
            EXPECT_EQ(out, config);
        } else {
            try {
                core->GetDeviceData(id, &out);
                ADD_FAILURE() << "accepted";
            } catch (CExceptionEx* error) {
                EXPECT_EQ(error->GetModule(), MODULE_USBSERVERCORE);
                EXPECT_EQ(error->GetError(), static_cast<uint32_t>(EPROTO));
                delete error;
            }
            EXPECT_TRUE(Record(id).descriptors.empty()) << "a bad block is not kept";
        }
    }
    // Kept until the device leaves.
    journal.Clear();
    std::vector<uint8_t> again;
    core->GetDeviceData(id, &again);
    EXPECT_EQ(again, config);
    EXPECT_EQ(journal.Count("loader.GetDescriptors"), 0u);

    core->OnDeviceRemoved("1-1");
    struct Error {
        uint32_t id;
        std::vector<uint8_t>* out;
        uint32_t error;
    };
    std::vector<uint8_t> out;
    const Error errors[] = {{id, nullptr, ERROR_INVALID_PARAMETER}, {99, &out, ERROR_UNKNOWN_DEVICE}};
    for (const Error& e : errors) {
        try {
            core->GetDeviceData(e.id, e.out);
            ADD_FAILURE() << e.error;
        } catch (CExceptionEx* error) {
            EXPECT_EQ(error->GetError(), e.error);
            delete error;
        }
    }
}

TEST_F(DeviceModel, ExcludingAnInitializingDeviceHandsItBack)
{
    struct Case {
        const char* what;
        int rebindResult;
        int state;
        uint32_t error; // 0: success
    };
    const Case cases[] = {
        {"rebind accepted", 0, DEVICE_STATE_PLUGGED, 0},
        {"device gone meanwhile", -ENODEV, DEVICE_STATE_PLUGGED, 0},
        {"kernel refuses", -EIO, DEVICE_STATE_DEINITIALIZING, ERROR_NEEDS_REPLUG},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        core.reset();
        Make();
        Start();
        EnableAutoShare();
        loader.rebindResult = c.rebindResult;
        Plug("1-1", "SN0001");
        uint32_t id = IdOf("1-1");
        ASSERT_EQ(Record(id).state, DEVICE_STATE_INITIALIZING);
        journal.Clear();
        loader.ruleSets.clear();
        try {
            core->SetDeviceExcluded(id, true, true);
            EXPECT_EQ(c.error, 0u);
        } catch (CExceptionEx* error) {
            EXPECT_EQ(error->GetError(), c.error);
            delete error;
        }
        UsbDevice d = Record(id);
        EXPECT_EQ(d.shareMode, SHARE_MODE_EXCLUDED);
        EXPECT_EQ(d.state, c.state);
        EXPECT_EQ(journal.Count("loader.Rebind(1-1)"), 1u);
        EXPECT_EQ(journal.Count("net.unshared(1,0,0)"), 1u);
        // The driver is told to leave the device alone.
        ASSERT_FALSE(loader.ruleSets.empty());
        const LoaderRule& rule = loader.ruleSets.back()[0];
        EXPECT_EQ(rule.flags, 0x10000003u | LOADER_RULE_LEAVE);
        EXPECT_EQ(rule.instanceIdentity, "SN0001");

        // A stub that still appears for it is ignored.
        core->OnStubAttached("1-1");
        EXPECT_FALSE(core->HasStub(id));
        EXPECT_EQ(stubs.made, 0);
    }
}

TEST_F(DeviceModel, ExclusionOfAPlainDeviceOnlyMarksIt)
{
    Start();
    Plug("1-1", "SN0001");
    uint32_t id = IdOf("1-1");
    core->SetDeviceExcluded(id, true, true);
    EXPECT_EQ(Record(id).shareMode, SHARE_MODE_EXCLUDED);
    EXPECT_EQ(Record(id).state, DEVICE_STATE_PLUGGED);
    EXPECT_EQ(journal.Count("loader.Rebind"), 0u);
    EXPECT_EQ(LogCount("USB device added to exclusions by user (ACME Mouse; VID 1234; PID 5678; Serial SN0001; "
                       "Port 1-1).\n"),
              1u);
    struct Case {
        bool exclude;
        uint32_t error;
    };
    for (Case c : {Case{true, ERROR_ALREADY_INITIALIZED}}) {
        try {
            core->SetDeviceExcluded(id, c.exclude, true);
            ADD_FAILURE();
        } catch (CExceptionEx* error) {
            EXPECT_EQ(error->GetError(), c.error);
            delete error;
        }
    }
    core->SetDeviceExcluded(id, false, true);
    EXPECT_EQ(Record(id).shareMode, SHARE_MODE_NONE);
    EXPECT_EQ(LogCount("USB device removed from exclusions by user"), 1u);
}

// ---------------------------------------------------------------------------
// The daemon's wiring: the core object with the production server core on
// the simulated stub driver; its network parts do not exist yet.

namespace {

class CProductionServerFactory : public CFakeFactory {
public:
    using CFakeFactory::CFakeFactory;
    CUsbServerCore* CreateServerCore(CUsbCore* core) override { return CreateDeviceServerCore(core); }
};

} // namespace

TEST(DeviceModelWiring, DaemonCoreStartsAndStopsWithTheProductionParts)
{
    CTempDir sysfs;
    ravelsim::RavelSim sim(sysfs.Path() + "/devices/");
    sim.Install();
    usbSysfsRoot = sim.SysfsRoot().c_str();
    CoreJournal journal;
    CProductionServerFactory factory(&journal);
    auto core = std::make_unique<CUsbCore>(nullptr, &factory);
    core->Start();
    EXPECT_EQ(core->GetStartupState(), STARTUP_READY);
    EXPECT_EQ(sim.ClaimRules().size(), 1u) << "the catch-all rule";

    sim.SetClaimRulesRefused(true);
    struct Request {
        const char* what;
        std::function<void()> run;
        uint32_t error;
    };
    const Request requests[] = {
        {"auto sharing", [&] { core->SetAutoShareMode(1); }, ERROR_DRIVER_REFUSED},
        {"share unknown", [&] { core->ShareDevice(1, 0); }, ERROR_UNKNOWN_DEVICE},
        {"exclude unknown", [&] { core->AddExclusion(0, 1); }, ERROR_UNKNOWN_DEVICE},
        {"data of unknown", [&] { std::vector<uint8_t> b; core->GetDeviceData(1, &b); }, ERROR_UNKNOWN_DEVICE},
        {"IPv6 listen address", [&] { core->SetListenAddress(ADDRESS("::1")); }, ERROR_INVALID_PARAMETER},
        {"connect unknown", [&] { core->ConnectDevice(1, 1); }, ERROR_UNKNOWN_DEVICE},
    };
    for (const Request& r : requests) {
        try {
            r.run();
            ADD_FAILURE() << r.what;
        } catch (CExceptionEx* error) {
            EXPECT_EQ(error->GetError(), r.error) << r.what;
            EXPECT_EQ(error->GetModule(), MODULE_USBSERVERCORE) << r.what;
            delete error;
        }
    }
    // The whole state is collected and written back as it was read.
    core->SaveConfig();
    ASSERT_EQ(journal.written.size(), 1u);
    EXPECT_EQ(journal.written[0].tcpPort, journal.fileContents.tcpPort);
    EXPECT_EQ(journal.written[0].snapshotDevices.size(), 0u);
    core.reset();
    usbSysfsRoot = USB_SYSFS_ROOT;
}

// ---------------------------------------------------------------------------
// Share and unshare requests as far as the model carries them

TEST_F(DeviceModel, ShareRequests)
{
    struct Case {
        const char* what;
        std::function<uint32_t(DeviceModel*)> arrange; // returns the id to share
        int rebindResult;
        bool rulesAccepted;
        uint32_t error;     // 0: success
        int state;          // afterwards
        const char* line;   // expected event-log fragment
    };
    const Case cases[] = {
        {"plugged device", [](DeviceModel* f) { f->Plug("1-1"); return f->IdOf("1-1"); }, 0, true, 0,
         DEVICE_STATE_INITIALIZING,
         "USB device shared by user (ACME Mouse; VID 1234; PID 5678; Serial SN0001; Port 1-1).\n"},
        {"device left meanwhile", [](DeviceModel* f) { f->Plug("1-1"); return f->IdOf("1-1"); }, -ENODEV, true,
         0, DEVICE_STATE_INITIALIZING, "USB device shared by user ("},
        {"kernel refuses the rebind", [](DeviceModel* f) { f->Plug("1-1"); return f->IdOf("1-1"); }, -EBUSY,
         true, ERROR_NEEDS_REPLUG, DEVICE_STATE_INITIALIZING,
         "USB device shared by user, but requires physical re-plug to complete sharing process (ACME Mouse; "},
        {"driver refuses the rules", [](DeviceModel* f) { f->Plug("1-1"); return f->IdOf("1-1"); }, 0, false,
         ERROR_DRIVER_REFUSED, DEVICE_STATE_PLUGGED, "USB device sharing failed, error 1117 module 0x0001 line "},
        {"excluded",
         [](DeviceModel* f) {
             f->Plug("1-1");
             f->core->SetDeviceExcluded(f->IdOf("1-1"), true, false);
             return f->IdOf("1-1");
         },
         0, true, ERROR_ACCESS_DENIED_EXCLUDED, DEVICE_STATE_PLUGGED, "USB device sharing failed, error 3 "},
        {"not plugged",
         [](DeviceModel* f) {
             f->Plug("1-1");
             uint32_t id = f->IdOf("1-1");
             f->core->WithDevice(id, [](UsbDevice* d) { d->state = DEVICE_STATE_NOT_PLUGGED; });
             return id;
         },
         0, true, ERROR_DEVICE_NOT_PRESENT, DEVICE_STATE_NOT_PLUGGED, "USB device sharing failed, error 1351 "},
        {"still being handed back",
         [](DeviceModel* f) {
             f->Plug("1-1");
             uint32_t id = f->IdOf("1-1");
             f->core->WithDevice(id, [](UsbDevice* d) { d->state = DEVICE_STATE_DEINITIALIZING; });
             return id;
         },
         0, true, ERROR_DEVICE_NOT_PRESENT, DEVICE_STATE_DEINITIALIZING, "USB device sharing failed, error 1351 "},
        {"unknown id", [](DeviceModel*) { return 77u; }, 0, true, ERROR_UNKNOWN_DEVICE, -1,
         "USB device sharing failed, error 1354 module 0x0001 line "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        core.reset();
        Make();
        loader.claimRulesResult = true; // a start with refused rules fails
        Start();
        loader.rebindResult = c.rebindResult;
        loader.claimRulesResult = c.rulesAccepted;
        uint32_t id = c.arrange(this);
        journal.Clear();
        size_t linesBefore = LogCount(c.line);
        size_t failuresBefore = LogCount("USB device sharing failed");
        try {
            core->ShareDevice(id, 0, true);
            EXPECT_EQ(c.error, 0u);
        } catch (CExceptionEx* error) {
            EXPECT_EQ(error->GetError(), c.error);
            delete error;
        }
        EXPECT_EQ(StateOf(id), c.state);
        EXPECT_EQ(LogCount(c.line), linesBefore + 1) << LogText();
        bool failureLine = c.error != 0 && c.error != ERROR_NEEDS_REPLUG;
        EXPECT_EQ(LogCount("USB device sharing failed"), failuresBefore + (failureLine ? 1 : 0));
    }
    // A second share is "already done"; option 1 gives share mode 3.
    core.reset();
    Make();
    Start();
    loader.rebindResult = 0;
    loader.claimRulesResult = true;
    Plug("1-1");
    uint32_t id = IdOf("1-1");
    core->ShareDevice(id, 1, true);
    EXPECT_EQ(Record(id).shareMode, SHARE_MODE_USER_OPTION);
    try {
        core->ShareDevice(id, 0, true);
        ADD_FAILURE();
    } catch (CExceptionEx* error) {
        EXPECT_EQ(error->GetError(), ERROR_ALREADY_INITIALIZED);
        delete error;
    }
}

TEST_F(DeviceModel, UnshareHandsTheDeviceBack)
{
    struct Case {
        const char* what;
        bool autoShare;
        bool connecting;
        uint8_t shareMode; // afterwards
    };
    const Case cases[] = {
        {"user share, auto sharing off", false, false, SHARE_MODE_NONE},
        {"auto-shared: goes on the exclusion list", true, false, SHARE_MODE_EXCLUDED},
        {"connecting client is cancelled", false, true, SHARE_MODE_NONE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        core.reset();
        Make();
        StoredSettings settings;
        if (!c.autoShare)
            settings.devices = {RememberedShare("SN0001", "1-1")};
        settings.autoShare = c.autoShare ? 1 : 0;
        Start(settings);
        Plug("1-1");
        uint32_t id = IdOf("1-1");
        core->OnStubAttached("1-1");
        ASSERT_TRUE(core->HasStub(id));
        if (c.connecting)
            core->MakeConnecting(id, 44, CONNECTION_KIND_TCP, clock);
        journal.Clear();
        int destroyed = stubs.destroyed;
        core->UnshareDevice(id, true);
        UsbDevice d = Record(id);
        EXPECT_EQ(d.state, DEVICE_STATE_PLUGGED);
        EXPECT_EQ(d.shareMode, c.shareMode);
        EXPECT_FALSE(core->HasStub(id));
        EXPECT_EQ(stubs.destroyed, destroyed + 1);
        EXPECT_EQ(journal.Count("loader.Rebind(1-1)"), 1u);
        EXPECT_EQ(journal.Count("net.unshared(" + std::to_string(id) + ",0,0)"), 1u);
        EXPECT_EQ(journal.Count("net.release(44)"), c.connecting ? 1u : 0u);
        if (c.connecting) {
            EXPECT_EQ(d.lastError.GetError(), ERROR_CONNECTION_CANCELLED);
        }
        EXPECT_GE(LogCount("USB device unshared by user (ACME Mouse; VID 1234; PID 5678; Serial SN0001; "
                           "Port 1-1).\n"),
                  1u);
        try {
            core->UnshareDevice(id, true);
            ADD_FAILURE() << "second unshare accepted";
        } catch (CExceptionEx* error) {
            EXPECT_EQ(error->GetError(), ERROR_ALREADY_INITIALIZED);
            delete error;
        }
    }
}

TEST_F(DeviceModel, ShutdownUnsharesEveryStub)
{
    Start();
    EnableAutoShare();
    Plug("1-1", "SN0001");
    Plug("1-2", "SN0002");
    core->OnStubAttached("1-1");
    core->OnStubAttached("1-2");
    core->MakeConnecting(IdOf("1-2"), 12, CONNECTION_KIND_TCP, clock);
    journal.Clear();
    core.reset();
    EXPECT_EQ(stubs.destroyed, 2);
    EXPECT_EQ(LogCount("USB device unshared due to service shutting down (ACME Mouse; VID 1234; PID 5678; "
                       "Serial SN0001; Port 1-1).\n"),
              1u);
    EXPECT_EQ(LogCount("USB device unshared due to service shutting down"), 2u);
    EXPECT_EQ(journal.Count("net.release(12)"), 1u);
    EXPECT_EQ(journal.Count("loader.Rebind"), 2u);
    EXPECT_EQ(journal.Count("net.removed"), 0u) << "no device events at shutdown";
}

TEST_F(DeviceModel, AutoShareModeLine)
{
    const std::pair<uint32_t, const char*> cases[] = {
        {0, "Disabled"}, {1, "Enabled"}, {2, "Enabled Until Restart"}, {5, "Unknown"}};
    for (const auto& [mode, name] : cases) {
        core->SetAutoShareMode(mode);
        EXPECT_EQ(LogCount(std::string("Auto sharing mode changed to ") + name + "\n"), 1u) << mode;
        EXPECT_EQ(core->GetAutoShareMode(), mode);
    }
    // Mode 5 counts as on: the catch-all rule claims.
    EXPECT_EQ(loader.ruleSets.back().back().flags, LOADER_RULE_CLAIM);
}

// ---------------------------------------------------------------------------
// The driver holding what the model does not share

TEST_F(DeviceModel, StubOfADeviceNotToBeSharedIsHandedBackOnce)
{
    Start();
    Plug("1-1", "SN0001"); // not shared: state 0
    // A claim rule took it all the same (the catch-all of an earlier
    // automatic sharing, say): the driver reports its stub device.
    journal.Clear();
    core->OnStubAttached("1-1");
    EXPECT_EQ(journal.Count("loader.Rebind(1-1)"), 1u);
    // A driver that claims it again is not asked in a loop.
    core->OnStubAttached("1-1");
    EXPECT_EQ(journal.Count("loader.Rebind(1-1)"), 1u);
    EXPECT_EQ(Record(IdOf("1-1")).state, DEVICE_STATE_PLUGGED);
    EXPECT_EQ(stubs.made, 0);
    EXPECT_TRUE(NetEvents().empty());
    // After a new arrival the device may be handed back once more.
    core->OnDeviceRemoved("1-1");
    Plug("1-1", "SN0001");
    core->OnStubAttached("1-1");
    EXPECT_EQ(journal.Count("loader.Rebind(1-1)"), 2u);
}

TEST_F(DeviceModel, ExcludedWhileInitializingTheStubThatArrivesLateIsHandedBack)
{
    Start();
    EnableAutoShare();
    loader.rebindResult = -EIO; // the exclusion's own hand-back fails
    Plug("1-1", "SN0001");
    uint32_t id = IdOf("1-1");
    try {
        core->SetDeviceExcluded(id, true, false);
    } catch (CExceptionEx* error) {
        delete error;
    }
    // The driver had claimed it before the rules changed: its stub appears.
    loader.rebindResult = 0;
    core->WithDevice(id, [](UsbDevice* d) { d->state = DEVICE_STATE_INITIALIZING; });
    journal.Clear();
    core->OnStubAttached("1-1");
    EXPECT_EQ(journal.Count("loader.Rebind(1-1)"), 1u);
    EXPECT_EQ(stubs.made, 0);
    EXPECT_EQ(Record(id).state, DEVICE_STATE_PLUGGED);
}

TEST_F(DeviceModel, RefusedClaimRulesLeaveNoShareBehind)
{
    Start();
    Plug("1-1", "SN0001");
    uint32_t id = IdOf("1-1");
    loader.claimRulesResult = false;
    try {
        core->ShareDevice(id, 0, true);
        ADD_FAILURE() << "shared with the rules refused";
    } catch (CExceptionEx* error) {
        EXPECT_EQ(error->GetError(), ERROR_DRIVER_REFUSED);
        delete error;
    }
    EXPECT_EQ(Record(id).shareMode, SHARE_MODE_NONE);
    EXPECT_EQ(Record(id).state, DEVICE_STATE_PLUGGED);
    // The retry does the share instead of answering "already done".
    loader.claimRulesResult = true;
    core->ShareDevice(id, 1, true);
    EXPECT_EQ(Record(id).shareMode, SHARE_MODE_USER_OPTION);
    EXPECT_EQ(Record(id).state, DEVICE_STATE_INITIALIZING);
}

namespace {

// An owner whose NotifyListeners can be held shut, to keep the worker inside
// a step.
class CGatedOwner : public CFakeOwner {
public:
    using CFakeOwner::CFakeOwner;
    void NotifyListeners() override
    {
        CFakeOwner::NotifyListeners();
        std::unique_lock<std::mutex> hold(lock);
        if (!closed)
            return;
        entered = true;
        changed.notify_all();
        changed.wait(hold, [&] { return !closed; });
    }
    std::mutex lock;
    std::condition_variable changed;
    bool closed = false;
    bool entered = false;
};

class CShortJoinDeps : public CFakeDeps {
public:
    using CFakeDeps::CFakeDeps;
    int GetWorkerJoinMs() override { return 50; }
};

} // namespace

using namespace std::chrono_literals;

TEST(DeviceModelWorker, WorkerThatOutlastsTheJoinIsLeftRunning)
{
    CTempDir logDir;
    CEventLog log(logDir.File("calvixd.log").c_str());
    ModelJournal journal;
    CGatedOwner owner(&journal, &log);
    LoaderScript loader;
    StubScript stubs;
    std::atomic<uint32_t> clock{1000};
    CSysfsTree sysfs;
    CSysfsTree::Device device;
    device.busId = "1-1";
    sysfs.Add(device);
    loader.identities["1-1"] = "SN0001";
    loader.stubNumbers["1-1"] = 7;
    size_t abandonedBefore = CThreadReaper::GetAbandonedCount();

    auto core = std::make_unique<CTestServerCore>(
        std::make_unique<CShortJoinDeps>(&owner, sysfs.Root(), &loader, &stubs, &journal, &clock));
    core->Start(StoredSettings());
    core->SetAutoShareMode(1);
    core->OnDeviceArrived("1-1");
    core->OnStubAttached("1-1");
    uint32_t id = 1;
    core->MakeConnecting(id, 5, CONNECTION_KIND_TCP, clock.load());
    clock += 40000;
    {
        std::lock_guard<std::mutex> hold(owner.lock);
        owner.closed = true;
    }
    // The worker expires the connection attempt and stops in the notice.
    core->Wake();
    {
        std::unique_lock<std::mutex> hold(owner.lock);
        ASSERT_TRUE(owner.changed.wait_for(hold, 10s, [&] { return owner.entered; }));
    }
    std::thread destroy([&] { core.reset(); });
    ASSERT_TRUE(testwait::waitUntil(
        [&] {
            std::lock_guard<std::mutex> hold(journal.lock);
            for (const std::string& line : journal.debugLines) {
                if (line.rfind("1:", 0) == 0 && line.find(":1460") != std::string::npos)
                    return true;
            }
            return false;
        },
        10s));
    {
        std::lock_guard<std::mutex> hold(owner.lock);
        owner.closed = false;
    }
    owner.changed.notify_all();
    destroy.join();
    // Joined late or handed to the reaper: either way, once it has ended,
    // nothing of it is left.
    EXPECT_TRUE(testwait::waitUntil(
        [&] {
            CThreadReaper::Sweep();
            return CThreadReaper::GetAbandonedCount() == abandonedBefore;
        },
        10s));
}

// ---------------------------------------------------------------------------
// State snapshot

namespace {

ConnectionSnapshot OpenConnection(uint32_t id, const char* address, uint16_t port, const char* name, uint8_t platform,
                                  uint32_t callbackFlags = 0)
{
    ConnectionSnapshot c;
    c.state = 0;
    c.kind = CONNECTION_KIND_TCP;
    c.clientAddress = ADDRESS(address);
    c.connectionId = id;
    c.platformCode = platform;
    c.port = port;
    c.clientName = name;
    c.callbackFlags = callbackFlags;
    c.lastError = CExceptionEx(2, 9, 0);
    return c;
}

std::string Describe(const ConnectionInfo& c)
{
    ADDRESS address(c.address);
    ADDRESS listen(c.listenAddress);
    std::ostringstream text;
    text << std::hex << c.id << " state " << c.state << " platform " << c.platformCode << " " << c.name << " "
         << (address.IsValid() ? address.ToString() : "-") << ":" << std::dec << c.port << " listen "
         << (listen.IsValid() ? listen.ToString() : "-") << " flags " << std::hex << c.flags << " error "
         << c.lastError.GetModule() << "/" << c.lastError.GetLine() << "/" << c.lastError.GetError() << " "
         << c.fixedWord;
    return text.str();
}

} // namespace

TEST_F(DeviceModel, SnapshotConnectionsListenersThenCallbacksThenClients)
{
    StoredSettings settings;
    settings.tcpPort = 32032;
    settings.ipFilterMode = FILTER_MODE_DENY;
    settings.callbacks = {
        {0xC0000005, "127.0.0.1", 32032, 0x23},
        {0xC0000006, "h2", 1, 0x22},
        {5, "not dialled", 2, 0x20}, // without [callback] the entry is not used
    };
    journal.connections = {
        OpenConnection(0x80000001, "127.0.0.2", 40000, "", 0x20),
        OpenConnection(0xC0000005, "127.0.0.1", 32032, "", 0x10),
        OpenConnection(0xC0000009, "127.0.0.3", 5, "cb", 0x10, 0x21),
    };
    Start(settings);
    std::vector<ConnectionInfo> connections;
    EXPECT_TRUE(core->CollectState(nullptr, &connections, nullptr));
    std::vector<std::string> got;
    for (const ConnectionInfo& c : connections)
        got.push_back(Describe(c));
    const std::vector<std::string> expected = {
        // Filter mode deny: no filter bit on the TCP entry; the pipe always
        // shows "disabled".
        "0 state 0 platform 90 0.0.0.0 -:32032 listen 0.0.0.0 flags 20 error 1/0/0 ffffffff",
        "0 state 6 platform 90 calvixdvc.pipe -:0 listen - flags 14 error 2/46/1f ffffffff",
        // A connected callback takes its connection's state, and that
        // connection is not listed again.
        "c0000005 state 0 platform 10 127.0.0.1 127.0.0.1:32032 listen - flags 23 error 2/9/0 ffffffff",
        "c0000006 state 1 platform 0 h2 -:1 listen - flags 22 error 1/0/0 ffffffff",
        "80000001 state 0 platform 20 127.0.0.2 127.0.0.2:40000 listen - flags 420 error 1/0/0 ffffffff",
        "c0000009 state 0 platform 10 cb 127.0.0.3:5 listen - flags 23 error 1/0/0 ffffffff",
    };
    EXPECT_EQ(got, expected);

    core->SetAutoShareMode(1);
    connections.clear();
    core->CollectState(nullptr, &connections, nullptr);
    ASSERT_GE(connections.size(), 2u);
    EXPECT_EQ(connections[0].flags, 0x21u);
    EXPECT_EQ(connections[1].flags, 0x15u);
}

TEST_F(DeviceModel, SnapshotDevicesSkipHiddenAndNameTheirClients)
{
    StoredSettings settings;
    IdentityEntry known;
    DigestFromHex("8af171dd6de5d065a183d4fd54f442a2", known.digest); // 1234:5678 "SN0001"
    known.id = 4;
    IdentityEntry unplugged;
    memset(unplugged.digest, 7, 16);
    unplugged.id = 6;
    settings.identities = {known, unplugged};
    settings.aclModes = {{4, FILTER_MODE_DENY}};
    settings.aclRules = {{4, {"127.0.0.9"}}};
    settings.nicknames = {{6, "only a setting"}};
    settings.devices = {RememberedShare("SN9", "", SHARE_KIND_EXCLUDED)};
    Start(settings);
    Plug("1-1", "SN0001");
    ASSERT_EQ(IdOf("1-1"), 4u);
    core->MakeInUse(4, 0x80000001, "127.0.0.2");
    journal.connectionNames[0x80000001] = "desk";

    std::vector<DeviceInfo> devices;
    std::vector<DeviceClientInfo> clients;
    EXPECT_TRUE(core->CollectState(&devices, nullptr, &clients));
    ASSERT_EQ(devices.size(), 2u) << "the record that only carries a nickname is hidden";
    // In id order: the remembered device got its id at start.
    EXPECT_EQ(devices[0].state, DEVICE_STATE_NOT_PLUGGED);
    EXPECT_EQ(devices[0].flags & 0x2u, 0x2u) << "excluded";
    EXPECT_EQ(devices[0].clientConnectionId, 0u);
    EXPECT_EQ(devices[1].id, 4u);
    EXPECT_EQ(devices[1].state, DEVICE_STATE_IN_USE);
    EXPECT_EQ(devices[1].clientConnectionId, 0x80000001u);
    EXPECT_EQ(devices[1].flags & DEVICE_FLAG_ACL, DEVICE_FLAG_ACL);
    EXPECT_EQ(devices[1].flags & 0x2u, 0u);
    ASSERT_EQ(clients.size(), 1u);
    EXPECT_EQ(clients[0].deviceId, 4u);
    EXPECT_EQ(clients[0].clientName, "desk");
    EXPECT_STREQ(ADDRESS(clients[0].clientAddress).ToString(), "127.0.0.2");

    // The name, once known, stays with the device.
    clients.clear();
    devices.clear();
    core->CollectState(&devices, nullptr, &clients);
    EXPECT_EQ(journal.nameLookups, 1);
    EXPECT_EQ(Record(4).clientName, "desk");

    std::map<uint32_t, uint8_t> modes;
    std::map<uint32_t, std::vector<std::string>> rules;
    core->CollectDeviceAcls(&modes, &rules);
    EXPECT_EQ(modes[4], FILTER_MODE_DENY);
    EXPECT_EQ(rules[4], std::vector<std::string>{"127.0.0.9"});
}

// After the stop event the snapshot reports itself incomplete, so nothing
// is saved from it.
TEST_F(DeviceModel, SnapshotAfterStopIsIncomplete)
{
    Start();
    Plug("1-1", "SN0001");
    core->RaiseStop();
    std::vector<DeviceInfo> devices;
    std::vector<ConnectionInfo> connections;
    EXPECT_FALSE(core->CollectState(&devices, &connections, nullptr));
    EXPECT_TRUE(devices.empty());
}

// Two stored settings for one device id: the first identify entry keeps the
// id; of two "usbdevice=" lines for one device, and of two nicknames or
// time-outs for one id, the later one wins.
TEST_F(DeviceModel, DuplicateStoredSettingsForOneId)
{
    StoredSettings settings;
    IdentityEntry first, second;
    DigestFromHex("8af171dd6de5d065a183d4fd54f442a2", first.digest); // 1234:5678 "SN0001"
    memset(second.digest, 9, 16);
    first.id = second.id = 4;
    settings.identities = {first, second};
    ConfiguredDevice shared = RememberedShare("SN7", "", SHARE_KIND_SHARED);
    shared.name = "first line";
    ConfiguredDevice excluded = RememberedShare("SN7", "", SHARE_KIND_EXCLUDED);
    excluded.name = "second line";
    settings.devices = {shared, excluded};
    std::string text = "[USB device nicknames section]\nnickname=00000004:old;\nnickname=00000004:new;\n"
                       "[USB device inactivity timeouts section]\ntimeout=00000004:10;\ntimeout=00000004:20;\n";
    CConfigParser::ParseText(text.data(), text.size(), &settings);
    Start(settings);

    Plug("1-1", "SN0001");
    EXPECT_EQ(IdOf("1-1"), 4u);
    UsbDevice d = Record(4);
    EXPECT_EQ(d.nickname, "new");
    EXPECT_EQ(d.timeout, 20u);
    bool found = false;
    for (auto& [id, state] : core->States()) {
        UsbDevice r = Record(id);
        if (r.serial == "SN7") {
            EXPECT_FALSE(found) << "one record for both lines";
            found = true;
            EXPECT_EQ(r.name, "second line");
            EXPECT_EQ(r.shareMode, SHARE_MODE_EXCLUDED);
        }
    }
    EXPECT_TRUE(found);
}
