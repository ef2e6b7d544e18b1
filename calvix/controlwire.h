// The control interface of calvixd as its client sees it: handshake words,
// request codes and the error numbers the client API reports.
//
// Every integer on this wire is little-endian (the machine's own order);
// one request per connection, the daemon closes it after the reply.
#pragma once

#include <cstddef>
#include <cstdint>

// Handshake: the client sends the magic ("NSFI") and the access flags it
// asks for, the daemon answers with the flags it grants.
constexpr uint32_t CORE_HANDSHAKE_MAGIC = 0x4946534E;
constexpr uint32_t CORE_ACCESS_DENIED = 0x80000000;

enum CoreRequest : uint32_t {
    CORE_REQ_GET_SNAPSHOT = 0x1002,
    CORE_REQ_SHARE_DEVICE = 0x1003,
    CORE_REQ_UNSHARE_DEVICE = 0x1004,
    CORE_REQ_SET_TCP_PORT = 0x1006,
    CORE_REQ_GET_STARTUP_STATE = 0x1007,
    CORE_REQ_SET_DEVICE_TIMEOUT = 0x1009,
    CORE_REQ_SET_DEVICE_NICKNAME = 0x100A,
    CORE_REQ_GET_IP_FILTERS = 0x1010,
    CORE_REQ_SET_IP_FILTERS = 0x1012,
    CORE_REQ_CONNECT_DEVICE = 0x1016,
    CORE_REQ_DISCONNECT_DEVICE = 0x1017,
    CORE_REQ_ADD_CALLBACK = 0x1018,
    CORE_REQ_REMOVE_CALLBACK = 0x1019,
    CORE_REQ_SET_LISTEN_ADDRESS = 0x101B,
    CORE_REQ_SET_DEVICE_RESET_METHOD = 0x101E,
    CORE_REQ_GET_DEVICE_ACL = 0x101F,
    CORE_REQ_SET_DEVICE_ACL = 0x1020,
    CORE_REQ_RESERVED_1021 = 0x1021,
    CORE_REQ_GET_DEVICE_DATA = 0x1022,
    CORE_REQ_SHARE_DEVICE_EX = 0x1023,
    CORE_REQ_SET_AUTO_SHARE_MODE = 0x1024,
    CORE_REQ_ADD_SERVER = 0x2001,
    CORE_REQ_REMOVE_SERVER = 0x2002,
    CORE_REQ_RESERVED_2003 = 0x2003,
    CORE_REQ_RESERVED_2004 = 0x2004,
    CORE_REQ_GET_DEVICE_INSTANCE_ID = 0x200E,
    CORE_REQ_ADD_EXCLUSION = 0x3002,
    CORE_REQ_REMOVE_EXCLUSION = 0x3003,
    CORE_REQ_SET_OBJECT_FLAGS = 0x3004,
    CORE_REQ_GET_VERSION = 0x3007,
    CORE_REQ_REGISTER_NOTIFY_QUEUE = 0x3008,
    CORE_REQ_UNREGISTER_NOTIFY_QUEUE = 0x3009,
    CORE_REQ_GET_DEVICE_POLICY = 0x300B,
    CORE_REQ_SET_DEVICE_POLICY = 0x300C,
};

// The one version of the interface this client speaks.
constexpr uint32_t CORE_INTERFACE_VERSION = 0x3A000;
// The daemon answers requests other than version and start-up state only
// once its start-up state is above this.
constexpr uint32_t CORE_STARTUP_STATE_READY_ABOVE = 99;

// Error numbers of the client API (Windows system error codes, as the
// daemon uses them, plus the private range).
enum : uint32_t {
    API_ERROR_FILE_NOT_FOUND = 2,          // rule to remove not found
    API_ERROR_ACCESS_DENIED = 9,           // the daemon's group check refused us
    API_ERROR_NOT_ENOUGH_MEMORY = 8,
    API_ERROR_BAD_COMMAND = 17,            // no open error stored
    API_ERROR_GEN_FAILURE = 31,
    API_ERROR_NOT_SUPPORTED = 50,
    API_ERROR_INVALID_PARAMETER = 87,
    API_ERROR_INSUFFICIENT_BUFFER = 122,
    API_ERROR_SERVICE_NOT_ACTIVE = 162,    // daemon not running or still starting
    API_ERROR_PARTIAL_COPY = 299,          // buffer too small for the whole list
    API_ERROR_IO_PENDING = 997,            // a wait ran out of time
    API_ERROR_CONNECT_FAILED = 1061,
    API_ERROR_TRANSFER_FAILED = 1065,
    API_ERROR_ALREADY_DONE = 1247,
    API_ERROR_DEVICE_STATE = 1351,
    API_ERROR_DEVICE_NOT_FOUND = 1354,
    API_ERROR_SERVER_NOT_FOUND = 1355,
    API_ERROR_CLIENT_NOT_FOUND = 1356,
    API_ERROR_BAD_DATA = 1359,             // a reply that breaks the wire's bounds
    API_ERROR_LOCK_TIMEOUT = 1460,
    API_ERROR_VERSION = 1613,
    API_ERROR_IPC = 0xF0000003,
};

// Longest text the daemon takes in a device policy rule or a callback
// address: it reads a policy rule list only up to texts of 254 bytes and
// drops a callback request of 255 bytes or more without a reply.
constexpr size_t CORE_MAX_REQUEST_TEXT = 254;
// Longest text a client may put into a rule of its own (a new IP filter or
// ACL rule).
constexpr size_t API_MAX_RULE_INPUT = 255;
// Longest text the client accepts on the wire (snapshot texts, rule texts
// the daemon hands out) and so may send back unchanged.
constexpr size_t CORE_MAX_WIRE_TEXT = 1024;
// Most rules in an IP filter list or an ACL.
constexpr uint32_t CORE_MAX_RULES = 1024;
// Most device policy rules in one request.
constexpr uint32_t CORE_MAX_POLICY_RULES = 65535;
