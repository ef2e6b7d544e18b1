// calvix against the real daemon: calvixd with the simulated stub driver
// (calvixd_sim) runs in private namespaces; calvix joins its network
// namespace, where the daemon's abstract control socket lives.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/nsrun.h"
#include "tests/support/ravelsimcontrol.h"
#include "tests/support/wait.h"

namespace {

using namespace std::chrono_literals;

class CTempDir {
public:
  CTempDir() {
    char pattern[] = "/tmp/calvix-sim-XXXXXX";
    const char* made = mkdtemp(pattern);
    m_path = made ? made : "";
  }
  ~CTempDir() {
    std::error_code ignored;
    if (!m_path.empty()) std::filesystem::remove_all(m_path, ignored);
  }
  std::string File(const char* name) const { return m_path + "/" + name; }
  const std::string& Path() const { return m_path; }

private:
  std::string m_path;
};

struct RunResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

class CalvixAgainstDaemon : public ::testing::Test {
protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    nsrun::RunOptions run;
    run.argv = {CALVIXD_SIM_BIN};
    run.env = {"RAVELSIM_ROOT=/var/run/ravelsim/devices/", "RAVELSIM_SOCKET=/var/run/ravelsim.sock"};
    run.mounts.push_back({nsrun::Mount::Kind::Tmpfs, "/etc", "", "", {"ld.so.cache"}});
    run.mounts.push_back({nsrun::Mount::Kind::Bind, "/var/log", logDir.Path(), "", {}});
    run.mounts.push_back({nsrun::Mount::Kind::Bind, "/var/run", runDir.Path(), "", {}});
    std::string error;
    process = nsrun::Process::start(run, &error);
    ASSERT_TRUE(process) << error;
    ASSERT_TRUE(WaitForLog("Daemon started.")) << Log();
  }
  void TearDown() override {
    process.reset();  // kills every process of the namespace
  }

  std::string Log() const { return nsrun::readFile(logDir.File("calvixd.log")); }
  bool WaitForLog(const std::string& text) const {
    return testwait::waitUntil([&] { return Log().find(text) != std::string::npos; }, 15s);
  }
  std::string Driver(const std::string& line) const {
    return ravelsim::ControlRequest(runDir.File("ravelsim.sock"), line);
  }

  // Runs calvix in the daemon's network namespace.
  RunResult Calvix(const std::vector<std::string>& words) {
    RunResult result;
    // Every process of the run shares one network namespace, but the first
    // listed may be the daemon's forking parent, already gone: take the
    // namespace of the first one still there. The open descriptor holds it.
    int nsFd = -1;
    for (const nsrun::NsPid& entry : process->processes()) {
      std::string netns = "/proc/" + std::to_string(entry.hostPid) + "/ns/net";
      nsFd = open(netns.c_str(), O_RDONLY | O_CLOEXEC);
      if (nsFd >= 0) break;
    }
    if (nsFd < 0) return result;
    char outName[] = "/tmp/calvix-out-XXXXXX";
    char errName[] = "/tmp/calvix-err-XXXXXX";
    int outFd = mkstemp(outName);
    int errFd = mkstemp(errName);
    unlink(outName);
    unlink(errName);
    std::vector<std::string> storage = {CALVIX_BIN};
    storage.insert(storage.end(), words.begin(), words.end());
    std::vector<char*> argv;
    for (std::string& word : storage) argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
      if (setns(nsFd, CLONE_NEWNET) != 0) _exit(126);
      dup2(outFd, STDOUT_FILENO);
      dup2(errFd, STDERR_FILENO);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(nsFd);
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + 30s;
    while (waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        status = -1;
        break;
      }
      usleep(5000);
    }
    if (status != -1 && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    auto readAll = [](int fd) {
      std::string text;
      char buffer[4096];
      lseek(fd, 0, SEEK_SET);
      ssize_t n;
      while ((n = read(fd, buffer, sizeof(buffer))) > 0) text.append(buffer, static_cast<size_t>(n));
      close(fd);
      return text;
    };
    result.out = readAll(outFd);
    result.err = readAll(errFd);
    return result;
  }

  CTempDir logDir;
  CTempDir runDir;
  std::unique_ptr<nsrun::Process> process;
};

std::string SuccessBlock(const std::string& message) {
  return "\n====================== OPERATION SUCCESSFUL =====================\n" + message +
         "\n===================== ======================= ===================\n\n";
}

std::string DeviceList(const std::string& status) {
  return "\n=================== LIST OF LOCAL USB DEVICES ===================\n"
         "\n   1: ACME Mouse - USB Mouse\n"
         "      Vid: 1234   Pid: 5678   Serial: SN0001\n"
         "      Status: " +
         status +
         "\n"
         "\n===================== ======================= ===================\n\n";
}

TEST_F(CalvixAgainstDaemon, ListsSharesAndExcludesAPluggedDevice) {
  ASSERT_EQ(Driver("plug 1-1 serial=SN0001"), "ok");
  ASSERT_TRUE(WaitForLog("USB device plugged (ACME Mouse")) << Log();

  struct {
    std::vector<std::string> words;
    int exitCode;
    std::string out;
  } const steps[] = {
      {{"-version"}, 0, "USB Calvento for Linux v.3.10\n"},
      {{"-list-devices"}, 0, DeviceList("plugged")},
      {{"-share", "-usb-port", "1-1"}, 0, SuccessBlock("USB device has been shared")},
      {{"-list-devices"}, 0, DeviceList("plugged, shared")},
      {{"-share", "1"}, 0, SuccessBlock("USB device has been shared")},
      {{"-unshare", "-serial", "SN0001"}, 0, SuccessBlock("USB device has been unshared")},
      {{"-add-exclusion", "1"}, 0, SuccessBlock("Device has been added to exclusion list")},
      {{"-list-devices"}, 0, DeviceList("plugged, in exclusion list")},
      {{"-remove-exclusion", "1"}, 0, SuccessBlock("Device has been removed from exclusion list")},
      {{"-list-clients"},
       0,
       "\n=================== LIST OF CONNECTED CLIENTS ===================\n\n<no clients>"
       "\n===================== ======================= ===================\n\n"},
  };
  for (const auto& step : steps) {
    RunResult r = Calvix(step.words);
    EXPECT_EQ(r.exitCode, step.exitCode) << step.words[0] << r.err;
    EXPECT_EQ(r.out, step.out) << step.words[0];
    EXPECT_EQ(r.err, "") << step.words[0];
  }
  EXPECT_NE(Log().find("USB device shared by user (ACME Mouse"), std::string::npos) << Log();

  // A device id the daemon does not know: its error comes back in the
  // operation error block.
  RunResult r = Calvix({"-share", "99"});
  EXPECT_EQ(r.exitCode, 5);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.rfind("\n***************************** ERROR *****************************\nCan not share USB "
                        "device. ",
                        0),
            0u)
      << r.err;
}

}  // namespace
