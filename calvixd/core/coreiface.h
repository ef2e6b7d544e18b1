// CCoreIface: the local server of the control interface. A Unix-domain
// stream socket in the abstract namespace, served by one accept thread that
// takes one connection at a time, decides access from the peer's kernel
// credentials and two Unix groups, performs the "NSFI" handshake and hands
// the connection to the subclass's request handler. Every connection
// carries one request and is closed after the reply.
//
// The user cache, the group ids and the connection socket are touched only
// by the accept thread, so no lock guards them.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sys/thread"

constexpr uint32_t CORE_HANDSHAKE_MAGIC = 0x4946534E; // "NSFI"
constexpr uint32_t CORE_ACCESS_DENIED = 0x80000000;
// sun_path is 108 bytes; the name with its leading and trailing NUL and the
// 2-byte family must stay below this.
constexpr size_t CORE_SOCKET_ADDRESS_LIMIT = 111;

// Results of the waits on one socket.
constexpr int CORE_WAIT_READY = 0;
constexpr int CORE_WAIT_STOPPED = 2;
constexpr int CORE_WAIT_ERROR = 0x1001;
constexpr int CORE_WAIT_IDLE = 0x1002;

struct CoreIfaceSettings {
    // A peer that neither sends nor takes a byte for this long loses its
    // connection: the one accept thread serves everyone.
    int idleLimitMs = 10000;
    // The whole reading of a request (handshake included), and the whole
    // writing of its reply, each end after this long: a peer that trickles
    // a byte before every idle limit would otherwise hold the thread.
    int requestLimitMs = 15000;
    // How long an unknown request's remaining input is drained after the
    // reply.
    int drainMs = 1000;
};

class CCoreIface;

// One accepted connection, on the accept thread's stack for one request.
class CCoreIfaceConnection {
public:
    // Performs the handshake; throws CExceptionEx*(MODULE_COREIFACE, line,
    // errno) when it fails (the caller then closes the connection).
    CCoreIfaceConnection(CCoreIface* owner, int socket);

    // Each moves exactly length bytes or fails: end of stream, an error, the
    // stop flag or the idle limit.
    bool Read(void* buffer, size_t length);
    bool Write(const void* buffer, size_t length);
    // Appends what arrives until *buffer holds at least `total` bytes; takes
    // what the peer has already sent, up to `total` + 64 KiB.
    bool Fill(std::vector<uint8_t>* buffer, size_t total);
    // Reads and discards what the peer still sends, for up to ms in all,
    // however fast it sends.
    void Drain(int ms);
    bool IsAllowed() const { return m_allowed; }
    const struct ucred& GetPeer() const { return m_peer; }

private:
    int Wait(short events, uint32_t* idleSince, uint32_t since);

    CCoreIface* m_owner;
    int m_socket;
    // When the request's reading began, and its reply's writing (0 before
    // the first write).
    uint32_t m_readStart;
    uint32_t m_writeStart = 0;
    bool m_writing = false;
    bool m_allowed = false;
    struct ucred m_peer = {0, static_cast<uid_t>(-1), static_cast<gid_t>(-1)};
};

class CCoreIface {
public:
    // Looks up the id of each non-empty group name; a real lookup failure
    // throws CExceptionEx*(MODULE_COREIFACE, 283, errno).
    CCoreIface(const char* socketName, const char* userGroup, const char* adminGroup,
               const CoreIfaceSettings& settings = CoreIfaceSettings());
    // A subclass stops the server in its own destructor, before its handler
    // goes away.
    virtual ~CCoreIface();
    CCoreIface(const CCoreIface&) = delete;
    CCoreIface& operator=(const CCoreIface&) = delete;

    // 1 when the server runs (also when it ran already), 0 on any failure.
    virtual int Start();
    // Sets the stop flag, joins the accept thread (it sees the flag within
    // 250 ms, also inside a request's reads and writes), closes the sockets.
    virtual void Stop();
    // Serves one request on a connection whose handshake passed.
    virtual void HandleRequest(CCoreIfaceConnection* connection) = 0;

    // The access decision for a peer: true allowed, false not; throws
    // nothing. *decided is false when no decision is possible.
    bool CheckPeerAccess(const struct ucred& peer, bool* decided);
    bool IsStopping() const { return m_stop.load() != 0; }
    const CoreIfaceSettings& GetSettings() const { return m_settings; }
    const std::string& GetSocketName() const { return m_socketName; }
    // The errno with which the last Start failed to open the socket
    // (EADDRINUSE: another process holds the name), 0 when it did not.
    int GetStartError() const { return m_startError; }

private:
    struct UserEntry {
        std::string name;
        std::vector<gid_t> groups;
        time_t made = 0;
    };

    static int AcceptThread(void* argument);
    void AcceptLoop();
    void ServeConnection(int socket);
    // Null when the user or the groups cannot be read.
    const UserEntry* GetUserGroups(uid_t uid);

    std::map<uid_t, UserEntry> m_userCache;
    time_t m_cacheTime;
    std::atomic<int> m_stop{0};
    std::string m_socketName;
    std::string m_userGroup;
    std::string m_adminGroup;
    int m_userGroupId = -1;
    int m_adminGroupId = -1;
    CoreIfaceSettings m_settings;
    CThread* m_thread = nullptr;
    int m_listenSocket = -1;
    int m_startError = 0;
};

// Group id of `name`, or -1 when no such group exists; writes
// "group \"%s\" id is %d" to standard error. Throws CExceptionEx*
// (MODULE_COREIFACE, 283, errno) on a real failure.
int LookupGroupId(const char* name);
