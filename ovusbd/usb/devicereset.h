// Reset and configuration of a claimed device through usbfs. Both release
// the server's interface claims first (the kernel refuses a reset or a
// configuration change while interfaces are claimed by another user) and
// take interfaces 0..7 again afterwards, from any host driver that the
// change let in.
#pragma once

#include <stdint.h>

// Offers the reset to the "onReset" hook first (1 when the hook did it, -1
// when it failed); otherwise USBDEVFS_RESET, tried once more after a second
// when busy: 0, -1 when the kernel refused, -19 when the device is gone or
// closed to clients.
int resetDevice(uint32_t address);

// Offers the change to the "onSetConfiguration" hook first (1 when the hook
// did it, -1 when it failed); otherwise applyDeviceConfiguration, with 0,
// -1 when the kernel refused, or -19.
int setDeviceConfiguration(uint32_t address, int configurationValue);

// USBDEVFS_SETCONFIGURATION with the value (-1: unconfigured), tried once
// more after a second when busy; the value is stored in the record. 0 or
// -errno (-19 when the device is gone or closed to clients). No hook: the
// hooks' own bConfigurationValue writes end here.
int applyDeviceConfiguration(uint32_t address, int configurationValue);

// The ioctl itself, with the retry after a second when the kernel answers
// EBUSY. 0 or -errno. The interfaces must be released.
int setConfigurationIoctl(int fd, uint32_t address, int configurationValue);

// USBDEVFS_CLAIMINTERFACE / RELEASEINTERFACE for interfaces 0..7, stopping
// at the first failure. releaseInterfaces returns -ENODEV when the
// descriptor is revoked or the device gone, else 0.
void claimInterfaces(int fd);
int releaseInterfaces(int fd);

// Disconnects the host drivers of interfaces 0..15 (USBDEVFS_DISCONNECT);
// interfaces of a usbfs user, this server's or another program's, stay.
// -ENODEV, with nothing done, when the descriptor is revoked or the device
// gone; else 0.
int disconnectHostDrivers(int fd);

// The device's bConfigurationValue from sysfs: the value, 0 when the
// device is unconfigured (the kernel shows an empty file), -errno when it
// cannot be read.
int readConfigurationValue(const char* sysfsPath);
