// Administration messages and event scripts as a client sees them over a
// real loopback connection, against a configuration store in a temporary
// file: renaming the server, nicknames, the reverse-client list, the
// ignored devices, custom events, and the scripts that vet or follow each
// change, run as real /bin/sh scripts.
#include <netinet/in.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ovusbd/core/adminmessages.h"
#include "ovusbd/core/coresettings.h"
#include "ovusbd/core/devicescripts.h"
#include "ovusbd/core/eventscripts.h"
#include "ovusbd/core/handlers.h"
#include "ovusbd/core/nicknames.h"
#include "ovusbd/core/tcpservice.h"
#include "ovusbd/usb/enumerationworker.h"
#include "ovusbd/usb/usbsys.h"
#include "tests/ovusbd/test_usb_support.h"
#include "tests/support/ovclient.h"

using namespace usbtest;

namespace {

class AdminTest : public UsbFixture {
 protected:
  void SetUp() override {
    UsbFixture::SetUp();
    installCoreSettings(&core);
    fillMessageHandlerTable();
    startEventScripts();
    nicknameList = createLockedList();
    ASSERT_NE(nicknameList, nullptr);
    dir = "/tmp/at" + std::to_string(getpid());
    ASSERT_EQ(system(("rm -rf " + dir + " && mkdir -p " + dir).c_str()), 0);
    probe = dir + "/probe";
    // What a client sends to get a shell to run its own command (short
    // enough for a client text); scripts get it exactly, as one word.
    injection = "x';touch " + probe + ";'$(touch " + probe + ")";
  }
  void TearDown() override {
    for (auto& client : clients) client->close();
    removeAllClients("test over");
    stopEventScripts();
    stopEnumerationWorker();
    clearLockedList(nicknameList, freeItem);
    destroyLockedList(nicknameList);
    nicknameList = nullptr;
    installCoreSettings(nullptr);
    UsbFixture::TearDown();
    ASSERT_EQ(system(("rm -rf " + dir).c_str()), 0);
  }
  ovclient::OvClient& connectClient(const std::string& name = "tester") {
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
  static std::vector<uint8_t> text(const std::string& t, size_t size = 0) {
    std::vector<uint8_t> bytes(t.begin(), t.end());
    bytes.push_back(0);
    if (size > bytes.size()) bytes.resize(size, 0);
    return bytes;
  }
  static bool send(ovclient::OvClient& client, uint8_t type, const std::vector<uint8_t>& payload) {
    ovclient::Message message;
    message.type = type;
    message.payload = payload;
    return client.send(message);
  }
  // A request without a reply has been handled once a keep-alive... sent
  // after it is answered by the next request's reply: the receive thread
  // handles one message at a time.
  static void sync(ovclient::OvClient& client) {
    ovclient::Message reply;
    ASSERT_TRUE(client.request(kMsgListReverseClients, {}, &reply, kMsgListReverseClientsReply));
  }
  static std::string config(const char* key) {
    char* value = getConfigString(key, nullptr, false);
    std::string out = value ? value : "<unset>";
    free(value);
    return out;
  }
  std::string file(const std::string& name) const {
    std::ifstream in(dir + "/" + name);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  bool fileExists(const std::string& path) const {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
  }
  // A script line that writes its arguments, '|'-separated, to dir/name.
  std::string record(const std::string& name, const std::string& args) const {
    return "printf '%s|' " + args + " > " + dir + "/" + name + ".tmp; mv " + dir + "/" + name + ".tmp " + dir + "/" +
           name;
  }
  std::vector<uint8_t> nicknamePayload(uint16_t vendor, uint16_t product, uint32_t address, const std::string& name,
                                       const std::string* serial = nullptr) {
    std::vector<uint8_t> p(serial ? 200 : 72, 0);
    memcpy(&p[0], &vendor, 2);
    memcpy(&p[2], &product, 2);
    memcpy(&p[4], &address, 4);
    memcpy(&p[8], name.data(), std::min<size_t>(name.size(), 64));
    if (serial) memcpy(&p[72], serial->data(), std::min<size_t>(serial->size(), 128));
    return p;
  }

  CoreSettings core;
  std::vector<std::unique_ptr<ovclient::OvClient>> clients;
  std::string dir, probe, injection;
};

// --- Reverse clients -------------------------------------------------------

// Each row: the list before, the request, the list after. Entries compare
// whole, so a host that is a substring of another entry is its own entry.
TEST_F(AdminTest, ReverseClientListEdits) {
  struct Case {
    const char* before;  // null: key not set
    MessageType type;
    const char* host;
    const char* after;
  } cases[] = {
      {nullptr, kMsgAddReverseClient, "10.1.1.9:9999", "10.1.1.9:7573"},
      {"10.1.1.9:7573", kMsgAddReverseClient, "10.1.1.9", "10.1.1.9:7573"},
      {"", kMsgAddReverseClient, "a.example", "a.example:7573"},
      {"110.0.0.1:7573", kMsgAddReverseClient, "10.0.0.1", "110.0.0.1:7573,10.0.0.1:7573"},
      {"10.0.0.1", kMsgAddReverseClient, "10.0.0.1", "10.0.0.1"},
      {"10.0.0.1:7573", kMsgRemoveReverseClient, "10.0.0.1", ""},
      {"a:7573,b:7573,c:7573", kMsgRemoveReverseClient, "b", "a:7573,c:7573"},
      {"110.0.0.1:7573,10.0.0.1:7573", kMsgRemoveReverseClient, "10.0.0.1", "110.0.0.1:7573"},
      {"10.0.0.1:75730,10.0.0.1:7573", kMsgRemoveReverseClient, "10.0.0.1", "10.0.0.1:75730"},
      {"0.0.0.1:7573,10.0.0.1:7573,20.0.0.1:7573", kMsgRemoveReverseClient, "0.0.0.1", "10.0.0.1:7573,20.0.0.1:7573"},
      {"x:1,10.0.0.1,y:2", kMsgRemoveReverseClient, "10.0.0.1", "x:1,y:2"},
      {"x:1", kMsgRemoveReverseClient, "y", "x:1"},
  };
  ovclient::OvClient& client = connectClient();
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.before ? c.before : "<unset>") + " / " + c.host);
    removeConfigString("ReverseClients");
    if (c.before) {
      ASSERT_EQ(setConfigString("ReverseClients", c.before), 0);
    }
    ASSERT_TRUE(send(client, c.type, text(c.host)));
    sync(client);
    EXPECT_EQ(config("ReverseClients"), c.after);
  }
}

