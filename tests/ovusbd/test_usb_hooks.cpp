// Device hooks with real /bin/sh commands in a scratch directory: which key
// wins, what the command is given, what its result makes of the server's
// own work at each point of the USB layer, the bConfigurationValue writes
// done through usbfs, the port power cycle; then the ignored-devices list.
#include <linux/usbdevice_fs.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "ovusbd/usb/deviceclaim.h"
#include "ovusbd/usb/devicehooks.h"
#include "ovusbd/usb/devicereset.h"
#include "ovusbd/usb/ignoreddevices.h"
#include "ovusbd/usb/usbfilters.h"
#include "tests/ovusbd/test_usb_transfer_support.h"

using namespace usbtest;

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool exists(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0;
}

// A scratch directory for what the commands write, removed at the end.
class ScratchDir {
 public:
  ScratchDir() {
    char pattern[] = "/tmp/ovusb-hooks-XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~ScratchDir() { std::filesystem::remove_all(path_); }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Every port power switch, with the order of the calls and their time.
struct PowerLog {
  struct Call {
    uint32_t address;
    bool on;
    std::chrono::steady_clock::time_point when;
  };
  std::mutex mutex;
  std::vector<Call> calls;
};
PowerLog* powerLog = nullptr;

int recordPortPower(uint32_t address, bool on) {
  std::lock_guard<std::mutex> lock(powerLog->mutex);
  powerLog->calls.push_back({address, on, std::chrono::steady_clock::now()});
  return 0;
}

std::string testNickname;
void fixedNickname(uint32_t, uint16_t, uint16_t, const char*, char out[64]) {
  snprintf(out, 64, "%s", testNickname.c_str());
}

class HookTest : public TransferFixture {
 protected:
  void SetUp() override {
    TransferFixture::SetUp();
    powerLog = &power;
    hooks.setPortPower = recordPortPower;
    hooks.lookupNickname = fixedNickname;
    hooks.powerCycleOffMs = 100;
    installDeviceHookSettings(&hooks);
  }
  void TearDown() override {
    TransferFixture::TearDown();
    installDeviceHookSettings(nullptr);
    powerLog = nullptr;
  }
  // Starts over with an empty configuration.
  void clearConfig() {
    freeConfigStore();
    unlink(configPath.c_str());
    ASSERT_TRUE(loadConfig(configPath.c_str(), true));
  }
  void set(const std::string& key, const std::string& value) {
    ASSERT_EQ(setConfigString(key.c_str(), value.c_str()), 0);
  }
  size_t requests(const std::string& name, unsigned long request) const {
    std::vector<unsigned long> all = bus.nodeRequests(name);
    return size_t(std::count(all.begin(), all.end(), request));
  }
  uint8_t configurationValue(uint32_t address) {
    uint8_t value = 0;
    visitDevice(
        address, [](ManagedUsbDevice* d, void* out) { *static_cast<uint8_t*>(out) = d->configurationValue; }, &value);
    return value;
  }
  // Runs one endpoint operation through the operation thread; its result.
  int runOperation(uint32_t code) {
    Completions done;
    enqueueDeviceOperation(newOperation(code, 0x81, &done));
    EXPECT_TRUE(done.waitFor(1));
    return done.count() ? done.at(0).status : -1000;
  }

  ScratchDir dir;
  PowerLog power;
  DeviceHookSettings hooks;
};

// The model key wins over everything; the built-in rows over the vendor and
// plain keys (and only when their product-text condition holds); the vendor
// key over the plain key; Apple's vendor-wide default stands in for a
// missing vendor key of onEnumeration and onBind.
TEST_F(HookTest, PrecedenceOfModelBuiltinVendorAndPlainKeys) {
  std::string out = dir.file("out");
  auto echo = [&](const char* name) { return std::string("echo ") + name + " > " + out; };
  struct Case {
    std::vector<std::pair<std::string, std::string>> config;
    const char* hook;
    uint16_t vendor, product;
    const char* productText;
    int result;
    const char* wrote;   // "" when the shell must not have run
    const char* logged;  // "" when nothing in particular
  };
  const Case cases[] = {
      {{{"onReset.046d.c29b", echo("model")}, {"onReset.046d", echo("vendor")}, {"onReset", echo("plain")}},
       "onReset", 0x046d, 0xc29b, "Driving Force GT", 1, "model\n", ""},
      {{{"onReset.046d", echo("vendor")}, {"onReset", echo("plain")}},
       "onReset", 0x046d, 0xc29b, "Driving Force GT", 1, "", ""},
      {{{"onReset.046d", echo("vendor")}, {"onReset", echo("plain")}},
       "onReset", 0x046d, 0xc29b, "racing WHEEL", 1, "", ""},
      {{{"onReset.046d", echo("vendor")}, {"onReset", echo("plain")}},
       "onReset", 0x046d, 0xc52b, "USB Receiver", 1, "vendor\n", ""},
      {{{"onReset", echo("plain")}}, "onReset", 0x046d, 0xc52b, "USB Receiver", 1, "plain\n", ""},
      // The wheel rows need the product text, which only the reset gives.
      {{{"onReset", echo("plain")}}, "onReset", 0x046d, 0xc29b, nullptr, 1, "plain\n", ""},
      {{{"onReset", echo("plain")}}, "onReset", 0x044f, 0xb65d, "T150 Racing Wheel", 1, "", ""},
      {{{"onReset", echo("plain")}}, "onReset", 0x044f, 0xb65d, "Driving pedals", 1, "plain\n", ""},
      {{{"onReset", echo("plain")}}, "onReset", 0x9886, 0x0001, nullptr, 1, "", ""},
      {{{"onBind", echo("plain")}}, "onReset", 0x046d, 0xc52b, "USB Receiver", 0, "", ""},
      {{}, "onReset", 0x046d, 0xc52b, "USB Receiver", 0, "", ""},
      // Apple: the model row sets configuration 0, the vendor-wide default
      // the descriptor's number of configurations (3 here). Without a device
      // usbfs refuses both, which names the value.
      {{{"onBind", echo("plain")}}, "onBind", 0x05ac, 0x1293, nullptr, 2, "", "Call to syncSetConfig 0 Failed with err 19"},
      {{{"onBind", echo("plain")}}, "onBind", 0x05ac, 0x12a8, nullptr, 2, "", "Call to syncSetConfig 3 Failed with err 19"},
      {{{"onBind.05ac", echo("vendor")}, {"onBind", echo("plain")}}, "onBind", 0x05ac, 0x12a8, nullptr, 1, "vendor\n", ""},
      {{{"onEnumeration", echo("plain")}}, "onEnumeration", 0x05ac, 0x12a8, nullptr, 2, "",
       "Call to syncSetConfig 3 Failed"},
      {{{"onReset", echo("plain")}}, "onReset", 0x05ac, 0x12a8, nullptr, 1, "plain\n", ""},
      {{{"onEnumeration", echo("plain")}}, "onEnumeration", 0x04e8, 0x6877, nullptr, 2, "",
       "Call to syncSetConfig 4 Failed"},
  };
  std::vector<uint8_t> descriptors(kDescriptorsSize, 0);
  descriptors[17] = 3;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.hook) + " " + std::to_string(c.vendor) + ":" + std::to_string(c.product) + " " +
                 (c.productText ? c.productText : "(no text)"));
    clearConfig();
    unlink(out.c_str());
    for (const auto& [key, value] : c.config) set(key, value);
    size_t before = log.text().size();
    EXPECT_EQ(findDeviceHook(c.hook, c.vendor, c.product, c.productText, "/sys/devices/x/1-9", 0, descriptors.data(),
                             nullptr, 0, nullptr),
              c.result);
    EXPECT_EQ(readFile(out), c.wrote);
    if (*c.logged) {
      EXPECT_NE(log.text().find(c.logged, before), std::string::npos);
    }
  }
}

