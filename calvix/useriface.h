// One connection to the control socket of calvixd: connect, handshake, then
// exactly the bytes of one request and its reply. Every request of the
// client API opens its own CUserIface on its stack.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sys/thread"

// Results of CUserIface::Connect.
enum : int {
    USERIFACE_CONNECTED = 0,
    USERIFACE_FAILED = 1,          // name too long, no socket, connect failed,
                                   // or the peer does not run as root
    USERIFACE_REFUSED = 32,        // nobody listens on the name
    USERIFACE_ACCESS_DENIED = 48,  // the daemon refused us (CORE_ACCESS_DENIED)
    USERIFACE_SEND_FAILED = 4098,
    USERIFACE_RECEIVE_FAILED = 4099,
    USERIFACE_BAD_GRANT = 4100,    // granted bits we did not ask for
};

// Results of the waits.
enum : int {
    USERIFACE_READY = 0,
    USERIFACE_CANCELLED = 2,
    USERIFACE_POLL_FAILED = 4097,
    USERIFACE_TIMED_OUT = 0x2000, // nothing moved for the idle limit
};

// A daemon that accepts and then neither answers nor takes a byte for this
// long is taken as unreachable: its requests wait on locks of at most 25 s.
constexpr int USERIFACE_IDLE_LIMIT_MS = 60000;

// sun_path holds 108 bytes: the family, the leading NUL, the name and its
// trailing NUL (part of the abstract name) must stay within 110.
constexpr size_t USERIFACE_ADDRESS_LIMIT = 110;

class CUserIface {
public:
    CUserIface() = default;
    virtual ~CUserIface();
    CUserIface(const CUserIface&) = delete;
    CUserIface& operator=(const CUserIface&) = delete;

    // Connects to the abstract name and performs the handshake, asking for
    // no access flags. The abstract namespace has no permissions, so any
    // local user could bind the daemon's name first: a peer that does not
    // run as root (SO_PEERCRED) is left before a byte is sent.
    int Connect(const char* name);

    // Move exactly length bytes. Each waits for readiness in slices of
    // 250 ms and gives up when *cancel (may be null) is set after a slice,
    // or when nothing moved for the idle limit (TimedOut then tells). A
    // closed or reset connection fails the transfer; it never raises
    // SIGPIPE.
    bool Read(void* buffer, size_t length, const SYNC_FLAG* cancel = nullptr);
    bool Write(const void* buffer, size_t length, const SYNC_FLAG* cancel = nullptr);
    // Reads until the daemon closes the connection, appending to data. False
    // when the transfer fails or more than limit bytes arrive in all.
    bool ReadToEnd(std::vector<uint8_t>& data, size_t limit, const SYNC_FLAG* cancel = nullptr);

    int WaitReadable(const SYNC_FLAG* cancel);
    int WaitWritable(const SYNC_FLAG* cancel);

    void Close();

    void SetIdleLimit(int ms) { m_idleLimitMs = ms; }
    // True once a wait gave up for the idle limit.
    bool TimedOut() const { return m_timedOut; }

    // Reads a CORE_ERROR_RECORD (u16 module, u16 line, u32 error). A short
    // read throws CExceptionEx with 1065.
    void ReadErrorRecord(CExceptionEx& record, const SYNC_FLAG* cancel = nullptr);
    // Reads the record and throws it; a short read throws 1065 instead.
    [[noreturn]] void ReadAndThrowError(const SYNC_FLAG* cancel = nullptr);

private:
    int Wait(short events, const SYNC_FLAG* cancel);

    int m_socket = -1;
    int m_idleLimitMs = USERIFACE_IDLE_LIMIT_MS;
    bool m_timedOut = false;
};

// One value per thread, 0 for a thread that never stored one.
class CTlsValue {
public:
    CTlsValue();  // throws std::bad_alloc when no key is left
    virtual ~CTlsValue();
    CTlsValue(const CTlsValue&) = delete;
    CTlsValue& operator=(const CTlsValue&) = delete;

    void Set(uintptr_t value);
    uintptr_t Get() const;

private:
    pthread_key_t m_key;
};
