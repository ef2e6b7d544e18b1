// The work of one detached thread of the network server.
#pragma once

#include <memory>
#include <string>

#include "calvixd/net/networkserver.h"

struct CNetworkServer::ThreadJob {
    enum Kind { HANDSHAKE, DIAL, REMOVE_CALLBACK, RESERVE };
    Kind kind = HANDSHAKE;
    CNetworkServer* server = nullptr;
    std::unique_ptr<CSocketBase> socket; // HANDSHAKE
    uint32_t listenerKind = 0;
    std::string url;     // DIAL
    uint8_t request = 0; // DIAL: 'F' or 'G'
    uint32_t id = 0;     // the connection id whose use the thread holds
    bool command = false; // a deferred command counted by BeginCommand
    uint32_t values[2] = {};
    uint32_t deviceId = 0; // RESERVE
    ADDRESS address;
    std::string name;
};
