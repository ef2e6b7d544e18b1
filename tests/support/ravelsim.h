// A user-space model of the `ravel` stub driver behind calvixd's driver seam
// (RavelSys), written from the driver's block layouts and independent of the
// daemon's encoders:
//
//   - /proc/devices carries "240 raveld_cdev" while the driver is present;
//     the control node "/dev/raveld_cdev_0" and one stub node
//     "/dev/raveld_cdev_N" per claimed device (N from 1, the smallest free
//     number) open as real descriptors (eventfds) that poll(2) wakes when
//     the stub holds a message for the daemon.
//   - every ioctl checks its block's size word: a size that does not fit
//     the request fails EINVAL, an unknown request ENOTTY; a bus id naming
//     no plugged device fails ENODEV.
//   - claim rules are kept as parsed and evaluated on plug and on Rebind:
//     the first rule whose criteria all match decides (claim or leave); with
//     no rule a device is left to the host.
//   - a device's identity text is its serial, or exactly its bus id when it
//     has none or an IgnoreSerial quirk names its ids.
//   - real uevents go out on the kernel's netlink group 1 of the caller's
//     network namespace (a test runs in a private one): plug sends "add" of
//     the device and of each interface (SUBSYSTEM usb); a claim sends the
//     stub's "add" and "online" (SUBSYSTEM raveld_cdev, raveld_cdev_TYPE
//     stub, raveld_cdev_DEV the device's path, DEVPATH ending in
//     raveld_cdev/raveld_cdev_N); a hand-back sends "offline" and "remove";
//     unplug hands back, then removes the interfaces and the device.
//   - each plugged device has its sysfs directory (and its interfaces') under
//     the root given to the constructor, in the kernel's formats ("%04x\n",
//     "%02x\n", "%d\n", text lines).
//
// One RavelSim is installed at a time (Install sets ravelSys). Every call is
// thread-safe.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace ravelsim {

struct SimDevice {
    std::string busId = "1-1";
    uint16_t vendorId = 0x1234;
    uint16_t productId = 0x5678;
    uint16_t bcdDevice = 0x0100;
    uint8_t deviceClass = 0;
    uint8_t subClass = 0;
    uint8_t protocol = 0;
    // One class triple per interface of configuration 1.
    std::vector<std::array<uint8_t, 3>> interfaces = {{3, 1, 2}};
    std::string manufacturer = "ACME";
    std::string product = "Mouse";
    std::string serial; // empty: the device has none
    std::string speed = "480";
    // The configuration block GetDescriptors hands out; empty: a 34-byte
    // block (configuration, interface, HID, endpoint) is made.
    std::vector<uint8_t> descriptors;
};

// One claim rule as the driver parsed it.
struct SimRule {
    uint32_t flags = 0;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t bcdDevice = 0;
    uint8_t deviceClass = 0;
    uint8_t subClass = 0;
    uint8_t protocol = 0;
    std::string port;
    std::string serial;
    std::string identity;
};

struct SimQuirk {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint32_t flags = 0;
};

// What the driver knows of one stub device.
struct SimStub {
    int number = -1;
    std::string busId;
    int flushes = 0;
    int resets = 0;
    int resetMode = -1;
    uint32_t flags = 0;
    std::vector<std::vector<uint8_t>> written; // messages the daemon wrote
};

class RavelSim {
public:
    // sysfsRoot: the directory that stands for /sys/bus/usb/devices/ (made
    // when missing; ends with '/').
    explicit RavelSim(const std::string& sysfsRoot);
    ~RavelSim();
    RavelSim(const RavelSim&) = delete;
    RavelSim& operator=(const RavelSim&) = delete;

    // Points ravelSys at this model; the destructor points it back.
    void Install();
    const std::string& SysfsRoot() const { return m_root; }

