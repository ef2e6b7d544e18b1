#include "calvix/resolution.h"

#include <strings.h>

#include <cstring>
#include <functional>
#include <new>
#include <vector>

#include "calvix/api.h"
#include "calvix/controlwire.h"
#include "calvix/listreader.h"

namespace {

template <typename Record>
bool ReadRecords(bool (*list)(Record*, uint32_t*), std::vector<Record>& records)
{
    return ReadListWithRetry(
        [&](void* buffer, uint32_t* size) { return list(static_cast<Record*>(buffer), size); }, records);
}

// The host part of an address argument: an IPv6 address keeps its brackets
// on the command line, the daemon's records hold it without.
std::string StripBrackets(const std::string& text)
{
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']')
        return text.substr(1, text.size() - 2);
    return text;
}

int64_t FindConnection(bool (*list)(API_CONNECTION_RECORD*, uint32_t*), const std::string& addressText, int port,
                       int kind)
{
    std::string host = StripBrackets(addressText);
    ADDRESS address(host.c_str());
    std::vector<API_CONNECTION_RECORD> records;
    if (!ReadRecords(list, records))
        return -1;
    for (const API_CONNECTION_RECORD& record : records) {
        bool addressMatches = host.empty() || StripBrackets(record.host) == host ||
                              ConnectionRecordMatchesAddress(record, address);
        bool portMatches = port == -1 || static_cast<int>(record.port) == port;
        bool kindMatches = kind == 0 || static_cast<int>(record.flags & CONNECTION_TRANSPORT_MASK) == kind;
        if (addressMatches && portMatches && kindMatches)
            return record.id;
    }
    return -1;
}

} // namespace

bool CheckDeviceIdentifiers(int vendorId, int productId, const std::string& usbPort, const std::string& serial,
                            const std::string& name)
{
    if (vendorId >= 0x10000 || productId >= 0x10000)
        return false;
    if (vendorId >= 0 && productId >= 0)
        return true;
    return !usbPort.empty() || !serial.empty() || !name.empty();
}

int64_t FindDevice(uint32_t serverId, const PreferredStates& preferred, int vendorId, int productId,
                   const std::string& serial, const std::string& usbPort, const std::string& name)
{
    std::vector<API_DEVICE_RECORD> records;
    bool read = serverId == 0 ? ReadRecords(ApiListDevices, records)
                              : ReadListWithRetry(
                                    [&](void* buffer, uint32_t* size) {
                                        return ApiListServerDevices(serverId, static_cast<API_DEVICE_RECORD*>(buffer),
                                                                    size);
                                    },
                                    records);
    if (!read)
        return -1;
    int64_t first = -1;
    for (const API_DEVICE_RECORD& record : records) {
        if (!usbPort.empty() && strcasecmp(usbPort.c_str(), record.busId) != 0)
            continue;
        if (!serial.empty() && strcasecmp(serial.c_str(), record.serial) != 0)
            continue;
        if (vendorId >= 0 && vendorId != record.vendorId)
            continue;
        if (productId >= 0 && productId != record.productId)
            continue;
        if (!name.empty() && strcasecmp(name.c_str(), record.name) != 0 &&
            strcasecmp(name.c_str(), record.nickname) != 0)
            continue;
        // A copy: count() takes a reference, and the record's fields are
        // packed, so not aligned for one.
        uint32_t state = record.state;
        if (preferred.empty() || preferred.count(state))
            return record.id;
        if (first == -1)
            first = record.id;
    }
    return first;
}

bool ConnectionRecordMatchesAddress(const API_CONNECTION_RECORD& record, const ADDRESS& address)
{
    if (record.address == 0 || !address.IsValid())
        return false;
    ADDRESS recordAddress =
        record.address == 0xFFFFFFFF ? ADDRESS(StripBrackets(record.host).c_str()) : ADDRESS(record.address);
    // Family and bytes; the scope id takes no part.
    return recordAddress.GetFamily() == address.GetFamily() &&
           memcmp(recordAddress.GetAddressBytes(), address.GetAddressBytes(), address.GetAddressLength()) == 0;
}

int64_t FindClientByAddress(const std::string& address, int port, int kind)
{
    return FindConnection(ApiListClients, address, port, kind);
}

int64_t FindCallbackByAddress(const std::string& address, int port, int kind)
{
    return FindConnection(ApiListCallbackConnections, address, port, kind);
}

int64_t ExpandShortId(int number)
{
    std::vector<API_CONNECTION_RECORD> records;
    for (int attempt = 0;; ++attempt) {
        uint32_t clientSize = 0;
        uint32_t callbackSize = 0;
        ApiListClients(nullptr, &clientSize);
        ApiListCallbackConnections(nullptr, &callbackSize);
        if (clientSize == 0 && callbackSize == 0)
            return -1;
        size_t clientCount = clientSize / sizeof(API_CONNECTION_RECORD);
        size_t callbackCount = callbackSize / sizeof(API_CONNECTION_RECORD);
        records.assign(clientCount + callbackCount + 1, API_CONNECTION_RECORD{});
        uint32_t copiedClients = clientSize;
        bool grew = false;
        if (!ApiListClients(records.data(), &copiedClients))
            grew = ApiGetLastError(nullptr) == API_ERROR_PARTIAL_COPY;
        uint32_t copiedCallbacks = callbackSize;
        if (!ApiListCallbackConnections(records.data() + clientCount, &copiedCallbacks))
            grew = grew || ApiGetLastError(nullptr) == API_ERROR_PARTIAL_COPY;
        // A list that grew between the size query and the copy is read
        // afresh, a few times at most; then what was copied is searched.
        if (grew && attempt < kListRetries)
            continue;
        records.resize(clientCount + callbackCount);
        break;
    }
    for (const API_CONNECTION_RECORD& record : records) {
        if (record.id == 0 || (record.id & 0x0FFFFFFF) != static_cast<uint32_t>(number))
            continue;
        if (record.flags & CONNECTION_FLAG_CALLBACK)
            return static_cast<int64_t>(number) + 0xC0000000;
        if (record.flags & CONNECTION_FLAG_CLIENT)
            return static_cast<int64_t>(number) + 0x80000000;
        return number;
    }
    return -1;
}

bool IsValidPortForKind(int port, int kind)
{
    if (kind == 32 || kind == 256)
        return port >= 1 && port <= 65535;
    return port == -1;
}

bool IsValidEndpoint(const std::string& address, int port, int kind)
{
    return !address.empty() && IsValidPortForKind(port, kind) && kind != 0;
}

bool CloseAllCallbacks()
{
    uint32_t size = 0;
    if (!ApiListCallbackConnections(nullptr, &size))
        return true;
    std::vector<API_CONNECTION_RECORD> records;
    if (!ReadRecords(ApiListCallbackConnections, records))
        return false;
    for (const API_CONNECTION_RECORD& record : records)
        ApiRemoveCallbackConnection(record.id);
    return true;
}

bool DisconnectAllDevices()
{
    uint32_t size = 0;
    if (!ApiListDevices(nullptr, &size))
        return true;
    std::vector<API_DEVICE_RECORD> records;
    if (!ReadRecords(ApiListDevices, records))
        return false;
    for (const API_DEVICE_RECORD& record : records) {
        if (record.state == DEVICE_STATE_IN_USE || record.state == DEVICE_STATE_IN_USE_INACTIVE)
            ApiDisconnectDevice(record.id);
    }
    return true;
}
