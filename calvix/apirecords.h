// The fixed-size records the client API hands to its callers. Their sizes
// are part of the interface: list calls return byte sizes that callers
// divide by them, so the records are packed.
#pragma once

#include <cstdint>

#pragma pack(push, 1)

struct API_DEVICE_RECORD {
    uint32_t id;
    uint32_t owner;        // client or callback connection using it, 0 when none
    uint32_t state;        // DEVICE_STATE_*
    uint32_t flags;        // DEVICE_FLAG_*
    uint32_t userAddress;  // IPv4 as stored (network order), 0xFFFFFFFF for IPv6, 0 none
    uint32_t timeout;      // inactivity timeout in seconds
    uint32_t reserved1;
    uint32_t reserved2;
    uint16_t vendorId;
    uint16_t productId;
    uint16_t bcdDevice;
    uint8_t deviceClass;
    uint8_t deviceSubclass;
    uint8_t deviceProtocol;
    uint8_t speed;
    uint8_t entryByte10;   // 0 from calvixd
    uint8_t resetMethod;
    uint8_t entryByte12;   // 255 from calvixd
    char name[256];
    char nickname[256];
    char identity[256];    // the serial or the USB port the daemon knows it by
    char serial[256];
    char busId[256];
};
static_assert(sizeof(API_DEVICE_RECORD) == 1325);

struct API_CONNECTION_RECORD {
    uint32_t id;           // 0 for the server itself
    uint32_t status;       // CONNECTION_STATUS_*
    uint32_t flags;        // CONNECTION_FLAG_*, transport under CONNECTION_TRANSPORT_MASK
    uint32_t extra;        // -1 when the entry has none
    uint32_t platform;
    uint32_t secondAddress; // IPv4, host order
    uint32_t address;      // IPv4 as stored (network order), 0xFFFFFFFF for IPv6, 0 none
    uint16_t port;
    char host[256];
};
static_assert(sizeof(API_CONNECTION_RECORD) == 286);

struct API_POLICY_RULE {
    uint32_t flags;        // POLICY_MATCH_*: which criteria apply
    uint16_t vendorId;
    uint16_t productId;
    uint8_t deviceClass;
    uint8_t deviceSubclass;
    uint8_t deviceProtocol;
    char usbPort[256];
    char serial[256];
    char name[256];
};
static_assert(sizeof(API_POLICY_RULE) == 779);

#pragma pack(pop)

enum : uint32_t {
    DEVICE_STATE_PLUGGED = 0,
    DEVICE_STATE_INITIALIZING = 2,
    DEVICE_STATE_SHARED = 3,
    DEVICE_STATE_IN_USE = 4,
    DEVICE_STATE_NOT_PLUGGED = 5,
    DEVICE_STATE_IN_USE_INACTIVE = 9,
    DEVICE_STATE_DEINITIALIZING = 11,
    DEVICE_STATE_CONNECTING = 12,
};

enum : uint32_t {
    DEVICE_FLAG_AUTO = 0x1,
    DEVICE_FLAG_EXCLUDED = 0x2,
    DEVICE_FLAG_TIMEOUT = 0x4,
    DEVICE_FLAG_HAS_SERIAL = 0x10,
    DEVICE_FLAG_HAS_NICKNAME = 0x20,
    DEVICE_FLAG_ACL = 0x400,
    DEVICE_FLAG_POLICY_EXCLUDED = 0x800,
    DEVICE_FLAG_AUTO_SHARED = 0x20000,
    DEVICE_USER_TRANSPORT_MASK = 0x5E000,
};

enum : uint32_t {
    CONNECTION_STATUS_CONNECTED = 0,
    CONNECTION_STATUS_DISCONNECTED = 1,
    CONNECTION_STATUS_ERROR = 6,
    CONNECTION_STATUS_CONNECTING = 7,
    CONNECTION_STATUS_REMOVED = 8,
};

enum : uint32_t {
    CONNECTION_FLAG_AUTO = 0x1,
    CONNECTION_FLAG_CALLBACK = 0x2,
    CONNECTION_FLAG_FILTER_BIT1 = 0x4,
    CONNECTION_FLAG_FILTER_BIT2 = 0x8,
    CONNECTION_FLAG_RDP_EXTRA = 0x40,
    CONNECTION_FLAG_CLIENT_CONTROL = 0x80,
    CONNECTION_FLAG_CLIENT = 0x400,
    CONNECTION_FLAG_LISTENER_EXTRA = 0x4000,
    CONNECTION_TRANSPORT_MASK = 0x1330,
    CONNECTION_TRANSPORT_RDP = 0x10,
    CONNECTION_TRANSPORT_TCP = 0x20,
    CONNECTION_TRANSPORT_UDP = 0x100,
    CONNECTION_TRANSPORT_PIPE = 0x300,
    CONNECTION_TRANSPORT_MIXED = 0x1330,
};

enum : uint32_t {
    POLICY_MATCH_VENDOR = 0x1,
    POLICY_MATCH_PRODUCT = 0x2,
    POLICY_MATCH_CLASS = 0x8,
    POLICY_MATCH_SUBCLASS = 0x10,
    POLICY_MATCH_PROTOCOL = 0x20,
    POLICY_MATCH_PORT = 0x40,
    POLICY_MATCH_SERIAL = 0x80,
};

// Id ranges of the connection entries.
inline bool IsServerId(uint32_t id) { return id >= 1 && id <= 0x0FFFFFFE; }
inline bool IsClientId(uint32_t id) { return id >= 0x80000001 && id <= 0x8FFFFFFE; }
inline bool IsCallbackId(uint32_t id) { return id >= 0xC0000001 && id <= 0xCFFFFFFE; }
inline bool IsClientOrCallbackId(uint32_t id) { return IsClientId(id) || IsCallbackId(id); }
