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
#include <sys/wait.h>

#include <memory>

#include "ovusbd/core/log.h"
#include "ovusbd/usb/clientwork.h"
#include "ovusbd/usb/descriptors.h"
#include "ovusbd/usb/devicehooks.h"
#include "ovusbd/usb/devicereset.h"
#include "ovusbd/usb/deviceops.h"
#include "ovusbd/usb/devicerecord.h"
#include "ovusbd/usb/mounttable.h"
#include "ovusbd/usb/sysfs.h"
#include "ovusbd/usb/usbfsaccess.h"
#include "ovusbd/usb/usbsettings.h"
#include "ovusbd/usb/usbsys.h"

namespace {

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
    releaseUsbfs(address, fd);
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

// The kernel names interfaces "<device>:<configuration>.<interface>".
void probeInterfaceDrivers(const char* name, int configuration) {
  for (int n = 0;; ++n) {
    int fd = usbSys->open("/sys/bus/usb/drivers_probe", O_WRONLY, 0);
    if (fd < 0) return;
    char interface[300];
    snprintf(interface, sizeof interface, "%s:%d.%d", name, configuration, n);
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
    snprintf(next, sizeof next, "/sys/bus/usb/devices/%s:%d.%d", name, configuration, n + 1);
    if (!pathExists(next)) return;
  }
}

// ---- unmounting before the claim ----

constexpr int kMassStorageClass = 8;
constexpr size_t kMaxBlockDevices = 32;
constexpr size_t kBlockNameSize = 32;
// A mounts table larger than this is not read whole; NAS tables are tiny.
constexpr size_t kMountTableLimit = 1 << 20;

struct BlockNames {
  char names[kMaxBlockDevices][kBlockNameSize];
  size_t count;
};

// Disks of the SCSI layer ("sd" and letters only: the name goes into a
// shell command line).
int collectDiskName(void* context, const char* name) {
  BlockNames* found = static_cast<BlockNames*>(context);
  size_t length = strlen(name);
  if (length < 3 || length >= kBlockNameSize || strncmp(name, "sd", 2) != 0) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (name[i] < 'a' || name[i] > 'z') return 0;
  }
  if (found->count < kMaxBlockDevices) memcpy(found->names[found->count++], name, length + 1);
  return 0;
}

// The disks whose sysfs directory lies below the device's.
void disksOfDevice(const char* sysfsPath, BlockNames* disks) {
  char device[4096];
  disks->count = 0;
  if (resolvePath(sysfsPath, device, sizeof device - 1) < 0) return;
  strcat(device, "/");
  BlockNames all = {};
  usbSys->listDirectory("/sys/block", collectDiskName, &all);
  for (size_t i = 0; i < all.count; ++i) {
    char link[64], resolved[4096];
    snprintf(link, sizeof link, "/sys/block/%s", all.names[i]);
    if (resolvePath(link, resolved, sizeof resolved) < 0) continue;
    if (strncmp(resolved, device, strlen(device)) == 0) memcpy(disks->names[disks->count++], all.names[i], kBlockNameSize);
  }
}

// The whole file as a new NUL-terminated text; null when it cannot be read.
char* readTextFile(const char* path, size_t limit, size_t* length) {
  int fd = usbSys->open(path, O_RDONLY, 0);
  if (fd < 0) return nullptr;
  size_t capacity = 4096, used = 0;
  char* text = static_cast<char*>(malloc(capacity + 1));
  while (text) {
    ssize_t got = readFully(fd, text + used, capacity - used);
    if (got < 0) {
      free(text);
      text = nullptr;
      break;
    }
    used += static_cast<size_t>(got);
    if (used < capacity || capacity >= limit) break;
    capacity *= 2;
    char* bigger = static_cast<char*>(realloc(text, capacity + 1));
    if (!bigger) free(text);
    text = bigger;
  }
  usbSys->close(fd);
  if (text) {
    text[used] = '\0';
    *length = used;
  }
  return text;
}

// Unmounts one mount; non-zero stops the walk and the claim.
int unmountOne(void*, const char* device) {
  char command[32 + kMountDeviceSize];
  snprintf(command, sizeof command, "umount %s", device);
  int status = usbSys->runCommand(command);
  if (status < 0) {
    logMessage(3, "Error %d (%s) unmounting before grabbing, not grabbing", -status, strerror(-status));
    return -1;
  }
  if (WIFSIGNALED(status)) {
    const int error = errno;
    logMessage(3, "Error %d (%s) unhandled signal %d:%d while unmounting, not grabbing", error, strerror(error),
               (status >> 8) & 0xff, status & 0x7f);
    return -1;
  }
  if (!WIFEXITED(status)) {
    logMessage(3, "Error %d, umount didnt exit normally, not grabbing", status);
    return -1;
  }
  // umount's own exit code does not count: a mount that is already gone is
  // what the claim wants.
  return 0;
}

