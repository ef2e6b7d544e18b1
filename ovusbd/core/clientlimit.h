// How many clients the server can serve at once. Each client holds the
// descriptors of its link (one for plain TCP, two for TLS: the socket and
// the eventfd that wakes it) and four threads (transmit, receive, ping,
// watchdog); past the process's limits new clients would take the
// descriptors and threads the server itself and its present clients need.
#pragma once

#include <stdint.h>

// The limits that bound the clients; kNoLimit where there is none.
struct SystemLimits {
    uint64_t openFiles;      // RLIMIT_NOFILE, soft
    uint64_t processes;      // RLIMIT_NPROC, soft (threads count)
    uint64_t kernelThreads;  // /proc/sys/kernel/threads-max
};
constexpr uint64_t kNoLimit = UINT64_MAX;
constexpr uint32_t kThreadsPerClient = 4;
constexpr uint32_t kDescriptorsPerClient = 1;

// Reads the three limits of the running process.
SystemLimits readSystemLimits();

// Clients that fit in limits after the server's own headroom: an eighth of
// each limit, at least 64 descriptors and 64 threads (listeners, devices
// with three threads each, scripts, DNS-SD, Trovix). At least 1, at most
// 65535 (the ids are 16 bits).
uint32_t clientLimitFor(const SystemLimits& limits);
// Descriptors the links of all clients together may hold, after the same
// headroom.
uint64_t linkDescriptorBudget(const SystemLimits& limits);
