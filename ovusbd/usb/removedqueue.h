// The device layer's service threads: the removed-device thread, which
// completes with -19 the transfers whose device vanished, and the zero-copy
// collector (zerocopy.h). Started once by start-up, stopped once after every
// device has been unplugged.
#pragma once

#include "ovusbd/usb/urbgroup.h"

// Creates the removed-device queue and the zero-copy pool and starts both
// threads. Returns 0 or -errno (nothing is left running then).
int startDeviceManagerThreads();

// Stops both threads. Groups still queued are completed with -19 first, so
// none is lost; then every zero-copy mapping is unmapped. Call only after
// every device is unplugged (stopDeviceManager).
void stopDeviceManagerThreads();

// Appends a group to the removed-device queue. False when the thread does
// not run (the caller then delivers the group itself).
bool appendRemovedGroup(UrbGroup* group);
