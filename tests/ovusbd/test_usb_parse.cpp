// Pure parsers and rules of the USB layer: names, addresses, ports, speeds,
// uevent datagrams in kernel and libudev format, uevent values, the
// discovery filters and the mounts table.
#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "ovusbd/usb/descriptors.h"
#include "ovusbd/usb/mounttable.h"
#include "ovusbd/usb/uevent.h"
#include "ovusbd/usb/usbfilters.h"
#include "ovusbd/usb/usbname.h"
#include "tests/support/simbus.h"

using simbus::SimBus;

namespace {

const char kDevpath[] = "/devices/pci0000:00/0000:00:14.0/usb1/1-1";
const char kUevent[] =
    "MAJOR=189\nMINOR=1\nDEVNAME=bus/usb/001/002\nDEVTYPE=usb_device\nPRODUCT=46d/c52b/1211\nTYPE=0/0/0\n"
    "BUSNUM=001\nDEVNUM=002\n";

TEST(UsbName, FilterAcceptsDevicesAndRootHubsOnly) {
  struct Case {
    const char* name;
    bool accepted;
  } cases[] = {
      {"usb1", true},
      {"1-1", true},
      {"1-1.2.3", true},
      {"/devices/pci0000:00/0000:00:14.0/usb1/1-1", true},
      {"/sys/bus/usb/devices/2-4", true},
      {"1-1:1.0", false},  // interface
      {"/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0", false},
      {"/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/0003:046D:C52B.0001", false},  // HID child
      {"/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/0003:046D:C52B.0001/hidraw/hidraw0", false},
      {"/devices/pci0000:00/0000:00:14.0/usb1/1-0:1.0/usb1-port1", false},
      {"/devices/pci0000:00/0000:00:14.0/usb1", false},  // a root hub only by its bare name
      {".", false},
      {"..", false},
      {"", false},
      {nullptr, false},
  };
  for (const Case& c : cases) EXPECT_EQ(isUsbDeviceName(c.name), c.accepted) << (c.name ? c.name : "null");
}

TEST(UsbName, AddressIsTheDigitsOfTheLastComponent) {
  struct Case {
    const char* path;
    uint32_t address;
  } cases[] = {
      {"1-1.2", 112},
      {"2-4", 24},
      {"3-1.10.2", 31102},
      {"usb1", 1},
      {"/sys/bus/usb/devices/1-1.2", 112},
      {"/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1.2", 112},
      {"1-1.1", 111},
      {"1-11", 111},  // the collision the sysfs name settles
      {"4-2.3.4.5.6", 423456},
      {"4-2.13.14.15", 42131415},
      {"4-15.15.15.15.15", 0},  // 11515151515 does not fit 32 bits
      {"1234567890123456", 0},  // more than 15 digits
      {"abc", 0},
      {"", 0},
      {nullptr, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(deviceAddressFromPath(c.path), c.address) << (c.path ? c.path : "null");
}

TEST(UsbName, SysfsNamesCompareByLastComponent) {
  EXPECT_TRUE(sameSysfsName("/sys/bus/usb/devices/1-1.1", "/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1.1"));
  EXPECT_FALSE(sameSysfsName("/sys/bus/usb/devices/1-1.1", "/sys/bus/usb/devices/1-11"));
  EXPECT_FALSE(sameSysfsName("1-1", nullptr));
}

TEST(UsbName, PortFromName) {
  struct Case {
    const char* path;
    unsigned port;
  } cases[] = {
      {"1-1.2", 2},   {"/sys/bus/usb/devices/1-3", 3}, {"3-1.10", 10}, {"1-1.255", 255}, {"1-1.256", 0},
      {"1-1.0", 0},   {"1-0", 0},                      {"usb1", 0},    {"1-", 0},        {"1-1.2x", 0},
      {"/sys/devices/platform/ehci-platform/usb1", 0},  // a '-' outside the last component is not a port
  };
  for (const Case& c : cases) EXPECT_EQ(parsePortFromName(c.path), c.port) << c.path;
}

TEST(UsbName, SpeedFromSysfsText) {
  struct Case {
    const char* text;
    uint8_t speed;
  } cases[] = {{"1.5\n", 0}, {"12\n", 1}, {"480\n", 2}, {"480", 2}, {"5000\n", 3},
               {"10000\n", 3}, {"20000\n", 3}, {"4800\n", 3}, {"1.50\n", 3}, {"", 3}};
  for (const Case& c : cases) EXPECT_EQ(speedFromText(c.text), c.speed) << c.text;
  EXPECT_STREQ(speedName(1), "Full");
  EXPECT_STREQ(speedName(3), "Super");
}

TEST(UeventValue, FindsKeysAnywhereAndNeverReadsPastTheText) {
  struct Case {
    const char* text;
    const char* key;
    const char* value;  // null: absent
  } cases[] = {
      {kUevent, "DEVTYPE", "usb_device"},
      {kUevent, "MAJOR", "189"},     // first line
      {kUevent, "DEVNUM", "002"},    // last line
      {kUevent, "TYPE", "0/0/0"},    // not DEVTYPE
      {kUevent, "DEVICE", nullptr},  // absent; DEVTYPE and DEVNAME do not count
      {"DEVTYPE=usb_device", "DEVTYPE", "usb_device"},  // no newline at all
      {"A=1\nPRODUCT=1/2/3", "PRODUCT", "1/2/3"},       // last line without newline
      {"MAJORX=1\n", "MAJOR", nullptr},
      {"A=1\nMAJORX=1\n", "MAJOR", nullptr},          // longer key on a later line
      {"ACTION=add\n", "ACTIO", nullptr},              // the key a prefix of the first line's
      {"A=1\nACTION=add\nB=2", "ACTIO", nullptr},      // and of a later line's
      {"A=1\nKEY=", "KEY", ""},
      {"", "KEY", nullptr},
  };
  for (const Case& c : cases) {
    char* value = ueventValue(c.text, c.key);
    if (!c.value) {
      EXPECT_EQ(value, nullptr) << c.key;
    } else {
      ASSERT_NE(value, nullptr) << c.key;
      EXPECT_STREQ(value, c.value);
    }
    free(value);
  }
}

TEST(UeventValue, LongValuesAreCutTo127Characters) {
  std::string text = "A=1\nDEVNAME=" + std::string(400, 'x') + "\nB=2\n";
  char* value = ueventValue(text.c_str(), "DEVNAME");
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(strlen(value), 127u);
  free(value);
}

std::vector<uint8_t> bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

int parseKernel(const std::vector<uint8_t>& data, UeventEvent* event) {
  return parseKernelUevent(data.data(), data.size(), event);
}

TEST(KernelUevent, DatagramsOfTheKernel) {
  struct Case {
    std::vector<uint8_t> data;
    int result;
    bool add;
  } cases[] = {
      {SimBus::kernelDatagram("add", kDevpath, "usb", kUevent, 1), kUeventUsable, true},
      {SimBus::kernelDatagram("remove", kDevpath, "usb", kUevent, 2), kUeventUsable, false},
      {SimBus::kernelDatagram("bind", kDevpath, "usb", kUevent, 3), kUeventIgnored, false},
      {SimBus::kernelDatagram("change", kDevpath, "usb", kUevent, 4), kUeventIgnored, false},
      {SimBus::kernelDatagram("unbind", kDevpath, "usb", kUevent, 5), kUeventIgnored, false},
      {SimBus::kernelDatagram("addx", kDevpath, "usb", kUevent, 5), kUeventIgnored, false},
      {SimBus::udevDatagram("add", kDevpath, "usb", kUevent, 6), kUeventIgnored, false},  // other format
      {bytes(std::string("add@") + kDevpath + "\nACTION=add"), kUeventUsable, true},      // newline ends the header
  };
  for (const Case& c : cases) {
    UeventEvent event{};
    ASSERT_EQ(parseKernel(c.data, &event), c.result);
    if (c.result == kUeventUsable) {
      EXPECT_STREQ(event.path, kDevpath);
      EXPECT_EQ(event.add, c.add);
    }
  }
}

TEST(KernelUevent, MalformedAndCutDatagramsAreRefused) {
  std::string longPath = "/devices/" + std::string(600, 'a');
  std::vector<uint8_t> cut = SimBus::kernelDatagram("add", longPath, "usb", kUevent, 1);
  cut.resize(kUeventDatagramSize);  // what recv leaves of it
  std::vector<uint8_t> unterminated = bytes(std::string("add@") + kDevpath);
  struct Case {
    std::vector<uint8_t> data;
    int result;
  } cases[] = {
      {cut, -EMSGSIZE},
      {unterminated, -EMSGSIZE},  // the path might go on beyond what arrived
      {bytes(std::string("add@\0", 5)), -EBADMSG},
      {bytes(std::string("add@devices/x\0", 14)), -EBADMSG},  // not absolute
      {bytes(std::string("garbage\0", 8)), -EBADMSG},
      {bytes(std::string("\0\0\0\0", 4)), -EBADMSG},
      {bytes(std::string("@/devices/x\0", 12)), kUeventIgnored},  // empty action
      {{}, -EBADMSG},
  };
  for (const Case& c : cases) {
    UeventEvent event{};
    EXPECT_EQ(parseKernel(c.data, &event), c.result);
  }
  // A datagram longer than the buffer whose header fits stays usable.
  std::vector<uint8_t> big = SimBus::kernelDatagram("add", kDevpath, "usb", std::string(3000, 'x') + "=1\n", 1);
  UeventEvent event{};
  EXPECT_EQ(parseKernelUevent(big.data(), kUeventDatagramSize, &event), kUeventUsable);
  EXPECT_STREQ(event.path, kDevpath);
}

// Writes a 32-bit word into a datagram at offset.
void putWord(std::vector<uint8_t>& data, size_t offset, uint32_t value) { memcpy(data.data() + offset, &value, 4); }

TEST(UdevUevent, DatagramsOfLibudev) {
  std::vector<uint8_t> add = SimBus::udevDatagram("add", kDevpath, "usb", kUevent, 1);
  std::vector<uint8_t> remove = SimBus::udevDatagram("remove", kDevpath, "usb", kUevent, 2);
  UeventEvent event{};
  ASSERT_EQ(parseUdevDatagram(add.data(), add.size(), &event), kUeventUsable);
  EXPECT_TRUE(event.add);
  EXPECT_STREQ(event.path, kDevpath);
  ASSERT_EQ(parseUdevDatagram(remove.data(), remove.size(), &event), kUeventUsable);
  EXPECT_FALSE(event.add);
  std::vector<uint8_t> bind = SimBus::udevDatagram("bind", kDevpath, "usb", kUevent, 3);
  EXPECT_EQ(parseUdevDatagram(bind.data(), bind.size(), &event), kUeventIgnored);
  std::vector<uint8_t> kernel = SimBus::kernelDatagram("add", kDevpath, "usb", kUevent, 4);
  EXPECT_EQ(parseUdevDatagram(kernel.data(), kernel.size(), &event), kUeventIgnored);
}

TEST(UdevUevent, MalformedAndCutDatagramsAreRefused) {
  std::vector<uint8_t> good = SimBus::udevDatagram("add", kDevpath, "usb", kUevent, 1);
  struct Case {
    const char* what;
    std::vector<uint8_t> data;
    size_t length;
    int result;
  };
  std::vector<Case> cases;
  auto variant = [&](const char* what, auto change, int result, size_t length = 0) {
    std::vector<uint8_t> data = good;
    change(data);
    cases.push_back({what, data, length ? length : data.size(), result});
  };
  variant("offset past the buffer", [](auto& d) { putWord(d, 16, 481); }, -EMSGSIZE);
  variant("offset far out", [](auto& d) { putWord(d, 16, 0xfffffff0); }, -EMSGSIZE);
  variant("offset inside the header fields", [](auto& d) { putWord(d, 16, 4); }, -EBADMSG);
  // Between the magic and the end of the offset field itself: bytes there
  // would be read as the first property.
  variant("offset at the magic", [](auto& d) { putWord(d, 16, 8); }, -EBADMSG);
  variant("offset at the header size", [](auto& d) { putWord(d, 16, 12); }, -EBADMSG);
  variant("offset at the offset field", [](auto& d) { putWord(d, 16, 16); }, -EBADMSG);
  variant("offset at its last byte", [](auto& d) { putWord(d, 16, 19); }, -EBADMSG);
  variant("offset past what arrived", [](auto& d) { putWord(d, 16, 300); }, -EMSGSIZE, 120);
  variant("empty first property", [](auto& d) { d[40] = '\0'; }, -EBADMSG);
  variant("second property not DEVPATH", [](auto& d) { memcpy(d.data() + 51, "XEVPATH=", 8); }, -EBADMSG);
  variant("wrong magic", [](auto& d) { d[8] = 0; }, kUeventIgnored);
  variant("action cut", [](auto&) {}, -EMSGSIZE, 45);
  variant("devpath cut", [](auto&) {}, -EMSGSIZE, 70);
  variant("header cut", [](auto&) {}, -EMSGSIZE, 12);
  for (const Case& c : cases) {
    UeventEvent event{};
    EXPECT_EQ(parseUdevDatagram(c.data.data(), c.length, &event), c.result) << c.what;
  }
}

TEST(Filters, IgnoredDevices) {
  struct Case {
    const char* list;
    uint16_t vendor, product;
    const char* serial;
    bool matches;
  } cases[] = {
      {"46d/c52b", 0x046d, 0xc52b, "XYZ", true},
      {"46d/c52b", 0x046d, 0xc52b, "", true},
      {"46d/c52b/ABC", 0x046d, 0xc52b, "ABC", true},
      {"46d/c52b/ABC", 0x046d, 0xc52b, "", true},
      {"46d/c52b/ABC", 0x046d, 0xc52b, "XYZ", false},
      {"46d/c52b/", 0x046d, 0xc52b, "XYZ", true},
      {"46d", 0x046d, 0x1234, "", true},
      {"46d/*", 0x046d, 0x1234, "", true},
      {"46d/0", 0x046d, 0x1234, "", true},
      {"46d/", 0x046d, 0x1234, "", true},
      {"46d/c52b", 0x046d, 0xc52c, "", false},
      {"46e/c52b", 0x046d, 0xc52b, "", false},
      {"1234/5678,46d/c52b", 0x046d, 0xc52b, "", true},
      {"", 0x046d, 0xc52b, "", false},
      {nullptr, 0x046d, 0xc52b, "", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(matchesIgnoredDevices(c.list, c.vendor, c.product, c.serial), c.matches)
        << (c.list ? c.list : "null") << " " << c.serial;
  }
}

TEST(Filters, AllowedDevices) {
  struct Case {
    const char* list;
    uint16_t vendor, product;
    bool allowed;
  } cases[] = {
      {nullptr, 0x1234, 1, true},      {"", 0x1234, 1, true},           {"46d", 0x046d, 0xc52b, true},
      {"46d", 0x1234, 0xc52b, false},  {"46d/*", 0x046d, 7, true},      {"46d/c52b", 0x046d, 0xc52b, true},
      {"46d/c52b", 0x046d, 0xc52c, false}, {"1/2,46d/c52b", 0x046d, 0xc52b, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(allowedByAllowedDevices(c.list, c.vendor, c.product), c.allowed) << (c.list ? c.list : "null");
  }
}

TEST(Filters, IgnoredBuses) {
  const char* hotplug = "/devices/pci0000:00/0000:00:14.0/usb2/2-1";
  EXPECT_TRUE(matchesIgnoredBuses("usb2", hotplug));
  EXPECT_TRUE(matchesIgnoredBuses("USB2", hotplug));
  EXPECT_TRUE(matchesIgnoredBuses("x,2-1", hotplug));
  EXPECT_TRUE(matchesIgnoredBuses("2-1", "/sys/bus/usb/devices/2-1"));
  EXPECT_FALSE(matchesIgnoredBuses("usb1", hotplug));
  EXPECT_FALSE(matchesIgnoredBuses("2-1", "/sys/bus/usb/devices/2-11"));
  EXPECT_FALSE(matchesIgnoredBuses("", hotplug));
  EXPECT_FALSE(matchesIgnoredBuses(",", hotplug));
}

TEST(Filters, ProductValueAndPlatformDefaults) {
  uint16_t vendor, product;
  parseProductValue("46d/c52b/1211", &vendor, &product);
  EXPECT_EQ(vendor, 0x046d);
  EXPECT_EQ(product, 0xc52b);
  parseProductValue("garbage", &vendor, &product);
  EXPECT_EQ(product, 0);
  EXPECT_STREQ(defaultIgnoredDevices(7, nullptr), "424/ec00,424/7800");
  EXPECT_STREQ(defaultIgnoredDevices(1, "b827eb123456"), "424/ec00,424/7800");
  EXPECT_STREQ(defaultIgnoredDevices(6, nullptr), "1005/b155");
  EXPECT_STREQ(defaultIgnoredDevices(5, "x"), "f400/f400");
  EXPECT_EQ(defaultIgnoredDevices(1, "x"), nullptr);
}

// A disk's mounts are those of its own node and of its partitions (the
// name followed only by digits); a longer disk name that starts the same
// is another disk.
TEST(MountTable, DeviceNamesOfADiskAndItsPartitions) {
  struct Case {
    const char* device;
    bool matches;
  } cases[] = {
      {"/dev/sdb", true},     {"/dev/sdb1", true},   {"/dev/sdb15", true},  {"/dev/sdba", false},
      {"/dev/sdba1", false},  {"/dev/sdb1a", false}, {"/dev/sdbp1", false}, {"/dev/sd", false},
      {"/dev/sda1", false},   {"/devx/sdb1", false}, {"dev/sdb1", false},   {"/dev/mapper/sdb1", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(namesBlockDeviceOrPartition(c.device, strlen(c.device), "sdb"), c.matches) << c.device;
  }
  EXPECT_FALSE(namesBlockDeviceOrPartition("/dev/", 5, ""));
}

// Every matching line is visited in table order, blanks before and between
// fields allowed; a visitor's non-zero answer ends the walk.
TEST(MountTable, VisitsEveryMountOfTheDisk) {
  const std::string table =
      "/dev/sda1 / ext4 rw 0 0\n"
      "/dev/sdb1 /share/usb vfat rw 0 0\n"
      "/dev/sdba1 /share/big ext4 rw 0 0\n"
      "\t/dev/sdb2\t/share/two vfat rw 0 0\n"
      "\n"
      "/dev/sdb1 /mnt/again vfat rw 0 0\n"
      "/dev/sdb /share/whole vfat rw 0 0";  // no newline at the end
  std::vector<std::string> seen;
  auto collect = [](void* context, const char* device) {
    static_cast<std::vector<std::string>*>(context)->push_back(device);
    return 0;
  };
  EXPECT_EQ(forEachBlockDeviceMount(table.data(), table.size(), "sdb", collect, &seen), 0);
  EXPECT_EQ(seen, (std::vector<std::string>{"/dev/sdb1", "/dev/sdb2", "/dev/sdb1", "/dev/sdb"}));

  int calls = 0;
  auto stop = [](void* context, const char*) {
    ++*static_cast<int*>(context);
    return -1;
  };
  EXPECT_EQ(forEachBlockDeviceMount(table.data(), table.size(), "sdb", stop, &calls), -1);
  EXPECT_EQ(calls, 1);
}

// The first interface's class is found past the configuration descriptor,
// and a walk that meets a zero length or the end stops without reading
// beyond the data.
TEST(Descriptors, FirstInterfaceClass) {
  std::vector<uint8_t> d(18, 0);
  d[0] = 18;
  d[1] = 1;
  const uint8_t configuration[] = {9, 2, 32, 0, 1, 1, 0, 0x80, 50};
  const uint8_t association[] = {8, 11, 0, 2, 1, 1, 0, 0};
  const uint8_t interface[] = {9, 4, 0, 0, 2, 8, 6, 0x50, 0};
  d.insert(d.end(), configuration, configuration + 9);
  std::vector<uint8_t> direct = d, behind = d;
  direct.insert(direct.end(), interface, interface + 9);
  behind.insert(behind.end(), association, association + 8);
  behind.insert(behind.end(), interface, interface + 9);
  EXPECT_EQ(firstInterfaceClass(direct.data(), direct.size()), 8);
  EXPECT_EQ(firstInterfaceClass(behind.data(), behind.size()), 8);
  EXPECT_EQ(firstInterfaceClass(behind.data(), behind.size() - 4), -1);  // cut inside the interface
  behind[27] = 0;
  EXPECT_EQ(firstInterfaceClass(behind.data(), behind.size()), -1);
  EXPECT_EQ(firstInterfaceClass(d.data(), d.size()), -1);
}

}  // namespace