// The list holds at most 64 reverse clients, hosts are plain host names of
// at most 253 characters; "Added" and "Removed" are logged only when the
// list changed, a refusal with the connection.
TEST_F(AdminTest, ReverseClientListIsBoundedAndLogsOnlyChanges) {
  std::string full;
  for (int i = 0; i < 64; i++) full += (i ? "," : "") + ("h" + std::to_string(i)) + ":7573";
  ASSERT_EQ(setConfigString("ReverseClients", full.c_str()), 0);
  ovclient::OvClient& client = connectClient();
  uint16_t id = 0;
  ASSERT_EQ(copyConnectionIds(&id, 1), 1u);
  const std::string connection = " for connection " + std::to_string(id);
  ASSERT_TRUE(send(client, kMsgAddReverseClient, text("new")));
  ASSERT_TRUE(send(client, kMsgAddReverseClient, text("h5")));
  sync(client);
  EXPECT_EQ(config("ReverseClients"), full);
  EXPECT_TRUE(log.contains("Warning, refusing reverse client new:7573 from connection " + std::to_string(id) +
                           ": 64 reverse clients are listed"));
  EXPECT_EQ(log.count("Added reverse client"), 0u);
  ASSERT_TRUE(send(client, kMsgRemoveReverseClient, text("h5")));
  ASSERT_TRUE(send(client, kMsgRemoveReverseClient, text("h5")));
  ASSERT_TRUE(send(client, kMsgAddReverseClient, text("new")));
  ASSERT_TRUE(send(client, kMsgAddReverseClient, text("new")));
  sync(client);
  EXPECT_EQ(log.count("Removed reverse client h5:7573" + connection), 1u);
  EXPECT_EQ(log.count("Added reverse client new:7573" + connection), 1u);
  const std::string longest(253, 'l');
  ASSERT_TRUE(send(client, kMsgRemoveReverseClient, text("new")));
  ASSERT_TRUE(send(client, kMsgAddReverseClient, text(longest + "x")));
  ASSERT_TRUE(send(client, kMsgAddReverseClient, text(longest)));
  sync(client);
  EXPECT_EQ(log.count("Warning, refusing a reverse client host from connection " + std::to_string(id)), 1u);
  EXPECT_EQ(log.count("Added reverse client " + longest + ":7573"), 1u);
}

// A custom event may blank any key there is, but adds a new key only when
// it is short and printable and config.ini is of an administrator's size.
TEST_F(AdminTest, CustomEventsAreBounded) {
  ovclient::OvClient& client = connectClient();
  struct Case {
    std::string text;
    bool stored;
  } cases[] = {
      {std::string(63, 'k') + "=", true},
      {std::string(64, 'k') + "=", false},
      {"a\x01b=", false},
      {"a\x1b[2Jb=", false},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(send(client, kMsgCustomEvent, text(c.text)));
    sync(client);
    const std::string key = c.text.substr(0, c.text.size() - 1);
    EXPECT_EQ(hasConfigKey(key.c_str()), c.stored) << key;
  }
  EXPECT_EQ(log.count("Warning, refusing custom event key"), 3u);
  while (countConfigEntries() < 512) {
    ASSERT_EQ(setConfigString(("Filler" + std::to_string(countConfigEntries())).c_str(), "x"), 0);
  }
  ASSERT_TRUE(send(client, kMsgCustomEvent, text("NewKey=")));
  ASSERT_TRUE(send(client, kMsgCustomEvent, text("Filler100=")));
  sync(client);
  EXPECT_FALSE(hasConfigKey("NewKey"));
  EXPECT_TRUE(log.contains("Warning, refusing custom event key \"NewKey\" from connection"));
  EXPECT_EQ(config("Filler100"), "");
  EXPECT_EQ(countConfigEntries(), 512u);
}

// A line break in a custom event's key or a stop-ignoring text stays inside
// its record: the log gets no line the client wrote.
TEST_F(AdminTest, LineBreaksFromClientsStayInsideTheirRecord) {
  ovclient::OvClient& client = connectClient();
  const std::string forged = "\r\nThu Jan  1 00:00:00 1970 LOG_ERR     forged";
  ASSERT_TRUE(send(client, kMsgCustomEvent, text("Key" + forged + "=REMOVE")));
  ASSERT_TRUE(send(client, kMsgCustomEvent, text("Key" + forged + "=value")));
  ASSERT_TRUE(send(client, kMsgSetIgnoredDevices, text("1" + forged)));
  ASSERT_TRUE(send(client, kMsgSetIgnoredDevices, text("1/2" + forged)));
  ASSERT_EQ(setConfigString("IgnoredDevices", "1/2"), 0);
  ASSERT_TRUE(send(client, kMsgSetIgnoredDevices, text("1/2" + forged)));
  sync(client);
  const std::string all = log.text();
  EXPECT_EQ(all.find("\r"), std::string::npos);
  EXPECT_EQ(log.count("\nThu Jan  1"), 0u);
  EXPECT_GE(log.count("forged"), 4u) << all;
  EXPECT_EQ(log.count("__Thu Jan  1 00:00:00 1970 LOG_ERR     forged"), log.count("forged")) << all;
}

