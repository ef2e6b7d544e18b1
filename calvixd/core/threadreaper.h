// Joining with a time limit. CThread stops the program when a joinable
// thread object is destroyed while its thread still runs, and whatever the
// thread works on must outlive it. So a thread that does not end in time is
// not destroyed: it is handed, together with what it uses, to a process-wide
// list that keeps both until the thread has ended.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "sys/thread"

class CUsbCore;

class CThreadReaper {
public:
    // Joins *thread within ms. SYNC_OK: joined and deleted. Otherwise the
    // thread is left running, the object and keepAlive go to the list, and a
    // debug line (module, line, ERROR_TIMEOUT) is written through core (may
    // be null). *thread is null afterwards in every case.
    static int JoinOrAbandon(CThread** thread, int ms, std::shared_ptr<void> keepAlive, CUsbCore* core,
                             uint16_t module, uint32_t line);
    // Deletes the listed threads that have ended, and drops what they kept.
    static void Sweep();
    static size_t GetAbandonedCount();
};
