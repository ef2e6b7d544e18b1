#include "ovusbd/core/settings.h"

#include <stdlib.h>

#include <initializer_list>

#include "ovusbd/core/config.h"
#include "ovusbd/core/log.h"

char* sslCertPath = nullptr;
char* sslCaPath = nullptr;
char* sslCrlPath = nullptr;
bool sslRequireClientCerts = false;
bool remoteAdminEnabled = false;
char* remoteAdminPassword = nullptr;
bool hideClientInfo = false;
bool enableIsoZeroCopy = false;
bool enableBulkIntZeroCopy = false;
int minIsoZeroCopySize = 16384;
int minBulkIntZeroCopySize = 16384;
int pingTimeout = 9;
bool traceMessages = false;
int controlTimeout = 3;
bool udevMode = false;
char* serverSerial = nullptr;
pthread_mutex_t nicknameMutex = PTHREAD_MUTEX_INITIALIZER;

namespace {

// An empty value counts as "not set".
char* nonEmpty(char* text) {
  if (text && !*text) {
    free(text);
    return nullptr;
  }
  return text;
}

}  // namespace

void readTlsSettings() {
  sslCertPath = nonEmpty(getConfigString("SSLCert", nullptr, true));
  if (!sslCertPath) return;
  logMessage(6, "Using SSL Server certificate at %s", sslCertPath);
  sslCaPath = nonEmpty(getConfigString("SSLCAFile", nullptr, true));
  if (sslCaPath) logMessage(6, "Using SSL CA at %s", sslCaPath);
  sslCrlPath = nonEmpty(getConfigString("SSLCRLFile", nullptr, true));
  if (sslCrlPath) logMessage(6, "Using SSL CRL's at %s", sslCrlPath);
  sslRequireClientCerts = getConfigBool("SSLUseClientCerts", "0");
  if (sslRequireClientCerts) logMessage(6, "Clients are required to use SSL Client certificates");
}

void readAdminSettings() {
  remoteAdminEnabled = getConfigBool("RemoteAdmin", nullptr);
  if (remoteAdminEnabled)
    remoteAdminPassword = getConfigString("RemoteAdminPassword", "tarnwick", true);
  hideClientInfo = getConfigBool("HideClientInfo", "0");
}

void readZeroCopySettings() {
  enableIsoZeroCopy = getConfigBool("EnableIsoZeroCopy", "0");
  enableBulkIntZeroCopy = getConfigBool("EnableBulkIntZeroCopy", "0");
  minIsoZeroCopySize = getConfigInt("MinIsoZeroCopySize", 16384);
  minBulkIntZeroCopySize = getConfigInt("MinBulkIntZeroCopySize", 16384);
}

void readConnectionSettings() {
  pingTimeout = getConfigInt("PingTimeout", 9);
  traceMessages = getConfigBool("TraceMsgs", "0");
}

void freeSettings() {
  for (char** text : {&sslCertPath, &sslCaPath, &sslCrlPath, &remoteAdminPassword, &serverSerial}) {
    free(*text);
    *text = nullptr;
  }
  sslRequireClientCerts = remoteAdminEnabled = hideClientInfo = false;
  enableIsoZeroCopy = enableBulkIntZeroCopy = traceMessages = udevMode = false;
  minIsoZeroCopySize = minBulkIntZeroCopySize = 16384;
  pingTimeout = 9;
  controlTimeout = 3;
}
