// Pure checks and walks over the raw descriptors a device reports in sysfs
// (the device descriptor, then the configuration descriptors).
#pragma once

#include <stddef.h>
#include <stdint.h>

// Largest content of the sysfs "descriptors" attribute: the 18-byte device
// descriptor and one configuration of up to 65535 bytes.
constexpr size_t kDescriptorsSize = 65553;
constexpr size_t kDeviceDescriptorSize = 18;

// True when the data starts with a whole device descriptor (bLength 18,
// bDescriptorType 1), the only part of it read before it is handed on.
bool deviceDescriptorValid(const uint8_t* data, size_t length);

// idVendor and idProduct (little-endian, bytes 8..11) of a valid device
// descriptor.
uint16_t descriptorVendorId(const uint8_t* data);
uint16_t descriptorProductId(const uint8_t* data);

// The class (byte 5) of the first interface descriptor, walking from
// offset 27 (past the device descriptor and the configuration descriptor)
// by the descriptors' length bytes; -1 when a zero length byte or the end
// comes first.
int firstInterfaceClass(const uint8_t* data, size_t length);