// With TLS the list and port keys are the TLS ones; the port is the
// configured one, never the client's.
TEST_F(AdminTest, ReverseClientKeysFollowTls) {
  static char cert[] = "/etc/cert.pem";
  core.sslCertPath = cert;
  ASSERT_EQ(setConfigString("SSLReverseClientsPort", "7000"), 0);
  ovclient::OvClient& client = connectClient();
  ASSERT_TRUE(send(client, kMsgAddReverseClient, text("h1:1")));
  sync(client);
  ovclient::Message reply;
  ASSERT_TRUE(client.request(kMsgListReverseClients, {}, &reply, kMsgListReverseClientsReply));
  EXPECT_EQ(config("SSLReverseClients"), "h1:7000");
  EXPECT_EQ(config("ReverseClients"), "<unset>");
  EXPECT_EQ(ovclient::fixedText(reply.payload.data(), reply.payload.size()), "h1:7000");
  EXPECT_EQ(reply.context[0], 0u);
  EXPECT_EQ(reply.deviceAddress, 0u);
}

// Hosts that would change the list or the file beyond one entry are
// refused and the list stays as it was.
TEST_F(AdminTest, ReverseClientHostsThatAreRefused) {
  const std::string hosts[] = {"", ":7573", "a,b", "a\nTCPPort=1", "a\x01", "${HOME}", "a\x7f"};
  ASSERT_EQ(setConfigString("ReverseClients", "keep:7573"), 0);
  ovclient::OvClient& client = connectClient();
  for (const std::string& host : hosts) {
    for (MessageType type : {kMsgAddReverseClient, kMsgRemoveReverseClient}) {
      ASSERT_TRUE(send(client, type, host.empty() ? std::vector<uint8_t>{0} : text(host)));
      sync(client);
      EXPECT_EQ(config("ReverseClients"), "keep:7573") << host;
    }
  }
  EXPECT_EQ(log.count("Warning, refusing"), 2 * std::size(hosts));
  EXPECT_EQ(log.count("Warning, refusing an empty reverse client host"), 4u);
}

// Only exit status 1 lets the change through; the script sees the client's
// texts exactly, and runs nothing of them.
TEST_F(AdminTest, ReverseClientScriptDecides) {
  ovclient::OvClient& client = connectClient(injection);
  struct Case {
    int exitCode;
    bool changed;
  } cases[] = {{0, false}, {1, true}, {2, false}, {7, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.exitCode);
    ASSERT_EQ(setConfigString("ReverseClients", ""), 0);
    ASSERT_EQ(setConfigString("OnAddReverseClient",
                              (record("add", "'$CLIENT_ID$' '$CLIENT_IP$'") + "; exit " + std::to_string(c.exitCode)).c_str()),
              0);
    ASSERT_TRUE(send(client, kMsgAddReverseClient, text("h")));
    sync(client);
    EXPECT_EQ(config("ReverseClients"), c.changed ? "h:7573" : "");
    EXPECT_EQ(file("add"), injection + "|127.0.0.1|");
  }
  EXPECT_TRUE(log.contains("Unknown return value 7 from OnAddReverseClient"));
  EXPECT_FALSE(fileExists(probe));

  ASSERT_EQ(setConfigString("ReverseClients", "h:7573"), 0);
  ASSERT_EQ(setConfigString("OnRemoveReverseClient", "kill -9 $$"), 0);
  ASSERT_TRUE(send(client, kMsgRemoveReverseClient, text("h")));
  sync(client);
  EXPECT_EQ(config("ReverseClients"), "h:7573");
  EXPECT_TRUE(log.contains("unhandled signal"));
}

// A payload without a NUL is read up to its length only.
TEST_F(AdminTest, TextPayloadWithoutNulIsBoundedByItsLength) {
  ovclient::OvClient& client = connectClient();
  std::string host = "10.2.3.4";
  ASSERT_TRUE(send(client, kMsgAddReverseClient, std::vector<uint8_t>(host.begin(), host.end())));
  sync(client);
  EXPECT_EQ(config("ReverseClients"), "10.2.3.4:7573");

  // The same straight into the handlers, in buffers of exactly the
  // payload's size, where a read past it is a fault under ASan.
  struct Case {
    void (*handler)(uint16_t, const MessageHeader*);
    const char* key;
    std::string payload, after;
  } cases[] = {
      {handleAddReverseClientRequest, "ReverseClients", "10.9.9.9", "10.2.3.4:7573,10.9.9.9:7573"},
      {handleSetIgnoredDevicesRequest, "IgnoredDevices", "1/2", "1/3"},
      {handleCustomEventRequest, "Custom", "Custom=", ""},
  };
  ASSERT_EQ(setConfigString("IgnoredDevices", "1/2,1/3"), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.payload);
    MessageHeader* m = newMessage({.type = kMsgIgnored, .payloadLength = uint32_t(c.payload.size())});
    ASSERT_NE(m, nullptr);
    memcpy(messagePayload(m), c.payload.data(), c.payload.size());
    c.handler(0, m);
    freeMessage(m);
    EXPECT_EQ(config(c.key), c.after);
  }
}

// --- Server rename ---------------------------------------------------------

TEST_F(AdminTest, RenameScriptDecides) {
  struct Case {
    const char* script;  // null: no script
    bool renamed;
    bool refusedNotice;
  } cases[] = {{nullptr, true, false}, {"exit 0", false, false}, {"exit 1", true, false}, {"exit 2", false, true}};
  ovclient::OvClient& client = connectClient();
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script ? c.script : "none");
    removeConfigString("OnServerRename");
    ASSERT_EQ(setConfigString("ServerName", "old"), 0);
    const std::string name = "name" + std::to_string(n++);
    if (c.script) {
      ASSERT_EQ(setConfigString("OnServerRename", (record("rename", "'$NEW_NAME$'") + "; " + c.script).c_str()), 0);
    }
    ASSERT_TRUE(send(client, kMsgServerRename, text(name)));
    ovclient::Message message;
    if (c.renamed) {
      ASSERT_TRUE(client.waitFor(kMsgServerInfo, &message, 20000));
      ovclient::ServerInfo info;
      ASSERT_TRUE(ovclient::parseServerInfo(message, &info));
      EXPECT_EQ(info.serverName, name);
      EXPECT_EQ(config("ServerName"), name);
    } else if (c.refusedNotice) {
      ASSERT_TRUE(client.waitFor(kMsgTextNotice, &message, 20000));
      std::string notice;
      ASSERT_TRUE(ovclient::parseTextNotice(message, &notice));
      EXPECT_EQ(notice, "INSUFFICIENT_PERMISSIONS_MSG");
    } else {
      ASSERT_TRUE(waitUntil([&] { return file("rename") == name + "|"; }));
    }
    if (!c.renamed) {
      EXPECT_EQ(config("ServerName"), "old");
    }
  }
}

