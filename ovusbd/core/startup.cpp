#include "ovusbd/core/startup.h"

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "ovusbd/core/autoprobe.h"
#include "ovusbd/core/cmdline.h"
#include "ovusbd/core/config.h"
#include "ovusbd/core/connectionlog.h"
#include "ovusbd/core/coresettings.h"
#include "ovusbd/core/daemon.h"
#include "ovusbd/core/deviceannounce.h"
#include "ovusbd/core/devicebinding.h"
#include "ovusbd/core/dnssd.h"
#include "ovusbd/core/eventscripts.h"
#include "ovusbd/core/log.h"
#include "ovusbd/core/networkserver.h"
#include "ovusbd/core/nicknames.h"
#include "ovusbd/core/notify.h"
#include "ovusbd/core/platform.h"
#include "ovusbd/core/replybuffers.h"
#include "ovusbd/core/serverserial.h"
#include "ovusbd/core/signals.h"
#include "ovusbd/core/version.h"
#include "ovusbd/usb/devicehooks.h"
#include "ovusbd/usb/hubports.h"
#include "ovusbd/usb/devicerecord.h"
#include "ovusbd/usb/discovery.h"
#include "ovusbd/usb/enumerationworker.h"
#include "ovusbd/usb/removedqueue.h"
#include "ovusbd/usb/usbevents.h"
#include "ovusbd/usb/usbsettings.h"

