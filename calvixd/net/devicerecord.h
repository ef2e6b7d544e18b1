// DeviceRecord, the device list entry (type 1) and device event (type 2) of
// a session: a 56-byte header, five strings without terminators, and the
// client's IPv6 address when the IPv4 word holds 0xFFFFFFFF.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sys/thread"

// Event codes of type-2 records.
constexpr uint8_t DEVICE_EVENT_AVAILABLE = 3;
constexpr uint8_t DEVICE_EVENT_IN_USE = 4;
constexpr uint8_t DEVICE_EVENT_REMOVED = 8;
constexpr uint8_t DEVICE_EVENT_INACTIVE = 9;
constexpr uint8_t DEVICE_EVENT_UNSHARED = 10;

constexpr size_t DEVICE_RECORD_HEADER_SIZE = 56;

struct DeviceRecordFields {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t bcdDevice = 0;
    uint8_t deviceClass = 0;
    uint8_t subClass = 0;
    uint8_t protocol = 0;
    uint8_t speed = 255;
    uint8_t stateOrEvent = 0;
    uint32_t deviceId = 0;
    ADDRESS client; // empty: no client
    uint32_t flags = 0;
    uint16_t usbVersion = 0;
    bool withStrings = false;
    std::string name;
    std::string nickname;
    std::string instanceIdentity;
    std::string serial;
    std::string port;
};

// type is SESSION_RECORD_DEVICE or SESSION_RECORD_DEVICE_EVENT.
std::vector<uint8_t> EncodeDeviceRecord(uint32_t type, const DeviceRecordFields& fields);
