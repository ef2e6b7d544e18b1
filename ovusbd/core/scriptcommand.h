// Building and running the administrator's scripts whose answer is their
// exit code, with outside values placed in them only in shell-safe form.
#pragma once

// Replaces every placeholder in text by the shell-safe form of value (a
// null value counts as empty). Takes text over: returns a new text and frees
// the old one, or returns null with text freed when memory runs out. A null
// text stays null, so a chain of calls needs one check at its end.
char* replaceShellSafe(char* text, const char* placeholder, const char* value);

// Runs a script whose exit code is its answer. Returns the exit code
// (0..255), or -1 after logging at level 3 why there was none:
// "Error %d starting <name>, %s", "Error %d unhandled signal %d:%d running
// <name>, %s" or "Error %d running <runningText>, %s".
int runScriptForExitCode(const char* command, const char* name, const char* runningText);
