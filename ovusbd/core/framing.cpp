#include "ovusbd/core/framing.h"

#include <lz4.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

void initFrameEncoder(FrameEncoder* encoder, uint32_t compressionLimit) {
    encoder->buffer = nullptr;
    encoder->size = 0;
    encoder->compressionLimit = compressionLimit;
}

void releaseFrameEncoder(FrameEncoder* encoder) {
    free(encoder->buffer);
    encoder->buffer = nullptr;
    encoder->size = 0;
}

int encodeFrame(FrameEncoder* encoder, MessageHeader* message, const uint8_t** frame, size_t* frameLength) {
    // Computed in 64 bits: a payload length near 2^32 must not wrap below the limit.
    const uint64_t body = uint64_t(kMessageHeaderSize) + message->payloadLength;
    if (body > kMaxFrameLength) {
        return FRAME_TOO_BIG;
    }
    const uint32_t bodyLength = uint32_t(body);
    FramePrefix* prefix = messagePrefix(message);
    prefix->compressedLength = 0;
    prefix->bodyLength = bodyLength;
    if (bodyLength > encoder->compressionLimit) {
        const size_t needed = size_t(bodyLength) + kFramePrefixSize;
        if (encoder->size < needed) {
            auto* grown = static_cast<uint8_t*>(malloc(needed));
            if (grown == nullptr) {
                return -ENOMEM;
            }
            free(encoder->buffer);
            encoder->buffer = grown;
            encoder->size = needed;
        }
        // At most L output bytes: a block that does not shrink the body is
        // not worth sending, LZ4 then returns 0 and the raw body goes out.
        const int compressed = LZ4_compress_default(reinterpret_cast<const char*>(message),
                                                    reinterpret_cast<char*>(encoder->buffer + kFramePrefixSize),
                                                    int(bodyLength), int(bodyLength));
        if (compressed > 0) {
            FramePrefix out{uint32_t(compressed), bodyLength};
            memcpy(encoder->buffer, &out, sizeof out);
            *frame = encoder->buffer;
            *frameLength = kFramePrefixSize + size_t(compressed);
            return 0;
        }
    }
    *frame = reinterpret_cast<const uint8_t*>(prefix);
    *frameLength = kFramePrefixSize + size_t(bodyLength);
    return 0;
}

void releaseFrameDecoder(FrameDecoder* decoder) {
    free(decoder->frame);
    free(decoder->inflate);
    *decoder = FrameDecoder{};
}

namespace {

uint8_t* growBuffer(uint8_t** buffer, size_t* size, size_t n) {
    const size_t needed = n + kFramePrefixSize;
    if (*size < needed) {
        auto* grown = static_cast<uint8_t*>(malloc(needed));
        if (grown == nullptr) {
            return nullptr;
        }
        free(*buffer);
        *buffer = grown;
        *size = needed;
    }
    return *buffer + kFramePrefixSize;
}

} // namespace

uint8_t* frameDecoderFrameBuffer(FrameDecoder* decoder, size_t n) {
    return growBuffer(&decoder->frame, &decoder->frameSize, n);
}

uint8_t* frameDecoderInflateBuffer(FrameDecoder* decoder, size_t n) {
    return growBuffer(&decoder->inflate, &decoder->inflateSize, n);
}
