// Runs a program as a child with its standard streams on pipes, or with its
// output on a pseudo-terminal, and reads from it with a deadline.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include <sys/types.h>

namespace ansipal_test {

struct Child {
    pid_t pid = -1;
    int stdinFd = -1;  // write end of the child's standard input
    int stdoutFd = -1; // read end of its standard output (the pty master on a pty)
    int stderrFd = -1; // read end of its standard error, -1 on a pty
};

// Standard input, output and error on pipes. outputPath, when given, is
// opened for the child's standard output instead of a pipe.
Child spawnWithPipes(const std::string& program, const char* outputPath = nullptr);

// Standard output and error on the slave side of a new pseudo-terminal
// (its controlling terminal), standard input on a pipe.
Child spawnOnPty(const std::string& program);

void closeFd(int& fd);

enum class ReadEnd { Done, Eof, Timeout, Error };

// Appends what fd delivers to into until done(into) holds, the other end
// closes (EOF, or EIO on a pty master) or the deadline passes.
ReadEnd readUntil(int fd, std::string& into, const std::function<bool(const std::string&)>& done,
                  std::chrono::milliseconds timeout);

// Writes input to stdinFd and closes it while collecting stdout and stderr
// until both close, so a child that answers while it reads cannot block us.
bool pump(Child& child, const std::string& input, std::string& out, std::string& err,
          std::chrono::milliseconds timeout);

// The exit status as waitpid reports it, or -1 when the child has not ended
// by the deadline (it is then killed and reaped).
int waitExit(pid_t pid, std::chrono::milliseconds timeout);

} // namespace ansipal_test
