// Frame encoding for the transmit thread and the buffers of the receive
// thread. No sockets here: the connection threads do the I/O.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ovusbd/core/framebudget.h"
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

// Receive-side buffers, one pair per receive thread: the frame as read and,
// for a compressed frame, the inflated body. Each holds its bytes behind
// kFramePrefixSize spare bytes, so a body handed to a handler has a prefix
// slot in front of it like any ProtocolMessage. A buffer for a body of up to
// kKeptFrameBody bytes stays for the next frame (the many small messages cost
// no allocation); a larger one is taken from the frame budget, belongs to one
// frame and goes back when that frame is handled, so a connection that once
// sent a 9 MiB frame does not hold 9 MiB for its life.
struct FrameDecoder {
    uint8_t* frame;
    size_t frameSize;  // bytes of frame, prefix slot included
    uint8_t* inflate;
    size_t inflateSize;
};

// A 64 KiB bulk transfer, the size clients commonly split bulk data into,
// with its request fields and the header. Larger frames are rarer and worth
// the allocation.
constexpr size_t kKeptFrameBody = 64 * 1024 + 256;

// Makes room for the frame whose prefix is sizes: sizes->frameBytes in the
// frame buffer and, when the frame is compressed, sizes->bodyLength in the
// inflate buffer. Old contents are not kept. Large buffers take their bytes
// from the frame budget first, waiting there until stop says to give up.
// Returns 0, -ENOMEM, or -ECANCELED when stop ended the wait.
int beginFrame(FrameDecoder* decoder, const FrameSizes* sizes, FrameBudgetStop stop);
inline uint8_t* frameDecoderFrame(FrameDecoder* decoder) {
    return decoder->frame + kFramePrefixSize;
}
inline uint8_t* frameDecoderInflate(FrameDecoder* decoder) {
    return decoder->inflate + kFramePrefixSize;
}
// The frame has been handled: frees the large buffers and returns their bytes
// to the budget; the kept ones stay.
void endFrame(FrameDecoder* decoder);
// Frees every buffer (the thread ends).
void releaseFrameDecoder(FrameDecoder* decoder);

// The decoder whose body this thread is handing to a handler; the receive
// thread sets it for its life, null clears it.
void setDispatchingDecoder(FrameDecoder* decoder);

// A message with the bytes of body that the caller owns and frees with
// freeMessage (or hands to sendToConnection), for handlers whose message must
// outlive the call. When body is the body in a large buffer of this thread's
// dispatching decoder, that buffer itself becomes the message: it leaves the
// decoder and the frame budget, and the decoder makes a new one for the next
// large frame. Any other body is copied (cloneMessage): small bodies cost
// less to copy than a fresh buffer per frame. The result is a heap buffer,
// never the device pool's, whatever its type. Null when memory runs out.
// The result may be body itself: once the caller has passed it on, body is
// not to be read again.
MessageHeader* takeReceivedMessage(const MessageHeader* body);
