#include <errno.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include "ovusbd/core/log.h"
#include "ovusbd/usb/devicehooks.h"
#include "ovusbd/usb/devicerecord.h"
#include "ovusbd/usb/devicereset.h"
#include "ovusbd/usb/deviceops.h"
#include "ovusbd/usb/deviceworkers.h"
#include "ovusbd/usb/urbsubmit.h"
#include "ovusbd/usb/usbfsaccess.h"
#include "ovusbd/usb/usbsys.h"

namespace {

// usbfs takes at most 30 endpoints in one streams request.
constexpr uint32_t kMaxStreamEndpoints = 30;

struct Enqueue {
  DeviceOperation* operation;
};

// Runs under the device list lock; the queue's lock nests inside it.
void appendOperation(ManagedUsbDevice* device, void* context) {
  DeviceOperation* operation = static_cast<Enqueue*>(context)->operation;
  // A device being removed takes no more work: its operation thread may
  // already have taken its stop marker. One being let go neither: the
  // unbind has already failed what was queued.
  if (device->state == DEVICE_REMOVED || device->closedToClients || !device->operationQueue) return;
  if (operation->queued) *operation->queued = 1;
  if (appendToLockedList(device->operationQueue, operation) < 0 && operation->queued) *operation->queued = 0;
}

// Live failDeviceOperationThread threads, for waitForFailedOperationThreads.
// A client can send operations to its device while it goes away faster than
// these end: beyond a few, the caller's thread completes the operation, as
// it does when no thread can be made.
constexpr unsigned kMaxFailingThreads = 4;
pthread_mutex_t failingMutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t failingEnded = PTHREAD_COND_INITIALIZER;
unsigned failingThreads = 0;

void failingThreadEnded() {
  pthread_mutex_lock(&failingMutex);
  if (--failingThreads == 0) pthread_cond_broadcast(&failingEnded);
  pthread_mutex_unlock(&failingMutex);
}

void* failDeviceOperationThread(void* argument) {
  failDeviceOperation(static_cast<DeviceOperation*>(argument));
  failingThreadEnded();
  return nullptr;
}

int ioctlResult(int result) { return result < 0 ? -1 : result; }

// Codes 0 and 2 are offered to their hooks first.
int clearHaltOperation(uint32_t address, uint32_t endpoint) {
  if (int outcome = hookOutcome(runHookForDevice("onClearHalt", address, false, nullptr, 0))) return outcome;
  return clearEndpointHalt(address, endpoint);
}

int resetEndpointOperation(uint32_t address, uint32_t endpoint) {
  if (int outcome = hookOutcome(runHookForDevice("onResetEp", address, false, nullptr, 0))) return outcome;
  return resetEndpoint(address, endpoint);
}

int streamsOperation(const DeviceOperation* operation, bool allocate) {
  uint32_t count = operation->streamEndpointCount;
  if (count > kMaxStreamEndpoints || (count && !operation->streamEndpoints)) return -EINVAL;
  size_t size = sizeof(usbdevfs_streams) + count;
  usbdevfs_streams* streams = static_cast<usbdevfs_streams*>(calloc(1, size));
  if (!streams) return -ENOMEM;
  streams->num_streams = allocate ? operation->streamCount : 0;
  streams->num_eps = count;
  if (count) memcpy(streams->eps, operation->streamEndpoints, count);
  int fd = acquireClientUsbfs(operation->address);
  int result;
  if (fd < 0) {
    result = -ENODEV;
  } else {
    result = ioctlResult(usbSys->ioctl(fd, allocate ? USBDEVFS_ALLOC_STREAMS : USBDEVFS_FREE_STREAMS, streams));
    releaseClientUsbfs(operation->address);
  }
  free(streams);
  return result;
}

int resetAndConfigure(const DeviceOperation* operation) {
  int result = resetDevice(operation->address);
  if (result == 0 && operation->configurationValue != 0) {
    result = setDeviceConfiguration(operation->address, operation->configurationValue);
  }
  for (int i = 0; result == 0 && i < operation->altSettingCount; ++i) {
    if (!operation->altSettings) break;
    result = setInterfaceAltSetting(operation->address, static_cast<uint32_t>(i), operation->altSettings[i]);
  }
  return result;
}

void completeOperation(DeviceOperation* operation, int result) {
  if (operation->completion) operation->completion(result, operation->completionContext);
}

void performOperation(DeviceOperation* operation) {
  switch (operation->code) {
    case kOpClearHalt:
      completeOperation(operation, clearHaltOperation(operation->address, operation->endpoint));
      break;
    case kOpAbortEndpoint:
      completeOperation(operation, abortEndpoint(operation->address, operation->endpoint));
      break;
    case kOpResetEndpoint:
      completeOperation(operation, resetEndpointOperation(operation->address, operation->endpoint));
      break;
    case kOpResetDevice:
      completeOperation(operation, resetDevice(operation->address));
      break;
    case kOpResetAndConfigure:
      completeOperation(operation, resetAndConfigure(operation));
      break;
    case kOpTransfer:
      submitBulkTransfer(operation);
      break;
    case kOpAllocStreams:
    case kOpFreeStreams: {
      int result = streamsOperation(operation, operation->code == kOpAllocStreams);
      if (operation->streamsCompletion) {
        operation->streamsCompletion(operation->completionContext, result, operation->connectionId);
      }
      break;
    }
    case kOpClearStall:
      abortEndpoint(operation->address, operation->endpoint);
      resetEndpointOperation(operation->address, operation->endpoint);
      clearHaltOperation(operation->address, operation->endpoint);
      completeOperation(operation, 0);
      break;
    case kOpIsoTransfer:
      submitIsoTransfer(operation);
      break;
    default:
      break;
  }
}

}  // namespace

