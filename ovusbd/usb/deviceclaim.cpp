#include "ovusbd/usb/deviceclaim.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <memory>

#include "ovusbd/core/log.h"
#include "ovusbd/usb/devicehooks.h"
#include "ovusbd/usb/devicereset.h"
#include "ovusbd/usb/deviceops.h"
#include "ovusbd/usb/devicerecord.h"
#include "ovusbd/usb/usbfsaccess.h"
#include "ovusbd/usb/usbsettings.h"
#include "ovusbd/usb/usbsys.h"

namespace {

// USBDEVFS_GETDRIVER names every interface driver; the interfaces of a
// usbfs user (this server, or another program) report "usbfs".
void disconnectHostDrivers(int fd) {
  for (unsigned int interface = 0; interface < 16; ++interface) {
    usbdevfs_getdriver query = {};
    query.interface = interface;
    if (usbSys->ioctl(fd, USBDEVFS_GETDRIVER, &query) < 0) continue;
    query.driver[sizeof query.driver - 1] = '\0';
    if (strstr(query.driver, "usbfs")) continue;
    usbdevfs_ioctl command = {};
    command.ifno = static_cast<int>(interface);
    command.ioctl_code = USBDEVFS_DISCONNECT;
    usbSys->ioctl(fd, USBDEVFS_IOCTL, &command);
  }
}

// The claim's wait for its reset; lives on the claiming thread's stack until
// `done` is seen.
struct ResetWait {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t condition = PTHREAD_COND_INITIALIZER;
  bool done = false;  // guarded by mutex
  int result = 0;     // guarded by mutex
};

void claimResetDone(int result, void* context) {
  ResetWait* wait = static_cast<ResetWait*>(context);
  pthread_mutex_lock(&wait->mutex);
  wait->result = result;
  wait->done = true;
  pthread_cond_signal(&wait->condition);
  pthread_mutex_unlock(&wait->mutex);
}

void probeZeroCopy(uint32_t address) {
  uint8_t capable = 0;
  int fd = acquireUsbfs(address);
  if (fd >= 0) {
    uint32_t capabilities = 0;
    if (usbSys->ioctl(fd, USBDEVFS_GET_CAPABILITIES, &capabilities) >= 0 && (capabilities & USBDEVFS_CAP_MMAP)) {
      capable = 1;
    }
    releaseUsbfs(address);
  }
  visitDevice(
      address, [](ManagedUsbDevice* device, void* value) { device->zeroCopyCapable = *static_cast<uint8_t*>(value); },
      &capable);
}

const char* lastComponent(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash ? slash + 1 : path;
}

bool pathExists(const char* path) {
  struct stat status;
  return usbSys->stat(path, &status) == 0;
}

// Writes all of text to a sysfs file. Returns the bytes written or -errno.
ssize_t writeSysfsText(int fd, const char* text) { return usbSys->write(fd, text, strlen(text)); }

void probeInterfaceDrivers(const char* name) {
  for (int n = 0;; ++n) {
    int fd = usbSys->open("/sys/bus/usb/drivers_probe", O_WRONLY, 0);
    if (fd < 0) return;
    char interface[300];
    snprintf(interface, sizeof interface, "%s:1.%d", name, n);
    ssize_t written = writeSysfsText(fd, interface);
    usbSys->close(fd);
    if (written != static_cast<ssize_t>(strlen(interface))) {
      int error = written < 0 ? static_cast<int>(-written) : EIO;
      logMessage(3, "Error %d writing \"%s\" to usb drivers_probe, %s", error, interface, strerror(error));
      return;
    }
    // Interfaces are listed beside devices in /sys/bus/usb/devices, whatever
    // path the record was found under.
    char next[320];
    snprintf(next, sizeof next, "/sys/bus/usb/devices/%s:1.%d", name, n + 1);
    if (!pathExists(next)) return;
  }
}

}  // namespace

int claimDevice(uint32_t address, int* resetResult) {
  *resetResult = 0;
  int fd = acquireUsbfs(address);
  if (fd >= 0) {
    disconnectHostDrivers(fd);
    releaseUsbfs(address);
  }
  ResetWait wait;
  if (queueDeviceReset(address, claimResetDone, &wait) == -ENOMEM) {
    claimResetDone(-ENOMEM, &wait);
  }
  pthread_mutex_lock(&wait.mutex);
  while (!wait.done) pthread_cond_wait(&wait.condition, &wait.mutex);
  int result = wait.result;
  pthread_mutex_unlock(&wait.mutex);
  pthread_cond_destroy(&wait.condition);
  pthread_mutex_destroy(&wait.mutex);
  if (result < 0) {
    logMessage(3, "Error %d resetting device 0x%04x/0x%04x for capture", result, getDeviceVendorId(address),
               getDeviceProductId(address));
    *resetResult = result;
    return -1;
  }
  if (usbSettings().enableIsoZeroCopy || usbSettings().enableBulkIntZeroCopy) probeZeroCopy(address);
  return 1;
}

void releaseDeviceClaim(uint32_t address) {
  int fd = acquireUsbfs(address);
  if (fd < 0) return;
  releaseInterfaces(fd);
  releaseUsbfs(address);
  visitDevice(address, [](ManagedUsbDevice* device, void*) { device->configurationValue = 255; }, nullptr);
}

bool setDeviceBound(uint32_t address, bool bound) {
  struct Change {
    uint8_t state;
    bool done;
  } change{bound ? DEVICE_BOUND : DEVICE_FREE, false};
  visitDevice(
      address,
      [](ManagedUsbDevice* device, void* context) {
        Change* change = static_cast<Change*>(context);
        if (device->state == DEVICE_REMOVED) return;
        device->state = change->state;
        change->done = true;
      },
      &change);
  return change.done;
}

uint8_t getDeviceSpeed(uint32_t address) {
  uint8_t speed = 2;
  visitDevice(address, [](ManagedUsbDevice* device, void* out) { *static_cast<uint8_t*>(out) = device->speed; },
              &speed);
  return speed;
}

namespace {

void bindToHostDrivers(const char* sysfsPath) {
  const char* name = lastComponent(sysfsPath);
  int fd = usbSys->open("/sys/bus/usb/drivers/usb/bind", O_WRONLY, 0);
  if (fd < 0) {
    logMessage(3, "Error %d opening usb bind, %s", -fd, strerror(-fd));
    return;
  }
  ssize_t written = writeSysfsText(fd, name);
  usbSys->close(fd);
  if (written == static_cast<ssize_t>(strlen(name)) || written == -EBUSY) {
    probeInterfaceDrivers(name);
    return;
  }
  int error = written < 0 ? static_cast<int>(-written) : EIO;
  logMessage(3, "Error %d writing \"%s\" to usb bind, %s", error, name, strerror(error));
}

}  // namespace

void passToKernel(uint32_t address, uint16_t vendorId, uint16_t productId, const char* sysfsPath) {
  bindToHostDrivers(sysfsPath);
  // Discovery hands back devices that never got a record: the ids and the
  // path come from the caller, the descriptors (zeroes then) from the record.
  std::unique_ptr<uint8_t, void (*)(void*)> descriptors(getDeviceDescriptorsCopy(address), free);
  findDeviceHook("onPassToKernel", vendorId, productId, nullptr, sysfsPath, address, descriptors.get(), nullptr, 0,
                 nullptr);
}
