// The control server of calvixd: an abstract Unix-domain stream socket
// served by one accept thread.
//
// Requests are not served yet: the server claims its socket name (so a
// second daemon, or another program holding the name, makes start-up fail
// as it must) and closes every connection at once, without a handshake
// reply. A client therefore sees the connection end, never an answer that
// is not true.
#pragma once

#include <memory>
#include <string>

#include "calvixd/core/coreiface.h"
#include "sys/thread"

class CUsbCore;

// sun_path is 108 bytes; the name with its leading and trailing NUL and the
// 2-byte family must stay below this.
constexpr size_t CORE_SOCKET_ADDRESS_LIMIT = 111;

class CUsbCoreIface : public CCoreIface {
public:
    CUsbCoreIface(CUsbCore* core, const char* socketName, const char* userGroup, const char* adminGroup);
    ~CUsbCoreIface() override;

    int Start() override;
    void Stop() override;

    struct AcceptState;

private:
    CUsbCore* m_core;
    std::string m_socketName;
    std::string m_userGroup;
    std::string m_adminGroup;
    // Shared with the accept thread, so that a thread that does not stop in
    // time never sees its socket or stop event freed.
    std::shared_ptr<AcceptState> m_state;
    CThread* m_thread = nullptr;
};