// What a command is given and what its end makes of the result: the
// placeholders (outside values exact, each one word, so nothing they hold
// runs), "#continue" in the administrator's text only, the exit code
// and a command killed by a signal.
TEST_F(HookTest, CommandPlaceholdersAndResults) {
  std::string out = dir.file("out"), planted = dir.file("planted");
  std::string attack = "x';touch " + planted + ";'";
  std::string substitution = "a$(touch " + planted + ")`touch " + planted + "`b";
  struct Case {
    std::string command;
    std::vector<std::string> pairs;
    int result;
    int exitCode;  // -99: left alone
    std::string wrote;
  };
  const Case cases[] = {
      {"printf '%s|' '$DEVPATH$' $ADDRESS$ $VENDOR_ID$ $PRODUCT_ID$ > " + out, {}, 1, 0,
       "/sys/devices/x/1-9|19|046d|c52b|"},
      {"printf '%s|' '$NICKNAME$' \"$SERIAL$\" $PRODUCT$ > " + out,
       {"$NICKNAME$", attack, "$SERIAL$", substitution, "$PRODUCT$", "p;touch " + planted}, 1, 0,
       attack + "|" + substitution + "|p;touch " + planted + "|"},
      {"exit 7", {}, 1, 7, ""},
      {"kill -9 $$", {}, 1, -1, ""},
      {"", {}, 1, 0, ""},
      {"echo on > " + out + " #continue", {}, 3, -99, "on\n"},
      // A nickname cannot ask for "#continue".
      {"echo '$NICKNAME$' > " + out, {"$NICKNAME$", "#continue"}, 1, 0, "#continue\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    unlink(out.c_str());
    std::vector<const char*> pairs;
    for (const std::string& text : c.pairs) pairs.push_back(text.c_str());
    int exitCode = -99;
    EXPECT_EQ(runDeviceHook(c.command.c_str(), "/sys/devices/x/1-9", 19, 0x046d, 0xc52b, nullptr, pairs.data(),
                            int(pairs.size()), &exitCode),
              c.result);
    EXPECT_EQ(exitCode, c.exitCode);
    EXPECT_EQ(readFile(out), c.wrote);
    EXPECT_FALSE(exists(planted));
  }
  EXPECT_TRUE(log.contains("Executed \"echo on > " + out + " #continue\" for /sys/devices/x/1-9, continuing"));
  EXPECT_TRUE(log.contains("unhandled signal 0:9 running hook"));
}

// A write of bConfigurationValue is carried out through usbfs, never by a
// shell: the number, the device's number of configurations, or 0 for a word
// that is no number; anything else it cannot read fails the hook.
TEST_F(HookTest, ConfigurationWritesGoThroughUsbfs) {
  plug(nullptr);
  std::string target = dir.file("bConfigurationValue");
  std::unique_ptr<uint8_t, void (*)(void*)> descriptors(getDeviceDescriptorsCopy(kAddress), free);
  const uint8_t numConfigurations = descriptors.get()[17];
  ASSERT_NE(numConfigurations, 0);
  struct Case {
    std::string command;
    int result;
    int value;  // the record's configurationValue afterwards; -1: not set
    const char* logged;
  };
  const Case cases[] = {
      {"echo '2' > " + target, 1, 2, "Successfully remapped and executed"},
      {"echo \"3\" > $DEVPATH$/bConfigurationValue", 1, 3, "Successfully remapped"},
      {"cat $DEVPATH$/bNumConfigurations > $DEVPATH$/bConfigurationValue", 1, numConfigurations, "Successfully"},
      {"echo x > " + target, 1, 0, "Successfully"},
      {"tee " + target, 2, -1, "Failed to remap set config parse (cat/echo 'tee')"},
      {"echo 300 > " + target, 2, -1, "Call to syncSetConfig 300 Failed with err 22"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    visitDevice(kAddress, [](ManagedUsbDevice* d, void*) { d->configurationValue = 255; }, nullptr);
    size_t before = requests("1-1", USBDEVFS_SETCONFIGURATION);
    char path[255] = {};
    getDeviceSysfsPath(kAddress, path);
    EXPECT_EQ(
        runDeviceHook(c.command.c_str(), path, kAddress, 0x1234, 0x5678, descriptors.get(), nullptr, 0, nullptr),
        c.result);
    EXPECT_EQ(requests("1-1", USBDEVFS_SETCONFIGURATION) - before, c.value >= 0 ? 1u : 0u);
    EXPECT_EQ(configurationValue(kAddress), c.value >= 0 ? c.value : 255);
    EXPECT_TRUE(log.contains(c.logged));
    EXPECT_FALSE(exists(target));
  }
  // A configuration hook that itself writes bConfigurationValue sets that
  // value once; the write does not offer itself to the hook again.
  set("onSetConfiguration", "echo 2 > $DEVPATH$/bConfigurationValue");
  size_t before = requests("1-1", USBDEVFS_SETCONFIGURATION);
  EXPECT_EQ(setDeviceConfiguration(kAddress, 1), 1);
  EXPECT_EQ(requests("1-1", USBDEVFS_SETCONFIGURATION), before + 1);
  EXPECT_EQ(configurationValue(kAddress), 2);
}

// "power_cycle_port" (any case) switches the device's port off, waits, and
// switches it on again.
TEST_F(HookTest, PowerCycleSwitchesOffWaitsAndSwitchesOn) {
  EXPECT_EQ(runDeviceHook("Power_Cycle_Port", "/sys/devices/x/1-9", 19, 0x088e, 0x0001, nullptr, nullptr, 0, nullptr),
            1);
  ASSERT_EQ(power.calls.size(), 2u);
  EXPECT_EQ(power.calls[0].address, 19u);
  EXPECT_FALSE(power.calls[0].on);
  EXPECT_EQ(power.calls[1].address, 19u);
  EXPECT_TRUE(power.calls[1].on);
  EXPECT_GE(power.calls[1].when - power.calls[0].when, std::chrono::milliseconds(hooks.powerCycleOffMs));
}

// Each hook that may replace the server's own work, in its three outcomes:
// the hook did it (1, no usbfs call), the hook asked to go on ("#continue":
// the call is made and its own result stands), the hook failed (-1, no
// call). A configuration write the hook cannot parse is such a failure.
TEST_F(HookTest, HookOutcomesAtTheOperationPoints) {
  plug(nullptr);
  struct Point {
    const char* hook;
    unsigned long request;
    std::function<int()> run;
  };
  const Point points[] = {
      {"onReset", USBDEVFS_RESET, [] { return resetDevice(kAddress); }},
      {"onSetConfiguration", USBDEVFS_SETCONFIGURATION, [] { return setDeviceConfiguration(kAddress, 1); }},
      {"onClearHalt", USBDEVFS_CLEAR_HALT, [this] { return runOperation(kOpClearHalt); }},
      {"onResetEp", USBDEVFS_RESETEP, [this] { return runOperation(kOpResetEndpoint); }},
  };
  std::string out = dir.file("out");
  for (const Point& p : points) {
    SCOPED_TRACE(p.hook);
    clearConfig();
    size_t before = requests("1-1", p.request);
    const int own = p.run();  // no hook: the server's own result
    EXPECT_EQ(requests("1-1", p.request), before + 1);
    struct Outcome {
      std::string command;
      int result;
      size_t calls;
    };
    const Outcome outcomes[] = {
        {std::string("echo $ADDRESS$ > ") + out, 1, 0},
        {std::string("echo $ADDRESS$ > ") + out + " #continue", own, 1},
        {"printf 1 > $DEVPATH$/bConfigurationValue", -1, 0},
    };
    for (const Outcome& o : outcomes) {
      SCOPED_TRACE(o.command);
      set(p.hook, o.command);
      before = requests("1-1", p.request);
      EXPECT_EQ(p.run(), o.result);
      EXPECT_EQ(requests("1-1", p.request), before + o.calls);
    }
    EXPECT_EQ(readFile(out), "11\n");
  }
}

// onEnumeration runs as the record is made, onPassToKernel after the
// hand-back, onDeviceUnplug as the device is removed (not at shutdown);
// the device's texts reach them exactly, and run nothing.
TEST_F(HookTest, LifeCycleHooksAndDeviceTexts) {
  std::string out = dir.file("out"), planted = dir.file("planted");
  testNickname = "n`touch " + planted + "`";
  std::string line = "printf '%s %s|%s|%s|%s\\n' $ADDRESS$ ";
  set("onEnumeration", line + "enum '$NICKNAME$' '$SERIAL$' '$PRODUCT$' >> " + out);
  set("onDeviceUnplug", line + "unplug '$NICKNAME$' '$SERIAL$' '$PRODUCT$' >> " + out);
  set("onPassToKernel", "echo pass $ADDRESS$ $VENDOR_ID$ >> " + out);
  simbus::SimDevice d = device("1-1");
  const std::string product = "x';touch " + planted + ";'";
  d.product = product;
  bus.addDevice(d);
  std::string path = "/sys/bus/usb/devices/1-1";
  std::string serial = "s$(touch " + planted + ")";
  pthread_mutex_lock(&deviceLifecycleMutex);
  ASSERT_EQ(createManagedDevice(kAddress, path.c_str(), "1234/5678/100", serial.c_str(), bus.nodePath("1-1").c_str(),
                                nullptr, nullptr, nullptr, 0),
            0);
  pthread_mutex_unlock(&deviceLifecycleMutex);
  std::string texts = testNickname + "|" + serial + "|" + product;
  EXPECT_EQ(readFile(out), "11 enum|" + texts + "\n");
  char sysfsPath[255] = {};
  getDeviceSysfsPath(kAddress, sysfsPath);
  passToKernel(kAddress, 0x1234, 0x5678, sysfsPath);
  EXPECT_EQ(unplugDevice(kAddress, nullptr, 1), 0);
  EXPECT_EQ(readFile(out), "11 enum|" + texts + "\npass 11 1234\n11 unplug|" + texts + "\n");
  EXPECT_FALSE(exists(planted));

  plug(nullptr);
  stopDeviceManager();
  std::string all = readFile(out);
  EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 4);  // the second plug's enum only
}

// --- Ignored devices ---

// An entry covers the device when it names the same ids with no serial or
// with the same serial; otherwise the device's own entry is appended,
// lower-case hexadecimal without leading zeros, with no comma before it
// when the list is empty.
TEST(IgnoredDevicesList, EntryIsAddedUnlessCovered) {
  struct Case {
    const char* list;
    const char* serial;
    const char* result;  // null: covered, nothing to change
  };
  const Case cases[] = {
      {nullptr, nullptr, "46d/c52b"},
      {"", nullptr, "46d/c52b"},
      {"", "ABC", "46d/c52b/ABC"},
      {"46d/c52b", "ABC", nullptr},
      {"424/ec00,46D/C52B", nullptr, nullptr},
      {"46d/c52b/ABC", "ABC", nullptr},
      {"46d/c52b/ABC", "DEF", "46d/c52b/ABC,46d/c52b/DEF"},
      {"46d/c52b/ABC", nullptr, "46d/c52b/ABC,46d/c52b"},
      {"46d/c52c,46e/c52b,46d", nullptr, "46d/c52c,46e/c52b,46d,46d/c52b"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.list ? c.list : "(none)") + " + " + (c.serial ? c.serial : "(no serial)"));
    bool failed = true;
    char* result = addIgnoredDeviceEntry(c.list, 0x046d, 0xc52b, c.serial, &failed);
    EXPECT_FALSE(failed);
    if (c.result) {
      ASSERT_NE(result, nullptr);
      EXPECT_STREQ(result, c.result);
    } else {
      EXPECT_EQ(result, nullptr);
    }
    free(result);
  }
}

