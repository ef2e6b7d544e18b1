// How one reaped URB counts towards its transfer: a pure function of the
// URB's kind, direction and results.
#pragma once

#include <stdint.h>

#include "ovusbd/usb/urbgroup.h"

struct UrbTally {
  int32_t error;       // 0, or the failure to record as the transfer's status
  int32_t addLength;   // bytes to add to the transfer's actual length
  int32_t addErrors;   // isochronous packets in error to add
};

// Bulk and interrupt IN: a short packet (-EREMOTEIO, SHORT_NOT_OK) and the
// continuations the kernel cancels after it (-ECONNRESET) still moved their
// bytes, so they count as success; any other failure is the status. OUT:
// any failure is the status and moved nothing. Control and isochronous: a
// failure is the status, the bytes and the error count always count.
UrbTally tallyUrb(GroupKind kind, bool isOut, int status, int actualLength, int errorCount);
