// Address rules: the text form an administrator writes for an IP filter or a
// device ACL, its parsed form, and the match of a client against it. The
// parser is a pure function of the text.
#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "sys/thread"

constexpr uint8_t ADDRESS_RULE_UNPARSED = 0;
constexpr uint8_t ADDRESS_RULE_INVALID = 1;
constexpr uint8_t ADDRESS_RULE_SINGLE = 2;  // first
constexpr uint8_t ADDRESS_RULE_NETWORK = 3; // first cut to prefixLength
constexpr uint8_t ADDRESS_RULE_RANGE = 4;   // first to last, both included
constexpr uint8_t ADDRESS_RULE_HOST = 5;    // host's resolved addresses, or the client's name

struct AddressRule {
    uint8_t kind = ADDRESS_RULE_UNPARSED;
    ADDRESS first;
    ADDRESS last;
    int prefixLength = 0;
    std::string host; // lower case
    std::set<ADDRESS> resolved;
};

// Parses one rule text: "192.168.1.10", "192.168.1.0/24",
// "192.168.1.0/255.255.255.0", "10.0.0.1-10.0.0.99", "fe80::/10",
// "printserver" or "printserver (192.168.1.7, 192.168.1.8)". Blanks, tabs,
// CR and LF anywhere are ignored. *rule is reset first; on failure its kind
// is ADDRESS_RULE_INVALID. True for kinds 2 to 5.
bool ParseAddressRule(const std::string& text, AddressRule* rule);

// The text of a host rule without its address list: from the '(' (and one
// blank right before it) to the first ')'. Other texts come back unchanged.
std::string StripAddressList(const std::string& text);

// The text shown for a rule: a host rule with a resolved set gets
// " (a, b)" appended, in set order.
std::string AddressRuleDisplayText(const std::string& text, const AddressRule& rule);

// Whether a client matches the rule. An IPv4-mapped IPv6 address matches as
// the IPv4 address it carries. A host rule also matches a client whose name
// equals the host name ignoring case (pass an empty name where only
// addresses count).
bool AddressRuleMatches(const AddressRule& rule, const ADDRESS& address, const std::string& clientName);

// The IPv4 address an IPv4-mapped IPv6 address carries; other addresses
// come back unchanged.
ADDRESS UnmapAddress(const ADDRESS& address);

