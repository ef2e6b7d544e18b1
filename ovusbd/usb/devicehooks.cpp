#include "ovusbd/usb/devicehooks.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/wait.h>

#include <atomic>
#include <memory>

#include "ovusbd/core/config.h"
#include "ovusbd/core/log.h"
#include "ovusbd/core/scriptcommand.h"
#include "ovusbd/core/shellcommand.h"
#include "ovusbd/core/util.h"
#include "ovusbd/usb/descriptors.h"
#include "ovusbd/usb/devicerecord.h"
#include "ovusbd/usb/devicereset.h"
#include "ovusbd/usb/usbevents.h"

namespace {

const DeviceHookSettings kDefaults;
std::atomic<const DeviceHookSettings*> installed{nullptr};

struct FreeDeleter {
  void operator()(void* p) const { free(p); }
};
using Text = std::unique_ptr<char, FreeDeleter>;

constexpr int kAnyProduct = -1;

// Devices that need a hook whatever the administrator configured. `words`:
// the row applies only when the product text holds one of them (any case).
struct BuiltinHook {
  uint16_t vendorId;
  int productId;  // kAnyProduct: every product of the vendor
  const char* hook;
  const char* words[3];  // null-terminated; empty: no condition
  const char* command;
};

// An empty command runs a shell that does nothing: the hook "did the work",
// so the server skips resets these devices do not survive.
const BuiltinHook kBuiltinHooks[] = {
    {0x05ac, 0x1293, "onBind", {}, "echo '0' > $DEVPATH$/bConfigurationValue"},
    {0x04e8, 0x6877, "onEnumeration", {}, "echo '4' > $DEVPATH$/bConfigurationValue"},
    {0x046d, kAnyProduct, "onReset", {"wheel", "driving"}, ""},
    {0x044f, kAnyProduct, "onReset", {"wheel"}, ""},
    {0x9886, 0x0001, "onReset", {}, ""},
    {0x088e, kAnyProduct, "onUnbind", {}, "power_cycle_port"},
    {0x1677, 0x0054, "onUnbind", {}, "power_cycle_port"},
    {0x110a, 0x0407, "onUnbind", {}, "power_cycle_port"},
};

// Apple devices come up in a configuration the clients do not expect; the
// highest one is the full device.
constexpr uint16_t kAppleVendor = 0x05ac;
const char kAppleVendorDefault[] = "cat $DEVPATH$/bNumConfigurations > $DEVPATH$/bConfigurationValue";

const char kConfigurationFile[] = "/bConfigurationValue";
const char kPowerCycle[] = "power_cycle_port";

bool rowApplies(const BuiltinHook& row, const char* hook, uint16_t vendorId, uint16_t productId,
                const char* productText) {
  if (row.vendorId != vendorId || strcasecmp(row.hook, hook) != 0) return false;
  if (row.productId != kAnyProduct && row.productId != productId) return false;
  if (row.words[0] == nullptr) return true;
  if (productText == nullptr) return false;
  for (const char* const* word = row.words; *word != nullptr; ++word) {
    if (strcasestr(productText, *word) != nullptr) return true;
  }
  return false;
}

const char* builtinModelHook(const char* hook, uint16_t vendorId, uint16_t productId, const char* productText) {
  for (const BuiltinHook& row : kBuiltinHooks) {
    if (rowApplies(row, hook, vendorId, productId, productText)) return row.command;
  }
  return nullptr;
}

const char* builtinVendorHook(const char* hook, uint16_t vendorId) {
  if (vendorId != kAppleVendor) return nullptr;
  if (strcasecmp(hook, "onEnumeration") == 0 || strcasecmp(hook, "onBind") == 0) return kAppleVendorDefault;
  return nullptr;
}

// The command configured or built in for the hook, or null.
char* findHookCommand(const char* hook, uint16_t vendorId, uint16_t productId, const char* productText) {
  char key[96];
  snprintf(key, sizeof key, "%s.%04x.%04x", hook, vendorId, productId);
  char* command = getConfigString(key, nullptr, false);
  if (!command) {
    const char* builtin = builtinModelHook(hook, vendorId, productId, productText);
    if (builtin) command = strdup(builtin);
  }
  if (!command) {
    snprintf(key, sizeof key, "%s.%04x", hook, vendorId);
    command = getConfigString(key, builtinVendorHook(hook, vendorId), false);
  }
  if (!command) command = getConfigString(hook, nullptr, false);
  return command;
}

bool endsWith(const char* text, const char* tail) {
  size_t length = strlen(text), tailLength = strlen(tail);
  return length >= tailLength && strcmp(text + length - tailLength, tail) == 0;
}

// "echo 'N' > .../bConfigurationValue" or "cat .../bNumConfigurations >
// .../bConfigurationValue", done through usbfs: sysfs would make the kernel
// set the configuration behind the server's back, with its interface claims
// in place.
int remapSetConfiguration(const char* command, uint32_t address, const uint8_t* descriptors) {
  Text words(strdup(command));
  if (!words) {
    logMessage(3, "Failed to remap set config parse (%s)", command);
    return kHookFailed;
  }
  char* save = nullptr;
  const char* verb = strtok_r(words.get(), " \t", &save);
  if (verb == nullptr || (strcmp(verb, "echo") != 0 && strcmp(verb, "cat") != 0)) {
    logMessage(3, "Failed to remap set config parse (cat/echo '%s')", verb ? verb : "");
    return kHookFailed;
  }
  const char* word = strtok_r(nullptr, " \t", &save);
  if (word == nullptr) {
    logMessage(3, "Failed to remap set config parse (%s)", command);
    return kHookFailed;
  }
  long value;
  if (strstr(word, "bNumConfigurations") != nullptr) {
    value = descriptors ? descriptors[17] : 0;  // bNumConfigurations of the device descriptor
  } else {
    if (*word == '\'' || *word == '"') ++word;
    // Text that is no number reads as 0, as the shell's echo would have
    // made the kernel refuse it and leave the device unconfigured.
    value = strtol(word, nullptr, 10);
  }
  // bConfigurationValue is one byte; -1 asks for the unconfigured state.
  int result = value < -1 || value > 255 ? -EINVAL : applyDeviceConfiguration(address, static_cast<int>(value));
  if (result < 0) {
    logMessage(3, "Call to syncSetConfig %d Failed with err %d (%s)", static_cast<int>(value), -result,
               strerror(-result));
    return kHookFailed;
  }
  logMessage(6, "Successfully remapped and executed \"%s\"", command);
  return kHookDone;
}

int powerCyclePort(uint32_t address) {
  const DeviceHookSettings& settings = deviceHookSettings();
  if (settings.setPortPower) settings.setPortPower(address, false);
  sleepMilliseconds(static_cast<unsigned>(settings.powerCycleOffMs));
  if (settings.setPortPower) settings.setPortPower(address, true);
  return kHookDone;
}

int runHookShell(const char* command, const char* shown, const char* sysfsPath, int* exitCode) {
  const int status = runShellCommand(command);
  if (status < 0) {
    logMessage(3, "Error %d executing hook \"%s\" for %s", -status, shown, sysfsPath);
    return kHookFailed;
  }
  if (strstr(shown, "#continue") != nullptr) {
    logMessage(6, "Executed \"%s\" for %s, continuing", shown, sysfsPath);
    return kHookContinue;
  }
  logMessage(6, "Executed \"%s\" for %s", shown, sysfsPath);
  int code = -1;
  if (WIFSIGNALED(status)) {
    const int error = errno;
    logMessage(3, "Error %d (%s) unhandled signal %d:%d running hook", error, strerror(error), (status >> 8) & 0xff,
               status & 0x7f);
  } else if (WIFEXITED(status)) {
    code = WEXITSTATUS(status);
  }
  if (exitCode) *exitCode = code;
  return kHookDone;
}

// What a hook is told of a managed device, copied out of its record.
struct DeviceCopy {
  DeviceSummary summary;
  uint8_t descriptors[kDescriptorsSize];
  char sysfsPath[255];
  char nickname[64];
};

int runForDevice(const char* hook, uint32_t address, bool withProductText, bool withTexts, const char* const* pairs,
                 int pairCount) {
  // The command is looked up first: most points have none, and the
  // descriptors are copied only for a hook that runs.
  char product[64] = {};
  const uint16_t vendorId = getDeviceVendorId(address), productId = getDeviceProductId(address);
  if (withProductText) getDeviceProduct(address, product);
  Text command(findHookCommand(hook, vendorId, productId, withProductText ? product : nullptr));
  if (!command) return kHookNone;
  std::unique_ptr<DeviceCopy, FreeDeleter> device(static_cast<DeviceCopy*>(calloc(1, sizeof(DeviceCopy))));
  if (!device) {
    // A hook that cannot run must not let the server do what it replaces.
    logMessage(3, "Error %d running hook %s for device %u, %s", ENOMEM, hook, address, strerror(ENOMEM));
    return kHookFailed;
  }
  if (!readDeviceSummary(address, &device->summary, device->descriptors)) return kHookNone;
  getDeviceSysfsPath(address, device->sysfsPath);
  const DeviceSummary& summary = device->summary;
  const char* texts[] = {"$NICKNAME$", device->nickname, "$SERIAL$", summary.serial, "$PRODUCT$", summary.product};
  if (withTexts) {
    const DeviceHookSettings& settings = deviceHookSettings();
    if (settings.lookupNickname) {
      settings.lookupNickname(address, summary.productId, summary.vendorId, summary.serial, device->nickname);
      device->nickname[sizeof device->nickname - 1] = '\0';
    }
    pairs = texts;
    pairCount = 6;
  }
  return runDeviceHook(command.get(), device->sysfsPath, address, summary.vendorId, summary.productId,
                       device->descriptors, pairs, pairCount, nullptr);
}

}  // namespace

