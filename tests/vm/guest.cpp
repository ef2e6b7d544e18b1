#include "tests/vm/guest.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace vmguest {

namespace {

using Clock = std::chrono::steady_clock;

std::string quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool writeAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

uint16_t freeLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  struct sockaddr_in address;
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  uint16_t port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

Guest::Guest() {
  char dir[] = "/tmp/ovusb-vm-XXXXXX";
  if (mkdtemp(dir)) runDir_ = dir;
}

Guest::~Guest() {
  shutdown();
  // Kept for a look after a failure (console.log, qemu.err).
  if (runDir_.empty()) return;
  std::error_code ignored;
  if (::testing::Test::HasFailure()) {
    std::filesystem::remove(runDir_ + "/stick.img", ignored);
    std::filesystem::remove(runDir_ + "/initrd.gz", ignored);
  } else {
    std::filesystem::remove_all(runDir_, ignored);
  }
}

bool Guest::script(const std::vector<std::string>& arguments, std::string* output) {
  std::string command = quote(OVUSB_VM_SCRIPT);
  for (const std::string& argument : arguments) command += " " + quote(argument);
  std::string errors = runDir_ + "/script.err";
  command += " 2>" + quote(errors) + " </dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) {
    error_ = "cannot run guest.sh";
    return false;
  }
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
  int status = pclose(pipe);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  if (output) *output = text;
  if (status != 0) {
    error_ = "guest.sh " + arguments[0] + " failed:\n" + readFile(errors);
    return false;
  }
  return true;
}

bool Guest::boot(const std::vector<GuestFile>& files, const std::vector<std::string>& qemuArguments, int seconds,
                 int bootTimeoutMs) {
  if (runDir_.empty()) {
    error_ = "no run directory";
    return false;
  }
  // Without the kernel the suite cannot run: that is a failure, not a skip.
  if (!script({"kernel"}, &kernelDir_)) return false;
  std::vector<std::string> arguments = {"initramfs", kernelDir_, runDir_ + "/initrd.gz"};
  for (const GuestFile& file : files) arguments.push_back(file.source + "=" + file.guestPath);
  if (!script(arguments, nullptr)) return false;

  port_ = freeLoopbackPort();
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) < 0 || pipe2(out, O_CLOEXEC) < 0) {
    error_ = "pipe failed";
    return false;
  }
  std::vector<std::string> argv = {"/bin/bash",           OVUSB_VM_SCRIPT,        "run", kernelDir_,
                                   runDir_ + "/initrd.gz", runDir_, std::to_string(seconds),
                                   std::to_string(port_)};
  argv.insert(argv.end(), qemuArguments.begin(), qemuArguments.end());
  std::vector<char*> pointers;
  for (std::string& argument : argv) pointers.push_back(argument.data());
  pointers.push_back(nullptr);
  std::string errors = runDir_ + "/qemu.err";
  pid_ = fork();
  if (pid_ < 0) {
    error_ = "fork failed";
    return false;
  }
  if (pid_ == 0) {
    setpgid(0, 0);
    dup2(in[0], 0);
    dup2(out[1], 1);
    int err = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (err >= 0) dup2(err, 2);
    execv(pointers[0], pointers.data());
    _exit(127);
  }
  setpgid(pid_, pid_);
  close(in[0]);
  close(out[1]);
  consoleIn_ = in[1];
  consoleOut_ = out[0];
  consoleThread_ = std::thread(&Guest::readConsole, this);
  if (!connectQmp(30000)) {
    error_ = "no QMP socket: " + readFile(errors) + diagnostics();
    return false;
  }
  if (!waitConsole("@@ready", 0, bootTimeoutMs)) {
    error_ = "guest did not come up\n" + readFile(errors) + diagnostics();
    return false;
  }
  std::string output;
  if (run("true", &output, 30000) != 0) {
    error_ = "guest shell does not answer\n" + diagnostics();
    return false;
  }
  return true;
}

bool Guest::connectQmp(int timeoutMs) {
  std::string path = runDir_ + "/qmp.sock";
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Clock::now() < deadline) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      qmpFd_ = fd;
      qmpThread_ = std::thread(&Guest::readQmp, this);
      {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!changed_.wait_until(lock, deadline, [this] { return !qmpLines_.empty() || qmpClosed_; })) return false;
        if (qmpClosed_) return false;
      }
      return qmp("qmp_capabilities").find("\"return\"") != std::string::npos;
    }
    close(fd);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (consoleClosed_) return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // qemu has not made the socket yet
  }
  return false;
}

