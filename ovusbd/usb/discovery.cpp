#include "ovusbd/usb/discovery.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "ovusbd/core/config.h"
#include "ovusbd/core/log.h"
#include "ovusbd/usb/usbsettings.h"
#include "ovusbd/usb/deviceclaim.h"
#include "ovusbd/usb/devicenodes.h"
#include "ovusbd/usb/devicerecord.h"
#include "ovusbd/usb/hubclaims.h"
#include "ovusbd/usb/parenthub.h"
#include "ovusbd/usb/sysfs.h"
#include "ovusbd/usb/uevent.h"
#include "ovusbd/usb/usbfilters.h"
#include "ovusbd/usb/usbname.h"
#include "ovusbd/usb/usbsys.h"

namespace {

struct Discovery {
  LockedList* hotplugQueue;
  pthread_t monitor;
  pthread_t worker;
  int wakeFd;  // eventfd that ends the monitor's poll at once; -1 when none
  bool monitorRunning;
  bool workerRunning;
  std::atomic<bool> ueventMonitorStop;
  std::atomic<bool> hotplugStop;
  std::atomic<unsigned long> queued, skipped, refused, handled;
};

Discovery* discovery = nullptr;

struct Text {
  char* value;
  explicit Text(char* text) : value(text) {}
  ~Text() { free(value); }
  Text(const Text&) = delete;
  Text& operator=(const Text&) = delete;
  const char* get() const { return value; }
};

void freeHotplugEvent(void* item, void*) {
  HotplugEvent* event = static_cast<HotplugEvent*>(item);
  if (!event) return;
  free(event->path);
  free(event);
}

void removeFileAndFree(void* item, void*) {
  char* path = static_cast<char*>(item);
  if (!path) return;
  usbSys->unlink(path);
  free(path);
}

void queueEvent(const UeventEvent& parsed) {
  HotplugEvent* event = static_cast<HotplugEvent*>(malloc(sizeof(HotplugEvent)));
  char* path = strdup(parsed.path);
  if (event && path) {
    event->path = path;
    event->add = parsed.add ? 1 : 0;
    // Counted before the worker can see it, so queued never lags handled.
    ++discovery->queued;
    if (appendToLockedList(discovery->hotplugQueue, event) == 0) return;
    --discovery->queued;
  }
  logMessage(3, "Error, out of memory queueing the uevent of %s", parsed.path);
  free(path);
  free(event);
}

// Receives every datagram waiting on the socket without blocking.
void readUevents(int fd) {
  for (;;) {
    uint8_t buffer[kUeventDatagramSize];
    // MSG_TRUNC: the result is the datagram's real length, so a cut one is
    // known as such.
    ssize_t length = usbSys->recv(fd, buffer, sizeof buffer, MSG_DONTWAIT | MSG_TRUNC);
    if (length == -EINTR) continue;
    if (length < 0) {
      if (length != -EAGAIN && length != -EWOULDBLOCK) {
        logMessage(4, "Warning, error %d receiving kernel events, %s", static_cast<int>(-length),
                   strerror(static_cast<int>(-length)));
      }
      return;
    }
    size_t received = static_cast<size_t>(length) < sizeof buffer ? static_cast<size_t>(length) : sizeof buffer;
    UeventEvent event;
    int result = usbSettings().udevMode ? parseUdevDatagram(buffer, received, &event)
                                           : parseKernelUevent(buffer, received, &event);
    if (result < 0) {
      ++discovery->refused;
      logMessage(4, "Warning, dropping %s uevent datagram of %zd bytes",
                 result == -EMSGSIZE ? "cut or oversized" : "malformed", length);
    } else if (result == kUeventUsable && isUsbDeviceName(event.path)) {
      queueEvent(event);
    } else {
      ++discovery->skipped;
    }
  }
}

void* ueventMonitorThread(void*) {
  int fd = usbSys->socket(AF_NETLINK, SOCK_DGRAM, NETLINK_KOBJECT_UEVENT);
  if (fd < 0) {
    logMessage(3, "Error %d opening netlink socket for monitoring kernel events, %s", -fd, strerror(-fd));
    return nullptr;
  }
  struct sockaddr_nl address = {};
  address.nl_family = AF_NETLINK;
  address.nl_pid = static_cast<uint32_t>(getpid());
  address.nl_groups = 0xFFFFFFFF;
  int result = usbSys->bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof address);
  if (result < 0) {
    logMessage(3, "Error %d binding netlink socket for monitoring kernel events, %s", -result, strerror(-result));
    usbSys->close(fd);
    return nullptr;
  }
  while (!discovery->ueventMonitorStop) {
    // The wake descriptor only makes a stop take effect at once; without it
    // the stop flag is seen within the poll's second.
    struct pollfd pollers[2] = {{fd, POLLIN, 0}, {discovery->wakeFd, POLLIN, 0}};
    int ready = usbSys->poll(pollers, discovery->wakeFd >= 0 ? 2 : 1, 1000);
    if (ready == -EINTR) continue;
    if (ready < 0) {
      logMessage(3, "Error %d polling netlink socket for kernel events, %s", -ready, strerror(-ready));
      break;
    }
    if (ready > 0 && (pollers[0].revents & POLLIN)) readUevents(fd);
  }
  usbSys->close(fd);
  return nullptr;
}

