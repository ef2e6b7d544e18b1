// logMessage: the one logging call of ovusbd. The target is chosen once at
// start-up: the -r stream when set, else the QNAP log tool (errors only) on
// QNAP, else syslog.
#pragma once

#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>

// Serialises every record, also the log tool run on QNAP. Statically
// initialised, so logging works before main has set anything up.
extern pthread_mutex_t logMutex;

// The -r stream (stdout, stderr or a file opened for appending); null means
// syslog or the QNAP tool. Set it with setLogFile; read it under logMutex.
extern FILE* logFile;

// Replaces logFile under logMutex. The previous stream is not closed.
void setLogFile(FILE* stream);

// The platform code (6 = QNAP routes records to the log tool). Set once by
// start-up after platform detection.
void setLogPlatformCode(int code);

// Formats and writes one record; never fails visibly. Levels 3 (error),
// 4 (warning), 6 (information), 7 (debug). Control characters of the
// formatted message (a CR or LF a peer put in a text) are written as '_', so
// one call is always one line. At most 2047 characters are written.
void logMessage(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// logMessage with a va_list.
void writeLogRecord(int level, const char* format, va_list arguments)
    __attribute__((format(printf, 2, 0)));

// At exit: closes logFile when it is a file of its own (not stdout or
// stderr) and syslog when a record opened it.
void closeLogging();
