#include "calvixd/core/configfile.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "sys/thread"

namespace {

struct Flags {
    bool eventlog;
    bool debuglog;
};

Flags Parse(const std::string& text, Flags start = {true, false})
{
    CConfigFile::ParseGenericOptions(text.data(), text.size(), &start.eventlog, &start.debuglog);
    return start;
}

} // namespace

TEST(ConfigFileGenericOptions, ValuesAndSections)
{
    struct Case {
        const char* name;
        std::string text;
        Flags expected;
    };
    const Case cases[] = {
        {"empty file keeps defaults", "", {true, false}},
        {"both set", "[Generic options section]\neventlog=false\ndebuglog=true\n", {false, true}},
        {"leading blanks and trailing words",
         "[Generic options section]\neventlog= \tfalse please\ndebuglog=  trueish\n",
         {false, true}},
        {"unknown values leave the value", "[Generic options section]\neventlog=no\ndebuglog=yes\n", {true, false}},
        {"keys outside the section are ignored", "eventlog=false\n[Local USB server section]\ndebuglog=true\n",
         {true, false}},
        {"the section ends at a line starting with [",
         "[Generic options section]\n[Local USB server section]\neventlog=false\n",
         {true, false}},
        {"last line without newline", "[Generic options section]\ndebuglog=true", {true, true}},
        {"key must start the line", "[Generic options section]\n eventlog=false\n#debuglog=true\n", {true, false}},
        {"a later section of the same name is read too",
         "[Generic options section]\neventlog=false\n[Other]\n[Generic options section]\ndebuglog=true\n",
         {false, true}},
        // The line that ended a section is not looked at again, so a header
        // directly after the section does not open it anew.
        {"header ending the section is not reopened",
         "[Generic options section]\n[Generic options section]\ndebuglog=true\n",
         {true, false}},
        {"header compared over its whole length", "[Generic options sect]\neventlog=false\n", {true, false}},
    };
    for (const Case& c : cases) {
        Flags got = Parse(c.text);
        EXPECT_EQ(got.eventlog, c.expected.eventlog) << c.name;
        EXPECT_EQ(got.debuglog, c.expected.debuglog) << c.name;
    }
}

TEST(ConfigFileGenericOptions, LongLineIsReadAsTwoLines)
{
    // The tail of a line longer than the limit arrives as a line of its own.
    std::string padding(CONFIG_LINE_LIMIT - 1, 'x');
    std::string text = "[Generic options section]\n#" + padding + "debuglog=true\n";
    EXPECT_TRUE(Parse(text).debuglog);
    // One character less and the key stays inside the comment line.
    std::string shorter = "[Generic options section]\n#" + padding.substr(1) + "debuglog=true\n";
    EXPECT_FALSE(Parse(shorter).debuglog);
}

TEST(ConfigFileGenericOptions, BytesAfterNulDoNotEscapeTheBuffer)
{
    const char raw[] = "[Generic options section]\neventlog=fal\0se\ndebuglog=true\n";
    std::string text(raw, sizeof(raw) - 1);
    Flags got = Parse(text);
    EXPECT_TRUE(got.eventlog);
    EXPECT_TRUE(got.debuglog);
}

TEST(ConfigFileGenericOptions, ArbitraryBytesAreReadSafely)
{
    // Pieces that steer the reader into its branches, glued at random.
    const std::string pieces[] = {"[Generic options section]", "\n", "[", "eventlog=", "debuglog=", "true",
                                  "false", " ", "\t", std::string(1, '\0'), std::string(CONFIG_LINE_LIMIT - 3, 'x')};
    RANDOM_STATE state;
    RandomInit(&state, 12345);
    for (int round = 0; round < 300; round++) {
        std::string text;
        int count = static_cast<int>(RandomNextMwc(&state) % 40);
        for (int i = 0; i < count; i++)
            text += pieces[RandomNextMwc(&state) % (sizeof(pieces) / sizeof(pieces[0]))];
        // Read from an exact-size heap copy, so a read past the end is caught.
        std::unique_ptr<char[]> exact(new char[text.size() ? text.size() : 1]);
        memcpy(exact.get(), text.data(), text.size());
        bool eventlog = true;
        bool debuglog = false;
        CConfigFile::ParseGenericOptions(exact.get(), text.size(), &eventlog, &debuglog);
        if (text.find("[Generic options section]") == std::string::npos) {
            EXPECT_TRUE(eventlog);
            EXPECT_FALSE(debuglog);
        }
    }
}
