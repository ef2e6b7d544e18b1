// CoreSettings: the values the protocol core reads and start-up settles
// once, from the command line, the platform and the configuration. Start-up
// owns the one structure, fills it before any thread that reads it starts
// and installs it; it never changes while the server runs, so no lock
// guards it. A test fills a structure of its own and installs that.
#pragma once

#include "ovusbd/core/platform.h"

struct CoreSettings {
  // Command line (parseCommandLine).
  bool runAsDaemon = false;  // -b
  bool preferIpv6 = false;   // -i
  bool exitAtOnce = false;   // -u
  // Absolute path given with -c, null when not given. Made absolute while
  // the working directory is still the caller's: a daemon runs in "/".
  char* configFileArgument = nullptr;
  char* deviceNodeDirectory = nullptr;  // -d, null when not given
  char* logFilePath = nullptr;          // the file opened for -r, null for stdout/stderr/none

  // Platform (detectPlatform).
  int platformCode = kPlatformNone;
  const char* hubDisplayName = "USB Hub";  // default of "ServerName"
  const char* autoAttachDefault = "1";     // default of "AutoAttachToKernel": "1" or "0"
  bool nasPlatform = false;
  bool kernelAtLeast315 = false;
  bool avahiDirAtStart = false;  // /etc/avahi/services was a directory at start

  // Configuration. TLS: when sslCertPath is null the plain transports are built.
  char* sslCertPath = nullptr;
  char* sslCaPath = nullptr;
  char* sslCrlPath = nullptr;
  bool sslRequireClientCerts = false;
  bool remoteAdminEnabled = false;
  char* remoteAdminPassword = nullptr;  // null unless remote administration is on
  bool hideClientInfo = false;
  int pingTimeout = 9;  // seconds
  bool traceMessages = false;
  char* serverSerial = nullptr;

  // Limits of what clients can make the server start or queue; tests
  // shrink them.
  // Threads running event scripts at once (eventscripts.h).
  unsigned scriptThreads = 32;
  // One client's share of the changes waiting for a script thread, so that
  // one client's flood cannot crowd out another's change.
  unsigned waitingChangesPerClient = 16;
  // A client's share of the bind queue: its requests waiting or being
  // carried out. Well above the devices one server holds (a few hundred at
  // most), so a client that binds every device at once is never refused,
  // and a client that floods the queue delays the others' requests by at
  // most this many.
  unsigned bindRequestsPerClient = 512;
};

// The installed settings; the defaults above while none is installed.
const CoreSettings& coreSettings();

// Installs settings (null: back to the defaults). The structure stays the
// caller's and must outlive every reader; install before the threads that
// read it start and remove it only after they are gone.
void installCoreSettings(const CoreSettings* settings);

// Each reads its group of keys into settings (and logs what the TLS
// settings name).
void readTlsSettings(CoreSettings* settings);
void readAdminSettings(CoreSettings* settings);
void readConnectionSettings(CoreSettings* settings);  // pingTimeout, traceMessages

// Frees the texts of settings and resets every value to its default. The -r
// stream itself is left to closeLogging.
void freeCoreSettings(CoreSettings* settings);
