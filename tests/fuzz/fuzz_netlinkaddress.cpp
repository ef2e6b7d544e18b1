// Fuzz entry of the address-change parser: the input is one NETLINK_ROUTE
// datagram as the kernel would deliver it; every event found is applied to
// an address set.
#include <cstddef>
#include <cstdint>

#include "ovusbd/core/netlinkaddress.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static AddressSet known;
    AddressEvent events[64];
    int stored = 0;
    parseAddressMessages(data, size, events, 64, &stored);
    for (int i = 0; i < stored; i++) {
        updateAddressSet(&known, &events[i]);
    }
    return 0;
}
