// UsbSysfs: a stateless reader of the USB device attributes under the
// kernel's sysfs tree ("/sys/bus/usb/devices/" in production). It tells what
// a device is (ids, class, speed, strings and the text block handed to
// clients), whether it is configured, and selects its configuration.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr const char USB_SYSFS_ROOT[] = "/sys/bus/usb/devices/";

// The root the daemon's readers use: USB_SYSFS_ROOT unless a test program
// points it at a tree of its own before the daemon's objects are made.
extern const char* usbSysfsRoot;

// The sysfs info record of one device.
struct UsbDeviceInfo {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t bcdDevice = 0;
    uint8_t deviceClass = 0;
    uint8_t subClass = 0;
    uint8_t protocol = 0;
    uint8_t speed = 255;
    uint16_t usbVersion = 0;
    uint32_t remoteWakeup = 0;
    std::string busId;
    std::string serial;
    // Filled by the stub driver's answer, not by sysfs.
    std::string instanceIdentity;
    // Name, hardware ids, compatible ids: 256 bytes each.
    uint8_t textBlock[768] = {};

    std::string Name() const;
};

class UsbSysfs {
public:
    // root ends with '/'.
    explicit UsbSysfs(const std::string& root = USB_SYSFS_ROOT) : m_root(root) {}
    virtual ~UsbSysfs() {}

    // False when any required attribute is missing or out of range.
    bool ReadDeviceInfo(const std::string& busId, UsbDeviceInfo* info) const;
    // "bConfigurationValue" reads as a number of at least 0.
    bool HasConfiguration(const std::string& busId) const;
    // Writes "%d\n" into "bConfigurationValue"; 0 or -errno.
    int SetConfiguration(const std::string& busId, int value) const;

    // The bus ids of the devices present, hubs left out: every entry of the
    // root whose name is a bus id (root hubs and interfaces are not) and
    // whose "bDeviceClass" is not 09. Hubs stay with the host: re-probing
    // one would drop every device behind it.
    void ListDevices(std::vector<std::string>* busIds) const;

    // The usbfs node "/dev/bus/usb/%.3d/%.3d" from "busnum" and "devnum";
    // false when either cannot be read.
    bool GetNodePath(const std::string& busId, std::string* path) const;

    // A text that names a device: "^[0-9]+-[0-9]+(\.[0-9]+)*$".
    static bool IsBusId(const std::string& text);

    const std::string& GetRoot() const { return m_root; }

private:
    // -1 when missing or not a number.
    int ReadDecimal(const std::string& name, const char* attribute) const;
    int ReadHex(const std::string& name, const char* attribute) const;
    // The first line of the attribute (at most 511 bytes); empty when missing.
    std::string ReadText(const std::string& name, const char* attribute) const;
    bool ReadRaw(const std::string& name, const char* attribute, char* buffer, size_t size, size_t* length) const;
    bool MakePath(const std::string& name, const char* attribute, std::string* path) const;

    std::string m_root;
};
