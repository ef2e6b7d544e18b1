#include "ovusbd/usb/usbfilters.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

// Calls visit(entry, length) for every comma-separated entry; stops when it
// returns true and returns true then.
template <typename Visit>
bool anyEntry(const char* list, Visit visit) {
  if (!list) return false;
  const char* entry = list;
  for (;;) {
    const char* comma = strchr(entry, ',');
    size_t length = comma ? static_cast<size_t>(comma - entry) : strlen(entry);
    if (visit(std::string(entry, length))) return true;
    if (!comma) return false;
    entry = comma + 1;
  }
}

// Hexadecimal id; 16-bit comparison is what the entries mean.
uint16_t hexId(const std::string& text) {
  return static_cast<uint16_t>(strtoul(text.c_str(), nullptr, 16));
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

void parseProductValue(const char* product, uint16_t* vendorId, uint16_t* productId) {
  *vendorId = 0;
  *productId = 0;
  if (!product) return;
  char* end = nullptr;
  *vendorId = static_cast<uint16_t>(strtoul(product, &end, 16));
  if (end && *end == '/') *productId = static_cast<uint16_t>(strtoul(end + 1, nullptr, 16));
}

bool matchesIgnoredBuses(const char* list, const char* sysfsPath) {
  if (!sysfsPath) return false;
  std::string path = lower(sysfsPath);
  return anyEntry(list, [&](const std::string& entry) {
    if (entry.empty()) return false;
    std::string inner = "/" + lower(entry) + "/";
    if (path.find(inner) != std::string::npos) return true;
    std::string tail = "/" + lower(entry);
    return path.size() >= tail.size() && path.compare(path.size() - tail.size(), tail.size(), tail) == 0;
  });
}

bool matchesIgnoredDevices(const char* list, uint16_t vendorId, uint16_t productId, const char* serial) {
  bool deviceHasSerial = serial && *serial;
  return anyEntry(list, [&](const std::string& entry) {
    size_t first = entry.find('/');
    if (hexId(entry.substr(0, first)) != vendorId) return false;
    if (first == std::string::npos) return true;
    size_t second = entry.find('/', first + 1);
    std::string product = entry.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
    if (!product.empty() && product[0] != '*' && hexId(product) != 0 && hexId(product) != productId) return false;
    if (second == std::string::npos || !deviceHasSerial) return true;
    std::string entrySerial = entry.substr(second + 1);
    return entrySerial.empty() || entrySerial == serial;
  });
}

bool allowedByAllowedDevices(const char* list, uint16_t vendorId, uint16_t productId) {
  if (!list || !*list) return true;
  return anyEntry(list, [&](const std::string& entry) {
    size_t slash = entry.find('/');
    if (hexId(entry.substr(0, slash)) != vendorId) return false;
    if (slash == std::string::npos) return true;
    std::string product = entry.substr(slash + 1);
    return product == "*" || hexId(product) == productId;
  });
}

char* addIgnoredDeviceEntry(const char* list, uint16_t vendorId, uint16_t productId, const char* serial,
                            bool* failed) {
  *failed = false;
  std::string given = serial ? serial : "";
  bool covered = anyEntry(list, [&](const std::string& entry) {
    size_t first = entry.find('/');
    if (first == std::string::npos || hexId(entry.substr(0, first)) != vendorId) return false;
    size_t second = entry.find('/', first + 1);
    if (hexId(entry.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1)) !=
        productId) {
      return false;
    }
    std::string entrySerial = second == std::string::npos ? "" : entry.substr(second + 1, 127);
    return entrySerial.empty() || entrySerial == given;
  });
  if (covered) return nullptr;
  char own[160];
  if (given.empty()) {
    snprintf(own, sizeof own, "%x/%x", vendorId, productId);
  } else {
    snprintf(own, sizeof own, "%x/%x/%.127s", vendorId, productId, given.c_str());
  }
  std::string value = list ? list : "";
  if (!value.empty()) value += ',';
  value += own;
  char* text = strdup(value.c_str());
  if (!text) *failed = true;
  return text;
}

const char* defaultIgnoredDevices(int platformCode, const char* serverSerial) {
  if (platformCode == 7) return "424/ec00,424/7800";
  if (serverSerial && strncmp(serverSerial, "b827eb", 6) == 0) return "424/ec00,424/7800";
  if (platformCode == 6) return "1005/b155";
  if (platformCode == 5) return "f400/f400";
  return nullptr;
}

size_t portsNamedByClaimPort(const char* list, uint32_t hubAddress, unsigned* ports, size_t capacity) {
  if (!list || hubAddress == 0) return 0;
  char address[16];
  int addressLength = snprintf(address, sizeof address, "%u", hubAddress);
  size_t count = 0;
  const char* entry = list;
  while (*entry && count < capacity) {
    size_t length = strcspn(entry, ",");
    // Exactly the hub's address and one more digit: only ports 1 to 9 can
    // be named; "110" would name no port at all.
    if (length == static_cast<size_t>(addressLength) + 1 && strncmp(entry, address, length - 1) == 0 &&
        entry[length - 1] >= '1' && entry[length - 1] <= '9') {
      ports[count++] = static_cast<unsigned>(entry[length - 1] - '0');
    }
    entry += length;
    if (*entry == ',') ++entry;
  }
  return count;
}
