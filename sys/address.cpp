// IP addresses and socket addresses with their numeric texts.
#include "sys/address.h"

#include <netdb.h>
#include <stdio.h>
#include <string.h>

namespace {

const char UNDEFINED_TEXT[] = "[undefined]";

// getnameinfo needs room for an IPv6 text with a '%' and an interface name:
// INET6_ADDRSTRLEN alone makes it fail for scoped link-local addresses.
constexpr size_t HOST_BUFFER_SIZE = ADDRESS_TEXT_SIZE;
constexpr size_t SERVICE_BUFFER_SIZE = 6;

} // namespace

ADDRESS::ADDRESS() : m_family(0), m_scopeId(0), m_bytes(), m_text()
{
}

ADDRESS::ADDRESS(const ADDRESS& other) : m_family(0), m_scopeId(0), m_bytes(), m_text()
{
    *this = other;
}

ADDRESS& ADDRESS::operator=(const ADDRESS& other)
{
    if (this == &other)
        return *this;
    m_family = other.m_family;
    m_scopeId = other.m_scopeId;
    memcpy(m_bytes, other.m_bytes, other.GetAddressLength());
    m_text[0] = '\0';
    return *this;
}

ADDRESS::ADDRESS(const in_addr* address) : m_family(AF_INET), m_scopeId(0), m_bytes(), m_text()
{
    memcpy(m_bytes, address, 4);
}

ADDRESS::ADDRESS(uint32_t ipv4) : m_family(AF_INET), m_scopeId(0), m_bytes(), m_text()
{
    memcpy(m_bytes, &ipv4, 4);
}

ADDRESS::ADDRESS(const in6_addr* address, uint32_t scopeId)
    : m_family(AF_INET6), m_scopeId(scopeId), m_bytes(), m_text()
{
    memcpy(m_bytes, address, 16);
}

ADDRESS::ADDRESS(const ADDRESS& address, int prefixLength)
    : m_family(address.m_family), m_scopeId(0), m_bytes(), m_text()
{
    uint32_t length = address.GetAddressLength();
    memcpy(m_bytes, address.m_bytes, length);
    int left = prefixLength < 0 ? 0 : prefixLength;
    for (uint32_t i = 0; i < length; i++) {
        if (left >= 8) {
            left -= 8;
            continue;
        }
        m_bytes[i] &= static_cast<uint8_t>(0xFF << (8 - left));
        left = 0;
    }
}

ADDRESS::ADDRESS(const char* text) : m_family(0), m_scopeId(0), m_bytes(), m_text()
{
    if (text == nullptr)
        return;
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    if (getaddrinfo(text, nullptr, &hints, &list) != 0)
        return;
    for (addrinfo* item = list; item != nullptr; item = item->ai_next) {
        if (item->ai_family == AF_INET && item->ai_addrlen >= sizeof(sockaddr_in)) {
            const sockaddr_in* in = reinterpret_cast<const sockaddr_in*>(item->ai_addr);
            m_family = AF_INET;
            memcpy(m_bytes, &in->sin_addr, 4);
            break;
        }
        if (item->ai_family == AF_INET6 && item->ai_addrlen >= sizeof(sockaddr_in6)) {
            const sockaddr_in6* in6 = reinterpret_cast<const sockaddr_in6*>(item->ai_addr);
            m_family = AF_INET6;
            m_scopeId = in6->sin6_scope_id;
            memcpy(m_bytes, &in6->sin6_addr, 16);
            break;
        }
    }
    freeaddrinfo(list);
}

void ADDRESS::Clear()
{
    m_family = 0;
    m_scopeId = 0;
    m_text[0] = '\0';
}

uint32_t ADDRESS::GetAddressLength() const
{
    if (IsIPv4())
        return 4;
    if (IsIPv6())
        return 16;
    return 0;
}

uint32_t ADDRESS::GetIPv4() const
{
    if (IsIPv4()) {
        uint32_t value;
        memcpy(&value, m_bytes, 4);
        return value;
    }
    return IsIPv6() ? 0xFFFFFFFFu : 0;
}

bool ADDRESS::IsLoopback() const
{
    static const uint8_t loopback4[4] = {127, 0, 0, 1};
    if (IsIPv4())
        return memcmp(m_bytes, loopback4, 4) == 0;
    if (IsIPv6())
        return memcmp(m_bytes, &in6addr_loopback, 16) == 0;
    return false;
}

int ADDRESS::GetPrefixLength() const
{
    uint32_t length = GetAddressLength();
    uint8_t bytes[16];
    memcpy(bytes, m_bytes, length);
    int count = 0;
    uint32_t i = 0;
    while (i < length && bytes[i] == 0xFF) {
        count += 8;
        i++;
    }
    if (i < length) {
        while (bytes[i] & 0x80) {
            bytes[i] = static_cast<uint8_t>(bytes[i] << 1);
            count++;
        }
        // The partial byte counts as zero once its leading ones are gone.
        while (i < length && bytes[i] == 0)
            i++;
    }
    return i == length ? count : 0;
}

