// What the USB layer tells its host about devices. The layer reports and
// never decides what the host does with a report (it knows nothing of
// clients or messages), the way a parser library reports to its host.
// Start-up installs one table before discovery starts; each member is called
// on the USB layer's own threads with no lock held. Null members, and no
// table, are skipped.
#pragma once

#include <stdint.h>

// What a report tells about one device: a copy of its record's fields.
// `descriptors` points to kDescriptorsSize bytes, valid during the call.
struct DeviceSummary {
  uint32_t address;
  uint16_t vendorId;
  uint16_t productId;
  uint8_t state;  // DEVICE_FREE, DEVICE_BOUND, DEVICE_REMOVED
  char manufacturer[64];
  char product[64];
  char serial[128];
  const uint8_t* descriptors;
};

struct UsbEventCallbacks {
  // A record was made and is in deviceList.
  void (*deviceArrived)(const DeviceSummary* device);
  // A record left deviceList; `device` is what it held, state DEVICE_REMOVED.
  void (*deviceRemoved)(const DeviceSummary* device);
  // The device at `address` was bound to a client or released.
  void (*bindingChanged)(uint32_t address);
  // A bound device is being removed: end its binding now, while the record
  // can still release its interfaces. Called by the removal with
  // deviceLifecycleMutex held (the one exception to "no lock held"), so the
  // member must not take that lock.
  void (*boundDeviceLeaving)(uint32_t address);
};

// Installs callbacks (null: none). The table stays the caller's and must
// outlive the USB layer's threads.
void installUsbEventCallbacks(const UsbEventCallbacks* callbacks);

// The layer's own side: each calls the installed member, when there is one.
void reportDeviceArrived(const DeviceSummary* device);
void reportDeviceRemoved(const DeviceSummary* device);
void reportBindingChanged(uint32_t address);
void reportBoundDeviceLeaving(uint32_t address);
