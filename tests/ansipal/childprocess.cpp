#include "tests/ansipal/childprocess.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ansipal_test {

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

} // namespace

void closeFd(int& fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

Child spawnWithPipes(const std::string& program, const char* outputPath)
{
    int in[2], out[2] = {-1, -1}, err[2];
    if (pipe2(in, O_CLOEXEC) < 0 || pipe2(err, O_CLOEXEC) < 0)
        return {};
    int outFd;
    if (outputPath) {
        outFd = open(outputPath, O_WRONLY | O_CLOEXEC);
    } else {
        if (pipe2(out, O_CLOEXEC) < 0)
            return {};
        outFd = out[1];
    }
    if (outFd < 0)
        return {};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(outFd, 1);
        dup2(err[1], 2);
        execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(in[0]);
    close(outFd);
    close(err[1]);
    Child c;
    c.pid = pid;
    c.stdinFd = in[1];
    c.stdoutFd = out[0];
    c.stderrFd = err[0];
    return c;
}

Child spawnOnPty(const std::string& program)
{
    int in[2];
    if (pipe2(in, O_CLOEXEC) < 0)
        return {};
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        dup2(in[0], 0);
        execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(in[0]);
    if (pid < 0) {
        close(in[1]);
        return {};
    }
    fcntl(master, F_SETFD, FD_CLOEXEC);
    Child c;
    c.pid = pid;
    c.stdinFd = in[1];
    c.stdoutFd = master;
    return c;
}

ReadEnd readUntil(int fd, std::string& into, const std::function<bool(const std::string&)>& done,
                  std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (done(into))
            return ReadEnd::Done;
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, msLeft(deadline));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return ReadEnd::Error;
        if (r == 0)
            return ReadEnd::Timeout;
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || (n < 0 && errno == EIO))
            return done(into) ? ReadEnd::Done : ReadEnd::Eof;
        if (n < 0)
            return ReadEnd::Error;
        into.append(buf, static_cast<std::size_t>(n));
    }
}

bool pump(Child& child, const std::string& input, std::string& out, std::string& err,
          std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    std::size_t written = 0;
    // A blocking write larger than the pipe would wait for the child, which
    // may itself wait for us to read its output.
    if (child.stdinFd >= 0)
        fcntl(child.stdinFd, F_SETFL, fcntl(child.stdinFd, F_GETFL) | O_NONBLOCK);
    if (input.empty())
        closeFd(child.stdinFd);
    while (child.stdinFd >= 0 || child.stdoutFd >= 0 || child.stderrFd >= 0) {
        pollfd p[3] = {{child.stdinFd, POLLOUT, 0},
                       {child.stdoutFd, POLLIN, 0},
                       {child.stderrFd, POLLIN, 0}};
        int r = poll(p, 3, msLeft(deadline));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        if (p[0].revents) {
            ssize_t n = write(child.stdinFd, input.data() + written, input.size() - written);
            if (n < 0 && errno != EINTR && errno != EAGAIN)
                return false;
            if (n > 0)
                written += static_cast<std::size_t>(n);
            if (written == input.size())
                closeFd(child.stdinFd);
        }
        int* fds[2] = {&child.stdoutFd, &child.stderrFd};
        std::string* sinks[2] = {&out, &err};
        for (int i = 0; i < 2; i++) {
            if (!p[i + 1].revents)
                continue;
            char buf[65536];
            ssize_t n = read(*fds[i], buf, sizeof buf);
            if (n > 0)
                sinks[i]->append(buf, static_cast<std::size_t>(n));
            else if (n == 0 || errno != EINTR)
                closeFd(*fds[i]);
        }
    }
    return true;
}

int waitExit(pid_t pid, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return status;
        if (r < 0 && errno != EINTR)
            return -1;
        if (msLeft(deadline) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        // A short poll between checks: the child usually ends within
        // moments of closing its output.
        poll(nullptr, 0, 5);
    }
}

} // namespace ansipal_test
