#include "tests/support/simbus.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <string.h>
#include <sys/socket.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <stdexcept>

namespace simbus {

namespace {

constexpr size_t kPage = 4096;
constexpr size_t kDescriptorsAttributeSize = 18 + 65535;
constexpr unsigned kUsbDeviceMajor = 189;
const char kControllerDir[] = "/sys/devices/pci0000:00/0000:00:14.0";

SimBus* current = nullptr;

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

std::string format(const char* fmt, ...) {
  char buffer[1024];
  va_list arguments;
  va_start(arguments, fmt);
  vsnprintf(buffer, sizeof buffer, fmt, arguments);
  va_end(arguments);
  return buffer;
}

// The device's "driver" link as sysfs has it: relative, up from the
// device's directory to /sys.
std::string driverLinkTarget(const std::string& devpath, const std::string& driver) {
  std::string up;
  for (char c : devpath) {
    if (c == '/') up += "../";
  }
  return up + "bus/usb/drivers/" + driver;
}

std::string parentDir(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

int busOf(const std::string& name) {
  if (name.rfind("usb", 0) == 0) return atoi(name.c_str() + 3);
  return atoi(name.c_str());
}

// "1-1.2" -> "1-1"; "1-1" -> "usb1".
std::string parentName(const std::string& name) {
  size_t dot = name.rfind('.');
  if (dot != std::string::npos) return name.substr(0, dot);
  return "usb" + std::to_string(busOf(name));
}

void put16(std::vector<uint8_t>& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value & 0xff));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

std::vector<uint8_t> buildDescriptors(const SimDevice& d) {
  std::vector<uint8_t> out = {18, 1};
  put16(out, d.bcdUSB);
  out.insert(out.end(), {d.deviceClass, d.deviceSubClass, d.deviceProtocol, 64});
  put16(out, d.vendorId);
  put16(out, d.productId);
  put16(out, d.bcdDevice);
  out.push_back(d.manufacturer ? 1 : 0);
  out.push_back(d.product ? 2 : 0);
  out.push_back(d.serial ? 3 : 0);
  out.push_back(1);
  size_t configStart = out.size();
  out.insert(out.end(), {9, 2, 0, 0, static_cast<uint8_t>(d.interfaces.size()), 1, 0, 0x80, 50});
  for (size_t i = 0; i < d.interfaces.size(); ++i) {
    const SimInterface& in = d.interfaces[i];
    out.insert(out.end(), {9, 4, static_cast<uint8_t>(i), 0, 1, in.interfaceClass, in.interfaceSubClass,
                           in.interfaceProtocol, 0});
    bool interrupt = in.interfaceClass == 3 || in.interfaceClass == 9;
    out.insert(out.end(), {7, 5, static_cast<uint8_t>(0x81 + i), static_cast<uint8_t>(interrupt ? 3 : 2)});
    put16(out, interrupt ? 8 : 512);
    out.push_back(interrupt ? 12 : 0);
  }
  uint16_t total = static_cast<uint16_t>(out.size() - configStart);
  out[configStart + 2] = static_cast<uint8_t>(total & 0xff);
  out[configStart + 3] = static_cast<uint8_t>(total >> 8);
  return out;
}

std::string versionText(uint16_t bcd) { return format("%2x.%02x\n", bcd >> 8, bcd & 0xff); }

}  // namespace

SimDevice hubDevice(const std::string& name, int ports) {
  SimDevice hub;
  hub.name = name;
  hub.vendorId = 0x05e3;
  hub.productId = 0x0608;
  hub.deviceClass = 9;
  hub.deviceProtocol = 1;
  hub.manufacturer.reset();
  hub.product = std::string("USB2.0 Hub");
  hub.interfaces = {SimInterface{9, 0, 0}};
  hub.maxchild = ports;
  return hub;
}

struct SimBus::Entry {
  enum Kind { Dir, File, Link, CharDev } kind = File;
  std::string content;  // files; link target
  bool binary = false;
  bool writable = false;
  mode_t mode = 0444;
  dev_t rdev = 0;
};

struct SimBus::Descriptor {
  enum Kind { File, Node, Socket } kind = File;
  std::string path;
  size_t offset = 0;
  int flags = 0;
  dev_t rdev = 0;
  bool revoked = false;  // usbfs: off the device's file list for good
};

struct SimBus::Socket {
  bool bound = false;
  uint32_t pid = 0;
  uint32_t groups = 0;
  std::deque<std::vector<uint8_t>> queue;
};

struct KObject {
  std::string name;
  std::string devpath;
  std::string subsystem;
};

struct SimBus::Plugged {
  SimDevice model;
  int bus = 0;
  int devnum = 0;
  std::string devpath;
  bool root = false;
  std::vector<KObject> interfaces;
  std::vector<KObject> hidChildren;
  bool genericBound = true;
  std::string otherDriver;  // a device driver other than the generic one
};

// The seam's entry points: each forwards to the installed bus under its lock.
struct SimCalls {
  static int open(const char* path, int flags, mode_t) {
    std::lock_guard<std::mutex> lock(current->mutex_);
    return current->doOpen(path, flags);
  }
  static int close(int fd) {
    std::lock_guard<std::mutex> lock(current->mutex_);
    return current->doClose(fd);
  }
  static int ioctl(int fd, unsigned long request, void* argument) {
    SimBus* bus = current;
    std::unique_lock<std::mutex> lock(bus->mutex_);
    if (bus->heldRequest_ != 0 && request == bus->heldRequest_) {
      ++bus->heldCallers_;
      bus->changed_.notify_all();
      bus->changed_.wait(lock, [bus, request] { return bus->heldRequest_ != request; });
      --bus->heldCallers_;
    }
    return bus->doIoctl(fd, request, argument);
  }
  static int poll(struct pollfd* fds, nfds_t count, int timeoutMs) { return current->doPoll(fds, count, timeoutMs); }
  static int mmap(size_t length, int protection, int flags, int fd, off_t offset, void** mapped) {
    std::lock_guard<std::mutex> lock(current->mutex_);
    return current->doMmap(length, protection, flags, fd, offset, mapped);
  }
  static int munmap(void* address, size_t length) {
    std::lock_guard<std::mutex> lock(current->mutex_);
    return current->doMunmap(address, length);
  }
  static ssize_t read(int fd, void* buffer, size_t count) {
    std::lock_guard<std::mutex> lock(current->mutex_);
    return current->doRead(fd, buffer, count);
  }
  static ssize_t write(int fd, const void* buffer, size_t count) {
    std::lock_guard<std::mutex> lock(current->mutex_);
    return current->doWrite(fd, buffer, count);
  }
  static int listDirectory(const char* path, UsbSysDirectoryVisitor visit, void* context) {
    return current->doList(path, visit, context);
  }
  static int stat(const char* path, struct stat* status) {
    std::lock_guard<std::mutex> lock(current->mutex_);
    return current->doStat(path, status);
  }
  static int mknod(const char* path, mode_t mode, dev_t device) {
    std::lock_guard<std::mutex> lock(current->mutex_);
    return current->doMknod(path, mode, device);
  }
  static int unlink(const char* path) {
    std::lock_guard<std::mutex> lock(current->mutex_);
    return current->doUnlink(path);
  }
  static ssize_t readlink(const char* path, char* buffer, size_t size) {
    std::lock_guard<std::mutex> lock(current->mutex_);
    return current->doReadlink(path, buffer, size);
  }
  static int socket(int domain, int type, int protocol) {
    std::lock_guard<std::mutex> lock(current->mutex_);
    return current->doSocket(domain, type, protocol);
  }
  static int bind(int fd, const struct sockaddr* address, socklen_t length) {
    std::lock_guard<std::mutex> lock(current->mutex_);
    return current->doBind(fd, address, length);
  }
  static ssize_t recv(int fd, void* buffer, size_t length, int flags) {
    return current->doRecv(fd, buffer, length, flags);
  }
  static int eventfd(unsigned int initial, int flags) {
    std::lock_guard<std::mutex> lock(current->mutex_);
    return current->doEventfd(initial, flags);
  }
  static int runCommand(const char* command) {
    std::lock_guard<std::mutex> lock(current->mutex_);
    return current->doRunCommand(command);
  }
};

namespace {
const UsbSys simTable = {
    .open = SimCalls::open,
    .close = SimCalls::close,
    .ioctl = SimCalls::ioctl,
    .poll = SimCalls::poll,
    .mmap = SimCalls::mmap,
    .munmap = SimCalls::munmap,
    .read = SimCalls::read,
    .write = SimCalls::write,
    .listDirectory = SimCalls::listDirectory,
    .stat = SimCalls::stat,
    .mknod = SimCalls::mknod,
    .unlink = SimCalls::unlink,
    .readlink = SimCalls::readlink,
    .socket = SimCalls::socket,
    .bind = SimCalls::bind,
    .recv = SimCalls::recv,
    .eventfd = SimCalls::eventfd,
    .runCommand = SimCalls::runCommand,
};
}  // namespace

SimBus::SimBus()
    : tree_(new std::map<std::string, Entry>()),
      descriptors_(new std::map<int, Descriptor>()),
      sockets_(new std::map<int, Socket>()),
      plugged_(new std::map<std::string, Plugged>()),
      urb_(newUrbState()) {
  for (const char* dir : {"/sys/bus/usb/devices", "/sys/bus/usb/drivers/usb", kControllerDir, "/dev/bus/usb",
                          "/proc/self", "/usr/sbin", "/run"}) {
    addDirectory(dir);
  }
  writeFile("/sys/bus/usb/drivers_autoprobe", "1\n", 0644, true);
  writeFile("/sys/bus/usb/drivers_probe", "", 0200, true);
  writeFile("/sys/bus/usb/drivers/usb/bind", "", 0200, true);
  writeFile("/sys/bus/usb/drivers/usb/unbind", "", 0200, true);
  setExePath("/usr/sbin/ovusbd");
}

SimBus::~SimBus() {
  uninstall();
  delete tree_;
  delete descriptors_;
  delete sockets_;
  delete plugged_;
  deleteUrbState(urb_);
}

void SimBus::install() {
  if (installed_) return;
  if (current) throw std::logic_error("another SimBus is installed");
  current = this;
  previous_ = usbSys;
  usbSys = &simTable;
  installed_ = true;
}

void SimBus::uninstall() {
  if (!installed_) return;
  usbSys = previous_;
  current = nullptr;
  installed_ = false;
}

// --- tree helpers ----------------------------------------------------------

const SimBus::Entry* SimBus::lookup(const std::string& canonical) const {
  auto it = tree_->find(canonical);
  return it == tree_->end() ? nullptr : &it->second;
}

int SimBus::resolve(const std::string& path, bool followLast, std::string* out) const {
  // No working directory exists in the simulation: relative names are absent.
  if (path.empty() || path[0] != '/') return -ENOENT;
  std::deque<std::string> pending;
  size_t start = 1;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    pending.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  std::vector<std::string> stack;
  int links = 0;
  auto joined = [&stack] {
    std::string result;
    for (const std::string& part : stack) result += "/" + part;
    return result.empty() ? std::string("/") : result;
  };
  while (!pending.empty()) {
    std::string part = pending.front();
    pending.pop_front();
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!stack.empty()) stack.pop_back();
      continue;
    }
    stack.push_back(part);
    const Entry* entry = lookup(joined());
    bool last = std::none_of(pending.begin(), pending.end(), [](const std::string& p) { return !p.empty() && p != "."; });
    if (entry && entry->kind == Entry::Link && (!last || followLast)) {
      if (++links > 40) return -ELOOP;
      // An absolute target starts again at the root; a relative one (as
      // sysfs makes them) at the link's directory.
      const std::string& target = entry->content;
      if (!target.empty() && target[0] == '/') {
        stack.clear();
      } else {
        stack.pop_back();
      }
      std::deque<std::string> parts;
      size_t s = !target.empty() && target[0] == '/' ? 1 : 0;
      while (s <= target.size()) {
        size_t slash = target.find('/', s);
        if (slash == std::string::npos) slash = target.size();
        parts.push_back(target.substr(s, slash - s));
        s = slash + 1;
      }
      pending.insert(pending.begin(), parts.begin(), parts.end());
      continue;
    }
    if (!last) {
      if (!entry) return -ENOENT;
      if (entry->kind != Entry::Dir) return -ENOTDIR;
    }
  }
  *out = joined();
  return 0;
}

