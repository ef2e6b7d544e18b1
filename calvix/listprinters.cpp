#include "calvix/listprinters.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "calvix/api.h"
#include "calvix/controlwire.h"

namespace {

// Texts from devices, clients and the daemon's lists are printed with their
// control bytes replaced: an escape sequence in a product name or a client
// name must not reach the terminal. The stored value is untouched.
std::string Printable(const char* text)
{
    std::string safe(text);
    for (char& c : safe) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F)
            c = '?';
    }
    return safe;
}

const char kClosingLine[] = "===================== ======================= ===================\n";

enum class ModeList { Policy, Acl, Filters, Short };

const char* ModeText(ModeList list, uint8_t mode)
{
    static const char* const texts[4][3] = {
        {"disabled (device policy disabled, allow redirection of all usb devices)",
         "allow (allow redirection of usb devices that match the rules and deny all others)",
         "deny (deny redirection of usb devices that match the rules and allow all others)"},
        {"disabled (acl disabled, all connections allowed)",
         "allow (allow connections for listed clients and deny all others)",
         "deny (deny connections for listed clients and allow all others)"},
        {"disabled (ip filters disabled, all connections allowed)",
         "allow (allow connections from listed computers and deny all others)",
         "deny (deny connections from listed computers and allow all others)"},
        {"disabled", "allow", "deny"},
    };
    if (mode > 2)
        return "unknown";
    return texts[static_cast<int>(list)][mode];
}

const char* PlatformText(uint32_t platform)
{
    switch (platform) {
    case 80: return "Windows 2000";
    case 81: return "Windows XP";
    case 82: return "Windows 2003 Server";
    case 83: return "Windows Vista";
    case 84: return "Windows 2008 Server";
    case 85: return "Windows 7";
    case 86: return "Windows 8";
    case 87: return "Windows 8.1";
    case 88: return "Windows 10";
    case 111: return "Windows";
    case 112: return "Windows XP x64";
    case 113: return "Windows 2003 Server x64";
    case 114: return "Windows Vista x64";
    case 115: return "Windows 2008 Server x64";
    case 116: return "Windows 7 x64";
    case 117: return "Windows 2008 R2 Server x64";
    case 118: return "Windows 8 x64";
    case 119: return "Windows 2012 Server";
    case 120: return "Windows 8.1 x64";
    case 121: return "Windows 2012 R2 Server";
    case 122: return "Windows 10 x64";
    case 123: return "Windows 2016 Server";
    case 124: return "Windows 2019 Server";
    case 143: return "Windows x64";
    case 144:
    case 175: return "Linux";
    case 176:
    case 207: return "Android";
    default: return "unknown";
    }
}

const char* StatusText(const API_CONNECTION_RECORD& record)
{
    switch (record.status) {
    case CONNECTION_STATUS_CONNECTED:
        return "connected";
    case CONNECTION_STATUS_DISCONNECTED: {
        uint32_t code = 0;
        uint32_t location = 0;
        if (ApiGetObjectError(record.id, 0, &code, &location)) {
            if (code == 1225)
                return "connection blocked by client";
            if (code == 1233)
                return "incompatible version";
            if (code == 1150)
                return "incompatible platform";
        }
        return "disconnected";
    }
    case CONNECTION_STATUS_ERROR:
        return "error";
    case CONNECTION_STATUS_CONNECTING:
        return "connecting";
    case CONNECTION_STATUS_REMOVED:
        return "removed, waiting for devices to disconnect";
    default:
        return "unknown";
    }
}

const char* DeviceUserText(uint32_t clientId, uint32_t deviceId)
{
    static char buffer[256];
    memset(buffer, 0, sizeof(buffer));
    if (!ApiGetDeviceUserText(clientId, deviceId, buffer, sizeof(buffer)) &&
        ApiGetLastError(nullptr) != API_ERROR_PARTIAL_COPY)
        buffer[0] = '\0';
    return buffer;
}

