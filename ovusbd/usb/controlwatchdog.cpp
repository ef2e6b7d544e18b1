#include "ovusbd/usb/controlwatchdog.h"

#include <errno.h>
#include <string.h>
#include <time.h>

#include "ovusbd/core/log.h"
#include "ovusbd/core/util.h"
#include "ovusbd/usb/usbfsaccess.h"
#include "ovusbd/usb/usbsettings.h"

namespace {

enum : uint8_t { kIdle = 0, kArmed = 1, kFiring = 2 };

// The module's state. `mutex` guards everything here and the watchdog
// fields of every armed context. The list is in deadline order: every URB
// gets the same time-out, so an arm almost always appends.
struct WatchdogTimer {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t changed;   // an arm, a disarm or the stop (monotonic clock)
  pthread_cond_t fired;     // a discard has ended
  bool conditionsMade = false;
  UrbContext* first = nullptr;
  UrbContext* last = nullptr;
  size_t armed = 0;
  pthread_t thread{};
  bool running = false;
  bool stop = false;
};

WatchdogTimer timer;

struct timespec now() {
  struct timespec at;
  clock_gettime(CLOCK_MONOTONIC, &at);
  return at;
}

bool before(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

void unlinkLocked(UrbContext* context) {
  if (context->watchdogPrevious) {
    context->watchdogPrevious->watchdogNext = context->watchdogNext;
  } else {
    timer.first = context->watchdogNext;
  }
  if (context->watchdogNext) {
    context->watchdogNext->watchdogPrevious = context->watchdogPrevious;
  } else {
    timer.last = context->watchdogPrevious;
  }
  context->watchdogPrevious = context->watchdogNext = nullptr;
  --timer.armed;
}

void insertLocked(UrbContext* context) {
  UrbContext* after = timer.last;
  while (after && before(context->watchdogDeadline, after->watchdogDeadline)) after = after->watchdogPrevious;
  context->watchdogPrevious = after;
  context->watchdogNext = after ? after->watchdogNext : timer.first;
  if (context->watchdogNext) {
    context->watchdogNext->watchdogPrevious = context;
  } else {
    timer.last = context;
  }
  if (after) {
    after->watchdogNext = context;
  } else {
    timer.first = context;
  }
  ++timer.armed;
}

void* controlWatchdogThread(void*) {
  pthread_mutex_lock(&timer.mutex);
  while (!timer.stop) {
    UrbContext* due = timer.first;
    if (!due) {
      pthread_cond_wait(&timer.changed, &timer.mutex);
      continue;
    }
    if (before(now(), due->watchdogDeadline)) {
      // A copy: the context may be disarmed and freed during the wait.
      const struct timespec deadline = due->watchdogDeadline;
      pthread_cond_timedwait(&timer.changed, &timer.mutex, &deadline);
      continue;
    }
    unlinkLocked(due);
    due->watchdogState = kFiring;
    const uint32_t address = due->watchdogAddress;
    usbdevfs_urb* urb = due->watchdogUrb;
    pthread_mutex_unlock(&timer.mutex);
    // The reaper that gets this URB back waits in signalControlWatchdog
    // until the discard has ended, so the URB is still ours to name.
    discardInflightUrb(address, urb, "control timeout");
    pthread_mutex_lock(&timer.mutex);
    due->watchdogState = kIdle;
    pthread_cond_broadcast(&timer.fired);
  }
  pthread_mutex_unlock(&timer.mutex);
  return nullptr;
}

// With the mutex held.
int startThreadLocked() {
  if (!timer.conditionsMade) {
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&timer.changed, &attributes);
    pthread_condattr_destroy(&attributes);
    pthread_cond_init(&timer.fired, nullptr);
    timer.conditionsMade = true;
  }
  int error = pthread_create(&timer.thread, nullptr, controlWatchdogThread, nullptr);
  if (error) return -error;
  timer.running = true;
  return 0;
}

}  // namespace

int startControlWatchdog(UrbContext* context, uint32_t address, usbdevfs_urb* urb) {
  context->watchdogAddress = address;
  context->watchdogUrb = urb;
  // The monotonic clock: a change of the wall clock must neither fire the
  // watchdog early nor hold it off.
  context->watchdogDeadline = monotonicDeadline(controlTimeoutMs(usbSettings()));
  pthread_mutex_lock(&timer.mutex);
  int result = timer.running ? 0 : startThreadLocked();
  if (result == 0) {
    insertLocked(context);
    context->watchdogState = kArmed;
    if (timer.first == context) pthread_cond_signal(&timer.changed);
  }
  pthread_mutex_unlock(&timer.mutex);
  return result;
}

void signalControlWatchdog(UrbContext* context) {
  pthread_mutex_lock(&timer.mutex);
  if (context->watchdogState == kArmed) {
    unlinkLocked(context);
    context->watchdogState = kIdle;
  }
  while (context->watchdogState == kFiring) pthread_cond_wait(&timer.fired, &timer.mutex);
  pthread_mutex_unlock(&timer.mutex);
}

int startControlWatchdogs() {
  pthread_mutex_lock(&timer.mutex);
  int result = timer.running ? 0 : startThreadLocked();
  pthread_mutex_unlock(&timer.mutex);
  return result;
}

void stopControlWatchdogs() {
  pthread_mutex_lock(&timer.mutex);
  const bool running = timer.running && !timer.stop;
  if (running) {
    // `running` stays set until the join, so an arm meanwhile starts no
    // second thread.
    timer.stop = true;
    pthread_cond_signal(&timer.changed);
  }
  pthread_mutex_unlock(&timer.mutex);
  if (!running) return;
  pthread_join(timer.thread, nullptr);
  pthread_mutex_lock(&timer.mutex);
  timer.running = false;
  timer.stop = false;
  pthread_mutex_unlock(&timer.mutex);
}

size_t armedControlWatchdogs() {
  pthread_mutex_lock(&timer.mutex);
  size_t armed = timer.armed;
  pthread_mutex_unlock(&timer.mutex);
  return armed;
}
