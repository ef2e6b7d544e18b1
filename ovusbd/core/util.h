// Small string, address and file helpers shared by the ovusbd modules.
// Texts returned as char* are allocated with malloc; the caller frees them.
#pragma once

#include <stddef.h>
#include <sys/socket.h>
#include <time.h>

// New text with every occurrence of pattern replaced by value, searched left
// to right, each search resuming after the value just inserted (so a value
// holding the pattern is not replaced again). An empty pattern gives a plain
// copy. Null on allocation failure or a null argument.
char* replaceAll(const char* text, const char* pattern, const char* value);

// replaceAll when pattern and value are both given, else a plain copy of
// text. Null only on allocation failure or a null text.
char* replacePlaceholder(const char* text, const char* pattern, const char* value);

// Writes the IP address (no port) of an AF_INET or AF_INET6 address into
// buffer and returns buffer; an IPv4-mapped IPv6 address is written as IPv4.
// Null when the family is unknown or the buffer too small.
char* formatSocketAddress(const struct sockaddr* address, char* buffer, size_t size);

// ASCII a-z to upper case in place; returns text (null stays null).
char* toUpperInPlace(char* text);

// The path can be opened as a directory.
bool directoryExists(const char* path);

// access(path, F_OK) succeeds.
bool fileExists(const char* path);

// Sleeps ms milliseconds, resuming after signal interruptions.
void sleepMilliseconds(unsigned int ms);

// CLOCK_MONOTONIC now plus ms (at least 0), for a timed wait on a condition
// made with that clock.
struct timespec monotonicDeadline(long ms);
