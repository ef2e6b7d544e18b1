#include "calvixd/net/usbsysfs.h"

#include <fcntl.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "calvixd/net/usbsysfstext.h"

namespace {

constexpr size_t PATH_LIMIT = 4096;
// Numeric attributes are short; the kernel writes "%d\n" or "%04x\n".
constexpr size_t NUMBER_READ_LIMIT = 100;
constexpr size_t TEXT_READ_LIMIT = 512;
constexpr int MAX_INTERFACES = 256;

bool InRange(int value, int high)
{
    return value >= 0 && value <= high;
}

} // namespace

const char* usbSysfsRoot = USB_SYSFS_ROOT;

std::string UsbDeviceInfo::Name() const
{
    return std::string(reinterpret_cast<const char*>(textBlock), strnlen(reinterpret_cast<const char*>(textBlock), 256));
}

bool UsbSysfs::IsBusId(const std::string& text)
{
    size_t pos = 0;
    auto digits = [&]() {
        size_t start = pos;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9')
            pos++;
        return pos > start;
    };
    if (!digits() || pos >= text.size() || text[pos++] != '-' || !digits())
        return false;
    while (pos < text.size()) {
        if (text[pos++] != '.' || !digits())
            return false;
    }
    return true;
}

bool UsbSysfs::MakePath(const std::string& name, const char* attribute, std::string* path) const
{
    *path = m_root + name + "/" + attribute;
    return path->size() < PATH_LIMIT;
}

bool UsbSysfs::ReadRaw(const std::string& name, const char* attribute, char* buffer, size_t size,
                       size_t* length) const
{
    std::string path;
    if (!MakePath(name, attribute, &path))
        return false;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ssize_t n;
    do {
        n = read(fd, buffer, size);
    } while (n < 0 && errno == EINTR);
    close(fd);
    if (n < 0)
        return false;
    *length = static_cast<size_t>(n);
    return true;
}

int UsbSysfs::ReadDecimal(const std::string& name, const char* attribute) const
{
    char buffer[NUMBER_READ_LIMIT];
    size_t length = 0;
    if (!ReadRaw(name, attribute, buffer, sizeof(buffer), &length))
        return -1;
    return ParseDecimalAttribute(buffer, length);
}

int UsbSysfs::ReadHex(const std::string& name, const char* attribute) const
{
    char buffer[NUMBER_READ_LIMIT];
    size_t length = 0;
    if (!ReadRaw(name, attribute, buffer, sizeof(buffer), &length))
        return -1;
    return ParseHexAttribute(buffer, length);
}

std::string UsbSysfs::ReadText(const std::string& name, const char* attribute) const
{
    char buffer[TEXT_READ_LIMIT];
    size_t length = 0;
    if (!ReadRaw(name, attribute, buffer, sizeof(buffer) - 1, &length))
        return std::string();
    const void* newline = memchr(buffer, '\n', length);
    if (newline)
        length = static_cast<size_t>(static_cast<const char*>(newline) - buffer) + 1;
    return std::string(buffer, length);
}

bool UsbSysfs::HasConfiguration(const std::string& busId) const
{
    return ReadDecimal(busId, "bConfigurationValue") >= 0;
}

bool UsbSysfs::GetNodePath(const std::string& busId, std::string* path) const
{
    int bus = ReadDecimal(busId, "busnum");
    int device = ReadDecimal(busId, "devnum");
    // usbfs numbers buses and devices from 1.
    if (bus <= 0 || device <= 0)
        return false;
    char text[64];
    snprintf(text, sizeof text, "/dev/bus/usb/%.3d/%.3d", bus, device);
    *path = text;
    return true;
}

int UsbSysfs::SetConfiguration(const std::string& busId, int value) const
{
    std::string path;
    if (!MakePath(busId, "bConfigurationValue", &path))
        return -ENAMETOOLONG;
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    char text[16];
    int length = snprintf(text, sizeof(text), "%d\n", value);
    ssize_t n;
    do {
        n = write(fd, text, static_cast<size_t>(length));
    } while (n < 0 && errno == EINTR);
    int result = n < 0 ? -errno : 0;
    close(fd);
    return result;
}

