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
// `value`, in order. A trailing group of fewer than four fields, and a
// serial-keyed entry whose serial length does not fit its first field or
// the serial field, are left out with a warning. Returns the number added.
int parseDeviceNicknames(LockedList* list, const char* value);

// Appends one ClientIdPair per two comma-separated fields of `value`. A
// first field without a second ends the parsing ("Invalid format for %s");
// a pair with a text longer than 63 characters is left out with a warning,
// since a shortened text could match another client. Returns the number
// added.
int parseClientIdMap(LockedList* list, const char* value, const char* keyName);

// Item destructors for clearLockedList: freeItem frees the item;
// removeFileAndFree removes the file the item names, then frees the text
// (null items are ignored).
void freeItem(void* item, void* arg);
void removeFileAndFree(void* item, void* arg);
