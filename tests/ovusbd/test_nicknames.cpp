// Nicknames from the configuration: "DeviceNicknames" and "ClientIdMap".
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ovusbd/core/log.h"
#include "ovusbd/core/nicknames.h"

namespace {

template <typename T>
std::vector<T> items(LockedList* list) {
  std::vector<T> out;
  forEachInLockedList(
      list, nullptr, [](void* item, void* o) { static_cast<std::vector<T>*>(o)->push_back(*static_cast<T*>(item)); },
      nullptr, &out, 0);
  return out;
}

class StartLists : public testing::Test {
 protected:
  void SetUp() override {
    list_ = createLockedList();
    setLogFile(stdout);
    testing::internal::CaptureStdout();
  }
  void TearDown() override {
    log_ = testing::internal::GetCapturedStdout();
    setLogFile(nullptr);
    clearLockedList(list_, freeItem);
    destroyLockedList(list_);
  }
  std::string takeLog() {
    std::string log = testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    return log;
  }
  LockedList* list_ = nullptr;
  std::string log_;
};

TEST_F(StartLists, DeviceNicknames) {
  EXPECT_EQ(parseDeviceNicknames(list_, "Printer,4b8,1a2,112,Scanner,04B8,0x1b,7"), 2);
  auto n = items<DeviceNickname>(list_);
  ASSERT_EQ(n.size(), 2u);
  EXPECT_EQ(n[0].vendorId, 0x4b8u);
  EXPECT_EQ(n[0].productId, 0x1a2u);
  EXPECT_EQ(n[0].address, 112u);
  EXPECT_STREQ(n[0].nickname, "Printer");
  EXPECT_STREQ(n[0].serial, "");
  EXPECT_EQ(n[1].vendorId, 0x4b8u);
  EXPECT_EQ(n[1].productId, 0x1bu);
  EXPECT_STREQ(n[1].nickname, "Scanner");
}

TEST_F(StartLists, SerialKeyedNicknames) {
  EXPECT_EQ(parseDeviceNicknames(list_, "DriveABC123,0,0,6"), 1);
  auto n = items<DeviceNickname>(list_);
  ASSERT_EQ(n.size(), 1u);
  EXPECT_STREQ(n[0].nickname, "Drive");
  EXPECT_STREQ(n[0].serial, "ABC123");
  EXPECT_EQ(n[0].address, 6u);

  // A first field longer than 63 characters keeps its first 63 as nickname.
  std::string longName(70, 'n');
  clearLockedList(list_, freeItem);
  EXPECT_EQ(parseDeviceNicknames(list_, (longName + "SER,0,0,3").c_str()), 1);
  n = items<DeviceNickname>(list_);
  EXPECT_EQ(std::string(n[0].nickname), std::string(63, 'n'));
  EXPECT_STREQ(n[0].serial, "SER");

  // Nickname and serial together past 63 characters: the serial comes off
  // the whole field, so none of it stays in the nickname.
  std::string name(40, 'n'), serial(30, 's');
  clearLockedList(list_, freeItem);
  EXPECT_EQ(parseDeviceNicknames(list_, (name + serial + ",0,0,30").c_str()), 1);
  n = items<DeviceNickname>(list_);
  EXPECT_EQ(std::string(n[0].nickname), name);
  EXPECT_EQ(std::string(n[0].serial), serial);
}

TEST_F(StartLists, BadNicknameEntriesAreLeftOut) {
  std::string serial(130, 's');
  std::string value = "Short,0,0,9,A" + serial + ",0,0,130,Good,1,2,3,Half,1,2";
  EXPECT_EQ(parseDeviceNicknames(list_, value.c_str()), 1);
  auto n = items<DeviceNickname>(list_);
  ASSERT_EQ(n.size(), 1u);
  EXPECT_STREQ(n[0].nickname, "Good");
  std::string log = takeLog();
  EXPECT_NE(log.find("ignoring nickname \"Short\""), std::string::npos) << log;
  EXPECT_NE(log.find("serial length 130"), std::string::npos) << log;
  EXPECT_NE(log.find("ignoring incomplete entry at the end of DeviceNicknames"), std::string::npos) << log;
}

TEST_F(StartLists, ClientIdMap) {
  std::string longText(64, 'x');
  std::string value = "alice,Alice," + longText + ",bob,carol,Carol,dave";
  EXPECT_EQ(parseClientIdMap(list_, value.c_str(), "ClientIdMap"), 2);
  auto pairs = items<ClientIdPair>(list_);
  ASSERT_EQ(pairs.size(), 2u);
  EXPECT_STREQ(pairs[0].clientText, "alice");
  EXPECT_STREQ(pairs[0].replacement, "Alice");
  EXPECT_STREQ(pairs[1].clientText, "carol");
  EXPECT_STREQ(pairs[1].replacement, "Carol");
  std::string log = takeLog();
  EXPECT_NE(log.find("longer than 63 characters"), std::string::npos) << log;
  EXPECT_NE(log.find("LOG_ERR     Invalid format for ClientIdMap"), std::string::npos) << log;
}

TEST_F(StartLists, EmptyValues) {
  EXPECT_EQ(parseDeviceNicknames(list_, nullptr), 0);
  EXPECT_EQ(parseDeviceNicknames(list_, ""), 0);
  EXPECT_EQ(parseClientIdMap(list_, "", "ClientIdMap"), 0);
  EXPECT_EQ(countLockedList(list_), 0u);
}

}  // namespace
