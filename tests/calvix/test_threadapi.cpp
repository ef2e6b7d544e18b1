// The client API against a fake control server in this process: the
// request bytes of every operation against the golden tables written from
// the wire layouts, the opening checks, the size-query convention, the
// notification thread, and the failures a daemon (or an impostor) can cause.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "calvix/api.h"
#include "calvix/replyparser.h"
#include "calvix/resolution.h"
#include "calvix/ruleediting.h"
#include "tests/calvix/fakecontrolserver.h"
#include "tests/support/controlwire_golden.h"
#include "tests/support/wait.h"

namespace {

using namespace fakecalvixd;
namespace golden = controlgolden;
using std::chrono::milliseconds;

const bool g_namespaces = EnterPrivateNamespaces();

ApiSettings FastSettings() {
  ApiSettings settings;
  settings.connectPollMs = 10;
  settings.notifyIdleMs = 5;
  settings.notifyBusyMs = 1;
  settings.notifyErrorMs = 5;
  return settings;
}

Model BaseModel() {
  Model m;
  Connection listener;
  listener.flags = 0x20;
  listener.port = 32032;
  m.connections.push_back(listener);
  Connection client;
  client.id = 0x80000003;
  client.flags = 0x420;
  client.name = "desk";
  client.address = Ipv4("127.0.0.2");
  client.port = 40000;
  m.connections.push_back(client);
  Connection client6;
  client6.id = 0x80000004;
  client6.flags = 0x420;
  client6.name = "fe80::5";
  client6.address = Ipv6("fe80::5");
  client6.port = 40001;
  m.connections.push_back(client6);
  Device stick;
  stick.id = 7;
  stick.state = 3;
  stick.vendorId = 0x0781;
  stick.productId = 0x5567;
  stick.product = "Cruzer";
  stick.busId = "1-1.2";
  stick.identity = "1-1.2";
  m.devices.push_back(stick);
  m.ipFilters = {1, {"127.0.0.0/8", "::1"}};
  return m;
}

class ClientApi : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(g_namespaces) << "private namespaces need root";
    server.With([](Model& m) { m = BaseModel(); });
    ASSERT_TRUE(server.Start());
  }
  void TearDown() override {
    ApiClose();
    server.stallSnapshots = false;
    server.Stop();
  }
  void Open(bool notifications = false) {
    ASSERT_TRUE(ApiOpenWithSettings(notifications, FastSettings())) << ApiGetLastError(nullptr);
    server.ClearRequests();
  }
  uint32_t LastError() { return ApiGetLastError(nullptr); }
  golden::Bytes LastRequest() {
    std::vector<Request> requests = server.Requests();
    return requests.empty() ? golden::Bytes() : requests.back().bytes;
  }
  Server server;
};

const golden::Exchange& Golden(const char* name) {
  static const std::vector<golden::Exchange> table = golden::Exchanges();
  for (const golden::Exchange& exchange : table) {
    if (strcmp(exchange.name, name) == 0) return exchange;
  }
  ADD_FAILURE() << "no golden exchange " << name;
  return table.front();
}

