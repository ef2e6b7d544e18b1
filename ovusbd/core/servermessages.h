// Messages the server builds about itself: hello reply (kMsgHelloReply),
// server information (kMsgServerInfo), text notice (kMsgTextNotice), bind
// result (kMsgBindResult); and the fields they share (server name, host
// name, Trovix identity). Device announcements are deviceannounce.h.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>

#include "ovusbd/core/message.h"

constexpr uint32_t kHelloReplySize = 724;
constexpr uint32_t kServerInfoSize = 192;
constexpr uint32_t kBindResultSize = 65878;

// Each build function returns a new message owned by the caller, or null
// when memory runs out.

// Hello reply to request, with the asking connection's uuid (16 bytes) and
// interface name.
MessageHeader* buildHelloReply(const MessageHeader* request, const uint8_t uuid[16], const char* interfaceName);
MessageHeader* buildServerInfoMessage();
MessageHeader* buildTextMessage(const char* text);

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
