#include "ovusbd/core/pending.h"

#include "ovusbd/core/log.h"

void setUpMessageHandlers() {}

int startBindProcessing() { return 0; }

void stopBindProcessing() {}

void buildNetworkServices(bool) {
  logMessage(4, "Warning, no network service is built yet: no client can connect");
}

void initNetworkServices() {}

bool listenNetworkServices(int*) { return true; }

void startNetworkServices() {}

void releaseNetworkServices() {}

void stopNetworkServices() {}

void removeAllClients(const char*) {}

void freeNetworkServices() {}

void startDeviceLayer() {
  logMessage(4, "Warning, the USB device layer is not built yet: no device is shared");
}

void stopDeviceLayer() {}

void startDeviceDiscovery() {}

void stopDeviceDiscovery() {}

Announcement startAnnouncement(int) { return kAnnouncementNone; }

void stopAnnouncement(Announcement) {}
