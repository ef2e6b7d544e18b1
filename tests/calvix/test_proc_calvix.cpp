// The calvix binary against a fake control server: every action with
// its result block and exit code, the list outputs, and the ways the open
// fails. The test process lives in private network and IPC namespaces, so
// the abstract control socket is its own and no daemon of this machine can
// answer.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/calvix/fakecontrolserver.h"

namespace {

using namespace fakecalvixd;

const bool g_namespaces = EnterPrivateNamespaces();

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
  return text;
}

// Runs calvix in this process's namespaces. A run that has not ended after
// 30 s is killed and reported with exit code -1.
RunResult RunCalvix(const std::vector<std::string>& words) {
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

  RunResult result;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(outFd, STDOUT_FILENO);
    dup2(errFd, STDERR_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      status = -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (status != -1 && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  result.out = ReadAll(outFd);
  result.err = ReadAll(errFd);
  close(outFd);
  close(errFd);
  return result;
}

std::string ErrorBlock(const std::string& message) {
  return "\n***************************** ERROR *****************************\n" + message +
         "\n********************* *********************** *******************\n\n";
}

std::string SuccessBlock(const std::string& message) {
  return "\n====================== OPERATION SUCCESSFUL =====================\n" + message +
         "\n===================== ======================= ===================\n\n";
}

// The operation error block up to the error line's line number.
std::string OperationErrorStart(const std::string& text) {
  return "\n***************************** ERROR *****************************\n" + text;
}

const char kConnectBlock[] =
    "Can not connect to USB Calvento for Linux daemon.\nPlease make sure the daemon is running. If not, you can "
    "try\nstarting it manually. In case of failure, please check log file\nat /var/log/calvixd.log and contact our "
    "support team.";

Model StandardModel() {
  Model m;
  Connection listener;
  listener.id = 0;
  listener.state = 0;
  listener.flags = 0x20;
  listener.port = 32032;
  m.connections.push_back(listener);

  Connection client;
  client.id = 0x80000005;
  client.flags = 0x420;
  client.name = "10.0.0.7";
  client.address = Ipv4("10.0.0.7");
  client.port = 40000;
  client.platform = 85;
  m.connections.push_back(client);

  Connection client6;
  client6.id = 0x80000006;
  client6.flags = 0x420;
  client6.name = "fe80::5";
  client6.address = Ipv6("fe80::5");
  client6.port = 40001;
  client6.platform = 144;
  m.connections.push_back(client6);

  Connection callback;
  callback.id = 0xC0000003;
  callback.state = 1;
  callback.error = {2, 300, 1233};
  callback.flags = 0x23;
  callback.name = "192.168.0.10";
  callback.address = Ipv4("192.168.0.10");
  callback.port = 32032;
  callback.platform = 122;
  m.connections.push_back(callback);

  Device flash;
  flash.id = 8;
  flash.state = 0;
  flash.vendorId = 0x0441;
  flash.productId = 0x0012;
  flash.deviceClass = 8;
  flash.product = "Flash Disk";
  flash.identity = "1-2";
  flash.busId = "1-2";
  m.devices.push_back(flash);

  Device printer;
  printer.id = 5;
  printer.owner = 0x80000005;
  printer.state = 4;
  printer.flags = 0x4000 | 0x20 | 0x10 | 0x4;
  printer.timeout = 30;
  printer.clientAddress = Ipv4("10.0.0.7");
  printer.vendorId = 0x04b8;
  printer.productId = 0x0005;
  printer.deviceClass = 7;
  printer.product = "Printer";
  printer.nickname = "My Printer";
  printer.identity = "2-1";
  printer.serial = "S5";
  printer.busId = "2-1";
  m.devices.push_back(printer);

  Device mouse;
  mouse.id = 3;
  mouse.state = 3;
  mouse.flags = 0x10;
  mouse.vendorId = 0x046d;
  mouse.productId = 0xc52b;
  mouse.deviceClass = 3;
  mouse.deviceProtocol = 2;
  mouse.product = "Receiver";
  mouse.identity = "ABC123";
  mouse.serial = "ABC123";
  mouse.busId = "1-3";
  m.devices.push_back(mouse);

  Device hub;
  hub.id = 12;
  hub.state = 5;
  hub.vendorId = 0x05e3;
  hub.productId = 0x0608;
  hub.deviceClass = 9;
  hub.product = "Old Hub";
  hub.identity = "1-4";
  hub.busId = "1-4";
  m.devices.push_back(hub);

  m.usages.push_back({5, Ipv4("10.0.0.7"), "office-pc"});
  m.ipFilters = {1, {"10.0.0.0/8 (office)", "192.168.0.0/16"}};
  m.acls[8] = {2, {"10.0.0.7"}};
  m.instanceIds[8] = "/dev/bus/usb/001/002";
  return m;
}

class CalvixTool : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(g_namespaces) << "private namespaces need root";
    server.With([](Model& m) { m = StandardModel(); });
    ASSERT_TRUE(server.Start());
  }
  Server server;
};

