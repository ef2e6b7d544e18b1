#include "ovusbd/core/connectionlog.h"

#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <time.h>

#include "ovusbd/core/log.h"
#include "ovusbd/core/logbursttable.h"
#include "ovusbd/core/util.h"

namespace {

// Guards table, counting and stopping. Never held while a record is
// written: logMutex may wait on a slow log target.
pthread_mutex_t burstMutex = PTHREAD_MUTEX_INITIALIZER;
LogBurstTable table;
bool counting = false;
bool stopping = false;
pthread_cond_t flusherWake;  // CLOCK_MONOTONIC; made by start
pthread_t flusher;
int64_t tickMs = 1000;

int64_t nowMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void writeReports(const LogBurstReport* reports, size_t count) {
    for (size_t i = 0; i < count; i++) {
        const LogBurstReport& r = reports[i];
        if (r.format != nullptr && r.bySource) {
            char source[64];
            formatPeerSource(r.source, source, sizeof source);
            logMessage(r.level, "Peer %s: %u more records like \"%s\" not logged", source, r.count, r.format);
        } else if (r.format == nullptr) {
            logMessage(r.level, "%u log records of further connections not logged: too many connections at once",
                       r.count);
        } else {
            logMessage(r.level, "Connection %u: %u more records like \"%s\" not logged", r.connectionId, r.count,
                       r.format);
        }
    }
}

void* flusherThread(void*) {
    LogBurstReport reports[kLogBurstSlots + 1];
    pthread_mutex_lock(&burstMutex);
    while (!stopping) {
        const timespec deadline = monotonicDeadline(long(tickMs));
        pthread_cond_timedwait(&flusherWake, &burstMutex, &deadline);
        const size_t count = sweepLogBursts(&table, nowMs(), reports, kLogBurstSlots + 1);
        pthread_mutex_unlock(&burstMutex);
        writeReports(reports, count);
        pthread_mutex_lock(&burstMutex);
    }
    pthread_mutex_unlock(&burstMutex);
    return nullptr;
}

// Stops counting, logs every count still held and frees the flusher's
// condition (its thread is not running).
void endCounting() {
    LogBurstReport reports[kLogBurstSlots + 1];
    pthread_mutex_lock(&burstMutex);
    counting = false;
    const size_t count = releaseAllLogBursts(&table, reports, kLogBurstSlots + 1);
    pthread_mutex_unlock(&burstMutex);
    pthread_cond_destroy(&flusherWake);
    writeReports(reports, count);
}

} // namespace

void logConnectionMessage(uint16_t connectionId, int level, const char* format, ...) {
    LogBurstReport report = {};
    bool write = true;
    pthread_mutex_lock(&burstMutex);
    if (counting) {
        write = admitLogRecord(&table, connectionId, level, format, nowMs(), &report);
    }
    pthread_mutex_unlock(&burstMutex);
    if (report.count > 0) {
        writeReports(&report, 1);
    }
    if (write) {
        va_list arguments;
        va_start(arguments, format);
        writeLogRecord(level, format, arguments);
        va_end(arguments);
    }
}

void logPeerMessage(const PeerSource& source, int level, const char* format, ...) {
    LogBurstReport report = {};
    bool write = true;
    pthread_mutex_lock(&burstMutex);
    if (counting) {
        write = admitSourceLogRecord(&table, source, level, format, nowMs(), &report);
    }
    pthread_mutex_unlock(&burstMutex);
    if (report.count > 0) {
        writeReports(&report, 1);
    }
    if (write) {
        va_list arguments;
        va_start(arguments, format);
        writeLogRecord(level, format, arguments);
        va_end(arguments);
    }
}

void flushConnectionLog(uint16_t connectionId) {
    LogBurstReport reports[kLogBurstSlots];
    pthread_mutex_lock(&burstMutex);
    const size_t count = releaseConnectionLogBursts(&table, connectionId, reports, kLogBurstSlots);
    pthread_mutex_unlock(&burstMutex);
    writeReports(reports, count);
}

int startConnectionLog(uint32_t linesPerWindow, uint32_t windowMs) {
    pthread_mutex_lock(&burstMutex);
    const bool running = counting;
    pthread_mutex_unlock(&burstMutex);
    if (running) {
        return -EALREADY;
    }
    pthread_condattr_t attributes;
    if (pthread_condattr_init(&attributes) != 0) {
        return -ENOMEM;
    }
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    const int made = pthread_cond_init(&flusherWake, &attributes);
    pthread_condattr_destroy(&attributes);
    if (made != 0) {
        return -made;
    }
    pthread_mutex_lock(&burstMutex);
    initLogBurstTable(&table, linesPerWindow, windowMs);
    // A tick of at most a second: a count is logged soon after its window.
    tickMs = windowMs < 1000 ? (windowMs > 0 ? windowMs : 1) : 1000;
    stopping = false;
    counting = true;
    pthread_mutex_unlock(&burstMutex);
    const int rc = pthread_create(&flusher, nullptr, flusherThread, nullptr);
    if (rc != 0) {
        endCounting();  // records counted meanwhile are logged, not lost
        return -rc;
    }
    return 0;
}

void stopConnectionLog() {
    pthread_mutex_lock(&burstMutex);
    if (!counting) {
        pthread_mutex_unlock(&burstMutex);
        return;
    }
    stopping = true;
    pthread_cond_signal(&flusherWake);
    pthread_mutex_unlock(&burstMutex);
    pthread_join(flusher, nullptr);
    endCounting();
}