void SimBus::putEntry(const std::string& path, const Entry& entry) {
  std::string parent = parentDir(path);
  if (parent != path && !lookup(parent)) {
    Entry dir;
    dir.kind = Entry::Dir;
    dir.mode = 0755;
    putEntry(parent, dir);
  }
  (*tree_)[path] = entry;
}

void SimBus::eraseTree(const std::string& canonical) {
  tree_->erase(canonical);
  std::string prefix = canonical + "/";
  for (auto it = tree_->lower_bound(prefix); it != tree_->end() && it->first.compare(0, prefix.size(), prefix) == 0;) {
    it = tree_->erase(it);
  }
}

std::vector<std::string> SimBus::listChildren(const std::string& canonical) const {
  std::vector<std::string> names;
  std::string prefix = canonical == "/" ? "/" : canonical + "/";
  for (auto it = tree_->lower_bound(prefix); it != tree_->end() && it->first.compare(0, prefix.size(), prefix) == 0;
       ++it) {
    std::string rest = it->first.substr(prefix.size());
    if (!rest.empty() && rest.find('/') == std::string::npos) names.push_back(rest);
  }
  return names;
}

void SimBus::addDirectory(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  Entry dir;
  dir.kind = Entry::Dir;
  dir.mode = 0755;
  putEntry(path, dir);
}

void SimBus::writeFile(const std::string& path, const std::string& content, mode_t mode, bool writable) {
  std::lock_guard<std::mutex> lock(mutex_);
  Entry file;
  file.content = content;
  file.mode = mode;
  file.writable = writable;
  putEntry(path, file);
}

void SimBus::setAttribute(const std::string& name, const std::string& attribute, const std::string& content) {
  std::string dir = sysfsDir(name);
  std::lock_guard<std::mutex> lock(mutex_);
  Entry file;
  file.content = content;
  file.binary = attribute == "descriptors";
  putEntry(dir + "/" + attribute, file);
}

void SimBus::removePath(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string canonical;
  if (resolve(path, false, &canonical) == 0) eraseTree(canonical);
}

std::string SimBus::fileContent(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string canonical;
  if (resolve(path, true, &canonical) < 0) return "";
  const Entry* entry = lookup(canonical);
  return entry ? entry->content : "";
}

