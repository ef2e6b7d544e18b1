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
#include "ovusbd/core/coresettings.h"
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

// Script threads and the work waiting for one. Clients cause the work (a
// connect each, a rename each), so both are bounded: at most
// scriptThreads (CoreSettings) threads run scripts, and work beyond them waits in two
// queues, changes (renames, nicknames) before notices (connects,
// disconnects), so that a burst of connects never costs an administrator's
// change. Shutdown stops the intake and waits for every thread before what
// they use is freed. Static, so a test can start and stop twice.
constexpr unsigned kMaxWaitingNotices = 256;
constexpr unsigned kMaxWaitingChanges = 256;

struct ScriptJob {
    void* (*routine)(void*);  // frees argument
    void (*discard)(void*);   // frees argument of a job that never runs
    void* argument;
    uint16_t connectionId;  // the client that asked; 0 for a notice
    ScriptJob* next;
};

struct JobQueue {
    ScriptJob* head;
    ScriptJob* tail;
    unsigned count;
};

// Lock order: scriptsMutex alone; no script runs and nothing is freed
// while it is held.
pthread_mutex_t scriptsMutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t threadsEnded;  // CLOCK_MONOTONIC; made once by scriptsOnce
pthread_once_t scriptsOnce = PTHREAD_ONCE_INIT;
bool accepting = false;     // guarded by scriptsMutex
unsigned scriptThreads = 0;  // guarded by scriptsMutex; each counted until it ends
JobQueue changes = {};       // guarded by scriptsMutex
JobQueue notices = {};       // guarded by scriptsMutex

// Serialises nickname changes: the list, "DeviceNicknames" and the
// announcements change together.
pthread_mutex_t nicknameMutex = PTHREAD_MUTEX_INITIALIZER;

void makeThreadsEnded() {
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&threadsEnded, &attributes);
    pthread_condattr_destroy(&attributes);
}

void pushJob(JobQueue* queue, ScriptJob* job) {
    job->next = nullptr;
    if (queue->tail != nullptr) {
        queue->tail->next = job;
    } else {
        queue->head = job;
    }
    queue->tail = job;
    queue->count++;
}

ScriptJob* popJob(JobQueue* queue) {
    ScriptJob* job = queue->head;
    if (job != nullptr) {
        queue->head = job->next;
        if (queue->head == nullptr) {
            queue->tail = nullptr;
        }
        queue->count--;
    }
    return job;
}

unsigned waitingChangesOf(uint16_t connectionId) {
    unsigned n = 0;
    for (const ScriptJob* job = changes.head; job != nullptr; job = job->next) {
        n += job->connectionId == connectionId ? 1 : 0;
    }
    return n;
}

// True when a thread that finished its work may apply the change its
// script allowed: shutdown has not begun. Shutdown waits for the thread
// either way.
bool mayApply() {
    pthread_mutex_lock(&scriptsMutex);
    const bool ok = accepting;
    pthread_mutex_unlock(&scriptsMutex);
    if (!ok) {
        logMessage(7, "Event script ended after shutdown began; its change is not applied");
    }
    return ok;
}

// Runs its first job, then waiting ones until none is left.
void* scriptThread(void* first) {
    makeShellCommandsCancellable();
    auto* job = static_cast<ScriptJob*>(first);
    for (;;) {
        job->routine(job->argument);
        free(job);
        pthread_mutex_lock(&scriptsMutex);
        job = accepting ? popJob(&changes) : nullptr;
        if (job == nullptr && accepting) {
            job = popJob(&notices);
        }
        if (job == nullptr) {
            if (--scriptThreads == 0) {
                pthread_cond_broadcast(&threadsEnded);
            }
            pthread_mutex_unlock(&scriptsMutex);
            return nullptr;
        }
        pthread_mutex_unlock(&scriptsMutex);
    }
}

