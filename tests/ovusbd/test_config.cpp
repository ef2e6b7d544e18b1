#include "ovusbd/core/config.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ovusbd/core/configfilesys.h"
#include "ovusbd/core/log.h"
#include "tests/support/wait.h"

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

size_t countOf(const std::string& text, const std::string& pattern) {
  size_t count = 0;
  for (size_t at = text.find(pattern); at != std::string::npos; at = text.find(pattern, at + 1)) count++;
  return count;
}

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::string take(char* text) {
  std::string copy = text ? text : "<null>";
  free(text);
  return copy;
}

std::string value(const char* key) { return take(getConfigString(key, nullptr, false)); }

// Every test gets a fresh directory and its own log stream, read back to
// check what was logged.
class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/ovusbd-config-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    directory = pattern;
    path = directory + "/config.ini";
    logPath = directory + "/log";
    log = fopen(logPath.c_str(), "w+");
    ASSERT_NE(log, nullptr);
    setLogFile(log);
  }
  void TearDown() override {
    freeConfigStore();
    setLogFile(nullptr);
    fclose(log);
    std::string command = "rm -rf '" + directory + "'";
    EXPECT_EQ(system(command.c_str()), 0);
  }
  std::string logged() { return readFile(logPath); }
  void load(const std::string& text) {
    writeFile(path, text);
    ASSERT_TRUE(loadConfig(path.c_str(), true));
  }

  std::string directory, path, logPath;
  FILE* log = nullptr;
};

TEST_F(ConfigTest, LoadParsesLinesAsTheyStand) {
  load("Foo=bar=baz\n"
       "Empty=\n"
       "no equals sign here\n"
       "TCPPort =1\n"
       "tcpport=7576\n"
       "Dup=first\n"
       "Dup=second\n"
       "Cr=x\r\n"
       " Lead=y\n"
       "Last=no newline");
  EXPECT_EQ(value("Foo"), "bar=baz");
  EXPECT_EQ(value("Empty"), "");
  EXPECT_EQ(value("no equals sign here"), "<null>");
  EXPECT_EQ(value("TCPPort"), "7576");  // the key with a space is another key
  EXPECT_EQ(value("TCPPort "), "1");
  EXPECT_EQ(value("dup"), "first");  // the first of several wins
  EXPECT_EQ(value("Cr"), "x\r");     // nothing but the newline is removed
  EXPECT_EQ(value("Lead"), "<null>");
  EXPECT_EQ(value(" Lead"), "y");
  EXPECT_EQ(value("Last"), "no newline");
  EXPECT_NE(logged().find("Using configuration " + path), std::string::npos);
}

TEST_F(ConfigTest, SaveWritesEveryEntryAndASetMovesItsKeyToTheEnd) {
  load("A=1\nDup=x\njunk\nB=2\nDUP=y\n");
  EXPECT_EQ(saveConfig(), 0);
  EXPECT_EQ(readFile(path), "A=1\nDup=x\njunk\nB=2\nDUP=y\n");  // not dirty: not rewritten

  ASSERT_EQ(setConfigString("dup", "z"), 0);
  ASSERT_EQ(setConfigString("A", nullptr), 0);
  ASSERT_EQ(saveConfig(), 0);
  EXPECT_EQ(readFile(path), "B=2\ndup=z\nA=\n");

  // And the file reads back to the same store.
  ASSERT_TRUE(loadConfig(path.c_str(), true));
  EXPECT_EQ(value("DUP"), "z");
  EXPECT_EQ(value("a"), "");
  EXPECT_EQ(value("b"), "2");
}

