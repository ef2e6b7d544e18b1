// The command line of calvix: every option word, alias, argument form and
// parse error, as one table.
#include <gtest/gtest.h>

#include <climits>
#include <ostream>
#include <string>
#include <vector>

#include "calvix/commandline.h"

// g++ 12 warns about designated initialisers that leave out std::string
// members even when those have default member initialisers; the table
// relies on exactly that defaulting.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

// Found by argument-dependent lookup, so it lives beside ParsedCommand.
static void PrintTo(const ParsedCommand& c, std::ostream* os) {
  *os << "{action " << c.action << ", vid " << c.vendorId << ", pid " << c.productId << ", class "
      << c.deviceClass << "/" << c.deviceSubclass << "/" << c.deviceProtocol << ", object " << c.objectId
      << ", device " << c.deviceId << ", rule " << c.ruleId << ", name '" << c.deviceName << "', serial '"
      << c.serial << "', usbPort '" << c.usbPort << "', address '" << c.address << "', text '" << c.text
      << "', file '" << c.file << "', port " << c.port << ", kind " << c.transportKind << ", value "
      << c.value << ", silent " << c.silent << "}";
}

namespace {

struct Case {
  std::vector<std::string> words;
  ParsedCommand expected;
};

std::ostream& operator<<(std::ostream& os, const Case& c) {
  os << "calvix";
  for (const std::string& word : c.words) {
    os << " '" << word << "'";
  }
  return os;
}

ParsedCommand RunParse(const std::vector<std::string>& words) {
  std::vector<std::string> storage;
  storage.push_back("calvix");
  storage.insert(storage.end(), words.begin(), words.end());
  std::vector<char*> argv;
  for (std::string& word : storage) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);
  CCommandLine commandLine(static_cast<int>(storage.size()), argv.data());
  ParsedCommand result;
  result.action = 99;  // the parse must start from a clean result
  result.deviceId = 99;
  commandLine.Parse(result);
  return result;
}

constexpr int SYNTAX = ACTION_SYNTAX_ERROR;
constexpr int MULTIPLE = ACTION_MULTIPLE_ACTIONS;
constexpr int UNKNOWN = ACTION_UNKNOWN_WORD;
constexpr int TCP = TRANSPORT_TCP;
constexpr int RDP = TRANSPORT_RDP;

