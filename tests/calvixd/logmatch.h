// Matching event-log lines: the stamp "Mmm dd, yyyy hh:mm:ss " and the text.
#pragma once

#include <cctype>
#include <cstring>
#include <string>

constexpr size_t LOG_STAMP_LENGTH = 22;

// True when line starts with a well-formed stamp; *text gets the rest.
inline bool SplitStamp(const std::string& line, std::string* text)
{
    if (line.size() < LOG_STAMP_LENGTH)
        return false;
    static const char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    bool month = false;
    for (int m = 0; m < 12; m++)
        month = month || line.compare(0, 3, months + 3 * m, 3) == 0;
    auto digit = [&](size_t i) { return isdigit(static_cast<unsigned char>(line[i])) != 0; };
    auto in = [&](size_t i, char low, char high) { return line[i] >= low && line[i] <= high; };
    bool ok = month && line[3] == ' ' && (line[4] == ' ' || in(4, '1', '3')) && digit(5) && line[6] == ',' &&
              line[7] == ' ' && digit(8) && digit(9) && digit(10) && digit(11) && line[12] == ' ' &&
              in(13, '0', '2') && digit(14) && line[15] == ':' && in(16, '0', '5') && digit(17) && line[18] == ':' &&
              in(19, '0', '5') && digit(20) && line[21] == ' ';
    if (ok && text)
        *text = line.substr(LOG_STAMP_LENGTH);
    return ok;
}

// The whole text is stamped lines with exactly these texts, in order.
inline bool IsStampedLines(const std::string& log, std::initializer_list<std::string> texts)
{
    size_t at = 0;
    for (const std::string& expected : texts) {
        size_t end = log.find('\n', at);
        if (end == std::string::npos)
            return false;
        std::string text;
        if (!SplitStamp(log.substr(at, end - at), &text) || text != expected)
            return false;
        at = end + 1;
    }
    return at == log.size();
}
