#include "ovusbd/usb/mounttable.h"

#include <string.h>

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

bool namesBlockDeviceOrPartition(const char* device, size_t length, const char* block) {
  static const char kPrefix[] = "/dev/";
  const size_t prefixLength = sizeof kPrefix - 1;
  const size_t blockLength = strlen(block);
  if (blockLength == 0 || length < prefixLength + blockLength) return false;
  if (memcmp(device, kPrefix, prefixLength) != 0 || memcmp(device + prefixLength, block, blockLength) != 0) {
    return false;
  }
  for (size_t i = prefixLength + blockLength; i < length; ++i) {
    if (device[i] < '0' || device[i] > '9') return false;
  }
  return true;
}

int forEachBlockDeviceMount(const char* text, size_t length, const char* block, MountVisitor visit, void* context) {
  size_t at = 0;
  while (at < length) {
    size_t end = at;
    while (end < length && text[end] != '\n') ++end;
    size_t start = at;
    while (start < end && isBlank(text[start])) ++start;
    size_t fieldEnd = start;
    while (fieldEnd < end && !isBlank(text[fieldEnd]) && text[fieldEnd] != '\0') ++fieldEnd;
    const size_t fieldLength = fieldEnd - start;
    if (fieldLength < kMountDeviceSize && namesBlockDeviceOrPartition(text + start, fieldLength, block)) {
      char device[kMountDeviceSize];
      memcpy(device, text + start, fieldLength);
      device[fieldLength] = '\0';
      int result = visit(context, device);
      if (result != 0) return result;
    }
    at = end + 1;
  }
  return 0;
}
