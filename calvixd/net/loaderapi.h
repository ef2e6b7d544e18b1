// The daemon's interface to the stub driver's control device: which devices
// the driver must claim, its quirks, re-probing a device, and what the
// driver knows of a device (stub number, descriptors, identity text).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CUsbServerCore;

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

// The stub driver's control device. Until the driver interface is built it
// stands here without a driver behind it: it reports no stub devices and
// refuses every request, so the core never believes a device was claimed.
class CLoaderApiKmod : public CLoaderApi {
public:
    explicit CLoaderApiKmod(CUsbServerCore* owner) : m_owner(owner) {}

    void Start() override;
    void Stop() override {}
    bool SetClaimRules(const std::vector<LoaderRule>&) override { return false; }
    bool ClearClaimRules() override { return false; }
    bool SetQuirks(const std::vector<LoaderQuirk>&) override { return false; }
    bool ClearQuirks() override { return false; }
    int GetStubNumber(const std::string&) override { return -1; }
    int Rebind(const std::string&) override;
    int GetDescriptors(const std::string&, std::vector<uint8_t>*) override;
    bool QueryDeviceString(const std::string&, std::string*) override { return false; }

private:
    CUsbServerCore* m_owner; // not owned
};

// A descriptor block is a configuration descriptor followed by its interface
// and endpoint descriptors: the u16 at offset 2 (wTotalLength, little
// endian) is the length of the whole block. Returns that length when the
// block holds at least 4 bytes and exactly that many, else 0.
size_t DescriptorBlockLength(const uint8_t* block, size_t length);
