#include "ovusbd/core/adminmessages.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "ovusbd/core/config.h"
#include "ovusbd/core/connection.h"
#include "ovusbd/core/connectionlog.h"
#include "ovusbd/core/coresettings.h"
#include "ovusbd/core/eventscripts.h"
#include "ovusbd/core/nicknames.h"
#include "ovusbd/usb/enumerationworker.h"
#include "ovusbd/usb/usbfilters.h"

namespace {

// Texts of a payload end at its first NUL or at its length, whichever is
// first, and are cut to limit characters.
std::string payloadText(const MessageHeader* request, uint32_t offset, size_t limit) {
    if (request->payloadLength <= offset) {
        return std::string();
    }
    const char* text = reinterpret_cast<const char*>(messagePayload(request)) + offset;
    size_t length = strnlen(text, request->payloadLength - offset);
    return std::string(text, length < limit ? length : limit);
}

// What a name or nickname may not hold when it goes into config.ini: a
// control character (a line break would add a key) and "${" (ServerName and
// DeviceNicknames are read with environment expansion, so it would show the
// daemon's environment). Each refusal is logged with the connection.
bool storable(uint16_t connectionId, const std::string& text, const char* what) {
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) {
            logConnectionMessage(connectionId, 4, "Warning, refusing %s from connection %u: it holds a control character",
                                 what, connectionId);
            return false;
        }
    }
    if (text.find("${") != std::string::npos) {
        logConnectionMessage(connectionId, 4, "Warning, refusing %s from connection %u: it holds \"${\"", what,
                             connectionId);
        return false;
    }
    return true;
}

// A reverse client is dialled by name: letters, digits, '.', '-' and '_',
// at most the 253 characters of a DNS name. Anything else could not be
// reached, and the list is only as long as the dialler can serve.
constexpr size_t kMaxReverseClientHost = 253;
constexpr size_t kMaxReverseClients = 64;
constexpr size_t kMaxNicknames = 256;

bool reverseClientHostValid(const std::string& host) {
    if (host.size() > kMaxReverseClientHost) {
        return false;
    }
    for (unsigned char c : host) {
        const bool alnum = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        if (!alnum && c != '.' && c != '-' && c != '_') {
            return false;
        }
    }
    return true;
}

std::vector<std::string> splitList(const char* value) {
    std::vector<std::string> entries;
    const char* start = value;
    for (;;) {
        const char* comma = strchr(start, ',');
        if (comma == nullptr) {
            entries.emplace_back(start);
            return entries;
        }
        entries.emplace_back(start, size_t(comma - start));
        start = comma + 1;
    }
}

void replaceValue(char** value, const std::string& text) {
    char* copy = strdup(text.c_str());
    if (copy != nullptr) {
        free(*value);
        *value = copy;
    }
}

// An entry without a port is dialled at the default port, which is the
// port of every entry the requests make: "host" and "host:port" are the
// same reverse client.
bool sameReverseClient(const std::string& existing, const std::string& entry) {
    return existing == entry ||
           (existing.find(':') == std::string::npos && entry.size() > existing.size() &&
            entry.compare(0, existing.size(), existing) == 0 && entry[existing.size()] == ':');
}

struct ReverseKeys {
    const char* listKey;
    const char* portKey;
    int defaultPort;
};

ReverseKeys reverseKeys() {
    if (coreSettings().sslCertPath != nullptr) {
        return {"SSLReverseClients", "SSLReverseClientsPort", 7572};
    }
    return {"ReverseClients", "ReverseClientsPort", 7573};
}

struct ReverseEdit {
    bool add;
    std::string entry;
    bool changed;  // the list was edited
    bool full;     // an add refused: the list holds kMaxReverseClients
};

// The list edit, under the store's lock: the count is checked where the
// entry is added, so requests on several connections cannot pass it.
void editReverseList(char** value, void* arg) {
    auto* edit = static_cast<ReverseEdit*>(arg);
    const std::string before = *value;
    if (edit->add) {
        size_t entries = 0;
        for (const std::string& existing : splitList(*value)) {
            if (sameReverseClient(existing, edit->entry)) {
                return;
            }
            entries += existing.empty() ? 0 : 1;
        }
        if (entries >= kMaxReverseClients) {
            edit->full = true;
            return;
        }
        appendListEntry(value, &edit->entry);
    } else {
        removeListEntry(value, &edit->entry);
    }
    edit->changed = before != *value;
}

