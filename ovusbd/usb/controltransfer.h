// The device side of a synchronous control transfer: the data stage cut
// into control URBs of at most bulkUrbSize bytes, each guarded by a
// watchdog, reaped and completed like any transfer.
#pragma once

#include <stdint.h>

#include "ovusbd/usb/deviceops.h"

// `setup` is the 8-byte setup packet (its wLength is the transfer's
// length); `outData` holds wLength bytes for host-to-device requests,
// `inBuffer` room for wLength bytes for device-to-host ones. Bit 1 of
// `transferFlags` makes a short IN transfer an error. The completion is
// called exactly once: by the reaper, the completion thread or, when the
// device is gone, the removed-device thread; or here, at once, with -EBUSY
// when the device already has controlTransfersPerDevice transfers in flight
// (the result is then -EBUSY too, so the caller can log the refusal). The
// buffers must stay valid until the completion. Returns 0 otherwise.
int submitControlTransfer(uint32_t address, uint8_t endpoint, const uint8_t setup[8], const uint8_t* outData,
                           uint8_t* inBuffer, int32_t transferFlags, TransferCompletion completion, void* context,
                           uint16_t connectionId);
