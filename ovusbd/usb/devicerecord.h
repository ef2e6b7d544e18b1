// ManagedUsbDevice: one USB device the server offers to clients, and
// deviceList, the list that owns every record.
//
// Other threads never keep a pointer to a record: they keep the device
// address and look the record up in deviceList, under the list's lock, each
// time. Lock order: deviceLifecycleMutex, then deviceList, then at most one
// of a device's own lists.
#pragma once

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include "ovusbd/core/lockedlist.h"
#include "ovusbd/usb/descriptors.h"

enum : uint8_t {
  DEVICE_REMOVED = 0,
  DEVICE_FREE = 1,
  DEVICE_BOUND = 3,
};


struct ManagedUsbDevice {
  uint16_t vendorId;   // from the device descriptor
  uint16_t productId;  // from the device descriptor
  char manufacturer[64];
  char product[64];
  uint8_t descriptors[kDescriptorsSize];  // zero-filled after the part read
  char serial[128];                       // empty when the device has none
  uint8_t state;                          // DEVICE_REMOVED, DEVICE_FREE, DEVICE_BOUND
  uint8_t speed;                          // 0 Low, 1 Full, 2 High, 3 Super
  uint8_t port;                           // port on the parent hub, 1..255
  uint32_t address;                       // key of the record; the wire id
  char sysfsPath[255];
  uint8_t configurationValue;  // 255 = none set through the server
  pthread_t reaperThread;
  LockedList* operationQueue;  // null once destroyed
  pthread_t operationThread;
  uint8_t unplugged;           // removal has started; the reaper stops on it
  LockedList* inflightUrbs;    // null once destroyed
  int usbfsFd;                 // usbfs node, read-write; renewed after a revocation
  int hubFd;                   // parent hub's node, write-only; -1 when not open
  pthread_t completionThread;
  LockedList* completionQueue;  // null once destroyed
  char nodePath[255];
  uint8_t nodeCreated;  // the server made nodePath and removes it with the record
  char companionHubPath[255];
  uint8_t hasContainerId;
  uint8_t containerId[16];
  uint8_t zeroCopyCapable;
  // Threads inside a usbfs call on usbfsFd or hubFd (usbfsaccess.h,
  // hubports.h); the removal closes the descriptors only once this is 0, so
  // a number is never reused under a user.
  uint32_t usbfsUsers;
  // Holders of usbfsFd itself (acquireUsbfs, acquireClientUsbfs); and the
  // descriptor usbfs revoked that usbfsFd replaced (-1: none) with its
  // holders, closed by the release that ends its last hold. All also
  // counted in usbfsUsers.
  uint32_t descriptorUsers;
  int retiredFd;
  uint32_t retiredUsers;
  // The reaper's eventfd: a write wakes it from its poll (set and cleared
  // by the reaper; -1 while it has none).
  int reaperWakeFd;
  // Control transfers submitted and not yet completed (controltransfer.h).
  uint32_t controlTransfers;
  // bConfigurationValue when the claim began; 0 when the device was
  // unconfigured or the value could not be read. The hand-back restores it.
  uint8_t claimedConfiguration;
  // 1 from the start of an unbind until the next claim: no operation is
  // queued and no client work reaches usbfs (clientwork.h).
  uint8_t closedToClients;
  // Threads inside client work on usbfsFd (acquireClientUsbfs); also
  // counted in usbfsUsers.
  uint32_t clientUsers;
  // 1 while one of the device's operations is being performed: by its
  // operation thread, or by the submitter itself when it found the queue
  // empty and nothing running (operationworker.cpp). Keeps a device's
  // operations one at a time and in arrival order.
  uint8_t operationRunning;
};

// The global list of ManagedUsbDevice pointers, in order of discovery. Made
// by createDeviceList, freed by stopDeviceManager.
extern LockedList* deviceList;

// Serialises the making and the removal of records, so that two paths that
// find the same device (the start-up enumeration and the hot-plug worker)
// cannot both make a record. Every append to and removal from deviceList
// happens with it held, which makes "check, then append" one step. Held
// across the opening of the device's files, never taken by a device's own
// threads.
extern pthread_mutex_t deviceLifecycleMutex;

// Makes deviceList. Returns 0 or -ENOMEM.
int createDeviceList();

// Unplugs every device (no hook) and destroys deviceList.
void stopDeviceManager();

// Result of deviceSlotState.
constexpr int kSlotFree = 0;     // no record holds the address
constexpr int kSlotSameDevice = 1;  // a record of this very sysfs name holds it
// -EADDRINUSE: a record of another sysfs name holds the address.

// Whether a device of this address and sysfs name may get a record. When
// another name holds the address, *holder (255 bytes, may be null) gets
// that record's sysfs path.
int deviceSlotState(uint32_t address, const char* sysfsName, char* holder);

// Builds the record from sysfs and the usbfs node, starts its threads and
// only then adds it to deviceList and reports its arrival. Called
// with deviceLifecycleMutex held. `sysfsName` is absolute under /sys or
// relative to it; `productValue` is the uevent PRODUCT text; `hubNodePath`,
// `companionHubPath` and `containerId` may be null. Returns 0 when the
// record was made, else a negative errno after logging why (no record and
// no thread is left behind).
int createManagedDevice(uint32_t address, const char* sysfsName, const char* productValue,
                        const char* serial, const char* nodePath, const char* hubNodePath,
                        const char* companionHubPath, const uint8_t* containerId, int nodeCreated);

// Removes the device of this address: state DEVICE_REMOVED, its threads
// stopped and joined, descriptors closed, a node the server made deleted,
// the record freed and the removal reported. With
// `sysfsName` given, only a record of that sysfs name is removed, so a
// remove event never takes away another device that shares the address.
// Returns 0, or -ENODEV when no such record exists. Takes
// deviceLifecycleMutex; must not run on one of the device's own threads.
int unplugDevice(uint32_t address, const char* sysfsName, int runHook);

// Lookups by address. Each copies its answer out under the list lock; a
// device that is not there leaves the default.
uint16_t getDeviceVendorId(uint32_t address);   // 0 when not found
uint16_t getDeviceProductId(uint32_t address);  // 0 when not found
void getDeviceSysfsPath(uint32_t address, char* buffer);  // 255 bytes
// A new zero-filled kDescriptorsSize copy (zeroes when not found), or null
// when memory runs out. The caller frees it.
uint8_t* getDeviceDescriptorsCopy(uint32_t address);
int getParentHubFd(uint32_t address, int* found);
void getDeviceManufacturer(uint32_t address, char* buffer);  // 64 bytes
void getDeviceProduct(uint32_t address, char* buffer);       // 64 bytes
void getDeviceSerial(uint32_t address, char* buffer);        // 128 bytes
void getDeviceCompanionHubPath(uint32_t address, char* buffer);  // 255 bytes

// The addresses of the devices, in list order, into addresses. Returns how
// many were copied, at most capacity (capacity copied: there may be more).
size_t copyDeviceAddresses(uint32_t* addresses, size_t capacity);

// Runs visit(device, context) on the record of this address under the list
// lock. visit must not block or touch deviceList. False when not found.
bool visitDevice(uint32_t address, void (*visit)(ManagedUsbDevice* device, void* context), void* context);

struct DeviceSummary;
// Copies the device's summary (what the USB layer reports of it), its
// descriptors into `descriptors` (kDescriptorsSize bytes). False when the
// device is gone.
bool readDeviceSummary(uint32_t address, DeviceSummary* summary, uint8_t* descriptors);
