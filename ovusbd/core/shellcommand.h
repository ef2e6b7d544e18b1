// Commands of the administrator's configuration (scripts and hooks) run
// through /bin/sh, and the one rule that makes outside text safe to put in
// them.
#pragma once

#include <stddef.h>

// A new copy of text in which every byte outside [A-Za-z0-9 ._:@%+,/=-]
// became '_', so a client's text can never quote, substitute or chain a
// command. Null on allocation failure or a null text. Every value placed in
// a command line that the administrator did not write goes through it.
char* makeShellSafe(const char* text);

// Runs "/bin/sh -c command" with posix_spawn and waits for it. Returns the
// wait status, or -errno when the shell could not be started or waited for.
// Unlike system(3) it leaves SIGINT and SIGQUIT alone in the server, so a
// CTRL-C still reaches the server while a script runs.
//
// On a thread that called makeShellCommandsCancellable the shell runs in a
// process group of its own, so that cancelShellCommands can end it with
// everything it started; such a command returns -ECANCELED without running
// while the cancellation stands.
int runShellCommand(const char* command);

// Marks the calling thread's commands as ones cancelShellCommands may end.
// For the whole life of the thread.
void makeShellCommandsCancellable();

// Kills (SIGKILL) the process group of every cancellable command running
// now, and makes further cancellable commands fail until
// allowShellCommands. Returns how many were killed. The commands' threads
// return from runShellCommand with the signal in the wait status.
unsigned cancelShellCommands();
void allowShellCommands();
