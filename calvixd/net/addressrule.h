// One IP filter rule as the network server checks it against the address
// (and name) of a session connection.
#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "sys/thread"

constexpr uint8_t ADDRESS_RULE_SINGLE = 2;  // first
constexpr uint8_t ADDRESS_RULE_NETWORK = 3; // first cut to prefixLength
constexpr uint8_t ADDRESS_RULE_RANGE = 4;   // first to last, both included
constexpr uint8_t ADDRESS_RULE_HOST = 5;    // host's resolved addresses, or the client's name

struct AddressRule {
    uint8_t kind = 0;
    ADDRESS first;
    ADDRESS last;
    int prefixLength = 0;
    std::string host;
    std::set<ADDRESS> resolved;
};

bool AddressRuleMatches(const AddressRule& rule, const ADDRESS& address, const std::string& clientName);
