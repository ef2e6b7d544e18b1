#include "ovusbd/usb/zerocopy.h"

#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <time.h>

#include "ovusbd/core/lockedlist.h"
#include "ovusbd/core/log.h"
#include "ovusbd/core/util.h"
#include "ovusbd/usb/devicerecord.h"
#include "ovusbd/usb/usbsettings.h"
#include "ovusbd/usb/usbsys.h"

namespace {

// Module state, made by startZeroCopyCollector and freed by its stop.
// `stopMutex` guards `stop` and orders the collector's sleeps with the stop.
struct ZeroCopyContext {
  LockedList* pool = nullptr;  // UrbBufferHeader* of every mapping
  pthread_mutex_t stopMutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t stopSignal;  // on the monotonic clock; made by the start
  bool stop = false;
  bool running = false;
  pthread_t thread{};
};

ZeroCopyContext zeroCopy;

constexpr size_t kHeaderSize = sizeof(UrbBufferHeader);

size_t mappingLength(const UrbBufferHeader* header) { return kHeaderSize + header->size; }

uint8_t* heapBuffer(uint32_t size) {
  // Zero-filled: what the device does not overwrite must not carry old heap
  // contents to the client.
  UrbBufferHeader* header = static_cast<UrbBufferHeader*>(calloc(1, kHeaderSize + size));
  if (!header) return nullptr;
  header->mapped = 0;
  header->size = size;
  return reinterpret_cast<uint8_t*>(header) + kHeaderSize;
}

struct PoolQuery {
  uint32_t address;
  uint8_t endpoint;
  uint32_t size;
  UrbBufferHeader* found;
};

void takeIdleEntry(void* item, void* out) {
  PoolQuery* query = static_cast<PoolQuery*>(out);
  UrbBufferHeader* header = static_cast<UrbBufferHeader*>(item);
  if (query->found || header->inUse || header->address != query->address || header->endpoint != query->endpoint ||
      header->size < query->size) {
    return;
  }
  header->inUse = 1;
  header->idleMark = 0;
  query->found = header;
}

struct MapRequest {
  PoolQuery query;
  LockedList* pool;
};

// Runs under the device list lock, so the descriptor stays open while it is
// mapped; then takes the pool's lock.
void mapFromDevice(ManagedUsbDevice* device, void* context) {
  MapRequest* request = static_cast<MapRequest*>(context);
  if (device->state == DEVICE_REMOVED || !device->zeroCopyCapable || !request->pool) return;
  forEachInLockedList(request->pool, nullptr, takeIdleEntry, nullptr, &request->query, 0);
  if (request->query.found) return;
  void* mapped = nullptr;
  size_t length = kHeaderSize + request->query.size;
  int result = usbSys->mmap(length, PROT_READ | PROT_WRITE, MAP_SHARED, device->usbfsFd, 0, &mapped);
  if (result < 0) {
    // usbfs refuses mappings it cannot back (EACCES without mmap support);
    // asking again would fail the same way.
    if (result == -EACCES) device->zeroCopyCapable = 0;
    return;
  }
  UrbBufferHeader* header = static_cast<UrbBufferHeader*>(mapped);
  header->mapped = 1;
  header->address = request->query.address;
  header->endpoint = request->query.endpoint;
  header->size = request->query.size;
  header->inUse = 1;
  header->idleMark = 0;
  if (appendToLockedList(request->pool, header) < 0) {
    usbSys->munmap(mapped, length);
    return;
  }
  request->query.found = header;
}

void unmapEntry(void* item, void*) {
  UrbBufferHeader* header = static_cast<UrbBufferHeader*>(item);
  usbSys->munmap(header, mappingLength(header));
}

// Key: the buffer's address as callers see it, after the header.
bool isEntryOf(void* item, const void* buffer) {
  return reinterpret_cast<uintptr_t>(item) + kHeaderSize == reinterpret_cast<uintptr_t>(buffer);
}

void markReleased(void* item, void* found) {
  static_cast<UrbBufferHeader*>(item)->inUse = 0;
  *static_cast<bool*>(found) = true;
}

bool idleMarked(void* item, const void*) {
  UrbBufferHeader* header = static_cast<UrbBufferHeader*>(item);
  return !header->inUse && header->idleMark;
}

void markIdle(void* item, void*) {
  UrbBufferHeader* header = static_cast<UrbBufferHeader*>(item);
  if (!header->inUse) header->idleMark = 1;
}

// Sleeps up to ms; true when the stop was asked.
bool sleepOrStop(int ms) {
  const struct timespec deadline = monotonicDeadline(ms);
  pthread_mutex_lock(&zeroCopy.stopMutex);
  while (!zeroCopy.stop) {
    if (pthread_cond_timedwait(&zeroCopy.stopSignal, &zeroCopy.stopMutex, &deadline) == ETIMEDOUT) break;
  }
  bool stop = zeroCopy.stop;
  pthread_mutex_unlock(&zeroCopy.stopMutex);
  return stop;
}

void* zeroCopyCollectorThread(void*) {
  int period = usbSettings().collectorSleepMs > 0 ? usbSettings().collectorSleepMs : 1000;
  for (;;) {
    if (sleepOrStop(period) || sleepOrStop(period)) return nullptr;
    // One pass: entries marked by the previous pass go, the other idle ones
    // are marked.
    removeFromLockedList(zeroCopy.pool, idleMarked, unmapEntry, nullptr, nullptr);
    forEachInLockedList(zeroCopy.pool, nullptr, markIdle, nullptr, nullptr, 0);
  }
}

}  // namespace

