// Counting of log records that one connection, or one peer source before
// its link is a client, causes again and again: per (connection or source,
// record format) the first records of a window are logged, the
// rest only counted, and the count is reported once the window is over. The
// table has a fixed number of slots, so what clients send never makes it
// grow. Pure bookkeeping: the caller supplies the time, holds the lock and
// writes the records and reports this table decides on.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "ovusbd/core/peersource.h"

constexpr size_t kLogBurstSlots = 256;

// One (connection or source, format) key being counted.
struct LogBurstSlot {
    uint16_t connectionId;  // 0 when bySource
    bool bySource;
    PeerSource source;      // when bySource
    bool used;
    int level;           // of the records, also of the report
    const char* format;  // the key: one call site's format string
    int64_t windowStart; // ms
    uint32_t logged;     // records logged in this window
    uint32_t counted;    // records of this window not logged
};

struct LogBurstTable {
    LogBurstSlot slots[kLogBurstSlots];
    uint32_t linesPerWindow;
    int64_t windowMs;
    // Records of keys that found every slot busy with a running window;
    // reported as one count.
    uint32_t overflow;
    int overflowLevel;
};

// A count to be logged: `count` records of `format` from the connection (or
// the source, when bySource) were not logged. connectionId 0 with a null
// format is the overflow count.
struct LogBurstReport {
    uint16_t connectionId;
    bool bySource;
    PeerSource source;
    int level;
    const char* format;
    uint32_t count;
};

void initLogBurstTable(LogBurstTable* table, uint32_t linesPerWindow, int64_t windowMs);

// Decides one record of the connection at nowMs. True: log it. *report gets
// the count of the key's finished window, to be logged before the record
// (count 0: nothing to report).
bool admitLogRecord(LogBurstTable* table, uint16_t connectionId, int level, const char* format, int64_t nowMs,
                    LogBurstReport* report);
// The same for a record a peer source causes before it is a client.
bool admitSourceLogRecord(LogBurstTable* table, const PeerSource& source, int level, const char* format,
                          int64_t nowMs, LogBurstReport* report);

// Frees the slots whose window is over and writes the counts they hold, and
// the overflow count, to out; returns how many were written. capacity of
// kLogBurstSlots + 1 always suffices.
size_t sweepLogBursts(LogBurstTable* table, int64_t nowMs, LogBurstReport* out, size_t capacity);

// Frees every slot of the connection (not of sources) and writes its counts
// to out; returns how many were written.
size_t releaseConnectionLogBursts(LogBurstTable* table, uint16_t connectionId, LogBurstReport* out, size_t capacity);

// Frees every slot; writes every count, the overflow too.
size_t releaseAllLogBursts(LogBurstTable* table, LogBurstReport* out, size_t capacity);
