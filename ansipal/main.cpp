// ansipal: loads our palette into the Linux console, then copies standard
// input to standard output with the colour attributes rewritten.
//
// Output is written with write(2) as soon as each read has been filtered,
// never held in a buffer while we wait for more input: a prompt without a
// newline must reach the screen before the user is expected to answer it.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <poll.h>
#include <unistd.h>

#include "ansipal/colourfilter.h"

namespace {

// Returns 0 or -errno.
int writeAll(int fd, const std::string& data)
{
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                // An inherited non-blocking descriptor: wait until it drains.
                pollfd p{fd, POLLOUT, 0};
                poll(&p, 1, -1);
                continue;
            }
            return -errno;
        }
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

// Returns the byte count, 0 at end of input, or -errno.
ssize_t readSome(int fd, unsigned char* buffer, std::size_t size)
{
    for (;;) {
        ssize_t n = read(fd, buffer, size);
        if (n >= 0)
            return n;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            pollfd p{fd, POLLIN, 0};
            poll(&p, 1, -1);
            continue;
        }
        return -errno;
    }
}

void reportError(const char* what, int err)
{
    std::fprintf(stderr, "ansipal: %s: %s\n", what, std::strerror(err));
}

} // namespace

int main()
{
    ansipal::ColourFilter filter;
    ansipal::initFilter(filter);

    std::string out;
    ansipal::writeStartText(filter, out);
    int rc = writeAll(STDOUT_FILENO, out);
    if (rc < 0) {
        reportError("write error", -rc);
        return 1;
    }

    unsigned char buffer[4096];
    int status = 0;
    for (;;) {
        ssize_t n = readSome(STDIN_FILENO, buffer, sizeof buffer);
        if (n == 0)
            break;
        if (n < 0) {
            reportError("read error", static_cast<int>(-n));
            status = 1;
            break; // still restore the console below
        }
        out.clear();
        ansipal::filterBytes(filter, buffer, static_cast<std::size_t>(n), out);
        rc = writeAll(STDOUT_FILENO, out);
        if (rc < 0) {
            reportError("write error", -rc);
            return 1;
        }
    }

    out.clear();
    ansipal::writeEndText(out);
    rc = writeAll(STDOUT_FILENO, out);
    if (rc < 0) {
        reportError("write error", -rc);
        return 1;
    }
    return status;
}