TEST_F(ClientApi, RequestBytesMatchTheGoldenTables) {
  Open();
  server.With([](Model& m) {
    Device second;
    second.id = 99;
    m.devices.push_back(second);
    m.acls[7] = {2, {"127.0.0.9"}};
    m.instanceIds[7] = "/dev/bus/usb/001/002";
    m.deviceData[7] = golden::DeviceDataBlock();
  });
  char text[256];
  uint32_t size = sizeof(text);
  uint8_t mode = 0;
  uint8_t v6[16] = {};
  v6[15] = 1;
  uint8_t block[64];
  struct {
    const char* name;
    std::function<bool()> call;
  } const cases[] = {
      {"ShareDevice", [] { return ApiShareDevice(7); }},
      {"UnshareDevice", [] { return ApiUnshareDevice(7); }},
      {"SetDeviceTimeout", [] { return ApiSetDeviceTimeout(7, 30); }},
      {"SetDeviceNickname", [] { return ApiSetDeviceNickname(7, "Desk"); }},
      {"ClearDeviceNickname", [] { return ApiSetDeviceNickname(7, ""); }},
      {"GetIpFilters", [&] { return ApiGetIpFilters(&mode, nullptr, &size); }},
      {"SetIpFilters", [] { return ApiSetIpFilters(2, "127.0.0.2\0" "127.0.0.3/32\0"); }},
      {"SetIpFiltersEmpty", [] { return ApiSetIpFilters(0, ""); }},
      {"ConnectDevice", [] { return ApiConnectDevice(7, 0x80000003); }},
      {"DisconnectDevice", [] { return ApiDisconnectDevice(7); }},
      {"AddCallback", [] { return ApiAddCallbackConnection("127.0.0.1", 32032, 32, nullptr); }},
      {"SetListenAddressV4", [] { return ApiSetListenAddressV4(0x7F000001); }},
      {"SetListenAddressV6", [&] { return ApiSetListenAddressV6(v6); }},
      {"SetDeviceResetMethod", [] { return ApiSetDeviceResetMethod(7, 2); }},
      {"GetDeviceAcl", [&] { return ApiGetDeviceAcl(7, &mode, nullptr, &size); }},
      {"GetDeviceData", [&] {
         uint32_t blockSize = sizeof(block);
         return ApiGetDeviceData(7, block, &blockSize);
       }},
      {"ShareDeviceEx", [] { return ApiShareDeviceEx(7, 1); }},
      {"SetAutoShareMode", [] { return ApiSetAutoShareMode(2); }},
      {"GetDeviceInstanceId", [&] {
         size = sizeof(text);
         return ApiGetDeviceInstanceId(0, 7, text, &size);
       }},
      {"AddExclusion", [] { return ApiAddExclusion(0, 7); }},
      {"RemoveExclusion", [] { return ApiRemoveExclusion(0, 7); }},
      {"GetDevicePolicyCountOnly", [&] { return ApiGetDevicePolicy(&mode, nullptr, nullptr); }},
  };
  for (const auto& c : cases) {
    server.ClearRequests();
    c.call();
    // A request whose reply the client does not wait for to its end is
    // logged by the server a little later.
    testwait::waitUntil([&] { return !server.Requests().empty(); }, milliseconds(5000));
    std::vector<Request> requests = server.Requests();
    ASSERT_FALSE(requests.empty()) << c.name;
    // The operations that refresh the cache afterwards send the snapshot
    // request last; the operation's own request is the first.
    golden::Bytes expected = Golden(c.name).request;
    golden::Append(&expected, Golden(c.name).followUp);
    EXPECT_EQ(requests.front().bytes, expected) << c.name;
  }

  // The daemon takes the low 16 bits of the port word; the API sends the
  // 16-bit port it takes as a u32.
  server.ClearRequests();
  ASSERT_TRUE(ApiSetTcpPort(32000));
  EXPECT_EQ(LastRequest(), golden::Cat({golden::U32(golden::SET_TCP_PORT), golden::U32(32000)}));

  // The policy listing: the request, then the u32 that asks for the rules.
  server.With([](Model& m) { m.policy = {{0x81, 0x0781, 0, 0, 0, 0, "", "4C53", "sticks"}}; });
  API_POLICY_RULE rules[2];
  size = sizeof(rules);
  server.ClearRequests();
  ASSERT_TRUE(ApiGetDevicePolicy(&mode, rules, &size));
  golden::Bytes expected = golden::Exchange(Golden("GetDevicePolicy")).request;
  golden::Append(&expected, Golden("GetDevicePolicy").followUp);
  EXPECT_EQ(LastRequest(), expected);
  ASSERT_EQ(size, sizeof(API_POLICY_RULE));
  EXPECT_EQ(rules[0].flags, 0x81u);
  EXPECT_STREQ(rules[0].serial, "4C53");
  EXPECT_STREQ(rules[0].name, "sticks");

  server.ClearRequests();
  ASSERT_TRUE(ApiSetDevicePolicy(1, rules, size));
  EXPECT_EQ(LastRequest(), Golden("SetDevicePolicy").request);
}