const DeviceHookSettings& deviceHookSettings() {
  const DeviceHookSettings* settings = installed.load(std::memory_order_acquire);
  return settings ? *settings : kDefaults;
}

void installDeviceHookSettings(const DeviceHookSettings* settings) {
  installed.store(settings, std::memory_order_release);
}

int runDeviceHook(const char* command, const char* sysfsPath, uint32_t address, uint16_t vendorId,
                  uint16_t productId, const uint8_t* descriptors, const char* const* pairs, int pairCount,
                  int* exitCode) {
  char number[16], vendor[8], product[8];
  snprintf(number, sizeof number, "%u", address);
  snprintf(vendor, sizeof vendor, "%04x", vendorId);
  snprintf(product, sizeof product, "%04x", productId);
  if (sysfsPath == nullptr) sysfsPath = "";
  // The administrator's text with only the path in it: what the log shows
  // and where "#continue" is looked for, so no device or client text can
  // ask for it.
  Text shown(replaceShellSafe(strdup(command), "$DEVPATH$", sysfsPath));
  char* text = shown ? strdup(shown.get()) : nullptr;
  // Numbers need no quoting; they go through the same call for one path.
  text = replaceShellSafe(text, "$ADDRESS$", number);
  text = replaceShellSafe(text, "$VENDOR_ID$", vendor);
  text = replaceShellSafe(text, "$PRODUCT_ID$", product);
  Text base(text);
  if (!base) {
    logMessage(3, "Error %d executing hook \"%s\" for %s", ENOMEM, command, sysfsPath);
    return kHookFailed;
  }
  // Whether the server carries the command out itself is the
  // administrator's text alone; a device or client text cannot ask for it.
  if (endsWith(base.get(), kConfigurationFile)) {
    // Parsed here, never by a shell: the values go in as they are.
    Text direct(strdup(base.get()));
    for (int i = 0; direct && pairs != nullptr && i + 1 < pairCount; i += 2) {
      direct.reset(replacePlaceholder(direct.get(), pairs[i], pairs[i + 1] ? pairs[i + 1] : ""));
    }
    if (!direct) {
      logMessage(3, "Error %d executing hook \"%s\" for %s", ENOMEM, command, sysfsPath);
      return kHookFailed;
    }
    return remapSetConfiguration(direct.get(), address, descriptors);
  }
  if (strcasecmp(base.get(), kPowerCycle) == 0) return powerCyclePort(address);
  Text full(fillScriptCommand(base.get(), pairs, pairs != nullptr && pairCount > 0 ? size_t(pairCount) : 0));
  if (!full) {
    logMessage(3, "Error %d executing hook \"%s\" for %s", ENOMEM, command, sysfsPath);
    return kHookFailed;
  }
  return runHookShell(full.get(), shown.get(), sysfsPath, exitCode);
}

int findDeviceHook(const char* hook, uint16_t vendorId, uint16_t productId, const char* productText,
                   const char* sysfsPath, uint32_t address, const uint8_t* descriptors, const char* const* pairs,
                   int pairCount, int* exitCode) {
  Text command(findHookCommand(hook, vendorId, productId, productText));
  if (!command) return kHookNone;
  return runDeviceHook(command.get(), sysfsPath, address, vendorId, productId, descriptors, pairs, pairCount,
                       exitCode);
}

int runHookForDevice(const char* hook, uint32_t address, bool withProductText, const char* const* pairs,
                     int pairCount) {
  return runForDevice(hook, address, withProductText, false, pairs, pairCount);
}

int runHookWithDeviceTexts(const char* hook, uint32_t address) {
  return runForDevice(hook, address, false, true, nullptr, 0);
}

int hookOutcome(int hookResult) {
  if (hookResult == kHookDone) return 1;
  if (hookResult == kHookFailed) return -1;
  return 0;
}
