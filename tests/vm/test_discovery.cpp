// Discovery on the real kernel: the unchanged ovusbd runs in the guest, the
// protocol test client reaches it through qemu's loopback forward, and QMP
// plugs and unplugs emulated devices.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/ovclient.h"
#include "tests/vm/guest.h"

#ifndef OVUSB_VM_SERVER
#define OVUSB_VM_SERVER "(ovusbd is not built)"
#endif

namespace {

using ovclient::DeviceAnnouncement;
using ovclient::OvClient;

// The guest's tree (qemu-xhci with 15 USB2 and 15 USB3 ports; a device's
// address is the digits of the last component of its sysfs name):
//   port 1    usb-hub     1-1    (a hub)
//   port 1.1  usb-tablet  1-1.1  address 111, behind the hub
//   port 2    usb-kbd     1-2    address 12
//   port 3    usb-storage 2-3    address 23 (SuperSpeed, on the USB3 root hub)
// Plugged later: usb-kbd on port 5 (1-5, address 15), on port 11 (1-11,
// address 111 again) and on port 6 (1-6, address 16).
std::vector<std::string> discoveryQemuArguments(const std::string& runDir) {
  return {"-device", "qemu-xhci,id=xhci,addr=0x14,p2=15,p3=15",
          "-device", "usb-hub,bus=xhci.0,port=1,id=hub",
          "-device", "usb-tablet,bus=xhci.0,port=1.1,id=tablet",
          "-device", "usb-kbd,bus=xhci.0,port=2,id=kbd",
          "-drive",  "if=none,id=stick,format=raw,file=" + runDir + "/stick.img",
          "-device", "usb-storage,bus=xhci.0,port=3,drive=stick,id=storage,serial=VMSTICK01"};
}

void startServer(vmguest::Guest& guest) {
  std::string why;
  ASSERT_TRUE(vmguest::startServer(guest, "", &why)) << "the server does not listen:\n" << why;
}

using vmguest::serverLog;

const DeviceAnnouncement* findAddress(const std::vector<DeviceAnnouncement>& devices, uint32_t address) {
  for (const DeviceAnnouncement& device : devices) {
    if (device.address == address) return &device;
  }
  return nullptr;
}

// Waits for an announcement of the address in the given state (1 present,
// 0 removed). Every announcement received on the way, the awaited one
// included, is added to seen.
bool waitAnnouncement(OvClient& client, uint32_t address, uint8_t state, DeviceAnnouncement* out, int timeoutMs,
                      std::vector<DeviceAnnouncement>* seen = nullptr) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
    ovclient::Message message;
    if (!client.waitFor(kMsgDeviceAnnounce, &message, std::max(left, 1))) return false;
    DeviceAnnouncement announcement;
    if (!ovclient::parseDeviceAnnouncement(message, &announcement)) continue;
    if (seen) seen->push_back(announcement);
    if (announcement.address == address && announcement.state == state) {
      if (out) *out = announcement;
      return true;
    }
  }
  return false;
}

std::string describe(const std::vector<DeviceAnnouncement>& devices) {
  std::string text;
  char line[160];
  for (const DeviceAnnouncement& device : devices) {
    snprintf(line, sizeof line, "[%u %04x:%04x state %u %s] ", device.address, device.vendorId, device.productId,
             device.state, device.product.c_str());
    text += line;
  }
  return text.empty() ? "nothing" : text;
}

size_t countLines(const std::string& log, const std::string& word) {
  size_t count = 0, start = 0;
  while (start < log.size()) {
    size_t end = log.find('\n', start);
    if (end == std::string::npos) end = log.size();
    if (log.substr(start, end - start).find(word) != std::string::npos) ++count;
    start = end + 1;
  }
  return count;
}

