// The work a client has the server do on a device it holds: its queued
// operations, the URBs of its transfers, and the usbfs calls made for it.
// The claim opens a device to it; an unbind stops and drains it before the
// server lets the interfaces go, so that no request of the client reaches
// usbfs afterwards (usbfs would claim a released interface again for it,
// "did not claim interface before use", and keep the host's driver out).
#pragma once

#include <stdint.h>

// Opens the device to client work (the claim, before its reset is queued).
void openClientWork(uint32_t address);

// Closes the device to client work and drains it, in this order: new
// operations are refused (completed with -19 on a thread of their own);
// the queued ones are taken out and completed with -19, each once; the
// calls and submissions under way are waited for; the URBs in flight are
// discarded and, for up to drainMs, waited for while the reaper hands them
// back with their discard status. The device stays closed until the next
// claim. Called with deviceLifecycleMutex held, on a thread that is none of
// the device's own.
void stopClientWork(uint32_t address, int drainMs);
