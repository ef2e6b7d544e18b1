#include "ovusbd/core/nicknames.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ovusbd/core/log.h"

LockedList* nicknameList = nullptr;
LockedList* clientIdMap = nullptr;

namespace {

std::vector<std::string> splitAtCommas(const char* value) {
  std::vector<std::string> fields;
  const char* start = value;
  for (;;) {
    const char* comma = strchr(start, ',');
    if (!comma) {
      fields.emplace_back(start);
      return fields;
    }
    fields.emplace_back(start, static_cast<size_t>(comma - start));
    start = comma + 1;
  }
}

void copyText(char* field, size_t width, const std::string& text) {
  size_t length = text.size() < width - 1 ? text.size() : width - 1;
  memcpy(field, text.data(), length);
  field[length] = '\0';
}

// A nickname (or serial) may hold the list's ','; it is written as "%2C",
// and '%' itself as "%25", so the field reads back as it was given.
std::string encodeField(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == ',') {
      out += "%2C";
    } else if (c == '%') {
      out += "%25";
    } else {
      out += c;
    }
  }
  return out;
}

// Any other '%' stays as it is: lists written before the encoding read as
// they did.
std::string decodeField(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); i++) {
    const bool escape = text[i] == '%' && i + 2 < text.size() && text[i + 1] == '2';
    if (escape && (text[i + 2] == 'C' || text[i + 2] == 'c')) {
      out += ',';
      i += 2;
    } else if (escape && text[i + 2] == '5') {
      out += '%';
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace

int parseDeviceNicknames(LockedList* list, const char* value) {
  if (!value || !*value) return 0;
  std::vector<std::string> fields = splitAtCommas(value);
  int added = 0;
  size_t i = 0;
  for (; i + 4 <= fields.size(); i += 4) {
    const std::string first = decodeField(fields[i]);
    auto* entry = static_cast<DeviceNickname*>(calloc(1, sizeof(DeviceNickname)));
    if (!entry) return added;
    entry->vendorId = static_cast<uint32_t>(strtoul(fields[i + 1].c_str(), nullptr, 16));
    entry->productId = static_cast<uint32_t>(strtoul(fields[i + 2].c_str(), nullptr, 16));
    entry->address = static_cast<uint32_t>(strtoul(fields[i + 3].c_str(), nullptr, 10));
    if (entry->vendorId == 0) {
      // Serial-keyed: the first field is the nickname with the serial
      // appended, and the fourth field is the serial's length. The serial
      // comes off the whole field before the nickname is cut to its width.
      size_t serialLength = entry->address;
      if (serialLength > first.size() || serialLength >= sizeof entry->serial) {
        logMessage(4, "Warning, ignoring nickname \"%s\" in DeviceNicknames: serial length %zu",
                   first.c_str(), serialLength);
        free(entry);
        continue;
      }
      copyText(entry->serial, sizeof entry->serial, first.substr(first.size() - serialLength));
      copyText(entry->nickname, sizeof entry->nickname, first.substr(0, first.size() - serialLength));
    } else {
      copyText(entry->nickname, sizeof entry->nickname, first);
    }
    if (appendToLockedList(list, entry) < 0) {
      free(entry);
      return added;
    }
    added++;
  }
  if (i < fields.size())
    logMessage(4, "Warning, ignoring incomplete entry at the end of DeviceNicknames");
  return added;
}

int parseClientIdMap(LockedList* list, const char* value, const char* keyName) {
  if (!value || !*value) return 0;
  std::vector<std::string> fields = splitAtCommas(value);
  int added = 0;
  for (size_t i = 0; i < fields.size(); i += 2) {
    if (i + 1 >= fields.size()) {
      logMessage(3, "Invalid format for %s", keyName);
      break;
    }
    if (fields[i].size() >= sizeof(ClientIdPair::clientText) ||
        fields[i + 1].size() >= sizeof(ClientIdPair::replacement)) {
      logMessage(4, "Warning, ignoring entry \"%s\" of %s: longer than %zu characters",
                 fields[i].c_str(), keyName, sizeof(ClientIdPair::clientText) - 1);
      continue;
    }
    auto* pair = static_cast<ClientIdPair*>(calloc(1, sizeof(ClientIdPair)));
    if (!pair) break;
    copyText(pair->clientText, sizeof pair->clientText, fields[i]);
    copyText(pair->replacement, sizeof pair->replacement, fields[i + 1]);
    if (appendToLockedList(list, pair) < 0) {
      free(pair);
      break;
    }
    added++;
  }
  return added;
}

bool matchNicknameRequest(void* item, const void* key) {
  const auto* entry = static_cast<const DeviceNickname*>(item);
  const auto* request = static_cast<const NicknameRequest*>(key);
  if (request->serial[0] != '\0') {
    return strcmp(entry->serial, request->serial) == 0 ||
           (entry->vendorId == 0xFFFF && entry->productId == 0xFFFF && entry->address == request->address);
  }
  return entry->vendorId == request->vendorId && entry->productId == request->productId &&
         entry->address == request->address;
}

char* formatDeviceNicknames(LockedList* list) {
  std::string text;
  forEachInLockedList(
      list, nullptr,
      [](void* item, void* out) {
        const auto* entry = static_cast<const DeviceNickname*>(item);
        const bool bySerial = entry->serial[0] != '\0';
        char numbers[48];
        snprintf(numbers, sizeof numbers, ",%04x,%04x,%u,", bySerial ? 0u : entry->vendorId,
                 bySerial ? 0u : entry->productId,
                 bySerial ? static_cast<unsigned>(strlen(entry->serial)) : entry->address);
        std::string* t = static_cast<std::string*>(out);
        t->append(encodeField(std::string(entry->nickname) + entry->serial)).append(numbers);
      },
      nullptr, &text, 0);
  if (!text.empty()) text.pop_back();
  return strdup(text.c_str());
}

void freeItem(void* item, void*) { free(item); }

void removeFileAndFree(void* item, void*) {
  if (!item) return;
  unlink(static_cast<char*>(item));
  free(item);
}