TEST_F(ClientApi, GoldenSnapshotFillsTheRecords) {
  golden::Bytes reply = golden::Exchange(Golden("Snapshot")).reply;
  server.With([&](Model& m) { m.snapshotOverride.assign(reply.begin() + 4, reply.end()); });
  Open();
  API_DEVICE_RECORD device;
  ASSERT_TRUE(ApiGetDeviceRecord(0, 7, &device));
  EXPECT_EQ(device.owner, 0x80000003u);
  EXPECT_EQ(device.state, 4u);
  EXPECT_EQ(device.flags, 0x224u);
  EXPECT_EQ(device.timeout, 30u);
  EXPECT_EQ(device.speed, 2);
  EXPECT_EQ(device.resetMethod, 1);
  EXPECT_EQ(device.entryByte12, 255);
  EXPECT_EQ(device.vendorId, 0x0781);
  EXPECT_EQ(device.deviceProtocol, 0x50);
  EXPECT_STREQ(device.name, "Cruzer");
  EXPECT_STREQ(device.nickname, "stick");
  EXPECT_STREQ(device.busId, "1-1.2");
  uint8_t address[4] = {127, 0, 0, 2};
  EXPECT_EQ(memcmp(&device.userAddress, address, 4), 0);
  char user[256];
  ASSERT_TRUE(ApiGetDeviceUserText(0x80000003, 7, user, sizeof(user)));
  EXPECT_STREQ(user, "desk");
  API_CONNECTION_RECORD server0;
  ASSERT_TRUE(ApiGetConnectionRecord(0, &server0));
  EXPECT_EQ(server0.port, 32032);
  EXPECT_EQ(server0.flags & 0x1330, 0x20u);
  EXPECT_STREQ(server0.host, "My Computer");
}

TEST_F(ClientApi, OpenChecksVersionAndStartupAndKeepsTheError) {
  server.With([](Model& m) { m.version = 0x39000; });
  EXPECT_FALSE(ApiOpenWithSettings(false, FastSettings()));
  EXPECT_EQ(server.Codes(), (std::vector<uint32_t>{0x3007}));
  uint32_t location = 0;
  EXPECT_EQ(ApiGetLastError(&location), 1613u);
  EXPECT_EQ(location >> 16, 0x000eu);
  EXPECT_EQ(ApiGetLastError(&location), 17u);

  server.With([](Model& m) { m.version = 0x3A000; m.startupState = 40; });
  EXPECT_FALSE(ApiOpenWithSettings(false, FastSettings()));
  EXPECT_EQ(ApiGetLastError(&location), 162u);
  EXPECT_EQ(location, 40u);

  server.With([](Model& m) { m.startupState = 100; m.grantedFlags = 0x80000000; });
  EXPECT_FALSE(ApiOpenWithSettings(false, FastSettings()));
  EXPECT_EQ(ApiGetLastError(&location), 9u);

  server.With([](Model& m) { m.grantedFlags = 0; });
  Open();
  EXPECT_FALSE(ApiOpen(false));
  EXPECT_EQ(LastError(), 1247u);
  uint32_t size = 0;
  EXPECT_TRUE(ApiListDevices(nullptr, &size));
  EXPECT_EQ(size, 1325u);
}

TEST_F(ClientApi, ListsFollowTheSizeQueryConvention) {
  server.With([](Model& m) {
    for (uint32_t id : {9u, 10u}) {
      Device d;
      d.id = id;
      m.devices.push_back(d);
    }
  });
  Open();
  uint32_t size = 0;
  ASSERT_TRUE(ApiListDevices(nullptr, &size));
  EXPECT_EQ(size, 3 * 1325u);
  API_DEVICE_RECORD one[1];
  size = sizeof(one);
  EXPECT_FALSE(ApiListDevices(one, &size));
  EXPECT_EQ(LastError(), 299u);
  EXPECT_EQ(size, 1325u);
  EXPECT_FALSE(ApiListDevices(one, nullptr));
  EXPECT_EQ(LastError(), 87u);
  // Already shared: success, with 1247 as the last error.
  EXPECT_TRUE(ApiShareDevice(7));
  EXPECT_EQ(LastError(), 1247u);
  EXPECT_FALSE(ApiSetIpFilters(3, ""));
  EXPECT_EQ(LastError(), 87u);
}

TEST_F(ClientApi, SnapshotBoundsAreChecked) {
  Model bad = BaseModel();
  bad.devices[0].product = std::string(256, 'p');
  golden::Bytes bytes = SnapshotBytes(bad);
  server.With([&](Model& m) { m.snapshotOverride = bytes; });
  Open();
  API_DEVICE_RECORD device;
  ASSERT_TRUE(ApiGetDeviceRecord(0, 7, &device));
  EXPECT_STREQ(device.name, "");  // too long for its field: handed out empty

  // An address of 8 bytes breaks the wire: the refresh fails with 1359.
  golden::Bytes broken;
  PutU32(broken, 1);
  PutU32(broken, 0x80000009);
  PutU32(broken, 0);
  broken.insert(broken.end(), 8, 0);
  PutU32(broken, 0);
  PutText(broken, "x");
  PutAddress(broken, WireAddress(8, 1));
  ApiClose();
  server.With([&](Model& m) { m.snapshotOverride = broken; });
  EXPECT_FALSE(ApiOpenWithSettings(false, FastSettings()));
  EXPECT_EQ(ApiGetLastError(nullptr), 1359u);
}

