// UsbSettings: the values the USB layer reads and start-up settles once.
// Start-up owns the one structure, fills it from its own settings and the
// configuration before discovery starts, and installs it; it never changes
// while the server runs, so no lock guards it. A test fills a structure of
// its own and installs that.
#pragma once

struct UsbSettings {
  // The platform code of start-up's detection (kPlatformQnap logs missing
  // device files quieter; some boards have devices ignored by default).
  int platformCode = 0;
  const char* serverSerial = nullptr;         // a Raspberry Pi's ignored devices key on it
  const char* deviceNodeDirectory = nullptr;  // -d: where device nodes are made; null when not given
  const char* autoAttachDefault = "1";        // default of "AutoAttachToKernel"
  bool udevMode = false;                      // "UdevMode": datagrams come from udev, not the kernel
  int controlTimeout = 3;                     // "ControlTimeout", seconds
  bool enableIsoZeroCopy = false;             // "EnableIsoZeroCopy"
  bool enableBulkIntZeroCopy = false;         // "EnableBulkIntZeroCopy"
  int minIsoZeroCopySize = 16384;             // "MinIsoZeroCopySize"
  int minBulkIntZeroCopySize = 16384;         // "MinBulkIntZeroCopySize"
};

// The installed settings; the defaults above while none is installed.
const UsbSettings& usbSettings();

// Installs settings (null: back to the defaults). The structure stays the
// caller's and must outlive every reader.
void installUsbSettings(const UsbSettings* settings);
