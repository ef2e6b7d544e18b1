// Administration messages: clients rename the server, set device
// nicknames, edit the reverse-client list and take devices off the ignored
// list. Texts a client sends are refused (a level-4 line naming the
// connection) when they could change config.ini beyond the one value or be
// expanded from the environment: a control character, "${" in a name or
// nickname, a reverse-client host that is not a plain host name. A ',' in
// a nickname is stored encoded. The lists are bounded: 64 reverse clients,
// 256 nicknames. Each handler runs on the asking connection's receive
// thread and reads only within the payload's length.
#pragma once

#include <stdint.h>

#include "ovusbd/core/message.h"

// Message 40: the first 127 bytes of the payload become the server's name
// (through the rename thread and its "OnServerRename" script). No reply.
void handleServerRenameRequest(uint16_t connectionId, const MessageHeader* request);
// Message 42: u16 vendor id, u16 product id, u32 address, char[64]
// nickname, and from 200 bytes on char[128] serial at 72. No reply.
void handleDeviceNicknameRequest(uint16_t connectionId, const MessageHeader* request);
// Messages 62 and 63: a host text (anything from its first ':' on is
// dropped); the entry is host:port with the configured reverse-client port.
// Vetted by "OnAddReverseClient" / "OnRemoveReverseClient". No reply.
void handleAddReverseClientRequest(uint16_t connectionId, const MessageHeader* request);
void handleRemoveReverseClientRequest(uint16_t connectionId, const MessageHeader* request);
// Message 64: reply 65 with the reverse-client list text.
void handleListReverseClientsRequest(uint16_t connectionId, const MessageHeader* request);
// Message 78: reply 79 with "IgnoredDevices" as written (or the platform's
// default); environment references in it are not expanded.
void handleGetIgnoredDevicesRequest(uint16_t connectionId, const MessageHeader* request);
// Message 80: "vid/pid[/serial]" (hexadecimal ids): removes the entries of
// "IgnoredDevices" for exactly that device and has the devices enumerated
// again. No reply.
void handleSetIgnoredDevicesRequest(uint16_t connectionId, const MessageHeader* request);

// Edits of a comma list value for editConfigString (arg: the entry text).
// Entries compare whole: append leaves the value as it is when the entry
// is already in it; remove takes out every entry equal to it, and joins the
// rest with ','.
void appendListEntry(char** value, void* entry);
void removeListEntry(char** value, void* entry);

// Removes from a comma list of "vid/pid[/serial]" entries every entry for
// the same device as `request` (ids compared as 16-bit hexadecimal numbers,
// serials equal or both absent); the others keep their text and order. A
// new text the caller frees, or null when memory runs out.
char* removeIgnoredEntries(const char* list, const char* request);
