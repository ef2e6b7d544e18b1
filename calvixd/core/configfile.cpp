#include "calvixd/core/configfile.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char GENERIC_SECTION[] = "[Generic options section]";

bool StartsWith(const char* line, size_t length, const char* prefix)
{
    size_t n = strlen(prefix);
    return length >= n && memcmp(line, prefix, n) == 0;
}

// "true..." gives true, "false..." false, after leading blanks; anything else
// leaves the value.
void ParseBool(const char* value, size_t length, bool* out)
{
    size_t i = 0;
    while (i < length && (value[i] == ' ' || value[i] == '\t'))
        i++;
    if (StartsWith(value + i, length - i, "true"))
        *out = true;
    else if (StartsWith(value + i, length - i, "false"))
        *out = false;
}

// Next line as fgets with CONFIG_LINE_LIMIT + 1 bytes would return it: up to
// and including "\n", at most CONFIG_LINE_LIMIT characters.
bool NextLine(const char* text, size_t length, size_t* pos, const char** line, size_t* lineLength)
{
    if (*pos >= length)
        return false;
    size_t start = *pos;
    size_t end = start;
    while (end < length && end - start < CONFIG_LINE_LIMIT) {
        if (text[end++] == '\n')
            break;
    }
    *line = text + start;
    *lineLength = end - start;
    *pos = end;
    return true;
}

} // namespace

void CConfigFile::ParseGenericOptions(const char* text, size_t length, bool* eventlog, bool* debuglog)
{
    size_t pos = 0;
    const char* line;
    size_t lineLength;
    while (NextLine(text, length, &pos, &line, &lineLength)) {
        if (!StartsWith(line, lineLength, GENERIC_SECTION))
            continue;
        // The line that ends the section is not looked at again.
        while (NextLine(text, length, &pos, &line, &lineLength)) {
            if (lineLength > 0 && line[0] == '[')
                break;
            if (StartsWith(line, lineLength, "eventlog="))
                ParseBool(line + 9, lineLength - 9, eventlog);
            else if (StartsWith(line, lineLength, "debuglog="))
                ParseBool(line + 9, lineLength - 9, debuglog);
        }
    }
}

int CConfigFile::ReadGenericOptions(bool* eventlog, bool* debuglog)
{
    FILE* file = fopen(CONFIG_FILE_PATH, "re");
    if (!file)
        return 0;
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), file)) > 0)
        text.append(buffer, n);
    fclose(file);
    ParseGenericOptions(text.data(), text.size(), eventlog, debuglog);
    return 1;
}

// Of the whole file only the generic options are understood so far; every
// other setting keeps its default.
int CConfigFile::ReadAll(StoredSettings* settings)
{
    return ReadGenericOptions(&settings->eventlog, &settings->debuglog);
}

// No writer exists yet. Rewriting the file with only the settings known here
// would throw away what the administrator keeps in it, so nothing is written.
int CConfigFile::WriteAll(const StoredSettings&)
{
    return 0;
}
