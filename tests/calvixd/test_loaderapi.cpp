// The stub driver's control device, the stub devices and the uevent
// listener against the simulated driver, in a private network namespace
// (the simulated driver's uevents go out on the real netlink socket).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "calvixd/net/loaderapi.h"
#include "calvixd/net/ravelblocks.h"
#include "calvixd/net/ravelsys.h"
#include "calvixd/net/stubapi.h"
#include "tests/calvixd/tempdir.h"
#include "tests/support/ravelsim.h"
#include "tests/support/wait.h"

using namespace std::chrono_literals;

namespace {

bool EnterPrivateNetworkNamespace()
{
    static bool entered = unshare(CLONE_NEWNET) == 0;
    return entered;
}

// Records what the control device reports.
class CEventRecorder : public CLoaderEvents {
public:
    void OnDeviceArrived(const std::string& busId) override { Add("arrived " + busId); }
    void OnStubAttached(const std::string& busId) override { Add("attached " + busId); }
    void OnDeviceRemoved(const std::string& busId) override { Add("removed " + busId); }
    void LogDebug(uint16_t module, uint32_t line, uint32_t error) override
    {
        Add("debug " + std::to_string(module) + ":" + std::to_string(line) + ":" + std::to_string(error));
    }
    std::vector<std::string> Events()
    {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_events;
    }
    bool WaitFor(const std::string& event)
    {
        return testwait::waitUntil(
            [&] {
                auto all = Events();
                return std::find(all.begin(), all.end(), event) != all.end();
            },
            5s);
    }
    void Clear()
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_events.clear();
    }

private:
    void Add(const std::string& event)
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_events.push_back(event);
    }
    std::mutex m_lock;
    std::vector<std::string> m_events;
};

// The control device with its uevent handler open to the test.
class CTestLoader : public CLoaderApiKmod {
public:
    using CLoaderApiKmod::CLoaderApiKmod;
    using CLoaderApiKmod::OnUEvent;
};

// Sits between the daemon and the simulated driver: a test may answer an
// ioctl itself (a driver that misbehaves) or move a descriptor above 1023.
struct Interposer {
    static RavelSys simTable;
    static std::function<int(int, unsigned long, void*)> ioctl; // null: the driver answers
    static int highFd;                                          // a high alias of a driver descriptor
    static int lowFd;

    static int Open(const char* path, int flags)
    {
        int fd = simTable.open(path, flags);
        if (fd < 0 || highFd != -2)
            return fd;
        // The driver's descriptor gets an alias above FD_SETSIZE.
        int high = fcntl(fd, F_DUPFD_CLOEXEC, 1500);
        if (high < 0)
            return fd;
        highFd = high;
        lowFd = fd;
        return high;
    }
    static int Low(int fd) { return fd == highFd ? lowFd : fd; }
    static int Close(int fd)
    {
        if (fd == highFd) {
            close(highFd);
            highFd = -1;
        }
        return simTable.close(Low(fd));
    }
    static int Ioctl(int fd, unsigned long request, void* argument)
    {
        if (ioctl) {
            int result = ioctl(Low(fd), request, argument);
            if (result != INT32_MIN)
                return result;
        }
        return simTable.ioctl(Low(fd), request, argument);
    }
    static ssize_t ReadProcDevices(char* buffer, size_t size) { return simTable.readProcDevices(buffer, size); }
};
RavelSys Interposer::simTable;
std::function<int(int, unsigned long, void*)> Interposer::ioctl;
int Interposer::highFd = -1;
int Interposer::lowFd = -1;
const RavelSys INTERPOSED = {Interposer::Open, Interposer::Close, Interposer::Ioctl, Interposer::ReadProcDevices};

