// calvixd's configuration file, /etc/calvixd.conf: section headers in square
// brackets and key=value lines.
#pragma once

#include <cstddef>

#include "calvixd/core/coretypes.h"

constexpr const char CONFIG_FILE_PATH[] = "/etc/calvixd.conf";
// Lines are read with fgets into this many bytes, so a longer line arrives
// as several lines.
constexpr size_t CONFIG_LINE_LIMIT = 16383;

class CConfigFile {
public:
    CConfigFile() {}
    virtual ~CConfigFile() {}

    // Reads "eventlog=" and "debuglog=" of "[Generic options section]" from
    // the fixed path. 0 when the file cannot be opened (values untouched).
    int ReadGenericOptions(bool* eventlog, bool* debuglog);

    // The same on text already read: a pure function of (bytes, length).
    static void ParseGenericOptions(const char* text, size_t length, bool* eventlog, bool* debuglog);

    // Whole-file reader and writer. The reader fills what it knows and
    // returns 1, or 0 when the file cannot be opened. The writer returns 0
    // when nothing was written; the file is then left exactly as it was.
    virtual int ReadAll(StoredSettings* settings);
    virtual int WriteAll(const StoredSettings& settings);
};
