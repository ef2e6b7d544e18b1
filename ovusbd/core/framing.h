// Frame encoding for the transmit thread and the grow-only buffers of the
// receive thread. No sockets here: the connection threads do the I/O.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ovusbd/core/frameparser.h"
#include "ovusbd/core/message.h"

constexpr uint32_t kDefaultCompressionLimit = 384;

// One per transmit thread; the compression buffer only grows.
struct FrameEncoder {
    uint8_t* buffer;
    size_t size;
    uint32_t compressionLimit;  // bodies of more bytes than this are compressed
};
void initFrameEncoder(FrameEncoder* encoder, uint32_t compressionLimit);
void releaseFrameEncoder(FrameEncoder* encoder);

// Fills the message's prefix and picks the bytes to write: the message's own
// buffer (raw) or the encoder's buffer (LZ4, only when the block is no larger
// than L). The message stays the caller's. Returns 0, FRAME_TOO_BIG when the
// body exceeds kMaxFrameLength (nothing may be sent), or -ENOMEM.
int encodeFrame(FrameEncoder* encoder, MessageHeader* message, const uint8_t** frame, size_t* frameLength);

// Receive-side buffers, one pair per receive thread. Each hands out room for
// n bytes preceded by kFramePrefixSize spare bytes, so a body handed to a
// handler has a prefix slot in front of it like any ProtocolMessage and can
// be copied with cloneMessage.
struct FrameDecoder {
    uint8_t* frame;
    size_t frameSize;
    uint8_t* inflate;
    size_t inflateSize;
};
void releaseFrameDecoder(FrameDecoder* decoder);
// Null when memory runs out. Old contents are not kept.
uint8_t* frameDecoderFrameBuffer(FrameDecoder* decoder, size_t n);
uint8_t* frameDecoderInflateBuffer(FrameDecoder* decoder, size_t n);