// A daemon that closes the connection while the client still sends: the
// send fails with EPIPE, which must not raise SIGPIPE.
TEST_F(ClientApi, EarlyCloseIsATransferErrorNotASignal) {
  Open();
  server.With([](Model& m) { m.closeAfterCode.insert(0x1012); });
  std::string rules;
  for (int i = 0; i < 1000; ++i) rules += std::string(1000, 'r') + '\0';
  rules += '\0';
  EXPECT_FALSE(ApiSetIpFilters(1, rules.data()));
  EXPECT_EQ(LastError(), 1065u);
}

// The whole list is checked before a byte is sent: a daemon that saw the
// code, the device and the mode and then lost the list would apply what it
// had, wiping the ACL.
TEST_F(ClientApi, InvalidRuleListsAreRefusedBeforeConnecting) {
  Open();
  std::string tooMany;
  for (int i = 0; i < 1025; ++i) tooMany += "r" + std::to_string(i) + '\0';
  std::string tooLong = std::string(1025, 'l') + '\0' + '\0';
  for (const std::string& list : {tooMany, tooLong}) {
    server.ClearRequests();
    EXPECT_FALSE(ApiSetDeviceAcl(7, 1, list.c_str()));
    EXPECT_EQ(LastError(), 87u);
    EXPECT_FALSE(ApiSetIpFilters(1, list.c_str()));
    EXPECT_EQ(LastError(), 87u);
    EXPECT_TRUE(server.Requests().empty());
  }
  // A rule the daemon handed out longer than a user may type goes back.
  std::string fromDaemon = std::string(300, 'd') + '\0' + '\0';
  EXPECT_TRUE(ApiSetDeviceAcl(7, 1, fromDaemon.c_str()));
  EXPECT_EQ(server.With([](Model& m) { return m.acls[7].rules; }), std::vector<std::string>{std::string(300, 'd')});
}

// The daemon reads policy texts and callback addresses only up to 254
// bytes: anything longer is refused before a connection is made.
TEST_F(ClientApi, TextsTheDaemonDropsAreRefused) {
  Open();
  for (size_t length : {255u, 256u}) {
    server.ClearRequests();
    EXPECT_FALSE(ApiAddCallbackConnection(std::string(length, 'h').c_str(), 1, 32, nullptr)) << length;
    EXPECT_EQ(LastError(), 87u);
    API_POLICY_RULE rule;
    memset(&rule, 0, sizeof(rule));
    rule.flags = 0x80;
    memset(rule.serial, 's', std::min<size_t>(length, 255));
    EXPECT_FALSE(ApiSetDevicePolicy(1, &rule, sizeof(rule))) << length;
    EXPECT_EQ(LastError(), 87u);
    EXPECT_TRUE(AddDevicePolicyRule(-1, -1, -1, -1, -1, std::string(length, 's'), "", "") == false);
    EXPECT_EQ(LastError(), 87u);
    for (const Request& r : server.Requests()) EXPECT_NE(r.code, 0x300Cu);
    for (const Request& r : server.Requests()) EXPECT_NE(r.code, 0x1018u);
  }
  uint32_t id = 0;
  EXPECT_TRUE(ApiAddCallbackConnection(std::string(254, 'h').c_str(), 1, 32, &id));
  EXPECT_EQ(id, 0xC0000001u);
}

// Setting flags of a device through these calls would reach the daemon as
// flags of the object itself.
TEST_F(ClientApi, DeviceFlagCallsAreNotSent) {
  Open();
  EXPECT_FALSE(ApiSetDeviceAutoFlag(0, 7, true));
  EXPECT_EQ(LastError(), 50u);
  EXPECT_FALSE(ApiSetObjectFlagsMasked(0, 7, 1));
  EXPECT_EQ(LastError(), 50u);
  EXPECT_FALSE(ApiSetObjectFlagsMasked(0, 0, 1));
  EXPECT_EQ(LastError(), 1348u);
  EXPECT_TRUE(server.Requests().empty());
}

