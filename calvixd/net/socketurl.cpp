#include "calvixd/net/socketurl.h"

#include "calvixd/net/socket.h"

std::string GetUrlScheme(const std::string& url)
{
    size_t mark = url.find("://");
    return mark == std::string::npos ? url : url.substr(0, mark);
}

int SplitTcpUrl(const std::string& url, int preference, std::string* host, std::string* port, int* family)
{
    std::string rest = url;
    int choice = preference;
    size_t mark = url.find("://");
    if (mark != std::string::npos) {
        std::string scheme = url.substr(0, mark);
        if (scheme == "tcp4")
            choice = FAMILY_IPV4_ONLY;
        else if (scheme == "tcp6")
            choice = FAMILY_IPV6_ONLY;
        else if (scheme != "tcp")
            return SOCK_INVALID_ARGUMENT;
        rest = url.substr(mark + 3);
    }
    size_t firstColon = rest.find(':');
    size_t lastColon = rest.rfind(':');
    size_t open = rest.find('[');
    size_t close = rest.find(']');
    if (firstColon == std::string::npos || firstColon == 0)
        return SOCK_INVALID_ARGUMENT;
    std::string hostText;
    std::string portText;
    if (open == std::string::npos && close == std::string::npos) {
        if (firstColon != lastColon)
            return SOCK_INVALID_ARGUMENT;
        hostText = rest.substr(0, firstColon);
        portText = rest.substr(firstColon + 1);
    } else {
        if (open == std::string::npos || close == std::string::npos || open > close)
            return SOCK_INVALID_ARGUMENT;
        if (firstColon < open || firstColon > close || close + 1 != lastColon)
            return SOCK_INVALID_ARGUMENT;
        hostText = rest.substr(open + 1, close - open - 1);
        portText = rest.substr(lastColon + 1);
    }
    if (hostText.empty() || portText.empty())
        return SOCK_INVALID_ARGUMENT;
    if (portText.find_first_not_of("0123456789") != std::string::npos)
        return SOCK_INVALID_ARGUMENT;
    unsigned long value = 0;
    for (char c : portText) {
        value = value * 10 + static_cast<unsigned long>(c - '0');
        if (value > 65535)
            return SOCK_INVALID_ARGUMENT;
    }
    if (value == 0 || value > 65535)
        return SOCK_INVALID_ARGUMENT;
    *host = hostText;
    *port = portText;
    *family = choice;
    return 0;
}

int ParsePipeUrl(const std::string& url, std::string* name)
{
    std::string rest = url;
    size_t mark = url.find("://");
    if (mark != std::string::npos) {
        if (url.compare(0, mark, "pipe") != 0)
            return SOCK_INVALID_ARGUMENT;
        rest = url.substr(mark + 3);
    }
    if (rest.empty() || rest.size() >= PIPE_NAME_LIMIT)
        return SOCK_INVALID_ARGUMENT;
    *name = rest;
    return 0;
}
