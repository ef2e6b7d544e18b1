#include "ovusbd/core/eventscripts.h"

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include "ovusbd/core/config.h"
#include "ovusbd/core/connection.h"
#include "ovusbd/core/connectionlog.h"
#include "ovusbd/core/deviceannounce.h"
#include "ovusbd/core/log.h"
#include "ovusbd/core/scriptcommand.h"
#include "ovusbd/core/servermessages.h"
#include "ovusbd/core/shellcommand.h"
#include "ovusbd/core/util.h"
#include "ovusbd/usb/devicehooks.h"
#include "ovusbd/usb/devicerecord.h"

namespace {

const char kInsufficientPermissions[] = "INSUFFICIENT_PERMISSIONS_MSG";

// Guards the window in which detached script threads may change shared
// state; see startEventScripts. Static, so a thread that outlives a stop
// still finds it.
pthread_mutex_t applyMutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t applyIdle = PTHREAD_COND_INITIALIZER;
bool accepting = false;       // guarded by applyMutex
unsigned generation = 0;      // guarded by applyMutex; bumped by every stop
unsigned applying = 0;        // guarded by applyMutex

// Serialises nickname changes: the list, "DeviceNicknames" and the
// announcements change together.
pthread_mutex_t nicknameMutex = PTHREAD_MUTEX_INITIALIZER;

unsigned currentGeneration() {
    pthread_mutex_lock(&applyMutex);
    const unsigned g = generation;
    pthread_mutex_unlock(&applyMutex);
    return g;
}

// True when a thread started in startedIn may apply its change now; it
// then calls endApplying when done.
bool beginApplying(unsigned startedIn) {
    pthread_mutex_lock(&applyMutex);
    const bool ok = accepting && generation == startedIn;
    if (ok) {
        applying++;
    } else {
        logMessage(7, "Event script ended after shutdown began; its change is not applied");
    }
    pthread_mutex_unlock(&applyMutex);
    return ok;
}

void endApplying() {
    pthread_mutex_lock(&applyMutex);
    if (--applying == 0) {
        pthread_cond_broadcast(&applyIdle);
    }
    pthread_mutex_unlock(&applyMutex);
}

// Clients start script threads (a rename each, a connect each): past this
// many at once further ones are refused, so a flood cannot exhaust threads.
constexpr unsigned kMaxScriptThreads = 32;
unsigned scriptThreads = 0;  // guarded by applyMutex

struct ScriptThreadStart {
    void* (*routine)(void*);
    void* argument;
};

void* countedScriptThread(void* start) {
    const ScriptThreadStart s = *static_cast<ScriptThreadStart*>(start);
    free(start);
    s.routine(s.argument);
    pthread_mutex_lock(&applyMutex);
    scriptThreads--;
    pthread_mutex_unlock(&applyMutex);
    return nullptr;
}

// False (argument still the caller's) when the thread was not started.
// connectionId: the client that asked for the script, 0 for none.
bool startDetached(void* (*routine)(void*), void* argument, uint16_t connectionId) {
    pthread_mutex_lock(&applyMutex);
    const bool room = scriptThreads < kMaxScriptThreads;
    if (room) {
        scriptThreads++;
    }
    pthread_mutex_unlock(&applyMutex);
    if (!room) {
        logConnectionMessage(connectionId, 4, "Warning, %u event scripts are running, not starting another",
                             kMaxScriptThreads);
        return false;
    }
    auto* start = static_cast<ScriptThreadStart*>(malloc(sizeof(ScriptThreadStart)));
    int rc = ENOMEM;
    pthread_attr_t attributes;
    if (start != nullptr && pthread_attr_init(&attributes) == 0) {
        *start = {routine, argument};
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        pthread_t thread;
        rc = pthread_create(&thread, &attributes, countedScriptThread, start);
        pthread_attr_destroy(&attributes);
    }
    if (rc != 0) {
        free(start);
        pthread_mutex_lock(&applyMutex);
        scriptThreads--;
        pthread_mutex_unlock(&applyMutex);
        logMessage(3, "Error %d starting an event script thread, %s", rc, strerror(rc));
        return false;
    }
    return true;
}

void connectionAddressText(uint16_t connectionId, char out[64]) {
    out[0] = '\0';
    sockaddr_storage remote = {};
    if (getConnectionRemoteAddress(connectionId, &remote) &&
        formatSocketAddress(reinterpret_cast<const sockaddr*>(&remote), out, 64) == nullptr) {
        out[0] = '\0';
    }
}

// What a client's event script is told of the asking connection.
struct ClientTexts {
    char clientId[64];
    char clientIp[64];
};

ClientTexts clientTexts(uint16_t connectionId) {
    ClientTexts t;
    if (!getConnectionClientText(connectionId, t.clientId)) {
        t.clientId[0] = '\0';
    }
    connectionAddressText(connectionId, t.clientIp);
    return t;
}

bool hasCommand(const char* command) {
    return command != nullptr && command[0] != '\0';
}

// Informational scripts: the connect and disconnect events.
struct InformationalScript {
    const char* eventName;  // "onClientConnect" or "onClientDisconnect"
    char* command;          // placeholders filled
};

void* informationalScriptThread(void* argument) {
    auto* script = static_cast<InformationalScript*>(argument);
    const int status = runShellCommand(script->command);
    if (status < 0) {
        logMessage(3, "Error %d starting \"%s\", %s", -status, script->command, strerror(-status));
    } else {
        logMessage(6, "%s '%s'", script->eventName, script->command);
        if (WIFSIGNALED(status)) {
            logMessage(3, "Error %d running \"%s\", %s", WTERMSIG(status), script->command, strsignal(WTERMSIG(status)));
        }
    }
    free(script->command);
    free(script);
    return nullptr;
}

void startInformationalScript(const char* eventName, const char* command, const char* const* pairs, size_t count) {
    auto* script = static_cast<InformationalScript*>(calloc(1, sizeof(InformationalScript)));
    if (script == nullptr) {
        return;
    }
    script->eventName = eventName;
    script->command = fillScriptPlaceholders(command, pairs, count);
    if (script->command == nullptr || !startDetached(informationalScriptThread, script, 0)) {
        free(script->command);
        free(script);
    }
}

// The exit code of a vetting script, or -1 after logging why there is
// none. eventName names the script in the log lines.
int vettingScriptExit(const char* eventName, const char* command) {
    const int status = runShellCommand(command);
    if (status < 0) {
        logMessage(3, "Error %d starting %s, %s", -status, eventName, strerror(-status));
        return -1;
    }
    if (WIFSIGNALED(status)) {
        logMessage(3, "Error %d unhandled signal %d:%d running %s, %s", WTERMSIG(status), (status >> 8) & 0xff,
                   status & 0x7f, eventName, strsignal(WTERMSIG(status)));
        return -1;
    }
    if (!WIFEXITED(status)) {
        logMessage(3, "Error %d running %s script, %s", status, eventName, "not exited");
        return -1;
    }
    return WEXITSTATUS(status);
}

struct RenameArgument {
    uint16_t connectionId;
    char name[128];
    unsigned generation;
};

// Runs "OnServerRename"; returns its exit code, 1 when there is none, or
// -1 when it failed.
int runRenameScript(const RenameArgument* rename) {
    char* command = getConfigString("OnServerRename", nullptr, false);
    if (!hasCommand(command)) {
        free(command);
        return 1;
    }
    const ClientTexts client = clientTexts(rename->connectionId);
    char id[8];
    snprintf(id, sizeof id, "%u", rename->connectionId);
    const char* pairs[] = {"$NEW_NAME$", rename->name, "$CLIENT_IP$", client.clientIp,
                           "$CLIENT_ID$", client.clientId, "$CONNECTION_ID$", id};
    char* filled = fillScriptPlaceholders(command, pairs, 8);
    free(command);
    if (filled == nullptr) {
        return -1;
    }
    const int status = runShellCommand(filled);
    int exitCode = -1;
    if (status < 0) {
        logMessage(3, "Error %d starting onServerRename \"%s\", %s", -status, filled, strerror(-status));
    } else if (WIFSIGNALED(status)) {
        logMessage(3, "Error %d (%s) unhandled signal %d:%d running onRenameServer", WTERMSIG(status),
                   strsignal(WTERMSIG(status)), (status >> 8) & 0xff, status & 0x7f);
    } else if (WIFEXITED(status)) {
        exitCode = WEXITSTATUS(status);
    }
    free(filled);
    return exitCode;
}

void* serverRenameThread(void* argument) {
    auto* rename = static_cast<RenameArgument*>(argument);
    const int exitCode = runRenameScript(rename);
    if ((exitCode == 1 || exitCode == 2) && beginApplying(rename->generation)) {
        if (exitCode == 1) {
            setConfigString("ServerName", rename->name);
            logMessage(6, "Server renamed to \"%s\" by connection %u", rename->name, rename->connectionId);
            MessageHeader* info = buildServerInfoMessage();
            if (info != nullptr) {
                broadcastMessage(info);
            }
        } else {
            sendToConnection(rename->connectionId, buildTextMessage(kInsufficientPermissions));
        }
        endApplying();
    }
    free(rename);
    return nullptr;
}

struct NicknameArgument {
    uint16_t connectionId;
    NicknameRequest request;
    unsigned generation;
};

// The device hook's command: the model key, the vendor key, then the plain
// key, as device hooks are looked up (no environment expansion).
// The "onChangeNickname" hook of the device (model, vendor or plain key):
// its exit code, 0 when there is none, -1 when it did not run to its end.
int runNicknameHook(const NicknameArgument* change, const char* currentNickname) {
    const NicknameRequest& r = change->request;
    char devpath[255] = {};
    getDeviceSysfsPath(r.address, devpath);
    const ClientTexts client = clientTexts(change->connectionId);
    const char* pairs[] = {"$NICKNAME$",  currentNickname, "$NEW_NICKNAME$", r.nickname,
                           "$CLIENT_ID$", client.clientId, "$CLIENT_IP$",    client.clientIp};
    int exitCode = -1;
    const int result = findDeviceHook("onChangeNickname", r.vendorId, r.productId, nullptr, devpath, r.address,
                                      nullptr, pairs, int(sizeof pairs / sizeof pairs[0]), &exitCode);
    return result == kHookNone ? 0 : result == kHookDone ? exitCode : -1;
}

void applyNickname(const NicknameRequest& request) {
    pthread_mutex_lock(&nicknameMutex);
    if (nicknameList != nullptr) {
        removeFromLockedList(nicknameList, matchNicknameRequest, freeItem, &request, nullptr);
        if (request.nickname[0] != '\0') {
            auto* entry = static_cast<DeviceNickname*>(calloc(1, sizeof(DeviceNickname)));
            if (entry != nullptr) {
                entry->vendorId = request.vendorId;
                entry->productId = request.productId;
                entry->address = request.address;
                memcpy(entry->nickname, request.nickname, sizeof entry->nickname);
                memcpy(entry->serial, request.serial, sizeof entry->serial);
                if (appendToLockedList(nicknameList, entry) < 0) {
                    free(entry);
                }
            }
        }
        char* text = formatDeviceNicknames(nicknameList);
        if (text != nullptr) {
            setConfigString("DeviceNicknames", text);
            free(text);
        }
        announceEveryDevice(0, nullptr);
    }
    pthread_mutex_unlock(&nicknameMutex);
}

void* nicknameChangeThread(void* argument) {
    auto* change = static_cast<NicknameArgument*>(argument);
    char current[64] = {};
    if (nicknameList != nullptr) {
        forEachInLockedList(
            nicknameList, matchNicknameRequest,
            [](void* item, void* out) { memcpy(out, static_cast<DeviceNickname*>(item)->nickname, 64); },
            &change->request, current, 1);
        current[63] = '\0';
    }
    const int exitCode = runNicknameHook(change, current);
    if ((exitCode == 0 || exitCode == 2) && beginApplying(change->generation)) {
        if (exitCode == 0) {
            applyNickname(change->request);
        } else {
            sendToConnection(change->connectionId, buildTextMessage(kInsufficientPermissions));
        }
        endApplying();
    }
    free(change);
    return nullptr;
}

// What a client may add to config.ini with a custom event: a key no longer
// than any the server reads, without control characters, and a new key only
// while the file is of a size an administrator wrote. Blanking a key that
// is there is always allowed. True (after a logged line) when refused.
bool customEventKeyRefused(uint16_t connectionId, const char* key) {
    constexpr size_t kMaxKey = 63;
    constexpr size_t kMaxEntries = 512;
    bool control = false;
    for (const char* p = key; *p != '\0'; ++p) {
        control = control || static_cast<unsigned char>(*p) < 0x20 || *p == 0x7f;
    }
    if (strlen(key) > kMaxKey || control) {
        logConnectionMessage(connectionId, 4,
                             "Warning, refusing custom event key \"%.63s\" from connection %u: not a key of at most %zu "
                             "printable characters",
                             key, connectionId, kMaxKey);
        return true;
    }
    if (!hasConfigKey(key) && countConfigEntries() >= kMaxEntries) {
        logConnectionMessage(connectionId, 4,
                             "Warning, refusing custom event key \"%s\" from connection %u: config.ini holds %zu keys",
                             key, connectionId, kMaxEntries);
        return true;
    }
    return false;
}

}  // namespace

