#include "ovusbd/core/signals.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <initializer_list>

#include "ovusbd/core/coresettings.h"
#include "ovusbd/core/log.h"
#include "ovusbd/core/version.h"

std::atomic<int> stopSignalReceived{0};

namespace {

// Self-pipe: the stop handler writes one byte, the main thread polls the
// read end. Both ends close-on-exec; the write end never blocks.
int stopPipe[2] = {-1, -1};

// Crash texts, formatted when the handlers are installed: snprintf,
// strsignal and the logger's mutex are not async-signal-safe.
struct CrashText {
  int signal;
  char text[256];
  size_t length;
};
CrashText crashTexts[4];

// Where the crash handler writes besides stderr: the -r stream's
// descriptor, or syslog's socket, or nowhere (QNAP: stderr only).
int crashLogFd = -1;
bool crashToSyslog = false;
char syslogTag[64];  // "ovusbd"

const char kSupportContact[] = "support@orvanta.example";

void safeWrite(int fd, const char* text, size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, text, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    length -= static_cast<size_t>(n);
  }
}

size_t appendText(char* buffer, size_t used, size_t size, const char* text, size_t length) {
  if (used + length > size) length = size - used;
  memcpy(buffer + used, text, length);
  return used + length;
}

size_t appendNumber(char* buffer, size_t used, size_t size, unsigned long value) {
  char digits[24];
  size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value);
  while (n > 0 && used < size) buffer[used++] = digits[--n];
  return used;
}

// One syslog datagram on /dev/log, put together by hand: syslog() takes
// locks and allocates.
void crashToSyslogSocket(const CrashText& crash) {
  char record[512];
  size_t used = appendText(record, 0, sizeof record, "<11>", 4);  // LOG_USER | LOG_ERR
  used = appendText(record, used, sizeof record, syslogTag, strlen(syslogTag));
  used = appendText(record, used, sizeof record, "[", 1);
  used = appendNumber(record, used, sizeof record, static_cast<unsigned long>(getpid()));
  used = appendText(record, used, sizeof record, "]: ", 3);
  used = appendText(record, used, sizeof record, crash.text, crash.length);
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  struct sockaddr_un address;
  memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  memcpy(address.sun_path, "/dev/log", sizeof "/dev/log");
  sendto(fd, record, used, MSG_NOSIGNAL, reinterpret_cast<struct sockaddr*>(&address),
         sizeof address);
  close(fd);
}

void prepareCrashTexts() {
  const int signals[4] = {SIGILL, SIGBUS, SIGSEGV, SIGABRT};
  for (int i = 0; i < 4; i++) {
    CrashText& crash = crashTexts[i];
    crash.signal = signals[i];
    int n = snprintf(crash.text, sizeof crash.text,
                     "Orvanta %d.%d.%d caught signal %d (%s) and must exit. Sorry for the "
                     "inconvenience, please contact %s for help",
                     kVersionMajor, kVersionMinor, kVersionPatch, signals[i],
                     strsignal(signals[i]), kSupportContact);
    crash.length = n < 0 ? 0 : static_cast<size_t>(n) >= sizeof crash.text ? sizeof crash.text - 1
                                                                            : static_cast<size_t>(n);
  }
  crashLogFd = -1;
  crashToSyslog = false;
  pthread_mutex_lock(&logMutex);
  FILE* stream = logFile;
  pthread_mutex_unlock(&logMutex);
  if (stream) {
    crashLogFd = fileno(stream);
    if (crashLogFd == STDERR_FILENO) crashLogFd = -1;  // stderr gets the text anyway
  } else if (coreSettings().platformCode != kPlatformQnap) {
    crashToSyslog = true;
    char exe[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
    exe[length < 0 ? 0 : length] = '\0';
    const char* slash = strrchr(exe, '/');
    const char* name = slash ? slash + 1 : exe;
    size_t nameLength = strnlen(name, sizeof syslogTag - 1);
    memcpy(syslogTag, name, nameLength);
    syslogTag[nameLength] = '\0';
  }
}

struct HandledSignal {
  int signal;
  const char* name;
  bool checked;
  bool installed;
};

}  // namespace

void stopSignalHandler(int signal) {
  int saved = errno;
  stopSignalReceived = signal;
  if (stopPipe[1] >= 0) {
    char byte = 1;
    ssize_t ignored = write(stopPipe[1], &byte, 1);  // a full pipe already says "stop"
    (void)ignored;
  }
  errno = saved;
}

void crashSignalHandler(int signal) {
  const CrashText* crash = nullptr;
  for (const CrashText& c : crashTexts)
    if (c.signal == signal && c.length) crash = &c;
  if (crash) {
    if (crashLogFd >= 0) {
      safeWrite(crashLogFd, "LOG_ERR     ", 12);
      safeWrite(crashLogFd, crash->text, crash->length);
      safeWrite(crashLogFd, "\n", 1);
    } else if (crashToSyslog) {
      crashToSyslogSocket(*crash);
    }
    safeWrite(STDERR_FILENO, crash->text, crash->length);
    safeWrite(STDERR_FILENO, "\n", 1);
  }
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
  kill(getpid(), signal);
}

bool installSignalHandlers() {
  prepareCrashTexts();
  if (stopPipe[0] < 0 && pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    int e = errno;
    fprintf(stderr, "Error %d setting SIGTERM, %s", e, strerror(e));
    return false;
  }
  stopSignalReceived = 0;

  HandledSignal handled[] = {
      {SIGTERM, "SIGTERM", true, false}, {SIGINT, "SIGINT", true, false},
      {SIGILL, "SIGILL", false, false},  {SIGBUS, "SIGBUS", false, false},
      {SIGSEGV, "SIGSEGV", true, false}, {SIGABRT, "SIGABRT", true, false},
      {SIGPIPE, "SIGPIPE", true, false},
  };
  for (HandledSignal& h : handled) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    sigemptyset(&action.sa_mask);
    if (h.signal == SIGTERM) {
      // As signal() installs it: system calls restart after the handler.
      action.sa_handler = stopSignalHandler;
      action.sa_flags = SA_RESTART;
    } else if (h.signal == SIGINT) {
      action.sa_handler = stopSignalHandler;
    } else if (h.signal == SIGPIPE) {
      action.sa_handler = SIG_IGN;
    } else {
      action.sa_handler = crashSignalHandler;
    }
    if (sigaction(h.signal, &action, nullptr) == 0) {
      h.installed = true;
      continue;
    }
    if (!h.checked) continue;
    int e = errno;
    fprintf(stderr, "Error %d setting %s, %s", e, h.name, strerror(e));
    for (HandledSignal& back : handled)
      if (back.installed) signal(back.signal, SIG_DFL);
    return false;
  }
  return true;
}

void restoreSignalHandlers() {
  for (int s : {SIGTERM, SIGINT, SIGILL, SIGBUS, SIGSEGV, SIGABRT, SIGPIPE}) signal(s, SIG_DFL);
  for (int& fd : stopPipe) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
}

int waitForStopSignal() {
  while (!stopSignalReceived) {
    struct pollfd pfd = {stopPipe[0], POLLIN, 0};
    int n = poll(&pfd, 1, -1);
    if (n < 0 && errno != EINTR) break;
  }
  char drain[16];
  while (stopPipe[0] >= 0 && read(stopPipe[0], drain, sizeof drain) > 0) {
  }
  return stopSignalReceived;
}
