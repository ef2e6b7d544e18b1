#include "ovusbd/usb/controlwatchdog.h"

#include <errno.h>
#include <time.h>

#include "ovusbd/core/log.h"
#include "ovusbd/core/util.h"
#include "ovusbd/usb/usbfsaccess.h"
#include "ovusbd/usb/usbsettings.h"

namespace {

void* controlWatchdogThread(void* argument) {
  UrbContext* context = static_cast<UrbContext*>(argument);
  // The monotonic clock: a change of the wall clock must neither fire the
  // watchdog early nor hold it off.
  const struct timespec deadline = monotonicDeadline(controlTimeoutMs(usbSettings()));
  pthread_mutex_lock(&context->watchdogMutex);
  int result = 0;
  while (!context->watchdogDone && result == 0) {
    result = pthread_cond_timedwait(&context->watchdogCondition, &context->watchdogMutex, &deadline);
  }
  bool done = context->watchdogDone;
  pthread_mutex_unlock(&context->watchdogMutex);
  if (done) return nullptr;
  if (result == ETIMEDOUT) {
    discardInflightUrb(context->watchdogAddress, context->watchdogUrb, "control timeout");
  } else {
    logMessage(4, "Error %d when watchdog called pthread_cond_timedwait", result);
  }
  return nullptr;
}

}  // namespace

int startControlWatchdog(UrbContext* context, uint32_t address, usbdevfs_urb* urb) {
  context->watchdogDone = 0;
  context->watchdogAddress = address;
  context->watchdogUrb = urb;
  pthread_mutex_init(&context->watchdogMutex, nullptr);
  pthread_condattr_t attributes;
  pthread_condattr_init(&attributes);
  pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
  pthread_cond_init(&context->watchdogCondition, &attributes);
  pthread_condattr_destroy(&attributes);
  int error = pthread_create(&context->watchdogThread, nullptr, controlWatchdogThread, context);
  if (error) {
    pthread_cond_destroy(&context->watchdogCondition);
    pthread_mutex_destroy(&context->watchdogMutex);
    return -error;
  }
  context->watchdogRunning = 1;
  return 0;
}

void signalControlWatchdog(UrbContext* context) {
  if (!context->watchdogRunning) return;
  pthread_mutex_lock(&context->watchdogMutex);
  context->watchdogDone = 1;
  pthread_mutex_unlock(&context->watchdogMutex);
  pthread_cond_signal(&context->watchdogCondition);
  pthread_join(context->watchdogThread, nullptr);
  pthread_cond_destroy(&context->watchdogCondition);
  pthread_mutex_destroy(&context->watchdogMutex);
  context->watchdogRunning = 0;
}
