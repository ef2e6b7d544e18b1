// Texts from administrators and clients that end up inside one line of the
// configuration file or of the event log, where a CR, LF or other control
// byte would start a line of its own.
#pragma once

#include <string>

// True when the text holds a byte below 0x20 or the byte 0x7F.
bool HasControlCharacters(const std::string& text);

// The text with every such byte replaced by '?'.
std::string ReplaceControlCharacters(const std::string& text);