// Every mount of the device's disks and their partitions goes, not just
// the first one found: the host must not keep writing to a file system
// whose device a client now drives. 0 = go on, -1 = do not take it.
int unmountBeforeGrab(uint32_t address) {
  char sysfsPath[255];
  getDeviceSysfsPath(address, sysfsPath);
  uint8_t* descriptors = getDeviceDescriptorsCopy(address);
  if (!descriptors) return 0;
  int interfaceClass = firstInterfaceClass(descriptors, kDescriptorsSize);
  free(descriptors);
  if (interfaceClass != kMassStorageClass || sysfsPath[0] == '\0') return 0;
  BlockNames disks;
  disksOfDevice(sysfsPath, &disks);
  if (disks.count == 0) return 0;
  size_t length = 0;
  char* mounts = readTextFile("/etc/mtab", kMountTableLimit, &length);
  if (!mounts) return 0;
  int result = 0;
  for (size_t i = 0; i < disks.count && result == 0; ++i) {
    result = forEachBlockDeviceMount(mounts, length, disks.names[i], unmountOne, nullptr);
  }
  free(mounts);
  return result;
}

// bConfigurationValue of the first configuration descriptor, which
// follows the 18-byte device descriptor; 0 when there is none.
int firstConfigurationValue(const uint8_t* descriptors) {
  constexpr size_t kConfiguration = 18;
  if (descriptors[kConfiguration] < 9 || descriptors[kConfiguration + 1] != 2) return 0;
  return descriptors[kConfiguration + 5];
}

// A client may leave the device in another configuration, or none: the
// kernel then has no interface to bind a driver to ("Error 19 writing ...
// to usb drivers_probe"), and the host never sees the device again until
// someone configures it. The configuration of the claim comes back, or the
// first one when the device had none then. The interfaces are released.
void restoreClaimedConfiguration(uint32_t address, int fd) {
  struct Facts {
    uint8_t claimed;
    uint8_t set;
    char sysfsPath[255];
    uint8_t firstConfiguration;
  } facts{};
  visitDevice(
      address,
      [](ManagedUsbDevice* device, void* out) {
        Facts* facts = static_cast<Facts*>(out);
        facts->claimed = device->claimedConfiguration;
        facts->set = device->configurationValue;
        memcpy(facts->sysfsPath, device->sysfsPath, sizeof facts->sysfsPath);
        facts->firstConfiguration = static_cast<uint8_t>(firstConfigurationValue(device->descriptors));
      },
      &facts);
  int target = facts.claimed ? facts.claimed : facts.firstConfiguration;
  if (target == 0) return;
  int current = readConfigurationValue(facts.sysfsPath);
  // Without sysfs the record tells whether a client changed it (255: no
  // change through the server).
  if (current < 0) current = facts.set == 255 ? target : facts.set;
  if (current == target) return;
  int result = setConfigurationIoctl(fd, address, target);
  if (result < 0) {
    logMessage(3, "Error %d restoring configuration %d of device %u, %s", -result, target, address, strerror(-result));
  } else {
    logMessage(6, "Restored configuration %d of device %u", target, address);
  }
}

}  // namespace

int claimDevice(uint32_t address, int* resetResult) {
  *resetResult = 0;
  if (usbSettings().nasPlatform && unmountBeforeGrab(address) != 0) return -1;
  char sysfsPath[255];
  getDeviceSysfsPath(address, sysfsPath);
  int configuration = readConfigurationValue(sysfsPath);
  uint8_t claimed = configuration > 0 ? static_cast<uint8_t>(configuration) : 0;
  visitDevice(
      address,
      [](ManagedUsbDevice* device, void* in) { device->claimedConfiguration = *static_cast<uint8_t*>(in); },
      &claimed);
  openClientWork(address);
  int fd = acquireUsbfs(address);
  if (fd >= 0) {
    // A descriptor usbfs revoked (the generic driver let go of the device
    // for a while) fails every call; the claim goes on through the node
    // opened again.
    if (disconnectHostDrivers(fd) == -ENODEV) {
      int renewed = renewUsbfs(address, fd);
      if (renewed >= 0) {
        fd = renewed;
        disconnectHostDrivers(fd);
      }
    }
    releaseUsbfs(address, fd);
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
  // A descriptor revoked under the binding: the kernel let the claims go
  // with it, and the configuration is the new holder's business.
  if (releaseInterfaces(fd) == 0) restoreClaimedConfiguration(address, fd);
  releaseUsbfs(address, fd);
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
    int configuration = readConfigurationValue(sysfsPath);
    probeInterfaceDrivers(name, configuration > 0 ? configuration : 1);
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
