#include "ovusbd/core/daemon.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ovusbd/core/log.h"

void ensureStandardDescriptors() {
  for (int fd = 0; fd <= 2; fd++) {
    if (fcntl(fd, F_GETFD) >= 0) continue;
    int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      dup2(opened, fd);
      close(opened);
    }
  }
}

DaemonResult daemonise() {
  pid_t pid = fork();
  if (pid < 0) {
    int e = errno;
    fprintf(stderr, "Error %d creating daemon (pid), %s\n", e, strerror(e));
    return kDaemonFailed;
  }
  if (pid > 0) return kDaemonParent;

  umask(0);
  if (setsid() < 0) {
    int e = errno;
    fprintf(stderr, "Error %d, setting sid, failed to continue daemon execution, %s\n", e,
            strerror(e));
    return kDaemonFailed;
  }
  if (chdir("/") != 0) {
    int e = errno;
    fprintf(stderr, "Error %d setting working path in daemon, %s\n", e, strerror(e));
    return kDaemonFailed;
  }
  // dup2 over 0 to 2 instead of close-then-open: a descriptor of ours that
  // happens to sit lower can never be taken for a standard stream.
  static const struct {
    int flags;
    const char* name;
  } streams[3] = {{O_RDONLY, "stdin"}, {O_WRONLY, "stdout"}, {O_RDWR, "stderr"}};
  fflush(stdout);
  fflush(stderr);
  for (int fd = 0; fd <= 2; fd++) {
    int opened = open("/dev/null", streams[fd].flags);
    if (opened < 0 || (opened != fd && dup2(opened, fd) < 0)) {
      int e = errno;
      if (opened >= 0) close(opened);
      logMessage(3, "Error %d reopening %s while daemonising, %s", e, streams[fd].name,
                 strerror(e));
      return kDaemonFailed;
    }
    if (opened != fd) close(opened);
  }
  return kDaemonChild;
}
