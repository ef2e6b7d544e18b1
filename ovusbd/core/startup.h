// The server's life on the main thread: start-up in its fixed order, the
// wait for SIGINT or SIGTERM, shutdown in its fixed order.
#pragma once

enum ExitCode {
  kExitNormal = 0,
  kExitConfig = 1,       // the configuration could not be loaded
  kExitPermission = 2,   // usbfs not accessible and not root
  kExitStart = 5,        // driver probing not switched off, or a service did not listen
  kExitUsage = 6,        // command-line error
  kExitDaemon = 7,       // daemonising failed
  kExitSignals = 8,      // a signal handler could not be installed
  kExitInitialise = 9,   // bindUnbindProcessingThread not started
};

// Runs the server and returns the process's exit code. The parent of -b
// never returns: it ends at once with 0.
int runServer(int argc, char** argv);
