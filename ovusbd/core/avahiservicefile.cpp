#include "ovusbd/core/avahiservicefile.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "ovusbd/core/log.h"

namespace {

std::string escaped(const char* text) {
    std::string out;
    for (const char* p = text; *p != '\0'; p++) {
        switch (*p) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        default: out += *p; break;
        }
    }
    return out;
}

} // namespace

std::string avahiServiceFileText(const char* name, bool ipv6, const char* type, int port, const char* txt) {
    std::string text = "<service-group>\n";
    text += "\t<name>" + escaped(name) + "</name>\n";
    text += std::string("\t<service protocol=\"") + (ipv6 ? "ipv6" : "ipv4") + "\">\n";
    text += "\t\t<type>" + escaped(type) + "</type>\n";
    text += "\t\t<port>" + std::to_string(port) + "</port>\n";
    text += "\t\t<txt-record>" + escaped(txt) + "</txt-record>\n";
    text += "\t</service>\n";
    text += "</service-group>";
    return text;
}

bool writeAvahiServiceFile(const char* path, const std::string& text) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        const int error = errno;
        logMessage(3, "Error %d opening %s, %s", error, path, strerror(error));
        return false;
    }
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            const int error = n < 0 ? errno : EIO;
            logMessage(3, "Error %d writing %s, %s", error, path, strerror(error));
            close(fd);
            unlink(path);
            return false;
        }
        done += size_t(n);
    }
    if (close(fd) != 0) {
        const int error = errno;
        logMessage(3, "Error %d writing %s, %s", error, path, strerror(error));
        unlink(path);
        return false;
    }
    return true;
}
