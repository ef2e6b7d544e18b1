// Log records that a client can cause at will, one per message it sends
// (unknown types, refused requests, failed binds), and those a peer can
// cause before it is a client, one per connection it opens: per connection
// (or source address) and call
// site the first records of a window are logged as they are, the rest are
// counted and the count is logged when the window is over, at the latest at
// the flusher's next tick, or when the connection leaves. Before start and
// after stop every record is logged as it comes.
#pragma once

#include <stdint.h>

#include "ovusbd/core/peersource.h"

// A window of 10 s with 10 records each: a client that repeats one fault
// gives about one line per second, not one per message.
constexpr uint32_t kLogBurstLines = 10;
constexpr uint32_t kLogBurstWindowMs = 10000;

// logMessage for a record caused by the connection; format is the key, so
// it must be the call site's literal.
void logConnectionMessage(uint16_t connectionId, int level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// logMessage for a record a peer causes before its link is a client (TLS
// handshake failures, links dropped at a cap), counted per source and call
// site the same way; its count names the source.
void logPeerMessage(const PeerSource& source, int level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Logs the counts the connection still has and forgets it (it is leaving).
void flushConnectionLog(uint16_t connectionId);

// Starts counting and the flusher thread. Returns 0 or a negative errno
// (-EALREADY when it runs; otherwise records are logged as they come).
int startConnectionLog(uint32_t linesPerWindow, uint32_t windowMs);
// Stops the flusher, logs every count still held and stops counting.
void stopConnectionLog();
