#include "ovusbd/usb/usbevents.h"

#include <atomic>

namespace {

std::atomic<const UsbEventCallbacks*> installed{nullptr};

}  // namespace

void installUsbEventCallbacks(const UsbEventCallbacks* callbacks) {
  installed.store(callbacks, std::memory_order_release);
}

void reportDeviceArrived(const DeviceSummary* device) {
  const UsbEventCallbacks* callbacks = installed.load(std::memory_order_acquire);
  if (callbacks && callbacks->deviceArrived) callbacks->deviceArrived(device);
}

void reportDeviceRemoved(const DeviceSummary* device) {
  const UsbEventCallbacks* callbacks = installed.load(std::memory_order_acquire);
  if (callbacks && callbacks->deviceRemoved) callbacks->deviceRemoved(device);
}

void reportBindingChanged(uint32_t address) {
  const UsbEventCallbacks* callbacks = installed.load(std::memory_order_acquire);
  if (callbacks && callbacks->bindingChanged) callbacks->bindingChanged(address);
}

void reportBoundDeviceLeaving(uint32_t address) {
  const UsbEventCallbacks* callbacks = installed.load(std::memory_order_acquire);
  if (callbacks && callbacks->boundDeviceLeaving) callbacks->boundDeviceLeaving(address);
}
