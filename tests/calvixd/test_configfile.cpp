#include "calvixd/core/configfile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "sys/randomgen.h"
#include "sys/thread"
#include "tests/calvixd/tempdir.h"

namespace {

struct Flags {
    bool eventlog;
    bool debuglog;
};

Flags Parse(const std::string& text, Flags start = {true, false})
{
    CConfigFile::ParseGenericOptions(text.data(), text.size(), &start.eventlog, &start.debuglog);
    return start;
}

} // namespace

TEST(ConfigFileGenericOptions, ValuesAndSections)
{
    struct Case {
        const char* name;
        std::string text;
        Flags expected;
    };
    const Case cases[] = {
        {"empty file keeps defaults", "", {true, false}},
        {"both set", "[Generic options section]\neventlog=false\ndebuglog=true\n", {false, true}},
        {"leading blanks and trailing words",
         "[Generic options section]\neventlog= \tfalse please\ndebuglog=  trueish\n",
         {false, true}},
        {"unknown values leave the value", "[Generic options section]\neventlog=no\ndebuglog=yes\n", {true, false}},
        {"keys outside the section are ignored", "eventlog=false\n[Local USB server section]\ndebuglog=true\n",
         {true, false}},
        {"the section ends at a line starting with [",
         "[Generic options section]\n[Local USB server section]\neventlog=false\n",
         {true, false}},
        {"last line without newline", "[Generic options section]\ndebuglog=true", {true, true}},
        {"key must start the line", "[Generic options section]\n eventlog=false\n#debuglog=true\n", {true, false}},
        {"a later section of the same name is read too",
         "[Generic options section]\neventlog=false\n[Other]\n[Generic options section]\ndebuglog=true\n",
         {false, true}},
        // The line that ended a section is not looked at again, so a header
        // directly after the section does not open it anew.
        {"header ending the section is not reopened",
         "[Generic options section]\n[Generic options section]\ndebuglog=true\n",
         {true, false}},
        {"header compared over its whole length", "[Generic options sect]\neventlog=false\n", {true, false}},
    };
    for (const Case& c : cases) {
        Flags got = Parse(c.text);
        EXPECT_EQ(got.eventlog, c.expected.eventlog) << c.name;
        EXPECT_EQ(got.debuglog, c.expected.debuglog) << c.name;
    }
}

TEST(ConfigFileGenericOptions, LongLineIsReadAsTwoLines)
{
    // The tail of a line longer than the limit arrives as a line of its own.
    std::string padding(CONFIG_LINE_LIMIT - 1, 'x');
    std::string text = "[Generic options section]\n#" + padding + "debuglog=true\n";
    EXPECT_TRUE(Parse(text).debuglog);
    // One character less and the key stays inside the comment line.
    std::string shorter = "[Generic options section]\n#" + padding.substr(1) + "debuglog=true\n";
    EXPECT_FALSE(Parse(shorter).debuglog);
}

TEST(ConfigFileGenericOptions, BytesAfterNulDoNotEscapeTheBuffer)
{
    const char raw[] = "[Generic options section]\neventlog=fal\0se\ndebuglog=true\n";
    std::string text(raw, sizeof(raw) - 1);
    Flags got = Parse(text);
    EXPECT_TRUE(got.eventlog);
    EXPECT_TRUE(got.debuglog);
}

TEST(ConfigFileGenericOptions, ArbitraryBytesAreReadSafely)
{
    // Pieces that steer the reader into its branches, glued at random.
    const std::string pieces[] = {"[Generic options section]", "\n", "[", "eventlog=", "debuglog=", "true",
                                  "false", " ", "\t", std::string(1, '\0'), std::string(CONFIG_LINE_LIMIT - 3, 'x')};
    RANDOM_STATE state;
    RandomInit(&state, 12345);
    for (int round = 0; round < 300; round++) {
        std::string text;
        int count = static_cast<int>(RandomNextMwc(&state) % 40);
        for (int i = 0; i < count; i++)
            text += pieces[RandomNextMwc(&state) % (sizeof(pieces) / sizeof(pieces[0]))];
        // Read from an exact-size heap copy, so a read past the end is caught.
        std::unique_ptr<char[]> exact(new char[text.size() ? text.size() : 1]);
        memcpy(exact.get(), text.data(), text.size());
        bool eventlog = true;
        bool debuglog = false;
        CConfigFile::ParseGenericOptions(exact.get(), text.size(), &eventlog, &debuglog);
        if (text.find("[Generic options section]") == std::string::npos) {
            EXPECT_TRUE(eventlog);
            EXPECT_FALSE(debuglog);
        }
    }
}