// Reads a record list with a size query; a copy that fails because the list
// grew meanwhile still hands out what was copied.
template <typename Record>
bool ReadRecords(bool (*list)(Record*, uint32_t*), std::vector<Record>& records, uint32_t size)
{
    records.assign(size / sizeof(Record) + 1, Record{});
    uint32_t copied = size;
    if (!list(records.data(), &copied) && ApiGetLastError(nullptr) != API_ERROR_PARTIAL_COPY)
        return false;
    records.resize(copied / sizeof(Record));
    return true;
}

// Size query, then mode and rules of an IP filter list or a device ACL.
bool ReadRuleList(const uint32_t* device, uint8_t& mode, std::vector<char>& text)
{
    uint32_t size = 0;
    auto get = [&](char* buffer, uint32_t* bufferSize) {
        return device ? ApiGetDeviceAcl(*device, &mode, buffer, bufferSize)
                      : ApiGetIpFilters(&mode, buffer, bufferSize);
    };
    if (!get(nullptr, &size))
        return false;
    text.assign(size + 1, '\0');
    return get(text.data(), &size);
}

void PrintRules(const char* list)
{
    if (!*list) {
        std::printf("<no rules>");
        return;
    }
    int number = 1;
    for (const char* rule = list; *rule; rule += strlen(rule) + 1)
        std::printf("%4d: %s\n", number++, Printable(rule).c_str());
}

} // namespace

bool UsbClassText(uint8_t deviceClass, uint8_t subclass, uint8_t protocol, const char** text)
{
    static std::string built;
    built.clear();
    switch (deviceClass) {
    case 1:
        built = "Audio ";
        if (subclass == 1) built += "Control ";
        else if (subclass == 2) built += "Streaming ";
        else if (subclass == 3) built += "MIDI Streaming ";
        built += "Device";
        break;
    case 2: {
        static const char* const words[] = {nullptr, "Direct Line ", "Modem ", "Telephone ", "Multi-Channel ",
                                            "CAPI Control ", "Ethernet Networking ", "ATM Networking ",
                                            "Wireless Handset Control ", nullptr, "Mobile Direct Line ", "OBEX ",
                                            "Ethernet Emulation "};
        built = "Communications ";
        if (subclass < sizeof(words) / sizeof(words[0]) && words[subclass])
            built += words[subclass];
        built += "Device";
        break;
    }
    case 3:
        built = protocol == 1 ? "USB Keyboard" : protocol == 2 ? "USB Mouse" : "USB Human Interface Device";
        break;
    case 6: built = "USB Imaging Device"; break;
    case 7: built = "USB Printer"; break;
    case 8: built = "USB Mass Storage Device"; break;
    case 10: built = "USB Data Device"; break;
    case 11: built = "USB Smart Card Device"; break;
    case 13: built = "USB Content Security Device"; break;
    case 14:
        built = "USB Video ";
        if (subclass == 1) built += "Control ";
        else if (subclass == 2) built += "Streaming ";
        else if (subclass == 3) built += "Interface Collection ";
        built += "Device";
        break;
    case 0xDC: built = "USB Diagnostic Device"; break;
    case 0xE0:
        built = "USB Wireless ";
        if (subclass == 1) {
            built += "Radio Frequency ";
            if (protocol != 0)
                built += "Bluetooth ";
        } else if (subclass == 2) {
            built += "Wire Adapter ";
        }
        built += "Device";
        break;
    default:
        return false;
    }
    *text = built.c_str();
    return true;
}

const char* ConnectionKindPrefix(uint32_t transport)
{
    switch (transport) {
    case 16: return "rdp://";
    case 32: return "";
    case 256: return "udp://";
    case 768: return "pipe://";
    default: return "unknown://";
    }
}

const char* DeviceUserKindPrefix(uint32_t transport)
{
    switch (transport) {
    case 0x2000: return "rdp://";
    case 0x4000: return "";
    case 0x8000: return "udp://";
    case 0x18000: return "pipe://";
    default: return "unknown://";
    }
}

void SortDeviceRecords(API_DEVICE_RECORD* records, size_t count)
{
    std::vector<API_DEVICE_RECORD> list(records, records + count);
    std::stable_sort(list.begin(), list.end(),
                     [](const API_DEVICE_RECORD& a, const API_DEVICE_RECORD& b) { return a.id < b.id; });
    std::copy(list.begin(), list.end(), records);
}

