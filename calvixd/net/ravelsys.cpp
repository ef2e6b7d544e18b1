#include "calvixd/net/ravelsys.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "sys/thread"

namespace {

int KernelOpen(const char* path, int flags)
{
    int fd = open(path, flags | O_CLOEXEC);
    return fd < 0 ? -errno : fd;
}

int KernelClose(int fd)
{
    return close(fd) < 0 ? -errno : 0;
}

int KernelIoctl(int fd, unsigned long request, void* argument)
{
    int result = ioctl(fd, request, argument);
    return result < 0 ? -errno : result;
}

ssize_t KernelReadProcDevices(char* buffer, size_t size)
{
    int fd = open("/proc/devices", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    size_t total = 0;
    while (total < size) {
        ssize_t n = read(fd, buffer + total, size - total);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int error = errno;
            close(fd);
            return -error;
        }
        if (n == 0)
            break;
        total += static_cast<size_t>(n);
    }
    close(fd);
    return static_cast<ssize_t>(total);
}

} // namespace

const RavelSys productionRavelSys = {KernelOpen, KernelClose, KernelIoctl, KernelReadProcDevices};
const RavelSys* ravelSys = &productionRavelSys;

int OpenRavelNode(const char* path)
{
    const int tries = 500;
    const int waitMs = 10;
    int fd = -ENOENT;
    for (int i = 0; i < tries; i++) {
        fd = ravelSys->open(path, O_RDWR);
        if (fd != -ENOENT)
            break;
        SleepMs(waitMs);
    }
    return fd;
}
