#include "ovusbd/usb/sysfs.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ovusbd/core/log.h"
#include "ovusbd/core/platform.h"
#include "ovusbd/usb/usbsettings.h"
#include "ovusbd/usb/usbsys.h"

bool sysfsAttributePath(const char* sysfsName, const char* attribute, char* path, size_t size) {
  const char* format = strncmp(sysfsName, "/sys", 4) == 0 ? "%s/%s" : sysfsName[0] == '/' ? "/sys%s/%s" : "/sys/%s/%s";
  int length = snprintf(path, size, format, sysfsName, attribute);
  return length > 0 && static_cast<size_t>(length) < size;
}

ssize_t readFully(int fd, void* buffer, size_t size) {
  size_t total = 0;
  while (total < size) {
    ssize_t got = usbSys->read(fd, static_cast<char*>(buffer) + total, size - total);
    if (got == -EINTR) continue;
    if (got < 0) return total ? static_cast<ssize_t>(total) : got;
    if (got == 0) break;
    total += static_cast<size_t>(got);
  }
  return static_cast<ssize_t>(total);
}

char* loadSysfsFile(const char* sysfsName, const char* attribute, bool logErrors) {
  char path[4096];
  int error = -ENAMETOOLONG;
  char* text = nullptr;
  if (sysfsAttributePath(sysfsName, attribute, path, sizeof path)) {
    int fd = usbSys->open(path, O_RDONLY, 0);
    error = fd;
    if (fd >= 0) {
      text = static_cast<char*>(calloc(kSysfsFileLimit + 1, 1));
      ssize_t got = text ? readFully(fd, text, kSysfsFileLimit) : -ENOMEM;
      usbSys->close(fd);
      if (got <= 0) {
        // An empty file counts as a failure without an errno of its own.
        error = got < 0 ? static_cast<int>(got) : -ENODATA;
        free(text);
        text = nullptr;
      }
    }
  } else {
    snprintf(path, sizeof path, "%s", sysfsName);
  }
  if (!text && logErrors && usbSettings().platformCode != kPlatformQnap) {
    logMessage(3, "Error %d loading device file '%s', %s", -error, path, strerror(-error));
  }
  return text;
}

int resolvePath(const char* path, char* resolved, size_t size) {
  constexpr int kMaxLinks = 40;  // as the kernel's ELOOP limit
  char pending[4096], target[4096], candidate[4096];
  if (path[0] != '/' || size < 2) return -EINVAL;
  if (snprintf(pending, sizeof pending, "%s", path) >= static_cast<int>(sizeof pending)) return -ENAMETOOLONG;
  size_t done = 0;  // resolved[0..done) is the resolved prefix, "" for the root
  resolved[0] = '\0';
  int links = 0;
  size_t at = 0;
  while (pending[at] != '\0') {
    while (pending[at] == '/') ++at;
    size_t end = at;
    while (pending[end] != '\0' && pending[end] != '/') ++end;
    const size_t length = end - at;
    if (length == 0 || (length == 1 && pending[at] == '.')) {
      at = end;
      continue;
    }
    if (length == 2 && pending[at] == '.' && pending[at + 1] == '.') {
      while (done > 0 && resolved[done - 1] != '/') --done;
      if (done > 0) --done;
      resolved[done] = '\0';
      at = end;
      continue;
    }
    int n = snprintf(candidate, sizeof candidate, "%s/%.*s", resolved, static_cast<int>(length), pending + at);
    if (n >= static_cast<int>(sizeof candidate)) return -ENAMETOOLONG;
    ssize_t linkLength = usbSys->readlink(candidate, target, sizeof target - 1);
    if (linkLength == -EINVAL) {
      // Not a link: the component stays.
      if (static_cast<size_t>(n) >= size) return -ENAMETOOLONG;
      memcpy(resolved, candidate, static_cast<size_t>(n) + 1);
      done = static_cast<size_t>(n);
      at = end;
      continue;
    }
    if (linkLength < 0) return static_cast<int>(linkLength);
    if (++links > kMaxLinks) return -ELOOP;
    target[linkLength] = '\0';
    // The link's target takes the component's place, before the rest.
    n = snprintf(candidate, sizeof candidate, "%s%s", target, pending + end);
    if (n >= static_cast<int>(sizeof candidate)) return -ENAMETOOLONG;
    memcpy(pending, candidate, static_cast<size_t>(n) + 1);
    at = 0;
    if (target[0] == '/') {
      done = 0;
      resolved[0] = '\0';
    }
  }
  if (done == 0) snprintf(resolved, size, "/");
  return 0;
}