class RavelDriver : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0 || !EnterPrivateNetworkNamespace())
            GTEST_SKIP() << "needs root for a private network namespace";
        sim = std::make_unique<ravelsim::RavelSim>(dir.Path() + "/devices/");
        sim->Install();
        Interposer::simTable = *ravelSys;
        Interposer::ioctl = nullptr;
        Interposer::highFd = -1;
        ravelSys = &INTERPOSED;
    }
    void TearDown() override
    {
        // Stopped first, as its owner does: the listener calls into the
        // object until it is joined.
        if (loader)
            loader->Stop();
        loader.reset();
        sim.reset(); // points ravelSys back at the kernel
    }
    void Make() { loader = std::make_unique<CTestLoader>(&events, sim->SysfsRoot()); }
    // Claims every device.
    void ClaimAll()
    {
        LoaderRule all;
        all.flags = LOADER_RULE_CLAIM;
        ASSERT_TRUE(loader->SetClaimRules({all}));
    }
    static ravelsim::SimDevice Device(const std::string& busId, const std::string& serial = "")
    {
        ravelsim::SimDevice d;
        d.busId = busId;
        d.serial = serial;
        return d;
    }
    // Delivers a kernel message straight to the handler.
    void Deliver(std::initializer_list<std::string> parts)
    {
        std::string text;
        for (const std::string& part : parts) {
            text += part;
            text.push_back('\0');
        }
        UEvent event;
        ASSERT_TRUE(event.Parse(text.data(), text.size())) << text;
        loader->OnUEvent(event);
    }

    CTempDir dir;
    std::unique_ptr<ravelsim::RavelSim> sim;
    CEventRecorder events;
    std::unique_ptr<CTestLoader> loader;
};

const std::string USB = "/devices/pci0000:00/0000:00:14.0/usb1/";
const std::string NODE = "/devices/virtual/raveld_cdev/raveld_cdev_";

} // namespace

TEST_F(RavelDriver, MissingDriverFailsConstruction)
{
    sim->SetDriverPresent(false);
    try {
        Make();
        ADD_FAILURE() << "made without a driver";
    } catch (CExceptionEx* error) {
        EXPECT_EQ(error->GetModule(), MODULE_LOADERAPIKMOD);
        EXPECT_EQ(error->GetError(), static_cast<uint32_t>(ENODEV));
        delete error;
    }
}

TEST_F(RavelDriver, ControlNodeThatAppearsLateIsOpened)
{
    sim->SetControlNodeDelayMs(2000);
    Make();
    std::vector<uint8_t> block = BuildEmptyBlock();
    EXPECT_TRUE(loader->ClearQuirks());
}

TEST_F(RavelDriver, ControlBlocksReachTheDriverAsLaidOut)
{
    Make();
    LoaderRule excluded;
    excluded.flags = 0x10000003 | LOADER_RULE_LEAVE;
    excluded.vendorId = 0x1234;
    excluded.productId = 0x5678;
    excluded.instanceIdentity = "1-1";
    LoaderRule catchAll;
    catchAll.flags = LOADER_RULE_CLAIM;
    ASSERT_TRUE(loader->SetClaimRules({excluded, catchAll}));
    auto rules = sim->ClaimRules();
    ASSERT_EQ(rules.size(), 2u);
    EXPECT_EQ(rules[0].flags, 0x50000003u);
    EXPECT_EQ(rules[0].identity, "1-1");
    EXPECT_EQ(rules[0].vendorId, 0x1234);
    EXPECT_EQ(rules[1].flags, LOADER_RULE_CLAIM);
    EXPECT_EQ(sim->LastBlock(RAVEL_SET_CLAIM_RULES), BuildClaimRulesBlock({excluded, catchAll}));

    ASSERT_TRUE(loader->SetQuirks({{0x1234, 0x5678, 2}, {0x1, 0x2, 3}, {0x3, 0x4, 2}}));
    EXPECT_EQ(sim->Quirks().size(), 3u);
    EXPECT_EQ(sim->LastBlock(RAVEL_SET_QUIRKS).size(), 92u);
    EXPECT_TRUE(loader->ClearClaimRules());
    EXPECT_TRUE(loader->ClearQuirks());
    EXPECT_TRUE(sim->ClaimRules().empty());
    EXPECT_TRUE(sim->Quirks().empty());

    sim->SetClaimRulesRefused(true);
    EXPECT_FALSE(loader->SetClaimRules({catchAll}));
}

TEST_F(RavelDriver, IdentityTextIsTheSerialOrTheBusId)
{
    Make();
    sim->Plug(Device("1-1", "SN0001"));
    sim->Plug(Device("1-2"));
    ravelsim::SimDevice ignored = Device("1-3", "SN0003");
    ignored.vendorId = 0x6547;
    ignored.productId = 0x0232;
    sim->Plug(ignored);
    ASSERT_TRUE(loader->SetQuirks({{0x6547, 0x0232, 2}}));
    struct Case {
        const char* busId;
        const char* identity;
    };
    for (const Case& c : {Case{"1-1", "SN0001"}, Case{"1-2", "1-2"}, Case{"1-3", "1-3"}}) {
        std::string text;
        ASSERT_TRUE(loader->QueryDeviceString(c.busId, &text)) << c.busId;
        EXPECT_EQ(text, c.identity);
    }
    std::string text;
    EXPECT_FALSE(loader->QueryDeviceString("9-9", &text));
}

