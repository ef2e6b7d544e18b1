// URL-addressed stream sockets of the network server: the interface every
// socket implements, the common base with its state word, and the set of
// sockets one thread waits on.
//
// Every blocking operation takes an abort event and also ends when the socket
// is closed from another thread: waits are poll() slices of at most 500 ms
// that test the close and abort events between them. poll() has no limit on
// descriptor numbers, unlike select()'s fd_set, which stops at 1023.
#pragma once

#include <poll.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "sys/thread"

// Result codes of every socket operation.
constexpr int SOCK_OK = 0;
constexpr int SOCK_SYSCALL_FAILED = 1;    // non-blocking switch, getsockopt, bind, setsockopt
constexpr int SOCK_ABORTED = SYNC_ABORTED; // the caller's abort event was set
constexpr int SOCK_EXCEPTION = 4;
constexpr int SOCK_FAMILY_NOT_SUPPORTED = 5; // also an unknown scheme in the factory
constexpr int SOCK_WRONG_STATE = 6;
constexpr int SOCK_ADDRESS_NOT_AVAILABLE = 32; // or the host could not be resolved
constexpr int SOCK_INVALID_ARGUMENT = 64;
constexpr int SOCK_CLOSED = 0x1001;
constexpr int SOCK_SEND_FAILED = 0x1002;
constexpr int SOCK_RECEIVE_FAILED = 0x1003;
constexpr int SOCK_CREATE_FAILED = 0x1005; // socket() or accept()
constexpr int SOCK_LISTEN_FAILED = 0x1006;
constexpr int SOCK_CONNECT_FAILED = 0x1007;
constexpr int SOCK_ADDRESS_IN_USE = 0x1008;
// accept() found no descriptor or memory (EMFILE, ENFILE, ENOBUFS, ENOMEM):
// the listener is sound and a later accept may succeed.
constexpr int SOCK_NO_RESOURCES = 0x1009;
constexpr int SOCK_TIMEOUT = SYNC_TIMEOUT;
constexpr int SOCK_BUSY = 0x4002; // an operation of the same kind is running

// Socket kinds (GetKind).
constexpr int SOCKET_KIND_TCP = 0;
constexpr int SOCKET_KIND_PIPE = 1;

// States (low four bits of the state word) and operation bits.
constexpr int SOCKET_STATE_NEW = 0;
constexpr int SOCKET_STATE_CONNECTED = 1;
constexpr int SOCKET_STATE_LISTENING = 2;
constexpr int SOCKET_STATE_CLOSED = 4;
constexpr int SOCKET_STATE_FAILED = 8;
constexpr int SOCKET_STATE_ANY = 15;
constexpr int SOCKET_OP_CONNECT = 0x50; // connect and listen exclude each other
constexpr int SOCKET_OP_CLOSE = 0x20;
constexpr int SOCKET_OP_ACCEPT = 0x80;
constexpr int SOCKET_OP_SEND = 0x100;
constexpr int SOCKET_OP_RECEIVE = 0x200;
constexpr int SOCKET_OP_NODELAY = 0x800;

class CSocket {
public:
    virtual ~CSocket() {}
    virtual int GetKind() = 0;
    // abort may be null in every operation that takes one.
    virtual int Connect(const std::string& url, CEvent* abort) = 0;
    virtual int Listen(const std::string& url) = 0;
    // On success *socket is a new connected socket that the caller owns.
    virtual int Accept(CSocket** socket, CEvent* abort) = 0;
    virtual int Close() = 0;
    // Exactly length bytes.
    virtual int Receive(void* buffer, size_t length, CEvent* abort) = 0;
    // One receive without waiting; *count may be 0.
    virtual int ReceiveSome(void* buffer, size_t length, size_t* count) = 0;
    // Waits until readable, then one receive.
    virtual int ReceiveSomeAbortable(void* buffer, size_t length, size_t* count, CEvent* abort) = 0;
    virtual int Send(const void* buffer, size_t length, CEvent* abort) = 0;
    virtual int SendSome(const void* buffer, size_t length, size_t* count) = 0;
    virtual int SendSomeAbortable(const void* buffer, size_t length, size_t* count, CEvent* abort) = 0;
    virtual std::string GetUrl() = 0;
    virtual std::string GetPeerName() = 0;
    // -1 when there is no descriptor.
    virtual int GetHandle() = 0;
    // Every later blocking operation ends with SOCK_TIMEOUT once ms have
    // passed from now; 0 removes the deadline.
    virtual void SetDeadline(uint32_t ms) { (void)ms; }
    // A send ends with SOCK_TIMEOUT when the peer takes nothing for ms; 0
    // waits without limit.
    virtual void SetSendIdleLimit(uint32_t ms) { (void)ms; }
};

