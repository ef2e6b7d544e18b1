#include "ovusbd/usb/clientwork.h"

#include <stddef.h>
#include <string.h>

#include "ovusbd/core/log.h"
#include "ovusbd/usb/deviceops.h"
#include "ovusbd/usb/devicerecord.h"
#include "ovusbd/usb/urbsubmit.h"
#include "ovusbd/usb/usbfsaccess.h"

namespace {

struct Lists {
  LockedList* operations;
  LockedList* inflight;
  char sysfsPath[255];
};

void setClosed(ManagedUsbDevice* device, void* context) {
  device->closedToClients = *static_cast<uint8_t*>(context);
}

// One queued operation at a time is taken out, so that each is completed
// outside the queue's lock (its completion sends the reply).
struct TakeOne {
  bool matched;
  void* item;
};

bool firstOperation(void* item, const void* key) {
  TakeOne* take = const_cast<TakeOne*>(static_cast<const TakeOne*>(key));
  if (take->matched || item == nullptr) return false;
  take->matched = true;
  return true;
}

void keepItem(void* item, void* context) { static_cast<TakeOne*>(context)->item = item; }

}  // namespace

void openClientWork(uint32_t address) {
  uint8_t closed = 0;
  visitDevice(address, setClosed, &closed);
}

void stopClientWork(uint32_t address, int drainMs) {
  Lists lists{nullptr, nullptr, {}};
  visitDevice(
      address,
      [](ManagedUsbDevice* device, void* out) {
        Lists* lists = static_cast<Lists*>(out);
        device->closedToClients = 1;
        lists->operations = device->operationQueue;
        lists->inflight = device->inflightUrbs;
        memcpy(lists->sysfsPath, device->sysfsPath, sizeof lists->sysfsPath);
      },
      &lists);
  // The lists stay: records are freed only under deviceLifecycleMutex,
  // which the caller holds.
  if (lists.operations == nullptr) return;
  for (;;) {
    TakeOne take{false, nullptr};
    removeFromLockedList(lists.operations, firstOperation, keepItem, &take, &take);
    if (take.item == nullptr) break;
    failDeviceOperation(static_cast<DeviceOperation*>(take.item));
  }
  // An operation the operation thread took before the device closed, a
  // control transfer or a configuration change on a client's receiving
  // thread: each holds the descriptor for client work until it is done.
  waitForClientUsers(address);
  discardInflightUrbs(address, -1, "unbind");
  if (lists.inflight == nullptr || drainMs <= 0) return;
  if (!waitForEmptyInflight(lists.inflight, drainMs)) {
    logMessage(4, "Warning, unbinding device at %s with %zu outstanding in-flight URBs", lists.sysfsPath,
               countLockedList(lists.inflight));
  }
}
