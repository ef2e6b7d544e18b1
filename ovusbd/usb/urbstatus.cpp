#include "ovusbd/usb/urbstatus.h"

#include <errno.h>

UrbTally tallyUrb(GroupKind kind, bool isOut, int status, int actualLength, int errorCount) {
  UrbTally tally{0, 0, 0};
  // The kernel never reports more than the buffer, but a negative length
  // must not shrink the total.
  int32_t length = actualLength > 0 ? actualLength : 0;
  if (kind != GroupKind::BulkInterrupt) {
    if (status < 0) tally.error = status;
    tally.addLength = length;
    tally.addErrors = errorCount > 0 ? errorCount : 0;
    return tally;
  }
  if (!isOut && (status >= 0 || status == -EREMOTEIO || status == -ECONNRESET)) {
    tally.addLength = length;
  } else if (status < 0) {
    tally.error = status;
  } else {
    tally.addLength = length;
  }
  return tally;
}
