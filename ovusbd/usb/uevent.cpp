#include "ovusbd/usb/uevent.h"

#include <arpa/inet.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>

namespace {

// Length of the NUL-terminated text at data[offset], or -1 when no NUL lies
// within the received bytes.
long terminatedLength(const uint8_t* data, size_t length, size_t offset) {
  if (offset >= length) return -1;
  const void* end = memchr(data + offset, '\0', length - offset);
  if (!end) return -1;
  return static_cast<const uint8_t*>(end) - (data + offset);
}

int setPath(UeventEvent* event, bool add, const char* path, size_t pathLength) {
  // A device path is absolute and names something below /sys.
  if (pathLength == 0 || path[0] != '/') return -EBADMSG;
  if (pathLength > kUeventDatagramSize) return -EMSGSIZE;
  event->add = add;
  memcpy(event->path, path, pathLength);
  event->path[pathLength] = '\0';
  return kUeventUsable;
}

}  // namespace

int parseKernelUevent(const uint8_t* data, size_t length, UeventEvent* event) {
  if (!data || length == 0) return -EBADMSG;
  // The header line ends at the first NUL or newline; it must end within
  // what was received, or the path would be a cut one.
  size_t end = 0;
  while (end < length && data[end] != '\0' && data[end] != '\n') ++end;
  if (end == length) return -EMSGSIZE;
  const char* text = reinterpret_cast<const char*>(data);
  const char* at = static_cast<const char*>(memchr(text, '@', end));
  if (!at) {
    // libudev datagrams reach the same socket; they are not malformed.
    if (end == 7 && memcmp(text, "libudev", 7) == 0) return kUeventIgnored;
    return -EBADMSG;
  }
  size_t actionLength = static_cast<size_t>(at - text);
  bool add = actionLength == 3 && memcmp(text, "add", 3) == 0;
  bool remove = actionLength == 6 && memcmp(text, "remove", 6) == 0;
  if (!add && !remove) return kUeventIgnored;
  return setPath(event, add, at + 1, end - actionLength - 1);
}

int parseUdevDatagram(const uint8_t* data, size_t length, UeventEvent* event) {
  if (!data) return -EBADMSG;
  if (length < 20) return length >= 8 && memcmp(data, "libudev", 8) == 0 ? -EMSGSIZE : kUeventIgnored;
  uint32_t magic;
  memcpy(&magic, data + 8, 4);
  // Kernel datagrams reach the same socket; they are not ours here.
  if (ntohl(magic) != 0xfeedcafe) return kUeventIgnored;
  uint32_t propertiesOffset;
  memcpy(&propertiesOffset, data + 16, 4);
  if (propertiesOffset < 20) return -EBADMSG;
  if (static_cast<uint64_t>(propertiesOffset) + 32 > kUeventDatagramSize) return -EMSGSIZE;
  long actionLength = terminatedLength(data, length, propertiesOffset);
  if (actionLength < 0) return -EMSGSIZE;
  if (actionLength == 0) return -EBADMSG;
  const char* action = reinterpret_cast<const char*>(data + propertiesOffset);
  bool add = strcmp(action, "ACTION=add") == 0;
  bool remove = strcmp(action, "ACTION=remove") == 0;
  if (!add && !remove) return kUeventIgnored;
  size_t devpathOffset = propertiesOffset + static_cast<size_t>(actionLength) + 1;
  long devpathLength = terminatedLength(data, length, devpathOffset);
  if (devpathLength < 0) return -EMSGSIZE;
  const char* devpath = reinterpret_cast<const char*>(data + devpathOffset);
  if (devpathLength < 8 || memcmp(devpath, "DEVPATH=", 8) != 0) return -EBADMSG;
  return setPath(event, add, devpath + 8, static_cast<size_t>(devpathLength) - 8);
}

char* ueventValue(const char* text, const char* key) {
  if (!text || !key || !*key) return nullptr;
  size_t keyLength = strlen(key);
  const char* value = nullptr;
  for (const char* line = strchr(text, '\n'); line; line = strchr(line + 1, '\n')) {
    if (strncmp(line + 1, key, keyLength) == 0 && line[1 + keyLength] == '=') {
      value = line + 1 + keyLength + 1;
      break;
    }
  }
  if (!value && strncmp(text, key, keyLength) == 0 && text[keyLength] == '=') value = text + keyLength + 1;
  if (!value) return nullptr;
  char* result = static_cast<char*>(calloc(kUeventValueSize, 1));
  if (!result) return nullptr;
  size_t length = strcspn(value, "\n");
  if (length > kUeventValueSize - 1) length = kUeventValueSize - 1;
  memcpy(result, value, length);
  return result;
}
