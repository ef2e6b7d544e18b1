// Binding and unbinding as a client sees them over a real loopback
// connection: the claim takes the host's drivers off the device, the bind
// result and the announcements, the authorization script's exit codes, the
// unbind notice, the hand-back to the host's drivers, a surprise unplug, a
// kick and a leaving client; then the device requests of a client and the
// layout of each reply.
#include <arpa/inet.h>
#include <linux/usbdevice_fs.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "ovusbd/core/devicebinding.h"
#include "ovusbd/core/handlers.h"
#include "ovusbd/core/shellcommand.h"
#include "ovusbd/core/tcpservice.h"
#include "ovusbd/usb/devicehooks.h"
#include "tests/ovusbd/test_usb_support.h"
#include "tests/support/ovclient.h"

using namespace usbtest;

namespace {

class BindingTest : public UsbFixture {
 protected:
  void SetUp() override {
    UsbFixture::SetUp();
    fillMessageHandlerTable();
    ASSERT_EQ(startBindProcessing(), 1);
    scratch = "/tmp/usb-binding-test-" + std::to_string(getpid());
    unlink(scratch.c_str());
  }
  void TearDown() override {
    for (auto& client : clients) client->close();
    removeAllClients("test over");
    stopBindProcessing();
    unlink(scratch.c_str());
    UsbFixture::TearDown();
  }
  // A client on one end of a loopback TCP connection, the server's link on
  // the other, handed over as the listener would.
  ovclient::OvClient& connectClient(const char* name = "tester") {
    size_t before = connectionCount();
    uint16_t port = 0;
    int listener = ovclient::listenLoopback(&port);
    EXPECT_GE(listener, 0);
    int fd = ovclient::connectTcp("127.0.0.1", port, 5000);
    EXPECT_GE(fd, 0);
    sockaddr_in remote{};
    socklen_t length = sizeof remote;
    int accepted = accept(listener, reinterpret_cast<sockaddr*>(&remote), &length);
    close(listener);
    EXPECT_GE(accepted, 0);
    NetworkConnection* link = createTcpConnection(accepted, 5);
    EXPECT_NE(link, nullptr);
    EXPECT_TRUE(addClientConnection(link, reinterpret_cast<sockaddr*>(&remote)));
    clients.push_back(std::make_unique<ovclient::OvClient>());
    clients.back()->adopt(fd);
    EXPECT_TRUE(waitUntil([before] { return connectionCount() == before + 1; }));
    ovclient::HelloReply hello;
    EXPECT_TRUE(clients.back()->hello(name, "detail", &hello));
    return *clients.back();
  }
  // Plugs a device at start-up and starts discovery. Its address is 10 *
  // bus + port for the names used here ("1-3" is 13).
  void plugAtStart(const std::string& name) {
    bus.addDevice(device(name));
    startDiscovery();
    ASSERT_TRUE(waitUntil([] { return deviceCount() == 1; }));
  }
  size_t commandCount(const std::string& command) const {
    std::vector<std::string> all = bus.commands();
    return size_t(std::count(all.begin(), all.end(), command));
  }
  int32_t bindResult(ovclient::OvClient& client, uint32_t address) {
    ovclient::BindResult result;
    EXPECT_TRUE(client.bind(address, &result));
    return result.result;
  }
  // Waits for the next announcement of the device and returns its state.
  int announcedState(ovclient::OvClient& client, uint32_t address) {
    ovclient::Message message;
    while (client.waitFor(kMsgDeviceAnnounce, &message, 5000)) {
      ovclient::DeviceAnnouncement announcement;
      EXPECT_TRUE(ovclient::parseDeviceAnnouncement(message, &announcement));
      if (announcement.address == address) return announcement.state;
    }
    return -1;
  }
  uint32_t unboundReason(ovclient::OvClient& client, uint32_t address) {
    ovclient::Message message;
    if (!client.waitFor(kMsgDeviceUnbound, &message, 5000)) return 0;
    EXPECT_EQ(message.deviceAddress, address);
    uint32_t reason = 0;
    EXPECT_TRUE(ovclient::parseUnboundNotice(message, &reason));
    return reason;
  }
  std::string scratchContent() const {
    std::ifstream in(scratch);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return text;
  }

