// The three threads of a managed device: the operation thread, the URB
// reaper and the completion thread. Each gets its own allocated copy of the
// device address, never a pointer to the record.
//
// They are started before their record is published and wait at a start
// gate until the record is in deviceList (or until the creation is given up,
// when they end without touching anything), so a published record always
// has its threads.
#pragma once

#include <pthread.h>
#include <stdint.h>

struct DeviceStartGate;

struct DeviceThreads {
  pthread_t operation;
  pthread_t reaper;
  pthread_t completion;
  DeviceStartGate* gate;
};

// Starts the three threads, held at their gate. Returns 0, or -errno with no
// thread left running.
int startDeviceThreads(uint32_t address, DeviceThreads* threads);

// Opens the gate: the threads look their record up and run.
void openDeviceThreads(DeviceThreads* threads);

// Gives up a creation: the threads end at the gate and are joined.
void abandonDeviceThreads(DeviceThreads* threads);

struct ManagedUsbDevice;
struct usbdevfs_urb;

// Wakes the device's reaper from its poll after `unplugged` was set or its
// descriptor renewed. Runs under the device list lock.
void wakeDeviceReaper(ManagedUsbDevice* device);

// The reaper's handling of one reaped URB: its results added to its
// transfer, the URB unlisted and freed, the transfer delivered when this was
// its last URB.
void handleReapedUrb(uint32_t address, usbdevfs_urb* urb);

// Thread bodies; each frees its address copy when it ends.
void deviceOperationThread(uint32_t* address);
void urbReaperThread(uint32_t* address);
void deviceCompletionThread(uint32_t* address);
