// The source a peer connects from, as the key of the per-source limits and
// log counts that apply before a link is a client. An IPv4 address is one
// source; an IPv6 address counts by its /64 prefix, since one host is
// usually handed a whole /64 and can pick any address in it.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>

struct PeerSource {
    // IPv4 (also IPv4-mapped IPv6) as ::ffff:a.b.c.d; IPv6 as its first
    // eight bytes, the rest zero; all zero for any other family.
    uint8_t bytes[16];
};

PeerSource peerSourceOf(const sockaddr* address);
bool samePeerSource(const PeerSource& a, const PeerSource& b);
// "192.0.2.1", "2001:db8:1:2::/64" or "unknown"; out holds at least 64 bytes.
void formatPeerSource(const PeerSource& source, char* out, size_t size);
