// MD5 as defined in RFC 1321.
#include "sys/md5.h"

#include <string.h>

namespace {

const uint32_t ROUND_CONSTANTS[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

const int SHIFTS[64] = {
    7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
    5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
    4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
    6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21,
};

uint32_t RotateLeft(uint32_t value, int count)
{
    return (value << count) | (value >> (32 - count));
}

} // namespace

void Md5Init(MD5_CONTEXT* context)
{
    context->state[0] = 0x67452301;
    context->state[1] = 0xefcdab89;
    context->state[2] = 0x98badcfe;
    context->state[3] = 0x10325476;
    context->bitCount = 0;
    context->bufferLength = 0;
}

void Md5Transform(MD5_CONTEXT* context, const uint8_t block[64])
{
    uint32_t words[16];
    for (int i = 0; i < 16; i++)
        words[i] = static_cast<uint32_t>(block[i * 4]) | static_cast<uint32_t>(block[i * 4 + 1]) << 8 |
                   static_cast<uint32_t>(block[i * 4 + 2]) << 16 | static_cast<uint32_t>(block[i * 4 + 3]) << 24;
    uint32_t a = context->state[0];
    uint32_t b = context->state[1];
    uint32_t c = context->state[2];
    uint32_t d = context->state[3];
    for (int i = 0; i < 64; i++) {
        uint32_t f;
        int g;
        if (i < 16) {
            f = (b & c) | (~b & d);
            g = i;
        } else if (i < 32) {
            f = (b & d) | (c & ~d);
            g = (5 * i + 1) % 16;
        } else if (i < 48) {
            f = b ^ c ^ d;
            g = (3 * i + 5) % 16;
        } else {
            f = c ^ (b | ~d);
            g = (7 * i) % 16;
        }
        uint32_t next = b + RotateLeft(a + f + ROUND_CONSTANTS[i] + words[g], SHIFTS[i]);
        a = d;
        d = c;
        c = b;
        b = next;
    }
    context->state[0] += a;
    context->state[1] += b;
    context->state[2] += c;
    context->state[3] += d;
}

void Md5Update(MD5_CONTEXT* context, const void* data, size_t length)
{
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    context->bitCount += static_cast<uint64_t>(length) * 8;
    while (length > 0) {
        size_t take = 64 - context->bufferLength;
        if (take > length)
            take = length;
        memcpy(context->buffer + context->bufferLength, bytes, take);
        context->bufferLength += static_cast<uint32_t>(take);
        bytes += take;
        length -= take;
        if (context->bufferLength == 64) {
            Md5Transform(context, context->buffer);
            context->bufferLength = 0;
        }
    }
}

void Md5Final(MD5_CONTEXT* context, uint8_t digest[MD5_DIGEST_SIZE])
{
    uint64_t bits = context->bitCount;
    uint8_t length[8];
    for (int i = 0; i < 8; i++)
        length[i] = static_cast<uint8_t>(bits >> (8 * i));
    // Pad with 0x80 and zeros to 56 bytes mod 64, then the bit length.
    static const uint8_t padding[64] = {0x80};
    size_t padLength = context->bufferLength < 56 ? 56 - context->bufferLength : 120 - context->bufferLength;
    Md5Update(context, padding, padLength);
    Md5Update(context, length, 8);
    for (int i = 0; i < 4; i++)
        for (int j = 0; j < 4; j++)
            digest[i * 4 + j] = static_cast<uint8_t>(context->state[i] >> (8 * j));
}