// The name is the first 127 bytes; the script gets exactly what the client
// sent, and nothing the client wrote runs.
TEST_F(AdminTest, RenameCutsAndQuotes) {
  ovclient::OvClient& client = connectClient(injection);
  ASSERT_EQ(setConfigString("OnServerRename",
                            (record("rename", "'$NEW_NAME$' '$CLIENT_ID$' '$CLIENT_IP$' '$CONNECTION_ID$'") + "; exit 1")
                                .c_str()),
            0);
  std::string longName(300, 'n');
  ASSERT_TRUE(send(client, kMsgServerRename, std::vector<uint8_t>(longName.begin(), longName.end())));
  ASSERT_TRUE(waitUntil([] { return config("ServerName") == std::string(127, 'n'); }));

  ASSERT_TRUE(send(client, kMsgServerRename, text(injection)));
  ASSERT_TRUE(waitUntil([&] { return config("ServerName") == injection; }));
  const std::string seen = file("rename");
  EXPECT_EQ(seen.rfind(injection + "|" + injection + "|127.0.0.1|", 0), 0u) << seen;
  EXPECT_FALSE(fileExists(probe));
}

TEST_F(AdminTest, RenameRefusesControlCharactersAndEnvironmentReferences) {
  ovclient::OvClient& client = connectClient();
  ASSERT_EQ(setConfigString("ServerName", "old"), 0);
  for (const std::string& name : {std::string("a\nTCPPort=1"), std::string("${HOME}"), std::string("a\tb")}) {
    ASSERT_TRUE(send(client, kMsgServerRename, text(name)));
    sync(client);
  }
  ASSERT_TRUE(send(client, kMsgServerRename, text("a,b")));  // not a list: a comma is fine
  ASSERT_TRUE(waitUntil([] { return config("ServerName") == "a,b"; }));
  EXPECT_EQ(log.count("Warning, refusing a server name"), 3u);
}

// A file lock the test holds; a script line that waits for it ends when
// the test lets go. The descriptor is not inherited by the scripts, which
// the server (this process) starts.
class ScriptGate {
 public:
  explicit ScriptGate(const std::string& path) : path_(path) {
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    EXPECT_GE(fd_, 0);
    EXPECT_EQ(flock(fd_, LOCK_EX), 0);
  }
  ~ScriptGate() { release(); }
  std::string wait() const { return "flock " + path_ + " true"; }
  void release() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  std::string path_;
  int fd_ = -1;
};

// A rename whose script is still running when shutdown begins: the stop
// waits for its thread, which applies nothing, so what the thread used may
// be freed once the stop returns (the fixture frees the connection list).
TEST_F(AdminTest, RenameWhoseScriptRunsAtShutdownEndsBeforeTheStopReturns) {
  ovclient::OvClient& client = connectClient();
  ASSERT_EQ(setConfigString("ServerName", "old"), 0);
  ScriptGate gate(dir + "/gate");
  ASSERT_EQ(setConfigString("OnServerRename", ("touch " + dir + "/started; " + gate.wait() + "; touch " + dir +
                                               "/ended; exit 1").c_str()),
            0);
  ASSERT_TRUE(send(client, kMsgServerRename, text("new")));
  ASSERT_TRUE(waitUntil([&] { return fileExists(dir + "/started"); })) << "the script to start";
  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    stopEventScripts();
    stopped = true;
  });
  EXPECT_TRUE(waitUntil([&] { return log.contains("Waiting for 1 event script threads to end"); })) << "the stop to wait";
  EXPECT_FALSE(stopped);
  gate.release();
  stopper.join();
  EXPECT_TRUE(fileExists(dir + "/ended"));
  EXPECT_EQ(eventScriptLoad().threads, 0u);
  EXPECT_TRUE(log.contains("its change is not applied"));
  EXPECT_EQ(config("ServerName"), "old");
  EXPECT_FALSE(log.contains("killed"));
}

// A script that does not end within the stop's wait is killed, with
// whatever it started, and its thread ends before the stop returns.
TEST_F(AdminTest, ScriptThatOutlivesTheStopsWaitIsKilled) {
  ovclient::OvClient& client = connectClient();
  ASSERT_EQ(setConfigString("ServerName", "old"), 0);
  ScriptGate gate(dir + "/gate");
  ASSERT_EQ(setConfigString("OnServerRename",
                            ("echo $$ > " + dir + "/pid.tmp; mv " + dir + "/pid.tmp " + dir + "/pid; " + gate.wait() +
                             "; exit 1").c_str()),
            0);
  ASSERT_TRUE(send(client, kMsgServerRename, text("new")));
  ASSERT_TRUE(waitUntil([&] { return fileExists(dir + "/pid"); })) << "the script to start";
  const pid_t shell = std::stoi(file("pid"));
  stopEventScripts(100);
  EXPECT_EQ(eventScriptLoad().threads, 0u);
  EXPECT_TRUE(log.contains("Warning, 1 event script threads still running after 100 ms, killed 1 scripts"));
  EXPECT_NE(kill(shell, 0), 0) << "the shell was reaped";
  EXPECT_EQ(config("ServerName"), "old");
  // The next start runs scripts again.
  startEventScripts();
  gate.release();
  ASSERT_EQ(setConfigString("OnServerRename", "exit 1"), 0);
  ASSERT_TRUE(send(client, kMsgServerRename, text("again")));
  EXPECT_TRUE(waitUntil([] { return config("ServerName") == "again"; }));
}

