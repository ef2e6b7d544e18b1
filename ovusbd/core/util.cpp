#include "ovusbd/core/util.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

char* replaceAll(const char* text, const char* pattern, const char* value) {
  if (!text || !pattern || !value) return nullptr;
  size_t patternLength = strlen(pattern);
  if (patternLength == 0) return strdup(text);
  size_t valueLength = strlen(value);

  size_t count = 0;
  for (const char* at = strstr(text, pattern); at; at = strstr(at + patternLength, pattern))
    count++;
  size_t textLength = strlen(text);
  // The occurrences do not overlap, so count * patternLength <= textLength.
  if (valueLength && count > (SIZE_MAX - textLength - 1) / valueLength) return nullptr;
  size_t size = textLength - count * patternLength + count * valueLength + 1;
  char* result = static_cast<char*>(malloc(size));
  if (!result) return nullptr;

  char* out = result;
  const char* rest = text;
  for (const char* at = strstr(rest, pattern); at; at = strstr(rest, pattern)) {
    memcpy(out, rest, static_cast<size_t>(at - rest));
    out += at - rest;
    memcpy(out, value, valueLength);
    out += valueLength;
    rest = at + patternLength;
  }
  strcpy(out, rest);
  return result;
}

char* replacePlaceholder(const char* text, const char* pattern, const char* value) {
  if (!text) return nullptr;
  if (pattern && value) return replaceAll(text, pattern, value);
  return strdup(text);
}

char* formatSocketAddress(const struct sockaddr* address, char* buffer, size_t size) {
  if (!address || !buffer || size == 0) return nullptr;
  if (address->sa_family == AF_INET) {
    const sockaddr_in* v4 = reinterpret_cast<const sockaddr_in*>(address);
    return inet_ntop(AF_INET, &v4->sin_addr, buffer, static_cast<socklen_t>(size)) ? buffer : nullptr;
  }
  if (address->sa_family == AF_INET6) {
    const sockaddr_in6* v6 = reinterpret_cast<const sockaddr_in6*>(address);
    if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr))
      return inet_ntop(AF_INET, &v6->sin6_addr.s6_addr[12], buffer, static_cast<socklen_t>(size)) ? buffer
                                                                                                   : nullptr;
    return inet_ntop(AF_INET6, &v6->sin6_addr, buffer, static_cast<socklen_t>(size)) ? buffer : nullptr;
  }
  return nullptr;
}

char* toUpperInPlace(char* text) {
  if (!text) return text;
  for (char* at = text; *at; at++)
    if (*at >= 'a' && *at <= 'z') *at = static_cast<char>(*at - 'a' + 'A');
  return text;
}

bool directoryExists(const char* path) {
  if (!path) return false;
  DIR* directory = opendir(path);
  if (!directory) return false;
  closedir(directory);
  return true;
}

bool fileExists(const char* path) {
  return path && access(path, F_OK) == 0;
}

void sleepMilliseconds(unsigned int ms) {
  // nanosleep refuses tv_nsec of a second or more, so split the duration.
  timespec remaining;
  remaining.tv_sec = static_cast<time_t>(ms / 1000);
  remaining.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  while (nanosleep(&remaining, &remaining) == -1 && errno == EINTR) {
  }
}

struct timespec monotonicDeadline(long ms) {
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += ms / 1000;
    deadline.tv_nsec += (ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    return deadline;
}
