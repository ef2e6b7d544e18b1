// Error record and wait results shared by calvixd and calvix.
//
// Errors are raised as `throw new CExceptionEx(module, __LINE__, error)`; the
// catcher owns the record and deletes it. Operation boundaries catch
// CExceptionEx* first, then CMutexAutoGuardException&, then everything else.
#pragma once

#include <cerrno>
#include <cstdint>

// Results of every wait, lock and join.
constexpr int SYNC_OK = 0x2001;      // event set, mutex locked, thread joined
constexpr int SYNC_TIMEOUT = 0x2000; // time ran out (or the lock failed otherwise)
constexpr int SYNC_ABORTED = 2;      // the stop event was set before or during the wait
constexpr int SYNC_ERROR = 1;        // the join itself failed

// Module numbers: one per source unit, printed as 0x%04x.
constexpr uint16_t MODULE_USBCORE = 0x0000;
constexpr uint16_t MODULE_USBSERVERCORE = 0x0001;
constexpr uint16_t MODULE_NETWORKSERVER = 0x0002;
constexpr uint16_t MODULE_LOADERAPIKMOD = 0x0003;
constexpr uint16_t MODULE_COREIFACE = 0x0004;
constexpr uint16_t MODULE_UEVENTIFACE = 0x0004;
constexpr uint16_t MODULE_USBSTUB = 0x0009;
constexpr uint16_t MODULE_STUBAPIKMOD = 0x0009;
constexpr uint16_t MODULE_USBCOREIFACE = 0x000d;
constexpr uint16_t MODULE_APIIFACE = 0x000e;
constexpr uint16_t MODULE_DAEMON = 0x0016;
constexpr uint16_t MODULE_CLIENTAPI = 0x0019;
constexpr uint16_t MODULE_TCPSOCKET = 0x0101;
constexpr uint16_t MODULE_PIPESOCKET = 0x0102;
constexpr uint16_t MODULE_SOCKETFACTORY = 0x0200;

// Error numbers follow the Windows system error codes; private codes start
// at 0xF0000001. Errors taken from errno keep the Linux errno value.
constexpr uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;    // allocation failure or unexpected exception
constexpr uint32_t ERROR_GEN_FAILURE = 31;         // control socket cannot be opened
constexpr uint32_t ERROR_NOT_SUPPORTED = 50;
constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
constexpr uint32_t ERROR_ALREADY_INITIALIZED = 1247; // "already done"
constexpr uint32_t ERROR_TIMEOUT = 1460;           // a lock timed out
constexpr uint32_t ERROR_PRODUCT_VERSION = 1613;   // incompatible version
constexpr uint32_t ERROR_PRIVATE_BASE = 0xF0000001;

class CExceptionEx {
public:
    CExceptionEx() : m_module(0), m_line(0), m_error(0) {}
    CExceptionEx(uint32_t module, uint32_t line, uint32_t error)
        : m_module(static_cast<uint16_t>(module)), m_line(static_cast<uint16_t>(line)), m_error(error) {}
    // Takes the error number from errno as it is now, even when it is 0.
    CExceptionEx(uint32_t module, uint32_t line)
        : m_module(static_cast<uint16_t>(module)), m_line(static_cast<uint16_t>(line)),
          m_error(static_cast<uint32_t>(errno)) {}
    CExceptionEx(const CExceptionEx&) = default;
    CExceptionEx& operator=(const CExceptionEx&) = default;
    ~CExceptionEx() {}

    uint16_t GetModule() const { return m_module; }
    uint16_t GetLine() const { return m_line; }
    uint32_t GetError() const { return m_error; }

    bool operator==(const CExceptionEx& other) const
    {
        return m_module == other.m_module && m_line == other.m_line && m_error == other.m_error;
    }
    bool operator!=(const CExceptionEx& other) const { return !(*this == other); }

private:
    uint16_t m_module;
    uint16_t m_line;
    uint32_t m_error;
};
