#include "calvixd/net/socket.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <new>

std::atomic<int> AddressFamilyPreference{0};

// Waits are cut into slices so that the close and abort events, which are
// polled flags, are seen within this time.
constexpr int SOCKET_WAIT_SLICE_MS = 500;

CSocketHandle::~CSocketHandle()
{
    int fd = m_fd.exchange(-1);
    if (fd >= 0)
        close(fd);
}

bool CSocketHandle::Store(int fd)
{
    if (m_guard.Acquire() == 0)
        return false;
    m_fd.store(fd);
    ReleaseGuard();
    return true;
}

void CSocketHandle::SetDeadline(uint32_t ms)
{
    m_deadline.store(ms == 0 ? 0 : (static_cast<uint64_t>(GetTickCountMs()) << 32) | ms);
}

int CSocketHandle::SendWaitMs() const
{
    uint32_t limit = m_sendIdleMs.load();
    return limit == 0 ? -1 : static_cast<int>(limit);
}

int64_t CSocketHandle::DeadlineLeft() const
{
    uint64_t deadline = m_deadline.load();
    if (deadline == 0)
        return -1;
    uint32_t length = static_cast<uint32_t>(deadline);
    uint32_t elapsed = GetTickCountMs() - static_cast<uint32_t>(deadline >> 32);
    return elapsed >= length ? 0 : static_cast<int64_t>(length - elapsed);
}

void CSocketHandle::Close()
{
    m_close.Set();
    if (m_guard.Close() == 0)
        return;
    int fd = m_fd.load();
    if (fd >= 0)
        shutdown(fd, SHUT_RDWR);
    ReleaseGuard();
}

void CSocketHandle::ReleaseGuard()
{
    if (m_guard.Release() != 0)
        return;
    // The count reaches zero only once the socket's own reference is gone,
    // that is after Close.
    int fd = m_fd.exchange(-1);
    if (fd >= 0)
        close(fd);
}

CSocketHandle::Use::Use(CSocketHandle* handle) : m_handle(handle)
{
    if (handle->m_guard.Acquire() == 0)
        handle->Fail(__LINE__, SOCK_CLOSED);
}

CSocketHandle::Use::~Use()
{
    m_handle->ReleaseGuard();
}

void CSocketHandle::Fail(uint32_t line, int code) const
{
    throw new CExceptionEx(m_module, line, static_cast<uint32_t>(code));
}

void CSocketHandle::CheckEvents(CEvent* abort)
{
    if (m_close.IsSet())
        Fail(__LINE__, SOCK_CLOSED);
    if (abort && abort->IsSet())
        Fail(__LINE__, SOCK_ABORTED);
    if (DeadlineLeft() == 0)
        Fail(__LINE__, SOCK_TIMEOUT);
}

void CSocketHandle::Wait(short events, CEvent* abort, int ms, int failure)
{
    uint32_t start = GetTickCountMs();
    for (;;) {
        CheckEvents(abort);
        int slice = SOCKET_WAIT_SLICE_MS;
        if (ms >= 0) {
            uint32_t elapsed = GetTickCountMs() - start;
            if (elapsed >= static_cast<uint32_t>(ms))
                Fail(__LINE__, SOCK_TIMEOUT);
            slice = std::min<uint32_t>(SOCKET_WAIT_SLICE_MS, static_cast<uint32_t>(ms) - elapsed);
        }
        int64_t left = DeadlineLeft();
        if (left >= 0 && left < slice)
            slice = static_cast<int>(left);
        pollfd entry = {m_fd.load(), events, 0};
        int ready = poll(&entry, 1, slice);
        if (ready > 0) {
            if (entry.revents & POLLNVAL)
                Fail(__LINE__, SOCK_CLOSED);
            return;
        }
        if (ready == 0)
            continue;
        int error = errno;
        if (error == EBADF)
            Fail(__LINE__, SOCK_CLOSED);
        if (error != EAGAIN && error != ENOMEM && error != EINTR)
            Fail(__LINE__, failure);
        SleepMs(1);
    }
}

int CSocketHandle::FinishConnect(int fd, CEvent* abort)
{
    for (int round = 0; round < CONNECT_ROUNDS; ++round) {
        if (IsClosing())
            return SOCK_CLOSED;
        if (abort && abort->IsSet())
            return SOCK_ABORTED;
        int64_t left = DeadlineLeft();
        if (left == 0)
            return SOCK_TIMEOUT;
        pollfd entry = {fd, POLLOUT, 0};
        if (poll(&entry, 1, left > 0 && left < 1000 ? static_cast<int>(left) : 1000) <= 0)
            continue;
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            return SOCK_SYSCALL_FAILED;
        return error != 0 ? SOCK_CONNECT_FAILED : SOCK_OK;
    }
    return SOCK_TIMEOUT;
}

