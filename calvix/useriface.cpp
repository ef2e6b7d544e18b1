#include "calvix/useriface.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "calvix/controlwire.h"

CUserIface::~CUserIface()
{
    Close();
}

int CUserIface::Connect(const char* name)
{
    Close();
    size_t nameLength = strlen(name);
    // Family, leading NUL, the name, its trailing NUL.
    size_t addressLength = offsetof(struct sockaddr_un, sun_path) + 1 + nameLength + 1;
    if (nameLength + 4 > USERIFACE_ADDRESS_LIMIT)
        return USERIFACE_FAILED;
    struct sockaddr_un address;
    memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path + 1, name, nameLength);

    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return USERIFACE_FAILED;
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&address), static_cast<socklen_t>(addressLength)) != 0) {
        int error = errno;
        close(fd);
        return error == ECONNREFUSED ? USERIFACE_REFUSED : USERIFACE_FAILED;
    }
    // The credentials are those of the process that called listen(): calvixd
    // refuses to start unless it is root.
    struct ucred peer;
    socklen_t peerLength = sizeof(peer);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peerLength) != 0 || peerLength != sizeof(peer) ||
        peer.uid != 0) {
        close(fd);
        return USERIFACE_FAILED;
    }
    m_socket = fd;

    const uint32_t hello[2] = {CORE_HANDSHAKE_MAGIC, 0};
    if (!Write(hello, sizeof(hello)))
        return USERIFACE_SEND_FAILED;
    uint32_t granted = 0;
    if (!Read(&granted, sizeof(granted)))
        return USERIFACE_RECEIVE_FAILED;
    const uint32_t requested = 0;
    if ((granted & ~requested) == 0)
        return USERIFACE_CONNECTED;
    return (granted & CORE_ACCESS_DENIED) ? USERIFACE_ACCESS_DENIED : USERIFACE_BAD_GRANT;
}

int CUserIface::Wait(short events, const SYNC_FLAG* cancel)
{
    uint32_t start = GetTickCountMs();
    for (;;) {
        struct pollfd entry = {m_socket, events, 0};
        int ready = poll(&entry, 1, 250);
        if (cancel && cancel->load() != 0)
            return USERIFACE_CANCELLED;
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return USERIFACE_POLL_FAILED;
        }
        if (ready > 0)
            return USERIFACE_READY;
        if (m_idleLimitMs > 0 && GetTickCountMs() - start >= static_cast<uint32_t>(m_idleLimitMs)) {
            m_timedOut = true;
            return USERIFACE_TIMED_OUT;
        }
    }
}

int CUserIface::WaitReadable(const SYNC_FLAG* cancel)
{
    return Wait(POLLIN, cancel);
}

int CUserIface::WaitWritable(const SYNC_FLAG* cancel)
{
    return Wait(POLLOUT, cancel);
}

bool CUserIface::Read(void* buffer, size_t length, const SYNC_FLAG* cancel)
{
    if (m_socket < 0)
        return false;
    auto* bytes = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    while (done < length) {
        if (WaitReadable(cancel) != USERIFACE_READY)
            return false;
        ssize_t n = recv(m_socket, bytes + done, length - done, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool CUserIface::Write(const void* buffer, size_t length, const SYNC_FLAG* cancel)
{
    if (m_socket < 0)
        return false;
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    size_t done = 0;
    while (done < length) {
        if (WaitWritable(cancel) != USERIFACE_READY)
            return false;
        // A daemon that closes early would otherwise raise SIGPIPE and end
        // the process; EPIPE and ECONNRESET fail the transfer instead.
        ssize_t n = send(m_socket, bytes + done, length - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool CUserIface::ReadToEnd(std::vector<uint8_t>& data, size_t limit, const SYNC_FLAG* cancel)
{
    if (m_socket < 0)
        return false;
    uint8_t chunk[4096];
    for (;;) {
        if (WaitReadable(cancel) != USERIFACE_READY)
            return false;
        ssize_t n = recv(m_socket, chunk, sizeof(chunk), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            return true;
        if (n < 0)
            return false;
        if (data.size() + static_cast<size_t>(n) > limit)
            return false;
        data.insert(data.end(), chunk, chunk + n);
    }
}

void CUserIface::Close()
{
    if (m_socket < 0)
        return;
    shutdown(m_socket, SHUT_RDWR);
    close(m_socket);
    m_socket = -1;
}

void CUserIface::ReadErrorRecord(CExceptionEx& record, const SYNC_FLAG* cancel)
{
    uint16_t module = 0;
    uint16_t line = 0;
    uint32_t error = 0;
    if (!Read(&module, sizeof(module), cancel) || !Read(&line, sizeof(line), cancel) ||
        !Read(&error, sizeof(error), cancel))
        throw new CExceptionEx(MODULE_APIIFACE, __LINE__, API_ERROR_TRANSFER_FAILED);
    record = CExceptionEx(module, line, error);
}

void CUserIface::ReadAndThrowError(const SYNC_FLAG* cancel)
{
    CExceptionEx record;
    ReadErrorRecord(record, cancel);
    throw new CExceptionEx(record);
}

CTlsValue::CTlsValue()
{
    if (pthread_key_create(&m_key, nullptr) != 0)
        throw std::bad_alloc();
}

CTlsValue::~CTlsValue()
{
    pthread_key_delete(m_key);
}

void CTlsValue::Set(uintptr_t value)
{
    pthread_setspecific(m_key, reinterpret_cast<void*>(value));
}

uintptr_t CTlsValue::Get() const
{
    return reinterpret_cast<uintptr_t>(pthread_getspecific(m_key));
}
