// The network server as the server core uses it: device events queued for
// the client sessions, and the use counts of client connections. Events are
// queued while the device mutex is held (device mutex before the session
// locks); none of these calls may call back into the core.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "calvixd/net/addressrule.h"
#include "sys/thread"

struct UsbDevice;

// Delivery of a device event: to every connection, to one, or to all but one.
constexpr int DELIVER_ALL = 0;
constexpr int DELIVER_ONLY = 1;
constexpr int DELIVER_ALL_BUT = 2;

// Listener states.
constexpr uint32_t LISTENER_RUNNING = 0;
constexpr uint32_t LISTENER_OFF = 1;

// Start errors of the listeners.
constexpr uint32_t ERROR_LISTEN_IN_USE = ERROR_PRIVATE_BASE; // port or pipe name in use
constexpr uint32_t ERROR_LISTEN_ADDRESS = 2;                 // listen address not available

// The copy of one network connection that the core's snapshot reads.
struct ConnectionSnapshot {
    uint32_t state = 0; // 0 connected, 1 disconnected, 8 closing
    uint32_t kind = 0;  // 16 remote-desktop channel, 32 TCP
    ADDRESS clientAddress;
    uint32_t connectionId = 0; // session connection id, or callback id
    uint8_t platformCode = 0;
    uint16_t port = 0;
    std::string clientName;
    uint32_t callbackFlags = 0;
    CExceptionEx lastError;
};

class CNetworkServerIface {
public:
    virtual ~CNetworkServerIface() {}

    // What the state snapshot shows of the listeners and connections. The
    // defaults are those of a server that does not listen.
    virtual uint32_t GetTcpV4State() { return LISTENER_OFF; }
    virtual CExceptionEx GetTcpV4Error() { return CExceptionEx(1, 0, 0); }
    virtual uint32_t GetPipeListenerState() { return LISTENER_OFF; }
    virtual CExceptionEx GetPipeListenerError() { return CExceptionEx(1, 0, 0); }
    // Appends one entry per connection.
    virtual void ListConnections(std::vector<ConnectionSnapshot>*) {}
    // The client name of a session connection; empty when unknown.
    virtual std::string GetConnectionName(uint32_t) { return std::string(); }

    // Each copies what it needs from the record before returning.
    virtual void BroadcastDeviceAvailable(const UsbDevice& device, uint32_t target, int mode) = 0;
    virtual void BroadcastDeviceInUse(uint32_t deviceId, uint32_t flags, const ADDRESS& client, uint32_t target,
                                      int mode) = 0;
    virtual void BroadcastDeviceInUseDetails(const UsbDevice& device, uint32_t flags, const ADDRESS& client,
                                             uint32_t target, int mode) = 0;
    virtual void BroadcastDeviceInactive(const UsbDevice& device, uint32_t target, int mode) = 0;
    virtual void BroadcastDeviceRemoved(uint32_t deviceId, uint32_t target, int mode) = 0;
    virtual void BroadcastDeviceUnshared(uint32_t deviceId, uint32_t target, int mode) = 0;

    // A changed nickname, to every session connection.
    virtual void SendDeviceNickname(uint32_t, const std::string&) {}
    // The IP filters the open sessions are checked against.
    virtual void SetIpFilters(uint8_t, const std::vector<AddressRule>&) {}

    // One more use of a client connection; false when it is unknown.
    virtual bool AcquireConnection(uint32_t connectionId) = 0;
    // One use less; the id is forgotten when its count reaches zero.
    virtual void ReleaseConnection(uint32_t connectionId) = 0;
    // A copy of the connection with the id; false when there is none.
    virtual bool GetConnectionSnapshot(uint32_t, ConnectionSnapshot*) { return false; }
    // Queues a device command (1 open your data connection, 2 close it) to
    // the one connection.
    virtual void SendDeviceCommand(uint32_t, uint32_t, uint32_t) {}

    // Callback connections that the server dials. Add takes the requested
    // id (0 for a new one) and answers the id, or 0 with *error set to
    // ERROR_TIMEOUT when the server's lock was not obtained and to
    // ERROR_NOT_ENOUGH_MEMORY otherwise. Remove is false when the lock was
    // not obtained.
    virtual uint32_t AddCallbackConnection(uint32_t, const std::string&, uint16_t, uint32_t, uint32_t,
                                           uint32_t* error)
    {
        *error = ERROR_NOT_ENOUGH_MEMORY;
        return 0;
    }
    virtual bool RemoveCallbackConnection(uint32_t) { return true; }
    virtual void SetCallbackConnectionFlags(uint32_t, uint32_t) {}

    // Opens the TCP listeners (an invalid address or the family's all-ones
    // address leaves that family off) and the remote-desktop pipe; failures
    // are logged. StopListening closes them.
    virtual void StartListening(const ADDRESS&, const ADDRESS&, uint16_t) {}
    virtual void StopListening() {}

    // Run-time changes of the TCP listeners. GetTcpServerState is the
    // overall state (LISTENER_OFF once stopped or disabled); StopTcpServer
    // closes the TCP listeners and sets the addresses and port the next
    // start uses; StartTcpServer opens them again and answers the error
    // record (the caller owns it), or null. None of them logs.
    virtual uint32_t GetTcpServerState() { return LISTENER_OFF; }
    virtual void StopTcpServer(const ADDRESS&, const ADDRESS&, uint16_t) {}
    virtual CExceptionEx* StartTcpServer() { return nullptr; }
};

// The network server until it listens: no client session exists, so events
// reach nobody and no connection id is known.
class CIdleNetworkServer : public CNetworkServerIface {
public:
    void BroadcastDeviceAvailable(const UsbDevice&, uint32_t, int) override {}
    void BroadcastDeviceInUse(uint32_t, uint32_t, const ADDRESS&, uint32_t, int) override {}
    void BroadcastDeviceInUseDetails(const UsbDevice&, uint32_t, const ADDRESS&, uint32_t, int) override {}
    void BroadcastDeviceInactive(const UsbDevice&, uint32_t, int) override {}
    void BroadcastDeviceRemoved(uint32_t, uint32_t, int) override {}
    void BroadcastDeviceUnshared(uint32_t, uint32_t, int) override {}
    bool AcquireConnection(uint32_t) override { return false; }
    void ReleaseConnection(uint32_t) override {}
};
