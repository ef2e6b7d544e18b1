#include "ovusbd/core/largebuffers.h"

#include <malloc.h>
#include <pthread.h>

#include <cstdlib>

namespace {

struct Cached {
    void* buffer;
    size_t size;  // malloc_usable_size
};

pthread_mutex_t cacheMutex = PTHREAD_MUTEX_INITIALIZER;
Cached cache[kLargeBufferCacheCount];
size_t cachedCount = 0;  // entries 0..cachedCount-1 are set
size_t cachedBytes = 0;

} // namespace

uint8_t* takeLargeBuffer(size_t size, bool zeroed, bool* fresh) {
    if (size >= kLargeBufferMinimum) {
        pthread_mutex_lock(&cacheMutex);
        size_t best = cachedCount;
        for (size_t i = 0; i < cachedCount; i++) {
            if (cache[i].size >= size && (best == cachedCount || cache[i].size < cache[best].size)) {
                best = i;
            }
        }
        void* found = nullptr;
        if (best != cachedCount) {
            found = cache[best].buffer;
            cachedBytes -= cache[best].size;
            cache[best] = cache[--cachedCount];
        }
        pthread_mutex_unlock(&cacheMutex);
        if (found != nullptr) {
            if (fresh != nullptr) {
                *fresh = false;
            }
            return static_cast<uint8_t*>(found);
        }
    }
    if (fresh != nullptr) {
        *fresh = true;
    }
    return static_cast<uint8_t*>(zeroed ? calloc(1, size) : malloc(size));
}

void giveLargeBuffer(void* buffer) {
    if (buffer == nullptr) {
        return;
    }
    const size_t size = malloc_usable_size(buffer);
    if (size >= kLargeBufferMinimum && size <= kLargeBufferCacheBytes) {
        pthread_mutex_lock(&cacheMutex);
        const bool kept = cachedCount < kLargeBufferCacheCount && cachedBytes + size <= kLargeBufferCacheBytes;
        if (kept) {
            cache[cachedCount++] = Cached{buffer, size};
            cachedBytes += size;
        }
        pthread_mutex_unlock(&cacheMutex);
        if (kept) {
            return;
        }
    }
    free(buffer);
}

size_t largeBufferCacheCount() {
    pthread_mutex_lock(&cacheMutex);
    const size_t count = cachedCount;
    pthread_mutex_unlock(&cacheMutex);
    return count;
}

size_t largeBufferCacheBytes() {
    pthread_mutex_lock(&cacheMutex);
    const size_t bytes = cachedBytes;
    pthread_mutex_unlock(&cacheMutex);
    return bytes;
}

void emptyLargeBufferCache() {
    pthread_mutex_lock(&cacheMutex);
    while (cachedCount > 0) {
        free(cache[--cachedCount].buffer);
    }
    cachedBytes = 0;
    pthread_mutex_unlock(&cacheMutex);
}
