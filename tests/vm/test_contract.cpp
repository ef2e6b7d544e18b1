// The contract between the simulated bus and the kernel: the same fact
// collector (kernelfacts.cpp, through the USB layer's seam) runs in the qemu
// guest on Debian's kernel and in-process on the simulated bus, and both
// answers are held against one table. A fact the simulated bus claims is
// compared both ways; one it does not model yet is pinned on the kernel
// alone, so the simulation has the right answer waiting for it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <map>

#include "tests/support/simbus.h"
#include "tests/vm/guest.h"
#include "tests/vm/kernelfacts.h"

using vmfacts::Facts;

namespace {

// The guest's USB tree: qemu-xhci at 0000:00:14.0 (the simulated bus's
// controller address) with 15 USB2 and 15 USB3 ports; Linux puts its USB2
// root hub on bus 1, its USB3 root hub on bus 2.
const char* const kDevices[] = {"usb1", "usb2", "1-1", "1-2", "2-3", "1-4"};
const char kPlugged[] = "1-5";  // usb-kbd on port 5, plugged and unplugged through QMP
const char kStale[] = "/dev/ovprobe-stale";

std::vector<std::string> contractQemuArguments(const std::string& runDir) {
  return {"-device", "qemu-xhci,id=xhci,addr=0x14,p2=15,p3=15",
          "-device", "usb-kbd,bus=xhci.0,port=1,id=kbd",
          "-device", "usb-tablet,bus=xhci.0,port=2,id=tablet",
          "-drive",  "if=none,id=stick,format=raw,file=" + runDir + "/stick.img",
          "-device", "usb-storage,bus=xhci.0,port=3,drive=stick,id=storage",
          "-device", "usb-hub,bus=xhci.0,port=4,id=hub"};
}

// Kinds of facts. A key "1-1/attr/speed" is of kind "device attr/speed";
// interface keys ("1-1:1.0/...") are "interface ...", root hub keys
// ("usb1/...") "roothub ..."; the rest are their own kind.
struct Kind {
  const char* kind;
  bool simulated;    // the simulated bus claims it: compared with the kernel
  const char* note;  // for kinds it does not claim: what it does instead
};

const Kind kKinds[] = {
    {"device attr/speed", true, ""},
    {"device attr/version", true, ""},
    {"device attr/busnum", true, ""},
    {"device attr/devnum", true, ""},
    {"device attr/devpath", true, ""},
    {"device attr/idVendor", true, ""},
    {"device attr/idProduct", true, ""},
    {"device attr/bcdDevice", true, ""},
    {"device attr/bDeviceClass", true, ""},
    {"device attr/bDeviceSubClass", true, ""},
    {"device attr/bDeviceProtocol", true, ""},
    {"device attr/bNumInterfaces", true, ""},
    {"device attr/bConfigurationValue", true, ""},
    {"device attr/bNumConfigurations", true, ""},
    {"device attr/maxchild", true, ""},
    {"device attr/manufacturer", true, ""},
    {"device attr/product", true, ""},
    {"device attr/serial", true, ""},
    {"device attr/uevent", true, ""},
    {"device attr/bMaxPacketSize0", false, "always \"64\\n\"; the kernel gives 8 for a full-speed hub, 9 for SuperSpeed"},
    {"device descriptors/stat", true, ""},
    {"device descriptors/onepass", true, ""},
    {"device descriptors/head", true, ""},
    {"device descriptors/wellformed", true, ""},
    {"device speed/stat", true, ""},
    {"device speed/openwrite", true, ""},
    {"device node", true, ""},
    {"interface attr/bInterfaceClass", true, ""},
    {"interface attr/bInterfaceSubClass", true, ""},
    {"interface attr/bInterfaceProtocol", true, ""},
    {"interface attr/bInterfaceNumber", true, ""},
    {"interface attr/uevent", false, "has no DRIVER= line for a bound interface"},
    {"roothub attr/speed", true, ""},
    {"roothub attr/version", true, ""},
    {"roothub attr/busnum", true, ""},
    {"roothub attr/devnum", true, ""},
    {"roothub attr/devpath", true, ""},
    {"roothub attr/idVendor", true, ""},
    {"roothub attr/idProduct", true, ""},
    {"roothub attr/bDeviceClass", true, ""},
    {"roothub attr/bDeviceProtocol", false, "always 01; a USB3 root hub gives 03"},
    {"roothub attr/maxchild", true, ""},
    {"roothub attr/uevent", false, "addRootHub leaves out DRIVER=usb, which a root hub has"},
    {"roothub descriptors/stat", true, ""},
    {"roothub descriptors/wellformed", true, ""},
    {"roothub speed/stat", true, ""},
    {"roothub node", true, ""},
    {"bigread/firstread", true, ""},
    {"held/attribute", true, ""},
    {"held/node", true, ""},
    {"held/stale", true, ""},
    {"removed/attribute-read", true, ""},
    {"removed/node-poll", true, ""},
    {"removed/node-ioctl", false, "no usbfs ioctls yet (ENOTTY)"},
    {"removed/stale-open", true, ""},
    {"removed/node-open", true, ""},
    {"removed/sysfs", true, ""},
    {"uevent/trunc-return", true, ""},
    {"uevent/empty-recv", true, ""},
    {"remove-uevent/empty-recv", true, ""},
    {"usbfs", false, "no usbfs ioctls yet (ENOTTY)"},
    {"interrupt", false, "no URBs yet"},
    {"urb", true, ""},
    {"revoked", true, ""},
    {"rebound", true, ""},
    // uevent datagrams, by action and kind of object, SEQNUM aside.
    {"uevent add device", true, ""},
    {"uevent change device", false, "sends no change uevent right after a device's add"},
    {"uevent add interface", true, ""},
    {"uevent bind interface", false, "an interface's bind has no DRIVER= line"},
    {"uevent bind device", true, ""},
    {"uevent unbind interface", false, "an interface's unbind carries MODALIAS, which the kernel's does not"},
    {"uevent remove interface", true, ""},
    {"uevent unbind device", false, "a device's unbind and remove still carry DRIVER=usb"},
    {"uevent remove device", false, "a device's unbind and remove still carry DRIVER=usb"},
};

// What the facts must say, on the kernel and (for simulated kinds) on the
// simulated bus. In expectations '#' stands for one digit and '*' for any
// run of characters.
struct Expected {
  const char* key;
  const char* value;
};

const Expected kExpected[] = {
    {"usb1/attr/speed", "480\n"},
    {"usb2/attr/speed", "5000\n"},
    {"1-1/attr/speed", "480\n"},
    {"2-3/attr/speed", "5000\n"},
    {"1-4/attr/speed", "12\n"},
    {"usb1/attr/version", " 2.00\n"},
    {"usb2/attr/version", " 3.00\n"},
    {"1-4/attr/version", " 1.10\n"},
    {"2-3/attr/version", " 3.00\n"},
    {"usb1/attr/busnum", "1\n"},
    {"2-3/attr/busnum", "2\n"},
    {"usb1/attr/devnum", "1\n"},
    {"1-1/attr/devnum", "#\n"},
    {"usb1/attr/devpath", "0\n"},
    {"1-4/attr/devpath", "4\n"},
    {"1-1/attr/idVendor", "0627\n"},
    {"2-3/attr/idVendor", "46f4\n"},
    {"1-4/attr/idProduct", "55aa\n"},
    {"1-4/attr/bcdDevice", "0101\n"},
    {"1-4/attr/bDeviceClass", "09\n"},
    {"1-1/attr/bNumInterfaces", " 1\n"},
    {"1-1/attr/bConfigurationValue", "1\n"},
    {"1-4/attr/maxchild", "8\n"},
    {"usb1/attr/maxchild", "15\n"},
    {"1-1/attr/manufacturer", "QEMU\n"},
    {"1-1/attr/product", "QEMU USB Keyboard\n"},
    {"1-1/attr/uevent",
     "MAJOR=189\nMINOR=#\nDEVNAME=bus/usb/001/00#\nDEVTYPE=usb_device\nDRIVER=usb\nPRODUCT=627/1/0\nTYPE=0/0/0\n"
     "BUSNUM=001\nDEVNUM=00#\n"},
    {"2-3/attr/uevent",
     "MAJOR=189\nMINOR=1##\nDEVNAME=bus/usb/002/00#\nDEVTYPE=usb_device\nDRIVER=usb\nPRODUCT=46f4/1/0\nTYPE=0/0/0\n"
     "BUSNUM=002\nDEVNUM=00#\n"},
    {"1-4/attr/bMaxPacketSize0", "8\n"},
    {"2-3/attr/bMaxPacketSize0", "9\n"},
    {"1-1:1.0/attr/uevent",
     "DEVTYPE=usb_interface\nDRIVER=usbhid\nPRODUCT=627/1/0\nTYPE=0/0/0\nINTERFACE=3/1/1\n"
     "MODALIAS=usb:v0627p0001d0000dc00dsc00dp00ic03isc01ip01in00\n"},
    {"1-1:1.0/attr/bInterfaceNumber", "00\n"},
    {"2-3:1.0/attr/bInterfaceClass", "08\n"},
    {"2-3:1.0/attr/bInterfaceProtocol", "50\n"},
    {"usb2/attr/bDeviceProtocol", "03\n"},
    {"usb1/attr/uevent",
     "MAJOR=189\nMINOR=0\nDEVNAME=bus/usb/001/001\nDEVTYPE=usb_device\nDRIVER=usb\nPRODUCT=1d6b/2/601\nTYPE=9/0/1\n"
     "BUSNUM=001\nDEVNUM=001\n"},
    {"1-1/descriptors/stat", "65553"},
    {"1-1/descriptors/onepass", "1"},
    {"1-1/descriptors/head", "1201"},
    {"2-3/descriptors/wellformed", "1"},
    {"1-1/speed/stat", "4096"},
    {"1-1/speed/openwrite", "!EACCES"},
    {"1-1/node", "char 189:#"},
    {"2-3/node", "char 189:1##"},
    {"bigread/firstread", "4096"},
    {"held/attribute", "ok"},
    {"held/node", "ok"},
    {"held/stale", "ok"},
    {"removed/attribute-read", "!ENODEV"},
    {"removed/node-poll", "POLLERR|POLLHUP"},
    {"removed/node-ioctl", "!ENODEV"},
    {"removed/stale-open", "!ENODEV"},
    {"removed/node-open", "!ENOENT"},
    {"removed/sysfs", "!ENOENT"},
    {"uevent/trunc-return", "whole length"},
    {"uevent/empty-recv", "!EAGAIN"},
    {"remove-uevent/empty-recv", "!EAGAIN"},
    {"usbfs/open", "ok"},
    {"usbfs/getdriver-bound", "usbhid"},
    {"usbfs/getdriver-missing", "!ENODATA"},
    {"usbfs/claim-bound", "!EBUSY"},
    {"usbfs/claim-missing", "!ENOENT"},
    {"usbfs/claim-out-of-range", "!EINVAL"},
    {"usbfs/release-unclaimed", "!EINVAL"},
    {"usbfs/connectinfo", "ok"},
    {"usbfs/unknown-request", "!ENOTTY"},
    {"usbfs/disconnect", "ok"},
    {"usbfs/getdriver-unbound", "!ENODATA"},
    {"usbfs/disconnect-unbound", "!ENODATA"},
    {"usbfs/claim-free", "ok"},
    {"usbfs/claim-again", "ok"},
    {"usbfs/getdriver-claimed", "usbfs"},
    {"usbfs/release-claimed", "ok"},
    {"usbfs/connect", "ok"},
    {"usbfs/getdriver-reconnected", "usbhid"},
    // A key press sent through QMP arrives as a boot keyboard report.
    {"interrupt/claim", "ok"},
    {"interrupt/submit", "ok"},
    {"interrupt/status", "0"},
    {"interrupt/length", "8"},
    {"interrupt/report", "0000040000000000"},
    // usb-storage's bulk endpoints: an INQUIRY answers 36 bytes and a
    // 13-byte status wrapper, each into a 512-byte URB. A short packet
    // completes the URB with status 0, or -EREMOTEIO under SHORT_NOT_OK;
    // URBs of one endpoint are reaped in submission order.
    {"revoked/open", "ok"},
    {"revoked/unbind", "ok"},
    {"revoked/old-claim-missing", "!ENODEV"},
    {"revoked/old-reap", "!ENODEV"},
    {"revoked/old-poll", "POLLERR|POLLHUP"},
    {"revoked/configuration", ""},
    {"revoked/driver", "!ENOENT"},
    {"revoked/new-open", "ok"},
    {"rebound/bind", "ok"},
    {"rebound/configuration", "1\n"},
    {"rebound/driver", "../../../../../bus/usb/drivers/usb"},
    {"rebound/old-claim-missing", "!ENODEV"},
    {"rebound/old-poll", "POLLERR|POLLHUP"},
    {"rebound/new-claim-missing", "!ENOENT"},
    {"urb/storage-claim", "ok"},
    {"urb/storage-reap-idle", "!EAGAIN"},
    {"urb/inquiry-reap-order", "data status"},
    {"urb/inquiry-command", "0 31"},
    {"urb/inquiry-data", "0 36"},
    {"urb/inquiry-status", "0 13"},
    {"urb/inquiry-csw", "0"},
    {"urb/short-not-ok-command", "0 31"},
    {"urb/short-not-ok-data", "-121 36"},
    {"urb/short-not-ok-status", "0 13"},
    {"urb/short-not-ok-csw", "0"},
    // The keyboard's interrupt IN with no key pressed stays pending until
    // discarded, then comes back with -ENOENT; once reaped it is unknown.
    {"urb/keyboard-claim", "ok"},
    {"urb/interrupt-submit", "ok"},
    {"urb/interrupt-reap-pending", "!EAGAIN"},
    {"urb/discard", "ok"},
    {"urb/discarded", "-2 0"},
    {"urb/discard-reaped", "!EINVAL"},
};

// The uevents (usb subsystem) of plugging and unplugging a one-interface
// device, as "action name".
const char* const kPlugEvents[] = {"add 1-5", "change 1-5", "add 1-5:1.0", "bind 1-5:1.0", "bind 1-5"};
const char* const kUnplugEvents[] = {"unbind 1-5:1.0", "remove 1-5:1.0", "unbind 1-5", "remove 1-5"};

bool matches(const std::string& pattern, const std::string& value) {
  size_t p = 0, v = 0, starP = std::string::npos, starV = 0;
  while (v < value.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starV = v;
    } else if (p < pattern.size() &&
               (pattern[p] == '#' ? isdigit(static_cast<unsigned char>(value[v])) != 0 : pattern[p] == value[v])) {
      ++p;
      ++v;
    } else if (starP != std::string::npos) {
      p = starP + 1;
      v = ++starV;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

std::string kindOf(const std::string& key) {
  size_t slash = key.find('/');
  std::string owner = key.substr(0, slash), rest = key.substr(slash + 1);
  if (owner.find(':') != std::string::npos) return "interface " + rest;
  if (owner.rfind("usb", 0) == 0 && owner != "usbfs") return "roothub " + rest;
  if (owner.find('-') != std::string::npos && isdigit(static_cast<unsigned char>(owner[0]))) return "device " + rest;
  return key;
}

const Kind* findKind(const std::string& key) {
  std::string kind = kindOf(key);
  for (const Kind& k : kKinds) {
    if (kind == k.kind || (kind.rfind(std::string(k.kind) + "/", 0) == 0)) return &k;
  }
  return nullptr;
}

std::string show(const std::string& value) { return "\"" + vmfacts::escape(value) + "\""; }

// Events the simulated bus does not send at all.
const char* const kUnsentBySimulation[] = {"uevent change device"};

// "uevent ACTION device|interface" for a datagram's kind.
std::string eventKind(const std::string& name) {
  size_t space = name.find(' ');
  return "uevent " + name.substr(0, space) +
         (name.find(':', space) != std::string::npos ? " interface" : " device");
}

const Kind* findEventKind(const std::string& name) {
  std::string kind = eventKind(name);
  for (const Kind& k : kKinds) {
    if (kind == k.kind) return &k;
  }
  return nullptr;
}

// The expected event names, less those the simulated bus does not send.
std::vector<std::string> expectedEvents(const char* const* begin, const char* const* end, bool kernel) {
  std::vector<std::string> names;
  for (const char* const* name = begin; name != end; ++name) {
    bool unsent = false;
    for (const char* kind : kUnsentBySimulation) unsent = unsent || eventKind(*name) == kind;
    if (kernel || !unsent) names.push_back(*name);
  }
  return names;
}

// "action name" of a kernel datagram.
std::string eventName(const std::string& datagram) {
  size_t at = datagram.find('@');
  size_t end = datagram.find('\0');
  if (at == std::string::npos || end == std::string::npos) return "?";
  std::string devpath = datagram.substr(at + 1, end - at - 1);
  return datagram.substr(0, at) + " " + devpath.substr(devpath.rfind('/') + 1);
}

// The datagram with its SEQNUM value blanked: the only field that differs
// between two faithful reports of the same event.
std::string withoutSeqnum(const std::string& datagram) {
  size_t at = datagram.find(std::string("\0SEQNUM=", 8));
  if (at == std::string::npos) return datagram;
  size_t end = datagram.find('\0', at + 1);
  return datagram.substr(0, at + 8) + "N" + (end == std::string::npos ? "" : datagram.substr(end));
}

// Parses probe lines out of console output.
void parseProbe(const std::string& output, Facts* facts, std::vector<std::string>* added,
                std::vector<std::string>* removed) {
  size_t start = 0;
  while (start < output.size()) {
    size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    std::string line = output.substr(start, end - start);
    start = end + 1;
    size_t at = line.find("@@");
    if (at == std::string::npos) continue;
    line = line.substr(at);
    std::string value;
    if (line.rfind("@@fact ", 0) == 0) {
      size_t space = line.find(' ', 7);
      if (space != std::string::npos && vmfacts::unescape(line.substr(space + 1), &value)) {
        (*facts)[line.substr(7, space - 7)] = value;
      }
    } else if (line.rfind("@@uevent add ", 0) == 0 && added) {
      if (vmfacts::unescape(line.substr(13), &value)) added->push_back(value);
    } else if (line.rfind("@@uevent remove ", 0) == 0 && removed) {
      if (vmfacts::unescape(line.substr(16), &value)) removed->push_back(value);
    }
  }
}

unsigned hexOf(const Facts& facts, const std::string& key) {
  auto it = facts.find(key);
  return it == facts.end() ? 0 : static_cast<unsigned>(strtoul(it->second.c_str(), nullptr, 16));
}

std::optional<std::string> textOf(const Facts& facts, const std::string& key) {
  auto it = facts.find(key);
  if (it == facts.end() || it->second.empty() || it->second[0] == '!') return std::nullopt;
  std::string text = it->second;
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// A simulated device with the identity, speed, strings, interfaces and
// device number the kernel reported for NAME.
simbus::SimDevice mirror(const Facts& kernel, const std::string& name) {
  simbus::SimDevice device;
  device.name = name;
  device.vendorId = static_cast<uint16_t>(hexOf(kernel, name + "/attr/idVendor"));
  device.productId = static_cast<uint16_t>(hexOf(kernel, name + "/attr/idProduct"));
  device.bcdDevice = static_cast<uint16_t>(hexOf(kernel, name + "/attr/bcdDevice"));
  device.deviceClass = static_cast<uint8_t>(hexOf(kernel, name + "/attr/bDeviceClass"));
  device.deviceSubClass = static_cast<uint8_t>(hexOf(kernel, name + "/attr/bDeviceSubClass"));
  device.deviceProtocol = static_cast<uint8_t>(hexOf(kernel, name + "/attr/bDeviceProtocol"));
  unsigned major = 0, minor = 0;
  sscanf(textOf(kernel, name + "/attr/version").value_or("").c_str(), "%x.%x", &major, &minor);
  device.bcdUSB = static_cast<uint16_t>(major << 8 | minor);
  device.speed = textOf(kernel, name + "/attr/speed").value_or("");
  device.manufacturer = textOf(kernel, name + "/attr/manufacturer");
  device.product = textOf(kernel, name + "/attr/product");
  device.serial = textOf(kernel, name + "/attr/serial");
  device.maxchild = atoi(textOf(kernel, name + "/attr/maxchild").value_or("0").c_str());
  device.devnum = atoi(textOf(kernel, name + "/attr/devnum").value_or("0").c_str());
  device.interfaces.clear();
  for (int i = 0;; ++i) {
    std::string prefix = name + ":1." + std::to_string(i) + "/attr/";
    if (!kernel.count(prefix + "bInterfaceClass")) break;
    device.interfaces.push_back({static_cast<uint8_t>(hexOf(kernel, prefix + "bInterfaceClass")),
                                 static_cast<uint8_t>(hexOf(kernel, prefix + "bInterfaceSubClass")),
                                 static_cast<uint8_t>(hexOf(kernel, prefix + "bInterfaceProtocol"))});
  }
  return device;
}

// The guest's tree as written out from what qemu's devices are, for the
// test that runs without a guest.
Facts qemuTree() {
  Facts f;
  auto device = [&f](const std::string& name, const char* vendor, const char* product, const char* bcd,
                     const char* cls, const char* protocol, const char* version, const char* speed,
                     const char* productName, int devnum, int maxchild,
                     std::vector<std::array<const char*, 3>> interfaces) {
    f[name + "/attr/idVendor"] = vendor;
    f[name + "/attr/idProduct"] = product;
    f[name + "/attr/bcdDevice"] = bcd;
    f[name + "/attr/bDeviceClass"] = cls;
    f[name + "/attr/bDeviceSubClass"] = "00";
    f[name + "/attr/bDeviceProtocol"] = protocol;
    f[name + "/attr/version"] = version;
    f[name + "/attr/speed"] = speed;
    f[name + "/attr/manufacturer"] = "QEMU\n";
    f[name + "/attr/product"] = productName;
    f[name + "/attr/serial"] = "1-0000:00:14.0-" + name + "\n";
    f[name + "/attr/devnum"] = std::to_string(devnum);
    f[name + "/attr/maxchild"] = std::to_string(maxchild);
    for (size_t i = 0; i < interfaces.size(); ++i) {
      std::string prefix = name + ":1." + std::to_string(i) + "/attr/";
      f[prefix + "bInterfaceClass"] = interfaces[i][0];
      f[prefix + "bInterfaceSubClass"] = interfaces[i][1];
      f[prefix + "bInterfaceProtocol"] = interfaces[i][2];
    }
  };
  device("1-1", "0627", "0001", "0000", "00", "00", " 2.00", "480", "QEMU USB Keyboard", 2, 0, {{"03", "01", "01"}});
  device("1-2", "0627", "0001", "0000", "00", "00", " 2.00", "480", "QEMU USB Tablet", 3, 0, {{"03", "00", "00"}});
  device("1-4", "0409", "55aa", "0101", "09", "00", " 1.10", "12", "QEMU USB Hub", 4, 8, {{"09", "00", "00"}});
  device("2-3", "46f4", "0001", "0000", "00", "00", " 3.00", "5000", "QEMU USB HARDDRIVE", 2, 0, {{"08", "06", "50"}});
  device(kPlugged, "0627", "0001", "0000", "00", "00", " 2.00", "480", "QEMU USB Keyboard", 5, 0, {{"03", "01", "01"}});
  return f;
}

struct SimAnswers {
  Facts facts;
  std::vector<std::string> added, removed;
  bool cycled = false;
};

// Builds the simulated bus from the kernel's (or qemuTree's) facts and runs
// the same collectors on it.
SimAnswers askSimulatedBus(const Facts& tree) {
  SimAnswers answers;
  simbus::SimBus bus;
  bus.install();
  bus.addRootHub(1, "480", 15);
  bus.addRootHub(2, "5000", 15);
  for (const char* name : kDevices) {
    if (std::string(name).rfind("usb", 0) != 0) bus.plug(mirror(tree, name), simbus::Format::Kernel);
  }
  for (const char* name : kDevices) vmfacts::deviceFacts(name, &answers.facts);
  // A binary attribute longer than a page.
  simbus::SimDevice big = mirror(tree, "1-1");
  big.name = "1-9";
  big.devnum = 0;
  big.descriptors.assign(5000, 0);
  big.descriptors[0] = 18;
  big.descriptors[1] = 1;
  bus.addDevice(big);
  vmfacts::readFacts("/sys/bus/usb/devices/1-9/descriptors", "bigread", &answers.facts);

  simbus::SimDevice plugged = mirror(tree, kPlugged);
  answers.cycled = vmfacts::cycleFacts(
      kPlugged, kStale, 5000,
      [&](const char* step) {
        if (std::string(step) == "watching") bus.plug(plugged, simbus::Format::Kernel);
        if (std::string(step) == "held") bus.unplug(kPlugged, simbus::Format::Kernel);
      },
      &answers.facts, &answers.added, &answers.removed);
  vmfacts::usbfsFacts("1-1", &answers.facts);
  bus.setModel("2-3", std::make_shared<simbus::MassStorageDevice>(2048));
  bus.setModel("1-1", std::make_shared<simbus::HidDevice>());
  vmfacts::urbFacts("2-3", "1-1", &answers.facts);
  vmfacts::revokeFacts("1-2", &answers.facts);
  bus.uninstall();
  return answers;
}

std::vector<std::string> eventNames(const std::vector<std::string>& datagrams) {
  std::vector<std::string> names;
  for (const std::string& datagram : datagrams) names.push_back(eventName(datagram));
  return names;
}

// One line for the record of a fact the simulated bus does not give yet.
std::string gapNote(const Kind& kind, const std::string& key, const std::string& kernel, const std::string& sim) {
  auto cut = [](const std::string& text) { return text.size() > 240 ? text.substr(0, 240) + "..." : text; };
  return std::string(kind.kind) + ": " + kind.note + "\n    e.g. " + key + ": kernel " + cut(show(kernel)) +
         ", simulated " + cut(show(sim));
}

// Every expectation whose kind the simulated bus claims (or, for the
// kernel, every one) must hold.
void checkExpectations(const Facts& facts, bool kernel, const char* side) {
  for (const Expected& expected : kExpected) {
    const Kind* kind = findKind(expected.key);
    ASSERT_NE(kind, nullptr) << "no kind for " << expected.key;
    if (!kernel && !kind->simulated) continue;
    auto it = facts.find(expected.key);
    if (it == facts.end()) {
      ADD_FAILURE() << side << ": no fact " << expected.key;
      continue;
    }
    EXPECT_TRUE(matches(expected.value, it->second))
        << side << ": " << expected.key << " is " << show(it->second) << ", expected " << show(expected.value);
  }
}

}  // namespace

TEST(Contract, FactTableHelpers) {
  struct Case {
    const char* pattern;
    const char* value;
    bool match;
  } cases[] = {{"char 189:#", "char 189:1", true}, {"char 189:#", "char 189:12", false},
               {"char 189:1##", "char 189:129", true}, {"a*c", "abbbc", true}, {"a*c", "abd", false},
               {"#\n", "2\n", true}, {"#\n", "x\n", false}};
  for (const Case& c : cases) EXPECT_EQ(matches(c.pattern, c.value), c.match) << c.pattern << " / " << c.value;
  EXPECT_EQ(kindOf("1-1:1.0/attr/uevent"), "interface attr/uevent");
  EXPECT_EQ(kindOf("usb2/attr/speed"), "roothub attr/speed");
  EXPECT_EQ(kindOf("1-4/attr/speed"), "device attr/speed");
  EXPECT_EQ(kindOf("usbfs/claim-bound"), "usbfs/claim-bound");
  ASSERT_NE(findKind("usbfs/claim-bound"), nullptr);
  EXPECT_FALSE(findKind("usbfs/claim-bound")->simulated);
  std::string raw("add@/a/1-5\0ACTION=add\0SEQNUM=17\0", 33), out;
  EXPECT_EQ(eventName(raw), "add 1-5");
  EXPECT_EQ(withoutSeqnum(raw), std::string("add@/a/1-5\0ACTION=add\0SEQNUM=N\0", 32));
  ASSERT_TRUE(vmfacts::unescape(vmfacts::escape(raw + " \\\n\x7f"), &out));
  EXPECT_EQ(out, raw + " \\\n\x7f");
  for (const Expected& expected : kExpected) EXPECT_NE(findKind(expected.key), nullptr) << expected.key;
}

// The simulated bus alone, built as the guest's tree: every fact it claims
// must read as the kernel's does.
TEST(Contract, SimulatedBusHoldsTheKernelFacts) {
  SimAnswers sim = askSimulatedBus(qemuTree());
  ASSERT_TRUE(sim.cycled) << "the simulated plug/unplug did not give its uevents";
  checkExpectations(sim.facts, false, "simulated bus");
  EXPECT_EQ(eventNames(sim.added), expectedEvents(std::begin(kPlugEvents), std::end(kPlugEvents), false));
  EXPECT_EQ(eventNames(sim.removed), expectedEvents(std::begin(kUnplugEvents), std::end(kUnplugEvents), false));
}

// One boot: the kernel's facts against the table, then the simulated bus
// built from what the kernel reported, compared key by key.
TEST(Contract, GuestKernelHoldsTheFactsAndTheSimulationAgrees) {
  vmguest::Guest guest;
  {
    std::ofstream stick(guest.runDir() + "/stick.img");
  }
  ASSERT_EQ(truncate((guest.runDir() + "/stick.img").c_str(), 1 << 20), 0);
  ASSERT_TRUE(guest.boot({{OVUSB_VM_PROBE, "/usr/bin/ovprobe"}}, contractQemuArguments(guest.runDir())))
      << guest.error();

  Facts kernel;
  std::vector<std::string> added, removed;
  std::string output;
  std::string devices;
  for (const char* name : kDevices) devices += std::string(" ") + name;
  ASSERT_EQ(guest.run("ovprobe device" + devices, &output), 0) << output << guest.diagnostics();
  parseProbe(output, &kernel, nullptr, nullptr);
  ASSERT_EQ(guest.run("ovprobe read /sys/firmware/acpi/tables/DSDT bigread", &output), 0) << output;
  parseProbe(output, &kernel, nullptr, nullptr);

  // Plug a keyboard on port 5 and take it away while the probe watches.
  size_t mark = guest.console().size();
  int cycle = guest.start(std::string("ovprobe cycle ") + kPlugged + " " + kStale);
  ASSERT_TRUE(guest.waitConsole("@@watching", mark, 30000)) << guest.diagnostics();
  std::string reply;
  ASSERT_TRUE(guest.qmpOk("device_add", R"({"driver": "usb-kbd", "bus": "xhci.0", "port": "5", "id": "kbd5"})",
                          &reply))
      << reply;
  ASSERT_TRUE(guest.waitConsole("@@held", mark, 60000)) << guest.diagnostics();
  ASSERT_TRUE(guest.qmpOk("device_del", R"({"id": "kbd5"})", &reply)) << reply;
  ASSERT_EQ(guest.finish(cycle, &output, 90000), 0) << output << guest.diagnostics();
  parseProbe(output, &kernel, &added, &removed);

  ASSERT_EQ(guest.run("ovprobe usbfs 1-1", &output), 0) << output;
  parseProbe(output, &kernel, nullptr, nullptr);
  // Before any key press, so the keyboard has no report to send.
  ASSERT_EQ(guest.run("ovprobe urb 2-3 1-1", &output), 0) << output;
  parseProbe(output, &kernel, nullptr, nullptr);

  // Interrupt data: the probe waits on the keyboard's endpoint while QMP
  // presses 'a' on it.
  mark = guest.console().size();
  int interrupt = guest.start("ovprobe interrupt 1-1");
  ASSERT_TRUE(guest.waitConsole("@@submitted", mark, 30000)) << guest.diagnostics();
  ASSERT_TRUE(guest.qmpOk("input-send-event",
                          R"({"events": [{"type": "key", "data": {"down": true, "key": )"
                          R"({"type": "qcode", "data": "a"}}}]})",
                          &reply))
      << reply;
  ASSERT_EQ(guest.finish(interrupt, &output, 60000), 0) << output << guest.diagnostics();
  parseProbe(output, &kernel, nullptr, nullptr);
  // The generic driver lets go of the tablet and takes it back.
  ASSERT_EQ(guest.run("ovprobe revoke 1-2", &output), 0) << output;
  parseProbe(output, &kernel, nullptr, nullptr);

  checkExpectations(kernel, true, "kernel");
  EXPECT_EQ(eventNames(added), expectedEvents(std::begin(kPlugEvents), std::end(kPlugEvents), true));
  EXPECT_EQ(eventNames(removed), expectedEvents(std::begin(kUnplugEvents), std::end(kUnplugEvents), true));

  // The simulated bus, given the devices the kernel reported, must answer
  // every claimed fact byte for byte as the kernel did.
  SimAnswers sim = askSimulatedBus(kernel);
  ASSERT_TRUE(sim.cycled);
  std::map<std::string, std::string> gaps;  // kind -> its first example
  for (const auto& [key, value] : kernel) {
    const Kind* kind = findKind(key);
    if (!kind) continue;  // collected for the record, not part of the contract
    auto it = sim.facts.find(key);
    std::string simValue = it == sim.facts.end() ? "(none)" : it->second;
    if (!kind->simulated) {
      if (simValue != value) gaps.emplace(kind->kind, gapNote(*kind, key, value, simValue));
      continue;
    }
    EXPECT_EQ(show(simValue), show(value)) << "simulated bus and kernel differ on " << key;
  }
  // Each uevent datagram, SEQNUM aside, matched by action and object.
  auto compare = [&gaps](const std::vector<std::string>& sim, const std::vector<std::string>& kernel) {
    for (const std::string& datagram : kernel) {
      std::string name = eventName(datagram);
      const Kind* kind = findEventKind(name);
      ASSERT_NE(kind, nullptr) << "no kind for uevent " << name;
      std::string simDatagram = "(none)";
      for (const std::string& candidate : sim) {
        if (eventName(candidate) == name) simDatagram = candidate;
      }
      if (!kind->simulated) {
        if (withoutSeqnum(simDatagram) != withoutSeqnum(datagram)) {
          gaps.emplace(kind->kind, gapNote(*kind, name, withoutSeqnum(datagram), withoutSeqnum(simDatagram)));
        }
        continue;
      }
      EXPECT_EQ(show(withoutSeqnum(simDatagram)), show(withoutSeqnum(datagram))) << "uevent " << name;
    }
  };
  compare(sim.added, added);
  compare(sim.removed, removed);
  for (const auto& [kind, gap] : gaps) std::printf("not simulated yet: %s\n", gap.c_str());
}
