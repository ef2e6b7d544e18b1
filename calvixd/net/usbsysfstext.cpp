#include "calvixd/net/usbsysfstext.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr size_t TEXT_PART_SIZE = 256;

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Digits in base 10 or 16 from text[*pos]; false when there is none or the
// value passes limit.
bool ReadNumber(const char* text, size_t length, size_t* pos, int base, long long limit, long long* value)
{
    long long result = 0;
    size_t start = *pos;
    while (*pos < length) {
        int digit = base == 16 ? HexDigit(text[*pos]) : (text[*pos] >= '0' && text[*pos] <= '9' ? text[*pos] - '0' : -1);
        if (digit < 0)
            break;
        result = result * base + digit;
        if (result > limit)
            return false;
        (*pos)++;
    }
    if (*pos == start)
        return false;
    *value = result;
    return true;
}

bool StartsWith(const char* text, size_t length, const char* prefix)
{
    size_t n = strlen(prefix);
    return length >= n && memcmp(text, prefix, n) == 0;
}

// Appends one zero-terminated text to a multi-string part when it still
// fits with the closing empty text.
void AppendText(std::vector<char>* part, const char* text)
{
    size_t n = strlen(text) + 1;
    if (part->size() + n + 1 > TEXT_PART_SIZE)
        return;
    part->insert(part->end(), text, text + n);
}

void StoreMultiString(std::vector<char> part, uint8_t* out)
{
    part.push_back('\0');
    memset(out, 0, TEXT_PART_SIZE);
    memcpy(out, part.data(), part.size());
}

} // namespace

int ParseDecimalAttribute(const char* text, size_t length)
{
    size_t pos = 0;
    while (pos < length && IsBlank(text[pos]))
        pos++;
    bool negative = false;
    if (pos < length && (text[pos] == '-' || text[pos] == '+'))
        negative = text[pos++] == '-';
    long long value = 0;
    if (!ReadNumber(text, length, &pos, 10, static_cast<long long>(INT_MAX) + 1, &value))
        return -1;
    if (negative)
        return static_cast<int>(-value);
    return value > INT_MAX ? -1 : static_cast<int>(value);
}

int ParseHexAttribute(const char* text, size_t length)
{
    size_t pos = 0;
    while (pos < length && IsBlank(text[pos]))
        pos++;
    if (pos + 2 < length && text[pos] == '0' && (text[pos + 1] == 'x' || text[pos + 1] == 'X') &&
        HexDigit(text[pos + 2]) >= 0)
        pos += 2;
    long long value = 0;
    if (!ReadNumber(text, length, &pos, 16, INT_MAX, &value))
        return -1;
    return static_cast<int>(value);
}

uint16_t ParseUsbVersion(const char* text, size_t length)
{
    size_t pos = 0;
    while (pos < length && IsBlank(text[pos]))
        pos++;
    long long major = 0, minor = 0;
    if (!ReadNumber(text, length, &pos, 16, 0xFF, &major))
        return 0;
    if (pos >= length || text[pos] != '.')
        return 0;
    pos++;
    if (!ReadNumber(text, length, &pos, 16, INT_MAX, &minor))
        return 0;
    return static_cast<uint16_t>(major * 256 + (minor & 0xFF));
}

uint8_t ParseUsbSpeed(const char* text, size_t length)
{
    if (StartsWith(text, length, "5000"))
        return 3;
    if (StartsWith(text, length, "480"))
        return 2;
    if (StartsWith(text, length, "12"))
        return 1;
    if (StartsWith(text, length, "1.5"))
        return 0;
    return 255;
}

std::string TrimSysfsText(const char* text, size_t length)
{
    auto trimmed = [](char c) { return c == ' ' || c == '\n' || c == '\r'; };
    size_t begin = 0;
    while (begin < length && trimmed(text[begin]))
        begin++;
    size_t end = length;
    while (end > begin && trimmed(text[end - 1]))
        end--;
    std::string result(text + begin, end - begin);
    // A text attribute ends at its first NUL, as fgets would make it.
    size_t nul = result.find('\0');
    if (nul != std::string::npos)
        result.resize(nul);
    return result;
}

bool IsPlainSerial(const std::string& serial)
{
    if (serial.empty())
        return false;
    for (unsigned char c : serial) {
        if (c <= ' ' || c >= 128 || c == ',')
            return false;
    }
    return true;
}

std::string BuildDeviceName(const std::string& manufacturer, const std::string& product, bool composite,
                            uint16_t vendorId, uint16_t productId)
{
    std::string name = manufacturer;
    if (!product.empty()) {
        if (!name.empty())
            name += ' ';
        if (product.compare(0, name.size(), name) == 0)
            name += product.substr(name.size());
        else
            name += product;
    }
    if (composite) {
        if (!name.empty())
            name += ' ';
        name += "Composite USB Device";
    }
    for (char& c : name) {
        if (c == '\n' || c == '\r')
            c = ' ';
    }
    if (name.empty()) {
        char fallback[64];
        snprintf(fallback, sizeof(fallback), "USB Device vendor_id 0x%.4x - product_id 0x%.4x", vendorId, productId);
        name = fallback;
    }
    if (name.size() > TEXT_PART_SIZE - 1)
        name.resize(TEXT_PART_SIZE - 1);
    return name;
}

void BuildDeviceTextBlock(const std::string& name, const DeviceIdTexts& ids, uint8_t block[768])
{
    memset(block, 0, 768);
    memcpy(block, name.data(), name.size() < TEXT_PART_SIZE - 1 ? name.size() : TEXT_PART_SIZE - 1);

    char text[96];
    std::vector<char> hardware;
    snprintf(text, sizeof(text), "USB\\VID_%.4X&PID_%.4X&REV_%.4X", ids.vendorId, ids.productId, ids.bcdDevice);
    AppendText(&hardware, text);
    snprintf(text, sizeof(text), "USB\\VID_%.4X&PID_%.4X", ids.vendorId, ids.productId);
    AppendText(&hardware, text);
    StoreMultiString(hardware, block + TEXT_PART_SIZE);

    std::vector<char> compatible;
    const char* prefix = ids.composite ? "DevClass" : "Class";
    snprintf(text, sizeof(text), "USB\\%s_%.2X&SubClass_%.2X&Prot_%.2X", prefix, ids.deviceClass, ids.subClass,
             ids.protocol);
    AppendText(&compatible, text);
    snprintf(text, sizeof(text), "USB\\%s_%.2X&SubClass_%.2X", prefix, ids.deviceClass, ids.subClass);
    AppendText(&compatible, text);
    snprintf(text, sizeof(text), "USB\\%s_%.2X", prefix, ids.deviceClass);
    AppendText(&compatible, text);
    if (ids.composite)
        AppendText(&compatible, "USB\\COMPOSITE");
    StoreMultiString(compatible, block + 2 * TEXT_PART_SIZE);
}
