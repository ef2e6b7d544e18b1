#include "ovusbd/usb/usbname.h"

#include <stdio.h>
#include <string.h>

const char* lastPathComponent(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash ? slash + 1 : path;
}

bool isUsbDeviceName(const char* name) {
  if (!name || name[0] == '.') return false;
  if (strncmp(name, "usb", 3) == 0) return true;
  const char* last = lastPathComponent(name);
  return !strchr(last, ':') && last[0] >= '0' && last[0] <= '9';
}

uint32_t deviceAddressFromPath(const char* path) {
  if (!path) return 0;
  uint64_t value = 0;
  int digits = 0;
  for (const char* p = lastPathComponent(path); *p; ++p) {
    if (*p < '0' || *p > '9') continue;
    if (++digits > 15) return 0;
    value = value * 10 + static_cast<uint64_t>(*p - '0');
  }
  // Masking a longer name into 32 bits would give a second device's address.
  if (value > UINT32_MAX) return 0;
  return static_cast<uint32_t>(value);
}

bool sameSysfsName(const char* left, const char* right) {
  return left && right && strcmp(lastPathComponent(left), lastPathComponent(right)) == 0;
}

unsigned parsePortFromName(const char* path) {
  if (!path) return 0;
  const char* last = lastPathComponent(path);
  const char* mark = strrchr(last, '.');
  if (!mark) mark = strrchr(last, '-');
  if (!mark || mark[1] == '\0') return 0;
  unsigned port = 0;
  for (const char* p = mark + 1; *p; ++p) {
    if (*p < '0' || *p > '9') return 0;
    port = port * 10 + static_cast<unsigned>(*p - '0');
    if (port > 255) return 0;
  }
  return port;
}

bool companionHubName(const char* hubName, char* out, size_t size) {
  if (!hubName || size == 0) return false;
  const char* name = lastPathComponent(hubName);
  unsigned long bus = 0;
  const char* p = name;
  for (; *p >= '0' && *p <= '9'; ++p) {
    bus = bus * 10 + static_cast<unsigned long>(*p - '0');
    // Bus numbers are small; a longer run of digits is no kernel name.
    if (bus > 100000) return false;
  }
  if (p == name || *p != '-') return false;
  int written = snprintf(out, size, "%lu%s", bus + 1, p);
  return written > 0 && static_cast<size_t>(written) < size;
}

uint8_t speedFromText(const char* text) {
  size_t length = strcspn(text, "\n");
  if (length == 3 && strncmp(text, "1.5", 3) == 0) return 0;
  if (length == 2 && strncmp(text, "12", 2) == 0) return 1;
  if (length == 3 && strncmp(text, "480", 3) == 0) return 2;
  return 3;
}

const char* speedName(uint8_t speed) {
  static const char* const names[] = {"Low", "Full", "High", "Super"};
  return speed < 4 ? names[speed] : "Unknown";
}