// Renames beyond the script threads wait for one, none is lost: with every
// thread held by a script, 8 more wait in the queue and run once the
// scripts end. Eight threads, not 32: the bound is what is proved, and each
// script is a fork of this (under the sanitizers large) process.
TEST_F(AdminTest, ScriptThreadsAreBounded) {
  core.scriptThreads = 8;
  ovclient::OvClient& client = connectClient();
  ScriptGate gate(dir + "/gate");
  ASSERT_EQ(setConfigString("OnServerRename",
                            (gate.wait() + "; touch " + dir + "/ran.'$NEW_NAME$'; exit 0").c_str()),
            0);
  for (int i = 0; i < 16; i++) ASSERT_TRUE(send(client, kMsgServerRename, text("n" + std::to_string(i))));
  sync(client);  // every rename was handed over
  const EventScriptLoad load = eventScriptLoad();
  EXPECT_EQ(load.threads, 8u);
  EXPECT_EQ(load.waitingChanges, 8u);
  EXPECT_FALSE(log.contains("dropping"));
  gate.release();
  for (int i = 0; i < 16; i++) {
    EXPECT_TRUE(waitUntil([&] { return fileExists(dir + "/ran.n" + std::to_string(i)); })) << "rename n" << i;
  }
  EXPECT_TRUE(waitUntil([] { return eventScriptLoad().threads == 0; })) << "the script threads to end";
}

// One client's flood of renames keeps to its share of the queue (the rest
// is dropped with a warning), so another client's rename still waits for
// its turn and is applied. Four threads and a share of four: the shares
// are what is proved, not the sizes.
TEST_F(AdminTest, RenameFloodKeepsToItsShareOfTheQueue) {
  core.scriptThreads = 4;
  core.waitingChangesPerClient = 4;
  ovclient::OvClient& flood = connectClient("flood");
  ovclient::OvClient& admin = connectClient("admin");
  ScriptGate gate(dir + "/gate");
  ASSERT_EQ(setConfigString("OnServerRename",
                            (gate.wait() + "; [ '$NEW_NAME$' = admin ] && exit 1; exit 0").c_str()),
            0);
  ASSERT_EQ(setConfigString("ServerName", "old"), 0);
  for (int i = 0; i < 4 + 4 + 3; i++) ASSERT_TRUE(send(flood, kMsgServerRename, text("f" + std::to_string(i))));
  sync(flood);
  EXPECT_EQ(eventScriptLoad().waitingChanges, 4u);
  EXPECT_EQ(log.count("Warning, 4 changes of this client wait for their scripts, dropping a rename"), 3u);
  ASSERT_TRUE(send(admin, kMsgServerRename, text("admin")));
  sync(admin);
  EXPECT_EQ(eventScriptLoad().waitingChanges, 5u);
  gate.release();
  EXPECT_TRUE(waitUntil([] { return config("ServerName") == "admin"; })) << "the admin's rename";
}

// --- Nicknames -------------------------------------------------------------

class NicknameTest : public AdminTest {
 protected:
  void SetUp() override {
    AdminTest::SetUp();
    bus.addDevice(device("1-3", 0x1234, 0x5678));
    startDiscovery();
    ASSERT_TRUE(waitUntil([] { return deviceCount() == 1; }));
  }
  // The nickname of the next announcement of device 13.
  std::string announcedNickname(ovclient::OvClient& client) {
    ovclient::Message message;
    while (client.waitFor(kMsgDeviceAnnounce, &message, 20000)) {
      ovclient::DeviceAnnouncement a;
      EXPECT_TRUE(ovclient::parseDeviceAnnouncement(message, &a));
      if (a.address == 13) return a.nickname;
    }
    return "<none>";
  }
  // Reads "DeviceNicknames" back as start-up does, into a fresh list.
  std::vector<DeviceNickname> reloaded() {
    char* value = getConfigString("DeviceNicknames", nullptr, true);
    LockedList* list = createLockedList();
    parseDeviceNicknames(list, value);
    free(value);
    std::vector<DeviceNickname> out;
    forEachInLockedList(
        list, nullptr,
        [](void* item, void* o) {
          static_cast<std::vector<DeviceNickname>*>(o)->push_back(*static_cast<DeviceNickname*>(item));
        },
        nullptr, &out, 0);
    clearLockedList(list, freeItem);
    destroyLockedList(list);
    return out;
  }
};

TEST_F(NicknameTest, HookDecides) {
  struct Case {
    const char* hook;  // null: none
    bool applied;
    bool refusedNotice;
  } cases[] = {{nullptr, true, false}, {"exit 0", true, false}, {"exit 1", false, false}, {"exit 2", false, true}};
  ovclient::OvClient& client = connectClient();
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hook ? c.hook : "none");
    removeConfigString("onChangeNickname.1234.5678");
    ASSERT_EQ(setConfigString("DeviceNicknames", "before,1234,5678,13"), 0);
    clearLockedList(nicknameList, freeItem);
    parseDeviceNicknames(nicknameList, "before,1234,5678,13");
    const std::string name = "nick" + std::to_string(n++);
    if (c.hook) {
      ASSERT_EQ(setConfigString("onChangeNickname.1234.5678",
                                (record("hook", "'$NICKNAME$' '$NEW_NICKNAME$'") + "; " + c.hook).c_str()),
                0);
    }
    ASSERT_TRUE(send(client, kMsgDeviceNickname, nicknamePayload(0x1234, 0x5678, 13, name)));
    if (c.applied) {
      EXPECT_EQ(announcedNickname(client), name);
      EXPECT_EQ(config("DeviceNicknames"), name + ",1234,5678,13");
    } else if (c.refusedNotice) {
      ovclient::Message message;
      ASSERT_TRUE(client.waitFor(kMsgTextNotice, &message, 20000));
      std::string notice;
      ASSERT_TRUE(ovclient::parseTextNotice(message, &notice));
      EXPECT_EQ(notice, "INSUFFICIENT_PERMISSIONS_MSG");
    } else {
      ASSERT_TRUE(waitUntil([&] { return file("hook") == "before|" + name + "|"; }));
    }
    if (c.hook) {
      EXPECT_TRUE(waitUntil([&] { return file("hook") == "before|" + name + "|"; }));
    }
    if (!c.applied) {
      EXPECT_EQ(config("DeviceNicknames"), "before,1234,5678,13");
    }
  }
}

