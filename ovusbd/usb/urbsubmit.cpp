#include "ovusbd/usb/urbsubmit.h"

#include <sys/ioctl.h>
#include <errno.h>
#include <string.h>
#include <time.h>

#include "ovusbd/core/log.h"
#include "ovusbd/usb/devicerecord.h"
#include "ovusbd/usb/transferchecks.h"
#include "ovusbd/usb/urbsplit.h"
#include "ovusbd/usb/usbfsaccess.h"
#include "ovusbd/usb/usbsettings.h"
#include "ovusbd/usb/usbsys.h"

namespace {

// Signalled by the reaper each time a URB comes back, and by the removal;
// completion threads wait on it for the URBs of a half-submitted transfer.
pthread_mutex_t progressMutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t progress;
pthread_once_t progressOnce = PTHREAD_ONCE_INIT;

void makeProgressCondition() {
  pthread_condattr_t attributes;
  pthread_condattr_init(&attributes);
  pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
  pthread_cond_init(&progress, &attributes);
  pthread_condattr_destroy(&attributes);
}

struct QueueAppend {
  UrbGroup* group;
  bool queued;
};

void appendToCompletionQueue(ManagedUsbDevice* device, void* context) {
  QueueAppend* append = static_cast<QueueAppend*>(context);
  // A removed device's completion thread may be gone already; its groups go
  // to the removed-device thread instead.
  if (device->state == DEVICE_REMOVED || !device->completionQueue) return;
  append->queued = appendToLockedList(device->completionQueue, append->group) == 0;
}

bool unpluggedOrGone(uint32_t address) {
  bool unplugged = true;
  visitDevice(
      address, [](ManagedUsbDevice* device, void* out) { *static_cast<bool*>(out) = device->unplugged; },
      &unplugged);
  return unplugged;
}

void addMs(struct timespec* at, int ms) {
  at->tv_sec += ms / 1000;
  at->tv_nsec += (ms % 1000) * 1000000L;
  if (at->tv_nsec >= 1000000000L) {
    at->tv_sec += 1;
    at->tv_nsec -= 1000000000L;
  }
}

void completeWithError(UrbGroup* group, int status) {
  recordGroupError(group, status);
  finishGroupSubmission(group, true, false);
}

}  // namespace

void signalGroupProgress() {
  pthread_once(&progressOnce, makeProgressCondition);
  pthread_mutex_lock(&progressMutex);
  pthread_cond_broadcast(&progress);
  pthread_mutex_unlock(&progressMutex);
}

bool waitForEmptyInflight(LockedList* inflight, int ms) {
  pthread_once(&progressOnce, makeProgressCondition);
  struct timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  addMs(&deadline, ms);
  pthread_mutex_lock(&progressMutex);
  bool empty;
  while (!(empty = countLockedList(inflight) == 0)) {
    if (pthread_cond_timedwait(&progress, &progressMutex, &deadline) == ETIMEDOUT) {
      empty = countLockedList(inflight) == 0;
      break;
    }
  }
  pthread_mutex_unlock(&progressMutex);
  return empty;
}

int submitGroupUrb(int fd, uint32_t address, UrbGroup* group, usbdevfs_urb* urb) {
  group->references.fetch_add(1, std::memory_order_relaxed);
  int result = appendInflightUrb(address, urb);
  if (result == 0) {
    result = usbSys->ioctl(fd, USBDEVFS_SUBMITURB, urb);
    if (result >= 0) return 0;
    removeInflightUrb(address, urb);
  }
  // The group holds the submitter's reference too, so this is never the
  // last one.
  group->references.fetch_sub(1, std::memory_order_relaxed);
  return result;
}

