#include "ovusbd/core/frameparser.h"

#include <lz4.h>

#include <cstdlib>
#include <cstring>

namespace {

uint32_t readLe32(const uint8_t* bytes) {
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
}

} // namespace

int parseFramePrefix(const uint8_t* bytes, size_t length, FrameSizes* out) {
    if (length < kFramePrefixSize) {
        return FRAME_INCOMPLETE;
    }
    out->compressedLength = readLe32(bytes);
    out->bodyLength = readLe32(bytes + 4);
    out->frameBytes = out->compressedLength != 0 ? out->compressedLength : out->bodyLength;
    if (out->compressedLength > kMaxFrameLength || out->bodyLength > kMaxFrameLength) {
        return FRAME_TOO_BIG;
    }
    // A body shorter than its header would let handlers read the header
    // fields past the end of what arrived.
    if (out->bodyLength < kMessageHeaderSize) {
        return FRAME_TOO_SHORT;
    }
    return 0;
}

int decodeFrameBody(const FrameSizes* sizes, const uint8_t* data, size_t length, uint8_t* scratch,
                    size_t scratchSize, const MessageHeader** body) {
    if (length < sizes->frameBytes) {
        return FRAME_INCOMPLETE;
    }
    const uint8_t* bytes = data;
    if (sizes->compressedLength != 0) {
        if (scratchSize < sizes->bodyLength) {
            return FRAME_NO_BUFFER;
        }
        // With the capacity set to exactly L, LZ4 refuses output that would
        // run past L; a block that stops short of L is caught below.
        const int inflated = LZ4_decompress_safe(reinterpret_cast<const char*>(data), reinterpret_cast<char*>(scratch),
                                                 int(sizes->compressedLength), int(sizes->bodyLength));
        if (inflated < 0) {
            return FRAME_BAD_COMPRESSION;
        }
        if (uint32_t(inflated) != sizes->bodyLength) {
            return FRAME_SIZE_MISMATCH;
        }
        bytes = scratch;
    }
    const uint32_t payloadLength = readLe32(bytes + offsetof(MessageHeader, payloadLength));
    if (payloadLength > sizes->bodyLength - kMessageHeaderSize) {
        return FRAME_BAD_PAYLOAD_LENGTH;
    }
    *body = reinterpret_cast<const MessageHeader*>(bytes);
    return 0;
}

void releaseFrameScratch(FrameScratch* scratch) {
    free(scratch->data);
    scratch->data = nullptr;
    scratch->size = 0;
}

long parseFrame(const uint8_t* bytes, size_t length, FrameScratch* scratch, const MessageHeader** body) {
    FrameSizes sizes;
    int result = parseFramePrefix(bytes, length, &sizes);
    if (result != 0) {
        return result;
    }
    if (length - kFramePrefixSize < sizes.frameBytes) {
        return FRAME_INCOMPLETE;
    }
    if (sizes.compressedLength != 0 && scratch->size < sizes.bodyLength) {
        auto* grown = static_cast<uint8_t*>(malloc(sizes.bodyLength));
        if (grown == nullptr) {
            return -ENOMEM;
        }
        free(scratch->data);
        scratch->data = grown;
        scratch->size = sizes.bodyLength;
    }
    result = decodeFrameBody(&sizes, bytes + kFramePrefixSize, length - kFramePrefixSize, scratch->data,
                             scratch->size, body);
    if (result != 0) {
        return result;
    }
    return long(kFramePrefixSize) + long(sizes.frameBytes);
}

const char* frameErrorText(int error) {
    switch (error) {
    case 0: return "ok";
    case FRAME_INCOMPLETE: return "incomplete frame";
    case FRAME_TOO_BIG: return "frame too big";
    case FRAME_TOO_SHORT: return "body shorter than the message header";
    case FRAME_BAD_COMPRESSION: return "body does not decompress";
    case FRAME_SIZE_MISMATCH: return "decompressed size differs from the body length";
    case FRAME_BAD_PAYLOAD_LENGTH: return "payload length exceeds the body";
    case FRAME_NO_BUFFER: return "decompression buffer too small";
    default: return "frame error";
    }
}
