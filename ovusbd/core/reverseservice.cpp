#include "ovusbd/core/reverseservice.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <new>
#include <string>
#include <vector>

#include "ovusbd/core/config.h"
#include "ovusbd/core/connection.h"
#include "ovusbd/core/connectionlog.h"
#include "ovusbd/core/log.h"
#include "ovusbd/core/logbursttable.h"
#include "ovusbd/core/tcpservice.h"

// Used by its dialler thread only. The table is keyed by a small number per
// entry text (its index in `sources`, from 1); past kMaxSources entries
// share the number 0.
struct ReverseDiallerLog {
    LogBurstTable table;
    std::vector<std::string> sources;
};

namespace {

constexpr size_t kMaxSources = 1024;

int64_t nowMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void writeDiallerReports(const ReverseDiallerLog* log, const LogBurstReport* reports, size_t count) {
    for (size_t i = 0; i < count; i++) {
        const LogBurstReport& r = reports[i];
        if (r.format == nullptr) {
            logMessage(r.level, "%u log records of further reverse clients not logged: too many at once", r.count);
        } else {
            const char* source = r.connectionId > 0 && r.connectionId <= log->sources.size()
                                     ? log->sources[r.connectionId - 1].c_str()
                                     : "(further entries)";
            logMessage(r.level, "Reverse client %s: %u more records like \"%s\" not logged", source, r.count,
                       r.format);
        }
    }
}

// logMessage for a line about the list entry `source`; format is the key,
// so it must be the call site's literal.
void logAboutEntry(ReverseDiallerLog* log, const char* source, int level, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
void logAboutEntry(ReverseDiallerLog* log, const char* source, int level, const char* format, ...) {
    bool write = true;
    if (log != nullptr) {
        uint16_t id = 0;
        for (size_t i = 0; i < log->sources.size() && id == 0; i++) {
            if (log->sources[i] == source) {
                id = uint16_t(i + 1);
            }
        }
        if (id == 0 && log->sources.size() < kMaxSources) {
            log->sources.emplace_back(source);
            id = uint16_t(log->sources.size());
        }
        LogBurstReport report = {};
        write = admitLogRecord(&log->table, id, level, format, nowMs(), &report);
        if (report.count > 0) {
            writeDiallerReports(log, &report, 1);
        }
    }
    if (write) {
        va_list arguments;
        va_start(arguments, format);
        writeLogRecord(level, format, arguments);
        va_end(arguments);
    }
}

void reverseServiceStart(NetworkService* service) {
    int rc = pthread_create(&service->thread, nullptr, reverseClientThread, service);
    service->threadRunning = rc == 0;
    if (rc != 0) {
        logMessage(3, "Error %d starting %s, %s", rc, service->name, strerror(rc));
    }
}

bool reverseServiceListen(NetworkService*, int*) {
    return true;
}

NetworkConnection* wrapPlain(NetworkService*, int socket) {
    return createTcpConnection(socket, linkSendTimeout());
}

const ReverseDialer plainDialer = {"ReverseClients", "ReverseClientsPort", 7573, "reverse client", wrapPlain};

void dialOne(NetworkService* service, const char* item, const ReverseDialer* dialer, ReverseDiallerLog* log) {
    char host[256];
    char portText[16];
    const char* colon = strchr(item, ':');
    if (colon != nullptr) {
        snprintf(host, sizeof host, "%.*s", int(colon - item), item);
        snprintf(portText, sizeof portText, "%s", colon + 1);
    } else {
        snprintf(host, sizeof host, "%s", item);
        snprintf(portText, sizeof portText, "%d", getConfigInt(dialer->portKey, dialer->defaultPort));
    }
    addrinfo hints{};
    hints.ai_flags = AI_ADDRCONFIG | AI_NUMERICSERV;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* results = nullptr;
    int rc = getaddrinfo(host, portText, &hints, &results);
    if (rc != 0) {
        logAboutEntry(log, item, 4, "Error '%s' (%d) calling getaddrinfo for %s %s:%s", gai_strerror(rc), errno,
                      dialer->clientWord, host, portText);
        return;
    }
    for (addrinfo* ai = results; ai != nullptr; ai = ai->ai_next) {
        sockaddr_storage padded{};
        memcpy(&padded, ai->ai_addr, ai->ai_addrlen < sizeof padded ? ai->ai_addrlen : sizeof padded);
        if (isRemoteAddressConnected(reinterpret_cast<sockaddr*>(&padded))) {
            freeaddrinfo(results);
            return;
        }
    }
    for (addrinfo* ai = results; ai != nullptr && !serviceStopRequested(service); ai = ai->ai_next) {
        int s = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (s < 0) {
            continue;
        }
        if (!connectWithTimeout(s, ai->ai_addr, ai->ai_addrlen)) {
            close(s);
            continue;
        }
        sockaddr_storage padded{};
        memcpy(&padded, ai->ai_addr, ai->ai_addrlen < sizeof padded ? ai->ai_addrlen : sizeof padded);
        NetworkConnection* connection = dialer->wrap(service, s);
        if (connection == nullptr) {
            close(s);
        } else if (!addClientConnection(connection, reinterpret_cast<sockaddr*>(&padded))) {
            discardConnection(connection);
        }
        break;
    }
    freeaddrinfo(results);
}

} // namespace

NetworkService* createTcpReverseService() {
    auto* service = static_cast<NetworkService*>(calloc(1, sizeof(NetworkService)));
    if (service == nullptr) {
        return nullptr;
    }
    service->listen = reverseServiceListen;
    service->start = reverseServiceStart;
    service->stop = stopServiceThread;
    snprintf(service->name, sizeof service->name, "%s", "TCP Reverse Service");
    return service;
}

bool connectWithTimeout(int socket, const sockaddr* address, socklen_t length) {
    const int flags = fcntl(socket, F_GETFL);
    if (flags < 0 || fcntl(socket, F_SETFL, flags | O_NONBLOCK) != 0) {
        return false;
    }
    if (connect(socket, address, length) != 0) {
        if (errno != EINPROGRESS) {
            return false;
        }
        // poll, not select: the socket's number may be beyond what an
        // fd_set holds when many clients are connected.
        pollfd writable{socket, POLLOUT, 0};
        int error = 0;
        socklen_t errorLength = sizeof error;
        if (poll(&writable, 1, 4000) != 1 ||
            getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &errorLength) != 0 || error != 0) {
            return false;
        }
    }
    return fcntl(socket, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

void dialReverseClients(NetworkService* service, const char* list) {
    dialReverseClientsWith(service, list, &plainDialer);
}

ReverseDiallerLog* createReverseDiallerLog() {
    auto* log = new (std::nothrow) ReverseDiallerLog;
    if (log != nullptr) {
        initLogBurstTable(&log->table, kLogBurstLines, kLogBurstWindowMs);
    }
    return log;
}

void flushReverseDiallerLog(ReverseDiallerLog* log, bool final) {
    if (log == nullptr) {
        return;
    }
    LogBurstReport reports[kLogBurstSlots + 1];
    const size_t count = final ? releaseAllLogBursts(&log->table, reports, kLogBurstSlots + 1)
                               : sweepLogBursts(&log->table, nowMs(), reports, kLogBurstSlots + 1);
    writeDiallerReports(log, reports, count);
    if (final) {
        delete log;
    }
}

void dialReverseClientsWith(NetworkService* service, const char* list, const ReverseDialer* dialer,
                            ReverseDiallerLog* log) {
    char* copy = strdup(list);
    if (copy == nullptr) {
        return;
    }
    char* save = nullptr;
    for (char* item = strtok_r(copy, ",", &save); item != nullptr && !serviceStopRequested(service);
         item = strtok_r(nullptr, ",", &save)) {
        dialOne(service, item, dialer, log);
    }
    free(copy);
}

void* reverseClientThread(void* argument) {
    runReverseDialler(static_cast<NetworkService*>(argument), &plainDialer);
    return nullptr;
}

void runReverseDialler(NetworkService* service, const ReverseDialer* dialer) {
    const int period = getConfigInt("ReverseClientsRetryPeriod", 15);
    // Null when memory runs out: the lines are then logged as they come.
    ReverseDiallerLog* log = createReverseDiallerLog();
    // The flag is looked at on every pass, also when the period gives no
    // pause at all; otherwise a period of 0 spins past every stop request.
    while (!serviceStopRequested(service)) {
        char* list = getConfigString(dialer->listKey, nullptr, false);
        if (list != nullptr) {
            dialReverseClientsWith(service, list, dialer, log);
            free(list);
        }
        flushReverseDiallerLog(log, false);
        for (int countdown = period & 0xff; countdown > 0 && !serviceStopRequested(service); countdown--) {
            sleep(1);
        }
    }
    flushReverseDiallerLog(log, true);
}
