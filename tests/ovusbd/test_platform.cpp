// Platform detection and the usbfs permission test. The marker files sit at
// fixed paths, so each case runs in a child inside private namespaces with
// the markers laid on tmpfs; only uname comes from a probe.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "ovusbd/core/coresettings.h"
#include "ovusbd/core/log.h"
#include "ovusbd/core/platform.h"
#include "tests/support/nsrun.h"

namespace {

using namespace std::chrono_literals;
using Kind = nsrun::Mount::Kind;
using Type = nsrun::File::Type;

struct FakeUname {
  const char* machine;
  const char* release;
  int error;  // negative errno to fail with
};
FakeUname fakeUname;

int probeUname(struct utsname* name) {
  if (fakeUname.error) return fakeUname.error;
  memset(name, 0, sizeof *name);
  strcpy(name->sysname, "Linux");
  strcpy(name->machine, fakeUname.machine);
  strcpy(name->release, fakeUname.release);
  return 0;
}
const PlatformProbe testProbe = {probeUname};

bool isSymlink(const char* path) {
  struct stat st;
  return lstat(path, &st) == 0 && S_ISLNK(st.st_mode);
}

// Empty /usr, /mnt, /sys and /etc (and /sbin where it is not a link into
// /usr), /proc/version holding `version`, then the markers.
nsrun::RunOptions markerSpec(const std::string& version, const std::vector<std::string>& files,
                       const std::vector<std::string>& dirs) {
  nsrun::RunOptions run;
  for (const char* dir : {"/usr", "/mnt", "/sys", "/etc"}) run.mounts.push_back({Kind::Tmpfs, dir, {}, {}, {}});
  if (!isSymlink("/sbin")) run.mounts.push_back({Kind::Tmpfs, "/sbin", {}, {}, {}});
  run.mounts.push_back({Kind::File, "/proc/version", {}, version, {}});
  run.files.push_back({"/usr/sbin", {}, 0755, 0, 0, Type::Directory});
  run.files.push_back({"/usr/bin", {}, 0755, 0, 0, Type::Directory});
  for (const auto& d : dirs) run.files.push_back({d, {}, 0755, 0, 0, Type::Directory});
  for (const auto& f : files) run.files.push_back({f, "x", 0644, 0, 0, Type::Regular});
  return run;
}

// Runs detectPlatform in the namespace; its findings come back on stdout.
std::string detectIn(nsrun::RunOptions run, FakeUname uname) {
  run.entry = [uname] {
    fakeUname = uname;
    platformProbe = &testProbe;
    setLogFile(stdout);
    CoreSettings s;
    detectPlatform(&s);
    printf("code=%d hub=%s auto=%s nas=%d k315=%d avahi=%d\n", s.platformCode, s.hubDisplayName,
           s.autoAttachDefault, s.nasPlatform, s.kernelAtLeast315, s.avahiDirAtStart);
    return 0;
  };
  std::string error;
  auto p = nsrun::Process::start(run, &error);
  if (!p) return "start failed: " + error;
  auto status = p->wait(20s);
  if (!status || *status != nsrun::ExitStatus::exitCode(0)) return "child failed: " + p->err();
  return p->out();
}

std::string lastLine(const std::string& text) {
  size_t end = text.find_last_not_of('\n');
  size_t start = text.rfind('\n', end);
  return text.substr(start == std::string::npos ? 0 : start + 1, end - (start == std::string::npos ? 0 : start + 1) + 1);
}

const FakeUname kX86 = {"x86_64", "6.1.0", 0};
const FakeUname kArm = {"armv7l", "4.19.0", 0};
const char kPlainVersion[] = "Linux version 6.1.0 (gcc version 12.2.0) #1 SMP\n";

TEST(Platform, RulesInOrder) {
  struct Case {
    const char* name;
    std::string version;
    FakeUname uname;
    std::vector<std::string> files;
    std::vector<std::string> dirs;
    const char* expected;
  };
  const Case cases[] = {
      {"nothing", kPlainVersion, kX86, {}, {}, "code=0 hub=USB Hub auto=1 nas=0"},
      {"OpenWrt in any case wins", "Linux version 5.10 (builder@OpenWrt) gcc\n", kArm,
       {"/usr/bin/raspi-config"}, {"/usr/syno"}, "code=10 hub=OpenWRT Hub auto=0 nas=0"},
      {"Synology", kPlainVersion, kX86, {}, {"/usr/syno"}, "code=5 hub=Synology Hub auto=1 nas=1"},
      {"TerraMaster", kPlainVersion, kX86, {"/sbin/nasips"}, {}, "code=4 hub=TerraMaster Hub auto=1 nas=1"},
      {"BeagleBone on ARM", kPlainVersion, kArm, {"/sys/bus/i2c/devices/0-0050/eeprom"}, {},
       "code=2 hub=Beagle Hub auto=0 nas=0"},
      {"EEPROM on x86 is no BeagleBone", kPlainVersion, kX86, {"/sys/bus/i2c/devices/0-0050/eeprom"}, {},
       "code=0 hub=USB Hub auto=1 nas=0"},
      {"ReadyNAS", kPlainVersion, kX86, {"/usr/bin/rn_nml"}, {}, "code=3 hub=ReadyNAS Hub auto=1 nas=1"},
      {"QNAP before Raspberry Pi", kPlainVersion, kArm, {"/sbin/log_tool", "/usr/bin/raspi-config"}, {},
       "code=6 hub=QNAP Hub auto=1 nas=1"},
      {"ASUSTOR by version", "Linux version 4.4 ASUSTOR build\n", kX86, {}, {},
       "code=8 hub=ASUSTOR Hub auto=1 nas=1"},
      {"ASUSTOR by AppCentral", kPlainVersion, kX86, {}, {"/usr/local/AppCentral"},
       "code=8 hub=ASUSTOR Hub auto=1 nas=1"},
      {"Raspberry Pi", kPlainVersion, kArm, {"/usr/bin/raspi-config"}, {}, "code=7 hub=Raspberry Hub auto=0 nas=0"},
      {"D-Link", kPlainVersion, kArm, {}, {"/mnt/HD/HD_a2/Nas_Prog"}, "code=11 hub=D-Link Hub auto=1 nas=1"},
      {"Desktop by product_uuid", kPlainVersion, kX86, {"/sys/class/dmi/id/product_uuid"}, {},
       "code=1 hub=Desktop Hub auto=1 nas=0"},
      {"Desktop by product_serial", kPlainVersion, kX86, {"/sys/class/dmi/id/product_serial"}, {},
       "code=1 hub=Desktop Hub auto=1 nas=0"},
      {"DMI on ARM is no desktop", kPlainVersion, kArm, {"/sys/class/dmi/id/product_uuid"}, {},
       "code=0 hub=USB Hub auto=1 nas=0"},
      {"unreadable version keeps defaults", "", kX86, {}, {"/usr/syno"}, "code=0 hub=USB Hub auto=1 nas=0"},
      {"uname failure keeps defaults", kPlainVersion, {"x86_64", "6.1", -EFAULT}, {}, {"/usr/syno"},
       "code=0 hub=USB Hub auto=1 nas=0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out = detectIn(markerSpec(c.version, c.files, c.dirs), c.uname);
    EXPECT_NE(lastLine(out).find(c.expected), std::string::npos) << out;
  }
}

TEST(Platform, WarningsWhenDefaultsAreUsed) {
  std::string out = detectIn(markerSpec("", {}, {}), kX86);
  EXPECT_NE(out.find("LOG_WARNING Warning, error 0 (Success) parsing /proc/version, using defaults"),
            std::string::npos)
      << out;
  out = detectIn(markerSpec(kPlainVersion, {}, {}), {"x86_64", "6.1", -EFAULT});
  EXPECT_NE(out.find("Warning, error 14 (Bad address) calling uname, using defaults"), std::string::npos) << out;
}

TEST(Platform, KernelReleaseAndAvahiDirectory) {
  struct Case {
    const char* release;
    bool atLeast315;
  };
  const Case cases[] = {{"3.14.79", false}, {"3.15.0", true}, {"4.1-rc1", true}, {"3", false},
                        {"2.6.32", false},  {"10.0", true},   {"3.9.11", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.release);
    std::string out = detectIn(markerSpec(kPlainVersion, {}, {}), {"x86_64", c.release, 0});
    EXPECT_NE(out.find(c.atLeast315 ? "k315=1" : "k315=0"), std::string::npos) << out;
    EXPECT_NE(out.find("avahi=0"), std::string::npos) << out;
  }
  std::string out = detectIn(markerSpec(kPlainVersion, {}, {"/etc/avahi/services"}), kX86);
  EXPECT_NE(out.find("avahi=1"), std::string::npos) << out;
}

TEST(Platform, UsbfsNeedsRoot) {
  struct Case {
    const char* name;
    int mode;  // -1: no node
    int expected;
  };
  const Case cases[] = {
      {"0666 lets anybody in", 0666, 0},
      {"0664 needs root", 0664, 1},
      {"0662 needs root", 0662, 1},
      {"0606 lets anybody in", 0606, 0},
      {"no node needs root", -1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    nsrun::RunOptions run;
    run.mounts = nsrun::isolatedSystemMounts();
    if (c.mode >= 0)
      run.files.push_back({"/dev/bus/usb/001/001", {}, static_cast<mode_t>(c.mode), 0, 0, Type::Regular});
    run.entry = [] { return usbfsNeedsRoot() ? 1 : 0; };
    std::string error;
    auto p = nsrun::Process::start(run, &error);
    ASSERT_TRUE(p) << error;
    auto status = p->wait(20s);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, nsrun::ExitStatus::exitCode(c.expected));
  }
}

TEST(Platform, UsageNames) {
  EXPECT_STREQ(platformName(kPlatformNone), "Unknown");
  EXPECT_STREQ(platformName(kPlatformDesktop), "Linux Desktop");
  EXPECT_STREQ(platformName(kPlatformOpenWrt), "OpenWRT");
  EXPECT_STREQ(platformName(kPlatformDLink), "Unknown");
  EXPECT_STREQ(platformName(9), "Unknown");
}

}  // namespace
