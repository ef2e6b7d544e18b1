// Stand-ins for the layers that start-up calls but that are not built yet:
// the DNS-SD announcement. Each function is one call start-up makes in the
// real layer's place; each does nothing and claims nothing it did not do.
// When a layer lands, start-up calls the layer's own function instead and
// the stand-in here is deleted whole.
#pragma once

// ---- DNS-SD announcement ----

enum Announcement {
  kAnnouncementNone = 0,       // nothing announced
  kAnnouncementAvahiFile = 1,  // the Avahi service file was written
  kAnnouncementResponder = 2,  // the built-in responder thread was started
};

// Announces the server on `port` and returns what it did, so that shutdown
// undoes exactly that. Stand-in: announces nothing.
Announcement startAnnouncement(int port);
// Withdraws what startAnnouncement returned. Stand-in: nothing to withdraw.
void stopAnnouncement(Announcement done);
