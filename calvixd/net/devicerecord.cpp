#include "calvixd/net/devicerecord.h"

#include <cstring>

static void Put16(uint8_t* at, uint16_t value)
{
    memcpy(at, &value, sizeof value);
}

static void Put32(uint8_t* at, uint32_t value)
{
    memcpy(at, &value, sizeof value);
}

std::vector<uint8_t> EncodeDeviceRecord(uint32_t type, const DeviceRecordFields& fields)
{
    const std::string* strings[5] = {&fields.name, &fields.nickname, &fields.instanceIdentity, &fields.serial,
                                     &fields.port};
    size_t stringBytes = 0;
    if (fields.withStrings)
        for (const std::string* s : strings)
            stringBytes += s->size();
    bool ipv6 = fields.client.IsIPv6();
    size_t total = DEVICE_RECORD_HEADER_SIZE + stringBytes + (ipv6 ? 16 : 0);
    std::vector<uint8_t> record(total, 0);
    uint8_t* r = record.data();
    Put32(r + 0, type);
    Put32(r + 4, static_cast<uint32_t>(total));
    Put16(r + 8, fields.vendorId);
    Put16(r + 10, fields.productId);
    Put16(r + 12, fields.bcdDevice);
    r[14] = fields.deviceClass;
    r[15] = fields.subClass;
    r[16] = fields.protocol;
    r[17] = fields.speed;
    r[18] = fields.stateOrEvent;
    Put32(r + 20, fields.deviceId);
    // GetIPv4 gives the four bytes in network order, 0xFFFFFFFF for IPv6 and
    // 0 for no client.
    Put32(r + 24, fields.client.GetIPv4());
    Put32(r + 28, fields.flags);
    Put16(r + 32, fields.usbVersion);
    size_t at = DEVICE_RECORD_HEADER_SIZE;
    for (int i = 0; i < 5; ++i) {
        uint32_t length = fields.withStrings ? static_cast<uint32_t>(strings[i]->size()) : 0;
        Put32(r + 36 + 4 * i, length);
        if (length) {
            memcpy(r + at, strings[i]->data(), length);
            at += length;
        }
    }
    if (ipv6)
        memcpy(r + at, fields.client.GetAddressBytes(), 16);
    return record;
}
