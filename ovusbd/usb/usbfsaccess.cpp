#include "ovusbd/usb/usbfsaccess.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>

#include "ovusbd/core/log.h"
#include "ovusbd/usb/devicerecord.h"
#include "ovusbd/usb/deviceworkers.h"
#include "ovusbd/usb/sysfs.h"
#include "ovusbd/usb/usbsys.h"

namespace {

// Wakes the removal when a user releases a descriptor. Taken before the
// device list lock, never inside it.
pthread_mutex_t usersMutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t usersReleased = PTHREAD_COND_INITIALIZER;

bool present(const ManagedUsbDevice* device) { return device->state != DEVICE_REMOVED; }

struct Discard {
  int fd;
  int endpoint;
  const char* reason;
  const char* sysfsPath;
  usbdevfs_urb* only;
  bool found;
};

// DISCARDURB does not block: usbfs unlinks the URB and the HCD gives it back
// later through the reap. So it may run under the list locks.
void discardOne(void* item, void* out) {
  Discard* discard = static_cast<Discard*>(out);
  usbdevfs_urb* urb = static_cast<usbdevfs_urb*>(item);
  if (discard->only && urb != discard->only) return;
  if (discard->endpoint >= 0 && urb->endpoint != discard->endpoint) return;
  discard->found = true;
  int result = usbSys->ioctl(discard->fd, USBDEVFS_DISCARDURB, urb);
  if (result < 0 && result != -ENODEV) {
    logMessage(4, "Error %d discarding urb %p for device %s, %s (%s)", -result, static_cast<void*>(urb),
               discard->sysfsPath, strerror(-result), discard->reason);
  }
}

void discardIn(ManagedUsbDevice* device, void* context) {
  Discard* discard = static_cast<Discard*>(context);
  if (!present(device) || !device->inflightUrbs) return;
  discard->fd = device->usbfsFd;
  discard->sysfsPath = device->sysfsPath;
  forEachInLockedList(device->inflightUrbs, nullptr, discardOne, nullptr, discard, 0);
}

bool isUrb(void* item, const void* key) { return item == key; }

}  // namespace

int acquireUsbfs(uint32_t address) {
  int fd = -ENODEV;
  visitDevice(
      address,
      [](ManagedUsbDevice* device, void* out) {
        if (!present(device)) return;
        ++device->usbfsUsers;
        ++device->descriptorUsers;
        *static_cast<int*>(out) = device->usbfsFd;
      },
      &fd);
  return fd;
}

void releaseUsbfs(uint32_t address, int fd) {
  struct Release {
    int fd;
    int close;
  } release{fd, -1};
  visitDevice(
      address,
      [](ManagedUsbDevice* device, void* context) {
        Release* release = static_cast<Release*>(context);
        if (device->usbfsUsers) --device->usbfsUsers;
        if (release->fd < 0) return;
        if (release->fd == device->usbfsFd) {
          if (device->descriptorUsers) --device->descriptorUsers;
        } else if (release->fd == device->retiredFd && device->retiredUsers && --device->retiredUsers == 0) {
          release->close = device->retiredFd;
          device->retiredFd = -1;
        }
      },
      &release);
  // Outside the list lock: closing a usbfs descriptor kills its URBs and
  // waits for them. No thread holds the number any more.
  if (release.close >= 0) usbSys->close(release.close);
  pthread_mutex_lock(&usersMutex);
  pthread_cond_broadcast(&usersReleased);
  pthread_mutex_unlock(&usersMutex);
}

int acquireClientUsbfs(uint32_t address) {
  int fd = -ENODEV;
  visitDevice(
      address,
      [](ManagedUsbDevice* device, void* out) {
        if (!present(device) || device->closedToClients) return;
        ++device->usbfsUsers;
        ++device->descriptorUsers;
        ++device->clientUsers;
        *static_cast<int*>(out) = device->usbfsFd;
      },
      &fd);
  return fd;
}

void releaseClientUsbfs(uint32_t address, int fd) {
  visitDevice(
      address,
      [](ManagedUsbDevice* device, void*) {
        if (device->clientUsers) --device->clientUsers;
      },
      nullptr);
  releaseUsbfs(address, fd);
}