namespace {

// What start-up did, so that shutdown and every failure exit undo exactly
// that and nothing else (the configuration may say otherwise by then).
struct StartupRecord {
  bool bindProcessingStarted = false;
  bool servicesBuilt = false;
  bool deviceLayerStarted = false;
  bool discoveryStarted = false;
  DnssdAnnouncement* announcement = nullptr;
};

// TCP port the listener bound; what the announcement advertises.
int boundPort = 0;

// The settings of both layers: filled here step by step on the main thread,
// installed before the first reader runs, freed at the last step.
CoreSettings settings;
UsbSettings usb;
DeviceHookSettings hooks;

// The failure texts sent on ReadyNAS, by exit code.
void notifyFailure(int code) {
  if (settings.platformCode != kPlatformReadyNas) return;
  switch (code) {
    case kExitPermission:
      notifyServiceManager("STATUS=Permission denied\nERRNO=%u", 1u);
      break;
    case kExitSignals:
      notifyServiceManager("STATUS=Sighandler installation failed\nERRNO=%u", 5u);
      break;
    case kExitDaemon:
      notifyServiceManager("STATUS=Daemon failed to start\nERRNO=%u", 10u);
      break;
    case kExitInitialise:
      notifyServiceManager("STATUS=Server failed to inintialize\nERRNO=%u", 5u);
      break;
    case kExitStart:
      notifyServiceManager("STATUS=Server failed to start\nERRNO=%u", 5u);
      break;
    default:
      break;
  }
}

// Also for the exits from -h and -u, 1 and 6.
int finalSteps(int code) {
  notifyFailure(code);
  logMessage(6, ">>> Shutdown <<<");
  closeLogging();
  installUsbEventCallbacks(nullptr);
  installDeviceHookSettings(nullptr);
  removeReplyBuffers();
  installUsbSettings(nullptr);
  installCoreSettings(nullptr);
  freeCoreSettings(&settings);
  usb = UsbSettings();
  hooks = DeviceHookSettings();
  return code;
}

// Also for the exits 2, 7, 8 and 9.
int configCleanup(int code) {
  stopConfigSaveThread();  // the saver saves once more before it ends
  saveConfig();
  freeConfigStore();
  return finalSteps(code);
}

void destroyList(LockedList** list) {
  if (!*list) return;
  clearLockedList(*list, freeItem);
  destroyLockedList(*list);
  *list = nullptr;
}

// Normal end, exit 5 and (for what was made by then) exit 9.
int commonCleanup(StartupRecord& record, int code) {
  stopEventScripts();
  destroyList(&nicknameList);
  destroyList(&clientIdMap);
  if (record.bindProcessingStarted) stopBindProcessing();
  if (record.servicesBuilt) freeNetworkServices();
  // Every client is gone: the counts still held are logged now.
  stopConnectionLog();
  return configCleanup(code);
}

void readZeroCopySettings(UsbSettings* u) {
  u->enableIsoZeroCopy = getConfigBool("EnableIsoZeroCopy", "0");
  u->enableBulkIntZeroCopy = getConfigBool("EnableBulkIntZeroCopy", "0");
  u->minIsoZeroCopySize = getConfigInt("MinIsoZeroCopySize", 16384);
  u->minBulkIntZeroCopySize = getConfigInt("MinBulkIntZeroCopySize", 16384);
}

int initialisationFailed() {
  logMessage(3, "Failed to initialize NetworkServer");
  fprintf(stderr, "Failed to initialize NetworkServer");
  return kExitInitialise;
}

// Steps up to "initialisation complete": settings, start-up lists, bind
// thread, services.
int initialise(StartupRecord& record) {
  readTlsSettings(&settings);
  settings.serverSerial = makeServerSerial();
  readAdminSettings(&settings);
  readZeroCopySettings(&usb);
  setUpMessageHandlers();
  startEventScripts();
  int counted = startConnectionLog(kLogBurstLines, kLogBurstWindowMs);
  if (counted < 0)
    logMessage(4, "Warning, repeated log records of clients are not counted, %d (%s)", -counted,
               strerror(-counted));

  nicknameList = createLockedList();
  clientIdMap = createLockedList();
  if (!nicknameList || !clientIdMap) return initialisationFailed();
  char* nicknames = getConfigString("DeviceNicknames", nullptr, true);
  parseDeviceNicknames(nicknameList, nicknames);
  free(nicknames);
  char* clientIds = getConfigString("ClientIdMap", nullptr, false);
  parseClientIdMap(clientIdMap, clientIds, "ClientIdMap");
  free(clientIds);

  int started = startBindProcessing();
  if (started < 0) {
    logMessage(3, "Failed to create bindUnbindProcessingThread due to error %d (%s)", -started,
               strerror(-started));
    return initialisationFailed();
  }
  record.bindProcessingStarted = true;

  // The connection list copies pingTimeout and traceMessages when it is
  // made; they are read before it.
  readConnectionSettings(&settings);
  buildNetworkServices(settings);
  record.servicesBuilt = true;
  initNetworkServices();
  return kExitNormal;
}

// Probing, device layer, listening, announcement, discovery, readiness,
// saver.
int startServing(StartupRecord& record) {
  if (!switchOffAutoprobe()) return kExitStart;

  readUrbSizes(&usb);
  usb.controlTimeout = getConfigInt("ControlTimeout", 3);
  usb.udevMode = getConfigBool("UdevMode", "0");
  usb.platformCode = settings.platformCode;
  usb.nasPlatform = settings.nasPlatform;
  usb.serverSerial = settings.serverSerial;
  usb.deviceNodeDirectory = settings.deviceNodeDirectory;
  usb.autoAttachDefault = settings.autoAttachDefault;
  installUsbSettings(&usb);
  installReplyBuffers(usb);
  installUsbEventCallbacks(&deviceAnnouncementCallbacks);
  hooks.lookupNickname = lookupDeviceNickname;
  hooks.setPortPower = setPortPower;
  hooks.powerCycleOffMs = usb.powerCycleOffMs;
  installDeviceHookSettings(&hooks);
  createDeviceList();
  if (createBindingList() < 0) logMessage(3, "Error, no memory for the binding list");
  int threads = startDeviceManagerThreads();
  if (threads < 0) {
    logMessage(3, "Error %d starting the device layer's service threads, %s", -threads, strerror(-threads));
  }
  record.deviceLayerStarted = true;

  if (!listenNetworkServices(&boundPort)) {
    releaseNetworkServices();
    logMessage(3, "Error starting server");
    restoreAutoprobe();
    stopDeviceManager();
    stopDeviceManagerThreads();
    destroyBindingList();
    record.deviceLayerStarted = false;
    return kExitStart;
  }
  startNetworkServices();

  if (getConfigBool("UseAVAHI", "1")) {
    DnssdSettings dnssd;
    readDnssdSettings(&dnssd, settings, boundPort);
    record.announcement = startDnssdAnnouncement(&dnssd);
  }

  startUsbDiscoveryThreads();
  record.discoveryStarted = true;
  startEnumerationWorker();

  if (settings.platformCode == kPlatformReadyNas)
    notifyServiceManager("STATUS=Successfully started\nREADY=1\nMAINPID=%lu",
                         static_cast<unsigned long>(getpid()));
  int r = startConfigSaveThread();
  if (r < 0) logMessage(4, "Warning, configuration saver not started, %d (%s)", -r, strerror(-r));
  return kExitNormal;
}

void shutdown(StartupRecord& record) {
  // A re-enumeration a client asked for ends before discovery and the
  // device layer it walks go away.
  stopEnumerationWorker();
  if (record.discoveryStarted) stopUsbDiscoveryThreads();
  stopDnssdAnnouncement(record.announcement);
  record.announcement = nullptr;
  // Services first: a client accepted or dialled after the removal would
  // never be removed. The bind thread goes before the device layer, so no
  // bind runs against a layer that is going away.
  stopNetworkServices();
  removeAllClients("server shutdown");
  // Rename and nickname threads change the configuration, the nickname
  // list and the clients; none may be at it once those are freed.
  stopEventScripts();
  if (record.bindProcessingStarted) {
    stopBindProcessing();
    record.bindProcessingStarted = false;
  }
  // Devices first: their removal hands unfinished transfers to the
  // removed-device thread and gives mapped buffers back to the pool.
  if (record.deviceLayerStarted) {
    stopDeviceManager();
    stopDeviceManagerThreads();
    destroyBindingList();
  }
  restoreAutoprobe();
}

// Every thread of the server gets this stack, whatever "ulimit -s" says.
// Its deepest use is tens of KiB. The default of 8 MiB let the kernel back
// the top of a stack with a 2 MiB transparent huge page whenever the stack
// happened to end on a 2 MiB boundary, so the resident size went up or
// down by 2 MiB with each such thread, by chance of placement; a stack
// smaller than a huge page never holds one.
constexpr size_t kThreadStackSize = 1u << 20;

void setThreadStackSize() {
  pthread_attr_t attributes;
  if (pthread_getattr_default_np(&attributes) != 0) return;
  if (pthread_attr_setstacksize(&attributes, kThreadStackSize) == 0) pthread_setattr_default_np(&attributes);
  pthread_attr_destroy(&attributes);
}

}  // namespace

