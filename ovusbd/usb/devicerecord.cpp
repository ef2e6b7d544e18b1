#include "ovusbd/usb/devicerecord.h"

#include <sys/ioctl.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ovusbd/core/log.h"
#include "ovusbd/core/platform.h"
#include "ovusbd/core/util.h"
#include "ovusbd/usb/controlwatchdog.h"
#include "ovusbd/usb/deviceops.h"
#include "ovusbd/usb/devicehooks.h"
#include "ovusbd/usb/urbgroup.h"
#include "ovusbd/usb/urbsubmit.h"
#include "ovusbd/usb/usbfsaccess.h"
#include "ovusbd/usb/usbsettings.h"
#include "ovusbd/usb/deviceworkers.h"
#include "ovusbd/usb/hubports.h"
#include "ovusbd/usb/sysfs.h"
#include "ovusbd/usb/usbfilters.h"
#include "ovusbd/usb/usbevents.h"
#include "ovusbd/usb/usbname.h"
#include "ovusbd/usb/usbsys.h"

LockedList* deviceList = nullptr;
pthread_mutex_t deviceLifecycleMutex = PTHREAD_MUTEX_INITIALIZER;

namespace {

bool matchAddress(void* item, const void* key) {
  return static_cast<ManagedUsbDevice*>(item)->address == *static_cast<const uint32_t*>(key);
}

struct Visit {
  void (*visit)(ManagedUsbDevice* device, void* context);
  void* context;
  bool found;
};

void runVisit(void* item, void* out) {
  Visit* visit = static_cast<Visit*>(out);
  visit->found = true;
  visit->visit(static_cast<ManagedUsbDevice*>(item), visit->context);
}

// Copies at most size-1 bytes and terminates.
void copyText(char* destination, size_t size, const char* source) {
  snprintf(destination, size, "%s", source ? source : "");
}

int errorLevel() { return usbSettings().platformCode == kPlatformQnap ? 4 : 3; }

// Opens an attribute of the device; -errno on failure, path filled either way.
int openAttribute(const char* sysfsName, const char* attribute, char* path, size_t size) {
  if (!sysfsAttributePath(sysfsName, attribute, path, size)) return -ENAMETOOLONG;
  return usbSys->open(path, O_RDONLY, 0);
}

// Reads the descriptors into buffer (kDescriptorsSize bytes). Returns the
// length, or a negative errno after logging.
long readDescriptors(const char* sysfsName, uint8_t* buffer) {
  char path[4096];
  int fd = openAttribute(sysfsName, "descriptors", path, sizeof path);
  if (fd < 0) {
    logMessage(errorLevel(), "Error %d opening device descriptors (%s), %s", -fd, path, strerror(-fd));
    return fd;
  }
  ssize_t length = readFully(fd, buffer, kDescriptorsSize);
  uint8_t extra;
  ssize_t more = length == static_cast<ssize_t>(kDescriptorsSize) ? readFully(fd, &extra, 1) : 0;
  usbSys->close(fd);
  if (length <= 0) {
    int error = length < 0 ? static_cast<int>(-length) : ENODATA;
    logMessage(3, "Error %d reading device descriptors (%s), %s", error, path, strerror(error));
    return -error;
  }
  // The record's copy is what clients get; a cut copy would be a lie.
  if (more > 0) {
    logMessage(3, "Error, device descriptors (%s) are longer than %zu bytes", path, kDescriptorsSize);
    return -EMSGSIZE;
  }
  if (!deviceDescriptorValid(buffer, static_cast<size_t>(length))) {
    logMessage(3, "Error, device descriptors (%s) are truncated or malformed (%zd bytes)", path, length);
    return -EBADMSG;
  }
  return length;
}

int readSpeed(const char* sysfsName, uint8_t* speed) {
  char path[4096];
  int fd = openAttribute(sysfsName, "speed", path, sizeof path);
  if (fd < 0) {
    logMessage(3, "Error %d opening device speed %s, %s", -fd, path, strerror(-fd));
    return fd;
  }
  char text[9] = {};
  ssize_t got = usbSys->read(fd, text, 8);
  usbSys->close(fd);
  if (got <= 0) {
    int error = got < 0 ? static_cast<int>(-got) : ENODATA;
    logMessage(3, "Error %d reading device speed at %s", error, path);
    return -error;
  }
  *speed = speedFromText(text);
  return 0;
}

// Product text: up to 128 bytes of "product", cut at the newline, at most
// 63 characters kept; "0x%04x" of the product id when empty.
void readProductText(const char* sysfsName, uint16_t productId, char* product) {
  char path[4096];
  char text[129] = {};
  int fd = openAttribute(sysfsName, "product", path, sizeof path);
  if (fd < 0) {
    logMessage(7, "Warning, could not open device product file %s, error %d (%s)", path, -fd, strerror(-fd));
  } else {
    ssize_t got = readFully(fd, text, 128);
    usbSys->close(fd);
    if (got < 0) {
      logMessage(7, "Warning, could not read read device product file %s, error %d (%s)", path,
                 static_cast<int>(-got), strerror(static_cast<int>(-got)));
      text[0] = '\0';
    }
  }
  text[strcspn(text, "\n")] = '\0';
  if (text[0] == '\0') snprintf(text, sizeof text, "0x%04x", productId);
  copyText(product, 64, text);
}

void readManufacturerText(const char* sysfsName, uint16_t vendorId, char* manufacturer) {
  char* text = loadSysfsFile(sysfsName, "manufacturer", false);
  if (!text) {
    snprintf(manufacturer, 64, "0x%04x", vendorId);
    return;
  }
  text[strcspn(text, "\n")] = '\0';
  for (char* p = text; *p; ++p) {
    if (*p == '_') *p = ' ';
  }
  copyText(manufacturer, 64, text);
  free(text);
}

void closeDeviceFiles(int usbfsFd, int hubFd) {
  if (usbfsFd >= 0) usbSys->close(usbfsFd);
  if (hubFd >= 0) usbSys->close(hubFd);
}

void destroyQueues(ManagedUsbDevice* device) {
  if (device->operationQueue) destroyLockedList(device->operationQueue);
  if (device->inflightUrbs) destroyLockedList(device->inflightUrbs);
  if (device->completionQueue) destroyLockedList(device->completionQueue);
  device->operationQueue = device->inflightUrbs = device->completionQueue = nullptr;
}

void fillSummary(const ManagedUsbDevice* device, DeviceSummary* summary) {
  summary->address = device->address;
  summary->vendorId = device->vendorId;
  summary->productId = device->productId;
  summary->state = device->state;
  copyText(summary->manufacturer, sizeof summary->manufacturer, device->manufacturer);
  copyText(summary->product, sizeof summary->product, device->product);
  copyText(summary->serial, sizeof summary->serial, device->serial);
  summary->descriptors = device->descriptors;
}

struct SlotQuery {
  uint32_t address;
  const char* sysfsName;
  int state;
  char* holder;
};

void checkSlot(ManagedUsbDevice* device, void* context) {
  SlotQuery* query = static_cast<SlotQuery*>(context);
  if (sameSysfsName(device->sysfsPath, query->sysfsName)) {
    query->state = kSlotSameDevice;
  } else {
    query->state = -EADDRINUSE;
    if (query->holder) copyText(query->holder, 255, device->sysfsPath);
  }
}

struct Detach {
  const char* sysfsName;
  ManagedUsbDevice* device;
};

// Marks the record as going away, under the list lock, so every lookup from
// here on sees a removed device. `unplugged` follows once the reaper has had
// its chance to collect the discarded URBs.
void markRemoved(ManagedUsbDevice* device, void* context) {
  Detach* detach = static_cast<Detach*>(context);
  if (detach->sysfsName && !sameSysfsName(device->sysfsPath, detach->sysfsName)) return;
  device->state = DEVICE_REMOVED;
  detach->device = device;
}

void checkBound(ManagedUsbDevice* device, void* context) {
  Detach* detach = static_cast<Detach*>(context);
  if (detach->sysfsName && !sameSysfsName(device->sysfsPath, detach->sysfsName)) return;
  if (device->state == DEVICE_BOUND) detach->device = device;
}

bool matchRecord(void* item, const void* key) { return item == key; }

struct SummaryCopy {
  DeviceSummary* summary;
  uint8_t* descriptors;
};

void copySummary(ManagedUsbDevice* device, void* context) {
  SummaryCopy* copy = static_cast<SummaryCopy*>(context);
  fillSummary(device, copy->summary);
  memcpy(copy->descriptors, device->descriptors, kDescriptorsSize);
  copy->summary->descriptors = copy->descriptors;
}

}  // namespace

