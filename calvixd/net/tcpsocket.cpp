#include "calvixd/net/tcpsocket.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "calvixd/net/socketurl.h"

ENDPOINT_ADDRESS ParseTcpUrl(const std::string& url, uint16_t module)
{
    std::string host;
    std::string port;
    int family = 0;
    if (SplitTcpUrl(url, AddressFamilyPreference.load(), &host, &port, &family) != 0)
        throw new CExceptionEx(module, __LINE__, SOCK_INVALID_ARGUMENT);
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* results = nullptr;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &results) != 0 || !results) {
        if (results)
            freeaddrinfo(results);
        results = nullptr;
        hints.ai_flags = 0;
        if (getaddrinfo(host.c_str(), port.c_str(), &hints, &results) != 0 || !results) {
            if (results)
                freeaddrinfo(results);
            throw new CExceptionEx(module, __LINE__, SOCK_ADDRESS_NOT_AVAILABLE);
        }
    }
    const addrinfo* taken = nullptr;
    for (const addrinfo* r = results; r; r = r->ai_next) {
        if (r->ai_socktype != SOCK_STREAM || r->ai_protocol != IPPROTO_TCP)
            continue;
        if (r->ai_family == AF_INET) {
            if (family == FAMILY_PREFER_IPV4 || family == FAMILY_IPV4_ONLY) {
                taken = r;
                break;
            }
            if (!taken && family != FAMILY_IPV6_ONLY)
                taken = r;
        } else if (r->ai_family == AF_INET6) {
            if (family == FAMILY_PREFER_IPV6 || family == FAMILY_IPV6_ONLY) {
                taken = r;
                break;
            }
            if (!taken && family != FAMILY_IPV4_ONLY)
                taken = r;
        }
    }
    if (!taken) {
        freeaddrinfo(results);
        throw new CExceptionEx(module, __LINE__, SOCK_ADDRESS_NOT_AVAILABLE);
    }
    ENDPOINT_ADDRESS endpoint(taken->ai_addr, taken->ai_addrlen);
    freeaddrinfo(results);
    return endpoint;
}

CTcpSocket::CTcpSocket() {}

CTcpSocket::CTcpSocket(int fd, const ENDPOINT_ADDRESS& peer) : m_endpoint(peer)
{
    m_handle.Store(fd);
    SetState(SOCKET_STATE_CONNECTED);
    UpdateNames();
}

CTcpSocket::~CTcpSocket()
{
    CloseOnDestruction();
}

void CTcpSocket::UpdateNames()
{
    std::string text = m_endpoint.ToString();
    SetNames("tcp://" + text, text);
}

void CTcpSocket::GetPeerAddress(ADDRESS* address, uint16_t* port)
{
    if (address)
        *address = m_endpoint.GetAddress();
    if (port)
        *port = m_endpoint.GetPort();
}

int CTcpSocket::MakeDescriptor()
{
    int fd = socket(m_endpoint.GetFamily(), SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0)
        m_handle.Fail(__LINE__, errno == EAFNOSUPPORT ? SOCK_FAMILY_NOT_SUPPORTED : SOCK_CREATE_FAILED);
    int one = 1;
    if (m_endpoint.GetFamily() == AF_INET6 && setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one) != 0) {
        close(fd);
        m_handle.Fail(__LINE__, SOCK_SYSCALL_FAILED);
    }
    if (ioctl(fd, FIONBIO, &one) != 0) {
        close(fd);
        m_handle.Fail(__LINE__, SOCK_SYSCALL_FAILED);
    }
    return fd;
}

void CTcpSocket::DoConnect(const std::string& url, CEvent* abort)
{
    m_endpoint = ParseTcpUrl(url, MODULE_TCPSOCKET);
    UpdateNames();
    int fd = MakeDescriptor();
    int result = SOCK_OK;
    if (connect(fd, m_endpoint.GetSockAddr(), m_endpoint.GetLength()) != 0) {
        if (errno != EINPROGRESS) {
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

void CTcpSocket::DoListen(const std::string& url)
{
    m_endpoint = ParseTcpUrl(url, MODULE_TCPSOCKET);
    UpdateNames();
    int fd = MakeDescriptor();
    int one = 1;
    int result = SOCK_OK;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
        result = SOCK_SYSCALL_FAILED;
    else if (bind(fd, m_endpoint.GetSockAddr(), m_endpoint.GetLength()) != 0)
        result = errno == EADDRINUSE      ? SOCK_ADDRESS_IN_USE
                 : errno == EADDRNOTAVAIL ? SOCK_ADDRESS_NOT_AVAILABLE
                                          : SOCK_SYSCALL_FAILED;
    else if (listen(fd, 30) != 0)
        result = SOCK_LISTEN_FAILED;
    else if (!m_handle.Store(fd))
        result = SOCK_CLOSED;
    if (result != SOCK_OK) {
        close(fd);
        m_handle.Fail(__LINE__, result);
    }
}

CSocket* CTcpSocket::DoAccept(CEvent* abort)
{
    CSocketHandle::Use use(&m_handle);
    for (;;) {
        m_handle.WaitReadable(abort, -1);
        sockaddr_storage peer = {};
        socklen_t length = sizeof peer;
        int fd = accept4(m_handle.Get(), reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
        if (fd < 0) {
            // The connection went away between the wake-up and the accept.
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
        ENDPOINT_ADDRESS endpoint(reinterpret_cast<sockaddr*>(&peer), length);
        try {
            return new CTcpSocket(fd, endpoint);
        } catch (...) {
            close(fd);
            throw;
        }
    }
}

void CTcpSocket::DoSetNoDelay()
{
    CSocketHandle::Use use(&m_handle);
    int one = 1;
    if (setsockopt(m_handle.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0)
        m_handle.Fail(__LINE__, SOCK_SYSCALL_FAILED);
}
