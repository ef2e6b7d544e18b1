// Pure rules on USB sysfs names: which directory entries are USB devices,
// the device address, the parent-hub port and the speed code.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The text after the last '/', or the whole text.
const char* lastPathComponent(const char* path);

// True for root hubs ("usb1") and device directories ("1-1.2"); false for
// null, hidden names, interfaces ("1-1:1.0") and everything else.
bool isUsbDeviceName(const char* name);

// Every decimal digit of the last path component, in order, read as one
// number: "1-1.2" gives 112, "usb1" gives 1. Returns 0 when there is no
// digit, more than 15 digits, or the number does not fit 32 bits: 0 is never
// a usable address.
uint32_t deviceAddressFromPath(const char* path);

// True when both paths end in the same kernel name ("1-1.1" and "1-11" do
// not, though their addresses are both 111).
bool sameSysfsName(const char* left, const char* right);

// Port on the parent hub: the number after the last '.' of the last
// component, or after its last '-' when it has no '.'. Returns 1..255, or 0
// when there is no such number or it is 0 or larger than 255.
unsigned parsePortFromName(const char* path);

// Name of the companion hub of a USB 2.1 hub: the same kernel name on the
// next bus, since the USB 3 half of a combined hub enumerates there ("1-1"
// gives "2-1", "9-4.2" gives "10-4.2"). Takes the last path component.
// False for a root hub ("usb1"), a name without a leading bus number, or
// when the result does not fit `size`.
bool companionHubName(const char* hubName, char* out, size_t size);

// Speed code from the text of the sysfs "speed" attribute (cut at its
// newline): "1.5" 0 (Low), "12" 1 (Full), "480" 2 (High), anything else 3.
uint8_t speedFromText(const char* text);

// "Low", "Full", "High", "Super" for 0..3, "Unknown" otherwise.
const char* speedName(uint8_t speed);
