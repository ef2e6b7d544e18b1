// Device announcements (kMsgDeviceAnnounce): what clients hear of the USB
// layer's devices. The USB layer reports arrivals, removals and binding
// changes through the callbacks here; this module gathers the bound
// client's fields, builds the message and sends it to one client (the
// answer to a device-list request) or to all.
#pragma once

#include <stdint.h>
#include <sys/socket.h>

#include "ovusbd/core/message.h"
#include "ovusbd/usb/usbevents.h"

constexpr uint32_t kDeviceAnnounceSize = 499;

// Sends the announcement of the device at `address` to one connection in
// answer to `request` (whose context words it carries), or to every client
// when `request` is null. Nothing is sent when the device is gone.
void announceDevice(uint32_t address, uint16_t connectionId, const MessageHeader* request);
// announceDevice for every current device, in list order.
void announceEveryDevice(uint16_t connectionId, const MessageHeader* request);

// What start-up installs in the USB layer: an arrival or a removal is
// broadcast as it was reported; a binding change broadcasts the device's
// announcement anew; a bound device that is being removed loses its binding.
extern const UsbEventCallbacks deviceAnnouncementCallbacks;

// Returns a new message owned by the caller, or null when memory runs out.
// descriptors: kDeviceDescriptorsSize bytes, or null. boundUuid, boundAddress
// and the texts may be null for a free device. request: its context words and
// device address are copied; null for an unsolicited announcement.
MessageHeader* buildDeviceAnnounceMessage(uint32_t deviceAddress, uint16_t vendorId, uint16_t productId, uint8_t state,
                                          const char* manufacturer, const char* product, const char* serial,
                                          const uint8_t* descriptors, const uint8_t* boundUuid,
                                          const sockaddr_storage* boundAddress, const char* bindingClientText,
                                          const char* boundDetailText, const MessageHeader* request);

// Copies the nickname of the first matching DeviceNickname into out (64
// bytes); out is left as it is when none matches.
void lookupDeviceNickname(uint32_t deviceAddress, uint16_t productId, uint16_t vendorId, const char* serial,
                          char out[64]);
