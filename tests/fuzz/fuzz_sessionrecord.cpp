// Fuzz entry of calvixd's session record parser: the input is what a client
// sent on a session connection. It is cut into records as the session loop
// does; every record must be consumed and stay within the bytes received.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "calvixd/net/sessionrecord.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy, so a read past the received bytes is caught.
  uint8_t* input = static_cast<uint8_t*>(malloc(size ? size : 1));
  if (size) memcpy(input, data, size);
  size_t used = 0;
  for (;;) {
    ClientRecord record;
    RecordParse result = ParseClientRecord(input + used, size - used, &record);
    if (result != RecordParse::Complete) break;
    if (record.length < SESSION_RECORD_HEADER_SIZE || record.length > SESSION_RECORD_LIMIT ||
        record.length > size - used)
      abort();
    used += record.length;
  }
  free(input);
  return 0;
}
