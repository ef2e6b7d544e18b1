#include "ovusbd/core/coresettings.h"

#include <stdlib.h>

#include <atomic>

#include "ovusbd/core/config.h"
#include "ovusbd/core/log.h"

namespace {

const CoreSettings kDefaults;
std::atomic<const CoreSettings*> installed{nullptr};

// An empty value counts as "not set".
char* nonEmpty(char* text) {
  if (text && !*text) {
    free(text);
    return nullptr;
  }
  return text;
}

}  // namespace

const CoreSettings& coreSettings() {
  const CoreSettings* settings = installed.load(std::memory_order_acquire);
  return settings ? *settings : kDefaults;
}

void installCoreSettings(const CoreSettings* settings) {
  installed.store(settings, std::memory_order_release);
}

void readTlsSettings(CoreSettings* s) {
  s->sslCertPath = nonEmpty(getConfigString("SSLCert", nullptr, true));
  if (!s->sslCertPath) return;
  logMessage(6, "Using SSL Server certificate at %s", s->sslCertPath);
  s->sslCaPath = nonEmpty(getConfigString("SSLCAFile", nullptr, true));
  if (s->sslCaPath) logMessage(6, "Using SSL CA at %s", s->sslCaPath);
  s->sslCrlPath = nonEmpty(getConfigString("SSLCRLFile", nullptr, true));
  if (s->sslCrlPath) logMessage(6, "Using SSL CRL's at %s", s->sslCrlPath);
  s->sslRequireClientCerts = getConfigBool("SSLUseClientCerts", "0");
  if (s->sslRequireClientCerts) logMessage(6, "Clients are required to use SSL Client certificates");
}

void readAdminSettings(CoreSettings* s) {
  s->remoteAdminEnabled = getConfigBool("RemoteAdmin", nullptr);
  if (s->remoteAdminEnabled)
    s->remoteAdminPassword = getConfigString("RemoteAdminPassword", "tarnwick", true);
  s->hideClientInfo = getConfigBool("HideClientInfo", "0");
}

void readConnectionSettings(CoreSettings* s) {
  s->pingTimeout = getConfigInt("PingTimeout", 9);
  s->traceMessages = getConfigBool("TraceMsgs", "0");
}

void freeCoreSettings(CoreSettings* s) {
  for (char* text : {s->configFileArgument, s->deviceNodeDirectory, s->logFilePath, s->sslCertPath, s->sslCaPath,
                     s->sslCrlPath, s->remoteAdminPassword, s->serverSerial}) {
    free(text);
  }
  *s = CoreSettings();
}
