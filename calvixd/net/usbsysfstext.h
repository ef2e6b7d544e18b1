// Pure readers of the kernel's USB sysfs attribute texts and the builders of
// the device text block. No file access here: every function works on the
// bytes it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// "%d" of a decimal attribute: optional blanks, optional sign, digits. -1
// when nothing parses or the number does not fit an int.
int ParseDecimalAttribute(const char* text, size_t length);
// "%x" of a hexadecimal attribute (an optional 0x is accepted). -1 when
// nothing parses or the number is above INT_MAX.
int ParseHexAttribute(const char* text, size_t length);
// "version" ("%x.%x", as " 2.00"): major * 256 + (minor & 0xFF); 0 when it
// does not parse.
uint16_t ParseUsbVersion(const char* text, size_t length);
// "speed": 3 for 5000..., 2 for 480, 1 for 12, 0 for 1.5, else 255.
uint8_t ParseUsbSpeed(const char* text, size_t length);
// Blanks, line feeds and carriage returns removed at both ends.
std::string TrimSysfsText(const char* text, size_t length);
// A serial is kept only when it is a plain token: not empty, no character at
// or below the blank, none at or above 128, no comma.
bool IsPlainSerial(const std::string& serial);
// The display name from the trimmed manufacturer and product texts, cut to
// fit a 256-byte part of the text block.
std::string BuildDeviceName(const std::string& manufacturer, const std::string& product, bool composite,
                            uint16_t vendorId, uint16_t productId);

struct DeviceIdTexts {
    uint16_t vendorId;
    uint16_t productId;
    uint16_t bcdDevice;
    uint8_t deviceClass;
    uint8_t subClass;
    uint8_t protocol;
    bool composite;
};

// Fills the 768-byte text block: name, hardware ids, compatible ids (each
// part zero-padded to 256 bytes; the id parts are multi-strings ended by an
// empty text).
void BuildDeviceTextBlock(const std::string& name, const DeviceIdTexts& ids, uint8_t block[768]);
