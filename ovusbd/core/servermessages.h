// Messages the server builds about itself and its devices: hello reply (1),
// server information (41), device announcement (16), text notice (24), bind
// result (39); and the fields they share (server name, host name, Trovix
// identity, device nicknames).
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>

#include "ovusbd/core/message.h"

constexpr uint32_t kHelloReplySize = 724;
constexpr uint32_t kServerInfoSize = 192;
constexpr uint32_t kDeviceAnnounceSize = 499;
constexpr uint32_t kBindResultSize = 65878;
// Raw descriptors kept per device: device, configuration and the rest.
constexpr uint32_t kDeviceDescriptorsSize = 65553;

// Each build function returns a new message owned by the caller, or null
// when memory runs out.

// Hello reply to request for the asking connection (its uuid and interface).
MessageHeader* buildHelloReply(uint16_t connectionId, const MessageHeader* request);
MessageHeader* buildServerInfoMessage();
MessageHeader* buildTextMessage(const char* text);

// descriptors: kDeviceDescriptorsSize bytes, or null. boundUuid, boundAddress
// and the texts may be null for a free device. request: its context words and
// device address are copied; null for an unsolicited announcement.
MessageHeader* buildDeviceAnnounceMessage(uint32_t deviceAddress, uint16_t vendorId, uint16_t productId, uint8_t state,
                                          const char* manufacturer, const char* product, const char* serial,
                                          const uint8_t* descriptors, const uint8_t* boundUuid,
                                          const sockaddr_storage* boundAddress, const char* bindingClientText,
                                          const char* boundDetailText, const MessageHeader* request);

// descriptors: kDeviceDescriptorsSize bytes, or null (zeros).
MessageHeader* buildBindResultMessage(uint32_t deviceAddress, uint8_t speed, const uint8_t* descriptors,
                                      const char* serial, const char* product, int32_t resultCode);

// "ServerName" with "$HOSTNAME$" or "$SERIAL$" replaced, cut to 127
// characters, into out (128 bytes).
void makeServerName(char out[128]);

// "Hostname" (expanded, default "$HOSTNAME$"): gethostname when it is exactly
// that placeholder, else the value. Returns 0 or gethostname's -1.
int getHostName(char* buffer, size_t length);

// Base58 text (Bitcoin alphabet) into a big-endian number of width bytes.
// False (out zeroed) for a character outside the alphabet or a value that
// does not fit; an empty text is zero.
bool decodeBase58(const char* text, uint8_t* out, size_t width);

// Copies the nickname of the first matching DeviceNickname into out (64
// bytes); out is left as it is when none matches.
void lookupDeviceNickname(uint32_t deviceAddress, uint16_t productId, uint16_t vendorId, const char* serial,
                          char out[64]);