  std::vector<std::unique_ptr<ovclient::OvClient>> clients;
  std::string scratch;
};

// The claim takes the host driver off the interface, resets the device and
// claims it for the server; the unbind releases it and has the kernel probe
// its interface again. The generic usb driver still holds the device after
// a claim, so the bind write fails EBUSY, and the probe must happen anyway.
TEST_F(BindingTest, BindClaimsTheDeviceAndUnbindHandsItBack) {
  plugAtStart("1-3");
  bus.setHostDriver("1-3", 0, "usbhid");
  ovclient::OvClient& client = connectClient();

  ovclient::BindResult result;
  ASSERT_TRUE(client.bind(13, &result));
  EXPECT_EQ(result.result, 1);
  EXPECT_EQ(result.speed, 2);  // 480 Mbit/s
  EXPECT_EQ(result.product, "Widget");
  EXPECT_EQ(announcedState(client, 13), 3);
  EXPECT_EQ(bus.hostDriver("1-3", 0), "");
  std::vector<unsigned long> requests = bus.nodeRequests("1-3");
  EXPECT_NE(std::find(requests.begin(), requests.end(), (unsigned long)USBDEVFS_IOCTL), requests.end());
  EXPECT_NE(std::find(requests.begin(), requests.end(), (unsigned long)USBDEVFS_RESET), requests.end());
  DeviceBinding binding;
  ASSERT_TRUE(findDeviceBinding(13, &binding));
  EXPECT_STREQ(binding.clientText, "tester");
  EXPECT_TRUE(waitUntil([this] { return log.contains("Device 13 [1234:5678] BOUND to connection"); }));

  ASSERT_TRUE(client.unbind(13));
  EXPECT_EQ(unboundReason(client, 13), 1u);
  EXPECT_EQ(announcedState(client, 13), 1);
  EXPECT_FALSE(findDeviceBinding(13, nullptr));
  EXPECT_EQ(commandCount("write /sys/bus/usb/drivers/usb/bind 1-3"), 1u);
  EXPECT_EQ(commandCount("write /sys/bus/usb/drivers_probe 1-3:1.0"), 1u);
  EXPECT_TRUE(log.contains("Device 13 [1234:5678] UNBOUND from connection"));
}

// A second bind of a bound device changes nothing; another client's bind
// of it neither.
TEST_F(BindingTest, BoundDeviceIsNotBoundTwice) {
  plugAtStart("1-3");
  ovclient::OvClient& first = connectClient("first");
  ovclient::OvClient& second = connectClient("second");
  ASSERT_EQ(bindResult(first, 13), 1);
  ovclient::BindResult result;
  EXPECT_FALSE(second.bind(13, &result, 300));
  DeviceBinding binding;
  ASSERT_TRUE(findDeviceBinding(13, &binding));
  EXPECT_STREQ(binding.clientText, "first");
}

// The authorization script's exit code decides; a script killed by a signal
// or one that answers something unknown fails the bind with BIND_ERROR.
TEST_F(BindingTest, AuthorizationExitCodes) {
  plugAtStart("1-3");
  ovclient::OvClient& client = connectClient();
  struct Case {
    const char* script;
    int32_t result;
    const char* logged;
  };
  const Case cases[] = {
      {"exit 0", -4, "BIND_UNAUTHORIZED"},
      {"exit 2", -7, "BIND_PASSWORD_REQUIRED"},
      {"exit 3", -8, "BIND UNKNOWN ERROR"},
      {"exit 9", -1, "Unknown return value 9 from clientAuthorization"},
      {"kill -9 $$", -1, "unhandled signal 0:9 running client authorization"},
      {"exit 1", 1, "BOUND to connection"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    ASSERT_EQ(setConfigString("ClientAuthorization", c.script), 0);
    EXPECT_EQ(bindResult(client, 13), c.result);
    // The log line follows the reply.
    EXPECT_TRUE(waitUntil([&] { return log.contains(c.logged); }));
    EXPECT_EQ(findDeviceBinding(13, nullptr), c.result == 1);
  }
}

// Everything the client controls reaches the script only through the
// shell-safe form; the administrator's own text is left as it is.
TEST_F(BindingTest, AuthorizationScriptGetsShellSafeValues) {
  plugAtStart("1-3");
  ovclient::OvClient& client = connectClient("a'b;touch /tmp/x$(id)`");
  std::string script = "printf '%s|' '$VENDOR_ID$' '$PRODUCT_ID$' '$CLIENT_ID$' '$CLIENT_IP$' '$NUM_BINDINGS$' > " +
                       scratch + "; exit 1";
  ASSERT_EQ(setConfigString("ClientAuthorization", script.c_str()), 0);
  ASSERT_EQ(bindResult(client, 13), 1);
  EXPECT_EQ(scratchContent(), "1234|5678|a_b_touch /tmp/x__id__|127.0.0.1|0|");
}

TEST(ShellSafe, EveryByteOutsideTheSafeSetBecomesAnUnderscore) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"Plain text 1.2_3:4@5%6+7,8/9=0-", "Plain text 1.2_3:4@5%6+7,8/9=0-"},
      {"'\"`$();&|<>*?![]{}~#\\\t\n", "_______________________"},
      {"caf\xc3\xa9", "caf__"},
      {"", ""},
  };
  for (const Case& c : cases) {
    char* safe = makeShellSafe(c.in.c_str());
    ASSERT_NE(safe, nullptr);
    EXPECT_EQ(std::string(safe), c.out);
    free(safe);
  }
}

// The shell runs through posix_spawn: its exit status, a signal, and a
// shell that is not there all come back in their own form.
TEST(ShellCommand, StatusOfTheCommand) {
  int status = runShellCommand("exit 5");
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 5);
  status = runShellCommand("kill -15 $$");
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), 15);
}