bool readDeviceSummary(uint32_t address, DeviceSummary* summary, uint8_t* descriptors) {
  SummaryCopy copy{summary, descriptors};
  return visitDevice(address, copySummary, &copy);
}

int createDeviceList() {
  deviceList = createLockedList();
  return deviceList ? 0 : -ENOMEM;
}

void stopDeviceManager() {
  if (!deviceList) return;
  for (;;) {
    uint32_t address;
    if (copyDeviceAddresses(&address, 1) == 0) break;
    if (unplugDevice(address, nullptr, 0) < 0) break;
  }
  // Hub request threads look records up until they end; both they and the
  // threads that fail operations of gone devices send replies.
  waitForHubRequestThreads();
  waitForFailedOperationThreads();
  destroyLockedList(deviceList);
  deviceList = nullptr;
}

bool visitDevice(uint32_t address, void (*visit)(ManagedUsbDevice* device, void* context), void* context) {
  if (!deviceList) return false;
  Visit state{visit, context, false};
  forEachInLockedList(deviceList, matchAddress, runVisit, &address, &state, 1);
  return state.found;
}

int deviceSlotState(uint32_t address, const char* sysfsName, char* holder) {
  SlotQuery query{address, sysfsName, kSlotFree, holder};
  visitDevice(address, checkSlot, &query);
  return query.state;
}

