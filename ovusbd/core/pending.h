// Stand-ins for the layers that start-up calls but that are not built yet:
// the message handler table and its bind thread, the network services and
// client connections, the USB device layer, USB discovery and the DNS-SD
// announcement. Each function is one call start-up makes in the real
// layer's place; each does nothing and claims nothing it did not do (no
// service is built, so nothing listens and no client can connect). When a
// layer lands, start-up calls the layer's own function instead and the
// stand-in here is deleted whole.
#pragma once

// ---- Message handler table and bind queue ----

// Fills the message handler table. Stand-in: the table stays empty.
void setUpMessageHandlers();

// Makes the bind queue and starts bindUnbindProcessingThread, its
// consumer. Returns 1 when the thread runs, 0 when there is none to run,
// or a negative errno (start-up then ends with 9). Stand-in: 0; there is no
// queue, and nothing could be queued since no client can connect.
int startBindProcessing();
// Appends the null item, joins the thread, clears and frees the queue.
// Stand-in: nothing was made.
void stopBindProcessing();

// ---- Network services and client connections ----

// Makes the service list with the listener, the reverse dialler and the
// Trovix service (their TLS forms when `tls`), and the connection list.
// Stand-in: no service and no list; the log says that no client can
// connect.
void buildNetworkServices(bool tls);
// Runs the init slot of every service. Stand-in: there are none.
void initNetworkServices();
// Runs the listen slot of every service while all earlier ones succeeded;
// true when all did, with the TCP listener's port in *boundPort.
// Stand-in: true, since no service failed; *boundPort is left as it is.
bool listenNetworkServices(int* boundPort);
// Runs the start slot of every service. Stand-in: there are none.
void startNetworkServices();
// Runs the release slot of every service after a failed listen.
void releaseNetworkServices();
// Runs the stop slot of every service (flag 1). Stand-in: there are none.
void stopNetworkServices();
// Removes every client connection with `reason`. Stand-in: there are none.
void removeAllClients(const char* reason);
// Frees the connection list, runs the deinit slot of every service and
// frees the service list. Stand-in: nothing was made.
void freeNetworkServices();

// ---- USB device layer ----

// Device list, binding list, URB sizes, the removed-device completion
// thread and the zero-copy collector. Stand-in: none of them; the log says
// that no device is shared.
void startDeviceLayer();
// Stops the device layer's threads and unplugs every device. Stand-in:
// nothing was started.
void stopDeviceLayer();

// ---- USB discovery ----

// Uevent monitor, initial enumeration and hot-plug worker. Stand-in: none.
void startDeviceDiscovery();
// Stops the monitor and the worker, releases claimed hub ports and removes
// the device nodes the server made. Stand-in: nothing was started.
void stopDeviceDiscovery();

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
