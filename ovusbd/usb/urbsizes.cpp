#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>

#include "ovusbd/core/log.h"
#include "ovusbd/usb/usbsettings.h"
#include "ovusbd/usb/usbsys.h"

namespace {

// Reads a leading decimal number; false when the text does not start with
// a digit.
bool leadingNumber(const char* text, long* value) {
  if (!text || *text < '0' || *text > '9') return false;
  char* end;
  errno = 0;
  *value = strtol(text, &end, 10);
  return errno == 0;
}

}  // namespace

void configureUrbSizes(const char* release, UsbSettings* settings) {
  long major, minor;
  if (!leadingNumber(release, &major)) {
    logMessage(4, "Warning, failed quering major linux version '%s', defaulting to small URB sizes", release);
    return;
  }
  const char* dot = strchr(release, '.');
  if (!dot || !leadingNumber(dot + 1, &minor)) {
    logMessage(4, "Warning, failed quering minor linux version '%s', defaulting to small URB sizes", release);
    return;
  }
  // usbfs lifted its 16 KiB bulk limit in 3.3 (the usbfs memory limit took
  // its place), so one URB carries what a client asks for.
  if (major > 3 || (major == 3 && minor > 2)) {
    logMessage(6, "Using large URB's");
    settings->bulkUrbSize = kLargeUrbSize;
    settings->isoUrbSize = kLargeUrbSize;
  } else {
    logMessage(6, "Using small URB's");
  }
}

int controlTimeoutMs(const UsbSettings& settings) {
  if (settings.controlTimeoutMs > 0) return settings.controlTimeoutMs;
  // A time-out of nothing would discard every request at once.
  int seconds = settings.controlTimeout > 0 && settings.controlTimeout < 24 * 3600 ? settings.controlTimeout : 3;
  return seconds * 1000;
}

void readUrbSizes(UsbSettings* settings) {
  int fd = usbSys->open("/proc/sys/kernel/osrelease", O_RDONLY, 0);
  if (fd < 0) {
    logMessage(4, "Warning, failed quering oslrease for the linux version, defaulting to small URB sizes, %d (%s)",
               -fd, strerror(-fd));
    return;
  }
  char release[128] = {};
  ssize_t got = usbSys->read(fd, release, sizeof release - 1);
  usbSys->close(fd);
  if (got <= 0) {
    int error = got < 0 ? static_cast<int>(-got) : ENODATA;
    logMessage(4, "Warning, failed quering linux version (1), defaulting to small URB sizes, %d (%s)", error,
               strerror(error));
    return;
  }
  release[strcspn(release, "\n")] = '\0';
  configureUrbSizes(release, settings);
}