NodeInfo SimBus::node(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  NodeInfo info;
  std::string canonical;
  if (resolve(path, true, &canonical) < 0) return info;
  const Entry* entry = lookup(canonical);
  if (!entry) return info;
  info.exists = true;
  info.mode = entry->mode | (entry->kind == Entry::CharDev ? S_IFCHR : entry->kind == Entry::Dir ? S_IFDIR : S_IFREG);
  info.rdev = entry->rdev;
  return info;
}

void SimBus::setExePath(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  Entry link;
  link.kind = Entry::Link;
  link.content = path;
  putEntry("/proc/self/exe", link);
}

void SimBus::addLink(const std::string& path, const std::string& target) {
  std::lock_guard<std::mutex> lock(mutex_);
  Entry link;
  link.kind = Entry::Link;
  link.content = target;
  putEntry(path, link);
}

void SimBus::setCommandStatus(const std::string& prefix, int status) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& entry : commandStatus_) {
    if (entry.first == prefix) {
      entry.second = status;
      return;
    }
  }
  commandStatus_.emplace_back(prefix, status);
}

void SimBus::failOpen(const std::string& path, int error) {
  std::lock_guard<std::mutex> lock(mutex_);
  openFailures_[path] = error;
}

void SimBus::failRead(const std::string& path, int error) {
  std::lock_guard<std::mutex> lock(mutex_);
  readFailures_[path] = error;
}

void SimBus::failMknod(int error) {
  std::lock_guard<std::mutex> lock(mutex_);
  mknodFailure_ = error;
}

void SimBus::failSocket(int error) {
  std::lock_guard<std::mutex> lock(mutex_);
  socketFailure_ = error;
}

void SimBus::failBind(int error) {
  std::lock_guard<std::mutex> lock(mutex_);
  bindFailure_ = error;
}

void SimBus::clearFailures() {
  std::lock_guard<std::mutex> lock(mutex_);
  openFailures_.clear();
  readFailures_.clear();
  mknodFailure_ = socketFailure_ = bindFailure_ = 0;
}

// --- devices -----------------------------------------------------------------

void SimBus::addRootHub(int bus, const std::string& speed, int ports) {
  SimDevice hub = hubDevice("usb" + std::to_string(bus), ports);
  hub.vendorId = 0x1d6b;
  hub.productId = speed == "480" ? 0x0002 : speed == "12" ? 0x0001 : 0x0003;
  hub.bcdDevice = 0x0601;
  hub.bcdUSB = speed == "480" ? 0x0200 : speed == "12" ? 0x0110 : 0x0300;
  hub.speed = speed;
  hub.manufacturer = std::string("Linux 6.1.0 xhci-hcd");
  hub.product = std::string("xHCI Host Controller");
  hub.serial = std::string("0000:00:14.0");
  hub.devnum = 1;
  addDevice(hub);
}

std::string SimBus::devpath(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = plugged_->find(name);
  return it == plugged_->end() ? "" : it->second.devpath;
}

std::string SimBus::sysfsDir(const std::string& name) const {
  std::string path = devpath(name);
  return path.empty() ? "" : "/sys" + path;
}

std::string SimBus::nodePath(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = plugged_->find(name);
  if (it == plugged_->end()) return "";
  return format("/dev/bus/usb/%03d/%03d", it->second.bus, it->second.devnum);
}

std::string SimBus::addDevice(const SimDevice& model) {
  std::lock_guard<std::mutex> lock(mutex_);
  Plugged device;
  device.model = model;
  device.root = model.name.rfind("usb", 0) == 0;
  device.bus = busOf(model.name);
  if (device.root) {
    device.devpath = std::string(kControllerDir).substr(4) + "/" + model.name;
  } else {
    auto parent = plugged_->find(parentName(model.name));
    if (parent == plugged_->end()) throw std::logic_error("no parent hub for " + model.name);
    device.devpath = parent->second.devpath + "/" + model.name;
  }
  if (model.devnum) {
    device.devnum = model.devnum;
  } else {
    int& next = nextDevnum_[device.bus];
    if (next < 2) next = 2;
    device.devnum = next++;
  }
  if (device.root && !nextDevnum_.count(device.bus)) nextDevnum_[device.bus] = 2;
  std::string dir = "/sys" + device.devpath;
  unsigned minor = static_cast<unsigned>((device.bus - 1) * 128 + (device.devnum - 1));

  auto attribute = [&](const std::string& name, const std::string& content, bool writable = false) {
    Entry file;
    file.content = content;
    file.writable = writable;
    file.mode = writable ? 0644 : 0444;
    putEntry(dir + "/" + name, file);
  };
  std::vector<uint8_t> descriptors = model.descriptors.empty() ? buildDescriptors(model) : model.descriptors;
  Entry binary;
  binary.content.assign(descriptors.begin(), descriptors.end());
  binary.binary = true;
  putEntry(dir + "/descriptors", binary);
  std::string uevent = format("MAJOR=%u\nMINOR=%u\nDEVNAME=bus/usb/%03d/%03d\nDEVTYPE=usb_device\n", kUsbDeviceMajor,
                              minor, device.bus, device.devnum) +
                       format("PRODUCT=%x/%x/%x\nTYPE=%d/%d/%d\nBUSNUM=%03d\nDEVNUM=%03d\n", model.vendorId,
                              model.productId, model.bcdDevice, model.deviceClass, model.deviceSubClass,
                              model.deviceProtocol, device.bus, device.devnum);
  attribute("uevent", uevent, true);
  attribute("speed", model.speed + "\n");
  attribute("version", versionText(model.bcdUSB));
  attribute("busnum", format("%d\n", device.bus));
  attribute("devnum", format("%d\n", device.devnum));
  attribute("devpath", device.root ? "0\n" : model.name.substr(model.name.find('-') + 1) + "\n");
  attribute("idVendor", format("%04x\n", model.vendorId));
  attribute("idProduct", format("%04x\n", model.productId));
  attribute("bcdDevice", format("%04x\n", model.bcdDevice));
  attribute("bDeviceClass", format("%02x\n", model.deviceClass));
  attribute("bDeviceSubClass", format("%02x\n", model.deviceSubClass));
  attribute("bDeviceProtocol", format("%02x\n", model.deviceProtocol));
  attribute("bNumConfigurations", "1\n");
  attribute("bNumInterfaces", format("%2zu\n", model.interfaces.size()));
  attribute("bConfigurationValue", "1\n", true);
  attribute("bMaxPacketSize0", "64\n");
  attribute("maxchild", format("%d\n", model.maxchild));
  attribute("authorized", "1\n", true);
  attribute("removable", device.root ? "unknown\n" : "removable\n");
  if (model.manufacturer) attribute("manufacturer", *model.manufacturer + "\n");
  if (model.product) attribute("product", *model.product + "\n");
  if (model.serial) attribute("serial", *model.serial + "\n");
  Entry link;
  link.kind = Entry::Link;
  link.content = dir;
  putEntry("/sys/bus/usb/devices/" + model.name, link);
  link.content = driverLinkTarget(device.devpath, "usb");
  putEntry(dir + "/driver", link);

  // Interfaces of configuration 1; interface names never carry a leading "usb".
  std::string interfaceBase = device.root ? std::to_string(device.bus) + "-0" : model.name;
  for (size_t i = 0; i < model.interfaces.size(); ++i) {
    const SimInterface& in = model.interfaces[i];
    KObject kobject{format("%s:1.%zu", interfaceBase.c_str(), i), device.devpath, "usb"};
    kobject.devpath += "/" + kobject.name;
    std::string idir = "/sys" + kobject.devpath;
    std::string text =
        format("DEVTYPE=usb_interface\nPRODUCT=%x/%x/%x\nTYPE=%d/%d/%d\nINTERFACE=%d/%d/%d\n", model.vendorId,
               model.productId, model.bcdDevice, model.deviceClass, model.deviceSubClass, model.deviceProtocol,
               in.interfaceClass, in.interfaceSubClass, in.interfaceProtocol) +
        format("MODALIAS=usb:v%04Xp%04Xd%04Xdc%02Xdsc%02Xdp%02Xic%02Xisc%02Xip%02Xin%02zX\n", model.vendorId,
               model.productId, model.bcdDevice, model.deviceClass, model.deviceSubClass, model.deviceProtocol,
               in.interfaceClass, in.interfaceSubClass, in.interfaceProtocol, i);
    Entry file;
    file.content = text;
    file.mode = 0644;
    file.writable = true;
    putEntry(idir + "/uevent", file);
    file.writable = false;
    file.mode = 0444;
    file.content = format("%02x\n", in.interfaceClass);
    putEntry(idir + "/bInterfaceClass", file);
    file.content = format("%02x\n", in.interfaceSubClass);
    putEntry(idir + "/bInterfaceSubClass", file);
    file.content = format("%02x\n", in.interfaceProtocol);
    putEntry(idir + "/bInterfaceProtocol", file);
    file.content = format("%02zx\n", i);
    putEntry(idir + "/bInterfaceNumber", file);
    link.content = idir;
    putEntry("/sys/bus/usb/devices/" + kobject.name, link);
    device.interfaces.push_back(kobject);
    if (in.interfaceClass == 3) {
      KObject hid{format("0003:%04X:%04X.%04X", model.vendorId, model.productId, ++hidCounter_), kobject.devpath, "hid"};
      hid.devpath += "/" + hid.name;
      file.content = format("DRIVER=hid-generic\nHID_ID=0003:%08X:%08X\nHID_NAME=%s\nHID_UNIQ=%s\n", model.vendorId,
                            model.productId, model.product ? model.product->c_str() : "",
                            model.serial ? model.serial->c_str() : "") +
                     format("MODALIAS=hid:b0003g0001v%08Xp%08X\n", model.vendorId, model.productId);
      putEntry("/sys" + hid.devpath + "/uevent", file);
      device.hidChildren.push_back(hid);
    }
  }
  if (model.withNode) {
    Entry node;
    node.kind = Entry::CharDev;
    node.mode = 0664;
    node.rdev = makedev(kUsbDeviceMajor, minor);
    putEntry(format("/dev/bus/usb/%03d/%03d", device.bus, device.devnum), node);
  }
  std::string result = device.devpath;
  (*plugged_)[model.name] = device;
  return result;
}

