// Device hooks: the administrator's command lines that run at fixed points
// of a device's life ("onEnumeration", "onBind", "onUnbind",
// "onDeviceUnplug", "onSetConfiguration", "onReset", "onPassToKernel",
// "onClearHalt", "onResetEp"), looked up per model, per vendor or for every
// device, plus the few built-in ones some devices need.
//
// A hook runs on the thread that reaches its point and blocks it; it takes
// no lock of its own and reads records only through deviceList. Two kinds of
// command never reach the shell: a write of bConfigurationValue, which is
// carried out through usbfs, and "power_cycle_port".
#pragma once

#include <stdint.h>

// Results of findDeviceHook and runDeviceHook.
enum DeviceHookResult : int {
  kHookNone = 0,      // no hook configured: the caller does its own work
  kHookDone = 1,      // the hook did the work: the caller skips its own
  kHookFailed = 2,    // the caller reports -1
  kHookContinue = 3,  // "#continue": the hook ran and the caller goes on
};

// What the hooks need from outside the USB layer; start-up fills it and
// installs it before discovery starts, and it never changes afterwards.
struct DeviceHookSettings {
  // Switches the power of the device's hub port on or off; 0 or -errno.
  // Null: "power_cycle_port" only waits.
  int (*setPortPower)(uint32_t address, bool on) = nullptr;
  // The device's nickname (64 bytes, empty when none) for "$NICKNAME$".
  // Null: always empty.
  void (*lookupNickname)(uint32_t address, uint16_t productId, uint16_t vendorId, const char* serial,
                         char out[64]) = nullptr;
  // How long "power_cycle_port" leaves the port off.
  int powerCycleOffMs = 2000;
};

// The installed settings; the defaults above while none is installed.
const DeviceHookSettings& deviceHookSettings();
// Installs settings (null: back to the defaults). The structure stays the
// caller's and must outlive every hook.
void installDeviceHookSettings(const DeviceHookSettings* settings);

// Finds the command of `hook` for the device and runs it (runDeviceHook).
// Precedence: the model key "hook.vvvv.pppp", the built-in model hooks, the
// vendor key "hook.vvvv" (with Apple's built-in vendor default for
// onEnumeration and onBind), the plain key "hook". `productText` is given by
// the reset only (null elsewhere). `pairs` holds pairCount texts:
// placeholder, value, placeholder, value... Every value is device- or
// client-supplied and reaches the shell as one exact word
// (fillScriptCommand).
// `descriptors` (kDescriptorsSize bytes) may be null. Returns a
// DeviceHookResult; *exitCode (may be null) gets the script's exit code when
// a shell ran it to the end, -1 when a signal ended it.
int findDeviceHook(const char* hook, uint16_t vendorId, uint16_t productId, const char* productText,
                   const char* sysfsPath, uint32_t address, const uint8_t* descriptors, const char* const* pairs,
                   int pairCount, int* exitCode);

// Replaces "$DEVPATH$", "$ADDRESS$", "$VENDOR_ID$", "$PRODUCT_ID$" and the
// pairs in command and carries it out. Returns kHookDone, kHookFailed or
// kHookContinue.
int runDeviceHook(const char* command, const char* sysfsPath, uint32_t address, uint16_t vendorId,
                  uint16_t productId, const uint8_t* descriptors, const char* const* pairs, int pairCount,
                  int* exitCode);

// findDeviceHook for a managed device: ids, sysfs path, descriptors (and,
// with withProductText, the product text) come from its record. kHookNone
// when the device is gone.
int runHookForDevice(const char* hook, uint32_t address, bool withProductText, const char* const* pairs,
                     int pairCount);

// "onEnumeration" and "onDeviceUnplug": runHookForDevice with "$NICKNAME$",
// "$SERIAL$" and "$PRODUCT$" of the device.
int runHookWithDeviceTexts(const char* hook, uint32_t address);

// What a caller whose own work a hook may replace makes of the hook's
// result: 1 (the hook did it), -1 (it failed), or 0: go on with the work.
int hookOutcome(int hookResult);
