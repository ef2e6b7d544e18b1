// The records that follow a transfer through usbfs: one TransferResult and
// one UrbGroup per transfer, one UrbContext per URB (the URB's user
// context).
//
// A group completes exactly once, when every URB it submitted has come back
// and its submission has finished: it holds one reference per URB in flight
// plus one for the submitter, and whoever drops the last reference delivers
// it. The reaper, the completion thread and the removed-device thread are
// the only threads that deliver.
#pragma once

#include <linux/usbdevice_fs.h>
#include <pthread.h>
#include <stdint.h>
#include <time.h>

#include <atomic>

#include "ovusbd/usb/deviceops.h"

struct TransferResult {
  void* completionContext;
  uint32_t isOut;  // 1 OUT, 0 IN (bit 7 of the endpoint)
  // First error of the transfer (0 while none). Written by the submitter
  // and the reaper, hence atomic.
  std::atomic<int32_t> status;
  uint16_t connectionId;
  // Only the reaper adds to these, and unplug after the reaper is joined;
  // the deliverer reads them after the last reference is dropped.
  int32_t errorCount;
  int32_t actualLength;
  int32_t requestedLength;
  uint8_t* inBuffer;  // IN only
  uint32_t reserved;  // never set: 0
  uint32_t packetCount;     // isochronous
  uint8_t* packetResults;   // isochronous: 12 bytes per packet
  uint32_t packetResultsLength;  // bytes at packetResults
};

enum class GroupKind : uint8_t { BulkInterrupt, Isochronous, Control };

struct UrbGroup {
  // URBs in flight plus one while the submitter still works on the group.
  // 32 bits: a transfer may need thousands of URBs.
  std::atomic<uint32_t> references;
  GroupKind kind;
  uint32_t address;
  TransferCompletion transferCompletion;
  TransferResult* result;
  // Control transfers: the setup packet of the request, for the descriptor
  // patches that run before the completion.
  uint8_t setup[8];
  // The transfer counts in its device's controlTransfers until it is
  // delivered (or freed undelivered).
  bool countedControl;
};

struct UrbContext {
  uint32_t index;        // 0 for the first URB of the transfer
  uint32_t firstPacket;  // isochronous: first packet of this URB
  uint32_t offset;       // byte offset of the URB's buffer in the transfer
  uint32_t isLast;
  UrbGroup* group;
  // Control URBs only, guarded by the watchdog's mutex (controlwatchdog.h).
  uint8_t watchdogState;  // idle, armed (listed) or being discarded
  struct timespec watchdogDeadline;  // CLOCK_MONOTONIC
  UrbContext* watchdogPrevious;      // the deadline list
  UrbContext* watchdogNext;
  uint32_t watchdogAddress;
  usbdevfs_urb* watchdogUrb;
};

// A new group holding the submitter's reference, with its result; null when
// memory runs out.
UrbGroup* newUrbGroup(GroupKind kind, uint32_t address, TransferCompletion completion, void* context,
                      uint32_t isOut, uint16_t connectionId, int32_t requestedLength, uint8_t* inBuffer);
void freeUrbGroup(UrbGroup* group);

// Counts a control transfer against its device's bound: 0, -EBUSY when the
// device has controlTransfersPerDevice in flight, -ENODEV when it is gone
// (then nothing is counted). The count goes back when the group is
// delivered, before its completion, so a client answered may send the next.
int countControlTransfer(UrbGroup* group);

// Records a failure as the transfer's status unless an earlier one stands.
// A cancelled continuation (-ECONNRESET) gives way to the error that caused
// the cancel, whatever order the two are reaped in.
void recordGroupError(UrbGroup* group, int status);

// Drops one reference. True when it was the last: the caller now owns the
// group and must deliver it.
bool dropGroupReference(UrbGroup* group);

// Calls the completion with the result and frees the group. For control
// transfers the descriptor patches run first.
void deliverUrbGroup(UrbGroup* group);

// Completes the group with -19 and length 0 and frees it.
void deliverRemovedGroup(UrbGroup* group);

// Hands a group whose device vanished to the removed-device thread (or
// delivers it with -19 at once when that thread does not run).
void queueRemovedGroup(UrbGroup* group);

// The URB and its context: one allocation each, freed by freeUrb.
usbdevfs_urb* newUrb(uint32_t packets);
void freeUrb(usbdevfs_urb* urb);