void handleHotplugEvent(const HotplugEvent* event) {
  uint32_t address = deviceAddressFromPath(event->path);
  if (!event->add) {
    // Only the record of this very sysfs name goes: another device may share
    // the address (1-1.1 and 1-11 are both 111).
    unplugDevice(address, event->path, 1);
    return;
  }
  pthread_mutex_lock(&deviceLifecycleMutex);
  if (deviceSlotState(address, event->path, nullptr) != kSlotSameDevice) {
    Text uevent(loadSysfsFile(event->path, "uevent", true));
    if (uevent.get()) addUsbDeviceFromUevent(uevent.get(), event->path, 1);
  }
  pthread_mutex_unlock(&deviceLifecycleMutex);
}

void* hotplugThread(void*) {
  if (discovery->hotplugStop) return nullptr;
  for (;;) {
    HotplugEvent* event = static_cast<HotplugEvent*>(takeFromLockedList(discovery->hotplugQueue));
    if (!event) break;
    handleHotplugEvent(event);
    freeHotplugEvent(event, nullptr);
    ++discovery->handled;
    if (discovery->hotplugStop) break;
  }
  return nullptr;
}

int collectName(void* context, const char* name) {
  static_cast<std::vector<std::string>*>(context)->push_back(name);
  return 0;
}

// Serial number: up to 128 bytes of "serial", cut at the newline. A missing
// file is an empty serial.
void readSerial(const char* sysfsPath, char* serial, size_t size) {
  serial[0] = '\0';
  char path[4096];
  if (!sysfsAttributePath(sysfsPath, "serial", path, sizeof path)) return;
  int fd = usbSys->open(path, O_RDONLY, 0);
  if (fd < 0) return;
  char text[129] = {};
  ssize_t got = readFully(fd, text, 128);
  usbSys->close(fd);
  text[got > 0 ? got : 0] = '\0';
  text[strcspn(text, "\n")] = '\0';
  if (text[0] == '\0') logMessage(7, "Warning, Could not read device serial number %s", path);
  snprintf(serial, size, "%s", text);
}

