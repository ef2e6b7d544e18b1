// The file system calls of the configuration save, one member per system
// call, each returning its result or a negative errno (never -1 with errno
// left to be read later). All of them block until the kernel answers; fsync
// blocks until the data is on the disk. One pointer selects the table: the
// production one unless a test points it at its own before the first save.
#pragma once

#include <stddef.h>
#include <sys/stat.h>
#include <sys/types.h>

struct ConfigFileSys {
  int (*open)(const char* path, int flags, mode_t mode);  // descriptor
  int (*stat)(const char* path, struct stat* status);
  int (*fchmod)(int fd, mode_t mode);
  ssize_t (*write)(int fd, const void* data, size_t length);  // bytes written
  int (*fsync)(int fd);
  int (*close)(int fd);
  int (*rename)(const char* from, const char* to);
  int (*unlink)(const char* path);
};

extern const ConfigFileSys productionConfigFileSys;
extern const ConfigFileSys* configFileSys;
