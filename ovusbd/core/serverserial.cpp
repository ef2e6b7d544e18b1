#include "ovusbd/core/serverserial.h"

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ovusbd/core/config.h"
#include "ovusbd/core/log.h"

namespace {

// Reads up to size-1 bytes of a small file; -errno on failure.
ssize_t readSmallFile(const char* path, char* buffer, size_t size) {
  int fd;
  do {
    fd = open(path, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -errno;
  size_t used = 0;
  while (used < size - 1) {
    ssize_t n = read(fd, buffer + used, size - 1 - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int e = errno;
      close(fd);
      return -e;
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  close(fd);
  buffer[used] = '\0';
  return static_cast<ssize_t>(used);
}

// A usable identity: 1 to 36 letters and digits.
bool validSerial(const char* text) {
  size_t length = strlen(text);
  if (length == 0 || length > kServerSerialMax) return false;
  for (size_t i = 0; i < length; i++)
    if (!isalnum(static_cast<unsigned char>(text[i]))) return false;
  return true;
}

void trimEnd(char* text) {
  size_t length = strlen(text);
  while (length && isspace(static_cast<unsigned char>(text[length - 1]))) text[--length] = '\0';
}

char* serialFromMac() {
  DIR* dir = opendir("/sys/class/net");
  if (!dir) return nullptr;
  std::vector<std::string> names;
  while (struct dirent* entry = readdir(dir))
    if (entry->d_name[0] != '.') names.push_back(entry->d_name);
  closedir(dir);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    std::string base = "/sys/class/net/" + name;
    if (access((base + "/device").c_str(), F_OK) != 0) continue;  // virtual interface
    char address[64];
    if (readSmallFile((base + "/address").c_str(), address, sizeof address) <= 0) continue;
    unsigned int b[6];
    char tail;
    if (sscanf(address, "%2x:%2x:%2x:%2x:%2x:%2x%c", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5],
               &tail) < 6)
      continue;
    if ((b[0] | b[1] | b[2] | b[3] | b[4] | b[5]) == 0) continue;
    char* serial = nullptr;
    if (asprintf(&serial, "%02x%02x%02x%02x%02x%02x", b[0], b[1], b[2], b[3], b[4], b[5]) < 0)
      return nullptr;
    return serial;
  }
  return nullptr;
}

char* serialFromMachineId() {
  char id[128];
  if (readSmallFile("/etc/machine-id", id, sizeof id) <= 0) return nullptr;
  trimEnd(id);
  return validSerial(id) ? strdup(id) : nullptr;
}

char* serialFromConfig() {
  char* stored = getConfigString("ServerSerial", nullptr, false);
  if (stored && validSerial(stored)) return stored;
  free(stored);
  unsigned char random[16];
  size_t got = 0;
  while (got < sizeof random) {
    ssize_t n = getrandom(random + got, sizeof random - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return nullptr;
    got += static_cast<size_t>(n);
  }
  char serial[33];
  for (size_t i = 0; i < sizeof random; i++) snprintf(serial + 2 * i, 3, "%02x", random[i]);
  if (setConfigString("ServerSerial", serial) < 0) logMessage(4, "Warning, cannot store ServerSerial");
  return strdup(serial);
}

}  // namespace

char* makeServerSerial() {
  if (char* serial = serialFromMac()) return serial;
  if (char* serial = serialFromMachineId()) return serial;
  return serialFromConfig();
}
