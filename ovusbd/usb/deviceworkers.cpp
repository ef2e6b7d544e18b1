#include "ovusbd/usb/deviceworkers.h"

#include <errno.h>
#include <stdlib.h>

#include "ovusbd/usb/devicerecord.h"

struct DeviceStartGate {
  pthread_mutex_t mutex;
  pthread_cond_t opened;
  int state;       // 0 closed, 1 open, -1 abandoned; guarded by mutex
  int references;  // creator plus one per thread; the last frees the gate
};

namespace {

struct GatedStart {
  uint32_t* address;
  DeviceStartGate* gate;
  void (*body)(uint32_t* address);
};

void dropGateReference(DeviceStartGate* gate) {
  pthread_mutex_lock(&gate->mutex);
  bool last = --gate->references == 0;
  pthread_mutex_unlock(&gate->mutex);
  if (!last) return;
  pthread_cond_destroy(&gate->opened);
  pthread_mutex_destroy(&gate->mutex);
  free(gate);
}

void* gatedThread(void* argument) {
  GatedStart* start = static_cast<GatedStart*>(argument);
  DeviceStartGate* gate = start->gate;
  pthread_mutex_lock(&gate->mutex);
  while (gate->state == 0) pthread_cond_wait(&gate->opened, &gate->mutex);
  bool run = gate->state > 0;
  pthread_mutex_unlock(&gate->mutex);
  dropGateReference(gate);
  if (run) {
    start->body(start->address);
  } else {
    free(start->address);
  }
  free(start);
  return nullptr;
}

void setGate(DeviceStartGate* gate, int state) {
  pthread_mutex_lock(&gate->mutex);
  gate->state = state;
  pthread_cond_broadcast(&gate->opened);
  pthread_mutex_unlock(&gate->mutex);
}

int startGated(uint32_t address, DeviceStartGate* gate, void (*body)(uint32_t*), pthread_t* thread) {
  GatedStart* start = static_cast<GatedStart*>(calloc(1, sizeof(GatedStart)));
  uint32_t* copy = static_cast<uint32_t*>(malloc(sizeof(uint32_t)));
  if (!start || !copy) {
    free(start);
    free(copy);
    return -ENOMEM;
  }
  *copy = address;
  *start = GatedStart{copy, gate, body};
  pthread_mutex_lock(&gate->mutex);
  ++gate->references;
  pthread_mutex_unlock(&gate->mutex);
  int error = pthread_create(thread, nullptr, gatedThread, start);
  if (error) {
    pthread_mutex_lock(&gate->mutex);
    --gate->references;
    pthread_mutex_unlock(&gate->mutex);
    free(copy);
    free(start);
    return -error;
  }
  return 0;
}

}  // namespace

int startDeviceThreads(uint32_t address, DeviceThreads* threads) {
  DeviceStartGate* gate = static_cast<DeviceStartGate*>(calloc(1, sizeof(DeviceStartGate)));
  if (!gate) return -ENOMEM;
  pthread_mutex_init(&gate->mutex, nullptr);
  pthread_cond_init(&gate->opened, nullptr);
  gate->references = 1;
  threads->gate = gate;
  pthread_t* slots[] = {&threads->operation, &threads->reaper, &threads->completion};
  void (*bodies[])(uint32_t*) = {deviceOperationThread, urbReaperThread, deviceCompletionThread};
  for (int i = 0; i < 3; ++i) {
    int error = startGated(address, gate, bodies[i], slots[i]);
    if (error) {
      setGate(gate, -1);
      for (int j = 0; j < i; ++j) pthread_join(*slots[j], nullptr);
      dropGateReference(gate);
      threads->gate = nullptr;
      return error;
    }
  }
  return 0;
}

void openDeviceThreads(DeviceThreads* threads) {
  setGate(threads->gate, 1);
  dropGateReference(threads->gate);
  threads->gate = nullptr;
}

void abandonDeviceThreads(DeviceThreads* threads) {
  setGate(threads->gate, -1);
  pthread_join(threads->operation, nullptr);
  pthread_join(threads->reaper, nullptr);
  pthread_join(threads->completion, nullptr);
  dropGateReference(threads->gate);
  threads->gate = nullptr;
}