// ---------------------------------------------------------------------------
// The whole file

namespace {

DeviceInfo SnapshotDevice(uint8_t shareMode, uint16_t vid, uint16_t pid, const char* identity, const char* serial,
                          const char* port, const char* name, const char* nickname, uint8_t cls, uint8_t sub,
                          uint8_t proto, uint32_t timeout, uint16_t bcd)
{
    DeviceInfo d;
    d.shareMode = shareMode;
    d.vendorId = vid;
    d.productId = pid;
    d.instanceIdentity = identity;
    d.serial = serial;
    d.port = port;
    d.name = name;
    d.nickname = nickname;
    d.deviceClass = cls;
    d.subClass = sub;
    d.protocol = proto;
    d.timeout = timeout;
    d.bcdDevice = bcd;
    return d;
}

ConnectionInfo Callback(uint32_t id, uint32_t state, uint32_t flags, const char* host, uint16_t port)
{
    ConnectionInfo c;
    c.id = id;
    c.state = state;
    c.flags = flags;
    c.name = host;
    c.port = port;
    return c;
}

IdentityEntry Identity(uint32_t id, uint8_t first, uint8_t step)
{
    IdentityEntry e;
    e.id = id;
    for (int i = 0; i < 16; i++)
        e.digest[i] = static_cast<uint8_t>(first + step * i);
    return e;
}

DevicePolicyRule Policy(uint32_t flags, uint16_t vid, uint16_t pid, uint8_t cls, uint8_t sub, uint8_t proto,
                        const char* port, const char* serial, const char* name)
{
    DevicePolicyRule r;
    r.flags = flags;
    r.vendorId = vid;
    r.productId = pid;
    r.deviceClass = cls;
    r.subClass = sub;
    r.protocol = proto;
    r.port = port;
    r.serial = serial;
    r.name = name;
    return r;
}

StoredSettings FullSettings()
{
    StoredSettings s;
    s.eventlog = true;
    s.debuglog = true;
    s.tcpPort = 32033;
    s.listenV4 = ADDRESS("127.0.0.1");
    s.autoShareMode = 1;
    s.snapshotDevices = {
        SnapshotDevice(1, 0x0781, 0x5567, "4C53", "4C53", "1-1.2", "Cruzer: Blade", "my [stick];", 8, 6, 0x50, 30,
                       0x0100),
        SnapshotDevice(2, 0x046d, 0xc52b, "1-2", "", "1-2", "Receiver", "", 0, 0, 0, 0, 0x1211),
        SnapshotDevice(0, 0x1111, 0x2222, "1-3", "", "1-3", "not shared", "", 0, 0, 0, 0, 0),
        // Identified neither by serial nor by port: written with both empty.
        SnapshotDevice(1, 0x0001, 0x0002, "x", "s", "p", "D", "", 0, 0, 0, 0, 0),
    };
    DeviceInfo foreign = SnapshotDevice(1, 0x0003, 0x0004, "1-4", "", "1-4", "foreign", "", 0, 0, 0, 0, 0);
    foreign.clientConnectionId = 0x12345; // not an id the daemon hands out
    s.snapshotDevices.push_back(foreign);
    s.nicknames = {{1, "my [stick];"}, {2, "100%\nx"}};
    s.timeouts = {{1, 30}};
    s.snapshotConnections = {
        Callback(0, 0, 0x20, "0.0.0.0", 32032),
        Callback(0xC0000005, 1, 0x23, "127.0.0.1", 32032),
        Callback(0xC0000006, 0, 0xA2, "host:a", 7),
        Callback(0xC0000007, 8, 0x22, "closing", 8),
        Callback(0xC0000008, 1, 0x12, "pipe kind", 9),
        Callback(0x80000001, 0, 0x420, "client", 10),
    };
    s.identities = {Identity(1, 0, 1), Identity(2, 0xff, 0)};
    s.policyMode = FILTER_MODE_DENY;
    s.policyRules = {Policy(0x1, 0x0781, 0, 0, 0, 0, "", "", "sticks"),
                     Policy(0xFA, 0, 0xc52b, 3, 1, 2, "1-1", "S:1", "")};
    s.ipFilterMode = FILTER_MODE_ALLOW;
    s.ipFilterRules = {"127.0.0.2", "127.0.0.0/8"};
    s.aclModes = {{1, FILTER_MODE_ALLOW}, {2, FILTER_MODE_DISABLED}, {3, FILTER_MODE_DENY}};
    s.aclRules = {{1, {"127.0.0.9", "a;b"}}, {2, {}}};
    s.uniqids = {Identity(0, 0xa0, 1)};
    s.quirks = {{QUIRK_BUILT_IN, 0x6547, 0x0232, 1}, {0x3, 0x1234, 0x5678, 2}, {0, 0xabcd, 0x0001, 255}};
    return s;
}

const char FULL_FILE[] = "# USB Calvento for Linux v3.10 configuration file.\n"
                         "# Please do not edit this file manually.\n"
                         "\n[Generic options section]\n"
                         "eventlog=true\n"
                         "debuglog=true\n"
                         "\n[Local USB server section]\n"
                         "tcpport=32033\n"
                         "interface=127.0.0.1\n"
                         "startup=autosharing\n"
                         "\n[Local USB devices section]\n"
                         "usbdevice=[shared]:0:0:0781:5567::4C53:Cruzer%3a Blade:my %5bstick%5d%3b:08:06:50:30:0:0100;\n"
                         "usbdevice=[exclude]:0:0:046d:c52b:1-2::Receiver::00:00:00:0:0:1211;\n"
                         "usbdevice=[shared]:0:0:0001:0002:::D::00:00:00:0:0:0000;\n"
                         "\n[USB device nicknames section]\n"
                         "nickname=00000001:my %5bstick%5d%3b;\n"
                         "nickname=00000002:100%25%0ax;\n"
                         "\n[USB device inactivity timeouts section]\n"
                         "timeout=00000001:30;\n"
                         "\n[Callback connection to USB client section]\n"
                         "usbserver=[tcp][callback][auto]:127.0.0.1:32032:5;\n"
                         "usbserver=[tcp][callback][allowclientcontrol]:host%3aa:7:6;\n"
                         "\n[Identify USB devices section]\n"
                         "identify=00000001:000102030405060708090a0b0c0d0e0f;\n"
                         "identify=00000002:ffffffffffffffffffffffffffffffff;\n"
                         "\n[USB server device policy section]\n"
                         "policymode=deny\n"
                         "policyrule=sticks:0781:::::::;\n"
                         "policyrule=::c52b::03:01:02:1-1:S%3a1;\n"
                         "\n[IP filters section]\n"
                         "ipfiltersmode=allow\n"
                         "ipfiltersrule=127.0.0.2;\n"
                         "ipfiltersrule=127.0.0.0/8;\n"
                         "\n[USB device ACL section]\n"
                         "aclmode=00000001:allow;\n"
                         "aclrule=00000001:127.0.0.9;\n"
                         "aclrule=00000001:a%3bb;\n"
                         "\n[USB servers uniqid section]\n"
                         "usbserver=00000000:a0a1a2a3a4a5a6a7a8a9aaabacadaeaf;\n"
                         "\n[USB device quirks section]\n"
                         "quirk=1234:5678::ResetHard,NoResetOnShare,IgnoreSerial;\n"
                         "quirk=abcd:0001::;\n";

bool SameIdentities(const std::vector<IdentityEntry>& a, const std::vector<IdentityEntry>& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++) {
        if (a[i].id != b[i].id || memcmp(a[i].digest, b[i].digest, 16) != 0)
            return false;
    }
    return true;
}