namespace {

struct Renewal {
  int fd;        // the caller's, held
  int fresh;     // a new descriptor of the node; -1 once the record owns it
  int result;    // the descriptor the hold moved to, or -errno
  int close;     // a retired descriptor whose last hold this was
};

// Under the list lock. The caller's hold counts on fd, so fd is still open:
// it is the device's descriptor or its retired one, never a reused number.
void renewIn(ManagedUsbDevice* device, void* context) {
  Renewal* renewal = static_cast<Renewal*>(context);
  if (!present(device) || device->unplugged) {
    renewal->result = -ENODEV;
    return;
  }
  if (renewal->fd == device->usbfsFd) {
    if (renewal->fresh < 0) {
      renewal->result = -EAGAIN;
      return;
    }
    if (device->retiredFd >= 0) {
      renewal->result = -EBUSY;
      return;
    }
    device->retiredFd = device->usbfsFd;
    device->retiredUsers = device->descriptorUsers;
    device->descriptorUsers = 0;
    device->usbfsFd = renewal->fresh;
    renewal->fresh = -1;
    wakeDeviceReaper(device);
  } else if (renewal->fd != device->retiredFd) {
    renewal->result = -ENODEV;
    return;
  }
  // The hold moves from the retired descriptor to the device's.
  ++device->descriptorUsers;
  if (device->retiredUsers && --device->retiredUsers == 0) {
    renewal->close = device->retiredFd;
    device->retiredFd = -1;
  }
  renewal->result = device->usbfsFd;
}

// *taken tells whether the record took `fresh`; otherwise it is closed.
int moveHold(uint32_t address, int fd, int fresh, bool* taken) {
  Renewal renewal{fd, fresh, -ENODEV, -1};
  visitDevice(address, renewIn, &renewal);
  *taken = fresh >= 0 && renewal.fresh < 0;
  if (renewal.fresh >= 0) usbSys->close(renewal.fresh);
  if (renewal.close >= 0) usbSys->close(renewal.close);
  return renewal.result;
}

bool pathExists(const char* path) {
  struct stat status;
  return usbSys->stat(path, &status) == 0;
}

// The device's driver when it is a device driver other than the generic
// "usb" one (usbip-host, say), which has the device to itself: a claim
// would reset it under that driver. Empty while the generic driver or none
// holds it.
void otherDeviceDriver(const char* sysfsPath, char* name, size_t size) {
  name[0] = '\0';
  char link[320], target[256];
  if (!sysfsAttributePath(sysfsPath, "driver", link, sizeof link)) return;
  ssize_t length = usbSys->readlink(link, target, sizeof target - 1);
  if (length < 0) return;
  target[length] = '\0';
  const char* slash = strrchr(target, '/');
  const char* driver = slash ? slash + 1 : target;
  if (strcmp(driver, "usb") != 0) snprintf(name, size, "%s", driver);
}

}  // namespace

int renewUsbfs(uint32_t address, int fd) {
  struct Facts {
    int fd;
    bool current;
    char sysfsPath[255];
    char nodePath[255];
  } facts{fd, false, {}, {}};
  bool found = visitDevice(
      address,
      [](ManagedUsbDevice* device, void* out) {
        Facts* facts = static_cast<Facts*>(out);
        facts->current = present(device) && !device->unplugged && device->usbfsFd == facts->fd;
        memcpy(facts->sysfsPath, device->sysfsPath, sizeof facts->sysfsPath);
        memcpy(facts->nodePath, device->nodePath, sizeof facts->nodePath);
      },
      &facts);
  if (!found) return -ENODEV;
  int fresh = -1;
  if (facts.current) {
    // A device that left the bus is gone from sysfs and /dev before its
    // removal reaches the record; its node must not be opened again.
    if (!pathExists(facts.sysfsPath) || !pathExists(facts.nodePath)) return -ENODEV;
    char driver[256];
    otherDeviceDriver(facts.sysfsPath, driver, sizeof driver);
    if (driver[0]) {
      logMessage(4, "Warning, device %u (%s) is held by the %s driver, not opening it again", address, facts.sysfsPath,
                 driver);
      return -EBUSY;
    }
    fresh = usbSys->open(facts.nodePath, O_RDWR, 0);
    if (fresh < 0) {
      logMessage(4, "Warning, error %d opening device (%s) again after usbfs revoked its descriptor, %s", -fresh,
                 facts.nodePath, strerror(-fresh));
      return -ENODEV;
    }
  }
  bool taken = false;
  int result = moveHold(address, fd, fresh, &taken);
  if (taken) {
    logMessage(6, "usbfs revoked the descriptor of device %u (%s), opened it again", address, facts.sysfsPath);
  }
  return result == -EAGAIN ? -ENODEV : result;
}