TEST_F(ConfigTest, MissingFileIsAnEmptyStoreWrittenAtTheFirstSave) {
  ASSERT_TRUE(loadConfig(path.c_str(), true));
  EXPECT_NE(logged().find("Creating default configuration " + path), std::string::npos);
  EXPECT_EQ(access(path.c_str(), F_OK), -1);
  EXPECT_EQ(saveConfig(), 0);
  EXPECT_EQ(access(path.c_str(), F_OK), -1);  // nothing changed, nothing written
  ASSERT_EQ(setConfigString("ServerName", "hub"), 0);
  mode_t mask = umask(0);  // as after daemonising
  int saved = saveConfig();
  umask(mask);
  ASSERT_EQ(saved, 0);
  EXPECT_EQ(readFile(path), "ServerName=hub\n");
  // The file names scripts run as root: nobody but its owner may write it.
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST_F(ConfigTest, UnreadableFileFailsTheLoad) {
  ASSERT_EQ(mkdir(path.c_str(), 0755), 0);  // opens, but reads fail with EISDIR
  EXPECT_FALSE(loadConfig(path.c_str(), true));
  EXPECT_EQ(configStore, nullptr);
  EXPECT_NE(logged().find("Error 21 loading config file " + path), std::string::npos);
}

// A relative path is fixed against the working directory at load time, so
// a later chdir("/") (daemonising) still saves to the same file.
TEST_F(ConfigTest, RelativePathSurvivesAChdir) {
  char cwd[PATH_MAX];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(directory.c_str()), 0);
  bool loaded = loadConfig("./config.ini", true);
  ASSERT_EQ(chdir("/"), 0);
  ASSERT_TRUE(loaded);
  EXPECT_STREQ(configStore->path, path.c_str());
  ASSERT_EQ(setConfigString("K", "v"), 0);
  EXPECT_EQ(saveConfig(), 0);
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_EQ(readFile(path), "K=v\n");
}

TEST_F(ConfigTest, StringGetterDefaults) {
  load("Set=value\n");
  EXPECT_EQ(take(getConfigString("Set", "default", false)), "value");
  EXPECT_EQ(take(getConfigString("Unset", "default", false)), "default");
  EXPECT_EQ(getConfigString("Unset", nullptr, false), nullptr);
}

TEST_F(ConfigTest, IntegerGetter) {
  load("Twelve=12abc\nLetters=abc\nSpaced=  -5\nPlus=+7\nEmpty=\nHuge=99999999999\nBlanks=  \nSign=-\n");
  struct Case {
    const char* key;
    int defaultValue;
    int expected;
  } cases[] = {
      {"Twelve", 1, 12}, {"Letters", 1, 1}, {"Spaced", 1, -5},       {"Plus", 1, 7},   {"Empty", 9, 9},
      {"Unset", 7575, 7575}, {"Huge", 1, 1}, {"Blanks", 4, 4}, {"Sign", 3, 3},
  };
  for (const Case& c : cases) EXPECT_EQ(getConfigInt(c.key, c.defaultValue), c.expected) << c.key;
  EXPECT_NE(logged().find("Warning, property \"Letters\" is not a number \"abc\", using the default 1"),
            std::string::npos);
  EXPECT_NE(logged().find("Warning, property \"Empty\" is not a number \"\", using the default 9"), std::string::npos);
}

// The numeric keys of the server, blank (as a client's custom event leaves
// them) or garbage: each read gives the key's default and warns, naming the
// key, every time it is read.
TEST_F(ConfigTest, BlankNumericKeysTakeTheirDefaultsAtEveryRead) {
  struct Case {
    const char* key;
    int defaultValue;
  } cases[] = {
      {"TCPPort", 7575},          {"SSLPort", 7574},           {"PingTimeout", 9},
      {"PingInterval", 4},        {"ControlTimeout", 3},       {"CompressionLimit", 1024},
      {"ReverseClientsPort", 7573}, {"SSLReverseClientsPort", 7572}, {"ReverseClientsRetryPeriod", 15},
      {"MinIsoZeroCopySize", 16384}, {"MinBulkIntZeroCopySize", 16384},
  };
  for (const char* value : {"", "x", " "}) {
    std::string text;
    for (const Case& c : cases) text += std::string(c.key) + "=" + value + "\n";
    load(text);
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.key) + "=" + value);
      const std::string warning = std::string("Warning, property \"") + c.key + "\" is not a number";
      const size_t before = countOf(logged(), warning);
      EXPECT_EQ(getConfigInt(c.key, c.defaultValue), c.defaultValue);
      EXPECT_EQ(getConfigInt(c.key, c.defaultValue), c.defaultValue);
      EXPECT_EQ(countOf(logged(), warning), before + 2);
    }
  }
}

