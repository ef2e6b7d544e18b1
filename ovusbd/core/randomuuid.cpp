#include "ovusbd/core/randomuuid.h"

#include <stdio.h>
#include <string.h>

#include "ovusbd/core/log.h"

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

void readRandomUuid(uint8_t out[16]) {
    FILE* f = fopen("/proc/sys/kernel/random/uuid", "re");
    if (f == nullptr) {
        logMessage(3, "Error opening uuid generator");
        return;
    }
    char text[37] = {};
    const size_t got = fread(text, 1, 36, f);
    fclose(f);
    if (got != 36) {
        logMessage(3, "Error obtaining generated uuid");
        return;
    }
    uint8_t bytes[16];
    int n = 0;
    for (int i = 0; i < 36 && n < 16;) {
        if (text[i] == '-') {
            i++;
            continue;
        }
        const int high = hexValue(text[i]), low = i + 1 < 36 ? hexValue(text[i + 1]) : -1;
        if (high < 0 || low < 0) {
            logMessage(3, "Error obtaining generated uuid");
            return;
        }
        bytes[n++] = uint8_t(high << 4 | low);
        i += 2;
    }
    if (n == 16) {
        memcpy(out, bytes, 16);
    }
}
