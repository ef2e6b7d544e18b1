#include "calvixd/net/pipesocket.h"

#include <errno.h>
#include <sys/ioctl.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "calvixd/net/socketurl.h"

static sockaddr_un PipeAddress(const std::string& name)
{
    sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path + 1, name.data(), name.size());
    return address;
}

CPipeSocket::CPipeSocket() {}

CPipeSocket::CPipeSocket(int fd, const std::string& name) : m_name(name)
{
    m_handle.Store(fd);
    SetState(SOCKET_STATE_CONNECTED);
    UpdateNames();
}

CPipeSocket::~CPipeSocket()
{
    CloseOnDestruction();
}

void CPipeSocket::UpdateNames()
{
    SetNames("pipe://" + m_name, m_name);
}

int CPipeSocket::MakeDescriptor()
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        m_handle.Fail(__LINE__, errno == EAFNOSUPPORT ? SOCK_FAMILY_NOT_SUPPORTED : SOCK_CREATE_FAILED);
    int one = 1;
    if (ioctl(fd, FIONBIO, &one) != 0) {
        close(fd);
        m_handle.Fail(__LINE__, SOCK_SYSCALL_FAILED);
    }
    return fd;
}

void CPipeSocket::DoConnect(const std::string& url, CEvent* abort)
{
    if (ParsePipeUrl(url, &m_name) != 0)
        m_handle.Fail(__LINE__, SOCK_INVALID_ARGUMENT);
    UpdateNames();
    int fd = MakeDescriptor();
    sockaddr_un address = PipeAddress(m_name);
    int result = SOCK_OK;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (errno != EINPROGRESS && errno != EAGAIN) {
            result = SOCK_CONNECT_FAILED;
        } else {
            result = m_handle.FinishConnect(fd, abort);
        }
    }
    if (result == SOCK_OK && !m_handle.Store(fd))
        result = SOCK_CLOSED;
    if (result != SOCK_OK) {
        close(fd);
        m_handle.Fail(__LINE__, result);
    }
}

void CPipeSocket::DoListen(const std::string& url)
{
    if (ParsePipeUrl(url, &m_name) != 0)
        m_handle.Fail(__LINE__, SOCK_INVALID_ARGUMENT);
    UpdateNames();
    int fd = MakeDescriptor();
    sockaddr_un address = PipeAddress(m_name);
    int result = SOCK_OK;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        result = errno == EADDRINUSE ? SOCK_ADDRESS_IN_USE
                 : errno == ENOENT   ? SOCK_ADDRESS_NOT_AVAILABLE
                                     : SOCK_SYSCALL_FAILED;
    else if (listen(fd, 5) != 0)
        result = SOCK_LISTEN_FAILED;
    else if (!m_handle.Store(fd))
        result = SOCK_CLOSED;
    if (result != SOCK_OK) {
        close(fd);
        m_handle.Fail(__LINE__, result);
    }
}

CSocket* CPipeSocket::DoAccept(CEvent* abort)
{
    CSocketHandle::Use use(&m_handle);
    for (;;) {
        m_handle.WaitReadable(abort, -1);
        int fd = accept4(m_handle.Get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EAGAIN || errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                m_handle.Fail(__LINE__, SOCK_NO_RESOURCES);
            m_handle.Fail(__LINE__, SOCK_CREATE_FAILED);
        }
        int one = 1;
        if (ioctl(fd, FIONBIO, &one) != 0) {
            close(fd);
            m_handle.Fail(__LINE__, SOCK_SYSCALL_FAILED);
        }
        try {
            return new CPipeSocket(fd, m_name);
        } catch (...) {
            close(fd);
            throw;
        }
    }
}
