#include "ovusbd/usb/usbsettings.h"

UsbLayerSettings usbLayerSettings = {0, nullptr, false, "1", nullptr};
