// Pure decoding of received frames: functions of (bytes, length) only, no
// sockets and no globals, so the fuzz target drives exactly this code.
//
// Checks run in a fixed order before any byte of a body is trusted: the whole
// prefix; both lengths within kMaxFrameLength and L at least one header; then
// the caller allocates and reads C (or L) bytes; then the body is inflated to
// exactly L bytes; then the header's payload length must fit in what arrived
// (at most L - 33). Only a body that passed all of them reaches a handler.
// Bytes after the payload (a peer that pads its frames) are ignored: only a
// payload longer than its body could make a handler read past the buffer.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "ovusbd/core/message.h"

enum FrameError : int {
    FRAME_INCOMPLETE = -EAGAIN,            // fewer bytes than the frame needs
    FRAME_TOO_BIG = -E2BIG,                // C or L above kMaxFrameLength
    FRAME_TOO_SHORT = -ENODATA,            // L below the 33-byte header
    FRAME_BAD_COMPRESSION = -EPROTO,       // the LZ4 block does not decode
    FRAME_SIZE_MISMATCH = -EMSGSIZE,       // the LZ4 block decodes to other than L bytes
    FRAME_BAD_PAYLOAD_LENGTH = -EBADMSG,   // header payload length above L - 33
    FRAME_NO_BUFFER = -ENOBUFS,            // caller's scratch buffer smaller than L
};

struct FrameSizes {
    uint32_t compressedLength;  // C
    uint32_t bodyLength;        // L
    uint32_t frameBytes;        // bytes after the prefix: C, or L when C is 0
};

// Reads the 8-byte prefix. Fills out even on FRAME_TOO_BIG/FRAME_TOO_SHORT so
// the caller can log both words. Returns 0, FRAME_INCOMPLETE, FRAME_TOO_BIG
// or FRAME_TOO_SHORT.
int parseFramePrefix(const uint8_t* bytes, size_t length, FrameSizes* out);

// Turns the frameBytes bytes that followed a valid prefix into a body of
// exactly L bytes. A raw body is returned in place; a compressed one is
// inflated into scratch (scratchSize must be at least L). On success *body
// points at the message header and 0 is returned; otherwise a FrameError.
int decodeFrameBody(const FrameSizes* sizes, const uint8_t* data, size_t length, uint8_t* scratch,
                    size_t scratchSize, const MessageHeader** body);

// Growable buffers for parseFrame; zero-initialise, free with releaseFrameScratch.
struct FrameScratch {
    uint8_t* data;
    size_t size;
};
void releaseFrameScratch(FrameScratch* scratch);

// Parses one whole frame at the start of bytes. Returns the number of bytes
// the frame used (> 0) with *body set, or a FrameError. A stream whose next
// frame is cut short gives FRAME_INCOMPLETE.
long parseFrame(const uint8_t* bytes, size_t length, FrameScratch* scratch, const MessageHeader** body);

// Short text for a FrameError, for log lines.
const char* frameErrorText(int error);