void SimBus::removeDevice(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = plugged_->find(name);
  if (it == plugged_->end()) return;
  // Children first, as the kernel disconnects from the leaves up.
  std::vector<std::string> children;
  for (const auto& [other, device] : *plugged_) {
    if (other != name && device.devpath.compare(0, it->second.devpath.size() + 1, it->second.devpath + "/") == 0) {
      children.push_back(other);
    }
  }
  for (const std::string& child : children) {
    const Plugged& device = (*plugged_)[child];
    tree_->erase("/sys/bus/usb/devices/" + child);
    for (const KObject& in : device.interfaces) tree_->erase("/sys/bus/usb/devices/" + in.name);
    tree_->erase(format("/dev/bus/usb/%03d/%03d", device.bus, device.devnum));
    urbDeviceGone(child);
    plugged_->erase(child);
  }
  const Plugged& device = it->second;
  eraseTree("/sys" + device.devpath);
  tree_->erase("/sys/bus/usb/devices/" + name);
  for (const KObject& in : device.interfaces) tree_->erase("/sys/bus/usb/devices/" + in.name);
  tree_->erase(format("/dev/bus/usb/%03d/%03d", device.bus, device.devnum));
  urbDeviceGone(name);
  plugged_->erase(it);
  changed_.notify_all();
}

std::string SimBus::plug(const SimDevice& device, Format format) {
  std::string path = addDevice(device);
  std::lock_guard<std::mutex> lock(mutex_);
  const Plugged& plugged = (*plugged_)[device.name];
  emitLocked("add", device.name, format);
  for (const KObject& in : plugged.interfaces) emitLocked("add", in.name, format);
  for (const KObject& hid : plugged.hidChildren) emitLocked("add", hid.name, format);
  for (const KObject& in : plugged.interfaces) emitLocked("bind", in.name, format);
  // The generic usb driver binds the device last.
  std::string uevent = "/sys" + plugged.devpath + "/uevent";
  std::string& text = (*tree_)[uevent].content;
  size_t product = text.find("PRODUCT=");
  text.insert(product, "DRIVER=usb\n");
  emitLocked("bind", device.name, format);
  return path;
}

void SimBus::unplug(const std::string& name, Format format) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = plugged_->find(name);
    if (it == plugged_->end()) return;
    const Plugged& plugged = it->second;
    for (const KObject& hid : plugged.hidChildren) emitLocked("remove", hid.name, format);
    for (const KObject& in : plugged.interfaces) emitLocked("unbind", in.name, format);
    for (const KObject& in : plugged.interfaces) emitLocked("remove", in.name, format);
    emitLocked("unbind", name, format);
    emitLocked("remove", name, format);
  }
  removeDevice(name);
}

void SimBus::unbindGenericDriver(const std::string& name, Format format) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = plugged_->find(name);
  if (it == plugged_->end() || !it->second.genericBound) return;
  unbindGenericLocked(name, format);
}

void SimBus::unbindGenericLocked(const std::string& name, Format format) {
  Plugged& plugged = plugged_->at(name);
  plugged.genericBound = false;
  const dev_t rdev = makedev(kUsbDeviceMajor, static_cast<unsigned>((plugged.bus - 1) * 128 + (plugged.devnum - 1)));
  for (auto& [fd, descriptor] : *descriptors_) {
    if (descriptor.kind != Descriptor::Node || descriptor.rdev != rdev || descriptor.revoked) continue;
    descriptor.revoked = true;
    urbRevokeFd(fd);
  }
  // usb_set_configuration(udev, -1).
  urbConfiguration(name) = 0;
  setConfigurationAttribute(name, 0);
  urbUnbindHostDrivers(name);
  std::string& text = (*tree_)["/sys" + plugged.devpath + "/uevent"].content;
  size_t driver = text.find("DRIVER=usb\n");
  if (driver != std::string::npos) text.erase(driver, strlen("DRIVER=usb\n"));
  tree_->erase("/sys" + plugged.devpath + "/driver");
  emitLocked("unbind", name, format);
  changed_.notify_all();
}

void SimBus::bindDeviceDriver(const std::string& name, const std::string& driver, Format format) {
  unbindGenericDriver(name, format);
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = plugged_->find(name);
  if (it == plugged_->end()) return;
  it->second.otherDriver = driver;
  Entry link;
  link.kind = Entry::Link;
  link.content = driverLinkTarget(it->second.devpath, driver);
  putEntry("/sys" + it->second.devpath + "/driver", link);
}

