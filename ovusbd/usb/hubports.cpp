#include "ovusbd/usb/hubports.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include "ovusbd/core/log.h"
#include "ovusbd/core/util.h"
#include "ovusbd/usb/devicerecord.h"
#include "ovusbd/usb/usbfsaccess.h"
#include "ovusbd/usb/usbsettings.h"
#include "ovusbd/usb/usbsys.h"

namespace {

// bmRequestType of hub-class requests to a port (USB 2.0 11.24.2).
constexpr uint8_t kPortRequestOut = 0x23;
constexpr uint8_t kPortRequestIn = 0xA3;
constexpr uint8_t kRequestGetStatus = 0;
constexpr uint8_t kRequestClearFeature = 1;
constexpr uint8_t kRequestSetFeature = 3;
constexpr uint8_t kRequestGetDescriptor = 6;
constexpr uint8_t kRequestGetPortErrorCount = 13;  // USB 3.0 10.14.2.5
constexpr uint8_t kDirectionIn = 0x80;
constexpr uint8_t kRequestTypeMask = 0x60;
constexpr uint8_t kRequestTypeClass = 0x20;
constexpr uint8_t kRecipientMask = 0x1f;
constexpr uint8_t kRecipientDevice = 0;
constexpr uint8_t kRecipientOther = 3;

// What a hub request needs of the record, copied under the list lock.
struct HubAccess {
  bool found;
  int hubFd;  // -1 when the device has none
  uint8_t port;
  uint8_t speed;
  char companion[255];
};

// Counts the caller as a user of the device's descriptors while it holds
// the hub descriptor: the removal closes them only once no user is left.
void acquireHubAccess(uint32_t address, HubAccess* access) {
  *access = HubAccess{false, -1, 0, 0, {}};
  visitDevice(
      address,
      [](ManagedUsbDevice* device, void* out) {
        HubAccess* access = static_cast<HubAccess*>(out);
        if (device->state == DEVICE_REMOVED) return;
        access->found = true;
        access->port = device->port;
        access->speed = device->speed;
        memcpy(access->companion, device->companionHubPath, sizeof access->companion);
        access->companion[sizeof access->companion - 1] = '\0';
        if (device->hubFd >= 0) {
          access->hubFd = device->hubFd;
          ++device->usbfsUsers;
        }
      },
      access);
}

void releaseHubAccess(uint32_t address, HubAccess* access) {
  if (access->hubFd >= 0) releaseUsbfs(address, access->hubFd);
  access->hubFd = -1;
}

int portPowerRequest(int fd, uint8_t port, bool on) {
  return hubControl(fd, kPortRequestOut, on ? kRequestSetFeature : kRequestClearFeature, kPortFeaturePower, port, 0,
                    nullptr);
}

const char* onOff(bool on) { return on ? "on" : "off"; }

// The companion hub is opened by its path for each request: it is not a
// descriptor the record keeps.
void powerCompanionPort(const char* path, uint8_t port, bool on) {
  if (path[0] == '\0') return;
  int fd = usbSys->open(path, O_WRONLY, 0);
  if (fd < 0) {
    if (fd != -ENOENT) {
      logMessage(6, "Error %d opening companion hub %s to power %s port %d, %s", -fd, path, onOff(on), port,
                 strerror(-fd));
    }
    return;
  }
  int result = portPowerRequest(fd, port, on);
  if (result < 0 && result != -ENOENT) {
    logMessage(6, "Error %d powering %s companion hub %s port %d, %s", -result, onOff(on), path, port,
               strerror(-result));
  }
  usbSys->close(fd);
  // The USB 3 half must be up before the USB 2 port powers, or the device
  // comes up on the wrong half.
  if (result >= 0 && on) sleepMilliseconds(static_cast<unsigned>(usbSettings().companionPowerOnWaitMs));
}

// Live detached threads, for waitForHubRequestThreads.
pthread_mutex_t threadsMutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t threadsEnded = PTHREAD_COND_INITIALIZER;
unsigned liveThreads = 0;

void threadEnded() {
  pthread_mutex_lock(&threadsMutex);
  if (--liveThreads == 0) pthread_cond_broadcast(&threadsEnded);
  pthread_mutex_unlock(&threadsMutex);
}

void runPortStatus(PortStatusRequest* request) {
  HubAccess access;
  acquireHubAccess(request->address, &access);
  uint16_t status = 0;
  int result = -ENODEV;
  if (access.found && access.hubFd < 0) {
    status = emulatedPortStatus(access.speed);
  } else if (access.found) {
    uint8_t reply[4] = {};
    result = hubControl(access.hubFd, kPortRequestIn, kRequestGetStatus, 0, access.port, sizeof reply, reply);
    if (result < 0) {
      result = -1;
    } else {
      status = static_cast<uint16_t>(reply[0] | reply[1] << 8);
    }
  }
  releaseHubAccess(request->address, &access);
  request->status[0] = static_cast<uint8_t>(status & 0xff);
  request->status[1] = static_cast<uint8_t>(status >> 8);
  request->completion(result, request->context);
  free(request);
}

void runPortPower(PortPowerRequest* request) {
  request->completion(setPortPower(request->address, request->on != 0), request->context);
  free(request);
}

// A client reaches its device's own port and nothing else of the hub. A
// port request (recipient "other": GET_STATUS, CLEAR_FEATURE, SET_FEATURE,
// GET_PORT_ERR_COUNT) names the port in the low byte of wIndex (the high
// byte carries a selector for some features): it always goes to the
// device's own port, whatever port the client named. Of the requests to the
// hub itself only the reads of its status and descriptor pass, with wIndex
// 0; the rest change what every port shares (the hub's change bits the host's
// hub driver waits on, a USB 3 hub's depth, the transaction translator that
// serves every full- and low-speed device behind it). Standard and vendor
// requests to the hub are not the client's to make either.
bool prepareHubClassSetup(uint8_t setup[8], uint8_t port) {
  if ((setup[0] & kRequestTypeMask) != kRequestTypeClass) return false;
  const uint8_t recipient = setup[0] & kRecipientMask;
  const bool in = (setup[0] & kDirectionIn) != 0;
  if (recipient == kRecipientOther) {
    const bool portRequest = in ? setup[1] == kRequestGetStatus || setup[1] == kRequestGetPortErrorCount
                                : setup[1] == kRequestClearFeature || setup[1] == kRequestSetFeature;
    if (!portRequest) return false;
    setup[4] = port;
    return true;
  }
  if (recipient == kRecipientDevice && in && (setup[1] == kRequestGetStatus || setup[1] == kRequestGetDescriptor)) {
    setup[4] = setup[5] = 0;
    return true;
  }
  return false;
}

void runHubRequest(HubClassRequest* request) {
  HubAccess access;
  acquireHubAccess(request->address, &access);
  int result = 0;
  uint8_t setup[8];
  memcpy(setup, request->setup, sizeof setup);
  if (!access.found) {
    result = -ENODEV;
  } else if (!prepareHubClassSetup(setup, access.port)) {
    result = -1;
  } else if (access.hubFd >= 0) {
    uint16_t value, index, length;
    memcpy(&value, setup + 2, 2);
    memcpy(&index, setup + 4, 2);
    memcpy(&length, setup + 6, 2);
    void* data = (setup[0] & 0x80) ? static_cast<void*>(request->inData) : const_cast<uint8_t*>(request->outData);
    result = hubControl(access.hubFd, setup[0], setup[1], value, index, length, data);
    if (result < 0) result = -1;
  }
  releaseHubAccess(request->address, &access);
  request->completion(result, request->context);
  free(request);
}

struct ThreadStart {
  void (*run)(void*);
  void* request;
};

void* hubThread(void* argument) {
  ThreadStart start = *static_cast<ThreadStart*>(argument);
  free(argument);
  start.run(start.request);
  threadEnded();
  return nullptr;
}

// 0 once the request is on its thread (or, without a thread, carried out);
// -EBUSY, completed with -EBUSY, when hubRequestThreads already run.
int startDetached(void (*run)(void*), void (*refuse)(void*), void* request) {
  pthread_mutex_lock(&threadsMutex);
  const bool admitted = liveThreads < usbSettings().hubRequestThreads;
  if (admitted) ++liveThreads;
  pthread_mutex_unlock(&threadsMutex);
  if (!admitted) {
    refuse(request);
    return -EBUSY;
  }
  ThreadStart* start = static_cast<ThreadStart*>(malloc(sizeof(ThreadStart)));
  int error = ENOMEM;
  if (start) {
    *start = ThreadStart{run, request};
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    error = pthread_create(&thread, &attributes, hubThread, start);
    pthread_attr_destroy(&attributes);
  }
  if (error == 0) return 0;
  free(start);
  logMessage(4, "Warning, error %d starting a hub request thread, %s; serving it at once", error, strerror(error));
  run(request);
  threadEnded();
  return 0;
}

template <typename Request>
void refuseBusy(void* r) {
  Request* request = static_cast<Request*>(r);
  request->completion(-EBUSY, request->context);
  free(request);
}

}  // namespace

