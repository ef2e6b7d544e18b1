#include "ovusbd/trovix/base58.h"

#include <errno.h>
#include <string.h>

namespace {

const char kAlphabet[] = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";

// Digit value of every byte below 0x80, -1 outside the alphabet. Indexed by
// the byte as unsigned, so a byte of 0x80 or above never reaches the table.
struct DigitTable {
    int8_t value[128];
    constexpr DigitTable() : value() {
        for (int i = 0; i < 128; i++) value[i] = -1;
        for (int i = 0; i < 58; i++) value[static_cast<unsigned char>(kAlphabet[i])] = int8_t(i);
    }
};
constexpr DigitTable kDigits;

// Largest input: the 16-byte id gives at most 22 digits; 32 bytes at most 44.
constexpr size_t kMaxBytes = 32;

} // namespace

int encodeBase58(const uint8_t* bytes, size_t length, char* out, size_t size) {
    if (size > 0) out[0] = 0;
    if (length > kMaxBytes) return -EINVAL;
    size_t zeros = 0;
    while (zeros < length && bytes[zeros] == 0) zeros++;

    // Little-endian base-58 digits of the remaining number, by repeated
    // multiply-and-add of each byte.
    uint8_t digits[kMaxBytes * 138 / 100 + 2] = {};
    size_t used = 0;
    for (size_t i = zeros; i < length; i++) {
        unsigned carry = bytes[i];
        for (size_t d = 0; d < used; d++) {
            carry += unsigned(digits[d]) << 8;
            digits[d] = uint8_t(carry % 58);
            carry /= 58;
        }
        while (carry > 0) {
            digits[used++] = uint8_t(carry % 58);
            carry /= 58;
        }
    }
    const size_t total = zeros + used;
    if (total + 1 > size) return -ENOSPC;
    size_t n = 0;
    for (size_t i = 0; i < zeros; i++) out[n++] = '1';
    for (size_t d = used; d > 0; d--) out[n++] = kAlphabet[digits[d - 1]];
    out[n] = 0;
    return int(n);
}

bool decodeBase58Fixed(const char* text, uint8_t* out, size_t width) {
    if (text == nullptr || width == 0 || width > kMaxBytes) return false;
    uint8_t value[kMaxBytes] = {};
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (*p == '1') p++;
    for (; *p != 0; p++) {
        if (*p >= 0x80 || kDigits.value[*p] < 0) return false;
        unsigned carry = unsigned(kDigits.value[*p]);
        for (size_t i = width; i > 0; i--) {
            carry += unsigned(value[i - 1]) * 58;
            value[i - 1] = uint8_t(carry & 0xff);
            carry >>= 8;
        }
        if (carry != 0) return false;
    }
    memcpy(out, value, width);
    return true;
}
