#include "calvixd/core/usbcoreiface.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "calvixd/core/threadreaper.h"

struct CUsbCoreIface::AcceptState {
    int listenSocket = -1;
    CEvent stop;

    ~AcceptState()
    {
        if (listenSocket >= 0) {
            shutdown(listenSocket, SHUT_RDWR);
            close(listenSocket);
        }
    }
};

namespace {

// The accept thread owns one reference to the state, handed over as a heap
// shared_ptr.
int AcceptLoop(void* argument)
{
    std::unique_ptr<std::shared_ptr<CUsbCoreIface::AcceptState>> holder(
        static_cast<std::shared_ptr<CUsbCoreIface::AcceptState>*>(argument));
    CUsbCoreIface::AcceptState* state = holder->get();
    while (!state->stop.IsSet()) {
        struct pollfd entry = {state->listenSocket, POLLIN, 0};
        int ready = poll(&entry, 1, 250);
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0 || state->stop.IsSet())
            continue;
        int connection = accept4(state->listenSocket, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0)
            continue;
        shutdown(connection, SHUT_RDWR);
        close(connection);
    }
    return 0;
}

} // namespace

CUsbCoreIface::CUsbCoreIface(CUsbCore* core, const char* socketName, const char* userGroup, const char* adminGroup)
    : m_core(core), m_socketName(socketName), m_userGroup(userGroup), m_adminGroup(adminGroup)
{
}

CUsbCoreIface::~CUsbCoreIface()
{
    Stop();
}

int CUsbCoreIface::Start()
{
    if (m_thread || m_state)
        return 1;
    size_t addressLength = offsetof(struct sockaddr_un, sun_path) + 1 + m_socketName.size() + 1;
    if (addressLength >= CORE_SOCKET_ADDRESS_LIMIT)
        return 0;

    m_state = std::make_shared<AcceptState>();
    struct sockaddr_un address;
    memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    // Abstract name: a leading NUL, the name, and the trailing NUL counted in
    // the length, so clients must connect with the same length.
    memcpy(address.sun_path + 1, m_socketName.data(), m_socketName.size());
    m_state->listenSocket = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_state->listenSocket < 0 ||
        bind(m_state->listenSocket, reinterpret_cast<struct sockaddr*>(&address),
             static_cast<socklen_t>(addressLength)) != 0 ||
        listen(m_state->listenSocket, 5) != 0) {
        Stop();
        return 0;
    }
    auto* reference = new std::shared_ptr<AcceptState>(m_state);
    m_thread = CThread::Create(AcceptLoop, reference, CTHREAD_JOINABLE);
    if (!m_thread) {
        delete reference; // the thread never ran
        Stop();
        return 0;
    }
    return 1;
}

void CUsbCoreIface::Stop()
{
    if (m_state)
        m_state->stop.Set();
    if (m_thread)
        CThreadReaper::JoinOrAbandon(&m_thread, 20000, m_state, m_core, MODULE_COREIFACE, __LINE__);
    m_state.reset();
}
