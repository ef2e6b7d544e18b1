#include "calvix/replyparser.h"

#include <cstring>

#include "calvix/controlwire.h"

namespace {

// Reads little-endian fields from a byte range; every read checks that its
// bytes are there.
class CWireReader {
public:
    CWireReader(const uint8_t* data, size_t length) : m_data(data), m_length(length) {}

    bool Bytes(void* out, size_t count)
    {
        if (count > m_length - m_offset)
            return false;
        if (count)
            memcpy(out, m_data + m_offset, count);
        m_offset += count;
        return true;
    }
    bool U8(uint8_t& value) { return Bytes(&value, 1); }
    bool U16(uint16_t& value)
    {
        uint8_t b[2];
        if (!Bytes(b, 2))
            return false;
        value = static_cast<uint16_t>(b[0] | b[1] << 8);
        return true;
    }
    bool U32(uint32_t& value)
    {
        uint8_t b[4];
        if (!Bytes(b, 4))
            return false;
        value = static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
                static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
        return true;
    }

    // u32 length, then the bytes; the text ends at its first NUL.
    uint32_t Text(std::string& text, size_t maxLength)
    {
        uint32_t count = 0;
        if (!U32(count))
            return API_ERROR_TRANSFER_FAILED;
        if (count > maxLength)
            return API_ERROR_BAD_DATA;
        if (count > m_length - m_offset)
            return API_ERROR_TRANSFER_FAILED;
        const char* start = reinterpret_cast<const char*>(m_data + m_offset);
        text.assign(start, strnlen(start, count));
        m_offset += count;
        return 0;
    }

    // u32 length 0, 4 or 16, then the address bytes in network order.
    uint32_t Address(ADDRESS& address)
    {
        uint32_t count = 0;
        if (!U32(count))
            return API_ERROR_TRANSFER_FAILED;
        if (count != 0 && count != 4 && count != 16)
            return API_ERROR_BAD_DATA;
        uint8_t bytes[16];
        if (!Bytes(bytes, count))
            return API_ERROR_TRANSFER_FAILED;
        if (count == 4) {
            uint32_t word;
            memcpy(&word, bytes, 4);
            address = ADDRESS(word);
        } else if (count == 16) {
            in6_addr v6;
            memcpy(&v6, bytes, 16);
            address = ADDRESS(&v6, 0);
        } else {
            address = ADDRESS();
        }
        return 0;
    }

    bool ErrorRecord(CExceptionEx& record)
    {
        uint16_t module, line;
        uint32_t error;
        if (!U16(module) || !U16(line) || !U32(error))
            return false;
        record = CExceptionEx(module, line, error);
        return true;
    }

    size_t Remaining() const { return m_length - m_offset; }

private:
    const uint8_t* m_data;
    size_t m_length;
    size_t m_offset = 0;
};

uint32_t ReadConnection(CWireReader& in, ConnectionEntry& entry)
{
    if (!in.U32(entry.id))
        return API_ERROR_TRANSFER_FAILED;
    if (!in.U32(entry.state))
        return API_ERROR_TRANSFER_FAILED;
    if (!in.ErrorRecord(entry.error))
        return API_ERROR_TRANSFER_FAILED;
    if (!in.U32(entry.platform))
        return API_ERROR_TRANSFER_FAILED;
    if (uint32_t error = in.Text(entry.name, CORE_MAX_WIRE_TEXT))
        return error;
    if (uint32_t error = in.Address(entry.address))
        return error;
    if (!in.U16(entry.port))
        return API_ERROR_TRANSFER_FAILED;
    if (uint32_t error = in.Address(entry.secondAddress))
        return error;
    if (!in.U32(entry.flags))
        return API_ERROR_TRANSFER_FAILED;
    if (!in.U32(entry.extra))
        return API_ERROR_TRANSFER_FAILED;
    return 0;
}

uint32_t ReadDevice(CWireReader& in, DeviceEntry& entry)
{
    if (!in.U32(entry.id))
        return API_ERROR_TRANSFER_FAILED;
    if (!in.U32(entry.owner))
        return API_ERROR_TRANSFER_FAILED;
    if (!in.U32(entry.state))
        return API_ERROR_TRANSFER_FAILED;
    if (!in.ErrorRecord(entry.error))
        return API_ERROR_TRANSFER_FAILED;
    // The daemon sends no addresses here; a reader takes any number and
    // keeps none. Each one is at least 4 bytes, so the loop ends with the
    // reply.
    uint32_t addressCount = 0;
    if (!in.U32(addressCount))
        return API_ERROR_TRANSFER_FAILED;
    for (uint32_t i = 0; i < addressCount; ++i) {
        ADDRESS ignored;
        if (uint32_t error = in.Address(ignored))
            return error;
    }
    if (!in.U32(entry.flags))
        return API_ERROR_TRANSFER_FAILED;
    if (uint32_t error = in.Address(entry.clientAddress))
        return error;
    if (!in.U32(entry.timeout))
        return API_ERROR_TRANSFER_FAILED;
    if (!in.U8(entry.speed))
        return API_ERROR_TRANSFER_FAILED;
    if (!in.U8(entry.byte10))
        return API_ERROR_TRANSFER_FAILED;
    if (!in.U8(entry.resetMethod))
        return API_ERROR_TRANSFER_FAILED;
    if (!in.U8(entry.byte12))
        return API_ERROR_TRANSFER_FAILED;
    if (!in.U16(entry.vendorId))
        return API_ERROR_TRANSFER_FAILED;
    if (!in.U16(entry.productId))
        return API_ERROR_TRANSFER_FAILED;
    if (!in.U16(entry.bcdDevice))
        return API_ERROR_TRANSFER_FAILED;
    if (!in.U8(entry.deviceClass))
        return API_ERROR_TRANSFER_FAILED;
    if (!in.U8(entry.deviceSubclass))
        return API_ERROR_TRANSFER_FAILED;
    if (!in.U8(entry.deviceProtocol))
        return API_ERROR_TRANSFER_FAILED;
    std::string* texts[] = {&entry.product, &entry.nickname, &entry.identity, &entry.serial, &entry.busId};
    for (std::string* text : texts) {
        if (uint32_t error = in.Text(*text, CORE_MAX_WIRE_TEXT))
            return error;
    }
    return 0;
}

uint32_t ReadUsage(CWireReader& in, UsageEntry& entry)
{
    if (!in.U32(entry.owner))
        return API_ERROR_TRANSFER_FAILED;
    if (!in.U32(entry.deviceId))
        return API_ERROR_TRANSFER_FAILED;
    if (uint32_t error = in.Address(entry.address))
        return error;
    return in.Text(entry.clientName, CORE_MAX_WIRE_TEXT);
}

// Reads a counted list; entries are kept as they complete.
template <typename Entry>
uint32_t ReadList(CWireReader& in, std::vector<Entry>& list, uint32_t (*readOne)(CWireReader&, Entry&))
{
    uint32_t count = 0;
    if (!in.U32(count))
        return API_ERROR_TRANSFER_FAILED;
    for (uint32_t i = 0; i < count; ++i) {
        Entry entry;
        if (uint32_t error = readOne(in, entry))
            return error;
        list.push_back(std::move(entry));
    }
    return 0;
}

// Copies a text into a fixed field; the length was checked by the caller.
void CopyField(char* field, const std::string& text)
{
    memcpy(field, text.data(), text.size());
    field[text.size()] = '\0';
}

} // namespace

