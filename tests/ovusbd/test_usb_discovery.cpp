// Discovery against the simulated bus: the start-up enumeration, hot-plug
// through kernel and libudev datagrams, the filters, node creation under -d,
// malformed datagrams, the address collision, and the enumeration racing the
// hot-plug worker.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <string>
#include <thread>
#include <vector>

#include "ovusbd/core/config.h"
#include "ovusbd/usb/uevent.h"
#include "tests/ovusbd/test_usb_support.h"

using namespace usbtest;
using simbus::Format;
using simbus::SimBus;

namespace {

class DiscoveryTest : public UsbFixture {};

simbus::SimDevice hid(const std::string& name, uint16_t vendor = 0x046d, uint16_t product = 0xc52b) {
  simbus::SimDevice d = device(name, vendor, product);
  d.interfaces = {simbus::SimInterface{3, 1, 2}, simbus::SimInterface{3, 1, 1}};
  return d;
}

TEST_F(DiscoveryTest, EnumerationFindsDevicesButNotHubsOrInterfaces) {
  bus.addDevice(hid("1-2"));
  bus.addDevice(simbus::hubDevice("1-1"));
  bus.addDevice(device("1-1.3", 0x0781, 0x5567));
  startDiscovery();
  EXPECT_EQ(deviceCount(), 2u);
  EXPECT_TRUE(hasDevice(12));
  EXPECT_TRUE(hasDevice(113));
  EXPECT_FALSE(hasDevice(11));  // a hub
  EXPECT_FALSE(hasDevice(1));   // the root hub
  EXPECT_EQ(devicePath(113), "/sys/bus/usb/devices/1-1.3");
  // The device behind the hub got its parent hub's node.
  int found = 0;
  EXPECT_GE(getParentHubFd(113, &found), 0);
  EXPECT_GE(getParentHubFd(12, &found), 0);  // the root hub
}

TEST_F(DiscoveryTest, HotplugAddAndRemoveInKernelFormat) {
  startDiscovery();
  bus.plug(hid("1-4"), Format::Both);  // udev runs beside the kernel, as on a real system
  ASSERT_TRUE(drainUevents());
  EXPECT_EQ(deviceCount(), 1u);
  EXPECT_EQ(devicePath(14), "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-4");
  // Kernel mode reads only the kernel's datagrams: of sixteen (eight each),
  // one add of a usb_device is queued; interfaces, HID children and bind
  // events are not.
  UeventCounters counters = ueventCounters();
  EXPECT_EQ(counters.queued, 1u);
  EXPECT_EQ(counters.skipped, 15u);
  bus.unplug("1-4", Format::Both);
  ASSERT_TRUE(drainUevents());
  EXPECT_EQ(deviceCount(), 0u);
  EXPECT_EQ(ueventCounters().queued, 2u);
  EXPECT_EQ(bus.openDescriptors(), 2);  // the netlink socket and the monitor's wake descriptor
}

TEST_F(DiscoveryTest, HotplugInUdevMode) {
  settings.udevMode = true;
  startDiscovery();
  bus.plug(device("1-5"), Format::Kernel);  // no udev running: nothing to see
  ASSERT_TRUE(drainUevents());
  EXPECT_EQ(deviceCount(), 0u);
  bus.plug(device("1-6"), Format::Udev);
  ASSERT_TRUE(drainUevents());
  EXPECT_TRUE(hasDevice(16));
  bus.unplug("1-6", Format::Udev);
  ASSERT_TRUE(drainUevents());
  EXPECT_FALSE(hasDevice(16));
}

TEST_F(DiscoveryTest, ServerSurvivesMalformedDatagrams) {
  startDiscovery();
  auto text = [](const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); };
  std::vector<uint8_t> udevLiar = SimBus::udevDatagram("add", "/devices/x/1-1", "usb", "", 1);
  uint32_t farOffset = 0x7ffffff0;
  memcpy(udevLiar.data() + 16, &farOffset, 4);
  std::string longPath = "/devices/pci0000:00/0000:00:14.0/usb1/" + std::string(700, '1');
  std::vector<std::vector<uint8_t>> datagrams = {
      {},
      text(std::string(1, '\0')),
      text("add@"),
      text("add@/devices/pci0000:00/0000:00:14.0/usb1/1-7"),  // no terminator: cut
      text(std::string("remove@relative/1-7\0", 20)),
      text(std::string(4096, 'A')),
      text(std::string(100, 'A') + std::string(1, '\0')),
      SimBus::kernelDatagram("add", longPath, "usb", "", 1),
      udevLiar,
      text(std::string("libudev\0\xfe\xed", 10)),
      std::vector<uint8_t>(65536, 0xff),
  };
  for (const auto& datagram : datagrams) bus.sendDatagram(datagram, 1);
  // A real device after the garbage is still found.
  bus.plug(device("1-7"), Format::Kernel);
  ASSERT_TRUE(drainUevents());
  EXPECT_TRUE(hasDevice(17));
  EXPECT_GE(ueventCounters().refused, 6u);
  EXPECT_TRUE(log.contains("LOG_WARNING Warning, dropping malformed uevent datagram of 101 bytes"));
  EXPECT_TRUE(log.contains("LOG_WARNING Warning, dropping cut or oversized uevent datagram of 4096 bytes"));
  EXPECT_TRUE(log.contains("LOG_WARNING Warning, dropping cut or oversized uevent datagram of 65536 bytes"));
  EXPECT_EQ(deviceCount(), 1u);
}