void editReverseClients(uint16_t connectionId, const MessageHeader* request, bool add) {
    const char* eventName = add ? "OnAddReverseClient" : "OnRemoveReverseClient";
    std::string host = payloadText(request, 0, request->payloadLength);
    const size_t colon = host.find(':');
    if (colon != std::string::npos) {
        host.resize(colon);
    }
    if (host.empty()) {
        logConnectionMessage(connectionId, 4, "Warning, refusing an empty reverse client host from connection %u",
                             connectionId);
        return;
    }
    if (!reverseClientHostValid(host)) {
        logConnectionMessage(connectionId, 4,
                             "Warning, refusing a reverse client host from connection %u: not a host name of at most "
                             "%zu letters, digits, '.', '-' or '_'",
                             connectionId, kMaxReverseClientHost);
        return;
    }
    const ReverseKeys keys = reverseKeys();
    const unsigned port = unsigned(getConfigInt(keys.portKey, keys.defaultPort)) & 0xFFFF;
    ReverseEdit edit = {add, host + ":" + std::to_string(port), false, false};

    char* command = getConfigString(eventName, nullptr, true);
    // A blanked key runs no script, like a key that is not there.
    const bool allowed = command == nullptr || command[0] == '\0' || runReverseClientScript(eventName, command, connectionId);
    free(command);
    if (!allowed) {
        return;
    }
    editConfigString(keys.listKey, editReverseList, &edit);
    if (edit.full) {
        logConnectionMessage(connectionId, 4,
                             "Warning, refusing reverse client %s from connection %u: %zu reverse clients are listed",
                             edit.entry.c_str(), connectionId, kMaxReverseClients);
    } else if (edit.changed) {
        logConnectionMessage(connectionId, 6, "%s reverse client %s for connection %u", add ? "Added" : "Removed",
                             edit.entry.c_str(), connectionId);
    }
}

void replyWithText(uint16_t connectionId, MessageType type, const char* text) {
    const size_t length = strlen(text);
    MessageHeader* reply = newMessage({.type = type, .payloadLength = uint32_t(length + 1)});
    if (reply != nullptr) {
        memcpy(messagePayload(reply), text, length);
        sendToConnection(connectionId, reply);
    }
}

// One "vid/pid[/serial]" entry; valid is false without the '/' before the
// product id.
struct IgnoredEntry {
    bool valid = false;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    bool hasSerial = false;
    std::string serial;
};

IgnoredEntry parseIgnoredEntry(const std::string& text) {
    IgnoredEntry e;
    const size_t first = text.find('/');
    if (first == std::string::npos) {
        return e;
    }
    e.valid = true;
    e.vendorId = uint16_t(strtoul(text.substr(0, first).c_str(), nullptr, 16));
    const size_t second = text.find('/', first + 1);
    e.productId = uint16_t(strtoul(text.substr(first + 1, second - first - 1).c_str(), nullptr, 16));
    if (second != std::string::npos) {
        e.serial = text.substr(second + 1);
        e.hasSerial = !e.serial.empty();
    }
    return e;
}

struct IgnoredEdit {
    const char* request;
    const char* valueWhenUnset;  // the platform's default, when the key was not set
};

void removeIgnoredEdit(char** value, void* arg) {
    const auto* edit = static_cast<const IgnoredEdit*>(arg);
    const char* base = (*value)[0] == '\0' && edit->valueWhenUnset != nullptr ? edit->valueWhenUnset : *value;
    char* kept = removeIgnoredEntries(base, edit->request);
    if (kept != nullptr) {
        free(*value);
        *value = kept;
    }
}

const char* platformIgnoredDevices() {
    return defaultIgnoredDevices(coreSettings().platformCode, coreSettings().serverSerial);
}

}  // namespace

void appendListEntry(char** value, void* arg) {
    const std::string& entry = *static_cast<const std::string*>(arg);
    if ((*value)[0] == '\0') {
        replaceValue(value, entry);
        return;
    }
    for (const std::string& existing : splitList(*value)) {
        if (sameReverseClient(existing, entry)) {
            return;
        }
    }
    replaceValue(value, std::string(*value) + "," + entry);
}

void removeListEntry(char** value, void* arg) {
    const std::string& entry = *static_cast<const std::string*>(arg);
    std::string kept;
    for (const std::string& existing : splitList(*value)) {
        if (existing.empty() || sameReverseClient(existing, entry)) {
            continue;
        }
        if (!kept.empty()) {
            kept += ',';
        }
        kept += existing;
    }
    replaceValue(value, kept);
}