char* fillScriptPlaceholders(const char* command, const char* const* pairs, size_t pairCount) {
    return fillScriptCommand(command, pairs, pairCount);
}

void startEventScripts() {
    pthread_mutex_lock(&applyMutex);
    accepting = true;
    pthread_mutex_unlock(&applyMutex);
}

void stopEventScripts() {
    pthread_mutex_lock(&applyMutex);
    accepting = false;
    generation++;
    while (applying != 0) {
        pthread_cond_wait(&applyIdle, &applyMutex);
    }
    pthread_mutex_unlock(&applyMutex);
}

void startClientConnectScript(const char* command, const char* addressText, uint16_t connectionId) {
    if (!hasCommand(command)) {
        return;
    }
    char id[8];
    snprintf(id, sizeof id, "%u", connectionId);
    const char* pairs[] = {"$ADDRESS$", addressText, "$CLIENT_IP$", addressText, "$ID$", id, "$CONNECTION_ID$", id};
    startInformationalScript("onClientConnect", command, pairs, 8);
}

void startClientDisconnectScript(const char* command, uint16_t connectionId, const char* reason,
                                 const char* clientText, const char* addressText) {
    if (!hasCommand(command)) {
        return;
    }
    char id[8];
    snprintf(id, sizeof id, "%u", connectionId);
    const char* pairs[] = {"$REASON$", reason, "$CLIENT_IP$", addressText, "$CLIENT_ID$", clientText,
                           "$ID$", id, "$CONNECTION_ID$", id};
    startInformationalScript("onClientDisconnect", command, pairs, 10);
}

