// How many connections and threads peers may make the network server hold.
// Every accepted or dialled connection holds a descriptor, and a handshake
// or a data connection a thread or two; past the process's limits a flood
// of peers would take the descriptors and threads the daemon itself needs
// (event log, configuration, stub driver nodes, control socket, listeners).
#pragma once

#include <cstdint>

struct ProcessLimits {
    uint64_t openFiles;     // RLIMIT_NOFILE, soft
    uint64_t processes;     // RLIMIT_NPROC, soft (threads count against it)
    uint64_t kernelThreads; // /proc/sys/kernel/threads-max
};
constexpr uint64_t NO_PROCESS_LIMIT = UINT64_MAX;

struct PeerLimits {
    uint32_t connections; // sockets held for peers at once
    uint32_t threads;     // detached threads of the network server at once
};

// The limits of the running process.
ProcessLimits ReadProcessLimits();

// What is left for peers after the daemon's own headroom: an eighth of each
// limit, at least 64. A data connection runs two threads. Each bound is at
// least 1 and at most 65535.
PeerLimits PeerLimitsFor(const ProcessLimits& limits);
