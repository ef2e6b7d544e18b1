#include "ovusbd/usb/hubclaims.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ovusbd/core/config.h"
#include "ovusbd/core/log.h"
#include "ovusbd/usb/sysfs.h"
#include "ovusbd/usb/usbfilters.h"
#include "ovusbd/usb/usbname.h"
#include "ovusbd/usb/usbsys.h"

namespace {

constexpr size_t kMaxNamedPorts = 64;

bool isHubNamed(void* item, const void* key) {
  return strcmp(static_cast<ClaimedHub*>(item)->name, static_cast<const char*>(key)) == 0;
}

bool alreadyClaimed(const char* sysfsPath) {
  return claimedHubs && findInLockedList(claimedHubs, isHubNamed, sysfsPath);
}

void rememberHub(int fd, const char* sysfsPath) {
  ClaimedHub* hub = static_cast<ClaimedHub*>(calloc(1, sizeof(ClaimedHub)));
  if (hub) {
    hub->fd = fd;
    snprintf(hub->name, sizeof hub->name, "%s", sysfsPath);
  }
  // Without an entry nobody would close the descriptor; closing it now
  // gives the claims back at once.
  if (!hub || !claimedHubs || appendToLockedList(claimedHubs, hub) < 0) {
    logMessage(3, "Error, out of memory keeping the claimed hub %s", sysfsPath);
    free(hub);
    usbSys->close(fd);
  }
}

// Opens the hub's own node write-only, or -1 after logging. *node gets the
// node's path (a new text, for the log) when the descriptor is open.
int openHub(const char* ueventText, char** node) {
  *node = hubNodeFromUevent(ueventText);
  if (!*node) return -1;
  int fd = usbSys->open(*node, O_WRONLY, 0);
  if (fd < 0) {
    logMessage(3, "Error %d opening hub %s, %s", -fd, *node, strerror(-fd));
    free(*node);
    *node = nullptr;
  }
  return fd < 0 ? -1 : fd;
}

// The number of ports from the first line of "maxchild", or -1 after logging.
int readPortCount(const char* sysfsPath, const char* node) {
  char path[4096];
  if (!sysfsAttributePath(sysfsPath, "maxchild", path, sizeof path)) return -1;
  int fd = usbSys->open(path, O_RDONLY, 0);
  if (fd < 0) {
    logMessage(3, "Error %d determining ports for hub %s, %s", -fd, node, strerror(-fd));
    return -1;
  }
  char text[16] = {};
  ssize_t got = readFully(fd, text, sizeof text - 1);
  usbSys->close(fd);
  if (got <= 0) {
    int error = got < 0 ? static_cast<int>(-got) : EIO;
    logMessage(3, "Error %d reading num ports for hub %s, %s", error, node, strerror(error));
    return -1;
  }
  text[strcspn(text, "\n")] = '\0';
  char* end = nullptr;
  errno = 0;
  long count = strtol(text, &end, 10);
  // A hub has at most 255 ports (USB 2.0 11.23.2.1 bNbrPorts; the kernel
  // allows 31).
  if (end == text || *end != '\0' || errno != 0 || count < 0 || count > 255) {
    logMessage(3, "Error %d parsing num ports for hub %s, %s", EINVAL, node, strerror(EINVAL));
    return -1;
  }
  return static_cast<int>(count);
}

bool claimAllPorts(const char* ueventText, const char* sysfsPath, int hotplugged) {
  if (hotplugged) {
    char* parent = findParentHub(sysfsPath);
    logMessage(7, "Hub %s just plugged into claimed port for %s, this is not supported!", sysfsPath,
               parent ? parent : "");
    free(parent);
    return true;
  }
  if (alreadyClaimed(sysfsPath)) return true;
  char* node = nullptr;
  int fd = openHub(ueventText, &node);
  if (fd < 0) return true;
  int ports = readPortCount(sysfsPath, node);
  if (ports >= 0) {
    logMessage(6, "Claiming %u ports on hub %s", static_cast<unsigned>(ports), node);
    for (int port = 1; port <= ports; ++port) claimHubPort(fd, static_cast<unsigned>(port));
  }
  free(node);
  rememberHub(fd, sysfsPath);
  return true;
}

bool claimNamedPorts(const char* ueventText, const char* sysfsPath, const char* list) {
  unsigned ports[kMaxNamedPorts];
  size_t count = portsNamedByClaimPort(list, deviceAddressFromPath(sysfsPath), ports, kMaxNamedPorts);
  if (count == 0) return false;
  if (alreadyClaimed(sysfsPath)) return true;
  char* node = nullptr;
  int fd = openHub(ueventText, &node);
  if (fd < 0) return true;
  free(node);
  for (size_t i = 0; i < count; ++i) {
    logMessage(6, "Claiming port %u on hub %s", ports[i], sysfsPath);
    claimHubPort(fd, ports[i]);
  }
  rememberHub(fd, sysfsPath);
  return true;
}

}  // namespace

int claimHubPort(int hubFd, unsigned port) {
  unsigned int number = port;
  int result = usbSys->ioctl(hubFd, USBDEVFS_CLAIM_PORT, &number);
  if (result < 0) {
    logMessage(4, "Warning, error %d claiming port %d, %s", -result, static_cast<int>(port), strerror(-result));
    return result;
  }
  return 0;
}

bool claimHubByRule(const char* ueventText, const char* sysfsPath, int hotplugged) {
  if (getConfigBool("ClaimPorts", "0")) return claimAllPorts(ueventText, sysfsPath, hotplugged);
  char* list = getConfigString("ClaimPort", nullptr, true);
  bool taken = list && list[0] != '\0' && claimNamedPorts(ueventText, sysfsPath, list);
  free(list);
  return taken;
}
