// RC4 stream cipher.
#include "sys/rc4.h"

namespace {

inline uint8_t NextKeyByte(RC4_STATE* state)
{
    uint32_t* s = state->s;
    state->x = (state->x + 1) & 0xFF;
    uint32_t sx = s[state->x];
    state->y = (state->y + sx) & 0xFF;
    uint32_t sy = s[state->y];
    s[state->x] = sy;
    s[state->y] = sx;
    return static_cast<uint8_t>(s[(sx + sy) & 0xFF]);
}

} // namespace

void Rc4Init(RC4_STATE* state, const void* key, size_t keyLength)
{
    static const uint8_t zeroKey = 0;
    const uint8_t* keyBytes = static_cast<const uint8_t*>(key);
    if (keyBytes == nullptr || keyLength == 0) {
        keyBytes = &zeroKey;
        keyLength = 1;
    }
    state->x = 0;
    state->y = 0;
    for (uint32_t i = 0; i < 256; i++)
        state->s[i] = i;
    uint32_t j = 0;
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t si = state->s[i];
        j = (j + si + keyBytes[i % keyLength]) & 0xFF;
        state->s[i] = state->s[j];
        state->s[j] = si;
    }
}

void Rc4Crypt(RC4_STATE* state, const void* input, void* output, size_t length)
{
    const uint8_t* in = static_cast<const uint8_t*>(input);
    uint8_t* out = static_cast<uint8_t*>(output);
    // Byte by byte, so input and output may be the same buffer.
    for (size_t i = 0; i < length; i++)
        out[i] = in[i] ^ NextKeyByte(state);
}
