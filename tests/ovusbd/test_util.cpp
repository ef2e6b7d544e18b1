#include "ovusbd/core/util.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <string>

namespace {

std::string take(char* text) {
  std::string copy = text ? text : "<null>";
  free(text);
  return copy;
}

TEST(ReplaceAll, Table) {
  struct Case {
    const char* text;
    const char* pattern;
    const char* value;
    const char* expected;
  } cases[] = {
      {"aXbXc", "X", "XX", "aXXbXXc"},  // the value holds the pattern: not replaced again
      {"aXbXc", "X", "", "abc"},
      {"$A$$A$", "$A$", "long value", "long valuelong value"},
      {"no match", "X", "Y", "no match"},
      {"", "X", "Y", ""},
      {"XXX", "XX", "Y", "YX"},  // left to right, no overlap
      {"abc", "", "Y", "abc"},   // an empty pattern cannot loop
      {"X", "X", "", ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(take(replaceAll(c.text, c.pattern, c.value)), c.expected) << c.text << " / " << c.pattern;
  EXPECT_EQ(replaceAll(nullptr, "X", "Y"), nullptr);
}

TEST(ReplacePlaceholder, CopiesWhenPatternOrValueIsMissing) {
  EXPECT_EQ(take(replacePlaceholder("run $CLIENT_IP$", "$CLIENT_IP$", "10.0.0.1")), "run 10.0.0.1");
  EXPECT_EQ(take(replacePlaceholder("run $CLIENT_IP$", "$CLIENT_IP$", nullptr)), "run $CLIENT_IP$");
  EXPECT_EQ(take(replacePlaceholder("run $CLIENT_IP$", nullptr, "x")), "run $CLIENT_IP$");
  EXPECT_EQ(replacePlaceholder(nullptr, "a", "b"), nullptr);
  // The copy is a new text, not the argument.
  const char* text = "same";
  char* copy = replacePlaceholder(text, nullptr, nullptr);
  EXPECT_NE(copy, text);
  free(copy);
}

sockaddr_storage ipv6(const char* text) {
  sockaddr_storage storage{};
  sockaddr_in6* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
  v6->sin6_family = AF_INET6;
  v6->sin6_port = htons(7575);
  EXPECT_EQ(inet_pton(AF_INET6, text, &v6->sin6_addr), 1) << text;
  return storage;
}

sockaddr_storage ipv4(const char* text) {
  sockaddr_storage storage{};
  sockaddr_in* v4 = reinterpret_cast<sockaddr_in*>(&storage);
  v4->sin_family = AF_INET;
  v4->sin_port = htons(7575);
  EXPECT_EQ(inet_pton(AF_INET, text, &v4->sin_addr), 1) << text;
  return storage;
}

TEST(FormatSocketAddress, Table) {
  struct Case {
    sockaddr_storage address;
    const char* expected;
  } cases[] = {
      {ipv4("192.168.1.5"), "192.168.1.5"},
      {ipv6("::ffff:192.168.1.5"), "192.168.1.5"},  // IPv4-mapped: written as IPv4
      {ipv6("::1"), "::1"},
      {ipv6("fe80::1:2"), "fe80::1:2"},
      {ipv6("::192.168.1.5"), "::192.168.1.5"},  // IPv4-compatible is not mapped
      {ipv6("2001:db8::ffff:1.2.3.4"), "2001:db8::ffff:102:304"},
  };
  for (const Case& c : cases) {
    char buffer[INET6_ADDRSTRLEN];
    char* result = formatSocketAddress(reinterpret_cast<const sockaddr*>(&c.address), buffer, sizeof buffer);
    ASSERT_EQ(result, buffer) << c.expected;
    EXPECT_STREQ(buffer, c.expected);
  }
}

TEST(FormatSocketAddress, FailsOnUnknownFamilyOrSmallBuffer) {
  sockaddr_storage unix{};
  unix.ss_family = AF_UNIX;
  char buffer[INET6_ADDRSTRLEN];
  EXPECT_EQ(formatSocketAddress(reinterpret_cast<sockaddr*>(&unix), buffer, sizeof buffer), nullptr);
  sockaddr_storage v4 = ipv4("192.168.100.200");
  char small[8];
  EXPECT_EQ(formatSocketAddress(reinterpret_cast<sockaddr*>(&v4), small, sizeof small), nullptr);
  EXPECT_EQ(formatSocketAddress(nullptr, buffer, sizeof buffer), nullptr);
}

TEST(ToUpperInPlace, OnlyAsciiLettersChange) {
  char text[] = "Linux version 6.1 (openwrt) \xc3\xa9-z";
  EXPECT_EQ(toUpperInPlace(text), text);
  EXPECT_STREQ(text, "LINUX VERSION 6.1 (OPENWRT) \xc3\xa9-Z");
  EXPECT_EQ(toUpperInPlace(nullptr), nullptr);
}

TEST(FileTests, DirectoriesAndFiles) {
  char directory[] = "/tmp/ovusbd-util-XXXXXX";
  ASSERT_NE(mkdtemp(directory), nullptr);
  std::string file = std::string(directory) + "/plain";
  FILE* f = fopen(file.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fclose(f);
  std::string missing = std::string(directory) + "/missing";

  EXPECT_TRUE(directoryExists(directory));
  EXPECT_FALSE(directoryExists(file.c_str()));
  EXPECT_FALSE(directoryExists(missing.c_str()));
  EXPECT_TRUE(fileExists(file.c_str()));
  EXPECT_TRUE(fileExists(directory));  // access(F_OK): any kind of entry
  EXPECT_FALSE(fileExists(missing.c_str()));
  EXPECT_FALSE(fileExists(nullptr));

  unlink(file.c_str());
  rmdir(directory);
}

void ignoreSignal(int) {}

// The full time is slept even when a signal interrupts the sleep, and a
// duration of a second or more is not cut short.
TEST(SleepMilliseconds, SleepsTheWholeTimeThroughSignals) {
  struct sigaction action {};
  action.sa_handler = ignoreSignal;
  struct sigaction previous {};
  ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
  itimerval timer{};
  timer.it_value.tv_usec = 20000;
  timer.it_interval.tv_usec = 20000;
  ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);

  for (unsigned ms : {100u, 1100u}) {
    auto start = std::chrono::steady_clock::now();
    sleepMilliseconds(ms);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(ms)) << ms;
  }

  timer = {};
  setitimer(ITIMER_REAL, &timer, nullptr);
  sigaction(SIGALRM, &previous, nullptr);
}

}  // namespace
