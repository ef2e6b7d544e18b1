// The device record against the simulated bus: sysfs reads with their
// failure paths and exact log texts, the fields a record gets, lookups, and
// removal.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sysmacros.h>

#include <string>
#include <vector>

#include "ovusbd/usb/sysfs.h"
#include "ovusbd/usb/uevent.h"
#include "ovusbd/usb/usbname.h"
#include "ovusbd/usb/usbsys.h"
#include "tests/ovusbd/test_usb_support.h"

using namespace usbtest;

namespace {

class RecordTest : public UsbFixture {
 protected:
  // Plugs a device silently (no uevent) and makes its record the way
  // discovery would. Returns createManagedDevice's result.
  int make(const simbus::SimDevice& model, const char* hubNode = nullptr) {
    bus.addDevice(model);
    return makeFor(model.name, hubNode);
  }
  int makeFor(const std::string& name, const char* hubNode = nullptr) {
    std::string path = "/sys/bus/usb/devices/" + name;
    std::string uevent = bus.fileContent(path + "/uevent");
    char* product = ueventValue(uevent.c_str(), "PRODUCT");
    pthread_mutex_lock(&deviceLifecycleMutex);
    int result = createManagedDevice(deviceAddressFromPath(path.c_str()), path.c_str(), product, "SER",
                                     bus.nodePath(name).c_str(), hubNode, nullptr, nullptr, 0);
    pthread_mutex_unlock(&deviceLifecycleMutex);
    free(product);
    return result;
  }
  struct Copy {
    ManagedUsbDevice device;
  };
  // A copy of the record's fixed fields.
  bool record(uint32_t address, ManagedUsbDevice* out) {
    return visitDevice(address, [](ManagedUsbDevice* d, void* o) { memcpy(o, d, sizeof *d); }, out);
  }
};

TEST_F(RecordTest, LoadSysfsFileReadsAndLogsFailures) {
  bus.addDevice(device("1-2"));
  char* text = loadSysfsFile("/sys/bus/usb/devices/1-2", "speed", true);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "480\n");
  free(text);
  text = loadSysfsFile("bus/usb/devices/1-2", "version", true);  // relative to /sys
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, " 2.00\n");
  free(text);

  EXPECT_EQ(loadSysfsFile("/sys/bus/usb/devices/1-9", "uevent", true), nullptr);
  EXPECT_TRUE(log.contains(
      "LOG_ERR     Error 2 loading device file '/sys/bus/usb/devices/1-9/uevent', No such file or directory"));
  EXPECT_EQ(loadSysfsFile("/sys/bus/usb/devices/1-9", "serial", false), nullptr);
  EXPECT_FALSE(log.contains("1-9/serial"));
  settings.platformCode = 6;  // QNAP keeps quiet
  EXPECT_EQ(loadSysfsFile("/sys/bus/usb/devices/1-9", "product", true), nullptr);
  EXPECT_FALSE(log.contains("1-9/product"));
  settings.platformCode = 0;
  bus.failRead(bus.sysfsDir("1-2") + "/speed", EIO);
  EXPECT_EQ(loadSysfsFile("/sys/bus/usb/devices/1-2", "speed", true), nullptr);
  EXPECT_TRUE(log.contains("Error 5 loading device file '/sys/bus/usb/devices/1-2/speed', Input/output error"));
  EXPECT_EQ(bus.openDescriptors(), 0);
}

TEST_F(RecordTest, LoadSysfsFileKeepsAtMost1024Bytes) {
  bus.writeFile("/sys/devices/big/uevent", std::string(5000, 'a'));
  char* text = loadSysfsFile("/sys/devices/big", "uevent", true);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(strlen(text), kSysfsFileLimit);
  free(text);
}

