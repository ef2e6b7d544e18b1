// Binding and unbinding as a client sees them over a real loopback
// connection: the claim takes the host's drivers off the device, the bind
// result and the announcements, the authorization script's exit codes, the
// unbind notice, the hand-back to the host's drivers, a surprise unplug, a
// kick, a leaving client, shutdown and the unmount before a NAS claim; then
// the device requests of a client and the layout of each reply.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <algorithm>
#include <csignal>
#include <atomic>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <set>
#include <thread>
#include <tuple>
#include <vector>

#include "ovusbd/core/bindqueue.h"
#include "ovusbd/core/connectionlog.h"
#include "ovusbd/usb/ignoreddevices.h"
#include "ovusbd/core/devicebinding.h"
#include "ovusbd/core/handlers.h"
#include "ovusbd/core/shellcommand.h"
#include "ovusbd/usb/controlwatchdog.h"
#include "ovusbd/usb/devicehooks.h"
#include "ovusbd/usb/removedqueue.h"
#include "tests/ovusbd/test_usb_support.h"
#include "tests/support/bulkonly.h"
#include "tests/support/ovclient.h"

using namespace usbtest;

namespace {

// An isochronous request: endpoint at 0, total length at 5, packet count at
// 13, the 12-byte descriptors (length; actual and status 0) at 17, then the
// OUT data. `count` and `total` default to the packets given.
std::vector<uint8_t> isoRequest(uint8_t endpoint, const std::vector<uint32_t>& lengths, const std::string& data = "",
                                int64_t total = -1, int64_t count = -1) {
  std::vector<uint8_t> p(17 + 12 * lengths.size() + data.size());
  p[0] = endpoint;
  uint64_t sum = 0;
  for (uint32_t length : lengths) sum += length;
  ovclient::putLe32(p, 5, uint32_t(total < 0 ? sum : uint64_t(total)));
  ovclient::putLe32(p, 13, uint32_t(count < 0 ? lengths.size() : uint64_t(count)));
  for (size_t i = 0; i < lengths.size(); ++i) ovclient::putLe32(p, 17 + 12 * i, lengths[i]);
  memcpy(p.data() + 17 + 12 * lengths.size(), data.data(), data.size());
  return p;
}

class BindingTest : public UsbFixture {
 protected:
  void SetUp() override {
    UsbFixture::SetUp();
    installCoreSettings(&core);
    fillMessageHandlerTable();
    ASSERT_EQ(startBindProcessing(), 1);
    // The control watchdog's one thread, as start-up runs it.
    ASSERT_EQ(startControlWatchdogs(), 0);
    scratch = "/tmp/usb-binding-test-" + std::to_string(getpid());
    unlink(scratch.c_str());
  }
  void TearDown() override {
    for (auto& client : clients) client->close();
    removeAllClients("test over");
    stopBindProcessing();
    stopConnectionLog();
    stopControlWatchdogs();
    installCoreSettings(nullptr);
    unlink(scratch.c_str());
    unlink((scratch + ".go").c_str());
    UsbFixture::TearDown();
  }
  // A client on one end of a loopback TCP connection, the server's link on
  // the other, handed over as the listener would.
  ovclient::OvClient& connectClient(const char* name = "tester") {
    size_t before = connectionCount();
    int fd = connectLoopbackClient();
    EXPECT_GE(fd, 0);
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
  CoreSettings core;  // installed; a test shrinks its limits before it connects clients
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

// The device layer stopped while a binding is left: said in the log.
TEST_F(BindingTest, StoppingWithABindingLeftIsLogged) {
  plugAtStart("1-3");
  ovclient::OvClient& client = connectClient();
  ASSERT_EQ(bindResult(client, 13), 1);
  // As shutdown does: the bind thread, still announcing the binding after
  // its reply, stops before the list goes.
  stopBindProcessing();
  destroyBindingList();
  EXPECT_TRUE(log.contains("Warning, stopping DeviceManager while there are bound devices"));
  ASSERT_EQ(createBindingList(), 0);
  destroyBindingList();
  EXPECT_EQ(log.count("Warning, stopping DeviceManager while there are bound devices"), 1u);
  ASSERT_EQ(createBindingList(), 0);
  ASSERT_EQ(startBindProcessing(), 1);
}

// With drivers_autoprobe at 1 a new configuration makes the kernel bind
// the host driver to the held device's interface at once. The server takes
// it back before it claims, so the client's transfers go on reaching the
// device, whether the configuration comes from SET_CONFIGURATION or from a
// reset-and-configure request.
TEST_F(BindingTest, ConfigurationChangesKeepHostDriversOffTheHeldDevice) {
  plugAtStart("1-3");
  bus.setProbeDriver("1-3", 0, "usb-storage");
  bus.setHostDriver("1-3", 0, "usb-storage");
  bus.setModel("1-3", std::make_shared<simbus::MassStorageDevice>(64));
  ovclient::OvClient& client = connectClient();
  ASSERT_EQ(bindResult(client, 13), 1);
  ASSERT_EQ(bus.hostDriver("1-3", 0), "");
  const bool resetAndConfigure[] = {false, true};
  for (bool viaReset : resetAndConfigure) {
    SCOPED_TRACE(viaReset ? "SET_CONFIGURATION 0, reset and configure 1" : "SET_CONFIGURATION 0, 1");
    ovclient::ControlReply reply;
    ASSERT_TRUE(client.controlTransfer(13, {0x00, 9, 0, 0, 0}, {}, &reply));
    EXPECT_EQ(reply.status, 0);
    EXPECT_EQ(bus.configuration("1-3"), 0);
    if (viaReset) {
      int32_t result = 1;
      ASSERT_TRUE(client.statusRequest(13, ovclient::resetAndConfigureRequest(1, {0}), &result));
      EXPECT_EQ(result, 0);
    } else {
      ASSERT_TRUE(client.controlTransfer(13, {0x00, 9, 1, 0, 0}, {}, &reply));
      EXPECT_EQ(reply.status, 0);
    }
    EXPECT_EQ(bus.configuration("1-3"), 1);
    EXPECT_EQ(bus.hostDriver("1-3", 0), "") << "the host driver kept the held interface";
    bulkonly::Session disk(ovclient::bulkPipes(client, 13, 0x81, 0x02, 5000));
    EXPECT_TRUE(disk.waitReady(3)) << disk.error();
  }
  EXPECT_EQ(bus.unclaimedUses("1-3"), 0u);
}

// The hand-back puts back the configuration the device had at the claim
// before it has the kernel probe the interfaces: a device left without a
// configuration, or in another one, would give the host nothing to bind.
TEST_F(BindingTest, UnbindRestoresTheConfigurationOfTheClaim) {
  plugAtStart("1-3");
  bus.setProbeDriver("1-3", 0, "usb-storage");
  ovclient::OvClient& client = connectClient();
  const uint16_t leftIn[] = {0, 2};
  for (uint16_t left : leftIn) {
    SCOPED_TRACE("left in configuration " + std::to_string(left));
    bus.setHostDriver("1-3", 0, "usb-storage");
    ASSERT_EQ(bindResult(client, 13), 1);
    EXPECT_EQ(announcedState(client, 13), 3);
    ASSERT_EQ(bus.hostDriver("1-3", 0), "");
    ovclient::ControlReply reply;
    ASSERT_TRUE(client.controlTransfer(13, {0x00, 9, left, 0, 0}, {}, &reply));
    EXPECT_EQ(reply.status, 0);
    EXPECT_EQ(bus.configuration("1-3"), left);
    ASSERT_TRUE(client.unbind(13));
    EXPECT_EQ(unboundReason(client, 13), 1u);
    EXPECT_EQ(announcedState(client, 13), 1);
    EXPECT_EQ(bus.configuration("1-3"), 1);
    EXPECT_EQ(bus.hostDriver("1-3", 0), "usb-storage") << "the host never got the device back";
  }
  EXPECT_FALSE(log.contains("drivers_probe")) << log.text();
  EXPECT_EQ(log.count("Restored configuration 1 of device 13"), 2u);
}

// An unbind while the holder's requests are queued behind a slow one: the
// queued ones are failed with -19 at once, the slow one is waited for, the
// URB in flight is discarded and reaped, and only then are the interfaces
// released. Each request gets one reply, and usbfs never sees a request on
// a released interface (it would claim the interface again for it and keep
// the host's driver out).
TEST_F(BindingTest, UnbindDrainsTheHoldersRequestsBeforeLettingGo) {
  plugAtStart("1-3");
  bus.setProbeDriver("1-3", 0, "usb-storage");
  bus.setModel("1-3", std::make_shared<simbus::GateDevice>());
  ovclient::OvClient& client = connectClient();
  ASSERT_EQ(bindResult(client, 13), 1);
  ovclient::BulkRequest read;
  read.endpoint = 0x81;
  read.length = 512;
  constexpr uint32_t kInFlight = 1, kSlow = 2, kQueued = 10, kQueuedCount = 10;
  ASSERT_TRUE(client.sendTagged(kMsgBulkInterruptTransfer, ovclient::encodeBulkTransfer(read), 13, kInFlight));
  ASSERT_TRUE(waitUntil([this] { return bus.pendingUrbs() == 1; }));
  bus.holdIoctl(USBDEVFS_CLEAR_HALT);
  const ovclient::StatusRequest clearHalt = ovclient::clearHaltRequest(0x02);
  ASSERT_TRUE(client.sendTagged(clearHalt.type, clearHalt.payload, 13, kSlow));
  const bool held = waitUntil([this] { return bus.heldIoctls() == 1; });
  for (uint32_t i = 0; held && i < kQueuedCount; ++i) {
    EXPECT_TRUE(client.sendTagged(kMsgBulkInterruptTransfer, ovclient::encodeBulkTransfer(read), 13, kQueued + i));
  }
  EXPECT_TRUE(client.unbind(13));
  // The queued requests are answered while the slow one still runs.
  std::map<uint32_t, int32_t> results;
  std::map<uint32_t, int> answers;
  int unbound = 0;
  ovclient::Message message;
  auto take = [&](int timeoutMs) {
    if (client.receive(&message, timeoutMs) != 1) return false;
    if (message.type == kMsgDeviceUnbound) {
      ++unbound;
    } else if (message.type == kMsgBulkInterruptTransferReply || message.type == clearHalt.replyType()) {
      results[message.context[0]] = int32_t(ovclient::le32(message.payload.data()));
      ++answers[message.context[0]];
    }
    return true;
  };
  auto queuedAnswered = [&] {
    for (uint32_t i = 0; i < kQueuedCount; ++i) {
      if (!answers.count(kQueued + i)) return false;
    }
    return true;
  };
  while (held && !queuedAnswered() && take(20000)) {
  }
  const bool queuedFirst = queuedAnswered() && unbound == 0;
  bus.releaseIoctl();
  ASSERT_TRUE(held);
  EXPECT_TRUE(queuedFirst) << "the queued requests waited for the slow one";
  while ((answers.size() < kQueuedCount + 2 || unbound == 0) && take(20000)) {
  }
  // Nothing more comes: every request was answered once.
  while (take(300)) {
  }
  ASSERT_EQ(answers.size(), kQueuedCount + 2);
  for (const auto& [tag, count] : answers) EXPECT_EQ(count, 1) << tag;
  for (uint32_t i = 0; i < kQueuedCount; ++i) EXPECT_EQ(results[kQueued + i], -ENODEV) << i;
  EXPECT_EQ(results[kSlow], 0);
  EXPECT_EQ(results[kInFlight], -ENOENT) << "the URB in flight was discarded";
  EXPECT_EQ(unbound, 1);

  const std::vector<unsigned long> requests = bus.nodeRequests("1-3");
  auto released = std::find(requests.rbegin(), requests.rend(), (unsigned long)USBDEVFS_RELEASEINTERFACE);
  ASSERT_NE(released, requests.rend());
  EXPECT_EQ(std::find(requests.rbegin(), released, (unsigned long)USBDEVFS_SUBMITURB), released)
      << "a URB was submitted after the interfaces were released";
  EXPECT_EQ(bus.unclaimedUses("1-3"), 0u);
  EXPECT_EQ(bus.hostDriver("1-3", 0), "usb-storage");
  // The device stays closed to the former holder's requests.
  ovclient::TransferReply late;
  ASSERT_TRUE(client.bulkTransfer(13, read, &late));
  EXPECT_EQ(late.result, -ENODEV);
  EXPECT_EQ(bus.unclaimedUses("1-3"), 0u);
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

// Everything the client controls reaches the script exactly, as one word,
// and runs nothing; the administrator's own text is left as it is.
TEST_F(BindingTest, AuthorizationScriptGetsExactValues) {
  plugAtStart("1-3");
  const std::string name = "a'b;touch " + scratch + ".ran$(id)`";
  ovclient::OvClient& client = connectClient(name.c_str());
  std::string script = "printf '%s|' '$VENDOR_ID$' '$PRODUCT_ID$' '$CLIENT_ID$' '$CLIENT_IP$' '$NUM_BINDINGS$' > " +
                       scratch + "; exit 1";
  ASSERT_EQ(setConfigString("ClientAuthorization", script.c_str()), 0);
  ASSERT_EQ(bindResult(client, 13), 1);
  EXPECT_EQ(scratchContent(), "1234|5678|" + name + "|127.0.0.1|0|");
  EXPECT_NE(access((scratch + ".ran").c_str(), F_OK), 0);
}

// A script that compares passwords gets each one as the client gave it:
// passwords that differ in a shell character stay apart.
TEST_F(BindingTest, AuthorizationScriptGetsThePasswordExactly) {
  plugAtStart("1-3");
  ovclient::OvClient& client = connectClient();
  uint16_t id = 0;
  ASSERT_EQ(copyConnectionIds(&id, 1), 1u);
  std::string script = "printf '%s' $PASSWORD$ > " + scratch + "; exit 1";
  ASSERT_EQ(setConfigString("ClientAuthorization", script.c_str()), 0);
  const char* const passwords[] = {"s3cret!", "a#b", "a!b", "p w d", "it's", "$(id)", "`id`;x|y&z", "caf\xc3\xa9"};
  for (const char* password : passwords) {
    storeDevicePassword(id, 13, password, strlen(password));
    ASSERT_EQ(bindResult(client, 13), 1) << password;
    EXPECT_EQ(scratchContent(), password);
    client.unbind(13);
    ASSERT_TRUE(waitUntil([] { return !findDeviceBinding(13, nullptr); }));
  }
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

size_t threadCount() {
  size_t count = 0;
  DIR* tasks = opendir("/proc/self/task");
  if (!tasks) return 0;
  while (dirent* entry = readdir(tasks)) count += entry->d_name[0] != '.';
  closedir(tasks);
  return count;
}

// The same with transfers of every kind waiting on the device: each request
// is answered exactly once with a failure, the client hears of the unbind
// once and of the removal once (never of a free device), the device's
// threads end and its node is closed.
TEST_F(BindingTest, SurpriseUnplugWithTransfersInFlight) {
  settings.controlTimeoutMs = 600000;  // the control request waits for the unplug
  startDiscovery();
  ovclient::OvClient& client = connectClient();
  const size_t threadsBefore = threadCount();
  bus.plug(device("1-3"));
  ASSERT_TRUE(waitUntil([] { return deviceCount() == 1; }));
  const std::string node = bus.nodePath("1-3");
  bus.setModel("1-3", std::make_shared<simbus::SilentDevice>());
  ASSERT_EQ(bindResult(client, 13), 1);

  struct Request {
    uint8_t type, replyType;
    std::vector<uint8_t> payload;
    size_t statusOffset;
  };
  std::vector<uint8_t> bulkIn(13, 0), bulkOut(13 + 8, 'o'), control(16, 0);
  bulkIn[0] = 0x81;
  bulkIn[5] = 3;
  ovclient::putLe32(bulkIn, 9, 64);
  bulkOut[0] = 0x02;
  bulkOut[5] = 3;
  ovclient::putLe32(bulkOut, 9, 8);
  const uint8_t getDescriptor[8] = {0x80, 6, 0, 1, 0, 0, 18, 0};
  memcpy(control.data() + 8, getDescriptor, 8);
  const std::vector<Request> requests = {
      {kMsgBulkInterruptTransfer, kMsgBulkInterruptTransferReply, bulkIn, 0},
      {kMsgBulkInterruptTransfer, kMsgBulkInterruptTransferReply, bulkIn, 0},
      {kMsgBulkInterruptTransfer, kMsgBulkInterruptTransferReply, bulkOut, 0},
      {kMsgIsoTransfer, kMsgIsoTransferReply, isoRequest(0x83, {16, 16}), 0},
      {kMsgIsoPackedTransfer, kMsgIsoTransferReply, isoRequest(0x83, {16, 16}), 0},
      {kMsgControlTransfer, kMsgControlTransferReply, control, 8},
  };
  for (size_t i = 0; i < requests.size(); ++i) {
    ovclient::Message request;
    request.type = requests[i].type;
    request.deviceAddress = 13;
    request.context[0] = uint32_t(100 + i);
    request.payload = requests[i].payload;
    ASSERT_TRUE(client.send(request));
  }
  ASSERT_TRUE(waitUntil([this, &requests] { return bus.pendingUrbs() == requests.size(); }));
  bus.unplug("1-3");

  std::map<uint32_t, int> answers;
  std::vector<int> announced;
  int unbound = 0;
  ovclient::Message message;
  for (;;) {
    int got = client.receive(&message, answers.size() == requests.size() ? 300 : 10000);
    if (got != 1) break;
    if (message.type == kMsgDeviceUnbound) {
      ++unbound;
      continue;
    }
    if (message.type == kMsgDeviceAnnounce) {
      ovclient::DeviceAnnouncement announcement;
      ASSERT_TRUE(ovclient::parseDeviceAnnouncement(message, &announcement));
      announced.push_back(announcement.state);
      continue;
    }
    uint32_t index = message.context[0] - 100;
    ASSERT_LT(index, requests.size()) << "reply of type " << int(message.type);
    EXPECT_EQ(message.type, requests[index].replyType) << index;
    EXPECT_LT(int32_t(ovclient::le32(message.payload.data() + requests[index].statusOffset)), 0) << index;
    ++answers[index];
  }
  ASSERT_EQ(answers.size(), requests.size());
  for (const auto& [index, count] : answers) EXPECT_EQ(count, 1) << index;
  EXPECT_EQ(unbound, 1);
  // The arrival and the bind may have been announced before; after them
  // comes the removal alone.
  while (!announced.empty() && announced.front() != DEVICE_REMOVED) announced.erase(announced.begin());
  EXPECT_EQ(announced, std::vector<int>{DEVICE_REMOVED});
  EXPECT_EQ(deviceCount(), 0u);
  EXPECT_EQ(log.count("SURPRISE UNBOUND"), 1u);
  std::vector<std::string> open = bus.openPaths();
  EXPECT_EQ(std::find(open.begin(), open.end(), node), open.end());
  EXPECT_TRUE(waitUntil([threadsBefore] { return threadCount() <= threadsBefore; }));
}

// Shutdown while a client still holds two devices: both are unbound as
// surprises, the client hears of each once, and the device layer stops
// without a warning about bindings left over.
TEST_F(BindingTest, ShutdownWithTwoDevicesStillBound) {
  bus.addDevice(device("1-3"));
  bus.addDevice(device("1-4"));
  startDiscovery();
  ASSERT_TRUE(waitUntil([] { return deviceCount() == 2; }));
  ovclient::OvClient& client = connectClient();
  ASSERT_EQ(bindResult(client, 13), 1);
  ASSERT_EQ(bindResult(client, 14), 1);
  stopBindProcessing();
  stopUsbDiscoveryThreads();
  stopDeviceManager();
  EXPECT_EQ(deviceList, nullptr);
  std::set<uint32_t> told;
  ovclient::Message message;
  while (client.waitFor(kMsgDeviceUnbound, &message, told.size() == 2 ? 300 : 5000)) {
    uint32_t reason = 0;
    ASSERT_TRUE(ovclient::parseUnboundNotice(message, &reason));
    EXPECT_EQ(reason, 1u);
    EXPECT_TRUE(told.insert(message.deviceAddress).second) << message.deviceAddress;
  }
  EXPECT_EQ(told, (std::set<uint32_t>{13, 14}));
  EXPECT_EQ(log.count("SURPRISE UNBOUND"), 2u);
  EXPECT_FALSE(log.contains("Warning, stopping DeviceManager while there are bound devices"));
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

// On a NAS the disks of a mass-storage device are unmounted before the
// claim: every mount of its disk and of the disk's partitions, in table
// order, and nothing of a disk whose name only starts the same. A umount
// that does not end normally keeps the device from the client.
TEST_F(BindingTest, NasUnmountsEveryMountOfTheDiskBeforeTheClaim) {
  settings.nasPlatform = true;
  simbus::SimDevice stick = device("1-3");
  stick.interfaces = {simbus::SimInterface{8, 6, 0x50}};
  bus.addDevice(stick);
  const std::string scsi = "/1-3:1.0/host2/target2:0:0/2:0:0:0/block/sdb";
  bus.addDirectory(bus.sysfsDir("1-3") + scsi);
  bus.addLink("/sys/block/sdb", ".." + bus.sysfsDir("1-3").substr(4) + scsi);
  bus.addDirectory("/sys/devices/pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0/block/sdba");
  bus.addLink("/sys/block/sdba", "../devices/pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0/block/sdba");
  bus.writeFile("/etc/mtab",
                "/dev/sdba1 / ext4 rw 0 0\n"
                "/dev/sdb1 /share/usb vfat rw 0 0\n"
                "/dev/sdba2 /share/big ext4 rw 0 0\n"
                "/dev/sdb2 /share/two vfat rw 0 0\n"
                "/dev/sdb1 /mnt/again vfat rw 0 0\n");
  startDiscovery();
  ASSERT_TRUE(waitUntil([] { return deviceCount() == 1; }));
  ovclient::OvClient& client = connectClient();
  auto umounts = [this] {
    std::vector<std::string> all = bus.commands(), found;
    std::copy_if(all.begin(), all.end(), std::back_inserter(found),
                 [](const std::string& c) { return c.rfind("umount ", 0) == 0; });
    return found;
  };
  struct Case {
    const char* what;
    int status;  // of every umount
    int32_t result;
    size_t umounts;
    const char* logged;
  };
  const Case cases[] = {
      {"killed by a signal", SIGKILL, -1, 1, "unhandled signal 0:9 while unmounting, not grabbing"},
      {"stopped", 0x137f, -1, 1, "umount didnt exit normally, not grabbing"},
      {"no shell", -ENOENT, -1, 1, "Error 2 (No such file or directory) unmounting before grabbing, not grabbing"},
      {"not mounted any more", 32 << 8, 1, 3, "BOUND to connection"},
  };
  size_t before = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    bus.setCommandStatus("umount ", c.status);
    std::vector<unsigned long> requests = bus.nodeRequests("1-3");
    const size_t resets = size_t(std::count(requests.begin(), requests.end(), USBDEVFS_RESET));
    EXPECT_EQ(bindResult(client, 13), c.result);
    EXPECT_TRUE(waitUntil([&] { return log.contains(c.logged); }));
    std::vector<std::string> run = umounts();
    ASSERT_EQ(run.size(), before + c.umounts);
    const std::vector<std::string> expected = {"umount /dev/sdb1", "umount /dev/sdb2", "umount /dev/sdb1"};
    EXPECT_TRUE(std::equal(run.begin() + long(before), run.end(), expected.begin()));
    before = run.size();
    // A device that was not let go of by the host is not touched.
    requests = bus.nodeRequests("1-3");
    EXPECT_EQ(size_t(std::count(requests.begin(), requests.end(), USBDEVFS_RESET)) > resets, c.result == 1);
  }
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
// line. The script sees both clients' texts exactly.
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
  EXPECT_EQ(scratchContent(), "1234|5678|k$(touch " + planted + ")|127.0.0.1|h';touch " + planted +
                                  ";'|127.0.0.1||" + devicePath(13) + "|");
  EXPECT_FALSE(access(planted.c_str(), F_OK) == 0);
}

// One client's flood of binds takes only its share of the bind queue while
// the bind thread is held up (by the authorization script of another
// client's bind): the rest is answered at once with BIND_TRY_AGAIN, a third
// client's bind still gets its turn, and every failed bind is either logged
// or in a count logged when the flooding client leaves.
TEST_F(BindingTest, FloodKeepsToItsShareOfTheBindQueue) {
  // A share of 32 instead of 512: the flood of four shares is what proves
  // it, and 1500 replies of 64 KiB are slow under the sanitizers.
  core.bindRequestsPerClient = 32;
  bus.addDevice(device("1-3"));
  bus.addDevice(device("1-4"));
  startDiscovery();
  ASSERT_TRUE(waitUntil([] { return deviceCount() == 2; }));
  ASSERT_EQ(startConnectionLog(kLogBurstLines, kLogBurstWindowMs), 0);
  // The script waits for a file lock the test holds (not inherited by the
  // scripts this process starts). However the test ends, the lock goes and
  // the bind thread goes on, or the teardown would wait for it for ever.
  const std::string go = scratch + ".go";
  struct Release {
    int fd;
    void now() {
      if (fd >= 0) close(fd);
      fd = -1;
    }
    ~Release() { now(); }
  } release{open(go.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)};
  ASSERT_GE(release.fd, 0);
  ASSERT_EQ(flock(release.fd, LOCK_EX), 0);
  ASSERT_EQ(setConfigString("ClientAuthorization", ("flock " + go + " true; exit 1").c_str()), 0);
  ovclient::OvClient& holder = connectClient("holder");
  ovclient::OvClient& flood = connectClient("flood");
  ovclient::OvClient& other = connectClient("other");
  uint16_t ids[3];
  ASSERT_EQ(copyConnectionIds(ids, 3), 3u);
  const uint16_t floodId = ids[1];

  ovclient::Message bind;
  bind.type = kMsgBindDevice;
  bind.deviceAddress = 13;
  ASSERT_TRUE(holder.send(bind));
  ASSERT_TRUE(waitUntil([&] { return pendingBindRequests(ids[0]) == 1 && countLockedList(bindQueue) == 0; }))
      << "the holder's bind to reach the script";

  const unsigned share = core.bindRequestsPerClient, kFlood = 4 * share;
  bind.deviceAddress = 777;
  for (unsigned i = 0; i < kFlood; i++) ASSERT_TRUE(flood.send(bind));
  std::map<int32_t, unsigned> results;
  for (unsigned i = 0; i < kFlood - share; i++) {
    ovclient::Message reply;
    ASSERT_TRUE(flood.waitFor(kMsgBindResult, &reply, 10000)) << i;
    ovclient::BindResult result;
    ASSERT_TRUE(ovclient::parseBindResult(reply, &result));
    results[result.result]++;
  }
  EXPECT_EQ(results[kBindTryAgain], kFlood - share);
  EXPECT_EQ(pendingBindRequests(floodId), share);
  EXPECT_EQ(countLockedList(bindQueue), size_t(share));
  // An unbind over the share has no answer to carry the refusal: it is
  // dropped with a line. The type-2 answer comes after it was handled.
  ovclient::Message unbind;
  unbind.type = kMsgUnbindDevice;
  unbind.deviceAddress = 777;
  ASSERT_TRUE(flood.send(unbind));
  ovclient::Message answered;
  ASSERT_TRUE(flood.request(kMsgType2Request, {}, &answered, kMsgType2Reply));
  EXPECT_TRUE(log.contains("Warning, dropping unbind request for device 777: connection " + std::to_string(floodId) +
                           " has " + std::to_string(share) + " requests queued"));
  EXPECT_EQ(countLockedList(bindQueue), size_t(share));

  bind.deviceAddress = 14;
  ASSERT_TRUE(other.send(bind));
  ASSERT_TRUE(waitUntil([&] { return pendingBindRequests(ids[2]) == 1; })) << "the other client's bind to be queued";
  release.now();

  ovclient::Message reply;
  ovclient::BindResult result;
  ASSERT_TRUE(other.waitFor(kMsgBindResult, &reply, 30000));
  ASSERT_TRUE(ovclient::parseBindResult(reply, &result));
  EXPECT_EQ(result.result, 1) << "the other client's bind went through after the flood's share";
  for (unsigned i = 0; i < share; i++) {
    ASSERT_TRUE(flood.waitFor(kMsgBindResult, &reply, 10000)) << i;
    ASSERT_TRUE(ovclient::parseBindResult(reply, &result));
    results[result.result]++;
  }
  EXPECT_EQ(results[kBindError], share);
  EXPECT_EQ(pendingBindRequests(floodId), 0u);

  ASSERT_TRUE(removeClientConnection(floodId, "test"));
  const std::string text = log.text();
  const std::string lineStart = "Error binding device 777 [0000:0000] to connection " + std::to_string(floodId) + ", ";
  const std::regex summary("Connection " + std::to_string(floodId) +
                           R"(: (\d+) more records like "Error binding device %u \[%04x:%04x\] to connection %u, %s" not logged)");
  size_t counted = 0;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), summary); it != std::sregex_iterator(); ++it) {
    counted += std::stoul((*it)[1]);
  }
  const size_t logged = log.count(lineStart);
  EXPECT_LT(logged, kFlood / 2) << "lines are counted, not written one by one";
  EXPECT_EQ(logged + counted, kFlood) << text;
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

// A client's text is never expanded from the daemon's environment: a serial
// "${PATH}" is listed, read back (message 78) and matched as written.
TEST_F(IgnoreRequestTest, SerialIsNeverExpanded) {
  ASSERT_NE(getenv("PATH"), nullptr);
  simbus::SimDevice d = device("1-3");
  d.serial = "${PATH}";
  bus.addDevice(d);
  startDiscovery();
  ASSERT_TRUE(waitUntil([] { return deviceCount() == 1; }));
  ovclient::OvClient& client = connectClient();
  ignore(client, ignorePayload(0x1234, 0x5678, 1, "${PATH}", 128));
  EXPECT_EQ(deviceCount(), 0u);
  ovclient::Message reply;
  ASSERT_TRUE(client.request(kMsgGetIgnoredDevices, {}, &reply, kMsgGetIgnoredDevicesReply));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(reply.payload.data())), "1234/5678/${PATH}");
  // Discovery reads the list as written too: the device stays ignored.
  bus.unplug("1-3");
  bus.plug(d);
  ASSERT_TRUE(drainUevents());
  EXPECT_EQ(deviceCount(), 0u);
}

// What the list cannot take is refused before the script is asked, with a
// line naming the connection.
TEST_F(IgnoreRequestTest, UnlistableRequestsAreRefusedBeforeTheScript) {
  plugAtStart("1-3");
  ovclient::OvClient& client = connectClient();
  uint16_t id = 0;
  ASSERT_EQ(copyConnectionIds(&id, 1), 1u);
  ASSERT_EQ(startConnectionLog(kLogBurstLines, kLogBurstWindowMs), 0);
  ASSERT_EQ(setConfigString("OnDeviceIgnore", ("touch " + scratch + "; exit 1").c_str()), 0);
  ignore(client, ignorePayload(0x1234, 0x5678, 1, "a,b", 128));
  ignore(client, ignorePayload(0x1234, 0x5678, 1, "a\rb", 128));
  std::string full;
  for (unsigned i = 0; i < kMaxIgnoredDevices; ++i) full += (i ? "," : "") + std::to_string(i) + "/1";
  ASSERT_EQ(setConfigString("IgnoredDevices", full.c_str()), 0);
  ignore(client, ignorePayload(0x1234, 0x5678, 0));
  EXPECT_NE(access(scratch.c_str(), F_OK), 0) << "the script ran";
  EXPECT_EQ(deviceCount(), 1u);
  EXPECT_EQ(ignored(), full);
  const std::string refusal = "Warning, refusing to ignore device 1234:5678 for connection " + std::to_string(id);
  EXPECT_EQ(log.count(refusal + ": its serial holds ',' or a control character"), 2u);
  EXPECT_EQ(log.count(refusal + ": 256 devices are ignored"), 1u);
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
// script exactly and run nothing; a request too short for its ids is dropped.
TEST_F(IgnoreRequestTest, ScriptPlaceholdersAndPayloadBounds) {
  std::string planted = scratch + ".planted";
  ovclient::OvClient& client = connectClient(("c`touch " + planted + "`").c_str());
  std::string script = "printf '%s|' '$VENDOR_ID$' '$PRODUCT_ID$' '$SERIAL$' '$CLIENT_ID$' '$CLIENT_IP$' > " +
                       scratch + "; exit 0";
  ASSERT_EQ(setConfigString("OnDeviceIgnore", script.c_str()), 0);
  const std::string client_ = "|c`touch " + planted + "`|127.0.0.1|";
  struct Case {
    std::vector<uint8_t> payload;
    std::string seen;
  };
  const Case cases[] = {
      {ignorePayload(0x046d, 0xc52b, 1, std::string(200, 'A'), 128), "046d|c52b|" + std::string(127, 'A') + client_},
      {ignorePayload(0x046d, 0xc52b, 1, "ABC", 127), "046d|c52b|$SERIAL$" + client_},
      {ignorePayload(0x046d, 0xc52b, 0, "ABC", 128), "046d|c52b|$SERIAL$" + client_},
      {ignorePayload(0x046d, 0xc52b, 1, "x';touch " + planted + ";'", 128),
       "046d|c52b|x';touch " + planted + ";'" + client_},
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
// Isochronous IN packets carry isoAnswer bytes of the packet's number + 1
// (counted from the first packet since the last reset), except those given
// a failure status, which carry none; OUT packets are taken whole.
class EchoDevice : public simbus::UsbModel {
 public:
  std::string received;
  std::string isoReceived;
  size_t isoAnswer = 100;
  std::map<uint32_t, int> isoFailures;  // packet number -> status
  uint32_t isoPackets = 0;
  simbus::UrbAnswer isoPacket(uint8_t, bool in, size_t length, int* packetStatus) override {
    uint32_t number = isoPackets++;
    auto failure = isoFailures.find(number);
    *packetStatus = failure == isoFailures.end() ? 0 : failure->second;
    simbus::UrbAnswer answer;
    if (!in) {
      answer.status = static_cast<int>(length);
    } else if (*packetStatus == 0) {
      answer.data.assign(std::min(isoAnswer, length), char(number % 251 + 1));
    }
    return answer;
  }
  void isoOutData(uint8_t, const std::string& data) override { isoReceived += data; }
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
    if (hubUnavailable) bus.failOpen(bus.nodePath("usb1"), EACCES);
    plugAtStart("1-3");
    model = std::make_shared<EchoDevice>();
    bus.setModel("1-3", model);
    if (withRefusedClient) {
      refused = &connectClient("refused");
      ASSERT_EQ(setConfigString("ClientAuthorization", "exit 0"), 0);
      ASSERT_EQ(bindResult(*refused, 13), -4);
      ASSERT_EQ(setConfigString("ClientAuthorization", "exit 1"), 0);
    }
    client = &connectClient();
    ASSERT_EQ(bindResult(*client, 13), 1);
  }
  // Sends one request with context words {11,12,13,14,15} and returns the
  // reply of replyType, checking that it carries them back.
  ovclient::Message ask(uint8_t type, const std::vector<uint8_t>& payload, uint8_t replyType, uint32_t address = 13) {
    return askFrom(*client, type, payload, replyType, address);
  }
  ovclient::Message askFrom(ovclient::OvClient& from, uint8_t type, const std::vector<uint8_t>& payload,
                            uint8_t replyType, uint32_t address = 13) {
    ovclient::Message request;
    request.type = type;
    request.deviceAddress = address;
    for (int i = 0; i < 5; ++i) request.context[i] = 11 + i;
    request.payload = payload;
    EXPECT_TRUE(from.send(request));
    ovclient::Message reply;
    EXPECT_TRUE(from.waitFor(replyType, &reply, 5000)) << "no reply of type " << int(replyType);
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
  bool hubUnavailable = false;  // the device's parent hub cannot be opened
  // Before `client` binds the device, a client whose bind of it the
  // authorization script refused.
  bool withRefusedClient = false;
  ovclient::OvClient* refused = nullptr;
};

// Requests answered with one status word: the reply type, its 4 bytes, and
// -19 for a device that is not there, which the client does not hold (a
// refusal: message 50 too, which reports 0 for whatever it did).
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
      {kMsgAbortResetClearHalt, kMsgAbortResetClearHaltReply, endpoint, 0, -19},
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

// usbfs revokes every descriptor of a device that the generic usb driver
// lets go of (binding usbip-host starts so), the server's too, and a revoked
// descriptor never works again. Cases: the driver let go of the free
// device, or of the held one under a waiting transfer. Either way, once the
// driver is back, a bind opens the node again: the claim takes the interface
// from the host driver the rebind gave it and transfers work. The reaper
// neither spins on the revoked descriptor nor stays with it, and the
// revoked descriptor is closed once nothing holds it.
TEST_F(RequestTest, BindAfterTheGenericDriverLetGoOpensTheNodeAgain) {
  const std::string node = bus.nodePath("1-3");
  auto nodeDescriptors = [this, &node] {
    std::vector<std::string> paths = bus.openPaths();
    return std::count(paths.begin(), paths.end(), node);
  };
  bus.setProbeDriver("1-3", 0, "usbhid");
  for (bool held : {false, true}) {
    SCOPED_TRACE(held ? "let go of the held device" : "let go of the free device");
    const size_t handBacks = commandCount("write /sys/bus/usb/drivers/usb/bind 1-3");
    if (held) {
      bus.setModel("1-3", std::make_shared<simbus::SilentDevice>());
      ASSERT_TRUE(client->sendTagged(kMsgBulkInterruptTransfer, bulk(0x81, 3, 64), 13, 500));
      ASSERT_TRUE(waitUntil([this] { return bus.pendingUrbs() == 1; }));
      bus.unbindGenericDriver("1-3");
      // The killed URB reaches the client as a failure; later requests fail
      // at once.
      ovclient::Message reply;
      ASSERT_TRUE(client->waitTagged(kMsgBulkInterruptTransferReply, 500, &reply, 5000));
      EXPECT_LT(word(reply, 0), 0);
      EXPECT_EQ(word(ask(kMsgBulkInterruptTransfer, bulk(0x81, 3, 64), kMsgBulkInterruptTransferReply), 0), -19);
      ASSERT_TRUE(client->unbind(13));
      EXPECT_EQ(unboundReason(*client, 13), 1u);
      // The hand-back's bind write gave the device back to the generic
      // driver; nothing was sent through the revoked descriptor.
      EXPECT_EQ(commandCount("write /sys/bus/usb/drivers/usb/bind 1-3"), handBacks + 1);
      EXPECT_FALSE(log.contains("restoring configuration"));
      bus.setModel("1-3", model);
    } else {
      ASSERT_TRUE(client->unbind(13));
      EXPECT_EQ(unboundReason(*client, 13), 1u);
      bus.unbindGenericDriver("1-3");
      // Round trips through the server while the descriptor stays revoked:
      // a reaper that kept polling it would poll it over and over.
      for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(word(ask(kMsgDeviceReset, {}, kMsgDeviceResetReply, 99), 0), -19);
      }
      EXPECT_LE(bus.revokedPolls(), 3u);
      bus.bindGenericDriver("1-3");
    }
    EXPECT_EQ(bus.configuration("1-3"), 1);
    EXPECT_EQ(bus.hostDriver("1-3", 0), "usbhid");
    ASSERT_EQ(bindResult(*client, 13), 1) << log.text();
    EXPECT_EQ(bus.hostDriver("1-3", 0), "");
    ovclient::Message reply = ask(kMsgBulkInterruptTransfer, bulk(0x81, 3, 512), kMsgBulkInterruptTransferReply);
    EXPECT_EQ(word(reply, 0), 5);
    EXPECT_TRUE(waitUntil([&] { return nodeDescriptors() == 1; }));
  }
  EXPECT_EQ(log.count("usbfs revoked the descriptor of device 13"), 2u);
}

// Requests to the device's hub port, port 3 of the root hub here. Port
// status is the hub's own word with the ioctl's result (4 bytes read); port
// power switches the port; a hub-class request goes to the device's own
// port whatever port the client put in wIndex, and only class requests are
// sent at all.
TEST_F(RequestTest, HubPortRequestsReachTheDevicesOwnPort) {
  using Bytes = std::vector<uint8_t>;
  EXPECT_EQ(ask(kMsgPortStatus, {}, kMsgPortStatusReply).payload, (Bytes{4, 0, 0, 0, 0x03, 0x05}));
  EXPECT_EQ(ask(kMsgPortPower, {0}, kMsgPortPowerReply).payload, (Bytes{0, 0, 0, 0}));
  EXPECT_FALSE(bus.portPowered("usb1", 3));
  EXPECT_EQ(ask(kMsgPortStatus, {}, kMsgPortStatusReply).payload, (Bytes{4, 0, 0, 0, 0, 0}));
  EXPECT_EQ(ask(kMsgPortPower, {7}, kMsgPortPowerReply).payload, (Bytes{0, 0, 0, 0}));
  EXPECT_TRUE(bus.portPowered("usb1", 3));

  // GET_STATUS naming no port, SET_FEATURE(PORT_RESET) naming port 5 with a
  // selector in the high byte: both reach port 3, the selector kept.
  EXPECT_EQ(ask(kMsgHubClassRequest, {0xa3, 0, 0, 0, 0, 0, 4, 0}, kMsgHubClassReply).payload,
            (Bytes{4, 0, 0, 0, 0x03, 0x05, 0, 0}));
  EXPECT_EQ(bus.controls().back().setup[4], 3);
  EXPECT_EQ(ask(kMsgHubClassRequest, {0x23, 3, 4, 0, 5, 1, 0, 0}, kMsgHubClassReply).payload, (Bytes{0, 0, 0, 0}));
  EXPECT_EQ(bus.controls().back().setup[4], 3);
  EXPECT_EQ(bus.controls().back().setup[5], 1);
  EXPECT_EQ(bus.portResets("usb1", 3), 1u);
  EXPECT_EQ(bus.portResets("usb1", 5), 0u);
  // A class request to the hub itself passes as it is: its descriptor.
  EXPECT_EQ(ask(kMsgHubClassRequest, {0xa0, 6, 0, 0x29, 0, 0, 9, 0}, kMsgHubClassReply).payload,
            (Bytes{9, 0, 0, 0, 9, 0x29, 15, 1, 0, 25, 100, 0, 0xff}));

  // Standard and vendor requests are refused with -1 and never sent; an
  // OUT request must carry its data.
  size_t sent = bus.controls().size();
  ovclient::Message reply = ask(kMsgHubClassRequest, {0x80, 6, 0, 1, 0, 0, 18, 0}, kMsgHubClassReply);
  ASSERT_EQ(reply.payload.size(), 22u);
  EXPECT_EQ(word(reply, 0), -1);
  EXPECT_EQ(word(ask(kMsgHubClassRequest, {0x40, 1, 0, 0, 3, 0, 0, 0}, kMsgHubClassReply), 0), -1);
  EXPECT_EQ(word(ask(kMsgHubClassRequest, {0x23, 3, 8, 0, 0, 0, 4, 0, 1}, kMsgHubClassReply), 0), -22);
  EXPECT_EQ(bus.controls().size(), sent);

  // A hub that fails the request: status 0 and -1.
  bus.failControl("usb1", EPIPE);
  EXPECT_EQ(ask(kMsgPortStatus, {}, kMsgPortStatusReply).payload, (Bytes{0xff, 0xff, 0xff, 0xff, 0, 0}));
  bus.failControl("usb1", EPIPE);
  EXPECT_EQ(word(ask(kMsgPortPower, {1}, kMsgPortPowerReply), 0), -1);

  // A device that is not there: -19 for all three.
  EXPECT_EQ(ask(kMsgPortStatus, {}, kMsgPortStatusReply, 99).payload, (Bytes{0xed, 0xff, 0xff, 0xff, 0, 0}));
  EXPECT_EQ(word(ask(kMsgPortPower, {1}, kMsgPortPowerReply, 99), 0), -19);
  reply = ask(kMsgHubClassRequest, {0x23, 3, 8, 0, 1, 0, 0, 0}, kMsgHubClassReply, 99);
  ASSERT_EQ(reply.payload.size(), 4u);
  EXPECT_EQ(word(reply, 0), -19);
}

// Every hub-port path with a port number the client chose: the device sits
// on port 3 of the root hub, another device on port 5, port 7 is empty. A
// request naming another port concerns port 3 or is refused (-1, nothing
// sent); port 5 keeps its power and is never reset. Port status and port
// power carry no port at all: bytes the client adds change nothing.
TEST_F(RequestTest, HubPortPathsNeverReachAnotherPort) {
  bus.addDevice(device("1-5"));
  using Bytes = std::vector<uint8_t>;
  struct Case {
    const char* what;
    uint8_t type, replyType;
    Bytes payload;
    int32_t result;  // word 0 of the reply
    Bytes data;      // what follows it
    int sentIndex;   // wIndex as the hub got it; -1: nothing sent
  };
  const Case cases[] = {
      {"GET_STATUS of port 7", kMsgHubClassRequest, kMsgHubClassReply, {0xa3, 0, 0, 0, 7, 0, 4, 0}, 4,
       {0x03, 0x05, 0, 0}, 3},
      {"GET_STATUS of port 5", kMsgHubClassRequest, kMsgHubClassReply, {0xa3, 0, 0, 0, 5, 0, 4, 0}, 4,
       {0x03, 0x05, 0, 0}, 3},
      {"SET_FEATURE(PORT_RESET) of port 5", kMsgHubClassRequest, kMsgHubClassReply, {0x23, 3, 4, 0, 5, 0, 0, 0}, 0,
       {}, 3},
      {"CLEAR_FEATURE(PORT_POWER) of port 5", kMsgHubClassRequest, kMsgHubClassReply, {0x23, 1, 8, 0, 5, 0, 0, 0},
       0, {}, 3},
      {"SET_FEATURE(PORT_POWER) of port 5 with a selector", kMsgHubClassRequest, kMsgHubClassReply,
       {0x23, 3, 8, 0, 5, 2, 0, 0}, 0, {}, 0x0203},
      {"GET_PORT_ERR_COUNT of port 5", kMsgHubClassRequest, kMsgHubClassReply, {0xa3, 13, 0, 0, 5, 0, 2, 0}, -1,
       {0, 0}, 3},
      {"port 255", kMsgHubClassRequest, kMsgHubClassReply, {0x23, 3, 4, 0, 0xff, 0, 0, 0}, 0, {}, 3},
      {"CLEAR_TT_BUFFER of port 5", kMsgHubClassRequest, kMsgHubClassReply, {0x23, 8, 0, 0, 5, 0, 0, 0}, -1, {},
       -1},
      {"RESET_TT of port 5", kMsgHubClassRequest, kMsgHubClassReply, {0x23, 9, 0, 0, 5, 0, 0, 0}, -1, {}, -1},
      {"GET_TT_STATE of port 5", kMsgHubClassRequest, kMsgHubClassReply, {0xa3, 10, 0, 0, 5, 0, 4, 0}, -1,
       {0, 0, 0, 0}, -1},
      {"hub SET_FEATURE(C_HUB_LOCAL_POWER)", kMsgHubClassRequest, kMsgHubClassReply, {0x20, 3, 0, 0, 5, 0, 0, 0}, -1,
       {}, -1},
      {"hub CLEAR_FEATURE(C_HUB_OVER_CURRENT)", kMsgHubClassRequest, kMsgHubClassReply, {0x20, 1, 1, 0, 0, 0, 0, 0},
       -1, {}, -1},
      {"SET_HUB_DEPTH", kMsgHubClassRequest, kMsgHubClassReply, {0x20, 12, 0, 0, 5, 0, 0, 0}, -1, {}, -1},
      {"hub descriptor naming port 5", kMsgHubClassRequest, kMsgHubClassReply, {0xa0, 6, 0, 0x29, 5, 0, 9, 0}, 9,
       {9, 0x29, 15, 1, 0, 25, 100, 0, 0xff}, 0},
      {"class request to an interface", kMsgHubClassRequest, kMsgHubClassReply, {0x21, 3, 4, 0, 5, 0, 0, 0}, -1, {},
       -1},
      {"class request to an endpoint", kMsgHubClassRequest, kMsgHubClassReply, {0x22, 1, 0, 0, 0x81, 0, 0, 0}, -1,
       {}, -1},
      {"port status with bytes naming port 7", kMsgPortStatus, kMsgPortStatusReply, {0xa3, 0, 0, 0, 7, 0, 4, 0}, 4,
       {0x03, 0x05}, 3},
      {"port power on with bytes naming port 5", kMsgPortPower, kMsgPortPowerReply, {1, 0, 0, 0, 5, 0}, 0, {}, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const size_t sent = bus.controls().size();
    ovclient::Message reply = ask(c.type, c.payload, c.replyType);
    ASSERT_EQ(reply.payload.size(), 4 + c.data.size());
    EXPECT_EQ(word(reply, 0), c.result);
    EXPECT_EQ(Bytes(reply.payload.begin() + 4, reply.payload.end()), c.data);
    std::vector<simbus::SimBus::ControlRecord> controls = bus.controls();
    if (c.sentIndex < 0) {
      EXPECT_EQ(controls.size(), sent);
      continue;
    }
    ASSERT_GT(controls.size(), sent);
    for (size_t i = sent; i < controls.size(); ++i) {
      EXPECT_EQ(controls[i].setup[4] | controls[i].setup[5] << 8, c.sentIndex);
    }
    EXPECT_TRUE(bus.portPowered("usb1", 5));
    EXPECT_EQ(bus.portResets("usb1", 5), 0u);
  }
  EXPECT_EQ(bus.portResets("usb1", 3), 2u);  // the resets naming ports 5 and 255
  EXPECT_TRUE(bus.portPowered("usb1", 3));
}

// A client that floods port and hub requests while its hub is slow: at most
// hubRequestThreads threads wait on the hub, every request beyond them is
// answered -16 at once and logged or counted, and once the hub answers, the
// held ones are answered as usual: exactly one reply to each.
TEST_F(RequestTest, HubRequestFloodKeepsToTheThreadBound) {
  settings.hubRequestThreads = 3;
  ASSERT_EQ(startConnectionLog(kLogBurstLines, kLogBurstWindowMs), 0);
  struct Hold {
    simbus::SimBus& bus;
    ~Hold() { bus.releaseIoctl(); }
  } hold{bus};
  bus.holdIoctl(USBDEVFS_CONTROL);
  struct Kind {
    uint8_t type, replyType;
    std::vector<uint8_t> payload;
    int32_t answer;  // word 0 of the reply once the hub answers
  };
  const Kind kinds[] = {
      {kMsgPortStatus, kMsgPortStatusReply, {}, 4},
      {kMsgPortPower, kMsgPortPowerReply, {1}, 0},
      {kMsgHubClassRequest, kMsgHubClassReply, {0xa3, 0, 0, 0, 0, 0, 4, 0}, 4},
  };
  const size_t threadsBefore = threadCount();
  constexpr uint32_t kRequests = 60, kBound = 3;
  for (uint32_t tag = 1; tag <= kRequests; ++tag) {
    const Kind& kind = kinds[tag % 3];
    ASSERT_TRUE(client->sendTagged(kind.type, kind.payload, 13, tag));
  }
  auto isReply = [&](const ovclient::Message& m) {
    return std::any_of(std::begin(kinds), std::end(kinds), [&](const Kind& k) { return k.replyType == m.type; });
  };
  std::map<uint32_t, std::vector<int32_t>> answers;
  size_t busy = 0;
  ovclient::Message message;
  auto take = [&] {
    if (client->receive(&message, 20000) != 1) return false;
    if (!isReply(message)) return true;  // an announcement, say
    const Kind& kind = kinds[message.context[0] % 3];
    EXPECT_EQ(message.type, kind.replyType) << message.context[0];
    const int32_t result = word(message, 0);
    answers[message.context[0]].push_back(result);
    busy += result == -EBUSY;
    return true;
  };
  while (busy < kRequests - kBound && take()) {
  }
  ASSERT_EQ(busy, size_t(kRequests - kBound)) << "refusals of the requests beyond the bound, 20 s";
  ASSERT_TRUE(waitUntil([this] { return bus.heldIoctls() == int(kBound); })) << "the bound's requests at the hub";
  EXPECT_LE(threadCount(), threadsBefore + kBound);
  EXPECT_TRUE(log.contains("hub requests are running"));

  bus.releaseIoctl();
  while (answers.size() < kRequests && take()) {
  }
  ASSERT_EQ(answers.size(), size_t(kRequests)) << "answers to the held requests, 20 s";
  size_t answered = 0;
  for (const auto& [tag, results] : answers) {
    ASSERT_EQ(results.size(), 1u) << tag;
    if (results[0] != -EBUSY) {
      EXPECT_EQ(results[0], kinds[tag % 3].answer) << tag;
      ++answered;
    }
  }
  EXPECT_EQ(answered, size_t(kBound));
  // The threads are free again.
  EXPECT_EQ(ask(kMsgPortStatus, {}, kMsgPortStatusReply).payload.size(), 6u);
  EXPECT_EQ(word(ask(kMsgPortStatus, {}, kMsgPortStatusReply), 0), 4);
  while (client->receive(&message, 0) == 1) {
    if (isReply(message)) ADD_FAILURE() << "a second reply to " << message.context[0];
  }
}

// A device whose parent hub could not be opened: port status emulated from
// the speed with result -19, port power -1, a hub-class request not sent
// and reporting 0.
class NoHubRequestTest : public RequestTest {
 protected:
  void SetUp() override {
    hubUnavailable = true;
    RequestTest::SetUp();
  }
};

TEST_F(NoHubRequestTest, HubPortRequestsWithoutAHubDescriptor) {
  using Bytes = std::vector<uint8_t>;
  EXPECT_EQ(ask(kMsgPortStatus, {}, kMsgPortStatusReply).payload, (Bytes{0xed, 0xff, 0xff, 0xff, 0x03, 0x05}));
  EXPECT_EQ(word(ask(kMsgPortPower, {1}, kMsgPortPowerReply), 0), -1);
  ovclient::Message reply = ask(kMsgHubClassRequest, {0xa3, 0, 0, 0, 1, 0, 4, 0}, kMsgHubClassReply);
  EXPECT_EQ(reply.payload, (Bytes{0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_TRUE(bus.controls().empty());
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
  // is not there (not the client's: refused with the setup packet only).
  const std::vector<uint8_t> longOut = {0x40, 1, 0, 0, 0, 0, 10, 0};
  reply = ask(kMsgControlTransfer, control(longOut, "ab"), kMsgControlTransferReply);
  EXPECT_EQ(word(reply, 8), -22);
  EXPECT_EQ(bus.submitted().size(), submitted);
  reply = ask(kMsgControlTransfer, control(getDescriptor), kMsgControlTransferReply, 99);
  ASSERT_EQ(reply.payload.size(), 16u);
  EXPECT_TRUE(std::equal(getDescriptor.begin(), getDescriptor.end(), reply.payload.begin()));
  EXPECT_EQ(word(reply, 8), -19);
}

// ---- isochronous transfers ----

// A transfer-reply pool whose buffers hold old bytes, as a reused mapping
// would: whatever a reply does not write itself reaches the client as 0xEE.
struct DirtyPool {
  static std::mutex mutex;
  static std::set<void*> out;
  static void* acquire(uint32_t, uint8_t, uint32_t size, uint32_t) {
    void* buffer = malloc(size);
    memset(buffer, 0xEE, size);
    std::lock_guard<std::mutex> lock(mutex);
    out.insert(buffer);
    return buffer;
  }
  static bool release(uint32_t, void* buffer) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!out.erase(buffer)) return false;
    free(buffer);
    return true;
  }
};
std::mutex DirtyPool::mutex;
std::set<void*> DirtyPool::out;
const MessageBufferPool kDirtyPool = {DirtyPool::acquire, DirtyPool::release, false, true, 0, 0};

class IsoRequestTest : public RequestTest {
 protected:
  void TearDown() override {
    RequestTest::TearDown();
    setMessageBufferPool(nullptr);
  }
  void resetIso(size_t answer, std::map<uint32_t, int> failures = {}) {
    bus.withModel("1-3", [&](simbus::UsbModel&) {
      model->isoAnswer = answer;
      model->isoFailures = std::move(failures);
      model->isoPackets = 0;
      model->isoReceived.clear();
    });
  }
  // The reply an EchoDevice gives: word 0 the bytes moved, the error
  // count, 0, the packet results, and for IN the data, each packet's at its
  // slot with the rest zero, or packed together for type 76.
  std::vector<uint8_t> expectedReply(uint8_t endpoint, const std::vector<uint32_t>& lengths, size_t answer,
                                     const std::map<uint32_t, int>& failures, bool packed) {
    const bool in = endpoint & 0x80;
    std::vector<uint8_t> results, slots, dense;
    uint32_t moved = 0, errors = 0;
    for (uint32_t i = 0; i < lengths.size(); ++i) {
      auto failure = failures.find(i);
      int status = failure == failures.end() ? 0 : failure->second;
      uint32_t actual = !in ? lengths[i] : status ? 0 : uint32_t(std::min<size_t>(answer, lengths[i]));
      errors += status != 0;
      moved += actual;
      size_t at = results.size();
      results.resize(at + 12);
      ovclient::putLe32(results, at, lengths[i]);
      ovclient::putLe32(results, at + 4, actual);
      ovclient::putLe32(results, at + 8, uint32_t(status));
      if (in) {
        std::vector<uint8_t> slot(lengths[i], 0);
        std::fill(slot.begin(), slot.begin() + actual, uint8_t(i % 251 + 1));
        slots.insert(slots.end(), slot.begin(), slot.end());
        dense.insert(dense.end(), slot.begin(), slot.begin() + actual);
      }
    }
    std::vector<uint8_t> reply(12);
    ovclient::putLe32(reply, 0, moved);
    ovclient::putLe32(reply, 4, errors);
    reply.insert(reply.end(), results.begin(), results.end());
    const std::vector<uint8_t>& data = packed ? dense : slots;
    reply.insert(reply.end(), data.begin(), data.end());
    return reply;
  }
  static bool allZero(const std::vector<uint8_t>& bytes, size_t from) {
    return std::all_of(bytes.begin() + long(from), bytes.end(), [](uint8_t b) { return b == 0; });
  }
};

// Messages 36 and 77 byte for byte, with plain heap replies and with reply
// buffers that hold an earlier user's bytes. A type-77 IN transfer packs the
// packets' data; a type-77 OUT reply has no room for data and so is sent as
// type 37, as is every failed one.
TEST_F(IsoRequestTest, ReplyLayouts) {
  struct Case {
    const char* what;
    uint8_t type;
    uint8_t endpoint;
    std::vector<uint32_t> lengths;
    size_t answer;
    std::map<uint32_t, int> failures;
    uint8_t replyType;
  };
  const std::vector<uint32_t> eight(8, 192), many(200, 8), three(3, 64);
  const Case cases[] = {
      {"IN, each packet at its slot", kMsgIsoTransfer, 0x81, eight, 100, {}, kMsgIsoTransferReply},
      {"IN, packed", kMsgIsoPackedTransfer, 0x81, eight, 100, {}, kMsgIsoPackedTransferReply},
      {"IN over two URBs, packed", kMsgIsoPackedTransfer, 0x81, many, 5, {}, kMsgIsoPackedTransferReply},
      {"IN over two URBs", kMsgIsoTransfer, 0x81, many, 5, {{130, -18}}, kMsgIsoTransferReply},
      {"IN with a packet in error, packed", kMsgIsoPackedTransfer, 0x81, eight, 192, {{2, -18}},
       kMsgIsoPackedTransferReply},
      {"IN, full packets", kMsgIsoTransfer, 0x81, {1, 3, 0, 7}, 192, {}, kMsgIsoTransferReply},
      {"OUT", kMsgIsoTransfer, 0x02, three, 0, {}, kMsgIsoTransferReply},
      {"OUT asked packed", kMsgIsoPackedTransfer, 0x02, three, 0, {}, kMsgIsoTransferReply},
  };
  for (bool dirty : {false, true}) {
    setMessageBufferPool(dirty ? &kDirtyPool : nullptr);
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (dirty ? ", reused reply buffers" : ""));
      resetIso(c.answer, c.failures);
      std::string data;
      if (!(c.endpoint & 0x80)) {
        for (uint32_t length : c.lengths) data += std::string(length, char('a' + data.size() % 26));
      }
      ovclient::Message reply = ask(c.type, isoRequest(c.endpoint, c.lengths, data), c.replyType);
      EXPECT_EQ(reply.payload, expectedReply(c.endpoint, c.lengths, c.answer, c.failures,
                                             c.replyType == kMsgIsoPackedTransferReply));
      bus.withModel("1-3", [&](simbus::UsbModel&) { EXPECT_EQ(model->isoReceived, data); });
    }
  }
  // 200 packets go out as URBs of 128 and 72.
  int urbs128 = 0, urbs72 = 0;
  for (const simbus::SubmittedUrb& urb : bus.submitted()) {
    urbs128 += urb.type == USBDEVFS_URB_TYPE_ISO && urb.packets == 128;
    urbs72 += urb.type == USBDEVFS_URB_TYPE_ISO && urb.packets == 72;
  }
  EXPECT_EQ(urbs128, 4);
  EXPECT_EQ(urbs72, 4);
}

// A transfer that fails, or never reaches the device, is answered as type 37
// with its status and nothing else: no data, no stale bytes of a reused
// buffer, no results for packets that never went out. A device the client
// does not hold gets the 12-byte refusal.
TEST_F(IsoRequestTest, FailedTransfersCarryNoStaleBytes) {
  setMessageBufferPool(&kDirtyPool);
  const std::vector<uint32_t> lengths(4, 64);
  for (uint8_t type : {kMsgIsoTransfer, kMsgIsoPackedTransfer}) {
    SCOPED_TRACE(int(type));
    ovclient::Message reply = ask(type, isoRequest(0x81, lengths), kMsgIsoTransferReply, 99);
    ASSERT_EQ(reply.payload.size(), 12u);
    EXPECT_EQ(word(reply, 0), -19);
    EXPECT_TRUE(allZero(reply.payload, 4));
  }
  // The first URB goes out, the second is refused: the transfer reports
  // the refusal, the first URB's packets their results, the rest nothing.
  bus.failSubmit(2, EIO);
  resetIso(10);
  std::vector<uint32_t> many(130, 8);
  ovclient::Message reply = ask(kMsgIsoPackedTransfer, isoRequest(0x81, many), kMsgIsoTransferReply);
  ASSERT_EQ(reply.payload.size(), 12u + 12 * 130 + 8 * 130);
  EXPECT_EQ(word(reply, 0), -EIO);
  EXPECT_EQ(word(reply, 12 + 12 * 127 + 4), 8);  // the last packet of the first URB
  EXPECT_TRUE(allZero(std::vector<uint8_t>(reply.payload.begin() + 12 + 12 * 128,
                                           reply.payload.begin() + 12 + 12 * 130), 0));
  EXPECT_EQ(reply.payload[12 + 12 * 130 + 8 * 127], 128);
  EXPECT_TRUE(allZero(reply.payload, 12 + 12 * 130 + 8 * 128));

  bus.stallEndpoint("1-3", 0x81);
  reply = ask(kMsgIsoTransfer, isoRequest(0x81, lengths), kMsgIsoTransferReply);
  ASSERT_EQ(reply.payload.size(), 12u + 48 + 256);
  EXPECT_EQ(word(reply, 0), -EPIPE);
  EXPECT_TRUE(allZero(reply.payload, 12 + 48));
}

// Requests whose numbers do not hold together are answered -22 in a
// 12-byte type-37 reply, and nothing reaches the device. Sizes that wrap in
// 32 bits must not slip through.
TEST_F(IsoRequestTest, MalformedRequestsRefused) {
  struct Case {
    const char* what;
    std::vector<uint8_t> payload;
  };
  std::vector<uint8_t> tooMany = isoRequest(0x81, std::vector<uint32_t>(65536, 0));
  const Case cases[] = {
      {"shorter than the packet count's place", std::vector<uint8_t>(16, 0)},
      {"no packets", isoRequest(0x81, {})},
      {"more packets than a transfer counts", tooMany},
      {"descriptors missing", isoRequest(0x81, {8, 8}, "", -1, 10)},
      {"IN reply larger than a frame", isoRequest(0x81, {0x900000})},
      {"IN length wraps 32 bits", isoRequest(0x81, {8}, "", 0xfffffff8)},
      {"OUT data missing", isoRequest(0x02, {64, 64}, std::string(10, 'x'))},
      {"OUT claims 4 GiB", isoRequest(0x02, {8}, "12345678", 0xffffffff)},
  };
  const size_t before = bus.submitted().size();
  for (uint8_t type : {kMsgIsoTransfer, kMsgIsoPackedTransfer}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + " " + std::to_string(type));
      ovclient::Message reply = ask(type, c.payload, kMsgIsoTransferReply);
      ASSERT_EQ(reply.payload.size(), 12u);
      EXPECT_EQ(word(reply, 0), -22);
      EXPECT_TRUE(allZero(reply.payload, 4));
    }
  }
  // Packet lengths that do not add up to the total are refused by the
  // device layer, in a reply of the announced size.
  ovclient::Message reply = ask(kMsgIsoTransfer, isoRequest(0x81, {64, 64}, "", 100), kMsgIsoTransferReply);
  ASSERT_EQ(reply.payload.size(), 12u + 24 + 100);
  EXPECT_EQ(word(reply, 0), -22);
  EXPECT_EQ(bus.submitted().size(), before);
}

// With "EnableIsoZeroCopy" the packet descriptors, and the data of an OUT
// transfer, travel in buffers mapped from the device's node; a second round
// reuses them.
class IsoZeroCopyTest : public IsoRequestTest {
 protected:
  void SetUp() override {
    settings.enableIsoZeroCopy = true;
    settings.collectorSleepMs = 60 * 60 * 1000;
    bus.setMmapCapable("1-3", true);
    IsoRequestTest::SetUp();
    ASSERT_EQ(startDeviceManagerThreads(), 0);
  }
  void TearDown() override {
    // The mappings are undone while the bus that made them is still there.
    for (auto& client : clients) client->close();
    removeAllClients("test over");
    stopBindProcessing();
    stopUsbDiscoveryThreads();
    stopDeviceManager();
    stopDeviceManagerThreads();
    IsoRequestTest::TearDown();
  }
};

TEST_F(IsoZeroCopyTest, PacketsTravelInMappedBuffers) {
  const std::vector<uint32_t> three(3, 64), eight(8, 192);
  std::string data;
  for (size_t i = 0; i < 192; ++i) data += char('a' + i % 26);
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    resetIso(100);
    ovclient::Message reply = ask(kMsgIsoTransfer, isoRequest(0x02, three, data), kMsgIsoTransferReply);
    EXPECT_EQ(reply.payload, expectedReply(0x02, three, 0, {}, false));
    bus.withModel("1-3", [&](simbus::UsbModel&) { EXPECT_EQ(model->isoReceived, data); });
    resetIso(100);
    reply = ask(kMsgIsoPackedTransfer, isoRequest(0x81, eight), kMsgIsoPackedTransferReply);
    EXPECT_EQ(reply.payload, expectedReply(0x81, eight, 100, {}, true));
  }
  EXPECT_EQ(bus.mappings(), 2u);  // one per endpoint, reused
}