void PrintServerInfo()
{
    std::puts("\n===================== USB SERVER INFORMATION ====================");
    uint32_t deviceBytes = 0;
    uint32_t clientBytes = 0;
    ApiListDevices(nullptr, &deviceBytes);
    ApiListClients(nullptr, &clientBytes);
    std::printf("Total USB devices in configuration: %u\n", deviceBytes / static_cast<uint32_t>(sizeof(API_DEVICE_RECORD)));
    std::printf("Total connected clients: %u\n", clientBytes / static_cast<uint32_t>(sizeof(API_CONNECTION_RECORD)));
    API_CONNECTION_RECORD server;
    memset(&server, 0, sizeof(server));
    ApiGetConnectionRecord(0, &server);
    std::printf("USB device sharing mode: %s\n", (server.flags & CONNECTION_FLAG_AUTO) ? "auto sharing" : "manual sharing");
    std::printf("USB server accepts incoming connections on %d tcp port\n", server.port);
    uint8_t policyMode = 255;
    uint8_t filterMode = 255;
    ApiGetDevicePolicy(&policyMode, nullptr, nullptr);
    ApiGetIpFilters(&filterMode, nullptr, nullptr);
    std::printf("Device Policy mode: %s\n", ModeText(ModeList::Short, policyMode));
    std::printf("IP Filters mode: %s\n", ModeText(ModeList::Short, filterMode));
    std::puts(kClosingLine);
}

void PrintDeviceList()
{
    std::puts("\n=================== LIST OF LOCAL USB DEVICES ===================");
    uint32_t size = 0;
    std::vector<API_DEVICE_RECORD> records;
    if (ApiListDevices(nullptr, &size)) {
        if (size == 0)
            std::printf("\n<no devices>");
        else if (ReadRecords(ApiListDevices, records, size))
            SortDeviceRecords(records.data(), records.size());
    }
    for (const API_DEVICE_RECORD& device : records) {
        const char* classText = nullptr;
        if (device.flags & DEVICE_FLAG_HAS_NICKNAME) {
            std::printf("\n%4d: %s", device.id, Printable(device.nickname).c_str());
        } else {
            std::printf("\n%4d: %s", device.id, Printable(device.name).c_str());
            if (UsbClassText(device.deviceClass, device.deviceSubclass, device.deviceProtocol, &classText))
                std::printf(" - %s", classText);
        }
        bool hasSerial = device.flags & DEVICE_FLAG_HAS_SERIAL;
        bool bySerial = hasSerial && strcmp(device.identity, device.serial) == 0;
        if (hasSerial && !bySerial)
            std::printf(" (s/n: %s)\n", Printable(device.serial).c_str());
        else
            std::printf("\n");
        std::printf("      Vid: %.4x   Pid: %.4x   ", device.vendorId, device.productId);
        if (bySerial)
            std::printf("Serial: %s\n", Printable(device.identity).c_str());
        else
            std::printf("Port: %s\n", Printable(device.identity).c_str());
        std::printf("      Status: ");
        uint32_t flags = device.flags;
        switch (device.state) {
        case DEVICE_STATE_PLUGGED:
            std::printf("plugged");
            if (flags & DEVICE_FLAG_POLICY_EXCLUDED)
                std::printf(", in exclusion list by device policy");
            else if (flags & DEVICE_FLAG_EXCLUDED)
                std::printf(", in exclusion list");
            break;
        case DEVICE_STATE_INITIALIZING:
            std::printf("initializing");
            break;
        case DEVICE_STATE_SHARED:
            std::printf("plugged%s", (flags & DEVICE_FLAG_AUTO_SHARED) ? ", auto-shared" : ", shared");
            break;
        case DEVICE_STATE_IN_USE:
            std::printf("in use by %s%s", DeviceUserKindPrefix(flags & DEVICE_USER_TRANSPORT_MASK),
                        Printable(DeviceUserText(device.owner, device.id)).c_str());
            break;
        case DEVICE_STATE_NOT_PLUGGED:
            std::printf("not plugged");
            if (flags & DEVICE_FLAG_POLICY_EXCLUDED)
                std::printf(", in exclusion list by device policy");
            else if (flags & DEVICE_FLAG_EXCLUDED)
                std::printf(", in exclusion list");
            else if (flags & DEVICE_FLAG_AUTO_SHARED)
                std::printf(", auto-shared");
            else
                std::printf(", shared");
            break;
        case DEVICE_STATE_IN_USE_INACTIVE:
            std::printf("in use by %s%s, inactive", DeviceUserKindPrefix(flags & DEVICE_USER_TRANSPORT_MASK),
                        Printable(DeviceUserText(device.owner, device.id)).c_str());
            break;
        case DEVICE_STATE_DEINITIALIZING:
            std::printf("deinitializing");
            break;
        case DEVICE_STATE_CONNECTING:
            std::printf("connecting to %s%s", DeviceUserKindPrefix(flags & DEVICE_USER_TRANSPORT_MASK),
                        Printable(DeviceUserText(device.owner, device.id)).c_str());
            break;
        default:
            std::printf("unknown (%d)", device.state);
            break;
        }
        std::printf("\n");
        if ((flags & DEVICE_FLAG_TIMEOUT) && device.timeout != 0)
            std::printf("      Inactivity timeout: %d seconds\n", device.timeout);
        if (flags & DEVICE_FLAG_ACL) {
            uint8_t mode = 255;
            ApiGetDeviceAcl(device.id, &mode, nullptr, nullptr);
            std::printf("      ACL mode: %s", ModeText(ModeList::Short, mode));
        }
    }
    std::printf("\n%s\n", kClosingLine);
}

