// Fuzz entry of the client certificate record check: the input is the
// bytes a client sends while the server waits for its Certificate message,
// fed in the pieces a reader might get them in.
#include <cstddef>
#include <cstdint>

#include "ovusbd/core/certificaterecord.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t recordLength = 0;
    for (size_t length = 0; length <= size; length += (length < 16 ? 1 : 97)) {
        if (checkCertificateRecord(data, length, kClientCertificateLimits, &recordLength) !=
            CertificateVerdict::NeedMore) {
            break;
        }
    }
    checkCertificateRecord(data, size, kClientCertificateLimits, &recordLength);
    return 0;
}
