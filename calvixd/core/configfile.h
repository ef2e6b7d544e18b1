// calvixd's configuration file, /etc/calvixd.conf: section headers in square
// brackets and key=value lines; list entries end with ";" and their texts
// are percent-escaped so that ":" and ";" never occur in them.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "calvixd/core/configparser.h"
#include "calvixd/core/coretypes.h"

constexpr const char CONFIG_FILE_PATH[] = "/etc/calvixd.conf";

// The twelve sections in the order they are written.
constexpr const char* CONFIG_SECTION_HEADERS[12] = {
    "[Generic options section]",
    "[Local USB server section]",
    "[Local USB devices section]",
    "[USB device nicknames section]",
    "[USB device inactivity timeouts section]",
    "[Callback connection to USB client section]",
    "[Identify USB devices section]",
    "[USB server device policy section]",
    "[IP filters section]",
    "[USB device ACL section]",
    "[USB servers uniqid section]",
    "[USB device quirks section]",
};

// The file calls of a save, one member per system call. Each returns a
// value or -errno and blocks as the call does; every member is required.
struct ConfigFileSys {
    int (*createTemp)(char* pattern); // mkostemp(pattern, O_CLOEXEC): the descriptor
    int (*changeMode)(int fd, mode_t mode);
    ssize_t (*write)(int fd, const void* data, size_t length); // bytes written
    int (*sync)(int fd);
    int (*close)(int fd);
    int (*rename)(const char* from, const char* to);
    int (*unlink)(const char* path);
};
const ConfigFileSys* GetSystemConfigFileSys();

// True for 0, for 0x80000001 to 0x8FFFFFFE and for 0xC0000001 to
// 0xCFFFFFFE: the ids the daemon hands out.
bool IsValidObjectId(uint32_t id);

class CConfigFile {
public:
    // path and sys are for tests; the daemon uses the fixed path and the
    // system calls.
    explicit CConfigFile(const std::string& path = CONFIG_FILE_PATH, const ConfigFileSys* sys = nullptr);
    virtual ~CConfigFile() {}

    // "eventlog=" and "debuglog=" of "[Generic options section]". 0 when the
    // file cannot be opened or is no regular file (values untouched).
    int ReadGenericOptions(bool* eventlog, bool* debuglog);
    // The same on text already read.
    static void ParseGenericOptions(const char* text, size_t length, bool* eventlog, bool* debuglog);

    // Fills what the file holds and returns 1; 0 when the file cannot be
    // opened or is no regular file. Lines are read one at a time.
    virtual int ReadAll(StoredSettings* settings);
    // Writes a temporary file beside the old one (mode 0644), syncs it and
    // renames it over the old one: 1 on success; on any failure 0 and the
    // old file stays exactly as it was.
    virtual int WriteAll(const StoredSettings& settings);

    // The whole file as WriteAll writes it.
    static std::string Format(const StoredSettings& settings);

    // "%" "]" "[" ":" ";" and the line breaks as "%25" "%5d" "%5b" "%3a"
    // "%3b" "%0a" "%0d"; Unescape in the reverse order. A round trip never
    // makes a line break, so a stored text cannot add lines to the file.
    static std::string Escape(const std::string& text);
    static std::string Unescape(const std::string& text);

private:
    // Feeds every line of the file to parser; false when it cannot be read.
    template <typename Parser>
    bool ReadLines(Parser* parser);

    std::string m_path;
    const ConfigFileSys* m_sys;
};