TEST_F(RavelDriver, QueryTextEndsAtTheBlock)
{
    Make();
    sim->Plug(Device("1-1", "SN0001"));
    // A driver that writes 257 text bytes without a terminator.
    Interposer::ioctl = [](int, unsigned long request, void* argument) {
        if (request != RAVEL_QUERY_DEVICE_STRING)
            return INT32_MIN;
        memset(static_cast<uint8_t*>(argument) + 40, 'A', 257);
        return 0;
    };
    std::string text;
    ASSERT_TRUE(loader->QueryDeviceString("1-1", &text));
    EXPECT_EQ(text, std::string(256, 'A'));
}

TEST_F(RavelDriver, DescriptorsAreAskedForByTheirOwnLength)
{
    Make();
    sim->Plug(Device("1-1"));
    sim->ClearIoctlLog();
    std::vector<uint8_t> block;
    ASSERT_EQ(loader->GetDescriptors("1-1", &block), 0);
    EXPECT_EQ(block.size(), 34u);
    EXPECT_EQ(DescriptorBlockLength(block.data(), block.size()), 34u);
    EXPECT_EQ(sim->IoctlLog(),
              (std::vector<std::string>{"ctl 0x40cd size 49 -> 0", "ctl 0x40cd size 74 -> 0"}));
    EXPECT_EQ(loader->GetDescriptors("9-9", &block), -ENODEV);
}