// The hook of the vendor and the plain hook are found too; every client
// text reaches it exactly, and runs nothing.
TEST_F(NicknameTest, HookPlaceholdersAreExact) {
  ovclient::OvClient& client = connectClient(injection);
  ASSERT_EQ(setConfigString("onChangeNickname.1234",
                            (record("hook", "'$NEW_NICKNAME$' '$CLIENT_ID$' '$VENDOR_ID$' '$PRODUCT_ID$' '$ADDRESS$'") +
                             "; exit 1")
                                .c_str()),
            0);
  std::string nick = injection.substr(0, 60);
  ASSERT_TRUE(send(client, kMsgDeviceNickname, nicknamePayload(0x1234, 0x5678, 13, nick)));
  ASSERT_TRUE(waitUntil([&] { return !file("hook").empty(); }));
  EXPECT_EQ(file("hook"), injection.substr(0, 60) + "|" + injection + "|1234|5678|13|");
  EXPECT_FALSE(fileExists(probe));
}

// A ',' (and a '%') in a nickname or a serial is ordinary text: stored in
// the list's encoding and read back as given, by id and by serial.
TEST_F(NicknameTest, CommaInANicknameReadsBack) {
  ovclient::OvClient& client = connectClient();
  ASSERT_TRUE(send(client, kMsgDeviceNickname, nicknamePayload(0x1234, 0x5678, 13, "a,b 100%")));
  EXPECT_EQ(announcedNickname(client), "a,b 100%");
  const std::string serial = "S,1";
  ASSERT_TRUE(send(client, kMsgDeviceNickname, nicknamePayload(0xabcd, 0x0001, 99, "x,y", &serial)));
  ASSERT_TRUE(waitUntil([] { return config("DeviceNicknames").find("x%2Cy") != std::string::npos; }));
  EXPECT_EQ(config("DeviceNicknames"), "a%2Cb 100%25,1234,5678,13,x%2CyS%2C1,0000,0000,3");
  const std::vector<DeviceNickname> back = reloaded();
  ASSERT_EQ(back.size(), 2u);
  EXPECT_STREQ(back[0].nickname, "a,b 100%");
  EXPECT_EQ(back[0].address, 13u);
  EXPECT_STREQ(back[1].nickname, "x,y");
  EXPECT_STREQ(back[1].serial, "S,1");
}

// Each device a client names takes an entry: past the bound a new device
// is refused with a line, while a named one can still be renamed.
TEST_F(NicknameTest, NicknameListIsBounded) {
  ovclient::OvClient& client = connectClient();
  for (uint32_t address = 1000; address < 1256; address++) {
    auto* entry = static_cast<DeviceNickname*>(calloc(1, sizeof(DeviceNickname)));
    *entry = {0x1234, 0x5678, address, "", "n"};
    ASSERT_EQ(appendToLockedList(nicknameList, entry), 0);
  }
  ASSERT_TRUE(send(client, kMsgDeviceNickname, nicknamePayload(0x1234, 0x5678, 13, "new")));
  sync(client);
  EXPECT_TRUE(log.contains("Warning, refusing a device nickname from connection"));
  EXPECT_TRUE(log.contains(": 256 are set"));
  EXPECT_EQ(countLockedList(nicknameList), 256u);
  ASSERT_TRUE(send(client, kMsgDeviceNickname, nicknamePayload(0x1234, 0x5678, 1000, "renamed")));
  ASSERT_TRUE(waitUntil([] { return config("DeviceNicknames").find("renamed,1234,5678,1000") != std::string::npos; }));
  EXPECT_EQ(countLockedList(nicknameList), 256u);
}

// A serial-keyed nickname whose text and serial together pass 63
// characters, and an id-keyed one, come back the same after a restart; an
// empty nickname removes the entry.
TEST_F(NicknameTest, NicknamesSurviveRestart) {
  ovclient::OvClient& client = connectClient();
  const std::string longName(50, 'L');
  const std::string serial = "SERIAL-0123456789-ABCDEFGHIJ";
  ASSERT_TRUE(send(client, kMsgDeviceNickname, nicknamePayload(0x1234, 0x5678, 13, longName, &serial)));
  EXPECT_EQ(announcedNickname(client), longName);
  ASSERT_TRUE(send(client, kMsgDeviceNickname, nicknamePayload(0xabcd, 0x0001, 99, "plain")));
  EXPECT_EQ(announcedNickname(client), longName);  // every device is announced again
  EXPECT_EQ(config("DeviceNicknames"), longName + serial + ",0000,0000,28,plain,abcd,0001,99");

  ASSERT_EQ(saveConfig(), 0);
  freeConfigStore();
  ASSERT_TRUE(loadConfig(configPath.c_str(), true));
  std::vector<DeviceNickname> back = reloaded();
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(std::string(back[0].nickname), longName);
  EXPECT_EQ(std::string(back[0].serial), serial);
  EXPECT_EQ(std::string(back[1].nickname), "plain");
  EXPECT_EQ(back[1].vendorId, 0xabcdu);
  EXPECT_EQ(back[1].address, 99u);

  // The reloaded list names the device by its serial, as after a restart.
  clearLockedList(nicknameList, freeItem);
  parseDeviceNicknames(nicknameList, config("DeviceNicknames").c_str());
  ASSERT_TRUE(send(client, kMsgDeviceNickname, nicknamePayload(0x1234, 0x5678, 13, "", &serial)));
  EXPECT_EQ(announcedNickname(client), "");
  EXPECT_EQ(config("DeviceNicknames"), "plain,abcd,0001,99");
}

