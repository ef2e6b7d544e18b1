// Event log lines that a peer can cause at will, one per connection it
// opens or per record it sends (handshake refusals, filter refusals,
// sessions it opens and drops): per source address and call site the first
// lines of a window are written as they are, the rest counted, and the
// count is written as one line once the window is over, at the latest at
// the flusher's next tick, and when the object goes. A flood from one
// address then costs about one line a second instead of one per
// connection.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "calvixd/core/eventlog.h"
#include "calvixd/core/logbursttable.h"
#include "sys/thread"

constexpr uint32_t PEER_LOG_LINES = 10;
constexpr uint32_t PEER_LOG_WINDOW_MS = 10000;
// Sources and call sites counted at once; more share one overflow count.
constexpr size_t PEER_LOG_SLOTS = 256;

class CPeerLog {
public:
    // log may be null: nothing is written. When the flusher thread cannot be
    // started every line is written as it comes. Throws std::bad_alloc when
    // the table cannot be made.
    explicit CPeerLog(CEventLog* log, uint32_t linesPerWindow = PEER_LOG_LINES,
                      uint32_t windowMs = PEER_LOG_WINDOW_MS);
    // Stops the flusher and writes every count still held.
    ~CPeerLog();
    CPeerLog(const CPeerLog&) = delete;
    CPeerLog& operator=(const CPeerLog&) = delete;

    // One line the peer at source caused (its address text without the
    // port; empty for a local peer). format is the key, so it must be the
    // call site's literal; it ends with "\n" as every line does.
    void Print(const char* source, int level, const char* format, ...) __attribute__((format(printf, 4, 5)));

private:
    static int FlusherThread(void* argument);
    void WriteReports(const std::vector<LogBurstReport>& reports);

    CEventLog* m_log;
    std::mutex m_lock; // guards m_table and m_reports; never held while a line is written
    CLogBurstTable m_table;
    std::vector<LogBurstReport> m_reports; // the flusher's, reserved once
    int m_tickMs;
    CEvent m_stop;
    CThread* m_flusher = nullptr;
};
