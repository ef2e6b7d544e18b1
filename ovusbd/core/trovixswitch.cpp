#include "ovusbd/core/trovixswitch.h"

#include "ovusbd/core/config.h"
#include "ovusbd/core/transport.h"

void startTrovixService() {
    setConfigString("Trovix", "1");
    startOrStopService("Trovix", 1);
}

void stopTrovixService() {
    startOrStopService("Trovix", 0);
}

void handleTrovixSwitchRequest(uint16_t, const MessageHeader* request) {
    if (messagePayload(request)[0] != 0) {
        startTrovixService();
    } else {
        stopTrovixService();
    }
}
