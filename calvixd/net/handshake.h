// What a client sends in the connection handshake, read as pure functions
// of the bytes received: the remote-desktop prefix of pipe connections and
// the client's hello.
#pragma once

#include <cstddef>
#include <cstdint>

// Handshake bytes.
constexpr uint8_t HANDSHAKE_ACCEPT = 0x10;
constexpr uint8_t HANDSHAKE_REFUSE = 0x11;
constexpr uint8_t HANDSHAKE_PLATFORM_OK = 0x20;
constexpr uint8_t SERVER_PLATFORM = 0x90;
constexpr uint32_t SERVER_VERSION = 0x10000A16;
// Only these version bits must match.
constexpr uint32_t VERSION_COMPATIBLE_MASK = 0x07FFFF00;
constexpr size_t DESKTOP_PREFIX_SIZE = 8; // "KQWA", u32 name length
constexpr uint32_t DESKTOP_NAME_LIMIT = 255;
constexpr size_t CLIENT_HELLO_SIZE = 9;   // "KQWB", u32 version, u8 platform
constexpr size_t CLIENT_MAGIC_SIZE = 4;

// Request bytes after the handshake.
constexpr uint8_t REQUEST_DATA = 'C';
constexpr uint8_t REQUEST_SESSION = 'E';
constexpr uint8_t REQUEST_REVERSE_SESSION = 'F';
constexpr uint8_t REQUEST_REVERSE_DATA = 'G';

// The name length of a remote-desktop prefix, or -1 for a wrong magic or a
// length above DESKTOP_NAME_LIMIT.
long ParseDesktopPrefix(const uint8_t* bytes, size_t size);

// False for a short hello or a wrong magic.
// True when the bytes begin with the client's magic "KQWB".
bool IsClientMagic(const uint8_t* bytes, size_t size);
bool ParseClientHello(const uint8_t* bytes, size_t size, uint32_t* version, uint8_t* platform);

bool IsCompatibleVersion(uint32_t clientVersion);
