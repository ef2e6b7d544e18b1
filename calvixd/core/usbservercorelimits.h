// Lock time-outs and the error helper that the files of the server core
// share (CUsbServerCoreImpl is one class spread over several files, one per
// behaviour).
#pragma once

#include <cstdint>

#include "sys/thread"

// Device mutex: control requests that change or read devices in depth wait
// the long time-out; settings of one device, exclusion and automatic
// sharing the short one; the snapshot and configuration changes 15000 ms.
constexpr int LOCK_NO_LIMIT = -1;
constexpr int LOCK_CONFIGURATION_MS = 15000;
constexpr int LOCK_EXPIRY_MS = 1000;
constexpr int LOCK_REQUEST_LONG_MS = 25000;
constexpr int LOCK_REQUEST_SHORT_MS = 5000;

// Throws the server core's error record (module 1).
[[noreturn]] inline void FailRequest(uint32_t line, uint32_t error)
{
    throw new CExceptionEx(MODULE_USBSERVERCORE, line, error);
}
