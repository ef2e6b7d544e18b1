// The network server as the server core uses it: device events queued for
// the client sessions, and the use counts of client connections. Events are
// queued while the device mutex is held (device mutex before the session
// locks); none of these calls may call back into the core.
#pragma once

#include <cstdint>

#include "sys/thread"

struct UsbDevice;

// Delivery of a device event: to every connection, to one, or to all but one.
constexpr int DELIVER_ALL = 0;
constexpr int DELIVER_ONLY = 1;
constexpr int DELIVER_ALL_BUT = 2;

class CNetworkServerIface {
public:
    virtual ~CNetworkServerIface() {}

    // Each copies what it needs from the record before returning.
    virtual void BroadcastDeviceAvailable(const UsbDevice& device, uint32_t target, int mode) = 0;
    virtual void BroadcastDeviceInUse(uint32_t deviceId, uint32_t flags, const ADDRESS& client, uint32_t target,
                                      int mode) = 0;
    virtual void BroadcastDeviceInUseDetails(const UsbDevice& device, uint32_t flags, const ADDRESS& client,
                                             uint32_t target, int mode) = 0;
    virtual void BroadcastDeviceInactive(const UsbDevice& device, uint32_t target, int mode) = 0;
    virtual void BroadcastDeviceRemoved(uint32_t deviceId, uint32_t target, int mode) = 0;
    virtual void BroadcastDeviceUnshared(uint32_t deviceId, uint32_t target, int mode) = 0;

    // One more use of a client connection; false when it is unknown.
    virtual bool AcquireConnection(uint32_t connectionId) = 0;
    // One use less; the id is forgotten when its count reaches zero.
    virtual void ReleaseConnection(uint32_t connectionId) = 0;

    // Opens the TCP listeners (an invalid address or the family's all-ones
    // address leaves that family off) and the remote-desktop pipe; failures
    // are logged. StopListening closes them.
    virtual void StartListening(const ADDRESS&, const ADDRESS&, uint16_t) {}
    virtual void StopListening() {}
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
