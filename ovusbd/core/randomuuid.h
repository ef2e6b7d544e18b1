// A fresh random UUID from the kernel, as 16 bytes.
#pragma once

#include <stdint.h>

// Reads the 36-character text of /proc/sys/kernel/random/uuid and packs its
// hex digit pairs into out. Logs and leaves out untouched on failure.
void readRandomUuid(uint8_t out[16]);