// ---- streams ----

std::vector<uint8_t> streamsRequest(uint32_t streams, uint32_t count, const std::vector<uint8_t>& endpoints) {
  std::vector<uint8_t> p(8);
  ovclient::putLe32(p, 0, streams);
  ovclient::putLe32(p, 4, count);
  p.insert(p.end(), endpoints.begin(), endpoints.end());
  return p;
}

// Messages 70 and 72 reach the kernel with the endpoints the client named;
// the reply's one word is the kernel's answer (the streams granted).
TEST_F(RequestTest, StreamsRequestsAndTheirReplies) {
  ovclient::Message reply = ask(kMsgAllocStreams, streamsRequest(4, 2, {0x81, 0x02}), kMsgAllocStreamsReply);
  ASSERT_EQ(reply.payload.size(), 4u);
  EXPECT_EQ(word(reply, 0), 4);
  reply = ask(kMsgFreeStreams, streamsRequest(77, 2, {0x81, 0x02}), kMsgFreeStreamsReply);
  ASSERT_EQ(reply.payload.size(), 4u);
  EXPECT_EQ(word(reply, 0), 0);
  std::vector<simbus::StreamsRequest> seen = bus.streamsRequests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_TRUE(seen[0].allocate);
  EXPECT_EQ(seen[0].streams, 4u);
  EXPECT_EQ(seen[0].endpoints, (std::vector<uint8_t>{0x81, 0x02}));
  EXPECT_FALSE(seen[1].allocate);
  EXPECT_EQ(seen[1].streams, 0u);  // the free request's first word is not used
  EXPECT_EQ(seen[1].endpoints, (std::vector<uint8_t>{0x81, 0x02}));

  struct Case {
    const char* what;
    std::vector<uint8_t> payload;
    uint32_t address;
    int32_t status;
  };
  const Case cases[] = {
      {"device not there", streamsRequest(4, 1, {0x81}), 99, -19},
      {"more endpoints than carried", streamsRequest(4, 3, {0x81}), 13, -22},
      {"endpoint count wraps", streamsRequest(4, 0xffffffff, {0x81}), 13, -22},
      {"more endpoints than usbfs takes", streamsRequest(4, 31, std::vector<uint8_t>(31, 0x81)), 13, -22},
  };
  for (const Case& c : cases) {
    for (auto [type, replyType] : {std::pair{kMsgAllocStreams, kMsgAllocStreamsReply},
                                   std::pair{kMsgFreeStreams, kMsgFreeStreamsReply}}) {
      SCOPED_TRACE(std::string(c.what) + " " + std::to_string(type));
      reply = ask(type, c.payload, replyType, c.address);
      ASSERT_EQ(reply.payload.size(), 4u);
      EXPECT_EQ(word(reply, 0), c.status);
    }
  }
  EXPECT_EQ(bus.streamsRequests().size(), 2u);
}