void SimBus::bindGenericDriver(const std::string& name, Format format) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = plugged_->find(name);
  if (it == plugged_->end() || it->second.genericBound || !it->second.otherDriver.empty()) return;
  bindGenericLocked(name, format);
}

void SimBus::bindGenericLocked(const std::string& name, Format format) {
  Plugged& plugged = plugged_->at(name);
  plugged.genericBound = true;
  urbConfiguration(name) = 1;
  setConfigurationAttribute(name, 1);
  if (autoprobeOn()) {
    for (unsigned interface = 0; interface < urbInterfaces(name); ++interface) urbProbeInterface(name, interface);
  }
  std::string& text = (*tree_)["/sys" + plugged.devpath + "/uevent"].content;
  if (text.find("DRIVER=usb\n") == std::string::npos) text.insert(text.find("PRODUCT="), "DRIVER=usb\n");
  Entry link;
  link.kind = Entry::Link;
  link.content = driverLinkTarget(plugged.devpath, "usb");
  putEntry("/sys" + plugged.devpath + "/driver", link);
  emitLocked("bind", name, format);
  changed_.notify_all();
}

unsigned long SimBus::revokedPolls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return revokedPolls_;
}

// --- uevents -----------------------------------------------------------------

std::vector<uint8_t> SimBus::kernelDatagram(const std::string& action, const std::string& devpath,
                                            const std::string& subsystem, const std::string& ueventText,
                                            unsigned long seqnum) {
  std::string text = action + "@" + devpath;
  text.push_back('\0');
  auto add = [&text](const std::string& line) {
    text += line;
    text.push_back('\0');
  };
  add("ACTION=" + action);
  add("DEVPATH=" + devpath);
  add("SUBSYSTEM=" + subsystem);
  size_t start = 0;
  while (start < ueventText.size()) {
    size_t end = ueventText.find('\n', start);
    if (end == std::string::npos) end = ueventText.size();
    if (end > start) add(ueventText.substr(start, end - start));
    start = end + 1;
  }
  add("SEQNUM=" + std::to_string(seqnum));
  return std::vector<uint8_t>(text.begin(), text.end());
}

std::vector<uint8_t> SimBus::udevDatagram(const std::string& action, const std::string& devpath,
                                          const std::string& subsystem, const std::string& ueventText,
                                          unsigned long seqnum) {
  std::string properties;
  auto add = [&properties](const std::string& line) {
    properties += line;
    properties.push_back('\0');
  };
  add("ACTION=" + action);
  add("DEVPATH=" + devpath);
  add("SUBSYSTEM=" + subsystem);
  size_t start = 0;
  while (start < ueventText.size()) {
    size_t end = ueventText.find('\n', start);
    if (end == std::string::npos) end = ueventText.size();
    std::string line = ueventText.substr(start, end - start);
    // udev names the node by its absolute path.
    if (line.rfind("DEVNAME=", 0) == 0) line = "DEVNAME=/dev/" + line.substr(8);
    if (!line.empty()) add(line);
    start = end + 1;
  }
  add("SEQNUM=" + std::to_string(seqnum));
  add("USEC_INITIALIZED=" + std::to_string(seqnum * 1000));
  std::vector<uint8_t> out(40 + properties.size(), 0);
  memcpy(out.data(), "libudev", 8);
  uint32_t words[] = {htonl(0xfeedcafe), 40, 40, static_cast<uint32_t>(properties.size()), 0, 0, 0, 0};
  memcpy(out.data() + 8, words, sizeof words);
  memcpy(out.data() + 40, properties.data(), properties.size());
  return out;
}

std::string SimBus::ueventText(const std::string& devpath) const {
  const Entry* entry = lookup("/sys" + devpath + "/uevent");
  return entry ? entry->content : "";
}

void SimBus::emitLocked(const std::string& action, const std::string& name, Format format) {
  std::string path, subsystem;
  for (const auto& [deviceName, device] : *plugged_) {
    if (deviceName == name) {
      path = device.devpath;
      subsystem = "usb";
    }
    for (const KObject& k : device.interfaces) {
      if (k.name == name) path = k.devpath, subsystem = k.subsystem;
    }
    for (const KObject& k : device.hidChildren) {
      if (k.name == name) path = k.devpath, subsystem = k.subsystem;
    }
  }
  if (path.empty()) throw std::logic_error("no kobject " + name);
  std::string text = ueventText(path);
  unsigned long seqnum = ++seqnum_;
  if (format != Format::Udev) deliver(kernelDatagram(action, path, subsystem, text, seqnum), 1);
  if (format != Format::Kernel) deliver(udevDatagram(action, path, subsystem, text, seqnum), 2);
}

void SimBus::emitUevent(const std::string& action, const std::string& name, Format format) {
  std::lock_guard<std::mutex> lock(mutex_);
  emitLocked(action, name, format);
}

void SimBus::deliver(const std::vector<uint8_t>& bytes, uint32_t group) {
  for (auto& [fd, socket] : *sockets_) {
    if (socket.bound && (socket.groups & group)) {
      socket.queue.push_back(bytes);
      ++delivered_;
    }
  }
  changed_.notify_all();
}

void SimBus::sendDatagram(const std::vector<uint8_t>& bytes, uint32_t group) {
  std::lock_guard<std::mutex> lock(mutex_);
  deliver(bytes, group);
}

unsigned long SimBus::datagramsDelivered() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return delivered_;
}

unsigned long SimBus::datagramsReceived() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

unsigned long SimBus::datagramsPending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  unsigned long pending = 0;
  for (const auto& [fd, socket] : *sockets_) pending += socket.queue.size();
  return pending;
}

int SimBus::boundUeventSockets() const {
  std::lock_guard<std::mutex> lock(mutex_);
  int count = 0;
  for (const auto& [fd, socket] : *sockets_) count += socket.bound ? 1 : 0;
  return count;
}

// --- observation -------------------------------------------------------------

int SimBus::openDescriptors() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(descriptors_->size());
}

std::vector<std::string> SimBus::openPaths() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> paths;
  for (const auto& [fd, descriptor] : *descriptors_) {
    if (descriptor.kind != Descriptor::Socket && !eventCounters_.count(fd)) paths.push_back(descriptor.path);
  }
  return paths;
}

std::vector<std::string> SimBus::madeNodes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return madeNodes_;
}

size_t SimBus::largestRead(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string canonical;
  if (resolve(path, true, &canonical) < 0) return 0;
  auto it = largestRead_.find(canonical);
  return it == largestRead_.end() ? 0 : it->second;
}

std::vector<std::string> SimBus::commands() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return commands_;
}

// --- system calls --------------------------------------------------------------

int SimBus::doOpen(const char* path, int flags) {
  auto failure = openFailures_.find(path);
  if (failure != openFailures_.end()) return -failure->second;
  std::string canonical;
  int result = resolve(path, true, &canonical);
  if (result < 0) return result;
  const Entry* entry = lookup(canonical);
  if (!entry) return -ENOENT;
  int access = flags & O_ACCMODE;
  Descriptor descriptor;
  descriptor.path = canonical;
  descriptor.flags = flags;
  switch (entry->kind) {
    case Entry::Dir:
      if (access != O_RDONLY) return -EISDIR;
      break;
    case Entry::File:
      // sysfs: an attribute without a store method cannot be opened for writing.
      if (access != O_RDONLY && !entry->writable) return -EACCES;
      if (access == O_RDONLY && !(entry->mode & 0444)) return -EACCES;
      break;
    case Entry::CharDev: {
      bool present = false;
      for (const auto& [name, device] : *plugged_) {
        unsigned minor = static_cast<unsigned>((device.bus - 1) * 128 + (device.devnum - 1));
        present = present || makedev(kUsbDeviceMajor, minor) == entry->rdev;
      }
      if (!present) return -ENODEV;
      descriptor.kind = Descriptor::Node;
      descriptor.rdev = entry->rdev;
      break;
    }
    case Entry::Link:
      return -ELOOP;
  }
  int fd = nextFd_++;
  (*descriptors_)[fd] = descriptor;
  return fd;
}

