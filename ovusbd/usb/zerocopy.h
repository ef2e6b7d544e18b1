// Transfer buffers, mapped from the device's usbfs node where the device
// allows it (the kernel then moves the data without a bounce buffer) and
// ordinary heap buffers otherwise. Mapped buffers stay in a pool and are
// reused for the same endpoint of the same device; a collector unmaps those
// that stay unused.
#pragma once

#include <stddef.h>
#include <stdint.h>

// In front of every buffer handed out; callers see the address after it.
struct alignas(16) UrbBufferHeader {
  uint8_t mapped;    // 1: in a usbfs mapping; 0: heap
  uint32_t address;  // device address (mapped only)
  uint8_t endpoint;  // (mapped only)
  uint32_t size;     // usable bytes after the header
  // Mapped buffers, guarded by the pool's lock:
  uint8_t inUse;
  uint8_t idleMark;  // set by one collector pass; the next unmaps it
};

// A buffer of at least `size` bytes; never null while memory lasts (null
// only when even the heap is out). Below `minSize` (when not 0), or when the
// device cannot map, it is a zero-filled heap buffer. A mapping refused with
// EACCES turns zero copy off for the device. Takes the device list lock and
// then the pool's. The caller gives it back with releaseUrbBuffer.
uint8_t* acquireUrbBuffer(uint32_t address, uint8_t endpoint, uint32_t size, uint32_t minSize);

// Gives a buffer back: a heap buffer is freed, a mapped one returns to the
// pool (also when its device has gone; the collector unmaps it). Null is
// ignored.
void releaseUrbBuffer(uint32_t address, uint8_t* buffer);

// For callers with a heap of their own (the transfer reply messages): only
// a mapped buffer, or null where acquireUrbBuffer would hand out a heap one
// (below `minSize`, device gone or not able to map, mapping refused). Same
// locks and EACCES rule as acquireUrbBuffer.
uint8_t* acquireMappedUrbBuffer(uint32_t address, uint8_t endpoint, uint32_t size, uint32_t minSize);

// Gives back a buffer of acquireMappedUrbBuffer. False, with nothing done,
// for any other buffer: it is found by its address among the pool's
// mappings, the memory in front of it is never read.
bool releaseMappedUrbBuffer(uint8_t* buffer);

// The collector: one pass every two collectorSleepMs; a buffer unused for
// two passes is unmapped. Started and stopped with the device layer's
// service threads; the stop unmaps every pool entry.
int startZeroCopyCollector();
void stopZeroCopyCollector();

// Mapped buffers in the pool, and those of them in use.
size_t zeroCopyPoolCount();
size_t zeroCopyPoolInUse();