int hubControl(int fd, uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint16_t length,
               void* data, unsigned timeoutMs) {
  usbdevfs_ctrltransfer transfer = {};
  transfer.bRequestType = requestType;
  transfer.bRequest = request;
  transfer.wValue = value;
  transfer.wIndex = index;
  transfer.wLength = length;
  transfer.timeout = timeoutMs;
  transfer.data = length ? data : nullptr;
  return usbSys->ioctl(fd, USBDEVFS_CONTROL, &transfer);
}

uint16_t emulatedPortStatus(uint8_t speed) {
  uint16_t status = kPortConnection | kPortEnable | kPortPower;
  if (speed == 0) status |= kPortLowSpeed;
  if (speed == 2) status |= kPortHighSpeed;
  return status;
}

int setPortPower(uint32_t address, bool on) {
  HubAccess access;
  acquireHubAccess(address, &access);
  if (!access.found) return -ENODEV;
  if (on) powerCompanionPort(access.companion, access.port, true);
  int result = -1;
  if (access.hubFd >= 0) {
    result = portPowerRequest(access.hubFd, access.port, on) < 0 ? -1 : 0;
    releaseHubAccess(address, &access);
  }
  if (!on) powerCompanionPort(access.companion, access.port, false);
  return result;
}

int powerCycleDevicePort(uint32_t address) {
  int off = setPortPower(address, false);
  sleepMilliseconds(static_cast<unsigned>(usbSettings().powerCycleOffMs));
  int on = setPortPower(address, true);
  return off < 0 ? off : on;
}

int startPortStatusThread(PortStatusRequest* request) {
  return startDetached([](void* r) { runPortStatus(static_cast<PortStatusRequest*>(r)); },
                       refuseBusy<PortStatusRequest>, request);
}

int startPortPowerThread(PortPowerRequest* request) {
  return startDetached([](void* r) { runPortPower(static_cast<PortPowerRequest*>(r)); },
                       refuseBusy<PortPowerRequest>, request);
}

int startHubRequestThread(HubClassRequest* request) {
  return startDetached([](void* r) { runHubRequest(static_cast<HubClassRequest*>(r)); },
                       refuseBusy<HubClassRequest>, request);
}

void waitForHubRequestThreads() {
  pthread_mutex_lock(&threadsMutex);
  while (liveThreads != 0) pthread_cond_wait(&threadsEnded, &threadsMutex);
  pthread_mutex_unlock(&threadsMutex);
}
