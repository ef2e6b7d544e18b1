// Taking a device away from the host's drivers for a client (the claim),
// marking it bound, and giving it back to the host's drivers (hand-back).
#pragma once

#include <stdint.h>

// On NAS platforms first unmounts every mount of a mass-storage device's
// disks and their partitions (umount through the shell; a umount that does
// not end normally keeps the device from the client). Then disconnects
// host drivers from interfaces 0..15 (those of another usbfs
// user stay), resets the device through its operation queue and waits for
// the reset, then probes zero-copy support when a zero-copy key is on.
// Before all that it notes the device's configuration, for the hand-back,
// and opens the device to client work.
// Returns 1 when the device is ready for the client, -1 when not; after a
// failed reset *resetResult holds its negative result (else 0), for the
// caller to tell the client. Runs on the bind thread; never on one of the
// device's own threads (it waits for the operation thread).
int claimDevice(uint32_t address, int* resetResult);

// Undoes the server's interface claims of a bound device (interfaces 0..7),
// sets the configuration the device had when it was claimed (its first one
// when it had none) unless it has that one, and forgets the configuration
// set through the server (255). Nothing when the device has no usbfs
// descriptor any more. The client's work must be stopped (clientwork.h).
void releaseDeviceClaim(uint32_t address);

// Sets the record's state to DEVICE_BOUND (bound) or DEVICE_FREE. False,
// with nothing changed, when the device is gone or being removed. Called
// with deviceLifecycleMutex held, so the answer stays true until it is
// released.
bool setDeviceBound(uint32_t address, bool bound);

// The record's speed byte; 2 when the device is gone.
uint8_t getDeviceSpeed(uint32_t address);

// Writes the device's name (last component of sysfsPath) to the usb
// driver's bind file and has the kernel probe each interface through
// drivers_probe ("name:c.n" while the interface exists, c the device's
// configuration, 1 when it has none or cannot be read). The kernel answers
// the bind write with EBUSY when the generic usb driver still holds the
// device (as it does after a claim); the interfaces are probed then too,
// since that is what gives them their drivers back.
void passToKernel(uint32_t address, uint16_t vendorId, uint16_t productId, const char* sysfsPath);