void freeDeviceOperation(DeviceOperation* operation) {
  if (!operation) return;
  free(operation->streamEndpoints);
  free(operation);
}

void failDeviceOperation(DeviceOperation* operation) {
  switch (operation->code) {
    case kOpTransfer:
      if (operation->transferCompletion) {
        operation->transferCompletion(operation->completionContext, -ENODEV, 0, 0, 0, operation->connectionId);
      }
      break;
    case kOpIsoTransfer:
      if (operation->isoCompletion) {
        operation->isoCompletion(operation->completionContext, -ENODEV, 0, 0, 0, operation->connectionId);
      }
      break;
    case kOpAllocStreams:
    case kOpFreeStreams:
      if (operation->streamsCompletion) {
        operation->streamsCompletion(operation->completionContext, -ENODEV, operation->connectionId);
      }
      break;
    default:
      completeOperation(operation, -ENODEV);
      break;
  }
  freeDeviceOperation(operation);
}

int enqueueDeviceOperation(DeviceOperation* operation) {
  uint8_t queued = 0;
  uint8_t* callerFlag = operation->queued;
  operation->queued = &queued;
  Enqueue enqueue{operation};
  visitDevice(operation->address, appendOperation, &enqueue);
  // Once queued the operation may already be done and freed: only the
  // local flag is read from here on.
  if (queued) {
    if (callerFlag) *callerFlag = 1;
    return 1;
  }
  operation->queued = callerFlag;
  if (callerFlag) *callerFlag = 0;
  pthread_mutex_lock(&failingMutex);
  const bool threaded = failingThreads < kMaxFailingThreads;
  if (threaded) ++failingThreads;
  pthread_mutex_unlock(&failingMutex);
  if (!threaded) {
    failDeviceOperation(operation);
    return 0;
  }
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  int error = pthread_create(&thread, &attributes, failDeviceOperationThread, operation);
  pthread_attr_destroy(&attributes);
  // Without a thread the caller's thread completes it: one completion either
  // way.
  if (error) {
    failDeviceOperation(operation);
    failingThreadEnded();
  }
  return 0;
}

void waitForFailedOperationThreads() {
  pthread_mutex_lock(&failingMutex);
  while (failingThreads != 0) pthread_cond_wait(&failingEnded, &failingMutex);
  pthread_mutex_unlock(&failingMutex);
}

int queueDeviceReset(uint32_t address, OperationCompletion completion, void* context) {
  DeviceOperation* operation = static_cast<DeviceOperation*>(calloc(1, sizeof(DeviceOperation)));
  if (!operation) return -ENOMEM;
  operation->address = address;
  operation->code = kOpResetDevice;
  operation->completion = completion;
  operation->completionContext = context;
  return enqueueDeviceOperation(operation);
}

int abortEndpoint(uint32_t address, uint32_t endpoint) {
  discardInflightUrbs(address, static_cast<int>(endpoint & 0xff), "abort endpoint");
  return 0;
}

int clearEndpointHalt(uint32_t address, uint32_t endpoint) {
  int fd = acquireClientUsbfs(address);
  if (fd < 0) return -ENODEV;
  if (countInflightUrbs(address, static_cast<int>(endpoint & 0xff))) abortEndpoint(address, endpoint);
  unsigned int value = endpoint & 0xff;
  int result = ioctlResult(usbSys->ioctl(fd, USBDEVFS_CLEAR_HALT, &value));
  releaseClientUsbfs(address);
  return result;
}

int resetEndpoint(uint32_t address, uint32_t endpoint) {
  int fd = acquireClientUsbfs(address);
  if (fd < 0) return -ENODEV;
  if (countInflightUrbs(address, static_cast<int>(endpoint & 0xff))) abortEndpoint(address, endpoint);
  unsigned int value = endpoint & 0xff;
  int result = ioctlResult(usbSys->ioctl(fd, USBDEVFS_RESETEP, &value));
  releaseClientUsbfs(address);
  return result;
}

int setInterfaceAltSetting(uint32_t address, uint32_t interface, uint32_t altSetting) {
  int fd = acquireClientUsbfs(address);
  if (fd < 0) return -ENODEV;
  usbdevfs_setinterface setting{interface, altSetting};
  int result = usbSys->ioctl(fd, USBDEVFS_SETINTERFACE, &setting);
  releaseClientUsbfs(address);
  return result < 0 ? result : 0;
}

void deviceOperationThread(uint32_t* addressCopy) {
  uint32_t address = *addressCopy;
  free(addressCopy);
  LockedList* queue = nullptr;
  visitDevice(
      address, [](ManagedUsbDevice* device, void* out) { *static_cast<LockedList**>(out) = device->operationQueue; },
      &queue);
  // The queue outlives this thread: the removal joins it before destroying
  // the queue.
  if (!queue) return;
  while (DeviceOperation* operation = static_cast<DeviceOperation*>(takeFromLockedList(queue))) {
    performOperation(operation);
    freeDeviceOperation(operation);
  }
}
