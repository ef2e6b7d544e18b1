#include "ovusbd/core/shellcommand.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>

extern char** environ;

namespace {

// A cancellable command while it runs; lives on its thread's stack.
struct RunningCommand {
    pid_t pid;  // also its process group
    RunningCommand* next;
};

// Guards running and cancelled. A pid stays listed until its child is
// reaped, so a kill never reaches a process that reused the number.
pthread_mutex_t runningMutex = PTHREAD_MUTEX_INITIALIZER;
RunningCommand* running = nullptr;
bool cancelled = false;

thread_local bool cancellable = false;

void unlist(RunningCommand* command) {
    pthread_mutex_lock(&runningMutex);
    for (RunningCommand** p = &running; *p != nullptr; p = &(*p)->next) {
        if (*p == command) {
            *p = command->next;
            break;
        }
    }
    pthread_mutex_unlock(&runningMutex);
}

// Waits for the child to end without reaping it. 0 or -errno.
int waitForExit(pid_t pid) {
    siginfo_t info;
    for (;;) {
        info.si_pid = 0;
        if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) == 0) {
            return 0;
        }
        if (errno != EINTR) {
            return -errno;
        }
    }
}

int reap(pid_t pid) {
    int status;
    for (;;) {
        if (waitpid(pid, &status, 0) == pid) {
            return status;
        }
        if (errno != EINTR) {
            return -errno;
        }
    }
}

}  // namespace

char* makeShellSafe(const char* text) {
    if (text == nullptr) {
        return nullptr;
    }
    char* copy = strdup(text);
    if (copy == nullptr) {
        return nullptr;
    }
    static const char kAllowed[] = " ._:@%+,/=-";
    for (char* p = copy; *p != '\0'; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        const bool alnum = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        if (!alnum && strchr(kAllowed, c) == nullptr) {
            *p = '_';
        }
    }
    return copy;
}

int runShellCommand(const char* command) {
    if (command == nullptr) {
        return -EINVAL;
    }
    posix_spawnattr_t attributes;
    int rc = posix_spawnattr_init(&attributes);
    if (rc != 0) {
        return -rc;
    }
    // The child starts with default signal handling and an empty mask, as a
    // shell started by hand would, whatever the server's threads block.
    sigset_t defaults, empty;
    sigemptyset(&empty);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGQUIT);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGHUP);
    sigaddset(&defaults, SIGCHLD);
    posix_spawnattr_setsigmask(&attributes, &empty);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (cancellable) {
        flags |= POSIX_SPAWN_SETPGROUP;
        posix_spawnattr_setpgroup(&attributes, 0);
    }
    posix_spawnattr_setflags(&attributes, flags);
    char shell[] = "/bin/sh";
    char dashC[] = "-c";
    char* argv[] = {shell, dashC, const_cast<char*>(command), nullptr};
    RunningCommand self = {0, nullptr};
    if (cancellable) {
        // Listed before the spawn returns, under the lock that a cancel
        // takes, so no command starts unseen by a cancel.
        pthread_mutex_lock(&runningMutex);
        if (cancelled) {
            pthread_mutex_unlock(&runningMutex);
            posix_spawnattr_destroy(&attributes);
            return -ECANCELED;
        }
        rc = posix_spawn(&self.pid, shell, nullptr, &attributes, argv, environ);
        if (rc == 0) {
            self.next = running;
            running = &self;
        }
        pthread_mutex_unlock(&runningMutex);
    } else {
        rc = posix_spawn(&self.pid, shell, nullptr, &attributes, argv, environ);
    }
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) {
        return -rc;
    }
    if (cancellable) {
        const int waited = waitForExit(self.pid);
        unlist(&self);
        if (waited < 0) {
            return waited;
        }
    }
    return reap(self.pid);
}

void makeShellCommandsCancellable() { cancellable = true; }

unsigned cancelShellCommands() {
    unsigned killed = 0;
    pthread_mutex_lock(&runningMutex);
    cancelled = true;
    for (RunningCommand* c = running; c != nullptr; c = c->next) {
        if (kill(-c->pid, SIGKILL) == 0) {
            killed++;
        }
    }
    pthread_mutex_unlock(&runningMutex);
    return killed;
}

void allowShellCommands() {
    pthread_mutex_lock(&runningMutex);
    cancelled = false;
    pthread_mutex_unlock(&runningMutex);
}
