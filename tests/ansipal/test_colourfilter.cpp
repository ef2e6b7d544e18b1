// Byte-exact tables for the colour filter: every input is also fed split at
// every position and one byte at a time, since the program hands the filter
// whatever each read returned.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ansipal/colourfilter.h"

using namespace std::string_literals;

namespace {

// Written out by hand rather than taken from the code under test.
const std::string kStart =
    "\33]P0000000\33]P1AA0000\33]P200AA00\33]P3FFFFFF"
    "\33]P40000AA\33]P5FF55FF\33]P655FFFF\33]P7AAAAAA"
    "\33]P8000000\33]P9AA0000\33]PA00AA00\33]PBFFFFFF"
    "\33]PC0000AA\33]PDFF55FF\33]PE55FFFF\33]PFAAAAAA"
    "\33[0;37;40m";
const std::string kEnd = "\33]R\33[0m";

std::string runChunks(const std::vector<std::string>& chunks)
{
    ansipal::ColourFilter f;
    ansipal::initFilter(f);
    std::string out;
    ansipal::writeStartText(f, out);
    for (const std::string& c : chunks)
        ansipal::filterBytes(f, c.data(), c.size(), out);
    ansipal::writeEndText(out);
    return out;
}

struct Case {
    const char* name;
    std::string input;
    std::string output; // between the start text and the end text
};

void checkCases(const std::vector<Case>& cases)
{
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string expected = kStart + c.output + kEnd;
        EXPECT_EQ(runChunks({c.input}), expected);
        for (std::size_t k = 1; k < c.input.size(); k++) {
            EXPECT_EQ(runChunks({c.input.substr(0, k), c.input.substr(k)}), expected)
                << "split at " << k;
        }
        std::vector<std::string> bytes;
        for (char b : c.input)
            bytes.push_back(std::string(1, b));
        EXPECT_EQ(runChunks(bytes), expected) << "one byte per read";
    }
}

TEST(ColourFilter, EmptyInputWritesPaletteAttributesAndReset)
{
    EXPECT_EQ(runChunks({}), kStart + kEnd);
    EXPECT_EQ(runChunks({""}), kStart + kEnd);
}

TEST(ColourFilter, PlainTextAndControlsPassUnchanged)
{
    std::string all;
    for (int b = 0; b < 256; b++)
        if (b != 24 && b != 26 && b != 27 && b != 0x9B)
            all += static_cast<char>(b);
    checkCases({
        {"text", "hello, world\r\n", "hello, world\r\n"},
        {"every byte that starts nothing", all, all},
        {"utf-8 text", "gr\xC3\xBC\xC3\x9F dich\n", "gr\xC3\xBC\xC3\x9F dich\n"},
        {"can and sub alone", "a\x18" "b\x1A" "c", "a\x18" "b\x1A" "c"},
    });
}

