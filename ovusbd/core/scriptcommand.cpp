#include "ovusbd/core/scriptcommand.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "ovusbd/core/log.h"
#include "ovusbd/core/shellcommand.h"
#include "ovusbd/core/util.h"

namespace {

// Where a placeholder stands in the command, as /bin/sh reads it.
enum class Quoting { kPlain, kSingle, kDouble, kComment };

bool variableNameChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

// "OVUSBD_" and the placeholder's name between its dollar signs; a name
// that cannot be a shell variable's gets its index instead.
std::string variableFor(const char* placeholder, size_t index) {
    const size_t length = strlen(placeholder);
    std::string name(placeholder + 1, length - 2);
    bool valid = !name.empty();
    for (char c : name) {
        valid = valid && variableNameChar(c);
    }
    return "OVUSBD_" + (valid ? name : std::to_string(index));
}

// value as one single-quoted shell word.
std::string singleQuoted(const char* value) {
    std::string word = "'";
    for (const char* p = value; *p != '\0'; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == '\'') {
            word += "'\\''";
        } else if (c < 0x20 || c == 0x7f) {
            word += '_';
        } else {
            word += char(c);
        }
    }
    return word + "'";
}

bool startsWord(char previous) {
    return previous == '\0' || strchr(" \t\n;&|()<>", previous) != nullptr;
}

}  // namespace

char* fillScriptCommand(const char* command, const char* const* pairs, size_t pairCount) {
    if (command == nullptr) {
        return nullptr;
    }
    const size_t count = pairs != nullptr ? pairCount / 2 : 0;
    std::vector<bool> used(count, false);
    std::string body;
    Quoting quoting = Quoting::kPlain;
    bool escaped = false;  // the last character was a backslash that escapes the next
    char previous = '\0';
    for (size_t i = 0; command[i] != '\0';) {
        size_t match = count;
        for (size_t p = 0; command[i] == '$' && p < count; ++p) {
            const char* placeholder = pairs[2 * p];
            const size_t length = placeholder != nullptr ? strlen(placeholder) : 0;
            if (length >= 2 && strncmp(command + i, placeholder, length) == 0) {
                match = p;
                break;
            }
        }
        if (match < count) {
            const std::string variable = variableFor(pairs[2 * match], match);
            used[match] = true;
            if (escaped) {
                // The backslash escapes a second one, not the quote below.
                body += '\\';
                escaped = false;
            }
            switch (quoting) {
                case Quoting::kPlain:
                    body += "\"${" + variable + "}\"";
                    break;
                case Quoting::kDouble:
                case Quoting::kComment:
                    body += "${" + variable + "}";
                    break;
                case Quoting::kSingle:
                    body += "'\"${" + variable + "}\"'";
                    break;
            }
            i += strlen(pairs[2 * match]);
            previous = 'x';
            continue;
        }
        const char c = command[i];
        switch (quoting) {
            case Quoting::kPlain:
                if (escaped) {
                    escaped = false;
                } else if (c == '\\') {
                    escaped = true;
                } else if (c == '\'') {
                    quoting = Quoting::kSingle;
                } else if (c == '"') {
                    quoting = Quoting::kDouble;
                } else if (c == '#' && startsWord(previous)) {
                    quoting = Quoting::kComment;
                }
                break;
            case Quoting::kSingle:
                if (c == '\'') {
                    quoting = Quoting::kPlain;
                }
                break;
            case Quoting::kDouble:
                if (escaped) {
                    escaped = false;
                } else if (c == '\\') {
                    escaped = true;
                } else if (c == '"') {
                    quoting = Quoting::kPlain;
                }
                break;
            case Quoting::kComment:
                if (c == '\n') {
                    quoting = Quoting::kPlain;
                }
                break;
        }
        body += c;
        previous = c;
        ++i;
    }
    std::string line;
    for (size_t p = 0; p < count; ++p) {
        if (used[p]) {
            const char* value = pairs[2 * p + 1] != nullptr ? pairs[2 * p + 1] : "";
            line += variableFor(pairs[2 * p], p) + "=" + singleQuoted(value) + "; ";
        }
    }
    line += body;
    return strdup(line.c_str());
}

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
