// Readiness and status datagrams to the service manager (NOTIFY_SOCKET).
#pragma once

// Formats the text and sends it as one datagram to the socket named by
// NOTIFY_SOCKET ("/path" or "@abstract"). Returns 1 when sent, 0 when
// NOTIFY_SOCKET is not set, -12 when the text could not be formatted, -22
// for a name that is not "/..." or "@..." or only that one character, else
// the negative errno of the failed socket or send call.
int notifyServiceManager(const char* format, ...) __attribute__((format(printf, 1, 2)));