TEST_F(RecordTest, RecordCarriesTheDevicesIdentity) {
  simbus::SimDevice model = device("1-2", 0x046d, 0xc52b);
  model.speed = "12";
  model.manufacturer = std::string("ACME_Corp");
  model.product = std::string("Unifying Receiver");
  ASSERT_EQ(make(model), 0);
  ManagedUsbDevice d;
  ASSERT_TRUE(record(12, &d));
  EXPECT_EQ(d.vendorId, 0x046d);  // from the descriptor, not from PRODUCT
  EXPECT_EQ(d.productId, 0xc52b);
  EXPECT_STREQ(d.manufacturer, "ACME Corp");
  EXPECT_STREQ(d.product, "Unifying Receiver");
  EXPECT_STREQ(d.serial, "SER");
  EXPECT_EQ(d.speed, 1);
  EXPECT_EQ(d.port, 2);
  EXPECT_EQ(d.state, DEVICE_FREE);
  EXPECT_EQ(d.configurationValue, 255);
  EXPECT_EQ(d.hubFd, -1);
  EXPECT_STREQ(d.sysfsPath, "/sys/bus/usb/devices/1-2");
  EXPECT_STREQ(d.nodePath, "/dev/bus/usb/001/002");
  EXPECT_EQ(d.descriptors[0], 18);
  EXPECT_EQ(d.descriptors[18 + 1], 2);  // the configuration follows
  EXPECT_TRUE(log.contains("LOG_INFO    Found Full speed device [046d:c52b] \"ACME Corp, Unifying Receiver\" at address 12"));
  EXPECT_TRUE(log.contains(
      "LOG_WARNING Warning, error 2 opening the hub (none) file descriptor some functionality may not be available, "
      "No such file or directory"));
  EXPECT_EQ(getDeviceVendorId(12), 0x046d);
  EXPECT_EQ(getDeviceVendorId(99), 0);
  char text[128];
  getDeviceSerial(12, text);
  EXPECT_STREQ(text, "SER");
  int found = 0;
  EXPECT_EQ(getParentHubFd(12, &found), -1);
  EXPECT_EQ(found, 1);
  getParentHubFd(99, &found);
  EXPECT_EQ(found, 0);
  // The record holds the usbfs node open, nothing else.
  EXPECT_EQ(bus.openPaths(), std::vector<std::string>{"/dev/bus/usb/001/002"});
}

TEST_F(RecordTest, SpeedsFromTheSysfsText) {
  struct Case {
    const char* name;
    const char* text;
    uint8_t speed;
  } cases[] = {{"1-1", "1.5", 0}, {"1-2", "12", 1}, {"1-3", "480", 2}, {"1-4", "5000", 3}, {"1-5", "10000", 3}};
  for (const Case& c : cases) {
    simbus::SimDevice model = device(c.name);
    model.speed = c.text;
    ASSERT_EQ(make(model), 0) << c.name;
    ManagedUsbDevice d;
    ASSERT_TRUE(record(deviceAddressFromPath(c.name), &d));
    EXPECT_EQ(d.speed, c.speed) << c.text;
  }
}

TEST_F(RecordTest, MissingStringsFallBackToIds) {
  simbus::SimDevice model = device("1-3", 0x1a2b, 0x0c0d);
  model.manufacturer.reset();
  model.product.reset();
  ASSERT_EQ(make(model), 0);
  char text[64];
  getDeviceProduct(13, text);
  EXPECT_STREQ(text, "0x0c0d");
  getDeviceManufacturer(13, text);
  EXPECT_STREQ(text, "0x1a2b");
  EXPECT_TRUE(log.contains("LOG_DEBUG   Warning, could not open device product file /sys/bus/usb/devices/1-3/product, "
                           "error 2 (No such file or directory)"));
}

TEST_F(RecordTest, LongStringsAreCutToTheirFields) {
  simbus::SimDevice model = device("1-4");
  model.manufacturer = std::string(300, 'm');
  model.product = std::string(300, 'p');
  ASSERT_EQ(make(model), 0);
  char text[64];
  getDeviceProduct(14, text);
  EXPECT_EQ(strlen(text), 63u);
  getDeviceManufacturer(14, text);
  EXPECT_EQ(strlen(text), 63u);
}

TEST_F(RecordTest, DescriptorsAreReadInPagesUpToTheirEnd) {
  simbus::SimDevice model = device("1-5");
  std::vector<uint8_t> descriptors = {18, 1, 0, 2, 0, 0, 0, 64, 0x34, 0x12, 0x78, 0x56, 0, 1, 1, 2, 0, 1};
  std::vector<uint8_t> configuration(10000, 0);
  configuration[0] = 9;
  configuration[1] = 2;
  configuration[2] = 10000 & 0xff;
  configuration[3] = 10000 >> 8;
  for (size_t i = 9; i < configuration.size(); ++i) configuration[i] = static_cast<uint8_t>(i);
  descriptors.insert(descriptors.end(), configuration.begin(), configuration.end());
  model.descriptors = descriptors;
  ASSERT_EQ(make(model), 0);
  uint8_t* copy = getDeviceDescriptorsCopy(15);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(memcmp(copy, descriptors.data(), descriptors.size()), 0);
  EXPECT_EQ(copy[descriptors.size()], 0);  // zero-filled after the part read
  free(copy);
  EXPECT_EQ(bus.largestRead(bus.sysfsDir("1-5") + "/descriptors"), 4096u);
}