// Hands the work to a script thread, or to the queue when scriptThreads
// are busy. False (argument still the caller's) when it was dropped: logged
// as `what`. change: a rename or nickname change of connectionId.
bool submitScript(void* (*routine)(void*), void (*discard)(void*), void* argument, uint16_t connectionId,
                  bool change, const char* what) {
    auto* job = static_cast<ScriptJob*>(malloc(sizeof(ScriptJob)));
    if (job == nullptr) {
        logMessage(3, "Error, no memory to run %s", what);
        return false;
    }
    *job = {routine, discard, argument, connectionId, nullptr};
    pthread_mutex_lock(&scriptsMutex);
    if (!accepting) {
        pthread_mutex_unlock(&scriptsMutex);
        free(job);
        logMessage(7, "Not running %s: event scripts are stopped", what);
        return false;
    }
    const CoreSettings& limits = coreSettings();
    if (scriptThreads < limits.scriptThreads) {
        pthread_attr_t attributes;
        int rc = pthread_attr_init(&attributes);
        if (rc == 0) {
            pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
            pthread_t thread;
            rc = pthread_create(&thread, &attributes, scriptThread, job);
            pthread_attr_destroy(&attributes);
        }
        if (rc == 0) {
            scriptThreads++;
            pthread_mutex_unlock(&scriptsMutex);
            return true;
        }
        if (scriptThreads == 0) {
            pthread_mutex_unlock(&scriptsMutex);
            free(job);
            logMessage(3, "Error %d starting an event script thread for %s, %s", rc, what, strerror(rc));
            return false;
        }
        // A running thread takes it from the queue.
    }
    JobQueue* queue = change ? &changes : &notices;
    const unsigned waiting = queue->count;
    const unsigned clientWaiting = change ? waitingChangesOf(connectionId) : 0;
    const bool room = change ? waiting < kMaxWaitingChanges && clientWaiting < limits.waitingChangesPerClient
                             : waiting < kMaxWaitingNotices;
    if (room) {
        pushJob(queue, job);
    }
    pthread_mutex_unlock(&scriptsMutex);
    if (!room) {
        free(job);
        if (change && clientWaiting >= limits.waitingChangesPerClient) {
            logConnectionMessage(connectionId, 4, "Warning, %u changes of this client wait for their scripts, dropping %s",
                                 clientWaiting, what);
        } else {
            logConnectionMessage(connectionId, 4, "Warning, %u event scripts are waiting, dropping %s", waiting, what);
        }
    }
    return room;
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
    // The wait status carries no errno; what errno holds is logged, as the
    // server always did.
    const int error = errno;
    if (status < 0) {
        logMessage(3, "Error %d starting \"%s\", %s", -status, script->command, strerror(-status));
    } else {
        logMessage(6, "%s '%s'", script->eventName, script->command);
        if (WIFSIGNALED(status)) {
            logMessage(3, "Error %d running \"%s\", %s", error, script->command, strerror(error));
        }
    }
    free(script->command);
    free(script);
    return nullptr;
}

void discardInformationalScript(void* argument) {
    auto* script = static_cast<InformationalScript*>(argument);
    free(script->command);
    free(script);
}

