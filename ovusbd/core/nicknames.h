// Nicknames from the configuration, built once by start-up: the names that
// devices are shown under ("DeviceNicknames") and the names that replace a
// client's own text ("ClientIdMap").
#pragma once

#include <stdint.h>

#include "ovusbd/core/lockedlist.h"

struct DeviceNickname {
  uint32_t vendorId;
  uint32_t productId;
  uint32_t address;  // or, when serial-keyed (vendorId 0), the serial's length
  char serial[128];  // empty unless serial-keyed
  char nickname[64];
};

struct ClientIdPair {
  char clientText[64];   // as a client sends it
  char replacement[64];  // what it is replaced by
};

extern LockedList* nicknameList;  // of DeviceNickname
extern LockedList* clientIdMap;   // of ClientIdPair

// Appends one DeviceNickname per complete group of four comma-separated
// fields (nickname, vendor id hex, product id hex, address decimal) of
// `value`, in order. In the first field "%2C" stands for ',' and "%25" for
// '%' (formatDeviceNicknames writes them so); other text is taken as it is. A trailing group of fewer than four fields, and a
// serial-keyed entry whose serial length does not fit its first field or
// the serial field, are left out with a warning. Returns the number added.
int parseDeviceNicknames(LockedList* list, const char* value);

// Appends one ClientIdPair per two comma-separated fields of `value`. A
// first field without a second ends the parsing ("Invalid format for %s");
// a pair with a text longer than 63 characters is left out with a warning,
// since a shortened text could match another client. Returns the number
// added.
int parseClientIdMap(LockedList* list, const char* value, const char* keyName);

// What a nickname request (message 42) asks for: the device by ids and
// address, or, when serial is not empty, by serial.
struct NicknameRequest {
  uint16_t vendorId;
  uint16_t productId;
  uint32_t address;
  char nickname[64];  // empty: remove the nickname
  char serial[128];
};

// LockedList predicate (key: NicknameRequest): the entries a request
// replaces. By serial: the entry's serial is the request's, or the entry is
// keyed to the address alone (ids 0xFFFF). Otherwise ids and address match.
bool matchNicknameRequest(void* item, const void* key);

// The "DeviceNicknames" text of the whole list in list order: per entry
// "%s%s,%04x,%04x,%u," of nickname, serial, the ids (0 for a serial-keyed
// entry) and the address (the serial's length for a serial-keyed one),
// without the last comma; in the first field ',' is written "%2C" and '%'
// "%25". The caller frees it; null when memory runs out.
char* formatDeviceNicknames(LockedList* list);

// Item destructors for clearLockedList: freeItem frees the item;
// removeFileAndFree removes the file the item names, then frees the text
// (null items are ignored).
void freeItem(void* item, void* arg);
void removeFileAndFree(void* item, void* arg);
