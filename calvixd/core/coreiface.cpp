#include "calvixd/core/coreiface.h"

#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

// Every wait is cut into slices of this length so the stop flag is seen.
constexpr int WAIT_SLICE_MS = 250;
constexpr size_t NAME_BUFFER_START = 128;
constexpr size_t NAME_BUFFER_LIMIT = 32768;
constexpr int GROUP_LOOKUP_TRIES = 1000;
constexpr int GROUP_ROOM = 20;
// A cached group list serves connections of the same user for this long.
constexpr time_t USER_CACHE_SECONDS = 5;
constexpr time_t CACHE_SWEEP_SECONDS = 3600;
constexpr size_t FILL_CHUNK = 65536;

void CloseSocket(int* socket)
{
    if (*socket >= 0) {
        shutdown(*socket, SHUT_RDWR);
        close(*socket);
        *socket = -1;
    }
}

} // namespace

int LookupGroupId(const char* name)
{
    std::vector<char> buffer(NAME_BUFFER_START);
    struct group entry;
    struct group* found = nullptr;
    int rc;
    for (;;) {
        int tries = 0;
        // EHOSTUNREACH comes from a directory service that is not up yet.
        while ((rc = getgrnam_r(name, &entry, buffer.data(), buffer.size(), &found)) == EHOSTUNREACH &&
               ++tries < GROUP_LOOKUP_TRIES)
            SleepMs(10);
        if (rc != ERANGE || buffer.size() * 2 > NAME_BUFFER_LIMIT)
            break;
        buffer.resize(buffer.size() * 2);
    }
    if (rc != 0 && rc != EPERM && rc != ENOENT && rc != ESRCH && rc != EBADF)
        throw new CExceptionEx(MODULE_COREIFACE, 283, static_cast<uint32_t>(rc));
    int id = rc == 0 && found ? static_cast<int>(found->gr_gid) : -1;
    fprintf(stderr, "group \"%s\" id is %d\n", name, id);
    return id;
}

// ---------------------------------------------------------------------------
// Connection

CCoreIfaceConnection::CCoreIfaceConnection(CCoreIface* owner, int socket)
    : m_owner(owner), m_socket(socket), m_readStart(GetTickCountMs())
{
    uint32_t magic = 0;
    uint32_t requested = 0;
    errno = 0;
    if (!Read(&magic, sizeof(magic)))
        throw new CExceptionEx(MODULE_COREIFACE, 581);
    if (le32toh(magic) != CORE_HANDSHAKE_MAGIC)
        throw new CExceptionEx(MODULE_COREIFACE, 584);
    if (!Read(&requested, sizeof(requested)))
        throw new CExceptionEx(MODULE_COREIFACE, 587);
    requested = le32toh(requested);

    socklen_t length = sizeof(m_peer);
    bool decided = false;
    if (getsockopt(m_socket, SOL_SOCKET, SO_PEERCRED, &m_peer, &length) == 0)
        m_allowed = m_owner->CheckPeerAccess(m_peer, &decided);
    if (!decided)
        throw new CExceptionEx(MODULE_COREIFACE, 590);

    uint32_t granted = m_allowed ? 0 : CORE_ACCESS_DENIED;
    uint32_t wire = htole32(granted);
    if (!Write(&wire, sizeof(wire)))
        throw new CExceptionEx(MODULE_COREIFACE, 596);
    if ((requested & granted) != granted)
        throw new CExceptionEx(MODULE_COREIFACE, 599);
}

int CCoreIfaceConnection::Wait(short events, uint32_t* idleSince, uint32_t since)
{
    for (;;) {
        if (GetTickCountMs() - since >= static_cast<uint32_t>(m_owner->GetSettings().requestLimitMs))
            return CORE_WAIT_IDLE;
        struct pollfd entry = {m_socket, events, 0};
        int ready = poll(&entry, 1, WAIT_SLICE_MS);
        if (m_owner->IsStopping())
            return CORE_WAIT_STOPPED;
        if (ready < 0 && errno != EINTR)
            return CORE_WAIT_ERROR;
        if (ready > 0)
            return CORE_WAIT_READY;
        if (GetTickCountMs() - *idleSince >= static_cast<uint32_t>(m_owner->GetSettings().idleLimitMs))
            return CORE_WAIT_IDLE;
    }
}