TEST_F(ConfigTest, BooleanIsTrueOnlyForExactlyOne) {
  load("One=1\nTrue=true\nZeroOne=01\nSpaceOne= 1\nOneSpace=1 \nZero=0\nEmpty=\n");
  struct Case {
    const char* key;
    const char* defaultValue;
    bool expected;
  } cases[] = {
      {"One", "0", true},      {"True", "1", false},    {"ZeroOne", "1", false}, {"SpaceOne", "1", false},
      {"OneSpace", "1", false}, {"Zero", "1", false},   {"Empty", "1", false},   {"Unset", "1", true},
      {"Unset", "0", false},   {"Unset", nullptr, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(getConfigBool(c.key, c.defaultValue), c.expected)
        << c.key << " default " << (c.defaultValue ? c.defaultValue : "null");
}

TEST_F(ConfigTest, EnvironmentExpansion) {
  setenv("OVUSBD_TEST_HOME", "/home/tester", 1);
  setenv("OVUSBD_TEST_OUTER", "<${OVUSBD_TEST_HOME}>", 1);
  unsetenv("OVUSBD_TEST_UNSET");
  std::string longName(64, 'N');
  load("Home=${OVUSBD_TEST_HOME}/cert.pem\n"
       "Twice=${OVUSBD_TEST_HOME}:${OVUSBD_TEST_HOME}\n"
       "Unset=a${OVUSBD_TEST_UNSET}b\n"
       "Open=x${OVUSBD_TEST_HOME\n"
       "Nested=${OVUSBD_TEST_OUTER}\n"
       "Long=${" + longName + "}${OVUSBD_TEST_HOME}\n"
       "Limit=${" + std::string(63, 'M') + "}!\n");
  struct Case {
    const char* key;
    std::string expected;
  } cases[] = {
      {"Home", "/home/tester/cert.pem"},
      {"Twice", "/home/tester:/home/tester"},
      {"Unset", "ab"},
      {"Open", "x${OVUSBD_TEST_HOME"},  // no closing brace: left as it is
      {"Nested", "</home/tester>"},
      {"Long", "${" + longName + "}/home/tester"},  // over-long name left, scan goes on
      {"Limit", "!"},                                // 63 characters is still a name
  };
  for (const Case& c : cases) EXPECT_EQ(take(getConfigString(c.key, nullptr, true)), c.expected) << c.key;
  EXPECT_EQ(take(getConfigString("Home", nullptr, false)), "${OVUSBD_TEST_HOME}/cert.pem");
  EXPECT_EQ(take(getConfigString("Absent", "${OVUSBD_TEST_HOME}", true)), "/home/tester");  // defaults too
  EXPECT_NE(logged().find("Did not find environment variable 'OVUSBD_TEST_UNSET' for property 'Unset'"),
            std::string::npos);
}

// A variable that refers to itself, or doubles itself, must end.
TEST_F(ConfigTest, SelfReferenceDoesNotExpandForever) {
  setenv("OVUSBD_TEST_SELF", "${OVUSBD_TEST_SELF}", 1);
  setenv("OVUSBD_TEST_DOUBLE", "${OVUSBD_TEST_DOUBLE}${OVUSBD_TEST_DOUBLE}", 1);
  setenv("OVUSBD_TEST_PING", "${OVUSBD_TEST_PONG}", 1);
  setenv("OVUSBD_TEST_PONG", "${OVUSBD_TEST_PING}", 1);
  load("Self=${OVUSBD_TEST_SELF}\nDouble=${OVUSBD_TEST_DOUBLE}\nPingPong=${OVUSBD_TEST_PING}\n");
  for (const char* key : {"Self", "Double", "PingPong"}) {
    char* text = getConfigString(key, nullptr, true);
    ASSERT_NE(text, nullptr) << key;
    EXPECT_LE(strlen(text), 65536u) << key;
    free(text);
  }
  EXPECT_NE(logged().find("nest too deep"), std::string::npos);
  EXPECT_EQ(getConfigInt("Self", 3), 3);
  EXPECT_FALSE(getConfigBool("Double", "1"));
}

// Each bound of the expansion with a case that only it stops: a value that
// grows one character per substitution stays small and ends at exactly 256
// substitutions; two large substitutions pass 64 KiB long before 256. The
// substitution that would cross a bound is left unexpanded.
TEST_F(ConfigTest, EachExpansionBoundStopsItsOwnCase) {
  setenv("OVUSBD_TEST_GROW", "a${OVUSBD_TEST_GROW}", 1);
  setenv("OVUSBD_TEST_BIG", std::string(40000, 'x').c_str(), 1);
  load("Grow=${OVUSBD_TEST_GROW}\nBig=${OVUSBD_TEST_BIG}${OVUSBD_TEST_BIG}\n");
  struct Case {
    const char* key;
    std::string expected;
  };
  const Case cases[] = {
      {"Grow", std::string(256, 'a') + "${OVUSBD_TEST_GROW}"},
      {"Big", std::string(40000, 'x') + "${OVUSBD_TEST_BIG}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    EXPECT_EQ(take(getConfigString(c.key, nullptr, true)), c.expected);
  }
  EXPECT_NE(logged().find("references in property 'Grow' nest too deep"), std::string::npos);
  EXPECT_NE(logged().find("references in property 'Big' nest too deep"), std::string::npos);
}

// A value with a line break would come back as a key of its own at the next
// start; keys that cannot be read back are refused.
TEST_F(ConfigTest, LineBreaksCannotInjectKeys) {
  load("Keep=1\n");
  ASSERT_EQ(setConfigString("ServerName", "hub\nConnectedEventScript=/tmp/evil\rX=1"), 0);
  EXPECT_EQ(value("ServerName"), "hub ConnectedEventScript=/tmp/evil X=1");

  for (const char* key : {"Bad=Key", "Bad\nKey", "Bad\rKey"})
    EXPECT_EQ(setConfigString(key, "v"), -EINVAL) << key;
  EXPECT_EQ(setConfigString(nullptr, "v"), -EINVAL);

  auto addLine = [](char** value, void*) {
    free(*value);
    *value = strdup("a,b\nEventScript=/tmp/evil");
  };
  ASSERT_EQ(editConfigString("ReverseClients", addLine, nullptr), 0);
  EXPECT_EQ(editConfigString("Bad\nKey", addLine, nullptr), -EINVAL);

  ASSERT_EQ(saveConfig(), 0);
  EXPECT_EQ(readFile(path),
            "Keep=1\nServerName=hub ConnectedEventScript=/tmp/evil X=1\nReverseClients=a,b EventScript=/tmp/evil\n");
  ASSERT_TRUE(loadConfig(path.c_str(), true));
  EXPECT_EQ(value("ConnectedEventScript"), "<null>");
  EXPECT_EQ(value("EventScript"), "<null>");
  EXPECT_EQ(value("X"), "<null>");
}

TEST_F(ConfigTest, EditTakesTheLastValueAndMovesTheKeyToTheEnd) {
  load("ReverseClients=a\nOther=1\nreverseclients=b,c\n");
  auto append = [](char** value, void* arg) {
    char* joined = nullptr;
    ASSERT_GE(asprintf(&joined, "%s%s%s", *value, **value ? "," : "", static_cast<const char*>(arg)), 0);
    free(*value);
    *value = joined;
  };
  ASSERT_EQ(editConfigString("ReverseClients", append, const_cast<char*>("d")), 0);
  ASSERT_EQ(editConfigString("NewList", append, const_cast<char*>("x")), 0);
  // An edit that drops the value leaves the empty text.
  ASSERT_EQ(editConfigString("Other", [](char** value, void*) { free(*value); *value = nullptr; }, nullptr), 0);
  ASSERT_EQ(saveConfig(), 0);
  EXPECT_EQ(readFile(path), "ReverseClients=b,c,d\nNewList=x\nOther=\n");
}

// The save goes to a temporary file that replaces config.ini only once
// complete: when anything fails the old file stays whole.
TEST_F(ConfigTest, FailedSaveKeepsTheOldFileAndIsLoggedOnce) {
  load("Old=1\n");
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  ASSERT_EQ(mkdir((path + ".tmp").c_str(), 0755), 0);  // the temporary cannot be made
  ASSERT_EQ(setConfigString("New", "2"), 0);
  EXPECT_EQ(saveConfig(), -EISDIR);
  EXPECT_EQ(readFile(path), "Old=1\n");
  EXPECT_EQ(saveConfig(), -EISDIR);  // still unsaved: tried again, not reported as done
  std::string text = logged();
  std::string error = "Error 21 updating " + path;
  ASSERT_NE(text.find(error), std::string::npos);
  EXPECT_EQ(text.find(error, text.find(error) + 1), std::string::npos);

  // Once the obstacle is gone the change that failed reaches the file
  // without a further change.
  ASSERT_EQ(rmdir((path + ".tmp").c_str()), 0);
  EXPECT_EQ(saveConfig(), 0);
  EXPECT_EQ(readFile(path), "Old=1\nNew=2\n");
  EXPECT_EQ(saveConfig(), 0);
  ASSERT_EQ(setConfigString("New", "3"), 0);
  EXPECT_EQ(saveConfig(), 0);
  EXPECT_EQ(readFile(path), "Old=1\nNew=3\n");
  EXPECT_EQ(access((path + ".tmp").c_str(), F_OK), -1);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);  // the file keeps its mode
}

// A full disk while writing: run in a child with a private mount namespace
// and a tiny tmpfs.
TEST_F(ConfigTest, FullDiskKeepsTheOldFile) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) _exit(77);
    if (mount("tmpfs", directory.c_str(), "tmpfs", 0, "size=16k") != 0) _exit(77);
    writeFile(path, "Old=1\n");
    if (!loadConfig(path.c_str(), true)) _exit(2);
    if (setConfigString("Big", std::string(64 * 1024, 'x').c_str()) != 0) _exit(3);
    int result = saveConfig();
    bool kept = readFile(path) == "Old=1\n";
    bool noTemporary = access((path + ".tmp").c_str(), F_OK) != 0;
    freeConfigStore();
    _exit(result == -ENOSPC && kept && noTemporary ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no private mount namespace";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(ConfigTest, SaveThroughASymlinkReplacesTheTarget) {
  std::string real = directory + "/real.ini";
  writeFile(real, "A=1\n");
  ASSERT_EQ(symlink(real.c_str(), path.c_str()), 0);
  ASSERT_TRUE(loadConfig(path.c_str(), true));
  ASSERT_EQ(setConfigString("B", "2"), 0);
  ASSERT_EQ(saveConfig(), 0);
  struct stat st;
  ASSERT_EQ(lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(readFile(real), "A=1\nB=2\n");
}

template <typename F>
bool eventually(F condition, std::chrono::seconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

TEST_F(ConfigTest, SaverWritesAChangeWithinSeconds) {
  load("A=1\n");
  ASSERT_EQ(startConfigSaveThread(), 0);
  EXPECT_EQ(startConfigSaveThread(), -EBUSY);
  ASSERT_EQ(setConfigString("B", "2"), 0);
  EXPECT_TRUE(eventually([&] { return readFile(path) == "A=1\nB=2\n"; }, std::chrono::seconds(15)));
  stopConfigSaveThread();
}

TEST_F(ConfigTest, StoppingTheSaverSavesOnceMore) {
  load("A=1\n");
  ASSERT_EQ(startConfigSaveThread(), 0);
  ASSERT_EQ(setConfigString("B", "2"), 0);
  auto start = std::chrono::steady_clock::now();
  stopConfigSaveThread();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));  // woken, not slept out
  EXPECT_EQ(readFile(path), "A=1\nB=2\n");
}

TEST_F(ConfigTest, SaverLeavesAnUnchangedFileAlone) {
  load("A=1\n");
  ASSERT_EQ(startConfigSaveThread(), 0);
  writeFile(path, "Edited=by hand\n");
  stopConfigSaveThread();
  EXPECT_EQ(saveConfig(), 0);
  EXPECT_EQ(readFile(path), "Edited=by hand\n");
}

// Readers, writers and the saver at once (run under TSan too).
TEST_F(ConfigTest, ConcurrentUse) {
  load("Counter=0\n");
  ASSERT_EQ(startConfigSaveThread(), 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++)
    threads.emplace_back([t] {
      std::string key = "Key" + std::to_string(t);
      for (int i = 0; i < 200; i++) {
        setConfigString(key.c_str(), std::to_string(i).c_str());
        free(getConfigString("Counter", "x", true));
        getConfigInt(key.c_str(), 0);
        if (i % 50 == 0) saveConfig();
      }
    });
  for (auto& thread : threads) thread.join();
  stopConfigSaveThread();
  ASSERT_TRUE(loadConfig(path.c_str(), true));
  for (int t = 0; t < 4; t++) EXPECT_EQ(getConfigInt(("Key" + std::to_string(t)).c_str(), -1), 199);
}

}  // namespace

