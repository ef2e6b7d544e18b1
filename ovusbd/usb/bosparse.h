// The BOS descriptor of a hub (USB 3.2 9.6.2), read for its Container ID.
// A pure function of (bytes, length), fuzzed.
//
// Layout: bLength 5, bDescriptorType 0x0F, wTotalLength (little-endian),
// bNumDeviceCaps, then device capability descriptors, each bLength,
// bDescriptorType 0x10, bDevCapabilityType, its fields. The Container ID
// capability (type 4) is 20 bytes: a reserved byte at 3, the UUID at 4.
//
// Checks, in order: the whole 5-byte header; its type; wTotalLength at least
// the header. The walk then covers only bytes that were read and stops at a
// capability shorter than its own 3-byte head or running past the end, since
// a zero length would never advance.
#pragma once

#include <stddef.h>
#include <stdint.h>

constexpr size_t kBosHeaderSize = 5;
constexpr uint8_t kBosDescriptorType = 0x0F;
constexpr uint8_t kContainerIdCapability = 4;
constexpr size_t kContainerIdSize = 16;

// wTotalLength of a BOS header, or -EINVAL when the header is short, of
// another type, or claims less than itself.
int bosTotalLength(const uint8_t* bos, size_t length);

// The number of capabilities the header announces (bNumDeviceCaps), or
// -EINVAL as bosTotalLength.
int bosCapabilityCount(const uint8_t* bos, size_t length);

// Walks the capabilities of the `length` bytes read for the first Container
// ID and copies its 16 bytes to containerId. Returns 1 when found, 0 when
// the walk ended without one, -EINVAL when the header or a capability before
// it is malformed (containerId untouched then).
int findBosContainerId(const uint8_t* bos, size_t length, uint8_t containerId[kContainerIdSize]);