bool CCoreIfaceConnection::Read(void* buffer, size_t length)
{
    uint8_t* at = static_cast<uint8_t*>(buffer);
    uint32_t idleSince = GetTickCountMs();
    while (length > 0) {
        if (Wait(POLLIN, &idleSince, m_readStart) != CORE_WAIT_READY)
            return false;
        ssize_t n = recv(m_socket, at, length, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return false;
        at += n;
        length -= static_cast<size_t>(n);
        idleSince = GetTickCountMs();
    }
    return true;
}

bool CCoreIfaceConnection::Write(const void* buffer, size_t length)
{
    const uint8_t* at = static_cast<const uint8_t*>(buffer);
    uint32_t idleSince = GetTickCountMs();
    if (!m_writing) {
        m_writing = true;
        m_writeStart = idleSince;
    }
    while (length > 0) {
        if (Wait(POLLOUT, &idleSince, m_writeStart) != CORE_WAIT_READY)
            return false;
        ssize_t n = send(m_socket, at, length, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return false;
        at += n;
        length -= static_cast<size_t>(n);
        idleSince = GetTickCountMs();
    }
    return true;
}

bool CCoreIfaceConnection::Fill(std::vector<uint8_t>* buffer, size_t total)
{
    uint32_t idleSince = GetTickCountMs();
    while (buffer->size() < total) {
        if (Wait(POLLIN, &idleSince, m_readStart) != CORE_WAIT_READY)
            return false;
        size_t have = buffer->size();
        size_t room = total - have + FILL_CHUNK;
        buffer->resize(have + room);
        ssize_t n = recv(m_socket, buffer->data() + have, room, MSG_DONTWAIT);
        buffer->resize(have + (n > 0 ? static_cast<size_t>(n) : 0));
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return false;
        idleSince = GetTickCountMs();
    }
    return true;
}

void CCoreIfaceConnection::Drain(int ms)
{
    uint32_t start = GetTickCountMs();
    for (;;) {
        // Drain(0) still takes what has already arrived, for a millisecond.
        uint32_t limit = static_cast<uint32_t>(ms < 0 ? 0 : ms);
        uint32_t elapsed = GetTickCountMs() - start;
        if (elapsed > limit)
            return;
        uint32_t left = limit - elapsed;
        int slice = left < 100 ? static_cast<int>(left) : 100;
        struct pollfd entry = {m_socket, POLLIN, 0};
        int ready = poll(&entry, 1, slice);
        if (ready < 0 || m_owner->IsStopping())
            return;
        if (ready == 0)
            continue;
        char discard[128];
        if (recv(m_socket, discard, sizeof(discard), MSG_DONTWAIT) <= 0)
            return;
    }
}

// ---------------------------------------------------------------------------
// Server

CCoreIface::CCoreIface(const char* socketName, const char* userGroup, const char* adminGroup,
                       const CoreIfaceSettings& settings)
    : m_cacheTime(time(nullptr)), m_socketName(socketName), m_userGroup(userGroup), m_adminGroup(adminGroup),
      m_settings(settings)
{
    if (!m_userGroup.empty())
        m_userGroupId = LookupGroupId(m_userGroup.c_str());
    if (!m_adminGroup.empty())
        m_adminGroupId = LookupGroupId(m_adminGroup.c_str());
}

CCoreIface::~CCoreIface()
{
    Stop();
}

int CCoreIface::Start()
{
    if (m_thread || m_listenSocket >= 0)
        return 1;
    size_t addressLength = offsetof(struct sockaddr_un, sun_path) + 1 + m_socketName.size() + 1;
    if (addressLength >= CORE_SOCKET_ADDRESS_LIMIT)
        return 0;

    struct sockaddr_un address;
    memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    // Abstract name: a leading NUL, the name, and the trailing NUL counted in
    // the length, so clients must connect with the same length.
    memcpy(address.sun_path + 1, m_socketName.data(), m_socketName.size());
    m_startError = 0;
    m_listenSocket = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listenSocket < 0 ||
        bind(m_listenSocket, reinterpret_cast<struct sockaddr*>(&address), static_cast<socklen_t>(addressLength)) !=
            0 ||
        listen(m_listenSocket, 5) != 0) {
        m_startError = errno;
        Stop();
        return 0;
    }
    m_stop = 0;
    m_thread = CThread::Create(AcceptThread, this, CTHREAD_JOINABLE);
    if (!m_thread) {
        Stop();
        return 0;
    }
    return 1;
}

void CCoreIface::Stop()
{
    m_stop = 1;
    if (m_thread) {
        // The thread's waits end within a slice; a request operation it is
        // running ends within its own lock limit.
        while (m_thread->Join(1000) != SYNC_OK) {
        }
        delete m_thread;
        m_thread = nullptr;
    }
    CloseSocket(&m_listenSocket);
}

int CCoreIface::AcceptThread(void* argument)
{
    static_cast<CCoreIface*>(argument)->AcceptLoop();
    return 0;
}

void CCoreIface::AcceptLoop()
{
    while (!IsStopping()) {
        struct pollfd entry = {m_listenSocket, POLLIN, 0};
        int ready = poll(&entry, 1, WAIT_SLICE_MS);
        if (IsStopping())
            break;
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
            continue;
        int connection = accept4(m_listenSocket, nullptr, nullptr, SOCK_CLOEXEC);
        if (IsStopping()) {
            CloseSocket(&connection);
            break;
        }
        if (connection < 0) {
            // Out of descriptors, as a rule: pause, as a busy loop would not
            // free any.
            for (int i = 0; i < 1000 / WAIT_SLICE_MS && !IsStopping(); i++)
                SleepMs(WAIT_SLICE_MS);
            continue;
        }
        ServeConnection(connection);
        CloseSocket(&connection);
    }
}

void CCoreIface::ServeConnection(int socket)
{
    try {
        CCoreIfaceConnection connection(this, socket);
        HandleRequest(&connection);
    } catch (CExceptionEx* error) {
        delete error;
    } catch (...) {
    }
}

bool CCoreIface::CheckPeerAccess(const struct ucred& peer, bool* decided)
{
    *decided = true;
    if (peer.uid == 0 || peer.gid == 0)
        return true;
    if (m_userGroupId < 0 && m_adminGroupId < 0)
        return true;
    if (m_adminGroupId >= 0 && peer.gid == static_cast<gid_t>(m_adminGroupId))
        return true;
    const UserEntry* user = GetUserGroups(peer.uid);
    if (!user) {
        *decided = false;
        return false;
    }
    fprintf(stderr, "username: %s\n", user->name.c_str());
    bool allowed = false;
    for (gid_t group : user->groups) {
        if (m_adminGroupId >= 0 && group == static_cast<gid_t>(m_adminGroupId)) {
            allowed = true;
            fprintf(stderr, "%s is a member of %s\n", user->name.c_str(), m_adminGroup.c_str());
        } else if (m_userGroupId >= 0 && group == static_cast<gid_t>(m_userGroupId)) {
            allowed = true;
            fprintf(stderr, "%s is a member of %s\n", user->name.c_str(), m_userGroup.c_str());
        }
    }
    return allowed;
}

const CCoreIface::UserEntry* CCoreIface::GetUserGroups(uid_t uid)
{
    time_t now = time(nullptr);
    auto fresh = [now](const UserEntry& entry) { return entry.made <= now && now - entry.made <= USER_CACHE_SECONDS; };
    if (now < m_cacheTime || now - m_cacheTime > CACHE_SWEEP_SECONDS) {
        m_cacheTime = now;
        for (auto it = m_userCache.begin(); it != m_userCache.end();)
            it = fresh(it->second) ? std::next(it) : m_userCache.erase(it);
    }
    auto cached = m_userCache.find(uid);
    if (cached != m_userCache.end()) {
        if (fresh(cached->second))
            return &cached->second;
        m_userCache.erase(cached);
    }

    UserEntry entry;
    std::vector<char> buffer(NAME_BUFFER_START);
    struct passwd record;
    struct passwd* found = nullptr;
    int rc;
    while ((rc = getpwuid_r(uid, &record, buffer.data(), buffer.size(), &found)) == ERANGE &&
           buffer.size() * 2 <= NAME_BUFFER_LIMIT)
        buffer.resize(buffer.size() * 2);
    if (rc != 0 || !found)
        return nullptr;
    entry.name = record.pw_name;

    int count = GROUP_ROOM;
    entry.groups.resize(static_cast<size_t>(count));
    if (getgrouplist(record.pw_name, record.pw_gid, entry.groups.data(), &count) < 0) {
        if (count <= 0)
            return nullptr;
        entry.groups.resize(static_cast<size_t>(count));
        if (getgrouplist(record.pw_name, record.pw_gid, entry.groups.data(), &count) < 0)
            return nullptr;
    }
    entry.groups.resize(static_cast<size_t>(count));
    entry.made = now;
    return &(m_userCache[uid] = std::move(entry));
}