int createManagedDevice(uint32_t address, const char* sysfsName, const char* productValue,
                        const char* serial, const char* nodePath, const char* hubNodePath,
                        const char* companionHubPath, const uint8_t* containerId, int nodeCreated) {
  if (!deviceList) return -ENODEV;
  if (address == 0) {
    logMessage(3, "Error, device %s has no usable address, not managing it", sysfsName);
    return -EINVAL;
  }
  char fullPath[255];
  const char* prefix = strncmp(sysfsName, "/sys", 4) == 0 ? "" : sysfsName[0] == '/' ? "/sys" : "/sys/";
  int pathLength = snprintf(fullPath, sizeof fullPath, "%s%s", prefix, sysfsName);
  if (pathLength < 0 || static_cast<size_t>(pathLength) >= sizeof fullPath ||
      strlen(nodePath) >= sizeof(ManagedUsbDevice::nodePath)) {
    logMessage(3, "Error, device path %s or node %s is too long, not managing it", sysfsName, nodePath);
    return -ENAMETOOLONG;
  }

  ManagedUsbDevice* device = static_cast<ManagedUsbDevice*>(calloc(1, sizeof(ManagedUsbDevice)));
  if (!device) {
    logMessage(3, "Error, out of memory for device %s", sysfsName);
    return -ENOMEM;
  }
  long descriptorLength = readDescriptors(sysfsName, device->descriptors);
  if (descriptorLength < 0) {
    free(device);
    return static_cast<int>(descriptorLength);
  }
  int result = readSpeed(sysfsName, &device->speed);
  if (result < 0) {
    free(device);
    return result;
  }
  int usbfsFd = usbSys->open(nodePath, O_RDWR, 0);
  if (usbfsFd < 0) {
    logMessage(errorLevel(), "Error %d opening device (%s) file descriptor, %s", -usbfsFd, nodePath,
               strerror(-usbfsFd));
    free(device);
    return usbfsFd;
  }
  int hubFd = hubNodePath ? usbSys->open(hubNodePath, O_WRONLY, 0) : -ENOENT;
  if (hubFd < 0) {
    logMessage(4, "Warning, error %d opening the hub (%s) file descriptor some functionality may not be available, %s",
               -hubFd, hubNodePath ? hubNodePath : "none", strerror(-hubFd));
    hubFd = -1;
  }

  uint16_t fallbackVendor, fallbackProduct;
  parseProductValue(productValue, &fallbackVendor, &fallbackProduct);
  readProductText(sysfsName, fallbackProduct, device->product);
  readManufacturerText(sysfsName, fallbackVendor, device->manufacturer);

  unsigned port = parsePortFromName(sysfsName);
  if (port == 0) {
    logMessage(3, "Error parsing device port from %s", sysfsName);
    closeDeviceFiles(usbfsFd, hubFd);
    free(device);
    return -EINVAL;
  }

  device->vendorId = descriptorVendorId(device->descriptors);
  device->productId = descriptorProductId(device->descriptors);
  copyText(device->serial, sizeof device->serial, serial);
  copyText(device->sysfsPath, sizeof device->sysfsPath, fullPath);
  device->port = static_cast<uint8_t>(port);
  device->address = address;
  device->configurationValue = 255;
  device->state = DEVICE_FREE;
  device->usbfsFd = usbfsFd;
  device->retiredFd = -1;
  device->hubFd = hubFd;
  device->reaperWakeFd = -1;
  device->nodeCreated = nodeCreated ? 1 : 0;
  copyText(device->nodePath, sizeof device->nodePath, nodePath);
  copyText(device->companionHubPath, sizeof device->companionHubPath, companionHubPath);
  if (containerId) {
    device->hasContainerId = 1;
    memcpy(device->containerId, containerId, sizeof device->containerId);
  }
  device->operationQueue = createLockedList();
  device->inflightUrbs = createLockedList();
  device->completionQueue = createLockedList();
  if (!device->operationQueue || !device->inflightUrbs || !device->completionQueue) {
    logMessage(3, "Error, out of memory for device %s", sysfsName);
    destroyQueues(device);
    closeDeviceFiles(usbfsFd, hubFd);
    free(device);
    return -ENOMEM;
  }

  logMessage(6, "Found %s speed device [%04x:%04x] \"%s, %s\" at address %u", speedName(device->speed),
             device->vendorId, device->productId, device->manufacturer, device->product, address);

  DeviceThreads threads;
  result = startDeviceThreads(address, &threads);
  if (result < 0) {
    logMessage(3, "Error %d starting the threads of device %u, %s", -result, address, strerror(-result));
    destroyQueues(device);
    closeDeviceFiles(usbfsFd, hubFd);
    free(device);
    return result;
  }
  device->operationThread = threads.operation;
  device->reaperThread = threads.reaper;
  device->completionThread = threads.completion;

  // Every append happens under deviceLifecycleMutex, so this check and the
  // append below are one step.
  char holder[255] = {};
  int slot = deviceSlotState(address, fullPath, holder);
  if (slot == kSlotFree) result = appendToLockedList(deviceList, device);
  if (slot != kSlotFree || result < 0) {
    if (slot == -EADDRINUSE) {
      logMessage(3, "Error, device %s has address %u, which %s already holds, not managing it", fullPath,
                 address, holder);
    }
    abandonDeviceThreads(&threads);
    destroyQueues(device);
    closeDeviceFiles(usbfsFd, hubFd);
    free(device);
    return slot == kSlotSameDevice ? -EEXIST : slot != kSlotFree ? slot : result;
  }
  openDeviceThreads(&threads);
  // Runs with deviceLifecycleMutex held: the hook reads the record through
  // deviceList only, and a bConfigurationValue write goes to usbfs.
  runHookWithDeviceTexts("onEnumeration", address);

  DeviceSummary summary;
  uint8_t* descriptors = static_cast<uint8_t*>(malloc(kDescriptorsSize));
  if (descriptors && readDeviceSummary(address, &summary, descriptors)) reportDeviceArrived(&summary);
  free(descriptors);
  return 0;
}

