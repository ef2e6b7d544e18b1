#include "calvixd/core/eventlog.h"

#include "calvixd/core/linetext.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>

namespace {

const char g_monthNames[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Read by the fatal-signal handler: must stay lock-free.
std::atomic<long> g_utcOffset{0};
static_assert(std::atomic<long>::is_always_lock_free);

char* PutDigits(char* out, unsigned value, int width, char pad)
{
    char digits[12];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (int i = n; i < width; i++)
        *out++ = pad;
    while (n > 0)
        *out++ = digits[--n];
    return out;
}

} // namespace

size_t FormatLogStamp(const struct tm& time, char* buffer)
{
    char* out = buffer;
    int month = time.tm_mon;
    const char* name = month >= 0 && month < 12 ? g_monthNames[month] : "???";
    for (int i = 0; i < 3; i++)
        *out++ = name[i];
    *out++ = ' ';
    // Day padded with a blank ("%2d") so the prefix keeps one width all month.
    out = PutDigits(out, static_cast<unsigned>(time.tm_mday) % 100, 2, ' ');
    *out++ = ',';
    *out++ = ' ';
    out = PutDigits(out, static_cast<unsigned>(time.tm_year + 1900) % 100000, 1, '0');
    *out++ = ' ';
    out = PutDigits(out, static_cast<unsigned>(time.tm_hour) % 100, 2, '0');
    *out++ = ':';
    out = PutDigits(out, static_cast<unsigned>(time.tm_min) % 100, 2, '0');
    *out++ = ':';
    out = PutDigits(out, static_cast<unsigned>(time.tm_sec) % 100, 2, '0');
    *out++ = ' ';
    *out = '\0';
    return static_cast<size_t>(out - buffer);
}

void BreakDownTime(int64_t localSeconds, struct tm* out)
{
    int64_t days = localSeconds / 86400;
    int64_t rest = localSeconds % 86400;
    if (rest < 0) {
        rest += 86400;
        days--;
    }
    out->tm_hour = static_cast<int>(rest / 3600);
    out->tm_min = static_cast<int>(rest / 60 % 60);
    out->tm_sec = static_cast<int>(rest % 60);
    // Civil date from a day count (Howard Hinnant's days_from_civil inverse).
    days += 719468;
    int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    int64_t dayOfEra = days - era * 146097;
    int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    int64_t mp = (5 * dayOfYear + 2) / 153;
    int64_t day = dayOfYear - (153 * mp + 2) / 5 + 1;
    int64_t month = mp < 10 ? mp + 3 : mp - 9;
    int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    out->tm_year = static_cast<int>(year - 1900);
    out->tm_mon = static_cast<int>(month - 1);
    out->tm_mday = static_cast<int>(day);
}

long CEventLog::GetUtcOffset()
{
    return g_utcOffset.load(std::memory_order_relaxed);
}

void CEventLog::RefreshUtcOffset()
{
    time_t now = time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local))
        g_utcOffset.store(local.tm_gmtoff, std::memory_order_relaxed);
}

CEventLog::CEventLog(const char* path) : m_path(path)
{
    RefreshUtcOffset();
}

CEventLog::~CEventLog() {}

int CEventLog::Print(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int written = VPrint(format, args);
    va_end(args);
    return written;
}

int CEventLog::VPrint(const char* format, va_list args)
{
    // Texts from devices and peers (product names, serials, client names)
    // reach the lines: a control byte in one must neither start a line of
    // its own nor reach a terminal that shows the log. Only the line's own
    // ending (a blank line after it too) stays.
    va_list copy;
    va_copy(copy, args);
    int size = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string line(size > 0 ? static_cast<size_t>(size) + 1 : 1, '\0');
    if (size > 0)
        vsnprintf(&line[0], line.size(), format, args);
    line.resize(size > 0 ? static_cast<size_t>(size) : 0);
    size_t body = line.find_last_not_of('\n');
    body = body == std::string::npos ? 0 : body + 1;
    std::string ending = line.substr(body);
    line = ReplaceControlCharacters(line.substr(0, body)) + ending;

    // The stamp is taken before waiting for the mutex.
    time_t now = time(nullptr);
    struct tm local;
    if (!localtime_r(&now, &local))
        return 0;
    g_utcOffset.store(local.tm_gmtoff, std::memory_order_relaxed);
    char stamp[EVENTLOG_STAMP_SIZE];
    FormatLogStamp(local, stamp);

    if (m_mutex.Lock(-1) != SYNC_OK)
        return 0;
    // The daemon runs as root: a symlink put in the log's place must not
    // make it append to (or change the mode of) another file.
    int fd = open(m_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    FILE* file = fd >= 0 ? fdopen(fd, "a") : nullptr;
    if (!file) {
        if (fd >= 0)
            close(fd);
        m_mutex.Unlock();
        return 0;
    }
    fchmod(fd, 0644);
    fputs(stamp, file);
    fputs(line.c_str(), file);
    fclose(file);
    m_mutex.Unlock();
    return 1;
}
