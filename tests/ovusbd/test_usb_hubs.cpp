// Hubs against the simulated bus: the companion hub of a USB 2.1 hub and
// the Container ID from its BOS, the ports the configuration claims, and
// the order and pauses of port power with a companion hub. The requests of
// clients to a hub port (messages 20, 48, 59) are in test_usb_binding.cpp,
// beside the other device requests.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ovusbd/usb/bosparse.h"
#include "ovusbd/usb/hubports.h"
#include "ovusbd/usb/parenthub.h"
#include "ovusbd/usb/usbfilters.h"
#include "ovusbd/usb/usbname.h"
#include "tests/ovusbd/test_usb_support.h"

using namespace usbtest;

namespace {

const std::vector<uint8_t> kContainerId = {0xa0, 0xa1, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7,
                                           0xa8, 0xa9, 0xaa, 0xab, 0xac, 0xad, 0xae, 0xaf};
// USB 2.0 extension capability (7 bytes) and the Container ID (20 bytes).
const std::vector<uint8_t> kUsb2Extension = {7, 0x10, 2, 6, 0, 0, 0};

std::vector<uint8_t> containerIdCapability() {
  std::vector<uint8_t> capability = {20, 0x10, 4, 0};
  capability.insert(capability.end(), kContainerId.begin(), kContainerId.end());
  return capability;
}

// A BOS descriptor with these capabilities; wTotalLength covers them all.
std::vector<uint8_t> bos(const std::vector<std::vector<uint8_t>>& capabilities) {
  std::vector<uint8_t> out = {5, 0x0f, 0, 0, static_cast<uint8_t>(capabilities.size())};
  for (const auto& capability : capabilities) out.insert(out.end(), capability.begin(), capability.end());
  out[2] = static_cast<uint8_t>(out.size() & 0xff);
  out[3] = static_cast<uint8_t>(out.size() >> 8);
  return out;
}

TEST(HubNames, CompanionHubIsTheSameNameOnTheNextBus) {
  struct Case {
    const char* hub;
    const char* companion;  // null: none
  } cases[] = {
      {"1-1", "2-1"},
      {"9-4.2", "10-4.2"},
      {"/sys/bus/usb/devices/3-2.1", "4-2.1"},
      {"usb1", nullptr},  // a root hub has no leading bus number
      {"-1", nullptr},
      {"1", nullptr},
      {"", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hub);
    char out[32] = {};
    bool named = companionHubName(c.hub, out, sizeof out);
    EXPECT_EQ(named, c.companion != nullptr);
    if (c.companion) {
      EXPECT_STREQ(out, c.companion);
    }
  }
  char tiny[4];
  EXPECT_FALSE(companionHubName("9-4.2", tiny, sizeof tiny));  // "10-4.2" does not fit
}

TEST(HubNames, ClaimPortEntryIsTheHubAddressAndOneDigit) {
  struct Case {
    const char* list;
    uint32_t hub;
    std::vector<unsigned> ports;
  } cases[] = {
      {"113", 11, {3}},
      {"1110", 11, {}},  // two characters longer than 11
      {"113,114,110,11,1129,11a,,112", 11, {3, 4, 2}},
      {"12,13", 1, {2, 3}},
      {"113", 1, {}},
      {"", 11, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.list);
    unsigned ports[8];
    size_t count = portsNamedByClaimPort(c.list, c.hub, ports, 8);
    EXPECT_EQ(std::vector<unsigned>(ports, ports + count), c.ports);
  }
}

// The walk of the BOS bytes: the first Container ID wins; malformed
// descriptors are refused instead of read past their end or looped on.
TEST(BosDescriptor, ContainerIdIsFoundOnlyInAWellFormedWalk) {
  std::vector<uint8_t> withId = bos({kUsb2Extension, containerIdCapability()});
  std::vector<uint8_t> zeroLength = bos({kUsb2Extension});
  zeroLength[5] = 0;  // a capability of length 0 would never advance
  std::vector<uint8_t> pastEnd = bos({containerIdCapability()});
  pastEnd[5] = 40;
  std::vector<uint8_t> shortId = bos({{10, 0x10, 4, 0, 1, 2, 3, 4, 5, 6}});
  std::vector<uint8_t> wrongType = withId;
  wrongType[1] = 2;
  std::vector<uint8_t> totalTooSmall = withId;
  totalTooSmall[2] = 4;
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    size_t length;
    int result;
  } cases[] = {
      {"with container id", withId, withId.size(), 1},
      {"without container id", bos({kUsb2Extension}), 12, 0},
      {"no capabilities", bos({}), 5, 0},
      {"cut before the container id", withId, 12, 0},
      {"zero capability length", zeroLength, zeroLength.size(), -EINVAL},
      {"capability past the end", pastEnd, pastEnd.size(), -EINVAL},
      {"container id too short", shortId, shortId.size(), -EINVAL},
      {"not a BOS", wrongType, wrongType.size(), -EINVAL},
      {"total below the header", totalTooSmall, totalTooSmall.size(), -EINVAL},
      {"header cut", withId, 4, -EINVAL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uint8_t id[16];
    memset(id, 0x55, sizeof id);
    EXPECT_EQ(findBosContainerId(c.bytes.data(), c.length, id), c.result);
    if (c.result == 1) {
      EXPECT_EQ(std::vector<uint8_t>(id, id + 16), kContainerId);
    } else {
      EXPECT_EQ(std::vector<uint8_t>(id, id + 16), std::vector<uint8_t>(16, 0x55));
    }
  }
}

class HubTest : public UsbFixture {
 protected:
  // Bus 1 (USB 2) and bus 2 (USB 3) of one controller; the hub "1-1" is the
  // USB 2 half of a combined hub whose USB 3 half is "2-1".
  void addCombinedHub(const std::string& usb2 = "1-1", const std::string& usb3 = "2-1") {
    simbus::SimDevice half2 = simbus::hubDevice(usb2);
    half2.bcdUSB = 0x0210;
    bus.addDevice(half2);
    simbus::SimDevice half3 = simbus::hubDevice(usb3);
    half3.bcdUSB = 0x0300;
    half3.speed = "5000";
    bus.addDevice(half3);
  }
  void setConfig(const char* key, const char* value) { ASSERT_EQ(setConfigString(key, value), 0); }

