#include "calvixd/net/ueventiface.h"

#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

int OpenUEventSocket()
{
    int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    if (fd < 0)
        return -errno;
    struct sockaddr_nl address;
    memset(&address, 0, sizeof(address));
    address.nl_family = AF_NETLINK;
    address.nl_pid = static_cast<uint32_t>(getpid());
    address.nl_groups = 1; // the kernel's own messages, not udev's
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) != 0) {
        int error = errno;
        close(fd);
        return -error;
    }
    return fd;
}

CUEventIface::CUEventIface()
{
    m_buffer = static_cast<char*>(malloc(UEVENT_BUFFER_SIZE));
    if (!m_buffer)
        throw std::bad_alloc();
}

CUEventIface::~CUEventIface()
{
    StopListener();
    free(m_buffer);
}

bool CUEventIface::StartListener()
{
    if (m_started) {
        errno = EALREADY;
        return false;
    }
    int fd = OpenUEventSocket();
    if (fd < 0) {
        errno = -fd;
        return false;
    }
    m_socket = fd;
    m_stop = 0;
    int error = pthread_create(&m_thread, nullptr, ListenerEntry, this);
    if (error != 0) {
        close(m_socket);
        m_socket = -1;
        errno = error;
        return false;
    }
    m_started = true;
    return true;
}

void CUEventIface::StopListener()
{
    m_stop = 1;
    if (!m_started)
        return;
    // A thread ended by an exception is still counted as started and is
    // joined here, exactly once.
    pthread_join(m_thread, nullptr);
    m_started = false;
}

void* CUEventIface::ListenerEntry(void* self)
{
    static_cast<CUEventIface*>(self)->ListenerMain();
    return nullptr;
}

void CUEventIface::ListenerMain()
{
    try {
        ListenerLoop();
    } catch (CExceptionEx* error) {
        OnError(error);
    } catch (std::bad_alloc&) {
        OnBadAlloc();
    } catch (std::exception& error) {
        OnStdException(error);
    } catch (...) {
        OnUnknownError();
    }
    if (m_socket >= 0)
        close(m_socket);
    m_socket = -1;
}

void CUEventIface::ListenerLoop()
{
    while (m_stop.load() == 0) {
        // poll, not select: the socket may be numbered above FD_SETSIZE.
        struct pollfd entry = {m_socket, POLLIN, 0};
        int ready = poll(&entry, 1, UEVENT_POLL_MS);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            close(m_socket);
            m_socket = OpenUEventSocket();
            if (m_socket < 0) {
                errno = -m_socket;
                m_socket = -1;
                throw new CExceptionEx(MODULE_UEVENTIFACE, __LINE__);
            }
            continue;
        }
        if (ready == 0)
            continue;
        ssize_t length = recv(m_socket, m_buffer, UEVENT_BUFFER_SIZE, MSG_DONTWAIT);
        if (length <= 0)
            continue;
        UEvent event;
        if (!event.Parse(m_buffer, static_cast<size_t>(length))) {
            errno = EBADMSG;
            throw new CExceptionEx(MODULE_UEVENTIFACE, __LINE__);
        }
        OnUEvent(event);
    }
}