// What would change config.ini beyond the value, or be expanded from the
// environment when read back, is refused with a line that names the
// connection.
TEST_F(NicknameTest, NicknamesThatAreRefused) {
  ovclient::OvClient& client = connectClient();
  uint16_t id = 0;
  ASSERT_EQ(copyConnectionIds(&id, 1), 1u);
  ASSERT_EQ(setConfigString("DeviceNicknames", "keep,1234,5678,13"), 0);
  const std::string cases[][3] = {{"a\nb", "", "a control character"},
                                  {"${HOME}", "", "\"${\""},
                                  {"ok", "S\r", "a control character"}};
  for (const auto& c : cases) {
    ASSERT_TRUE(send(client, kMsgDeviceNickname,
                     nicknamePayload(0x1234, 0x5678, 13, c[0], c[1].empty() ? nullptr : &c[1])));
  }
  sync(client);
  EXPECT_EQ(log.count("Warning, refusing a device"), std::size(cases));
  for (const auto& c : cases) {
    EXPECT_TRUE(log.contains("Warning, refusing a device " + std::string(c[1].empty() ? "nickname" : "serial") +
                             " from connection " + std::to_string(id) + ": it holds " + c[2]))
        << c[0];
  }
  EXPECT_EQ(config("DeviceNicknames"), "keep,1234,5678,13");
  // Below the fixed fields the request is dropped before the handler.
  ASSERT_TRUE(send(client, kMsgDeviceNickname, std::vector<uint8_t>(71, 'a')));
  sync(client);
  EXPECT_TRUE(log.contains("Warning, dropping message of type 42"));
}

// --- Ignored devices -------------------------------------------------------

TEST_F(AdminTest, StopIgnoringEditsTheList) {
  struct Case {
    const char* before;
    const char* request;
    const char* after;
  } cases[] = {
      {"5ac/12a8,05AC/12A8,5ac/12a8/ABC,1/2", "5ac/12a8", "5ac/12a8/ABC,1/2"},
      {"5ac/12a8/ABC,5ac/12a8/ABD,5ac/12a8", "5ac/12a8/ABC", "5ac/12a8/ABD,5ac/12a8"},
      {"5ac/12a8", "5ac/12a8", ""},
      {"5ac,5ac/12a8", "5ac/12a8", "5ac"},
      {"15ac/12a8", "5ac/12a8", "15ac/12a8"},
  };
  ovclient::OvClient& client = connectClient();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    ASSERT_EQ(setConfigString("IgnoredDevices", c.before), 0);
    ASSERT_TRUE(send(client, kMsgSetIgnoredDevices, text(c.request)));
    sync(client);
    EXPECT_EQ(config("IgnoredDevices"), c.after);
  }
}

// The get request answers the list as written (never expanded from the
// daemon's environment) or the platform's default; a stop request without
// any list changes nothing; with only the default, the default is edited
// into the key.
TEST_F(AdminTest, IgnoredDevicesWithoutDefault) {
  setenv("IGNORED_TEST", "9/9", 1);
  ovclient::OvClient& client = connectClient();
  ovclient::Message reply;
  ASSERT_TRUE(client.request(kMsgGetIgnoredDevices, {}, &reply, kMsgGetIgnoredDevicesReply));
  EXPECT_EQ(ovclient::fixedText(reply.payload.data(), reply.payload.size()), "");
  ASSERT_TRUE(send(client, kMsgSetIgnoredDevices, text("1/2")));
  sync(client);
  EXPECT_EQ(config("IgnoredDevices"), "<unset>");
  ASSERT_EQ(setConfigString("IgnoredDevices", "${IGNORED_TEST}"), 0);
  ASSERT_TRUE(client.request(kMsgGetIgnoredDevices, {}, &reply, kMsgGetIgnoredDevicesReply));
  EXPECT_EQ(ovclient::fixedText(reply.payload.data(), reply.payload.size()), "${IGNORED_TEST}");
}

TEST_F(AdminTest, IgnoredDevicesPlatformDefault) {
  core.platformCode = 7;
  ovclient::OvClient& client = connectClient();
  ovclient::Message reply;
  ASSERT_TRUE(client.request(kMsgGetIgnoredDevices, {}, &reply, kMsgGetIgnoredDevicesReply));
  EXPECT_EQ(ovclient::fixedText(reply.payload.data(), reply.payload.size()), "424/ec00,424/7800");
  ASSERT_TRUE(send(client, kMsgSetIgnoredDevices, text("424/7800")));
  sync(client);
  EXPECT_EQ(config("IgnoredDevices"), "424/ec00");
}

// A device no longer ignored is taken up by the enumeration the request
// starts.
TEST_F(AdminTest, StopIgnoringEnumeratesAgain) {
  ASSERT_EQ(setConfigString("IgnoredDevices", "1234/5678"), 0);
  bus.addDevice(device("1-3", 0x1234, 0x5678));
  startDiscovery();
  startEnumerationWorker();
  ASSERT_TRUE(drainUevents());
  ASSERT_EQ(deviceCount(), 0u);
  ovclient::OvClient& client = connectClient();
  ASSERT_TRUE(send(client, kMsgSetIgnoredDevices, text("1234/5678")));
  EXPECT_TRUE(waitUntil([] { return deviceCount() == 1; }));
}

// The bus as the enumeration sees it, with the walk of the device
// directory held at a gate: a pass that overlaps another, or that is still
// under way when the worker is stopped, shows in the counts.
struct GatedListing {
  static inline const UsbSys* real = nullptr;
  static inline std::atomic<int> active{0}, maxActive{0}, passes{0};
  static inline std::atomic<bool> open{false};
  static int list(const char* path, UsbSysDirectoryVisitor visit, void* context) {
    if (strcmp(path, "/sys/bus/usb/devices") != 0) return real->listDirectory(path, visit, context);
    int now = ++active;
    for (int seen = maxActive; now > seen && !maxActive.compare_exchange_weak(seen, now);) {
    }
    passes++;
    waitUntil([] { return open.load(); }, 20000);
    int rc = real->listDirectory(path, visit, context);
    --active;
    return rc;
  }
};