class IgnoreTest : public HookTest {
 protected:
  std::string ignored() {
    char* value = getConfigString("IgnoredDevices", nullptr, false);
    std::string text = value ? value : "(none)";
    free(value);
    return text;
  }
  void plugWithSerial(const std::string& name, const std::string& serial) {
    bus.addDevice(device(name));
    std::string path = "/sys/bus/usb/devices/" + name;
    pthread_mutex_lock(&deviceLifecycleMutex);
    int result = createManagedDevice(deviceAddressFromPath(path.c_str()), path.c_str(), "1234/5678/100",
                                     serial.c_str(), bus.nodePath(name).c_str(), nullptr, nullptr, nullptr, 0);
    pthread_mutex_unlock(&deviceLifecycleMutex);
    ASSERT_EQ(result, 0);
  }
};

// Without the key the platform's default list is the start (a Raspberry
// Pi's here); every managed device of those ids goes at once, without the
// unplug hook.
TEST_F(IgnoreTest, DefaultListIsExtendedAndEveryMatchingDeviceRemoved) {
  settings.platformCode = 7;
  set("onDeviceUnplug", "echo unplug >> " + dir.file("out"));
  plug(nullptr, "1-1");
  plug(nullptr, "1-2");
  ASSERT_EQ(deviceCount(), 2u);
  EXPECT_EQ(ignoreDevice(0x1234, 0x5678, nullptr), 0);
  EXPECT_EQ(ignored(), "424/ec00,424/7800,1234/5678");
  EXPECT_EQ(deviceCount(), 0u);
  EXPECT_FALSE(exists(dir.file("out")));
}