TEST(ColourFilter, EachAttributeIsRewritten)
{
    checkCases({
        {"reset", "\33[0m", "\33[0;37;40m"},
        {"bold", "\33[1m", "\33[33;40m"},
        {"dim", "\33[2m", "\33[34;40m"},
        {"normal intensity 21", "\33[1;21m", "\33[33;40;37;40m"},
        {"normal intensity 22", "\33[2;22m", "\33[34;40;37;40m"},
        {"underline", "\33[4m", "\33[33;40m"},
        {"underline off", "\33[4;24m", "\33[33;40;37;40m"},
        {"38 highlights", "\33[31;38m", "\33[31;40;33;40m"},
        {"39 default foreground", "\33[4;31;39m", "\33[33;40;33;40;37;40m"},
        {"fg 30", "\33[30m", "\33[30;40m"},
        {"fg 31", "\33[31m", "\33[31;40m"},
        {"fg 32", "\33[32m", "\33[32;40m"},
        {"fg 33", "\33[33m", "\33[31;40m"},
        {"fg 34", "\33[34m", "\33[34;40m"},
        {"fg 35", "\33[35m", "\33[31;40m"},
        {"fg 36", "\33[36m", "\33[32;40m"},
        {"fg 37", "\33[37m", "\33[37;40m"},
        {"bold fg 30", "\33[1;30m", "\33[33;40;30;40m"},
        {"bold fg 31", "\33[1;31m", "\33[33;40;35;40m"},
        {"bold fg 32", "\33[1;32m", "\33[33;40;36;40m"},
        {"bold fg 33", "\33[1;33m", "\33[33;40;36;40m"},
        {"bold fg 34", "\33[1;34m", "\33[33;40;35;40m"},
        {"bold fg 35", "\33[1;35m", "\33[33;40;35;40m"},
        {"bold fg 36", "\33[1;36m", "\33[33;40;36;40m"},
        {"bold fg 37", "\33[1;37m", "\33[33;40;33;40m"},
        {"bg 40", "\33[40m", "\33[37;40m"},
        {"bg 41", "\33[41m", "\33[37;41m"},
        {"bg 42", "\33[42m", "\33[37;42m"},
        {"bg 43", "\33[43m", "\33[37;41m"},
        {"bg 44", "\33[44m", "\33[37;44m"},
        {"bg 45", "\33[45m", "\33[37;41m"},
        {"bg 46", "\33[46m", "\33[37;42m"},
        {"bg 47", "\33[47m", "\33[37;47m"},
        {"bg 49", "\33[44;49m", "\33[37;44;37;40m"},
        {"dim ignores the colour", "\33[2;31m", "\33[34;40;34;40m"},
        {"highlight wins over dim", "\33[4;2;31m", "\33[33;40;33;40;33;40m"},
        {"unknown numbers stay", "\33[5m", "\33[5m"},
        {"unknown amid known", "\33[1;5;31m", "\33[33;40;5;35;40m"},
        {"extended colour", "\33[38;5;196m", "\33[33;40;5;196m"},
        {"empty first parameter", "\33[;31m", "\33[0;37;40;31;40m"},
        {"empty middle parameter", "\33[1;;31m", "\33[33;40;0;37;40;31;40m"},
        {"single-byte introducer", "\x9B" "1;31m", "\x9B" "33;40;35;40m"},
    });
}

TEST(ColourFilter, AttributesCarryAcrossSequences)
{
    checkCases({
        {"bold then colour", "\33[1mA\33[31mB\33[44mC", "\33[33;40mA\33[35;40mB\33[35;44mC"},
        {"reset clears bold and colour", "\33[1;31;42m\33[0m\33[32m",
         "\33[33;40;35;40;35;42m\33[0;37;40m\33[32;40m"},
        {"ESC [ m passes and resets nothing", "\33[1m\33[m\33[31m", "\33[33;40m\33[m\33[35;40m"},
        {"ESC 7 and ESC 8", "\33[31m\0337\33[0m\0338\33[1m",
         "\33[31;40m\0337\33[0;37;40m\0338\33[35;40m"},
        {"CSI s and u with parameters", "\33[31m\33[1s\33[0m\33[1u\33[1m",
         "\33[31;40m\33[1s\33[0;37;40m\33[1u\33[35;40m"},
        {"CSI s and u without parameters pass", "\33[31m\33[s\33[0m\33[u\33[1m",
         "\33[31;40m\33[s\33[0;37;40m\33[u\33[33;40m"},
        {"restore before any save gives the start attributes", "\33[31;44m\0338\33[1m",
         "\33[31;40;31;44m\0338\33[33;40m"},
        {"ESC c resets", "\33[1;31m\33c\33[4;24m", "\33[33;40;35;40m\33c\33[33;40;37;40m"},
    });
}

