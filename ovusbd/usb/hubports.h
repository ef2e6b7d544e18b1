// Requests to the port of a device's parent hub: port power (with the
// companion hub of a USB 2.1 hub), port status and the hub-class requests
// of clients, each on a short detached thread so that a slow hub never
// blocks a client's receive thread; a few such threads at most.
//
// The threads read the record only through deviceList and count themselves
// as users of the device's descriptors while they call the hub, so the
// removal never closes the hub descriptor under them.
#pragma once

#include <stdint.h>

// USB 2.0 hub port status bits.
constexpr uint16_t kPortConnection = 0x0001;
constexpr uint16_t kPortEnable = 0x0002;
constexpr uint16_t kPortPower = 0x0100;
constexpr uint16_t kPortLowSpeed = 0x0200;
constexpr uint16_t kPortHighSpeed = 0x0400;

// Hub-class port features (USB 2.0 11.24.2).
constexpr uint16_t kPortFeaturePower = 8;

// Time-out of every request to a hub, in milliseconds.
constexpr unsigned kHubRequestTimeoutMs = 2000;

// A control request through usbfs (USBDEVFS_CONTROL) on a hub's descriptor:
// the bytes moved, or -errno. Blocks up to timeoutMs.
int hubControl(int fd, uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint16_t length,
               void* data, unsigned timeoutMs = kHubRequestTimeoutMs);

// The status a port without a hub descriptor reports, from the device's
// speed code: connected, enabled, powered, and the speed bits.
uint16_t emulatedPortStatus(uint8_t speed);

// Switches the device's own hub port on or off: on, the companion hub's port
// first (and 500 ms to settle), then the own; off, the own first. Returns the
// result of the request to the own hub: -19 when the device is not found,
// -1 when it has no hub descriptor or the request failed, else 0.
int setPortPower(uint32_t address, bool on);

// Power-cycles the device's port: off, two seconds, on. Returns the first
// negative result of the two switches, else 0. Blocks the calling thread.
int powerCycleDevicePort(uint32_t address);

typedef void (*HubRequestCompletion)(int result, void* context);

// Requests of the detached threads. The caller allocates one with malloc
// and hands it over; the thread calls `completion` exactly once and frees
// the request (not what its pointers point to).
struct PortStatusRequest {
  uint32_t address;
  uint8_t* status;  // 2 bytes: the port status word, little-endian
  HubRequestCompletion completion;
  void* context;
};

struct PortPowerRequest {
  uint32_t address;
  uint8_t on;
  HubRequestCompletion completion;
  void* context;
};

struct HubClassRequest {
  uint32_t address;
  uint8_t setup[8];        // bmRequestType, bRequest, wValue, wIndex, wLength
  const uint8_t* outData;  // wLength bytes for host-to-device, else null
  uint8_t* inData;         // room for wLength bytes for device-to-host
  HubRequestCompletion completion;
  void* context;
};

// Start the threads of messages 20, 48 and 59. When no thread can be made
// the request is carried out on the calling thread. When hubRequestThreads
// (UsbSettings) already run, the request is completed at once with -EBUSY
// and -EBUSY returned; else 0. One completion either way.
int startPortStatusThread(PortStatusRequest* request);
int startPortPowerThread(PortPowerRequest* request);
int startHubRequestThread(HubClassRequest* request);

// Blocks until every thread started above has ended. Shutdown calls it so
// no completion runs after the lists it uses are gone.
void waitForHubRequestThreads();
