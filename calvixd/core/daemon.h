// The calvixd process: root check, daemonising, signals, the event log, the
// core object's life and the shutdown order. All of it runs on the main
// thread.
#pragma once

constexpr const char DAEMON_PID_FILE[] = "/var/run/calvixd.pid";
constexpr const char DAEMON_EVENT_LOG[] = "/var/log/calvixd.log";

// The whole program: returns the exit status (0 after a normal shutdown, 1
// after a failed start-up, -1 when not run by root).
int DaemonMain();

// Forks into the background, writes the pid file and puts /dev/null on the
// standard descriptors; nothing when the process is process 1.
void Daemonize();

// Termination signals only record the signal (a byte on a self-pipe); the
// main loop writes their lines. Fatal signals write their report with
// async-signal-safe calls and end the process. False when the self-pipe
// cannot be made.
bool InstallSignalHandlers();

// Event log, core start-up, main wait loop and shutdown; the exit status.
int RunDaemon();
