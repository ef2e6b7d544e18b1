// The re-enumeration after devices were taken off the ignored list: one
// worker thread at a time runs enumerateUsbDevices, and requests that come
// while it runs are merged into one more pass. The worker is joinable and
// joined by stopEnumerationWorker, so no pass outlives discovery.
#pragma once

// Accept requests from now on. Call once discovery runs.
void startEnumerationWorker();

// Asks for one pass over the devices; returns at once. Ignored (with a
// debug line) outside start and stop.
void requestUsbEnumeration();

// Refuses further requests and waits for the pass under way, if any. Call
// before discovery and the device layer stop.
void stopEnumerationWorker();
