// The built-in DNS-SD responder: avahi-core, embedded, behind the handful
// of calls the announcement makes. Every call, and every callback avahi
// makes, runs on the thread that called mdnsResponderStart: avahi's event
// loop is ours (mdnsResponderIterate) and avahi-core is not thread-safe.
#pragma once

#include <stdint.h>

struct MdnsResponder;

struct MdnsService {
    const char* name;  // instance name, one DNS label
    const char* type;  // "_ovusb._tcp"
    int port;
    const char* txt;   // the one TXT string; null: an empty record
};

// Makes the event loop and the responder on all interfaces, with the
// machine's host name. Null on failure, with avahi's error code in *error.
MdnsResponder* mdnsResponderStart(int* error);
// Registers the service now, or once the responder has settled its host
// name. A service name taken on the link is renamed ("name #2") and
// registered again. 0 or an avahi error code.
int mdnsResponderAnnounce(MdnsResponder* responder, const MdnsService* service);
// Runs the event loop for at most timeoutMs. 0, or negative when the loop
// failed.
int mdnsResponderIterate(MdnsResponder* responder, int timeoutMs);
// Withdraws the service (goodbye packets with TTL 0) and lets them go out.
void mdnsResponderWithdraw(MdnsResponder* responder);
// Withdraws what is left and frees everything.
void mdnsResponderStop(MdnsResponder* responder);
// The instance name in use (after renames); empty before announce.
const char* mdnsResponderServiceName(const MdnsResponder* responder);