// The save through the file seam: a fake table passes every call through to
// the production one and records it, so the order of the calls and the
// failure of one of them can be seen.
namespace {

struct FileTrace {
  static inline std::vector<std::string> calls;
  static inline std::string temporary;
  static inline int temporaryFd = -1;
  static inline int fsyncResult = 0;
  // While `holdFsync` is set, an fsync of the temporary file waits until
  // it is cleared (a slow disk).
  static inline std::atomic<bool> holdFsync{false};
  static inline std::atomic<bool> inFsync{false};

  static int open(const char* path, int flags, mode_t mode) {
    int fd = productionConfigFileSys.open(path, flags, mode);
    if (std::string(path) == temporary) {
      temporaryFd = fd;
      calls.push_back("open temporary");
    }
    return fd;
  }
  static ssize_t write(int fd, const void* data, size_t length) {
    if (fd == temporaryFd) calls.push_back("write temporary");
    return productionConfigFileSys.write(fd, data, length);
  }
  static int fsync(int fd) {
    if (fd != temporaryFd) return productionConfigFileSys.fsync(fd);
    calls.push_back("fsync temporary");
    inFsync = true;
    while (holdFsync) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    inFsync = false;
    return fsyncResult != 0 ? fsyncResult : productionConfigFileSys.fsync(fd);
  }
  static int close(int fd) {
    if (fd == temporaryFd) {
      calls.push_back("close temporary");
      temporaryFd = -1;
    }
    return productionConfigFileSys.close(fd);
  }
  static int rename(const char* from, const char* to) {
    calls.push_back("rename");
    return productionConfigFileSys.rename(from, to);
  }
};

const ConfigFileSys kTracingFileSys = {
    FileTrace::open,  productionConfigFileSys.stat,  productionConfigFileSys.fchmod, FileTrace::write,
    FileTrace::fsync, FileTrace::close, FileTrace::rename, productionConfigFileSys.unlink,
};

class ConfigSaveTest : public ConfigTest {
 protected:
  void SetUp() override {
    ConfigTest::SetUp();
    FileTrace::calls.clear();
    FileTrace::temporary = path + ".tmp";
    FileTrace::fsyncResult = 0;
    configFileSys = &kTracingFileSys;
  }
  void TearDown() override {
    configFileSys = &productionConfigFileSys;
    ConfigTest::TearDown();
  }
};

}  // namespace

