// The reader of calvixd's configuration file, one line at a time: a pure
// function of (line, length) and the section the previous lines opened.
// Every problem skips the one line: the daemon never refuses to start over
// the file's contents.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "calvixd/core/coretypes.h"

// Lines are read into this many characters (the "\n" included), so a longer
// line arrives as several lines.
constexpr size_t CONFIG_LINE_LIMIT = 16383;

// Splits text as the file reader does: the next line up to and including
// "\n", at most CONFIG_LINE_LIMIT characters. False at the end.
bool NextConfigLine(const char* text, size_t length, size_t* pos, const char** line, size_t* lineLength);

class CConfigParser {
public:
    explicit CConfigParser(StoredSettings* settings) : m_settings(settings) {}

    // A line as read, with its "\n" when it had one.
    void ParseLine(const char* line, size_t length);
    // Every line of text.
    static void ParseText(const char* text, size_t length, StoredSettings* settings);

private:
    void ParseKey(const std::string& line);

    StoredSettings* m_settings;
    int m_section = 0; // 1 to 12 inside a section, 0 outside
};

// The generic options alone, as read before the event log exists: the line
// that ends the section is not examined again.
class CGenericOptionsParser {
public:
    CGenericOptionsParser(bool* eventlog, bool* debuglog) : m_eventlog(eventlog), m_debuglog(debuglog) {}
    void ParseLine(const char* line, size_t length);

private:
    bool* m_eventlog;
    bool* m_debuglog;
    bool m_inside = false;
};
