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
