// The protocol layer as start-up drives it: the handler table, the bind
// queue with its thread, the services and the clients, each step a call of
// its own so that start-up can undo exactly what it did.
#pragma once

#include "ovusbd/core/connection.h"
#include "ovusbd/core/coresettings.h"

// What the connection module calls: received messages go to the handler
// table, a leaving client's devices are unbound, binding ids are not handed
// out again as connection ids.
extern const ConnectionCallbacks protocolConnectionCallbacks;

// Makes serviceList and appends the listener and the reverse dialler: the
// plain TCP pair, or with tls their TLS forms on the installed TLS settings.
// Returns 0 or -ENOMEM.
int createServiceList(bool tls);
// Runs the deinit slot of every service, frees them and the list.
void destroyServiceList();

// Fills the message handler table.
void setUpMessageHandlers();

// Makes the bind queue and starts bindUnbindProcessingThread. Returns 1 when
// the thread runs, or a negative errno (start-up then ends with 9).
int startBindProcessing();
// Appends the null item, joins the thread, clears and frees the queue.
void stopBindProcessing();

// Makes the service list with the listener and the reverse dialler (their
// TLS forms when the settings name a certificate) and the connection list. Failures are logged; what
// could not be made is simply not there.
void buildNetworkServices(const CoreSettings& settings);
// Runs the init slot of every service.
void initNetworkServices();
// Runs the listen slot of every service while all earlier ones succeeded;
// true when all did, with the TCP listener's port in *boundPort.
bool listenNetworkServices(int* boundPort);
// Runs the start slot of every service.
void startNetworkServices();
// Runs the release slot of every service after a failed listen.
void releaseNetworkServices();
// Runs the stop slot of every service (flag 1). Call before removing the
// clients, so that no client is accepted or dialled after the removal.
void stopNetworkServices();
// Removes every client connection with reason.
void removeAllClients(const char* reason);
// Frees the connection list (waiting for every watchdog), runs the deinit
// slot of every service and frees the service list.
void freeNetworkServices();