const char* ADDRESS::GetFamilyName() const
{
    if (IsIPv4())
        return "IPv4";
    if (IsIPv6())
        return "IPv6";
    return "IPvN";
}

const char* ADDRESS::ToString() const
{
    if (m_text[0] != '\0')
        return m_text;
    sockaddr_storage storage{};
    socklen_t length;
    if (IsIPv4()) {
        sockaddr_in* in = reinterpret_cast<sockaddr_in*>(&storage);
        in->sin_family = AF_INET;
        memcpy(&in->sin_addr, m_bytes, 4);
        length = sizeof(sockaddr_in);
    } else if (IsIPv6()) {
        sockaddr_in6* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_scope_id = m_scopeId;
        memcpy(&in6->sin6_addr, m_bytes, 16);
        length = sizeof(sockaddr_in6);
    } else {
        return UNDEFINED_TEXT;
    }
    char host[HOST_BUFFER_SIZE];
    if (getnameinfo(reinterpret_cast<sockaddr*>(&storage), length, host, sizeof(host), nullptr, 0, NI_NUMERICHOST) == 0)
        snprintf(m_text, sizeof(m_text), "%s", host);
    return m_text;
}

int ADDRESS::Compare(const ADDRESS& a, const ADDRESS& b)
{
    if (a.m_family != b.m_family)
        return a.m_family < b.m_family ? -1 : 1;
    return memcmp(a.m_bytes, b.m_bytes, a.GetAddressLength());
}

ENDPOINT_ADDRESS::ENDPOINT_ADDRESS() : m_storage(), m_length(sizeof(sockaddr_storage)), m_text()
{
}

ENDPOINT_ADDRESS::ENDPOINT_ADDRESS(const ADDRESS& address, uint16_t port)
    : m_storage(), m_length(sizeof(sockaddr_storage)), m_text()
{
    if (address.IsIPv4()) {
        sockaddr_in* in = reinterpret_cast<sockaddr_in*>(&m_storage);
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        memcpy(&in->sin_addr, address.GetAddressBytes(), 4);
        m_length = sizeof(sockaddr_in);
    } else if (address.IsIPv6()) {
        sockaddr_in6* in6 = reinterpret_cast<sockaddr_in6*>(&m_storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        in6->sin6_scope_id = address.GetScopeId();
        memcpy(&in6->sin6_addr, address.GetAddressBytes(), 16);
        m_length = sizeof(sockaddr_in6);
    }
}

ENDPOINT_ADDRESS::ENDPOINT_ADDRESS(const sockaddr* address, socklen_t length)
    : m_storage(), m_length(sizeof(sockaddr_storage)), m_text()
{
    if (address == nullptr)
        return;
    if (length > sizeof(sockaddr_storage))
        length = sizeof(sockaddr_storage);
    memcpy(&m_storage, address, length);
    if (m_storage.ss_family == AF_INET && length >= sizeof(sockaddr_in))
        m_length = sizeof(sockaddr_in);
    else if (m_storage.ss_family == AF_INET6 && length >= sizeof(sockaddr_in6))
        m_length = sizeof(sockaddr_in6);
    else
        m_length = length;
}

ENDPOINT_ADDRESS::ENDPOINT_ADDRESS(const ENDPOINT_ADDRESS& other)
    : m_storage(other.m_storage), m_length(other.m_length), m_text()
{
}

ENDPOINT_ADDRESS& ENDPOINT_ADDRESS::operator=(const ENDPOINT_ADDRESS& other)
{
    m_storage = other.m_storage;
    m_length = other.m_length;
    m_text[0] = '\0';
    return *this;
}

ADDRESS ENDPOINT_ADDRESS::GetAddress() const
{
    if (m_storage.ss_family == AF_INET)
        return ADDRESS(&reinterpret_cast<const sockaddr_in*>(&m_storage)->sin_addr);
    if (m_storage.ss_family == AF_INET6) {
        const sockaddr_in6* in6 = reinterpret_cast<const sockaddr_in6*>(&m_storage);
        return ADDRESS(&in6->sin6_addr, in6->sin6_scope_id);
    }
    return ADDRESS();
}

uint16_t ENDPOINT_ADDRESS::GetPort() const
{
    if (m_storage.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in*>(&m_storage)->sin_port);
    if (m_storage.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&m_storage)->sin6_port);
    return 0;
}

const char* ENDPOINT_ADDRESS::ToString() const
{
    if (m_text[0] != '\0')
        return m_text;
    const char* format;
    if (m_storage.ss_family == AF_INET)
        format = "%s:%s";
    else if (m_storage.ss_family == AF_INET6)
        format = "[%s]:%s";
    else
        return UNDEFINED_TEXT;
    char host[HOST_BUFFER_SIZE];
    char service[SERVICE_BUFFER_SIZE];
    if (getnameinfo(GetSockAddr(), m_length, host, sizeof(host), service, sizeof(service),
                    NI_NUMERICHOST | NI_NUMERICSERV) == 0)
        snprintf(m_text, sizeof(m_text), format, host, service);
    return m_text;
}