int SimBus::doClose(int fd) {
  auto open = descriptors_->find(fd);
  if (open != descriptors_->end() && open->second.kind == Descriptor::Node) urbCloseFd(fd);
  // usbdev_release: the ports claimed through the descriptor go back.
  for (auto& [hub, ports] : hubPorts_) {
    for (auto& [port, state] : ports) {
      if (state.claimedBy == fd) state.claimedBy = -1;
    }
  }
  if (descriptors_->erase(fd)) {
    eventCounters_.erase(fd);
    if (sockets_->erase(fd)) changed_.notify_all();
    return 0;
  }
  return -EBADF;
}

std::string SimBus::deviceOfFd(int fd) const {
  auto it = descriptors_->find(fd);
  return it == descriptors_->end() || it->second.kind != Descriptor::Node ? "" : deviceOfNode(it->second.rdev);
}

bool SimBus::isPlugged(const std::string& device) const { return plugged_->count(device) != 0; }

bool SimBus::autoprobeOn() const {
  const Entry* autoprobe = lookup("/sys/bus/usb/drivers_autoprobe");
  return autoprobe && !autoprobe->content.empty() && autoprobe->content[0] == '1';
}

// The kernel shows an empty bConfigurationValue while unconfigured.
void SimBus::setConfigurationAttribute(const std::string& device, int value) {
  auto plugged = plugged_->find(device);
  if (plugged == plugged_->end()) return;
  auto entry = tree_->find("/sys" + plugged->second.devpath + "/bConfigurationValue");
  if (entry != tree_->end()) entry->second.content = value ? std::to_string(value) + "\n" : "";
}

int SimBus::doIoctl(int fd, unsigned long request, void* argument) {
  auto it = descriptors_->find(fd);
  if (it == descriptors_->end()) return -EBADF;
  if (it->second.kind != Descriptor::Node) return -ENOTTY;
  // devio.c usbdev_do_ioctl: only a descriptor open for writing may ask.
  if ((it->second.flags & O_ACCMODE) == O_RDONLY) return -EPERM;
  std::string device = deviceOfNode(it->second.rdev);
  // devio.c usbdev_do_ioctl: only the reap passes for a descriptor that is
  // off the device's file list.
  if (it->second.revoked) {
    return request == USBDEVFS_REAPURBNDELAY ? urbIoctl(fd, device, false, request, argument) : -ENODEV;
  }
  if (!device.empty() && request == USBDEVFS_CONTROL) return controlIoctl(device, argument);
  if (!device.empty() && (request == USBDEVFS_CLAIM_PORT || request == USBDEVFS_RELEASE_PORT)) {
    return portIoctl(fd, device, request, argument);
  }
  return urbIoctl(fd, device, !device.empty(), request, argument);
}

// --- hubs --------------------------------------------------------------------

void SimBus::setBos(const std::string& name, const std::vector<uint8_t>& bos) {
  std::lock_guard<std::mutex> lock(mutex_);
  bos_[name] = bos;
}

void SimBus::failControl(const std::string& name, int error) {
  std::lock_guard<std::mutex> lock(mutex_);
  controlFailures_[name] = error;
}

std::vector<SimBus::ControlRecord> SimBus::controls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return controls_;
}

bool SimBus::portPowered(const std::string& hub, unsigned port) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto h = hubPorts_.find(hub);
  if (h == hubPorts_.end()) return true;
  auto p = h->second.find(port);
  return p == h->second.end() || p->second.powered;
}

unsigned SimBus::portResets(const std::string& hub, unsigned port) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto h = hubPorts_.find(hub);
  if (h == hubPorts_.end()) return 0;
  auto p = h->second.find(port);
  return p == h->second.end() ? 0 : p->second.resets;
}

std::set<unsigned> SimBus::claimedPorts(const std::string& hub) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::set<unsigned> ports;
  auto h = hubPorts_.find(hub);
  if (h == hubPorts_.end()) return ports;
  for (const auto& [port, state] : h->second) {
    if (state.claimedBy >= 0) ports.insert(port);
  }
  return ports;
}

int SimBus::controlIoctl(const std::string& device, void* argument) {
  usbdevfs_ctrltransfer* transfer = static_cast<usbdevfs_ctrltransfer*>(argument);
  uint8_t setup[8] = {transfer->bRequestType, transfer->bRequest};
  memcpy(setup + 2, &transfer->wValue, 2);
  memcpy(setup + 4, &transfer->wIndex, 2);
  memcpy(setup + 6, &transfer->wLength, 2);
  // usbfs copies an IN data stage out only up to what the device sent.
  std::vector<uint8_t> data(transfer->wLength);
  bool in = setup[0] & 0x80;
  if (!in && transfer->wLength) memcpy(data.data(), transfer->data, transfer->wLength);
  int result;
  auto failure = controlFailures_.find(device);
  const Plugged& plugged = plugged_->at(device);
  if (failure != controlFailures_.end()) {
    result = -failure->second;
    controlFailures_.erase(failure);
  } else if (plugged.model.deviceClass == 9) {
    result = hubControl(device, setup, data.data());
  } else {
    UrbAnswer answer = modelControl(device, setup, in ? "" : std::string(data.begin(), data.end()));
    if (answer.hold) {
      result = -ETIMEDOUT;
    } else if (answer.status < 0) {
      result = answer.status;
    } else if (in) {
      result = static_cast<int>(std::min(answer.data.size(), data.size()));
      memcpy(data.data(), answer.data.data(), static_cast<size_t>(result));
    } else {
      result = transfer->wLength;
    }
  }
  if (in && result > 0) memcpy(transfer->data, data.data(), static_cast<size_t>(result));
  ControlRecord record{device, {}, result, std::chrono::steady_clock::now()};
  memcpy(record.setup, setup, 8);
  controls_.push_back(record);
  return result;
}