uint8_t* acquireMappedUrbBuffer(uint32_t address, uint8_t endpoint, uint32_t size, uint32_t minSize) {
  if ((minSize != 0 && size < minSize) || size > UINT32_MAX - kHeaderSize) return nullptr;
  MapRequest request{{address, endpoint, size, nullptr}, zeroCopy.pool};
  visitDevice(address, mapFromDevice, &request);
  return request.query.found ? reinterpret_cast<uint8_t*>(request.query.found) + kHeaderSize : nullptr;
}

bool releaseMappedUrbBuffer(uint8_t* buffer) {
  bool found = false;
  // Found by identity, whatever became of its device: a mapping never goes
  // to the heap allocator.
  if (buffer && zeroCopy.pool) forEachInLockedList(zeroCopy.pool, isEntryOf, markReleased, buffer, &found, 1);
  return found;
}

uint8_t* acquireUrbBuffer(uint32_t address, uint8_t endpoint, uint32_t size, uint32_t minSize) {
  if (size > UINT32_MAX - kHeaderSize) return nullptr;
  uint8_t* mapped = acquireMappedUrbBuffer(address, endpoint, size, minSize);
  return mapped ? mapped : heapBuffer(size);
}

void releaseUrbBuffer(uint32_t, uint8_t* buffer) {
  if (!buffer) return;
  UrbBufferHeader* header = reinterpret_cast<UrbBufferHeader*>(buffer - kHeaderSize);
  if (!header->mapped) {
    free(header);
    return;
  }
  releaseMappedUrbBuffer(buffer);
}

int startZeroCopyCollector() {
  zeroCopy.pool = createLockedList();
  if (!zeroCopy.pool) return -ENOMEM;
  pthread_condattr_t attributes;
  pthread_condattr_init(&attributes);
  pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
  pthread_cond_init(&zeroCopy.stopSignal, &attributes);
  pthread_condattr_destroy(&attributes);
  zeroCopy.stop = false;
  int error = pthread_create(&zeroCopy.thread, nullptr, zeroCopyCollectorThread, nullptr);
  if (error) {
    pthread_cond_destroy(&zeroCopy.stopSignal);
    destroyLockedList(zeroCopy.pool);
    zeroCopy.pool = nullptr;
    return -error;
  }
  zeroCopy.running = true;
  return 0;
}

void stopZeroCopyCollector() {
  if (!zeroCopy.running) return;
  pthread_mutex_lock(&zeroCopy.stopMutex);
  zeroCopy.stop = true;
  pthread_cond_broadcast(&zeroCopy.stopSignal);
  pthread_mutex_unlock(&zeroCopy.stopMutex);
  pthread_join(zeroCopy.thread, nullptr);
  pthread_cond_destroy(&zeroCopy.stopSignal);
  zeroCopy.running = false;
  clearLockedList(zeroCopy.pool, unmapEntry);
  destroyLockedList(zeroCopy.pool);
  zeroCopy.pool = nullptr;
}

size_t zeroCopyPoolCount() { return zeroCopy.pool ? countLockedList(zeroCopy.pool) : 0; }

size_t zeroCopyPoolInUse() {
  if (!zeroCopy.pool) return 0;
  size_t count = 0;
  forEachInLockedList(
      zeroCopy.pool, nullptr,
      [](void* item, void* out) { *static_cast<size_t*>(out) += static_cast<UrbBufferHeader*>(item)->inUse; },
      nullptr, &count, 0);
  return count;
}
