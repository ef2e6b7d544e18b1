#include "calvixd/core/linetext.h"

namespace {

bool IsControl(char c)
{
    unsigned char byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
}

} // namespace

bool HasControlCharacters(const std::string& text)
{
    for (char c : text) {
        if (IsControl(c))
            return true;
    }
    return false;
}

std::string ReplaceControlCharacters(const std::string& text)
{
    std::string safe(text);
    for (char& c : safe) {
        if (IsControl(c))
            c = '?';
    }
    return safe;
}