// Expected fields are written with designated initialisers, so everything
// not named must keep its "not given" value.
const Case kCases[] = {
    // No words: no action, main shows the usage.
    {{}, {}},

    // Device actions and the device argument forms.
    {{"-share", "8"}, {.action = 4, .deviceId = 8}},
    {{"-s", "3-8"}, {.action = 4, .objectId = 3, .deviceId = 8}},
    {{"-share", "Flash"}, {.action = 4, .deviceName = "Flash"}},
    {{"-share", "3-"}, {.action = 4, .deviceName = "3-"}},
    {{"-share", "1-2-3"}, {.action = 4, .deviceName = "1-2-3"}},
    {{"-share", "-usb-port", "1-2"}, {.action = 4, .usbPort = "1-2"}},
    {{"-share", "-vid", "0441", "-pid", "0012"}, {.action = 4, .vendorId = 0x441, .productId = 0x12}},
    {{"-share"}, {.action = 4}},
    {{"-unshare", "8"}, {.action = 5, .deviceId = 8}},
    {{"-t", "2-9"}, {.action = 5, .objectId = 2, .deviceId = 9}},
    {{"-connect", "My Disk"}, {.action = 6, .deviceName = "My Disk"}},
    {{"-c", "4", "-client", "10.0.0.1:32032"},
     {.action = 6, .deviceId = 4, .address = "10.0.0.1", .port = 32032, .transportKind = TCP}},
    {{"-connect", "-vid", "41", "-pid", "12", "-clientid", "3"},
     {.action = 6, .vendorId = 0x41, .productId = 0x12, .objectId = 3}},
    {{"-add-exclusion", "5"}, {.action = 11, .deviceId = 5}},
    {{"-addexclude", "Flash"}, {.action = 11, .deviceName = "Flash"}},
    {{"-remove-exclusion", "1-5"}, {.action = 12, .objectId = 1, .deviceId = 5}},
    {{"-remexclude", "5"}, {.action = 12, .deviceId = 5}},
    {{"-list-acl", "5"}, {.action = 54, .deviceId = 5}},
    {{"-pnp-instance-id", "5"}, {.action = 53, .deviceId = 5}},
    {{"-pnpinstanceid", "-serial", "A1"}, {.action = 53, .serial = "A1"}},

    // Connect-to takes an id pair only.
    {{"-connect-to", "3-8"}, {.action = 7, .objectId = 3, .deviceId = 8}},
    {{"-connectto", "12-1"}, {.action = 7, .objectId = 12, .deviceId = 1}},
    {{"-connect-to"}, {.action = 7}},
    {{"-connect-to", "8"}, {.action = SYNTAX}},
    {{"-connect-to", "Flash"}, {.action = SYNTAX}},

    // Disconnect: "all" changes the action; disconnect-from never tries a pair.
    {{"-disconnect", "all"}, {.action = 9}},
    {{"-u", "7"}, {.action = 8, .deviceId = 7}},
    {{"-disconnect", "3-8"}, {.action = 8, .objectId = 3, .deviceId = 8}},
    {{"-disconnect-from", "all"}, {.action = 50}},
    {{"-disconnectfrom", "12"}, {.action = 10, .deviceId = 12}},
    {{"-disconnect-from", "3-8"}, {.action = 10, .deviceName = "3-8"}},

    // Servers.
    {{"-add-server", "10.1.2.3:32032"}, {.action = 13, .address = "10.1.2.3", .port = 32032, .transportKind = TCP}},
    {{"-addserver", "host"}, {.action = 13, .address = "host", .transportKind = TCP}},
    {{"-a", "h:x"}, {.action = SYNTAX}},
    {{"-remove-server", "4"}, {.action = 14, .objectId = 4}},
    {{"-remserver", "10.1.2.3:7"}, {.action = 14, .address = "10.1.2.3", .port = 7, .transportKind = TCP}},
    {{"-r", "udp://h"}, {.action = SYNTAX}},

    // Callback connections and every address form.
    {{"-create-callback", "192.168.0.10:32032"},
     {.action = 28, .address = "192.168.0.10", .port = 32032, .transportKind = TCP}},
    {{"-createcallback", "tcp://192.168.0.10:32032"},
     {.action = 28, .address = "192.168.0.10", .port = 32032, .transportKind = TCP}},
    {{"-create-callback", "rdp://host:7"}, {.action = 28, .address = "host:7", .transportKind = RDP}},
    {{"-create-callback", "[fe80::1]:32032"},
     {.action = 28, .address = "[fe80::1]", .port = 32032, .transportKind = TCP}},
    {{"-create-callback", "[fe80::1]"}, {.action = 28, .address = "[fe80::1]", .transportKind = TCP}},
    {{"-create-callback", "tcp://[::1]:5"}, {.action = 28, .address = "[::1]", .port = 5, .transportKind = TCP}},
    {{"-create-callback", "fe80::1"}, {.action = 28, .address = "fe80::1", .transportKind = TCP}},
    {{"-create-callback", "host"}, {.action = 28, .address = "host", .transportKind = TCP}},
    {{"-create-callback", "tcp://"}, {.action = 28, .transportKind = TCP}},
    {{"-create-callback"}, {.action = 28}},
    {{"-create-callback", "udp://h"}, {.action = SYNTAX}},
    {{"-create-callback", "http://h:80"}, {.action = SYNTAX}},
    {{"-create-callback", "h:x"}, {.action = SYNTAX}},
    {{"-create-callback", "h:"}, {.action = SYNTAX}},
    {{"-create-callback", "a:b:c"}, {.action = SYNTAX}},
    {{"-create-callback", "[10.0.0.1]:5"}, {.action = SYNTAX}},
    {{"-create-callback", "[zz::1]:5"}, {.action = SYNTAX}},
    {{"-create-callback", "[::1"}, {.action = SYNTAX}},
    {{"-create-callback", "::1]:5"}, {.action = SYNTAX}},
    {{"-create-callback", "x[::1]:5"}, {.action = SYNTAX}},
    {{"-create-callback", "[::1]5"}, {.action = SYNTAX}},
    {{"-create-callback", "[::1]:"}, {.action = SYNTAX}},
    {{"-close-callback", "all"}, {.action = 49}},
    {{"-closecallback", "3"}, {.action = 29, .objectId = 3}},
    {{"-close-callback", "10.0.0.9:32032"},
     {.action = 29, .address = "10.0.0.9", .port = 32032, .transportKind = TCP}},
    {{"-close-callback", "rdp://pipe"}, {.action = 29, .address = "pipe", .transportKind = RDP}},
    {{"-close-callback", "ftp://h"}, {.action = SYNTAX}},
    {{"-server", "10.0.0.2:1"}, {.address = "10.0.0.2", .port = 1, .transportKind = TCP}},
    {{"-client", "[::1]:9"}, {.address = "[::1]", .port = 9, .transportKind = TCP}},
    {{"-client", "h:x"}, {.action = SYNTAX}},

    // On/off words are required and taken even when they look like options.
    {{"-auto-share", "on"}, {.action = 15}},
    {{"-autoshare", "off"}, {.action = 16}},
    {{"-auto-share"}, {.action = SYNTAX}},
    {{"-auto-share", "yes"}, {.action = SYNTAX}},
    {{"-auto-share", "ON"}, {.action = SYNTAX}},
    {{"-auto-share", "-info"}, {.action = SYNTAX}},
    {{"-auto-connect", "on", "3-8"}, {.action = 17, .objectId = 3, .deviceId = 8}},
    {{"-autoconnect", "off", "4"}, {.action = 18, .objectId = 4}},
    {{"-auto-connect", "on"}, {.action = 17}},
    {{"-auto-connect", "on", "-callbackid", "2"}, {.action = 17, .objectId = 2}},
    {{"-auto-connect", "on", "Flash"}, {.action = SYNTAX}},
    {{"-auto-connect"}, {.action = SYNTAX}},
    {{"-remote-auto-connect", "on", "5"}, {.action = 19, .objectId = 5}},
    {{"-remoteautoconnect", "off"}, {.action = 20}},
    {{"-remote-auto-connect", "on", "3-8"}, {.action = SYNTAX}},
    {{"-remote-auto-connect", "maybe"}, {.action = SYNTAX}},
    {{"-autoshareon"}, {.action = 15}},
    {{"-autoshareoff"}, {.action = 16}},
    {{"-autoconnecton", "3-8"}, {.action = 17, .objectId = 3, .deviceId = 8}},
    {{"-autoconnectoff", "6"}, {.action = 18, .objectId = 6}},
    {{"-autoconnecton"}, {.action = 17}},
    {{"-autoconnectoff", "x"}, {.action = SYNTAX}},

    // Lists and plain actions.
    {{"-list-devices"}, {.action = 21}},
    {{"-l"}, {.action = 21}},
    {{"-list-local-devices"}, {.action = 22}},
    {{"-list-remote-devices"}, {.action = 23}},
    {{"-list-clients"}, {.action = 24}},
    {{"-conclients"}, {.action = 24}},
    {{"-clients"}, {.action = 24}},
    {{"-listclients"}, {.action = 24}},
    {{"-list-device-policy"}, {.action = 34}},
    {{"-list-client-device-policy"}, {.action = 35}},
    {{"-list-server-device-policy"}, {.action = 36}},
    {{"-list-ip-filters"}, {.action = 59}},
    {{"-list"}, {.action = 21}},
    {{"-list", "devices"}, {.action = 21}},
    {{"-list", "clients"}, {.action = 24}},
    {{"-list", "-l"}, {.action = SYNTAX}},
    {{"-list", "servers"}, {.action = SYNTAX}},
    {{"-help"}, {.action = 33}},
    {{"-?"}, {.action = 33}},
    {{"-h"}, {.action = 33}},
    {{"-info"}, {.action = 25}},
    {{"-i"}, {.action = 25}},
    {{"-version"}, {.action = 51}},

    // TCP port.
    {{"-set-tcp-port", "32032"}, {.action = 26, .port = 32032}},
    {{"-settcpport", "0"}, {.action = 26, .port = 0}},
    {{"-n", "70000"}, {.action = 26, .port = 70000}},  // range is main's to judge
    {{"-network", " 80 "}, {.action = 26, .port = 80}},
    {{"-set-tcp-port"}, {.action = 26}},
    {{"-set-tcp-port", "x"}, {.action = SYNTAX}},
    {{"-set-tcp-port", "80x"}, {.action = SYNTAX}},
    {{"-set-tcp-port", "0x50"}, {.action = SYNTAX}},

    // Per-device settings and the fixed words.
    {{"-set-reset-method", "hard", "5"}, {.action = 30, .deviceId = 5, .value = 2}},
    {{"-resetmethod", "soft", "-vid", "1"}, {.action = 30, .vendorId = 1, .value = 1}},
    {{"-set-reset-method", "replug"}, {.action = 30, .value = 3}},
    {{"-set-reset-method", "disabled"}, {.action = 30, .value = 0}},
    {{"-set-reset-method", "disable"}, {.action = 30, .value = 0}},
    {{"-set-reset-method", "Hard", "5"}, {.action = 30, .deviceId = 5, .value = -1}},
    {{"-set-nickname", "My Flash Drive", "5"}, {.action = 31, .deviceId = 5, .text = "My Flash Drive"}},
    {{"-nickname", "", "2-5"}, {.action = 31, .objectId = 2, .deviceId = 5}},
    {{"-set-timeout", "15", "5"}, {.action = 32, .deviceId = 5, .value = 15}},
    {{"-timeout", "0", "Flash"}, {.action = 32, .deviceName = "Flash", .value = 0}},
    {{"-set-timeout"}, {.action = 32}},
    {{"-set-timeout", "soon"}, {.action = SYNTAX}},

    // Identifier options never set an action.
    {{"-vid", "0x0441"}, {.vendorId = 0x441}},
    {{"-vid", "ffff", "-pid", "FFFF"}, {.vendorId = 0xFFFF, .productId = 0xFFFF}},
    {{"-vid", "zz"}, {.action = SYNTAX}},
    {{"-pid", ""}, {.action = SYNTAX}},
    {{"-class", "ff", "-subclass", "0x1", "-protocol", "50"},
     {.deviceClass = 0xFF, .deviceSubclass = 1, .deviceProtocol = 0x50}},
    {{"-serial", "ABC123"}, {.serial = "ABC123"}},
    {{"-usb-port", "1-2"}, {.usbPort = "1-2"}},
    {{"-usbport", "3-1.2"}, {.usbPort = "3-1.2"}},
    {{"-busid", "2-1"}, {.usbPort = "2-1"}},
    {{"-d", "4-4"}, {.usbPort = "4-4"}},
    {{"-name", "office"}, {.text = "office"}},
    {{"-device-name", "Flash Disk"}, {.deviceName = "Flash Disk"}},
    {{"-devname", "Hub"}, {.deviceName = "Hub"}},
    {{"-deviceid", "5"}, {.deviceId = 5}},
    {{"-deviceid", "0x5"}, {.action = SYNTAX}},
    {{"-deviceid", " 5"}, {.action = SYNTAX}},
    {{"-serverid", "1"}, {.objectId = 1}},
    {{"-clientid", "2"}, {.objectId = 2}},
    {{"-callbackid", "3"}, {.objectId = 3}},
    {{"-callbackid", "c3"}, {.action = SYNTAX}},
    {{"-ruleid", "4"}, {.ruleId = 4}},
    {{"-ruleid", "4-1"}, {.action = SYNTAX}},
    {{"-file", "out.txt"}, {.file = "out.txt"}},
    {{"-silent", "-info"}, {.silent = true}},
    {{"-silent"}, {.silent = true}},
    {{"-silent", "x", "-l"}, {.action = 21, .silent = true}},

    // ACL rules.
    {{"-add-acl", "10.0.0.0/8 (office)", "5"}, {.action = 56, .deviceId = 5, .text = "10.0.0.0/8 (office)"}},
    {{"-remove-acl", "5-2"}, {.action = 57, .deviceId = 5, .ruleId = 2}},
    {{"-remove-acl", "5-2", "7"}, {.action = SYNTAX, .deviceId = 5, .ruleId = 2}},
    {{"-remove-acl", "5-2", "-vid", "1"}, {.action = 57, .vendorId = 1, .deviceId = 5, .ruleId = 2}},
    {{"-remove-acl", "3", "5"}, {.action = 57, .deviceId = 5, .text = "3"}},
    {{"-remove-acl", "all", "5"}, {.action = 58, .deviceId = 5}},
    {{"-set-acl-mode", "allow", "5"}, {.action = 55, .deviceId = 5, .value = 1}},
    {{"-set-acl-mode", "nope"}, {.action = 55, .value = -1}},

    // IP filters.
    {{"-add-ip-filter", "10.0.0.0/8"}, {.action = 61, .text = "10.0.0.0/8"}},
    {{"-remove-ip-filter", "all"}, {.action = 63}},
    {{"-remove-ip-filter", "2"}, {.action = 62, .ruleId = 2}},
    {{"-remove-ip-filter", "10.0.0.0/8"}, {.action = 62, .text = "10.0.0.0/8"}},
    {{"-set-ip-filters-mode", "deny"}, {.action = 60, .value = 2}},
    {{"-set-ip-filters-mode", "disabled"}, {.action = 60, .value = 0}},

    // Device policy.
    {{"-add-device-policy-rule", "printers", "-vid", "4b8"}, {.action = 40, .vendorId = 0x4b8, .text = "printers"}},
    {{"-add-server-device-policy-rule", "r"}, {.action = 41, .text = "r"}},
    {{"-add-client-device-policy-rule", "r"}, {.action = 42, .text = "r"}},
    {{"-remove-device-policy-rule", "all"}, {.action = 46}},
    {{"-remove-server-device-policy-rule", "all"}, {.action = 47}},
    {{"-remove-client-device-policy-rule", "all"}, {.action = 48}},
    {{"-remove-device-policy-rule", "3"}, {.action = 43, .ruleId = 3}},
    {{"-remove-server-device-policy-rule", "printers"}, {.action = 44, .text = "printers"}},
    {{"-remove-client-device-policy-rule", "-ruleid", "1"}, {.action = 45, .ruleId = 1}},
    {{"-set-device-policy-mode", "allow"}, {.action = 37, .value = 1}},
    {{"-set-server-device-policy-mode", "deny"}, {.action = 38, .value = 2}},
    {{"-set-client-device-policy-mode", "disabled"}, {.action = 39, .value = 0}},

    // Several actions: a different one stops the parse, the same one may repeat.
    {{"-share", "1", "-unshare", "2"}, {.action = MULTIPLE, .deviceId = 2}},
    {{"-share", "1", "-share", "2"}, {.action = 4, .deviceId = 2}},
    {{"-disconnect", "1", "-disconnect", "all"}, {.action = MULTIPLE, .deviceId = 1}},
    {{"-list", "-l"}, {.action = SYNTAX}},
    {{"-l", "-list-devices", "-list"}, {.action = 21}},
    {{"-l", "-clients", "-bogus"}, {.action = MULTIPLE}},
    {{"-info", "-share", "1"}, {.action = MULTIPLE, .deviceId = 1}},

    // Unknown words: exact, case-sensitive, no "--" form, no abbreviations.
    {{"-bogus"}, {.action = UNKNOWN}},
    {{"share"}, {.action = UNKNOWN}},
    {{"-Share"}, {.action = UNKNOWN}},
    {{"--share"}, {.action = UNKNOWN}},
    {{"-sha"}, {.action = UNKNOWN}},
    {{""}, {.action = UNKNOWN}},
    {{"-share", "1", "2"}, {.action = UNKNOWN, .deviceId = 1}},
    {{"-share", "-vid", "41", "-zz", "-unshare"}, {.action = UNKNOWN, .vendorId = 0x41}},

    // A value that looks like an option is not taken: it is the next option.
    {{"-set-nickname", "-vid", "41"}, {.action = 31, .vendorId = 0x41}},
    {{"-vid", "-pid", "12"}, {.productId = 0x12}},
    {{"-set-timeout", "-5", "7"}, {.action = UNKNOWN}},
    {{"-share", " -5"}, {.action = UNKNOWN}},
    {{"-serial", "-share"}, {.action = 4}},

    // Numbers that do not fit: refused rather than wrapped or cut.
    {{"-set-tcp-port", "4294967296"}, {.action = SYNTAX}},
    {{"-set-tcp-port", "4294967295"}, {.action = SYNTAX}},
    {{"-set-tcp-port", "2147483648"}, {.action = SYNTAX}},
    {{"-set-tcp-port", "2147483647"}, {.action = 26, .port = INT_MAX}},
    {{"-set-tcp-port", "99999999999999999999999"}, {.action = SYNTAX}},
    {{"-set-tcp-port", "+80"}, {.action = 26, .port = 80}},
    {{"-set-tcp-port", " +80"}, {.action = 26, .port = 80}},
    {{"-set-timeout", "+5", "7"}, {.action = 32, .deviceId = 7, .value = 5}},
    {{"-set-timeout", "-5"}, {.action = UNKNOWN}},
    {{"-set-timeout", "4294967311", "5"}, {.action = SYNTAX}},
    {{"-share", "4294967304"}, {.action = SYNTAX}},
    {{"-share", "1-4294967304"}, {.action = SYNTAX}},
    {{"-connect-to", "4294967299-1"}, {.action = SYNTAX}},
    {{"-deviceid", "4294967296"}, {.action = SYNTAX}},
    {{"-clientid", "4294967295"}, {.action = SYNTAX}},
    {{"-remove-ip-filter", "4294967297"}, {.action = SYNTAX}},
    {{"-close-callback", "4294967297"}, {.action = SYNTAX}},
    {{"-create-callback", "10.0.0.1:4294999328"}, {.action = SYNTAX}},
    {{"-create-callback", "10.0.0.1:+80"},
     {.action = 28, .address = "10.0.0.1", .port = 80, .transportKind = 32}},
    {{"-create-callback", "10.0.0.1:-80"}, {.action = SYNTAX}},
    {{"-create-callback", "[::1]:-1"}, {.action = SYNTAX}},
    {{"-vid", "+441"}, {.vendorId = 0x441}},
    {{"-vid", "100000441"}, {.action = SYNTAX}},

    // Vendor, product and class values wider than their fields parse: the
    // device check and the policy rule check refuse them with their own
    // messages.
    {{"-vid", "10441"}, {.vendorId = 0x10441}},
    {{"-vid", "0x10000"}, {.vendorId = 0x10000}},
    {{"-pid", "12345"}, {.productId = 0x12345}},
    {{"-class", "100"}, {.deviceClass = 0x100}},
    {{"-subclass", "1ff"}, {.deviceSubclass = 0x1ff}},
    {{"-protocol", "0x100"}, {.deviceProtocol = 0x100}},
    {{"-share", "-vid", "0441", "-pid", "10012"}, {.action = 4, .vendorId = 0x441, .productId = 0x10012}},
};

