#include "ovusbd/trovix/trovixsettings.h"

#include <arpa/inet.h>
#include <errno.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/random.h>

namespace {

int listIpv4Addresses(uint32_t* out, int max) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return -errno;
    int count = 0;
    for (ifaddrs* a = list; a != nullptr && count < max; a = a->ifa_next) {
        if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET) continue;
        const uint32_t address = reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr;
        if (address == htonl(INADDR_LOOPBACK)) continue;
        out[count++] = address;
    }
    freeifaddrs(list);
    return count;
}

ssize_t getRandomBytes(void* buffer, size_t length) {
    const ssize_t n = getrandom(buffer, length, 0);
    return n < 0 ? -errno : n;
}

} // namespace

const TrovixSys trovixProductionSys = {
    listIpv4Addresses,
    getRandomBytes,
};

TrovixSettings defaultTrovixSettings() {
    TrovixSettings s{};
    s.sys = &trovixProductionSys;
    s.tickMs = 500;
    s.keepAliveTicks = 12;
    s.linkLossMs = 9000;
    s.retryTicks = 20;
    s.receiveTimeoutMs = 1000;
    s.punchPendingMs = 10000;
    s.peerConnectMs = 3000;
    s.peerServiceWaitMs = 1000;
    s.tlsHandshakeMs = 15000;
    s.peerReceiveLimit = size_t(4) << 20;
    s.peerWaitingLimit = size_t(4) << 20;
    s.peerSendLimit = size_t(4) << 20;
    return s;
}

TrovixSettings trovixSettings = defaultTrovixSettings();
