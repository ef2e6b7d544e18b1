// Protocol messages: the frame prefix, the 33-byte message header and the
// in-memory message buffer with its allocator, copier and destructor.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "ovusbd/core/messagetypes.h"

// Every integer on the wire is little-endian; the header structs below are
// read and written in place, which is only right on a little-endian host.
static_assert(std::endian::native == std::endian::little, "ovusbd needs a little-endian host");

constexpr uint32_t kFramePrefixSize = 8;
constexpr uint32_t kMessageHeaderSize = 33;
// Neither C nor L of a frame may exceed this, in either direction.
constexpr uint32_t kMaxFrameLength = 0x900000;
// Raw descriptors of a device as announcements and bind results carry
// them: device, configuration and the rest.
constexpr uint32_t kDeviceDescriptorsSize = 65553;

// Frame prefix: C = compressed body bytes that follow (0 = raw body),
// L = uncompressed body length = 33 + payload length.
struct FramePrefix {
    uint32_t compressedLength;
    uint32_t bodyLength;
} __attribute__((packed));

struct MessageHeader {
    uint8_t type;
    uint8_t reserved[4];
    uint32_t context1;
    uint32_t context2;
    uint32_t context3;
    uint32_t context4;
    uint32_t context5;
    uint32_t deviceAddress;
    uint32_t payloadLength;
} __attribute__((packed));
static_assert(sizeof(FramePrefix) == kFramePrefixSize);
static_assert(sizeof(MessageHeader) == kMessageHeaderSize);

// One contiguous buffer of payloadLength + 41 bytes. Code passes the
// MessageHeader around; the prefix sits right before it so that a raw frame is
// written straight from the message's own buffer.
struct ProtocolMessage {
    FramePrefix prefix;
    MessageHeader header;
} __attribute__((packed));

inline uint8_t* messagePayload(MessageHeader* message) {
    return reinterpret_cast<uint8_t*>(message) + kMessageHeaderSize;
}
inline const uint8_t* messagePayload(const MessageHeader* message) {
    return reinterpret_cast<const uint8_t*>(message) + kMessageHeaderSize;
}
inline FramePrefix* messagePrefix(MessageHeader* message) {
    return reinterpret_cast<FramePrefix*>(reinterpret_cast<uint8_t*>(message) - kFramePrefixSize);
}

// Transfer replies (kMsgBulkInterruptTransferReply, kMsgIsoTransferReply,
// kMsgIsoPackedTransferReply) may live in a device's transfer-buffer
// pool so the kernel fills their data in place. The device layer installs the
// pool; without one every message is a heap buffer.
struct MessageBufferPool {
    // Returns a buffer of at least size bytes, or null to fall back to the heap.
    void* (*acquire)(uint32_t deviceAddress, uint8_t endpoint, uint32_t size, uint32_t minimumSize);
    // Takes back a buffer acquire handed out; returns false when the buffer is
    // not the pool's (then the caller frees it as a heap buffer).
    bool (*release)(uint32_t deviceAddress, void* buffer);
    bool bulkIntEnabled;      // "EnableBulkIntZeroCopy"
    bool isoEnabled;          // "EnableIsoZeroCopy"
    uint32_t minBulkIntSize;  // "MinBulkIntZeroCopySize"
    uint32_t minIsoSize;      // "MinIsoZeroCopySize"
};
// Set before the first service starts; null removes the pool.
void setMessageBufferPool(const MessageBufferPool* pool);

// Returns a new message (its header) with the given fields set and the
// reserved bytes 0, or null when memory runs out. A heap message is zero
// filled; a pool message has only prefix, header and the first zeroCount
// payload bytes cleared. The caller owns the message until it hands it to
// sendToConnection/broadcastMessage, which take it over.
MessageHeader* allocMessage(uint32_t payloadLength, uint8_t type, uint8_t endpoint, uint8_t zeroCount,
                            uint32_t context1, uint32_t context2, uint32_t deviceAddress, uint32_t context3,
                            uint32_t context4, uint32_t context5);

// What a message the server builds carries. Fields left out are 0, so a
// call site names only what its message has:
//   newMessage({.type = kMsgPing, .payloadLength = 4})
//   newMessage({.type = kMsgType2Reply, .replyTo = request})
struct MessageFields {
    MessageType type;
    uint32_t payloadLength = 0;
    uint32_t deviceAddress = 0;
    // A reply carries the request's five context words and its device
    // address (deviceAddress above is then not used).
    const MessageHeader* replyTo = nullptr;
    // Transfer replies only: which pool buffer, and how many payload bytes
    // a pool buffer gets cleared (allocMessage).
    uint8_t endpoint = 0;
    uint8_t zeroCount = 0;
};

// allocMessage with the fields named; same ownership and failure.
MessageHeader* newMessage(const MessageFields& fields);

// Puts a payload text field: at most width - 1 characters of text (none for
// null), the rest left as it is (zero in a new message), so the field stays
// NUL-terminated.
inline void putPayloadText(uint8_t* field, size_t width, const char* text) {
    if (text == nullptr) {
        return;
    }
    size_t n = 0;
    while (n < width - 1 && text[n] != 0) {
        n++;
    }
    for (size_t i = 0; i < n; i++) {
        field[i] = uint8_t(text[i]);
    }
}

// Frees a message from any source; null is ignored.
void freeMessage(MessageHeader* message);

// A heap byte copy of the whole buffer (prefix, header, payload); never from
// the pool. Null when memory runs out. The caller owns the copy.
MessageHeader* cloneMessage(const MessageHeader* message);