// The new file's data is on the disk before it takes the old file's name:
// without the fsync a crash after the rename can leave an empty config.ini.
TEST_F(ConfigSaveTest, TheTemporaryFileIsSyncedBeforeTheRename) {
  load("Old=1\n");
  ASSERT_EQ(setConfigString("New", "2"), 0);
  ASSERT_EQ(saveConfig(), 0);
  const std::vector<std::string> expected = {"open temporary", "write temporary", "fsync temporary",
                                             "close temporary", "rename"};
  EXPECT_EQ(FileTrace::calls, expected);
  EXPECT_EQ(readFile(path), "Old=1\nNew=2\n");
}

TEST_F(ConfigSaveTest, FailedSyncKeepsTheOldFileAndTheChange) {
  load("Old=1\n");
  ASSERT_EQ(setConfigString("New", "2"), 0);
  FileTrace::fsyncResult = -EIO;
  EXPECT_EQ(saveConfig(), -EIO);
  EXPECT_EQ(readFile(path), "Old=1\n");
  EXPECT_EQ(access((path + ".tmp").c_str(), F_OK), -1);
  EXPECT_NE(logged().find("Error 5 updating " + path), std::string::npos);
  FileTrace::fsyncResult = 0;
  EXPECT_EQ(saveConfig(), 0);  // still dirty: the change is written now
  EXPECT_EQ(readFile(path), "Old=1\nNew=2\n");
}

