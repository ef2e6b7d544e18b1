// Device operations: every USB request for a bound device but the
// synchronous control transfer and the hub requests becomes one
// DeviceOperation, appended to the operation queue of its device and carried
// out by that device's operation thread. Transfers are cut into URBs and
// finished by the reaper (urbreaper.h), which calls their completion.
//
// Every operation that is handed to enqueueDeviceOperation gets exactly one
// completion: from the operation thread, the reaper, the device's
// completion thread, the removed-device thread, or a thread of its own when
// the device is gone.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum DeviceOperationCode : uint32_t {
  kOpClearHalt = 0,
  kOpAbortEndpoint = 1,
  kOpResetEndpoint = 2,
  kOpResetDevice = 3,
  kOpResetAndConfigure = 4,
  kOpTransfer = 5,
  kOpAllocStreams = 6,
  kOpFreeStreams = 7,
  kOpClearStall = 8,
  kOpIsoTransfer = 9,
};

// Completion of codes 0-4 and 8.
typedef void (*OperationCompletion)(int result, void* context);
// Completion of codes 6 and 7.
typedef void (*StreamsCompletion)(void* context, int result, uint16_t connectionId);
// Completion of a transfer (codes 5 and 9, and the control transfer):
// `status` 0 or a negative errno, `actualLength` the bytes moved,
// `errorCount` the isochronous packets in error, `reserved` always 0.
typedef void (*TransferCompletion)(void* context, int status, int32_t actualLength, int32_t errorCount,
                                   uint32_t reserved, uint16_t connectionId);

// One request; zero-initialised, then the fields of its code filled.
struct DeviceOperation {
  uint32_t address;
  uint32_t endpoint;  // bit 7 (0x80) set = IN
  OperationCompletion completion;
  void* completionContext;  // handed back to every completion
  uint8_t configurationValue;  // code 4: configuration after the reset; 0 = none
  int8_t altSettingCount;      // code 4: interfaces 0..n-1 get altSettings[i]
  uint8_t* altSettings;        // code 4; owned by the submitter
  uint32_t code;
  uint8_t* queued;  // the submitter's flag, set to 1 once queued
  uint32_t streamCount;
  uint32_t streamEndpointCount;
  uint8_t* streamEndpoints;  // codes 6, 7: malloc'd; freed with the operation
  StreamsCompletion streamsCompletion;
  int32_t transferFlags;  // code 5: bit 1 (2) = a short IN transfer is an error
  uint8_t urbType;        // code 5: USBDEVFS_URB_TYPE_INTERRUPT or _BULK
  int32_t length;
  const uint8_t* outBuffer;
  uint8_t* inBuffer;
  uint32_t streamId;  // 0 = none
  uint16_t connectionId;
  TransferCompletion transferCompletion;
  uint16_t isoPacketCount;
  int32_t isoLength;  // sum of the packet lengths
  const uint8_t* isoOutBuffer;
  uint8_t* isoInBuffer;
  uint8_t* isoResults;        // 12 bytes per packet, written by the reaper
  const uint8_t* isoPackets;  // 12 bytes per packet: length, actual, status
  size_t isoPacketsLength;    // bytes at isoPackets
  size_t isoBufferLength;     // bytes at isoOutBuffer / isoInBuffer
  size_t isoResultsLength;    // bytes at isoResults
  size_t transferBufferLength;  // code 5: bytes at outBuffer / inBuffer
  TransferCompletion isoCompletion;
};

// Queues a malloc'd operation on its device. From here on the operation
// belongs to the device layer, which completes it exactly once and frees it
// (and its streamEndpoints). When the device is gone or being removed it is
// completed with -19 from a detached thread, or on the calling thread while
// a few such threads run already. Returns 1 when queued, 0 when it was
// failed so.
int enqueueDeviceOperation(DeviceOperation* operation);

// Builds a code-3 operation and queues it as above. Returns -ENOMEM when the
// operation could not be made (no completion is called then), else what
// enqueueDeviceOperation returns.
int queueDeviceReset(uint32_t address, OperationCompletion completion, void* context);

// Completes the operation with -19 through the completion of its kind and
// frees it. The body of the detached failDeviceOperationThread.
void failDeviceOperation(DeviceOperation* operation);

// Blocks until every failDeviceOperationThread has ended. Shutdown calls it
// so no completion runs after the lists it uses are gone.
void waitForFailedOperationThreads();

// Discards the in-flight URBs of `endpoint`; the reaper finishes them with
// their discard status. Always 0.
int abortEndpoint(uint32_t address, uint32_t endpoint);
// USBDEVFS_CLEAR_HALT after discarding the endpoint's URBs. 0 or -errno;
// -19 when the device is gone.
int clearEndpointHalt(uint32_t address, uint32_t endpoint);
// USBDEVFS_RESETEP after discarding the endpoint's URBs. 0 or -errno.
int resetEndpoint(uint32_t address, uint32_t endpoint);
// USBDEVFS_SETINTERFACE. 0 or -errno.
int setInterfaceAltSetting(uint32_t address, uint32_t interface, uint32_t altSetting);

// Frees an operation and what it owns.
void freeDeviceOperation(DeviceOperation* operation);
