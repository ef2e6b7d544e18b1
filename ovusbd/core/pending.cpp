#include "ovusbd/core/pending.h"

#include "ovusbd/core/log.h"

void startDeviceLayer() {}

void stopDeviceLayer() {}
