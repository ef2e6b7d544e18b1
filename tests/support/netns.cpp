#include "tests/support/netns.h"

#include <errno.h>
#include <net/if.h>
#include <sched.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace netns {

int enterPrivateNetwork(std::string *error) {
    if (unshare(CLONE_NEWNET) != 0) {
        int e = errno;
        if (error) *error = std::string("unshare(CLONE_NEWNET): ") + strerror(e);
        return -e;
    }
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        int e = errno;
        if (error) *error = std::string("socket: ") + strerror(e);
        return -e;
    }
    ifreq request;
    memset(&request, 0, sizeof request);
    strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    int result = 0;
    if (ioctl(fd, SIOCGIFFLAGS, &request) != 0) {
        result = -errno;
        if (error) *error = "SIOCGIFFLAGS lo";
    } else {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
        if (ioctl(fd, SIOCSIFFLAGS, &request) != 0) {
            result = -errno;
            if (error) *error = "SIOCSIFFLAGS lo";
        }
    }
    close(fd);
    return result;
}

} // namespace netns