// The descriptor of a socket with its close event and handle guard. Every
// use of the descriptor holds the guard; the release that brings the count to
// zero after Close closes it, so a descriptor is never closed (and its number
// never reused) under a running operation.
// Rounds of one second that a connect waits before it gives up.
constexpr int CONNECT_ROUNDS = 25;

class CSocketHandle {
public:
    explicit CSocketHandle(uint16_t module) : m_module(module) {}
    ~CSocketHandle();
    CSocketHandle(const CSocketHandle&) = delete;
    CSocketHandle& operator=(const CSocketHandle&) = delete;

    // Stores a new descriptor (the socket is not closed); false when it is.
    bool Store(int fd);
    // Every later wait, receive and send ends with SOCK_TIMEOUT once ms have
    // passed from now; 0 removes the deadline. A peer that trickles bytes
    // is bounded by this, not by the gaps between its bytes.
    void SetDeadline(uint32_t ms);
    // Each wait of a send for room is bounded by ms; 0 none.
    void SetSendIdleLimit(uint32_t ms) { m_sendIdleMs.store(ms); }
    int Get() const { return m_fd.load(); }
    // Sets the close event, shuts the descriptor down both ways so blocked
    // waits wake at once, and drops the socket's own reference.
    void Close();

    // The primitives shared by both socket classes. Each throws
    // CExceptionEx*(module, line, result code) on failure.
    void WaitReadable(CEvent* abort, int ms);
    void WaitWritable(CEvent* abort, int ms);
    void Receive(void* buffer, size_t length, CEvent* abort);
    size_t ReceiveSome(void* buffer, size_t length, bool wait, CEvent* abort);
    void Send(const void* buffer, size_t length, CEvent* abort);
    size_t SendSome(const void* buffer, size_t length, bool wait, CEvent* abort);
    // Waits for a non-blocking connect on fd that is under way, for at most
    // CONNECT_ROUNDS seconds; returns SOCK_OK or the result code. Does not
    // throw: the caller still owns fd.
    int FinishConnect(int fd, CEvent* abort);

    // Holds the guard for a scope; throws SOCK_CLOSED when closing.
    class Use {
    public:
        explicit Use(CSocketHandle* handle);
        ~Use();
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;

    private:
        CSocketHandle* m_handle;
    };

    [[noreturn]] void Fail(uint32_t line, int code) const;
    // True once Close has run.
    bool IsClosing() const { return m_close.IsSet(); }
    // Tests the close and abort events (SOCK_CLOSED, SOCK_ABORTED) and
    // throws when one is set.
    void CheckEvents(CEvent* abort);

private:
    void Wait(short events, CEvent* abort, int ms, int failure);
    void ReleaseGuard();
    // Milliseconds left before the deadline (0 when it has passed), or -1
    // when there is none.
    int64_t DeadlineLeft() const;
    int SendWaitMs() const;

    uint16_t m_module;
    // Start tick in the high half, length in ms in the low half; 0 none.
    std::atomic<uint64_t> m_deadline{0};
    std::atomic<uint32_t> m_sendIdleMs{0};
    CEvent m_close;
    CRundown m_guard{1};
    std::atomic<int> m_fd{-1};
};

class CSocketBase : public CSocket {
public:

    int Connect(const std::string& url, CEvent* abort) override;
    int Listen(const std::string& url) override;
    int Accept(CSocket** socket, CEvent* abort) override;
    int Close() override;
    int Receive(void* buffer, size_t length, CEvent* abort) override;
    int ReceiveSome(void* buffer, size_t length, size_t* count) override;
    int ReceiveSomeAbortable(void* buffer, size_t length, size_t* count, CEvent* abort) override;
    int Send(const void* buffer, size_t length, CEvent* abort) override;
    int SendSome(const void* buffer, size_t length, size_t* count) override;
    int SendSomeAbortable(const void* buffer, size_t length, size_t* count, CEvent* abort) override;
    std::string GetUrl() override;
    std::string GetPeerName() override;

