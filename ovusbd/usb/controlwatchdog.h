// The watchdog of a control URB: a thread that discards the URB when it has
// not come back within "ControlTimeout"; the reaper then receives it with
// its discard status and completes the transfer.
#pragma once

#include "ovusbd/usb/urbgroup.h"

// Starts the watchdog of a control URB whose context is filled (group,
// address, URB). Returns 0 or -errno (the URB then goes unguarded).
int startControlWatchdog(UrbContext* context, uint32_t address, usbdevfs_urb* urb);

// Stops the watchdog and joins it, so the URB stays valid while a watchdog
// that timed out discards it. Does nothing when none runs.
void signalControlWatchdog(UrbContext* context);
