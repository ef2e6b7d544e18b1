// ADDRESS and ENDPOINT_ADDRESS: parsing, printing, network parts, masks,
// ordering and endpoint texts.
#include "sys/thread"

#include <arpa/inet.h>
#include <net/if.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::string Bytes(const ADDRESS& address)
{
    std::string text;
    char part[4];
    for (uint32_t i = 0; i < address.GetAddressLength(); i++) {
        snprintf(part, sizeof(part), "%02x", address.GetAddressBytes()[i]);
        text += part;
    }
    return text;
}

} // namespace

TEST(Address, ParseAndPrint)
{
    struct Case {
        const char* text;
        uint16_t family;
        const char* printed; // null: the input text
        bool loopback;
    };
    const Case cases[] = {
        {"192.168.1.10", AF_INET, nullptr, false},
        {"0.0.0.0", AF_INET, nullptr, false},
        {"255.255.255.255", AF_INET, nullptr, false},
        {"127.0.0.1", AF_INET, nullptr, true},
        {"127.0.0.2", AF_INET, nullptr, false},
        {"::1", AF_INET6, nullptr, true},
        {"::", AF_INET6, nullptr, false},
        {"::ffff:127.0.0.1", AF_INET6, nullptr, false},
        {"2001:db8::1", AF_INET6, nullptr, false},
        {"2001:0DB8:0000:0000:0000:0000:0000:0001", AF_INET6, "2001:db8::1", false},
        {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", AF_INET6, nullptr, false},
        {"localhost", 0, "[undefined]", false}, // numeric text only
        {"300.1.1.1", 0, "[undefined]", false},
        {"1.2.3.4:80", 0, "[undefined]", false},
        {"[::1]", 0, "[undefined]", false},
        {"", 0, "[undefined]", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        ADDRESS address(c.text);
        EXPECT_EQ(address.GetFamily(), c.family);
        EXPECT_EQ(address.IsValid(), c.family != 0);
        EXPECT_EQ(address.IsUndefined(), c.family == 0);
        EXPECT_EQ(address.IsIPv4(), c.family == AF_INET);
        EXPECT_EQ(address.IsIPv6(), c.family == AF_INET6);
        EXPECT_EQ(address.IsLoopback(), c.loopback);
        EXPECT_EQ(address.GetScopeId(), 0u);
        EXPECT_STREQ(address.ToString(), c.printed ? c.printed : c.text);
        // Parsing the printed text gives the same address back.
        if (address.IsValid()) {
            EXPECT_EQ(ADDRESS(address.ToString()), address);
        }
    }
    EXPECT_TRUE(ADDRESS(static_cast<const char*>(nullptr)).IsUndefined());
}

TEST(Address, AccessorsByFamily)
{
    ADDRESS v4("192.168.1.10");
    EXPECT_EQ(Bytes(v4), "c0a8010a");
    EXPECT_EQ(v4.GetIPv4(), htonl(0xC0A8010A));
    EXPECT_EQ(v4.GetAddressLength(), 4u);
    EXPECT_STREQ(v4.GetFamilyName(), "IPv4");
    EXPECT_EQ(v4.GetInAddr()->s_addr, htonl(0xC0A8010A));

    ADDRESS v6("2001:db8::1");
    EXPECT_EQ(Bytes(v6), "20010db8000000000000000000000001");
    EXPECT_EQ(v6.GetIPv4(), 0xFFFFFFFFu);
    EXPECT_EQ(v6.GetAddressLength(), 16u);
    EXPECT_STREQ(v6.GetFamilyName(), "IPv6");

    ADDRESS none;
    EXPECT_EQ(none.GetIPv4(), 0u);
    EXPECT_EQ(none.GetAddressLength(), 0u);
    EXPECT_STREQ(none.GetFamilyName(), "IPvN");
    EXPECT_STREQ(none.ToString(), "[undefined]");
}

TEST(Address, BinaryConstructors)
{
    in_addr in;
    inet_pton(AF_INET, "10.1.2.3", &in);
    EXPECT_STREQ(ADDRESS(&in).ToString(), "10.1.2.3");
    EXPECT_STREQ(ADDRESS(htonl(0x7F000001)).ToString(), "127.0.0.1");
    EXPECT_TRUE(ADDRESS(htonl(0x7F000001)).IsLoopback());

    in6_addr in6;
    inet_pton(AF_INET6, "fe80::1", &in6);
    ADDRESS scoped(&in6, 1);
    EXPECT_EQ(scoped.GetScopeId(), 1u);
    EXPECT_STREQ(scoped.ToString(), "fe80::1%lo");
    EXPECT_EQ(memcmp(scoped.GetIn6Addr(), &in6, 16), 0);
}

TEST(Address, LinkLocalKeepsScopeOfLoopback)
{
    ADDRESS address("fe80::1%lo");
    ASSERT_TRUE(address.IsIPv6());
    EXPECT_EQ(address.GetScopeId(), if_nametoindex("lo"));
    EXPECT_STREQ(address.ToString(), "fe80::1%lo");
    EXPECT_STREQ(ENDPOINT_ADDRESS(address, 32032).ToString(), "[fe80::1%lo]:32032");
    // The scope takes no part in comparisons.
    EXPECT_EQ(address, ADDRESS("fe80::1"));
}

TEST(Address, CacheFollowsTheAddress)
{
    ADDRESS address("1.2.3.4");
    EXPECT_STREQ(address.ToString(), "1.2.3.4");
    ADDRESS copy(address);
    EXPECT_NE(copy.ToString(), address.ToString()); // its own text
    EXPECT_STREQ(copy.ToString(), "1.2.3.4");

    address = ADDRESS("::1");
    EXPECT_STREQ(address.ToString(), "::1");
    address = ADDRESS("5.6.7.8");
    EXPECT_STREQ(address.ToString(), "5.6.7.8");
    address.Clear();
    EXPECT_TRUE(address.IsUndefined());
    EXPECT_STREQ(address.ToString(), "[undefined]");
    address = copy;
    EXPECT_STREQ(address.ToString(), "1.2.3.4");
    address = address; // self-assignment keeps the address
    EXPECT_STREQ(address.ToString(), "1.2.3.4");
}

TEST(Address, NetworkPart)
{
    struct Case {
        const char* address;
        int prefix;
        const char* network;
    };
    const Case cases[] = {
        {"192.168.37.200", 20, "192.168.32.0"},
        {"192.168.37.200", 0, "0.0.0.0"},
        {"192.168.37.200", 24, "192.168.37.0"},
        {"192.168.37.200", 31, "192.168.37.200"},
        {"192.168.37.201", 31, "192.168.37.200"},
        {"192.168.37.200", 32, "192.168.37.200"},
        {"192.168.37.200", 33, "192.168.37.200"},
        {"192.168.37.200", 1000, "192.168.37.200"},
        {"10.255.255.255", 9, "10.128.0.0"},
        {"2001:db8:abcd:1234::1", 48, "2001:db8:abcd::"},
        {"2001:db8:abcd:1234::1", 13, "2000::"},
        {"2001:db8:abcd:1234::1", 128, "2001:db8:abcd:1234::1"},
        {"2001:db8:abcd:1234::1", 0, "::"},
        {"fe80::1%lo", 64, "fe80::"}, // the scope is dropped
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.address) + "/" + std::to_string(c.prefix));
        ADDRESS network(ADDRESS(c.address), c.prefix);
        EXPECT_STREQ(network.ToString(), c.network);
        EXPECT_EQ(network.GetScopeId(), 0u);
        EXPECT_EQ(network.GetFamily(), ADDRESS(c.address).GetFamily());
    }
    EXPECT_TRUE(ADDRESS(ADDRESS(), 8).IsUndefined());
}

