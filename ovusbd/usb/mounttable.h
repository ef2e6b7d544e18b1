// Reading the mounts table (/etc/mtab, in the kernel's /proc/self/mounts
// format: one mount a line, fields separated by blanks, the mounted device
// first) for the mounts of one block device. Pure functions of the text.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Longest device field that is passed on; longer ones cannot name a block
// device of the USB layer and are skipped.
constexpr size_t kMountDeviceSize = 64;

// True when the `length` bytes at `device` are "/dev/" + block, or that
// followed only by digits (a partition: sdb1, not sdba1). `block` is a
// kernel name ("sdb").
bool namesBlockDeviceOrPartition(const char* device, size_t length, const char* block);

// Called with the NUL-terminated device field of a matching line. A
// non-zero return ends the walk with that value.
typedef int (*MountVisitor)(void* context, const char* device);

// Calls visit for every line of the text whose device names block or one
// of its partitions, in table order. Returns 0, or the visitor's non-zero
// value that ended the walk.
int forEachBlockDeviceMount(const char* text, size_t length, const char* block, MountVisitor visit, void* context);
