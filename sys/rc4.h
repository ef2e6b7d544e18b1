// RC4 stream cipher.
#pragma once

#include <cstddef>
#include <cstdint>

struct RC4_STATE {
    uint32_t x;
    uint32_t y;
    uint32_t s[256];
};

// A key of length 0 schedules as a single zero byte.
void Rc4Init(RC4_STATE* state, const void* key, size_t keyLength);
// XORs input with the key stream into output; both may be the same buffer.
void Rc4Crypt(RC4_STATE* state, const void* input, void* output, size_t length);