std::string PolicyText(const DevicePolicyRule& r)
{
    char fields[64];
    snprintf(fields, sizeof(fields), "%x:%x:%x:%x:%x:%x:", r.flags, r.vendorId, r.productId, r.deviceClass,
             r.subClass, r.protocol);
    return fields + r.port + ":" + r.serial + ":" + r.name;
}

StoredSettings Read(const std::string& text)
{
    StoredSettings s;
    CConfigParser::ParseText(text.data(), text.size(), &s);
    return s;
}

std::string ReadFileText(const std::string& path)
{
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return "<missing>";
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), f)) > 0)
        text.append(buffer, n);
    fclose(f);
    return text;
}

void WriteFileText(const std::string& path, const std::string& text)
{
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_TRUE(f);
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
}

size_t EntriesIn(const std::string& dir)
{
    size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        (void)entry;
        n++;
    }
    return n;
}

} // namespace

TEST(ConfigFile, WriterOutputForEverySetting)
{
    EXPECT_EQ(CConfigFile::Format(FullSettings()), FULL_FILE);
}

TEST(ConfigFile, EverySettingReadsBack)
{
    StoredSettings s = Read(FULL_FILE);
    StoredSettings w = FullSettings();
    EXPECT_TRUE(s.eventlog);
    EXPECT_TRUE(s.debuglog);
    EXPECT_EQ(s.tcpPort, 32033);
    EXPECT_STREQ(s.listenV4.ToString(), "127.0.0.1");
    EXPECT_EQ(s.autoShare, 1);

    // The device identified by neither is not read back.
    ASSERT_EQ(s.devices.size(), 2u);
    const ConfiguredDevice& a = s.devices[0];
    EXPECT_EQ(a.shareKind, SHARE_KIND_SHARED);
    EXPECT_EQ(a.vendorId, 0x0781);
    EXPECT_EQ(a.productId, 0x5567);
    EXPECT_EQ(a.port, "");
    EXPECT_EQ(a.serial, "4C53");
    EXPECT_EQ(a.name, "Cruzer: Blade");
    EXPECT_EQ(a.nickname, "my [stick];");
    EXPECT_EQ(a.deviceClass, 8);
    EXPECT_EQ(a.subClass, 6);
    EXPECT_EQ(a.protocol, 0x50);
    EXPECT_EQ(a.timeout, 30u);
    EXPECT_EQ(a.bcdDevice, 0x0100);
    EXPECT_EQ(a.flags, CONFIGURED_FLAG_SERIAL | CONFIGURED_FLAG_NICKNAME | CONFIGURED_FLAG_TIMEOUT);
    const ConfiguredDevice& b = s.devices[1];
    EXPECT_EQ(b.shareKind, SHARE_KIND_EXCLUDED);
    EXPECT_EQ(b.port, "1-2");
    EXPECT_EQ(b.serial, "");
    EXPECT_EQ(b.bcdDevice, 0x1211);
    EXPECT_EQ(b.flags, 0u);

    EXPECT_EQ(s.nicknames, w.nicknames);
    EXPECT_EQ(s.timeouts, w.timeouts);
    ASSERT_EQ(s.callbacks.size(), 2u);
    EXPECT_EQ(s.callbacks[0].id, 0xC0000005u);
    EXPECT_EQ(s.callbacks[0].flags, 0x23u);
    EXPECT_EQ(s.callbacks[0].host, "127.0.0.1");
    EXPECT_EQ(s.callbacks[0].port, 32032);
    EXPECT_EQ(s.callbacks[1].id, 0xC0000006u);
    EXPECT_EQ(s.callbacks[1].flags, 0xA2u);
    EXPECT_EQ(s.callbacks[1].host, "host:a");
    EXPECT_TRUE(SameIdentities(s.identities, w.identities));
    EXPECT_TRUE(SameIdentities(s.uniqids, w.uniqids));
    EXPECT_EQ(s.policyMode, w.policyMode);
    ASSERT_EQ(s.policyRules.size(), 2u);
    for (size_t i = 0; i < 2; i++)
        EXPECT_EQ(PolicyText(s.policyRules[i]), PolicyText(w.policyRules[i]));
    EXPECT_EQ(s.ipFilterMode, w.ipFilterMode);
    EXPECT_EQ(s.ipFilterRules, w.ipFilterRules);
    EXPECT_EQ(s.aclModes, (std::map<uint32_t, uint8_t>{{1, FILTER_MODE_ALLOW}}));
    EXPECT_EQ(s.aclRules, (std::map<uint32_t, std::vector<std::string>>{{1, {"127.0.0.9", "a;b"}}}));
    ASSERT_EQ(s.quirks.size(), 2u);
    EXPECT_EQ(s.quirks[0].flags, 0x3u);
    EXPECT_EQ(s.quirks[0].resetMode, 2);
    EXPECT_EQ(s.quirks[1].vendorId, 0xabcd);
    EXPECT_EQ(s.quirks[1].resetMode, RESET_MODE_NOT_SET);
    EXPECT_EQ(s.quirks[1].flags, 0u);
}

