#include "ovusbd/core/layerstandins.h"

#include "ovusbd/core/log.h"

Announcement startAnnouncement(int) { return kAnnouncementNone; }

void stopAnnouncement(Announcement) {}