int followRenewedUsbfs(uint32_t address, int fd) {
  bool taken = false;
  return moveHold(address, fd, -1, &taken);
}

void waitForClientUsers(uint32_t address) {
  pthread_mutex_lock(&usersMutex);
  for (;;) {
    uint32_t users = 0;
    visitDevice(
        address, [](ManagedUsbDevice* device, void* out) { *static_cast<uint32_t*>(out) = device->clientUsers; },
        &users);
    if (users == 0) break;
    pthread_cond_wait(&usersReleased, &usersMutex);
  }
  pthread_mutex_unlock(&usersMutex);
}

void waitForUsbfsUsers(uint32_t address) {
  pthread_mutex_lock(&usersMutex);
  for (;;) {
    uint32_t users = 0;
    visitDevice(
        address, [](ManagedUsbDevice* device, void* out) { *static_cast<uint32_t*>(out) = device->usbfsUsers; },
        &users);
    if (users == 0) break;
    pthread_cond_wait(&usersReleased, &usersMutex);
  }
  pthread_mutex_unlock(&usersMutex);
}

int appendInflightUrb(uint32_t address, usbdevfs_urb* urb) {
  struct Append {
    usbdevfs_urb* urb;
    int result;
  } append{urb, -ENODEV};
  visitDevice(
      address,
      [](ManagedUsbDevice* device, void* out) {
        Append* append = static_cast<Append*>(out);
        if (present(device) && device->inflightUrbs) append->result = appendToLockedList(device->inflightUrbs, append->urb);
      },
      &append);
  return append.result;
}

bool removeInflightUrb(uint32_t address, usbdevfs_urb* urb) {
  struct Remove {
    usbdevfs_urb* urb;
    bool found;
  } remove{urb, false};
  visitDevice(
      address,
      [](ManagedUsbDevice* device, void* out) {
        Remove* remove = static_cast<Remove*>(out);
        if (!device->inflightUrbs) return;
        remove->found = findInLockedList(device->inflightUrbs, isUrb, remove->urb);
        if (remove->found) removeFromLockedList(device->inflightUrbs, isUrb, nullptr, remove->urb, nullptr);
      },
      &remove);
  return remove.found;
}

size_t countInflightUrbs(uint32_t address, int endpoint) {
  struct Count {
    int endpoint;
    size_t count;
  } count{endpoint, 0};
  visitDevice(
      address,
      [](ManagedUsbDevice* device, void* out) {
        if (!device->inflightUrbs) return;
        forEachInLockedList(
            device->inflightUrbs, nullptr,
            [](void* item, void* out) {
              Count* count = static_cast<Count*>(out);
              int urbEndpoint = static_cast<usbdevfs_urb*>(item)->endpoint;
              if (count->endpoint < 0 || urbEndpoint == count->endpoint) ++count->count;
            },
            nullptr, out, 0);
      },
      &count);
  return count.count;
}

void discardInflightUrbs(uint32_t address, int endpoint, const char* reason) {
  Discard discard{-1, endpoint, reason, "", nullptr, false};
  visitDevice(address, discardIn, &discard);
}

bool discardInflightUrb(uint32_t address, usbdevfs_urb* urb, const char* reason) {
  Discard discard{-1, -1, reason, "", urb, false};
  visitDevice(address, discardIn, &discard);
  return discard.found;
}

void discardDeviceUrbs(ManagedUsbDevice* device, const char* reason) {
  if (!device->inflightUrbs) return;
  Discard discard{device->usbfsFd, -1, reason, device->sysfsPath, nullptr, false};
  forEachInLockedList(device->inflightUrbs, nullptr, discardOne, nullptr, &discard, 0);
}
