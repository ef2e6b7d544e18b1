// Platform detection: which kind of machine ovusbd runs on, and the
// defaults that follow from it, into the start-up settings.
#pragma once

#include <sys/utsname.h>

enum PlatformCode {
  kPlatformNone = 0,
  kPlatformDesktop = 1,
  kPlatformBeagleBone = 2,
  kPlatformReadyNas = 3,
  kPlatformTerraMaster = 4,
  kPlatformSynology = 5,
  kPlatformQnap = 6,
  kPlatformRaspberryPi = 7,
  kPlatformAsustor = 8,
  kPlatformOpenWrt = 10,
  kPlatformDLink = 11,
};

struct CoreSettings;

// The one system call whose answer decides between platforms and cannot be
// laid as a file: uname. Returns 0 or a negative errno.
struct PlatformProbe {
  int (*uname)(struct utsname* name);
};
// The probe in use; the production one unless a test points it elsewhere.
extern const PlatformProbe* platformProbe;
extern const PlatformProbe productionPlatformProbe;

// Fills the platform fields of settings (platformCode, hubDisplayName,
// autoAttachDefault, nasPlatform, kernelAtLeast315, avahiDirAtStart) from
// /proc/version, uname and the marker files, and tells the logger the code.
// Never fails: every failure leaves code 0 and its defaults.
void detectPlatform(CoreSettings* settings);

// Name of a platform in the usage text.
const char* platformName(int code);

// True when neither /dev/bus/usb/001/001 nor /proc/bus/usb/001/001 can be
// examined, or when the first that can is not readable and writable by
// others: then only root can open the usbfs nodes.
bool usbfsNeedsRoot();