void PrintClientList()
{
    std::puts("\n=================== LIST OF CONNECTED CLIENTS ===================");
    uint32_t clientSize = 0;
    uint32_t callbackSize = 0;
    ApiListClients(nullptr, &clientSize);
    ApiListCallbackConnections(nullptr, &callbackSize);
    if (clientSize + callbackSize == 0) {
        std::printf("\n<no clients>");
    } else {
        std::vector<API_CONNECTION_RECORD> connections;
        std::vector<API_CONNECTION_RECORD> callbacks;
        ReadRecords(ApiListClients, connections, clientSize);
        ReadRecords(ApiListCallbackConnections, callbacks, callbackSize);
        connections.insert(connections.end(), callbacks.begin(), callbacks.end());
        uint32_t deviceSize = 0;
        std::vector<API_DEVICE_RECORD> devices;
        if (ApiListDevices(nullptr, &deviceSize))
            ReadRecords(ApiListDevices, devices, deviceSize);
        for (const API_CONNECTION_RECORD& record : connections) {
            uint32_t transport = record.flags & CONNECTION_TRANSPORT_MASK;
            const char* callback = (record.flags & CONNECTION_FLAG_CALLBACK) ? " - callback connection" : "";
            if (transport == CONNECTION_TRANSPORT_TCP || transport == CONNECTION_TRANSPORT_UDP)
                std::printf("\n%4d: Client at %s%s:%d%s\n", record.id & 0x0FFFFFFF, ConnectionKindPrefix(transport),
                            Printable(record.host).c_str(), record.port, callback);
            else
                std::printf("\n%4d: Client at %s%s%s\n", record.id & 0x0FFFFFFF, ConnectionKindPrefix(transport),
                            Printable(record.host).c_str(), callback);
            if (record.flags & CONNECTION_FLAG_CALLBACK)
                std::printf("      Platform: %s   Mode: %s   Status: %s\n", PlatformText(record.platform),
                            (record.flags & CONNECTION_FLAG_AUTO) ? "auto-connect" : "manual-connect",
                            StatusText(record));
            else
                std::printf("      Platform: %s   Status: %s\n", PlatformText(record.platform), StatusText(record));
            for (const API_DEVICE_RECORD& device : devices) {
                if (device.owner == record.id)
                    std::printf("      Uses device %4d: %s\n", device.id, Printable(device.name).c_str());
            }
        }
    }
    std::printf("\n%s\n", kClosingLine);
}

