#include "ovusbd/core/layerstandins.h"

#include "ovusbd/core/log.h"

void startDeviceLayer() {}

void stopDeviceLayer() {}

Announcement startAnnouncement(int) { return kAnnouncementNone; }

void stopAnnouncement(Announcement) {}