TEST(ColourFilter, OtherSequencesPassUnchanged)
{
    checkCases({
        {"cursor position", "\33[12;4H", "\33[12;4H"},
        {"leading zeros drop", "\33[01;002H", "\33[1;2H"},
        {"empty parameters become 0", "\33[;H", "\33[0;0H"},
        {"charset", "\33(B", "\33(B"},
        {"private mode", "\33[?25l", "\33[?25l"},
        {"osc title", "\33]0;title\a", "\33]0;title\a"},
        {"single-byte introducer", "\x9B" "2J", "\x9B" "2J"},
        {"sixteenth parameter folds the rest",
         "\33[1;2;3;4;5;6;7;8;9;10;11;12;13;14;15;16;17;18H",
         "\33[1;2;3;4;5;6;7;8;9;10;11;12;13;14;15;161718H"},
        {"folded sgr", "\33[1;1;1;1;1;1;1;1;1;1;1;1;1;1;1;3;1m",
         "\33[33;40;33;40;33;40;33;40;33;40;33;40;33;40;33;40;33;40;33;40;33;40;33;40;33;40;"
         "33;40;33;40;35;40m"},
    });
}

TEST(ColourFilter, MalformedSequences)
{
    checkCases({
        {"CAN cancels the parameters", "\33[1\x18" "31m", "\33[\x18" "31m"},
        {"SUB cancels the parameters", "\33[1\x1A" "31m", "\33[\x1A" "31m"},
        {"ESC restarts", "\33[1\33[31m", "\33[\33[31;40m"},
        {"CSI restarts", "\33[1\x9B" "31m", "\33[\x9B" "31;40m"},
        {"control inside parameters", "\33[1\n;31m", "\33[\n33;40;35;40m"},
        {"DEL inside parameters", "\33[3\x7F" "1m", "\33[\x7F" "31;40m"},
        {"high byte inside parameters", "\33[3\xC3" "1m", "\33[\xC3" "31;40m"},
        {"ESC ESC", "\33\33[1m", "\33\33[33;40m"},
        {"CAN after ESC", "\33\x18" "7", "\33\x18" "7"},
    });
}

// Digit runs longer than an int holds stop at the largest int instead of
// overflowing, and the next sequences are rewritten as usual.
TEST(ColourFilter, LongDigitRunsSaturate)
{
    const std::string big(40, '9');
    checkCases({
        {"largest int", "\33[2147483647H", "\33[2147483647H"},
        {"one past", "\33[2147483648H", "\33[2147483647H"},
        {"far past", "\33[" + big + "H", "\33[2147483647H"},
        {"far past as sgr", "\33[" + big + ";31m\33[1m", "\33[2147483647;31;40m\33[35;40m"},
        {"in the folded sixteenth", "\33[1;1;1;1;1;1;1;1;1;1;1;1;1;1;1;" + big + ";" + big + "H",
         "\33[1;1;1;1;1;1;1;1;1;1;1;1;1;1;1;2147483647H"},
        {"leading zeros stay small", "\33[" + std::string(60, '0') + "31m", "\33[31;40m"},
        {"overflow then more sequences", "\33[" + big + "m\33[1;31mx\33[0m",
         "\33[2147483647m\33[33;40;35;40mx\33[0;37;40m"},
    });
}

TEST(ColourFilter, UnfinishedSequenceAtEndOfInput)
{
    checkCases({
        {"after ESC", "abc\33", "abc\33"},
        {"after ESC [", "abc\33[", "abc\33["},
        {"inside parameters", "abc\33[12;3", "abc\33["},
        {"after CSI byte", "abc\x9B", "abc\x9B"},
        {"CSI byte and digit", "abc\x9B" "4", "abc\x9B"},
        {"complete then unfinished", "\33[1mB\33[3", "\33[33;40mB\33["},
    });
}

TEST(ColourFilter, SplitAcrossReads)
{
    // A few explicit splits; checkCases tries every split of every case.
    EXPECT_EQ(runChunks({"\33[1;3", "1mX"}), kStart + "\33[33;40;35;40mX" + kEnd);
    EXPECT_EQ(runChunks({"\33", "[", "4", "4", "m"}), kStart + "\33[37;44m" + kEnd);
    EXPECT_EQ(runChunks({"\33[12", "", "3", "4;5", "H"}), kStart + "\33[1234;5H" + kEnd);
    EXPECT_EQ(runChunks({"\33[" + std::string(30, '9'), std::string(30, '9') + "m"}),
              kStart + "\33[2147483647m" + kEnd);
}

} // namespace
