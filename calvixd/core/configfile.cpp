#include "calvixd/core/configfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

int SysCreateTemp(char* pattern)
{
    int fd = mkostemp(pattern, O_CLOEXEC);
    return fd >= 0 ? fd : -errno;
}
int SysChangeMode(int fd, mode_t mode)
{
    return fchmod(fd, mode) == 0 ? 0 : -errno;
}
ssize_t SysWrite(int fd, const void* data, size_t length)
{
    ssize_t n = write(fd, data, length);
    return n >= 0 ? n : -errno;
}
int SysSync(int fd)
{
    return fsync(fd) == 0 ? 0 : -errno;
}
int SysClose(int fd)
{
    return close(fd) == 0 ? 0 : -errno;
}
int SysRename(const char* from, const char* to)
{
    return rename(from, to) == 0 ? 0 : -errno;
}
int SysUnlink(const char* path)
{
    return unlink(path) == 0 ? 0 : -errno;
}

const ConfigFileSys SYSTEM_SYS = {SysCreateTemp, SysChangeMode, SysWrite, SysSync, SysClose, SysRename, SysUnlink};

// Replaces every occurrence, going on after the inserted text.
void ReplaceAll(std::string* text, const char* from, const char* to)
{
    size_t fromLength = strlen(from);
    size_t toLength = strlen(to);
    for (size_t at = text->find(from); at != std::string::npos; at = text->find(from, at + toLength))
        text->replace(at, fromLength, to);
}

const char* ModeWord(uint8_t mode)
{
    switch (mode) {
    case FILTER_MODE_ALLOW:
        return "allow";
    case FILTER_MODE_DENY:
        return "deny";
    default:
        return "disable";
    }
}

std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char* format, ...)
{
    char buffer[128];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    return buffer;
}

std::string Hex16(const uint8_t bytes[16])
{
    std::string text;
    for (int i = 0; i < 16; i++)
        text += Printf("%.2x", bytes[i]);
    return text;
}

void Section(std::string* out, int number)
{
    *out += "\n";
    *out += CONFIG_SECTION_HEADERS[number - 1];
    *out += "\n";
}

std::string DeviceLine(const DeviceInfo& d)
{
    const char* kind = d.shareMode == SHARE_KIND_SHARED ? "[shared]" : "[exclude]";
    std::string port = d.instanceIdentity == d.port ? CConfigFile::Escape(d.port) : "";
    std::string serial = d.instanceIdentity == d.serial ? CConfigFile::Escape(d.serial) : "";
    return std::string("usbdevice=") + kind + ":0:0:" + Printf("%.4x:%.4x:", d.vendorId, d.productId) + port +
           ":" + serial + ":" + CConfigFile::Escape(d.name) + ":" + CConfigFile::Escape(d.nickname) + ":" +
           Printf("%.2x:%.2x:%.2x:%u:0:%.4x", d.deviceClass, d.subClass, d.protocol, d.timeout, d.bcdDevice) +
           ";\n";
}

std::string CallbackLine(const ConnectionInfo& c)
{
    std::string words = "[tcp]";
    if (c.flags & CALLBACK_FLAG_CALLBACK)
        words += "[callback]";
    if (c.flags & CALLBACK_FLAG_AUTO)
        words += "[auto]";
    if (c.flags & CALLBACK_FLAG_ALLOW_CLIENT_CONTROL)
        words += "[allowclientcontrol]";
    return "usbserver=" + words + ":" + CConfigFile::Escape(c.name) + ":" +
           Printf("%u:%u", c.port, c.id & 0x0FFFFFFF) + ";\n";
}

std::string PolicyLine(const DevicePolicyRule& r)
{
    auto when = [&r](uint32_t flag, const std::string& text) { return (r.flags & flag) ? text : std::string(); };
    return "policyrule=" + CConfigFile::Escape(r.name) + ":" + when(POLICY_FLAG_VID, Printf("%.4x", r.vendorId)) +
           ":" + when(POLICY_FLAG_PID, Printf("%.4x", r.productId)) + "::" +
           when(POLICY_FLAG_CLASS, Printf("%.2x", r.deviceClass)) + ":" +
           when(POLICY_FLAG_SUBCLASS, Printf("%.2x", r.subClass)) + ":" +
           when(POLICY_FLAG_PROTOCOL, Printf("%.2x", r.protocol)) + ":" +
           when(POLICY_FLAG_PORT, CConfigFile::Escape(r.port)) + ":" +
           when(POLICY_FLAG_SERIAL, CConfigFile::Escape(r.serial)) + ";\n";
}

