// Reads a whole list from the client API: a size query, then a copy into a
// buffer of exactly that size. Another client may change the list between
// the two requests; a copy that finds the list grown (122 or 299) is retried
// with a fresh size query a few times, so the buffer never holds a list cut
// short and nothing is written past it.
#pragma once

#include <cstdint>
#include <new>
#include <vector>

#include "calvix/api.h"
#include "calvix/controlwire.h"

constexpr int kListRetries = 3;

// query(buffer, &size) is the API call: a null buffer asks for the size.
// On success items holds the list (elements of T, plus extra spare bytes'
// worth of room left zeroed behind size bytes) and size its byte length.
template <typename T, typename Query>
bool ReadListWithRetry(Query query, std::vector<T>& items, uint32_t* byteSize = nullptr, size_t extraBytes = 0)
{
    for (int attempt = 0; attempt <= kListRetries; ++attempt) {
        uint32_t size = 0;
        if (!query(nullptr, &size))
            return false;
        size_t bytes = size + extraBytes;
        try {
            // One element more than needed: the buffer is never null, so the
            // second call copies rather than asks for the size again.
            items.assign(bytes / sizeof(T) + 1, T{});
        } catch (std::bad_alloc&) {
            ApiSetLastError(API_ERROR_NOT_ENOUGH_MEMORY, MODULE_CLIENTAPI << 16 | __LINE__);
            return false;
        }
        uint32_t copied = size;
        if (query(items.data(), &copied)) {
            if (byteSize)
                *byteSize = copied;
            else
                items.resize(copied / sizeof(T));
            return true;
        }
        uint32_t error = ApiGetLastError(nullptr);
        if (error != API_ERROR_PARTIAL_COPY && error != API_ERROR_INSUFFICIENT_BUFFER)
            return false;
    }
    return false;
}