TEST_F(RavelDriver, DescriptorLengthsTheDriverMakesUpFail)
{
    Make();
    sim->Plug(Device("1-1"));
    struct Case {
        const char* what;
        std::function<uint16_t(int)> total; // per round
        int requests;
    };
    const Case cases[] = {
        {"below a configuration descriptor", [](int) { return 8; }, 1},
        {"zero", [](int) { return 0; }, 1},
        {"a new length each round", [](int round) { return static_cast<uint16_t>(20 + round); }, 4},
        {"settles on the third change", [](int round) { return static_cast<uint16_t>(round < 3 ? 20 + round : 22); },
         -4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        int round = 0;
        Interposer::ioctl = [&](int, unsigned long request, void* argument) {
            if (request != RAVEL_GET_DESCRIPTORS)
                return INT32_MIN;
            uint8_t* data = static_cast<uint8_t*>(argument) + 40;
            uint16_t total = c.total(round++);
            data[2] = static_cast<uint8_t>(total);
            data[3] = static_cast<uint8_t>(total >> 8);
            return 0;
        };
        std::vector<uint8_t> block;
        int result = loader->GetDescriptors("1-1", &block);
        if (c.requests > 0) {
            EXPECT_EQ(result, -EPROTO);
            EXPECT_EQ(round, c.requests);
        } else {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(round, -c.requests);
            EXPECT_EQ(block.size(), 22u);
        }
    }
}

TEST_F(RavelDriver, UeventSourceMasks)
{
    Make();
    struct Step {
        std::vector<std::string> message; // header first
        std::vector<std::string> reported;
    };
    auto usb = [](const char* action, const std::string& path) {
        return std::vector<std::string>{std::string(action) + "@" + path, std::string("ACTION=") + action,
                                        "DEVPATH=" + path, "SUBSYSTEM=usb"};
    };
    auto stub = [](const char* action, int number, const std::string& busId, bool suppress) {
        std::string path = NODE + std::to_string(number);
        std::vector<std::string> m = {std::string(action) + "@" + path, std::string("ACTION=") + action,
                                      "DEVPATH=" + path, "SUBSYSTEM=raveld_cdev", "raveld_cdev_TYPE=stub",
                                      "raveld_cdev_DEV=" + USB + busId};
        if (suppress)
            m.push_back("raveld_cdev_SUPPRESS=true");
        return m;
    };
    const std::vector<Step> steps = {
        // A device path alone reports nothing; its interface does.
        {usb("add", USB + "1-1"), {}},
        {usb("add", USB + "1-1/1-1:1.0"), {"arrived 1-1"}},
        {usb("add", USB + "1-1/1-1:1.1"), {}},
        // The driver with SUPPRESS stands for both sources.
        {stub("add", 12, "1-1", true), {}},
        {stub("online", 12, "1-1", false), {"attached 1-1"}},
        {stub("online", 12, "1-1", false), {}},
        {usb("remove", USB + "1-1"), {}},
        {stub("offline", 12, "1-1", false), {}},
        {stub("remove", 12, "1-1", true), {"removed 1-1"}},
        // Without SUPPRESS the USB subsystem's removal is needed too.
        {usb("add", USB + "1-2/1-2:1.0"), {"arrived 1-2"}},
        {stub("add", 3, "1-2", false), {}},
        {stub("online", 3, "1-2", false), {"attached 1-2"}},
        {stub("remove", 3, "1-2", false), {}},
        {usb("remove", USB + "1-2"), {"removed 1-2"}},
        // The driver's add is the first report of a device.
        {stub("add", 4, "1-3", false), {"arrived 1-3"}},
        {usb("change", USB + "1-3/1-3:1.0"), {}},
        {{"add@/x", "ACTION=add", "DEVPATH=/x", "SUBSYSTEM=raveld_cdev", "raveld_cdev_TYPE=other",
          "raveld_cdev_DEV=" + USB + "1-9"},
         {}},
        {{"add@/x", "ACTION=add", "DEVPATH=/x", "SUBSYSTEM=block"}, {}},
    };
    for (size_t i = 0; i < steps.size(); i++) {
        SCOPED_TRACE("step " + std::to_string(i) + " " + steps[i].message[0]);
        events.Clear();
        std::string text;
        for (const std::string& part : steps[i].message) {
            text += part;
            text.push_back('\0');
        }
        UEvent event;
        ASSERT_TRUE(event.Parse(text.data(), text.size()));
        loader->OnUEvent(event);
        EXPECT_EQ(events.Events(), steps[i].reported);
    }
    EXPECT_EQ(loader->GetStubNumber("1-1"), -1);
    EXPECT_EQ(loader->GetStubNumber("1-3"), -1);
}

TEST_F(RavelDriver, StartUpScanReportsAndRebindsEveryDeviceButHubs)
{
    Make();
    ravelsim::SimDevice hub = Device("1-1");
    hub.deviceClass = 9;
    hub.interfaces = {{9, 0, 0}};
    sim->Plug(hub);
    sim->Plug(Device("1-1.2", "SN2"));
    sim->Plug(Device("2-1"));
    ClaimAll();
    sim->ClearIoctlLog();
    loader->Start();
    std::vector<std::string> arrived;
    for (const std::string& e : events.Events()) {
        if (e.rfind("arrived", 0) == 0)
            arrived.push_back(e);
    }
    std::sort(arrived.begin(), arrived.end());
    EXPECT_EQ(arrived, (std::vector<std::string>{"arrived 1-1.2", "arrived 2-1"}));
    // A hub that were re-probed would drop every device behind it.
    EXPECT_EQ(sim->StubNumber("1-1"), -1);
    size_t rebinds = 0;
    for (const std::string& line : sim->IoctlLog())
        rebinds += line.rfind("ctl 0x40cc", 0) == 0;
    EXPECT_EQ(rebinds, 2u);
    // Both were claimed: their stubs come online through the listener.
    EXPECT_TRUE(events.WaitFor("attached 1-1.2"));
    EXPECT_TRUE(events.WaitFor("attached 2-1"));
    EXPECT_GE(loader->GetStubNumber("1-1.2"), 1);
    EXPECT_NE(loader->GetStubNumber("1-1.2"), loader->GetStubNumber("2-1"));
}

TEST_F(RavelDriver, PlugClaimHandBackAndUnplugThroughRealUevents)
{
    Make();
    loader->Start();
    ClaimAll();
    sim->Plug(Device("1-4", "SN4"));
    EXPECT_TRUE(events.WaitFor("arrived 1-4"));
    EXPECT_TRUE(events.WaitFor("attached 1-4"));
    EXPECT_EQ(loader->GetStubNumber("1-4"), sim->StubNumber("1-4"));

    // Rules that leave it: the Rebind hands it back; the device stays.
    LoaderRule leave;
    leave.flags = LOADER_RULE_LEAVE;
    ASSERT_TRUE(loader->SetClaimRules({leave}));
    ASSERT_EQ(loader->Rebind("1-4"), 0);
    EXPECT_TRUE(testwait::waitUntil([&] { return loader->GetStubNumber("1-4") == -1; }, 5s));
    sim->Unplug("1-4");
    EXPECT_TRUE(events.WaitFor("removed 1-4"));
    EXPECT_EQ(loader->Rebind("1-4"), -ENODEV);
    sim->SetRebindBusy(true);
    sim->Plug(Device("1-5"));
    EXPECT_EQ(loader->Rebind("1-5"), -EBUSY);
}

TEST_F(RavelDriver, ListenerOnADescriptorAbove1023)
{
    // Descriptors up to 1100 taken: the listener's socket is numbered above
    // what select() can watch.
    struct rlimit limit;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    struct rlimit raised = {4096, std::max<rlim_t>(limit.rlim_max, 4096)};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    std::vector<int> fillers;
    for (int fd = open("/dev/null", O_RDONLY | O_CLOEXEC); fd >= 0 && fd < 1100;
         fd = open("/dev/null", O_RDONLY | O_CLOEXEC))
        fillers.push_back(fd);
    Make();
    loader->Start();
    ClaimAll();
    sim->Plug(Device("1-6"));
    EXPECT_TRUE(events.WaitFor("attached 1-6"));
    loader->Stop();
    loader.reset();
    for (int fd : fillers)
        close(fd);
}

TEST_F(RavelDriver, StopListenerIsQuickAndOnce)
{
    Make();
    loader->Start();
    auto begin = std::chrono::steady_clock::now();
    loader->Stop();
    // Bounded by one 20 ms slice; a loose limit for loaded machines.
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
    // Stop, then the destructor: the thread is joined once and its socket
    // closed once (a second close could hit a reused number).
    int probe = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(probe, 0);
    loader.reset();
    EXPECT_EQ(fcntl(probe, F_GETFD), FD_CLOEXEC) << "the probe descriptor was closed by the listener";
    close(probe);
}

// ---------------------------------------------------------------------------
// Stub devices

class StubDevice : public RavelDriver {
protected:
    void SetUp() override
    {
        RavelDriver::SetUp();
        if (IsSkipped())
            return;
        Make();
        ClaimAll();
        sim->Plug(Device("1-1", "SN1"));
        ASSERT_EQ(sim->StubNumber("1-1"), 1) << "stubs are numbered from 1";
    }
    std::vector<uint8_t> Message(size_t length, int32_t status, uint32_t kind = 0)
    {
        std::vector<uint8_t> m(length, 0xEE);
        WriteU32(&m[12], kind);
        WriteU32(&m[16], static_cast<uint32_t>(status));
        return m;
    }
};

TEST_F(StubDevice, BufferBounds)
{
    CStubApiKmod stub(1);
    struct Case {
        size_t size, head, tail;
        bool accepted;
    };
    const Case cases[] = {
        {32, 8, 0, true}, {31, 8, 0, false}, {64, 64, 0, false}, {64, 0, 64, false},
        {64, 32, 32, false}, {64, 20, 20, true}, {64, 20, 21, false}, {24, 0, 0, true},
    };
    for (const Case& c : cases) {
        uint8_t* buffer = stub.AllocReadBuffer(c.size, c.head, c.tail);
        EXPECT_EQ(buffer != nullptr, c.accepted) << c.size << "/" << c.head << "/" << c.tail;
        if (buffer) {
            EXPECT_EQ(stub.GetReadMessage(), buffer + c.head);
            EXPECT_EQ(stub.GetReadCapacity(), c.size - c.head - c.tail);
        }
    }
    uint8_t* write = stub.AllocWriteBuffer(32, 8, 0);
    EXPECT_EQ(write, stub.GetWriteBuffer());
    EXPECT_EQ(stub.GetWriteCapacity(), 24u);
}

TEST_F(StubDevice, ReadsMapStatusAndGrowOnDemand)
{
    CStubApiKmod stub(1);
    ASSERT_TRUE(stub.AllocReadBuffer(8 + 64, 8, 0));
    EXPECT_EQ(stub.WaitReadable(nullptr, 0), SYNC_TIMEOUT);
    EXPECT_EQ(stub.ReadMessage(), STUB_READ_NONE);
    for (auto [driver, client] : {std::pair<int32_t, uint32_t>{-32, 11}, {15, 15}, {1, 16}, {-71, 13}}) {
        ASSERT_TRUE(sim->PushMessage("1-1", Message(40, driver)));
        ASSERT_EQ(stub.WaitReadable(nullptr, 5000), SYNC_OK);
        ASSERT_EQ(stub.ReadMessage(), STUB_READ_OK);
        EXPECT_EQ(ReadU32(stub.GetReadMessage() + 16), client) << driver;
        EXPECT_EQ(ReadU32(stub.GetReadMessage() + 8), 40u);
    }
    // Larger than the buffer: the needed length comes back, the message stays.
    ASSERT_TRUE(sim->PushMessage("1-1", Message(100, 0)));
    ASSERT_EQ(stub.ReadMessage(), STUB_READ_TOO_SMALL);
    EXPECT_EQ(ReadU32(stub.GetReadMessage() + 8), 100u);
    ASSERT_TRUE(stub.AllocReadBuffer(8 + 100, 8, 0));
    // ERESTART is answered by asking again.
    sim->FailNextStubIoctlWithRestart();
    ASSERT_EQ(stub.ReadMessage(), STUB_READ_OK);
    EXPECT_EQ(stub.WaitReadable(nullptr, 0), SYNC_TIMEOUT);
    CEvent abort;
    abort.Set();
    EXPECT_EQ(stub.WaitReadable(&abort, -1), SYNC_ABORTED);
}

TEST_F(StubDevice, MessageLengthsTheDriverMakesUpFail)
{
    CStubApiKmod stub(1);
    ASSERT_TRUE(stub.AllocReadBuffer(8 + 64, 8, 0));
    for (uint32_t length : {0u, 23u, 65u, 0xFFFFFFFFu}) {
        Interposer::ioctl = [length](int, unsigned long request, void* argument) {
            if (request != RAVEL_READ_MESSAGE)
                return INT32_MIN;
            WriteU32(static_cast<uint8_t*>(argument) + 8, length);
            return 0;
        };
        EXPECT_EQ(stub.ReadMessage(), STUB_READ_FAILED) << length;
    }
    Interposer::ioctl = nullptr;
}

TEST_F(StubDevice, WritesAndSettersUseTheirBlocks)
{
    CStubApiKmod stub(1);
    ASSERT_TRUE(stub.AllocWriteBuffer(8 + 32, 8, 0));
    memset(stub.GetWriteMessage(), 0, 32);
    WriteU32(stub.GetWriteMessage() + 8, 32);
    EXPECT_EQ(stub.WriteMessage(), STUB_WRITE_OK);
    WriteU32(stub.GetWriteMessage() + 8, 33); // beyond the buffer: not sent
    EXPECT_EQ(stub.WriteMessage(), STUB_WRITE_FAILED);
    sim->FailNextStubIoctlWithRestart();
    WriteU32(stub.GetWriteMessage() + 8, 24);
    EXPECT_EQ(stub.WriteMessage(), STUB_WRITE_OK);
    EXPECT_EQ(stub.FlushRequests(), 0);
    EXPECT_TRUE(stub.SetFlags(0x11));
    EXPECT_TRUE(stub.SetResetMode(3));
    sim->ClearIoctlLog();
    EXPECT_FALSE(stub.SetResetMode(4));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_TRUE(sim->IoctlLog().empty()) << "an invalid mode reaches no driver";
    EXPECT_TRUE(stub.NeedsReset());
    sim->SetNeedsReset(false);
    EXPECT_FALSE(stub.NeedsReset());
    EXPECT_TRUE(stub.ResetDevice());
    ravelsim::SimStub seen = sim->Stub("1-1");
    EXPECT_EQ(seen.written.size(), 2u);
    EXPECT_EQ(seen.flushes, 1);
    EXPECT_EQ(seen.resets, 1);
    EXPECT_EQ(seen.resetMode, 3);
    EXPECT_EQ(seen.flags, 0x11u);
}

TEST_F(StubDevice, NodeThatAppearsLateIsOpened)
{
    sim->SetStubNodeDelayMs(2000);
    sim->Plug(Device("1-2"));
    int number = sim->StubNumber("1-2");
    ASSERT_EQ(number, 2);
    CStubApiKmod stub(static_cast<uint32_t>(number));
    EXPECT_EQ(stub.FlushRequests(), 0);
}

TEST_F(StubDevice, WaitsOnADescriptorAbove1023)
{
    Interposer::highFd = -2; // the next open gets a high alias
    CStubApiKmod stub(1);
    ASSERT_GE(Interposer::highFd, 1024);
    ASSERT_TRUE(stub.AllocReadBuffer(8 + 64, 8, 0));
    EXPECT_EQ(stub.WaitReadable(nullptr, 0), SYNC_TIMEOUT);
    ASSERT_TRUE(sim->PushMessage("1-1", Message(32, 0)));
    EXPECT_EQ(stub.WaitReadable(nullptr, 5000), SYNC_OK);
    EXPECT_EQ(stub.ReadMessage(), STUB_READ_OK);
}

TEST_F(RavelDriver, SimulatedDriverChecksEveryBlock)
{
    sim->Plug(Device("1-1"));
    int control = ravelSys->open("/dev/raveld_cdev_0", O_RDWR);
    ASSERT_GE(control, 0);
    struct Case {
        unsigned long request;
        std::vector<uint8_t> block;
        int result;
    };
    auto sized = [](uint32_t size, size_t length) {
        std::vector<uint8_t> b(length, 0);
        WriteU32(b.data(), size);
        return b;
    };
    std::vector<uint8_t> rebind = BuildDeviceBlock("1-1", 0);
    std::vector<uint8_t> unknown = BuildDeviceBlock("9-9", 0);
    std::vector<uint8_t> query = BuildDeviceBlock("1-1", 256);
    std::vector<uint8_t> rules = sized(8, 8);
    WriteU32(&rules[4], 1); // one rule announced, none there
    const Case cases[] = {
        {RAVEL_CLEAR_CLAIM_RULES, sized(4, 4), 0},  {RAVEL_CLEAR_CLAIM_RULES, sized(8, 8), -EINVAL},
        {RAVEL_CLEAR_QUIRKS, sized(5, 8), -EINVAL}, {RAVEL_REBIND, rebind, 0},
        {RAVEL_REBIND, unknown, -ENODEV},           {RAVEL_REBIND, sized(41, 48), -EINVAL},
        {RAVEL_QUERY_DEVICE_STRING, query, -EINVAL}, {RAVEL_SET_QUIRKS, sized(36, 36), -EINVAL},
        {RAVEL_SET_CLAIM_RULES, rules, -EINVAL},    {0x40CA, sized(4, 4), -ENOTTY},
        {RAVEL_READ_MESSAGE, sized(4, 64), -ENOTTY},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> block = c.block;
        EXPECT_EQ(ravelSys->ioctl(control, c.request, block.data()), c.result) << std::hex << c.request;
    }
    EXPECT_EQ(ravelSys->close(control), 0);
}

TEST_F(StubDevice, SimulatedStubChecksEveryBlock)
{
    int fd = ravelSys->open("/dev/raveld_cdev_1", O_RDWR);
    ASSERT_GE(fd, 0);
    auto sized = [](uint32_t size, size_t length) {
        std::vector<uint8_t> b(length, 0);
        WriteU32(b.data(), size);
        return b;
    };
    std::vector<uint8_t> shortRead(32, 0);
    WriteU32(&shortRead[8], 20); // less than a message header offered
    const std::pair<unsigned long, std::vector<uint8_t>> cases[] = {
        {RAVEL_FLUSH_REQUESTS, sized(8, 8)},    {RAVEL_SET_RESET_MODE, sized(4, 8)},
        {RAVEL_SET_FLAGS, sized(12, 12)},       {RAVEL_RESET_DEVICE, sized(8, 8)},
        {RAVEL_NEEDS_RESET, sized(4, 8)},       {RAVEL_READ_MESSAGE, shortRead},
    };
    for (const auto& [request, original] : cases) {
        std::vector<uint8_t> block = original;
        EXPECT_EQ(ravelSys->ioctl(fd, request, block.data()), -EINVAL) << std::hex << request;
    }
    std::vector<uint8_t> block = sized(4, 4);
    EXPECT_EQ(ravelSys->ioctl(fd, 0x40A3, block.data()), -ENOTTY);
    EXPECT_EQ(ravelSys->ioctl(fd, RAVEL_SET_CLAIM_RULES, block.data()), -ENOTTY);
    EXPECT_EQ(ravelSys->close(fd), 0);
}