void CSocketHandle::WaitReadable(CEvent* abort, int ms)
{
    Wait(POLLIN, abort, ms, SOCK_RECEIVE_FAILED);
}

void CSocketHandle::WaitWritable(CEvent* abort, int ms)
{
    Wait(POLLOUT, abort, ms, SOCK_SEND_FAILED);
}

void CSocketHandle::Receive(void* buffer, size_t length, CEvent* abort)
{
    Use use(this);
    size_t done = 0;
    // The call comes first and the wait only when it would block: most
    // receives of a busy connection find their bytes there already.
    while (done < length) {
        CheckEvents(abort);
        ssize_t n = recv(m_fd.load(), static_cast<uint8_t*>(buffer) + done, length - done, 0);
        if (n < 0) {
            int error = errno;
            if (error == EAGAIN)
                WaitReadable(abort, -1);
            if (error == EINTR || error == EAGAIN)
                continue;
            Fail(__LINE__, error == ECONNRESET ? SOCK_CLOSED : SOCK_RECEIVE_FAILED);
        }
        if (n == 0)
            Fail(__LINE__, SOCK_CLOSED);
        done += static_cast<size_t>(n);
    }
}

size_t CSocketHandle::ReceiveSome(void* buffer, size_t length, bool wait, CEvent* abort)
{
    Use use(this);
    if (wait)
        WaitReadable(abort, -1);
    ssize_t n = recv(m_fd.load(), buffer, length, 0);
    if (n < 0) {
        if (errno == EINTR || errno == EAGAIN)
            return 0;
        Fail(__LINE__, errno == ECONNRESET ? SOCK_CLOSED : SOCK_RECEIVE_FAILED);
    }
    if (n == 0 && length > 0)
        Fail(__LINE__, SOCK_CLOSED);
    return static_cast<size_t>(n);
}

void CSocketHandle::Send(const void* buffer, size_t length, CEvent* abort)
{
    Use use(this);
    size_t done = 0;
    while (done < length) {
        CheckEvents(abort);
        ssize_t n = send(m_fd.load(), static_cast<const uint8_t*>(buffer) + done, length - done, MSG_NOSIGNAL);
        if (n < 0) {
            int error = errno;
            if (error == EAGAIN)
                WaitWritable(abort, SendWaitMs());
            if (error == EINTR || error == EAGAIN)
                continue;
            Fail(__LINE__, error == EPIPE || error == ECONNRESET ? SOCK_CLOSED : SOCK_SEND_FAILED);
        }
        done += static_cast<size_t>(n);
    }
}

size_t CSocketHandle::SendSome(const void* buffer, size_t length, bool wait, CEvent* abort)
{
    Use use(this);
    if (wait)
        WaitWritable(abort, SendWaitMs());
    ssize_t n = send(m_fd.load(), buffer, length, MSG_NOSIGNAL);
    if (n < 0) {
        if (errno == EINTR || errno == EAGAIN)
            return 0;
        Fail(__LINE__, errno == EPIPE || errno == ECONNRESET ? SOCK_CLOSED : SOCK_SEND_FAILED);
    }
    return static_cast<size_t>(n);
}

int CSocketBase::BeginOperation(int bits, int requiredState)
{
    for (;;) {
        int word = m_state.Get();
        int state = word & 0xF;
        if (state == SOCKET_STATE_CLOSED)
            return SOCK_CLOSED;
        if (requiredState != SOCKET_STATE_ANY && state != requiredState)
            return SOCK_WRONG_STATE;
        if (word & bits)
            return SOCK_BUSY;
        if (m_state.CompareExchange(word, word | bits) == word)
            return SOCK_OK;
    }
}

void CSocketBase::EndOperation(int bits)
{
    for (;;) {
        int word = m_state.Get();
        if (m_state.CompareExchange(word, word & ~bits) == word)
            return;
    }
}

bool CSocketBase::SetState(int state)
{
    for (;;) {
        int word = m_state.Get();
        if ((word & 0xF) == SOCKET_STATE_CLOSED)
            return false;
        if (m_state.CompareExchange(word, (word & ~0xF) | state) == word)
            return true;
    }
}

