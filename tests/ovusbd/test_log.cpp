#include "ovusbd/core/log.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  for (char c : text) {
    if (c == separator) {
      parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  if (!part.empty()) parts.push_back(part);
  return parts;
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/ovusbd-log-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    directory = pattern;
  }
  void TearDown() override {
    setLogFile(nullptr);
    std::string command = "rm -rf '" + directory + "'";
    EXPECT_EQ(system(command.c_str()), 0);
  }
  std::string directory;
};

// One record: "%c" of the C locale (always 24 characters, e.g.
// "Thu Dec 10 13:15:38 2026"), a space, the level name padded to 11, a
// space, the message.
struct Record {
  time_t stamp = 0;
  std::string level, message;
};

bool parseRecord(const std::string& line, Record* record) {
  if (line.size() < 24 + 1 + 11 + 1 || line[24] != ' ' || line[36] != ' ') return false;
  struct tm parsed {};
  const char* end = strptime(line.c_str(), "%a %b %e %H:%M:%S %Y", &parsed);
  if (end != line.c_str() + 24) return false;
  char check[64];
  if (strftime(check, sizeof check, "%c", &parsed) != 24 || line.compare(0, 24, check) != 0) return false;
  parsed.tm_isdst = -1;
  record->stamp = mktime(&parsed);
  record->level = line.substr(25, 11);
  record->message = line.substr(37);
  return true;
}

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST_F(LogTest, RecordLayoutForEveryLevel) {
  std::string path = directory + "/ovusbd.log";
  FILE* file = fopen(path.c_str(), "a");
  ASSERT_NE(file, nullptr);
  setLogFile(file);
  time_t before = time(nullptr);
  logMessage(LOG_ERR, "error %d", 3);
  logMessage(LOG_WARNING, "warning %s", "w");
  logMessage(LOG_NOTICE, "notice");
  logMessage(LOG_INFO, ">>> Starting %s v%u.%u.%u (Built: %s, %s)<<<", "Orvanta USB Server", 4u, 3u, 3u,
             "Jan  1 2026", "00:00:00");
  logMessage(LOG_DEBUG, "debug");  // not filtered on this path
  time_t after = time(nullptr);
  setLogFile(nullptr);
  fclose(file);

  struct Expected {
    const char* level;
    const char* message;
  } expected[] = {
      {"LOG_ERR    ", "error 3"},
      {"LOG_WARNING", "warning w"},
      {"LOG_       ", "notice"},
      {"LOG_INFO   ", ">>> Starting Orvanta USB Server v4.3.3 (Built: Jan  1 2026, 00:00:00)<<<"},
      {"LOG_DEBUG  ", "debug"},
  };
  std::string text = readFile(path);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  std::vector<std::string> lines = split(text, '\n');
  ASSERT_EQ(lines.size(), std::size(expected));
  for (size_t i = 0; i < lines.size(); i++) {
    Record record;
    ASSERT_TRUE(parseRecord(lines[i], &record)) << lines[i];
    EXPECT_EQ(record.level, expected[i].level);
    EXPECT_EQ(record.message, expected[i].message);
    // The stamp is the local time of the record.
    EXPECT_GE(record.stamp, before);
    EXPECT_LE(record.stamp, after);
  }
}

TEST_F(LogTest, StandardStreams) {
  setLogFile(stdout);
  testing::internal::CaptureStdout();
  logMessage(LOG_DEBUG, "to %s", "stdout");
  std::string out = testing::internal::GetCapturedStdout();
  setLogFile(stderr);
  testing::internal::CaptureStderr();
  logMessage(LOG_WARNING, "to %s", "stderr");
  std::string err = testing::internal::GetCapturedStderr();
  setLogFile(nullptr);

  Record record;
  ASSERT_EQ(out.back(), '\n');
  out.pop_back();
  ASSERT_TRUE(parseRecord(out, &record)) << out;
  EXPECT_EQ(record.level, "LOG_DEBUG  ");
  EXPECT_EQ(record.message, "to stdout");
  ASSERT_EQ(err.back(), '\n');
  err.pop_back();
  ASSERT_TRUE(parseRecord(err, &record)) << err;
  EXPECT_EQ(record.level, "LOG_WARNING");
  EXPECT_EQ(record.message, "to stderr");
}

TEST_F(LogTest, LongMessageIsCutNotOverrun) {
  std::string path = directory + "/long.log";
  FILE* file = fopen(path.c_str(), "a");
  ASSERT_NE(file, nullptr);
  setLogFile(file);
  std::string message(5000, 'm');
  errno = EAGAIN;
  logMessage(LOG_INFO, "%s", message.c_str());
  EXPECT_EQ(errno, EAGAIN);  // logging between a failing call and its errno check is harmless
  setLogFile(nullptr);
  fclose(file);
  std::string line = readFile(path);
  ASSERT_EQ(line.back(), '\n');
  line.pop_back();
  Record record;
  ASSERT_TRUE(parseRecord(line, &record));
  EXPECT_EQ(record.message, std::string(2047, 'm'));
}

// A peer's text with a line break or other control bytes stays inside its
// record: one call, one line, on the stream and on syslog (below).
TEST_F(LogTest, ControlCharactersNeverSplitARecord) {
  std::string path = directory + "/control.log";
  FILE* file = fopen(path.c_str(), "a");
  ASSERT_NE(file, nullptr);
  setLogFile(file);
  logMessage(LOG_INFO, "Removed custom event \"%s=%s\"", "k\r\nLOG_ERR    forged", "\x1b[2J\t\x7f");
  setLogFile(nullptr);
  fclose(file);
  std::vector<std::string> lines = split(readFile(path), '\n');
  ASSERT_EQ(lines.size(), 1u);
  Record record;
  ASSERT_TRUE(parseRecord(lines[0], &record));
  EXPECT_EQ(record.message, "Removed custom event \"k__LOG_ERR    forged=_[2J__\"");
}

