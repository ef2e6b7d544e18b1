// The system calls that touch the `ravel` stub driver, one member each,
// shaped like the calls they stand for. Every member is required. Each
// returns its value or -errno, never -1 with errno to be read later.
//
// `ravelSys` selects the table. It points at the production pass-through
// unless a test program sets it before the daemon's objects are made; it is
// never changed while they exist. Descriptors returned by open are real
// descriptors: poll(2) on them tells when the driver has a message ready.
#pragma once

#include <stddef.h>
#include <sys/types.h>

struct RavelSys {
    // open(2) of a driver node ("/dev/raveld_cdev_%u"). Returns a descriptor
    // or -errno (-ENOENT while the node does not exist yet). Does not block.
    int (*open)(const char* path, int flags);
    // close(2). Returns 0 or -errno.
    int (*close)(int fd);
    // ioctl(2) with a size-prefixed argument block. Returns the ioctl's
    // non-negative result or -errno. Returns at once: the driver never
    // sleeps in an ioctl (a read with nothing ready fails with -ENODATA).
    int (*ioctl)(int fd, unsigned long request, void* argument);
    // Reads the text of /proc/devices into buffer (not terminated). Returns
    // the bytes read (at most size) or -errno.
    ssize_t (*readProcDevices)(char* buffer, size_t size);
};

extern const RavelSys productionRavelSys;
extern const RavelSys* ravelSys;

// Opens a driver node read-write. The driver may create a node a moment after
// it reported it: while the open fails with ENOENT it is tried again every
// 10 ms, 500 times. The descriptor or -errno.
int OpenRavelNode(const char* path);