TEST(Address, PrefixLengthOfMask)
{
    struct Case {
        const char* mask;
        int prefix;
    };
    const Case cases[] = {
        {"255.255.255.0", 24},
        {"255.255.255.255", 32},
        {"0.0.0.0", 0},
        {"128.0.0.0", 1},
        {"255.254.0.0", 15},
        {"255.255.240.0", 20},
        {"255.255.255.254", 31},
        {"255.0.255.0", 0},
        {"255.255.0.255", 0},
        {"255.255.255.253", 0},
        {"0.0.0.1", 0},
        {"ffff:ffff:ffff:ffff::", 64},
        {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 128},
        {"ffff:fff0::", 28},
        {"ffff:0:ffff::", 0},
        {"::", 0},
        {"localhost", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mask);
        ADDRESS mask(c.mask);
        EXPECT_EQ(mask.GetPrefixLength(), c.prefix);
        EXPECT_STREQ(mask.ToString(), ADDRESS(c.mask).ToString()); // unchanged
    }
}

TEST(Address, Ordering)
{
    const std::vector<std::string> sorted = {
        "[undefined]", "0.0.0.0", "10.0.0.2", "10.0.0.10", "192.168.0.1", "255.255.255.255",
        "::", "::1", "::ffff:10.0.0.1", "2001:db8::1", "fe80::1",
    };
    std::vector<ADDRESS> addresses;
    for (const std::string& text : sorted)
        addresses.emplace_back(text == "[undefined]" ? nullptr : text.c_str());
    std::mt19937 shuffle(4);
    std::shuffle(addresses.begin(), addresses.end(), shuffle);
    std::sort(addresses.begin(), addresses.end());
    std::vector<std::string> printed;
    for (const ADDRESS& address : addresses)
        printed.push_back(address.ToString());
    EXPECT_EQ(printed, sorted);

    ADDRESS low("10.0.0.2");
    ADDRESS high("10.0.0.10");
    EXPECT_LT(ADDRESS::Compare(low, high), 0);
    EXPECT_GT(high.Compare(low), 0);
    EXPECT_TRUE(low < high && low <= high && high > low && high >= low && low != high);
    EXPECT_TRUE(low == ADDRESS("10.0.0.2") && low <= ADDRESS("10.0.0.2") && low >= ADDRESS("10.0.0.2"));
    EXPECT_EQ(ADDRESS::Compare(ADDRESS(), ADDRESS()), 0);
    // An IPv4 address and its IPv4-mapped IPv6 form are different addresses.
    EXPECT_NE(ADDRESS("10.0.0.1"), ADDRESS("::ffff:10.0.0.1"));
    EXPECT_LT(ADDRESS("255.255.255.255"), ADDRESS("::"));
}

