// Device announcements (message 16) of the USB layer: a record's arrival,
// its removal, and the answer to a device-list request.
#pragma once

#include <stdint.h>

#include "ovusbd/core/message.h"

// What an announcement tells about one device. `descriptors` points to
// kDescriptorsSize bytes.
struct DeviceAnnouncement {
  uint32_t address;
  uint16_t vendorId;
  uint16_t productId;
  uint8_t state;
  char manufacturer[64];
  char product[64];
  char serial[128];
  const uint8_t* descriptors;
};

// Sends the announcement to every client.
void broadcastDeviceAnnouncement(const DeviceAnnouncement* announcement);

// Sends the announcement of the device at `address`, read from deviceList,
// to one connection in answer to `request` (whose context words it
// carries), or to every client when `request` is null. Nothing is sent when
// the device is gone.
void announceDevice(uint32_t address, uint16_t connectionId, const MessageHeader* request);
