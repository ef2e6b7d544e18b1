// The production seam: every member is the system call itself, with the
// failure turned into -errno on the spot.
#include "ovusbd/usb/usbsys.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "ovusbd/core/shellcommand.h"

// A 32-bit process's usbfs requests reach a 64-bit kernel through its
// compat layer (usbdevfs_urb32, usbdevfs_ctrltransfer32 and usbdevfs_ioctl32
// in drivers/usb/core/devio.c), which reads each pointer as a 32-bit word
// and knows the requests by numbers that carry the 32-bit sizes. A layout
// of our own, or a header that widened a field, would be an ioctl the
// kernel refuses.
constexpr bool kPointers32 = sizeof(void*) == 4;
static_assert(sizeof(void*) == 4 || sizeof(void*) == 8);
static_assert(sizeof(usbdevfs_urb) == (kPointers32 ? 44 : 56));
static_assert(offsetof(usbdevfs_urb, buffer) == (kPointers32 ? 12 : 16));
static_assert(offsetof(usbdevfs_urb, usercontext) == (kPointers32 ? 40 : 48));
static_assert(offsetof(usbdevfs_urb, iso_frame_desc) == sizeof(usbdevfs_urb));
static_assert(sizeof(usbdevfs_iso_packet_desc) == 12);
static_assert(sizeof(usbdevfs_ctrltransfer) == (kPointers32 ? 16 : 24));
static_assert(offsetof(usbdevfs_ctrltransfer, data) == (kPointers32 ? 12 : 16));
static_assert(sizeof(usbdevfs_ioctl) == (kPointers32 ? 12 : 16));
static_assert(USBDEVFS_SUBMITURB == (kPointers32 ? 0x802c550aul : 0x8038550aul));
static_assert(USBDEVFS_REAPURB == (kPointers32 ? 0x4004550cul : 0x4008550cul));
static_assert(USBDEVFS_REAPURBNDELAY == (kPointers32 ? 0x4004550dul : 0x4008550dul));
static_assert(USBDEVFS_CONTROL == (kPointers32 ? 0xc0105500ul : 0xc0185500ul));
static_assert(USBDEVFS_IOCTL == (kPointers32 ? 0xc00c5512ul : 0xc0105512ul));

namespace {

inline int result(int value) { return value < 0 ? -errno : value; }
inline ssize_t sizeResult(ssize_t value) { return value < 0 ? -errno : value; }

int sysOpen(const char* path, int flags, mode_t mode) { return result(::open(path, flags | O_CLOEXEC, mode)); }
int sysClose(int fd) { return result(::close(fd)); }
int sysIoctl(int fd, unsigned long request, void* argument) { return result(::ioctl(fd, request, argument)); }
int sysPoll(struct pollfd* fds, nfds_t count, int timeoutMs) { return result(::poll(fds, count, timeoutMs)); }
int sysMunmap(void* address, size_t length) { return result(::munmap(address, length)); }
ssize_t sysRead(int fd, void* buffer, size_t count) { return sizeResult(::read(fd, buffer, count)); }
ssize_t sysWrite(int fd, const void* buffer, size_t count) { return sizeResult(::write(fd, buffer, count)); }
int sysStat(const char* path, struct stat* status) { return result(::stat(path, status)); }
int sysMknod(const char* path, mode_t mode, dev_t device) { return result(::mknod(path, mode, device)); }
int sysUnlink(const char* path) { return result(::unlink(path)); }
ssize_t sysReadlink(const char* path, char* buffer, size_t size) { return sizeResult(::readlink(path, buffer, size)); }
int sysSocket(int domain, int type, int protocol) { return result(::socket(domain, type | SOCK_CLOEXEC, protocol)); }
int sysBind(int fd, const struct sockaddr* address, socklen_t length) { return result(::bind(fd, address, length)); }
ssize_t sysRecv(int fd, void* buffer, size_t length, int flags) { return sizeResult(::recv(fd, buffer, length, flags)); }
int sysEventfd(unsigned int initial, int flags) { return result(::eventfd(initial, flags | EFD_CLOEXEC)); }

int sysMmap(size_t length, int protection, int flags, int fd, off_t offset, void** mapped) {
  void* address = ::mmap(nullptr, length, protection, flags, fd, offset);
  if (address == MAP_FAILED) return -errno;
  *mapped = address;
  return 0;
}

int sysListDirectory(const char* path, UsbSysDirectoryVisitor visit, void* context) {
  DIR* directory = ::opendir(path);
  if (!directory) return -errno;
  while (struct dirent* entry = ::readdir(directory)) {
    if (visit(context, entry->d_name)) break;
  }
  ::closedir(directory);
  return 0;
}

int sysRunCommand(const char* command) { return runShellCommand(command); }

}  // namespace

const UsbSys productionUsbSys = {
    .open = sysOpen,
    .close = sysClose,
    .ioctl = sysIoctl,
    .poll = sysPoll,
    .mmap = sysMmap,
    .munmap = sysMunmap,
    .read = sysRead,
    .write = sysWrite,
    .listDirectory = sysListDirectory,
    .stat = sysStat,
    .mknod = sysMknod,
    .unlink = sysUnlink,
    .readlink = sysReadlink,
    .socket = sysSocket,
    .bind = sysBind,
    .recv = sysRecv,
    .eventfd = sysEventfd,
    .runCommand = sysRunCommand,
};

const UsbSys* usbSys = &productionUsbSys;
