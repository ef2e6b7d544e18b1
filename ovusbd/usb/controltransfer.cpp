#include "ovusbd/usb/controltransfer.h"

#include <sys/ioctl.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "ovusbd/core/log.h"
#include "ovusbd/usb/controlwatchdog.h"
#include "ovusbd/usb/urbgroup.h"
#include "ovusbd/usb/urbsplit.h"
#include "ovusbd/usb/urbsubmit.h"
#include "ovusbd/usb/usbfsaccess.h"
#include "ovusbd/usb/usbsettings.h"

namespace {
constexpr size_t kSetupSize = 8;
}

int submitControlTransfer(uint32_t address, uint8_t endpoint, const uint8_t setup[8], const uint8_t* outData,
                          uint8_t* inBuffer, int32_t transferFlags, TransferCompletion completion, void* context,
                          uint16_t connectionId) {
  bool isIn = (setup[0] & 0x80) != 0;
  uint16_t wLength = static_cast<uint16_t>(setup[6] | setup[7] << 8);
  UrbGroup* group = newUrbGroup(GroupKind::Control, address, completion, context, isIn ? 0 : 1, connectionId,
                                wLength, inBuffer);
  if (!group) {
    if (completion) completion(context, -ENOMEM, 0, 0, 0, connectionId);
    return 0;
  }
  memcpy(group->setup, setup, kSetupSize);
  if (countControlTransfer(group) == -EBUSY) {
    freeUrbGroup(group);
    if (completion) completion(context, -EBUSY, 0, 0, 0, connectionId);
    return -EBUSY;
  }
  if (wLength && (isIn ? !inBuffer : !outData)) {
    recordGroupError(group, -EINVAL);
    finishGroupSubmission(group, true, false);
    return 0;
  }
  int fd = acquireClientUsbfs(address);
  if (fd < 0) {
    finishGroupSubmission(group, true, true);
    return 0;
  }
  uint32_t count = bulkUrbCount(wLength, usbSettings().bulkUrbSize);
  bool failed = false, gone = false;
  for (uint32_t i = 0; i < count; ++i) {
    UrbPiece piece = bulkUrbPiece(wLength, usbSettings().bulkUrbSize, i, false, false);
    usbdevfs_urb* urb = newUrb(0);
    uint8_t* buffer = static_cast<uint8_t*>(calloc(1, kSetupSize + piece.length));
    if (!urb || !buffer) {
      free(buffer);
      freeUrb(urb);
      recordGroupError(group, -ENOMEM);
      failed = true;
      break;
    }
    memcpy(buffer, setup, 6);
    buffer[6] = static_cast<uint8_t>(piece.length & 0xff);
    buffer[7] = static_cast<uint8_t>(piece.length >> 8);
    if (!isIn && piece.length) memcpy(buffer + kSetupSize, outData + piece.offset, piece.length);
    urb->type = USBDEVFS_URB_TYPE_CONTROL;
    urb->endpoint = endpoint;
    urb->flags = isIn && (transferFlags & 2) ? USBDEVFS_URB_SHORT_NOT_OK : 0;
    urb->buffer = buffer;
    urb->buffer_length = static_cast<int>(kSetupSize + piece.length);
    UrbContext* urbContext = static_cast<UrbContext*>(urb->usercontext);
    urbContext->index = i;
    urbContext->offset = piece.offset;
    urbContext->isLast = piece.isLast;
    urbContext->group = group;
    int started = startControlWatchdog(urbContext, address, urb);
    if (started < 0) {
      logMessage(4, "Warning, error %d starting the control watchdog of device %u, %s", -started, address,
                 strerror(-started));
    }
    int result = submitGroupUrb(fd, address, group, urb);
    if (result < 0) {
      signalControlWatchdog(urbContext);
      freeUrb(urb);
      failed = true;
      if (result == -ENODEV) {
        gone = true;
      } else {
        recordGroupError(group, result);
      }
      break;
    }
  }
  releaseClientUsbfs(address, fd);
  finishGroupSubmission(group, failed, gone);
  return 0;
}