std::string QuirkLine(const DeviceQuirk& q)
{
    static const char* const RESET_WORDS[] = {"ResetDisabled", "ResetSoft", "ResetHard", "ResetReplug"};
    std::vector<std::string> options;
    if (q.resetMode < 4)
        options.push_back(RESET_WORDS[q.resetMode]);
    if (q.flags & QUIRK_NO_RESET_ON_SHARE)
        options.push_back("NoResetOnShare");
    if (q.flags & QUIRK_IGNORE_SERIAL)
        options.push_back("IgnoreSerial");
    std::string line = Printf("quirk=%.4x:%.4x::", q.vendorId, q.productId);
    for (size_t i = 0; i < options.size(); i++)
        line += (i ? "," : "") + options[i];
    return line + ";\n";
}

} // namespace

const ConfigFileSys* GetSystemConfigFileSys()
{
    return &SYSTEM_SYS;
}

bool IsValidObjectId(uint32_t id)
{
    return id == 0 || (id >= 0x80000001 && id <= 0x8FFFFFFE) || (id >= CALLBACK_ID_FIRST && id <= CALLBACK_ID_LAST);
}

CConfigFile::CConfigFile(const std::string& path, const ConfigFileSys* sys)
    : m_path(path), m_sys(sys ? sys : &SYSTEM_SYS)
{
}

std::string CConfigFile::Escape(const std::string& text)
{
    std::string out = text;
    ReplaceAll(&out, "%", "%25");
    ReplaceAll(&out, "]", "%5d");
    ReplaceAll(&out, "[", "%5b");
    ReplaceAll(&out, ":", "%3a");
    ReplaceAll(&out, ";", "%3b");
    ReplaceAll(&out, "\n", "%0a");
    ReplaceAll(&out, "\r", "%0d");
    return out;
}

std::string CConfigFile::Unescape(const std::string& text)
{
    std::string out = text;
    ReplaceAll(&out, "%0d", "\r");
    ReplaceAll(&out, "%0a", "\n");
    ReplaceAll(&out, "%3b", ";");
    ReplaceAll(&out, "%3a", ":");
    ReplaceAll(&out, "%5b", "[");
    ReplaceAll(&out, "%5d", "]");
    ReplaceAll(&out, "%25", "%");
    return out;
}

void CConfigFile::ParseGenericOptions(const char* text, size_t length, bool* eventlog, bool* debuglog)
{
    CGenericOptionsParser parser(eventlog, debuglog);
    size_t pos = 0;
    const char* line;
    size_t lineLength;
    while (NextConfigLine(text, length, &pos, &line, &lineLength))
        parser.ParseLine(line, lineLength);
}

template <typename Parser>
bool CConfigFile::ReadLines(Parser* parser)
{
    // Non-blocking, so that a FIFO put in the file's place cannot hold
    // start-up; only a regular file is read.
    int fd = open(m_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(fd);
        return false;
    }
    FILE* file = fdopen(fd, "r");
    if (!file) {
        close(fd);
        return false;
    }
    std::vector<char> line(CONFIG_LINE_LIMIT + 1);
    while (fgets(line.data(), static_cast<int>(line.size()), file))
        parser->ParseLine(line.data(), strlen(line.data()));
    fclose(file);
    return true;
}

int CConfigFile::ReadGenericOptions(bool* eventlog, bool* debuglog)
{
    CGenericOptionsParser parser(eventlog, debuglog);
    return ReadLines(&parser) ? 1 : 0;
}

int CConfigFile::ReadAll(StoredSettings* settings)
{
    CConfigParser parser(settings);
    return ReadLines(&parser) ? 1 : 0;
}

