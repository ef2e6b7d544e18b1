// Command line: options, operands, errors and the -r target.
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ovusbd/core/cmdline.h"
#include "ovusbd/core/coresettings.h"
#include "ovusbd/core/log.h"

namespace {

struct Parsed {
  int result;
  std::string out;
  std::string err;
};

// What start-up would fill; each test frees it.
CoreSettings settings;

Parsed parse(std::vector<std::string> args) {
  args.insert(args.begin(), "/usr/sbin/ovusbd");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  int result = parseCommandLine(static_cast<int>(args.size()), argv.data(), &settings);
  Parsed p{result, testing::internal::GetCapturedStdout(), testing::internal::GetCapturedStderr()};
  return p;
}

class CommandLine : public testing::Test {
 protected:
  void TearDown() override {
    FILE* stream = logFile;
    setLogFile(nullptr);
    if (stream && stream != stdout && stream != stderr) fclose(stream);
    freeCoreSettings(&settings);
  }
};

TEST_F(CommandLine, FlagsAndOperands) {
  Parsed p = parse({"-b", "-i", "-u", "-o", "-s", "-d", "/dev/ovusb", "-c", "/etc/ovusbd.ini"});
  EXPECT_EQ(p.result, kCommandLineContinue);
  EXPECT_TRUE(settings.runAsDaemon);
  EXPECT_TRUE(settings.preferIpv6);
  EXPECT_TRUE(settings.exitAtOnce);
  ASSERT_NE(settings.deviceNodeDirectory, nullptr);
  EXPECT_STREQ(settings.deviceNodeDirectory, "/dev/ovusb");
  ASSERT_NE(settings.configFileArgument, nullptr);
  EXPECT_STREQ(settings.configFileArgument, "/etc/ovusbd.ini");
  EXPECT_EQ(p.out, "");
  EXPECT_EQ(p.err, "");
}

TEST_F(CommandLine, GroupedFlagsAndStopAtFirstArgument) {
  Parsed p = parse({"-bi", "file", "-x"});
  EXPECT_EQ(p.result, kCommandLineContinue);  // -x after "file" is not looked at
  EXPECT_TRUE(settings.runAsDaemon);
  EXPECT_TRUE(settings.preferIpv6);
}

// A relative -c is made absolute at once: a daemon works in "/", and the
// configuration must be saved where it was loaded from.
TEST_F(CommandLine, RelativeConfigPathBecomesAbsolute) {
  char cwd[PATH_MAX];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  Parsed p = parse({"-c", "sub/config.ini"});
  EXPECT_EQ(p.result, kCommandLineContinue);
  ASSERT_NE(settings.configFileArgument, nullptr);
  EXPECT_EQ(std::string(settings.configFileArgument), std::string(cwd) + "/sub/config.ini");
}

TEST_F(CommandLine, Errors) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{"-x"}, "ERROR, Unrecognized option: -x\n\n"},
      {{"-b", "-q"}, "ERROR, Unrecognized option: -q\n\n"},
      {{"-c"}, "ERROR, Option -c requires an operand\n\n"},
      {{"-r"}, "ERROR, Option -r requires an operand\n\n"},
      {{"-i", "-d"}, "ERROR, Option -d requires an operand\n\n"},
      {{"-r", "/nonexistent-dir/x.log"},
       "ERROR, Cannot write to log file /nonexistent-dir/x.log, error 2 (No such file or directory)\n\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0]);
    Parsed p = parse(c.args);
    EXPECT_EQ(p.result, kCommandLineError);
    EXPECT_EQ(p.err, c.message);
    EXPECT_EQ(p.out.rfind("ovusbd v4.3.3\n", 0), 0u) << p.out;  // the usage follows
    freeCoreSettings(&settings);
  }
}

TEST_F(CommandLine, UsageOnRequest) {
  Parsed p = parse({"-h", "-x"});
  EXPECT_EQ(p.result, kCommandLineUsage);
  EXPECT_EQ(p.err, "");
  EXPECT_NE(p.out.find("ovusbd v4.3.3\nOrvanta USB Server for "), std::string::npos);
  EXPECT_NE(p.out.find("Use USB Devices over the network\n\n"
                       "usage: ovusbd [-bhiqnu] [-c <configuration file>] [-r <log file>]\n\n"
                       "options:\n"
                       "   -b run as daemon in the background\n"
                       "   -c configuration file\n"
                       "   -h display this usage\n"
                       "   -i prefer ipv6 (dual/stack)\n"
                       "   -r log to file instead of syslog\n\n"),
            std::string::npos)
      << p.out;
}

TEST_F(CommandLine, LogTargets) {
  Parsed p = parse({"-r", "stderr", "-r", "stdout"});
  EXPECT_EQ(p.result, kCommandLineContinue);
  EXPECT_EQ(logFile, stdout);  // the later -r wins
  EXPECT_EQ(settings.logFilePath, nullptr);
}

// A bare name goes next to the executable, "./name" into the working
// directory.
TEST_F(CommandLine, LogFilePlacement) {
  char exe[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  ASSERT_GT(n, 0);
  exe[n] = '\0';
  std::string exeDir = std::filesystem::path(exe).parent_path();
  std::string name = "cmdline-test-" + std::to_string(getpid()) + ".log";

  Parsed bare = parse({"-r", name});
  EXPECT_EQ(bare.result, kCommandLineContinue);
  ASSERT_NE(settings.logFilePath, nullptr);
  EXPECT_EQ(std::string(settings.logFilePath), exeDir + "/" + name);
  EXPECT_TRUE(std::filesystem::exists(exeDir + "/" + name));
  std::filesystem::remove(exeDir + "/" + name);

  char dir[] = "/tmp/cmdline.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  char cwd[PATH_MAX];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir), 0);
  Parsed dotted = parse({"-r", "./" + name});
  EXPECT_EQ(dotted.result, kCommandLineContinue);
  EXPECT_TRUE(std::filesystem::exists(std::string(dir) + "/" + name));
  ASSERT_EQ(chdir(cwd), 0);
  std::filesystem::remove_all(dir);
}

}  // namespace
