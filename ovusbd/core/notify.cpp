#include "ovusbd/core/notify.h"

#include <errno.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

int notifyServiceManager(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  char* text = nullptr;
  int length = vasprintf(&text, format, arguments);
  va_end(arguments);
  if (length < 0) return -ENOMEM;

  int result;
  const char* name = getenv("NOTIFY_SOCKET");
  if (!name) {
    result = 0;
  } else if ((name[0] != '@' && name[0] != '/') || name[1] == '\0') {
    result = -EINVAL;
  } else {
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      result = -errno;
    } else {
      struct sockaddr_un address;
      memset(&address, 0, sizeof address);
      address.sun_family = AF_UNIX;
      size_t nameLength = strnlen(name, sizeof address.sun_path - 1);
      memcpy(address.sun_path, name, nameLength);
      if (address.sun_path[0] == '@') address.sun_path[0] = '\0';
      // The length counts the family and the name without a closing NUL,
      // which an abstract name must not have.
      socklen_t addressLength =
          static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + nameLength);
      result = sendto(fd, text, static_cast<size_t>(length), MSG_NOSIGNAL,
                      reinterpret_cast<struct sockaddr*>(&address), addressLength) < 0
                   ? -errno
                   : 1;
      close(fd);
    }
  }
  free(text);
  return result;
}
