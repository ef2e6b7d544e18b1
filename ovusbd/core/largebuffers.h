// Large heap buffers kept for reuse: the buffers of large received frames
// and of large messages. A fresh buffer of a megabyte costs a page fault per
// page (the kernel zeroes each one) and its release hands the pages back, so
// a stream of large frames paid both for every frame. Released buffers stay
// in a small cache, bounded in count and in bytes, and serve the next
// request of up to their size; what does not fit is freed.
#pragma once

#include <cstddef>
#include <cstdint>

// Smaller buffers come and go through malloc, which keeps them cheaply;
// from here on a buffer is worth keeping (a 64 KiB transfer reply).
constexpr size_t kLargeBufferMinimum = 64u << 10;
// What the cache may hold at most while nobody uses it.
constexpr size_t kLargeBufferCacheBytes = 24u << 20;
constexpr size_t kLargeBufferCacheCount = 8;

// A malloc'd buffer of at least size bytes, from the cache when one fits
// (the smallest that does), else a new one (zero-filled when `zeroed`);
// null when memory runs out. *fresh (may be null) is set for a new buffer,
// cleared for a cached one, which holds old bytes.
uint8_t* takeLargeBuffer(size_t size, bool zeroed, bool* fresh);

// Frees a malloc'd buffer, or keeps it for takeLargeBuffer when it is large
// and the cache has room. Null is ignored.
void giveLargeBuffer(void* buffer);

// Buffers and bytes the cache holds now; emptying it (tests, and the end of
// the program).
size_t largeBufferCacheCount();
size_t largeBufferCacheBytes();
void emptyLargeBufferCache();