namespace {

void stopWithMarker(LockedList* queue, pthread_t thread) {
  // Without a node for the marker the thread could not be stopped; memory
  // comes back as groups are delivered.
  while (appendToLockedList(queue, nullptr) < 0) sleepMilliseconds(10);
  pthread_join(thread, nullptr);
}

void setUnplugged(ManagedUsbDevice* device, void*) {
  device->unplugged = 1;
  wakeDeviceReaper(device);
}

// URBs that never came back: closing the descriptor has made the kernel
// kill them, so their memory is ours again. Each transfer completes with
// -19 once its last URB is accounted for.
void finishLeftoverUrb(void* item, void*) {
  usbdevfs_urb* urb = static_cast<usbdevfs_urb*>(item);
  UrbContext* context = static_cast<UrbContext*>(urb->usercontext);
  UrbGroup* group = context->group;
  if (urb->type == USBDEVFS_URB_TYPE_CONTROL) signalControlWatchdog(context);
  group->result->status.store(-ENODEV);
  freeUrb(urb);
  if (dropGroupReference(group)) queueRemovedGroup(group);
}

// Takes every item out of a list that no thread uses any more and hands it
// to finish with no lock held.
void drainList(LockedList* list, void (*finish)(void* item, void*)) {
  while (countLockedList(list) != 0) finish(takeFromLockedList(list), nullptr);
}

void failLeftoverOperation(void* item, void*) {
  if (item) failDeviceOperation(static_cast<DeviceOperation*>(item));
}

void failLeftoverGroup(void* item, void*) {
  UrbGroup* group = static_cast<UrbGroup*>(item);
  if (group && dropGroupReference(group)) queueRemovedGroup(group);
}

}  // namespace