  struct Parent {
    std::string node, companion;
    std::vector<uint8_t> containerId;
    bool found;
  };
  static Parent parentOf(const std::string& name) {
    char* companion = nullptr;
    uint8_t* containerId = nullptr;
    std::string path = "/sys/bus/usb/devices/" + name;
    char* node = findParentHub(path.c_str(), &companion, &containerId);
    Parent parent{node ? node : "", companion ? companion : "", {}, node != nullptr};
    if (containerId) parent.containerId.assign(containerId, containerId + 16);
    free(node);
    free(companion);
    free(containerId);
    return parent;
  }
  static std::vector<uint8_t> recordContainerId(uint32_t address) {
    std::vector<uint8_t> id;
    visitDevice(
        address,
        [](ManagedUsbDevice* d, void* out) {
          if (d->hasContainerId) static_cast<std::vector<uint8_t>*>(out)->assign(d->containerId, d->containerId + 16);
        },
        &id);
    return id;
  }
  size_t bosQueries() const {
    size_t n = 0;
    for (const auto& c : bus.controls()) n += c.setup[0] == 0x80 && c.setup[1] == 6 && c.setup[3] == 0x0f;
    return n;
  }
};

// The companion of a 2.10 hub is the same name on the next bus, found only
// when that directory is a hub; the Container ID comes from the BOS.
TEST_F(HubTest, CompanionAndContainerIdOfAUsb21Hub) {
  bus.addRootHub(2, "5000");
  addCombinedHub();
  bus.addDevice(device("1-1.2"));
  bus.setBos("1-1", bos({kUsb2Extension, containerIdCapability()}));
  Parent parent = parentOf("1-1.2");
  ASSERT_TRUE(parent.found);
  EXPECT_EQ(parent.node, bus.nodePath("1-1"));
  EXPECT_EQ(parent.companion, bus.nodePath("2-1"));
  EXPECT_EQ(parent.containerId, kContainerId);
  // The hub's node was opened for the query and closed again.
  EXPECT_EQ(bus.openDescriptors(), 0);

  // Deeper names: 9-4.2 pairs with 10-4.2.
  bus.addRootHub(9);
  bus.addRootHub(10, "5000");
  addCombinedHub("9-4", "10-4");
  addCombinedHub("9-4.2", "10-4.2");
  bus.addDevice(device("9-4.2.1"));
  parent = parentOf("9-4.2.1");
  EXPECT_EQ(parent.node, bus.nodePath("9-4.2"));
  EXPECT_EQ(parent.companion, bus.nodePath("10-4.2"));
  EXPECT_TRUE(parent.containerId.empty());  // that hub's BOS stalls
  EXPECT_TRUE(log.contains("Error 32, querying 2.1 hub initial BOS descriptor, Broken pipe"));
}

TEST_F(HubTest, CompanionNeedsAHubOnTheNextBusAndVersion210) {
  bus.addRootHub(2, "5000");
  simbus::SimDevice hub = simbus::hubDevice("1-1");
  hub.bcdUSB = 0x0210;
  bus.addDevice(hub);
  bus.addDevice(device("1-1.1"));
  bus.addDevice(device("2-1"));  // not a hub
  bus.setBos("1-1", bos({kUsb2Extension}));
  Parent parent = parentOf("1-1.1");
  EXPECT_EQ(parent.node, bus.nodePath("1-1"));
  EXPECT_EQ(parent.companion, "");
  EXPECT_TRUE(parent.containerId.empty());  // the BOS has no Container ID
  EXPECT_EQ(bosQueries(), 2u);              // the header, then the whole descriptor
  // A plain 2.00 hub: no companion looked for, no BOS asked for.
  size_t before = bus.controls().size();
  bus.addDevice(simbus::hubDevice("1-2"));
  bus.addDevice(device("1-2.1"));
  bus.addDevice(simbus::hubDevice("2-2"));
  parent = parentOf("1-2.1");
  EXPECT_EQ(parent.node, bus.nodePath("1-2"));
  EXPECT_EQ(parent.companion, "");
  EXPECT_EQ(bus.controls().size(), before);
}

TEST_F(HubTest, MalformedBosLeavesTheDeviceWithoutContainerId) {
  bus.addRootHub(2, "5000");
  addCombinedHub();
  bus.addDevice(device("1-1.1"));
  std::vector<uint8_t> looping = bos({kUsb2Extension, containerIdCapability()});
  looping[5] = 0;
  bus.setBos("1-1", looping);
  Parent parent = parentOf("1-1.1");
  EXPECT_TRUE(parent.found);
  EXPECT_TRUE(parent.containerId.empty());
  EXPECT_TRUE(log.contains("Error, malformed BOS descriptor from 2.1 hub " + bus.nodePath("1-1")));
}

// With "CoalesceCompanionHub" the record carries the companion's node and
// the Container ID; without it, neither.
TEST_F(HubTest, DiscoveryCoalescesCompanionOnlyWhenConfigured) {
  bus.addRootHub(2, "5000");
  addCombinedHub();
  bus.addDevice(device("1-1.2"));
  bus.addDevice(device("1-1.3"));
  bus.setBos("1-1", bos({containerIdCapability()}));
  setConfig("CoalesceCompanionHub", "1");
  startDiscovery();
  ASSERT_EQ(deviceCount(), 2u);
  char companion[255] = {};
  getDeviceCompanionHubPath(112, companion);
  EXPECT_EQ(std::string(companion), bus.nodePath("2-1"));
  EXPECT_EQ(recordContainerId(112), kContainerId);
  stopUsbDiscoveryThreads();
  stopDeviceManager();
  ASSERT_EQ(createDeviceList(), 0);

  setConfig("CoalesceCompanionHub", "0");
  size_t queries = bosQueries();
  startDiscovery();
  ASSERT_EQ(deviceCount(), 2u);
  getDeviceCompanionHubPath(112, companion);
  EXPECT_STREQ(companion, "");
  EXPECT_TRUE(recordContainerId(112).empty());
  EXPECT_EQ(bosQueries(), queries);
}

// "ClaimPorts" claims every port of every hub found at start-up and keeps
// the claims until discovery stops; a hub plugged later is only reported.
TEST_F(HubTest, ClaimPortsClaimsEveryPortUntilDiscoveryStops) {
  bus.addDevice(simbus::hubDevice("1-1", 4));
  bus.addDevice(device("1-1.2"));
  setConfig("ClaimPorts", "1");
  startDiscovery();
  EXPECT_EQ(bus.claimedPorts("1-1"), (std::set<unsigned>{1, 2, 3, 4}));
  EXPECT_EQ(bus.claimedPorts("usb1").size(), 15u);
  EXPECT_TRUE(log.contains("Claiming 4 ports on hub " + bus.nodePath("1-1")));
  EXPECT_TRUE(hasDevice(112));  // a device found on a claimed port is still managed
  // A second enumeration leaves the hub as it is: no second claim.
  enumerateUsbDevices();
  EXPECT_FALSE(log.contains("claiming port"));
  EXPECT_EQ(countLockedList(claimedHubs), 2u);

  bus.plug(simbus::hubDevice("1-3", 2), simbus::Format::Kernel);
  ASSERT_TRUE(drainUevents());
  EXPECT_TRUE(log.contains("Hub /devices/pci0000:00/0000:00:14.0/usb1/1-3 just plugged into claimed port for " +
                           bus.nodePath("usb1") + ", this is not supported!"));
  EXPECT_TRUE(bus.claimedPorts("1-3").empty());

  stopUsbDiscoveryThreads();
  EXPECT_TRUE(bus.claimedPorts("1-1").empty());
  EXPECT_TRUE(bus.claimedPorts("usb1").empty());
  EXPECT_EQ(log.count("Releasing all claimed ports on hub"), 2u);
}

// "ClaimPort" names a port by the address a device on it would have.
TEST_F(HubTest, ClaimPortNamesSinglePorts) {
  bus.addDevice(simbus::hubDevice("1-1", 4));
  bus.addDevice(simbus::hubDevice("1-2", 4));
  setConfig("ClaimPort", "113,1110,114,129");
  startDiscovery();
  EXPECT_EQ(bus.claimedPorts("1-1"), (std::set<unsigned>{3, 4}));
  EXPECT_TRUE(bus.claimedPorts("1-2").empty());  // port 9 is beyond its 4: refused by the kernel
  EXPECT_TRUE(log.contains("Claiming port 3 on hub /sys/bus/usb/devices/1-1"));
  EXPECT_TRUE(log.contains("Warning, error 22 claiming port 9, Invalid argument"));
  EXPECT_TRUE(bus.claimedPorts("usb1").empty());  // 113 is two digits longer than 1
}

TEST_F(HubTest, ClaimedHubThatCannotBeOpenedClaimsNothing) {
  bus.addDevice(simbus::hubDevice("1-1", 4));
  bus.failOpen(bus.nodePath("1-1"), EACCES);
  setConfig("ClaimPort", "112");
  startDiscovery();
  EXPECT_TRUE(bus.claimedPorts("1-1").empty());
  EXPECT_TRUE(log.contains("Error 13 opening hub " + bus.nodePath("1-1") + ", Permission denied"));
}

class PortPowerTest : public HubTest {
 protected:
  void SetUp() override {
    HubTest::SetUp();
    bus.addRootHub(2, "5000");
    addCombinedHub();
    bus.addDevice(device("1-1.2"));
    setConfigString("CoalesceCompanionHub", "1");
    startDiscovery();
    ASSERT_TRUE(hasDevice(112));
  }
  // The port-power requests the hubs got since `from`, as "hub on|off".
  struct Switch {
    std::string text;
    std::chrono::steady_clock::time_point at;
  };
  std::vector<Switch> switches(size_t from) const {
    std::vector<Switch> out;
    std::vector<simbus::SimBus::ControlRecord> all = bus.controls();
    for (size_t i = from; i < all.size(); ++i) {
      const auto& c = all[i];
      if (c.setup[0] != 0x23 || c.setup[2] != 8) continue;
      EXPECT_EQ(c.setup[4], 2) << "the device's own port";
      out.push_back({c.device + (c.setup[1] == 3 ? " on" : " off"), c.at});
    }
    return out;
  }
  static std::vector<std::string> texts(const std::vector<Switch>& all) {
    std::vector<std::string> out;
    for (const Switch& s : all) out.push_back(s.text);
    return out;
  }
  static long long gapMs(const Switch& a, const Switch& b) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(b.at - a.at).count();
  }
};