int runServer(int argc, char** argv) {
  // Before the first thread, which logging may start.
  setThreadStackSize();
  ensureStandardDescriptors();
  installCoreSettings(&settings);
  detectPlatform(&settings);
  int parsed = parseCommandLine(argc, argv, &settings);
  logMessage(6, ">>> Starting %s v%u.%u.%u (Built: %s, %s)<<<", kServerTitle, kVersionMajor,
             kVersionMinor, kVersionPatch, __DATE__, __TIME__);
  if (parsed != kCommandLineContinue)
    return finalSteps(parsed == kCommandLineUsage ? kExitNormal : kExitUsage);
  if (settings.exitAtOnce) return finalSteps(kExitNormal);

  // The path is absolute from here on (made so by the command line and the
  // store), so the daemon, which runs in "/", saves where it loaded.
  if (!loadConfig(settings.configFileArgument, true)) {
    fprintf(stderr, "Failed to load configuration");
    return finalSteps(kExitConfig);
  }
  if (usbfsNeedsRoot() && geteuid() != 0) {
    fprintf(stderr, "Permission denied, did you run with sudo?\n");
    return configCleanup(kExitPermission);
  }
  if (!installSignalHandlers()) return configCleanup(kExitSignals);
  if (settings.runAsDaemon) {
    DaemonResult daemon = daemonise();
    if (daemon == kDaemonParent) _exit(0);
    if (daemon == kDaemonFailed) return configCleanup(kExitDaemon);
  }

  StartupRecord record;
  int code = initialise(record);
  if (code != kExitNormal) return commonCleanup(record, code);
  code = startServing(record);
  if (code != kExitNormal) return commonCleanup(record, code);

  // A stop signal that came during start-up is already recorded: the wait
  // returns at once.
  if (!settings.runAsDaemon) {
    fputs("Orvanta USB Server is running...press CTRL-C to stop\n", stdout);
    fflush(stdout);
  }
  waitForStopSignal();
  if (!settings.runAsDaemon) {
    fputs("Stopping...\n", stdout);
    fflush(stdout);
  }
  shutdown(record);
  return commonCleanup(record, kExitNormal);
}
