// Fuzz entry of the hub readers: the input is the BOS descriptor a hub
// sends (read through bosparse with every cut of its length the two reads
// can give), and, as text, a hub name for the companion rule and a
// "ClaimPort" list.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "ovusbd/usb/bosparse.h"
#include "ovusbd/usb/usbfilters.h"
#include "ovusbd/usb/usbname.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy, so a read past the bytes received is caught.
  uint8_t* bos = static_cast<uint8_t*>(malloc(size ? size : 1));
  if (size) memcpy(bos, data, size);
  for (size_t length : {size, size < kBosHeaderSize ? size : kBosHeaderSize}) {
    uint8_t containerId[kContainerIdSize];
    int total = bosTotalLength(bos, length);
    int count = bosCapabilityCount(bos, length);
    int found = findBosContainerId(bos, length, containerId);
    if ((total < 0) != (count < 0) || (total < 0 && found >= 0) || found > 1) abort();
  }
  free(bos);

  std::string text(reinterpret_cast<const char*>(data), size);
  char companion[32];
  if (companionHubName(text.c_str(), companion, sizeof companion) && strlen(companion) >= sizeof companion) abort();
  unsigned ports[8];
  for (uint32_t hub : {1u, 11u, 112u, 4294967295u}) {
    size_t named = portsNamedByClaimPort(text.c_str(), hub, ports, 8);
    if (named > 8) abort();
    for (size_t i = 0; i < named; ++i) {
      if (ports[i] < 1 || ports[i] > 9) abort();
    }
  }
  return 0;
}