void startInformationalScript(const char* eventName, const char* command, const char* const* pairs, size_t count) {
    auto* script = static_cast<InformationalScript*>(calloc(1, sizeof(InformationalScript)));
    if (script == nullptr) {
        return;
    }
    script->eventName = eventName;
    script->command = fillScriptPlaceholders(command, pairs, count);
    if (script->command == nullptr || 
        !submitScript(informationalScriptThread, discardInformationalScript, script, 0, false, eventName)) {
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
    const int error = errno;  // as for the informational scripts
    if (WIFSIGNALED(status)) {
        logMessage(3, "Error %d unhandled signal %d:%d running %s, %s", error, (status >> 8) & 0xff, status & 0x7f,
                   eventName, strerror(error));
        return -1;
    }
    if (!WIFEXITED(status)) {
        logMessage(3, "Error %d running %s script, %s", error, eventName, strerror(error));
        return -1;
    }
    return WEXITSTATUS(status);
}

struct RenameArgument {
    uint16_t connectionId;
    char name[128];
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
    const int error = errno;  // as for the informational scripts
    int exitCode = -1;
    if (status < 0) {
        logMessage(3, "Error %d starting onServerRename \"%s\", %s", -status, filled, strerror(-status));
    } else if (WIFSIGNALED(status)) {
        logMessage(3, "Error %d (%s) unhandled signal %d:%d running onRenameServer", error, strerror(error),
                   (status >> 8) & 0xff, status & 0x7f);
    } else if (WIFEXITED(status)) {
        exitCode = WEXITSTATUS(status);
    }
    free(filled);
    return exitCode;
}

void* serverRenameThread(void* argument) {
    auto* rename = static_cast<RenameArgument*>(argument);
    const int exitCode = runRenameScript(rename);
    if ((exitCode == 1 || exitCode == 2) && mayApply()) {
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
    }
    free(rename);
    return nullptr;
}

struct NicknameArgument {
    uint16_t connectionId;
    NicknameRequest request;
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
    if ((exitCode == 0 || exitCode == 2) && mayApply()) {
        if (exitCode == 0) {
            applyNickname(change->request);
        } else {
            sendToConnection(change->connectionId, buildTextMessage(kInsufficientPermissions));
        }
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
    pthread_once(&scriptsOnce, makeThreadsEnded);
    allowShellCommands();
    pthread_mutex_lock(&scriptsMutex);
    accepting = true;
    pthread_mutex_unlock(&scriptsMutex);
}

void stopEventScripts(int waitMs) {
    pthread_once(&scriptsOnce, makeThreadsEnded);
    pthread_mutex_lock(&scriptsMutex);
    accepting = false;
    ScriptJob* dropped[2] = {changes.head, notices.head};
    const unsigned droppedCount = changes.count + notices.count;
    changes = {};
    notices = {};
    const unsigned running = scriptThreads;
    pthread_mutex_unlock(&scriptsMutex);
    for (ScriptJob* job : dropped) {
        while (job != nullptr) {
            ScriptJob* next = job->next;
            job->discard(job->argument);
            free(job);
            job = next;
        }
    }
    if (droppedCount != 0) {
        logMessage(6, "Dropped %u event scripts that had not started", droppedCount);
    }
    if (running == 0) {
        return;
    }
    logMessage(6, "Waiting for %u event script threads to end", running);
    const timespec deadline = monotonicDeadline(waitMs);
    pthread_mutex_lock(&scriptsMutex);
    int rc = 0;
    while (scriptThreads != 0 && rc != ETIMEDOUT) {
        rc = pthread_cond_timedwait(&threadsEnded, &scriptsMutex, &deadline);
    }
    if (scriptThreads != 0) {
        const unsigned left = scriptThreads;
        pthread_mutex_unlock(&scriptsMutex);
        // Killing the scripts ends their threads: a killed script applies
        // nothing, and a thread not in a script yet starts none.
        const unsigned killed = cancelShellCommands();
        logMessage(4, "Warning, %u event script threads still running after %d ms, killed %u scripts", left, waitMs, killed);
        pthread_mutex_lock(&scriptsMutex);
        while (scriptThreads != 0) {
            pthread_cond_wait(&threadsEnded, &scriptsMutex);
        }
    }
    pthread_mutex_unlock(&scriptsMutex);
}

EventScriptLoad eventScriptLoad() {
    pthread_mutex_lock(&scriptsMutex);
    const EventScriptLoad load = {scriptThreads, changes.count, notices.count};
    pthread_mutex_unlock(&scriptsMutex);
    return load;
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
    if (!submitScript(serverRenameThread, free, rename, connectionId, true, "a rename")) {
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
    if (!submitScript(nicknameChangeThread, free, change, connectionId, true, "a nickname change")) {
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
