#include "ovusbd/core/deviceannounce.h"

#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>

#include "ovusbd/core/connection.h"
#include "ovusbd/core/coresettings.h"
#include "ovusbd/core/devicebinding.h"
#include "ovusbd/core/log.h"
#include "ovusbd/core/nicknames.h"
#include "ovusbd/usb/devicerecord.h"

static_assert(kDeviceDescriptorsSize == kDescriptorsSize, "announcements carry the record's descriptors");

namespace {

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

void broadcastSummary(const DeviceSummary* device) {
    MessageHeader* message = buildDeviceAnnounceMessage(
        device->address, device->vendorId, device->productId, device->state, device->manufacturer, device->product,
        device->serial, device->descriptors, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (message != nullptr) {
        broadcastMessage(message);
    }
}

void announceToAll(uint32_t address) {
    announceDevice(address, 0, nullptr);
}

} // namespace

const UsbEventCallbacks deviceAnnouncementCallbacks = {broadcastSummary, broadcastSummary, announceToAll,
                                                      unbindLeavingDevice};

void announceDevice(uint32_t address, uint16_t connectionId, const MessageHeader* request) {
    DeviceSummary device;
    auto* descriptors = static_cast<uint8_t*>(malloc(kDescriptorsSize));
    if (descriptors == nullptr) {
        return;
    }
    if (!readDeviceSummary(address, &device, descriptors)) {
        free(descriptors);
        return;
    }
    // The bound client's fields, one copy at a time: no two list locks at once.
    DeviceBinding binding;
    const bool bound = findDeviceBinding(address, &binding);
    uint8_t uuid[16] = {};
    sockaddr_storage remote = {};
    char detail[64] = {};
    if (bound) {
        getConnectionUuid(binding.connectionId, uuid);
        getConnectionRemoteAddress(binding.connectionId, &remote);
        getConnectionClientDetail(binding.connectionId, detail);
    }
    MessageHeader* message = buildDeviceAnnounceMessage(
        address, device.vendorId, device.productId, device.state, device.manufacturer, device.product, device.serial,
        descriptors, bound ? uuid : nullptr, bound ? &remote : nullptr, bound ? binding.clientText : nullptr,
        bound ? detail : nullptr, request);
    free(descriptors);
    if (message == nullptr) {
        return;
    }
    if (request != nullptr) {
        sendToConnection(connectionId, message);
    } else {
        broadcastMessage(message);
    }
}

void announceEveryDevice(uint16_t connectionId, const MessageHeader* request) {
    // Copy the addresses first: announcing walks the device list again per
    // device, and no list lock may be held across a send.
    size_t capacity = 64;
    for (;;) {
        auto* addresses = static_cast<uint32_t*>(calloc(capacity, sizeof(uint32_t)));
        if (addresses == nullptr) {
            return;
        }
        const size_t count = copyDeviceAddresses(addresses, capacity);
        if (count == capacity && capacity < 65536) {
            free(addresses);
            capacity *= 2;
            continue;
        }
        for (size_t i = 0; i < count; i++) {
            announceDevice(addresses[i], connectionId, request);
        }
        free(addresses);
        return;
    }
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
    putPayloadText(p + 4, 64, manufacturer);
    putPayloadText(p + 68, 64, product);
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
    putPayloadText(p + 157, 64, nickname);
    if (descriptors != nullptr) {
        p[221] = descriptors[17];
        p[222] = descriptors[22];
        const long classOffset = interfaceClassOffset(descriptors, deviceAddress);
        if (classOffset >= 0) {
            memcpy(p + 223, descriptors + classOffset, 3);
        }
    }
    putPayloadText(p + 226, 64, bindingClientText);
    putPayloadText(p + 306, 128, serial);
    putPayloadText(p + 434, 64, boundDetailText);
    p[498] = coreSettings().hideClientInfo ? 1 : 0;
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
