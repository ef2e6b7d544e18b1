// Rewrites of two standard descriptor replies for devices behind a hub that
// reports a Container ID, so that a client groups the device with its hub:
// the device descriptor claims USB 2.1 (a BOS descriptor exists from 2.01
// on) and the BOS descriptor carries the hub's Container ID. Pure functions
// of the reply bytes; the caller logs what they report.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The device descriptor reply: bcdUSB below 0x0201 becomes 0x0210 when the
// reply holds bcdUSB (bytes 2 and 3).
void patchDeviceDescriptor(uint8_t* reply, int32_t actualLength);

enum class BosPatch {
  Unchanged,           // passed through as it was
  Synthesised,         // a stall became a BOS of the hub's Container ID
  UnexpectedLength,    // a stall, but wLength 6..24: "Unexpected BOS request length %d bytes"
  Appended,            // the Container ID capability was added
  SameContainerId,     // the device has the hub's Container ID already
  ContainerConflict,   // "Device container Cap conflict!"
  NoRoom,              // "Need to append BOS container id but no more space!"
  Malformed,           // the device's BOS does not hold together; left alone
};

// The BOS descriptor reply of a GET_DESCRIPTOR(BOS) with `wLength`. `reply`
// holds `wLength` bytes. `status` and `actualLength` are the transfer's and
// may be changed. Only a stall (-EPIPE: the device has no BOS) is answered
// for the device; every other failure passes through.
BosPatch patchBosDescriptor(uint8_t* reply, uint16_t wLength, int32_t* status, int32_t* actualLength,
                            const uint8_t containerId[16]);