template <typename F>
int CSocketBase::Run(int bits, int requiredState, F primitive)
{
    int result = BeginOperation(bits, requiredState);
    if (result != SOCK_OK)
        return result;
    try {
        primitive();
    } catch (CExceptionEx* e) {
        result = static_cast<int>(e->GetError());
        delete e;
    } catch (CMutexAutoGuardException& e) {
        result = e.GetResult();
    } catch (...) {
        result = SOCK_EXCEPTION;
    }
    EndOperation(bits);
    return result;
}

int CSocketBase::Connect(const std::string& url, CEvent* abort)
{
    int result = Run(SOCKET_OP_CONNECT, SOCKET_STATE_NEW, [&] { DoConnect(url, abort); });
    if (result != SOCK_CLOSED && result != SOCK_WRONG_STATE && result != SOCK_BUSY)
        SetState(result == SOCK_OK ? SOCKET_STATE_CONNECTED : SOCKET_STATE_FAILED);
    return result;
}

int CSocketBase::Listen(const std::string& url)
{
    int result = Run(SOCKET_OP_CONNECT, SOCKET_STATE_NEW, [&] { DoListen(url); });
    if (result != SOCK_CLOSED && result != SOCK_WRONG_STATE && result != SOCK_BUSY)
        SetState(result == SOCK_OK ? SOCKET_STATE_LISTENING : SOCKET_STATE_FAILED);
    return result;
}

int CSocketBase::Accept(CSocket** socket, CEvent* abort)
{
    if (!socket)
        return SOCK_INVALID_ARGUMENT;
    return Run(SOCKET_OP_ACCEPT, SOCKET_STATE_LISTENING, [&] { *socket = DoAccept(abort); });
}

int CSocketBase::Close()
{
    int result = BeginOperation(SOCKET_OP_CLOSE, SOCKET_STATE_ANY);
    if (result == SOCK_BUSY)
        return SOCK_CLOSED;
    if (result != SOCK_OK)
        return result;
    SetState(SOCKET_STATE_CLOSED);
    try {
        DoClose();
    } catch (CExceptionEx* e) {
        delete e;
    } catch (...) {
    }
    EndOperation(SOCKET_OP_CLOSE);
    return SOCK_OK;
}

void CSocketBase::CloseOnDestruction()
{
    Close();
}

int CSocketBase::Receive(void* buffer, size_t length, CEvent* abort)
{
    if (!buffer)
        return SOCK_INVALID_ARGUMENT;
    return Run(SOCKET_OP_RECEIVE, SOCKET_STATE_CONNECTED, [&] {
        if (length > 0)
            DoReceive(buffer, length, abort);
    });
}

int CSocketBase::ReceiveSome(void* buffer, size_t length, size_t* count)
{
    if (!buffer || !count)
        return SOCK_INVALID_ARGUMENT;
    size_t n = 0;
    int result = Run(SOCKET_OP_RECEIVE, SOCKET_STATE_CONNECTED, [&] { n = DoReceiveSome(buffer, length); });
    if (result == SOCK_OK)
        *count = n;
    return result;
}

int CSocketBase::ReceiveSomeAbortable(void* buffer, size_t length, size_t* count, CEvent* abort)
{
    if (!buffer || !count)
        return SOCK_INVALID_ARGUMENT;
    size_t n = 0;
    int result = Run(SOCKET_OP_RECEIVE, SOCKET_STATE_CONNECTED,
                     [&] { n = DoReceiveSomeAbortable(buffer, length, abort); });
    if (result == SOCK_OK)
        *count = n;
    return result;
}

int CSocketBase::Send(const void* buffer, size_t length, CEvent* abort)
{
    if (!buffer)
        return SOCK_INVALID_ARGUMENT;
    return Run(SOCKET_OP_SEND, SOCKET_STATE_CONNECTED, [&] {
        if (length > 0)
            DoSend(buffer, length, abort);
    });
}

int CSocketBase::SendSome(const void* buffer, size_t length, size_t* count)
{
    if (!buffer || !count)
        return SOCK_INVALID_ARGUMENT;
    size_t n = 0;
    int result = Run(SOCKET_OP_SEND, SOCKET_STATE_CONNECTED, [&] { n = DoSendSome(buffer, length); });
    if (result == SOCK_OK)
        *count = n;
    return result;
}

