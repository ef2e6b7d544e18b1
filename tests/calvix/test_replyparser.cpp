// The readers of the control interface's replies: bounds of counted texts
// and addresses, short replies, and descriptor blocks that lie about their
// sizes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "calvix/replyparser.h"
#include "tests/calvix/fakecontrolserver.h"

namespace {

using fakecalvixd::PutText;
using fakecalvixd::PutU16;
using fakecalvixd::PutU32;
using fakecalvixd::PutU8;

std::vector<uint8_t> PolicyRuleBytes(const std::string& port, const std::string& serial, const std::string& name) {
  std::vector<uint8_t> out;
  PutU32(out, 0xC0);
  PutU16(out, 0x0781);
  PutU16(out, 0x5567);
  PutU8(out, 8);
  PutU8(out, 6);
  PutU8(out, 0x50);
  PutText(out, port);
  PutText(out, serial);
  PutText(out, name);
  return out;
}

// A text wider than the record's 256-byte field is bad data, not an
// overflow of the field.
TEST(ReplyParser, PolicyTextsMustFitTheirFields) {
  struct {
    std::string port, serial, name;
    uint32_t result;
  } const cases[] = {
      {"1-2", std::string(255, 's'), "n", 0},
      {"1-2", std::string(256, 's'), "n", 1359},
      {std::string(300, 'p'), "s", "n", 1359},
      {"1-2", "s", std::string(256, 'n'), 1359},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> bytes = PolicyRuleBytes(c.port, c.serial, c.name);
    std::vector<API_POLICY_RULE> rules;
    EXPECT_EQ(ParsePolicyRules(bytes.data(), bytes.size(), 1, rules), c.result) << c.serial.size();
    if (c.result == 0) {
      ASSERT_EQ(rules.size(), 1u);
      EXPECT_EQ(std::string(rules[0].serial), c.serial);
      EXPECT_EQ(rules[0].deviceProtocol, 0x50);
    } else {
      EXPECT_TRUE(rules.empty());
    }
  }
  // A count the bytes do not hold: short reply, the complete rules kept.
  std::vector<uint8_t> one = PolicyRuleBytes("", "s", "n");
  std::vector<API_POLICY_RULE> rules;
  EXPECT_EQ(ParsePolicyRules(one.data(), one.size(), 1000000, rules), 1065u);
  EXPECT_EQ(rules.size(), 1u);
}

TEST(ReplyParser, RuleListsDropEmptyTextsAndBoundTheRest) {
  std::vector<uint8_t> bytes;
  PutU8(bytes, 2);
  PutU32(bytes, 3);
  PutText(bytes, "10.0.0.0/8");
  PutText(bytes, "");
  PutText(bytes, std::string(1024, 'r'));
  uint8_t mode = 0;
  std::vector<std::string> rules;
  ASSERT_EQ(ParseRuleListReply(bytes.data(), bytes.size(), mode, rules), 0u);
  EXPECT_EQ(mode, 2);
  EXPECT_EQ(rules.size(), 2u);

  bytes.clear();
  PutU8(bytes, 1);
  PutU32(bytes, 1);
  PutU32(bytes, 1025);
  bytes.insert(bytes.end(), 1025, 'x');
  rules.clear();
  EXPECT_EQ(ParseRuleListReply(bytes.data(), bytes.size(), mode, rules), 1359u);
}

TEST(ReplyParser, InterfaceClassesOfBlocks) {
  struct {
    std::vector<uint8_t> block;
    uint32_t result;
    std::vector<uint8_t> triples;
  } const cases[] = {
      {{}, 1359, {}},
      {{9, 2, 0}, 1359, {}},
      {{9, 2, 10, 0, 1}, 1359, {}},
      {{9, 2, 4, 0}, 0, {}},
      // Interface descriptors, alternate setting 1 skipped.
      {{9, 2, 27, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 2, 8, 6, 0x50, 0, 9, 4, 0, 1, 2, 3, 4, 5, 0}, 0, {8, 6, 0x50}},
      // bLength 5 with type 4: too short to hold the class fields.
      {{9, 2, 14, 0, 1, 1, 0, 0x80, 50, 5, 4, 0, 0, 2}, 0, {}},
      // A descriptor of length 0 ends the walk.
      {{9, 2, 21, 0, 1, 1, 0, 0x80, 50, 0, 4, 0, 9, 4, 0, 0, 2, 8, 6, 0x50, 0}, 0, {}},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> triples;
    EXPECT_EQ(ParseInterfaceClasses(c.block.data(), c.block.size(), triples), c.result) << c.block.size();
    EXPECT_EQ(triples, c.triples) << c.block.size();
  }
}

TEST(ReplyParser, CountedBytesAreBounded) {
  std::vector<uint8_t> bytes;
  PutText(bytes, std::string(256, 'i'));
  std::vector<uint8_t> out;
  EXPECT_EQ(ParseCountedBytes(bytes.data(), bytes.size(), 256, out), 0u);
  EXPECT_EQ(out.size(), 256u);
  bytes.clear();
  PutText(bytes, std::string(257, 'i'));
  EXPECT_EQ(ParseCountedBytes(bytes.data(), bytes.size(), 256, out), 1359u);
  bytes.resize(10);
  EXPECT_EQ(ParseCountedBytes(bytes.data(), bytes.size(), 1000, out), 1065u);
}

}  // namespace