bool excludedByFilters(const char* sysfsPath, const char* product, const char* serial) {
  Text ignoredBuses(getConfigString("IgnoredBuses", nullptr, true));
  if (matchesIgnoredBuses(ignoredBuses.get(), sysfsPath)) return true;
  uint16_t vendorId, productId;
  parseProductValue(product, &vendorId, &productId);
  // Clients write serials into this list: it is read as written, never
  // expanded, so a client's "${NAME}" is a serial, not the daemon's
  // environment.
  Text ignoredDevices(getConfigString(
      "IgnoredDevices", defaultIgnoredDevices(usbSettings().platformCode, usbSettings().serverSerial), false));
  if (matchesIgnoredDevices(ignoredDevices.get(), vendorId, productId, serial)) return true;
  Text allowedDevices(getConfigString("AllowedDevices", nullptr, true));
  return !allowedByAllowedDevices(allowedDevices.get(), vendorId, productId);
}

void manageDevice(const char* ueventText, const char* sysfsPath, const char* nodePath, const char* product,
                  const char* serial) {
  uint32_t address = deviceAddressFromPath(sysfsPath);
  char holder[255] = {};
  int slot = deviceSlotState(address, sysfsPath, holder);
  if (slot == kSlotSameDevice) return;
  if (slot == -EADDRINUSE) {
    logMessage(3, "Error, device %s has address %u, which %s already holds, not managing it", sysfsPath, address,
               holder);
    return;
  }
  // The companion hub and the Container ID let a device behind a USB 2.1
  // hub be switched on both halves and described as one device.
  char* companion = nullptr;
  uint8_t* containerId = nullptr;
  bool coalesce = getConfigBool("CoalesceCompanionHub", "0");
  Text hubNode(coalesce ? findParentHub(sysfsPath, &companion, &containerId) : findParentHub(sysfsPath));
  Text companionNode(companion);
  std::unique_ptr<uint8_t, decltype(&free)> containerIdBytes(containerId, free);
  int created = 0;
  Text madeNode(nullptr);
  // An existing node is used under its own name: no copy that could fail.
  const char* node = nodePath;
  struct stat status;
  if (usbSys->stat(nodePath, &status) != 0) {
    unsigned major, minor;
    if (ueventDeviceNumbers(ueventText, &major, &minor)) {
      madeNode.value = makeDeviceNode(nodePath, major, minor, &created);
    }
    if (!madeNode.get()) {
      logMessage(3, "Error making device node at %s", sysfsPath);
      return;
    }
    node = madeNode.get();
  }
  int result = createManagedDevice(address, sysfsPath, product, serial, node, hubNode.get(), companionNode.get(),
                                   containerIdBytes.get(), created);
  // A node made for a device that got no record would be left behind.
  if (result < 0 && created) usbSys->unlink(node);
}

}  // namespace

void addUsbDeviceFromUevent(const char* ueventText, const char* sysfsPath, int hotplugged) {
  Text devtype(ueventValue(ueventText, "DEVTYPE"));
  if (!devtype.get() || strncmp(devtype.get(), "usb_device", 10) != 0) return;
  Text nodePath(findNodePath(ueventText));
  if (!nodePath.get()) {
    logMessage(3, "Error determining the device path for %s. This device will be unavailable for sharing", sysfsPath);
    return;
  }
  Text product(ueventValue(ueventText, "PRODUCT"));
  Text type(ueventValue(ueventText, "TYPE"));
  if (type.get() && type.get()[0] == '9' && claimHubByRule(ueventText, sysfsPath, hotplugged)) return;
  char serial[128];
  readSerial(sysfsPath, serial, sizeof serial);
  if (type.get() && type.get()[0] != '\0') {
    // A hub that no claim rule took is never managed.
    bool excluded = atoi(type.get()) == 9 || excludedByFilters(sysfsPath, product.get(), serial);
    if (excluded) {
      Text autoAttach(getConfigString("AutoAttachToKernel", usbSettings().autoAttachDefault, true));
      bool attach = autoAttach.get() && strcmp(autoAttach.get(), "1") == 0;
      if (!attach && hotplugged) {
        uint16_t vendorId, productId;
        parseProductValue(product.get(), &vendorId, &productId);
        passToKernel(deviceAddressFromPath(sysfsPath), vendorId, productId, sysfsPath);
      }
      return;
    }
  }
  manageDevice(ueventText, sysfsPath, nodePath.get(), product.get(), serial);
}