int unplugDevice(uint32_t address, const char* sysfsName, int runHook) {
  pthread_mutex_lock(&deviceLifecycleMutex);
  // The binding ends first, a surprise to its client, while the interfaces
  // can still be released.
  Detach bound{sysfsName, nullptr};
  visitDevice(address, checkBound, &bound);
  if (bound.device) reportBoundDeviceLeaving(address);
  Detach detach{sysfsName, nullptr};
  visitDevice(address, markRemoved, &detach);
  ManagedUsbDevice* device = detach.device;
  if (!device) {
    pthread_mutex_unlock(&deviceLifecycleMutex);
    return -ENODEV;
  }
  // The record cannot be freed under us: only this function removes records,
  // and it runs under deviceLifecycleMutex. From DEVICE_REMOVED on no lookup
  // hands out the descriptor or queues work, so the fields read below
  // without the list lock are no longer written by anyone else.
  logMessage(6, "Unmanaging device %u [%04x:%04x]", address, device->vendorId, device->productId);
  if (runHook) runHookWithDeviceTexts("onDeviceUnplug", address);

  // Give the reaper a moment to collect what the discards send back.
  discardDeviceUrbs(device, "device removed");
  if (!waitForEmptyInflight(device->inflightUrbs, usbSettings().unplugSettleMs)) {
    waitForEmptyInflight(device->inflightUrbs, usbSettings().unplugExtraSettleMs);
  }

  visitDevice(address, setUnplugged, nullptr);
  pthread_join(device->reaperThread, nullptr);
  // A completion thread waiting for URBs sees `unplugged` now.
  signalGroupProgress();
  stopWithMarker(device->completionQueue, device->completionThread);
  stopWithMarker(device->operationQueue, device->operationThread);
  if (countLockedList(device->operationQueue) != 0) {
    logMessage(4, "Warning, device being removed with ops outstanding");
  }
  drainList(device->operationQueue, failLeftoverOperation);
  drainList(device->completionQueue, failLeftoverGroup);

  // Close only when no thread is inside a call on the descriptor: the
  // number would soon belong to another open.
  waitForUsbfsUsers(address);
  closeDeviceFiles(device->usbfsFd, device->hubFd);
  device->hubFd = -1;
  if (device->nodeCreated) {
    int removed = usbSys->unlink(device->nodePath);
    if (removed < 0 && removed != -ENOENT) {
      logMessage(4, "Warning, error %d removing device node %s, %s", -removed, device->nodePath, strerror(-removed));
    }
  }
  size_t inflight = countLockedList(device->inflightUrbs);
  if (inflight != 0) {
    logMessage(4, "Warning, unbinding device at %s with %zu outstanding in-flight URBs", device->sysfsPath, inflight);
  }
  drainList(device->inflightUrbs, finishLeftoverUrb);

  removeFromLockedList(deviceList, matchRecord, nullptr, device, nullptr);
  pthread_mutex_unlock(&deviceLifecycleMutex);

  DeviceSummary summary;
  fillSummary(device, &summary);
  reportDeviceRemoved(&summary);
  destroyQueues(device);
  free(device);
  return 0;
}

