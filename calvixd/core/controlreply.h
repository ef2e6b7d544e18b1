// Replies of the control interface, built in memory and written at once:
// little-endian integers, texts as a u32 length and the bytes, addresses as
// a u32 length (0, 4 or 16) and the bytes in network order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "calvixd/core/coretypes.h"

class CControlReply {
public:
    void U8(uint8_t value) { m_bytes.push_back(value); }
    void U16(uint16_t value);
    void U32(uint32_t value);
    // At most `limit` bytes of the text.
    void Text(const std::string& text, size_t limit = SIZE_MAX);
    void Address(const ADDRESS& address);
    // CORE_ERROR_RECORD: u16 module, u16 line, u32 error.
    void Record(const CExceptionEx& error);
    void Bytes(const uint8_t* data, size_t length) { m_bytes.insert(m_bytes.end(), data, data + length); }

    void Connection(const ConnectionInfo& info);
    void Device(const DeviceInfo& info);
    void DeviceClient(const DeviceClientInfo& info);
    void PolicyRule(const DevicePolicyRule& rule);

    const std::vector<uint8_t>& Get() const { return m_bytes; }
    void Clear() { m_bytes.clear(); }

private:
    std::vector<uint8_t> m_bytes;
};
