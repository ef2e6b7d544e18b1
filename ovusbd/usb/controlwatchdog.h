// The watchdog of control URBs: one timer thread for the whole server over a
// list of deadlines, which discards a URB that has not come back within
// "ControlTimeout"; the reaper then receives it with its discard status and
// completes the transfer. However many control transfers clients pipeline,
// the watchdog costs one thread.
//
// Lock: the module's mutex guards the deadline list and every context's
// watchdog fields. A discard is issued without it; a disarm that finds its
// URB being discarded waits for that to end, so once signalControlWatchdog
// returns the URB is never named again and may be freed.
#pragma once

#include <stddef.h>

#include "ovusbd/usb/urbgroup.h"

// Arms the watchdog of a control URB whose context is filled (group, URB):
// the URB is discarded when it is still armed after the time-out. Starts
// the timer thread when it does not run. Returns 0 or -errno (the URB then
// goes unguarded).
int startControlWatchdog(UrbContext* context, uint32_t address, usbdevfs_urb* urb);

// Disarms the URB's watchdog, waiting for a discard under way. Does nothing
// when the URB is not armed.
void signalControlWatchdog(UrbContext* context);

// Starts the timer thread unless it runs (startDeviceManagerThreads; an arm
// without it starts it too). Returns 0 or -errno.
int startControlWatchdogs();

// Ends the timer thread (stopDeviceManagerThreads). URBs still armed are no
// longer guarded; a later arm starts the thread again.
void stopControlWatchdogs();

// Control URBs armed now (for tests and the thread bound).
size_t armedControlWatchdogs();