// On: the companion's port first, then 500 ms, then the own; off: the own
// first. The pauses are lower bounds recorded by the bus, never upper ones.
TEST_F(PortPowerTest, CompanionPortGoesOnFirstAndOffLast) {
  size_t from = bus.controls().size();
  EXPECT_EQ(setPortPower(112, true), 0);
  std::vector<Switch> on = switches(from);
  ASSERT_EQ(texts(on), (std::vector<std::string>{"2-1 on", "1-1 on"}));
  EXPECT_GE(gapMs(on[0], on[1]), 500);

  from = bus.controls().size();
  EXPECT_EQ(setPortPower(112, false), 0);
  EXPECT_EQ(texts(switches(from)), (std::vector<std::string>{"1-1 off", "2-1 off"}));
  EXPECT_FALSE(bus.portPowered("1-1", 2));
  EXPECT_FALSE(bus.portPowered("2-1", 2));

  EXPECT_EQ(setPortPower(999, true), -ENODEV);
}

TEST_F(PortPowerTest, PowerCycleSwitchesOffWaitsAndSwitchesOn) {
  settings.powerCycleOffMs = 300;
  settings.companionPowerOnWaitMs = 100;
  size_t from = bus.controls().size();
  EXPECT_EQ(powerCycleDevicePort(112), 0);
  std::vector<Switch> all = switches(from);
  ASSERT_EQ(texts(all), (std::vector<std::string>{"1-1 off", "2-1 off", "2-1 on", "1-1 on"}));
  EXPECT_GE(gapMs(all[1], all[2]), 300);
  EXPECT_GE(gapMs(all[2], all[3]), 100);
  EXPECT_TRUE(bus.portPowered("1-1", 2));
}

// A companion that went away is skipped silently; a failing own hub gives
// -1; a failing companion is logged and does not change the result.
TEST_F(PortPowerTest, FailuresOfEitherHub) {
  bus.failControl("2-1", EPIPE);
  size_t from = bus.controls().size();
  EXPECT_EQ(setPortPower(112, true), 0);
  EXPECT_TRUE(log.contains("Error 32 powering on companion hub " + bus.nodePath("2-1") + " port 2, Broken pipe"));
  EXPECT_EQ(texts(switches(from)), (std::vector<std::string>{"2-1 on", "1-1 on"}));

  bus.failControl("1-1", EPIPE);
  EXPECT_EQ(setPortPower(112, false), -1);

  std::string companion = bus.nodePath("2-1");
  bus.removeDevice("2-1");
  from = bus.controls().size();
  EXPECT_EQ(setPortPower(112, true), 0);
  EXPECT_EQ(texts(switches(from)), (std::vector<std::string>{"1-1 on"}));
  EXPECT_FALSE(log.contains("opening companion hub"));
}

}  // namespace
