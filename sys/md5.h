// MD5 (RFC 1321).
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t MD5_DIGEST_SIZE = 16;

struct MD5_CONTEXT {
    uint32_t state[4];
    uint64_t bitCount;
    uint8_t buffer[64];
    uint32_t bufferLength; // bytes held in buffer
};

void Md5Init(MD5_CONTEXT* context);
void Md5Update(MD5_CONTEXT* context, const void* data, size_t length);
void Md5Final(MD5_CONTEXT* context, uint8_t digest[MD5_DIGEST_SIZE]);
// One 64-byte block into the chaining words.
void Md5Transform(MD5_CONTEXT* context, const uint8_t block[64]);