class CommandLineTable : public ::testing::TestWithParam<Case> {};

TEST_P(CommandLineTable, ParsesToExpectedFields) {
  const Case& c = GetParam();
  EXPECT_EQ(RunParse(c.words), c.expected) << c;
}

INSTANTIATE_TEST_SUITE_P(AllOptions, CommandLineTable, ::testing::ValuesIn(kCases));

TEST(CommandLineWords, ParseNumberAcceptsBlanksAndPrefixOnly) {
  struct {
    const char* word;
    int base;
    bool ok;
    int value;
  } const cases[] = {
      {"12", 10, true, 12},       {"  12", 10, true, 12},   {"12 \t\r\n", 10, true, 12},
      {"12x", 10, false, 0},      {"", 10, false, 0},       {"   ", 10, false, 0},
      {"0x1F", 16, true, 0x1F},   {"1f", 16, true, 0x1F},   {"0x", 16, false, 0},
      {"0x-1", 16, false, 0},     {"-1", 10, false, 0},     {"+1", 10, true, 1},
      {" +0x1f", 16, true, 0x1F}, {"+-1", 10, false, 0},   {"-0", 10, false, 0},
      {"12 3", 10, false, 0},     {"0", 10, true, 0},       {"\v7", 10, true, 7},
  };
  for (const auto& c : cases) {
    int value = -7;
    EXPECT_EQ(CCommandLine::ParseNumber(c.word, c.base, INT_MAX, value), c.ok) << "'" << c.word << "'";
    EXPECT_EQ(value, c.ok ? c.value : -7) << "'" << c.word << "'";
  }
  int value = -7;
  EXPECT_TRUE(CCommandLine::ParseNumber("ff", 16, 0xFF, value));
  EXPECT_FALSE(CCommandLine::ParseNumber("100", 16, 0xFF, value));
  EXPECT_EQ(value, 0xFF);
}

