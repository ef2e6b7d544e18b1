#include "ovusbd/usb/parenthub.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "ovusbd/core/log.h"
#include "ovusbd/usb/devicenodes.h"
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

char* findParentHub(const char* sysfsPath) {
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
  char* type = ueventValue(uevent, "TYPE");
  bool isHub = type && type[0] == '9';
  free(type);
  if (!isHub) {
    logMessage(3, "Error, parent of %s is not a hub", sysfsPath);
    free(uevent);
    return nullptr;
  }
  char* node = hubNodeFromUevent(uevent);
  free(uevent);
  return node;
}
