#include "ovusbd/usb/devicereset.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "ovusbd/core/log.h"
#include "ovusbd/usb/devicehooks.h"
#include "ovusbd/usb/devicerecord.h"
#include "ovusbd/usb/sysfs.h"
#include "ovusbd/usb/usbfsaccess.h"
#include "ovusbd/usb/usbsys.h"

void claimInterfaces(int fd) {
  for (unsigned int interface = 0; interface < 8; ++interface) {
    if (usbSys->ioctl(fd, USBDEVFS_CLAIMINTERFACE, &interface) < 0) break;
  }
}

int releaseInterfaces(int fd) {
  for (unsigned int interface = 0; interface < 8; ++interface) {
    int result = usbSys->ioctl(fd, USBDEVFS_RELEASEINTERFACE, &interface);
    if (result < 0) return result == -ENODEV ? result : 0;
  }
  return 0;
}

// USBDEVFS_GETDRIVER names every interface driver; the interfaces of a
// usbfs user (this server, or another program) report "usbfs". A missing
// interface or one without a driver is ENODATA; ENODEV is the descriptor's.
int disconnectHostDrivers(int fd) {
  for (unsigned int interface = 0; interface < 16; ++interface) {
    usbdevfs_getdriver query = {};
    query.interface = interface;
    int result = usbSys->ioctl(fd, USBDEVFS_GETDRIVER, &query);
    if (result == -ENODEV) return result;
    if (result < 0) continue;
    query.driver[sizeof query.driver - 1] = '\0';
    if (strstr(query.driver, "usbfs")) continue;
    usbdevfs_ioctl command = {};
    command.ifno = static_cast<int>(interface);
    command.ioctl_code = USBDEVFS_DISCONNECT;
    usbSys->ioctl(fd, USBDEVFS_IOCTL, &command);
  }
  return 0;
}

namespace {

// A new configuration makes the kernel add its interfaces, and with
// drivers_autoprobe at 1 ("AutoAttachToKernel") a host driver binds each
// one it matches before the ioctl returns: usb-storage takes a disk's
// interface and starts its scan. The driver is disconnected at once,
// before it has made a block device (usb-storage waits "delay_use", a
// second, before it scans), and the interface claimed for the client.
void takeInterfacesBack(int fd) {
  disconnectHostDrivers(fd);
  claimInterfaces(fd);
}

}  // namespace

int readConfigurationValue(const char* sysfsPath) {
  char path[320];
  if (!sysfsAttributePath(sysfsPath, "bConfigurationValue", path, sizeof path)) return -ENAMETOOLONG;
  int fd = usbSys->open(path, O_RDONLY, 0);
  if (fd < 0) return fd;
  char text[16] = {};
  ssize_t got = readFully(fd, text, sizeof text - 1);
  usbSys->close(fd);
  if (got < 0) return static_cast<int>(got);
  if (got == 0 || text[0] == '\n') return 0;
  char* end = nullptr;
  long value = strtol(text, &end, 10);
  if (end == text || value < 0 || value > 255) return -EINVAL;
  return static_cast<int>(value);
}

int setConfigurationIoctl(int fd, uint32_t address, int configurationValue) {
  unsigned int value = static_cast<unsigned int>(configurationValue);
  int result = usbSys->ioctl(fd, USBDEVFS_SETCONFIGURATION, &value);
  if (result == -EBUSY) {
    logMessage(6, "Setting configuration %d for device %u but it was busy, trying again in 1 sec", configurationValue,
               address);
    sleep(1);
    result = usbSys->ioctl(fd, USBDEVFS_SETCONFIGURATION, &value);
  }
  return result < 0 ? result : 0;
}

int resetDevice(uint32_t address) {
  if (int outcome = hookOutcome(runHookForDevice("onReset", address, true, nullptr, 0))) return outcome;
  int fd = acquireClientUsbfs(address);
  if (fd < 0) return -ENODEV;
  releaseInterfaces(fd);
  int result = usbSys->ioctl(fd, USBDEVFS_RESET, nullptr);
  if (result == -EBUSY) {
    logMessage(6, "Resetting device %u but it was busy, trying again in 1 sec", address);
    sleep(1);
    result = usbSys->ioctl(fd, USBDEVFS_RESET, nullptr);
  }
  takeInterfacesBack(fd);
  releaseClientUsbfs(address, fd);
  return result < 0 ? -1 : 0;
}

int setDeviceConfiguration(uint32_t address, int configurationValue) {
  if (int outcome = hookOutcome(runHookForDevice("onSetConfiguration", address, false, nullptr, 0))) return outcome;
  int result = applyDeviceConfiguration(address, configurationValue);
  return result == -ENODEV || result >= 0 ? result : -1;
}

int applyDeviceConfiguration(uint32_t address, int configurationValue) {
  int fd = acquireClientUsbfs(address);
  if (fd < 0) return -ENODEV;
  releaseInterfaces(fd);
  int result = setConfigurationIoctl(fd, address, configurationValue);
  takeInterfacesBack(fd);
  releaseClientUsbfs(address, fd);
  uint8_t stored = static_cast<uint8_t>(configurationValue);
  visitDevice(
      address, [](ManagedUsbDevice* device, void* in) { device->configurationValue = *static_cast<uint8_t*>(in); },
      &stored);
  return result;
}