// A device that goes away while bound: one surprise unbind, the client told
// once, the binding gone and the device's removal announced.
TEST_F(BindingTest, SurpriseUnplugWhileBound) {
  startDiscovery();
  bus.plug(device("1-3"));
  ASSERT_TRUE(waitUntil([] { return deviceCount() == 1; }));
  ovclient::OvClient& client = connectClient();
  ASSERT_EQ(bindResult(client, 13), 1);
  // The arrival may be announced to the client too; the bind's comes last.
  int state;
  while ((state = announcedState(client, 13)) == 1) {
  }
  EXPECT_EQ(state, 3);
  bus.unplug("1-3");
  EXPECT_EQ(unboundReason(client, 13), 1u);
  ASSERT_TRUE(waitUntil([] { return deviceCount() == 0; }));
  EXPECT_EQ(announcedState(client, 13), 0);  // the removal, nothing else
  EXPECT_FALSE(findDeviceBinding(13, nullptr));
  EXPECT_EQ(log.count("SURPRISE UNBOUND"), 1u);
  ovclient::Message extra;
  EXPECT_FALSE(client.waitFor(kMsgDeviceUnbound, &extra, 200));
}

// Another client's unbind takes the device away from its holder (no kick
// script configured): the holder hears reason 2.
TEST_F(BindingTest, KickTellsTheHolder) {
  plugAtStart("1-3");
  ovclient::OvClient& holder = connectClient("holder");
  ovclient::OvClient& other = connectClient("other");
  ASSERT_EQ(bindResult(holder, 13), 1);
  ASSERT_TRUE(other.unbind(13));
  EXPECT_EQ(unboundReason(holder, 13), 2u);
  EXPECT_FALSE(findDeviceBinding(13, nullptr));
  EXPECT_EQ(bindResult(other, 13), 1);
}

// A client that leaves gives its devices back, and the deauthorization
// script hears of it.
TEST_F(BindingTest, LeavingClientReleasesItsDevices) {
  plugAtStart("1-3");
  std::string script = "echo '$CLIENT_ID$ $VENDOR_ID$' > " + scratch;
  ASSERT_EQ(setConfigString("ClientDeauthorization", script.c_str()), 0);
  ovclient::OvClient& client = connectClient("leaver");
  ASSERT_EQ(bindResult(client, 13), 1);
  uint16_t id = 0;
  ASSERT_EQ(copyConnectionIds(&id, 1), 1u);
  EXPECT_TRUE(removeClientConnection(id, "gone"));
  EXPECT_FALSE(findDeviceBinding(13, nullptr));
  EXPECT_EQ(scratchContent(), "leaver 1234\n");
  EXPECT_EQ(commandCount("write /sys/bus/usb/drivers_probe 1-3:1.0"), 1u);
}

// Shutdown with a bound device: the clients go first and release it, then
// the device layer stops with nothing bound.
TEST_F(BindingTest, ShutdownWithBoundDevice) {
  plugAtStart("1-3");
  ovclient::OvClient& client = connectClient();
  ASSERT_EQ(bindResult(client, 13), 1);
  removeAllClients("server shutdown");
  EXPECT_FALSE(findDeviceBinding(13, nullptr));
  stopBindProcessing();
  stopUsbDiscoveryThreads();
  stopDeviceManager();
  EXPECT_EQ(deviceList, nullptr);
  EXPECT_EQ(log.count("UNBOUND from connection"), 1u);
}

// A bind racing the device's removal: whatever wins, the client gets one
// bind result, at most one unbind notice, and no binding outlives the
// device.
TEST_F(BindingTest, BindRacingUnplugLeavesNoBinding) {
  startDiscovery();
  ovclient::OvClient& client = connectClient();
  for (int round = 0; round < 10; ++round) {
    SCOPED_TRACE(round);
    bus.plug(device("1-3"));
    ASSERT_TRUE(waitUntil([] { return deviceCount() == 1; }));
    ovclient::Message request;
    request.type = kMsgBindDevice;
    request.deviceAddress = 13;
    ASSERT_TRUE(client.send(request));
    if (round % 2) {
      ASSERT_TRUE(waitUntil([] { return findDeviceBinding(13, nullptr); }));
    }
    bus.unplug("1-3");
    ASSERT_TRUE(waitUntil([] { return deviceCount() == 0; }));
    ovclient::Message reply;
    ASSERT_TRUE(client.waitFor(kMsgBindResult, &reply, 5000));
    ovclient::BindResult result;
    ASSERT_TRUE(ovclient::parseBindResult(reply, &result));
    ASSERT_TRUE(drainUevents());
    EXPECT_FALSE(findDeviceBinding(13, nullptr));
    if (result.result == 1) {
      EXPECT_EQ(unboundReason(client, 13), 1u);
    }
    EXPECT_FALSE(client.waitFor(kMsgDeviceUnbound, &reply, 50));
  }
}

