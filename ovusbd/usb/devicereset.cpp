#include "ovusbd/usb/devicereset.h"

#include <errno.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "ovusbd/core/log.h"
#include "ovusbd/usb/devicehooks.h"
#include "ovusbd/usb/devicerecord.h"
#include "ovusbd/usb/usbfsaccess.h"
#include "ovusbd/usb/usbsys.h"

void claimInterfaces(int fd) {
  for (unsigned int interface = 0; interface < 8; ++interface) {
    if (usbSys->ioctl(fd, USBDEVFS_CLAIMINTERFACE, &interface) < 0) break;
  }
}

void releaseInterfaces(int fd) {
  for (unsigned int interface = 0; interface < 8; ++interface) {
    if (usbSys->ioctl(fd, USBDEVFS_RELEASEINTERFACE, &interface) < 0) break;
  }
}

int resetDevice(uint32_t address) {
  if (int outcome = hookOutcome(runHookForDevice("onReset", address, true, nullptr, 0))) return outcome;
  int fd = acquireUsbfs(address);
  if (fd < 0) return -ENODEV;
  releaseInterfaces(fd);
  int result = usbSys->ioctl(fd, USBDEVFS_RESET, nullptr);
  if (result == -EBUSY) {
    logMessage(6, "Resetting device %u but it was busy, trying again in 1 sec", address);
    sleep(1);
    result = usbSys->ioctl(fd, USBDEVFS_RESET, nullptr);
  }
  claimInterfaces(fd);
  releaseUsbfs(address);
  return result < 0 ? -1 : 0;
}

int setDeviceConfiguration(uint32_t address, int configurationValue) {
  if (int outcome = hookOutcome(runHookForDevice("onSetConfiguration", address, false, nullptr, 0))) return outcome;
  int result = applyDeviceConfiguration(address, configurationValue);
  return result == -ENODEV || result >= 0 ? result : -1;
}

int applyDeviceConfiguration(uint32_t address, int configurationValue) {
  int fd = acquireUsbfs(address);
  if (fd < 0) return -ENODEV;
  releaseInterfaces(fd);
  unsigned int value = static_cast<unsigned int>(configurationValue);
  int result = usbSys->ioctl(fd, USBDEVFS_SETCONFIGURATION, &value);
  if (result == -EBUSY) {
    logMessage(6, "Setting configuration %d for device %u but it was busy, trying again in 1 sec", configurationValue,
               address);
    sleep(1);
    result = usbSys->ioctl(fd, USBDEVFS_SETCONFIGURATION, &value);
  }
  claimInterfaces(fd);
  releaseUsbfs(address);
  uint8_t stored = static_cast<uint8_t>(configurationValue);
  visitDevice(
      address, [](ManagedUsbDevice* device, void* in) { device->configurationValue = *static_cast<uint8_t*>(in); },
      &stored);
  return result < 0 ? result : 0;
}