std::string CConfigFile::Format(const StoredSettings& s)
{
    std::string out = "# USB Calvento for Linux v3.10 configuration file.\n"
                      "# Please do not edit this file manually.\n";
    Section(&out, 1);
    out += std::string("eventlog=") + (s.eventlog ? "true" : "false") + "\n";
    out += std::string("debuglog=") + (s.debuglog ? "true" : "false") + "\n";

    Section(&out, 2);
    out += Printf("tcpport=%u\n", s.tcpPort);
    if (s.listenV4.IsIPv4() && s.listenV4.GetIPv4() != 0)
        out += std::string("interface=") + s.listenV4.ToString() + "\n";
    out += s.autoShareMode == 1 ? "startup=autosharing\n" : "startup=manualsharing\n";

    Section(&out, 3);
    for (const DeviceInfo& d : s.snapshotDevices) {
        if ((d.shareMode == SHARE_KIND_SHARED || d.shareMode == SHARE_KIND_EXCLUDED) &&
            IsValidObjectId(d.clientConnectionId))
            out += DeviceLine(d);
    }

    if (!s.nicknames.empty()) {
        Section(&out, 4);
        for (const auto& [id, text] : s.nicknames)
            out += Printf("nickname=%.8x:", id) + Escape(text) + ";\n";
    }
    if (!s.timeouts.empty()) {
        Section(&out, 5);
        for (const auto& [id, seconds] : s.timeouts)
            out += Printf("timeout=%.8x:%u;\n", id, seconds);
    }

    Section(&out, 6);
    for (const ConnectionInfo& c : s.snapshotConnections) {
        if (c.id >= CALLBACK_ID_FIRST && c.id <= CALLBACK_ID_LAST && c.state != CALLBACK_STATE_CLOSING &&
            (c.flags & CALLBACK_KIND_MASK) == CALLBACK_FLAG_TCP)
            out += CallbackLine(c);
    }

    Section(&out, 7);
    for (const IdentityEntry& entry : s.identities)
        out += Printf("identify=%.8x:", entry.id) + Hex16(entry.digest) + ";\n";

    if (s.policyMode != FILTER_MODE_DISABLED || !s.policyRules.empty()) {
        Section(&out, 8);
        out += std::string("policymode=") + ModeWord(s.policyMode) + "\n";
        for (const DevicePolicyRule& rule : s.policyRules)
            out += PolicyLine(rule);
    }
    if (s.ipFilterMode != FILTER_MODE_DISABLED || !s.ipFilterRules.empty()) {
        Section(&out, 9);
        out += std::string("ipfiltersmode=") + ModeWord(s.ipFilterMode) + "\n";
        for (const std::string& rule : s.ipFilterRules)
            out += "ipfiltersrule=" + Escape(rule) + ";\n";
    }

    std::string acl;
    for (const auto& [id, mode] : s.aclModes) {
        auto rules = s.aclRules.find(id);
        if (rules == s.aclRules.end() || (mode == FILTER_MODE_DISABLED && rules->second.empty()))
            continue;
        acl += Printf("aclmode=%.8x:", id) + ModeWord(mode) + ";\n";
        for (const std::string& rule : rules->second)
            acl += Printf("aclrule=%.8x:", id) + Escape(rule) + ";\n";
    }
    if (!acl.empty()) {
        Section(&out, 10);
        out += acl;
    }

    Section(&out, 11);
    for (const IdentityEntry& entry : s.uniqids)
        out += Printf("usbserver=%.8x:", entry.id) + Hex16(entry.digest) + ";\n";

    std::string quirks;
    for (const DeviceQuirk& quirk : s.quirks) {
        if (!(quirk.flags & QUIRK_BUILT_IN))
            quirks += QuirkLine(quirk);
    }
    if (!quirks.empty()) {
        Section(&out, 12);
        out += quirks;
    }
    return out;
}

int CConfigFile::WriteAll(const StoredSettings& settings)
{
    std::string text = Format(settings);
    std::vector<char> temp(m_path.begin(), m_path.end());
    const char suffix[] = ".XXXXXX";
    temp.insert(temp.end(), suffix, suffix + sizeof(suffix));
    int fd = m_sys->createTemp(temp.data());
    if (fd < 0)
        return 0;
    bool ok = m_sys->changeMode(fd, 0644) == 0;
    size_t done = 0;
    while (ok && done < text.size()) {
        ssize_t n = m_sys->write(fd, text.data() + done, text.size() - done);
        if (n == -EINTR)
            continue;
        ok = n > 0;
        if (ok)
            done += static_cast<size_t>(n);
    }
    // The new file must be on disk before it replaces the old one, or a
    // crash leaves an empty configuration.
    ok = ok && m_sys->sync(fd) == 0;
    ok = m_sys->close(fd) == 0 && ok;
    ok = ok && m_sys->rename(temp.data(), m_path.c_str()) == 0;
    if (!ok)
        m_sys->unlink(temp.data());
    return ok ? 1 : 0;
}
