// Fuzz entry of the address-rule parser: the input is one rule text as an
// administrator (or a hand-edited configuration file) gives it. A text that
// parses must show as a text that parses back to the same rule.
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "calvixd/net/addressrule.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  AddressRule rule;
  if (!ParseAddressRule(text, &rule)) {
    if (rule.kind != ADDRESS_RULE_INVALID) abort();
    return 0;
  }
  if (rule.kind < ADDRESS_RULE_SINGLE || rule.kind > ADDRESS_RULE_HOST) abort();
  AddressRuleMatches(rule, ADDRESS("10.0.0.1"), "client");
  AddressRuleMatches(rule, ADDRESS("::ffff:10.0.0.1"), "");
  if (rule.kind != ADDRESS_RULE_HOST) return 0;
  if (rule.host.empty()) abort();
  AddressRule again;
  if (!ParseAddressRule(AddressRuleDisplayText(StripAddressList(text), rule), &again) || again.host != rule.host ||
      again.resolved != rule.resolved)
    abort();
  return 0;
}
