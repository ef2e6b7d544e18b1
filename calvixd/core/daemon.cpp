#include "calvixd/core/daemon.h"

#include <execinfo.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "calvixd/core/configfile.h"
#include "calvixd/core/eventlog.h"
#include "calvixd/core/threadreaper.h"
#include "calvixd/core/usbcore.h"

namespace {

// Set once by a termination signal (through the main loop) or a failed
// start-up; never cleared.
SYNC_FLAG g_shutdown{0};
// The one event log, or null when logging is off.
CEventLog* g_eventLog = nullptr;

// Self-pipe: the termination handler writes the signal number as one byte;
// the main loop reads it. Both ends are non-blocking.
int g_signalPipe[2] = {-1, -1};
// A termination signal whose byte did not fit into a full pipe.
volatile sig_atomic_t g_lostTermination = 0;

// What the fatal handler needs, made before any signal can arrive: it may
// use neither malloc, stdio, strsignal nor the event log's mutex.
constexpr int FATAL_SIGNALS[] = {SIGFPE, SIGILL, SIGSEGV, SIGBUS};
constexpr int FATAL_SIGNAL_COUNT = sizeof(FATAL_SIGNALS) / sizeof(FATAL_SIGNALS[0]);
constexpr int BACKTRACE_DEPTH = 16;
struct FatalText {
    int signal;
    char text[160];
};
FatalText g_fatalTexts[FATAL_SIGNAL_COUNT];
char g_fatalLogPath[256];
volatile sig_atomic_t g_fatalLogOn = 0;

void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Log(const char* format, ...)
{
    if (!g_eventLog)
        return;
    char line[512];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    g_eventLog->Print("%s", line);
}

void OnTerminationSignal(int signal)
{
    int savedErrno = errno;
    unsigned char byte = static_cast<unsigned char>(signal);
    if (write(g_signalPipe[1], &byte, 1) != 1 && signal != SIGPIPE)
        g_lostTermination = signal;
    errno = savedErrno;
}

void WriteAll(int fd, const char* text, size_t length)
{
    while (length > 0) {
        ssize_t n = write(fd, text, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        text += n;
        length -= static_cast<size_t>(n);
    }
}

// The event log's line prefix, made without localtime_r (not safe here).
void WriteStamp(int fd)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm local;
    BreakDownTime(static_cast<int64_t>(now.tv_sec) + CEventLog::GetUtcOffset(), &local);
    char stamp[EVENTLOG_STAMP_SIZE];
    WriteAll(fd, stamp, FormatLogStamp(local, stamp));
}

void WriteStampedLine(int fd, const char* text)
{
    WriteStamp(fd);
    WriteAll(fd, text, strlen(text));
}

void* InterruptedAddress(void* context)
{
    auto* machine = static_cast<ucontext_t*>(context);
    if (!machine)
        return nullptr;
#if defined(__x86_64__)
    return reinterpret_cast<void*>(machine->uc_mcontext.gregs[REG_RIP]);
#elif defined(__i386__)
    return reinterpret_cast<void*>(machine->uc_mcontext.gregs[REG_EIP]);
#elif defined(__aarch64__)
    return reinterpret_cast<void*>(machine->uc_mcontext.pc);
#else
    return nullptr;
#endif
}

// Writes its lines without the event log's mutex: the interrupted thread may
// hold it. Lines of other threads may interleave; none can deadlock.
void OnFatalSignal(int signal, siginfo_t*, void* context)
{
    if (g_fatalLogOn) {
        int fd = open(g_fatalLogPath, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0) {
            for (const FatalText& entry : g_fatalTexts) {
                if (entry.signal == signal)
                    WriteStampedLine(fd, entry.text);
            }
            void* frames[BACKTRACE_DEPTH];
            int count = backtrace(frames, BACKTRACE_DEPTH);
            // The second entry is the signal trampoline; the faulting place
            // is more use.
            void* faultAddress = InterruptedAddress(context);
            if (count > 1 && faultAddress)
                frames[1] = faultAddress;
            if (count > 0) {
                WriteStampedLine(fd, "== Start Backtrace ==\n");
                for (int i = 0; i < count; i++) {
                    WriteStamp(fd);
                    backtrace_symbols_fd(&frames[i], 1, fd);
                }
                WriteStampedLine(fd, "== End Backtrace ==\n");
            }
            fchmod(fd, 0644);
            close(fd);
        }
    }
    // What _exit does, but straight to the kernel: a sanitizer's _exit runs
    // its own finalisation, which may wait for a lock the interrupted thread
    // holds.
    syscall(SYS_exit_group, 1);
    _exit(1);
}

void ArmFatalLog(const char* path)
{
    snprintf(g_fatalLogPath, sizeof(g_fatalLogPath), "%s", path);
    g_fatalLogOn = 1;
}

void DisarmFatalLog()
{
    g_fatalLogOn = 0;
}

const char* TerminationName(int signal)
{
    switch (signal) {
    case SIGHUP:
        return "SIGHUP";
    case SIGINT:
        return "SIGINT";
    case SIGQUIT:
        return "SIGQUIT";
    case SIGTERM:
        return "SIGTERM";
    default:
        return nullptr;
    }
}

void HandleSignal(int signal)
{
    if (g_shutdown.load())
        return;
    if (signal == SIGPIPE) {
        // The failed write shows up as an error of the call that made it.
        Log("Received SIGPIPE signal, ignoring.\n");
        return;
    }
    const char* name = TerminationName(signal);
    if (!name)
        return;
    Log("Received %s signal, starting shutdown sequence.\n", name);
    SetFlag(&g_shutdown);
}

// Waits up to ms for recorded signals and acts on them in arrival order.
void WaitForSignals(int ms)
{
    struct pollfd entry = {g_signalPipe[0], POLLIN, 0};
    if (poll(&entry, 1, ms) > 0) {
        unsigned char bytes[64];
        ssize_t n;
        while ((n = read(g_signalPipe[0], bytes, sizeof(bytes))) > 0) {
            for (ssize_t i = 0; i < n; i++)
                HandleSignal(bytes[i]);
        }
    }
    if (g_lostTermination) {
        int signal = g_lostTermination;
        g_lostTermination = 0;
        HandleSignal(signal);
    }
}

} // namespace