// Readers and writers of the store do not wait on the disk: they run while
// a save sits in fsync, and a change made meanwhile is saved by the next
// save.
TEST_F(ConfigSaveTest, StoreStaysUsableWhileASaveWaitsOnTheDisk) {
  load("Old=1\n");
  ASSERT_EQ(setConfigString("New", "2"), 0);
  FileTrace::holdFsync = true;
  std::thread saver([] { EXPECT_EQ(saveConfig(), 0); });
  ASSERT_TRUE(testwait::waitUntil([] { return FileTrace::inFsync.load(); }, std::chrono::seconds(5)));
  std::atomic<bool> done{false};
  std::thread user([&] {
    EXPECT_EQ(value("New"), "2");
    EXPECT_EQ(setConfigString("Later", "3"), 0);
    done = true;
  });
  // Bounded, so that a store that does wait fails here instead of hanging.
  EXPECT_TRUE(testwait::waitUntil([&] { return done.load(); }, std::chrono::seconds(5))) << "the store waited on the disk";
  FileTrace::holdFsync = false;
  user.join();
  saver.join();
  EXPECT_EQ(readFile(path), "Old=1\nNew=2\n");
  EXPECT_EQ(saveConfig(), 0);
  EXPECT_EQ(readFile(path), "Old=1\nNew=2\nLater=3\n");
}
