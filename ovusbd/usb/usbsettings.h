// Values the USB layer takes from start-up: fixed before the layer starts
// and never changed while it runs.
#pragma once

struct UsbLayerSettings {
  int platformCode;                 // platform code of start-up (6 = QNAP)
  const char* deviceNodeDirectory;  // -d, or null
  bool udevMode;                    // "UdevMode": read libudev datagrams
  const char* autoAttachDefault;    // default of "AutoAttachToKernel", "0" or "1"
  const char* serverSerial;         // machine identity, for the default ignore list
};

extern UsbLayerSettings usbLayerSettings;

constexpr int kUsbPlatformQnap = 6;
