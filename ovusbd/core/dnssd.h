// The DNS-SD announcement: an Avahi service file when the Avahi daemon's
// service directory exists, else the built-in responder on a thread of its
// own, restarted when an IPv4 address appears that was not there before.
#pragma once

#include <pthread.h>
#include <stdint.h>

#include "ovusbd/core/coresettings.h"

// Read once by start-up; the paths are fixed in production.
struct DnssdSettings {
    bool tls;                 // "SSLCert" is set: " (SSL)" and "_ssl"
    bool preferIpv6;          // the service file announces "ipv6"
    int port;                 // what the TCP or TLS listener bound
    const char* serverSerial; // the TXT string
    bool avahiDirAtStart;     // the services directory existed at platform detection
    bool useServiceFile;      // "UseAVAHIServiceFile"
    const char* servicesDir;
    const char* serviceFile;
    int restartPauseSeconds;  // between a responder stop and its restart
};

// Fills settings from the configuration and the core settings, with the
// production paths; port is what the listener bound.
void readDnssdSettings(DnssdSettings* settings, const CoreSettings& core, int port);

// What the announcement did, so that stop undoes exactly that.
struct DnssdAnnouncement {
    DnssdSettings settings;
    char instanceName[128];
    char serviceType[32];
    bool avahiFileWritten;
    pthread_t mdnsThread;
    bool mdnsThreadCreated;  // pthread_create succeeded: stop joins it
    uint8_t mdnsStop;        // atomic: set by stop
    uint8_t ipChanged;       // atomic: set by ipChangeThread, cleared by mdnsThread
    uint8_t ipChangeStop;    // atomic: set by mdnsThread
};

// Announces (call only when "UseAVAHI" is on). Null when memory runs out.
DnssdAnnouncement* startDnssdAnnouncement(const DnssdSettings* settings);
// Removes the service file, or stops and joins the responder; frees.
void stopDnssdAnnouncement(DnssdAnnouncement* announcement);

void* mdnsThread(void* announcement);
void* ipChangeThread(void* announcement);
