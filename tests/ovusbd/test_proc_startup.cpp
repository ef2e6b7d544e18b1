// Start-up and shutdown of the real ovusbd, run inside private namespaces
// with its fixed paths (/etc, /dev, /sys, /proc/version) laid on tmpfs.
#include <fcntl.h>
#include <poll.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/nsrun.h"

namespace {

using namespace std::chrono_literals;
using Kind = nsrun::Mount::Kind;
using Type = nsrun::File::Type;

const char kRunning[] = "Orvanta USB Server is running...press CTRL-C to stop\n";
const char kBanner[] = "LOG_INFO    >>> Starting Orvanta USB Server v4.3.3 (Built: ";
const char kShutdown[] = "LOG_INFO    >>> Shutdown <<<";
const char kMachineId[] = "0123456789abcdef0123456789abcdef\n";
const auto kTimeout = 30s;

// The rest of the line that starts with `key`, blanks skipped; "" if absent.
std::string lineValue(const std::string& text, const std::string& key) {
  size_t at = 0;
  if (text.compare(0, key.size(), key) != 0) {
    at = text.find("\n" + key);
    if (at == std::string::npos) return "";
    at += 1;
  }
  at = text.find_first_not_of(" \t", at + key.size());
  if (at == std::string::npos) return "";
  size_t end = text.find('\n', at);
  return text.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

bool isLowerHex(const std::string& s, size_t length) {
  return s.size() == length && s.find_first_not_of("0123456789abcdef") == std::string::npos;
}

nsrun::File regular(const std::string& path, const std::string& text, mode_t mode = 0644) {
  return {path, text, mode, 0, 0, Type::Regular};
}

class ServerProcess : public testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/ovusbd-proc.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    chmod(dir_.c_str(), 0755);  // also reachable for an unprivileged server
    config_ = dir_ + "/config.ini";
  }
  void TearDown() override {
    server_.reset();
    std::filesystem::remove_all(dir_);
  }

  // The server with `args`, in an isolated system that has a machine-id (so
  // the configuration stays unchanged unless a test removes it).
  nsrun::RunOptions serverOptions(std::vector<std::string> args) {
    nsrun::RunOptions s;
    s.argv = {OVUSBD_BIN};
    s.argv.insert(s.argv.end(), args.begin(), args.end());
    s.env = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
    s.mounts = nsrun::isolatedSystemMounts();
    s.files = {regular("/etc/machine-id", kMachineId)};
    s.workDir = dir_ + "/ns";
    return s;
  }

  void start(const nsrun::RunOptions& s) {
    std::string error;
    server_ = nsrun::Process::start(s, &error);
    ASSERT_TRUE(server_) << error;
  }

  nsrun::ExitStatus finish() {
    auto status = server_->wait(kTimeout);
    EXPECT_TRUE(status) << "server did not end\nstdout:\n" << server_->out() << "\nstderr:\n" << server_->err();
    return status.value_or(nsrun::ExitStatus::killedBy(0));
  }

  void waitRunning() {
    ASSERT_TRUE(server_->waitForOut(kRunning, kTimeout))
        << "stdout:\n" << server_->out() << "\nstderr:\n" << server_->err();
  }

  std::string configText() const { return nsrun::readFile(config_); }

  std::string dir_;
  std::string config_;
  std::unique_ptr<nsrun::Process> server_;
};

std::string reportOf(const nsrun::Process& p) { return "stdout:\n" + p.out() + "\nstderr:\n" + p.err(); }

