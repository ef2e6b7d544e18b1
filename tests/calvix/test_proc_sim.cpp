// calvix against the real daemon: calvixd with the simulated stub driver
// (calvixd_sim) runs in private namespaces; calvix joins its network
// namespace, where the daemon's abstract control socket lives. Remote
// clients of the daemon are test clients of its wire made in the same
// namespace.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "calvix/api.h"
#include "tests/support/calvixwire.h"
#include "tests/support/ravelsimdaemon.h"
#include "tests/support/wait.h"

namespace {

using namespace std::chrono_literals;
using calvixwire::Connection;

struct RunResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  lseek(fd, 0, SEEK_SET);
  ssize_t n;
  while ((n = read(fd, buffer, sizeof(buffer))) > 0) text.append(buffer, static_cast<size_t>(n));
  close(fd);
  return text;
}

// Users of the daemon's /etc: alice is in the user group, bob in none.
const char kPasswd[] = "root:x:0:0::/:/bin/sh\nalice:x:1000:1000::/:/bin/sh\nbob:x:1001:1001::/:/bin/sh\n";
const char kGroup[] = "root:x:0:\ncalvusr:x:2000:alice\ncalvusradm:x:2001:\nalice:x:1000:\nbob:x:1001:\n";

class CalvixAgainstDaemon : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    std::string error;
    ASSERT_TRUE(daemon.Start(CALVIXD_SIM_BIN, "", &error,
                             {{"/etc/passwd", kPasswd, 0644, 0, 0, nsrun::File::Type::Regular},
                              {"/etc/group", kGroup, 0644, 0, 0, nsrun::File::Type::Regular}}))
        << error;
  }

  std::string Log() const { return daemon.Log(); }
  bool WaitForLog(const std::string& text) const { return daemon.WaitForLog(text); }
  std::string Driver(const std::string& line) const { return daemon.Driver(line); }

  // Runs calvix in the daemon's network namespace, as root or as uid. A run
  // that has not ended after 30 s is killed (exit code -1).
  RunResult Calvix(const std::vector<std::string>& words, std::optional<uid_t> uid = std::nullopt) {
    RunResult result;
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
    pid_t pid = -1;
    // The child inherits the namespace of the thread that forks it, and
    // execs before it could leave it.
    daemon.InNetwork([&] {
      pid = fork();
      if (pid != 0) return;
      dup2(outFd, STDOUT_FILENO);
      dup2(errFd, STDERR_FILENO);
      if (uid && (setgroups(0, nullptr) != 0 || setresgid(*uid, *uid, *uid) != 0 ||
                  setresuid(*uid, *uid, *uid) != 0))
        _exit(126);
      execv(argv[0], argv.data());
      _exit(127);
    });
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + 30s;
    while (pid > 0 && waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        status = -1;
        break;
      }
      usleep(5000);
    }
    if (pid > 0 && status != -1 && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    result.out = ReadAll(outFd);
    result.err = ReadAll(errFd);
    return result;
  }

  // A remote client's session connection, opened in the daemon's network
  // namespace; its connection id.
  bool OpenSession(Connection* session, uint32_t* id, uint8_t platform) {
    bool opened = false;
    daemon.InNetwork([&] { opened = session->connectTcp("127.0.0.1", 32032); });
    session->setTimeoutMs(30000);
    std::vector<uint8_t> serverId;
    return opened && session->handshake('E', calvixwire::kServerVersion, platform) &&
           session->readGreetingStart(&serverId, id);
  }

  ravelsim::SimDaemon daemon;
};

std::string SuccessBlock(const std::string& message) {
  return "\n====================== OPERATION SUCCESSFUL =====================\n" + message +
         "\n===================== ======================= ===================\n\n";
}

std::string ErrorBlock(const std::string& message) {
  return "\n***************************** ERROR *****************************\n" + message +
         "\n********************* *********************** *******************\n\n";
}

const char kListEnd[] = "\n===================== ======================= ===================\n\n";

