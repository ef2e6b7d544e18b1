#include "calvixd/net/addressrule.h"

#include <strings.h>

bool AddressRuleMatches(const AddressRule& rule, const ADDRESS& address, const std::string& clientName)
{
    switch (rule.kind) {
    case ADDRESS_RULE_SINGLE:
        return address == rule.first;
    case ADDRESS_RULE_NETWORK:
        return address.GetFamily() == rule.first.GetFamily() &&
               ADDRESS(address, rule.prefixLength) == ADDRESS(rule.first, rule.prefixLength);
    case ADDRESS_RULE_RANGE:
        return address.GetFamily() == rule.first.GetFamily() && address >= rule.first && address <= rule.last;
    case ADDRESS_RULE_HOST:
        return rule.resolved.count(address) != 0 ||
               (!clientName.empty() && strcasecmp(clientName.c_str(), rule.host.c_str()) == 0);
    default:
        return false;
    }
}
