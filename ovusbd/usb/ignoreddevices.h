// Devices a client asked the server never to offer again: their entry is
// added to "IgnoredDevices" (which discovery reads) and the devices are
// removed from the server at once.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Adds "%x/%x" (or "%x/%x/serial") to "IgnoredDevices" unless an entry
// already covers the device, starting from the platform's default list when
// the key is not set, then unplugs (without the unplug hook) every managed
// device of those ids whose serial matches (any serial when none is given).
// `serial` may be null; a serial that the list cannot hold (one with a ',',
// which would read as a further entry, or a control character) is refused
// with -EINVAL, and a new entry when the list holds kMaxIgnoredDevices with
// -ENOSPC; nothing changes then. Returns 0, or a negative errno when the
// list could not be changed; the caller logs a refusal. Takes
// deviceLifecycleMutex; must not run on a device's own threads.
int ignoreDevice(uint16_t vendorId, uint16_t productId, const char* serial);

// Clients add entries one request at a time: the list is bounded.
constexpr size_t kMaxIgnoredDevices = 256;

// What ignoreDevice would refuse, checked before a script is asked: 0,
// -EINVAL or -ENOSPC as there (the count is checked again as the entry is
// added).
int ignoreDeviceRefusal(uint16_t vendorId, uint16_t productId, const char* serial);

