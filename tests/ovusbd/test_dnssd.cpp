// The DNS-SD announcement's pure parts: names, the Avahi service file, the
// address-change parser and the set of known addresses; the service-file
// path of the announcement on a temporary directory.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ovusbd/core/avahiservicefile.h"
#include "ovusbd/core/config.h"
#include "ovusbd/core/dnssd.h"
#include "ovusbd/core/dnssdname.h"
#include "ovusbd/core/log.h"
#include "ovusbd/core/netlinkaddress.h"
#include "tests/support/nsrun.h"

namespace {

TEST(DnssdName, InstanceNameIsOneDnsLabel) {
    const std::string long100(100, 'a');
    // 61 ASCII bytes, then a three-byte character that would end at byte 64.
    const std::string straddling = std::string(61, 'b') + "\xE2\x82\xAC" + "tail";
    const std::string twoByte = std::string(56, 'c') + "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9";  // 56 + 8 bytes
    struct Row {
        std::string friendly;
        bool tls;
        std::string expected;
    } rows[] = {
        {"Orvanta USB Sharing", false, "Orvanta USB Sharing"},
        {"Orvanta USB Sharing", true, "Orvanta USB Sharing (SSL)"},
        {long100, false, std::string(63, 'a')},
        {long100, true, std::string(57, 'a') + " (SSL)"},
        {straddling, false, std::string(61, 'b')},
        {twoByte, false, std::string(56, 'c') + "\xC3\xA9\xC3\xA9\xC3\xA9"},
        {twoByte, true, std::string(56, 'c') + " (SSL)"},
        {"", true, " (SSL)"},
    };
    for (const Row& row : rows) {
        char out[128];
        composeDnssdInstanceName(row.friendly.c_str(), row.tls, out, sizeof out);
        EXPECT_EQ(out, row.expected) << row.friendly << " tls " << row.tls;
        EXPECT_LE(strlen(out), kDnsLabelMax);
    }
}

TEST(DnssdName, ServiceType) {
    char out[32];
    composeDnssdServiceType("_ovusb._tcp", false, out);
    EXPECT_STREQ(out, "_ovusb._tcp");
    composeDnssdServiceType("_ovusb._tcp", true, out);
    EXPECT_STREQ(out, "_ssl_ovusb._tcp");
    composeDnssdServiceType("_a-very-long-service-name._tcp", true, out);
    EXPECT_EQ(strlen(out), 31u);
}

TEST(AvahiServiceFile, ExactTextWithEscapes) {
    EXPECT_EQ(avahiServiceFileText("Orvanta USB Sharing (SSL)", false, "_ssl_ovusb._tcp", 7574, "SER1"),
              "<service-group>\n\t<name>Orvanta USB Sharing (SSL)</name>\n\t<service protocol=\"ipv4\">\n"
              "\t\t<type>_ssl_ovusb._tcp</type>\n\t\t<port>7574</port>\n\t\t<txt-record>SER1</txt-record>\n"
              "\t</service>\n</service-group>");
    EXPECT_EQ(avahiServiceFileText("Tom & Jerry's <\"box\">", true, "_ovusb._tcp", 7575, "a<b"),
              "<service-group>\n\t<name>Tom &amp; Jerry&apos;s &lt;&quot;box&quot;&gt;</name>\n"
              "\t<service protocol=\"ipv6\">\n\t\t<type>_ovusb._tcp</type>\n\t\t<port>7575</port>\n"
              "\t\t<txt-record>a&lt;b</txt-record>\n\t</service>\n</service-group>");
}

// Netlink datagrams built from the kernel's layout (linux/netlink.h,
// linux/rtnetlink.h).
std::vector<uint8_t> addressMessage(uint16_t type, uint8_t family, int index, const char* address,
                                    bool withLocal = true) {
    std::vector<uint8_t> m(NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(ifaddrmsg)));
    ifaddrmsg info{};
    info.ifa_family = family;
    info.ifa_index = uint32_t(index);
    memcpy(m.data() + NLMSG_HDRLEN, &info, sizeof info);
    auto attribute = [&](uint16_t kind, const void* data, size_t length) {
        rtattr header{uint16_t(RTA_LENGTH(length)), kind};
        const size_t at = m.size();
        m.resize(at + RTA_SPACE(length));
        memcpy(m.data() + at, &header, sizeof header);
        memcpy(m.data() + at + RTA_LENGTH(0), data, length);
    };
    in_addr a{};
    inet_pton(AF_INET, address, &a);
    attribute(IFA_ADDRESS, &a, 4);
    if (withLocal) attribute(IFA_LOCAL, &a, 4);
    attribute(IFA_LABEL, "eth0", 5);
    nlmsghdr header{uint32_t(m.size()), type, 0, 0, 0};
    memcpy(m.data(), &header, sizeof header);
    return m;
}

