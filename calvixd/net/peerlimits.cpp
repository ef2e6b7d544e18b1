#include "calvixd/net/peerlimits.h"

#include <sys/resource.h>

#include <cstdio>

namespace {

constexpr uint64_t MINIMUM_HEADROOM = 64;
constexpr uint32_t THREADS_PER_PEER = 2;
constexpr uint64_t LARGEST_BOUND = 0xFFFF;

uint64_t SoftLimit(int resource)
{
    rlimit limit{};
    if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return NO_PROCESS_LIMIT;
    return static_cast<uint64_t>(limit.rlim_cur);
}

uint64_t ReadThreadsMax()
{
    FILE* file = fopen("/proc/sys/kernel/threads-max", "re");
    if (!file)
        return NO_PROCESS_LIMIT;
    unsigned long long value = 0;
    bool read = fscanf(file, "%llu", &value) == 1;
    fclose(file);
    return read && value > 0 ? static_cast<uint64_t>(value) : NO_PROCESS_LIMIT;
}

uint32_t Within(uint64_t limit, uint32_t perPeer)
{
    uint64_t peers = LARGEST_BOUND;
    if (limit != NO_PROCESS_LIMIT) {
        uint64_t headroom = limit / 8 < MINIMUM_HEADROOM ? MINIMUM_HEADROOM : limit / 8;
        peers = limit > headroom ? (limit - headroom) / perPeer : 0;
    }
    if (peers > LARGEST_BOUND)
        peers = LARGEST_BOUND;
    return peers > 0 ? static_cast<uint32_t>(peers) : 1;
}

} // namespace

ProcessLimits ReadProcessLimits()
{
    return {SoftLimit(RLIMIT_NOFILE), SoftLimit(RLIMIT_NPROC), ReadThreadsMax()};
}

PeerLimits PeerLimitsFor(const ProcessLimits& limits)
{
    uint64_t threads = limits.processes < limits.kernelThreads ? limits.processes : limits.kernelThreads;
    return {Within(limits.openFiles, 1), Within(threads, THREADS_PER_PEER)};
}