// Exits before the server runs: the banner and the shutdown line are
// logged in every case.
TEST_F(ServerProcess, EarlyExitCodes) {
  std::filesystem::create_directory(dir_ + "/a-directory");
  struct Case {
    std::vector<std::string> args;
    int code;
    const char* out;  // expected in stdout
    const char* err;  // expected in stderr
  };
  const std::vector<Case> cases = {
      {{"-r", "stdout", "-h"}, 0, "usage: ovusbd [-bhiqnu]", ""},
      {{"-r", "stdout", "-u", "-c", "/nonexistent/config.ini"}, 0, "", ""},
      {{"-r", "stdout", "-x"}, 6, "usage: ovusbd", "ERROR, Unrecognized option: -x\n\n"},
      {{"-r", "stdout", "-c"}, 6, "usage: ovusbd", "ERROR, Option -c requires an operand\n\n"},
      {{"-r", "stdout", "-c", dir_ + "/a-directory"}, 1, "Error 21 loading config file",
       "Failed to load configuration"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    start(serverOptions(c.args));
    EXPECT_EQ(finish(), nsrun::ExitStatus::exitCode(c.code)) << reportOf(*server_);
    std::string out = server_->out();
    EXPECT_NE(out.find(kBanner), std::string::npos) << out;
    EXPECT_NE(out.find(kShutdown), std::string::npos) << out;
    EXPECT_NE(out.find(c.out), std::string::npos) << out;
    EXPECT_NE(server_->err().find(c.err), std::string::npos) << server_->err();
    EXPECT_EQ(out.find(kRunning), std::string::npos) << out;
  }
  EXPECT_FALSE(std::filesystem::exists("/nonexistent/config.ini"));
}

// An unprivileged user may run the server only when usbfs is open to all.
TEST_F(ServerProcess, UsbfsPermissions) {
  for (mode_t mode : {0664, 0666}) {
    SCOPED_TRACE(mode);
    nsrun::RunOptions s = serverOptions({"-r", "stdout", "-c", config_});
    s.files.push_back(regular("/dev/bus/usb/001/001", "", mode));
    s.uid = 65534;
    s.gid = 65534;
    start(s);
    if (mode == 0664) {
      EXPECT_EQ(finish(), nsrun::ExitStatus::exitCode(2)) << reportOf(*server_);
      EXPECT_NE(server_->err().find("Permission denied, did you run with sudo?\n"), std::string::npos);
      EXPECT_NE(server_->out().find(kShutdown), std::string::npos) << server_->out();
    } else {
      waitRunning();
      EXPECT_EQ(server_->kill(SIGTERM), 0);
      EXPECT_EQ(finish(), nsrun::ExitStatus::exitCode(0)) << reportOf(*server_);
    }
  }
}

TEST_F(ServerProcess, StopsCleanlyOnSigtermAndSigint) {
  // A stored Trovix identity, so that start-up has nothing to create.
  std::ofstream(config_) << "TrovixId=2NEpo7TZRRrLZSi2U\nTrovixPin=2g\n";
  struct stat before{};
  ASSERT_EQ(stat(config_.c_str(), &before), 0);
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    start(serverOptions({"-r", "stdout", "-c", config_}));
    waitRunning();
    EXPECT_EQ(server_->kill(sig), 0);
    EXPECT_EQ(finish(), nsrun::ExitStatus::exitCode(0)) << reportOf(*server_);
    std::string out = server_->out();
    size_t running = out.find(kRunning);
    size_t stopping = out.find("Stopping...\n");
    size_t shutdown = out.find(kShutdown);
    EXPECT_NE(out.find(kBanner), std::string::npos) << out;
    ASSERT_NE(running, std::string::npos) << out;
    ASSERT_NE(stopping, std::string::npos) << out;
    ASSERT_NE(shutdown, std::string::npos) << out;
    EXPECT_LT(running, stopping);
    EXPECT_LT(stopping, shutdown);
    // Nothing changed, so the configuration file was never written (a save
    // renames a new file over it).
    struct stat after{};
    ASSERT_EQ(stat(config_.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(configText(), "TrovixId=2NEpo7TZRRrLZSi2U\nTrovixPin=2g\n");
  }
}

// Without a machine identity the server makes one and stores it: the
// configuration is saved at shutdown and the next start keeps the value.
TEST_F(ServerProcess, ConfigurationSavedAtShutdown) {
  std::ofstream(config_) << "TCPPort=7576\nSomeKey=some value\n";
  std::string first;
  for (int run = 0; run < 2; run++) {
    nsrun::RunOptions s = serverOptions({"-r", "stdout", "-c", config_});
    s.files.clear();  // no /etc/machine-id
    start(s);
    waitRunning();
    EXPECT_EQ(server_->kill(SIGTERM), 0);
    EXPECT_EQ(finish(), nsrun::ExitStatus::exitCode(0)) << reportOf(*server_);
    std::string text = configText();
    std::string serial = lineValue(text, "ServerSerial=");
    ASSERT_TRUE(isLowerHex(serial, 32)) << text;
    EXPECT_EQ(text.rfind("TCPPort=7576\nSomeKey=some value\n", 0), 0u) << text;
    if (run == 0) {
      first = serial;
    } else {
      EXPECT_EQ(serial, first);
    }
  }
}

// -b: the parent ends at once with 0; the daemon runs in "/" on /dev/null
// and still saves its configuration where a relative -c pointed.
TEST_F(ServerProcess, DaemonDetaches) {
  std::string log = dir_ + "/server.log";
  nsrun::RunOptions s = serverOptions({"-b", "-r", log, "-c", "config.ini"});
  s.files.clear();  // no machine-id: the configuration changes and is saved
  s.cwd = dir_;
  start(s);
  EXPECT_EQ(finish(), nsrun::ExitStatus::exitCode(0)) << reportOf(*server_);

  pid_t daemon = 0;
  auto deadline = std::chrono::steady_clock::now() + kTimeout;
  while (!daemon && std::chrono::steady_clock::now() < deadline) {
    for (const nsrun::NsPid& p : server_->processes()) daemon = p.hostPid;
    if (!daemon) std::this_thread::sleep_for(10ms);
  }
  ASSERT_NE(daemon, 0);
  // The child may be seen before it has reopened its standard descriptors
  // and left its directory: wait for both, and fail if they never happen.
  std::string proc = "/proc/" + std::to_string(daemon);
  auto detached = [&proc] {
    for (int fd = 0; fd <= 2; fd++) {
      std::error_code ec;
      if (std::filesystem::read_symlink(proc + "/fd/" + std::to_string(fd), ec) != "/dev/null") return false;
    }
    std::error_code ec;
    return std::filesystem::read_symlink(proc + "/cwd", ec) == "/";
  };
  deadline = std::chrono::steady_clock::now() + kTimeout;
  while (!detached() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
  for (int fd = 0; fd <= 2; fd++) {
    std::error_code ec;
    EXPECT_EQ(std::filesystem::read_symlink(proc + "/fd/" + std::to_string(fd), ec), "/dev/null") << fd;
  }
  EXPECT_EQ(std::filesystem::read_symlink(proc + "/cwd"), "/");
  EXPECT_EQ(server_->out(), "");  // nothing on the terminal, not even the running line

  // Stop it once start-up has reached USB discovery, which logs that the
  // namespace has no /sys/bus/usb; a signal after that is not lost.
  deadline = std::chrono::steady_clock::now() + kTimeout;
  while (nsrun::readFile(log).find("Failed to open /sys/bus/usb/devices") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(10ms);
  ASSERT_EQ(kill(daemon, SIGTERM), 0);
  ASSERT_TRUE(server_->waitAll(kTimeout));
  std::string text = nsrun::readFile(log);
  EXPECT_NE(text.find(kBanner), std::string::npos) << text;
  EXPECT_NE(text.find(kShutdown), std::string::npos) << text;
  EXPECT_NE(configText().find("ServerSerial="), std::string::npos) << configText();
}

// A stop signal sent while start-up still runs is not lost: the server
// stops as soon as start-up ends. Start-up is held at a known point by
// making /etc/machine-id a FIFO that the server reads after installing its
// handlers.
TEST_F(ServerProcess, SignalDuringStartUpStopsTheServer) {
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    nsrun::RunOptions s = serverOptions({"-r", "stdout", "-c", config_});
    s.files = {{"/etc/machine-id", {}, 0644, 0, 0, Type::Fifo}};
    start(s);

    // Wait until the stop handlers are in place.
    auto deadline = std::chrono::steady_clock::now() + kTimeout;
    bool caught = false;
    while (!caught && std::chrono::steady_clock::now() < deadline) {
      pid_t pid = server_->pid();
      std::string status = pid ? nsrun::readFile("/proc/" + std::to_string(pid) + "/status") : "";
      std::string caughtMask = lineValue(status, "SigCgt:");
      if (!caughtMask.empty()) {
        unsigned long mask = std::stoul(caughtMask, nullptr, 16);
        caught = (mask >> (sig - 1)) & 1;
      }
      if (!caught) std::this_thread::sleep_for(5ms);
    }
    ASSERT_TRUE(caught) << reportOf(*server_);
    ASSERT_EQ(server_->kill(sig), 0);

    // Now let start-up go on.
    std::string fifo = server_->hostPath("/etc/machine-id");
    int fd = -1;
    deadline = std::chrono::steady_clock::now() + kTimeout;
    while (fd < 0 && std::chrono::steady_clock::now() < deadline) {
      fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);  // ENXIO until the reader opens
      if (fd < 0) std::this_thread::sleep_for(5ms);
    }
    ASSERT_GE(fd, 0) << reportOf(*server_);
    ASSERT_EQ(write(fd, kMachineId, strlen(kMachineId)), static_cast<ssize_t>(strlen(kMachineId)));
    close(fd);

    EXPECT_EQ(finish(), nsrun::ExitStatus::exitCode(0)) << reportOf(*server_);
    EXPECT_NE(server_->out().find("Stopping...\n"), std::string::npos) << server_->out();
    EXPECT_NE(server_->out().find(kShutdown), std::string::npos) << server_->out();
  }
}

// drivers_autoprobe is switched off while the server runs when
// "AutoAttachToKernel" is off (by the key, or by default on OpenWrt), and
// restored at shutdown. The file is a host file bound onto the fixed path
// so its end state outlives the namespace.
TEST_F(ServerProcess, DriverProbing) {
  struct Case {
    const char* name;
    const char* version;  // /proc/version, null: the host's
    const char* config;
    bool file;
    int code;             // exit code
    const char* during;   // content while running (null: not running)
    const char* log;      // expected in the log
  };
  const Case cases[] = {
      {"OpenWrt default", "Linux version 5.10.0 (builder@OpenWrt) #0\n", "", true, 0, "0", ""},
      {"key off", nullptr, "AutoAttachToKernel=0\n", true, 0, "0", ""},
      {"key on: never opened", "Linux version 5.10.0 (OpenWrt)\n", "AutoAttachToKernel=1\n", false, 0, "", ""},
      {"no file", nullptr, "AutoAttachToKernel=0\n", false, 5, nullptr,
       "LOG_ERR     Error 2 opening auto_probe to obtain the current value. Do you have usb support in your "
       "kernel?"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::ofstream(config_) << c.config;
    std::string probe = dir_ + "/autoprobe";
    std::filesystem::remove(probe);
    nsrun::RunOptions s = serverOptions({"-r", "stdout", "-c", config_});
    if (c.version) s.mounts.push_back({Kind::File, "/proc/version", {}, c.version, {}});
    if (c.file) {
      std::ofstream(probe) << "1\n";
      s.mounts.push_back({Kind::Bind, "/sys/bus/usb/drivers_autoprobe", probe, {}, {}});
    }
    start(s);
    if (c.during) {
      waitRunning();
      if (c.file) {
        EXPECT_EQ(nsrun::readFile(probe), std::string(c.during) + "\n");
      }
      EXPECT_EQ(server_->kill(SIGTERM), 0);
    }
    EXPECT_EQ(finish(), nsrun::ExitStatus::exitCode(c.code)) << reportOf(*server_);
    if (c.file) {
      EXPECT_EQ(nsrun::readFile(probe), "1\n");
    }
    EXPECT_NE(server_->out().find(c.log), std::string::npos) << server_->out();
    EXPECT_NE(server_->out().find(kShutdown), std::string::npos) << server_->out();
  }
}

// The usage names the platform found from the markers laid in the
// namespace.
TEST_F(ServerProcess, PlatformInUsage) {
  struct Case {
    const char* version;
    std::vector<nsrun::File> files;
    const char* name;
  };
  const std::vector<Case> cases = {
      {"Linux version 6.1.0 #1 SMP\n", {}, "Orvanta USB Server for Unknown\n"},
      {"Linux version 5.10.0 (builder@OPENWRT) #0\n", {}, "Orvanta USB Server for OpenWRT\n"},
      {"Linux version 6.1.0 #1 SMP\n", {regular("/sys/class/dmi/id/product_uuid", "x")},
       "Orvanta USB Server for Linux Desktop\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    nsrun::RunOptions s = serverOptions({"-r", "stdout", "-h"});
    s.mounts.push_back({Kind::File, "/proc/version", {}, c.version, {}});
    s.files.insert(s.files.end(), c.files.begin(), c.files.end());
    start(s);
    EXPECT_EQ(finish(), nsrun::ExitStatus::exitCode(0)) << reportOf(*server_);
    EXPECT_NE(server_->out().find(c.name), std::string::npos) << server_->out();
  }
}

// On ReadyNAS the service manager hears of readiness and of failures.
TEST_F(ServerProcess, ReadyNasNotifications) {
  std::string socketPath = dir_ + "/notify";
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  strcpy(a.sun_path, socketPath.c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  chmod(socketPath.c_str(), 0666);
  auto receive = [fd] {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 30000) != 1) return std::string("<nothing>");
    char buffer[256];
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    return std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0);
  };

  for (bool privileged : {true, false}) {
    SCOPED_TRACE(privileged);
    nsrun::RunOptions s = serverOptions({"-r", "stdout", "-c", config_});
    s.env.push_back("NOTIFY_SOCKET=" + socketPath);
    s.mounts.push_back({Kind::Tmpfs, "/usr/bin", {}, {}, {}});
    s.files.push_back(regular("/usr/bin/rn_nml", "x", 0755));
    if (!privileged) {
      s.uid = 65534;
      s.files.push_back(regular("/dev/bus/usb/001/001", "", 0664));
    }
    start(s);
    if (privileged) {
      EXPECT_EQ(receive(), "STATUS=Successfully started\nREADY=1\nMAINPID=" + std::to_string(server_->nsPid()));
      waitRunning();
      EXPECT_EQ(server_->kill(SIGTERM), 0);
      EXPECT_EQ(finish(), nsrun::ExitStatus::exitCode(0)) << reportOf(*server_);
    } else {
      EXPECT_EQ(finish(), nsrun::ExitStatus::exitCode(2)) << reportOf(*server_);
      EXPECT_EQ(receive(), "STATUS=Permission denied\nERRNO=1");
    }
  }
  close(fd);
}

// Every thread but the first runs on a stack smaller than a 2 MiB huge
// page, so the kernel can never back part of one with a huge page (which
// made the resident size jump by 2 MiB per thread). A blocked thread's
// stack pointer is the next-to-last field of /proc/PID/task/TID/syscall;
// its mapping in /proc/PID/maps is the stack.
TEST_F(ServerProcess, ThreadStacksAreSmallerThanAHugePage) {
  start(serverOptions({"-r", "stdout", "-c", config_}));
  waitRunning();
  const std::string proc = "/proc/" + std::to_string(server_->pid());
  // Stack pointers first, then the mappings: a blocked thread's stack is
  // still there when the mappings are read.
  std::vector<std::pair<std::string, unsigned long long>> pointers;
  for (const auto& task : std::filesystem::directory_iterator(proc + "/task")) {
    const std::string tid = task.path().filename();
    if (tid == std::to_string(server_->pid())) continue;  // the first thread: the process's own stack
    std::ifstream in(task.path() / "syscall");
    std::string line;
    std::getline(in, line);
    std::vector<std::string> fields;
    for (size_t at = 0; at < line.size();) {
      const size_t space = line.find(' ', at);
      fields.push_back(line.substr(at, space == std::string::npos ? std::string::npos : space - at));
      at = space == std::string::npos ? line.size() : space + 1;
    }
    if (fields.size() != 9) continue;  // running, or gone: no stack pointer to read
    pointers.emplace_back(tid, std::stoull(fields[7], nullptr, 16));
  }
  ASSERT_FALSE(pointers.empty());
  struct Range {
    unsigned long long start, end;
  };
  std::vector<Range> maps;
  {
    std::ifstream in(proc + "/maps");
    std::string line;
    while (std::getline(in, line)) {
      Range r{};
      if (std::sscanf(line.c_str(), "%llx-%llx", &r.start, &r.end) == 2) maps.push_back(r);
    }
  }
  ASSERT_FALSE(maps.empty());
  for (const auto& [tid, sp] : pointers) {
    const Range* stack = nullptr;
    for (const Range& r : maps)
      if (r.start <= sp && sp < r.end) stack = &r;
    ASSERT_NE(stack, nullptr) << "thread " << tid << " at " << std::hex << sp;
    EXPECT_LT(stack->end - stack->start, 2ull << 20)
        << "thread " << tid << ": " << (stack->end - stack->start) / 1024 << " KiB";
  }
  EXPECT_EQ(server_->kill(SIGTERM), 0);
  EXPECT_EQ(finish(), nsrun::ExitStatus::exitCode(0)) << reportOf(*server_);
}

// A crash is reported with async-signal-safe writes only, and the process
// then ends by the same signal.
TEST_F(ServerProcess, CrashSignalIsReportedAndReRaised) {
  start(serverOptions({"-r", "stdout", "-c", config_}));
  waitRunning();
  ASSERT_EQ(server_->kill(SIGSEGV), 0);
  EXPECT_EQ(finish(), nsrun::ExitStatus::killedBy(SIGSEGV)) << reportOf(*server_);
  const char text[] =
      "Orvanta 4.3.3 caught signal 11 (Segmentation fault) and must exit. Sorry for the inconvenience, "
      "please contact support@orvanta.example for help\n";
  EXPECT_NE(server_->err().find(text), std::string::npos) << server_->err();
  EXPECT_NE(server_->out().find(std::string("LOG_ERR     ") + text), std::string::npos) << server_->out();
}

}  // namespace
