#include "ovusbd/core/scriptcommand.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>

#include "ovusbd/core/log.h"
#include "ovusbd/core/shellcommand.h"
#include "ovusbd/core/util.h"

char* replaceShellSafe(char* text, const char* placeholder, const char* value) {
    if (text == nullptr) {
        return nullptr;
    }
    char* safe = makeShellSafe(value != nullptr ? value : "");
    char* replaced = safe != nullptr ? replacePlaceholder(text, placeholder, safe) : nullptr;
    free(safe);
    free(text);
    return replaced;
}

int runScriptForExitCode(const char* command, const char* name, const char* runningText) {
    const int status = runShellCommand(command);
    if (status < 0) {
        logMessage(3, "Error %d starting %s, %s", -status, name, strerror(-status));
        return -1;
    }
    // The wait status carries no errno; what errno holds is logged as the
    // server always did.
    const int error = errno;
    if (WIFSIGNALED(status)) {
        logMessage(3, "Error %d unhandled signal %d:%d running %s, %s", error, (status >> 8) & 0xff, status & 0x7f,
                   name, strerror(error));
        return -1;
    }
    if (!WIFEXITED(status)) {
        logMessage(3, "Error %d running %s, %s", error, runningText, strerror(error));
        return -1;
    }
    return WEXITSTATUS(status);
}