TEST(Endpoint, Texts)
{
    struct Case {
        const char* address;
        uint16_t port;
        const char* text;
        socklen_t length;
    };
    const Case cases[] = {
        {"10.1.2.3", 32032, "10.1.2.3:32032", sizeof(sockaddr_in)},
        {"0.0.0.0", 0, "0.0.0.0:0", sizeof(sockaddr_in)},
        {"::1", 80, "[::1]:80", sizeof(sockaddr_in6)},
        {"2001:db8::1", 65535, "[2001:db8::1]:65535", sizeof(sockaddr_in6)},
        {"localhost", 80, "[undefined]", sizeof(sockaddr_storage)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        ADDRESS address(c.address);
        ENDPOINT_ADDRESS endpoint(address, c.port);
        EXPECT_STREQ(endpoint.ToString(), c.text);
        EXPECT_EQ(endpoint.GetLength(), c.length);
        EXPECT_EQ(endpoint.GetFamily(), address.GetFamily());
        EXPECT_EQ(endpoint.GetAddress(), address);
        EXPECT_EQ(endpoint.GetPort(), address.IsValid() ? c.port : 0);
        // Round trip through the socket form, as accept would give it.
        ENDPOINT_ADDRESS copy(endpoint.GetSockAddr(), endpoint.GetLength());
        EXPECT_STREQ(copy.ToString(), c.text);
        ENDPOINT_ADDRESS assigned;
        EXPECT_STREQ(assigned.ToString(), "[undefined]");
        EXPECT_EQ(assigned.GetLength(), sizeof(sockaddr_storage));
        assigned = endpoint;
        EXPECT_STREQ(assigned.ToString(), c.text);
    }
}

TEST(Endpoint, NetworkOrderInSocketAddress)
{
    ENDPOINT_ADDRESS endpoint(ADDRESS("10.1.2.3"), 32032);
    const sockaddr_in* in = reinterpret_cast<const sockaddr_in*>(endpoint.GetSockAddr());
    EXPECT_EQ(in->sin_family, AF_INET);
    EXPECT_EQ(in->sin_port, htons(32032));
    EXPECT_EQ(in->sin_addr.s_addr, htonl(0x0A010203));

    in6_addr bytes;
    inet_pton(AF_INET6, "fe80::2", &bytes);
    ENDPOINT_ADDRESS scoped(ADDRESS(&bytes, 1), 80);
    const sockaddr_in6* in6 = reinterpret_cast<const sockaddr_in6*>(scoped.GetSockAddr());
    EXPECT_EQ(in6->sin6_family, AF_INET6);
    EXPECT_EQ(in6->sin6_port, htons(80));
    EXPECT_EQ(in6->sin6_scope_id, 1u);
    EXPECT_EQ(scoped.GetAddress().GetScopeId(), 1u);
}

// The longest link-local address with the longest interface name must print
// in full, bare and bracketed with a port. A 46-byte buffer (INET6_ADDRSTRLEN)
// makes getnameinfo fail for it. The interface is made in a private network
// namespace of a child process (veth: the dummy driver may be missing).
TEST(Address, ScopedAddressWithLongInterfaceName)
{
    const std::string name = "sysaddrlongname"; // IFNAMSIZ - 1 characters
    ASSERT_EQ(name.size(), static_cast<size_t>(IF_NAMESIZE - 1));
    const std::string host = "febf:ffff:ffff:ffff:ffff:ffff:ffff:ffff%" + name;

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(fds[0]);
        std::string report;
        if (unshare(CLONE_NEWNET) != 0) {
            report = "unshare failed";
        } else if (system(("ip link add " + name + " type veth peer name sysaddrpeer").c_str()) != 0) {
            report = "ip link add failed";
        } else {
            ADDRESS address(host.c_str());
            ENDPOINT_ADDRESS endpoint(address, 65535);
            report = std::to_string(address.GetScopeId() == if_nametoindex(name.c_str()) && address.GetScopeId() != 0) +
                     "\n" + address.ToString() + "\n" + endpoint.ToString();
        }
        ssize_t written = write(fds[1], report.data(), report.size());
        _exit(written == static_cast<ssize_t>(report.size()) ? 0 : 1);
    }
    close(fds[1]);
    std::string report;
    char buffer[256];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof(buffer))) > 0)
        report.append(buffer, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(report, "1\n" + host + "\n[" + host + "]:65535");
}
