#include "ovusbd/usb/descriptors.h"

bool deviceDescriptorValid(const uint8_t* data, size_t length) {
  return data && length >= kDeviceDescriptorSize && data[0] == kDeviceDescriptorSize && data[1] == 1;
}

uint16_t descriptorVendorId(const uint8_t* data) { return static_cast<uint16_t>(data[8] | data[9] << 8); }

uint16_t descriptorProductId(const uint8_t* data) { return static_cast<uint16_t>(data[10] | data[11] << 8); }

int firstInterfaceClass(const uint8_t* data, size_t length) {
  constexpr size_t kAfterConfiguration = kDeviceDescriptorSize + 9;
  constexpr uint8_t kInterfaceType = 4;
  size_t at = kAfterConfiguration;
  while (at + 1 < length && data[at] != 0) {
    if (data[at + 1] == kInterfaceType) return at + 5 < length ? data[at + 5] : -1;
    at += data[at];
  }
  return -1;
}