    // TCP only: the endpoint's address and port (host order); an endpoint of
    // another family gives an empty address and port 0.
    virtual void GetPeerAddress(ADDRESS* address, uint16_t* port);
    // Sets TCP_NODELAY; 1 when setsockopt failed.
    int SetNoDelay();
    // Replaces the peer name (the remote-desktop client's name for pipes).
    int SetPeerName(const std::string& name);
    // Runs once when the socket is destroyed: gives back what the socket
    // holds of a budget.
    void SetReleaseHook(std::function<void()> hook) { m_releaseHook = std::move(hook); }
    ~CSocketBase() override
    {
        if (m_releaseHook)
            m_releaseHook();
    }

    int GetState() const { return m_state.Get() & 0xF; }

protected:
    // Every primitive throws CExceptionEx*(module, line, result code).
    virtual void DoConnect(const std::string& url, CEvent* abort) = 0;
    virtual void DoListen(const std::string& url) = 0;
    virtual CSocket* DoAccept(CEvent* abort) = 0;
    virtual void DoClose() = 0;
    virtual void DoReceive(void* buffer, size_t length, CEvent* abort) = 0;
    virtual size_t DoReceiveSome(void* buffer, size_t length) = 0;
    virtual size_t DoReceiveSomeAbortable(void* buffer, size_t length, CEvent* abort) = 0;
    virtual void DoSend(const void* buffer, size_t length, CEvent* abort) = 0;
    virtual size_t DoSendSome(const void* buffer, size_t length) = 0;
    virtual size_t DoSendSomeAbortable(const void* buffer, size_t length, CEvent* abort) = 0;
    virtual void DoSetNoDelay() {}

    // Begin: SOCK_CLOSED, SOCK_WRONG_STATE, SOCK_BUSY or 0 with the bits set.
    int BeginOperation(int bits, int requiredState);
    void EndOperation(int bits);
    // False when the socket was already closed.
    bool SetState(int state);
    void SetNames(const std::string& url, const std::string& peerName);
    // Called by the destructors of the concrete classes.
    void CloseOnDestruction();

private:
    template <typename F>
    int Run(int bits, int requiredState, F primitive);

    // Guards both texts: SetPeerName may run while another thread prints.
    std::mutex m_namesLock;
    std::string m_url;
    std::string m_peerName;
    CAtomic<int> m_state{SOCKET_STATE_NEW};
    std::function<void()> m_releaseHook;
};

// Up to SOCKET_SET_LIMIT sockets for reading and as many for writing, waited
// on with one poll() call.
constexpr size_t SOCKET_SET_LIMIT = 1024;

class SocketSet {
public:
    SocketSet() { Reset(); }
    void Reset();
    // False when that set already holds SOCKET_SET_LIMIT entries or the
    // socket has no descriptor.
    bool AddRead(CSocket* socket);
    bool AddWrite(CSocket* socket);
    // 0 when something is ready, SYNC_TIMEOUT otherwise (errors included); a
    // negative time waits without limit.
    int Wait(int ms);
    bool IsReadable(CSocket* socket) const;
    bool IsWritable(CSocket* socket) const;

    int GetHighest() const { return m_highest; }
    size_t GetReadCount() const { return m_readCount; }
    size_t GetWriteCount() const { return m_writeCount; }

private:
    bool Add(CSocket* socket, short events, size_t* count);
    bool Test(CSocket* socket, short wanted, short ready) const;

    int m_highest;
    size_t m_readCount;
    size_t m_writeCount;
    // Sorted by descriptor by Wait; IsReadable and IsWritable need that.
    std::vector<pollfd> m_entries;
    bool m_sorted;
};

// Process-wide choice of address family for "tcp" URLs and URLs without a
// scheme: 0 the first usable result, 1 prefer IPv4, 2 IPv4 only, 3 prefer
// IPv6, 4 IPv6 only.
extern std::atomic<int> AddressFamilyPreference;