// A kick and the holder's departure at once end the binding once.
TEST_F(BindingTest, KickRacingDepartureUnbindsOnce) {
  plugAtStart("1-3");
  ovclient::OvClient& holder = connectClient("holder");
  ovclient::OvClient& other = connectClient("other");
  ASSERT_EQ(bindResult(holder, 13), 1);
  uint16_t ids[2] = {};
  ASSERT_EQ(copyConnectionIds(ids, 2), 2u);
  ASSERT_TRUE(other.unbind(13));
  removeClientConnection(ids[0], "gone");
  EXPECT_FALSE(findDeviceBinding(13, nullptr));
  ASSERT_TRUE(waitUntil([this] { return log.count("UNBOUND from connection") >= 1; }));
  EXPECT_EQ(bindResult(other, 13), 1);
  EXPECT_EQ(log.count("UNBOUND from connection"), 1u);
}

// ---- hooks, kick and ignore scripts seen by clients ----

// onBind runs at a bind, onUnbind at each unbind with whether it came as a
// surprise, then onDeviceUnplug as the device goes.
TEST_F(BindingTest, BindUnbindAndUnplugHooks) {
  startDiscovery();
  bus.plug(device("1-3"));
  ASSERT_TRUE(waitUntil([] { return deviceCount() == 1; }));
  ASSERT_EQ(setConfigString("onBind", ("echo bind $ADDRESS$ >> " + scratch).c_str()), 0);
  ASSERT_EQ(setConfigString("onUnbind", ("echo unbind $SURPRISE_UNBOUND$ >> " + scratch).c_str()), 0);
  ASSERT_EQ(setConfigString("onDeviceUnplug", ("echo unplug $PRODUCT$ >> " + scratch).c_str()), 0);
  ovclient::OvClient& client = connectClient();
  ASSERT_EQ(bindResult(client, 13), 1);
  ASSERT_TRUE(client.unbind(13));
  EXPECT_EQ(unboundReason(client, 13), 1u);
  ASSERT_EQ(bindResult(client, 13), 1);
  bus.unplug("1-3");
  ASSERT_TRUE(waitUntil([] { return deviceCount() == 0; }));
  EXPECT_EQ(scratchContent(), "bind 13\nunbind 0\nbind 13\nunbind 1\nunplug Widget\n");
}

namespace {
// The port power switches of a power cycle, with how many hand-backs the
// bus had seen by then.
struct PowerSwitch {
  bool on;
  size_t handBacks;
};
std::mutex powerMutex;
std::vector<PowerSwitch> powerSwitches;
std::function<size_t()> countHandBacks;
int recordPowerSwitch(uint32_t address, bool on) {
  EXPECT_EQ(address, 13u);
  std::lock_guard<std::mutex> lock(powerMutex);
  powerSwitches.push_back({on, countHandBacks()});
  return 0;
}
}  // namespace

// The built-in unbind hook of 088e devices power-cycles the port before the
// device is handed back to the host's drivers.
TEST_F(BindingTest, BuiltInPowerCycleAtUnbindComesBeforeTheHandBack) {
  DeviceHookSettings hooks;
  hooks.setPortPower = recordPowerSwitch;
  hooks.powerCycleOffMs = 20;
  installDeviceHookSettings(&hooks);
  std::unique_ptr<DeviceHookSettings, void (*)(DeviceHookSettings*)> installed(
      &hooks, [](DeviceHookSettings*) { installDeviceHookSettings(nullptr); });
  powerSwitches.clear();
  countHandBacks = [this] { return commandCount("write /sys/bus/usb/drivers/usb/bind 1-3"); };
  bus.addDevice(device("1-3", 0x088e, 0x0001));
  startDiscovery();
  ASSERT_TRUE(waitUntil([] { return deviceCount() == 1; }));
  ovclient::OvClient& client = connectClient();
  ASSERT_EQ(bindResult(client, 13), 1);
  ASSERT_TRUE(client.unbind(13));
  EXPECT_EQ(unboundReason(client, 13), 1u);
  std::lock_guard<std::mutex> lock(powerMutex);
  ASSERT_EQ(powerSwitches.size(), 2u);
  EXPECT_FALSE(powerSwitches[0].on);
  EXPECT_TRUE(powerSwitches[1].on);
  EXPECT_EQ(powerSwitches[1].handBacks, 0u);
  EXPECT_EQ(commandCount("write /sys/bus/usb/drivers/usb/bind 1-3"), 1u);
}

