// Event scripts: the administrator's command lines in config.ini that run
// when a client connects or leaves, and that vet what clients ask to change
// (reverse clients, the server's name, a device nickname). Placeholders
// ("$CLIENT_IP$") stand for the event's values, each reaching the shell as
// one exact word (fillScriptCommand), and the result runs through /bin/sh
// (runShellCommand). Clients may also blank or remove a configuration key
// (the custom event, message 47).
//
// Threads: the connect, disconnect, rename and nickname scripts run on at
// most scriptThreads (CoreSettings) detached script threads, each job with
// its own copies; work beyond them waits in a bounded queue (changes before
// notices, waitingChangesPerClient per client), and what does not fit is dropped with a warning. The
// reverse-client scripts run on the asking connection's receive thread. No
// lock is held while a script runs.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "ovusbd/core/message.h"
#include "ovusbd/core/nicknames.h"

// fillScriptCommand: the command with each placeholder of pairs (name,
// value, name, value, ...; pairCount texts in all) standing for its value
// as one exact shell word. Null on allocation failure.
char* fillScriptPlaceholders(const char* command, const char* const* pairs, size_t pairCount);

// Between these two calls event scripts run. Stop refuses further scripts,
// drops those still waiting for a thread, and waits for every script
// thread to end: up to waitMs for the scripts, then it kills them
// (cancelShellCommands) and waits for their threads. A change whose script
// ends after the stop began is not applied. Call stop after the clients
// are removed and before the lists, the connection list and the
// configuration store are freed.
constexpr int kEventScriptStopWaitMs = 10000;
void startEventScripts();
void stopEventScripts(int waitMs = kEventScriptStopWaitMs);

// Script threads running and changes and notices waiting, as of now.
struct EventScriptLoad {
    unsigned threads;
    unsigned waitingChanges;
    unsigned waitingNotices;
};
EventScriptLoad eventScriptLoad();

// The connection module's event hooks (ConnectionCallbacks): each starts a
// detached thread that runs "onClientConnect" or "onClientDisconnect" with
// copies of the values and logs the outcome. An empty command runs nothing.
void startClientConnectScript(const char* command, const char* addressText, uint16_t connectionId);
void startClientDisconnectScript(const char* command, uint16_t connectionId, const char* reason,
                                 const char* clientText, const char* addressText);

// Runs the "OnAddReverseClient" or "OnRemoveReverseClient" command (eventName)
// for the connection and waits for it. True only when it exits with 1.
bool runReverseClientScript(const char* eventName, const char* command, uint16_t connectionId);

// Hands the rename to a script thread: runs "OnServerRename"; exit 1 (or no
// command) stores "ServerName" and broadcasts the server information, exit
// 2 tells the client "INSUFFICIENT_PERMISSIONS_MSG". name: at most 127
// characters are used. False when it was dropped (logged).
bool startServerRename(uint16_t connectionId, const char* name);

// Hands the nickname request (copied) to a script thread: runs the
// "onChangeNickname" hook of the device's ids; no hook or exit 0 replaces
// the matching nickname entries, rewrites "DeviceNicknames" and announces
// every device again; exit 2 tells the client "INSUFFICIENT_PERMISSIONS_MSG".
// False when it was dropped (logged).
bool startNicknameChange(uint16_t connectionId, const NicknameRequest* request);

// Message 47: "key=value" text. The value "REMOVE" (any case) removes the
// key, an empty value blanks it, any other value is refused.
void handleCustomEventRequest(uint16_t connectionId, const MessageHeader* request);
