// Pure matching of a device against the discovery filters of the
// configuration ("IgnoredBuses", "IgnoredDevices", "AllowedDevices"), and
// the hub ports that "ClaimPort" names. Each
// list is the configured text, comma-separated; ids are hexadecimal.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Vendor and product ids from a uevent PRODUCT value ("46d/c52b/1211").
// Missing or unreadable parts give 0.
void parseProductValue(const char* product, uint16_t* vendorId, uint16_t* productId);

// An entry E excludes the device when the lower-cased path contains "/E/"
// or ends with "/E" (compared in lower case).
bool matchesIgnoredBuses(const char* list, const char* sysfsPath);

// Entries "vendor[/product[/serial]]": a matching entry has the device's
// vendor; its product is missing, empty, starts with '*', is 0, or equals the
// device's; its serial is missing or empty, or the device has none, or they
// are equal.
bool matchesIgnoredDevices(const char* list, uint16_t vendorId, uint16_t productId, const char* serial);

// Entries "vendor", "vendor/*" or "vendor/product". True when the list is
// null or empty, or an entry covers the device.
bool allowedByAllowedDevices(const char* list, uint16_t vendorId, uint16_t productId);

// The "IgnoredDevices" text `list` (null: none) with the entry "%x/%x" or
// "%x/%x/serial" appended, or null when an entry already covers the device:
// the same ids and no serial, or the same serial. Null as well when memory
// runs out, with *failed set.
char* addIgnoredDeviceEntry(const char* list, uint16_t vendorId, uint16_t productId, const char* serial,
                            bool* failed);

// Built-in "IgnoredDevices" of the platform (the network and hub chips of
// some boards), or null.
const char* defaultIgnoredDevices(int platformCode, const char* serverSerial);

// The ports named for the hub of `hubAddress` by the "ClaimPort" list, in
// list order, into ports; returns how many (at most capacity). An entry
// names a port when it is the hub's address followed by one digit 1 to 9.
size_t portsNamedByClaimPort(const char* list, uint32_t hubAddress, unsigned* ports, size_t capacity);
