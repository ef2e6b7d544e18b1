// The bytes all receive threads together may hold in frame buffers beyond
// the small buffer each keeps for its connection's life. A frame may be up to
// 9 MiB on the wire and inflate to 9 MiB more, so without a cap a crowd of
// clients each sending one such frame takes the machine's memory. A receive
// thread that finds the budget spent waits before it reads the body, which
// leaves the bytes in the socket and so pushes back on its client through
// TCP.
#pragma once

#include <cstddef>

// Lets 9 MiB frames through many at a time, and one at a time in the worst
// case (a 9 MiB LZ4 block that inflates to 9 MiB needs twice that).
constexpr size_t kDefaultFrameBudget = size_t(256) << 20;

// Stop check of a waiting receive thread: true ends the wait.
struct FrameBudgetStop {
    bool (*stopped)(const void* argument);
    const void* argument;
};

// Takes bytes from the budget. While the budget cannot hold them, waits for
// bytes to come back, asking stop at least every 100 ms; removal does not
// reach this wait, so a client's removal or the shutdown waits at most that
// long for it. A request above the whole budget goes through alone, once
// nothing else is held. Returns false, with nothing taken, when stop said so.
bool takeFrameBudget(size_t bytes, FrameBudgetStop stop);
// Gives back what takeFrameBudget took and wakes the waiters.
void returnFrameBudget(size_t bytes);

// The cap; kDefaultFrameBudget until set. Tests set a small one.
void setFrameBudgetLimit(size_t bytes);
size_t frameBudgetLimit();
// Bytes held now, and the most ever held since the last reset.
size_t frameBudgetInUse();
size_t frameBudgetPeak();
void resetFrameBudgetPeak();
// Receive threads waiting for the budget now.
int frameBudgetWaiters();