void enumerateUsbDevices() {
  std::vector<std::string> names;
  int result = usbSys->listDirectory("/sys/bus/usb/devices", collectName, &names);
  if (result < 0) {
    logMessage(3, "Failed to open /sys/bus/usb/devices, %d (%s)", -result, strerror(-result));
    return;
  }
  for (const std::string& name : names) {
    if (!isUsbDeviceName(name.c_str())) continue;
    std::string path = "/sys/bus/usb/devices/" + name;
    pthread_mutex_lock(&deviceLifecycleMutex);
    if (deviceSlotState(deviceAddressFromPath(path.c_str()), path.c_str(), nullptr) != kSlotSameDevice) {
      Text uevent(loadSysfsFile(path.c_str(), "uevent", true));
      if (uevent.get()) {
        addUsbDeviceFromUevent(uevent.get(), path.c_str(), 0);
      } else {
        logMessage(3, "Error loading uevent for enumeration");
      }
    }
    pthread_mutex_unlock(&deviceLifecycleMutex);
  }
}

int startUsbDiscoveryThreads() {
  if (discovery) return -EALREADY;
  if (!deviceList) return -ENODEV;
  discovery = new Discovery();
  discovery->hotplugQueue = createLockedList();
  claimedHubs = createLockedList();
  createdNodes = createLockedList();
  if (!discovery->hotplugQueue || !claimedHubs || !createdNodes) {
    if (discovery->hotplugQueue) destroyLockedList(discovery->hotplugQueue);
    if (claimedHubs) destroyLockedList(claimedHubs);
    if (createdNodes) destroyLockedList(createdNodes);
    claimedHubs = createdNodes = nullptr;
    delete discovery;
    discovery = nullptr;
    return -ENOMEM;
  }
  discovery->wakeFd = usbSys->eventfd(0, 0);
  if (discovery->wakeFd < 0) discovery->wakeFd = -1;
  int error = pthread_create(&discovery->monitor, nullptr, ueventMonitorThread, nullptr);
  discovery->monitorRunning = error == 0;
  if (error) logMessage(3, "Error %d starting the uevent monitor, %s", error, strerror(error));
  enumerateUsbDevices();
  error = pthread_create(&discovery->worker, nullptr, hotplugThread, nullptr);
  discovery->workerRunning = error == 0;
  if (error) logMessage(3, "Error %d starting the hot-plug worker, %s", error, strerror(error));
  return 0;
}

void stopUsbDiscoveryThreads() {
  if (!discovery) return;
  discovery->ueventMonitorStop = true;
  if (discovery->wakeFd >= 0) {
    uint64_t one = 1;
    usbSys->write(discovery->wakeFd, &one, sizeof one);
  }
  if (discovery->monitorRunning) pthread_join(discovery->monitor, nullptr);
  if (discovery->wakeFd >= 0) usbSys->close(discovery->wakeFd);
  // The worker goes before the hub lists: it may still be appending to them.
  discovery->hotplugStop = true;
  appendToLockedList(discovery->hotplugQueue, nullptr);
  if (discovery->workerRunning) pthread_join(discovery->worker, nullptr);
  clearLockedList(discovery->hotplugQueue, freeHotplugEvent);
  destroyLockedList(discovery->hotplugQueue);
  clearLockedList(claimedHubs, releaseClaimedHub);
  destroyLockedList(claimedHubs);
  clearLockedList(createdNodes, removeFileAndFree);
  destroyLockedList(createdNodes);
  claimedHubs = createdNodes = nullptr;
  delete discovery;
  discovery = nullptr;
}

UeventCounters ueventCounters() {
  if (!discovery) return UeventCounters{0, 0, 0, 0};
  return UeventCounters{discovery->queued, discovery->skipped, discovery->refused, discovery->handled};
}
