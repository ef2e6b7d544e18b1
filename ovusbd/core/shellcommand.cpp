#include "ovusbd/core/shellcommand.h"

#include <errno.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>

extern char** environ;

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
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    char shell[] = "/bin/sh";
    char dashC[] = "-c";
    char* argv[] = {shell, dashC, const_cast<char*>(command), nullptr};
    pid_t pid;
    rc = posix_spawn(&pid, shell, nullptr, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) {
        return -rc;
    }
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
