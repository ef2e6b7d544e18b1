// The console colour filter: a pure byte-stream rewriter. Bytes go in, the
// rewritten bytes are appended to a string, and the parser state lives in
// one ColourFilter so that a sequence split across reads is handled the same
// as one read whole. No I/O happens here; main.cpp does the reading and
// writing.
#pragma once

#include <cstddef>
#include <string>

namespace ansipal {

// Background in bits 4 to 7, foreground in bits 0 to 3, 0 to 7 each.
struct Attributes {
    int colour;
    int intensity; // 0 dim, 1 normal, 2 bold
    int highlight; // 0 or 1, set by underline
};

enum ParserState {
    kText = 0,
    kAfterEscape = 1,
    kAfterIntroducer = 2, // after ESC [ or the single byte 0x9B
    kInParameters = 3,
};

constexpr int kMaxParams = 16;

struct ColourFilter {
    int parserState;
    int params[kMaxParams];
    int paramIndex; // -1 when the sequence has no parameters
    Attributes current;
    Attributes saved;
};

// Attributes after start and after a reset: white on black, normal intensity.
constexpr Attributes kDefaultAttributes{7, 1, 0};

void initFilter(ColourFilter& f);

// The palette load and the initial attributes, written once before any input.
void writeStartText(const ColourFilter& f, std::string& out);

// Palette reset and attribute reset, written once at end of input.
void writeEndText(std::string& out);

void filterByte(ColourFilter& f, unsigned char c, std::string& out);
void filterBytes(ColourFilter& f, const void* data, std::size_t length, std::string& out);

// The foreground and background numbers of the current attributes, "fg;bg".
void emitAttributes(const ColourFilter& f, std::string& out);

// Translates the buffered parameters of an SGR sequence and clears them.
void rewriteSgr(ColourFilter& f, std::string& out);

} // namespace ansipal
