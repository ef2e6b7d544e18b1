#include "ovusbd/usb/descriptorpatch.h"

#include <errno.h>
#include <string.h>

namespace {

constexpr uint8_t kBosType = 0x0f;
constexpr uint8_t kDeviceCapabilityType = 0x10;
constexpr uint8_t kContainerIdCapability = 4;
constexpr size_t kBosHeaderSize = 5;
// bLength, bDescriptorType, bDevCapabilityType, bReserved, ContainerID[16].
constexpr size_t kContainerIdSize = 20;

void writeContainerId(uint8_t* at, const uint8_t containerId[16]) {
  at[0] = kContainerIdSize;
  at[1] = kDeviceCapabilityType;
  at[2] = kContainerIdCapability;
  at[3] = 0;
  memcpy(at + 4, containerId, 16);
}

}  // namespace

void patchDeviceDescriptor(uint8_t* reply, int32_t actualLength) {
  if (!reply || actualLength < 4) return;
  uint16_t bcdUsb = static_cast<uint16_t>(reply[2] | reply[3] << 8);
  if (bcdUsb < 0x0201) {
    reply[2] = 0x10;
    reply[3] = 0x02;
  }
}

BosPatch patchBosDescriptor(uint8_t* reply, uint16_t wLength, int32_t* status, int32_t* actualLength,
                            const uint8_t containerId[16]) {
  if (*status < 0) {
    if (*status != -EPIPE) return BosPatch::Unchanged;
    *status = 0;
    if (wLength < kBosHeaderSize) return BosPatch::Synthesised;
    const uint8_t header[kBosHeaderSize] = {kBosHeaderSize, kBosType, kBosHeaderSize + kContainerIdSize, 0, 1};
    memcpy(reply, header, sizeof header);
    if (wLength == kBosHeaderSize) {
      *actualLength = kBosHeaderSize;
      return BosPatch::Synthesised;
    }
    if (wLength < kBosHeaderSize + kContainerIdSize) return BosPatch::UnexpectedLength;
    writeContainerId(reply + kBosHeaderSize, containerId);
    *actualLength = kBosHeaderSize + kContainerIdSize;
    return BosPatch::Synthesised;
  }

  // Trust only what came back: the walk stays within the bytes returned and
  // the total the device claims, whichever is less.
  int32_t returned = *actualLength < wLength ? *actualLength : wLength;
  if (returned < static_cast<int32_t>(kBosHeaderSize) || reply[1] != kBosType) return BosPatch::Malformed;
  size_t totalLength = static_cast<size_t>(reply[2] | reply[3] << 8);
  size_t end = totalLength < static_cast<size_t>(returned) ? totalLength : static_cast<size_t>(returned);
  size_t offset = kBosHeaderSize;
  while (offset < end) {
    if (end - offset < 3) return BosPatch::Malformed;
    size_t length = reply[offset];
    // A capability shorter than its three header bytes would never advance.
    if (length < 3 || length > end - offset) return BosPatch::Malformed;
    if (reply[offset + 1] == kDeviceCapabilityType && reply[offset + 2] == kContainerIdCapability) {
      if (length < kContainerIdSize) return BosPatch::Malformed;
      return memcmp(reply + offset + 4, containerId, 16) == 0 ? BosPatch::SameContainerId
                                                               : BosPatch::ContainerConflict;
    }
    offset += length;
  }
  // Appending needs the whole BOS: a part of it says nothing about the
  // capabilities that were cut off.
  if (static_cast<size_t>(returned) < totalLength) return BosPatch::Unchanged;
  if (static_cast<size_t>(wLength) < totalLength + kContainerIdSize || totalLength + kContainerIdSize > 0xffff) {
    return BosPatch::NoRoom;
  }
  writeContainerId(reply + totalLength, containerId);
  reply[4] = static_cast<uint8_t>(reply[4] + 1);
  size_t newTotal = totalLength + kContainerIdSize;
  reply[2] = static_cast<uint8_t>(newTotal & 0xff);
  reply[3] = static_cast<uint8_t>(newTotal >> 8);
  *actualLength = static_cast<int32_t>(newTotal);
  return BosPatch::Appended;
}
