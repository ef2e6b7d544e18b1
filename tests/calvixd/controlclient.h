// A raw client of the control socket for tests: connects to an abstract
// name, sends bytes, reads until the daemon closes. Written from the wire
// layout, not from the server's code.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace controlclient {

// -1 when nobody listens on the name.
inline int Connect(const std::string& name)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address;
    memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path + 1, name.data(), name.size());
    socklen_t length = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + 1 + name.size() + 1);
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&address), length) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

inline bool Send(int fd, const std::vector<uint8_t>& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Reads up to `count` bytes (all of them unless the stream ends first);
// gives up after timeoutMs without a byte. *ended tells whether the peer
// closed (as opposed to the time running out).
inline std::vector<uint8_t> Read(int fd, size_t count, int timeoutMs = 20000, bool* ended = nullptr)
{
    std::vector<uint8_t> out;
    if (ended)
        *ended = false;
    while (out.size() < count) {
        struct pollfd entry = {fd, POLLIN, 0};
        if (poll(&entry, 1, timeoutMs) != 1)
            break;
        uint8_t buffer[4096];
        size_t want = count - out.size() < sizeof(buffer) ? count - out.size() : sizeof(buffer);
        ssize_t n = recv(fd, buffer, want, 0);
        if (n <= 0) {
            if (ended)
                *ended = true;
            break;
        }
        out.insert(out.end(), buffer, buffer + n);
    }
    return out;
}

// Everything until the daemon closes.
inline std::vector<uint8_t> ReadToEnd(int fd, int timeoutMs = 20000, bool* ended = nullptr)
{
    return Read(fd, SIZE_MAX, timeoutMs, ended);
}

inline std::vector<uint8_t> Hello(uint32_t requested = 0)
{
    return {0x4E, 0x53, 0x46, 0x49, uint8_t(requested), uint8_t(requested >> 8), uint8_t(requested >> 16),
            uint8_t(requested >> 24)};
}

inline uint32_t Le32(const std::vector<uint8_t>& bytes, size_t at = 0)
{
    return uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8 | uint32_t(bytes[at + 2]) << 16 |
           uint32_t(bytes[at + 3]) << 24;
}

} // namespace controlclient
