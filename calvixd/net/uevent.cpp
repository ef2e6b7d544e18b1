#include "calvixd/net/uevent.h"

#include <strings.h>

#include <climits>
#include <cstring>
#include <vector>

bool UEvent::Parse(const char* message, size_t length)
{
    m_text = nullptr;
    if (!message || length <= 2 || message[length - 1] != '\0')
        return false;
    size_t headerLength = strlen(message);
    if (!memchr(message, '@', headerLength))
        return false;
    if (headerLength + 1 >= length)
        return false;
    m_text = message;
    m_length = length;
    m_end = message + length;
    m_variables = message + headerLength + 1;
    const char* value;
    size_t valueLength;
    if (!FindVariable("ACTION", &value, &valueLength) || !FindVariable("DEVPATH", &value, &valueLength)) {
        m_text = nullptr;
        return false;
    }
    return true;
}

bool UEvent::FindVariable(const char* key, const char** value, size_t* valueLength) const
{
    if (!m_text)
        return false;
    size_t keyLength = strlen(key);
    // Every string ends inside the message: its last byte is zero.
    for (const char* at = m_variables; at < m_end;) {
        size_t length = strlen(at);
        if (length > keyLength && strncasecmp(at, key, keyLength) == 0 && at[keyLength] == '=') {
            *value = at + keyLength + 1;
            *valueLength = length - keyLength - 1;
            return true;
        }
        at += length + 1;
    }
    return false;
}

std::string UEvent::GetVariable(const char* key) const
{
    const char* value;
    size_t length;
    if (!FindVariable(key, &value, &length))
        return std::string();
    return std::string(value, length);
}

namespace {

std::vector<std::string> Components(const std::string& path)
{
    std::vector<std::string> parts;
    size_t at = 0;
    while (at <= path.size()) {
        size_t slash = path.find('/', at);
        if (slash == std::string::npos)
            slash = path.size();
        parts.push_back(path.substr(at, slash - at));
        at = slash + 1;
    }
    return parts;
}

bool AllDigits(const std::string& text, size_t from)
{
    if (text.size() <= from)
        return false;
    for (size_t i = from; i < text.size(); i++) {
        if (text[i] < '0' || text[i] > '9')
            return false;
    }
    return true;
}

// The last component of a path under "/devices" that passes a root hub
// component "usbN"; empty when the path is not of that form.
std::string LastUsbComponent(const std::string& path)
{
    if (path.compare(0, 8, "/devices") != 0)
        return std::string();
    std::vector<std::string> parts = Components(path);
    size_t hub = parts.size();
    for (size_t i = 0; i < parts.size(); i++) {
        if (parts[i].compare(0, 3, "usb") == 0 && AllDigits(parts[i], 3)) {
            hub = i;
            break;
        }
    }
    // A component must follow the root hub's.
    if (hub + 1 >= parts.size())
        return std::string();
    return parts.back();
}

} // namespace

bool BusIdFromDevicePath(const std::string& path, std::string* busId)
{
    std::string last = LastUsbComponent(path);
    if (last.empty() || last.find(':') != std::string::npos)
        return false;
    *busId = last;
    return true;
}

bool InterfaceFromDevicePath(const std::string& path, std::string* busId)
{
    std::string last = LastUsbComponent(path);
    size_t colon = last.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == last.size())
        return false;
    size_t dot = last.find('.', colon);
    if (dot == std::string::npos || dot == colon + 1 || dot + 1 == last.size())
        return false;
    *busId = last.substr(0, colon);
    return true;
}

int StubNumberFromDevicePath(const std::string& path)
{
    if (path.compare(0, 8, "/devices") != 0 && path.compare(0, 6, "/class") != 0)
        return -1;
    std::vector<std::string> parts = Components(path);
    if (parts.size() < 3)
        return -1;
    const std::string& node = parts[parts.size() - 1];
    const std::string prefix = "raveld_cdev_";
    if (parts[parts.size() - 2] != "raveld_cdev" || node.compare(0, prefix.size(), prefix) != 0 ||
        !AllDigits(node, prefix.size()))
        return -1;
    long long number = 0;
    for (size_t i = prefix.size(); i < node.size(); i++) {
        number = number * 10 + (node[i] - '0');
        if (number > INT_MAX)
            return -1;
    }
    return static_cast<int>(number);
}