TEST(CommandLineWords, IdPairWritesOutputsOnlyOnSuccess) {
  for (const char* bad : {"3-", "-8", "3", "3--8", "3-8-1", "a-8", "3-8 ", "", "1-99999999999"}) {
    int first = -5;
    int second = -6;
    EXPECT_FALSE(CCommandLine::ParseIdPair(bad, first, second)) << bad;
    EXPECT_EQ(first, -5) << bad;
    EXPECT_EQ(second, -6) << bad;
  }
  int first = -1;
  int second = -1;
  ASSERT_TRUE(CCommandLine::ParseIdPair("03-10", first, second));
  EXPECT_EQ(first, 3);
  EXPECT_EQ(second, 10);
}

TEST(CommandLineWords, FailedAddressLeavesOutputsAlone) {
  std::string address = "keep";
  int port = 11;
  int kind = 22;
  EXPECT_FALSE(CCommandLine::ParseAddress("[::1]:x", address, port, kind));
  EXPECT_EQ(address, "keep");
  EXPECT_EQ(port, 11);
  EXPECT_EQ(kind, 22);
  // A later address without a port must not keep the earlier port.
  ASSERT_TRUE(CCommandLine::ParseAddress("fe80::1%lo", address, port, kind));
  EXPECT_EQ(address, "fe80::1%lo");
  EXPECT_EQ(port, -1);
  EXPECT_EQ(kind, TRANSPORT_TCP);
}

TEST(CommandLineWords, OptionWordIsADashAfterSpacesAndTabs) {
  EXPECT_TRUE(CCommandLine::IsOptionWord("-x"));
  EXPECT_TRUE(CCommandLine::IsOptionWord(" \t-5"));
  EXPECT_TRUE(CCommandLine::IsOptionWord("-"));
  EXPECT_FALSE(CCommandLine::IsOptionWord("x-"));
  EXPECT_FALSE(CCommandLine::IsOptionWord(""));
  EXPECT_FALSE(CCommandLine::IsOptionWord("\n-x"));
}

TEST(CommandLineWords, ArgumentVectorIsLeftUnchanged) {
  std::vector<std::string> words = {"calvix", "-create-callback", "tcp://[fe80::1]:32032", "-vid", "0441"};
  std::vector<std::string> copy = words;
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  CCommandLine commandLine(static_cast<int>(argv.size()), argv.data());
  ParsedCommand result;
  commandLine.Parse(result);
  EXPECT_EQ(result.action, ACTION_CREATE_CALLBACK);
  EXPECT_EQ(words, copy);
}

}  // namespace
