#include "ovusbd/core/message.h"

#include "ovusbd/core/largebuffers.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

std::atomic<const MessageBufferPool*> bufferPool{nullptr};

uint8_t* bufferOf(MessageHeader* message) {
    return reinterpret_cast<uint8_t*>(message) - kFramePrefixSize;
}

} // namespace

void setMessageBufferPool(const MessageBufferPool* pool) {
    bufferPool.store(pool);
}

MessageHeader* allocMessage(uint32_t payloadLength, uint8_t type, uint8_t endpoint, uint8_t zeroCount,
                            uint32_t context1, uint32_t context2, uint32_t deviceAddress, uint32_t context3,
                            uint32_t context4, uint32_t context5) {
    // The size must fit a u32 and stay below what any frame may carry; larger
    // requests come only from bad lengths and are refused here.
    if (payloadLength > kMaxFrameLength) {
        return nullptr;
    }
    const size_t size = size_t(payloadLength) + kFramePrefixSize + kMessageHeaderSize;
    uint8_t* buffer = nullptr;
    const MessageBufferPool* pool = bufferPool.load();
    if (pool != nullptr) {
        bool fromPool = false;
        uint32_t minimum = 0;
        if (type == kMsgBulkInterruptTransferReply && pool->bulkIntEnabled) {
            fromPool = true;
            minimum = pool->minBulkIntSize;
        } else if ((type == kMsgIsoTransferReply || type == kMsgIsoPackedTransferReply) && pool->isoEnabled) {
            fromPool = true;
            minimum = pool->minIsoSize;
        }
        if (fromPool) {
            buffer = static_cast<uint8_t*>(pool->acquire(deviceAddress, endpoint, uint32_t(size), minimum));
            if (buffer != nullptr) {
                memset(buffer, 0, kFramePrefixSize + kMessageHeaderSize + (zeroCount < payloadLength ? zeroCount : payloadLength));
            }
        }
    }
    if (buffer == nullptr && size >= kLargeBufferMinimum) {
        bool fresh = true;
        buffer = takeLargeBuffer(size, true, &fresh);
        if (buffer != nullptr && !fresh) {
            // A bulk or interrupt reply's completion clears what the device
            // did not fill, as with the pool's buffers; every other message
            // starts zero-filled.
            const size_t head = kFramePrefixSize + kMessageHeaderSize;
            const size_t cleared =
                type == kMsgBulkInterruptTransferReply ? head + (zeroCount < payloadLength ? zeroCount : payloadLength) : size;
            memset(buffer, 0, cleared);
        }
    }
    if (buffer == nullptr) {
        buffer = static_cast<uint8_t*>(calloc(1, size));
        if (buffer == nullptr) {
            return nullptr;
        }
    }
    auto* header = reinterpret_cast<MessageHeader*>(buffer + kFramePrefixSize);
    header->type = type;
    header->context1 = context1;
    header->context2 = context2;
    header->context3 = context3;
    header->context4 = context4;
    header->context5 = context5;
    header->deviceAddress = deviceAddress;
    header->payloadLength = payloadLength;
    return header;
}

MessageHeader* newMessage(const MessageFields& fields) {
    const MessageHeader* request = fields.replyTo;
    if (request == nullptr) {
        return allocMessage(fields.payloadLength, fields.type, fields.endpoint, fields.zeroCount, 0, 0,
                            fields.deviceAddress, 0, 0, 0);
    }
    return allocMessage(fields.payloadLength, fields.type, fields.endpoint, fields.zeroCount, request->context1,
                        request->context2, request->deviceAddress, request->context3, request->context4,
                        request->context5);
}

void freeMessage(MessageHeader* message) {
    if (message == nullptr) {
        return;
    }
    uint8_t* buffer = bufferOf(message);
    const MessageBufferPool* pool = bufferPool.load();
    if (pool != nullptr && (message->type == kMsgBulkInterruptTransferReply || message->type == kMsgIsoTransferReply ||
                            message->type == kMsgIsoPackedTransferReply) &&
        pool->release(message->deviceAddress, buffer)) {
        return;
    }
    giveLargeBuffer(buffer);
}

MessageHeader* cloneMessage(const MessageHeader* message) {
    const size_t size = size_t(message->payloadLength) + kFramePrefixSize + kMessageHeaderSize;
    auto* buffer = static_cast<uint8_t*>(malloc(size));
    if (buffer == nullptr) {
        return nullptr;
    }
    memcpy(buffer, reinterpret_cast<const uint8_t*>(message) - kFramePrefixSize, size);
    return reinterpret_cast<MessageHeader*>(buffer + kFramePrefixSize);
}