// Message 74 is a bulk transfer on a stream: answered as type 19, sent as
// a bulk URB carrying the stream id whatever byte 5 says of URB types.
TEST_F(RequestTest, BulkStreamTransferReplyLayout) {
  std::vector<uint8_t> payload = bulk(0x81, 0, 16);
  ovclient::putLe32(payload, 5, 5);
  ovclient::Message reply = ask(kMsgBulkStreamTransfer, payload, kMsgBulkInterruptTransferReply);
  ASSERT_EQ(reply.payload.size(), 20u);
  EXPECT_EQ(word(reply, 0), 5);
  EXPECT_EQ(std::string(reply.payload.begin() + 4, reply.payload.begin() + 9), "hello");
  EXPECT_TRUE(std::all_of(reply.payload.begin() + 9, reply.payload.end(), [](uint8_t b) { return b == 0; }));
  ASSERT_FALSE(bus.submitted().empty());
  EXPECT_EQ(bus.submitted().back().type, USBDEVFS_URB_TYPE_BULK);
  EXPECT_EQ(bus.submitted().back().streamId, 5u);
}

// ---- who may ask ----

// A client reaches only the device bound to it. Every device request, from
// a client that holds nothing and from one whose bind the authorization
// script refused, is answered with its own reply type and -19, logged, and
// nothing of it reaches the device or its hub port; the holder's same
// request is served.
class HolderTest : public RequestTest {
 protected:
  void SetUp() override {
    withRefusedClient = true;
    RequestTest::SetUp();
  }
};

