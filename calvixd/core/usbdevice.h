// UsbDevice: what the server core knows of one USB device (plugged in now,
// remembered from the configuration file, or only carrying per-device
// settings), and the slot of the device map that gives it a stable id.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "calvixd/net/addressrule.h"
#include "sys/thread"

class CUsbStub;

// Device states.
constexpr uint8_t DEVICE_STATE_PLUGGED = 0;
constexpr uint8_t DEVICE_STATE_INITIALIZING = 2;
constexpr uint8_t DEVICE_STATE_SHARED = 3;
constexpr uint8_t DEVICE_STATE_IN_USE = 4;
constexpr uint8_t DEVICE_STATE_NOT_PLUGGED = 5;
constexpr uint8_t DEVICE_STATE_INACTIVE = 9;
constexpr uint8_t DEVICE_STATE_DEINITIALIZING = 11;
constexpr uint8_t DEVICE_STATE_CONNECTING = 12;

// Share modes.
constexpr uint8_t SHARE_MODE_NONE = 0;
constexpr uint8_t SHARE_MODE_USER = 1;
constexpr uint8_t SHARE_MODE_EXCLUDED = 2;
constexpr uint8_t SHARE_MODE_USER_OPTION = 3; // behaves as SHARE_MODE_USER

// Device flags.
constexpr uint32_t DEVICE_FLAG_TIMEOUT = 0x4;
constexpr uint32_t DEVICE_FLAG_REMOTE_WAKEUP = 0x8;
constexpr uint32_t DEVICE_FLAG_SERIAL = 0x10;
constexpr uint32_t DEVICE_FLAG_NICKNAME = 0x20;
constexpr uint32_t DEVICE_FLAG_RESET_MODE = 0x100;
constexpr uint32_t DEVICE_FLAG_DETECTED = 0x200;
constexpr uint32_t DEVICE_FLAG_ACL = 0x400;
constexpr uint32_t DEVICE_FLAG_POLICY_REFUSED = 0x800;
constexpr uint32_t DEVICE_FLAG_AUTO_SHARED = 0x20000;
constexpr uint32_t DEVICE_FLAG_DETECTED_2 = 0x04000000;
constexpr uint32_t DEVICE_FLAG_HIDDEN = 0x10000000;
// Clearing the client kind also clears bit 0x40000.
constexpr uint32_t DEVICE_CLIENT_KIND_CLEAR_MASK = 0xFFFA1FFF;

// Connection kinds of the network server.
constexpr uint32_t CONNECTION_KIND_RDP = 16;
constexpr uint32_t CONNECTION_KIND_TCP = 32;
constexpr uint32_t CONNECTION_KIND_UDP = 256;
constexpr uint32_t CONNECTION_KIND_512 = 512;
constexpr uint32_t CONNECTION_KIND_PIPE = 768;

constexpr uint8_t DEVICE_SPEED_UNKNOWN = 255;
constexpr uint8_t DEVICE_RESET_MODE_UNSET = 255;
constexpr uint8_t DEVICE_RESET_MODE_HARD = 2;

// Name, hardware-id multi-string and compatible-id multi-string, 256 bytes each.
constexpr size_t DEVICE_TEXT_BLOCK_SIZE = 768;
constexpr size_t DEVICE_TEXT_PART_SIZE = 256;

// Last-error values of a connection attempt.
constexpr uint32_t ERROR_CONNECTION_CANCELLED = 1236;
constexpr uint32_t ERROR_CONNECTION_EXPIRED = 1237;

// A connecting device or a reservation is given up when older than this.
constexpr uint32_t CONNECT_LIMIT_MS = 29999;

// One rule of an IP filter or of a device's ACL: the text as the
// administrator wrote it (a host rule without its address list, which lives
// only in the parsed rule) and the parsed rule (kind 0 until it is parsed).
struct AddressRuleEntry {
    std::string text;
    AddressRule rule;
};
using AclRuleEntry = AddressRuleEntry;
using IpFilterRuleEntry = AddressRuleEntry;

struct UsbDevice {
    uint32_t id = 0;
    uint32_t flags = 0;
    ADDRESS clientAddress;
    uint32_t clientConnectionId = 0; // meaningful in states 4, 9 and 12
    uint32_t timeout = 0;            // seconds, 0 = off
    uint32_t quirkFlags = 0;
    uint32_t lastChange = 0; // tick of the last state change
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t bcdDevice = 0;
    uint16_t usbVersion = 0;
    uint8_t deviceClass = 0;
    uint8_t subClass = 0;
    uint8_t protocol = 0;
    uint8_t state = DEVICE_STATE_NOT_PLUGGED;
    uint8_t speed = DEVICE_SPEED_UNKNOWN;
    uint8_t resetMode = DEVICE_RESET_MODE_UNSET;
    uint8_t shareMode = SHARE_MODE_NONE;
    uint8_t aclMode = 0;
    // The device was handed back to the host once since it arrived because
    // the driver held it while it was not to be shared.
    bool handedBack = false;
    // Shared with a running data connection, which keeps the stub alive until
    // it has ended; the record drops its reference when the device is
    // unshared or leaves, never while the device mutex is held.
    std::shared_ptr<CUsbStub> stub;
    // The descriptor block as the stub driver gave it, with its real length;
    // empty until first asked for.
    std::vector<uint8_t> descriptors;
    std::string name;
    std::string instanceIdentity;
    std::string serial;
    std::string port; // sysfs bus id
    std::string nickname;
    std::string clientName;
    std::vector<AclRuleEntry> aclRules;
    uint8_t textBlock[DEVICE_TEXT_BLOCK_SIZE] = {};
    CExceptionEx lastError;

    bool IsPresent() const { return state != DEVICE_STATE_NOT_PLUGGED; }
    bool IsHidden() const { return (flags & DEVICE_FLAG_HIDDEN) != 0; }
    bool IsSharedByUser() const { return shareMode == SHARE_MODE_USER || shareMode == SHARE_MODE_USER_OPTION; }
    bool HasClient() const
    {
        return state == DEVICE_STATE_IN_USE || state == DEVICE_STATE_INACTIVE || state == DEVICE_STATE_CONNECTING;
    }
    void ClearClientKind() { flags &= DEVICE_CLIENT_KIND_CLEAR_MASK; }
    void SetState(uint8_t newState, uint32_t now)
    {
        state = newState;
        lastChange = now;
    }

    // Whether a record that is not present may be deleted. Not for shared or
    // excluded devices; otherwise the record is marked hidden and may go only
    // when it carries no setting of its own.
    bool CanForget();
};

// One id of the device map: the identity digest and the record, if any.
struct DeviceSlot {
    uint8_t identity[MD5_DIGEST_SIZE] = {};
    std::unique_ptr<UsbDevice> device;
};

// flags with the client kind field set for a connection kind.
uint32_t SetClientKindFlags(uint32_t flags, uint32_t kind);

// MD5 of "Vid_%.4x&Pid_%.4x&Busid_%s", over at least 64 bytes (a shorter
// text is hashed with the zeros that follow it). Ids stored in configuration
// files rest on this exact digest.
void ComputeDeviceIdentity(uint16_t vendorId, uint16_t productId, const std::string& identityText,
                           uint8_t digest[MD5_DIGEST_SIZE]);
