#include "ovusbd/core/framing.h"

#include "ovusbd/core/largebuffers.h"

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

namespace {

thread_local FrameDecoder* dispatchingDecoder = nullptr;

bool isLarge(size_t bodyBytes) {
    return bodyBytes > kKeptFrameBody;
}

// What a buffer of size bytes (prefix slot included) holds of the budget.
size_t budgetOf(size_t size) {
    return size > kKeptFrameBody + kFramePrefixSize ? size : 0;
}

void dropBuffer(uint8_t** buffer, size_t* size) {
    giveLargeBuffer(*buffer);
    *buffer = nullptr;
    *size = 0;
}

// A kept buffer grows to the largest small body; a large buffer is made for
// its frame alone (endFrame drops it), so it is never too big here.
int fitBuffer(uint8_t** buffer, size_t* size, size_t n) {
    const size_t needed = n + kFramePrefixSize;
    if (*size >= needed) {
        return 0;
    }
    dropBuffer(buffer, size);
    bool fresh = true;
    *buffer = takeLargeBuffer(needed, false, &fresh);
    if (*buffer == nullptr) {
        return -ENOMEM;
    }
    *size = needed;
    // A fresh large buffer has no pages yet. Reading from the socket into it
    // would take each page fault while the kernel holds the socket locked,
    // and the peer's segments would wait for every one of them: fault the
    // pages in here. A cached one has them already.
    if (fresh && n > kKeptFrameBody) {
        for (size_t at = 0; at < needed; at += 4096) {
            (*buffer)[at] = 0;
        }
    }
    return 0;
}

} // namespace

int beginFrame(FrameDecoder* decoder, const FrameSizes* sizes, FrameBudgetStop stop) {
    const bool compressed = sizes->compressedLength != 0;
    const size_t frameBytes = sizes->frameBytes;
    const size_t inflateBytes = compressed ? sizes->bodyLength : 0;
    // Both buffers of a frame are taken in one go: a thread holding one while
    // waiting for the other could wait on a thread that does the same.
    size_t wanted = 0;
    if (isLarge(frameBytes)) {
        wanted += frameBytes + kFramePrefixSize;
    }
    if (isLarge(inflateBytes)) {
        wanted += inflateBytes + kFramePrefixSize;
    }
    if (wanted != 0 && !takeFrameBudget(wanted, stop)) {
        return -ECANCELED;
    }
    // A kept buffer makes way for a large one; endFrame then drops that, and
    // the next small frame allocates a small buffer again.
    int rc = fitBuffer(&decoder->frame, &decoder->frameSize, frameBytes);
    if (rc == 0 && compressed) {
        rc = fitBuffer(&decoder->inflate, &decoder->inflateSize, inflateBytes);
    }
    if (rc != 0) {
        // The budget of a buffer that was not made goes back; endFrame
        // returns the rest.
        size_t held = budgetOf(decoder->frameSize) + (compressed ? budgetOf(decoder->inflateSize) : 0);
        returnFrameBudget(wanted - held);
        endFrame(decoder);
        return rc;
    }
    return 0;
}

void endFrame(FrameDecoder* decoder) {
    const size_t held = budgetOf(decoder->frameSize) + budgetOf(decoder->inflateSize);
    if (budgetOf(decoder->frameSize) != 0) {
        dropBuffer(&decoder->frame, &decoder->frameSize);
    }
    if (budgetOf(decoder->inflateSize) != 0) {
        dropBuffer(&decoder->inflate, &decoder->inflateSize);
    }
    returnFrameBudget(held);
}

void releaseFrameDecoder(FrameDecoder* decoder) {
    endFrame(decoder);
    giveLargeBuffer(decoder->frame);
    giveLargeBuffer(decoder->inflate);
    *decoder = FrameDecoder{};
}

void setDispatchingDecoder(FrameDecoder* decoder) {
    dispatchingDecoder = decoder;
}

MessageHeader* takeReceivedMessage(const MessageHeader* body) {
    FrameDecoder* d = dispatchingDecoder;
    if (d != nullptr) {
        uint8_t** buffers[] = {&d->frame, &d->inflate};
        size_t* sizes[] = {&d->frameSize, &d->inflateSize};
        for (int i = 0; i < 2; i++) {
            uint8_t* buffer = *buffers[i];
            const size_t budget = budgetOf(*sizes[i]);
            if (budget != 0 && reinterpret_cast<const uint8_t*>(body) == buffer + kFramePrefixSize) {
                *buffers[i] = nullptr;
                *sizes[i] = 0;
                returnFrameBudget(budget);
                return reinterpret_cast<MessageHeader*>(buffer + kFramePrefixSize);
            }
        }
    }
    return cloneMessage(body);
}