TEST_F(HolderTest, OnlyTheHolderReachesTheDevice) {
  ovclient::OvClient& stranger = connectClient("stranger");
  auto control = [](std::vector<uint8_t> setup) {
    std::vector<uint8_t> p(16);
    memcpy(p.data() + 8, setup.data(), 8);
    return p;
  };
  std::vector<uint8_t> endpoint = {0x81, 0, 0, 0};
  std::vector<uint8_t> configure(18, 0);
  configure[0] = 1;
  std::vector<uint8_t> stream = bulk(0x81, 0, 16);
  ovclient::putLe32(stream, 5, 5);
  struct Case {
    const char* what;
    uint8_t type, replyType;
    std::vector<uint8_t> payload;
    uint32_t statusOffset;
    uint8_t servedType = 0;  // the holder's reply type when not replyType
  };
  const Case cases[] = {
      {"GET_DESCRIPTOR", kMsgControlTransfer, kMsgControlTransferReply, control({0x80, 6, 0, 1, 0, 0, 18, 0}), 8},
      {"SET_CONFIGURATION", kMsgControlTransfer, kMsgControlTransferReply, control({0x00, 9, 1, 0, 0, 0, 0, 0}), 8},
      {"SET_INTERFACE", kMsgControlTransfer, kMsgControlTransferReply, control({0x01, 11, 0, 0, 0, 0, 0, 0}), 8},
      {"CLEAR_FEATURE(HALT)", kMsgControlTransfer, kMsgControlTransferReply, control({0x02, 1, 0, 0, 0x81, 0, 0, 0}),
       8},
      {"bulk IN", kMsgBulkInterruptTransfer, kMsgBulkInterruptTransferReply, bulk(0x81, 3, 512), 0},
      {"bulk OUT", kMsgBulkInterruptTransfer, kMsgBulkInterruptTransferReply, bulk(0x02, 3, 3, "abc"), 0},
      {"interrupt IN", kMsgBulkInterruptTransfer, kMsgBulkInterruptTransferReply, bulk(0x81, 1, 8), 0},
      {"bulk stream", kMsgBulkStreamTransfer, kMsgBulkInterruptTransferReply, stream, 0},
      {"iso", kMsgIsoTransfer, kMsgIsoTransferReply, isoRequest(0x81, {64, 64}), 0},
      {"packed iso", kMsgIsoPackedTransfer, kMsgIsoTransferReply, isoRequest(0x81, {64, 64}), 0,
       kMsgIsoPackedTransferReply},
      {"reset", kMsgDeviceReset, kMsgDeviceResetReply, {}, 0},
      {"clear halt", kMsgClearHalt, kMsgClearHaltReply, endpoint, 0},
      {"reset endpoint", kMsgResetEndpoint, kMsgResetEndpointReply, endpoint, 0},
      {"abort endpoint", kMsgAbortEndpoint, kMsgAbortEndpointReply, endpoint, 0},
      {"abort, reset, clear halt", kMsgAbortResetClearHalt, kMsgAbortResetClearHaltReply, endpoint, 0},
      {"reset and configure", kMsgResetAndConfigure, kMsgDeviceResetReply, configure, 0},
      {"alloc streams", kMsgAllocStreams, kMsgAllocStreamsReply, streamsRequest(4, 1, {0x81}), 0},
      {"free streams", kMsgFreeStreams, kMsgFreeStreamsReply, streamsRequest(0, 1, {0x81}), 0},
      {"port status", kMsgPortStatus, kMsgPortStatusReply, {}, 0},
      {"port power off", kMsgPortPower, kMsgPortPowerReply, {0}, 0},
      {"hub SET_FEATURE(PORT_RESET)", kMsgHubClassRequest, kMsgHubClassReply, {0x23, 3, 4, 0, 3, 0, 0, 0}, 0},
      {"hub GET_STATUS", kMsgHubClassRequest, kMsgHubClassReply, {0xa3, 0, 0, 0, 3, 0, 4, 0}, 0},
  };
  // What reached the device, its node or its hub so far. The reaper's reaps
  // go on by themselves.
  auto seen = [this] {
    std::vector<unsigned long> requests = bus.nodeRequests("1-3");
    long asked = std::count_if(requests.begin(), requests.end(), [](unsigned long r) {
      return r != (unsigned long)USBDEVFS_REAPURBNDELAY && r != (unsigned long)USBDEVFS_REAPURB;
    });
    return std::make_tuple(bus.submitted().size(), asked, bus.controls().size(), bus.streamsRequests().size());
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (ovclient::OvClient* asker : {&stranger, refused}) {
      auto before = seen();
      ovclient::Message reply = askFrom(*asker, c.type, c.payload, c.replyType);
      EXPECT_EQ(reply.type, c.replyType);
      ASSERT_GE(reply.payload.size(), c.statusOffset + 4);
      EXPECT_EQ(word(reply, c.statusOffset), -19);
      if (c.statusOffset == 8) {
        EXPECT_TRUE(std::equal(c.payload.begin() + 8, c.payload.begin() + 16, reply.payload.begin()));
      }
      EXPECT_EQ(seen(), before);
    }
    ovclient::Message reply = ask(c.type, c.payload, c.servedType != 0 ? c.servedType : c.replyType);
    ASSERT_GE(reply.payload.size(), c.statusOffset + 4);
    EXPECT_NE(word(reply, c.statusOffset), -19);
  }
  EXPECT_TRUE(bus.portPowered("usb1", 3) == false);  // the holder's switch alone
  EXPECT_EQ(bus.portResets("usb1", 3), 1u);
  EXPECT_TRUE(log.contains("Warning, refusing message of type 18 from connection"));
  EXPECT_TRUE(log.contains("device 13 is not bound to it"));
  DeviceBinding binding;
  ASSERT_TRUE(findDeviceBinding(13, &binding));
  EXPECT_STREQ(binding.clientText, "tester");
}

