#include "ansipal/colourfilter.h"

#include <climits>

namespace ansipal {

namespace {

// Our scheme folds the eight ANSI colours onto the few the palette keeps;
// the second row serves bold foregrounds.
constexpr int colourMap[16] = {
    0, 1, 2, 1, 4, 1, 2, 7,
    0, 5, 6, 6, 5, 5, 6, 3,
};

// ESC ] P n rrggbb sets console palette entry n (a Linux console private
// sequence); entries 8 to F repeat 0 to 7 so bold text keeps the scheme.
constexpr char kPaletteText[] =
    "\33]P0000000\33]P1AA0000\33]P200AA00\33]P3FFFFFF"
    "\33]P40000AA\33]P5FF55FF\33]P655FFFF\33]P7AAAAAA"
    "\33]P8000000\33]P9AA0000\33]PA00AA00\33]PBFFFFFF"
    "\33]PC0000AA\33]PDFF55FF\33]PE55FFFF\33]PFAAAAAA"
    "\33[0;";

constexpr unsigned char kCan = 24;
constexpr unsigned char kSub = 26;
constexpr unsigned char kEsc = 27;
constexpr unsigned char kCsi = 0x9B;

bool isDigit(unsigned char c) { return c >= '0' && c <= '9'; }

// A long digit run would overflow an int; it stops at INT_MAX instead, which
// no attribute uses, so the sequence passes on with a large number and the
// parser stays in step with the stream.
int appendDigit(int value, unsigned char c)
{
    int digit = c - '0';
    if (value > (INT_MAX - digit) / 10)
        return INT_MAX;
    return value * 10 + digit;
}

void setForeground(Attributes& a, int fg) { a.colour = (a.colour & 0xF0) | fg; }
void setBackground(Attributes& a, int bg) { a.colour = (a.colour & 0x0F) | (bg << 4); }

void rewriteOne(ColourFilter& f, int p, std::string& out)
{
    Attributes& a = f.current;
    if (p == 0) {
        out += "0;";
        a = kDefaultAttributes;
    } else if (p == 1) {
        a.intensity = 2;
    } else if (p == 2) {
        a.intensity = 0;
    } else if (p == 21 || p == 22) {
        a.intensity = 1;
    } else if (p == 4) {
        a.highlight = 1;
    } else if (p == 24) {
        a.highlight = 0;
    } else if (p == 38) {
        setForeground(a, 7);
        a.highlight = 1;
    } else if (p == 39) {
        setForeground(a, 7);
        a.highlight = 0;
    } else if (p >= 30 && p <= 37) {
        setForeground(a, p - 30);
    } else if (p >= 40 && p <= 47) {
        setBackground(a, p - 40);
    } else if (p == 49) {
        setBackground(a, 0);
    } else {
        out += std::to_string(p);
        return;
    }
    emitAttributes(f, out);
}

void writeParams(const ColourFilter& f, std::string& out)
{
    for (int i = 0; i <= f.paramIndex; i++) {
        if (i > 0)
            out += ';';
        out += std::to_string(f.params[i]);
    }
}

} // namespace

void initFilter(ColourFilter& f)
{
    f = ColourFilter{};
    f.parserState = kText;
    f.paramIndex = -1;
    f.current = kDefaultAttributes;
    // The console saves its defaults at reset, so a restore without an
    // earlier save brings back the start attributes.
    f.saved = kDefaultAttributes;
}

void writeStartText(const ColourFilter& f, std::string& out)
{
    out += kPaletteText;
    emitAttributes(f, out);
    out += 'm';
}

void writeEndText(std::string& out)
{
    out += "\33]R\33[0m";
}

void emitAttributes(const ColourFilter& f, std::string& out)
{
    const Attributes& a = f.current;
    int fg;
    if (a.highlight)
        fg = 33;
    else if (a.intensity == 0)
        fg = 34;
    else
        fg = 30 + colourMap[(a.intensity == 2 ? 8 : 0) + (a.colour & 0x0F)];
    int bg = 40 + colourMap[(a.colour >> 4) & 0x0F];
    out += std::to_string(fg);
    out += ';';
    out += std::to_string(bg);
}

void rewriteSgr(ColourFilter& f, std::string& out)
{
    for (int i = 0; i <= f.paramIndex; i++) {
        if (i > 0)
            out += ';';
        rewriteOne(f, f.params[i], out);
    }
    f.paramIndex = -1;
}

// Exactly one branch applies to each byte: the C0 and C1 controls that
// start or cancel a sequence come first, any other byte outside 32..126 is
// passed on without touching the state, and only then does the state decide.
void filterByte(ColourFilter& f, unsigned char c, std::string& out)
{
    if (c == kCan || c == kSub) {
        f.parserState = kText;
    } else if (c == kEsc) {
        f.parserState = kAfterEscape;
    } else if (c == kCsi) {
        f.parserState = kAfterIntroducer;
    } else if (c < 32 || c > 126) {
        // Controls inside a sequence act on the console and leave it pending.
    } else if (f.parserState == kAfterEscape) {
        f.parserState = kText;
        if (c == '7')
            f.saved = f.current;
        else if (c == '8')
            f.current = f.saved;
        else if (c == '[')
            f.parserState = kAfterIntroducer;
        else if (c == 'c')
            f.current = kDefaultAttributes;
    } else if (f.parserState == kAfterIntroducer) {
        if (!isDigit(c) && c != ';') {
            f.parserState = kText;
        } else {
            for (int& p : f.params)
                p = 0;
            f.parserState = kInParameters;
            if (c == ';') {
                f.paramIndex = 1;
            } else {
                f.paramIndex = 0;
                f.params[0] = c - '0';
            }
            return;
        }
    } else if (f.parserState == kInParameters) {
        if (c == ';') {
            if (f.paramIndex < kMaxParams - 1)
                f.paramIndex++;
            return;
        }
        if (isDigit(c)) {
            f.params[f.paramIndex] = appendDigit(f.params[f.paramIndex], c);
            return;
        }
        f.parserState = kText;
        if (c == 's')
            f.saved = f.current;
        else if (c == 'u')
            f.current = f.saved;
        else if (c == 'm')
            rewriteSgr(f, out);
        writeParams(f, out);
        f.paramIndex = -1;
    }
    out += static_cast<char>(c);
}

void filterBytes(ColourFilter& f, const void* data, std::size_t length, std::string& out)
{
    const unsigned char* p = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < length; i++)
        filterByte(f, p[i], out);
}

} // namespace ansipal