int CSocketBase::SendSomeAbortable(const void* buffer, size_t length, size_t* count, CEvent* abort)
{
    if (!buffer || !count)
        return SOCK_INVALID_ARGUMENT;
    size_t n = 0;
    int result =
        Run(SOCKET_OP_SEND, SOCKET_STATE_CONNECTED, [&] { n = DoSendSomeAbortable(buffer, length, abort); });
    if (result == SOCK_OK)
        *count = n;
    return result;
}

std::string CSocketBase::GetUrl()
{
    int state = GetState();
    if (state != SOCKET_STATE_CONNECTED && state != SOCKET_STATE_LISTENING && state != SOCKET_STATE_CLOSED)
        return std::string();
    std::lock_guard<std::mutex> lock(m_namesLock);
    return m_url;
}

std::string CSocketBase::GetPeerName()
{
    int state = GetState();
    if (state != SOCKET_STATE_CONNECTED && state != SOCKET_STATE_LISTENING && state != SOCKET_STATE_CLOSED)
        return std::string();
    std::lock_guard<std::mutex> lock(m_namesLock);
    return m_peerName;
}

void CSocketBase::SetNames(const std::string& url, const std::string& peerName)
{
    std::lock_guard<std::mutex> lock(m_namesLock);
    m_url = url;
    m_peerName = peerName;
}

void CSocketBase::GetPeerAddress(ADDRESS* address, uint16_t* port)
{
    if (address)
        address->Clear();
    if (port)
        *port = 0;
}

int CSocketBase::SetNoDelay()
{
    return Run(SOCKET_OP_NODELAY, SOCKET_STATE_CONNECTED, [&] { DoSetNoDelay(); });
}

int CSocketBase::SetPeerName(const std::string& name)
{
    try {
        std::lock_guard<std::mutex> lock(m_namesLock);
        m_peerName = name;
    } catch (std::bad_alloc&) {
        return 16;
    } catch (...) {
        return SOCK_EXCEPTION;
    }
    return SOCK_OK;
}

void SocketSet::Reset()
{
    m_highest = -1;
    m_readCount = 0;
    m_writeCount = 0;
    m_entries.clear();
    m_sorted = true;
}

bool SocketSet::Add(CSocket* socket, short events, size_t* count)
{
    if (!socket || *count >= SOCKET_SET_LIMIT)
        return false;
    int fd = socket->GetHandle();
    if (fd < 0)
        return false;
    // Sessions add read and write for one connection in a row: merge them.
    if (!m_entries.empty() && m_entries.back().fd == fd)
        m_entries.back().events |= events;
    else
        m_entries.push_back(pollfd{fd, events, 0});
    m_sorted = false;
    ++*count;
    m_highest = std::max(m_highest, fd);
    return true;
}

bool SocketSet::AddRead(CSocket* socket)
{
    return Add(socket, POLLIN, &m_readCount);
}

bool SocketSet::AddWrite(CSocket* socket)
{
    return Add(socket, POLLOUT, &m_writeCount);
}

int SocketSet::Wait(int ms)
{
    if (!m_sorted) {
        std::sort(m_entries.begin(), m_entries.end(), [](const pollfd& a, const pollfd& b) { return a.fd < b.fd; });
        m_sorted = true;
    }
    for (auto& entry : m_entries)
        entry.revents = 0;
    int ready = poll(m_entries.data(), m_entries.size(), ms < 0 ? -1 : ms);
    if (ready <= 0) {
        for (auto& entry : m_entries)
            entry.revents = 0;
        return SYNC_TIMEOUT;
    }
    return 0;
}

bool SocketSet::Test(CSocket* socket, short wanted, short ready) const
{
    if (!socket || !m_sorted)
        return false;
    int fd = socket->GetHandle();
    auto range = std::equal_range(m_entries.begin(), m_entries.end(), pollfd{fd, 0, 0},
                                  [](const pollfd& a, const pollfd& b) { return a.fd < b.fd; });
    for (auto it = range.first; it != range.second; ++it)
        if ((it->events & wanted) && (it->revents & ready))
            return true;
    return false;
}

// A hang-up or an error counts as ready for both, as select() reports them:
// the following receive or send then reports what happened.
bool SocketSet::IsReadable(CSocket* socket) const
{
    return Test(socket, POLLIN, POLLIN | POLLHUP | POLLERR | POLLNVAL);
}

bool SocketSet::IsWritable(CSocket* socket) const
{
    return Test(socket, POLLOUT, POLLOUT | POLLHUP | POLLERR | POLLNVAL);
}
