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
  bool direct;  // the submitter performs it itself
};

// Transfers only: their submission never waits for the device, so the
// submitter (a client's receive thread) can make it on its way. Everything
// else may run hooks or wait for the device and stays on the operation
// thread.
bool performedDirectly(uint32_t code) { return code == kOpTransfer || code == kOpIsoTransfer; }

// Runs under the device list lock; the queue's lock nests inside it.
void appendOperation(ManagedUsbDevice* device, void* context) {
  Enqueue* enqueue = static_cast<Enqueue*>(context);
  DeviceOperation* operation = enqueue->operation;
  // A device being removed takes no more work: its operation thread may
  // already have taken its stop marker. One being let go neither: the
  // unbind has already failed what was queued.
  if (device->state == DEVICE_REMOVED || device->closedToClients || !device->operationQueue) return;
  // Nothing queued and nothing running: no earlier operation can be
  // overtaken, and later ones queue behind this one until it is done.
  if (performedDirectly(operation->code) && !device->operationRunning &&
      countLockedList(device->operationQueue) == 0) {
    device->operationRunning = 1;
    // Held as client work (acquireClientUsbfs) until the running mark is
    // cleared: neither an unbind nor the removal gets past this run, so the
    // record whose mark is cleared is still this device's.
    ++device->usbfsUsers;
    ++device->clientUsers;
    enqueue->direct = true;
    if (operation->queued) *operation->queued = 1;
    return;
  }
  if (operation->queued) *operation->queued = 1;
  if (appendToLockedList(device->operationQueue, operation) < 0 && operation->queued) *operation->queued = 0;
}

// The operation thread waits here while a submitter performs an operation
// of its device; every end of one broadcasts.
pthread_mutex_t runningMutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t runningEnded = PTHREAD_COND_INITIALIZER;

void endRunning(uint32_t address) {
  visitDevice(
      address, [](ManagedUsbDevice* device, void*) { device->operationRunning = 0; }, nullptr);
  pthread_mutex_lock(&runningMutex);
  pthread_cond_broadcast(&runningEnded);
  pthread_mutex_unlock(&runningMutex);
}

struct Claim {
  bool running;  // a submitter performs one now
  bool taken;
  void* item;
};

// The queue's head becomes the running operation, unless one runs already
// (then the caller waits for its end; a submitter's run never waits for the
// device). The stop marker is taken the same way.
void claimNext(ManagedUsbDevice* device, void* context) {
  Claim* claim = static_cast<Claim*>(context);
  if (!device->operationQueue) return;
  if (device->operationRunning) {
    claim->running = true;
    return;
  }
  claim->taken = takeFirstIfAny(device->operationQueue, &claim->item);
  if (claim->taken && claim->item) device->operationRunning = 1;
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
    releaseClientUsbfs(operation->address, fd);
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
  Enqueue enqueue{operation, false};
  const uint32_t address = operation->address;
  visitDevice(address, appendOperation, &enqueue);
  if (enqueue.direct) {
    operation->queued = callerFlag;
    if (callerFlag) *callerFlag = 1;
    performOperation(operation);
    freeDeviceOperation(operation);
    endRunning(address);
    // The run's hold took no descriptor.
    releaseClientUsbfs(address, -1);
    return 1;
  }
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
  releaseClientUsbfs(address, fd);
  return result;
}

int resetEndpoint(uint32_t address, uint32_t endpoint) {
  int fd = acquireClientUsbfs(address);
  if (fd < 0) return -ENODEV;
  if (countInflightUrbs(address, static_cast<int>(endpoint & 0xff))) abortEndpoint(address, endpoint);
  unsigned int value = endpoint & 0xff;
  int result = ioctlResult(usbSys->ioctl(fd, USBDEVFS_RESETEP, &value));
  releaseClientUsbfs(address, fd);
  return result;
}

int setInterfaceAltSetting(uint32_t address, uint32_t interface, uint32_t altSetting) {
  int fd = acquireClientUsbfs(address);
  if (fd < 0) return -ENODEV;
  usbdevfs_setinterface setting{interface, altSetting};
  int result = usbSys->ioctl(fd, USBDEVFS_SETINTERFACE, &setting);
  releaseClientUsbfs(address, fd);
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
  for (;;) {
    // The head stays queued until it is claimed, so no submitter performs
    // a later operation before it.
    waitForFirstInLockedList(queue);
    Claim claim{false, false, nullptr};
    pthread_mutex_lock(&runningMutex);
    for (;;) {
      claim = Claim{false, false, nullptr};
      if (!visitDevice(address, claimNext, &claim)) {
        // Not listed any more: only the stop marker can still come.
        claim.taken = takeFirstIfAny(queue, &claim.item);
      }
      if (!claim.running) break;
      pthread_cond_wait(&runningEnded, &runningMutex);
    }
    pthread_mutex_unlock(&runningMutex);
    // An unbind may have taken the queue's operations out meanwhile.
    if (!claim.taken) continue;
    DeviceOperation* operation = static_cast<DeviceOperation*>(claim.item);
    if (!operation) break;
    performOperation(operation);
    freeDeviceOperation(operation);
    endRunning(address);
  }
}
