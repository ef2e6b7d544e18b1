#include "ovusbd/core/autoprobe.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include "ovusbd/core/config.h"
#include "ovusbd/core/coresettings.h"
#include "ovusbd/core/log.h"

char savedAutoprobe = '1';

namespace {

const char kAutoprobePath[] = "/sys/bus/usb/drivers_autoprobe";

// Set by switchOffAutoprobe, cleared by restoreAutoprobe; main thread only.
bool autoprobeSwitchedOff = false;

// Reads the first character; -errno on failure, -EIO on an empty file.
int readAutoprobe(char* c, bool* opened) {
  int fd = open(kAutoprobePath, O_RDONLY | O_CLOEXEC);
  if (opened) *opened = fd >= 0;
  if (fd < 0) return -errno;
  ssize_t n;
  do {
    n = read(fd, c, 1);
  } while (n < 0 && errno == EINTR);
  int e = n < 0 ? errno : EIO;
  close(fd);
  return n == 1 ? 0 : -e;
}

}  // namespace

bool writeAutoprobe(char c) {
  char current;
  if (readAutoprobe(&current, nullptr) == 0 && current == c) return true;
  int fd = open(kAutoprobePath, O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    int e = errno;
    logMessage(3, "Error %d opening auto_probe failed, %s", e, strerror(e));
    return false;
  }
  ssize_t n;
  do {
    n = write(fd, &c, 1);
  } while (n < 0 && errno == EINTR);
  int e = n < 0 ? errno : EIO;
  close(fd);
  if (n != 1) {
    logMessage(3, "Error %d writing to auto_probe, %s", e, strerror(e));
    return false;
  }
  return true;
}

bool switchOffAutoprobe() {
  if (getConfigBool("AutoAttachToKernel", coreSettings().autoAttachDefault)) return true;
  bool opened;
  char current;
  int r = readAutoprobe(&current, &opened);
  if (r < 0 && !opened) {
    logMessage(3,
               "Error %d opening auto_probe to obtain the current value. Do you have usb support "
               "in your kernel?",
               -r);
    return false;
  }
  if (r < 0) {
    logMessage(3, "Error %d reading auto_probe, %s", -r, strerror(-r));
    return false;
  }
  savedAutoprobe = current;
  if (!writeAutoprobe('0')) return false;
  autoprobeSwitchedOff = true;
  return true;
}

bool restoreAutoprobe() {
  if (!autoprobeSwitchedOff) return true;
  autoprobeSwitchedOff = false;
  return writeAutoprobe(savedAutoprobe);
}
