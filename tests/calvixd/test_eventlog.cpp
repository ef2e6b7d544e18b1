#include "calvixd/core/eventlog.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/calvixd/logmatch.h"
#include "tests/calvixd/tempdir.h"

namespace {

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string Stamp(int year, int month, int day, int hour, int minute, int second)
{
    struct tm time = {};
    time.tm_year = year - 1900;
    time.tm_mon = month - 1;
    time.tm_mday = day;
    time.tm_hour = hour;
    time.tm_min = minute;
    time.tm_sec = second;
    char buffer[EVENTLOG_STAMP_SIZE];
    size_t length = FormatLogStamp(time, buffer);
    EXPECT_EQ(length, strlen(buffer));
    return buffer;
}

} // namespace

TEST(EventLogStamp, MatchesTheFixedFormat)
{
    struct Case {
        int year, month, day, hour, minute, second;
        const char* expected;
    };
    const Case cases[] = {
        {2024, 3, 8, 7, 5, 9, "Mar  8, 2024 07:05:09 "},   // day padded with a blank
        {2024, 12, 31, 23, 59, 59, "Dec 31, 2024 23:59:59 "},
        {2000, 1, 1, 0, 0, 0, "Jan  1, 2000 00:00:00 "},
        {1999, 2, 28, 12, 30, 1, "Feb 28, 1999 12:30:01 "},
        {2038, 6, 15, 9, 0, 0, "Jun 15, 2038 09:00:00 "},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Stamp(c.year, c.month, c.day, c.hour, c.minute, c.second), c.expected);

    const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (int m = 1; m <= 12; m++)
        EXPECT_EQ(Stamp(2025, m, 10, 1, 2, 3).substr(0, 4), std::string(months[m - 1]) + " ");
}

TEST(EventLogStamp, AgreesWithStrftimeOverManyTimes)
{
    // The signal-safe conversion must give what localtime_r gives for UTC.
    // The reference takes a time_t, which has 32 bits on i386: past
    // 2038-01-19 it would wrap to 1901, and only the table above checks.
    const int64_t last = std::min<int64_t>(86400LL * 366 * 80, std::numeric_limits<time_t>::max());
    for (int64_t t = -86400LL * 400; t < last; t += 86400LL * 7 + 3601) {
        time_t value = static_cast<time_t>(t);
        struct tm expected;
        ASSERT_NE(gmtime_r(&value, &expected), nullptr);
        struct tm got = {};
        BreakDownTime(t, &got);
        char reference[64];
        snprintf(reference, sizeof(reference), "%.3s %2d, %d %.2d:%.2d:%.2d ",
                 &"JanFebMarAprMayJunJulAugSepOctNovDec"[expected.tm_mon * 3], expected.tm_mday,
                 expected.tm_year + 1900, expected.tm_hour, expected.tm_min, expected.tm_sec);
        char buffer[EVENTLOG_STAMP_SIZE];
        FormatLogStamp(got, buffer);
        ASSERT_STREQ(buffer, reference) << "t=" << t;
    }
}

TEST(EventLog, LineHasStampPrefixAndText)
{
    CTempDir dir;
    std::string path = dir.File("calvixd.log");
    CEventLog log(path.c_str());
    EXPECT_EQ(log.Print("Daemon starting up...\n"), 1);
    EXPECT_EQ(log.Print("Value %d and %s\n", 42, "text"), 1);
    std::string text = ReadFile(path);
    EXPECT_TRUE(IsStampedLines(text, {"Daemon starting up...", "Value 42 and text"})) << text;
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
}

// A device's product or serial with escape sequences and line breaks is
// written with every control byte replaced; only the line's own end stays.
TEST(EventLog, ControlBytesOfTextsAreReplaced)
{
    CTempDir dir;
    std::string path = dir.File("calvixd.log");
    CEventLog log(path.c_str());
    EXPECT_EQ(log.Print("USB device plugged (%s; Serial %s).\n", "Evil\x1b]0;pwn\x07", "SN\r\n1\x7f"), 1);
    std::string text = ReadFile(path);
    EXPECT_TRUE(IsStampedLines(text, {"USB device plugged (Evil?]0;pwn?; Serial SN??1?)."})) << text;
}

TEST(EventLog, DeletedFileIsCreatedAgainWithMode0644)
{
    CTempDir dir;
    std::string path = dir.File("calvixd.log");
    CEventLog log(path.c_str());
    mode_t old = umask(077);
    EXPECT_EQ(log.Print("first\n"), 1);
    ASSERT_EQ(unlink(path.c_str()), 0);
    EXPECT_EQ(log.Print("second\n"), 1);
    umask(old);
    std::string text = ReadFile(path);
    EXPECT_EQ(text.find("first"), std::string::npos);
    EXPECT_NE(text.find("second\n"), std::string::npos);
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
}

TEST(EventLog, UnwritablePathLosesTheLine)
{
    CTempDir dir;
    std::string path = dir.File("missing-dir/calvixd.log");
    CEventLog log(path.c_str());
    EXPECT_EQ(log.Print("lost\n"), 0);
}

TEST(EventLog, ConcurrentWritersNeverMixLines)
{
    CTempDir dir;
    std::string path = dir.File("calvixd.log");
    CEventLog log(path.c_str());
    const int threads = 4;
    const int lines = 200;
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; t++) {
        writers.emplace_back([&log, t] {
            std::string payload(300, static_cast<char>('a' + t));
            for (int i = 0; i < lines; i++)
                log.Print("writer %d line %d %s\n", t, i, payload.c_str());
        });
    }
    for (std::thread& writer : writers)
        writer.join();

    std::istringstream text(ReadFile(path));
    int count = 0;
    for (std::string entry; std::getline(text, entry); count++) {
        std::string body;
        ASSERT_TRUE(SplitStamp(entry, &body)) << entry;
        int writer = -1;
        int index = -1;
        char payload[301] = {};
        ASSERT_EQ(sscanf(body.c_str(), "writer %d line %d %300s", &writer, &index, payload), 3) << entry;
        ASSERT_TRUE(writer >= 0 && writer < threads) << entry;
        EXPECT_EQ(body, "writer " + std::to_string(writer) + " line " + std::to_string(index) + " " +
                            std::string(300, static_cast<char>('a' + writer)));
    }
    EXPECT_EQ(count, threads * lines);
}