// Defaults and the file's variations, one setting looked at per case.
TEST(ConfigFile, ReaderVariations)
{
    struct Case {
        const char* name;
        std::string text;
        std::function<std::string(const StoredSettings&)> show;
        std::string expected;
    };
    auto port = [](const StoredSettings& s) { return std::to_string(s.tcpPort); };
    auto listen = [](const StoredSettings& s) { return std::string(s.listenV4.ToString()); };
    auto devices = [](const StoredSettings& s) {
        std::string text;
        for (const ConfiguredDevice& d : s.devices)
            text += "[" + d.name + "|" + d.port + "|" + d.serial + "|" + std::to_string(d.bcdDevice) + "|" +
                    std::to_string(d.serverNumber) + "]";
        return text;
    };
    auto callbacks = [](const StoredSettings& s) {
        std::string text;
        char one[64];
        for (const ConfiguredCallback& c : s.callbacks) {
            snprintf(one, sizeof(one), "[%x %x %u %s]", c.id, c.flags, c.port, c.host.c_str());
            text += one;
        }
        return text;
    };
    auto quirks = [](const StoredSettings& s) {
        std::string text;
        char one[64];
        for (const DeviceQuirk& q : s.quirks) {
            snprintf(one, sizeof(one), "[%.4x:%.4x %x %u]", q.vendorId, q.productId, q.flags, q.resetMode);
            text += one;
        }
        return text;
    };
    auto filters = [](const StoredSettings& s) {
        std::string text = std::to_string(s.ipFilterMode);
        for (const std::string& r : s.ipFilterRules)
            text += "[" + r + "]";
        return text;
    };
    auto policy = [](const StoredSettings& s) {
        std::string text = std::to_string(s.policyMode);
        for (const DevicePolicyRule& r : s.policyRules)
            text += "[" + PolicyText(r) + "]";
        return text;
    };
    auto timeouts = [](const StoredSettings& s) {
        std::string text;
        for (const auto& [id, seconds] : s.timeouts)
            text += std::to_string(id) + "=" + std::to_string(seconds) + ";";
        return text;
    };
    auto acl = [](const StoredSettings& s) {
        std::string text;
        for (const auto& [id, mode] : s.aclModes)
            text += std::to_string(id) + "=" + std::to_string(mode) + ";";
        return text;
    };
    auto identities = [](const StoredSettings& s) { return std::to_string(s.identities.size()); };
    const std::string server = "[Local USB server section]\n";
    const std::string devs = "[Local USB devices section]\n";
    const std::string cbs = "[Callback connection to USB client section]\n";
    const Case cases[] = {
        {"missing settings keep the defaults", "", port, "32032"},
        {"default listen address", "", listen, "0.0.0.0"},
        {"tcp port", server + "tcpport=4000\n", port, "4000"},
        {"tcp port too large leaves it", server + "tcpport=70000\n", port, "32032"},
        {"tcp port without digits leaves it", server + "tcpport=x\n", port, "32032"},
        {"interface as text", server + "interface=127.0.0.2\n", listen, "127.0.0.2"},
        {"interface as hex, first byte lowest", server + "interface=0100007f\n", listen, "127.0.0.1"},
        {"interface hex with trailing blanks", server + "interface=0100007f \t\n", listen, "127.0.0.1"},
        {"interface without digits is 0.0.0.0", server + "interface=127.0.0.9\ninterface=\n", listen, "0.0.0.0"},
        {"interface of 9 hex digits leaves it", server + "interface=0100007f0\n", listen, "0.0.0.0"},
        {"interface IPv6 leaves it", server + "interface=::1\n", listen, "0.0.0.0"},
        {"listens hex", server + "listens=0200007f\n", listen, "127.0.0.2"},
        {"listens unparsable empties it", server + "listens=zz\n", listen, "[undefined]"},
        {"key outside its section", "tcpport=4000\n[Generic options section]\ntcpport=4001\n", port, "32032"},
        {"adjacent sections need no blank line",
         devs + "[IP filters section]\nipfiltersmode=deny\nipfiltersrule=127.0.0.1;\n", filters, "2[127.0.0.1]"},
        {"an unknown header closes the section", "[IP filters section]\n[Other]\nipfiltersmode=deny\n", filters, "0"},
        {"header compared over its length", "[IP filters section] trailing\nipfiltersmode=deny\n", filters, "2"},
        {"device name built when empty", devs + "usbdevice=[shared]:0:0:12:a:1-1::::00:00:00:0:0:;\n", devices,
         "[USB device VendorId 12 ProductId a|1-1||0|0]"},
        {"device without port and serial", devs + "usbdevice=[shared]:0:0:0012:000a:::n::00:00:00:0:0:0000;\n",
         devices, ""},
        {"device with unknown kind", devs + "usbdevice=[other]:0:0:0012:000a:1-1::n::00:00:00:0:0:0000;\n",
         devices, ""},
        {"device VID of 5 digits", devs + "usbdevice=[shared]:0:0:00012:000a:1-1::n::00:00:00:0:0:0000;\n",
         devices, ""},
        {"device class missing", devs + "usbdevice=[shared]:0:0:0012:000a:1-1::n:::00:00:0:0:0000;\n", devices, ""},
        {"device server number -1 counts as 0",
         devs + "usbdevice=[shared]:0xFFFFFFFF:0:0012:000a:1-1::n::00:00:00:0:0:0001;\n", devices, "[n|1-1||1|0]"},
        {"device entry ended by the line end", devs + "usbdevice=[shared]:0:0:1:2:1-1::n::0:0:0:0:0:3\n", devices,
         "[n|1-1||3|0]"},
        {"device entry with neither ; nor line end", devs + "usbdevice=[shared]:0:0:1:2:1-1::n::0:0:0:0:0:3",
         devices, ""},
        {"callback words", cbs + "usbserver=[tcp][callback][auto]:127.0.0.1:32032:5;\n", callbacks,
         "[c0000005 23 32032 127.0.0.1]"},
        {"callback incoming keeps its id", cbs + "usbserver=[callback][incomming]:h:1:5;\n", callbacks,
         "[5 422 1 h]"},
        {"callback without kind gets tcp", cbs + "usbserver=[allowclientcontrol]:h:0x10:7;\n", callbacks,
         "[7 a0 16 h]"},
        {"callback port 0", cbs + "usbserver=[tcp]:h:0:7;\n", callbacks, ""},
        {"callback port 65535", cbs + "usbserver=[tcp]:h:65535:7;\n", callbacks, ""},
        {"callback id 0", cbs + "usbserver=[tcp]:h:1:0;\n", callbacks, ""},
        {"quirk options", "[USB device quirks section]\nquirk=1234:5678::ResetHard,IgnoreSerial;\n", quirks,
         "[1234:5678 2 2]"},
        {"quirk without options", "[USB device quirks section]\nquirk=1234:5678::;\n", quirks, "[1234:5678 0 255]"},
        {"quirk words by their length, unknown skipped",
         "[USB device quirks section]\nquirk=1:2:x: Bogus, \tResetSoftly,NoResetOnShare;\n", quirks,
         "[0001:0002 1 1]"},
        {"policy rule with only a VID", "[USB server device policy section]\npolicymode=allow\n"
                                        "policyrule=n:0781:::::::;\n",
         policy, "1[1:781:0:0:0:0:::n]"},
        {"policy rule with a bad number", "[USB server device policy section]\npolicyrule=n:0781::::123:::;\n",
         policy, "0"},
        {"mode words", "[USB server device policy section]\npolicymode=please disable\n", policy, "0"},
        {"unknown mode word leaves it", "[IP filters section]\nipfiltersmode=deny\nipfiltersmode=maybe\n", filters,
         "2"},
        {"timeout 0 and -1 store nothing",
         "[USB device inactivity timeouts section]\ntimeout=00000001:0;\ntimeout=00000002:0xFFFFFFFF;\n"
         "timeout=00000003:0x10;\n",
         timeouts, "3=16;"},
        {"acl mode must be exact", "[USB device ACL section]\naclmode=00000001:allowed;\naclmode=00000002:deny;\n",
         acl, "2=2;"},
        {"identify needs 32 digits",
         "[Identify USB devices section]\nidentify=00000001:00;\n"
         "identify=00000002:000102030405060708090a0b0c0d0e0f;\n",
         identities, "1"},
        {"a later nickname line replaces the text",
         "[USB device nicknames section]\nnickname=00000001:a;\nnickname=00000001:b;\n",
         [](const StoredSettings& s) { return s.nicknames.at(1); }, "b"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.show(Read(c.text)), c.expected) << c.name;
}

// Texts go through the file unchanged, line breaks included, and never
// add a line to it.
TEST(ConfigFile, EscapedTextsRoundTripWithoutNewLines)
{
    const std::string texts[] = {
        "plain", "a:b;c", "[x]", "100%", "%3b literal", "%253a", "line\nbreak", "cr\rlf\r\n", "\nusbdevice=x;",
        std::string(1, '\0') + "nul", "%0a%0d",
    };
    for (const std::string& text : texts) {
        std::string escaped = CConfigFile::Escape(text);
        EXPECT_EQ(escaped.find_first_of(":;[]\n\r"), std::string::npos) << escaped;
        EXPECT_EQ(CConfigFile::Unescape(escaped), text) << escaped;
    }
    EXPECT_EQ(CConfigFile::Escape("100%"), "100%25");
    EXPECT_EQ(CConfigFile::Escape("a:b;c"), "a%3ab%3bc");

    // A nickname that holds a whole line of the file stays a nickname.
    StoredSettings s;
    s.nicknames = {{1, "x;\n[Local USB devices section]\nusbdevice=[shared]:0:0:1:2:1-1::n::0:0:0:0:0:3;\n"}};
    s.ipFilterRules = {"127.0.0.1\r\nipfiltersmode=deny"};
    s.ipFilterMode = FILTER_MODE_ALLOW;
    StoredSettings back = Read(CConfigFile::Format(s));
    EXPECT_TRUE(back.devices.empty());
    EXPECT_EQ(back.nicknames, s.nicknames);
    EXPECT_EQ(back.ipFilterRules, s.ipFilterRules);
    EXPECT_EQ(back.ipFilterMode, FILTER_MODE_ALLOW);
}

TEST(ConfigFile, IsValidObjectId)
{
    for (uint32_t id : {0u, 0x80000001u, 0x8FFFFFFEu, 0xC0000001u, 0xCFFFFFFEu})
        EXPECT_TRUE(IsValidObjectId(id)) << std::hex << id;
    for (uint32_t id : {1u, 0x80000000u, 0x8FFFFFFFu, 0xC0000000u, 0xCFFFFFFFu, 0xFFFFFFFFu})
        EXPECT_FALSE(IsValidObjectId(id)) << std::hex << id;
}

TEST(ConfigFile, ReadsOnlyARegularFile)
{
    CTempDir dir;
    StoredSettings s;
    EXPECT_EQ(CConfigFile(dir.File("missing")).ReadAll(&s), 0);
    EXPECT_EQ(s.tcpPort, 32032);

    // A FIFO would block start-up; a directory is no file.
    std::string fifo = dir.File("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(CConfigFile(fifo).ReadAll(&s), 0);
    bool eventlog = true, debuglog = false;
    EXPECT_EQ(CConfigFile(fifo).ReadGenericOptions(&eventlog, &debuglog), 0);
    EXPECT_EQ(CConfigFile(dir.Path()).ReadAll(&s), 0);

    // Through a symlink to a regular file is fine; a line longer than the
    // limit arrives as two lines.
    std::string real = dir.File("real");
    std::string text = "[Local USB server section]\n#" + std::string(CONFIG_LINE_LIMIT - 1, 'x') + "tcpport=4000\n";
    WriteFileText(real, text);
    std::string link = dir.File("link");
    ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
    EXPECT_EQ(CConfigFile(link).ReadAll(&s), 1);
    EXPECT_EQ(s.tcpPort, 4000);
    EXPECT_EQ(CConfigFile(link).ReadGenericOptions(&eventlog, &debuglog), 1);
}

namespace {

// A file seam that fails one call, and records the order of the calls.
struct FaultySys {
    static std::string failing; // "createTemp", "changeMode", "write", "sync", "close", "rename"
    static size_t writeLimit;   // bytes that write lets through before failing
    static std::vector<std::string> calls;

    static int CreateTemp(char* pattern)
    {
        calls.push_back("createTemp");
        if (failing == "createTemp")
            return -ENOSPC;
        return GetSystemConfigFileSys()->createTemp(pattern);
    }
    static int ChangeMode(int fd, mode_t mode)
    {
        calls.push_back("changeMode");
        return failing == "changeMode" ? -EPERM : GetSystemConfigFileSys()->changeMode(fd, mode);
    }
    static ssize_t Write(int fd, const void* data, size_t length)
    {
        calls.push_back("write");
        if (failing == "write") {
            if (writeLimit == 0)
                return -ENOSPC;
            size_t n = length < writeLimit ? length : writeLimit;
            writeLimit -= n;
            return GetSystemConfigFileSys()->write(fd, data, n);
        }
        return GetSystemConfigFileSys()->write(fd, data, length);
    }
    static int Sync(int fd)
    {
        calls.push_back("sync");
        return failing == "sync" ? -EIO : GetSystemConfigFileSys()->sync(fd);
    }
    static int Close(int fd)
    {
        calls.push_back("close");
        int result = GetSystemConfigFileSys()->close(fd);
        return failing == "close" ? -EIO : result;
    }
    static int Rename(const char* from, const char* to)
    {
        calls.push_back("rename");
        return failing == "rename" ? -EXDEV : GetSystemConfigFileSys()->rename(from, to);
    }
    static int Unlink(const char* path)
    {
        calls.push_back("unlink");
        return GetSystemConfigFileSys()->unlink(path);
    }
};
std::string FaultySys::failing;
size_t FaultySys::writeLimit = 0;
std::vector<std::string> FaultySys::calls;
const ConfigFileSys FAULTY_SYS = {FaultySys::CreateTemp, FaultySys::ChangeMode, FaultySys::Write, FaultySys::Sync,
                                  FaultySys::Close,      FaultySys::Rename,     FaultySys::Unlink};

} // namespace

// A save that fails at any step leaves the old file as it was and no
// temporary file behind; a save that succeeds syncs before it renames.
TEST(ConfigFile, FailedSaveKeepsTheOldFile)
{
    CTempDir dir;
    std::string path = dir.File("calvixd.conf");
    const std::string old = "old contents\n";
    for (const char* failing : {"createTemp", "changeMode", "write", "sync", "close", "rename"}) {
        SCOPED_TRACE(failing);
        WriteFileText(path, old);
        FaultySys::failing = failing;
        FaultySys::writeLimit = 100; // part of the file is written
        FaultySys::calls.clear();
        EXPECT_EQ(CConfigFile(path, &FAULTY_SYS).WriteAll(FullSettings()), 0);
        EXPECT_EQ(ReadFileText(path), old);
        EXPECT_EQ(EntriesIn(dir.Path()), 1u) << "the temporary file is removed";
    }

    FaultySys::failing.clear();
    FaultySys::calls.clear();
    EXPECT_EQ(CConfigFile(path, &FAULTY_SYS).WriteAll(FullSettings()), 1);
    EXPECT_EQ(ReadFileText(path), FULL_FILE);
    std::vector<std::string> order;
    for (const std::string& call : FaultySys::calls) {
        if (order.empty() || order.back() != call)
            order.push_back(call);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"createTemp", "changeMode", "write", "sync", "close", "rename"}));
    struct stat status;
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0644u);
    EXPECT_EQ(EntriesIn(dir.Path()), 1u);
}

// Two writers at once: the file is always one of the two whole files.
TEST(ConfigFile, ConcurrentSavesGiveOneValidFile)
{
    CTempDir dir;
    std::string path = dir.File("calvixd.conf");
    StoredSettings a = FullSettings();
    StoredSettings b;
    b.tcpPort = 1234;
    std::string textA = CConfigFile::Format(a);
    std::string textB = CConfigFile::Format(b);
    std::atomic<bool> torn{false};
    auto writer = [&](const StoredSettings& s) {
        CConfigFile file(path);
        for (int i = 0; i < 50; i++) {
            EXPECT_EQ(file.WriteAll(s), 1);
            std::string now = ReadFileText(path);
            if (now != textA && now != textB)
                torn = true;
        }
    };
    std::thread first(writer, std::cref(a));
    std::thread second(writer, std::cref(b));
    first.join();
    second.join();
    EXPECT_FALSE(torn);
    std::string final = ReadFileText(path);
    EXPECT_TRUE(final == textA || final == textB);
    EXPECT_EQ(EntriesIn(dir.Path()), 1u);
}
