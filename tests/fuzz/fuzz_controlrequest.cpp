// Fuzz entry of the control-request parser: the input is what a local
// client sends after the handshake. The parser is asked again with every
// prefix length it names, as the server does while the bytes arrive.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "calvixd/core/controlrequest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t have = 0;
    for (;;) {
        // An exact-size copy, so a read past the bytes given is caught.
        std::vector<uint8_t> bytes(data, data + have);
        ControlRequest request;
        ControlParseResult result = ParseControlRequest(bytes.data(), bytes.size(), &request);
        if (result.status == ControlParse::Invalid)
            break;
        if (result.status == ControlParse::Complete) {
            if (result.used > have || request.rules.size() > CORE_COUNT_LIMIT ||
                request.policyRules.size() > CORE_COUNT_LIMIT || request.text.size() > CORE_TEXT_LIMIT)
                abort();
            break;
        }
        // More is asked for only beyond what is there, and never past what
        // the limits allow.
        if (result.needed <= have || result.needed > 4 + 16 + CORE_COUNT_LIMIT * (15 + 3 * (4 + CORE_TEXT_LIMIT)))
            abort();
        if (result.needed > size)
            break;
        have = result.needed;
    }
    return 0;
}
