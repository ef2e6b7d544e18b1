#include "ovusbd/core/clientlimit.h"

#include <stdio.h>
#include <sys/resource.h>

namespace {

constexpr uint64_t kMinimumHeadroom = 64;

uint64_t softLimit(int resource) {
    rlimit limit{};
    if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return kNoLimit;
    }
    return uint64_t(limit.rlim_cur);
}

uint64_t readThreadsMax() {
    FILE* file = fopen("/proc/sys/kernel/threads-max", "re");
    if (file == nullptr) {
        return kNoLimit;
    }
    unsigned long long value = 0;
    const bool read = fscanf(file, "%llu", &value) == 1;
    fclose(file);
    return read && value > 0 ? uint64_t(value) : kNoLimit;
}

// Clients that fit in limit when each needs perClient of it.
uint64_t clientsWithin(uint64_t limit, uint32_t perClient) {
    if (limit == kNoLimit) {
        return kNoLimit;
    }
    uint64_t headroom = limit / 8;
    if (headroom < kMinimumHeadroom) {
        headroom = kMinimumHeadroom;
    }
    return limit > headroom ? (limit - headroom) / perClient : 0;
}

} // namespace

SystemLimits readSystemLimits() {
    return {softLimit(RLIMIT_NOFILE), softLimit(RLIMIT_NPROC), readThreadsMax()};
}

uint64_t linkDescriptorBudget(const SystemLimits& limits) {
    return clientsWithin(limits.openFiles, 1);
}

uint32_t clientLimitFor(const SystemLimits& limits) {
    const uint64_t threads = limits.processes < limits.kernelThreads ? limits.processes : limits.kernelThreads;
    uint64_t clients = clientsWithin(limits.openFiles, kDescriptorsPerClient);
    const uint64_t byThreads = clientsWithin(threads, kThreadsPerClient);
    if (byThreads < clients) {
        clients = byThreads;
    }
    if (clients > 0xFFFF) {
        clients = 0xFFFF;
    }
    return clients > 0 ? uint32_t(clients) : 1;
}