// "OnDeviceKick" decides whether another client takes a bound device: 1
// yes, 0 no, 2 no with the asking client told, anything else no with a log
// line. The script sees both clients' texts only in shell-safe form.
TEST_F(BindingTest, KickScriptDecides) {
  bus.addDevice(device("1-3"));
  bus.addDevice(device("1-4"));
  startDiscovery();
  ASSERT_TRUE(waitUntil([] { return deviceCount() == 2; }));
  std::string planted = scratch + ".planted";
  ovclient::OvClient& holder = connectClient(("h';touch " + planted + ";'").c_str());
  ovclient::OvClient& other = connectClient(("k$(touch " + planted + ")").c_str());
  ASSERT_EQ(bindResult(holder, 13), 1);
  struct Case {
    const char* exit;
    bool taken;
    const char* logged;
  };
  const Case cases[] = {
      {"exit 0", false, ""},
      {"exit 2", false, ""},
      {"exit 9", false, "Unknown return value 9 from OnDeviceKick"},
      {"kill -9 $$", false, "unhandled signal 0:9 running OnDeviceKick"},
      {"exit 1", true, ""},
  };
  std::string line = "printf '%s|' '$VENDOR_ID$' '$PRODUCT_ID$' '$KICKER_ID$' '$KICKER_IP$' '$CLIENT_ID$' "
                     "'$CLIENT_IP$' '$PRODUCT_SERIAL$' '$DEVPATH$' > " + scratch + "; ";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.exit);
    ASSERT_EQ(setConfigString("OnDeviceKick", (line + c.exit).c_str()), 0);
    ASSERT_TRUE(other.unbind(13));
    // Bind and unbind requests are served in order: this answer comes
    // after the kick was decided.
    ASSERT_EQ(bindResult(other, 14), 1);
    ASSERT_TRUE(other.unbind(14));
    EXPECT_EQ(findDeviceBinding(13, nullptr), !c.taken);
    ovclient::Message notice;
    if (std::string(c.exit) == "exit 2") {
      ASSERT_TRUE(other.waitFor(kMsgTextNotice, &notice, 5000));
      std::string text;
      ASSERT_TRUE(ovclient::parseTextNotice(notice, &text));
      EXPECT_EQ(text, "INSUFFICIENT_PERMISSIONS_MSG");
    }
    if (*c.logged) {
      EXPECT_TRUE(waitUntil([&] { return log.contains(c.logged); }));
    }
  }
  EXPECT_EQ(unboundReason(holder, 13), 2u);
  EXPECT_EQ(scratchContent(), "1234|5678|k__touch " + planted + "_|127.0.0.1|h__touch " + planted +
                                  "__|127.0.0.1||" + devicePath(13) + "|");
  EXPECT_FALSE(access(planted.c_str(), F_OK) == 0);
}

namespace {
// The ignore request's payload: ids, the serial flag, and a serial field of
// `size` bytes (the text, then zeros; cut when longer).
std::vector<uint8_t> ignorePayload(uint16_t vendor, uint16_t product, uint8_t flag, const std::string& serial = "",
                                   size_t size = 0) {
  std::vector<uint8_t> p(5 + size, 0);
  memcpy(p.data(), &vendor, 2);
  memcpy(p.data() + 2, &product, 2);
  p[4] = flag;
  memcpy(p.data() + 5, serial.data(), std::min(serial.size(), size));
  return p;
}
}  // namespace

class IgnoreRequestTest : public BindingTest {
 protected:
  // Sends the ignore request, then a request that is answered on the same
  // receive thread: its answer means the ignore request is done.
  void ignore(ovclient::OvClient& client, const std::vector<uint8_t>& payload) {
    ovclient::Message request;
    request.type = kMsgDeviceIgnore;
    request.payload = payload;
    ASSERT_TRUE(client.send(request));
    ovclient::Message reply;
    ASSERT_TRUE(client.request(kMsgType2Request, {}, &reply, kMsgType2Reply));
  }
  std::string ignored() {
    char* value = getConfigString("IgnoredDevices", nullptr, false);
    std::string text = value ? value : "(none)";
    free(value);
    return text;
  }
};

// Without "OnDeviceIgnore" the device is listed and removed at once.
TEST_F(IgnoreRequestTest, WithoutScriptTheDeviceGoesAtOnce) {
  plugAtStart("1-3");
  ovclient::OvClient& client = connectClient();
  ignore(client, ignorePayload(0x1234, 0x5678, 0));
  EXPECT_EQ(deviceCount(), 0u);
  EXPECT_EQ(ignored(), "1234/5678");
}

