// Signal handling of ovusbd. SIGINT and SIGTERM ask the server to stop: the
// handler only records the request (a flag and a byte on a self-pipe), so a
// request that arrives while start-up still runs is acted on as soon as the
// main thread waits. Crash signals write a pre-formatted message with
// async-signal-safe calls only, then end the process with the same signal.
#pragma once

#include <signal.h>

#include <atomic>

// The stop signal received, 0 while none came.
extern std::atomic<int> stopSignalReceived;  // lock-free, so safe in a handler

void stopSignalHandler(int signal);
void crashSignalHandler(int signal);

// Installs SIGTERM and SIGINT (stop), SIGILL, SIGBUS, SIGSEGV, SIGABRT
// (crash) and ignores SIGPIPE. Writes "Error %d setting SIGxxx, %s" to
// stderr, sets back what it had installed and returns false when a checked
// call fails. The crash texts are prepared here: call it after the log
// target is known.
bool installSignalHandlers();

// Sets every handled signal back to its default action and closes the
// self-pipe.
void restoreSignalHandlers();

// Blocks until a stop signal has been recorded (also one that came before
// the call). Returns the signal.
int waitForStopSignal();
