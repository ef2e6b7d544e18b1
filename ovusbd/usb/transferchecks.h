// Checks of a client's transfer request before anything is submitted: pure
// functions of the request's numbers and the sizes of the buffers it came
// with. Each returns 0, or -EINVAL (-22) when the kernel would be told to
// read or write outside the buffers.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Bulk and interrupt: a length from 0 to the buffer's size, URB type
// interrupt (1) or bulk (3), or bulk by its stream id.
int validateBulkRequest(int32_t length, size_t bufferLength, uint8_t urbType, uint32_t streamId);

// Isochronous, checked in this order: 1 <= packetCount <= 65535; the
// 12-byte packet descriptors fit `descriptorBytes` and the results fit
// `resultBytes`; no packet exceeds urbSize; the packet lengths sum to
// totalLength; totalLength fits the data buffer.
int validateIsoRequest(uint32_t packetCount, const uint8_t* descriptors, size_t descriptorBytes,
                       size_t resultBytes, int32_t totalLength, size_t bufferLength, uint32_t urbSize);

// The length of packet i of the 12-byte descriptors (u32 length, actual,
// status; host order, as usbfs takes them).
uint32_t isoPacketLength(const uint8_t* descriptors, uint32_t index);
