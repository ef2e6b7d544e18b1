#include "ovusbd/core/servermessages.h"

#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <errno.h>

#include "ovusbd/core/config.h"
#include "ovusbd/core/coresettings.h"
#include "ovusbd/core/log.h"
#include "ovusbd/core/nicknames.h"
#include "ovusbd/core/util.h"
#include "ovusbd/core/version.h"

namespace {

const char kBase58Alphabet[] = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";

// Reads a Base58 configuration key into width bytes; zeros on any failure.
void readTrovixField(const char* key, uint8_t* out, size_t width) {
    char* text = getConfigString(key, nullptr, true);
    if (text == nullptr || !decodeBase58(text, out, width)) {
        memset(out, 0, width);
    }
    free(text);
}

// The availability byte 1 and the Trovix identity fields: 23 bytes at
// field. "DisableTrovix" is the hello reply's concern, not this one's.
void putTrovixFields(uint8_t* field) {
    field[0] = 1;
    field[1] = getConfigBool("Trovix", "0") ? 1 : 0;
    readTrovixField("TrovixId", field + 2, 16);
    readTrovixField("TrovixPin", field + 18, 4);
}

} // namespace

bool decodeBase58(const char* text, uint8_t* out, size_t width) {
    memset(out, 0, width);
    const char* p = text;
    while (*p == '1') {
        p++;
    }
    for (; *p != 0; p++) {
        const unsigned char c = static_cast<unsigned char>(*p);
        const char* digit = c < 0x80 ? strchr(kBase58Alphabet, c) : nullptr;
        if (digit == nullptr) {
            memset(out, 0, width);
            return false;
        }
        unsigned carry = unsigned(digit - kBase58Alphabet);
        for (size_t i = width; i-- > 0;) {
            carry += 58u * out[i];
            out[i] = uint8_t(carry & 0xff);
            carry >>= 8;
        }
        if (carry != 0) {
            memset(out, 0, width);
            return false;
        }
    }
    return true;
}

int getHostName(char* buffer, size_t length) {
    char* value = getConfigString("Hostname", "$HOSTNAME$", true);
    int rc = 0;
    if (value == nullptr || strcmp(value, "$HOSTNAME$") == 0) {
        rc = gethostname(buffer, length);
        if (length > 0) {
            buffer[length - 1] = 0;
        }
    } else {
        snprintf(buffer, length, "%s", value);
    }
    free(value);
    return rc;
}

void makeServerName(char out[128]) {
    memset(out, 0, 128);
    char* name = getConfigString("ServerName", coreSettings().hubDisplayName, true);
    if (name == nullptr) {
        return;
    }
    char* result = nullptr;
    if (strstr(name, "$HOSTNAME$") != nullptr) {
        char host[255] = {};
        if (getHostName(host, sizeof host) != 0) {
            logMessage(3, "Error %d calling gethostname, %s", errno, strerror(errno));
        } else {
            result = replaceAll(name, "$HOSTNAME$", host);
        }
    } else if (strstr(name, "$SERIAL$") != nullptr) {
        result = replaceAll(name, "$SERIAL$", coreSettings().serverSerial != nullptr ? coreSettings().serverSerial : "");
    }
    snprintf(out, 128, "%s", result != nullptr ? result : name);
    free(result);
    free(name);
}

MessageHeader* buildHelloReply(const MessageHeader* request, const uint8_t uuid[16], const char* interfaceName) {
    MessageHeader* reply = newMessage({.type = kMsgHelloReply, .payloadLength = kHelloReplySize, .replyTo = request});
    if (reply == nullptr) {
        return nullptr;
    }
    uint8_t* p = messagePayload(reply);
    p[0] = 8;
    char name[128];
    makeServerName(name);
    putPayloadText(p + 1, 128, name);
    putPayloadText(p + 129, 37, coreSettings().serverSerial);
    memcpy(p + 168, uuid, 16);
    p[184] = uint8_t(kVersionMajor);
    p[185] = uint8_t(kVersionMinor);
    p[186] = uint8_t(kVersionPatch);
    p[187] = coreSettings().remoteAdminEnabled ? 1 : 0;
    char host[256] = {};
    getHostName(host, 256);
    putPayloadText(p + 188, 256, host);
    putPayloadText(p + 444, 256, interfaceName);
    // A server with Trovix switched off tells a new client so by leaving the
    // whole Trovix block 0; the server information keeps it.
    if (!getConfigBool("DisableTrovix", "0")) {
        putTrovixFields(p + 700);
    }
    p[722] = 0;
    p[723] = coreSettings().kernelAtLeast315 ? 1 : 0;
    return reply;
}

MessageHeader* buildServerInfoMessage() {
    MessageHeader* message = newMessage({.type = kMsgServerInfo, .payloadLength = kServerInfoSize});
    if (message == nullptr) {
        return nullptr;
    }
    uint8_t* p = messagePayload(message);
    char name[128];
    makeServerName(name);
    putPayloadText(p, 128, name);
    putPayloadText(p + 128, 37, coreSettings().serverSerial);
    putTrovixFields(p + 169);
    return message;
}

MessageHeader* buildTextMessage(const char* text) {
    const size_t length = strnlen(text, kMaxFrameLength - kMessageHeaderSize - 1);
    MessageHeader* message = newMessage({.type = kMsgTextNotice, .payloadLength = uint32_t(length + 1)});
    if (message != nullptr) {
        memcpy(messagePayload(message), text, length);
    }
    return message;
}

MessageHeader* buildBindResultMessage(uint32_t deviceAddress, uint8_t speed, const uint8_t* descriptors,
                                      const char* serial, const char* product, int32_t resultCode) {
    MessageHeader* message = newMessage({.type = kMsgBindResult, .payloadLength = kBindResultSize, .deviceAddress = deviceAddress});
    if (message == nullptr) {
        return nullptr;
    }
    uint8_t* p = messagePayload(message);
    memcpy(p, &resultCode, 4);
    p[4] = speed;
    if (descriptors != nullptr) {
        memcpy(p + 5, descriptors, kDeviceDescriptorsSize);
    }
    putPayloadText(p + 65558, 128, product);
    putPayloadText(p + 65686, 128, serial);
    putPayloadText(p + 65814, 64, coreSettings().serverSerial);
    return message;
}
