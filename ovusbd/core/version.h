// Program name and version, shown in the start banner, the usage text and
// the crash message.
#pragma once

constexpr const char* kServerTitle = "Orvanta USB Server";
constexpr unsigned kVersionMajor = 4;
constexpr unsigned kVersionMinor = 3;
constexpr unsigned kVersionPatch = 3;
