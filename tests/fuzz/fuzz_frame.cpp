// Fuzz entry of the frame parser: the input is a byte stream as a client
// would send it; frames are parsed one after another until the stream ends or
// a frame is refused (the server then closes the connection).
#include <cstddef>
#include <cstdint>

#include "ovusbd/core/frameparser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FrameScratch scratch{};
    size_t offset = 0;
    while (offset < size) {
        const MessageHeader* body = nullptr;
        const long used = parseFrame(data + offset, size - offset, &scratch, &body);
        if (used <= 0) {
            break;
        }
        // Touch every byte a handler may read: header plus the payload length
        // the header claims, which the parser has tied to the bytes present.
        const auto* bytes = reinterpret_cast<const uint8_t*>(body);
        volatile uint8_t sink = 0;
        for (uint32_t i = 0; i < kMessageHeaderSize + body->payloadLength; i++) {
            sink = sink ^ bytes[i];
        }
        offset += size_t(used);
    }
    releaseFrameScratch(&scratch);
    return 0;
}
