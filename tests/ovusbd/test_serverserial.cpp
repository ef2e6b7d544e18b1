// serverSerial: taken from a network interface's MAC address, else
// /etc/machine-id, else made once and kept in the configuration. The
// sources sit at fixed paths, so each case runs inside private namespaces.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "ovusbd/core/config.h"
#include "ovusbd/core/log.h"
#include "ovusbd/core/serverserial.h"
#include "tests/support/nsrun.h"

namespace {

using namespace std::chrono_literals;
using Type = nsrun::File::Type;

class ServerSerial : public testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/serial.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    config_ = dir_ + "/config.ini";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // The serial made in a namespace holding `files`; the configuration is
  // saved afterwards.
  std::string serialWith(const std::vector<nsrun::File>& files) {
    nsrun::RunOptions run;
    run.mounts = nsrun::isolatedSystemMounts();
    run.files = files;
    std::string config = config_;
    run.entry = [config] {
      setLogFile(stderr);
      if (!loadConfig(config.c_str(), false)) return 100;
      char* serial = makeServerSerial();
      if (!serial) return 101;
      printf("%s", serial);
      free(serial);
      saveConfig();
      return 0;
    };
    std::string error;
    auto p = nsrun::Process::start(run, &error);
    EXPECT_TRUE(p) << error;
    if (!p) return {};
    auto status = p->wait(20s);
    EXPECT_TRUE(status && *status == nsrun::ExitStatus::exitCode(0)) << p->err();
    return p->out();
  }

  std::string dir_;
  std::string config_;
};

nsrun::File dir(const std::string& path) { return {path, {}, 0755, 0, 0, Type::Directory}; }
nsrun::File file(const std::string& path, const std::string& text) {
  return {path, text, 0644, 0, 0, Type::Regular};
}

TEST_F(ServerSerial, FromTheFirstDeviceBackedInterface) {
  struct Case {
    const char* name;
    std::vector<nsrun::File> files;
    const char* expected;
  };
  const Case cases[] = {
      {"Raspberry Pi",
       {dir("/sys/class/net/eth0/device"), file("/sys/class/net/eth0/address", "b8:27:eb:12:34:56\n"),
        dir("/sys/class/net/wlan0/device"), file("/sys/class/net/wlan0/address", "b8:27:eb:aa:bb:cc\n")},
       "b827eb123456"},
      {"virtual and zero addresses are skipped",
       {file("/sys/class/net/br0/address", "02:42:ac:11:00:02\n"), dir("/sys/class/net/eth0/device"),
        file("/sys/class/net/eth0/address", "00:00:00:00:00:00\n"), dir("/sys/class/net/eth1/device"),
        file("/sys/class/net/eth1/address", "00:1A:2b:3c:4d:5e\n"), file("/etc/machine-id", "0123456789abcdef0123456789abcdef\n")},
       "001a2b3c4d5e"},
      {"machine-id without a MAC",
       {file("/sys/class/net/lo/address", "00:00:00:00:00:00\n"),
        file("/etc/machine-id", "0123456789abcdef0123456789abcdef\n")},
       "0123456789abcdef0123456789abcdef"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(serialWith(c.files), c.expected);
  }
  // None of these touched the configuration.
  EXPECT_FALSE(std::filesystem::exists(config_));
}

// Without a MAC or machine-id the serial is made once and kept: the next
// start finds the same one.
TEST_F(ServerSerial, MadeOnceAndKeptInTheConfiguration) {
  std::string first = serialWith({file("/etc/machine-id", "\n")});
  EXPECT_TRUE(first.size() == 32 && first.find_first_not_of("0123456789abcdef") == std::string::npos) << first;
  std::ifstream in(config_);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "ServerSerial=" + first);
  EXPECT_EQ(serialWith({}), first);
}

}  // namespace