TEST_F(ClientApi, Ipv6ClientsAreFoundByAddress) {
  Open();
  EXPECT_EQ(FindClientByAddress("[fe80::5]", 40001, 32), 0x80000004);
  EXPECT_EQ(FindClientByAddress("[fe80:0::5]", -1, 0), 0x80000004);
  EXPECT_EQ(FindClientByAddress("127.0.0.2", 40000, 32), 0x80000003);
  EXPECT_EQ(FindClientByAddress("[fe80::6]", -1, 0), -1);
}

// Another client changes the list between the size query and the copy;
// the edit reads it again and writes a whole list.
TEST_F(ClientApi, ListEditsSurviveAListThatGrewInBetween) {
  Open();
  auto grown = std::make_shared<int>(0);
  server.SetAfterRequest([grown](const Request& request, Model& m) {
    if (request.code == 0x1010 && *grown < 2) {
      ++*grown;
      m.ipFilters.rules.push_back("10." + std::to_string(*grown) + ".0.0/16 (other admin, a long comment here)");
    }
  });
  ASSERT_TRUE(AddIpFilter("172.16.0.0/12")) << LastError();
  EXPECT_EQ(server.With([](Model& m) { return m.ipFilters.rules; }),
            (std::vector<std::string>{"127.0.0.0/8", "::1", "10.1.0.0/16 (other admin, a long comment here)",
                                      "10.2.0.0/16 (other admin, a long comment here)", "172.16.0.0/12"}));

  auto added = std::make_shared<bool>(false);
  server.SetAfterRequest([added](const Request& request, Model& m) {
    if (request.code == 0x300B && !*added) {
      *added = true;
      m.policy.push_back({0x1, 0x1234, 0, 0, 0, 0, "", "", "theirs"});
    }
  });
  ASSERT_TRUE(AddDevicePolicyRule(0x0781, -1, -1, -1, -1, "", "", "mine")) << LastError();
  std::vector<PolicyRule> policy = server.With([](Model& m) { return m.policy; });
  ASSERT_EQ(policy.size(), 2u);
  EXPECT_EQ(policy[0].name, "theirs");
  EXPECT_EQ(policy[1], (PolicyRule{0x1, 0x0781, 0, 0, 0, 0, "", "", "mine"}));

  // A list that keeps growing gives up after a few reads.
  server.SetAfterRequest([](const Request& request, Model& m) {
    if (request.code == 0x1010) m.ipFilters.rules.push_back("r" + std::to_string(m.ipFilters.rules.size()));
  });
  EXPECT_FALSE(AddIpFilter("192.0.2.0/24"));
  EXPECT_EQ(LastError(), 122u);
  server.SetAfterRequest(nullptr);
}

TEST_F(ClientApi, InterfaceClassesOfShortAndOddBlocks) {
  Open();
  struct {
    std::vector<uint8_t> block;
    bool ok;
    std::vector<uint8_t> triples;
  } const cases[] = {
      {{9, 2, 0}, false, {}},
      {{9, 2}, false, {}},
      {{9, 2, 30, 0, 1, 1, 0, 0x80, 50}, false, {}},  // total beyond the block
      {{9, 2, 27, 0, 1, 1, 0, 0x80, 50,  9, 4, 0, 0, 2, 8, 6, 0x50, 0,  9, 4, 0, 1, 2, 3, 4, 5, 0}, true, {8, 6, 0x50}},
      // An interface descriptor of 5 bytes is not read past its end.
      {{9, 2, 14, 0, 1, 1, 0, 0x80, 50,  5, 4, 0, 0, 2}, true, {}},
  };
  for (const auto& c : cases) {
    server.With([&](Model& m) { m.deviceData[7] = c.block; });
    uint8_t buffer[30];
    uint32_t size = sizeof(buffer);
    EXPECT_EQ(ApiGetDeviceInterfaceClasses(0, 7, buffer, &size), c.ok) << c.block.size();
    if (!c.ok) {
      EXPECT_EQ(LastError(), 1359u);
      continue;
    }
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + size), c.triples);
  }
}

