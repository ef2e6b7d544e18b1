// The USB layer's system calls, one member each, shaped like the calls they
// stand for. Every member is required. Each returns its value or -errno,
// never -1 with errno to be read later: a log call in between would change
// errno.
//
// `usbSys` selects the table. It points at the production pass-through
// unless something (a test's simulated bus) sets it before start-up; it is
// never changed while the USB layer runs.
#pragma once

#include <poll.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>

// Called once per directory entry, "." and ".." included, in the order the
// file system gives them. A non-zero return ends the listing.
typedef int (*UsbSysDirectoryVisitor)(void* context, const char* name);

struct UsbSys {
  // open(2). Returns a descriptor or -errno.
  int (*open)(const char* path, int flags, mode_t mode);
  // close(2). Returns 0 or -errno.
  int (*close)(int fd);
  // ioctl(2) with the structures of <linux/usbdevice_fs.h>. Returns the
  // ioctl's non-negative result or -errno. May block (USBDEVFS_REAPURB,
  // USBDEVFS_CONTROL up to the request's time-out).
  int (*ioctl)(int fd, unsigned long request, void* argument);
  // poll(2). Returns the number of ready descriptors, 0 on time-out, or
  // -errno. Blocks up to timeoutMs.
  int (*poll)(struct pollfd* fds, nfds_t count, int timeoutMs);
  // mmap(2) of a usbfs node. Stores the mapping in *mapped and returns 0, or
  // returns -errno.
  int (*mmap)(size_t length, int protection, int flags, int fd, off_t offset, void** mapped);
  // munmap(2). Returns 0 or -errno.
  int (*munmap)(void* address, size_t length);
  // read(2). Returns the bytes read (0 at the end) or -errno. A sysfs
  // attribute gives at most one page (4096 bytes) per call.
  ssize_t (*read)(int fd, void* buffer, size_t count);
  // write(2). Returns the bytes written or -errno.
  ssize_t (*write)(int fd, const void* buffer, size_t count);
  // opendir/readdir/closedir over one directory. Returns 0 or -errno.
  int (*listDirectory)(const char* path, UsbSysDirectoryVisitor visit, void* context);
  // stat(2), following links. Returns 0 or -errno.
  int (*stat)(const char* path, struct stat* status);
  // mknod(2). The process umask applies. Returns 0 or -errno.
  int (*mknod)(const char* path, mode_t mode, dev_t device);
  // unlink(2). Returns 0 or -errno.
  int (*unlink)(const char* path);
  // readlink(2); does not terminate the text. Returns its length or -errno.
  ssize_t (*readlink)(const char* path, char* buffer, size_t size);
  // socket(2), bind(2) and recv(2), for the kernel's uevent netlink socket.
  // recv with MSG_DONTWAIT returns -EAGAIN when nothing is queued; with
  // MSG_TRUNC it returns the datagram's full length even when the buffer
  // was shorter.
  int (*socket)(int domain, int type, int protocol);
  int (*bind)(int fd, const struct sockaddr* address, socklen_t length);
  ssize_t (*recv)(int fd, void* buffer, size_t length, int flags);
  // eventfd(2), to wake a thread blocked in poll. Returns a descriptor or
  // -errno.
  int (*eventfd)(unsigned int initial, int flags);
  // Runs the command through /bin/sh -c (posix_spawn) and waits. Returns
  // the wait status, or -errno when no shell could be started.
  int (*runCommand)(const char* command);
};

// The pass-through to the kernel.
extern const UsbSys productionUsbSys;

// The table in use; set before start-up, read by every USB module.
extern const UsbSys* usbSys;