std::string DeviceList(const std::string& status) {
  return "\n=================== LIST OF LOCAL USB DEVICES ===================\n"
         "\n   1: ACME Mouse - USB Mouse\n"
         "      Vid: 1234   Pid: 5678   Serial: SN0001\n"
         "      Status: " +
         status + "\n" + kListEnd;
}

struct Step {
  std::vector<std::string> words;
  int exitCode;
  std::string out;
  std::string err;
  // The daemon's errors end with the source line of its record: only the
  // text before it is compared.
  bool errIsPrefix = false;
};

void RunSteps(const std::vector<Step>& steps, const std::function<RunResult(const std::vector<std::string>&)>& run) {
  for (const Step& step : steps) {
    std::string line;
    for (const std::string& word : step.words) line += word + " ";
    SCOPED_TRACE(line);
    RunResult r = run(step.words);
    EXPECT_EQ(r.exitCode, step.exitCode) << r.err;
    EXPECT_EQ(r.out, step.out);
    if (step.errIsPrefix)
      EXPECT_EQ(r.err.rfind(step.err, 0), 0u) << r.err;
    else
      EXPECT_EQ(r.err, step.err);
  }
}

std::string OperationError(const std::string& text) {
  return "\n***************************** ERROR *****************************\n" + text;
}