// ---- control transfers in flight ----

// A device that holds every control transfer, for a client that pipelines
// many: the watchdog stays one thread, at most controlTransfersPerDevice go
// to the device and the rest are refused -16 at once, each logged or
// counted; every held one is discarded at its time-out and answered; every
// request gets exactly one reply, and the freed slots serve again.
class ControlFloodTest : public RequestTest {
 protected:
  void SetUp() override {
    settings.controlTimeoutMs = 1500;
    settings.controlTransfersPerDevice = 8;
    RequestTest::SetUp();
  }
};

TEST_F(ControlFloodTest, PipelinedControlRequestsKeepThreadsAndDeviceBounded) {
  auto gate = std::make_shared<simbus::GateDevice>();
  bus.setModel("1-3", gate);
  std::vector<uint8_t> getDescriptor(16);
  const uint8_t setup[8] = {0x80, 6, 0, 1, 0, 0, 18, 0};
  memcpy(getDescriptor.data() + 8, setup, 8);
  const size_t threadsBefore = threadCount();
  constexpr uint32_t kRequests = 200;
  for (uint32_t tag = 1; tag <= kRequests; ++tag) {
    ASSERT_TRUE(client->sendTagged(kMsgControlTransfer, getDescriptor, 13, tag));
  }
  std::map<uint32_t, std::vector<int32_t>> answers;
  size_t busy = 0, mostThreads = 0;
  ovclient::Message message;
  while (answers.size() < kRequests && client->receive(&message, 20000) == 1) {
    if (message.type != kMsgControlTransferReply) continue;
    const int32_t status = word(message, 8);
    answers[message.context[0]].push_back(status);
    if (status == -EBUSY && ++busy == kRequests - 8) {
      // Everything beyond the bound is answered; the rest waits on the device.
      mostThreads = threadCount();
      EXPECT_EQ(bus.pendingUrbs(), 8u);
    }
  }
  ASSERT_EQ(answers.size(), size_t(kRequests)) << "requests unanswered after 20 s";
  EXPECT_EQ(busy, size_t(kRequests - 8));
  EXPECT_LE(mostThreads, threadsBefore + 1);
  size_t discarded = 0;
  for (const auto& [tag, statuses] : answers) {
    ASSERT_EQ(statuses.size(), 1u) << tag;
    EXPECT_TRUE(statuses[0] == -EBUSY || statuses[0] == -ENOENT) << tag << ": " << statuses[0];
    discarded += statuses[0] == -ENOENT;
  }
  EXPECT_EQ(discarded, 8u);
  EXPECT_TRUE(log.contains("Warning, refusing a control transfer of connection"));

  // No second reply to any of them; the slots are free again.
  bus.withModel("1-3", [&](simbus::UsbModel&) { gate->open = true; });
  ovclient::Message reply = ask(kMsgControlTransfer, getDescriptor, kMsgControlTransferReply);
  EXPECT_EQ(word(reply, 8), 0);
  EXPECT_EQ(word(reply, 12), 18);
  while (client->receive(&message, 0) == 1) EXPECT_NE(message.type, kMsgControlTransferReply);
}

