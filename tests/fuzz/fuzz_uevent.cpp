// Fuzz entry of the USB layer's parsers: the input is one datagram as the
// uevent netlink socket delivers it. It goes through both datagram parsers
// (cut to what the monitor's buffer holds), and as text through the uevent
// value reader, the name rules, the discovery filters and the mounts
// table reader; and as raw descriptors.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "ovusbd/usb/descriptors.h"
#include "ovusbd/usb/mounttable.h"
#include "ovusbd/usb/uevent.h"
#include "ovusbd/usb/usbfilters.h"
#include "ovusbd/usb/usbname.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size_t received = size < kUeventDatagramSize ? size : kUeventDatagramSize;
  // An exact-size copy, so a read past the received bytes is caught.
  uint8_t* datagram = static_cast<uint8_t*>(malloc(received ? received : 1));
  if (received) memcpy(datagram, data, received);
  UeventEvent event;
  for (int udev = 0; udev < 2; ++udev) {
    int result = udev ? parseUdevDatagram(datagram, received, &event) : parseKernelUevent(datagram, received, &event);
    if (result == kUeventUsable) {
      if (strlen(event.path) > kUeventDatagramSize) abort();
      if (isUsbDeviceName(event.path)) {
        volatile uint32_t address = deviceAddressFromPath(event.path);
        volatile unsigned port = parsePortFromName(event.path);
        (void)address;
        (void)port;
      }
    }
  }
  free(datagram);

  // The same bytes as a uevent file's text and as configuration values.
  std::string text(reinterpret_cast<const char*>(data), size);
  const char* c = text.c_str();
  for (const char* key : {"DEVTYPE", "DEVICE", "DEVNAME", "PRODUCT", "TYPE", "MAJOR", "MINOR"}) {
    char* value = ueventValue(c, key);
    if (value && strlen(value) >= kUeventValueSize) abort();
    free(value);
  }
  uint16_t vendor, product;
  parseProductValue(c, &vendor, &product);
  matchesIgnoredDevices(c, vendor, product, c);
  allowedByAllowedDevices(c, vendor, product);
  matchesIgnoredBuses(c, c);
  speedFromText(c);

  // As a mounts table, and as raw descriptors.
  forEachBlockDeviceMount(
      reinterpret_cast<const char*>(data), size, "sdb",
      [](void*, const char* device) {
        if (strlen(device) >= kMountDeviceSize || strncmp(device, "/dev/sdb", 8) != 0) abort();
        return 0;
      },
      nullptr);
  firstInterfaceClass(data, size);
  return 0;
}
