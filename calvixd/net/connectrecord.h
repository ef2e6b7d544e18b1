// The connect record of a device data connection: 92 bytes, the device id
// and the session connection id in clear, bytes 8 to 91 scrambled with a
// key drawn from the client's platform byte.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t CONNECT_RECORD_BYTES = 92;

// Un-scrambles bytes 8 to 91 in place: RC4 with a 128-byte key from the
// linear congruential generator seeded with the platform byte, then each of
// bytes 8 to 23 XOR the MD5 of bytes 8 to 91 and XOR byte 91 - i. False
// when size is not CONNECT_RECORD_BYTES.
bool UnscrambleConnectRecord(uint8_t* record, size_t size, uint8_t platform);