// The script's exit code decides: 1 ignores; 0 does not; 2 does not and
// tells the client; other codes and a killed script do not, with a log line.
TEST_F(IgnoreRequestTest, ScriptExitCodes) {
  plugAtStart("1-3");
  ovclient::OvClient& client = connectClient();
  struct Case {
    const char* script;
    bool ignored;
    const char* logged;
  };
  const Case cases[] = {
      {"exit 0", false, ""},
      {"exit 2", false, ""},
      {"exit 6", false, "Unknown return value 6 from OnDeviceIgnore"},
      {"kill -9 $$", false, "unhandled signal 0:9 running OnDeviceIgnore"},
      {"exit 1", true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    ASSERT_EQ(setConfigString("OnDeviceIgnore", c.script), 0);
    ignore(client, ignorePayload(0x1234, 0x5678, 0));
    EXPECT_EQ(deviceCount(), c.ignored ? 0u : 1u);
    EXPECT_EQ(ignored(), c.ignored ? "1234/5678" : "(none)");
    if (std::string(c.script) == "exit 2") {
      ovclient::Message notice;
      ASSERT_TRUE(client.waitFor(kMsgTextNotice, &notice, 5000));
      std::string text;
      ASSERT_TRUE(ovclient::parseTextNotice(notice, &text));
      EXPECT_EQ(text, "INSUFFICIENT_PERMISSIONS_MSG");
    }
    if (*c.logged) {
      EXPECT_TRUE(log.contains(c.logged));
    }
  }
}

// The serial is read only when flagged and when the request carries its
// whole field, never past the payload; client and device texts reach the
// script in shell-safe form; a request too short for its ids is dropped.
TEST_F(IgnoreRequestTest, ScriptPlaceholdersAndPayloadBounds) {
  std::string planted = scratch + ".planted";
  ovclient::OvClient& client = connectClient(("c`touch " + planted + "`").c_str());
  std::string script = "printf '%s|' '$VENDOR_ID$' '$PRODUCT_ID$' '$SERIAL$' '$CLIENT_ID$' '$CLIENT_IP$' > " +
                       scratch + "; exit 0";
  ASSERT_EQ(setConfigString("OnDeviceIgnore", script.c_str()), 0);
  const std::string client_ = "|c_touch " + planted + "_|127.0.0.1|";
  struct Case {
    std::vector<uint8_t> payload;
    std::string seen;
  };
  const Case cases[] = {
      {ignorePayload(0x046d, 0xc52b, 1, std::string(200, 'A'), 128), "046d|c52b|" + std::string(127, 'A') + client_},
      {ignorePayload(0x046d, 0xc52b, 1, "ABC", 127), "046d|c52b|$SERIAL$" + client_},
      {ignorePayload(0x046d, 0xc52b, 0, "ABC", 128), "046d|c52b|$SERIAL$" + client_},
      {ignorePayload(0x046d, 0xc52b, 1, "x';touch " + planted + ";'", 128),
       "046d|c52b|x__touch " + planted + "__" + client_},
  };
  for (const Case& c : cases) {
    unlink(scratch.c_str());
    ignore(client, c.payload);
    EXPECT_EQ(scratchContent(), c.seen);
  }
  EXPECT_FALSE(access(planted.c_str(), F_OK) == 0);
  unlink(scratch.c_str());
  ignore(client, {0x6d, 0x04, 0x2b, 0xc5});
  EXPECT_EQ(scratchContent(), "");
  EXPECT_TRUE(log.contains("dropping message of type 61"));
}

// ---- device requests ----

// Bulk IN on 0x81 answers "hello"; OUT on 0x02 takes what it gets.
class EchoDevice : public simbus::UsbModel {
 public:
  std::string received;
  simbus::UrbAnswer in(uint8_t, size_t) override { return simbus::UrbAnswer{false, 0, "hello"}; }
  simbus::UrbAnswer out(uint8_t, const std::string& data) override {
    received += data;
    return simbus::UrbAnswer{false, 0, {}};
  }
  // Device-to-host requests get 5 bytes; host-to-device data is kept.
  simbus::UrbAnswer control(const uint8_t setup[8], const std::string& data) override {
    if (setup[0] & 0x80) return simbus::UrbAnswer{false, 0, std::string("\x12\x01\x00\x02\x00", 5)};
    received += data;
    return simbus::UrbAnswer{false, 0, {}};
  }
};

class RequestTest : public BindingTest {
 protected:
  void SetUp() override {
    BindingTest::SetUp();
    plugAtStart("1-3");
    model = std::make_shared<EchoDevice>();
    bus.setModel("1-3", model);
    client = &connectClient();
    ASSERT_EQ(bindResult(*client, 13), 1);
  }
  // Sends one request with context words {11,12,13,14,15} and returns the
  // reply of replyType, checking that it carries them back.
  ovclient::Message ask(uint8_t type, const std::vector<uint8_t>& payload, uint8_t replyType, uint32_t address = 13) {
    ovclient::Message request;
    request.type = type;
    request.deviceAddress = address;
    for (int i = 0; i < 5; ++i) request.context[i] = 11 + i;
    request.payload = payload;
    EXPECT_TRUE(client->send(request));
    ovclient::Message reply;
    EXPECT_TRUE(client->waitFor(replyType, &reply, 5000)) << "no reply of type " << int(replyType);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(reply.context[i], uint32_t(11 + i));
    EXPECT_EQ(reply.deviceAddress, address);
    return reply;
  }
  static int32_t word(const ovclient::Message& m, size_t offset) {
    return static_cast<int32_t>(ovclient::le32(m.payload.data() + offset));
  }
  static std::vector<uint8_t> bulk(uint8_t endpoint, uint8_t urbType, uint32_t length, const std::string& data = "") {
    std::vector<uint8_t> p(13 + data.size());
    p[0] = endpoint;
    p[5] = urbType;
    ovclient::putLe32(p, 9, length);
    memcpy(p.data() + 13, data.data(), data.size());
    return p;
  }
  std::shared_ptr<EchoDevice> model;
  ovclient::OvClient* client = nullptr;
};

// Requests answered with one status word: the reply type, its 4 bytes, and
// -19 for a device that is not there (message 50 always reports 0).
TEST_F(RequestTest, StatusRequestsAndTheirReplies) {
  struct Case {
    uint8_t type, replyType;
    std::vector<uint8_t> payload;
    int32_t present, absent;
  };
  std::vector<uint8_t> endpoint = {0x81, 0, 0, 0};
  std::vector<uint8_t> configure(18, 0);
  configure[0] = 1;
  configure[1] = 1;
  const Case cases[] = {
      {kMsgDeviceReset, kMsgDeviceResetReply, {}, 0, -19},
      {kMsgClearHalt, kMsgClearHaltReply, endpoint, 0, -19},
      {kMsgResetEndpoint, kMsgResetEndpointReply, endpoint, 0, -19},
      {kMsgAbortEndpoint, kMsgAbortEndpointReply, endpoint, 0, -19},
      {kMsgAbortResetClearHalt, kMsgAbortResetClearHaltReply, endpoint, 0, 0},
      {kMsgResetAndConfigure, kMsgDeviceResetReply, configure, 0, -19},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.type));
    ovclient::Message reply = ask(c.type, c.payload, c.replyType);
    ASSERT_EQ(reply.payload.size(), 4u);
    EXPECT_EQ(word(reply, 0), c.present);
    reply = ask(c.type, c.payload, c.replyType, 99);
    ASSERT_EQ(reply.payload.size(), 4u);
    EXPECT_EQ(word(reply, 0), c.absent);
  }
  // More interfaces than the 16 settings the message carries: answered, and
  // no setting beyond them is read.
  configure[1] = 100;
  EXPECT_EQ(ask(kMsgResetAndConfigure, configure, kMsgDeviceResetReply).payload.size(), 4u);
}