TEST_F(CalvixAgainstDaemon, ListsSharesAndExcludesAPluggedDevice) {
  ASSERT_EQ(Driver("plug 1-1 serial=SN0001"), "ok");
  ASSERT_TRUE(WaitForLog("USB device plugged (ACME Mouse")) << Log();

  const std::vector<Step> steps = {
      {{"-version"}, 0, "USB Calvento for Linux v.3.10\n", ""},
      {{"-list-devices"}, 0, DeviceList("plugged"), ""},
      {{"-share", "-usb-port", "1-1"}, 0, SuccessBlock("USB device has been shared"), ""},
      {{"-list-devices"}, 0, DeviceList("plugged, shared"), ""},
      {{"-share", "1"}, 0, SuccessBlock("USB device has been shared"), ""},
      {{"-unshare", "-serial", "SN0001"}, 0, SuccessBlock("USB device has been unshared"), ""},
      {{"-add-exclusion", "1"}, 0, SuccessBlock("Device has been added to exclusion list"), ""},
      {{"-list-devices"}, 0, DeviceList("plugged, in exclusion list"), ""},
      {{"-remove-exclusion", "1"}, 0, SuccessBlock("Device has been removed from exclusion list"), ""},
      {{"-list-clients"},
       0,
       std::string("\n=================== LIST OF CONNECTED CLIENTS ===================\n\n<no clients>") + kListEnd,
       ""},
  };
  RunSteps(steps, [&](const std::vector<std::string>& words) { return Calvix(words); });
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

// Records after the first sit at odd offsets in the list (1325 bytes each):
// finding the second device by its port reads its fields there.
TEST_F(CalvixAgainstDaemon, SharesTheSecondOfTwoDevicesByItsPort) {
  ASSERT_EQ(Driver("plug 1-1 serial=SN0001"), "ok");
  ASSERT_EQ(Driver("plug 1-2 serial=SN0002"), "ok");
  ASSERT_TRUE(WaitForLog("USB device plugged (ACME Mouse; VID 1234; PID 5678; Serial SN0002")) << Log();
  ASSERT_TRUE(WaitForLog("USB device plugged (ACME Mouse; VID 1234; PID 5678; Serial SN0001")) << Log();

  RunResult r = Calvix({"-share", "-usb-port", "1-2"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, SuccessBlock("USB device has been shared"));
  EXPECT_TRUE(WaitForLog("USB device shared by user (ACME Mouse; VID 1234; PID 5678; Serial SN0002; Port 1-2)"))
      << Log();
  EXPECT_EQ(Log().find("Serial SN0001; Port 1-1).\n", Log().find("shared by user")), std::string::npos) << Log();
}

// A device's own strings are shown and logged with their control bytes as
// '?': an escape sequence must not recolour, retitle or rewrite the reader's
// terminal. The daemon keeps and hands out the strings as they are.
TEST_F(CalvixAgainstDaemon, DeviceTextsArePrintedAndLoggedWithoutControlBytes) {
  // "Mouse<ESC>[31mRed<ESC>[2K<ESC>]0;t<BEL>": red, line erased, title set.
  ASSERT_EQ(Driver("plug 1-1 serial=SN0001 product=Mouse%1b[31mRed%1b[2K%1b]0;t%07"), "ok");
  const std::string raw = "ACME Mouse\x1b[31mRed\x1b[2K\x1b]0;t\x07";
  const std::string shown = "ACME Mouse?[31mRed?[2K?]0;t?";
  ASSERT_TRUE(WaitForLog("USB device plugged (")) << Log();
  EXPECT_NE(Log().find("USB device plugged (" + shown + "; VID 1234; PID 5678; Serial SN0001; Port 1-1).\n"),
            std::string::npos)
      << Log();
  EXPECT_EQ(Log().find_first_of("\x1b\x07"), std::string::npos) << Log();

  RunResult r = Calvix({"-list-devices"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "\n=================== LIST OF LOCAL USB DEVICES ===================\n"
                   "\n   1: " + shown + " - USB Mouse\n"
                   "      Vid: 1234   Pid: 5678   Serial: SN0001\n"
                   "      Status: plugged\n" + kListEnd);

  bool listed = false;
  API_DEVICE_RECORD record;
  ASSERT_TRUE(daemon.InNetworkAndIpc([&] {
    uint32_t size = sizeof record;
    listed = ApiOpen(false) && ApiListDevices(&record, &size) && size == sizeof record;
    ApiClose();
  }));
  ASSERT_TRUE(listed) << ApiGetLastError(nullptr);
  EXPECT_EQ(std::string(record.name), raw);
}

// Every action that changes a setting, with its success block, and the
// checks that refuse before any request.
TEST_F(CalvixAgainstDaemon, SettingsActionsAndTheirRefusals) {
  ASSERT_EQ(Driver("plug 1-1 serial=SN0001"), "ok");
  ASSERT_TRUE(WaitForLog("USB device plugged (ACME Mouse")) << Log();

  const std::string invalidRule = ErrorBlock("Invalid or no rule specified, please check and try again.");
  const std::string invalidMode =
      ErrorBlock("Invalid mode specified, please enter one of the following: allow, deny or disabled.");
  const std::vector<Step> steps = {
      // Refused by the tool itself.
      {{"-share", "1", "-unshare", "1"},
       1,
       "",
       ErrorBlock("Multiple actions specified in the command line, please specify just one!")},
      {{"-frobnicate"}, 1, "", ErrorBlock("Unknown parameter specified in the command line.")},
      {{"-share", "-vid", "zz"}, 1, "", ErrorBlock("Syntax error in the command line.")},
      {{"-share", "-vid", "1234"},
       1,
       "",
       ErrorBlock("Invalid or incomplete device identifiers specified, please check parameters and try again.")},
      {{"-share", "-usb-port", "9-9"},
       3,
       "",
       ErrorBlock("Selected device not found, please check parameters and try again.")},
      {{"-set-tcp-port", "70000"}, 1, "", ErrorBlock("Invalid TCP port number, please check and try again.")},
      {{"-set-reset-method", "sideways", "1"},
       1,
       "",
       ErrorBlock("Invalid reset method specified, please enter one of the following: hard, soft, replug or "
                  "disabled.")},
      {{"-set-ip-filters-mode", "maybe"}, 1, "", invalidMode},
      {{"-add-ip-filter", ""}, 1, "", invalidRule},
      {{"-add-device-policy-rule", "Mice"}, 1, "", invalidRule},
      {{"-connect-to", "7-1"},
       3,
       "",
       ErrorBlock("Selected client not found, please check parameters and try again.")},
      {{"-close-callback", "-client", "h"},
       1,
       "",
       ErrorBlock("Invalid or incomplete callback identifier specified, please check parameters and try again.")},

      // Carried out by the daemon.
      {{"-info"},
       0,
       "\n===================== USB SERVER INFORMATION ====================\n"
       "Total USB devices in configuration: 1\n"
       "Total connected clients: 0\n"
       "USB device sharing mode: manual sharing\n"
       "USB server accepts incoming connections on 32032 tcp port\n"
       "Device Policy mode: disabled\n"
       "IP Filters mode: disabled\n"
       "===================== ======================= ===================\n\n",
       ""},
      {{"-pnp-instance-id", "1"}, 0, "/dev/bus/usb/001/002\n", ""},
      {{"-auto-share", "on"}, 0, SuccessBlock("Switched to auto-sharing mode"), ""},
      {{"-auto-share", "off"}, 0, SuccessBlock("Switched to manual-sharing mode"), ""},
      {{"-set-nickname", "Left Mouse", "1"}, 0, SuccessBlock("Nickname has been set"), ""},
      {{"-set-timeout", "15", "1"}, 0, SuccessBlock("Inactivity timeout has been set"), ""},
      {{"-set-acl-mode", "allow", "1"}, 0, SuccessBlock("ACL mode has been set"), ""},
      {{"-list-devices"},
       0,
       "\n=================== LIST OF LOCAL USB DEVICES ===================\n"
       "\n   1: Left Mouse\n"
       "      Vid: 1234   Pid: 5678   Serial: SN0001\n"
       "      Status: plugged\n"
       "      Inactivity timeout: 15 seconds\n"
       "      ACL mode: allow" +  // the closing frame's newline ends it
           std::string(kListEnd),
       ""},
      {{"-set-acl-mode", "disabled", "1"}, 0, SuccessBlock("ACL mode has been set"), ""},
      {{"-set-nickname", "", "1"}, 0, SuccessBlock("Nickname has been removed"), ""},
      {{"-set-timeout", "0", "1"}, 0, SuccessBlock("Inactivity timeout has been disabled"), ""},
      {{"-set-reset-method", "soft", "1"}, 0, SuccessBlock("Reset method has been set"), ""},
      {{"-set-ip-filters-mode", "deny"}, 0, SuccessBlock("IP Filters mode has been set"), ""},
      {{"-add-ip-filter", "10.0.0.9"}, 0, SuccessBlock("IP Filter rule has been added"), ""},
      {{"-add-ip-filter", "10.0.0.9"}, 0, SuccessBlock("IP Filter rule has been added"), ""},
      {{"-add-ip-filter", "10.0.0.10"}, 0, SuccessBlock("IP Filter rule has been added"), ""},
      {{"-list-ip-filters"},
       0,
       "\n===================== USB SERVER IP FILTERS =====================\n\n"
       "Mode: deny (deny connections from listed computers and allow all others)\n\n"
       "   1: 10.0.0.9\n   2: 10.0.0.10\n" +
           std::string(kListEnd),
       ""},
      {{"-remove-ip-filter", "1"}, 0, SuccessBlock("IP Filter rule has been removed"), ""},
      {{"-remove-ip-filter", "5"},
       5,
       "",
       OperationError("Can not remove IP filter. Selected rule not found, please check parameters and try again.\n"
                      "Error 2 module "),
       true},
      {{"-remove-ip-filter", "all"}, 0, SuccessBlock("All IP Filter rules have been removed"), ""},
      {{"-set-ip-filters-mode", "disabled"}, 0, SuccessBlock("IP Filters mode has been set"), ""},
      {{"-set-device-policy-mode", "allow"}, 0, SuccessBlock("Device Policy mode has been set"), ""},
      {{"-add-device-policy-rule", "Mice", "-vid", "1234"}, 0, SuccessBlock("Device Policy rule has been added"), ""},
      {{"-list-device-policy"},
       0,
       "\n==================== USB SERVER DEVICE POLICY ===================\n\n"
       "Mode: allow (allow redirection of usb devices that match the rules and deny all others)\n"
       "\n   1: Mice\n"
       "      Vid: 1234   Pid: <any>  Class: <any>  SubClass: <any>  Protocol: <any>  Port: <any>  Serial: <any>\n" +
           std::string(kListEnd),
       ""},
      {{"-remove-device-policy-rule", "1"}, 0, SuccessBlock("Device Policy rule has been removed"), ""},
      {{"-remove-device-policy-rule", "all"}, 0, SuccessBlock("All Device Policy rules have been removed"), ""},
      {{"-set-device-policy-mode", "disabled"}, 0, SuccessBlock("Device Policy mode has been set"), ""},
      {{"-set-acl-mode", "deny", "1"}, 0, SuccessBlock("ACL mode has been set"), ""},
      {{"-add-acl", "10.0.0.9", "1"}, 0, SuccessBlock("ACL rule has been added"), ""},
      {{"-list-acl", "1"},
       0,
       "\n========================= USB DEVICE ACL ========================\n\n"
       "Device: ACME Mouse - USB Mouse\n\n"
       "Mode: deny (deny connections for listed clients and allow all others)\n\n"
       "   1: 10.0.0.9\n" +
           std::string(kListEnd),
       ""},
      {{"-remove-acl", "1-1"}, 0, SuccessBlock("ACL rule has been removed"), ""},
      {{"-remove-acl", "all", "1"}, 0, SuccessBlock("All ACL rules have been removed"), ""},
      {{"-set-acl-mode", "disabled", "1"}, 0, SuccessBlock("ACL mode has been set"), ""},
  };
  RunSteps(steps, [&](const std::vector<std::string>& words) { return Calvix(words); });

  // A shared device that leaves stays listed.
  ASSERT_EQ(Calvix({"-share", "1"}).exitCode, 0);
  ASSERT_EQ(Driver("unplug 1-1"), "ok");
  EXPECT_TRUE(testwait::waitUntil([&] { return Calvix({"-list-devices"}).out == DeviceList("not plugged, shared"); },
                                  15s))
      << Calvix({"-list-devices"}).out;
}

// Lists with the device in several states, a session client using it, and
// a callback connection that cannot be reached.
TEST_F(CalvixAgainstDaemon, ConnectDisconnectAndCallbacks) {
  ASSERT_EQ(Driver("plug 1-1 serial=SN0001"), "ok");
  ASSERT_TRUE(WaitForLog("USB device plugged (ACME Mouse")) << Log();
  ASSERT_EQ(Calvix({"-share", "1"}).exitCode, 0);
  ASSERT_TRUE(testwait::waitUntil([&] { return Driver("stub 1-1") != "ok -1"; }, 15s)) << Log();

  Connection session;
  uint32_t sessionId = 0;
  ASSERT_TRUE(OpenSession(&session, &sessionId, 144));
  sockaddr_in local = {};
  socklen_t length = sizeof local;
  ASSERT_EQ(getsockname(session.fd(), reinterpret_cast<sockaddr*>(&local), &length), 0);
  const std::string shortId = std::to_string(sessionId & 0x0FFFFFFF);

  // calvix waits until the client has opened the device's data connection.
  RunResult connected;
  std::thread connecting([&] { connected = Calvix({"-connect-to", shortId + "-1"}); });
  bool commanded = false;
  for (int i = 0; i < 20 && !commanded; ++i) {
    calvixwire::Record record;
    if (!session.readRecord(&record)) break;
    commanded = record.type == 8 && record.word(8) == 1 && record.word(12) == 1;
  }
  ASSERT_TRUE(commanded);
  Connection data;
  bool opened = false;
  daemon.InNetwork([&] { opened = data.connectTcp("127.0.0.1", 32032); });
  data.setTimeoutMs(30000);
  ASSERT_TRUE(opened && data.handshake('C', calvixwire::kServerVersion, 144));
  std::vector<uint8_t> echo;
  ASSERT_TRUE(data.sendBytes(calvixwire::connectRecord(1, sessionId, 144, &echo)));
  ASSERT_EQ(data.receive(16), echo);
  ASSERT_TRUE(data.sendBytes("7", 1));
  ASSERT_EQ(data.receive(1), std::vector<uint8_t>{'6'});
  connecting.join();
  EXPECT_EQ(connected.exitCode, 0) << connected.err;
  EXPECT_EQ(connected.out, SuccessBlock("USB device connected to client"));
  ASSERT_TRUE(data.negotiate());

  const std::string client = "127.0.0.1:" + std::to_string(ntohs(local.sin_port));
  RunResult list = Calvix({"-list-devices"});
  EXPECT_EQ(list.out, DeviceList("in use by 127.0.0.1"));
  // Nothing from the driver for a second: the device is in use but inactive.
  ASSERT_EQ(Calvix({"-set-timeout", "1", "1"}).exitCode, 0);
  const std::string inactive = "\n=================== LIST OF LOCAL USB DEVICES ===================\n"
                               "\n   1: ACME Mouse - USB Mouse\n"
                               "      Vid: 1234   Pid: 5678   Serial: SN0001\n"
                               "      Status: in use by 127.0.0.1, inactive\n"
                               "      Inactivity timeout: 1 seconds\n" +
                               std::string(kListEnd);
  EXPECT_TRUE(testwait::waitUntil([&] { return Calvix({"-list-devices"}).out == inactive; }, 15s))
      << Calvix({"-list-devices"}).out;
  ASSERT_EQ(Calvix({"-set-timeout", "0", "1"}).exitCode, 0);
  list = Calvix({"-list-clients"});
  EXPECT_EQ(list.out, "\n=================== LIST OF CONNECTED CLIENTS ===================\n"
                      "\n   " + shortId + ": Client at " + client + "\n"
                      "      Platform: Linux   Status: connected\n"
                      "      Uses device    1: ACME Mouse\n" + kListEnd);

  // The daemon tells the client to let the device go; it is free once the
  // client has closed the data connection.
  RunResult r = Calvix({"-disconnect", "1"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, SuccessBlock("USB device disconnected from client"));
  commanded = false;
  for (int i = 0; i < 20 && !commanded; ++i) {
    calvixwire::Record record;
    if (!session.readRecord(&record)) break;
    commanded = record.type == 8 && record.word(8) == 1 && record.word(12) == 2;
  }
  EXPECT_TRUE(commanded);
  data.close();
  EXPECT_TRUE(testwait::waitUntil([&] { return Calvix({"-list-devices"}).out == DeviceList("plugged, shared"); },
                                  15s));

  // A callback connection to a port nobody listens on: added, listed as
  // down beside the session client, switched, closed.
  r = Calvix({"-create-callback", "127.0.0.1:40000"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, SuccessBlock("Callback connection to remote USB client has been added"));
  // Connection numbers are shared by sessions and callbacks.
  const std::string callbackId = std::to_string((sessionId & 0x0FFFFFFF) + 1);
  const std::string clients = "\n=================== LIST OF CONNECTED CLIENTS ===================\n"
                              "\n   " + shortId + ": Client at " + client + "\n"
                              "      Platform: Linux   Status: connected\n"
                              "\n   " + callbackId + ": Client at 127.0.0.1:40000 - callback connection\n"
                              "      Platform: unknown   Mode: %s   Status: disconnected\n" + kListEnd;
  auto listed = [&](const char* mode) {
    char expected[1024];
    snprintf(expected, sizeof expected, clients.c_str(), mode);
    return testwait::waitUntil([&] { return Calvix({"-list-clients"}).out == expected; }, 15s);
  };
  EXPECT_TRUE(listed("manual-connect")) << Calvix({"-list-clients"}).out;

  const std::vector<Step> steps = {
      {{"-remote-auto-connect", "on", callbackId},
       0,
       SuccessBlock("Remote USB client switched to auto-connect mode"),
       ""},
      {{"-close-callback", "-client", "127.0.0.1:40000"},
       0,
       SuccessBlock("Callback connection to USB client has been closed"),
       ""},
      {{"-close-callback", "-client", "127.0.0.1:40000"},
       3,
       "",
       ErrorBlock("Selected callback connection not found, please check parameters and try again.")},
      {{"-close-callback", "99"},
       5,
       "",
       OperationError("Can not close callback connection to USB client. Selected client not found, please check "
                      "parameters and try again.\nError 1356 module "),
       true},
      {{"-create-callback", "127.0.0.1:40001"},
       0,
       SuccessBlock("Callback connection to remote USB client has been added"),
       ""},
      {{"-close-callback", "all"}, 0, SuccessBlock("All callback connections have been closed"), ""},
      {{"-disconnect-from", "all"}, 0, SuccessBlock("All USB devices disconnected"), ""},
  };
  RunSteps(steps, [&](const std::vector<std::string>& words) { return Calvix(words); });
  std::string left = "\n=================== LIST OF CONNECTED CLIENTS ===================\n"
                     "\n   " + shortId + ": Client at " + client + "\n"
                     "      Platform: Linux   Status: connected\n" + std::string(kListEnd);
  EXPECT_TRUE(testwait::waitUntil([&] { return Calvix({"-list-clients"}).out == left; }, 15s))
      << Calvix({"-list-clients"}).out;
}

TEST_F(CalvixAgainstDaemon, AccessThroughTheGroupsAndAnUnreachableDaemon) {
  RunResult alice = Calvix({"-version"}, 1000);
  EXPECT_EQ(alice.exitCode, 0) << alice.err;
  EXPECT_EQ(alice.out, "USB Calvento for Linux v.3.10\n");

  RunResult bob = Calvix({"-version"}, 1001);
  EXPECT_EQ(bob.exitCode, 2);
  EXPECT_EQ(bob.out, "");
  EXPECT_EQ(bob.err.rfind(ErrorBlock("").substr(0, 67) + "Command line initialization error. ", 0), 0u) << bob.err;

  ASSERT_TRUE(daemon.Stop()) << Log();
  RunResult gone = Calvix({"-list-devices"});
  EXPECT_EQ(gone.exitCode, 2);
  EXPECT_EQ(gone.out, "");
  EXPECT_EQ(gone.err,
            ErrorBlock("Can not connect to USB Calvento for Linux daemon.\nPlease make sure the daemon is running. "
                       "If not, you can try\nstarting it manually. In case of failure, please check log file\nat "
                       "/var/log/calvixd.log and contact our support team."));
}

// The client API with change notifications, as a tool that stays open
// would use it: after a burst of plugs and unplugs its cached list ends as
// the daemon's, without a request of its own.
TEST_F(CalvixAgainstDaemon, NotificationsAfterABurstOfDeviceEvents) {
  std::atomic<int> notified{0};
  bool opened = false;
  ASSERT_TRUE(daemon.InNetworkAndIpc([&] { opened = ApiOpen(true); }));
  ASSERT_TRUE(opened) << ApiGetLastError(nullptr);
  ASSERT_TRUE(ApiSetNotifyCallback([](void* count) { ++*static_cast<std::atomic<int>*>(count); }, &notified));
  auto cached = [] {
    uint32_t size = 0;
    return ApiListDevices(nullptr, &size) ? size / sizeof(API_DEVICE_RECORD) : 0;
  };
  EXPECT_EQ(cached(), 0u);

  constexpr int kDevices = 24;
  for (int i = 1; i <= kDevices; ++i)
    ASSERT_EQ(Driver("plug 1-" + std::to_string(i) + " serial=B" + std::to_string(i)), "ok");
  EXPECT_TRUE(testwait::waitUntil([&] { return cached() == kDevices; }, 15s)) << cached();
  // The cache is refreshed before the callback runs.
  EXPECT_TRUE(testwait::waitUntil([&] { return notified.load() > 0; }, 15s)) << "a notification";
  for (int i = 1; i < kDevices; ++i)
    ASSERT_EQ(Driver("unplug 1-" + std::to_string(i)), "ok");
  EXPECT_TRUE(testwait::waitUntil([&] { return cached() == 1; }, 15s)) << cached();
  API_DEVICE_RECORD last;
  uint32_t size = sizeof last;
  ASSERT_TRUE(ApiListDevices(&last, &size));
  EXPECT_STREQ(last.serial, ("B" + std::to_string(kDevices)).c_str());
  ApiClose();
}


// The TCP port and the listen address change at run time: the listener
// moves, the file keeps the new values, and a failed restart still saves.
TEST_F(CalvixAgainstDaemon, TcpPortAndListenAddressChanges) {
  auto reaches = [&](const char* host, uint16_t port) {
    Connection client;
    bool opened = false;
    daemon.InNetwork([&] { opened = client.connectTcp(host, port); });
    client.setTimeoutMs(30000);
    return opened && client.handshake('E', calvixwire::kServerVersion, 1);
  };
  auto config = [&] { return nsrun::readFile(daemon.Run()->hostPath("/etc/calvixd.conf")); };
  ASSERT_TRUE(reaches("127.0.0.1", 32032));

  RunResult moved = Calvix({"-set-tcp-port", "32100"});
  EXPECT_EQ(moved.exitCode, 0) << moved.err;
  EXPECT_EQ(moved.out, SuccessBlock("TCP port has been changed"));
  EXPECT_TRUE(WaitForLog("TCP port changed to 32100\n")) << Log();
  EXPECT_TRUE(reaches("127.0.0.1", 32100));
  EXPECT_FALSE(reaches("127.0.0.1", 32032));
  EXPECT_NE(config().find("tcpport=32100\n"), std::string::npos) << config();

  // A port another program holds: the tool's text and exit code 6; the port
  // is saved all the same.
  int holder = -1;
  daemon.InNetwork([&] {
    holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(32200);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    ASSERT_EQ(listen(holder, 1), 0);
  });
  RunResult held = Calvix({"-set-tcp-port", "32200"});
  close(holder);
  EXPECT_EQ(held.exitCode, 6) << held.err;
  EXPECT_EQ(held.err.rfind(OperationError("Can not change TCP port. Can not bind USB device, please try again.\n"
                                         "Error -268435455 module 0x0002 line "),
                          0),
            0u)
      << held.err;
  EXPECT_TRUE(WaitForLog("Can not restart TCP server after changing TCP port, selected TCP port is used by another "
                         "app (error -268435455 module 0x"))
      << Log();
  EXPECT_NE(config().find("tcpport=32200\n"), std::string::npos) << config();

  // Port 0: no TCP listener; the remote-desktop pipe still serves.
  RunResult off = Calvix({"-set-tcp-port", "0"});
  EXPECT_EQ(off.exitCode, 0) << off.err;
  EXPECT_TRUE(WaitForLog("TCP server disabled\n")) << Log();
  EXPECT_FALSE(reaches("127.0.0.1", 32200));
  EXPECT_FALSE(reaches("127.0.0.1", 0));
  Connection pipe;
  bool piped = false;
  daemon.InNetwork([&] { piped = pipe.connectPipe("calvixdvc.pipe"); });
  EXPECT_TRUE(piped);

  // The listen address: IPv4 only; a stopped TCP server stays stopped.
  // Every request of the client API connects anew, from the calling
  // thread's namespace.
  ASSERT_TRUE(daemon.InNetwork([&] {
    ASSERT_TRUE(ApiOpen(false)) << ApiGetLastError(nullptr);
    const uint8_t v6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    EXPECT_FALSE(ApiSetListenAddressV6(v6));
    EXPECT_EQ(ApiGetLastError(nullptr), 87u);
    const uint8_t loopback2[4] = {127, 0, 0, 2};
    EXPECT_TRUE(ApiSetListenAddressV4Bytes(loopback2)) << ApiGetLastError(nullptr);
  }));
  EXPECT_TRUE(WaitForLog("IPv4 network interface changed to 127.0.0.2\n")) << Log();
  EXPECT_NE(config().find("interface=127.0.0.2\n"), std::string::npos) << config();
  EXPECT_FALSE(reaches("127.0.0.2", 0));

  // With a port again the server listens on that address only.
  ASSERT_TRUE(daemon.InNetwork([&] {
    EXPECT_TRUE(ApiSetTcpPort(32300)) << ApiGetLastError(nullptr);
    ApiClose();
  }));
  EXPECT_TRUE(reaches("127.0.0.2", 32300));
  EXPECT_FALSE(reaches("127.0.0.1", 32300));

  // The next start listens where the file says.
  std::string saved = config();
  ASSERT_TRUE(daemon.Stop());
  ravelsim::SimDaemon again;
  std::string error;
  ASSERT_TRUE(again.Start(CALVIXD_SIM_BIN, saved, &error)) << error;
  EXPECT_TRUE(again.WaitForLog("TCPv4 server started on 127.0.0.2:32300\n")) << again.Log();
}


}  // namespace
