#include "ovusbd/core/configfilesys.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

namespace {

int result(int value) { return value < 0 ? -errno : value; }

int sysOpen(const char* path, int flags, mode_t mode) { return result(::open(path, flags, mode)); }
int sysStat(const char* path, struct stat* status) { return result(::stat(path, status)); }
int sysFchmod(int fd, mode_t mode) { return result(::fchmod(fd, mode)); }
ssize_t sysWrite(int fd, const void* data, size_t length) {
  ssize_t written = ::write(fd, data, length);
  return written < 0 ? -errno : written;
}
int sysFsync(int fd) { return result(::fsync(fd)); }
int sysClose(int fd) { return result(::close(fd)); }
int sysRename(const char* from, const char* to) { return result(::rename(from, to)); }
int sysUnlink(const char* path) { return result(::unlink(path)); }

}  // namespace

const ConfigFileSys productionConfigFileSys = {sysOpen,  sysStat,  sysFchmod, sysWrite,
                                               sysFsync, sysClose, sysRename, sysUnlink};
const ConfigFileSys* configFileSys = &productionConfigFileSys;
