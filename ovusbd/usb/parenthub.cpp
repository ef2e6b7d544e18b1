#include "ovusbd/usb/parenthub.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "ovusbd/core/log.h"
#include "ovusbd/usb/bosparse.h"
#include "ovusbd/usb/devicenodes.h"
#include "ovusbd/usb/hubports.h"
#include "ovusbd/usb/sysfs.h"
#include "ovusbd/usb/uevent.h"
#include "ovusbd/usb/usbname.h"
#include "ovusbd/usb/usbsys.h"

LockedList* claimedHubs = nullptr;
LockedList* createdNodes = nullptr;

namespace {

int collectName(void* context, const char* name) {
  static_cast<std::vector<std::string>*>(context)->push_back(name);
  return 0;
}

bool isHubUevent(const char* uevent) {
  char* type = ueventValue(uevent, "TYPE");
  bool hub = type && type[0] == '9';
  free(type);
  return hub;
}

// The hub's sysfs "version" (" 2.10\n") as decimal major and minor.
bool readHubVersion(const std::string& hubPath, unsigned long* major, unsigned long* minor) {
  char* text = loadSysfsFile(hubPath.c_str(), "version", false);
  if (!text) return false;
  char* end = nullptr;
  *major = strtoul(text, &end, 10);
  bool parsed = end != text && *end == '.';
  if (parsed) {
    const char* start = end + 1;
    *minor = strtoul(start, &end, 10);
    parsed = end != start;
  }
  free(text);
  return parsed;
}

// Node of the companion hub of hubName when that directory is a hub.
char* findCompanionHub(const std::string& hubName) {
  char companion[256];
  if (!companionHubName(hubName.c_str(), companion, sizeof companion)) return nullptr;
  std::string path = std::string("/sys/bus/usb/devices/") + companion;
  char* uevent = loadSysfsFile(path.c_str(), "uevent", false);
  if (!uevent) return nullptr;
  char* node = isHubUevent(uevent) ? hubNodeFromUevent(uevent) : nullptr;
  free(uevent);
  return node;
}

// GET_DESCRIPTOR(BOS): the standard request to the hub itself.
int readBos(int fd, uint8_t* buffer, uint16_t length) {
  return hubControl(fd, 0x80, 6, 0x0F00, 0, length, buffer, kBosQueryTimeoutMs);
}

// The Container ID from the hub's BOS: a new 16-byte buffer or null.
uint8_t* queryContainerId(const char* node) {
  int fd = usbSys->open(node, O_WRONLY, 0);
  if (fd < 0) {
    logMessage(4, "Error %d, opening 2.1 hub for container id query, %s", -fd, strerror(-fd));
    return nullptr;
  }
  uint8_t* containerId = nullptr;
  uint8_t header[kBosHeaderSize] = {};
  int got = readBos(fd, header, sizeof header);
  if (got < 0) {
    logMessage(4, "Error %d, querying 2.1 hub initial BOS descriptor, %s", -got, strerror(-got));
  } else if (bosCapabilityCount(header, static_cast<size_t>(got)) < 0) {
    logMessage(4, "Error, malformed BOS descriptor from 2.1 hub %s", node);
  } else if (header[4] != 0) {
    uint16_t total = static_cast<uint16_t>(bosTotalLength(header, sizeof header));
    uint8_t* bos = static_cast<uint8_t*>(calloc(1, total));
    got = bos ? readBos(fd, bos, total) : -ENOMEM;
    if (got < 0) {
      logMessage(4, "Error %d, querying 2.1 hub full BOS descriptor, %s", -got, strerror(-got));
    } else {
      uint8_t found[kContainerIdSize];
      int result = findBosContainerId(bos, static_cast<size_t>(got) < total ? static_cast<size_t>(got) : total, found);
      if (result < 0) logMessage(4, "Error, malformed BOS descriptor from 2.1 hub %s", node);
      if (result == 1) {
        containerId = static_cast<uint8_t*>(malloc(kContainerIdSize));
        if (containerId) memcpy(containerId, found, kContainerIdSize);
      }
    }
    free(bos);
  }
  usbSys->close(fd);
  return containerId;
}

}  // namespace

void releaseClaimedHub(void* item, void*) {
  ClaimedHub* hub = static_cast<ClaimedHub*>(item);
  if (!hub) return;
  usbSys->close(hub->fd);
  logMessage(6, "Releasing all claimed ports on hub %s", hub->name);
  free(hub);
}

char* hubNodeFromUevent(const char* ueventText) {
  char* node = findNodePath(ueventText);
  if (!node) {
    logMessage(3, "Error, parent hub does not contain a uevent DEVICE or DEVPATH entry");
    return nullptr;
  }
  struct stat status;
  if (usbSys->stat(node, &status) == 0) return node;
  unsigned major, minor;
  int created = 0;
  int error = -EINVAL;
  char* made = nullptr;
  if (ueventDeviceNumbers(ueventText, &major, &minor)) made = makeDeviceNode(node, major, minor, &created, &error);
  if (!made) {
    logMessage(4, "Warning, some features may not be available, error %d making parent hub node at %s, %s", -error,
               node, strerror(-error));
    free(node);
    return nullptr;
  }
  free(node);
  if (created && createdNodes) {
    char* copy = strdup(made);
    if (copy && appendToLockedList(createdNodes, copy) < 0) free(copy);
  }
  return made;
}

char* findParentHub(const char* sysfsPath, char** companionOut, uint8_t** containerIdOut) {
  if (companionOut) *companionOut = nullptr;
  if (containerIdOut) *containerIdOut = nullptr;
  const char* component = lastPathComponent(sysfsPath);
  std::vector<std::string> names;
  int result = usbSys->listDirectory("/sys/bus/usb/devices", collectName, &names);
  if (result < 0) logMessage(3, "Failed to open /sys/bus/usb/devices, %d (%s)", -result, strerror(-result));
  const std::string* parent = nullptr;
  for (const std::string& name : names) {
    if (!isUsbDeviceName(name.c_str())) continue;
    std::string candidate = "/sys/bus/usb/devices/" + name + "/" + component;
    struct stat status;
    if (usbSys->stat(candidate.c_str(), &status) == 0) {
      parent = &name;
      break;
    }
  }
  if (!parent) {
    logMessage(3, "Failed to determine path to parent hub for device %s", sysfsPath);
    return nullptr;
  }
  std::string hubPath = "/sys/bus/usb/devices/" + *parent;
  char* uevent = loadSysfsFile(hubPath.c_str(), "uevent", true);
  if (!uevent) {
    logMessage(3, "Error loading uevent from parent hub calculated to be at %s from device path %s", hubPath.c_str(),
               sysfsPath);
    return nullptr;
  }
  if (!isHubUevent(uevent)) {
    logMessage(3, "Error, parent of %s is not a hub", sysfsPath);
    free(uevent);
    return nullptr;
  }
  char* node = hubNodeFromUevent(uevent);
  free(uevent);
  if (!node || (!companionOut && !containerIdOut)) return node;
  unsigned long major = 0, minor = 0;
  if (!readHubVersion(hubPath, &major, &minor)) return node;
  if (companionOut && major == 2 && minor == 10) *companionOut = findCompanionHub(*parent);
  if (containerIdOut && (major > 2 || (major == 2 && minor > 9))) *containerIdOut = queryContainerId(node);
  return node;
}
