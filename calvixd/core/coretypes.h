// Plain records that the core object hands between the configuration file
// and the server core. The device model fills in their meaning; here they
// carry the fields the file and the control interface need.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sys/thread"

// Share kinds of a remembered device and of a device record.
constexpr uint8_t SHARE_KIND_SHARED = 1;
constexpr uint8_t SHARE_KIND_EXCLUDED = 2;

// Filter, ACL and policy modes.
constexpr uint8_t FILTER_MODE_DISABLED = 0;
constexpr uint8_t FILTER_MODE_ALLOW = 1;
constexpr uint8_t FILTER_MODE_DENY = 2;

constexpr uint32_t QUIRK_NO_RESET_ON_SHARE = 0x1;
constexpr uint32_t QUIRK_IGNORE_SERIAL = 0x2;
constexpr uint32_t QUIRK_BUILT_IN = 0x80000000; // never written to the file
constexpr uint8_t RESET_MODE_NOT_SET = 255;

struct DeviceQuirk {
    uint32_t flags = 0;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint8_t resetMode = RESET_MODE_NOT_SET;
};

// Fields a device policy rule compares.
constexpr uint32_t POLICY_FLAG_VID = 0x1;
constexpr uint32_t POLICY_FLAG_PID = 0x2;
constexpr uint32_t POLICY_FLAG_CLASS = 0x8;
constexpr uint32_t POLICY_FLAG_SUBCLASS = 0x10;
constexpr uint32_t POLICY_FLAG_PROTOCOL = 0x20;
constexpr uint32_t POLICY_FLAG_PORT = 0x40;
constexpr uint32_t POLICY_FLAG_SERIAL = 0x80;

struct DevicePolicyRule {
    uint32_t flags = 0; // 0x1 VID, 0x2 PID, 0x8 class, 0x10 subclass, 0x20 protocol, 0x40 port, 0x80 serial
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint8_t deviceClass = 0;
    uint8_t subClass = 0;
    uint8_t protocol = 0;
    std::string port;
    std::string serial;
    std::string name;
};

// Flags of a remembered device that the file sets.
constexpr uint32_t CONFIGURED_FLAG_TIMEOUT = 0x4;
constexpr uint32_t CONFIGURED_FLAG_SERIAL = 0x10;
constexpr uint32_t CONFIGURED_FLAG_NICKNAME = 0x20;

// One remembered local device ("usbdevice=" line).
struct ConfiguredDevice {
    uint32_t serverNumber = 0; // 0 = this daemon
    uint32_t deviceId = 0;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t bcdDevice = 0;
    uint8_t deviceClass = 0;
    uint8_t subClass = 0;
    uint8_t protocol = 0;
    uint32_t flags = 0; // 0x4 time-out, 0x10 serial, 0x20 nickname given
    uint32_t timeout = 0;
    uint8_t shareKind = 0;
    std::string name;
    std::string nickname;
    std::string instanceIdentity;
    std::string serial;
    std::string port;
};

// Flags of a callback connection; the kind bits (0x1330) say what it
// carries.
constexpr uint32_t CALLBACK_FLAG_AUTO = 0x1;
constexpr uint32_t CALLBACK_FLAG_CALLBACK = 0x2;
constexpr uint32_t CALLBACK_FLAG_TCP = 0x20;
constexpr uint32_t CALLBACK_FLAG_ALLOW_CLIENT_CONTROL = 0x80;
constexpr uint32_t CALLBACK_FLAG_INCOMING = 0x400;
constexpr uint32_t CALLBACK_KIND_MASK = 0x1330;
// Callback connection ids: CALLBACK_ID_BASE | n, from 0xC0000001 to
// 0xCFFFFFFE.
constexpr uint32_t CALLBACK_ID_BASE = 0xC0000000;
constexpr uint32_t CALLBACK_ID_FIRST = 0xC0000001;
constexpr uint32_t CALLBACK_ID_LAST = 0xCFFFFFFE;
constexpr uint32_t CALLBACK_STATE_CLOSING = 8;

// One callback connection of the file.
struct ConfiguredCallback {
    uint32_t id = 0;
    std::string host;
    uint16_t port = 0;
    uint32_t flags = 0;
};

// {16-byte digest or server id, id}: identify and uniqid entries.
struct IdentityEntry {
    uint8_t digest[16] = {};
    uint32_t id = 0;
};

// Snapshot records of the state the server core shows.
struct ConnectionInfo {
    uint32_t id = 0;
    uint32_t state = 0;
    uint32_t platformCode = 0;
    std::string name;
    ADDRESS address;
    uint16_t port = 0;
    ADDRESS listenAddress;
    uint32_t flags = 0;
    uint32_t fixedWord = 0xFFFFFFFF;
    CExceptionEx lastError;
};

struct DeviceInfo {
    uint32_t id = 0;
    uint32_t clientConnectionId = 0;
    uint32_t state = 0;
    uint32_t flags = 0;
    ADDRESS clientAddress;
    uint32_t timeout = 0;
    uint16_t usbVersion = 0;
    uint8_t speed = 255;
    uint8_t resetMode = 0;
    uint8_t shareMode = 0;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t bcdDevice = 0;
    uint8_t deviceClass = 0;
    uint8_t subClass = 0;
    uint8_t protocol = 0;
    std::string name;
    std::string nickname;
    std::string instanceIdentity;
    std::string serial;
    std::string port;
    CExceptionEx lastError;
    std::vector<ADDRESS> addresses;
};

struct DeviceClientInfo {
    uint32_t reserved = 0;
    uint32_t deviceId = 0;
    ADDRESS clientAddress;
    std::string clientName;
};

// Everything the configuration file holds, as read at start-up and as
// collected for writing it back.
struct StoredSettings {
    bool eventlog = true;
    bool debuglog = false;
    uint16_t tcpPort = 32032;
    ADDRESS listenV4{static_cast<uint32_t>(0)}; // 0.0.0.0
    ADDRESS listenV6;                           // empty
    uint8_t autoShare = 0;                      // startup-autosharing flag
    std::vector<ConfiguredDevice> devices;      // read: "usbdevice=" lines
    std::vector<DeviceInfo> snapshotDevices;    // write: the shared and excluded devices
    std::vector<ConnectionInfo> snapshotConnections; // write: callback connections
    std::vector<ConfiguredCallback> callbacks;  // read
    std::vector<IdentityEntry> identities;
    std::map<uint32_t, std::string> nicknames;
    std::map<uint32_t, uint32_t> timeouts;
    uint8_t ipFilterMode = FILTER_MODE_DISABLED;
    std::vector<std::string> ipFilterRules;
    std::map<uint32_t, uint8_t> aclModes;
    std::map<uint32_t, std::vector<std::string>> aclRules;
    std::vector<IdentityEntry> uniqids;
    uint8_t policyMode = FILTER_MODE_DISABLED;
    std::vector<DevicePolicyRule> policyRules;
    std::vector<DeviceQuirk> quirks;
    uint8_t serverId[16] = {};  // read: drawn at random unless a uniqid entry 0 holds one
    uint32_t autoShareMode = 0; // write: only 1 is saved as "startup=autosharing"
};
