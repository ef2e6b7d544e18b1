// Fuzz entry of calvixd's handshake readers: the input is the first bytes a
// client sends, read both as a remote-desktop prefix and as a hello.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "calvixd/net/handshake.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint8_t* input = static_cast<uint8_t*>(malloc(size ? size : 1));
  if (size) memcpy(input, data, size);
  long length = ParseDesktopPrefix(input, size);
  if (length > static_cast<long>(DESKTOP_NAME_LIMIT)) abort();
  uint32_t version = 0;
  uint8_t platform = 0;
  if (ParseClientHello(input, size, &version, &platform)) {
    if (size < CLIENT_HELLO_SIZE) abort();
    volatile bool compatible = IsCompatibleVersion(version);
    (void)compatible;
  }
  free(input);
  return 0;
}
