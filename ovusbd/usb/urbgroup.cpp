#include "ovusbd/usb/urbgroup.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <new>

#include "ovusbd/core/log.h"
#include "ovusbd/usb/descriptorpatch.h"
#include "ovusbd/usb/devicerecord.h"
#include "ovusbd/usb/removedqueue.h"
#include "ovusbd/usb/usbsettings.h"

namespace {

struct ContainerIdCopy {
  uint8_t has;
  uint8_t id[16];
};

void readContainerId(ManagedUsbDevice* device, void* out) {
  ContainerIdCopy* copy = static_cast<ContainerIdCopy*>(out);
  copy->has = device->hasContainerId;
  memcpy(copy->id, device->containerId, sizeof copy->id);
}

// GET_DESCRIPTOR to the device (bmRequestType 0x80, bRequest 6) for the
// device descriptor (wValue 0x0100) or the BOS (0x0F00).
void patchControlReply(UrbGroup* group, int32_t* status, int32_t* actualLength) {
  const uint8_t* setup = group->setup;
  if (setup[0] != 0x80 || setup[1] != 6) return;
  uint16_t value = static_cast<uint16_t>(setup[2] | setup[3] << 8);
  uint16_t wLength = static_cast<uint16_t>(setup[6] | setup[7] << 8);
  if (value != 0x0100 && value != 0x0f00) return;
  TransferResult* result = group->result;
  if (!result->inBuffer || result->requestedLength < wLength) return;
  ContainerIdCopy copy{};
  visitDevice(group->address, readContainerId, &copy);
  if (!copy.has) return;
  if (value == 0x0100) {
    if (*status >= 0) patchDeviceDescriptor(result->inBuffer, *actualLength);
    return;
  }
  switch (patchBosDescriptor(result->inBuffer, wLength, status, actualLength, copy.id)) {
    case BosPatch::UnexpectedLength:
      logMessage(3, "Unexpected BOS request length %d bytes", wLength);
      break;
    case BosPatch::ContainerConflict:
      logMessage(3, "Device container Cap conflict!");
      break;
    case BosPatch::NoRoom:
      logMessage(3, "Need to append BOS container id but no more space!");
      break;
    default:
      break;
  }
}

void uncountControlTransfer(UrbGroup* group) {
  if (!group->countedControl) return;
  group->countedControl = false;
  visitDevice(
      group->address,
      [](ManagedUsbDevice* device, void*) {
        // A record made anew at the address never counted this transfer.
        if (device->controlTransfers > 0) --device->controlTransfers;
      },
      nullptr);
}

}  // namespace

int countControlTransfer(UrbGroup* group) {
  struct Count {
    uint32_t limit;
    int result;
  } count{usbSettings().controlTransfersPerDevice, -ENODEV};
  visitDevice(
      group->address,
      [](ManagedUsbDevice* device, void* argument) {
        Count* count = static_cast<Count*>(argument);
        if (device->state == DEVICE_REMOVED) return;
        if (device->controlTransfers >= count->limit) {
          count->result = -EBUSY;
          return;
        }
        ++device->controlTransfers;
        count->result = 0;
      },
      &count);
  group->countedControl = count.result == 0;
  return count.result;
}

UrbGroup* newUrbGroup(GroupKind kind, uint32_t address, TransferCompletion completion, void* context,
                      uint32_t isOut, uint16_t connectionId, int32_t requestedLength, uint8_t* inBuffer) {
  UrbGroup* group = new (std::nothrow) UrbGroup();
  TransferResult* result = new (std::nothrow) TransferResult();
  if (!group || !result) {
    delete group;
    delete result;
    return nullptr;
  }
  result->completionContext = context;
  result->isOut = isOut;
  result->status.store(0);
  result->connectionId = connectionId;
  result->requestedLength = requestedLength;
  result->inBuffer = isOut ? nullptr : inBuffer;
  group->references.store(1);
  group->kind = kind;
  group->address = address;
  group->transferCompletion = completion;
  group->result = result;
  return group;
}

void freeUrbGroup(UrbGroup* group) {
  if (!group) return;
  uncountControlTransfer(group);
  delete group->result;
  delete group;
}

void recordGroupError(UrbGroup* group, int status) {
  if (status >= 0) return;
  std::atomic<int32_t>& stored = group->result->status;
  int32_t current = stored.load();
  for (;;) {
    bool replace = current == 0 || (current == -ECONNRESET && status != -ECONNRESET);
    if (!replace || stored.compare_exchange_weak(current, status)) return;
  }
}

bool dropGroupReference(UrbGroup* group) { return group->references.fetch_sub(1, std::memory_order_acq_rel) == 1; }

void deliverUrbGroup(UrbGroup* group) {
  TransferResult* result = group->result;
  int32_t status = result->status.load();
  int32_t actualLength = result->actualLength;
  if (group->kind == GroupKind::Control) patchControlReply(group, &status, &actualLength);
  uncountControlTransfer(group);
  if (group->transferCompletion) {
    group->transferCompletion(result->completionContext, status, actualLength, result->errorCount,
                              result->reserved, result->connectionId);
  }
  freeUrbGroup(group);
}

void deliverRemovedGroup(UrbGroup* group) {
  group->result->status.store(-ENODEV);
  group->result->actualLength = 0;
  uncountControlTransfer(group);
  if (group->transferCompletion) {
    TransferResult* result = group->result;
    group->transferCompletion(result->completionContext, -ENODEV, 0, result->errorCount, result->reserved,
                              result->connectionId);
  }
  freeUrbGroup(group);
}

usbdevfs_urb* newUrb(uint32_t packets) {
  size_t size = sizeof(usbdevfs_urb) + packets * sizeof(usbdevfs_iso_packet_desc);
  usbdevfs_urb* urb = static_cast<usbdevfs_urb*>(calloc(1, size));
  UrbContext* context = new (std::nothrow) UrbContext();
  if (!urb || !context) {
    free(urb);
    delete context;
    return nullptr;
  }
  urb->usercontext = context;
  return urb;
}

void freeUrb(usbdevfs_urb* urb) {
  if (!urb) return;
  // A control URB owns its setup-and-data buffer; the others point into the
  // transfer's buffers.
  if (urb->type == USBDEVFS_URB_TYPE_CONTROL) free(urb->buffer);
  delete static_cast<UrbContext*>(urb->usercontext);
  free(urb);
}
