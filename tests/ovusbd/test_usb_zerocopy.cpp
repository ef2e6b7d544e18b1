// Transfer buffers: heap below the minimum, mappings from the usbfs node
// reused per endpoint, zero copy switched off by EACCES, and the collector
// unmapping buffers that stay unused.
#include <sys/mman.h>

#include "ovusbd/usb/zerocopy.h"
#include "tests/ovusbd/test_usb_transfer_support.h"

using namespace usbtest;

namespace {

class ZeroCopyTest : public TransferFixture {
 protected:
  void SetUp() override {
    collectorSleepMs = 60 * 60 * 1000;  // no pass unless a test wants one
    TransferFixture::SetUp();
    plug(std::make_shared<simbus::SilentDevice>());
    bus.setMmapCapable("1-1", true);
    setCapable(1);
  }
  static void setCapable(uint8_t capable) {
    visitDevice(kAddress, [](ManagedUsbDevice* d, void* in) { d->zeroCopyCapable = *static_cast<uint8_t*>(in); },
                &capable);
  }
  static uint8_t capable() {
    uint8_t value = 0;
    visitDevice(kAddress, [](ManagedUsbDevice* d, void* out) { *static_cast<uint8_t*>(out) = d->zeroCopyCapable; },
                &value);
    return value;
  }
  static bool mapped(uint8_t* buffer) { return reinterpret_cast<UrbBufferHeader*>(buffer)[-1].mapped == 1; }
};

TEST_F(ZeroCopyTest, AcquireTable) {
  struct Step {
    const char* what;
    uint8_t endpoint;
    uint32_t size, minSize;
    bool mapped;
    size_t pool;  // mappings in the pool afterwards
  };
  const Step steps[] = {
      {"below the minimum", 0x81, 512, 16384, false, 0},
      {"large", 0x81, 65536, 16384, true, 1},
      {"OUT data asks with no minimum", 0x02, 512, 0, true, 2},
  };
  std::vector<uint8_t*> held;
  for (const Step& s : steps) {
    uint8_t* buffer = acquireUrbBuffer(kAddress, s.endpoint, s.size, s.minSize);
    ASSERT_NE(buffer, nullptr) << s.what;
    EXPECT_EQ(mapped(buffer), s.mapped) << s.what;
    EXPECT_EQ(zeroCopyPoolCount(), s.pool) << s.what;
    buffer[s.size - 1] = 1;  // the whole size is usable
    held.push_back(buffer);
  }
  for (uint8_t* buffer : held) releaseUrbBuffer(kAddress, buffer);
  EXPECT_EQ(zeroCopyPoolInUse(), 0u);

  // Released, the 65536-byte mapping serves the next request of its endpoint
  // and size; a larger request or another endpoint maps anew.
  uint8_t* again = acquireUrbBuffer(kAddress, 0x81, 65536, 16384);
  EXPECT_EQ(again, held[1]);
  uint8_t* smaller = acquireUrbBuffer(kAddress, 0x81, 20000, 16384);
  EXPECT_NE(smaller, held[1]);
  uint8_t* larger = acquireUrbBuffer(kAddress, 0x81, 65537, 16384);
  EXPECT_TRUE(mapped(larger));
  EXPECT_EQ(zeroCopyPoolCount(), 4u);
  for (uint8_t* buffer : {again, smaller, larger}) releaseUrbBuffer(kAddress, buffer);

  // A device that cannot map gets heap buffers; an unknown device too.
  setCapable(0);
  uint8_t* heap = acquireUrbBuffer(kAddress, 0x81, 65536, 16384);
  EXPECT_FALSE(mapped(heap));
  releaseUrbBuffer(kAddress, heap);
  uint8_t* unknown = acquireUrbBuffer(99, 0x81, 65536, 16384);
  EXPECT_FALSE(mapped(unknown));
  releaseUrbBuffer(99, unknown);
  releaseUrbBuffer(kAddress, nullptr);
}

TEST_F(ZeroCopyTest, RefusedMappingTurnsZeroCopyOff) {
  bus.failMmap(ENOMEM);
  uint8_t* first = acquireUrbBuffer(kAddress, 0x81, 65536, 16384);
  EXPECT_FALSE(mapped(first));
  EXPECT_EQ(capable(), 1);  // another failure leaves it on
  bus.failMmap(EACCES);
  uint8_t* second = acquireUrbBuffer(kAddress, 0x81, 65536, 16384);
  EXPECT_FALSE(mapped(second));
  EXPECT_EQ(capable(), 0);
  bus.failMmap(0);
  uint8_t* third = acquireUrbBuffer(kAddress, 0x81, 65536, 16384);
  EXPECT_FALSE(mapped(third));  // no further attempt
  EXPECT_EQ(bus.mappings(), 0u);
  for (uint8_t* buffer : {first, second, third}) releaseUrbBuffer(kAddress, buffer);
}

TEST_F(ZeroCopyTest, HeapBuffersAreZeroed) {
  setCapable(0);
  for (int round = 0; round < 4; ++round) {
    uint8_t* buffer = acquireUrbBuffer(kAddress, 0x81, 4096, 16384);
    for (int i = 0; i < 4096; ++i) ASSERT_EQ(buffer[i], 0) << round << " " << i;
    memset(buffer, 0xab, 4096);
    releaseUrbBuffer(kAddress, buffer);
  }
}

TEST_F(ZeroCopyTest, CollectorUnmapsWhatStaysUnused) {
  stopDeviceManagerThreads();
  settings.collectorSleepMs = 25;
  ASSERT_EQ(startDeviceManagerThreads(), 0);
  uint8_t* idle = acquireUrbBuffer(kAddress, 0x81, 65536, 16384);
  uint8_t* busy = acquireUrbBuffer(kAddress, 0x82, 65536, 16384);
  releaseUrbBuffer(kAddress, idle);
  ASSERT_EQ(bus.mappings(), 2u);
  ASSERT_TRUE(waitUntil([this] { return bus.mappings() == 1; }));
  EXPECT_EQ(zeroCopyPoolCount(), 1u);
  EXPECT_EQ(zeroCopyPoolInUse(), 1u);
  // The one in use survives; it goes back to the pool after its device has
  // gone, and the stop unmaps it.
  ASSERT_EQ(unplugDevice(kAddress, nullptr, 0), 0);
  releaseUrbBuffer(kAddress, busy);
  stopDeviceManagerThreads();
  EXPECT_EQ(bus.mappings(), 0u);
  ASSERT_EQ(startDeviceManagerThreads(), 0);
}

}  // namespace
