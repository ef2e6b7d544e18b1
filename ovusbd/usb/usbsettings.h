// Values of the USB device layer that start-up settles once and that never
// change while the layer runs, so no lock guards them. Start-up fills them
// before the first device thread exists; tests set them directly.
#pragma once

#include <stdint.h>

struct UsbSettings {
  // Largest buffer of one bulk, interrupt or control URB, and of one
  // isochronous URB (configureUrbSizes).
  uint32_t bulkUrbSize;
  uint32_t isoUrbSize;
  // A control URB that does not complete within this time is discarded
  // ("ControlTimeout", in seconds, held here in milliseconds).
  int controlTimeoutMs;
  // Zero-copy buffers ("EnableIsoZeroCopy", "EnableBulkIntZeroCopy",
  // "MinIsoZeroCopySize", "MinBulkIntZeroCopySize").
  bool enableIsoZeroCopy;
  bool enableBulkIntZeroCopy;
  uint32_t minIsoZeroCopySize;
  uint32_t minBulkIntZeroCopySize;
  // How long the completion thread waits for the URBs of a half-submitted
  // transfer before it reports the device as non responsive.
  int nonResponsiveMs;
  // One pass of the zero-copy collector every two of these.
  int collectorSleepMs;
  // Unplug gives the reaper this long to collect discarded URBs, and this
  // much more when some are still in flight.
  int unplugSettleMs;
  int unplugExtraSettleMs;
};

constexpr uint32_t kSmallBulkUrbSize = 16384;
constexpr uint32_t kSmallIsoUrbSize = 196608;
constexpr uint32_t kLargeUrbSize = 0x900000;

// The defaults: small URBs, "ControlTimeout" 3 s, zero copy off.
constexpr UsbSettings kDefaultUsbSettings = {
    kSmallBulkUrbSize, kSmallIsoUrbSize, 3000, false, false, 16384, 16384, 3000, 1000, 100, 250,
};

extern UsbSettings usbSettings;

// Sets the URB sizes from the kernel release text ("6.1.0-13-amd64"):
// kernels newer than 3.2 take URBs of 0x900000 bytes, older ones keep the
// sizes in `settings`. Logs which it chose.
void configureUrbSizes(const char* release, UsbSettings* settings);

// Start-up step of the device layer: the sizes from
// /proc/sys/kernel/osrelease, "ControlTimeout" and the zero-copy keys from
// the configuration.
void readUsbSettings(UsbSettings* settings);