int SimBus::hubControl(const std::string& hub, const uint8_t setup[8], uint8_t* data) {
  const Plugged& plugged = plugged_->at(hub);
  const unsigned ports = static_cast<unsigned>(plugged.model.maxchild);
  const uint16_t value = static_cast<uint16_t>(setup[2] | setup[3] << 8);
  const uint16_t index = static_cast<uint16_t>(setup[4] | setup[5] << 8);
  const size_t length = static_cast<size_t>(setup[6] | setup[7] << 8);
  auto give = [&](const std::vector<uint8_t>& bytes) {
    size_t n = std::min(bytes.size(), length);
    memcpy(data, bytes.data(), n);
    return static_cast<int>(n);
  };
  if (setup[0] == 0x80 && setup[1] == 6 && value == 0x0F00) {
    auto bos = bos_.find(hub);
    return bos == bos_.end() ? -EPIPE : give(bos->second);
  }
  if (setup[0] == 0xA0 && setup[1] == 6 && (value >> 8) == 0x29) {
    // Hub descriptor: length, type, ports, characteristics (individual
    // power switching), power-on-to-good 50 ms, current, removable, mask.
    return give({9, 0x29, static_cast<uint8_t>(ports), 0x01, 0x00, 25, 100, 0x00, 0xff});
  }
  const unsigned port = index & 0xff;
  if ((setup[0] == 0xA3 || setup[0] == 0x23) && (port == 0 || port > ports)) return -EPIPE;
  HubPort& state = hubPorts_[hub][port];
  if (setup[0] == 0xA3 && setup[1] == 0) {
    std::string child = plugged.root ? std::to_string(plugged.bus) + "-" + std::to_string(port)
                                     : hub + "." + std::to_string(port);
    uint16_t status = state.powered ? 0x0100 : 0;
    auto device = plugged_->find(child);
    if (state.powered && device != plugged_->end()) {
      status |= 0x0003;
      if (device->second.model.speed == "1.5") status |= 0x0200;
      if (device->second.model.speed == "480") status |= 0x0400;
    }
    return give({static_cast<uint8_t>(status & 0xff), static_cast<uint8_t>(status >> 8), 0, 0});
  }
  if (setup[0] == 0x23 && (setup[1] == 1 || setup[1] == 3)) {
    bool set = setup[1] == 3;
    if (value == 8) state.powered = set;
    if (value == 4 && set) ++state.resets;
    return 0;
  }
  return -EPIPE;
}

int SimBus::portIoctl(int fd, const std::string& device, unsigned long request, void* argument) {
  const unsigned port = *static_cast<const unsigned*>(argument);
  const Plugged& plugged = plugged_->at(device);
  // hub.c find_port_owner: a port outside the hub's range is -EINVAL.
  if (port == 0 || port > static_cast<unsigned>(plugged.model.maxchild)) return -EINVAL;
  HubPort& state = hubPorts_[device][port];
  if (request == USBDEVFS_CLAIM_PORT) {
    if (state.claimedBy >= 0) return -EBUSY;
    state.claimedBy = fd;
    return 0;
  }
  if (state.claimedBy != fd) return -ENOENT;
  state.claimedBy = -1;
  return 0;
}

int SimBus::doMmap(size_t length, int protection, int flags, int fd, off_t offset, void** mapped) {
  auto it = descriptors_->find(fd);
  if (it == descriptors_->end()) return -EBADF;
  if (it->second.kind != Descriptor::Node) return -ENODEV;
  return urbMmap(deviceOfNode(it->second.rdev), length, protection, flags, offset, mapped);
}

std::string SimBus::deviceOfNode(dev_t rdev) const {
  for (const auto& [name, device] : *plugged_) {
    unsigned minor = static_cast<unsigned>((device.bus - 1) * 128 + (device.devnum - 1));
    if (makedev(kUsbDeviceMajor, minor) == rdev) return name;
  }
  return "";
}

int SimBus::doPoll(struct pollfd* fds, nfds_t count, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (nfds_t i = 0; i < count; ++i) {
    auto it = descriptors_->find(fds[i].fd);
    if (it != descriptors_->end() && it->second.revoked) {
      ++revokedPolls_;
      break;
    }
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    int ready = 0;
    for (nfds_t i = 0; i < count; ++i) {
      fds[i].revents = 0;
      auto it = descriptors_->find(fds[i].fd);
      if (it == descriptors_->end()) {
        fds[i].revents = POLLNVAL;
      } else if (it->second.kind == Descriptor::Socket) {
        if (!(*sockets_)[fds[i].fd].queue.empty()) fds[i].revents = static_cast<short>(fds[i].events & POLLIN);
      } else if (eventCounters_.count(fds[i].fd)) {
        if (eventCounters_[fds[i].fd]) fds[i].revents = static_cast<short>(fds[i].events & POLLIN);
      } else if (it->second.kind == Descriptor::Node) {
        bool present = false;
        for (const auto& [name, device] : *plugged_) {
          unsigned minor = static_cast<unsigned>((device.bus - 1) * 128 + (device.devnum - 1));
          present = present || makedev(kUsbDeviceMajor, minor) == it->second.rdev;
        }
        // devio.c usbdev_poll: EPOLLHUP while not connected, EPOLLERR once
        // off the file list; EPOLLOUT while a completed URB waits.
        if (!present || it->second.revoked) fds[i].revents = POLLHUP | POLLERR;
        if (urbReady(fds[i].fd)) fds[i].revents = static_cast<short>(fds[i].revents | (fds[i].events & POLLOUT));
      } else {
        fds[i].revents = static_cast<short>(fds[i].events & (POLLIN | POLLOUT));
      }
      ready += fds[i].revents ? 1 : 0;
    }
    if (ready) return ready;
    if (timeoutMs < 0) {
      changed_.wait(lock);
    } else if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
      for (nfds_t i = 0; i < count; ++i) fds[i].revents = 0;
      return 0;
    }
  }
}

ssize_t SimBus::doRead(int fd, void* buffer, size_t count) {
  auto it = descriptors_->find(fd);
  if (it == descriptors_->end()) return -EBADF;
  Descriptor& descriptor = it->second;
  if (eventCounters_.count(fd)) {
    uint64_t& counter = eventCounters_[fd];
    if (count < 8) return -EINVAL;
    if (!counter) return -EAGAIN;
    memcpy(buffer, &counter, 8);
    counter = 0;
    return 8;
  }
  if (descriptor.kind == Descriptor::Socket) return -EINVAL;
  if (descriptor.kind == Descriptor::Node) return -EINVAL;
  if ((descriptor.flags & O_ACCMODE) == O_WRONLY) return -EBADF;
  auto failure = readFailures_.find(descriptor.path);
  if (failure != readFailures_.end()) return -failure->second;
  const Entry* entry = lookup(descriptor.path);
  // The attribute's device is gone.
  if (!entry) return -ENODEV;
  if (entry->kind == Entry::Dir) return -EISDIR;
  const std::string& content = entry->content;
  if (descriptor.offset >= content.size()) return 0;
  size_t chunk = std::min({count, kPage, content.size() - descriptor.offset});
  memcpy(buffer, content.data() + descriptor.offset, chunk);
  descriptor.offset += chunk;
  size_t& largest = largestRead_[descriptor.path];
  largest = std::max(largest, chunk);
  return static_cast<ssize_t>(chunk);
}

ssize_t SimBus::doWrite(int fd, const void* buffer, size_t count) {
  auto it = descriptors_->find(fd);
  if (it == descriptors_->end()) return -EBADF;
  Descriptor& descriptor = it->second;
  if (eventCounters_.count(fd)) {
    uint64_t value;
    if (count < 8) return -EINVAL;
    memcpy(&value, buffer, 8);
    eventCounters_[fd] += value;
    changed_.notify_all();
    return 8;
  }
  if ((descriptor.flags & O_ACCMODE) == O_RDONLY) return -EBADF;
  if (descriptor.kind != Descriptor::File) return -EINVAL;
  auto entry = tree_->find(descriptor.path);
  if (entry == tree_->end()) return -ENODEV;
  // A sysfs store takes the whole text of one write.
  std::string text(static_cast<const char*>(buffer), count);
  commands_.push_back("write " + descriptor.path + " " + text);
  // The usb driver's bind store: a device that the generic usb driver
  // already holds is refused EBUSY, one that is gone ENODEV; a free one is
  // bound (bindGenericDriver).
  if (descriptor.path == "/sys/bus/usb/drivers/usb/bind") {
    auto plugged = plugged_->find(text);
    if (plugged == plugged_->end()) return -ENODEV;
    if (plugged->second.genericBound || !plugged->second.otherDriver.empty()) return -EBUSY;
    bindGenericLocked(text, Format::Both);
    return static_cast<ssize_t>(count);
  }
  // The unbind store: ENODEV unless the generic driver holds the device.
  if (descriptor.path == "/sys/bus/usb/drivers/usb/unbind") {
    auto plugged = plugged_->find(text);
    if (plugged == plugged_->end() || !plugged->second.genericBound) return -ENODEV;
    unbindGenericLocked(text, Format::Both);
    return static_cast<ssize_t>(count);
  }
  if (descriptor.path == "/sys/bus/usb/drivers_probe") return urbDriversProbe(text);
  if (baseName(descriptor.path) != "uevent") entry->second.content.assign(text);
  return static_cast<ssize_t>(count);
}