// Lookups ---------------------------------------------------------------

uint16_t getDeviceVendorId(uint32_t address) {
  uint16_t id = 0;
  visitDevice(address, [](ManagedUsbDevice* d, void* out) { *static_cast<uint16_t*>(out) = d->vendorId; }, &id);
  return id;
}

uint16_t getDeviceProductId(uint32_t address) {
  uint16_t id = 0;
  visitDevice(address, [](ManagedUsbDevice* d, void* out) { *static_cast<uint16_t*>(out) = d->productId; }, &id);
  return id;
}

void getDeviceSysfsPath(uint32_t address, char* buffer) {
  visitDevice(address, [](ManagedUsbDevice* d, void* out) { copyText(static_cast<char*>(out), 255, d->sysfsPath); },
              buffer);
}

uint8_t* getDeviceDescriptorsCopy(uint32_t address) {
  uint8_t* copy = static_cast<uint8_t*>(calloc(1, kDescriptorsSize));
  if (!copy) return nullptr;
  visitDevice(address, [](ManagedUsbDevice* d, void* out) { memcpy(out, d->descriptors, kDescriptorsSize); }, copy);
  return copy;
}

int getParentHubFd(uint32_t address, int* found) {
  int fd = -1;
  *found = visitDevice(address, [](ManagedUsbDevice* d, void* out) { *static_cast<int*>(out) = d->hubFd; }, &fd);
  return fd;
}

void getDeviceManufacturer(uint32_t address, char* buffer) {
  visitDevice(address, [](ManagedUsbDevice* d, void* out) { copyText(static_cast<char*>(out), 64, d->manufacturer); },
              buffer);
}

void getDeviceProduct(uint32_t address, char* buffer) {
  visitDevice(address, [](ManagedUsbDevice* d, void* out) { copyText(static_cast<char*>(out), 64, d->product); },
              buffer);
}

void getDeviceSerial(uint32_t address, char* buffer) {
  visitDevice(address, [](ManagedUsbDevice* d, void* out) { copyText(static_cast<char*>(out), 128, d->serial); },
              buffer);
}

void getDeviceCompanionHubPath(uint32_t address, char* buffer) {
  visitDevice(address,
              [](ManagedUsbDevice* d, void* out) { copyText(static_cast<char*>(out), 255, d->companionHubPath); },
              buffer);
}

namespace {
struct AddressCollector {
  uint32_t* addresses;
  size_t capacity;
  size_t count;
};
void collectAddress(void* item, void* out) {
  AddressCollector* collector = static_cast<AddressCollector*>(out);
  if (collector->count < collector->capacity) {
    collector->addresses[collector->count++] = static_cast<ManagedUsbDevice*>(item)->address;
  }
}
}  // namespace

size_t copyDeviceAddresses(uint32_t* addresses, size_t capacity) {
  if (!deviceList) return 0;
  AddressCollector collector{addresses, capacity, 0};
  forEachInLockedList(deviceList, nullptr, collectAddress, nullptr, &collector, 0);
  return collector.count;
}
