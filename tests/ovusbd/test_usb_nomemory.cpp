// Discovery when memory runs out while it copies a device's node path: a
// device whose node exists is still managed, a node made for a device that
// gets no record is removed again, and nothing crashes.
//
// This binary replaces strdup so that one chosen copy can fail; every other
// call behaves as the C library's.
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <string>

#include "tests/ovusbd/test_usb_support.h"

namespace {

// Copies of this text fail once `failAfter` of them have succeeded.
std::atomic<const char*> failText{nullptr};
std::atomic<int> failAfter{0};

}  // namespace

extern "C" char* strdup(const char* text) {
  const char* target = failText.load();
  if (target && strcmp(text, target) == 0 && failAfter.fetch_sub(1) <= 0) {
    failText = nullptr;
    return nullptr;
  }
  size_t size = strlen(text) + 1;
  char* copy = static_cast<char*>(malloc(size));
  if (copy) memcpy(copy, text, size);
  return copy;
}

using namespace usbtest;

namespace {

class NoMemoryTest : public UsbFixture {};

TEST_F(NoMemoryTest, ExistingNodeNeedsNoCopyOfItsPath) {
  simbus::SimDevice d = device("1-2");
  d.devnum = 2;
  bus.addDevice(d);
  // The first copy is the node path found from the uevent's DEVNAME; a
  // second one would fail.
  failText = "/dev/bus/usb/001/002";
  failAfter = 1;
  startDiscovery();
  EXPECT_EQ(deviceCount(), 1u);
  EXPECT_TRUE(hasDevice(12));
  failText = nullptr;
  stopUsbDiscoveryThreads();
  stopDeviceManager();
  EXPECT_EQ(bus.openDescriptors(), 0);
}

}  // namespace

namespace {

TEST_F(NoMemoryTest, MadeNodeWhosePathCannotBeKeptIsRemovedAgain) {
  bus.addDirectory("/run/ovusbd-nodes");
  settings.deviceNodeDirectory = "/run/ovusbd-nodes";
  simbus::SimDevice d = device("1-2");
  d.devnum = 2;
  d.withNode = false;
  bus.addDevice(d);
  failText = "/run/ovusbd-nodes/bus_usb_001_002";
  failAfter = 0;
  startDiscovery();
  EXPECT_EQ(failText.load(), nullptr);  // the copy was tried and failed
  EXPECT_EQ(deviceCount(), 0u);
  EXPECT_TRUE(log.contains("Error making device node at /sys/bus/usb/devices/1-2"));
  // No record owns the node, so it must not stay behind.
  EXPECT_FALSE(bus.node("/run/ovusbd-nodes/bus_usb_001_002").exists);
}

}  // namespace