struct ActionCase {
  std::vector<std::string> words;
  int exitCode;
  std::string out;  // exact standard output
  std::string err;  // exact standard error, or its start when errPrefix
  bool errPrefix = false;
};

std::string Words(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& w : words) text += "'" + w + "' ";
  return text;
}

TEST_F(CalvixTool, EveryActionPrintsItsBlockAndExitCode) {
  const std::string syntax = ErrorBlock("Syntax error in the command line.");
  const std::string invalidDevice =
      ErrorBlock("Invalid or incomplete device identifiers specified, please check parameters and try again.");
  const std::string noDevice = ErrorBlock("Selected device not found, please check parameters and try again.");
  const std::string invalidRule = ErrorBlock("Invalid or no rule specified, please check and try again.");
  const std::string invalidMode =
      ErrorBlock("Invalid mode specified, please enter one of the following: allow, deny or disabled.");
  const std::string invalidPort = ErrorBlock("Invalid TCP port number, please check and try again.");
  const std::string noCallback =
      ErrorBlock("Selected callback connection not found, please check parameters and try again.");
  const std::vector<ActionCase> cases = {
      {{"-bogus"}, 1, "", ErrorBlock("Unknown parameter specified in the command line.")},
      {{"-vid", "zz"}, 1, "", syntax},
      {{"-share", "1", "-unshare", "2"},
       1,
       "",
       ErrorBlock("Multiple actions specified in the command line, please specify just one!")},
      {{"-version"}, 0, "USB Calvento for Linux v.3.10\n", ""},
      {{"-share", "8"}, 0, SuccessBlock("USB device has been shared"), ""},
      {{"-share", "3"}, 0, SuccessBlock("USB device has been shared"), ""},
      {{"-share", "-vid", "0441", "-pid", "0012"}, 0, SuccessBlock("USB device has been shared"), ""},
      {{"-share", "-usb-port", "1-2"}, 0, SuccessBlock("USB device has been shared"), ""},
      {{"-share", "-device-name", "flash disk"}, 0, SuccessBlock("USB device has been shared"), ""},
      {{"-share", "-vid", "0441"}, 1, "", invalidDevice},
      {{"-share", "-vid", "10441", "-pid", "12"}, 1, "", invalidDevice},
      {{"-share", "-usb-port", "9-9"}, 3, "", noDevice},
      {{"-share", "99"},
       5,
       "",
       OperationErrorStart("Can not share USB device. Selected device not found, please check parameters and try "
                           "again.\nError 1354 module 0x0001 line 500\n") +
           "********************* *********************** *******************\n\n"},
      {{"-unshare", "3"}, 0, SuccessBlock("USB device has been unshared"), ""},
      {{"-unshare", "8"}, 0, SuccessBlock("USB device has been unshared"), ""},
      {{"-disconnect", "5"}, 0, SuccessBlock("USB device disconnected from client"), ""},
      {{"-disconnect-from", "8"}, 0, SuccessBlock("USB device disconnected from client"), ""},
      {{"-disconnect-from", "all"}, 0, SuccessBlock("All USB devices disconnected"), ""},
      {{"-add-exclusion", "8"}, 0, SuccessBlock("Device has been added to exclusion list"), ""},
      {{"-remove-exclusion", "8"}, 0, SuccessBlock("Device has been removed from exclusion list"), ""},
      {{"-auto-share", "on"}, 0, SuccessBlock("Switched to auto-sharing mode"), ""},
      {{"-auto-share", "off"}, 0, SuccessBlock("Switched to manual-sharing mode"), ""},
      {{"-set-tcp-port", "0"}, 0, SuccessBlock("TCP port has been changed"), ""},
      {{"-set-tcp-port", "70000"}, 1, "", invalidPort},
      {{"-set-tcp-port"}, 1, "", invalidPort},
      {{"-create-callback", "192.168.0.20:32032"},
       0,
       SuccessBlock("Callback connection to remote USB client has been added"),
       ""},
      {{"-create-callback", "rdp://desk"}, 0, SuccessBlock("Callback connection to remote USB client has been added"), ""},
      {{"-create-callback", "1.2.3.4"}, 1, "", invalidPort},
      {{"-close-callback", "3"}, 0, SuccessBlock("Callback connection to USB client has been closed"), ""},
      {{"-close-callback", "192.168.0.10:32032"}, 0, SuccessBlock("Callback connection to USB client has been closed"), ""},
      {{"-close-callback", "10.9.9.9:1"}, 3, "", noCallback},
      {{"-close-callback", "all"}, 0, SuccessBlock("All callback connections have been closed"), ""},
      {{"-auto-connect", "on", "3"}, 0, SuccessBlock("Remote USB client switched to auto-connect mode"), ""},
      {{"-remote-auto-connect", "off", "3"}, 0, SuccessBlock("Remote USB client switched to manual-connect mode"), ""},
      {{"-auto-connect", "off", "5"}, 3, "", noCallback},
      {{"-auto-connect", "on"},
       1,
       "",
       ErrorBlock("Invalid or incomplete callback identifier specified, please check parameters and try again.")},
      {{"-set-reset-method", "hard", "8"}, 0, SuccessBlock("Reset method has been set"), ""},
      {{"-set-reset-method", "gentle", "8"},
       1,
       "",
       ErrorBlock("Invalid reset method specified, please enter one of the following: hard, soft, replug or disabled.")},
      {{"-set-nickname", "Disk", "8"}, 0, SuccessBlock("Nickname has been set"), ""},
      {{"-set-nickname", "", "8"}, 0, SuccessBlock("Nickname has been removed"), ""},
      {{"-set-nickname", std::string(256, 'n'), "8"},
       1,
       "",
       ErrorBlock("Invalid nickname specified, please check and try again.")},
      {{"-set-timeout", "+5", "8"}, 0, SuccessBlock("Inactivity timeout has been set"), ""},
      {{"-set-timeout", "0", "8"}, 0, SuccessBlock("Inactivity timeout has been disabled"), ""},
      {{"-connect-to", "5-3"}, 0, SuccessBlock("USB device connected to client"), ""},
      {{"-connect", "3", "-client", "10.0.0.7:40000"}, 0, SuccessBlock("USB device connected to client"), ""},
      {{"-connect", "3", "-client", "[fe80::5]:40001"}, 0, SuccessBlock("USB device connected to client"), ""},
      {{"-connect", "3"},
       1,
       "",
       ErrorBlock("Invalid or incomplete client identifier specified, please check parameters and try again.")},
      {{"-connect", "3", "-client", "10.0.0.99:1"},
       3,
       "",
       ErrorBlock("Selected client not found, please check parameters and try again.")},
      {{"-pnp-instance-id", "8"}, 0, "/dev/bus/usb/001/002\n", ""},
      {{"-pnp-instance-id", "3"}, 0, "\n", ""},
      {{"-add-ip-filter", "10.1.0.0/16"}, 0, SuccessBlock("IP Filter rule has been added"), ""},
      {{"-add-ip-filter", "10.0.0.0/8 (lab)"}, 0, SuccessBlock("IP Filter rule has been added"), ""},
      {{"-add-ip-filter", "(comment only)"},
       5,
       "",
       OperationErrorStart("Can not add IP filter. Invalid parameter specified.\nError 87 module 0x0019 line "),
       true},
      {{"-add-ip-filter"}, 1, "", invalidRule},
      {{"-remove-ip-filter", "10.0.0.0/8 (anything)"}, 0, SuccessBlock("IP Filter rule has been removed"), ""},
      {{"-remove-ip-filter", "2"}, 0, SuccessBlock("IP Filter rule has been removed"), ""},
      {{"-remove-ip-filter", "3"},
       5,
       "",
       OperationErrorStart("Can not remove IP filter. Selected rule not found, please check parameters and try "
                           "again.\nError 2 module 0x0019 line "),
       true},
      {{"-remove-ip-filter", "all"}, 0, SuccessBlock("All IP Filter rules have been removed"), ""},
      {{"-set-ip-filters-mode", "deny"}, 0, SuccessBlock("IP Filters mode has been set"), ""},
      {{"-set-ip-filters-mode", "maybe"}, 1, "", invalidMode},
      {{"-add-acl", "10.0.0.8", "8"}, 0, SuccessBlock("ACL rule has been added"), ""},
      {{"-add-acl", "10.0.0.7 (again)", "8"}, 0, SuccessBlock("ACL rule has been added"), ""},
      {{"-remove-acl", "8-1"}, 0, SuccessBlock("ACL rule has been removed"), ""},
      {{"-remove-acl", "10.0.0.7", "8"}, 0, SuccessBlock("ACL rule has been removed"), ""},
      {{"-remove-acl", "8-0"}, 1, "", invalidRule},
      {{"-remove-acl", "all", "8"}, 0, SuccessBlock("All ACL rules have been removed"), ""},
      {{"-set-acl-mode", "allow", "8"}, 0, SuccessBlock("ACL mode has been set"), ""},
      {{"-add-device-policy-rule", "sticks", "-vid", "0441"}, 0, SuccessBlock("Device Policy rule has been added"), ""},
      {{"-add-device-policy-rule", "wide", "-class", "100"}, 1, "", invalidRule},
      {{"-add-device-policy-rule", "nothing"}, 1, "", invalidRule},
      {{"-remove-device-policy-rule", "1"},
       5,
       "",
       OperationErrorStart("Can not remove Device Policy rule. Selected rule not found, please check parameters and "
                           "try again.\nError 2 module 0x0019 line "),
       true},
      {{"-remove-device-policy-rule", "all"}, 0, SuccessBlock("All Device Policy rules have been removed"), ""},
      {{"-set-device-policy-mode", "deny"}, 0, SuccessBlock("Device Policy mode has been set"), ""},
      {{"-help"}, 1, "", ""},
      {{"-disconnect", "all"}, 1, "", ""},
      {{}, 1, "", ""},
  };
  for (const ActionCase& c : cases) {
    server.With([](Model& m) { m = StandardModel(); });
    RunResult r = RunCalvix(c.words);
    EXPECT_EQ(r.exitCode, c.exitCode) << Words(c.words) << r.err;
    if (c.exitCode == 1 && c.err.empty()) {
      // The usage text.
      EXPECT_EQ(r.out.rfind("\nUSB Calvento for Linux v.3.10\n\nUsage:\n\ncalvix <command>\n", 0), 0u)
          << Words(c.words) << r.out;
      EXPECT_NE(r.out.find("parametersthat identify"), std::string::npos);
      EXPECT_NE(r.out.find("calvix -set-timeout 15 5\n\nThis unique software product allows using USB devices "
                           "remotely\nby redirecting them over local network or Internet.\n\n"),
                std::string::npos);
      continue;
    }
    EXPECT_EQ(r.out, c.out) << Words(c.words);
    if (c.errPrefix)
      EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << Words(c.words) << r.err;
    else
      EXPECT_EQ(r.err, c.err) << Words(c.words);
  }
}

