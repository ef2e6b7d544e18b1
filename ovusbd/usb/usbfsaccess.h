// Access to a device's usbfs descriptor and its in-flight URB list, by
// device address, under the device list lock (lock order: device list, then
// the device's in-flight list).
//
// A device that is being removed (DEVICE_REMOVED) is gone for every lookup
// here: its descriptor is closed once the removal has joined the device's
// threads and every user has released it.
//
// usbfs revokes every open descriptor of a device whose generic "usb"
// driver is unbound (generic_disconnect calls usbdev_remove), as when
// usbip-host takes the device: from then on every ioctl but the reap fails
// ENODEV and poll gives POLLHUP | POLLERR, for good, although the device and
// its node stay. renewUsbfs opens the node again; the revoked descriptor is
// kept open, as the device's retired one, until its last holder releases
// it, so that its number is never reused under a thread still using it.
#pragma once

#include <linux/usbdevice_fs.h>
#include <stddef.h>
#include <stdint.h>

struct ManagedUsbDevice;

// The device's usbfs descriptor, counted as in use until releaseUsbfs; or
// -ENODEV when the device is gone or being removed.
int acquireUsbfs(uint32_t address);
// `fd` is the descriptor the hold gave (the parent hub's for a hub hold, -1
// for a hold that took none); the last release of a retired descriptor
// closes it.
void releaseUsbfs(uint32_t address, int fd);

// After a call on `fd`, held, failed ENODEV: when the device is neither
// being removed nor gone from sysfs and /dev (its directory and node still
// there), usbfs has revoked the descriptor. Unless another thread has done
// so already, the node is opened again and the new descriptor made the
// device's, and the reaper is woken to move to it. The caller's hold moves
// to the device's descriptor, which is returned. -ENODEV, with the hold on
// fd kept, when the device is gone or the node cannot be opened; -EBUSY
// when a device driver other than the generic one holds the device (its
// "driver" link names it), or an earlier revoked descriptor still has
// holders.
int renewUsbfs(uint32_t address, int fd);

// The same without opening anything, for the reaper: when the device's
// descriptor is no longer fd, the hold moves to it and it is returned.
// -EAGAIN while fd is still the device's; -ENODEV, the hold on fd kept,
// once the device is being removed.
int followRenewedUsbfs(uint32_t address, int fd);

// Blocks until no thread uses the device's descriptor any more. Called by
// the removal, after DEVICE_REMOVED has stopped new users.
void waitForUsbfsUsers(uint32_t address);

// The same for work done for the device's client (transfers, resets,
// configuration and interface changes, halts, streams): also -ENODEV while
// the device is closed to clients (an unbind has begun), so that nothing a
// client asked for reaches usbfs once the server lets the interfaces go.
// Held across the whole piece of work.
int acquireClientUsbfs(uint32_t address);
void releaseClientUsbfs(uint32_t address, int fd);

// Blocks until no thread is inside client work on the device. Called by
// the unbind after closing the device to clients; the work it waits for is
// made of non-blocking submissions and single ioctls.
void waitForClientUsers(uint32_t address);

// Lists the URB as in flight, before it is submitted, so the reaper always
// finds it. -ENODEV when the device is gone or being removed.
int appendInflightUrb(uint32_t address, usbdevfs_urb* urb);

// Unlists the URB. False when it was not listed.
bool removeInflightUrb(uint32_t address, usbdevfs_urb* urb);

// URBs of `endpoint` in flight (endpoint < 0: all).
size_t countInflightUrbs(uint32_t address, int endpoint);

// Issues USBDEVFS_DISCARDURB for every URB of `endpoint` (< 0: all) while it
// is still listed, so a URB that was reaped and freed meanwhile is never
// named (its memory may already carry another transfer). A failure other
// than ENODEV is logged with `reason`.
void discardInflightUrbs(uint32_t address, int endpoint, const char* reason);
// The same on a record the caller owns (the removal).
void discardDeviceUrbs(ManagedUsbDevice* device, const char* reason);

// Discards one listed URB (the control watchdog). False when the URB was
// no longer listed or the device is gone.
bool discardInflightUrb(uint32_t address, usbdevfs_urb* urb, const char* reason);
