// Turns what a user sees (vendor and product numbers, USB port, serial,
// name, an address and port, a short number) into the daemon's ids, by
// searching the record lists the client API hands out. Failures leave the
// API's last error set.
#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "calvix/apirecords.h"
#include "sys/thread"

// Device states a lookup prefers when several devices match.
using PreferredStates = std::set<uint32_t>;

// Vendor and product unset (-1) or 16-bit, and either both given or one of
// port, serial, name: a vendor number alone names no device.
bool CheckDeviceIdentifiers(int vendorId, int productId, const std::string& usbPort, const std::string& serial,
                            const std::string& name);
// The first matching device whose state is preferred, else the first
// matching one; -1 when none matches.
int64_t FindDevice(uint32_t serverId, const PreferredStates& preferred, int vendorId, int productId,
                   const std::string& serial, const std::string& usbPort, const std::string& name);
// address may hold an IPv6 address in brackets; port -1 and kind 0 match
// any. The id of the first matching record, or -1.
int64_t FindClientByAddress(const std::string& address, int port, int kind);
int64_t FindCallbackByAddress(const std::string& address, int port, int kind);
bool ConnectionRecordMatchesAddress(const API_CONNECTION_RECORD& record, const ADDRESS& address);
// The full client or callback id for the number shown by -list-clients, or
// -1.
int64_t ExpandShortId(int number);
// tcp and udp need a port 1..65535; other kinds take none (-1).
bool IsValidPortForKind(int port, int kind);
bool IsValidEndpoint(const std::string& address, int port, int kind);

bool CloseAllCallbacks();
bool DisconnectAllDevices();
