#include "ovusbd/core/log.h"

#include <errno.h>
#include <limits.h>
#include <string.h>
#include <sys/wait.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

pthread_mutex_t logMutex = PTHREAD_MUTEX_INITIALIZER;
FILE* logFile = nullptr;

namespace {

const int kPlatformQnap = 6;
const size_t kMessageSize = 2048;

// Guarded by logMutex.
int platformCode = 0;
bool syslogOpened = false;
// openlog keeps the pointer it is given, so the name must outlive it.
char syslogIdent[256];

// Each exactly 11 characters; only 3, 4, 6 and 7 are used by the program.
const char* const kLevelNames[8] = {
    "LOG_       ", "LOG_       ", "LOG_       ", "LOG_ERR    ",
    "LOG_WARNING", "LOG_       ", "LOG_INFO   ", "LOG_DEBUG  ",
};

// Texts from peers (a key, a serial, a host name) are printed into records:
// a line break there would forge a record of its own, other control bytes
// would drive the terminal that shows the log.
void replaceControlCharacters(char* message) {
  for (char* at = message; *at; ++at) {
    const unsigned char c = static_cast<unsigned char>(*at);
    if (c < 0x20 || c == 0x7f) *at = '_';
  }
}

const char* levelName(int level) {
  if (level < 0 || level > 7) return "LOG_       ";
  return kLevelNames[level];
}

void writeToStream(int level, const char* format, va_list arguments) {
  char timeText[64] = "";
  time_t now = time(nullptr);
  struct tm local;
  if (localtime_r(&now, &local)) strftime(timeText, sizeof timeText, "%c", &local);
  char message[kMessageSize];
  vsnprintf(message, sizeof message, format, arguments);
  replaceControlCharacters(message);
  fprintf(logFile, "%s %s %s\n", timeText, levelName(level), message);
  fflush(logFile);
}

// The QNAP log tool gets the message as one argument of its own: no shell
// ever sees it, so quotes, '$' or backquotes in a client's text stay text.
void runLogTool(const char* format, va_list arguments) {
  char message[kMessageSize];
  memcpy(message, "[orvanta] ", 10);
  vsnprintf(message + 10, sizeof message - 10, format, arguments);
  replaceControlCharacters(message);
  const char* argv[] = {"/sbin/log_tool", "-t2", "-uSystem", "-p127.0.0.1", "-mlocalhost", "-a",
                        message, nullptr};
  pid_t child = fork();
  if (child == 0) {
    // Only async-signal-safe calls between fork and exec.
    execv(argv[0], const_cast<char* const*>(argv));
    _exit(127);
  }
  if (child < 0) return;
  int status;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
}

void writeToSyslog(int level, const char* format, va_list arguments) {
  if (!syslogOpened) {
    char exe[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (length < 0) length = 0;
    exe[length] = '\0';
    const char* slash = strrchr(exe, '/');
    const char* name = slash ? slash + 1 : exe;
    size_t nameLength = strnlen(name, sizeof syslogIdent - 1);
    memcpy(syslogIdent, name, nameLength);
    syslogIdent[nameLength] = '\0';
    openlog(syslogIdent, LOG_PID | LOG_CONS, LOG_USER);
    syslogOpened = true;
  }
  char message[kMessageSize];
  vsnprintf(message, sizeof message, format, arguments);
  replaceControlCharacters(message);
  syslog(level, "%s", message);
}

}  // namespace

void setLogFile(FILE* stream) {
  pthread_mutex_lock(&logMutex);
  logFile = stream;
  pthread_mutex_unlock(&logMutex);
}

void setLogPlatformCode(int code) {
  pthread_mutex_lock(&logMutex);
  platformCode = code;
  pthread_mutex_unlock(&logMutex);
}

void writeLogRecord(int level, const char* format, va_list arguments) {
  int savedErrno = errno;
  pthread_mutex_lock(&logMutex);
  if (logFile)
    writeToStream(level, format, arguments);
  else if (platformCode == kPlatformQnap) {
    if (level == LOG_ERR) runLogTool(format, arguments);
  } else
    writeToSyslog(level, format, arguments);
  pthread_mutex_unlock(&logMutex);
  errno = savedErrno;
}

void logMessage(int level, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  writeLogRecord(level, format, arguments);
  va_end(arguments);
}

void closeLogging() {
  pthread_mutex_lock(&logMutex);
  if (logFile && logFile != stdout && logFile != stderr) fclose(logFile);
  logFile = nullptr;
  if (syslogOpened) {
    closelog();
    syslogOpened = false;
  }
  pthread_mutex_unlock(&logMutex);
}