// Every way creation can fail: the exact log line, no record, no descriptor
// left open.
TEST_F(RecordTest, CreationFailuresLeaveNothingBehind) {
  struct Case {
    const char* what;
    std::function<void(simbus::SimBus&, const std::string& dir)> arrange;
    const char* logLine;
  } cases[] = {
      {"no descriptors", [](simbus::SimBus& b, const std::string& d) { b.removePath(d + "/descriptors"); },
       "LOG_ERR     Error 2 opening device descriptors (/sys/bus/usb/devices/1-6/descriptors), No such file or directory"},
      {"descriptors unreadable", [](simbus::SimBus& b, const std::string& d) { b.failRead(d + "/descriptors", EIO); },
       "LOG_ERR     Error 5 reading device descriptors (/sys/bus/usb/devices/1-6/descriptors), Input/output error"},
      {"descriptors empty", [](simbus::SimBus& b, const std::string&) { b.setAttribute("1-6", "descriptors", ""); },
       "LOG_ERR     Error 61 reading device descriptors (/sys/bus/usb/devices/1-6/descriptors), No data available"},
      {"descriptors truncated",
       [](simbus::SimBus& b, const std::string&) { b.setAttribute("1-6", "descriptors", std::string("\x12\x01\x00\x02", 4)); },
       "LOG_ERR     Error, device descriptors (/sys/bus/usb/devices/1-6/descriptors) are truncated or malformed (4 bytes)"},
      {"descriptors not a device descriptor",
       [](simbus::SimBus& b, const std::string&) { b.setAttribute("1-6", "descriptors", std::string(18, '\x09')); },
       "are truncated or malformed (18 bytes)"},
      {"descriptors oversized",
       [](simbus::SimBus& b, const std::string&) {
         std::string big(65554, '\0');
         big[0] = 18;
         big[1] = 1;
         b.setAttribute("1-6", "descriptors", big);
       },
       "LOG_ERR     Error, device descriptors (/sys/bus/usb/devices/1-6/descriptors) are longer than 65553 bytes"},
      {"no speed", [](simbus::SimBus& b, const std::string& d) { b.removePath(d + "/speed"); },
       "LOG_ERR     Error 2 opening device speed /sys/bus/usb/devices/1-6/speed, No such file or directory"},
      {"speed unreadable", [](simbus::SimBus& b, const std::string& d) { b.failRead(d + "/speed", EIO); },
       "LOG_ERR     Error 5 reading device speed at /sys/bus/usb/devices/1-6/speed"},
      {"node missing", [](simbus::SimBus& b, const std::string&) { b.removePath("/dev/bus/usb/001/009"); },
       "LOG_ERR     Error 2 opening device (/dev/bus/usb/001/009) file descriptor, No such file or directory"},
  };
  simbus::SimDevice model = device("1-6");
  model.devnum = 9;
  for (const Case& c : cases) {
    bus.addDevice(model);
    c.arrange(bus, bus.sysfsDir("1-6"));
    EXPECT_LT(makeFor("1-6"), 0) << c.what;
    EXPECT_TRUE(log.contains(c.logLine)) << c.what << "\n" << log.text();
    EXPECT_EQ(deviceCount(), 0u) << c.what;
    EXPECT_EQ(bus.openDescriptors(), 0) << c.what;
    bus.clearFailures();
    bus.removeDevice("1-6");
  }
}

TEST_F(RecordTest, QnapLogsOpenFailuresAsWarnings) {
  settings.platformCode = 6;
  bus.addDevice(device("1-6"));
  bus.removePath("/dev/bus/usb/001/002");
  EXPECT_LT(makeFor("1-6"), 0);
  EXPECT_TRUE(log.contains("LOG_WARNING Error 2 opening device (/dev/bus/usb/001/002) file descriptor"));
}