uint32_t ParseSnapshotReply(const uint8_t* data, size_t length, SnapshotLists& lists)
{
    CWireReader in(data, length);
    if (uint32_t error = ReadList(in, lists.connections, ReadConnection))
        return error;
    if (uint32_t error = ReadList(in, lists.devices, ReadDevice))
        return error;
    return ReadList(in, lists.usages, ReadUsage);
}

uint32_t ParseRuleListReply(const uint8_t* data, size_t length, uint8_t& mode, std::vector<std::string>& rules)
{
    CWireReader in(data, length);
    if (!in.U8(mode))
        return API_ERROR_TRANSFER_FAILED;
    uint32_t count = 0;
    if (!in.U32(count))
        return API_ERROR_TRANSFER_FAILED;
    for (uint32_t i = 0; i < count; ++i) {
        std::string text;
        if (uint32_t error = in.Text(text, CORE_MAX_WIRE_TEXT))
            return error;
        if (!text.empty())
            rules.push_back(std::move(text));
    }
    return 0;
}

uint32_t ParsePolicyRules(const uint8_t* data, size_t length, uint32_t count, std::vector<API_POLICY_RULE>& rules)
{
    CWireReader in(data, length);
    for (uint32_t i = 0; i < count; ++i) {
        API_POLICY_RULE rule;
        memset(&rule, 0, sizeof(rule));
        if (!in.U32(rule.flags) || !in.U16(rule.vendorId) || !in.U16(rule.productId) ||
            !in.U8(rule.deviceClass) || !in.U8(rule.deviceSubclass) || !in.U8(rule.deviceProtocol))
            return API_ERROR_TRANSFER_FAILED;
        char* fields[] = {rule.usbPort, rule.serial, rule.name};
        for (char* field : fields) {
            std::string text;
            // The field holds 255 characters and the terminating NUL.
            if (uint32_t error = in.Text(text, sizeof(rule.name) - 1))
                return error;
            CopyField(field, text);
        }
        rules.push_back(rule);
    }
    return 0;
}

uint32_t ParseCountedBytes(const uint8_t* data, size_t length, size_t maxLength, std::vector<uint8_t>& bytes)
{
    CWireReader in(data, length);
    uint32_t count = 0;
    if (!in.U32(count))
        return API_ERROR_TRANSFER_FAILED;
    if (count > maxLength)
        return API_ERROR_BAD_DATA;
    if (count > in.Remaining())
        return API_ERROR_TRANSFER_FAILED;
    bytes.resize(count);
    if (!in.Bytes(bytes.data(), count))
        return API_ERROR_TRANSFER_FAILED;
    return 0;
}

uint32_t ParseInterfaceClasses(const uint8_t* data, size_t length, std::vector<uint8_t>& triples)
{
    // wTotalLength sits at bytes 2 and 3 of the configuration descriptor.
    if (length < 4)
        return API_ERROR_BAD_DATA;
    size_t total = static_cast<size_t>(data[2] | data[3] << 8);
    if (total > length)
        return API_ERROR_BAD_DATA;
    // Interface descriptor (USB 2.0, 9.6.5): bLength 9, bDescriptorType 4,
    // bAlternateSetting at 3, class, subclass and protocol at 5, 6 and 7.
    constexpr uint8_t kInterfaceType = 4;
    constexpr size_t kInterfaceLength = 9;
    size_t offset = 0;
    while (total - offset > 2) {
        size_t descriptorLength = data[offset];
        if (descriptorLength == 0 || descriptorLength > total - offset)
            break;
        const uint8_t* descriptor = data + offset;
        if (descriptor[1] == kInterfaceType && descriptorLength >= kInterfaceLength && descriptor[3] == 0) {
            triples.push_back(descriptor[5]);
            triples.push_back(descriptor[6]);
            triples.push_back(descriptor[7]);
        }
        offset += descriptorLength;
    }
    return 0;
}
