// Counting of event log lines that one peer causes again and again: per
// (source, call site) the first lines of a window are written, the rest
// only counted, and the count is reported once the window is over. The
// table has a fixed number of slots, made at construction, so what peers
// send never makes it grow; keys that find every slot busy with a running
// window share one overflow count. Pure bookkeeping: the caller supplies
// the time, holds the lock and writes the lines and reports the table
// decides on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Room for a source text and its NUL: an IPv6 address with a scope name.
constexpr size_t LOG_BURST_SOURCE_SIZE = 64;

// Levels of the lines, smaller is more severe; a report carries the level
// of its lines, the overflow report the most severe one it counted.
constexpr int LOG_BURST_ERROR = 3;
constexpr int LOG_BURST_WARNING = 4;
constexpr int LOG_BURST_INFO = 6;

// A count to be written: `count` lines of `site` from `source` were not
// written. A null site is the overflow count (source empty).
struct LogBurstReport {
    char source[LOG_BURST_SOURCE_SIZE] = {};
    const char* site = nullptr;
    int level = 0;
    uint32_t count = 0;
};

class CLogBurstTable {
public:
    // Throws std::bad_alloc when the slots cannot be made. linesPerWindow 0
    // counts as 1.
    CLogBurstTable(size_t slots, uint32_t linesPerWindow, uint32_t windowMs);
    CLogBurstTable(const CLogBurstTable&) = delete;
    CLogBurstTable& operator=(const CLogBurstTable&) = delete;

    // Decides one line of the source (cut to LOG_BURST_SOURCE_SIZE - 1
    // bytes) at nowMs, a wrapping millisecond tick. site is the key: one
    // call site's literal, compared by address. True: write the line.
    // *report gets the count of the key's finished window, to be written
    // before the line (count 0: nothing to report).
    bool Admit(const char* source, const char* site, int level, uint32_t nowMs, LogBurstReport* report);

    // Frees the slots whose window is over and appends the counts they
    // hold, then the overflow count, to out (which it reserves for the
    // table's size once, so a sweep does not allocate again).
    void Sweep(uint32_t nowMs, std::vector<LogBurstReport>* out);
    // Frees every slot and appends every count, the overflow too.
    void ReleaseAll(std::vector<LogBurstReport>* out);

    // Slots holding a key.
    size_t GetUsedSlots() const;

private:
    struct Slot {
        bool used = false;
        char source[LOG_BURST_SOURCE_SIZE] = {};
        const char* site = nullptr;
        int level = 0;
        uint32_t windowStart = 0;
        uint32_t written = 0; // lines written in this window
        uint32_t counted = 0; // lines of this window not written
    };

    bool WindowOver(const Slot& slot, uint32_t nowMs) const;
    static void ReportOf(const Slot& slot, LogBurstReport* report);
    template <typename Pick>
    void Release(Pick pick, std::vector<LogBurstReport>* out);
    void ReleaseOverflow(std::vector<LogBurstReport>* out);

    std::vector<Slot> m_slots;
    uint32_t m_linesPerWindow;
    uint32_t m_windowMs;
    uint32_t m_overflow = 0;
    int m_overflowLevel = 0;
};
