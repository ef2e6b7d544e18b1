// IP address and socket address values of calvixd and calvix.
//
// Both keep a lazily made numeric text. The cache is not synchronised: an
// object shared between threads is printed under its owner's lock (or copied
// first; a copy starts with an empty cache).
#pragma once

#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>

// Longest numeric host text plus NUL: an IPv6 address (45 characters at most)
// with a '%' and an interface name (15 at most) or a decimal scope id.
constexpr size_t ADDRESS_TEXT_SIZE = INET6_ADDRSTRLEN + IF_NAMESIZE;
// "[host]:port" with a five-digit port.
constexpr size_t ENDPOINT_TEXT_SIZE = ADDRESS_TEXT_SIZE + 8;

// One IPv4 or IPv6 host address with its IPv6 scope id. Ordered totally:
// empty < IPv4 < IPv6, then by the address bytes; the scope id takes no part.
class ADDRESS {
public:
    ADDRESS();                                   // empty (family 0)
    ADDRESS(const ADDRESS& other);               // the cache is not copied
    ADDRESS& operator=(const ADDRESS& other);
    explicit ADDRESS(const in_addr* address);    // IPv4, network order
    explicit ADDRESS(uint32_t ipv4);             // IPv4 already in network order
    ADDRESS(const in6_addr* address, uint32_t scopeId);
    // The network part: the first prefixLength bits, the rest zero; scope 0.
    ADDRESS(const ADDRESS& address, int prefixLength);
    // Numeric text only (no name lookups); "fe80::1%eth0" keeps the scope id.
    // Null or unparsable text leaves an empty address.
    explicit ADDRESS(const char* text);

    void Clear();

    uint16_t GetFamily() const { return m_family; }
    uint32_t GetScopeId() const { return m_scopeId; }
    const uint8_t* GetAddressBytes() const { return m_bytes; }
    const in_addr* GetInAddr() const { return reinterpret_cast<const in_addr*>(m_bytes); }
    const in6_addr* GetIn6Addr() const { return reinterpret_cast<const in6_addr*>(m_bytes); }
    uint32_t GetAddressLength() const; // 4, 16 or 0
    // IPv4: the address in network order; IPv6: 0xFFFFFFFF; otherwise 0.
    uint32_t GetIPv4() const;

    bool IsValid() const { return IsIPv4() || IsIPv6(); }
    bool IsUndefined() const { return !IsValid(); }
    bool IsIPv4() const { return m_family == AF_INET; }
    bool IsIPv6() const { return m_family == AF_INET6; }
    // Exactly 127.0.0.1 or ::1.
    bool IsLoopback() const;
    // Prefix length of a contiguous netmask; 0 for a mask that is not.
    int GetPrefixLength() const;
    // "IPv4", "IPv6" or "IPvN".
    const char* GetFamilyName() const;
    // Numeric text (IPv6 without brackets), "[undefined]" for an empty
    // address, "" if the text cannot be made. Valid until the address changes.
    const char* ToString() const;

    // <0, 0, >0.
    static int Compare(const ADDRESS& a, const ADDRESS& b);
    int Compare(const ADDRESS& other) const { return Compare(*this, other); }
    bool operator==(const ADDRESS& other) const { return Compare(*this, other) == 0; }
    bool operator!=(const ADDRESS& other) const { return Compare(*this, other) != 0; }
    bool operator<(const ADDRESS& other) const { return Compare(*this, other) < 0; }
    bool operator<=(const ADDRESS& other) const { return Compare(*this, other) <= 0; }
    bool operator>(const ADDRESS& other) const { return Compare(*this, other) > 0; }
    bool operator>=(const ADDRESS& other) const { return Compare(*this, other) >= 0; }

private:
    uint16_t m_family;
    uint32_t m_scopeId;
    uint8_t m_bytes[16];
    mutable char m_text[ADDRESS_TEXT_SIZE];
};

// A socket address (host address and port) ready for bind, connect, accept
// and getnameinfo.
class ENDPOINT_ADDRESS {
public:
    ENDPOINT_ADDRESS(); // zeroed storage, length 128
    ENDPOINT_ADDRESS(const ADDRESS& address, uint16_t port); // port in host order
    // From a socket call's result (accept, getsockname, getaddrinfo); at most
    // sizeof(sockaddr_storage) bytes are taken.
    ENDPOINT_ADDRESS(const sockaddr* address, socklen_t length);
    ENDPOINT_ADDRESS(const ENDPOINT_ADDRESS& other);
    ENDPOINT_ADDRESS& operator=(const ENDPOINT_ADDRESS& other);

    const sockaddr* GetSockAddr() const { return reinterpret_cast<const sockaddr*>(&m_storage); }
    socklen_t GetLength() const { return m_length; }
    uint16_t GetFamily() const { return m_storage.ss_family; }
    // Host address with scope id; empty for other families.
    ADDRESS GetAddress() const;
    // Port in host order; 0 for other families.
    uint16_t GetPort() const;
    // "a.b.c.d:port", "[v6]:port", "[undefined]" for other families, "" if
    // the text cannot be made.
    const char* ToString() const;

private:
    sockaddr_storage m_storage;
    socklen_t m_length;
    mutable char m_text[ENDPOINT_TEXT_SIZE];
};
