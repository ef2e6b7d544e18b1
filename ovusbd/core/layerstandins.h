// Stand-ins for the layers that start-up calls but that are not built yet:
// the rest of the USB device layer. Each function is one call start-up makes
// in the real layer's place; each does nothing and claims nothing it did not
// do. When a layer lands, start-up
// calls the layer's own function instead and the stand-in here is deleted
// whole.
#pragma once

// ---- USB device layer ----

// Binding list, URB sizes, the removed-device completion thread and the
// zero-copy collector (the device list is the USB layer's own). Stand-in:
// none of them.
void startDeviceLayer();
// Stops the device layer's service threads. Stand-in: nothing was started.
void stopDeviceLayer();
