// Runs the real ansipal binary with pipes and once on a pseudo-terminal.

#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

#include "tests/ansipal/childprocess.h"

using namespace ansipal_test;
using namespace std::chrono_literals;

namespace {

const std::string kStart =
    "\33]P0000000\33]P1AA0000\33]P200AA00\33]P3FFFFFF"
    "\33]P40000AA\33]P5FF55FF\33]P655FFFF\33]P7AAAAAA"
    "\33]P8000000\33]P9AA0000\33]PA00AA00\33]PBFFFFFF"
    "\33]PC0000AA\33]PDFF55FF\33]PE55FFFF\33]PFAAAAAA"
    "\33[0;37;40m";
const std::string kEnd = "\33]R\33[0m";

class AnsipalProcess : public ::testing::Test {
protected:
    void SetUp() override { signal(SIGPIPE, SIG_IGN); }
};

auto endsWith(const std::string& tail)
{
    return [tail](const std::string& s) {
        return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
    };
}

TEST_F(AnsipalProcess, FiltersStreamsThroughPipes)
{
    std::string bulkIn, bulkOut;
    for (int i = 0; i < 20000; i++) {
        bulkIn += "line \33[1;31mred\33[0m\r\n";
        bulkOut += "line \33[33;40;35;40mred\33[0;37;40m\r\n";
    }
    struct Case {
        const char* name;
        std::string input, output;
    } cases[] = {
        {"empty", "", ""},
        {"plain", "hello\n", "hello\n"},
        {"attributes", "\33[1;31mA\33[0mB\33[12;4H", "\33[33;40;35;40mA\33[0;37;40mB\33[12;4H"},
        {"unfinished at end", "x\33[1;3", "x\33["},
        {"long digit run", "\33[" + std::string(50, '7') + "m\33[1m", "\33[2147483647m\33[33;40m"},
        {"bulk", bulkIn, bulkOut},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Child child = spawnWithPipes(ANSIPAL_BIN);
        ASSERT_GT(child.pid, 0);
        std::string out, err;
        EXPECT_TRUE(pump(child, c.input, out, err, 30s));
        int status = waitExit(child.pid, 10s);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_EQ(out, kStart + c.output + kEnd);
        EXPECT_EQ(err, "");
    }
}

// Each piece of output must arrive while the input is still open: a prompt
// without a newline is what a person answers, so holding it back would hang
// the session.
TEST_F(AnsipalProcess, OutputIsNotHeldBackOnPipes)
{
    Child child = spawnWithPipes(ANSIPAL_BIN);
    ASSERT_GT(child.pid, 0);
    std::string out;
    ASSERT_EQ(readUntil(child.stdoutFd, out, endsWith(kStart), 10s), ReadEnd::Done);

    const std::string pieces[][2] = {
        {"\33[1;31mName: ", "\33[33;40;35;40mName: "},
        {"\33[1;3", ""}, // unfinished: nothing to show yet
        {"2mOK", "\33[35;40;36;40mOK"}, // still bold red until 32
    };
    std::string expected = kStart;
    for (const auto& piece : pieces) {
        ASSERT_EQ(write(child.stdinFd, piece[0].data(), piece[0].size()),
                  static_cast<ssize_t>(piece[0].size()));
        if (piece[1].empty())
            continue;
        expected += piece[1];
        EXPECT_EQ(readUntil(child.stdoutFd, out, endsWith(piece[1]), 10s), ReadEnd::Done) << out;
        EXPECT_EQ(out, expected);
    }
    closeFd(child.stdinFd);
    EXPECT_EQ(readUntil(child.stdoutFd, out, [](const std::string&) { return false; }, 10s),
              ReadEnd::Eof);
    EXPECT_EQ(out, expected + kEnd);
    int status = waitExit(child.pid, 10s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    closeFd(child.stdoutFd);
    closeFd(child.stderrFd);
}

// On a terminal, stdio would buffer by line; the prompt has no newline.
TEST_F(AnsipalProcess, PromptAppearsOnATerminalWithoutMoreInput)
{
    Child child = spawnOnPty(ANSIPAL_BIN);
    ASSERT_GT(child.pid, 0);
    const std::string prompt = "\33[1mPassword: ";
    const std::string shown = kStart + "\33[33;40mPassword: ";
    ASSERT_EQ(write(child.stdinFd, prompt.data(), prompt.size()), static_cast<ssize_t>(prompt.size()));

    std::string screen;
    EXPECT_EQ(readUntil(child.stdoutFd, screen, endsWith(shown), 10s), ReadEnd::Done) << screen;
    EXPECT_EQ(screen, shown);

    closeFd(child.stdinFd);
    EXPECT_EQ(readUntil(child.stdoutFd, screen, endsWith(kEnd), 10s), ReadEnd::Done);
    EXPECT_EQ(screen, shown + kEnd);
    int status = waitExit(child.pid, 10s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    closeFd(child.stdoutFd);
}

TEST_F(AnsipalProcess, WriteFailureIsReported)
{
    Child child = spawnWithPipes(ANSIPAL_BIN, "/dev/full");
    ASSERT_GT(child.pid, 0);
    std::string out, err;
    pump(child, "text\n", out, err, 10s);
    int status = waitExit(child.pid, 10s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_EQ(err, "ansipal: write error: No space left on device\n");
}

} // namespace
