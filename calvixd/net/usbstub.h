// The object of one device attached to the stub driver, as the server core
// holds it: it owns the device's stub device and runs its data connections.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "calvixd/net/dataconnection.h"
#include "calvixd/net/stubapi.h"

class CUsbServerCore;
class CSocket;

class CUsbStub {
public:
    virtual ~CUsbStub() {}
    // Ends the running data connection, if any; returns at once.
    virtual void RequestStop() = 0;
    virtual void ClearActivitySignal() = 0;
    virtual void SetInactivityTimeout(uint32_t seconds) = 0;
    virtual void SetResetMode(uint8_t mode) = 0;
    virtual void SetStubFlags(uint32_t flags) = 0;
    // Runs one device data connection on the calling thread: '2' when it
    // ran, '3' with *code when it was refused.
    virtual uint8_t RunDataConnection(CSocket*, uint8_t, uint32_t* code)
    {
        *code = DATA_REFUSED_STOPPED;
        return '3';
    }
};

// What a new stub is made with.
struct UsbStubParams {
    int stubNumber = -1;
    CUsbServerCore* owner = nullptr;
    uint32_t deviceId = 0;
    const uint8_t* textBlock = nullptr; // 768 bytes, copied by the stub
    uint32_t timeout = 0;
    uint8_t resetMode = 0;
    uint32_t quirkFlags = 0;
};

// Stub flag bit: the device is not reset when it is shared (NoResetOnShare).
constexpr uint32_t STUB_FLAG_NO_RESET = 0x1;

// The stub of a device on the `ravel` driver: it opens the device's stub
// device, passes on the reset mode and flags, flushes what the driver still
// holds and resets the device unless STUB_FLAG_NO_RESET is set. Throws
// CExceptionEx* (module 9, errno) when any of that fails.
class CUsbStubKmod : public CUsbStub {
public:
    explicit CUsbStubKmod(const UsbStubParams& params);
    // Flushes the driver's pending requests and closes the stub device.
    ~CUsbStubKmod() override;

    void RequestStop() override { m_gate.RequestStop(); }
    void ClearActivitySignal() override;
    void SetInactivityTimeout(uint32_t seconds) override;
    void SetResetMode(uint8_t mode) override;
    void SetStubFlags(uint32_t flags) override;
    uint8_t RunDataConnection(CSocket* socket, uint8_t platform, uint32_t* code) override;

    // The device's stub device, for its data connections.
    CStubApi* GetStubApi() { return m_api.get(); }
    CEvent* GetStopEvent() { return m_gate.GetStopEvent(); }
    uint32_t GetDeviceId() const { return m_params.deviceId; }
    const uint8_t* GetTextBlock() const { return m_textBlock; }

private:
    void StopActivityWorker();

    UsbStubParams m_params;
    uint8_t m_textBlock[768];
    std::atomic<uint32_t> m_timeout;
    CDataConnectionGate m_gate;
    std::unique_ptr<CDataConnectionEvents> m_events;
    // Made once; runs one data connection at a time (m_gate).
    std::unique_ptr<CDataConnection> m_connection;
    std::unique_ptr<CStubApi> m_api;
    // Passes the data connection's activity changes on to the core.
    CThread* m_activityWorker = nullptr;
};

// A CUsbStubKmod; throws as its constructor does.
std::shared_ptr<CUsbStub> CreateKmodUsbStub(const UsbStubParams& params);