void finishGroupSubmission(UrbGroup* group, bool failed, bool gone) {
  if (gone) group->result->status.store(-ENODEV);
  if (!failed && !gone) {
    // Every URB was submitted: the reaper delivers the group with its last
    // URB, unless they are all back already. Then it is delivered here, on
    // the submitting thread, before it submits the device's next transfer:
    // handed to another thread, its reply could follow the next one's.
    if (dropGroupReference(group)) deliverUrbGroup(group);
    return;
  }
  QueueAppend append{group, false};
  if (!gone) visitDevice(group->address, appendToCompletionQueue, &append);
  if (append.queued) return;
  if (dropGroupReference(group)) queueRemovedGroup(group);
}

void runCompletionQueueItem(UrbGroup* group) {
  pthread_once(&progressOnce, makeProgressCondition);
  // Wait for the URBs a failed submission left in flight; the reaper
  // signals each one that comes back.
  struct timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  addMs(&deadline, usbSettings().nonResponsiveMs);
  bool late = false;
  pthread_mutex_lock(&progressMutex);
  while (group->references.load() > 1 && !unpluggedOrGone(group->address)) {
    if (pthread_cond_timedwait(&progress, &progressMutex, &deadline) == ETIMEDOUT) {
      late = group->references.load() > 1;
      break;
    }
  }
  pthread_mutex_unlock(&progressMutex);
  if (late) {
    // The URBs still out keep their references: whoever gets the last one
    // back (the reaper, or the removal with -19) delivers the transfer, and
    // this thread goes on with the next one.
    logMessage(3, "Error, the USB device at address %u is non responsive!", group->address);
  }
  if (dropGroupReference(group)) {
    if (unpluggedOrGone(group->address) && group->result->status.load() == -ENODEV) {
      deliverRemovedGroup(group);
    } else {
      deliverUrbGroup(group);
    }
  }
}

void submitBulkTransfer(const DeviceOperation* operation) {
  bool isIn = (operation->endpoint & 0x80) != 0;
  UrbGroup* group = newUrbGroup(GroupKind::BulkInterrupt, operation->address, operation->transferCompletion,
                                operation->completionContext, isIn ? 0 : 1, operation->connectionId,
                                operation->length, operation->inBuffer);
  if (!group) {
    if (operation->transferCompletion) {
      operation->transferCompletion(operation->completionContext, -ENOMEM, 0, 0, 0, operation->connectionId);
    }
    return;
  }
  int valid = validateBulkRequest(operation->length, operation->transferBufferLength, operation->urbType,
                                  operation->streamId);
  if (valid < 0 || (isIn ? !operation->inBuffer && operation->length : !operation->outBuffer && operation->length)) {
    completeWithError(group, -EINVAL);
    return;
  }
  int fd = acquireClientUsbfs(operation->address);
  if (fd < 0) {
    finishGroupSubmission(group, true, true);
    return;
  }
  uint32_t length = static_cast<uint32_t>(operation->length);
  uint32_t urbSize = usbSettings().bulkUrbSize;
  uint32_t count = bulkUrbCount(length, urbSize);
  bool shortNotOk = isIn && (operation->transferFlags & 2);
  uint8_t type = operation->streamId ? USBDEVFS_URB_TYPE_BULK : operation->urbType;
  uint8_t* base = isIn ? operation->inBuffer : const_cast<uint8_t*>(operation->outBuffer);
  bool failed = false, gone = false;
  for (uint32_t i = 0; i < count; ++i) {
    UrbPiece piece = bulkUrbPiece(length, urbSize, i, isIn, shortNotOk);
    usbdevfs_urb* urb = newUrb(0);
    if (!urb) {
      recordGroupError(group, -ENOMEM);
      failed = true;
      break;
    }
    urb->type = type;
    urb->endpoint = static_cast<unsigned char>(operation->endpoint);
    urb->flags = piece.flags;
    urb->buffer = base ? base + piece.offset : nullptr;
    urb->buffer_length = static_cast<int>(piece.length);
    urb->stream_id = operation->streamId;
    UrbContext* context = static_cast<UrbContext*>(urb->usercontext);
    context->index = i;
    context->offset = piece.offset;
    context->isLast = piece.isLast;
    context->group = group;
    int result = submitGroupUrb(fd, operation->address, group, urb);
    if (result < 0) {
      freeUrb(urb);
      failed = true;
      if (result == -ENODEV) {
        gone = true;
      } else if (!(result == -EREMOTEIO && i > 0)) {
        // EREMOTEIO after the first URB: the kernel refused a continuation
        // because an earlier URB already ended the transfer short.
        recordGroupError(group, result);
      }
      break;
    }
  }
  releaseClientUsbfs(operation->address, fd);
  finishGroupSubmission(group, failed, gone);
}

