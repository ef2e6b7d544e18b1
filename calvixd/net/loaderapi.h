// The daemon's interface to the stub driver's control device: which devices
// the driver must claim, its quirks, re-probing a device, and what the
// driver knows of a device (stub number, descriptors, identity text).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "calvixd/net/ueventiface.h"
#include "calvixd/net/usbsysfs.h"
#include "sys/thread"

// Verdicts and criteria of a claim rule.
constexpr uint32_t LOADER_RULE_VENDOR = 0x1;
constexpr uint32_t LOADER_RULE_PRODUCT = 0x2;
constexpr uint32_t LOADER_RULE_CLASS = 0x8;
constexpr uint32_t LOADER_RULE_SUBCLASS = 0x10;
constexpr uint32_t LOADER_RULE_PROTOCOL = 0x20;
constexpr uint32_t LOADER_RULE_PORT = 0x40;
constexpr uint32_t LOADER_RULE_SERIAL = 0x80;
constexpr uint32_t LOADER_RULE_IDENTITY = 0x10000000;
constexpr uint32_t LOADER_RULE_CLAIM = 0x20000000;
constexpr uint32_t LOADER_RULE_LEAVE = 0x40000000;

// One claim rule for the stub driver.
struct LoaderRule {
    uint32_t flags = 0;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t bcdDevice = 0;
    uint8_t deviceClass = 0;
    uint8_t subClass = 0;
    uint8_t protocol = 0;
    std::string port;
    std::string serial;
    std::string instanceIdentity;
};

struct LoaderQuirk {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint32_t flags = 0;
};

// Bus ids are sysfs device names such as 1-1.2. Every operation may be
// called from any thread of the core.
class CLoaderApi {
public:
    virtual ~CLoaderApi() {}

    // Starts the uevent listener and reports the devices already present.
    // Throws CExceptionEx* on failure.
    virtual void Start() = 0;
    virtual void Stop() = 0;
    virtual bool SetClaimRules(const std::vector<LoaderRule>& rules) = 0;
    virtual bool ClearClaimRules() = 0;
    virtual bool SetQuirks(const std::vector<LoaderQuirk>& quirks) = 0;
    virtual bool ClearQuirks() = 0;
    // -1 when the driver has no stub device for the bus id.
    virtual int GetStubNumber(const std::string& busId) = 0;
    // Asks the kernel to probe the device again: 0 or -errno (-ENODEV: the
    // device is gone).
    virtual int Rebind(const std::string& busId) = 0;
    // The device's descriptor block as the driver returned it, with its real
    // length: 0 or -errno. The caller checks it with DescriptorBlockLength
    // before trusting any length inside it.
    virtual int GetDescriptors(const std::string& busId, std::vector<uint8_t>* block) = 0;
    // The identity text the driver keeps for the device.
    virtual bool QueryDeviceString(const std::string& busId, std::string* text) = 0;
};

// What the control device reports to the server core: the device events of
// the kernel and of the stub driver, each at most once per bus-id entry.
// They are called on the uevent listener thread or during Start, with the
// event lock held (event lock before the core's device mutex).
class CLoaderEvents {
public:
    virtual ~CLoaderEvents() {}
    virtual void OnDeviceArrived(const std::string& busId) = 0;
    virtual void OnStubAttached(const std::string& busId) = 0;
    virtual void OnDeviceRemoved(const std::string& busId) = 0;
    virtual void LogDebug(uint16_t module, uint32_t line, uint32_t error) = 0;
};

// The stub driver's control device "/dev/raveld_cdev_0", reached through
// ravelSys, and the uevents of the USB subsystem and of the driver.
//
// Locks: m_eventLock serialises the start-up scan and every uevent, so an
// arrival seen by both is reported once; m_mapLock guards m_busIds and is
// taken alone (GetStubNumber comes from core threads). Neither is held
// across an ioctl other than the scan's Rebind.
class CLoaderApiKmod : public CLoaderApi, public CUEventIface {
public:
    // Checks /proc/devices for the driver and opens the control device
    // (while it does not exist yet, again every 10 ms, 500 times). Throws
    // CExceptionEx* (module 3, errno) when the driver is missing.
    CLoaderApiKmod(CLoaderEvents* events, const std::string& sysfsRoot);
    // Stop comes first: the listener makes virtual calls on this object
    // until it is joined.
    ~CLoaderApiKmod() override;

    void Start() override;
    void Stop() override;
    bool SetClaimRules(const std::vector<LoaderRule>& rules) override;
    bool ClearClaimRules() override;
    bool SetQuirks(const std::vector<LoaderQuirk>& quirks) override;
    bool ClearQuirks() override;
    int GetStubNumber(const std::string& busId) override;
    int Rebind(const std::string& busId) override;
    int GetDescriptors(const std::string& busId, std::vector<uint8_t>* block) override;
    bool QueryDeviceString(const std::string& busId, std::string* text) override;

    // Bus-id map: bit 1 the driver reports a stub device, bit 2 the USB
    // subsystem reports the device. An entry lives while its mask is not 0.
    static constexpr uint32_t SOURCE_DRIVER = 1;
    static constexpr uint32_t SOURCE_USB = 2;
    // True when a new entry was made.
    bool AddDeviceRef(const std::string& busId, uint32_t bits);
    // True when the entry was emptied and erased.
    bool RemoveDeviceRef(const std::string& busId, uint32_t bits);
    // True when an existing entry's stub number changed.
    bool SetStubNumber(const std::string& busId, int number);

protected:
    void OnUEvent(const UEvent& event) override;
    void OnError(CExceptionEx* error) override { delete error; }

private:
    struct BusIdEntry {
        int stubNumber = -1;
        uint32_t mask = 0;
    };

    // One ioctl on the control device: its result or -errno.
    int Control(unsigned long request, std::vector<uint8_t>* block);
    void ScanPresentDevices();
    void HandleUsbEvent(const UEvent& event);
    void HandleStubEvent(const UEvent& event);

    CLoaderEvents* m_events; // not owned
    UsbSysfs m_sysfs;
    CMutex m_eventLock;
    CMutex m_mapLock;
    std::map<std::string, BusIdEntry> m_busIds; // guarded by m_mapLock
    int m_control = -1;
};

// A descriptor block is a configuration descriptor followed by its interface
// and endpoint descriptors: the u16 at offset 2 (wTotalLength, little
// endian) is the length of the whole block. Returns that length when the
// block holds at least 4 bytes and exactly that many, else 0.
size_t DescriptorBlockLength(const uint8_t* block, size_t length);
