// The service file through which the Avahi daemon announces the server.
#pragma once

#include <stddef.h>

#include <string>

constexpr const char* kAvahiServicesDir = "/etc/avahi/services";
constexpr const char* kAvahiServiceFile = "/etc/avahi/services/ovusbd.service";

// The file's eight lines (no final newline) with name and txt escaped for
// XML: & < > " ' become entities, so a name holding them cannot break the
// document the daemon parses.
std::string avahiServiceFileText(const char* name, bool ipv6, const char* type, int port, const char* txt);

// Writes the text to path. On failure logs "Error %d opening ..." or
// "Error %d writing ..." (a partly written file is removed) and returns
// false.
bool writeAvahiServiceFile(const char* path, const std::string& text);