TEST_F(CalvixTool, ActionsChangeTheDaemonStateTheyName) {
  RunResult r = RunCalvix({"-share", "-vid", "0441", "-pid", "0012"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(server.With([](Model& m) { return m.FindDevice(8)->state; }), 3u);

  // -share by id: version, start-up state, snapshot, then the share itself.
  server.ClearRequests();
  ASSERT_EQ(RunCalvix({"-share", "12"}).exitCode, 0);
  std::vector<Request> requests = server.Requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0].code, 0x3007u);
  EXPECT_EQ(requests[1].code, 0x1007u);
  EXPECT_EQ(requests[2].code, 0x1002u);
  EXPECT_EQ(requests[3].bytes, (std::vector<uint8_t>{0x03, 0x10, 0, 0, 12, 0, 0, 0}));

  ASSERT_EQ(RunCalvix({"-set-timeout", "+5", "8"}).exitCode, 0);
  EXPECT_EQ(server.With([](Model& m) { return m.FindDevice(8)->timeout; }), 5u);
  ASSERT_EQ(RunCalvix({"-set-timeout", "-deviceid", "8"}).exitCode, 0);
  EXPECT_EQ(server.With([](Model& m) { return m.FindDevice(8)->timeout; }), 0xFFFFFFFFu);

  ASSERT_EQ(RunCalvix({"-connect", "3", "-client", "[fe80::5]:40001"}).exitCode, 0);
  EXPECT_EQ(server.With([](Model& m) { return m.FindDevice(3)->owner; }), 0x80000006u);

  ASSERT_EQ(RunCalvix({"-add-ip-filter", "10.1.0.0/16 (lab)"}).exitCode, 0);
  ASSERT_EQ(RunCalvix({"-remove-ip-filter", "10.0.0.0/8"}).exitCode, 0);
  RuleList filters = server.With([](Model& m) { return m.ipFilters; });
  EXPECT_EQ(filters.mode, 1);
  EXPECT_EQ(filters.rules, (std::vector<std::string>{"192.168.0.0/16", "10.1.0.0/16 (lab)"}));

  ASSERT_EQ(RunCalvix({"-add-device-policy-rule", "sticks", "-vid", "0441", "-serial", "X1"}).exitCode, 0);
  // The same criteria under another name: already there, nothing written.
  ASSERT_EQ(RunCalvix({"-add-device-policy-rule", "other", "-vid", "0441", "-serial", "X1"}).exitCode, 0);
  std::vector<PolicyRule> policy = server.With([](Model& m) { return m.policy; });
  ASSERT_EQ(policy.size(), 1u);
  EXPECT_EQ(policy[0], (PolicyRule{0x81, 0x0441, 0, 0, 0, 0, "", "X1", "sticks"}));
  ASSERT_EQ(RunCalvix({"-remove-device-policy-rule", "-vid", "441", "-serial", "X1"}).exitCode, 0);
  EXPECT_TRUE(server.With([](Model& m) { return m.policy.empty(); }));
}

