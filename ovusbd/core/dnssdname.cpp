#include "ovusbd/core/dnssdname.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ovusbd/core/config.h"

namespace {

const char kSslSuffix[] = " (SSL)";

// Longest prefix of text of at most limit bytes that ends on a character
// boundary: never just before a UTF-8 continuation byte (10xxxxxx).
size_t utf8Prefix(const char* text, size_t limit) {
    size_t length = strlen(text);
    if (length <= limit) {
        return length;
    }
    length = limit;
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) {
        length--;
    }
    return length;
}

} // namespace

void composeDnssdInstanceName(const char* friendlyName, bool tls, char* out, size_t size) {
    size_t room = (size - 1 < kDnsLabelMax ? size - 1 : kDnsLabelMax) - (tls ? sizeof kSslSuffix - 1 : 0);
    const size_t keep = utf8Prefix(friendlyName, room);
    snprintf(out, size, "%.*s%s", int(keep), friendlyName, tls ? kSslSuffix : "");
}

void composeDnssdServiceType(const char* type, bool tls, char out[32]) {
    snprintf(out, 32, "%s%s", tls ? "_ssl" : "", type);
}

char* buildDnssdInstanceName(bool tls) {
    char* friendly = getConfigString("DNSFriendlyName", "Orvanta USB Sharing", true);
    char* name = static_cast<char*>(calloc(1, 128));
    if (friendly != nullptr && name != nullptr) {
        composeDnssdInstanceName(friendly, tls, name, 128);
    }
    free(friendly);
    return name;
}

char* buildDnssdServiceType(bool tls) {
    char* type = getConfigString("MDNSServiceName", "_ovusb._tcp", true);
    char* out = static_cast<char*>(calloc(1, 32));
    if (type != nullptr && out != nullptr) {
        composeDnssdServiceType(type, tls, out);
    }
    free(type);
    return out;
}
