// Transfer replies built in the device layer's mapped URB buffers: with
// "EnableBulkIntZeroCopy" (type 19) or "EnableIsoZeroCopy" (types 37 and
// 76) a reply of at least the configured minimum is allocated in a usbfs
// mapping of its device and endpoint, the kernel fills its data area in
// place and a raw frame is written to the socket from that same buffer.
// Smaller replies, and devices that cannot map, get heap messages.
#pragma once

#include "ovusbd/usb/usbsettings.h"

// Installs the message buffer pool for the switches and minimum sizes in
// `settings` (copied). Start-up calls it once, before the first client can
// ask for a transfer; it stays installed until the last message is freed.
void installReplyBuffers(const UsbSettings& settings);

// Back to heap messages only. No message from a mapping may still exist.
void removeReplyBuffers();