TEST_F(CalvixTool, ListsShowTheDaemonState) {
  server.With([](Model& m) { m.policy.push_back({0x1 | 0x40, 0x0441, 0, 0, 0, 0, "1-2", "", "sticks"}); });
  server.With([](Model& m) { m.policy.push_back({0, 0, 0, 0, 0, 0, "", "", ""}); });
  const std::string close = "\n===================== ======================= ===================\n\n";
  struct {
    std::vector<std::string> words;
    std::string out;
  } const cases[] = {
      {{"-list-devices"},
       "\n=================== LIST OF LOCAL USB DEVICES ===================\n"
       "\n   3: Receiver - USB Mouse\n"
       "      Vid: 046d   Pid: c52b   Serial: ABC123\n"
       "      Status: plugged, shared\n"
       "\n   5: My Printer (s/n: S5)\n"
       "      Vid: 04b8   Pid: 0005   Port: 2-1\n"
       "      Status: in use by office-pc\n"
       "      Inactivity timeout: 30 seconds\n"
       "\n   8: Flash Disk - USB Mass Storage Device\n"
       "      Vid: 0441   Pid: 0012   Port: 1-2\n"
       "      Status: plugged\n"
       "\n  12: Old Hub\n"
       "      Vid: 05e3   Pid: 0608   Port: 1-4\n"
       "      Status: not plugged, shared\n" +
           close},
      {{"-list-clients"},
       "\n=================== LIST OF CONNECTED CLIENTS ===================\n"
       "\n   5: Client at 10.0.0.7:40000\n"
       "      Platform: Windows 7   Status: connected\n"
       "      Uses device    5: Printer\n"
       "\n   6: Client at fe80::5:40001\n"
       "      Platform: Linux   Status: connected\n"
       "\n   3: Client at 192.168.0.10:32032 - callback connection\n"
       "      Platform: Windows 10 x64   Mode: auto-connect   Status: incompatible version\n" +
           close},
      {{"-info"},
       "\n===================== USB SERVER INFORMATION ====================\n"
       "Total USB devices in configuration: 4\n"
       "Total connected clients: 2\n"
       "USB device sharing mode: manual sharing\n"
       "USB server accepts incoming connections on 32032 tcp port\n"
       "Device Policy mode: disabled\n"
       "IP Filters mode: allow\n"
       "===================== ======================= ===================\n\n"},
      {{"-list-ip-filters"},
       "\n===================== USB SERVER IP FILTERS =====================\n\n"
       "Mode: allow (allow connections from listed computers and deny all others)\n\n"
       "   1: 10.0.0.0/8 (office)\n"
       "   2: 192.168.0.0/16\n" +
           close},
      {{"-list-acl", "8"},
       "\n========================= USB DEVICE ACL ========================\n\n"
       "Device: Flash Disk - USB Mass Storage Device\n\n"
       "Mode: deny (deny connections for listed clients and allow all others)\n\n"
       "   1: 10.0.0.7\n" +
           close},
      {{"-list-acl", "12"},
       "\n========================= USB DEVICE ACL ========================\n\n"
       "Device: Old Hub\n\n"
       "Mode: disabled (acl disabled, all connections allowed)\n\n"
       "<no rules>" +
           close},
      {{"-list-device-policy"},
       "\n==================== USB SERVER DEVICE POLICY ===================\n\n"
       "Mode: disabled (device policy disabled, allow redirection of all usb devices)\n"
       "\n   1: sticks\n"
       "      Vid: 0441   Pid: <any>  Class: <any>  SubClass: <any>  Protocol: <any>  Port: 1-2  Serial: <any>\n"
       "\n   2: <rule without name>\n"
       "      Vid: <any>  Pid: <any>  Class: <any>  SubClass: <any>  Protocol: <any>  Port: <any>  Serial: <any>\n" +
           close},
  };
  for (const auto& c : cases) {
    RunResult r = RunCalvix(c.words);
    EXPECT_EQ(r.exitCode, 0) << Words(c.words) << r.err;
    EXPECT_EQ(r.out, c.out) << Words(c.words);
    EXPECT_EQ(r.err, "") << Words(c.words);
  }

  server.With([](Model& m) {
    m = Model();
    m.connections.push_back(StandardModel().connections[0]);
  });
  EXPECT_EQ(RunCalvix({"-list-devices"}).out,
            "\n=================== LIST OF LOCAL USB DEVICES ===================\n\n<no devices>" + close);
  EXPECT_EQ(RunCalvix({"-list-clients"}).out,
            "\n=================== LIST OF CONNECTED CLIENTS ===================\n\n<no clients>" + close);
  EXPECT_EQ(RunCalvix({"-list-device-policy"}).out,
            "\n==================== USB SERVER DEVICE POLICY ===================\n\n"
            "Mode: disabled (device policy disabled, allow redirection of all usb devices)\n\n<no rules>" +
                close);
}