void Daemonize()
{
    // The first process of a system or container stays in the foreground.
    if (getpid() == 1)
        return;
    fflush(stdout);
    pid_t child = fork();
    if (child < 0)
        exit(1);
    if (child > 0)
        exit(0);
    setsid();

    // Not through a symlink: the daemon is root and would truncate its
    // target.
    int pidFile = open(DAEMON_PID_FILE, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (pidFile >= 0) {
        char line[16];
        int length = snprintf(line, sizeof(line), "%d\n", static_cast<int>(getpid()));
        WriteAll(pidFile, line, static_cast<size_t>(length));
        fchmod(pidFile, 0644);
        close(pidFile);
    }

    puts("USB Calvento startup...");
    // The descriptors are closed next: what stdio holds must go out now.
    fflush(stdout);

    if (close_range(0, ~0U, 0) != 0) {
        for (int fd = getdtablesize(); fd >= 0; fd--)
            close(fd);
    }
    int devNull = open("/dev/null", O_RDWR);
    if (devNull >= 0) {
        dup(devNull);
        dup(devNull);
    }
    umask(027);
}

bool InstallSignalHandlers()
{
    if (g_signalPipe[0] < 0 && pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;

    for (int i = 0; i < FATAL_SIGNAL_COUNT; i++) {
        g_fatalTexts[i].signal = FATAL_SIGNALS[i];
        snprintf(g_fatalTexts[i].text, sizeof(g_fatalTexts[i].text), "Daemon terminated due to error (%s).\n",
                 strsignal(FATAL_SIGNALS[i]));
    }
    // The first backtrace loads the unwinder, which allocates: do it now,
    // not in the handler.
    void* frames[2];
    backtrace(frames, 2);

    struct sigaction action;
    memset(&action, 0, sizeof(action));
    sigemptyset(&action.sa_mask);
    action.sa_handler = OnTerminationSignal;
    for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGPIPE})
        sigaction(signal, &action, nullptr);

    memset(&action, 0, sizeof(action));
    sigemptyset(&action.sa_mask);
    action.sa_sigaction = OnFatalSignal;
    action.sa_flags = SA_SIGINFO;
    for (int signal : FATAL_SIGNALS)
        sigaction(signal, &action, nullptr);
    return true;
}

int RunDaemon()
{
    bool eventlog = true;
    bool debuglog = false; // read again by the core object
    CConfigFile().ReadGenericOptions(&eventlog, &debuglog);
    if (eventlog) {
        g_eventLog = new CEventLog(DAEMON_EVENT_LOG);
        ArmFatalLog(DAEMON_EVENT_LOG);
    }
    Log("Daemon starting up...\n");

    int status = 0;
    CUsbCore* core = nullptr;
    CExceptionEx* error = nullptr;
    try {
        core = new CUsbCore(g_eventLog);
        core->Start();
    } catch (CExceptionEx* raised) {
        error = raised;
    } catch (...) {
        error = new CExceptionEx(MODULE_DAEMON, 317, ERROR_NOT_ENOUGH_MEMORY);
    }
    if (!error) {
        Log("Daemon started.\n");
    } else {
        SetFlag(&g_shutdown);
        Log("Daemon can not be started! Error %d Module 0x%.4x Line %d\n", static_cast<int>(error->GetError()),
            error->GetModule(), error->GetLine());
        delete error;
        status = 1;
    }

    while (!g_shutdown.load()) {
        WaitForSignals(1000);
        CEventLog::RefreshUtcOffset();
        CThreadReaper::Sweep();
    }

    Log("Daemon shutting down...\n");
    delete core;
    Log("Daemon shutdown.\n\n");
    DisarmFatalLog();
    delete g_eventLog;
    g_eventLog = nullptr;
    unlink(DAEMON_PID_FILE);
    return status;
}

int DaemonMain()
{
    // What the process may do is decided by its effective user id.
    if (geteuid() != 0) {
        puts("USB Calvento can not start! Root priveleges required!");
        return -1;
    }
    // A termination signal that arrives between the fork and the handlers
    // would end the daemon without its shutdown and leave its pid file:
    // it waits, blocked, until the handlers are in place.
    sigset_t handled, previous;
    sigemptyset(&handled);
    for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGPIPE})
        sigaddset(&handled, signal);
    sigprocmask(SIG_BLOCK, &handled, &previous);
    Daemonize();
    bool installed = InstallSignalHandlers();
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (!installed)
        return 1;
    return RunDaemon();
}
