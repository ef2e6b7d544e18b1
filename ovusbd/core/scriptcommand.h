// Building and running the administrator's scripts, with outside values
// placed in them so that the shell never reads a value as code.
#pragma once

#include <stddef.h>

// The line for /bin/sh -c that carries out the administrator's command with
// every placeholder of pairs (placeholder, value, placeholder, value...;
// pairCount texts in all; a null value counts as empty) standing for its
// value exactly. Each value used becomes a shell variable, set in front of
// the command as one single-quoted word (a ' inside written as '\''), and
// each placeholder becomes a quoted reference to it that fits where it
// stands: "${OVUSBD_NAME}" in plain text, ${OVUSBD_NAME} inside double
// quotes, '"${OVUSBD_NAME}"' inside single quotes. So a value is always one
// word, whatever quotes, '$', backquotes or spaces it holds, and is never
// parsed as shell text. Control characters of a value become '_'; nothing
// else changes. With no placeholder in the command it is returned as it is.
// A new text the caller frees; null on allocation failure or a null command.
char* fillScriptCommand(const char* command, const char* const* pairs, size_t pairCount);

// Replaces every placeholder in text by the shell-safe form of value
// (makeShellSafe): for texts the server makes itself (paths, numbers),
// which also appear in log lines. Takes text over: returns a new text and
// frees the old one, or returns null with text freed when memory runs out.
// A null text stays null, so a chain of calls needs one check at its end.
char* replaceShellSafe(char* text, const char* placeholder, const char* value);

// Runs a script whose exit code is its answer. Returns the exit code
// (0..255), or -1 after logging at level 3 why there was none:
// "Error %d starting <name>, %s", "Error %d unhandled signal %d:%d running
// <name>, %s" or "Error %d running <runningText>, %s".
int runScriptForExitCode(const char* command, const char* name, const char* runningText);
