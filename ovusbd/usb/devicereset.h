// Reset and configuration of a claimed device through usbfs. Both release
// the server's interface claims first (the kernel refuses a reset or a
// configuration change while interfaces are claimed by another user) and
// claim interfaces 0..7 again afterwards.
#pragma once

#include <stdint.h>

// Offers the reset to the "onReset" hook first (1 when the hook did it, -1
// when it failed); otherwise USBDEVFS_RESET, tried once more after a second
// when busy: 0, -1 when the kernel refused, -19 when the device is gone.
int resetDevice(uint32_t address);

// Offers the change to the "onSetConfiguration" hook first (1 when the hook
// did it, -1 when it failed); otherwise applyDeviceConfiguration, with 0,
// -1 when the kernel refused, or -19.
int setDeviceConfiguration(uint32_t address, int configurationValue);

// USBDEVFS_SETCONFIGURATION with the value (-1: unconfigured), tried once
// more after a second when busy; the value is stored in the record. 0 or
// -errno (-19 when the device is gone). No hook: the hooks' own
// bConfigurationValue writes end here.
int applyDeviceConfiguration(uint32_t address, int configurationValue);

// USBDEVFS_CLAIMINTERFACE / RELEASEINTERFACE for interfaces 0..7, stopping
// at the first failure.
void claimInterfaces(int fd);
void releaseInterfaces(int fd);
