// The read-only actions of calvix: the daemon's state as framed text on
// standard output. Device and connection lists come from the API's cached
// snapshot; policy, ACL and filter lists are asked for at print time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "calvix/apirecords.h"

void PrintServerInfo();
void PrintDeviceList();
void PrintClientList();
// False when a request or an allocation failed (the last error says why);
// nothing has been printed then.
bool PrintDevicePolicy();
bool PrintDeviceAcl(uint32_t deviceId);
bool PrintIpFilters();

bool UsbClassText(uint8_t deviceClass, uint8_t subclass, uint8_t protocol, const char** text);
const char* ConnectionKindPrefix(uint32_t transport);
const char* DeviceUserKindPrefix(uint32_t transport);
// Stable sort by device id, ascending as unsigned numbers.
void SortDeviceRecords(API_DEVICE_RECORD* records, size_t count);
