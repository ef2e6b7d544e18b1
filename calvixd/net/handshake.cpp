#include "calvixd/net/handshake.h"

#include <cstring>

long ParseDesktopPrefix(const uint8_t* bytes, size_t size)
{
    if (size < DESKTOP_PREFIX_SIZE || memcmp(bytes, "KQWA", 4) != 0)
        return -1;
    uint32_t length;
    memcpy(&length, bytes + 4, sizeof length);
    if (length > DESKTOP_NAME_LIMIT)
        return -1;
    return static_cast<long>(length);
}

bool IsClientMagic(const uint8_t* bytes, size_t size)
{
    return size >= CLIENT_MAGIC_SIZE && memcmp(bytes, "KQWB", CLIENT_MAGIC_SIZE) == 0;
}

bool ParseClientHello(const uint8_t* bytes, size_t size, uint32_t* version, uint8_t* platform)
{
    if (size < CLIENT_HELLO_SIZE || !IsClientMagic(bytes, size))
        return false;
    memcpy(version, bytes + 4, sizeof *version);
    *platform = bytes[8];
    return true;
}

bool IsCompatibleVersion(uint32_t clientVersion)
{
    return (clientVersion & VERSION_COMPATIBLE_MASK) == (SERVER_VERSION & VERSION_COMPATIBLE_MASK);
}
