// UsbSettings: the values the USB layer reads and start-up settles once.
// Start-up owns the one structure, fills it from its own settings and the
// configuration before discovery starts, and installs it; it never changes
// while the server runs, so no lock guards it. A test fills a structure of
// its own and installs that.
#pragma once

#include <stdint.h>

constexpr uint32_t kSmallBulkUrbSize = 16384;
constexpr uint32_t kSmallIsoUrbSize = 196608;
constexpr uint32_t kLargeUrbSize = 0x900000;

struct UsbSettings {
  // The platform code of start-up's detection (kPlatformQnap logs missing
  // device files quieter; some boards have devices ignored by default).
  int platformCode = 0;
  const char* serverSerial = nullptr;         // a Raspberry Pi's ignored devices key on it
  const char* deviceNodeDirectory = nullptr;  // -d: where device nodes are made; null when not given
  const char* autoAttachDefault = "1";        // default of "AutoAttachToKernel"
  bool nasPlatform = false;                   // mass-storage devices are unmounted before a claim
  bool udevMode = false;                      // "UdevMode": datagrams come from udev, not the kernel
  int controlTimeout = 3;                     // "ControlTimeout", seconds
  // Control transfers of one device in flight at once; one more is refused
  // with -EBUSY. Each holds its reply and URB buffers until it completes.
  uint32_t controlTransfersPerDevice = 32;
  // Threads of port status, port power and hub-class requests running at
  // once, over every client; one more is refused with -EBUSY. A hub answers
  // one request at a time, so more threads would only wait on it.
  uint32_t hubRequestThreads = 8;
  bool enableIsoZeroCopy = false;             // "EnableIsoZeroCopy"
  bool enableBulkIntZeroCopy = false;         // "EnableBulkIntZeroCopy"
  int minIsoZeroCopySize = 16384;             // "MinIsoZeroCopySize"
  int minBulkIntZeroCopySize = 16384;         // "MinBulkIntZeroCopySize"
  // Largest buffer of one bulk, interrupt or control URB, and of one
  // isochronous URB (readUrbSizes).
  uint32_t bulkUrbSize = kSmallBulkUrbSize;
  uint32_t isoUrbSize = kSmallIsoUrbSize;
  // Waits of the transfer engine, in milliseconds; tests shrink them. 0 for
  // the control watchdog means "ControlTimeout" seconds.
  int controlTimeoutMs = 0;
  int nonResponsiveMs = 3000;  // a half-submitted transfer's URBs are overdue
  int collectorSleepMs = 1000;  // one collector pass every two of these
  int unplugSettleMs = 100;     // unplug lets the reaper collect discards,
  int unplugExtraSettleMs = 250;  // and this much more when some are out
  int unbindDrainMs = 5000;       // an unbind waits for its discarded URBs
  int companionPowerOnWaitMs = 500;  // a companion hub port settles after power-on
  int powerCycleOffMs = 2000;        // a power-cycled port stays off this long
};

// The installed settings; the defaults above while none is installed.
const UsbSettings& usbSettings();

// Installs settings (null: back to the defaults). The structure stays the
// caller's and must outlive every reader.
void installUsbSettings(const UsbSettings* settings);

// The control watchdog's time-out in milliseconds.
int controlTimeoutMs(const UsbSettings& settings);

// Sets the URB sizes from the kernel release text ("6.1.0-13-amd64"):
// kernels newer than 3.2 take URBs of 0x900000 bytes, older ones keep the
// sizes in `settings`. Logs which it chose.
void configureUrbSizes(const char* release, UsbSettings* settings);

// Start-up: the sizes from the first line of /proc/sys/kernel/osrelease,
// the small ones when it cannot be read.
void readUrbSizes(UsbSettings* settings);
