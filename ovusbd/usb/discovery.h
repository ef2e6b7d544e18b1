// USB discovery: the start-up enumeration of /sys/bus/usb/devices, the
// uevent monitor thread that reads the kernel's add and remove events, and
// the hot-plug worker that turns them into device records or removals.
//
// Threads: the monitor only appends to the hot-plug queue; the worker is its
// only consumer. Adds and removals are serialised by deviceLifecycleMutex.
#pragma once

#include <stdint.h>

struct HotplugEvent {
  char* path;   // sysfs path of the device, owned by the event
  uint8_t add;  // 1 add, 0 remove
};

// Starts discovery: makes the hub and node lists and the hot-plug queue,
// starts the monitor, enumerates the devices present on this thread, then
// starts the worker. Returns 0, -EALREADY when discovery runs, -ENODEV
// when there is no deviceList, or -ENOMEM. A monitor that cannot start is logged and
// leaves discovery without hot-plug; that is not a failure.
int startUsbDiscoveryThreads();

// Stops the monitor and the worker (each joined), releases claimed hubs and
// removes the nodes the server made for hubs. Does nothing when not started.
void stopUsbDiscoveryThreads();

// One pass over /sys/bus/usb/devices, adding every device not yet managed.
void enumerateUsbDevices();

// Applies the configuration filters to the device of one uevent text and
// makes its record when it is to be managed. `hotplugged` is 1 from the
// worker, 0 from the enumeration. Called with deviceLifecycleMutex held.
void addUsbDeviceFromUevent(const char* ueventText, const char* sysfsPath, int hotplugged);

// Counts of datagrams the monitor took in, for tests and diagnostics.
struct UeventCounters {
  unsigned long queued;   // add or remove events handed to the worker
  unsigned long skipped;  // well formed, not a USB device add or remove
  unsigned long refused;  // malformed, cut or oversized
  unsigned long handled;  // events the worker finished
};
UeventCounters ueventCounters();
