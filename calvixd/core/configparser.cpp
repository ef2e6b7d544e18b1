#include "calvixd/core/configparser.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "calvixd/core/configfile.h"

namespace {

enum Section {
    SECTION_NONE = 0,
    SECTION_GENERIC,
    SECTION_SERVER,
    SECTION_DEVICES,
    SECTION_NICKNAMES,
    SECTION_TIMEOUTS,
    SECTION_CALLBACKS,
    SECTION_IDENTIFY,
    SECTION_POLICY,
    SECTION_IP_FILTERS,
    SECTION_ACL,
    SECTION_UNIQID,
    SECTION_QUIRKS,
};

bool StartsWith(const std::string& text, const char* prefix)
{
    return text.compare(0, strlen(prefix), prefix) == 0;
}

bool StartsWith(const char* text, size_t length, const char* prefix)
{
    size_t n = strlen(prefix);
    return length >= n && memcmp(text, prefix, n) == 0;
}

int SectionOf(const char* line, size_t length)
{
    for (int i = 1; i <= SECTION_QUIRKS; i++) {
        if (StartsWith(line, length, CONFIG_SECTION_HEADERS[i - 1]))
            return i;
    }
    return SECTION_NONE;
}

// The value without its line end: a value runs to the end of the line.
std::string LineValue(const std::string& line, size_t keyLength)
{
    std::string value = line.substr(keyLength);
    if (!value.empty() && value.back() == '\n')
        value.pop_back();
    return value;
}

// The entry of a list key: up to the first ";", or to the line end; a value
// with neither is rejected.
bool EntryValue(const std::string& line, size_t keyLength, std::string* entry)
{
    size_t end = line.find(';', keyLength);
    if (end == std::string::npos)
        end = line.find('\n', keyLength);
    if (end == std::string::npos)
        return false;
    *entry = line.substr(keyLength, end - keyLength);
    return true;
}

// Fields at ":", at most `limit`; the last runs to the entry end. Missing
// fields are empty.
std::vector<std::string> Fields(const std::string& entry, size_t limit)
{
    std::vector<std::string> fields;
    size_t start = 0;
    while (fields.size() + 1 < limit) {
        size_t colon = entry.find(':', start);
        if (colon == std::string::npos)
            break;
        fields.push_back(entry.substr(start, colon - start));
        start = colon + 1;
    }
    fields.push_back(entry.substr(start));
    fields.resize(limit);
    return fields;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return 0; // counts as 0 without making the field invalid
}

// 1 to `width` characters of hex digits.
bool ParseHex(const std::string& field, size_t width, uint32_t* out)
{
    if (field.empty() || field.size() > width)
        return false;
    uint32_t value = 0;
    for (char c : field)
        value = value << 4 | static_cast<uint32_t>(HexDigit(c));
    *out = value;
    return true;
}

template <typename T>
bool ParseHexAs(const std::string& field, size_t width, T* out)
{
    uint32_t value;
    if (!ParseHex(field, width, &value))
        return false;
    *out = static_cast<T>(value);
    return true;
}

// A number as strtoul reads it with base 0; past 32 bits it is 0xFFFFFFFF.
uint32_t ParseNumber(const std::string& field)
{
    unsigned long long value = strtoull(field.c_str(), nullptr, 0);
    return value > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(value);
}

// Exactly 32 hex digits, the first two giving the first byte.
bool ParseIdentity(const std::string& field, uint8_t digest[16])
{
    if (field.size() != 32)
        return false;
    for (size_t i = 0; i < 16; i++)
        digest[i] = static_cast<uint8_t>(HexDigit(field[2 * i]) << 4 | HexDigit(field[2 * i + 1]));
    return true;
}

void ParseBool(const std::string& value, bool* out)
{
    size_t i = value.find_first_not_of(" \t");
    if (i == std::string::npos)
        return;
    if (value.compare(i, 4, "true") == 0)
        *out = true;
    else if (value.compare(i, 5, "false") == 0)
        *out = false;
}

bool ParseMode(const std::string& value, uint8_t* mode)
{
    if (value.find("allow") != std::string::npos)
        *mode = FILTER_MODE_ALLOW;
    else if (value.find("deny") != std::string::npos)
        *mode = FILTER_MODE_DENY;
    else if (value.find("disable") != std::string::npos)
        *mode = FILTER_MODE_DISABLED;
    else
        return false;
    return true;
}

// At most 8 hex digits followed only by blanks or tabs; none at all is 0.
// The least significant byte is the first byte of the address.
bool ParseHexAddress(const std::string& value, ADDRESS* out)
{
    size_t digits = 0;
    uint32_t number = 0;
    while (digits < value.size() && isxdigit(static_cast<unsigned char>(value[digits]))) {
        if (digits == 8)
            return false;
        number = number << 4 | static_cast<uint32_t>(HexDigit(value[digits]));
        digits++;
    }
    if (value.find_first_not_of(" \t", digits) != std::string::npos)
        return false;
    uint8_t bytes[4] = {static_cast<uint8_t>(number), static_cast<uint8_t>(number >> 8),
                        static_cast<uint8_t>(number >> 16), static_cast<uint8_t>(number >> 24)};
    in_addr address;
    memcpy(&address, bytes, 4);
    *out = ADDRESS(&address);
    return true;
}

void ParseInterface(const std::string& value, ADDRESS* out)
{
    in_addr address;
    if (inet_pton(AF_INET, value.c_str(), &address) == 1) {
        *out = ADDRESS(&address);
        return;
    }
    ParseHexAddress(value, out);
}

bool ParseDevice(const std::string& entry, ConfiguredDevice* d)
{
    std::vector<std::string> f = Fields(entry, 15);
    if (f[0] == "[shared]")
        d->shareKind = SHARE_KIND_SHARED;
    else if (f[0] == "[exclude]")
        d->shareKind = SHARE_KIND_EXCLUDED;
    else
        return false;
    d->serverNumber = ParseNumber(f[1]);
    if (d->serverNumber == 0xFFFFFFFF)
        d->serverNumber = 0;
    d->deviceId = ParseNumber(f[2]);
    if (d->deviceId == 0xFFFFFFFF)
        d->deviceId = 0;
    if (!ParseHexAs(f[3], 4, &d->vendorId) || !ParseHexAs(f[4], 4, &d->productId))
        return false;
    if (f[5].empty() && f[6].empty())
        return false;
    d->port = CConfigFile::Unescape(f[5]);
    d->serial = CConfigFile::Unescape(f[6]);
    d->name = CConfigFile::Unescape(f[7]);
    if (d->name.empty())
        d->name = "USB device VendorId " + f[3] + " ProductId " + f[4];
    d->nickname = CConfigFile::Unescape(f[8]);
    if (!ParseHexAs(f[9], 2, &d->deviceClass) || !ParseHexAs(f[10], 2, &d->subClass) ||
        !ParseHexAs(f[11], 2, &d->protocol))
        return false;
    d->timeout = ParseNumber(f[12]);
    d->bcdDevice = 0;
    if (!f[14].empty() && !ParseHexAs(f[14], 4, &d->bcdDevice))
        return false;
    d->flags = 0;
    if (!d->serial.empty())
        d->flags |= CONFIGURED_FLAG_SERIAL;
    if (!d->nickname.empty())
        d->flags |= CONFIGURED_FLAG_NICKNAME;
    if (d->timeout != 0)
        d->flags |= CONFIGURED_FLAG_TIMEOUT;
    return true;
}

bool ParseCallback(const std::string& entry, ConfiguredCallback* c)
{
    std::vector<std::string> f = Fields(entry, 4);
    const std::string& words = f[0];
    c->flags = 0;
    if (words.find("[auto]") != std::string::npos)
        c->flags |= CALLBACK_FLAG_AUTO;
    if (words.find("[callback]") != std::string::npos)
        c->flags |= CALLBACK_FLAG_CALLBACK;
    if (words.find("[incomming]") != std::string::npos)
        c->flags |= CALLBACK_FLAG_INCOMING;
    if (words.find("[allowclientcontrol]") != std::string::npos)
        c->flags |= CALLBACK_FLAG_ALLOW_CLIENT_CONTROL;
    if (words.find("[tcp]") != std::string::npos)
        c->flags |= CALLBACK_FLAG_TCP;
    if ((c->flags & CALLBACK_KIND_MASK) == 0)
        c->flags |= CALLBACK_FLAG_TCP;
    c->host = CConfigFile::Unescape(f[1]);
    uint32_t port = ParseNumber(f[2]);
    c->id = ParseNumber(f[3]);
    if (port == 0 || port >= 0xFFFF || c->id == 0 || c->id == 0xFFFFFFFF)
        return false;
    c->port = static_cast<uint16_t>(port);
    if ((c->flags & CALLBACK_FLAG_CALLBACK) && !(c->flags & CALLBACK_FLAG_INCOMING))
        c->id |= CALLBACK_ID_BASE;
    return true;
}

bool ParsePolicyRule(const std::string& entry, DevicePolicyRule* rule)
{
    std::vector<std::string> f = Fields(entry, 9);
    rule->name = CConfigFile::Unescape(f[0]);
    struct Numeric {
        const std::string& field;
        size_t width;
        uint32_t flag;
    };
    uint32_t values[5] = {};
    const Numeric numeric[] = {{f[1], 4, POLICY_FLAG_VID},   {f[2], 4, POLICY_FLAG_PID},
                               {f[4], 2, POLICY_FLAG_CLASS}, {f[5], 2, POLICY_FLAG_SUBCLASS},
                               {f[6], 2, POLICY_FLAG_PROTOCOL}};
    rule->flags = 0;
    for (size_t i = 0; i < 5; i++) {
        if (numeric[i].field.empty())
            continue;
        if (!ParseHex(numeric[i].field, numeric[i].width, &values[i]))
            return false;
        rule->flags |= numeric[i].flag;
    }
    rule->vendorId = static_cast<uint16_t>(values[0]);
    rule->productId = static_cast<uint16_t>(values[1]);
    rule->deviceClass = static_cast<uint8_t>(values[2]);
    rule->subClass = static_cast<uint8_t>(values[3]);
    rule->protocol = static_cast<uint8_t>(values[4]);
    rule->port = CConfigFile::Unescape(f[7]);
    rule->serial = CConfigFile::Unescape(f[8]);
    if (!rule->port.empty())
        rule->flags |= POLICY_FLAG_PORT;
    if (!rule->serial.empty())
        rule->flags |= POLICY_FLAG_SERIAL;
    return true;
}

bool ParseQuirk(const std::string& entry, DeviceQuirk* quirk)
{
    std::vector<std::string> f = Fields(entry, 4);
    if (!ParseHexAs(f[0], 4, &quirk->vendorId) || !ParseHexAs(f[1], 4, &quirk->productId))
        return false;
    quirk->flags = 0;
    quirk->resetMode = RESET_MODE_NOT_SET;
    struct Word {
        const char* text;
        int resetMode; // -1: a flag word
        uint32_t flag;
    };
    static const Word WORDS[] = {
        {"ResetDisabled", 0, 0},         {"ResetSoft", 1, 0},
        {"ResetHard", 2, 0},             {"ResetReplug", 3, 0},
        {"NoResetOnShare", -1, QUIRK_NO_RESET_ON_SHARE}, {"IgnoreSerial", -1, QUIRK_IGNORE_SERIAL},
    };
    const std::string& options = f[3];
    size_t pos = 0;
    for (;;) {
        pos = options.find_first_not_of(", \t", pos);
        if (pos == std::string::npos)
            break;
        bool matched = false;
        for (const Word& word : WORDS) {
            size_t n = strlen(word.text);
            if (options.compare(pos, n, word.text) == 0) {
                if (word.resetMode >= 0)
                    quirk->resetMode = static_cast<uint8_t>(word.resetMode);
                else
                    quirk->flags |= word.flag;
                pos += n;
                matched = true;
                break;
            }
        }
        if (!matched)
            pos = options.find_first_of(", \t", pos);
    }
    return true;
}

// "%.8x" id, ":", and the rest of the entry.
bool IdAndValue(const std::string& entry, uint32_t* id, std::string* value)
{
    std::vector<std::string> f = Fields(entry, 2);
    if (!ParseHex(f[0], 8, id))
        return false;
    *value = f[1];
    return true;
}

} // namespace