// Requests that come while a pass runs are merged into one more pass, and
// stopping waits for the pass under way (also run under TSan).
TEST_F(AdminTest, EnumerationRequestsAreSerialisedAndJoined) {
  // Installed before discovery's threads start, which read usbSys; the bus
  // puts its predecessor back when it is uninstalled.
  static UsbSys gated;
  gated = *usbSys;
  GatedListing::real = usbSys;
  gated.listDirectory = GatedListing::list;
  usbSys = &gated;
  GatedListing::open = true;
  bus.addDevice(device("1-1"));
  startDiscovery();
  GatedListing::open = false;
  GatedListing::passes = 0;
  startEnumerationWorker();

  requestUsbEnumeration();
  ASSERT_TRUE(waitUntil([] { return GatedListing::active == 1; }));
  std::vector<std::thread> askers;
  for (int i = 0; i < 4; i++) {
    askers.emplace_back([] {
      for (int j = 0; j < 25; j++) requestUsbEnumeration();
    });
  }
  for (auto& t : askers) t.join();
  GatedListing::open = true;
  ASSERT_TRUE(waitUntil([] { return GatedListing::passes == 2 && GatedListing::active == 0; }));
  EXPECT_EQ(GatedListing::maxActive, 1);

  GatedListing::open = false;
  requestUsbEnumeration();
  ASSERT_TRUE(waitUntil([] { return GatedListing::active == 1; }));
  std::atomic<bool> stopped{false};
  std::atomic<int> activeAfterStop{-1};
  std::thread stopper([&] {
    stopEnumerationWorker();
    activeAfterStop = GatedListing::active.load();
    stopped = true;
  });
  waitUntil([&] { return stopped.load(); }, 300);  // a stop that does not wait shows here
  GatedListing::open = true;
  stopper.join();
  EXPECT_EQ(activeAfterStop, 0);
  EXPECT_EQ(GatedListing::passes, 3);

  requestUsbEnumeration();
  EXPECT_TRUE(log.contains("Enumeration not started"));
  EXPECT_EQ(GatedListing::passes, 3);
}

// --- Custom events ---------------------------------------------------------

TEST_F(AdminTest, CustomEvents) {
  struct Case {
    const char* text;
    const char* after;  // value of "onClientConnect"
    const char* logged;
  } cases[] = {
      {"onClientConnect=", "", "Set custom event \"onClientConnect=\""},
      {"onClientConnect=REMOVE", "<unset>", "Removed custom event"},
      {"onclientconnect=remove", "<unset>", "Removed custom event"},
      {"onClientConnect=touch /tmp/x", "keep", "Please edit config.ini directly instead"},
      {"onClientConnect", "keep", nullptr},
  };
  ovclient::OvClient& client = connectClient();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ASSERT_EQ(setConfigString("onClientConnect", "keep"), 0);
    ASSERT_TRUE(send(client, kMsgCustomEvent, text(c.text)));
    sync(client);
    EXPECT_EQ(config("onClientConnect"), c.after);
    if (c.logged) {
      EXPECT_TRUE(log.contains(c.logged));
    }
  }
}

// --- Connect and disconnect scripts -----------------------------------------

TEST_F(AdminTest, ConnectAndDisconnectScripts) {
  ASSERT_EQ(setConfigString("onClientConnect", record("connect", "'$CLIENT_IP$' '$ADDRESS$' '$ID$'").c_str()), 0);
  ASSERT_EQ(setConfigString("onClientDisconnect",
                            record("disconnect", "'$REASON$' '$CLIENT_ID$' '$CLIENT_IP$' '$CONNECTION_ID$'").c_str()),
            0);
  connectClient(injection);
  uint16_t id = 0;
  ASSERT_EQ(copyConnectionIds(&id, 1), 1u);
  ASSERT_TRUE(waitUntil([&] { return !file("connect").empty(); }));
  EXPECT_EQ(file("connect"), "127.0.0.1|127.0.0.1|" + std::to_string(id) + "|");
  ASSERT_TRUE(removeClientConnection(id, "kicked (by admin)"));
  ASSERT_TRUE(waitUntil([&] { return !file("disconnect").empty(); }));
  EXPECT_EQ(file("disconnect"), "kicked (by admin)|" + injection + "|127.0.0.1|" + std::to_string(id) + "|");
  EXPECT_TRUE(waitUntil([&] { return log.contains("onClientDisconnect '"); }));
  EXPECT_FALSE(fileExists(probe));
}

// --- Ignore script ------------------------------------------------------------

TEST_F(AdminTest, DeviceIgnoreScriptExitCodes) {
  ovclient::OvClient& client = connectClient(injection);
  uint16_t id = 0;
  ASSERT_EQ(copyConnectionIds(&id, 1), 1u);
  struct Case {
    const char* tail;
    bool allowed;
    const char* logged;
  } cases[] = {{"exit 1", true, nullptr},
               {"exit 0", false, nullptr},
               {"exit 2", false, nullptr},
               {"exit 3", false, "Unknown return value 3 from OnDeviceIgnore"},
               {"kill -9 $$", false, "unhandled signal"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tail);
    const std::string script =
        record("ignore", "'$VENDOR_ID$' '$PRODUCT_ID$' '$SERIAL$' '$CLIENT_ID$' '$CLIENT_IP$'") + "; " + c.tail;
    EXPECT_EQ(runDeviceIgnoreScript(script.c_str(), id, 0x46d, 0xc52b, injection.c_str()), c.allowed);
    EXPECT_EQ(file("ignore"), "046d|c52b|" + injection + "|" + injection + "|127.0.0.1|");
    if (c.logged) {
      EXPECT_TRUE(log.contains(c.logged));
    }
  }
  ovclient::Message message;
  ASSERT_TRUE(client.waitFor(kMsgTextNotice, &message, 20000));
  std::string notice;
  ASSERT_TRUE(ovclient::parseTextNotice(message, &notice));
  EXPECT_EQ(notice, "INSUFFICIENT_PERMISSIONS_MSG");
  // Without a serial the placeholder stays for the administrator to see.
  const std::string script = record("ignore", "'$SERIAL$'") + "; exit 1";
  EXPECT_TRUE(runDeviceIgnoreScript(script.c_str(), id, 1, 2, nullptr));
  EXPECT_EQ(file("ignore"), "$SERIAL$|");
  EXPECT_FALSE(fileExists(probe));
}

}  // namespace