bool PrintDevicePolicy()
{
    uint8_t mode = 0;
    uint32_t size = 0;
    if (!ApiGetDevicePolicy(&mode, nullptr, &size))
        return false;
    std::vector<API_POLICY_RULE> rules(size / sizeof(API_POLICY_RULE) + 1);
    if (size != 0) {
        if (!ApiGetDevicePolicy(&mode, rules.data(), &size) && ApiGetLastError(nullptr) != API_ERROR_PARTIAL_COPY)
            return false;
    }
    rules.resize(size / sizeof(API_POLICY_RULE));
    std::puts("\n==================== USB SERVER DEVICE POLICY ===================\n");
    std::printf("Mode: %s\n", ModeText(ModeList::Policy, mode));
    if (rules.empty())
        std::printf("\n<no rules>");
    int number = 1;
    for (const API_POLICY_RULE& rule : rules) {
        std::printf("\n%4d: %s\n", number++, rule.name[0] ? Printable(rule.name).c_str() : "<rule without name>");
        if (rule.flags & POLICY_MATCH_VENDOR)
            std::printf("      Vid: %.4x   ", rule.vendorId);
        else
            std::printf("      Vid: <any>  ");
        if (rule.flags & POLICY_MATCH_PRODUCT)
            std::printf("Pid: %.4x   ", rule.productId);
        else
            std::printf("Pid: <any>  ");
        if (rule.flags & POLICY_MATCH_CLASS)
            std::printf("Class: %.2x   ", rule.deviceClass);
        else
            std::printf("Class: <any>  ");
        if (rule.flags & POLICY_MATCH_SUBCLASS)
            std::printf("SubClass: %.2x   ", rule.deviceSubclass);
        else
            std::printf("SubClass: <any>  ");
        if (rule.flags & POLICY_MATCH_PROTOCOL)
            std::printf("Protocol: %.2x   ", rule.deviceProtocol);
        else
            std::printf("Protocol: <any>  ");
        if (rule.flags & POLICY_MATCH_PORT)
            std::printf("Port: %s  ", Printable(rule.usbPort).c_str());
        else
            std::printf("Port: <any>  ");
        if (rule.flags & POLICY_MATCH_SERIAL)
            std::printf("Serial: %s\n", Printable(rule.serial).c_str());
        else
            std::printf("Serial: <any>\n");
    }
    std::printf("\n%s\n", kClosingLine);
    return true;
}

bool PrintDeviceAcl(uint32_t deviceId)
{
    API_DEVICE_RECORD device;
    if (!ApiGetDeviceRecord(0, deviceId, &device))
        return false;
    uint8_t mode = 0;
    std::vector<char> rules;
    if (!ReadRuleList(&deviceId, mode, rules))
        return false;
    std::puts("\n========================= USB DEVICE ACL ========================\n");
    const char* classText = nullptr;
    if (device.flags & DEVICE_FLAG_HAS_NICKNAME) {
        std::printf("Device: %s\n\n", Printable(device.nickname).c_str());
    } else {
        std::printf("Device: %s", Printable(device.name).c_str());
        if (UsbClassText(device.deviceClass, device.deviceSubclass, device.deviceProtocol, &classText))
            std::printf(" - %s\n\n", classText);
        else
            std::printf("\n\n");
    }
    std::printf("Mode: %s\n\n", ModeText(ModeList::Acl, mode));
    PrintRules(rules.data());
    std::printf("\n%s\n", kClosingLine);
    return true;
}

bool PrintIpFilters()
{
    uint8_t mode = 0;
    std::vector<char> rules;
    if (!ReadRuleList(nullptr, mode, rules))
        return false;
    std::puts("\n===================== USB SERVER IP FILTERS =====================\n");
    std::printf("Mode: %s\n\n", ModeText(ModeList::Filters, mode));
    PrintRules(rules.data());
    std::printf("\n%s\n", kClosingLine);
    return true;
}
