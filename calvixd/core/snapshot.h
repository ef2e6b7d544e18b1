// The state snapshot's records, built from plain copies of what the server
// core and the network server hold: one ConnectionInfo per listener,
// configured callback connection and client connection, one DeviceInfo per
// device that is not hidden, one DeviceClientInfo per device in use.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "calvixd/core/coretypes.h"
#include "calvixd/core/usbdevice.h"
#include "calvixd/net/networkserveriface.h"

constexpr const char SNAPSHOT_PIPE_NAME[] = "calvixdvc.pipe";

// ConnectionInfo flags.
constexpr uint32_t CONNECTION_FLAG_AUTO_SHARE = 0x1;
constexpr uint32_t CONNECTION_FLAG_CALLBACK = 0x2;
constexpr uint32_t CONNECTION_FLAG_FILTER_DISABLED = 0x4;
constexpr uint32_t CONNECTION_FLAG_FILTER_ALLOW = 0x8;
constexpr uint32_t CONNECTION_FLAG_PIPE = 0x10;
constexpr uint32_t CONNECTION_FLAG_TCP = 0x20;
constexpr uint32_t CONNECTION_FLAG_SESSION = 0x400;

// A configured callback connection as the core keeps it.
struct CallbackEntry {
    std::string host;
    uint16_t port = 0;
    uint32_t flags = 0;
};

// What the snapshot shows of the TCP listener and the pipe listener.
struct ListenerView {
    uint32_t tcpState = LISTENER_OFF;
    CExceptionEx tcpError{1, 0, 0};
    uint32_t pipeState = LISTENER_OFF;
    CExceptionEx pipeError{1, 0, 0};
    ADDRESS listenV4;
    uint16_t tcpPort = 0;
    bool autoShare = false;
    uint8_t ipFilterMode = FILTER_MODE_DISABLED;
    uint8_t platformCode = 0; // the daemon's own
};

// The TCP and the pipe listener entries, in this order.
void AppendListenerInfo(const ListenerView& view, std::vector<ConnectionInfo>* out);

// Each callback entry in id order, taking the state of its connection when
// one is open (that connection is then not listed again); then every other
// connection. `connections` is consumed.
void AppendConnectionInfo(const std::map<uint32_t, CallbackEntry>& callbacks,
                          std::vector<ConnectionSnapshot>* connections, std::vector<ConnectionInfo>* out);

// The DeviceInfo of a record; client id and address only in the states
// with a client (4, 9, 12).
DeviceInfo MakeDeviceInfo(const UsbDevice& device);
