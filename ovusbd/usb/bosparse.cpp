#include "ovusbd/usb/bosparse.h"

#include <errno.h>
#include <string.h>

namespace {

constexpr size_t kCapabilityHeadSize = 3;
constexpr size_t kContainerIdCapabilitySize = 20;
constexpr size_t kContainerIdOffset = 4;

}  // namespace

int bosTotalLength(const uint8_t* bos, size_t length) {
  if (!bos || length < kBosHeaderSize) return -EINVAL;
  if (bos[1] != kBosDescriptorType) return -EINVAL;
  size_t total = static_cast<size_t>(bos[2]) | static_cast<size_t>(bos[3]) << 8;
  if (total < kBosHeaderSize) return -EINVAL;
  return static_cast<int>(total);
}

int bosCapabilityCount(const uint8_t* bos, size_t length) {
  int total = bosTotalLength(bos, length);
  return total < 0 ? total : bos[4];
}

int findBosContainerId(const uint8_t* bos, size_t length, uint8_t containerId[kContainerIdSize]) {
  int total = bosTotalLength(bos, length);
  if (total < 0) return total;
  size_t end = static_cast<size_t>(total) < length ? static_cast<size_t>(total) : length;
  size_t offset = kBosHeaderSize;
  while (offset < end) {
    size_t capability = bos[offset];
    if (capability < kCapabilityHeadSize || capability > end - offset) return -EINVAL;
    if (bos[offset + 2] == kContainerIdCapability) {
      if (capability < kContainerIdCapabilitySize) return -EINVAL;
      memcpy(containerId, bos + offset + kContainerIdOffset, kContainerIdSize);
      return 1;
    }
    offset += capability;
  }
  return 0;
}
