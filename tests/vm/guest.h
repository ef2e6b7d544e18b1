// Host side of the VM suite: one qemu guest, booted through tests/vm/guest.sh,
// driven over its serial console (shell commands with markers around their
// output) and its QMP socket (device_add, device_del, input-send-event).
//
//   Guest guest;
//   ASSERT_TRUE(guest.boot({{probePath, "/usr/bin/ovprobe"}}, {"-device", "qemu-xhci,..."})) << guest.error();
//   std::string out;
//   guest.run("ovprobe device 1-1", &out);           // exit status, output
//   guest.qmpOk("device_add", R"({"driver": "usb-kbd", "id": "k"})");
//
// Every wait has a deadline; qemu itself is killed by the script's time
// limit if the test never gets to stop it.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vmguest {

struct GuestFile {
  std::string source;     // host path
  std::string guestPath;  // absolute path in the guest
};

class Guest {
 public:
  Guest();
  ~Guest();
  Guest(const Guest&) = delete;
  Guest& operator=(const Guest&) = delete;

  // Fetches the kernel (once per cache), builds the initramfs with the
  // files, starts qemu with the extra arguments and waits for the guest's
  // shell. False with error() set on any failure, the kernel fetch included.
  bool boot(const std::vector<GuestFile>& files, const std::vector<std::string>& qemuArguments,
            int seconds = 600, int bootTimeoutMs = 180000);
  const std::string& error() const { return error_; }
  const std::string& runDir() const { return runDir_; }
  uint16_t port() const { return port_; }

  // Shell commands on the console. start() returns an id for finish(),
  // which gives the exit status (or -1 on time-out) and the output.
  int start(const std::string& command);
  int finish(int id, std::string* output, int timeoutMs = 60000);
  int run(const std::string& command, std::string* output = nullptr, int timeoutMs = 60000);

  // Waits for text on the console after byte offset from.
  bool waitConsole(const std::string& text, size_t from, int timeoutMs);
  std::string console() const;
  std::string consoleTail(size_t bytes = 3000) const;

  // QMP. The reply line ({"return": ...} or {"error": ...}), "" on time-out.
  std::string qmp(const std::string& command, const std::string& arguments = "", int timeoutMs = 30000);
  bool qmpOk(const std::string& command, const std::string& arguments = "", std::string* reply = nullptr);
  // Waits for an event line containing text (events seen so far count).
  bool waitEvent(const std::string& text, int timeoutMs);

  // Quits qemu (QMP quit, then SIGKILL); the destructor does it too.
  void shutdown();

  // A readable note for failure messages: run directory and console tail.
  std::string diagnostics() const;

 private:
  bool script(const std::vector<std::string>& arguments, std::string* output);
  bool connectQmp(int timeoutMs);
  void readConsole();
  void readQmp();

  std::string runDir_, error_, kernelDir_;
  uint16_t port_ = 0;
  pid_t pid_ = -1;
  int consoleIn_ = -1, consoleOut_ = -1, qmpFd_ = -1;
  int nextId_ = 0;
  std::thread consoleThread_, qmpThread_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::string console_;              // guarded by mutex_; '\r' removed
  std::vector<std::string> qmpLines_;  // guarded by mutex_
  bool consoleClosed_ = false, qmpClosed_ = false;
};

// A free TCP port on 127.0.0.1 (bound and released).
uint16_t freeLoopbackPort();

// The ovusbd the guest runs: the file $OVUSB_VM_SERVER names when set (the
// 32-bit build's, say: the guest's 64-bit kernel runs it through its compat
// layer), else the one built with these tests.
std::string serverBinary(const char* built);

// Starts /usr/sbin/ovusbd in the guest with the config lines (TCPPort=7575
// first) and its log in /tmp/ovusbd.log, and waits until it listens. False
// with the log in *why otherwise.
bool startServer(Guest& guest, const std::string& configLines, std::string* why);
std::string serverLog(Guest& guest);

}  // namespace vmguest
