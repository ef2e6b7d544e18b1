#include "ovusbd/usb/devicenodes.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <initializer_list>

#include "ovusbd/core/log.h"
#include "ovusbd/usb/uevent.h"
#include "ovusbd/usb/usbsettings.h"
#include "ovusbd/usb/usbsys.h"

namespace {

bool exists(const char* path) {
  struct stat status;
  return usbSys->stat(path, &status) == 0;
}

bool parseDecimal(const char* text, unsigned* value) {
  if (!text || !*text) return false;
  unsigned long result = 0;
  for (const char* p = text; *p; ++p) {
    if (*p < '0' || *p > '9') return false;
    result = result * 10 + static_cast<unsigned long>(*p - '0');
    if (result > UINT_MAX) return false;
  }
  *value = static_cast<unsigned>(result);
  return true;
}

// The directory nodes are made in, into buffer.
void nodeDirectory(char* buffer, size_t size) {
  if (usbSettings().deviceNodeDirectory) {
    snprintf(buffer, size, "%s", usbSettings().deviceNodeDirectory);
    return;
  }
  char exe[PATH_MAX];
  ssize_t length = usbSys->readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (length > 0) {
    exe[length] = '\0';
    char* slash = strrchr(exe, '/');
    if (slash) {
      *slash = '\0';
      snprintf(buffer, size, "%s", exe[0] ? exe : "/");
      return;
    }
  }
  const char* home = getenv("HOME");
  snprintf(buffer, size, "%s", home && *home ? home : ".");
}

}  // namespace

bool ueventDeviceNumbers(const char* ueventText, unsigned* major, unsigned* minor) {
  char* majorText = ueventValue(ueventText, "MAJOR");
  char* minorText = ueventValue(ueventText, "MINOR");
  bool ok = parseDecimal(majorText, major) && parseDecimal(minorText, minor);
  free(majorText);
  free(minorText);
  return ok;
}

char* findNodePath(const char* ueventText) {
  char* value = ueventValue(ueventText, "DEVICE");
  if (!value) value = ueventValue(ueventText, "DEVNAME");
  if (!value) {
    logMessage(4, "Finding device path, neither DEVICE nor DEVNAME are available");
    return nullptr;
  }
  if (value[0] != '/' && !exists(value)) {
    for (const char* prefix : {"/proc/", "/dev/"}) {
      char candidate[kUeventValueSize + 8];
      snprintf(candidate, sizeof candidate, "%s%s", prefix, value);
      if (exists(candidate)) {
        free(value);
        return strdup(candidate);
      }
    }
  }
  return value;
}

char* makeDeviceNode(const char* name, unsigned major, unsigned minor, int* created, int* error) {
  *created = 0;
  int ignored;
  if (!error) error = &ignored;
  *error = 0;
  char directory[PATH_MAX];
  nodeDirectory(directory, sizeof directory);
  char flat[PATH_MAX];
  snprintf(flat, sizeof flat, "%s", name);
  for (char* p = flat; *p; ++p) {
    if (*p == '/') *p = '_';
  }
  char path[PATH_MAX];
  int length = snprintf(path, sizeof path, "%s/%s", directory, flat);
  if (length < 0 || static_cast<size_t>(length) >= sizeof path) {
    logMessage(3, "Error %d creating device node at %s/%s, %s", ENAMETOOLONG, directory, flat, strerror(ENAMETOOLONG));
    *error = -ENAMETOOLONG;
    return nullptr;
  }
  dev_t device = makedev(major, minor);
  struct stat status;
  if (usbSys->stat(path, &status) == 0) {
    // Anything else under that name would have us open the wrong device.
    if (!S_ISCHR(status.st_mode) || status.st_rdev != device) {
      logMessage(3, "Error, %s exists but is not the device node %u:%u", path, major, minor);
      *error = -EEXIST;
      return nullptr;
    }
    return strdup(path);
  }
  int result = usbSys->mknod(path, S_IFCHR | kDeviceNodeMode, device);
  if (result < 0) {
    logMessage(3, "Error %d creating device node at %s, %s", -result, path, strerror(-result));
    *error = result;
    return nullptr;
  }
  char* copy = strdup(path);
  if (!copy) {
    // Nobody would know to remove a node whose path could not be kept.
    logMessage(3, "Error %d creating device node at %s, %s", ENOMEM, path, strerror(ENOMEM));
    usbSys->unlink(path);
    *error = -ENOMEM;
    return nullptr;
  }
  *created = 1;
  return copy;
}
