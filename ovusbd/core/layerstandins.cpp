#include "ovusbd/core/layerstandins.h"

#include "ovusbd/core/log.h"

void startDeviceLayer() {}

void stopDeviceLayer() {}
