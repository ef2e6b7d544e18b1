// A mass-storage device read straight through usbfs, without ovusbd: the
// baseline of the guest's disk benchmark. One URB per bulk transfer, as
// ovusbd submits a transfer of up to its large URB size.
#pragma once

#include <cstdint>
#include <string>

namespace vmdisk {

// Takes interface 0 of the device NAME (sysfs name, e.g. 2-3) from its
// driver, reads mib MiB with READ(10) commands of chunk bytes each (from the
// start of the disk, wrapping at its end) and gives the rate in MB/s and
// the checksum of the disk's first bytes (bulkonly::kChecksumBytes).
// False with the reason in *why.
bool readThroughUsbfs(const std::string& name, uint8_t endpointIn, uint8_t endpointOut, uint32_t mib,
                      uint32_t chunk, double* megabytesPerSecond, uint64_t* checksum, std::string* why);

// Reads mib MiB from the block device at path with O_DIRECT reads of chunk
// bytes each (from its start, wrapping at its end): the rate in MB/s and the
// checksum of its first bytes, as readThroughUsbfs.
bool readBlockDevice(const std::string& path, uint32_t mib, uint32_t chunk, double* megabytesPerSecond,
                     uint64_t* checksum, std::string* why);

}  // namespace vmdisk