// Escape sequences and line breaks in texts from devices, clients and the
// daemon's lists reach the terminal as '?' in every list: a device or a
// remote client cannot write to the user's terminal through calvix.
TEST_F(CalvixTool, ListsPrintTextsWithoutControlBytes) {
  // "<ESC>]0;pwn<BEL>" sets the terminal's title, "<ESC>[2K" erases the
  // line, "\r" returns to its start.
  const std::string evil = "\x1b]0;pwn\x07\x1b[2K\r";
  const std::string shown = "?]0;pwn??[2K?";
  server.With([&](Model& m) {
    m = Model();
    m.connections.push_back(StandardModel().connections[0]);
    Connection client;
    client.id = 0x80000005;
    client.flags = 0x420;
    client.name = "host" + evil;
    client.address = Ipv4("10.0.0.7");
    client.port = 40000;
    client.platform = 85;
    m.connections.push_back(client);
    Connection desktop = client;
    desktop.id = 0x80000006;
    desktop.flags = 0x410;
    desktop.name = "desk" + evil;
    desktop.address = {};
    m.connections.push_back(desktop);

    Device product;
    product.id = 3;
    product.owner = 0x80000005;
    product.state = 4;
    product.flags = 0x4000 | 0x10;
    product.vendorId = 0x1234;
    product.productId = 0x5678;
    product.product = "prod" + evil;
    product.serial = "ser" + evil;
    product.identity = "1-4";
    product.busId = "1-4";
    m.devices.push_back(product);
    Device named = product;
    named.id = 4;
    named.owner = 0;
    named.state = 3;
    named.flags = 0x20 | 0x10;
    named.nickname = "nick" + evil;
    named.serial = "id" + evil;
    named.identity = named.serial;
    named.busId = "1-5";
    m.devices.push_back(named);
    m.usages.push_back({3, Ipv4("10.0.0.7"), "user" + evil});

    m.ipFilters = {1, {"filter" + evil}};
    m.acls[3] = {1, {"acl" + evil}};
    m.acls[4] = {1, {}};
    PolicyRule rule;
    rule.flags = 0x40 | 0x80;
    rule.port = "port" + evil;
    rule.serial = "pser" + evil;
    rule.name = "rule" + evil;
    m.policy.push_back(rule);
  });
  struct Case {
    std::vector<std::string> words;
    std::vector<std::string> shownTexts;
  };
  const Case cases[] = {
      {{"-list-devices"},
       {"   3: prod" + shown + " (s/n: ser" + shown + ")\n", "in use by user" + shown + "\n",
        "   4: nick" + shown + "\n", "Serial: id" + shown + "\n"}},
      {{"-list-clients"},
       {"Client at host" + shown + ":40000\n", "Client at rdp://desk" + shown + "\n",
        "Uses device    3: prod" + shown + "\n"}},
      {{"-list-ip-filters"}, {"   1: filter" + shown + "\n"}},
      {{"-list-acl", "3"}, {"Device: prod" + shown + "\n", "   1: acl" + shown + "\n"}},
      {{"-list-acl", "4"}, {"Device: nick" + shown + "\n"}},
      {{"-list-device-policy"},
       {"   1: rule" + shown + "\n", "Port: port" + shown + "  ", "Serial: pser" + shown + "\n"}},
  };
  for (const Case& c : cases) {
    RunResult r = RunCalvix(c.words);
    EXPECT_EQ(r.exitCode, 0) << Words(c.words) << r.err;
    for (const std::string& text : c.shownTexts)
      EXPECT_NE(r.out.find(text), std::string::npos) << Words(c.words) << "lacks " << text << "\n" << r.out;
    for (char byte : r.out) {
      unsigned char u = static_cast<unsigned char>(byte);
      if ((u < 0x20 && u != '\n') || u == 0x7F) {
        ADD_FAILURE() << Words(c.words) << "printed the control byte " << int(u) << "\n" << r.out;
        break;
      }
    }
  }
}

