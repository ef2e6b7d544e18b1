// The names of the DNS-SD announcement: instance name and service type,
// from the configuration and the TLS setting.
#pragma once

#include <stddef.h>

// A DNS label holds at most 63 bytes (RFC 1035, section 2.3.4).
constexpr size_t kDnsLabelMax = 63;

// friendlyName followed by " (SSL)" when tls, cut to one DNS label: the
// friendly part is shortened at a UTF-8 character boundary so that the
// suffix stays whole. out has room for size bytes (at least 64).
void composeDnssdInstanceName(const char* friendlyName, bool tls, char* out, size_t size);
// "_ssl" put in front of type when tls; at most 31 characters.
void composeDnssdServiceType(const char* type, bool tls, char out[32]);

// The same from "DNSFriendlyName" (default "Orvanta USB Sharing") and
// "MDNSServiceName" (default "_ovusb._tcp"), both expanded. New texts of
// 128 and 32 bytes, null when memory runs out.
char* buildDnssdInstanceName(bool tls);
char* buildDnssdServiceType(bool tls);