// Every line of the log holding all the words.
bool logHas(const std::string& log, const std::vector<std::string>& words) {
  size_t start = 0;
  while (start < log.size()) {
    size_t end = log.find('\n', start);
    if (end == std::string::npos) end = log.size();
    std::string line = log.substr(start, end - start);
    bool all = true;
    for (const std::string& word : words) all = all && line.find(word) != std::string::npos;
    if (all) return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

// One boot: the list at start, hot-plug and unplug announced to a
// connected client, and two devices whose names give the same address.
TEST(Discovery, EmulatedDevicesHotPlugAndAddressCollision) {
  vmguest::Guest guest;
  {
    std::FILE* stick = std::fopen((guest.runDir() + "/stick.img").c_str(), "w");
    ASSERT_NE(stick, nullptr);
    std::fclose(stick);
  }
  ASSERT_EQ(truncate((guest.runDir() + "/stick.img").c_str(), 1 << 20), 0);
  ASSERT_TRUE(guest.boot({{vmguest::serverBinary(OVUSB_VM_SERVER), "/usr/sbin/ovusbd"}}, discoveryQemuArguments(guest.runDir())))
      << guest.error();
  ASSERT_NO_FATAL_FAILURE(startServer(guest));

  OvClient client;
  ASSERT_TRUE(client.connectTo("127.0.0.1", guest.port(), 10000));
  ovclient::HelloReply hello;
  ASSERT_TRUE(client.hello("vm-test", "discovery", &hello, 10000));

  // The list at start: ids and strings as qemu gives them, addresses from
  // the sysfs names; the hub itself is not shared.
  std::vector<DeviceAnnouncement> devices;
  ASSERT_TRUE(client.listDevices(&devices, 1500));
  struct Want {
    uint32_t address;
    uint16_t vendorId, productId;
    const char* product;
    const char* serial;  // null: not checked
  } wants[] = {{111, 0x0627, 0x0001, "QEMU USB Tablet", nullptr},
               {12, 0x0627, 0x0001, "QEMU USB Keyboard", nullptr},
               {23, 0x46f4, 0x0001, "QEMU USB HARDDRIVE", "VMSTICK01"}};
  for (const Want& want : wants) {
    const DeviceAnnouncement* device = findAddress(devices, want.address);
    ASSERT_NE(device, nullptr) << "address " << want.address << " not listed; listed: " << describe(devices)
                               << "\nserver log:\n"
                               << serverLog(guest);
    EXPECT_EQ(device->vendorId, want.vendorId) << want.address;
    EXPECT_EQ(device->productId, want.productId) << want.address;
    EXPECT_EQ(device->manufacturer, "QEMU") << want.address;
    EXPECT_EQ(device->product, want.product) << want.address;
    if (want.serial) {
      EXPECT_EQ(device->serial, want.serial) << want.address;
    }
    EXPECT_EQ(device->state, 1) << want.address;
  }
  EXPECT_EQ(findAddress(devices, 11), nullptr) << "the hub 1-1 is listed as a device";
  // Speeds as the kernel reports them ("12", "480", "5000").
  std::string log = serverLog(guest);
  EXPECT_TRUE(logHas(log, {"Found Full speed device [0627:0001]", "QEMU USB Tablet", "at address 111"})) << log;
  EXPECT_TRUE(logHas(log, {"Found High speed device [0627:0001]", "QEMU USB Keyboard", "at address 12"})) << log;
  EXPECT_TRUE(logHas(log, {"Found Super speed device [46f4:0001]", "QEMU USB HARDDRIVE", "at address 23"})) << log;

  // Hot-plug on port 5 is announced to the connected client, and so is the
  // unplug.
  std::string reply;
  ASSERT_TRUE(guest.qmpOk("device_add", R"({"driver": "usb-kbd", "bus": "xhci.0", "port": "5", "id": "kbd5"})",
                          &reply))
      << reply;
  DeviceAnnouncement arrived;
  ASSERT_TRUE(waitAnnouncement(client, 15, 1, &arrived, 60000)) << serverLog(guest);
  EXPECT_EQ(arrived.vendorId, 0x0627);
  EXPECT_EQ(arrived.product, "QEMU USB Keyboard");
  ASSERT_TRUE(guest.qmpOk("device_del", R"({"id": "kbd5"})", &reply)) << reply;
  ASSERT_TRUE(waitAnnouncement(client, 15, 0, nullptr, 60000)) << serverLog(guest);
  ASSERT_TRUE(client.listDevices(&devices, 1500));
  EXPECT_EQ(findAddress(devices, 15), nullptr);

  // 1-11 on the root hub gives address 111, which the tablet 1-1.1 holds:
  // the newcomer is refused with an error, the tablet stays, and the
  // newcomer's removal does not take the tablet with it.
  ASSERT_TRUE(guest.qmpOk("device_add", R"({"driver": "usb-kbd", "bus": "xhci.0", "port": "11", "id": "kbd11"})",
                          &reply))
      << reply;
  std::string output;
  ASSERT_EQ(guest.run("for i in $(seq 300); do grep -q LOG_ERR.*1-11 /tmp/ovusbd.log && exit 0; sleep 0.1; done; "
                      "exit 1",
                      &output, 60000),
            0)
      << "no error line for the colliding 1-11:\n"
      << serverLog(guest);
  ASSERT_TRUE(client.listDevices(&devices, 1500));
  const DeviceAnnouncement* tablet = findAddress(devices, 111);
  ASSERT_NE(tablet, nullptr);
  EXPECT_EQ(tablet->product, "QEMU USB Tablet");
  ASSERT_TRUE(guest.qmpOk("device_del", R"({"id": "kbd11"})", &reply)) << reply;
  // Hot-plug events are handled in order: once a keyboard plugged after the
  // removal is announced, the removal of 1-11 has been dealt with.
  ASSERT_TRUE(guest.qmpOk("device_add", R"({"driver": "usb-kbd", "bus": "xhci.0", "port": "6", "id": "kbd6"})",
                          &reply))
      << reply;
  std::vector<DeviceAnnouncement> seen;
  ASSERT_TRUE(waitAnnouncement(client, 16, 1, nullptr, 60000, &seen)) << serverLog(guest);
  for (const DeviceAnnouncement& announcement : seen) {
    EXPECT_FALSE(announcement.address == 111 && announcement.state == 0) << "the tablet was announced as removed";
  }
  ASSERT_TRUE(client.listDevices(&devices, 1500));
  tablet = findAddress(devices, 111);
  ASSERT_NE(tablet, nullptr) << "the tablet went with the colliding device";
  EXPECT_EQ(tablet->product, "QEMU USB Tablet");

  // The refusal is the only error of the whole run.
  log = serverLog(guest);
  EXPECT_EQ(countLines(log, "LOG_ERR"), 1u) << log;
  EXPECT_TRUE(logHas(log, {"LOG_ERR", "1-11", "111"})) << log;
}