// A serial narrows the removal to that device; an entry that covers the
// device already changes nothing and removes nothing; a serial with a
// comma would read as a second entry and is refused.
TEST_F(IgnoreTest, SerialsNarrowTheRemovalAndCommasAreRefused) {
  plugWithSerial("1-1", "A");
  plugWithSerial("1-2", "B");
  set("IgnoredDevices", "");
  EXPECT_EQ(ignoreDevice(0x1234, 0x5678, "A"), 0);
  EXPECT_EQ(ignored(), "1234/5678/A");
  EXPECT_FALSE(hasDevice(11));
  EXPECT_TRUE(hasDevice(12));

  EXPECT_EQ(ignoreDevice(0x1234, 0x5678, "B,1/2"), -EINVAL);
  EXPECT_EQ(ignored(), "1234/5678/A");
  EXPECT_TRUE(hasDevice(12));

  set("IgnoredDevices", "1234/5678");
  EXPECT_EQ(ignoreDevice(0x1234, 0x5678, "B"), 0);
  EXPECT_EQ(ignored(), "1234/5678");
  EXPECT_TRUE(hasDevice(12));
}

// Clients grow the list one request at a time: it is bounded, and a serial
// with a control character is refused like one with a comma. A device the
// full list covers already is still removed.
TEST_F(IgnoreTest, ListIsBoundedAndSerialsMustBeListable) {
  plugWithSerial("1-1", "A");
  std::string full;
  for (unsigned i = 0; i < kMaxIgnoredDevices; ++i) full += (i ? "," : "") + std::to_string(i) + "/1";
  set("IgnoredDevices", full);
  struct Case {
    uint16_t vendorId, productId;
    const char* serial;
    int result;
  } cases[] = {
      {0x1234, 0x5678, "A", -ENOSPC}, {0x1234, 0x5678, nullptr, -ENOSPC}, {0x1234, 0x5678, "A\x01", -EINVAL},
      {0x1234, 0x5678, "A\n", -EINVAL}, {0x1234, 0x5678, "A\x7f", -EINVAL}, {0x5, 0x1, nullptr, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.serial ? c.serial : "<none>");
    EXPECT_EQ(ignoreDeviceRefusal(c.vendorId, c.productId, c.serial), c.result);
    EXPECT_EQ(ignoreDevice(c.vendorId, c.productId, c.serial), c.result);
    EXPECT_EQ(ignored(), full);
  }
  EXPECT_TRUE(hasDevice(11));
  set("IgnoredDevices", full.substr(full.find(',') + 1));
  EXPECT_EQ(ignoreDevice(0x1234, 0x5678, "A"), 0);
  EXPECT_FALSE(hasDevice(11));
  EXPECT_EQ(ignoreDevice(0x1234, 0x5679, nullptr), -ENOSPC);
}

// Requests on many threads at once each add their entry: none is lost to
// another's read and write of the list.
TEST_F(IgnoreTest, ConcurrentRequestsLoseNoEntry) {
  settings.platformCode = 5;  // Synology: "f400/f400" by default
  // 249 entries: within the list's bound of 256.
  constexpr int kThreads = 8, kEach = 31;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kEach; ++i) ignoreDevice(uint16_t(0x100 + t), uint16_t(i + 1), nullptr);
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::string list = "," + ignored() + ",";
  EXPECT_EQ(list.rfind(",f400/f400,", 0), 0u);
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kEach; ++i) {
      char entry[32];
      snprintf(entry, sizeof entry, ",%x/%x,", 0x100 + t, i + 1);
      EXPECT_NE(list.find(entry), std::string::npos) << entry;
    }
  }
  EXPECT_EQ(std::count(list.begin(), list.end(), ','), kThreads * kEach + 2);
}

}  // namespace
