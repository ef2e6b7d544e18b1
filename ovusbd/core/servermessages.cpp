#include "ovusbd/core/servermessages.h"

#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <errno.h>

#include "ovusbd/core/config.h"
#include "ovusbd/core/connection.h"
#include "ovusbd/core/log.h"
#include "ovusbd/core/settings.h"
#include "ovusbd/core/startlists.h"
#include "ovusbd/core/util.h"
#include "ovusbd/core/version.h"

namespace {

const char kBase58Alphabet[] = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";

// Copies at most width - 1 characters and leaves the rest zero (the buffer
// is zero filled already).
void putText(uint8_t* field, size_t width, const char* text) {
    if (text == nullptr) {
        return;
    }
    size_t n = strnlen(text, width - 1);
    memcpy(field, text, n);
}

// Reads a Base58 configuration key into width bytes; zeros on any failure.
void readTrovixField(const char* key, uint8_t* out, size_t width) {
    char* text = getConfigString(key, nullptr, true);
    if (text == nullptr || !decodeBase58(text, out, width)) {
        memset(out, 0, width);
    }
    free(text);
}

// Trovix availability byte and the identity fields: 23 bytes at field.
void putTrovixFields(uint8_t* field) {
    if (getConfigBool("DisableTrovix", "0")) {
        return;
    }
    field[0] = 1;
    field[1] = getConfigBool("Trovix", "0") ? 1 : 0;
    readTrovixField("TrovixId", field + 2, 16);
    readTrovixField("TrovixPin", field + 18, 4);
}

// Offset of the first interface descriptor's class bytes, walking from the
// first descriptor after the device and configuration descriptors. Returns
// -1 when the walk leaves the descriptors without meeting one (the caller
// then leaves the three bytes zero).
long interfaceClassOffset(const uint8_t* descriptors, uint32_t deviceAddress) {
    size_t offset = 27;
    while (offset + 1 < kDeviceDescriptorsSize) {
        const uint8_t length = descriptors[offset];
        if (length == 0) {
            logMessage(3, "Empty descriptor for device at address %d!", int(deviceAddress));
            break;
        }
        if (descriptors[offset + 1] == 4) {
            break;
        }
        offset += length;
    }
    if (offset + 7 >= kDeviceDescriptorsSize) {
        return -1;
    }
    return long(offset + 5);
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

MessageHeader* buildHelloReply(uint16_t connectionId, const MessageHeader* request) {
    MessageHeader* reply = newMessage({.type = kMsgHelloReply, .payloadLength = kHelloReplySize, .replyTo = request});
    if (reply == nullptr) {
        return nullptr;
    }
    uint8_t* p = messagePayload(reply);
    p[0] = 8;
    char name[128];
    makeServerName(name);
    putText(p + 1, 128, name);
    putText(p + 129, 37, coreSettings().serverSerial);
    getConnectionUuid(connectionId, p + 168);
    p[184] = uint8_t(kVersionMajor);
    p[185] = uint8_t(kVersionMinor);
    p[186] = uint8_t(kVersionPatch);
    p[187] = coreSettings().remoteAdminEnabled ? 1 : 0;
    char host[256] = {};
    getHostName(host, 256);
    putText(p + 188, 256, host);
    char interfaceName[256];
    getConnectionInterfaceName(connectionId, interfaceName);
    putText(p + 444, 256, interfaceName);
    putTrovixFields(p + 700);
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
    putText(p, 128, name);
    putText(p + 128, 37, coreSettings().serverSerial);
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

MessageHeader* buildDeviceAnnounceMessage(uint32_t deviceAddress, uint16_t vendorId, uint16_t productId, uint8_t state,
                                          const char* manufacturer, const char* product, const char* serial,
                                          const uint8_t* descriptors, const uint8_t* boundUuid,
                                          const sockaddr_storage* boundAddress, const char* bindingClientText,
                                          const char* boundDetailText, const MessageHeader* request) {
    MessageHeader* message =
        newMessage({.type = kMsgDeviceAnnounce, .payloadLength = kDeviceAnnounceSize, .replyTo = request});
    if (message == nullptr) {
        return nullptr;
    }
    uint8_t* p = messagePayload(message);
    memcpy(p, &vendorId, 2);
    memcpy(p + 2, &productId, 2);
    putText(p + 4, 64, manufacturer);
    putText(p + 68, 64, product);
    memcpy(p + 132, &deviceAddress, 4);
    p[136] = state;
    if (boundUuid != nullptr) {
        memcpy(p + 137, boundUuid, 16);
    }
    if (boundAddress != nullptr) {
        if (boundAddress->ss_family == AF_INET) {
            memcpy(p + 153, &reinterpret_cast<const sockaddr_in*>(boundAddress)->sin_addr, 4);
        } else if (boundAddress->ss_family == AF_INET6) {
            const in6_addr* v6 = &reinterpret_cast<const sockaddr_in6*>(boundAddress)->sin6_addr;
            if (IN6_IS_ADDR_V4MAPPED(v6)) {
                memcpy(p + 153, v6->s6_addr + 12, 4);
            } else {
                memcpy(p + 290, v6->s6_addr, 16);
            }
        }
    }
    char nickname[64] = {};
    lookupDeviceNickname(deviceAddress, productId, vendorId, serial != nullptr ? serial : "", nickname);
    putText(p + 157, 64, nickname);
    if (descriptors != nullptr) {
        p[221] = descriptors[17];
        p[222] = descriptors[22];
        const long classOffset = interfaceClassOffset(descriptors, deviceAddress);
        if (classOffset >= 0) {
            memcpy(p + 223, descriptors + classOffset, 3);
        }
    }
    putText(p + 226, 64, bindingClientText);
    putText(p + 306, 128, serial);
    putText(p + 434, 64, boundDetailText);
    p[498] = coreSettings().hideClientInfo ? 1 : 0;
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
    putText(p + 65558, 128, product);
    putText(p + 65686, 128, serial);
    putText(p + 65814, 64, coreSettings().serverSerial);
    return message;
}

namespace {

struct NicknameKey {
    uint32_t address;
    uint16_t productId;
    uint16_t vendorId;
    const char* serial;
};

bool matchNickname(void* item, const void* key) {
    const auto* entry = static_cast<const DeviceNickname*>(item);
    const auto* k = static_cast<const NicknameKey*>(key);
    if (entry->vendorId == 0 && k->serial[0] != 0) {
        return strncmp(entry->serial, k->serial, sizeof entry->serial) == 0;
    }
    if (entry->vendorId == 0xFFFF && entry->productId == 0xFFFF) {
        return entry->address == k->address;
    }
    return entry->vendorId == k->vendorId && entry->productId == k->productId &&
           (entry->address == 0 || entry->address == k->address);
}

void copyNickname(void* item, void* out) {
    memcpy(out, static_cast<const DeviceNickname*>(item)->nickname, 64);
    static_cast<char*>(out)[63] = 0;
}

} // namespace

void lookupDeviceNickname(uint32_t deviceAddress, uint16_t productId, uint16_t vendorId, const char* serial,
                          char out[64]) {
    if (nicknameList == nullptr) {
        return;
    }
    NicknameKey key{deviceAddress, productId, vendorId, serial != nullptr ? serial : ""};
    forEachInLockedList(nicknameList, matchNickname, copyNickname, &key, out, 1);
}
