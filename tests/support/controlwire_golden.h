// Golden exchanges of calvixd's local control interface, written byte by
// byte from the wire layouts (little-endian integers; a text is a u32 length
// and the bytes without NUL; an address is a u32 length 0, 4 or 16 and the
// bytes in network order; an error record is u16 module, u16 line, u32
// error). Both ends are checked against these tables: the daemon's server
// (request in, reply out, against a core that answers as `call` says) and
// the tool's client (request out, reply in).
//
// Every exchange starts after the handshake: the client has sent
// 4E 53 46 49 ("NSFI") and the requested flags 0, and read the granted
// flags 0. `request` is the u32 request code and its data. Where
// `followUp` is not empty the client sends it after it has read the first
// `replyBeforeFollowUp` bytes of `reply` (the device-policy listing asks the
// client whether it wants the rules).
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <cstring>
#include <string>
#include <vector>

namespace controlgolden {

using Bytes = std::vector<uint8_t>;

inline void Append(Bytes* out, const Bytes& more) { out->insert(out->end(), more.begin(), more.end()); }

inline Bytes U8(uint8_t v) { return {v}; }
inline Bytes U16(uint16_t v) { return {uint8_t(v), uint8_t(v >> 8)}; }
inline Bytes U32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }
inline Bytes Text(const std::string& s)
{
    Bytes out = U32(uint32_t(s.size()));
    out.resize(4 + s.size());
    if (!s.empty())
        memcpy(out.data() + 4, s.data(), s.size());
    return out;
}
inline Bytes NoAddress() { return U32(0); }
inline Bytes V4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) { return {4, 0, 0, 0, a, b, c, d}; }
inline Bytes V6Loopback()
{
    Bytes out = U32(16);
    for (int i = 0; i < 15; i++)
        out.push_back(0);
    out.push_back(1);
    return out;
}
inline Bytes Record(uint16_t module, uint16_t line, uint32_t error)
{
    Bytes out = U16(module);
    Append(&out, U16(line));
    Append(&out, U32(error));
    return out;
}
inline Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& part : parts)
        Append(&out, part);
    return out;
}
inline Bytes Ok() { return U32(1); }
inline Bytes Failed(uint16_t module, uint16_t line, uint32_t error) { return Cat({U32(0), Record(module, line, error)}); }

// Request codes.
constexpr uint32_t GET_SNAPSHOT = 0x1002;
constexpr uint32_t SHARE_DEVICE = 0x1003;
constexpr uint32_t UNSHARE_DEVICE = 0x1004;
constexpr uint32_t SET_TCP_PORT = 0x1006;
constexpr uint32_t GET_STARTUP_STATE = 0x1007;
constexpr uint32_t SET_DEVICE_TIMEOUT = 0x1009;
constexpr uint32_t SET_DEVICE_NICKNAME = 0x100A;
constexpr uint32_t GET_IP_FILTERS = 0x1010;
constexpr uint32_t SET_IP_FILTERS = 0x1012;
constexpr uint32_t CONNECT_DEVICE = 0x1016;
constexpr uint32_t DISCONNECT_DEVICE = 0x1017;
constexpr uint32_t ADD_CALLBACK = 0x1018;
constexpr uint32_t REMOVE_CALLBACK = 0x1019;
constexpr uint32_t SET_LISTEN_ADDRESS = 0x101B;
constexpr uint32_t SET_DEVICE_RESET_METHOD = 0x101E;
constexpr uint32_t GET_DEVICE_ACL = 0x101F;
constexpr uint32_t SET_DEVICE_ACL = 0x1020;
constexpr uint32_t GET_DEVICE_DATA = 0x1022;
constexpr uint32_t SHARE_DEVICE_EX = 0x1023;
constexpr uint32_t SET_AUTO_SHARE_MODE = 0x1024;
constexpr uint32_t GET_DEVICE_INSTANCE_ID = 0x200E;
constexpr uint32_t ADD_EXCLUSION = 0x3002;
constexpr uint32_t REMOVE_EXCLUSION = 0x3003;
constexpr uint32_t SET_OBJECT_FLAGS = 0x3004;
constexpr uint32_t GET_VERSION = 0x3007;
constexpr uint32_t REGISTER_NOTIFY_QUEUE = 0x3008;
constexpr uint32_t UNREGISTER_NOTIFY_QUEUE = 0x3009;
constexpr uint32_t GET_DEVICE_POLICY = 0x300B;
constexpr uint32_t SET_DEVICE_POLICY = 0x300C;
constexpr uint32_t ADD_SERVER = 0x2001; // sent by the tool, handled by no daemon