bool UsbSysfs::ReadDeviceInfo(const std::string& busId, UsbDeviceInfo* info) const
{
    *info = UsbDeviceInfo();
    info->busId = busId;
    std::string version = ReadText(busId, "version");
    info->usbVersion = ParseUsbVersion(version.data(), version.size());

    int numConfigurations = ReadDecimal(busId, "bNumConfigurations");
    int configuration = ReadDecimal(busId, "bConfigurationValue");
    int numInterfaces = ReadDecimal(busId, "bNumInterfaces");
    int vendorId = ReadHex(busId, "idVendor");
    int productId = ReadHex(busId, "idProduct");
    int bcdDevice = ReadHex(busId, "bcdDevice");
    int deviceClass = ReadHex(busId, "bDeviceClass");
    int subClass = ReadHex(busId, "bDeviceSubClass");
    int protocol = ReadHex(busId, "bDeviceProtocol");
    if (!InRange(numConfigurations, 255) || !InRange(configuration, 255) || !InRange(numInterfaces, 255) ||
        !InRange(vendorId, 0xFFFF) || !InRange(productId, 0xFFFF) || !InRange(bcdDevice, 0xFFFF) ||
        !InRange(deviceClass, 255) || !InRange(subClass, 255) || !InRange(protocol, 255))
        return false;
    info->vendorId = static_cast<uint16_t>(vendorId);
    info->productId = static_cast<uint16_t>(productId);
    info->bcdDevice = static_cast<uint16_t>(bcdDevice);

    bool composite = numConfigurations == 1 && numInterfaces >= 2 &&
                     (deviceClass == 0 || (deviceClass == 0xEF && subClass == 2 && protocol == 1));
    if (composite) {
        deviceClass = subClass = protocol = 0;
    } else if (numInterfaces > 0) {
        for (int number = 0; number < MAX_INTERFACES; number++) {
            char interfaceName[96];
            snprintf(interfaceName, sizeof(interfaceName), "%s:%d.%d", busId.c_str(), configuration, number);
            std::string path;
            struct stat status;
            if (!MakePath(interfaceName, "", &path) || stat(path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode))
                continue;
            deviceClass = ReadHex(interfaceName, "bInterfaceClass");
            subClass = ReadHex(interfaceName, "bInterfaceSubClass");
            protocol = ReadHex(interfaceName, "bInterfaceProtocol");
            if (!InRange(deviceClass, 255) || !InRange(subClass, 255) || !InRange(protocol, 255))
                return false;
            break;
        }
    }
    info->deviceClass = static_cast<uint8_t>(deviceClass);
    info->subClass = static_cast<uint8_t>(subClass);
    info->protocol = static_cast<uint8_t>(protocol);

    std::string speed = ReadText(busId, "speed");
    info->speed = ParseUsbSpeed(speed.data(), speed.size());
    int attributes = ReadHex(busId, "bmAttributes");
    info->remoteWakeup = attributes >= 0 && (attributes & 0x20) ? 1 : 0;

    std::string manufacturer = ReadText(busId, "manufacturer");
    std::string product = ReadText(busId, "product");
    std::string name = BuildDeviceName(TrimSysfsText(manufacturer.data(), manufacturer.size()),
                                       TrimSysfsText(product.data(), product.size()), composite, info->vendorId,
                                       info->productId);
    std::string serialText = ReadText(busId, "serial");
    std::string serial = TrimSysfsText(serialText.data(), serialText.size());
    if (IsPlainSerial(serial))
        info->serial = serial;

    DeviceIdTexts ids = {info->vendorId, info->productId, info->bcdDevice, info->deviceClass,
                         info->subClass, info->protocol, composite};
    BuildDeviceTextBlock(name, ids, info->textBlock);
    return true;
}

void UsbSysfs::ListDevices(std::vector<std::string>* busIds) const
{
    const int hubClass = 9;
    DIR* directory = opendir(m_root.c_str());
    if (!directory)
        return;
    while (struct dirent* entry = readdir(directory)) {
        std::string name = entry->d_name;
        if (!IsBusId(name))
            continue;
        // The device's own class: "bInterfaceClass" exists only on
        // interfaces, which are no bus ids.
        if (ReadHex(name, "bDeviceClass") == hubClass)
            continue;
        busIds->push_back(name);
    }
    closedir(directory);
}
