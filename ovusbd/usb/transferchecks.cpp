#include "ovusbd/usb/transferchecks.h"

#include <errno.h>
#include <linux/usbdevice_fs.h>
#include <string.h>

namespace {
constexpr size_t kIsoDescriptorSize = 12;
}

int validateBulkRequest(int32_t length, size_t bufferLength, uint8_t urbType, uint32_t streamId) {
  if (length < 0 || static_cast<size_t>(length) > bufferLength) return -EINVAL;
  if (streamId == 0 && urbType != USBDEVFS_URB_TYPE_INTERRUPT && urbType != USBDEVFS_URB_TYPE_BULK) return -EINVAL;
  return 0;
}

uint32_t isoPacketLength(const uint8_t* descriptors, uint32_t index) {
  uint32_t length;
  memcpy(&length, descriptors + static_cast<size_t>(index) * kIsoDescriptorSize, sizeof length);
  return length;
}

int validateIsoRequest(uint32_t packetCount, const uint8_t* descriptors, size_t descriptorBytes,
                       size_t resultBytes, int32_t totalLength, size_t bufferLength, uint32_t urbSize) {
  if (packetCount < 1 || packetCount > 65535) return -EINVAL;
  size_t needed = static_cast<size_t>(packetCount) * kIsoDescriptorSize;
  if (!descriptors || descriptorBytes < needed || resultBytes < needed) return -EINVAL;
  if (totalLength < 0) return -EINVAL;
  uint64_t sum = 0;
  for (uint32_t i = 0; i < packetCount; ++i) {
    uint32_t length = isoPacketLength(descriptors, i);
    if (length > urbSize) return -EINVAL;
    sum += length;
  }
  if (sum != static_cast<uint64_t>(totalLength)) return -EINVAL;
  if (static_cast<size_t>(totalLength) > bufferLength) return -EINVAL;
  return 0;
}