// A short bulk IN: the first word is the number of bytes received, the data
// follows, and the rest of the requested length is zero.
TEST_F(RequestTest, BulkInReplyLayout) {
  ovclient::Message reply = ask(kMsgBulkInterruptTransfer, bulk(0x81, 3, 512), kMsgBulkInterruptTransferReply);
  ASSERT_EQ(reply.payload.size(), 516u);
  EXPECT_EQ(word(reply, 0), 5);
  EXPECT_EQ(std::string(reply.payload.begin() + 4, reply.payload.begin() + 9), "hello");
  EXPECT_TRUE(std::all_of(reply.payload.begin() + 9, reply.payload.end(), [](uint8_t b) { return b == 0; }));
}

TEST_F(RequestTest, BulkOutReplyLayout) {
  ovclient::Message reply =
      ask(kMsgBulkInterruptTransfer, bulk(0x02, 3, 6, "abcdef"), kMsgBulkInterruptTransferReply);
  ASSERT_EQ(reply.payload.size(), 4u);
  EXPECT_EQ(word(reply, 0), 6);
  bus.withModel("1-3", [](simbus::UsbModel&) {});
  EXPECT_EQ(model->received, "abcdef");
  // An interrupt transfer on a missing device is answered -19.
  reply = ask(kMsgBulkInterruptTransfer, bulk(0x81, 1, 8), kMsgBulkInterruptTransferReply, 99);
  EXPECT_EQ(word(reply, 0), -19);
}

// What the client cannot ask for is refused with -22 in the normal reply,
// and nothing reaches the device: a URB type other than interrupt or bulk,
// an IN transfer whose reply would not fit in a frame, an OUT transfer
// announcing more data than it carries.
TEST_F(RequestTest, BulkRequestsRefusedWithEinval) {
  size_t before = bus.submitted().size();
  const std::vector<uint8_t> refused[] = {
      bulk(0x81, 0, 8),                // iso
      bulk(0x81, 2, 8),                // control
      bulk(0x81, 4, 8),                // unknown
      bulk(0x81, 3, 0x900000),         // reply larger than a frame
      bulk(0x81, 3, 0xffffffff),       // length + 4 wraps in 32 bits
      bulk(0x02, 3, 100, "short"),     // claims 100 bytes, carries 5
      bulk(0x02, 3, 0xffffffff, "x"),  // claims 4 GiB
  };
  for (const auto& payload : refused) {
    ovclient::Message reply = ask(kMsgBulkInterruptTransfer, payload, kMsgBulkInterruptTransferReply);
    ASSERT_EQ(reply.payload.size(), 4u);
    EXPECT_EQ(word(reply, 0), -22);
  }
  EXPECT_EQ(bus.submitted().size(), before);
}

