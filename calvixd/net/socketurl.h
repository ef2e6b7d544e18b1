// The text part of socket URLs: pure functions of the URL text, so the
// factory, the listeners and the dialler agree on what a URL names.
#pragma once

#include <string>

// Family choices of a TCP URL (values of AddressFamilyPreference).
constexpr int FAMILY_ANY = 0;
constexpr int FAMILY_PREFER_IPV4 = 1;
constexpr int FAMILY_IPV4_ONLY = 2;
constexpr int FAMILY_PREFER_IPV6 = 3;
constexpr int FAMILY_IPV6_ONLY = 4;

// The scheme of a URL: the text before "://", or the whole URL without one.
std::string GetUrlScheme(const std::string& url);

// Splits "[scheme://]host:port" or "[scheme://][host]:port". The scheme
// "tcp4" chooses FAMILY_IPV4_ONLY, "tcp6" FAMILY_IPV6_ONLY, "tcp" and no
// scheme the given preference. Returns 0 or SOCK_INVALID_ARGUMENT (64).
int SplitTcpUrl(const std::string& url, int preference, std::string* host, std::string* port, int* family);

// The pipe name of "pipe://name": 0 or 64 (another scheme, an empty name,
// or one of PIPE_NAME_LIMIT characters or more: the abstract name starts at
// sun_path[1] of 108 bytes and keeps a terminating zero).
constexpr size_t PIPE_NAME_LIMIT = 107;
int ParsePipeUrl(const std::string& url, std::string* name);