// The records a core that answers these tables holds.

// Snapshot: the TCP listener, one client connection, one device in use.
inline Bytes SnapshotConnections()
{
    return Cat({
        U32(2),
        // TCP listener: id 0, state 2, no error (module 1), platform 0x90,
        // name "0.0.0.0", no address, port 32032, listen address 0.0.0.0,
        // flags 0x20 | 0x4 (filter disabled), fixed word.
        U32(0), U32(2), Record(1, 0, 0), U32(0x90), Text("0.0.0.0"), NoAddress(), U16(32032), V4(0, 0, 0, 0),
        U32(0x24), U32(0xFFFFFFFF),
        // Client connection 0x80000003 from 127.0.0.2:40000, name "desk".
        U32(0x80000003), U32(0), Record(1, 0, 0), U32(0x10), Text("desk"), V4(127, 0, 0, 2), U16(40000),
        NoAddress(), U32(0x420), U32(0xFFFFFFFF),
    });
}
inline Bytes SnapshotDevices()
{
    return Cat({
        U32(1),
        U32(7), U32(0x80000003), U32(4), Record(1, 0x10, 0), U32(0), U32(0x224), V4(127, 0, 0, 2), U32(30),
        U8(2), U8(0), U8(1), U8(255), U16(0x0781), U16(0x5567), U16(0x0100), U8(8), U8(6), U8(0x50),
        Text("Cruzer"), Text("stick"), Text("4C53"), Text("4C53"), Text("1-1.2"),
    });
}
inline Bytes SnapshotClients()
{
    return Cat({U32(1), U32(0), U32(7), V4(127, 0, 0, 2), Text("desk")});
}

// One device policy rule: VID 0x0781 and serial "4C53", named "sticks".
inline Bytes PolicyRule()
{
    return Cat({U32(0x81), U16(0x0781), U16(0), U8(0), U8(0), U8(0), Text(""), Text("4C53"), Text("sticks")});
}

// The device data block: its own total size (8) as a u16 at offset 2.
inline Bytes DeviceDataBlock() { return {0x01, 0x02, 0x08, 0x00, 0xAA, 0xBB, 0xCC, 0xDD}; }

struct Exchange {
    const char* name;
    // The core operation the daemon calls, as "Operation(argument,...)";
    // empty when the request reaches no core operation.
    const char* call;
    Bytes request;
    Bytes reply;
    Bytes followUp;
    size_t replyBeforeFollowUp = 0;
};

