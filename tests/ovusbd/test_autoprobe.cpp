// Automatic driver probing: switched off at start-up when
// "AutoAttachToKernel" is off, restored at shutdown. The file sits at its
// fixed sysfs path, so each case runs inside private namespaces with the
// file laid on tmpfs.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "ovusbd/core/autoprobe.h"
#include "ovusbd/core/config.h"
#include "ovusbd/core/coresettings.h"
#include "ovusbd/core/log.h"
#include "tests/support/nsrun.h"

namespace {

using namespace std::chrono_literals;
using Type = nsrun::File::Type;
const char kPath[] = "/sys/bus/usb/drivers_autoprobe";

class Autoprobe : public testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/autoprobe.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Runs `body` in a namespace whose configuration holds `config` and whose
  // drivers_autoprobe is `file` (nullptr: absent). Returns the child's
  // stdout, which carries the log.
  std::string run(const std::string& config, const char* file, Type type,
                  std::function<int()> body, int expectedExit = 0) {
    std::string configPath = dir_ + "/config.ini";
    std::ofstream(configPath) << config;
    nsrun::RunOptions run;
    run.mounts = nsrun::isolatedSystemMounts();
    if (file) run.files.push_back({kPath, file, 0644, 0, 0, type});
    run.entry = [configPath, body] {
      setLogFile(stdout);
      if (!loadConfig(configPath.c_str(), false)) return 100;
      return body();
    };
    std::string error;
    auto p = nsrun::Process::start(run, &error);
    EXPECT_TRUE(p) << error;
    if (!p) return {};
    auto status = p->wait(20s);
    EXPECT_TRUE(status);
    if (status) {
      EXPECT_EQ(*status, nsrun::ExitStatus::exitCode(expectedExit)) << p->out() << p->err();
    }
    return p->out();
  }

  std::string dir_;
};

char fileChar() {
  FILE* f = fopen(kPath, "r");
  if (!f) return '-';
  int c = fgetc(f);
  fclose(f);
  return c == EOF ? '-' : static_cast<char>(c);
}

// The restore undoes what start-up did even when a client has turned the
// key on meanwhile.
TEST_F(Autoprobe, SwitchedOffAndRestoredWhateverTheKeySaysLater) {
  run("AutoAttachToKernel=0\n", "1\n", Type::Regular, [] {
    if (!switchOffAutoprobe()) return 1;
    if (fileChar() != '0' || savedAutoprobe != '1') return 2;
    setConfigString("AutoAttachToKernel", "1");
    if (!restoreAutoprobe()) return 3;
    if (fileChar() != '1') return 4;
    // A second restore has nothing left to undo.
    FILE* f = fopen(kPath, "w");
    fputs("0", f);
    fclose(f);
    if (!restoreAutoprobe() || fileChar() != '0') return 5;
    return 0;
  });
}

// With the key on at start, probing is never touched, even when the key
// is turned off while running: the file is never opened.
TEST_F(Autoprobe, LeftAloneWhenKeyWasOnAtStart) {
  std::string log = run("AutoAttachToKernel=1\n", nullptr, Type::Regular, [] {
    if (!switchOffAutoprobe()) return 1;
    setConfigString("AutoAttachToKernel", "0");
    if (!restoreAutoprobe()) return 2;
    return access(kPath, F_OK) == 0 ? 3 : 0;
  });
  EXPECT_EQ(log.find("auto_probe"), std::string::npos) << log;
}

TEST_F(Autoprobe, DefaultFollowsThePlatform) {
  run("", "1", Type::Regular, [] {
    static CoreSettings settings;
    settings.autoAttachDefault = "0";  // as on OpenWrt, BeagleBone and Raspberry Pi
    installCoreSettings(&settings);
    if (!switchOffAutoprobe() || fileChar() != '0') return 1;
    return restoreAutoprobe() && fileChar() == '1' ? 0 : 2;
  });
}

TEST_F(Autoprobe, FailuresEndStartUp) {
  struct Case {
    const char* name;
    const char* file;
    Type type;
    const char* log;
  };
  const Case cases[] = {
      {"missing file", nullptr, Type::Regular,
       "LOG_ERR     Error 2 opening auto_probe to obtain the current value. Do you have usb support in "
       "your kernel?"},
      {"empty file", "", Type::Regular, "LOG_ERR     Error 5 reading auto_probe, Input/output error"},
      {"directory", "", Type::Directory, "LOG_ERR     Error 21 reading auto_probe, Is a directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string log = run("AutoAttachToKernel=0\n", c.file, c.type, [] {
      if (switchOffAutoprobe()) return 1;
      return restoreAutoprobe() ? 0 : 2;  // nothing was switched off: nothing to undo
    });
    EXPECT_NE(log.find(c.log), std::string::npos) << log;
  }
}

}  // namespace
