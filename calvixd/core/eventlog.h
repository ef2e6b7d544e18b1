// The event log of calvixd: one time-stamped line per user-visible event in
// /var/log/calvixd.log. The file is opened and closed for every line, so a
// log that was moved or deleted is re-created at the next line.
#pragma once

#include <cstdarg>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#include "sys/thread"

// Room for the prefix "Mmm dd, yyyy hh:mm:ss " and its NUL.
constexpr size_t EVENTLOG_STAMP_SIZE = 32;

// Writes the line prefix "%.3s %2d, %d %.2d:%.2d:%.2d " for the broken-down
// time into buffer and returns its length. Uses no locale, no allocation and
// no stdio, so the fatal-signal path can use it too.
size_t FormatLogStamp(const struct tm& time, char* buffer);

// Breaks seconds since the epoch, already shifted to local time, into a
// struct tm (year, month, day, hours, minutes, seconds only). Pure
// arithmetic: safe in a signal handler, where localtime_r is not.
void BreakDownTime(int64_t localSeconds, struct tm* out);

class CEventLog {
public:
    // Throws std::exception when the mutex cannot be made.
    explicit CEventLog(const char* path);
    virtual ~CEventLog();
    CEventLog(const CEventLog&) = delete;
    CEventLog& operator=(const CEventLog&) = delete;

    // One line: the time stamp, then the printf-formatted text (which ends
    // with "\n"). 1 when written, 0 when the line was lost.
    int Print(const char* format, ...) __attribute__((format(printf, 2, 3)));
    int VPrint(const char* format, va_list args) __attribute__((format(printf, 2, 0)));

    const char* GetPath() const { return m_path.c_str(); }

    // Offset of local time from UTC in seconds as of the last line or
    // RefreshUtcOffset; what the fatal-signal handler adds to the clock.
    static long GetUtcOffset();
    static void RefreshUtcOffset();

private:
    std::string m_path;
    CMutex m_mutex; // serialises the lines
};
