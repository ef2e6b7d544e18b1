// Reading sysfs attributes of USB devices through the system-call seam.
// Every read is bounded by the buffer it fills and loops, since the kernel
// hands out at most one page per read(2).
#pragma once

#include <stddef.h>
#include <sys/types.h>

// Bytes loadSysfsFile keeps of a file.
constexpr size_t kSysfsFileLimit = 1024;

// Path of an attribute: "<name>/<attribute>" when the name starts with
// "/sys", else "/sys/<name>/<attribute>". False when it does not fit.
bool sysfsAttributePath(const char* sysfsName, const char* attribute, char* path, size_t size);

// Content of an attribute file as a new zero-terminated text of at most
// 1024 bytes, cut at its first zero byte; null when it cannot be opened or
// gives nothing. With logErrors (and not on QNAP) the failure is logged.
// The caller frees the text.
char* loadSysfsFile(const char* sysfsName, const char* attribute, bool logErrors);

// Reads from fd until the end or until `size` bytes are in buffer. Returns
// the bytes read, or -errno when a read failed before anything was read.
ssize_t readFully(int fd, void* buffer, size_t size);

// realpath(3) through the seam: every symbolic link of the absolute path
// followed (at most 40), "." and ".." taken away. Returns 0 with the path
// in `resolved`, or -errno (-ENAMETOOLONG when it does not fit `size`).
int resolvePath(const char* path, char* resolved, size_t size);
