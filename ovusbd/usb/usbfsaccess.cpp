#include "ovusbd/usb/usbfsaccess.h"

#include <sys/ioctl.h>
#include <errno.h>
#include <pthread.h>
#include <string.h>

#include "ovusbd/core/log.h"
#include "ovusbd/usb/devicerecord.h"
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
        *static_cast<int*>(out) = device->usbfsFd;
      },
      &fd);
  return fd;
}

void releaseUsbfs(uint32_t address) {
  visitDevice(
      address,
      [](ManagedUsbDevice* device, void*) {
        if (device->usbfsUsers) --device->usbfsUsers;
      },
      nullptr);
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
        ++device->clientUsers;
        *static_cast<int*>(out) = device->usbfsFd;
      },
      &fd);
  return fd;
}

void releaseClientUsbfs(uint32_t address) {
  visitDevice(
      address,
      [](ManagedUsbDevice* device, void*) {
        if (device->clientUsers) --device->clientUsers;
      },
      nullptr);
  releaseUsbfs(address);
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
