#include "ovusbd/usb/removedqueue.h"

#include <errno.h>
#include <pthread.h>

#include "ovusbd/core/lockedlist.h"
#include "ovusbd/core/log.h"
#include "ovusbd/usb/controlwatchdog.h"
#include "ovusbd/usb/zerocopy.h"

namespace {

// The module's state, made by startDeviceManagerThreads and freed by
// stopDeviceManagerThreads. `mutex` guards `queue` against the stop: an
// append and the destruction of the queue never overlap.
struct RemovedDeviceContext {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  LockedList* queue = nullptr;  // UrbGroup items; null ends the thread
  pthread_t thread{};
  bool running = false;
};

RemovedDeviceContext removedContext;

void* removedDeviceCompletionThread(void* argument) {
  LockedList* queue = static_cast<LockedList*>(argument);
  while (UrbGroup* group = static_cast<UrbGroup*>(takeFromLockedList(queue))) deliverRemovedGroup(group);
  return nullptr;
}

}  // namespace

bool appendRemovedGroup(UrbGroup* group) {
  pthread_mutex_lock(&removedContext.mutex);
  bool queued = removedContext.running && appendToLockedList(removedContext.queue, group) == 0;
  pthread_mutex_unlock(&removedContext.mutex);
  return queued;
}

void queueRemovedGroup(UrbGroup* group) {
  if (!appendRemovedGroup(group)) deliverRemovedGroup(group);
}

int startDeviceManagerThreads() {
  LockedList* queue = createLockedList();
  if (!queue) return -ENOMEM;
  pthread_t thread;
  int error = pthread_create(&thread, nullptr, removedDeviceCompletionThread, queue);
  if (error) {
    destroyLockedList(queue);
    return -error;
  }
  pthread_mutex_lock(&removedContext.mutex);
  removedContext.queue = queue;
  removedContext.thread = thread;
  removedContext.running = true;
  pthread_mutex_unlock(&removedContext.mutex);
  int started = startZeroCopyCollector();
  if (started == 0) started = startControlWatchdogs();
  if (started < 0) {
    stopDeviceManagerThreads();
    return started;
  }
  return 0;
}

void stopDeviceManagerThreads() {
  pthread_mutex_lock(&removedContext.mutex);
  bool running = removedContext.running;
  LockedList* queue = removedContext.queue;
  removedContext.running = false;
  removedContext.queue = nullptr;
  pthread_mutex_unlock(&removedContext.mutex);
  if (running) {
    // The thread delivers every group queued before the stop marker.
    if (appendToLockedList(queue, nullptr) == 0) {
      pthread_join(removedContext.thread, nullptr);
      destroyLockedList(queue);
    } else {
      logMessage(3, "Error, out of memory stopping the removed-device thread");
      pthread_detach(removedContext.thread);
    }
  }
  stopZeroCopyCollector();
  stopControlWatchdogs();
}
