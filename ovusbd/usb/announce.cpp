#include "ovusbd/usb/announce.h"

#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include "ovusbd/core/connection.h"
#include "ovusbd/core/devicebinding.h"
#include "ovusbd/core/servermessages.h"
#include "ovusbd/usb/devicerecord.h"

static_assert(kDeviceDescriptorsSize == kDescriptorsSize, "announcements carry the record's descriptors");

void broadcastDeviceAnnouncement(const DeviceAnnouncement* announcement) {
  // No connection list: no network service was built, so nobody listens.
  if (!connectionListExists()) return;
  MessageHeader* message = buildDeviceAnnounceMessage(
      announcement->address, announcement->vendorId, announcement->productId, announcement->state,
      announcement->manufacturer, announcement->product, announcement->serial, announcement->descriptors, nullptr,
      nullptr, nullptr, nullptr, nullptr);
  if (message) broadcastMessage(message);
}

void announceDevice(uint32_t address, uint16_t connectionId, const MessageHeader* request) {
  DeviceAnnouncement announcement;
  uint8_t* descriptors = static_cast<uint8_t*>(malloc(kDescriptorsSize));
  if (!descriptors) return;
  if (!readDeviceAnnouncement(address, &announcement, descriptors)) {
    free(descriptors);
    return;
  }
  // The bound client's fields, one copy at a time: no two list locks at once.
  DeviceBinding binding;
  bool bound = findDeviceBinding(address, &binding);
  uint8_t uuid[16] = {};
  sockaddr_storage remote = {};
  char detail[64] = {};
  if (bound) {
    getConnectionUuid(binding.connectionId, uuid);
    getConnectionRemoteAddress(binding.connectionId, &remote);
    getConnectionClientDetail(binding.connectionId, detail);
  }
  MessageHeader* message = buildDeviceAnnounceMessage(
      address, announcement.vendorId, announcement.productId, announcement.state, announcement.manufacturer,
      announcement.product, announcement.serial, descriptors, bound ? uuid : nullptr, bound ? &remote : nullptr,
      bound ? binding.clientText : nullptr, bound ? detail : nullptr, request);
  free(descriptors);
  if (!message) return;
  if (request) {
    sendToConnection(connectionId, message);
  } else {
    broadcastMessage(message);
  }
}