char* removeIgnoredEntries(const char* list, const char* request) {
    const IgnoredEntry wanted = parseIgnoredEntry(request);
    std::string kept;
    bool first = true;
    for (const std::string& text : splitList(list)) {
        const IgnoredEntry e = parseIgnoredEntry(text);
        const bool same = e.valid && wanted.valid && e.vendorId == wanted.vendorId && e.productId == wanted.productId &&
                          e.hasSerial == wanted.hasSerial && e.serial == wanted.serial;
        if (same) {
            continue;
        }
        if (!first) {
            kept += ',';
        }
        kept += text;
        first = false;
    }
    return strdup(kept.c_str());
}

void handleServerRenameRequest(uint16_t connectionId, const MessageHeader* request) {
    const std::string name = payloadText(request, 0, 127);
    if (!storable(connectionId, name, "a server name")) {
        return;
    }
    startServerRename(connectionId, name.c_str());
}

void handleDeviceNicknameRequest(uint16_t connectionId, const MessageHeader* request) {
    const uint8_t* p = messagePayload(request);
    NicknameRequest r = {};
    memcpy(&r.vendorId, p, 2);
    memcpy(&r.productId, p + 2, 2);
    memcpy(&r.address, p + 4, 4);
    const std::string nickname = payloadText(request, 8, 63);
    memcpy(r.nickname, nickname.data(), nickname.size());
    if (request->payloadLength >= 200) {
        const std::string serial = payloadText(request, 72, 127);
        memcpy(r.serial, serial.data(), serial.size());
    }
    // A ',' is carried by the list's own encoding (formatDeviceNicknames).
    if (!storable(connectionId, r.nickname, "a device nickname") ||
        !storable(connectionId, r.serial, "a device serial")) {
        return;
    }
    // Each device a client names gets an entry: past the bound only entries
    // that exist already can be changed or removed.
    if (r.nickname[0] != '\0' && nicknameList != nullptr && countLockedList(nicknameList) >= kMaxNicknames &&
        !findInLockedList(nicknameList, matchNicknameRequest, &r)) {
        logConnectionMessage(connectionId, 4, "Warning, refusing a device nickname from connection %u: %zu are set",
                             connectionId, kMaxNicknames);
        return;
    }
    startNicknameChange(connectionId, &r);
}

void handleAddReverseClientRequest(uint16_t connectionId, const MessageHeader* request) {
    editReverseClients(connectionId, request, true);
}

void handleRemoveReverseClientRequest(uint16_t connectionId, const MessageHeader* request) {
    editReverseClients(connectionId, request, false);
}

void handleListReverseClientsRequest(uint16_t connectionId, const MessageHeader*) {
    char* list = getConfigString(reverseKeys().listKey, nullptr, false);
    replyWithText(connectionId, kMsgListReverseClientsReply, list != nullptr ? list : "");
    free(list);
}

void handleGetIgnoredDevicesRequest(uint16_t connectionId, const MessageHeader*) {
    // Never expanded: the list holds clients' text, and a client must not
    // read the daemon's environment through it.
    char* list = getConfigString("IgnoredDevices", platformIgnoredDevices(), false);
    replyWithText(connectionId, kMsgGetIgnoredDevicesReply, list != nullptr ? list : "");
    free(list);
}

void handleSetIgnoredDevicesRequest(uint16_t connectionId, const MessageHeader* request) {
    const std::string text = payloadText(request, 0, request->payloadLength);
    if (text.find('/') == std::string::npos) {
        logConnectionMessage(connectionId, 4,
                             "Warning, connection %u asked to stop ignoring \"%s\", which names no vendor/product",
                             connectionId, text.c_str());
        return;
    }
    // The raw text is edited, so entries keep their own form; the default
    // list stands in for a key that was never set.
    char* current = getConfigString("IgnoredDevices", nullptr, false);
    const bool isSet = current != nullptr;
    free(current);
    const char* fallback = isSet ? nullptr : platformIgnoredDevices();
    if (!isSet && fallback == nullptr) {
        return;
    }
    IgnoredEdit edit = {text.c_str(), fallback};
    if (editConfigString("IgnoredDevices", removeIgnoredEdit, &edit) == 0) {
        logConnectionMessage(connectionId, 6, "Stopped ignoring %s for connection %u", text.c_str(), connectionId);
        requestUsbEnumeration();
    }
}