    // Knobs.
    void SetDriverPresent(bool present);
    // The control node exists only this long after the model was made.
    void SetControlNodeDelayMs(int ms);
    // A stub node exists only this long after its "online" event.
    void SetStubNodeDelayMs(int ms);
    void SetClaimRulesRefused(bool refused);
    void SetQuirksRefused(bool refused);
    // Rebind fails EBUSY (and changes nothing).
    void SetRebindBusy(bool busy);
    // The next ioctl on a stub node fails ERESTART once.
    void FailNextStubIoctlWithRestart();
    // The stub driver's "add" carries raveld_cdev_SUPPRESS=true.
    void SetSuppress(bool suppress);
    // What NeedsReset answers.
    void SetNeedsReset(bool needs);
    // Every message the daemon writes to a stub comes straight back to be
    // read (a looped-back device) instead of being kept in `written`.
    void SetEcho(bool echo);

    // The bus.
    void Plug(const SimDevice& device);
    // False when no device has the bus id.
    bool Unplug(const std::string& busId);
    // Queues a message the driver has for the daemon on the device's stub;
    // false when the device has none. Its length word (offset 8) is set to
    // its size.
    bool PushMessage(const std::string& busId, std::vector<uint8_t> message);

    // Observers.
    std::vector<SimRule> ClaimRules();
    std::vector<SimQuirk> Quirks();
    // One line per ioctl: "ctl 0x40c8 size 92 -> 0", "stub 1 0x40a0 -> -61".
    std::vector<std::string> IoctlLog();
    void ClearIoctlLog();
    // The last block the daemon handed for a request, as it stood when the
    // driver returned (its size from the size word).
    std::vector<uint8_t> LastBlock(unsigned long request);
    // -1 when the device is not claimed.
    int StubNumber(const std::string& busId);
    // A copy; number -1 when none.
    SimStub Stub(const std::string& busId);
    bool IsPlugged(const std::string& busId);
    std::string IdentityOf(const std::string& busId);

    // The seam's members, for the RavelSys table.
    int Open(const char* path, int flags);
    int Close(int fd);
    int Ioctl(int fd, unsigned long request, void* argument);
    long ReadProcDevices(char* buffer, size_t size);

private:
    struct Device {
        SimDevice sim;
        int stub = -1;
    };
    struct StubState {
        SimStub info;
        std::deque<std::vector<uint8_t>> queue;
        int eventFd = -1; // counts while the queue holds messages
        uint64_t onlineAt = 0;
    };
    struct Node {
        bool control = true;
        int stub = -1;   // -1 once the stub was handed back
        int number = -1; // the stub number the node was opened as
    };

    int ControlIoctl(unsigned long request, uint8_t* block);
    int StubIoctl(StubState* stub, unsigned long request, uint8_t* block);
    Device* FindDevice(const uint8_t* busIdField);
    bool Claims(const SimDevice& device);
    std::string Identity(const SimDevice& device);
    void Claim(Device* device);
    void HandBack(Device* device);
    void WriteSysfs(const SimDevice& device);
    void RemoveSysfs(const SimDevice& device);
    std::string DevicePath(const std::string& busId) const;
    void SendUevent(const std::string& action, const std::string& path,
                    const std::vector<std::string>& variables);
    void Record(const std::string& line);

    std::mutex m_lock; // guards everything below
    std::string m_root;
    bool m_present = true;
    uint64_t m_madeAt;
    int m_controlDelayMs = 0;
    int m_stubDelayMs = 0;
    bool m_rulesRefused = false;
    bool m_quirksRefused = false;
    bool m_rebindBusy = false;
    bool m_restartOnce = false;
    bool m_suppress = false;
    bool m_needsReset = true;
    bool m_echo = false;
    std::vector<SimRule> m_rules;
    std::vector<SimQuirk> m_quirks;
    std::map<std::string, Device> m_devices;
    std::map<int, StubState> m_stubs;
    std::map<int, Node> m_nodes; // open descriptors
    std::vector<std::string> m_log;
    std::map<unsigned long, std::vector<uint8_t>> m_lastBlocks;
    int m_ueventSocket = -1;
    uint64_t m_seqnum = 0;
};

} // namespace ravelsim
