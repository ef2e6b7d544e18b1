#include <errno.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>

#include "ovusbd/core/log.h"
#include "ovusbd/usb/controlwatchdog.h"
#include "ovusbd/usb/devicerecord.h"
#include "ovusbd/usb/deviceworkers.h"
#include "ovusbd/usb/urbgroup.h"
#include "ovusbd/usb/urbstatus.h"
#include "ovusbd/usb/urbsubmit.h"
#include "ovusbd/usb/usbfsaccess.h"
#include "ovusbd/usb/usbsys.h"

namespace {

constexpr size_t kSetupSize = 8;
constexpr size_t kIsoDescriptorSize = 12;

bool isUnplugged(uint32_t address) {
  bool unplugged = true;  // a device that is gone counts as unplugged
  visitDevice(
      address, [](ManagedUsbDevice* device, void* out) { *static_cast<bool*>(out) = device->unplugged; },
      &unplugged);
  return unplugged;
}

void setWakeFd(uint32_t address, int fd) {
  visitDevice(
      address, [](ManagedUsbDevice* device, void* in) { device->reaperWakeFd = *static_cast<int*>(in); }, &fd);
}

void drainWake(int wakeFd) {
  uint64_t count;
  usbSys->read(wakeFd, &count, sizeof count);
}

// A revoked descriptor (usbfsaccess.h) polls POLLHUP | POLLERR for good, so
// the reaper stops polling it and waits on its eventfd alone (or sleeps a
// second at a time without one) until the device's descriptor is renewed,
// which wakes it, or the removal begins. The reaper's hold stays on fd
// meanwhile. Returns the renewed descriptor, held instead, or -ENODEV.
int awaitRenewal(uint32_t address, int fd, int wakeFd) {
  for (;;) {
    int renewed = followRenewedUsbfs(address, fd);
    if (renewed != -EAGAIN) return renewed;
    struct pollfd wake = {wakeFd, POLLIN, 0};
    int ready = usbSys->poll(&wake, wakeFd >= 0 ? 1 : 0, 1000);
    if (ready == -EINTR) return -ENODEV;
    if (ready > 0) drainWake(wakeFd);
  }
}

void addSaturating(int32_t* total, int32_t add) {
  *total = add > INT32_MAX - *total ? INT32_MAX : *total + add;
}

}  // namespace

void handleReapedUrb(uint32_t address, usbdevfs_urb* urb) {
  UrbContext* context = static_cast<UrbContext*>(urb->usercontext);
  UrbGroup* group = context->group;
  TransferResult* result = group->result;
  if (urb->type == USBDEVFS_URB_TYPE_CONTROL) signalControlWatchdog(context);
  UrbTally tally = tallyUrb(group->kind, result->isOut != 0, urb->status, urb->actual_length, urb->error_count);
  recordGroupError(group, tally.error);
  addSaturating(&result->actualLength, tally.addLength);
  addSaturating(&result->errorCount, tally.addErrors);
  if (group->kind == GroupKind::Control && !result->isOut && result->inBuffer && urb->actual_length > 0) {
    // Only the bytes the device sent: the rest of the URB's buffer was never
    // written and must not reach the client.
    size_t room = result->requestedLength > static_cast<int32_t>(context->offset)
                      ? static_cast<size_t>(result->requestedLength) - context->offset
                      : 0;
    size_t length = static_cast<size_t>(urb->actual_length);
    size_t urbData = static_cast<size_t>(urb->buffer_length) - kSetupSize;
    if (length > urbData) length = urbData;
    if (length > room) length = room;
    memcpy(result->inBuffer + context->offset, static_cast<uint8_t*>(urb->buffer) + kSetupSize, length);
  } else if (group->kind == GroupKind::Isochronous && result->packetResults) {
    size_t start = static_cast<size_t>(context->firstPacket) * kIsoDescriptorSize;
    size_t bytes = static_cast<size_t>(urb->number_of_packets) * kIsoDescriptorSize;
    if (start <= result->packetResultsLength && bytes <= result->packetResultsLength - start) {
      memcpy(result->packetResults + start, urb->iso_frame_desc, bytes);
    }
  }
  removeInflightUrb(address, urb);
  freeUrb(urb);
  if (dropGroupReference(group)) deliverUrbGroup(group);
  signalGroupProgress();
}

void urbReaperThread(uint32_t* addressCopy) {
  uint32_t address = *addressCopy;
  free(addressCopy);
  int fd = acquireUsbfs(address);
  if (fd < 0) return;
  int wakeFd = usbSys->eventfd(0, EFD_NONBLOCK);
  if (wakeFd >= 0) setWakeFd(address, wakeFd);
  while (!isUnplugged(address)) {
    struct pollfd fds[2] = {{fd, POLLOUT, 0}, {wakeFd, POLLIN, 0}};
    int ready = usbSys->poll(fds, wakeFd >= 0 ? 2 : 1, 1000);
    if (ready == -EINTR) break;
    if (ready < 0) {
      logMessage(3, "Error %d polling USB device file descriptor, %s", -ready, strerror(-ready));
      continue;
    }
    if (wakeFd >= 0 && fds[1].revents) drainWake(wakeFd);
    if (ready == 0 || fds[0].revents == 0) continue;
    // Reap everything that is done, then poll again.
    bool stop = false;
    for (;;) {
      usbdevfs_urb* urb = nullptr;
      int reaped = usbSys->ioctl(fd, USBDEVFS_REAPURBNDELAY, &urb);
      if (reaped == -EAGAIN) break;
      if (reaped == -ENODEV) {
        // Everything the kernel killed has been reaped.
        int renewed = awaitRenewal(address, fd, wakeFd);
        if (renewed < 0) {
          stop = true;
        } else {
          fd = renewed;
        }
        break;
      }
      if (reaped < 0) {
        logMessage(3, "Error %d reaping device URB , %s", -reaped, strerror(-reaped));
        stop = true;
        break;
      }
      handleReapedUrb(address, urb);
    }
    if (stop) break;
  }
  if (wakeFd >= 0) {
    setWakeFd(address, -1);
    usbSys->close(wakeFd);
  }
  releaseUsbfs(address, fd);
}

void deviceCompletionThread(uint32_t* addressCopy) {
  uint32_t address = *addressCopy;
  free(addressCopy);
  LockedList* queue = nullptr;
  visitDevice(
      address, [](ManagedUsbDevice* device, void* out) { *static_cast<LockedList**>(out) = device->completionQueue; },
      &queue);
  // Serves until its stop marker; the removal joins it before destroying
  // the queue.
  if (!queue) return;
  while (UrbGroup* group = static_cast<UrbGroup*>(takeFromLockedList(queue))) runCompletionQueueItem(group);
}

void wakeDeviceReaper(ManagedUsbDevice* device) {
  if (device->reaperWakeFd < 0) return;
  uint64_t one = 1;
  usbSys->write(device->reaperWakeFd, &one, sizeof one);
}