bool NextConfigLine(const char* text, size_t length, size_t* pos, const char** line, size_t* lineLength)
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

void CConfigParser::ParseText(const char* text, size_t length, StoredSettings* settings)
{
    CConfigParser parser(settings);
    size_t pos = 0;
    const char* line;
    size_t lineLength;
    while (NextConfigLine(text, length, &pos, &line, &lineLength))
        parser.ParseLine(line, lineLength);
}

void CConfigParser::ParseLine(const char* line, size_t length)
{
    // A line that starts with "[" ends the section and is examined as a
    // header, so adjacent sections need no blank line between them.
    if (length > 0 && line[0] == '[') {
        m_section = SectionOf(line, length);
        return;
    }
    if (m_section == SECTION_NONE)
        return;
    // Where a line holds a NUL, the reader's buffer ends there.
    const void* nul = memchr(line, 0, length);
    if (nul)
        length = static_cast<size_t>(static_cast<const char*>(nul) - line);
    ParseKey(std::string(line, length));
}

void CConfigParser::ParseKey(const std::string& line)
{
    StoredSettings* s = m_settings;
    std::string entry;
    uint32_t id = 0;
    std::string value;
    auto key = [&](const char* name) { return StartsWith(line, name); };
    switch (m_section) {
    case SECTION_GENERIC:
        if (key("eventlog="))
            ParseBool(LineValue(line, 9), &s->eventlog);
        else if (key("debuglog="))
            ParseBool(LineValue(line, 9), &s->debuglog);
        break;
    case SECTION_SERVER:
        if (key("tcpport=")) {
            std::string text = LineValue(line, 8);
            size_t digits = 0;
            while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9' && digits < 6)
                digits++;
            uint32_t port = digits ? static_cast<uint32_t>(strtoul(text.substr(0, digits).c_str(), nullptr, 10))
                                   : 0x10000;
            if (digits && digits < 6 && port <= 0xFFFF)
                s->tcpPort = static_cast<uint16_t>(port);
        } else if (key("interface=")) {
            ParseInterface(LineValue(line, 10), &s->listenV4);
        } else if (key("listens=")) {
            if (!ParseHexAddress(LineValue(line, 8), &s->listenV4))
                s->listenV4 = ADDRESS();
        } else if (key("startup=")) {
            s->autoShare = LineValue(line, 8).find("autosharing") != std::string::npos ? 1 : 0;
        }
        break;
    case SECTION_DEVICES:
        if (key("usbdevice=") && EntryValue(line, 10, &entry)) {
            ConfiguredDevice device;
            if (ParseDevice(entry, &device))
                s->devices.push_back(std::move(device));
        }
        break;
    case SECTION_NICKNAMES:
        if (key("nickname=") && EntryValue(line, 9, &entry) && IdAndValue(entry, &id, &value))
            s->nicknames[id] = CConfigFile::Unescape(value);
        break;
    case SECTION_TIMEOUTS:
        if (key("timeout=") && EntryValue(line, 8, &entry) && IdAndValue(entry, &id, &value)) {
            uint32_t seconds = ParseNumber(value);
            if (seconds != 0 && seconds != 0xFFFFFFFF)
                s->timeouts[id] = seconds;
        }
        break;
    case SECTION_CALLBACKS:
        if (key("usbserver=") && EntryValue(line, 10, &entry)) {
            ConfiguredCallback callback;
            if (ParseCallback(entry, &callback))
                s->callbacks.push_back(std::move(callback));
        }
        break;
    case SECTION_IDENTIFY:
    case SECTION_UNIQID: {
        const char* name = m_section == SECTION_IDENTIFY ? "identify=" : "usbserver=";
        IdentityEntry identity;
        if (key(name) && EntryValue(line, strlen(name), &entry) && IdAndValue(entry, &identity.id, &value) &&
            ParseIdentity(value, identity.digest))
            (m_section == SECTION_IDENTIFY ? s->identities : s->uniqids).push_back(identity);
        break;
    }
    case SECTION_POLICY:
        if (key("policymode=")) {
            ParseMode(LineValue(line, 11), &s->policyMode);
        } else if (key("policyrule=") && EntryValue(line, 11, &entry)) {
            DevicePolicyRule rule;
            if (ParsePolicyRule(entry, &rule))
                s->policyRules.push_back(std::move(rule));
        }
        break;
    case SECTION_IP_FILTERS:
        if (key("ipfiltersmode="))
            ParseMode(LineValue(line, 14), &s->ipFilterMode);
        else if (key("ipfiltersrule=") && EntryValue(line, 14, &entry))
            s->ipFilterRules.push_back(CConfigFile::Unescape(entry));
        break;
    case SECTION_ACL:
        if (key("aclmode=") && EntryValue(line, 8, &entry) && IdAndValue(entry, &id, &value)) {
            if (value == "allow")
                s->aclModes[id] = FILTER_MODE_ALLOW;
            else if (value == "deny")
                s->aclModes[id] = FILTER_MODE_DENY;
            else if (value == "disable")
                s->aclModes[id] = FILTER_MODE_DISABLED;
        } else if (key("aclrule=") && EntryValue(line, 8, &entry) && IdAndValue(entry, &id, &value)) {
            s->aclRules[id].push_back(CConfigFile::Unescape(value));
        }
        break;
    case SECTION_QUIRKS:
        if (key("quirk=") && EntryValue(line, 6, &entry)) {
            DeviceQuirk quirk;
            if (ParseQuirk(entry, &quirk))
                s->quirks.push_back(quirk);
        }
        break;
    default:
        break;
    }
}

void CGenericOptionsParser::ParseLine(const char* line, size_t length)
{
    if (!m_inside) {
        m_inside = StartsWith(line, length, CONFIG_SECTION_HEADERS[SECTION_GENERIC - 1]);
        return;
    }
    if (length > 0 && line[0] == '[') {
        m_inside = false;
        return;
    }
    const void* nul = memchr(line, 0, length);
    if (nul)
        length = static_cast<size_t>(static_cast<const char*>(nul) - line);
    std::string text(line, length);
    if (StartsWith(text, "eventlog="))
        ParseBool(LineValue(text, 9), m_eventlog);
    else if (StartsWith(text, "debuglog="))
        ParseBool(LineValue(text, 9), m_debuglog);
}
