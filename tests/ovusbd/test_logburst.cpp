// Counting of the log records a client causes again and again: the table's
// decisions at given times, and the logging module under several threads.
#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <map>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "ovusbd/core/connectionlog.h"
#include "ovusbd/core/logbursttable.h"
#include "ovusbd/core/peersource.h"
#include "tests/ovusbd/test_usb_support.h"

namespace {

const char* const kUnknown = "unknown type %d";
const char* const kPassword = "password too long %d";
constexpr uint32_t kLines = 10;
constexpr int64_t kWindow = 10000;

struct TableTest : ::testing::Test {
    void SetUp() override { initLogBurstTable(&table, kLines, kWindow); }
    // Records of the key at `now`; returns how many were admitted and adds
    // the reports that came with them to *reported.
    uint32_t send(uint16_t id, const char* format, uint32_t count, int64_t now, uint64_t* reported = nullptr) {
        uint32_t admitted = 0;
        for (uint32_t i = 0; i < count; i++) {
            LogBurstReport report;
            admitted += admitLogRecord(&table, id, 4, format, now, &report);
            if (reported != nullptr) *reported += report.count;
        }
        return admitted;
    }
    LogBurstTable table;
};

PeerSource sourceOf(const char* text) {
    sockaddr_storage address{};
    if (strchr(text, ':') == nullptr) {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
        v4->sin_family = AF_INET;
        inet_pton(AF_INET, text, &v4->sin_addr);
    } else {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
        v6->sin6_family = AF_INET6;
        inet_pton(AF_INET6, text, &v6->sin6_addr);
    }
    return peerSourceOf(reinterpret_cast<sockaddr*>(&address));
}

// An IPv4 peer is one source however it reaches a dual-stack listener; an
// IPv6 peer counts by its /64.
TEST(PeerSource, KeysAndText) {
    struct Row {
        const char* a;
        const char* b;
        bool same;
        const char* text;  // of a
    };
    const Row rows[] = {
        {"192.0.2.1", "::ffff:192.0.2.1", true, "192.0.2.1"},
        {"192.0.2.1", "192.0.2.2", false, "192.0.2.1"},
        {"2001:db8:1:2::5", "2001:db8:1:2:ffff::9", true, "2001:db8:1:2::/64"},
        {"2001:db8:1:2::5", "2001:db8:1:3::5", false, "2001:db8:1:2::/64"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(samePeerSource(sourceOf(row.a), sourceOf(row.b)), row.same) << row.a << " " << row.b;
        char text[64];
        formatPeerSource(sourceOf(row.a), text, sizeof text);
        EXPECT_STREQ(text, row.text);
    }
}

// Records of sources are counted apart from each other and from the
// connections; a connection leaving releases none of them.
TEST_F(TableTest, SourcesAreCountedApart) {
    const PeerSource a = sourceOf("192.0.2.1"), b = sourceOf("192.0.2.2");
    uint32_t admitted = 0;
    LogBurstReport report;
    for (uint32_t i = 0; i < kLines + 5; i++) admitted += admitSourceLogRecord(&table, a, 3, kUnknown, 0, &report);
    EXPECT_EQ(admitted, kLines);
    EXPECT_TRUE(admitSourceLogRecord(&table, b, 3, kUnknown, 0, &report));
    EXPECT_EQ(send(0, kUnknown, 1, 0), 1u) << "a connection's key is not a source's";
    LogBurstReport out[kLogBurstSlots + 1];
    EXPECT_EQ(releaseConnectionLogBursts(&table, 0, out, kLogBurstSlots), 0u);
    ASSERT_EQ(sweepLogBursts(&table, kWindow, out, kLogBurstSlots + 1), 1u);
    EXPECT_TRUE(out[0].bySource);
    EXPECT_TRUE(samePeerSource(out[0].source, a));
    EXPECT_EQ(out[0].count, 5u);
}

// A burst from one connection: the first lines pass, the rest are counted
// and reported once, when the next record after the window comes or when a
// sweep after the window finds them.
TEST_F(TableTest, BurstIsCountedAndReportedOnce) {
    EXPECT_EQ(send(7, kUnknown, 1000, 0), kLines);
    LogBurstReport out[kLogBurstSlots + 1];
    EXPECT_EQ(sweepLogBursts(&table, kWindow - 1, out, kLogBurstSlots + 1), 0u) << "window still running";

    LogBurstReport report;
    EXPECT_TRUE(admitLogRecord(&table, 7, 4, kUnknown, kWindow, &report));
    EXPECT_EQ(report.count, 1000u - kLines);
    EXPECT_EQ(report.connectionId, 7);
    EXPECT_EQ(report.format, kUnknown);
    EXPECT_EQ(report.level, 4);

    // The new window has room for the rest of its lines, then counts again.
    EXPECT_EQ(send(7, kUnknown, 100, kWindow + 5), kLines - 1);
    ASSERT_EQ(sweepLogBursts(&table, 2 * kWindow, out, kLogBurstSlots + 1), 1u);
    EXPECT_EQ(out[0].count, 100u - (kLines - 1));
    EXPECT_EQ(sweepLogBursts(&table, 4 * kWindow, out, kLogBurstSlots + 1), 0u) << "reported once only";
    // The sweep freed the slot: a new burst starts with its lines.
    EXPECT_EQ(send(7, kUnknown, 20, 4 * kWindow), kLines);
}

// Each (connection, call site) has its own lines; one connection's flood does
// not silence another's, nor another site of its own.
TEST_F(TableTest, KeysAreIndependent) {
    EXPECT_EQ(send(1, kUnknown, 500, 0), kLines);
    EXPECT_EQ(send(2, kUnknown, 5, 1), 5u);
    EXPECT_EQ(send(1, kPassword, 50, 2), kLines);
    LogBurstReport out[kLogBurstSlots];
    ASSERT_EQ(releaseConnectionLogBursts(&table, 1, out, kLogBurstSlots), 2u);
    std::map<const char*, uint32_t> counts;
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(out[i].connectionId, 1);
        counts[out[i].format] = out[i].count;
    }
    EXPECT_EQ(counts[kUnknown], 500u - kLines);
    EXPECT_EQ(counts[kPassword], 50u - kLines);
    // Connection 1 is forgotten; 2 is still counted in its window.
    EXPECT_EQ(send(1, kUnknown, 3, 3), 3u);
    EXPECT_EQ(send(2, kUnknown, 20, 4), kLines - 5);
}

// More keys than slots: records of keys without a slot are counted together
// while every window runs; a finished window's slot is taken over, and its
// count reported by the record that takes it.
TEST_F(TableTest, FullTableCountsTheRestTogether) {
    for (uint16_t id = 1; id <= kLogBurstSlots; id++) {
        ASSERT_EQ(send(id, kUnknown, 11, 0), kLines) << id;
    }
    EXPECT_EQ(send(1000, kUnknown, 30, 1), 0u);
    EXPECT_EQ(send(1001, kPassword, 2, 2), 0u);
    LogBurstReport out[kLogBurstSlots + 1];
    ASSERT_EQ(sweepLogBursts(&table, 3, out, kLogBurstSlots + 1), 1u);
    EXPECT_EQ(out[0].format, nullptr);
    EXPECT_EQ(out[0].count, 32u);

    uint64_t reported = 0;
    EXPECT_EQ(send(1000, kUnknown, 1, kWindow, &reported), 1u);
    EXPECT_EQ(reported, 1u) << "the slot taken over held one counted record";
}

// The overflow count is reported at the most severe level among the records
// it holds (the lower number), whatever order they came in.
TEST_F(TableTest, OverflowKeepsTheMostSevereLevel) {
    struct Row {
        const char* what;
        std::vector<int> levels;
        int reported;
    };
    const Row rows[] = {
        {"warning, then error", {4, 3}, 3},
        {"error, then warning", {3, 4}, 3},
        {"warnings only", {4, 4, 4}, 4},
        {"mixed, error in the middle", {6, 4, 3, 4, 6}, 3},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        initLogBurstTable(&table, kLines, kWindow);
        for (uint16_t id = 1; id <= kLogBurstSlots; id++) {
            ASSERT_EQ(send(id, kUnknown, 1, 0), 1u) << id;
        }
        for (size_t i = 0; i < row.levels.size(); i++) {
            LogBurstReport report;
            EXPECT_FALSE(admitLogRecord(&table, uint16_t(1000 + i), row.levels[i], kPassword, 1, &report));
        }
        LogBurstReport out[kLogBurstSlots + 1];
        ASSERT_EQ(sweepLogBursts(&table, 2, out, kLogBurstSlots + 1), 1u);
        EXPECT_EQ(out[0].format, nullptr);
        EXPECT_EQ(out[0].count, row.levels.size());
        EXPECT_EQ(out[0].level, row.reported);
    }
}

// Whatever the order of records, sweeps and departures, every record is
// either logged or in exactly one report: no count is lost or doubled.
TEST_F(TableTest, EveryRecordIsLoggedOrCounted) {
    std::mt19937 rng(24);
    const char* const formats[] = {kUnknown, kPassword};
    std::map<uint16_t, uint64_t> sent, accounted;
    LogBurstReport out[kLogBurstSlots + 1];
    auto account = [&](const LogBurstReport* reports, size_t n) {
        for (size_t i = 0; i < n; i++) accounted[reports[i].connectionId] += reports[i].count;
    };
    int64_t now = 0;
    uint64_t overflowed = 0;
    for (int step = 0; step < 200000; step++) {
        now += rng() % 3;
        const unsigned what = rng() % 1000;
        if (what == 0) {
            account(out, sweepLogBursts(&table, now, out, kLogBurstSlots + 1));
        } else if (what == 1) {
            const uint16_t id = uint16_t(1 + rng() % 400);
            account(out, releaseConnectionLogBursts(&table, id, out, kLogBurstSlots));
        } else {
            const uint16_t id = uint16_t(1 + rng() % 400);
            LogBurstReport report;
            sent[id]++;
            accounted[id] += admitLogRecord(&table, id, 4, formats[rng() % 2], now, &report);
            account(&report, 1);
        }
    }
    account(out, releaseAllLogBursts(&table, out, kLogBurstSlots + 1));
    // Overflow reports carry id 0: the records of connections without a
    // slot, whoever sent them.
    overflowed = accounted[0];
    accounted.erase(0);
    uint64_t missing = 0;
    for (auto& [id, count] : sent) {
        ASSERT_LE(accounted[id], count) << id;
        missing += count - accounted[id];
    }
    EXPECT_EQ(missing, overflowed);
    EXPECT_GT(overflowed, 0u) << "400 connections with two sites each must overflow 256 slots";
}

// The module as the server uses it: several threads log for several
// connections at once; the file then holds each record or its count.
TEST(ConnectionLog, ConcurrentRecordsAreLoggedOrCounted) {
    usbtest::LogCapture log;
    ASSERT_EQ(startConnectionLog(5, 60000), 0);
    EXPECT_EQ(startConnectionLog(5, 60000), -EALREADY);
    constexpr int kThreads = 4, kPerThread = 3000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([t] {
            for (int i = 0; i < kPerThread; i++) {
                logConnectionMessage(uint16_t(100 + t % 2), 4, "Warning, record %d of thread %d", i, t);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    flushConnectionLog(100);
    logConnectionMessage(100, 4, "Warning, record %d of thread %d", -1, 0);  // a fresh window after the leave
    stopConnectionLog();
    logConnectionMessage(101, 4, "Warning, record %d of thread %d", -2, 1);  // not counted after stop

    const std::string text = log.text();
    std::map<unsigned, uint64_t> logged, counted;
    const std::regex line(R"(record (-?\d+) of thread (\d+))");
    const std::regex summary(R"(Connection (\d+): (\d+) more records like "Warning, record %d of thread %d" not logged)");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), line); it != std::sregex_iterator(); ++it) {
        logged[100 + std::stoi((*it)[2]) % 2]++;
    }
    for (auto it = std::sregex_iterator(text.begin(), text.end(), summary); it != std::sregex_iterator(); ++it) {
        counted[unsigned(std::stoul((*it)[1]))] += std::stoull((*it)[2]);
    }
    // Two threads per connection; plus the one after the leave (100) and
    // the one after the stop (101).
    EXPECT_EQ(logged[100], 5u + 1u) << text;
    EXPECT_EQ(logged[101], 5u + 1u) << text;
    EXPECT_EQ(logged[100] + counted[100], 2u * kPerThread + 1);
    EXPECT_EQ(logged[101] + counted[101], 2u * kPerThread + 1);
}

// A burst that simply stops gets its count from the flusher once the
// window is over: no later record and no departure is needed.
TEST(ConnectionLog, FlusherReportsAFinishedBurst) {
    usbtest::LogCapture log;
    ASSERT_EQ(startConnectionLog(5, 500), 0);
    for (int i = 0; i < 20; i++) logConnectionMessage(5, 4, "Warning, burst record %d", i);
    const std::string counted = "Connection 5: ";
    const bool seen = usbtest::waitUntil([&] { return log.contains(counted); }, 10000);
    const std::string text = log.text();
    stopConnectionLog();
    ASSERT_TRUE(seen) << text;
    // Whatever a slow machine made of the windows, every record is in the
    // text or in a count.
    const std::regex line(R"(burst record \d+)");
    const std::regex summary(R"(Connection 5: (\d+) more records like "Warning, burst record %d" not logged)");
    size_t total = size_t(std::distance(std::sregex_iterator(text.begin(), text.end(), line), std::sregex_iterator()));
    for (auto it = std::sregex_iterator(text.begin(), text.end(), summary); it != std::sregex_iterator(); ++it) {
        total += std::stoul((*it)[1]);
    }
    EXPECT_EQ(total, 20u) << text;
}

} // namespace