void Guest::readConsole() {
  char buffer[4096];
  for (;;) {
    ssize_t n = read(consoleOut_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    if (n <= 0) {
      consoleClosed_ = true;
      changed_.notify_all();
      return;
    }
    for (ssize_t i = 0; i < n; ++i) {
      if (buffer[i] != '\r') console_.push_back(buffer[i]);
    }
    changed_.notify_all();
  }
}

void Guest::readQmp() {
  std::string pending;
  char buffer[4096];
  for (;;) {
    ssize_t n = read(qmpFd_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    if (n <= 0) {
      qmpClosed_ = true;
      changed_.notify_all();
      return;
    }
    pending.append(buffer, static_cast<size_t>(n));
    size_t newline;
    while ((newline = pending.find('\n')) != std::string::npos) {
      std::string line = pending.substr(0, newline);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      qmpLines_.push_back(line);
      pending.erase(0, newline + 1);
    }
    changed_.notify_all();
  }
}

int Guest::start(const std::string& command) {
  int id;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    id = ++nextId_;
  }
  std::string n = std::to_string(id);
  // The markers frame the output; the subshell keeps a failing command from
  // ending the console's shell.
  writeAll(consoleIn_, "echo @@begin-" + n + "; (" + command + ") 2>&1; echo \"@@end-" + n + " $?\"\n");
  return id;
}

int Guest::finish(int id, std::string* output, int timeoutMs) {
  std::string n = std::to_string(id);
  std::string begin = "@@begin-" + n + "\n", end = "@@end-" + n + " ";
  std::unique_lock<std::mutex> lock(mutex_);
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  size_t endAt = std::string::npos;
  bool done = changed_.wait_until(lock, deadline, [&] {
    endAt = console_.find(end);
    return (endAt != std::string::npos && console_.find('\n', endAt) != std::string::npos) || consoleClosed_;
  });
  if (!done || endAt == std::string::npos) return -1;
  size_t beginAt = console_.find(begin);
  if (output) {
    *output = beginAt == std::string::npos || beginAt > endAt ? ""
                                                               : console_.substr(beginAt + begin.size(),
                                                                                 endAt - beginAt - begin.size());
  }
  return atoi(console_.c_str() + endAt + end.size());
}

int Guest::run(const std::string& command, std::string* output, int timeoutMs) {
  return finish(start(command), output, timeoutMs);
}

bool Guest::waitConsole(const std::string& text, size_t from, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    return (console_.size() > from && console_.find(text, from) != std::string::npos) || consoleClosed_;
  }) && console_.find(text, from) != std::string::npos;
}

std::string Guest::console() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return console_;
}

std::string Guest::consoleTail(size_t bytes) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return console_.size() > bytes ? console_.substr(console_.size() - bytes) : console_;
}

std::string Guest::diagnostics() const {
  return "\n(run directory " + runDir_ + ")\n--- console tail ---\n" + consoleTail() + "\n---";
}

std::string Guest::qmp(const std::string& command, const std::string& arguments, int timeoutMs) {
  if (qmpFd_ < 0) return "";
  std::string id;
  size_t seen;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    id = "\"q" + std::to_string(++nextId_) + "\"";
    seen = qmpLines_.size();
  }
  std::string request = "{\"execute\": \"" + command + "\"";
  if (!arguments.empty()) request += ", \"arguments\": " + arguments;
  request += ", \"id\": " + id + "}\n";
  if (!writeAll(qmpFd_, request)) return "";
  std::unique_lock<std::mutex> lock(mutex_);
  std::string reply;
  changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    for (size_t i = seen; i < qmpLines_.size(); ++i) {
      if (qmpLines_[i].find(id) != std::string::npos && qmpLines_[i].find("\"event\"") == std::string::npos) {
        reply = qmpLines_[i];
        return true;
      }
    }
    return qmpClosed_;
  });
  return reply;
}

bool Guest::qmpOk(const std::string& command, const std::string& arguments, std::string* reply) {
  std::string line = qmp(command, arguments);
  if (reply) *reply = line;
  return line.find("\"return\"") != std::string::npos;
}

bool Guest::waitEvent(const std::string& text, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    for (const std::string& line : qmpLines_) {
      if (line.find("\"event\"") != std::string::npos && line.find(text) != std::string::npos) return true;
    }
    return qmpClosed_;
  }) && !qmpClosed_;
}

void Guest::shutdown() {
  if (pid_ > 0) {
    if (qmpFd_ >= 0) qmp("quit", "", 5000);
    auto deadline = Clock::now() + std::chrono::seconds(10);
    int status;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (Clock::now() > deadline) {
        kill(-pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a child's exit cannot be waited on with a deadline
    }
    // The group holds timeout(1) and qemu; nothing of it may outlive the test.
    kill(-pid_, SIGKILL);
    pid_ = -1;
  }
  if (qmpFd_ >= 0) {
    ::shutdown(qmpFd_, SHUT_RDWR);
    if (qmpThread_.joinable()) qmpThread_.join();
    close(qmpFd_);
    qmpFd_ = -1;
  }
  if (consoleIn_ >= 0) {
    close(consoleIn_);
    consoleIn_ = -1;
  }
  if (consoleThread_.joinable()) consoleThread_.join();
  if (consoleOut_ >= 0) {
    close(consoleOut_);
    consoleOut_ = -1;
  }
}

std::string serverBinary(const char* built) {
  const char* chosen = getenv("OVUSB_VM_SERVER");
  return chosen && *chosen ? chosen : built;
}

bool startServer(Guest& guest, const std::string& configLines, std::string* why) {
  std::string config = "TCPPort=7575\n" + configLines;
  std::string quoted;
  for (char c : config) quoted += c == '\n' ? std::string("\\n") : c == '\'' ? std::string("'\\''") : std::string(1, c);
  std::string output;
  int status = guest.run("printf '" + quoted + "' >/etc/ovusbd.ini && "
                         "(ovusbd -c /etc/ovusbd.ini -r /tmp/ovusbd.log </dev/null >/dev/null 2>&1 &) && "
                         "for i in $(seq 300); do netstat -ltn | grep -q ':7575 ' && exit 0; sleep 0.1; done; "
                         "cat /tmp/ovusbd.log; exit 1",
                         &output, 60000);
  if (status != 0 && why) *why = output + guest.diagnostics();
  return status == 0;
}

std::string serverLog(Guest& guest) {
  std::string log;
  guest.run("cat /tmp/ovusbd.log", &log);
  return log;
}

}  // namespace vmguest
