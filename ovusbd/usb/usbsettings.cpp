#include "ovusbd/usb/usbsettings.h"

#include <atomic>

namespace {

const UsbSettings kDefaults;
std::atomic<const UsbSettings*> installed{nullptr};

}  // namespace

const UsbSettings& usbSettings() {
  const UsbSettings* settings = installed.load(std::memory_order_acquire);
  return settings ? *settings : kDefaults;
}

void installUsbSettings(const UsbSettings* settings) {
  installed.store(settings, std::memory_order_release);
}
