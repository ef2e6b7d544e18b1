#include "ovusbd/core/platform.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ovusbd/core/coresettings.h"
#include "ovusbd/core/log.h"
#include "ovusbd/core/util.h"

namespace {

int systemUname(struct utsname* name) { return ::uname(name) == 0 ? 0 : -errno; }

struct PlatformTraits {
  int code;
  const char* hubName;
  const char* autoAttach;
  bool nas;
  const char* usageName;
};

const PlatformTraits kTraits[] = {
    {kPlatformNone, "USB Hub", "1", false, "Unknown"},
    {kPlatformDesktop, "Desktop Hub", "1", false, "Linux Desktop"},
    {kPlatformBeagleBone, "Beagle Hub", "0", false, "BeagleBone"},
    {kPlatformReadyNas, "ReadyNAS Hub", "1", true, "ReadyNAS"},
    {kPlatformTerraMaster, "TerraMaster Hub", "1", true, "TerraMaster"},
    {kPlatformSynology, "Synology Hub", "1", true, "Synology"},
    {kPlatformQnap, "QNAP Hub", "1", true, "QNAP"},
    {kPlatformRaspberryPi, "Raspberry Hub", "0", false, "Raspberry Pi"},
    {kPlatformAsustor, "ASUSTOR Hub", "1", true, "ASUSTOR"},
    {kPlatformOpenWrt, "OpenWRT Hub", "0", false, "OpenWRT"},
    {kPlatformDLink, "D-Link Hub", "1", true, "Unknown"},
};

const PlatformTraits& traitsOf(int code) {
  for (const PlatformTraits& t : kTraits)
    if (t.code == code) return t;
  return kTraits[0];
}

// The rules in the order that decides: the first that holds wins.
int decidePlatform(const char* versionUpper, const char* machine) {
  bool x86 = strstr(machine, "86") != nullptr;
  if (strstr(versionUpper, "OPENWRT")) return kPlatformOpenWrt;
  if (directoryExists("/usr/syno")) return kPlatformSynology;
  if (fileExists("/sbin/nasips")) return kPlatformTerraMaster;
  if (!x86 && fileExists("/sys/bus/i2c/devices/0-0050/eeprom")) return kPlatformBeagleBone;
  if (fileExists("/usr/bin/rn_nml")) return kPlatformReadyNas;
  if (fileExists("/sbin/log_tool")) return kPlatformQnap;
  if (strstr(versionUpper, "ASUSTOR") || directoryExists("/usr/local/AppCentral"))
    return kPlatformAsustor;
  if (fileExists("/usr/bin/raspi-config")) return kPlatformRaspberryPi;
  if (directoryExists("/mnt/HD/HD_a2/Nas_Prog")) return kPlatformDLink;
  if (x86 && (fileExists("/sys/class/dmi/id/product_uuid") ||
              fileExists("/sys/class/dmi/id/product_serial")))
    return kPlatformDesktop;
  return kPlatformNone;
}

bool releaseAtLeast315(const char* release) {
  char* end;
  long major = strtol(release, &end, 10);
  long minor = 0;
  if (*end == '.') minor = strtol(end + 1, nullptr, 10);
  return major > 3 || (major == 3 && minor > 14);
}

int detectCode(CoreSettings* settings) {
  FILE* version = fopen("/proc/version", "re");
  if (!version) {
    int e = errno;
    logMessage(4, "Warning, error %d (%s) opening /proc/version, using defaults", e, strerror(e));
    return kPlatformNone;
  }
  char line[1024];
  errno = 0;
  bool haveLine = fgets(line, sizeof line, version) != nullptr;
  int readErrno = errno;
  fclose(version);
  if (!haveLine) {
    logMessage(4, "Warning, error %d (%s) parsing /proc/version, using defaults", readErrno,
               strerror(readErrno));
    return kPlatformNone;
  }
  struct utsname name;
  int r = platformProbe->uname(&name);
  if (r < 0) {
    logMessage(4, "Warning, error %d (%s) calling uname, using defaults", -r, strerror(-r));
    return kPlatformNone;
  }
  settings->kernelAtLeast315 = releaseAtLeast315(name.release);
  toUpperInPlace(line);
  struct stat st;
  settings->avahiDirAtStart = stat("/etc/avahi/services", &st) == 0 && S_ISDIR(st.st_mode);
  return decidePlatform(line, name.machine);
}

}  // namespace

const PlatformProbe productionPlatformProbe = {systemUname};
const PlatformProbe* platformProbe = &productionPlatformProbe;

void detectPlatform(CoreSettings* settings) {
  settings->kernelAtLeast315 = false;
  settings->avahiDirAtStart = false;
  settings->platformCode = detectCode(settings);
  const PlatformTraits& traits = traitsOf(settings->platformCode);
  settings->hubDisplayName = traits.hubName;
  settings->autoAttachDefault = traits.autoAttach;
  settings->nasPlatform = traits.nas;
  setLogPlatformCode(settings->platformCode);
}

const char* platformName(int code) { return traitsOf(code).usageName; }

bool usbfsNeedsRoot() {
  struct stat st;
  if (stat("/dev/bus/usb/001/001", &st) != 0 && stat("/proc/bus/usb/001/001", &st) != 0)
    return true;
  return (st.st_mode & (S_IROTH | S_IWOTH)) != (S_IROTH | S_IWOTH);
}