TEST(NetlinkAddress, ParsesNewAndDeletedIpv4Addresses) {
    std::vector<uint8_t> datagram = addressMessage(RTM_NEWADDR, AF_INET, 3, "10.0.0.5");
    auto more = addressMessage(RTM_DELADDR, AF_INET, 3, "10.0.0.6");
    datagram.insert(datagram.end(), more.begin(), more.end());
    more = addressMessage(RTM_NEWADDR, AF_INET6, 3, "10.0.0.7");  // not IPv4: ignored
    datagram.insert(datagram.end(), more.begin(), more.end());
    more = addressMessage(RTM_NEWADDR, AF_INET, 4, "10.0.0.8", false);  // no IFA_LOCAL
    datagram.insert(datagram.end(), more.begin(), more.end());
    AddressEvent events[8];
    int stored = 0;
    ASSERT_EQ(parseAddressMessages(datagram.data(), datagram.size(), events, 8, &stored), 2);
    ASSERT_EQ(stored, 2);
    EXPECT_TRUE(events[0].added);
    EXPECT_EQ(events[0].interfaceIndex, 3);
    EXPECT_EQ(events[0].address, inet_addr("10.0.0.5"));
    EXPECT_FALSE(events[1].added);
    EXPECT_EQ(events[1].address, inet_addr("10.0.0.6"));

    // Broken datagrams: a length past the end, a header cut short, an
    // attribute longer than its message. The walk stops; nothing is read
    // beyond the bytes given.
    std::vector<uint8_t> cut = addressMessage(RTM_NEWADDR, AF_INET, 3, "10.0.0.5");
    EXPECT_EQ(parseAddressMessages(cut.data(), cut.size() - 4, events, 8, &stored), -EPROTO);
    EXPECT_EQ(parseAddressMessages(cut.data(), 10, events, 8, &stored), -EPROTO);
    std::vector<uint8_t> bad = cut;
    bad[NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(ifaddrmsg))] = 0xF0;  // first rta_len
    EXPECT_EQ(parseAddressMessages(bad.data(), bad.size(), events, 8, &stored), -EPROTO);
}

// A DHCP lease renewal reports the unchanged address again: only an address
// that was not there before counts, so the responder is not taken off the
// network at every renewal.
TEST(NetlinkAddress, OnlyANewAddressCounts) {
    AddressSet set{};
    AddressEvent a{true, 2, inet_addr("192.168.1.20")};
    AddressEvent b{true, 2, inet_addr("192.168.1.21")};
    AddressEvent aGone{false, 2, inet_addr("192.168.1.20")};
    EXPECT_TRUE(updateAddressSet(&set, &a));
    EXPECT_FALSE(updateAddressSet(&set, &a)) << "renewal of the same address";
    EXPECT_FALSE(updateAddressSet(&set, &a));
    EXPECT_TRUE(updateAddressSet(&set, &b));
    EXPECT_FALSE(updateAddressSet(&set, &aGone));
    EXPECT_TRUE(updateAddressSet(&set, &a)) << "back after it was removed";
    AddressEvent otherInterface{true, 5, inet_addr("192.168.1.20")};
    EXPECT_TRUE(updateAddressSet(&set, &otherInterface));
    // A full set drops its oldest entry instead of growing.
    for (int i = 0; i < kMaxKnownAddresses + 10; i++) {
        AddressEvent e{true, 9, htonl(0x0A000000u + uint32_t(i))};
        EXPECT_TRUE(updateAddressSet(&set, &e));
    }
    EXPECT_EQ(set.count, kMaxKnownAddresses);
}

class ServiceFileAnnouncement : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/ovusbd-dnssdfile.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        std::ofstream(dir_ + "/config.ini") << "DNSFriendlyName=Desk & Co\n";
        ASSERT_TRUE(loadConfig((dir_ + "/config.ini").c_str(), true));
        log_ = fopen((dir_ + "/log.txt").c_str(), "a");
        setLogFile(log_);
        std::filesystem::create_directory(dir_ + "/services");
        file_ = dir_ + "/services/ovusbd.service";
        settings_ = {true, false, 7574, "SERIAL9", true, true, nullptr, nullptr, 5};
        servicesDir_ = dir_ + "/services";
        settings_.servicesDir = servicesDir_.c_str();
        settings_.serviceFile = file_.c_str();
    }
    void TearDown() override {
        setLogFile(nullptr);
        fclose(log_);
        freeConfigStore();
        std::filesystem::remove_all(dir_);
    }
    std::string dir_, file_, servicesDir_;
    FILE* log_ = nullptr;
    DnssdSettings settings_{};
};

TEST_F(ServiceFileAnnouncement, WrittenAtStartRemovedAtStop) {
    DnssdAnnouncement* a = startDnssdAnnouncement(&settings_);
    ASSERT_NE(a, nullptr);
    EXPECT_TRUE(a->avahiFileWritten);
    EXPECT_FALSE(a->mdnsThreadCreated);
    EXPECT_EQ(nsrun::readFile(file_),
              "<service-group>\n\t<name>Desk &amp; Co (SSL)</name>\n\t<service protocol=\"ipv4\">\n"
              "\t\t<type>_ssl_ovusb._tcp</type>\n\t\t<port>7574</port>\n\t\t<txt-record>SERIAL9</txt-record>\n"
              "\t</service>\n</service-group>");
    stopDnssdAnnouncement(a);
    EXPECT_FALSE(std::filesystem::exists(file_));
}

// The responder thread is joined whenever it was created, also when stop
// comes before the thread ran at all; it runs in a network namespace of its
// own so nothing is announced on the host's network.
TEST(ResponderThread, StopRightAfterStartJoins) {
    nsrun::RunOptions run;
    run.mounts = nsrun::isolatedSystemMounts();
    run.entry = [] {
        DnssdSettings settings{false, false, 7575, "S", false, false, "/nonexistent", "/nonexistent/x", 0};
        for (int i = 0; i < 20; i++) {
            DnssdAnnouncement* a = startDnssdAnnouncement(&settings);
            if (a == nullptr || !a->mdnsThreadCreated) return 1;
            stopDnssdAnnouncement(a);
        }
        return 0;
    };
    std::string error;
    auto process = nsrun::Process::start(run, &error);
    ASSERT_TRUE(process) << error;
    auto status = process->wait(std::chrono::seconds(120));
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, nsrun::ExitStatus::exitCode(0)) << process->err();
}

} // namespace