// An impostor that bound the name first, not running as root, gets no byte.
TEST(ClientApiImpostor, PeerMustRunAsRoot) {
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
    int client = accept(fd, nullptr, nullptr);
    char byte;
    _exit(client >= 0 && recv(client, &byte, 1, 0) > 0 ? 3 : 0);
  }
  char byte;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  EXPECT_FALSE(ApiOpenWithSettings(false, FastSettings()));
  EXPECT_EQ(ApiGetLastError(nullptr), 1061u);
  int status = 0;
  ASSERT_EQ(waitpid(impostor, &status, 0), impostor);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the impostor received bytes";
  close(ready[0]);
  close(ready[1]);
}

void CountCall(void* counter) {
  static_cast<std::atomic<int>*>(counter)->fetch_add(1);
}

TEST_F(ClientApi, NotificationsRefreshTheCacheOncePerBurst) {
  Open(true);
  int queue = server.With([](Model& m) { return m.queues.empty() ? -1 : *m.queues.begin(); });
  ASSERT_GE(queue, 0);
  std::atomic<int> calls{0};
  ApiSetNotifyCallback(CountCall, &calls);
  server.With([](Model& m) { m.devices[0].state = 0; });
  // A burst, all queued before the thread looks: drained before one refresh.
  for (int i = 0; i < 20; ++i) server.Notify();
  ASSERT_TRUE(testwait::waitUntil([&] { return calls.load() >= 1; }, milliseconds(5000)));
  API_DEVICE_RECORD device;
  ASSERT_TRUE(ApiGetDeviceRecord(0, 7, &device));
  EXPECT_EQ(device.state, 0u);
  size_t snapshots = 0;
  for (uint32_t code : server.Codes()) snapshots += code == 0x1002;
  EXPECT_LE(snapshots, 3u);  // one per loop would be 20
}

// The daemon removes a queue that filled up: the client makes and
// registers a new one and goes on hearing notifications.
TEST_F(ClientApi, ARemovedQueueIsReplaced) {
  Open(true);
  int queue = server.With([](Model& m) { return *m.queues.begin(); });
  server.With([&](Model& m) { m.queues.clear(); });
  ASSERT_EQ(msgctl(queue, IPC_RMID, nullptr), 0);
  ASSERT_TRUE(testwait::waitUntil([&] { return server.With([](Model& m) { return m.queues.size(); }) == 1; },
                                  milliseconds(5000)));
  std::atomic<int> calls{0};
  ApiSetNotifyCallback(CountCall, &calls);
  server.With([](Model& m) { m.devices[0].state = 4; });
  ASSERT_EQ(server.Notify(), 1);
  ASSERT_TRUE(testwait::waitUntil([&] { return calls.load() >= 1; }, milliseconds(5000)));
  API_DEVICE_RECORD device;
  ASSERT_TRUE(ApiGetDeviceRecord(0, 7, &device));
  EXPECT_EQ(device.state, 4u);
}

// Closing while the notification thread waits on a daemon that does not
// answer: the thread's waits take the stop event, and the close returns.
TEST_F(ClientApi, CloseEndsARefreshThatHangs) {
  Open(true);
  server.stallSnapshots = true;
  server.Notify();
  ASSERT_TRUE(testwait::waitUntil(
      [&] {
        for (uint32_t code : server.Codes())
          if (code == 0x1002) return true;
        return false;
      },
      milliseconds(5000)));
  ApiClose();
  server.stallSnapshots = false;
  SUCCEED();
}

// A daemon that takes the request and never answers, or stalls after the
// status word, is unreachable once the idle limit has passed: the open
// fails as if nobody listened.
TEST_F(ClientApi, ADaemonThatNeverAnswersIsUnreachable) {
  ApiClose();
  for (bool afterStatus : {false, true}) {
    SCOPED_TRACE(afterStatus ? "stalls after the status word" : "never answers");
    server.stallAfterStatus = afterStatus;
    server.stallSnapshots = true;
    ApiSettings settings = FastSettings();
    settings.idleLimitMs = 300;
    auto open = std::async(std::launch::async, [&] {
      bool opened = ApiOpenWithSettings(false, settings);
      return std::make_pair(opened, ApiGetLastError(nullptr));
    });
    // The guard is far above the idle limit; past it the stall is ended,
    // so that the open returns and the failure is reported.
    bool ended = open.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    EXPECT_TRUE(ended) << "the open still waits on the stalled daemon";
    server.stallSnapshots = false;
    auto [opened, error] = open.get();
    if (ended) {
      EXPECT_FALSE(opened);
      EXPECT_EQ(error, 1061u);
    }
    ApiClose();
  }
  server.stallAfterStatus = false;
}

}  // namespace