int SimBus::doList(const char* path, UsbSysDirectoryVisitor visit, void* context) {
  std::vector<std::string> names;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto failure = openFailures_.find(path);
    if (failure != openFailures_.end()) return -failure->second;
    std::string canonical;
    int result = resolve(path, true, &canonical);
    if (result < 0) return result;
    const Entry* entry = lookup(canonical);
    if (!entry) return -ENOENT;
    if (entry->kind != Entry::Dir) return -ENOTDIR;
    names = {".", ".."};
    for (const std::string& name : listChildren(canonical)) names.push_back(name);
  }
  for (const std::string& name : names) {
    if (visit(context, name.c_str())) break;
  }
  return 0;
}

int SimBus::doStat(const char* path, struct stat* status) {
  std::string canonical;
  int result = resolve(path, true, &canonical);
  if (result < 0) return result;
  const Entry* entry = lookup(canonical);
  if (!entry) return -ENOENT;
  memset(status, 0, sizeof *status);
  switch (entry->kind) {
    case Entry::Dir:
      status->st_mode = S_IFDIR | entry->mode;
      break;
    case Entry::CharDev:
      status->st_mode = S_IFCHR | entry->mode;
      status->st_rdev = entry->rdev;
      break;
    default:
      status->st_mode = S_IFREG | entry->mode;
      // sysfs reports a page for text attributes and the declared size for
      // binary ones.
      status->st_size = canonical.rfind("/sys/", 0) == 0
                            ? (entry->binary ? kDescriptorsAttributeSize : kPage)
                            : static_cast<off_t>(entry->content.size());
      break;
  }
  return 0;
}

int SimBus::doMknod(const char* path, mode_t mode, dev_t device) {
  if (mknodFailure_) return -mknodFailure_;
  std::string canonical;
  int result = resolve(path, false, &canonical);
  if (result < 0) return result;
  if (lookup(canonical)) return -EEXIST;
  const Entry* parent = lookup(parentDir(canonical));
  if (!parent) return -ENOENT;
  if (parent->kind != Entry::Dir) return -ENOTDIR;
  if (canonical.rfind("/sys/", 0) == 0 || canonical.rfind("/proc/", 0) == 0) return -EPERM;
  if (!S_ISCHR(mode)) return -EINVAL;
  Entry node;
  node.kind = Entry::CharDev;
  node.mode = mode & 07777;
  node.rdev = device;
  (*tree_)[canonical] = node;
  madeNodes_.push_back(canonical);
  return 0;
}

int SimBus::doUnlink(const char* path) {
  std::string canonical;
  int result = resolve(path, false, &canonical);
  if (result < 0) return result;
  const Entry* entry = lookup(canonical);
  if (!entry) return -ENOENT;
  if (entry->kind == Entry::Dir) return -EISDIR;
  if (canonical.rfind("/sys/", 0) == 0 || canonical.rfind("/proc/", 0) == 0) return -EPERM;
  tree_->erase(canonical);
  return 0;
}

ssize_t SimBus::doReadlink(const char* path, char* buffer, size_t size) {
  std::string canonical;
  int result = resolve(path, false, &canonical);
  if (result < 0) return result;
  const Entry* entry = lookup(canonical);
  if (!entry) return -ENOENT;
  if (entry->kind != Entry::Link) return -EINVAL;
  size_t length = std::min(size, entry->content.size());
  memcpy(buffer, entry->content.data(), length);
  return static_cast<ssize_t>(length);
}

int SimBus::doSocket(int domain, int type, int protocol) {
  if (socketFailure_) return -socketFailure_;
  if (domain != AF_NETLINK) return -EAFNOSUPPORT;
  int kind = type & ~(SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (kind != SOCK_DGRAM && kind != SOCK_RAW) return -ESOCKTNOSUPPORT;
  if (protocol != NETLINK_KOBJECT_UEVENT) return -EPROTONOSUPPORT;
  int fd = nextFd_++;
  Descriptor descriptor;
  descriptor.kind = Descriptor::Socket;
  descriptor.path = "netlink:uevent";
  (*descriptors_)[fd] = descriptor;
  (*sockets_)[fd] = Socket{};
  return fd;
}

int SimBus::doBind(int fd, const struct sockaddr* address, socklen_t length) {
  if (bindFailure_) return -bindFailure_;
  auto it = sockets_->find(fd);
  if (it == sockets_->end()) return descriptors_->count(fd) ? -ENOTSOCK : -EBADF;
  if (length < sizeof(sockaddr_nl) || address->sa_family != AF_NETLINK) return -EINVAL;
  const sockaddr_nl* netlink = reinterpret_cast<const sockaddr_nl*>(address);
  if (netlink->nl_pid) {
    for (const auto& [other, socket] : *sockets_) {
      if (other != fd && socket.bound && socket.pid == netlink->nl_pid) return -EADDRINUSE;
    }
  }
  it->second.bound = true;
  it->second.pid = netlink->nl_pid;
  it->second.groups = netlink->nl_groups;
  return 0;
}

ssize_t SimBus::doRecv(int fd, void* buffer, size_t length, int flags) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    auto it = sockets_->find(fd);
    if (it == sockets_->end()) return descriptors_->count(fd) ? -ENOTSOCK : -EBADF;
    if (!it->second.queue.empty()) {
      std::vector<uint8_t> datagram = std::move(it->second.queue.front());
      it->second.queue.pop_front();
      ++received_;
      size_t copied = std::min(length, datagram.size());
      if (copied) memcpy(buffer, datagram.data(), copied);
      return static_cast<ssize_t>((flags & MSG_TRUNC) ? datagram.size() : copied);
    }
    if (flags & MSG_DONTWAIT) return -EAGAIN;
    changed_.wait(lock);
  }
}

int SimBus::doEventfd(unsigned int initial, int flags) {
  int fd = nextFd_++;
  Descriptor descriptor;
  descriptor.kind = Descriptor::File;
  descriptor.path = "eventfd";
  descriptor.flags = O_RDWR | (flags & O_NONBLOCK);
  (*descriptors_)[fd] = descriptor;
  eventCounters_[fd] = initial;
  return fd;
}

int SimBus::doRunCommand(const char* command) {
  commands_.push_back(command);
  for (const auto& [prefix, status] : commandStatus_) {
    if (strncmp(command, prefix.c_str(), prefix.size()) == 0) return status;
  }
  return 0;
}

}  // namespace simbus
