#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "calvixd/core/linetext.h"
#include "calvixd/net/addressrule.h"

namespace {

std::string Join(const std::set<ADDRESS>& addresses)
{
    std::string text;
    for (const ADDRESS& a : addresses)
        text += std::string(text.empty() ? "" : ",") + a.ToString();
    return text;
}

} // namespace

TEST(AddressRuleParse, Table)
{
    struct Case {
        const char* text;
        uint8_t kind;
        const char* first; // numeric text, or the host name for kind 5
        const char* last;  // range end, or the host's addresses joined by ','
        int prefix;
    };
    const Case cases[] = {
        {"192.168.1.10", ADDRESS_RULE_SINGLE, "192.168.1.10", "", 0},
        {" 192.168.1.10\r\n", ADDRESS_RULE_SINGLE, "192.168.1.10", "", 0},
        {"fe80::1", ADDRESS_RULE_SINGLE, "fe80::1", "", 0},
        {"192.168.1.0/24", ADDRESS_RULE_NETWORK, "192.168.1.0", "", 24},
        {"192.168.1.0/255.255.255.0", ADDRESS_RULE_NETWORK, "192.168.1.0", "", 24},
        {"10.0.0.0 / 1", ADDRESS_RULE_NETWORK, "10.0.0.0", "", 1},
        {"10.0.0.0/31", ADDRESS_RULE_NETWORK, "10.0.0.0", "", 31},
        {"fe80::/10", ADDRESS_RULE_NETWORK, "fe80::", "", 10},
        {"fe80::/127", ADDRESS_RULE_NETWORK, "fe80::", "", 127},
        {"10.0.0.1-10.0.0.99", ADDRESS_RULE_RANGE, "10.0.0.1", "10.0.0.99", 0},
        {"10.0.0.1-10.0.0.1", ADDRESS_RULE_RANGE, "10.0.0.1", "10.0.0.1", 0},
        {"fe80::1-fe80::9", ADDRESS_RULE_RANGE, "fe80::1", "fe80::9", 0},
        {"printserver", ADDRESS_RULE_HOST, "printserver", "", 0},
        {"Printer.Example", ADDRESS_RULE_HOST, "printer.example", "", 0},
        {"my-host", ADDRESS_RULE_HOST, "my-host", "", 0},
        {"printserver (192.168.1.8, 192.168.1.7)", ADDRESS_RULE_HOST, "printserver", "192.168.1.7,192.168.1.8", 0},
        {"dual(10.0.0.1,fe80::1)", ADDRESS_RULE_HOST, "dual", "10.0.0.1,fe80::1", 0},
        // Invalid texts.
        {"", ADDRESS_RULE_INVALID, "", "", 0},
        {"  \t", ADDRESS_RULE_INVALID, "", "", 0},
        {"192.168.1.0/32", ADDRESS_RULE_INVALID, "", "", 0},
        {"192.168.1.0/0", ADDRESS_RULE_INVALID, "", "", 0},
        {"192.168.1.0/99999999999999999999", ADDRESS_RULE_INVALID, "", "", 0},
        {"192.168.1.0/255.0.255.0", ADDRESS_RULE_INVALID, "", "", 0}, // not contiguous
        {"192.168.1.0/", ADDRESS_RULE_INVALID, "", "", 0},
        {"printserver/24", ADDRESS_RULE_INVALID, "", "", 0}, // never a host name
        {"fe80::/128", ADDRESS_RULE_INVALID, "", "", 0},
        {"fe80::/ffff::", ADDRESS_RULE_INVALID, "", "", 0},
        {"10.0.0.9-10.0.0.1", ADDRESS_RULE_INVALID, "", "", 0},
        {"10.0.0.1-fe80::1", ADDRESS_RULE_INVALID, "", "", 0},
        {"host(10.0.0.1", ADDRESS_RULE_INVALID, "", "", 0},
        {"host(10.0.0.1)x", ADDRESS_RULE_INVALID, "", "", 0},
        {"host((10.0.0.1))", ADDRESS_RULE_INVALID, "", "", 0},
        {"host()", ADDRESS_RULE_INVALID, "", "", 0},
        {"host(10.0.0.1,)", ADDRESS_RULE_INVALID, "", "", 0},
        {"host(nothost)", ADDRESS_RULE_INVALID, "", "", 0},
        // A list without a name would match every client whose name is not
        // known yet.
        {"(10.0.0.5)", ADDRESS_RULE_INVALID, "", "", 0},
        {"a:b", ADDRESS_RULE_INVALID, "", "", 0},
        {"evil$host", ADDRESS_RULE_INVALID, "", "", 0},
        {"a,b", ADDRESS_RULE_INVALID, "", "", 0},
        {"bell\x07", ADDRESS_RULE_INVALID, "", "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        AddressRule rule;
        rule.host = "left over";
        bool parsed = ParseAddressRule(c.text, &rule);
        EXPECT_EQ(parsed, c.kind >= ADDRESS_RULE_SINGLE);
        EXPECT_EQ(rule.kind, c.kind);
        switch (c.kind) {
        case ADDRESS_RULE_SINGLE:
        case ADDRESS_RULE_NETWORK:
            EXPECT_EQ(rule.first, ADDRESS(c.first));
            EXPECT_EQ(rule.prefixLength, c.prefix);
            break;
        case ADDRESS_RULE_RANGE:
            EXPECT_EQ(rule.first, ADDRESS(c.first));
            EXPECT_EQ(rule.last, ADDRESS(c.last));
            break;
        case ADDRESS_RULE_HOST:
            EXPECT_EQ(rule.host, c.first);
            EXPECT_EQ(Join(rule.resolved), c.last);
            break;
        default:
            EXPECT_TRUE(rule.host.empty()) << "an invalid text leaves a reset rule";
            EXPECT_TRUE(rule.resolved.empty());
        }
    }
    // A NUL would end the text early where a part is read as a C string.
    for (const std::string& text : {std::string("10.0.0.1\0" "5", 10), std::string("host(10.0.0.1\0)", 15),
                                   std::string("host\0", 5)}) {
        AddressRule rule;
        EXPECT_FALSE(ParseAddressRule(text, &rule)) << text.size();
        EXPECT_EQ(rule.kind, ADDRESS_RULE_INVALID);
    }
}

TEST(AddressRuleText, ListIsCutAndShownAgain)
{
    const std::pair<const char*, const char*> cuts[] = {
        {"printserver (192.168.1.7)", "printserver"},
        {"printserver(192.168.1.7)", "printserver"},
        {"printserver", "printserver"},
        {"10.0.0.0/8", "10.0.0.0/8"},
    };
    for (const auto& [text, cut] : cuts)
        EXPECT_EQ(StripAddressList(text), cut) << text;

    AddressRule rule;
    ASSERT_TRUE(ParseAddressRule("printserver (192.168.1.8, 192.168.1.7)", &rule));
    std::string shown = AddressRuleDisplayText("printserver", rule);
    EXPECT_EQ(shown, "printserver (192.168.1.7, 192.168.1.8)");
    // The shown text parses back to the same rule.
    AddressRule again;
    ASSERT_TRUE(ParseAddressRule(shown, &again));
    EXPECT_EQ(again.host, rule.host);
    EXPECT_EQ(again.resolved, rule.resolved);
    rule.resolved.clear();
    EXPECT_EQ(AddressRuleDisplayText("printserver", rule), "printserver");
}

TEST(AddressRuleMatch, Table)
{
    struct Case {
        const char* rule;
        const char* client;
        const char* name;
        bool matches;
    };
    const Case cases[] = {
        {"10.0.0.5", "10.0.0.5", "", true},
        {"10.0.0.5", "10.0.0.6", "", false},
        {"10.0.0.5", "::ffff:10.0.0.5", "", true}, // an IPv4 client on a dual-stack socket
        {"10.0.0.0/8", "10.200.1.1", "", true},
        {"10.0.0.0/8", "11.0.0.1", "", false},
        {"10.0.0.0/8", "::ffff:10.1.2.3", "", true},
        {"10.0.0.0/8", "::a00:1", "", false}, // other family, same low bytes
        {"fe80::/10", "fe80::1234", "", true},
        {"fe80::/10", "fec0::1", "", false},
        {"10.0.0.1-10.0.0.99", "10.0.0.99", "", true},
        {"10.0.0.1-10.0.0.99", "10.0.0.100", "", false},
        {"10.0.0.1-10.0.0.99", "::ffff:10.0.0.50", "", true},
        {"printserver (10.0.0.7)", "10.0.0.7", "", true},
        {"printserver (10.0.0.7)", "10.0.0.8", "", false},
        {"printserver", "10.0.0.8", "PrintServer", true},
        {"printserver", "10.0.0.8", "", false},
        {"printserver", "10.0.0.8", "other", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.rule) + " / " + c.client + " / " + c.name);
        AddressRule rule;
        ASSERT_TRUE(ParseAddressRule(c.rule, &rule));
        EXPECT_EQ(AddressRuleMatches(rule, ADDRESS(c.client), c.name), c.matches);
    }
    AddressRule invalid;
    ParseAddressRule("(10.0.0.5)", &invalid);
    EXPECT_FALSE(AddressRuleMatches(invalid, ADDRESS("10.0.0.5"), ""));
    // A host rule whose name is empty never matches by name.
    AddressRule nameless;
    nameless.kind = ADDRESS_RULE_HOST;
    EXPECT_FALSE(AddressRuleMatches(nameless, ADDRESS("10.0.0.5"), "client"));
}

TEST(LineText, ControlBytes)
{
    const std::pair<std::string, std::string> cases[] = {
        {"plain name", "plain name"},
        {"two\r\nlines", "two??lines"},
        {"tab\there", "tab?here"},
        {std::string("nul\0x", 5), "nul?x"},
        {"del\x7f", "del?"},
        {"caf\xc3\xa9", "caf\xc3\xa9"}, // UTF-8 stays
    };
    for (const auto& [text, safe] : cases) {
        EXPECT_EQ(ReplaceControlCharacters(text), safe);
        EXPECT_EQ(HasControlCharacters(text), text != safe);
    }
}