TEST_F(DiscoveryTest, AddEventForAnInterfaceIsNeverQueued) {
  startDiscovery();
  bus.addDevice(hid("1-8"));
  bus.emitUevent("add", "1-8:1.0", Format::Kernel);
  bus.emitUevent("add", "0003:046D:C52B.0001", Format::Kernel);
  bus.emitUevent("change", "1-8", Format::Kernel);
  ASSERT_TRUE(drainUevents());
  EXPECT_EQ(ueventCounters().queued, 0u);
  EXPECT_EQ(deviceCount(), 0u);
}

TEST_F(DiscoveryTest, FiltersExcludeDevices) {
  struct Case {
    const char* key;
    const char* value;
    bool managed;
  } cases[] = {
      {"IgnoredDevices", "46d/c52b", false},
      {"IgnoredDevices", "46d/c52b/ABC", false},  // the device's serial is ABC
      {"IgnoredDevices", "46d/c52b/XYZ", true},
      {"AllowedDevices", "", true},
      {"AllowedDevices", "46d", true},
      {"AllowedDevices", "781", false},
      {"IgnoredBuses", "usb1", false},
  };
  startDiscovery();
  for (const Case& c : cases) {
    setConfigString(c.key, c.value);
    simbus::SimDevice d = hid("1-9");
    d.serial = std::string("ABC");
    bus.plug(d, Format::Kernel);
    ASSERT_TRUE(drainUevents());
    EXPECT_EQ(hasDevice(19), c.managed) << c.key << "=" << c.value;
    bus.unplug("1-9", Format::Kernel);
    ASSERT_TRUE(drainUevents());
    setConfigString(c.key, nullptr);
  }
}

TEST_F(DiscoveryTest, PlatformDefaultIgnoresTheBoardsOwnChips) {
  settings.platformCode = 7;  // Raspberry Pi
  bus.addDevice(device("1-1", 0x0424, 0xec00));
  bus.addDevice(device("1-2", 0x0424, 0x1234));
  startDiscovery();
  EXPECT_FALSE(hasDevice(11));
  EXPECT_TRUE(hasDevice(12));
}

TEST_F(DiscoveryTest, HubIsNeverManaged) {
  setConfigString("AllowedDevices", "5e3");
  startDiscovery();
  bus.plug(simbus::hubDevice("1-3"), Format::Kernel);
  ASSERT_TRUE(drainUevents());
  EXPECT_EQ(deviceCount(), 0u);
}

TEST_F(DiscoveryTest, NodeIsMadeUnderTheNodeDirectoryWhenMissing) {
  bus.addDirectory("/run/ovusbd-nodes");
  settings.deviceNodeDirectory = "/run/ovusbd-nodes";
  startDiscovery();
  simbus::SimDevice d = device("1-2");
  d.withNode = false;  // no udev made /dev/bus/usb/001/NNN
  bus.plug(d, Format::Kernel);
  ASSERT_TRUE(drainUevents());
  ASSERT_TRUE(hasDevice(12));
  std::string node = "/run/ovusbd-nodes/bus_usb_001_002";
  simbus::NodeInfo info = bus.node(node);
  ASSERT_TRUE(info.exists);
  EXPECT_TRUE(S_ISCHR(info.mode));
  EXPECT_EQ(info.mode & 07777, 0600u);  // only the server opens it
  EXPECT_EQ(info.rdev, makedev(189, 1));
  EXPECT_EQ(bus.madeNodes(), std::vector<std::string>{node});
  bus.unplug("1-2", Format::Kernel);
  ASSERT_TRUE(drainUevents());
  EXPECT_FALSE(bus.node(node).exists);  // removed with its record
}

