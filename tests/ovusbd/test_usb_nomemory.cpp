// Discovery when memory runs out while it copies a device's node path: a
// device whose node exists is still managed, and nothing crashes.
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