// ---- a client that does not read ----

// Bulk IN answers `length` bytes that do not compress (so the replies fill
// the socket as they are), except that 13 bytes give a bulk-only status
// wrapper.
class NoiseDevice : public simbus::UsbModel {
 public:
  simbus::UrbAnswer in(uint8_t, size_t length) override {
    if (length == 13) return simbus::UrbAnswer{false, 0, std::string("USBS\x07\0\0\0\0\0\0\0\0", 13)};
    std::string bytes(length, '\0');
    for (char& b : bytes) {
      seed = seed * 6364136223846793005ull + 1442695040888963407ull;
      b = char(seed >> 56);
    }
    return simbus::UrbAnswer{false, 0, bytes};
  }
  uint64_t seed = 1;
};

// A large read in pieces, with the status request behind it, to a client
// that reads nothing until the server's transmit queue for it has backed up
// behind a full socket: once it reads, every piece comes in order, then the
// status; a status request sent after the last piece is answered as well.
TEST_F(RequestTest, RepliesQueuedBehindAStalledLinkAllArrive) {
  bus.setModel("1-3", std::make_shared<NoiseDevice>());
  uint16_t id = 0;
  DeviceBinding binding;
  ASSERT_TRUE(findDeviceBinding(13, &binding));
  id = binding.connectionId;
  constexpr uint32_t kPieces = 12, kPiece = 1u << 20;
  for (uint32_t tag = 1; tag <= kPieces; ++tag) {
    ASSERT_TRUE(client->sendTagged(kMsgBulkInterruptTransfer, bulk(0x81, 3, kPiece), 13, tag));
  }
  ASSERT_TRUE(client->sendTagged(kMsgBulkInterruptTransfer, bulk(0x81, 3, 13), 13, kPieces + 1));
  // The link is full and the rest waits in the queue, the status last.
  ASSERT_TRUE(waitUntil([id] { return connectionQueuedBytes(id) > 4 * kPiece; }, 20000))
      << "the transmit queue never backed up";
  ovclient::Message message;
  for (uint32_t tag = 1; tag <= kPieces + 1; ++tag) {
    ASSERT_TRUE(client->waitFor(kMsgBulkInterruptTransferReply, &message, 20000)) << "no reply " << tag;
    ASSERT_EQ(message.context[0], tag);
    EXPECT_EQ(word(message, 0), int32_t(tag <= kPieces ? kPiece : 13));
  }
  EXPECT_EQ(std::string(message.payload.begin() + 4, message.payload.begin() + 8), "USBS");
  ASSERT_TRUE(client->sendTagged(kMsgBulkInterruptTransfer, bulk(0x81, 3, 13), 13, 99));
  ASSERT_TRUE(client->waitFor(kMsgBulkInterruptTransferReply, &message, 20000))
      << "the status request after the read got no reply";
  EXPECT_EQ(message.context[0], 99u);
  EXPECT_EQ(word(message, 0), 13);
  EXPECT_TRUE(waitUntil([id] { return connectionQueuedBytes(id) == 0; }));
}

}  // namespace