TEST_F(DiscoveryTest, ParentHubNodeIsMadeAndRemovedAtStop) {
  bus.addDirectory("/run/ovusbd-nodes");
  settings.deviceNodeDirectory = "/run/ovusbd-nodes";
  simbus::SimDevice hub = simbus::hubDevice("1-1");
  hub.withNode = false;
  hub.devnum = 5;
  bus.addDevice(hub);
  bus.addDevice(device("1-1.2"));
  startDiscovery();
  ASSERT_TRUE(hasDevice(112));
  std::string hubNode = "/run/ovusbd-nodes/bus_usb_001_005";
  EXPECT_TRUE(bus.node(hubNode).exists);
  int found = 0;
  EXPECT_GE(getParentHubFd(112, &found), 0);
  stopUsbDiscoveryThreads();
  EXPECT_FALSE(bus.node(hubNode).exists);
  EXPECT_TRUE(hasDevice(112));  // discovery's end does not take devices away
}

TEST_F(DiscoveryTest, NodeDirectoryFallsBackToTheExecutablesDirectory) {
  bus.setExePath("/usr/sbin/ovusbd");
  simbus::SimDevice d = device("1-2");
  d.withNode = false;
  bus.addDevice(d);
  startDiscovery();
  ASSERT_TRUE(hasDevice(12));
  EXPECT_TRUE(bus.node("/usr/sbin/bus_usb_001_002").exists);
}

TEST_F(DiscoveryTest, NodeThatCannotBeMadeLeavesTheDeviceUnmanaged) {
  bus.addDirectory("/run/ovusbd-nodes");
  settings.deviceNodeDirectory = "/run/ovusbd-nodes";
  bus.failMknod(EPERM);
  simbus::SimDevice d = device("1-2");
  d.withNode = false;
  bus.addDevice(d);
  bus.writeFile("/run/ovusbd-nodes/bus_usb_001_003", "not a node");
  simbus::SimDevice other = device("1-3");
  other.withNode = false;
  bus.addDevice(other);
  startDiscovery();
  EXPECT_EQ(deviceCount(), 0u);
  EXPECT_TRUE(log.contains(
      "LOG_ERR     Error 1 creating device node at /run/ovusbd-nodes/bus_usb_001_002, Operation not permitted"));
  EXPECT_TRUE(log.contains("LOG_ERR     Error making device node at /sys/bus/usb/devices/1-2"));
  // A file of the same name that is not the device's node is never opened.
  EXPECT_TRUE(log.contains("LOG_ERR     Error, /run/ovusbd-nodes/bus_usb_001_003 exists but is not the device node 189:2"));
}

TEST_F(DiscoveryTest, CollidingAddressNeverTakesOrRemovesTheWrongDevice) {
  startDiscovery();
  bus.plug(device("1-11", 0x1111, 0x0001), Format::Kernel);
  bus.plug(simbus::hubDevice("1-1"), Format::Kernel);
  bus.plug(device("1-1.1", 0x2222, 0x0002), Format::Kernel);
  ASSERT_TRUE(drainUevents());
  EXPECT_EQ(deviceCount(), 1u);
  EXPECT_EQ(getDeviceVendorId(111), 0x1111);
  EXPECT_TRUE(log.contains("LOG_ERR     Error, device /devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1.1 has address 111, "
                           "which /sys/devices/pci0000:00/0000:00:14.0/usb1/1-11 already holds, not managing it"));
  // The newcomer leaves: the holder of 111 stays.
  bus.unplug("1-1.1", Format::Kernel);
  ASSERT_TRUE(drainUevents());
  EXPECT_EQ(getDeviceVendorId(111), 0x1111);
  bus.unplug("1-11", Format::Kernel);
  ASSERT_TRUE(drainUevents());
  EXPECT_EQ(deviceCount(), 0u);
  // Now 111 is free, and the device behind the hub gets it on its next add.
  bus.plug(device("1-1.1", 0x2222, 0x0002), Format::Kernel);
  ASSERT_TRUE(drainUevents());
  EXPECT_EQ(getDeviceVendorId(111), 0x2222);
}

