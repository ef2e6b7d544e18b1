#include "ovusbd/core/replybuffers.h"

#include "ovusbd/core/message.h"
#include "ovusbd/usb/zerocopy.h"

namespace {

MessageBufferPool replyPool;

// Mapped buffers only: where the device layer would fall back to the heap,
// the message allocator makes its own zero-filled message, and freeMessage
// then knows a mapping from a heap message by asking the pool.
void* acquireReplyBuffer(uint32_t deviceAddress, uint8_t endpoint, uint32_t size, uint32_t minimumSize) {
    return acquireMappedUrbBuffer(deviceAddress, endpoint, size, minimumSize);
}

bool releaseReplyBuffer(uint32_t, void* buffer) {
    return releaseMappedUrbBuffer(static_cast<uint8_t*>(buffer));
}

uint32_t minimumSize(int configured) {
    return configured > 0 ? uint32_t(configured) : 0;
}

} // namespace

void installReplyBuffers(const UsbSettings& settings) {
    setMessageBufferPool(nullptr);
    replyPool = MessageBufferPool{acquireReplyBuffer,
                                  releaseReplyBuffer,
                                  settings.enableBulkIntZeroCopy,
                                  settings.enableIsoZeroCopy,
                                  minimumSize(settings.minBulkIntZeroCopySize),
                                  minimumSize(settings.minIsoZeroCopySize)};
    setMessageBufferPool(&replyPool);
}

void removeReplyBuffers() {
    setMessageBufferPool(nullptr);
}
