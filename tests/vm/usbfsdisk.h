// A mass-storage device read straight through usbfs, without ovusbd: the
// baseline of the guest's disk benchmark. One URB per bulk transfer, as
// ovusbd submits a transfer of up to its large URB size.
#pragma once

#include <cstdint>
#include <string>

namespace vmdisk {

// Takes interface 0 of the device NAME (sysfs name, e.g. 2-3) from its
// driver, reads mib MiB with READ(10) commands of chunk bytes each (from the
// start of the disk, wrapping at its end) and gives the rate in MB/s.
// False with the reason in *why.
bool readThroughUsbfs(const std::string& name, uint8_t endpointIn, uint8_t endpointOut, uint32_t mib,
                      uint32_t chunk, double* megabytesPerSecond, std::string* why);

}  // namespace vmdisk
