// Fuzz entry of the rendezvous datagram reader: the input is one received
// datagram in plain text (after deciphering); what it yields is fed to the
// punch state machine as the receive thread does.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ovusbd/trovix/datagram.h"
#include "ovusbd/trovix/punch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TrovixDatagram d;
    if (parseTrovixDatagram(data, size, &d) != 0) {
        return 0;
    }
    volatile size_t sink = strlen(d.noticeFirst) + strlen(d.noticeSecond);
    (void)sink;
    TrovixPunchState state{};
    state.role = 1;
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_port = uint16_t(d.cookie);
    from.sin_addr.s_addr = d.addressA;
    // As an announcement first when it is one, so the punch steps below
    // can find it; then the same datagram twice, and once after the limit.
    if (d.type == kTrovixPeerAnnouncement) {
        announceTrovixPeer(&state, d, 0);
    }
    trovixPunchExpected(&state, 0, 10000);
    stepTrovixPunch(&state, d, from, 0, 10000);
    stepTrovixPunch(&state, d, from, 1, 10000);
    stepTrovixPunch(&state, d, from, 20000, 10000);
    return 0;
}