void submitIsoTransfer(const DeviceOperation* operation) {
  bool isIn = (operation->endpoint & 0x80) != 0;
  UrbGroup* group = newUrbGroup(GroupKind::Isochronous, operation->address, operation->isoCompletion,
                                operation->completionContext, isIn ? 0 : 1, operation->connectionId,
                                operation->isoLength, operation->isoInBuffer);
  if (!group) {
    if (operation->isoCompletion) {
      operation->isoCompletion(operation->completionContext, -ENOMEM, 0, 0, 0, operation->connectionId);
    }
    return;
  }
  group->result->packetCount = operation->isoPacketCount;
  group->result->packetResults = operation->isoResults;
  group->result->packetResultsLength = static_cast<uint32_t>(operation->isoResultsLength);
  uint8_t* base = isIn ? operation->isoInBuffer : const_cast<uint8_t*>(operation->isoOutBuffer);
  int valid = validateIsoRequest(operation->isoPacketCount, operation->isoPackets, operation->isoPacketsLength,
                                 operation->isoResultsLength, operation->isoLength, operation->isoBufferLength,
                                 usbSettings().isoUrbSize);
  if (valid < 0 || (!base && operation->isoLength > 0) || !operation->isoResults) {
    completeWithError(group, -EINVAL);
    return;
  }
  uint32_t packetCount = operation->isoPacketCount;
  uint32_t* lengths = static_cast<uint32_t*>(calloc(packetCount, sizeof(uint32_t)));
  if (!lengths) {
    completeWithError(group, -ENOMEM);
    return;
  }
  for (uint32_t i = 0; i < packetCount; ++i) lengths[i] = isoPacketLength(operation->isoPackets, i);
  int fd = acquireClientUsbfs(operation->address);
  if (fd < 0) {
    free(lengths);
    finishGroupSubmission(group, true, true);
    return;
  }
  bool failed = false, gone = false;
  uint32_t packet = 0, offset = 0, index = 0;
  UrbPiece piece;
  while (nextIsoUrbPiece(lengths, packetCount, usbSettings().isoUrbSize, packet, offset, &piece)) {
    usbdevfs_urb* urb = newUrb(piece.packetCount);
    if (!urb) {
      recordGroupError(group, -ENOMEM);
      failed = true;
      break;
    }
    urb->type = USBDEVFS_URB_TYPE_ISO;
    urb->endpoint = static_cast<unsigned char>(operation->endpoint);
    urb->flags = piece.flags;
    urb->buffer = base ? base + piece.offset : nullptr;
    urb->buffer_length = static_cast<int>(piece.length);
    urb->number_of_packets = static_cast<int>(piece.packetCount);
    for (uint32_t i = 0; i < piece.packetCount; ++i) urb->iso_frame_desc[i].length = lengths[piece.firstPacket + i];
    UrbContext* context = static_cast<UrbContext*>(urb->usercontext);
    context->index = index;
    context->firstPacket = piece.firstPacket;
    context->offset = piece.offset;
    context->isLast = piece.isLast;
    context->group = group;
    int result = submitGroupUrb(fd, operation->address, group, urb);
    if (result < 0) {
      freeUrb(urb);
      failed = true;
      if (result == -ENODEV) {
        gone = true;
      } else {
        recordGroupError(group, result);
      }
      break;
    }
    packet += piece.packetCount;
    offset += piece.length;
    ++index;
  }
  free(lengths);
  releaseClientUsbfs(operation->address, fd);
  finishGroupSubmission(group, failed, gone);
}