TEST_F(DiscoveryTest, EnumerationAndHotplugOfOneDeviceGiveOneRecord) {
  for (int round = 0; round < 20; ++round) {
    simbus::SimDevice d = device("1-2");
    d.devnum = 2;
    bus.addDevice(d);
    std::atomic<bool> go{false};
    // While start-up enumerates, the same device's add arrives again and
    // again, and another enumeration runs beside the worker.
    std::thread events([&] {
      while (!go) std::this_thread::yield();
      for (int i = 0; i < 5; ++i) bus.emitUevent("add", "1-2", Format::Kernel);
    });
    std::thread enumerator([&] {
      while (!go) std::this_thread::yield();
      enumerateUsbDevices();
    });
    go = true;
    receivedBefore = bus.datagramsReceived();
    ASSERT_EQ(startUsbDiscoveryThreads(), 0);
    events.join();
    enumerator.join();
    ASSERT_TRUE(drainUevents());
    EXPECT_EQ(deviceCount(), 1u);
    stopUsbDiscoveryThreads();
    stopDeviceManager();
    ASSERT_EQ(createDeviceList(), 0);
    bus.removeDevice("1-2");
    EXPECT_EQ(bus.openDescriptors(), 0);
  }
  EXPECT_EQ(log.count("Found High speed device"), 20u);
}

TEST_F(DiscoveryTest, MonitorFailuresLeaveTheEnumeration) {
  bus.addDevice(device("1-2"));
  bus.failSocket(EPERM);
  ASSERT_EQ(startUsbDiscoveryThreads(), 0);
  EXPECT_TRUE(hasDevice(12));
  ASSERT_TRUE(waitUntil([this] {
    return log.contains("LOG_ERR     Error 1 opening netlink socket for monitoring kernel events, Operation not permitted");
  }));
  stopUsbDiscoveryThreads();
  bus.clearFailures();
  bus.failBind(EADDRINUSE);
  ASSERT_EQ(startUsbDiscoveryThreads(), 0);
  ASSERT_TRUE(waitUntil([this] {
    return log.contains("LOG_ERR     Error 98 binding netlink socket for monitoring kernel events, Address already in use");
  }));
  stopUsbDiscoveryThreads();
  // The device's node, its parent hub's and its reaper's wake-up eventfd.
  EXPECT_EQ(bus.openDescriptors(), 3);
}

TEST_F(DiscoveryTest, EnumerationFailuresAreLogged) {
  bus.addDevice(device("1-2"));
  bus.failOpen("/sys/bus/usb/devices/1-2/uevent", EACCES);
  enumerateUsbDevices();
  EXPECT_TRUE(log.contains("LOG_ERR     Error 13 loading device file '/sys/bus/usb/devices/1-2/uevent', Permission denied"));
  EXPECT_TRUE(log.contains("LOG_ERR     Error loading uevent for enumeration"));
  bus.failOpen("/sys/bus/usb/devices", ENOENT);
  enumerateUsbDevices();
  EXPECT_TRUE(log.contains("LOG_ERR     Failed to open /sys/bus/usb/devices, 2 (No such file or directory)"));
  EXPECT_EQ(deviceCount(), 0u);
}

TEST_F(DiscoveryTest, DeviceWithoutNodeNameIsUnavailable) {
  bus.addDevice(device("1-2"));
  std::string uevent = bus.fileContent("/sys/bus/usb/devices/1-2/uevent");
  uevent.erase(uevent.find("DEVNAME="), uevent.find('\n', uevent.find("DEVNAME=")) - uevent.find("DEVNAME=") + 1);
  bus.setAttribute("1-2", "uevent", uevent);
  enumerateUsbDevices();
  EXPECT_TRUE(log.contains("LOG_WARNING Finding device path, neither DEVICE nor DEVNAME are available"));
  EXPECT_TRUE(log.contains("LOG_ERR     Error determining the device path for /sys/bus/usb/devices/1-2. This device "
                           "will be unavailable for sharing"));
  EXPECT_EQ(deviceCount(), 0u);
}

}  // namespace