// The device's parent hub is not opened: port status is emulated from the
// speed with result -19, port power fails -1, a hub-class request is not
// sent and reports 0; for a device that is not there all give -19.
TEST_F(RequestTest, HubPortRequestsWithoutAHub) {
  ovclient::Message reply = ask(kMsgPortStatus, {}, kMsgPortStatusReply);
  ASSERT_EQ(reply.payload.size(), 6u);
  EXPECT_EQ(word(reply, 0), -19);
  EXPECT_EQ(ovclient::le16(reply.payload.data() + 4), 0x0503);  // high speed, enabled, connected, powered
  reply = ask(kMsgPortStatus, {}, kMsgPortStatusReply, 99);
  EXPECT_EQ(word(reply, 0), -19);
  EXPECT_EQ(ovclient::le16(reply.payload.data() + 4), 0);

  reply = ask(kMsgPortPower, {1}, kMsgPortPowerReply);
  ASSERT_EQ(reply.payload.size(), 4u);
  EXPECT_EQ(word(reply, 0), -1);
  reply = ask(kMsgPortPower, {1}, kMsgPortPowerReply, 99);
  EXPECT_EQ(word(reply, 0), -19);

  const std::vector<uint8_t> getStatus = {0xa3, 0, 0, 0, 1, 0, 4, 0};
  reply = ask(kMsgHubClassRequest, getStatus, kMsgHubClassReply);
  ASSERT_EQ(reply.payload.size(), 8u);
  EXPECT_EQ(word(reply, 0), 0);
  const std::vector<uint8_t> setFeature = {0x23, 3, 8, 0, 1, 0, 0, 0};
  reply = ask(kMsgHubClassRequest, setFeature, kMsgHubClassReply, 99);
  ASSERT_EQ(reply.payload.size(), 4u);
  EXPECT_EQ(word(reply, 0), -19);
}

// Control transfers: the setup packet echoed, status and actual length at
// 8 and 12, IN data at 16 with the unfilled rest zero; the three requests
// the server does itself never reach the device as control transfers.
TEST_F(RequestTest, ControlTransferReplyLayouts) {
  auto control = [](std::vector<uint8_t> setup, const std::string& data = "") {
    std::vector<uint8_t> p(16 + data.size());
    memcpy(p.data() + 8, setup.data(), 8);
    memcpy(p.data() + 16, data.data(), data.size());
    return p;
  };
  const std::vector<uint8_t> getDescriptor = {0x80, 6, 0, 1, 0, 0, 18, 0};
  ovclient::Message reply = ask(kMsgControlTransfer, control(getDescriptor), kMsgControlTransferReply);
  ASSERT_EQ(reply.payload.size(), 34u);
  EXPECT_TRUE(std::equal(getDescriptor.begin(), getDescriptor.end(), reply.payload.begin()));
  EXPECT_EQ(word(reply, 8), 0);
  EXPECT_EQ(word(reply, 12), 5);
  EXPECT_EQ(std::string(reply.payload.begin() + 16, reply.payload.begin() + 21), std::string("\x12\x01\x00\x02\x00", 5));
  EXPECT_TRUE(std::all_of(reply.payload.begin() + 21, reply.payload.end(), [](uint8_t b) { return b == 0; }));

  const std::vector<uint8_t> vendorOut = {0x40, 1, 0, 0, 0, 0, 3, 0};
  reply = ask(kMsgControlTransfer, control(vendorOut, "xyz"), kMsgControlTransferReply);
  ASSERT_EQ(reply.payload.size(), 16u);
  EXPECT_EQ(word(reply, 8), 0);
  EXPECT_EQ(word(reply, 12), 3);
  bus.withModel("1-3", [](simbus::UsbModel&) {});
  EXPECT_EQ(model->received, "xyz");

  size_t submitted = bus.submitted().size();
  const std::vector<uint8_t> setConfiguration0 = {0x00, 9, 0, 0, 0, 0, 0, 0};
  reply = ask(kMsgControlTransfer, control(setConfiguration0), kMsgControlTransferReply);
  EXPECT_EQ(word(reply, 8), 0);
  const std::vector<uint8_t> clearHalt = {0x02, 1, 0, 0, 0x81, 0, 0, 0};
  reply = ask(kMsgControlTransfer, control(clearHalt), kMsgControlTransferReply);
  EXPECT_EQ(word(reply, 8), 0);
  EXPECT_EQ(bus.submitted().size(), submitted);
  std::vector<unsigned long> requests = bus.nodeRequests("1-3");
  EXPECT_NE(std::find(requests.begin(), requests.end(), (unsigned long)USBDEVFS_SETCONFIGURATION), requests.end());
  EXPECT_NE(std::find(requests.begin(), requests.end(), (unsigned long)USBDEVFS_CLEAR_HALT), requests.end());

  // An OUT request announcing more data than it carries, and a device that
  // is not there.
  const std::vector<uint8_t> longOut = {0x40, 1, 0, 0, 0, 0, 10, 0};
  reply = ask(kMsgControlTransfer, control(longOut, "ab"), kMsgControlTransferReply);
  EXPECT_EQ(word(reply, 8), -22);
  EXPECT_EQ(bus.submitted().size(), submitted);
  reply = ask(kMsgControlTransfer, control(getDescriptor), kMsgControlTransferReply, 99);
  ASSERT_EQ(reply.payload.size(), 34u);
  EXPECT_EQ(word(reply, 8), -19);
}

}  // namespace
