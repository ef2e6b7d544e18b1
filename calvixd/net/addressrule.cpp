#include "calvixd/net/addressrule.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

constexpr int IPV4_PREFIX_LIMIT = 31;
constexpr int IPV6_PREFIX_LIMIT = 127;
// Characters a host name may not hold: they belong to paths, URLs, shell
// words or to the rule syntax itself.
constexpr const char HOST_FORBIDDEN[] = "\\/:*?\"<>|~!@#$%^&'{}(),";

bool ParseNumericAddress(const std::string& text, ADDRESS* address)
{
    if (text.empty())
        return false;
    *address = ADDRESS(text.c_str());
    return address->IsValid();
}

// A decimal prefix length; -1 when the text is not all digits.
int ParseDecimalPrefix(const std::string& text)
{
    if (text.empty())
        return -1;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return -1;
        // Anything above the IPv6 limit is refused anyway: stop before it
        // can overflow.
        value = std::min(value * 10 + (c - '0'), 1000);
    }
    return value;
}

bool ParseNetwork(const std::string& text, size_t slash, AddressRule* rule)
{
    if (!ParseNumericAddress(text.substr(0, slash), &rule->first))
        return false;
    std::string suffix = text.substr(slash + 1);
    int prefix = ParseDecimalPrefix(suffix);
    int limit = IPV6_PREFIX_LIMIT;
    if (rule->first.IsIPv4()) {
        limit = IPV4_PREFIX_LIMIT;
        ADDRESS mask;
        if (prefix < 0 && ParseNumericAddress(suffix, &mask) && mask.IsIPv4())
            prefix = mask.GetPrefixLength();
    }
    if (prefix < 1 || prefix > limit)
        return false;
    rule->prefixLength = prefix;
    rule->kind = ADDRESS_RULE_NETWORK;
    return true;
}

bool ParseHost(const std::string& text, AddressRule* rule)
{
    std::string name = text;
    size_t open = text.find('(');
    if (open != std::string::npos) {
        if (text.find('(', open + 1) != std::string::npos || text.back() != ')')
            return false;
        std::string list = text.substr(open + 1, text.size() - open - 2);
        size_t start = 0;
        for (;;) {
            size_t comma = list.find(',', start);
            ADDRESS address;
            if (!ParseNumericAddress(list.substr(start, comma - start), &address))
                return false;
            rule->resolved.insert(address);
            if (comma == std::string::npos)
                break;
            start = comma + 1;
        }
        name = text.substr(0, open);
    }
    // A rule without a name would match every client whose name is not
    // known yet.
    if (name.empty() || name.find_first_of(HOST_FORBIDDEN) != std::string::npos)
        return false;
    std::transform(name.begin(), name.end(), name.begin(),
                   [](char c) { return static_cast<char>(tolower(static_cast<unsigned char>(c))); });
    rule->host = name;
    rule->kind = ADDRESS_RULE_HOST;
    return true;
}

bool Parse(const std::string& text, AddressRule* rule)
{
    size_t slash = text.find('/');
    if (slash != std::string::npos)
        return ParseNetwork(text, slash, rule);
    size_t dash = text.find('-');
    if (dash != std::string::npos) {
        ADDRESS low;
        ADDRESS high;
        if (ParseNumericAddress(text.substr(0, dash), &low) && ParseNumericAddress(text.substr(dash + 1), &high)) {
            if (low.GetFamily() != high.GetFamily() || low > high)
                return false;
            rule->first = low;
            rule->last = high;
            rule->kind = ADDRESS_RULE_RANGE;
            return true;
        }
        return ParseHost(text, rule);
    }
    if (ParseNumericAddress(text, &rule->first)) {
        rule->kind = ADDRESS_RULE_SINGLE;
        return true;
    }
    return ParseHost(text, rule);
}

} // namespace

bool ParseAddressRule(const std::string& text, AddressRule* rule)
{
    *rule = AddressRule();
    rule->kind = ADDRESS_RULE_INVALID;
    std::string compact;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
            continue;
        // Any other control byte (a NUL above all) would end the text
        // early where it is read as a C string.
        unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F)
            return false;
        compact += c;
    }
    AddressRule parsed;
    parsed.kind = ADDRESS_RULE_INVALID;
    if (!Parse(compact, &parsed))
        return false;
    *rule = std::move(parsed);
    return true;
}

std::string StripAddressList(const std::string& text)
{
    size_t open = text.find('(');
    if (open == std::string::npos)
        return text;
    size_t start = open > 0 && text[open - 1] == ' ' ? open - 1 : open;
    size_t close = text.find(')', open);
    std::string stripped = text.substr(0, start);
    if (close != std::string::npos)
        stripped += text.substr(close + 1);
    return stripped;
}

std::string AddressRuleDisplayText(const std::string& text, const AddressRule& rule)
{
    if (rule.kind != ADDRESS_RULE_HOST || rule.resolved.empty())
        return text;
    std::string shown = text + " (";
    bool first = true;
    for (const ADDRESS& address : rule.resolved) {
        if (!first)
            shown += ", ";
        shown += address.ToString();
        first = false;
    }
    return shown + ")";
}

ADDRESS UnmapAddress(const ADDRESS& address)
{
    static const uint8_t mappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (!address.IsIPv6() || memcmp(address.GetAddressBytes(), mappedPrefix, sizeof mappedPrefix) != 0)
        return address;
    uint32_t ipv4 = 0;
    memcpy(&ipv4, address.GetAddressBytes() + sizeof mappedPrefix, sizeof ipv4);
    return ADDRESS(ipv4);
}

bool AddressRuleMatches(const AddressRule& rule, const ADDRESS& client, const std::string& clientName)
{
    ADDRESS address = UnmapAddress(client);
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
               (!clientName.empty() && !rule.host.empty() && strcasecmp(clientName.c_str(), rule.host.c_str()) == 0);
    default:
        return false;
    }
}
