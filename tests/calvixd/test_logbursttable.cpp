// Counting of repeated peer lines: the table on a test clock, and the event
// log writer around it against a real file.
#include "calvixd/core/logbursttable.h"
#include "calvixd/core/peerlog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/calvixd/tempdir.h"
#include "tests/support/wait.h"

namespace {

const char kRefused[] = "Client connected from %s, but was rejected due to invalid data.\n";
const char kFiltered[] = "Client connected from %s, but was rejected by IP filters.\n";

struct Step {
    const char* source;
    const char* site;
    int level;
    uint32_t nowMs;
    bool written;
    uint32_t reported; // count reported before the line
};

void RunSteps(CLogBurstTable* table, const std::vector<Step>& steps)
{
    for (size_t i = 0; i < steps.size(); i++) {
        const Step& s = steps[i];
        SCOPED_TRACE("step " + std::to_string(i));
        LogBurstReport report;
        EXPECT_EQ(table->Admit(s.source, s.site, s.level, s.nowMs, &report), s.written);
        EXPECT_EQ(report.count, s.reported);
        if (s.reported > 0) {
            EXPECT_EQ(report.site, s.site);
            EXPECT_STREQ(report.source, s.source);
        }
    }
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

size_t Count(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        count++;
    return count;
}

} // namespace

// Per source and call site: the first lines of a window are written, the
// rest counted; the first line of the next window carries the count. Other
// sources and other call sites have windows of their own; the window is
// measured across the wrap of the tick.
TEST(LogBurstTable, FirstLinesOfAWindowThenTheCount)
{
    CLogBurstTable table(8, 3, 1000);
    const int W = LOG_BURST_WARNING;
    const uint32_t wrap = 0xFFFFFF00u;
    RunSteps(&table, {
                    {"10.0.0.5", kRefused, W, 0, true, 0},
                    {"10.0.0.5", kRefused, W, 1, true, 0},
                    {"10.0.0.5", kRefused, W, 2, true, 0},
                    {"10.0.0.5", kRefused, W, 3, false, 0},
                    {"10.0.0.5", kRefused, W, 999, false, 0},
                    // Other source, other site: counted apart.
                    {"10.0.0.6", kRefused, W, 10, true, 0},
                    {"10.0.0.5", kFiltered, W, 10, true, 0},
                    // The window is over: its count comes before the line.
                    {"10.0.0.5", kRefused, W, 1000, true, 2},
                    {"10.0.0.5", kRefused, W, 1001, true, 0},
                    {"10.0.0.5", kRefused, W, 1002, true, 0},
                    {"10.0.0.5", kRefused, W, 1003, false, 0},
                    // A window that ran without lines held back reports none.
                    {"10.0.0.6", kRefused, W, 5000, true, 0},
                    // Across the wrap of the millisecond tick.
                    {"10.0.0.7", kRefused, W, wrap, true, 0},
                    {"10.0.0.7", kRefused, W, wrap + 1, true, 0},
                    {"10.0.0.7", kRefused, W, wrap + 2, true, 0},
                    {"10.0.0.7", kRefused, W, wrap + 0x80, false, 0},
                    {"10.0.0.7", kRefused, W, wrap + 0x100 + 10, false, 0},
                    {"10.0.0.7", kRefused, W, wrap + 1000, true, 2},
                });
}

// A sweep frees the slots whose window is over and reports what they
// counted; running windows stay. Release at the end reports every count.
TEST(LogBurstTable, SweepReportsFinishedWindowsAndReleaseAllTheRest)
{
    CLogBurstTable table(8, 1, 1000);
    LogBurstReport report;
    for (uint32_t t = 0; t < 5; t++)
        table.Admit("10.0.0.5", kRefused, LOG_BURST_WARNING, t, &report);
    table.Admit("10.0.0.6", kRefused, LOG_BURST_WARNING, 0, &report); // nothing counted
    for (uint32_t t = 500; t < 503; t++)
        table.Admit("10.0.0.7", kRefused, LOG_BURST_ERROR, t, &report);

    std::vector<LogBurstReport> out;
    table.Sweep(999, &out);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(table.GetUsedSlots(), 3u);

    table.Sweep(1000, &out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_STREQ(out[0].source, "10.0.0.5");
    EXPECT_EQ(out[0].site, kRefused);
    EXPECT_EQ(out[0].count, 4u);
    EXPECT_EQ(out[0].level, LOG_BURST_WARNING);
    EXPECT_EQ(table.GetUsedSlots(), 1u) << "the slot that counted nothing is freed too";

    out.clear();
    table.ReleaseAll(&out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_STREQ(out[0].source, "10.0.0.7");
    EXPECT_EQ(out[0].count, 2u);
    EXPECT_EQ(out[0].level, LOG_BURST_ERROR);
    EXPECT_EQ(table.GetUsedSlots(), 0u);
}

// A full table never grows: a new key takes a slot whose window is over
// (whose count is reported first), and when every window still runs its
// lines go to one overflow count that keeps the most severe level it saw.
TEST(LogBurstTable, FullTableOverflowsIntoOneCountWithTheMostSevereLevel)
{
    CLogBurstTable table(2, 1, 1000);
    LogBurstReport report;
    EXPECT_TRUE(table.Admit("10.0.0.1", kRefused, LOG_BURST_WARNING, 0, &report));
    EXPECT_FALSE(table.Admit("10.0.0.1", kRefused, LOG_BURST_WARNING, 1, &report));
    EXPECT_TRUE(table.Admit("10.0.0.2", kRefused, LOG_BURST_WARNING, 500, &report));

    struct Overflowing {
        const char* source;
        int level;
    };
    const Overflowing overflowing[] = {
        {"10.0.0.3", LOG_BURST_WARNING},
        {"10.0.0.4", LOG_BURST_ERROR},
        {"10.0.0.5", LOG_BURST_INFO},
        {"10.0.0.3", LOG_BURST_WARNING},
    };
    for (const Overflowing& o : overflowing) {
        SCOPED_TRACE(o.source);
        EXPECT_FALSE(table.Admit(o.source, kRefused, o.level, 600, &report));
        EXPECT_EQ(report.count, 0u);
    }
    EXPECT_EQ(table.GetUsedSlots(), 2u);

    // 10.0.0.1's window is over: a new key takes its slot, its count first.
    EXPECT_TRUE(table.Admit("10.0.0.9", kFiltered, LOG_BURST_INFO, 1000, &report));
    EXPECT_EQ(report.count, 1u);
    EXPECT_STREQ(report.source, "10.0.0.1");
    EXPECT_EQ(report.site, kRefused);
    EXPECT_EQ(table.GetUsedSlots(), 2u);

    std::vector<LogBurstReport> out;
    table.Sweep(1001, &out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].site, nullptr);
    EXPECT_EQ(out[0].count, 4u);
    EXPECT_EQ(out[0].level, LOG_BURST_ERROR);
    out.clear();
    table.Sweep(1002, &out);
    EXPECT_TRUE(out.empty()) << "the overflow count is reported once";
}

// Sources are keys up to the table's room: a longer text is cut, so two
// texts that differ only past it share a key.
TEST(LogBurstTable, LongSourcesAreCutToTheirRoom)
{
    CLogBurstTable table(4, 1, 1000);
    std::string base(LOG_BURST_SOURCE_SIZE - 1, 'a');
    LogBurstReport report;
    EXPECT_TRUE(table.Admit((base + "x").c_str(), kRefused, LOG_BURST_INFO, 0, &report));
    EXPECT_FALSE(table.Admit((base + "y").c_str(), kRefused, LOG_BURST_INFO, 0, &report));
    EXPECT_TRUE(table.Admit(nullptr, kRefused, LOG_BURST_INFO, 0, &report));
    EXPECT_FALSE(table.Admit("", kRefused, LOG_BURST_INFO, 0, &report));
    std::vector<LogBurstReport> out;
    table.ReleaseAll(&out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].source, base);
}

// The writer: the first lines as they are, then one count line for the
// rest, written by the flusher once the window is over without another
// line from the peer; what is still counted at the end is written then.
TEST(PeerLog, WritesTheFirstLinesThenOneCountLine)
{
    CTempDir dir;
    std::string path = dir.File("calvixd.log");
    CEventLog log(path.c_str());
    {
        CPeerLog peers(&log, 2, 200);
        for (int i = 0; i < 50; i++)
            peers.Print("10.0.0.5", LOG_BURST_WARNING, kRefused, "10.0.0.5:4000");
        EXPECT_EQ(Count(ReadFile(path), "rejected due to invalid data.\n"), 2u) << ReadFile(path);
        const std::string countLine = "48 more lines like \"Client connected from %s, but was rejected due to invalid "
                                      "data.\" from 10.0.0.5 not logged.\n";
        EXPECT_TRUE(testwait::waitUntil([&] { return ReadFile(path).find(countLine) != std::string::npos; },
                                        std::chrono::seconds(30)))
            << "waiting for the count line\n"
            << ReadFile(path);
    }
    {
        CPeerLog peers(&log, 2, 3600 * 1000);
        for (int i = 0; i < 5; i++)
            peers.Print("", LOG_BURST_WARNING, "Remote Desktop Client app connection was rejected due to invalid data.\n");
    }
    std::string text = ReadFile(path);
    EXPECT_NE(text.find("3 more lines like \"Remote Desktop Client app connection was rejected due to invalid "
                        "data.\" not logged.\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(Count(text, "Remote Desktop Client app connection was rejected due to invalid data.\n"), 2u) << text;
}
