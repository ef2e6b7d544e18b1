// Daemonising for -b.
#pragma once

enum DaemonResult {
  kDaemonChild = 0,   // we are the daemon: go on
  kDaemonParent = 1,  // we are the parent: end at once with 0, no clean-up
  kDaemonFailed = -1, // message written; main ends with 7
};

// fork; the child makes umask 0, a new session, "/" its working directory
// and /dev/null its descriptors 0 to 2.
DaemonResult daemonise();

// Makes sure descriptors 0 to 2 are open (on /dev/null when they were not),
// so no descriptor opened later lands on a standard stream.
void ensureStandardDescriptors();
