// The control-interface request as it arrives after the handshake: the u32
// request code and its arguments, little-endian. A pure function of (bytes,
// length) reads it, so the server can take the bytes as they come and ask
// again once more are there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "calvixd/core/coretypes.h"
#include "sys/address.h"

// Request codes.
constexpr uint32_t CORE_REQ_GET_SNAPSHOT = 0x1002;
constexpr uint32_t CORE_REQ_SHARE_DEVICE = 0x1003;
constexpr uint32_t CORE_REQ_UNSHARE_DEVICE = 0x1004;
constexpr uint32_t CORE_REQ_SET_TCP_PORT = 0x1006;
constexpr uint32_t CORE_REQ_GET_STARTUP_STATE = 0x1007;
constexpr uint32_t CORE_REQ_SET_DEVICE_TIMEOUT = 0x1009;
constexpr uint32_t CORE_REQ_SET_DEVICE_NICKNAME = 0x100A;
constexpr uint32_t CORE_REQ_GET_IP_FILTERS = 0x1010;
constexpr uint32_t CORE_REQ_SET_IP_FILTERS = 0x1012;
constexpr uint32_t CORE_REQ_CONNECT_DEVICE = 0x1016;
constexpr uint32_t CORE_REQ_DISCONNECT_DEVICE = 0x1017;
constexpr uint32_t CORE_REQ_ADD_CALLBACK = 0x1018;
constexpr uint32_t CORE_REQ_REMOVE_CALLBACK = 0x1019;
constexpr uint32_t CORE_REQ_SET_LISTEN_ADDRESS = 0x101B;
constexpr uint32_t CORE_REQ_SET_DEVICE_RESET_METHOD = 0x101E;
constexpr uint32_t CORE_REQ_GET_DEVICE_ACL = 0x101F;
constexpr uint32_t CORE_REQ_SET_DEVICE_ACL = 0x1020;
constexpr uint32_t CORE_REQ_RESERVED_1021 = 0x1021;
constexpr uint32_t CORE_REQ_GET_DEVICE_DATA = 0x1022;
constexpr uint32_t CORE_REQ_SHARE_DEVICE_EX = 0x1023;
constexpr uint32_t CORE_REQ_SET_AUTO_SHARE_MODE = 0x1024;
constexpr uint32_t CORE_REQ_ADD_SERVER = 0x2001;
constexpr uint32_t CORE_REQ_REMOVE_SERVER = 0x2002;
constexpr uint32_t CORE_REQ_RESERVED_2003 = 0x2003;
constexpr uint32_t CORE_REQ_RESERVED_2004 = 0x2004;
constexpr uint32_t CORE_REQ_GET_DEVICE_INSTANCE_ID = 0x200E;
constexpr uint32_t CORE_REQ_ADD_EXCLUSION = 0x3002;
constexpr uint32_t CORE_REQ_REMOVE_EXCLUSION = 0x3003;
constexpr uint32_t CORE_REQ_SET_OBJECT_FLAGS = 0x3004;
constexpr uint32_t CORE_REQ_GET_VERSION = 0x3007;
constexpr uint32_t CORE_REQ_REGISTER_NOTIFY_QUEUE = 0x3008;
constexpr uint32_t CORE_REQ_UNREGISTER_NOTIFY_QUEUE = 0x3009;
constexpr uint32_t CORE_REQ_GET_DEVICE_POLICY = 0x300B;
constexpr uint32_t CORE_REQ_SET_DEVICE_POLICY = 0x300C;

// A nickname is read up to this many bytes; the rest of a longer one is not.
constexpr uint32_t CORE_NICKNAME_LIMIT = 255;
// A callback address of this length or more gets no reply.
constexpr uint32_t CORE_CALLBACK_ADDRESS_LIMIT = 255;
// Longest text of a device policy rule.
constexpr uint32_t CORE_POLICY_TEXT_LIMIT = 254;
// Any local user may send requests, and the daemon runs as root: no length
// or count from the wire may make it hold more than these.
constexpr uint32_t CORE_TEXT_LIMIT = 1024;
constexpr uint32_t CORE_COUNT_LIMIT = 1024;

enum class ControlParse {
    Complete, // the request is whole; `used` bytes make it
    NeedMore, // at least `needed` bytes in all are required
    Invalid,  // a length or value is refused: close without a reply
};

struct ControlParseResult {
    ControlParse status = ControlParse::NeedMore;
    size_t needed = 4;
    size_t used = 0;
};

// The arguments of every request, as far as its code uses them.
struct ControlRequest {
    uint32_t code = 0;
    bool known = false;
    uint32_t serverId = 0;
    uint32_t deviceId = 0;
    uint32_t value = 0; // port, seconds, method, client id, parameter, mode, flags, queue or callback id
    uint32_t kind = 0;
    uint16_t port = 0;
    uint8_t mode = 0;
    uint8_t selector = 0;
    std::string text; // nickname or callback address
    ADDRESS address;
    std::vector<std::string> rules;
    std::vector<DevicePolicyRule> policyRules;
    // SET_DEVICE_ACL or SET_DEVICE_POLICY broke off after its count: the
    // rules read whole so far are applied.
    bool partialList = false;
};

// Checks in this order: the code (4 bytes); then each field of the code's
// layout in wire order, a length or count against its limit before the
// bytes it announces are asked for. Unknown codes are Complete after the
// code (their arguments are drained, not parsed). Never reads past length.
ControlParseResult ParseControlRequest(const uint8_t* data, size_t length, ControlRequest* request);