TEST_F(CalvixTool, OpenFailuresExitTwoWithTheirOwnBlock) {
  server.With([](Model& m) { m.version = 0x39000; });
  RunResult r = RunCalvix({"-share", "8"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(r.err, ErrorBlock("Incompatible daemon version! Please re-install the program."));

  server.With([](Model& m) { m = StandardModel(); m.startupState = 40; });
  r = RunCalvix({"-list-devices"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(r.err, ErrorBlock(kConnectBlock));

  // Refused by the daemon's group check: the block names the real error,
  // read once, not the 17 a second read of the open error gives.
  server.With([](Model& m) { m = StandardModel(); m.grantedFlags = 0x80000000; });
  r = RunCalvix({"-share", "8"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(r.err.rfind(OperationErrorStart("Command line initialization error. Operation failed.\nError 9 module "
                                            "0x000e line "),
                        0),
            0u)
      << r.err;
  EXPECT_EQ(r.out, "");
}

TEST(CalvixToolNoDaemon, UnreachableDaemonExitsTwoForEveryAction) {
  ASSERT_TRUE(g_namespaces);
  for (const std::vector<std::string>& words :
       std::vector<std::vector<std::string>>{{}, {"-share", "8"}, {"-bogus"}, {"-version"}, {"-list-devices"}}) {
    RunResult r = RunCalvix(words);
    EXPECT_EQ(r.exitCode, 2) << Words(words);
    EXPECT_EQ(r.err, ErrorBlock(kConnectBlock)) << Words(words);
    EXPECT_EQ(r.out, "");
  }
}

// Anyone may bind an abstract name first; calvix talks only to a peer that
// runs as root.
TEST(CalvixToolNoDaemon, ImpostorNotRunningAsRootIsNotTalkedTo) {
  ASSERT_TRUE(g_namespaces);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t impostor = fork();
  if (impostor == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(1);
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un address;
    memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path + 1, "calvixd.pipe", 12);
    socklen_t length = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + 14);
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&address), length) != 0 || listen(fd, 5) != 0) _exit(2);
    (void)!write(ready[1], "r", 1);
    // Every byte a client sends is reported through the exit code.
    int client = accept(fd, nullptr, nullptr);
    char byte;
    _exit(client >= 0 && recv(client, &byte, 1, 0) > 0 ? 3 : 0);
  }
  char byte;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  RunResult r = RunCalvix({"-share", "8"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(r.err, ErrorBlock(kConnectBlock));
  int status = 0;
  ASSERT_EQ(waitpid(impostor, &status, 0), impostor);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the impostor received bytes";
  close(ready[0]);
  close(ready[1]);
}

// A client that connects and lets go again between two looks at the
// device: the wait sees it connecting once and then shared, and ends.
TEST_F(CalvixTool, ConnectEndsWhenTheDeviceWasSeenConnectingAndLeftIt) {
  struct Script {
    std::vector<uint32_t> states;
    ErrorRecord error;
  };
  const Script scripts[] = {
      {{12, 3}, {}},
      {{12, 12, 3}, {}},
      {{3, 12, 3}, {}},
  };
  for (const Script& script : scripts) {
    server.With([](Model& m) { m = StandardModel(); });
    auto states = std::make_shared<std::vector<uint32_t>>(script.states);
    auto started = std::make_shared<bool>(false);
    server.SetAfterRequest([states, started](const Request& request, Model& m) {
      // From the connect on, each request moves the device to its next
      // state; the reply just sent still showed the one before.
      if (request.code == 0x1016) *started = true;
      if (*started && !states->empty()) {
        m.FindDevice(3)->state = states->front();
        states->erase(states->begin());
      }
    });
    RunResult r = RunCalvix({"-connect-to", "5-3"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, SuccessBlock("USB device connected to client"));
    server.SetAfterRequest(nullptr);
  }

  // Left connecting with an error stored: that error fails the connect.
  server.With([](Model& m) { m = StandardModel(); });
  auto step = std::make_shared<int>(0);
  server.SetAfterRequest([step](const Request& request, Model& m) {
    if (request.code == 0x1016) {
      m.FindDevice(3)->state = 12;
      *step = 1;
    } else if (request.code == 0x1002 && *step == 1) {
      m.FindDevice(3)->state = 3;
      m.FindDevice(3)->error = {1, 900, 1353};
      *step = 2;
    }
  });
  RunResult r = RunCalvix({"-connect-to", "5-3"});
  EXPECT_EQ(r.exitCode, 5);
  EXPECT_EQ(r.err, OperationErrorStart("Can not connect USB device. Selected client is not connected.\nError 1353 "
                                       "module 0x0001 line 900\n") +
                       "********************* *********************** *******************\n\n");
  server.SetAfterRequest(nullptr);
}

}  // namespace
