#include "ovusbd/core/peersource.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>

namespace {

const uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

bool isMapped(const uint8_t bytes[16]) {
    return memcmp(bytes, kMappedPrefix, sizeof kMappedPrefix) == 0;
}

} // namespace

PeerSource peerSourceOf(const sockaddr* address) {
    PeerSource source{};
    if (address->sa_family == AF_INET) {
        memcpy(source.bytes, kMappedPrefix, sizeof kMappedPrefix);
        memcpy(source.bytes + 12, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, 4);
    } else if (address->sa_family == AF_INET6) {
        const uint8_t* bytes = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr.s6_addr;
        memcpy(source.bytes, bytes, isMapped(bytes) ? 16 : 8);
    }
    return source;
}

bool samePeerSource(const PeerSource& a, const PeerSource& b) {
    return memcmp(a.bytes, b.bytes, sizeof a.bytes) == 0;
}

void formatPeerSource(const PeerSource& source, char* out, size_t size) {
    char text[INET6_ADDRSTRLEN];
    const PeerSource none{};
    if (samePeerSource(source, none)) {
        snprintf(out, size, "%s", "unknown");
    } else if (isMapped(source.bytes)) {
        inet_ntop(AF_INET, source.bytes + 12, text, sizeof text);
        snprintf(out, size, "%s", text);
    } else {
        inet_ntop(AF_INET6, source.bytes, text, sizeof text);
        snprintf(out, size, "%s/64", text);
    }
}
