// Submission of transfers: cuts a transfer into URBs (urbsplit.h), lists
// each as in flight and submits it. A transfer's completion comes later
// from the reaper or, after a failed submission, from the device's
// completion thread; a transfer of a vanished device completes with -19.
#pragma once

#include <linux/usbdevice_fs.h>

#include "ovusbd/core/lockedlist.h"
#include "ovusbd/usb/deviceops.h"
#include "ovusbd/usb/urbgroup.h"

// Codes 5 and 9 of the operation thread. The operation stays the caller's.
void submitBulkTransfer(const DeviceOperation* operation);
void submitIsoTransfer(const DeviceOperation* operation);

// Lists and submits one URB of the group, taking a reference for it.
// Returns 0, or -errno with the URB unlisted and the reference dropped (the
// URB is still the caller's). -ENODEV when the device is gone.
int submitGroupUrb(int fd, uint32_t address, UrbGroup* group, usbdevfs_urb* urb);

// Ends the submitter's part of a group. `gone`: the device vanished; the
// transfer completes with -19. Otherwise, when every URB was submitted and
// all are back already, it is delivered here, on the submitter's thread;
// after a failed submission it is delivered by the device's completion
// thread, which waits (bounded) for the URBs still out.
void finishGroupSubmission(UrbGroup* group, bool failed, bool gone);

// The device's completion thread takes these from its completion queue.
void runCompletionQueueItem(UrbGroup* group);

// Wakes completion threads waiting for URBs to come back.
void signalGroupProgress();

// Waits up to `ms` until `inflight` is empty (the removal, while the reaper
// collects discarded URBs). True when it is.
bool waitForEmptyInflight(LockedList* inflight, int ms);
