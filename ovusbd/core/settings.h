// Values that start-up settles once from the configuration and that many
// modules read. One writer (start-up, before any thread that reads them
// exists); they never change while the server runs, so no lock guards them.
#pragma once

#include <pthread.h>

// TLS: when sslCertPath is null the plain transports are built.
extern char* sslCertPath;
extern char* sslCaPath;
extern char* sslCrlPath;
extern bool sslRequireClientCerts;

extern bool remoteAdminEnabled;
extern char* remoteAdminPassword;  // null unless remote administration is on
extern bool hideClientInfo;

extern bool enableIsoZeroCopy;
extern bool enableBulkIntZeroCopy;
extern int minIsoZeroCopySize;
extern int minBulkIntZeroCopySize;

extern int pingTimeout;  // seconds
extern bool traceMessages;
extern int controlTimeout;  // seconds
extern bool udevMode;

extern char* serverSerial;

// Serialises nickname changes.
extern pthread_mutex_t nicknameMutex;

// Each reads its group of keys into the values above (and logs what the
// TLS settings name).
void readTlsSettings();
void readAdminSettings();
void readZeroCopySettings();
void readConnectionSettings();  // pingTimeout, traceMessages

// Frees the texts above and resets every value.
void freeSettings();
