#include "ovusbd/usb/ignoreddevices.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "ovusbd/core/config.h"
#include "ovusbd/core/log.h"
#include "ovusbd/usb/devicerecord.h"
#include "ovusbd/usb/usbfilters.h"
#include "ovusbd/usb/usbsettings.h"

namespace {

constexpr char kIgnoredDevicesKey[] = "IgnoredDevices";

struct IgnoredDevice {
  uint16_t vendorId;
  uint16_t productId;
  char serial[128];  // empty: any serial
};

struct Edit {
  const IgnoredDevice* device;
  bool failed;
  bool full;
};

size_t countEntries(const char* list) {
  if (!list || !*list) return 0;
  size_t count = 1;
  for (const char* at = list; *at; ++at) count += *at == ',';
  return count;
}

bool serialListable(const char* serial) {
  for (const char* p = serial; p && *p; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c == ',' || c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

// Runs under the configuration store's lock, so two requests never both
// start from the same old text.
void appendEntry(char** value, void* arg) {
  Edit* edit = static_cast<Edit*>(arg);
  const IgnoredDevice* d = edit->device;
  char* added = addIgnoredDeviceEntry(*value, d->vendorId, d->productId, d->serial, &edit->failed);
  if (!added) return;
  if (countEntries(*value) >= kMaxIgnoredDevices) {
    free(added);
    edit->full = true;
    return;
  }
  free(*value);
  *value = added;
}

// The deviceList predicate: same ids, and the key's serial empty or equal to
// the device's. Devices already being removed are left to their removal.
bool matchIgnoredDevice(void* item, const void* key) {
  const ManagedUsbDevice* device = static_cast<const ManagedUsbDevice*>(item);
  const IgnoredDevice* d = static_cast<const IgnoredDevice*>(key);
  return device->state != DEVICE_REMOVED && device->vendorId == d->vendorId && device->productId == d->productId &&
         (d->serial[0] == '\0' || strcmp(d->serial, device->serial) == 0);
}

// The first managed device the entry covers.
bool findIgnoredDevice(const IgnoredDevice* device, uint32_t* address) {
  if (!deviceList) return false;
  struct Found {
    uint32_t address;
    bool found;
  } found{0, false};
  forEachInLockedList(
      deviceList, matchIgnoredDevice,
      [](void* item, void* out) {
        Found* f = static_cast<Found*>(out);
        f->address = static_cast<ManagedUsbDevice*>(item)->address;
        f->found = true;
      },
      device, &found, 1);
  *address = found.address;
  return found.found;
}

}  // namespace

int ignoreDeviceRefusal(uint16_t vendorId, uint16_t productId, const char* serial) {
  if (!serialListable(serial)) return -EINVAL;
  const char* platformDefault = defaultIgnoredDevices(usbSettings().platformCode, usbSettings().serverSerial);
  char* current = getConfigString(kIgnoredDevicesKey, platformDefault, false);
  bool failed = false;
  char* added = addIgnoredDeviceEntry(current, vendorId, productId, serial ? serial : "", &failed);
  const bool full = added && countEntries(current) >= kMaxIgnoredDevices;
  free(added);
  free(current);
  return full ? -ENOSPC : 0;
}

int ignoreDevice(uint16_t vendorId, uint16_t productId, const char* serial) {
  IgnoredDevice device{vendorId, productId, {}};
  if (serial) {
    if (!serialListable(serial)) return -EINVAL;
    strncpy(device.serial, serial, sizeof device.serial - 1);
  }
  const char* platformDefault = defaultIgnoredDevices(usbSettings().platformCode, usbSettings().serverSerial);
  // Most requests name a device that is listed already: those leave the
  // configuration as it is.
  // Read as written, like discovery reads it: the list holds clients' text.
  char* current = getConfigString(kIgnoredDevicesKey, platformDefault, false);
  bool failed = false;
  char* added = addIgnoredDeviceEntry(current, vendorId, productId, device.serial, &failed);
  free(current);
  const bool covered = !added && !failed;
  free(added);
  if (covered) return 0;  // nothing changes and nothing is removed
  Edit edit{&device, false, false};
  int result = editConfigStringWithDefault(kIgnoredDevicesKey, platformDefault, appendEntry, &edit);
  if (result == 0 && edit.failed) result = -ENOMEM;
  if (result == 0 && edit.full) return -ENOSPC;
  if (result < 0) {
    logMessage(3, "Error %d adding device %04x:%04x to IgnoredDevices, %s", -result, vendorId, productId,
               strerror(-result));
    return result;
  }
  uint32_t address;
  // Each pass removes the device found, or finds it already gone.
  while (findIgnoredDevice(&device, &address)) unplugDevice(address, nullptr, 0);
  return 0;
}
