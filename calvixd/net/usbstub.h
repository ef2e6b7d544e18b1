// The object of one device attached to the stub driver, as the server core
// holds it: it owns the device's stub device and runs its data connections.
#pragma once

#include <cstdint>
#include <memory>

class CUsbServerCore;

class CUsbStub {
public:
    virtual ~CUsbStub() {}
    // Ends the running data connection, if any; returns at once.
    virtual void RequestStop() = 0;
    virtual void ClearActivitySignal() = 0;
    virtual void SetInactivityTimeout(uint32_t seconds) = 0;
    virtual void SetResetMode(uint8_t mode) = 0;
    virtual void SetStubFlags(uint32_t flags) = 0;
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

// Opens the stub device of a device. Throws CExceptionEx* (module 9) when it
// cannot; until the stub device interface is built it always does, so a
// device stays "initializing" and is never offered to clients.
std::shared_ptr<CUsbStub> CreateKmodUsbStub(const UsbStubParams& params);