TEST_F(RecordTest, NameWithoutPortGivesNoRecord) {
  // A directory whose last component ends in ".0" names no port.
  for (const char* dir : {"/sys/devices/fake/1-1.0", "/sys/devices/fake/17"}) {
    bus.addDevice(device("1-7"));
    std::string source = bus.sysfsDir("1-7");
    for (const char* attribute : {"descriptors", "speed"}) {
      bus.setAttribute("1-7", attribute, bus.fileContent(source + "/" + attribute));
      bus.writeFile(std::string(dir) + "/" + attribute, bus.fileContent(source + "/" + attribute));
    }
    pthread_mutex_lock(&deviceLifecycleMutex);
    int result = createManagedDevice(deviceAddressFromPath(dir), dir, "1234/5678/100", "", bus.nodePath("1-7").c_str(),
                                     nullptr, nullptr, nullptr, 0);
    pthread_mutex_unlock(&deviceLifecycleMutex);
    EXPECT_EQ(result, -EINVAL);
    EXPECT_TRUE(log.contains(std::string("LOG_ERR     Error parsing device port from ") + dir));
    EXPECT_EQ(deviceCount(), 0u);
    EXPECT_EQ(bus.openDescriptors(), 0);
    bus.removeDevice("1-7");
  }
}

TEST_F(RecordTest, HubNodeThatOpensGivesAHubDescriptor) {
  ASSERT_EQ(make(device("1-8"), "/dev/bus/usb/001/001"), 0);
  int found = 0;
  EXPECT_GE(getParentHubFd(18, &found), 0);
  EXPECT_FALSE(log.contains("opening the hub"));
}

TEST_F(RecordTest, UnplugRemovesOnlyTheNamedRecordAndItsNode) {
  ASSERT_EQ(make(device("1-9")), 0);
  EXPECT_EQ(unplugDevice(19, "/devices/pci0000:00/0000:00:14.0/usb1/1-19", 1), -ENODEV);  // same digits, other name
  EXPECT_TRUE(hasDevice(19));
  EXPECT_EQ(unplugDevice(19, "/devices/pci0000:00/0000:00:14.0/usb1/1-9", 1), 0);
  EXPECT_FALSE(hasDevice(19));
  EXPECT_TRUE(log.contains("LOG_INFO    Unmanaging device 19 [1234:5678]"));
  EXPECT_EQ(bus.openDescriptors(), 0);
  EXPECT_EQ(unplugDevice(19, nullptr, 1), -ENODEV);
}

TEST_F(RecordTest, AddressHeldByAnotherNameIsRefused) {
  // 1-11 on root port 11 and 1-1.1 behind the hub on port 1 both give 111.
  bus.addDevice(simbus::hubDevice("1-1"));
  ASSERT_EQ(make(device("1-11", 0x1111, 0x0001)), 0);
  EXPECT_EQ(make(device("1-1.1", 0x2222, 0x0002)), -EADDRINUSE);
  EXPECT_TRUE(log.contains("LOG_ERR     Error, device /sys/bus/usb/devices/1-1.1 has address 111, which "
                           "/sys/bus/usb/devices/1-11 already holds, not managing it"));
  EXPECT_EQ(getDeviceVendorId(111), 0x1111);
  EXPECT_EQ(deviceCount(), 1u);
  EXPECT_EQ(bus.openPaths().size(), 1u);  // only the first device's node
  // The same device again is not a second record either.
  EXPECT_EQ(makeFor("1-11"), -EEXIST);
  EXPECT_EQ(deviceCount(), 1u);
}

}  // namespace

// The record reports to whatever table its host installed, and to nothing
// when there is none: the USB layer itself sends nothing anywhere.
namespace {
struct Reports {
  static inline std::vector<std::pair<uint32_t, uint8_t>> seen;  // address, state
  static inline std::string product;
  static void arrived(const DeviceSummary* d) {
    seen.push_back({d->address, d->state});
    product = d->product;
  }
  static void removed(const DeviceSummary* d) { seen.push_back({d->address, d->state}); }
};
}  // namespace

TEST_F(RecordTest, ArrivalAndRemovalAreReportedToTheInstalledCallbacks) {
  const UsbEventCallbacks table = {Reports::arrived, Reports::removed, nullptr, nullptr};
  installUsbEventCallbacks(&table);
  Reports::seen.clear();
  ASSERT_EQ(make(device("1-9")), 0);
  EXPECT_EQ(Reports::product, "Widget");
  ASSERT_EQ(unplugDevice(19, nullptr, 1), 0);
  const std::vector<std::pair<uint32_t, uint8_t>> expected = {{19, DEVICE_FREE}, {19, DEVICE_REMOVED}};
  EXPECT_EQ(Reports::seen, expected);

  installUsbEventCallbacks(nullptr);
  Reports::seen.clear();
  ASSERT_EQ(make(device("1-8")), 0);
  ASSERT_EQ(unplugDevice(18, nullptr, 1), 0);
  EXPECT_TRUE(Reports::seen.empty());
}