bool runReverseClientScript(const char* eventName, const char* command, uint16_t connectionId) {
    const ClientTexts client = clientTexts(connectionId);
    const char* pairs[] = {"$CLIENT_ID$", client.clientId, "$CLIENT_IP$", client.clientIp};
    char* filled = fillScriptPlaceholders(command, pairs, 4);
    if (filled == nullptr) {
        return false;
    }
    const int exitCode = vettingScriptExit(eventName, filled);
    free(filled);
    if (exitCode > 1) {
        logConnectionMessage(connectionId, 3, "Unknown return value %d from %s", exitCode, eventName);
    }
    return exitCode == 1;
}

bool startServerRename(uint16_t connectionId, const char* name) {
    auto* rename = static_cast<RenameArgument*>(calloc(1, sizeof(RenameArgument)));
    if (rename == nullptr) {
        return false;
    }
    rename->connectionId = connectionId;
    strncpy(rename->name, name, sizeof rename->name - 1);
    rename->generation = currentGeneration();
    if (!startDetached(serverRenameThread, rename, connectionId)) {
        free(rename);
        return false;
    }
    return true;
}

bool startNicknameChange(uint16_t connectionId, const NicknameRequest* request) {
    auto* change = static_cast<NicknameArgument*>(calloc(1, sizeof(NicknameArgument)));
    if (change == nullptr) {
        return false;
    }
    change->connectionId = connectionId;
    change->request = *request;
    change->generation = currentGeneration();
    if (!startDetached(nicknameChangeThread, change, connectionId)) {
        free(change);
        return false;
    }
    return true;
}

void handleCustomEventRequest(uint16_t connectionId, const MessageHeader* request) {
    const char* payload = reinterpret_cast<const char*>(messagePayload(request));
    const size_t length = strnlen(payload, request->payloadLength);
    char* text = strndup(payload, length);
    if (text == nullptr) {
        return;
    }
    char* equals = strchr(text, '=');
    if (equals != nullptr && equals != text) {
        *equals = '\0';
        const char* key = text;
        const char* value = equals + 1;
        if (strcasecmp(value, "REMOVE") == 0) {
            removeConfigString(key);
            logConnectionMessage(connectionId, 6, "Removed custom event \"%s=%s\"", key, value);
        } else if (value[0] == '\0') {
            if (!customEventKeyRefused(connectionId, key) && setConfigString(key, "") == 0) {
                logConnectionMessage(connectionId, 6, "Set custom event \"%s=%s\"", key, value);
            }
        } else {
            logConnectionMessage(connectionId, 4,
                                 "Not setting custom event \"%s=%s\". Please edit config.ini directly instead", key,
                                 value);
        }
    }
    free(text);
}
