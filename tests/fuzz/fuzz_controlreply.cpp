// Fuzz entry of calvix's readers of the control interface's replies: the
// first byte picks the reader, the rest is the reply as the daemon sent it
// after its status word.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "calvix/replyparser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // An exact-size copy, so a read past the reply is caught.
  size_t length = size - 1;
  uint8_t* reply = static_cast<uint8_t*>(malloc(length ? length : 1));
  if (length) memcpy(reply, data + 1, length);
  switch (data[0] % 5) {
  case 0: {
    SnapshotLists lists;
    ParseSnapshotReply(reply, length, lists);
    for (const DeviceEntry& device : lists.devices) {
      if (device.product.size() > 1024 || device.busId.size() > 1024) abort();
    }
    break;
  }
  case 1: {
    uint8_t mode = 0;
    std::vector<std::string> rules;
    ParseRuleListReply(reply, length, mode, rules);
    for (const std::string& rule : rules) {
      if (rule.empty() || rule.size() > 1024) abort();
    }
    break;
  }
  case 2: {
    // The count comes from the reply's head, which the daemon sends first.
    uint32_t count = length >= 4 ? reply[0] | reply[1] << 8 : 0;
    std::vector<API_POLICY_RULE> rules;
    ParsePolicyRules(reply, length, count, rules);
    for (const API_POLICY_RULE& rule : rules) {
      if (strnlen(rule.name, sizeof(rule.name)) == sizeof(rule.name)) abort();
    }
    break;
  }
  case 3: {
    std::vector<uint8_t> bytes;
    if (ParseCountedBytes(reply, length, 256, bytes) == 0 && bytes.size() > 256) abort();
    break;
  }
  case 4: {
    std::vector<uint8_t> triples;
    if (ParseInterfaceClasses(reply, length, triples) == 0 && triples.size() % 3 != 0) abort();
    break;
  }
  }
  free(reply);
  return 0;
}