// Records from many threads each come out whole, one per line.
TEST_F(LogTest, ConcurrentRecordsStayWhole) {
  std::string path = directory + "/threads.log";
  FILE* file = fopen(path.c_str(), "a");
  ASSERT_NE(file, nullptr);
  setLogFile(file);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++)
    threads.emplace_back([t] {
      for (int i = 0; i < 100; i++) logMessage(LOG_INFO, "thread %d record %d %s", t, i, std::string(100, 'x').c_str());
    });
  for (auto& thread : threads) thread.join();
  setLogFile(nullptr);
  fclose(file);
  std::vector<std::string> lines = split(readFile(path), '\n');
  ASSERT_EQ(lines.size(), 400u);
  std::vector<int> next(4, 0);  // each thread's records in its own order
  for (const std::string& line : lines) {
    Record record;
    ASSERT_TRUE(parseRecord(line, &record)) << line;
    int thread = -1, index = -1;
    char tail[128] = "";
    ASSERT_EQ(sscanf(record.message.c_str(), "thread %d record %d %127s", &thread, &index, tail), 3) << line;
    ASSERT_TRUE(thread >= 0 && thread < 4) << line;
    EXPECT_EQ(index, next[thread]++);
    EXPECT_EQ(std::string(tail), std::string(100, 'x'));
  }
}

// Runs body in a child with a private mount namespace; the child's exit
// code is the result (77: no namespace here, skip).
template <typename F>
int inPrivateMounts(F body) {
  pid_t child = fork();
  if (child == 0) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) _exit(77);
    _exit(body());
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// On QNAP errors go to the log tool as one argument each; no shell ever
// sees the message, so quotes, $() and backquotes stay text.
TEST_F(LogTest, QnapRunsTheLogToolWithoutAShell) {
  std::string out = directory + "/arguments";
  std::string marker = directory + "/pwned";
  int result = inPrivateMounts([&] {
    if (mount("tmpfs", "/sbin", "tmpfs", 0, "mode=0755") != 0) return 77;
    std::ofstream tool("/sbin/log_tool");
    tool << "#!/bin/sh\nfor a in \"$0\" \"$@\"; do printf '%s\\0' \"$a\"; done >> '" << out << "'\n";
    tool.close();
    if (chmod("/sbin/log_tool", 0755) != 0) return 2;
    setLogPlatformCode(6);
    logMessage(LOG_WARNING, "dropped warning");
    logMessage(LOG_INFO, "dropped information");
    logMessage(LOG_DEBUG, "dropped debug");
    logMessage(LOG_ERR, "client \"%s\" said $(touch %s) `touch %s`", "x\"; touch y; \"", marker.c_str(),
               marker.c_str());
    return 0;
  });
  if (result == 77) GTEST_SKIP() << "no private mount namespace";
  ASSERT_EQ(result, 0);
  std::string message = "[orvanta] client \"x\"; touch y; \"\" said $(touch " + marker + ") `touch " + marker + "`";
  EXPECT_EQ(split(readFile(out), '\0'),
            (std::vector<std::string>{"/sbin/log_tool", "-t2", "-uSystem", "-p127.0.0.1", "-mlocalhost", "-a",
                                      message}));
  EXPECT_NE(access(marker.c_str(), F_OK), 0);
}

// Without -r a record goes to syslog with the level as priority (facility
// user) and the executable's name as ident.
TEST_F(LogTest, SyslogGetsTheLevelAsPriority) {
  std::string out = directory + "/datagrams";
  int result = inPrivateMounts([&] {
    if (mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0) return 77;
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strcpy(address.sun_path, "/dev/log");
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return 2;
    setLogFile(nullptr);
    logMessage(LOG_DEBUG, "debug %d", 7);
    logMessage(LOG_ERR, "error %s", "text");
    logMessage(LOG_INFO, "key %s", "a\r\nb\x1b");
    std::ofstream file(out, std::ios::binary);
    for (int i = 0; i < 3; i++) {
      char datagram[4096];
      ssize_t length = recv(fd, datagram, sizeof datagram, MSG_DONTWAIT);
      if (length < 0) return 3;
      file << std::string(datagram, static_cast<size_t>(length)) << '\n';
    }
    closeLogging();
    return 0;
  });
  if (result == 77) GTEST_SKIP() << "no private mount namespace";
  ASSERT_EQ(result, 0);
  std::vector<std::string> records = split(readFile(out), '\n');
  ASSERT_EQ(records.size(), 3u);
  EXPECT_TRUE(endsWith(records[2], "]: key a__b_")) << records[2];
  // "<priority>timestamp ident[pid]: message"; user facility is 8.
  EXPECT_EQ(records[0].rfind("<15>", 0), 0u) << records[0];
  EXPECT_TRUE(endsWith(records[0], "]: debug 7")) << records[0];
  EXPECT_EQ(records[1].rfind("<11>", 0), 0u) << records[1];
  EXPECT_TRUE(endsWith(records[1], "]: error text")) << records[1];
  for (const std::string& record : records)
    EXPECT_NE(record.find(" ovusbd_test_log["), std::string::npos) << record;
}

}  // namespace