// Core operations that fail answer the record (module 1, line 0x123,
// error 1354) in the exchanges named "...Fails".
inline std::vector<Exchange> Exchanges()
{
    std::vector<Exchange> t;
    t.push_back({"Snapshot", "GetSnapshot",
                 U32(GET_SNAPSHOT),
                 Cat({Ok(), SnapshotConnections(), SnapshotDevices(), SnapshotClients()}), {}, 0});
    t.push_back({"ShareDevice", "ShareDevice(7,0)", Cat({U32(SHARE_DEVICE), U32(7)}), Ok(), {}, 0});
    t.push_back({"ShareDeviceFails", "ShareDevice(99,0)", Cat({U32(SHARE_DEVICE), U32(99)}),
                 Failed(1, 0x123, 1354), {}, 0});
    t.push_back({"UnshareDevice", "UnshareDevice(7)", Cat({U32(UNSHARE_DEVICE), U32(7)}), Ok(), {}, 0});
    // Only the low 16 bits of the port count.
    t.push_back({"SetTcpPort", "SetTcpPort(32000)", Cat({U32(SET_TCP_PORT), U32(0x00017D00)}), Ok(), {}, 0});
    t.push_back({"StartupState", "", U32(GET_STARTUP_STATE), Cat({U32(1), U32(100)}), {}, 0});
    t.push_back({"SetDeviceTimeout", "SetDeviceTimeout(7,30)", Cat({U32(SET_DEVICE_TIMEOUT), U32(7), U32(30)}),
                 Ok(), {}, 0});
    t.push_back({"SetDeviceNickname", "SetDeviceNickname(7,Desk)",
                 Cat({U32(SET_DEVICE_NICKNAME), U32(0), U32(7), Text("Desk")}), Ok(), {}, 0});
    // An empty nickname clears it.
    t.push_back({"ClearDeviceNickname", "SetDeviceNickname(7,)",
                 Cat({U32(SET_DEVICE_NICKNAME), U32(0), U32(7), U32(0)}), Ok(), {}, 0});
    t.push_back({"GetIpFilters", "GetIpFilters", U32(GET_IP_FILTERS),
                 Cat({U32(1), U8(1), U32(2), Text("127.0.0.0/8"), Text("::1")}), {}, 0});
    t.push_back({"SetIpFilters", "SetIpFilters(2,[127.0.0.2][127.0.0.3/32])",
                 Cat({U32(SET_IP_FILTERS), U8(2), U32(2), Text("127.0.0.2"), Text("127.0.0.3/32")}), Ok(), {}, 0});
    t.push_back({"SetIpFiltersEmpty", "SetIpFilters(0,)", Cat({U32(SET_IP_FILTERS), U8(0), U32(0)}), Ok(), {}, 0});
    t.push_back({"ConnectDevice", "ConnectDevice(7,2147483651)",
                 Cat({U32(CONNECT_DEVICE), U32(7), U32(0x80000003)}), Ok(), {}, 0});
    t.push_back({"DisconnectDevice", "DisconnectDevice(7)", Cat({U32(DISCONNECT_DEVICE), U32(7)}), Ok(), {}, 0});
    t.push_back({"AddCallback", "AddCallbackConnection(127.0.0.1,32032,32)",
                 Cat({U32(ADD_CALLBACK), Text("127.0.0.1"), U16(32032), U32(32)}), Cat({U32(1), U32(0xC0000007)}),
                 {}, 0});
    t.push_back({"RemoveCallback", "RemoveCallbackConnection(3221225479)",
                 Cat({U32(REMOVE_CALLBACK), U32(0xC0000007)}), Ok(), {}, 0});
    t.push_back({"SetListenAddressV4", "SetListenAddress(127.0.0.1)",
                 Cat({U32(SET_LISTEN_ADDRESS), V4(127, 0, 0, 1)}), Ok(), {}, 0});
    t.push_back({"SetListenAddressV6", "SetListenAddress(::1)", Cat({U32(SET_LISTEN_ADDRESS), V6Loopback()}), Ok(),
                 {}, 0});
    t.push_back({"SetDeviceResetMethod", "SetDeviceResetMethod(7,2)",
                 Cat({U32(SET_DEVICE_RESET_METHOD), U32(7), U32(2)}), Ok(), {}, 0});
    t.push_back({"GetDeviceAcl", "GetDeviceAcl(7)", Cat({U32(GET_DEVICE_ACL), U32(7)}),
                 Cat({U32(1), U8(2), U32(1), Text("127.0.0.9")}), {}, 0});
    // Empty rule texts are skipped.
    t.push_back({"SetDeviceAcl", "SetDeviceAcl(7,1,[a][b])",
                 Cat({U32(SET_DEVICE_ACL), U32(7), U8(1), U32(3), Text("a"), Text(""), Text("b")}), Ok(), {}, 0});
    t.push_back({"GetDeviceData", "GetDeviceData(7)", Cat({U32(GET_DEVICE_DATA), U32(7)}),
                 Cat({U32(1), U32(8), DeviceDataBlock()}), {}, 0});
    // A device without a block answers length 0.
    t.push_back({"GetDeviceDataNone", "GetDeviceData(8)", Cat({U32(GET_DEVICE_DATA), U32(8)}),
                 Cat({U32(1), U32(0)}), {}, 0});
    t.push_back({"ShareDeviceEx", "ShareDevice(7,1)", Cat({U32(SHARE_DEVICE_EX), U32(0), U32(7), U32(1)}), Ok(), {},
                 0});
    t.push_back({"SetAutoShareMode", "SetAutoShareMode(2)", Cat({U32(SET_AUTO_SHARE_MODE), U32(0), U32(2)}), Ok(),
                 {}, 0});
    t.push_back({"GetDeviceInstanceId", "GetDeviceInstanceId(0,7)",
                 Cat({U32(GET_DEVICE_INSTANCE_ID), U32(0), U32(7)}), Cat({U32(1), Text("/dev/bus/usb/001/002")}),
                 {}, 0});
    // Another server id fails in the core object (module 0, line 942).
    t.push_back({"GetDeviceInstanceIdOtherServer", "GetDeviceInstanceId(1,7)",
                 Cat({U32(GET_DEVICE_INSTANCE_ID), U32(1), U32(7)}), Failed(0, 942, 1349), {}, 0});
    t.push_back({"AddExclusion", "AddExclusion(0,7)", Cat({U32(ADD_EXCLUSION), U32(0), U32(7)}), Ok(), {}, 0});
    t.push_back({"RemoveExclusion", "RemoveExclusion(0,7)", Cat({U32(REMOVE_EXCLUSION), U32(0), U32(7)}), Ok(), {},
                 0});
    t.push_back({"SetObjectFlags", "SetObjectFlags(0,9)", Cat({U32(SET_OBJECT_FLAGS), U32(0), U32(0xFFFF), U32(9)}),
                 Ok(), {}, 0});
    t.push_back({"Version", "", U32(GET_VERSION), Cat({U32(1), U32(0x3A000), Text("USB Calvento for Linux")}), {},
                 0});
    t.push_back({"RegisterNotifyQueue", "RegisterNotifyQueue(12)", Cat({U32(REGISTER_NOTIFY_QUEUE), U32(12)}),
                 Ok(), {}, 0});
    t.push_back({"UnregisterNotifyQueue", "UnregisterNotifyQueue(12)",
                 Cat({U32(UNREGISTER_NOTIFY_QUEUE), U32(12)}), Ok(), {}, 0});
    // The client asks for the rules with a nonzero u32 after the count.
    t.push_back({"GetDevicePolicy", "GetDevicePolicy(0)", Cat({U32(GET_DEVICE_POLICY), U8(0)}),
                 Cat({U32(1), U8(1), U32(1), PolicyRule()}), U32(1), 9});
    // With 0 it gets none.
    t.push_back({"GetDevicePolicyCountOnly", "GetDevicePolicy(0)", Cat({U32(GET_DEVICE_POLICY), U8(0)}),
                 Cat({U32(1), U8(1), U32(1)}), U32(0), 9});
    t.push_back({"SetDevicePolicy", "SetDevicePolicy(0,1,[129:0781:0000:4C53:sticks])",
                 Cat({U32(SET_DEVICE_POLICY), U8(0), U8(1), U32(1), PolicyRule()}), Ok(), {}, 0});
    // A rule text over 254 bytes ends the reading at its length: that rule
    // and the rest are dropped, the rules before it applied.
    t.push_back({"SetDevicePolicyLongText", "SetDevicePolicy(0,1,[129:0781:0000:4C53:sticks])",
                 Cat({U32(SET_DEVICE_POLICY), U8(0), U8(1), U32(2), PolicyRule(), U32(0x81), U16(0x0781), U16(0),
                      U8(0), U8(0), U8(0), Text(""), Text(std::string(300, 's')), Text("long")}),
                 Ok(), {}, 0});
    // Codes the tool knows and the daemon does not handle, with their
    // arguments still arriving.
    t.push_back({"AddServer", "", Cat({U32(ADD_SERVER), Text("127.0.0.1"), U32(32032)}), Failed(13, 2916, 50), {},
                 0});
    return t;
}

} // namespace controlgolden
