#include "calvixd/net/ravelblocks.h"

#include <cstring>

uint32_t ReadU32(const uint8_t* at)
{
    uint32_t value;
    memcpy(&value, at, sizeof(value));
    return value;
}

void WriteU32(uint8_t* at, uint32_t value)
{
    memcpy(at, &value, sizeof(value));
}

namespace {

void WriteU16(uint8_t* at, uint16_t value)
{
    memcpy(at, &value, sizeof(value));
}

// Length of a rule text with its terminator, 0 when empty.
uint32_t TextSize(const std::string& text)
{
    return text.empty() ? 0 : static_cast<uint32_t>(text.size() + 1);
}

} // namespace

std::vector<uint8_t> BuildClaimRulesBlock(const std::vector<LoaderRule>& rules)
{
    size_t size = 8;
    for (const LoaderRule& rule : rules)
        size += RAVEL_RULE_HEADER_SIZE + TextSize(rule.port) + TextSize(rule.serial) + TextSize(rule.instanceIdentity);
    std::vector<uint8_t> block(size, 0);
    WriteU32(&block[0], static_cast<uint32_t>(size));
    WriteU32(&block[4], static_cast<uint32_t>(rules.size()));
    size_t at = 8;
    for (const LoaderRule& rule : rules) {
        uint8_t* entry = &block[at];
        WriteU32(entry + 0, rule.flags);
        WriteU32(entry + 4, TextSize(rule.port));
        WriteU32(entry + 8, TextSize(rule.serial));
        WriteU32(entry + 12, TextSize(rule.instanceIdentity));
        WriteU16(entry + 16, rule.vendorId);
        WriteU16(entry + 18, rule.productId);
        WriteU16(entry + 20, rule.bcdDevice);
        entry[22] = rule.deviceClass;
        entry[23] = rule.subClass;
        entry[24] = rule.protocol;
        at += RAVEL_RULE_HEADER_SIZE;
        for (const std::string* text : {&rule.port, &rule.serial, &rule.instanceIdentity}) {
            if (text->empty())
                continue;
            memcpy(&block[at], text->data(), text->size());
            at += text->size() + 1; // the terminator is already zero
        }
    }
    return block;
}

std::vector<uint8_t> BuildQuirksBlock(const std::vector<LoaderQuirk>& quirks)
{
    size_t size = 8 + RAVEL_QUIRK_SLOT_SIZE * quirks.size();
    std::vector<uint8_t> block(size, 0);
    WriteU32(&block[0], static_cast<uint32_t>(size));
    WriteU32(&block[4], static_cast<uint32_t>(quirks.size()));
    size_t at = 8;
    for (const LoaderQuirk& quirk : quirks) {
        WriteU16(&block[at], quirk.vendorId);
        WriteU16(&block[at + 2], quirk.productId);
        WriteU32(&block[at + 4], quirk.flags);
        at += RAVEL_QUIRK_ELEMENT_SIZE;
    }
    return block;
}

std::vector<uint8_t> BuildEmptyBlock()
{
    std::vector<uint8_t> block(4, 0);
    WriteU32(&block[0], 4);
    return block;
}

std::vector<uint8_t> BuildDeviceBlock(const std::string& busId, size_t dataLength)
{
    std::vector<uint8_t> block(RAVEL_DEVICE_HEADER_SIZE + dataLength, 0);
    WriteU32(&block[0], static_cast<uint32_t>(block.size()));
    memcpy(&block[4], busId.data(), busId.size() < RAVEL_BUS_ID_SIZE ? busId.size() : RAVEL_BUS_ID_SIZE);
    return block;
}

bool ProcDevicesHasRavel(const char* text, size_t length)
{
    const size_t nameLength = sizeof(RAVEL_CHARDEV_NAME) - 1;
    size_t at = 0;
    while (at < length) {
        size_t end = at;
        while (end < length && text[end] != '\n')
            end++;
        // One line: blanks, a number, blanks, the name.
        size_t pos = at;
        while (pos < end && text[pos] == ' ')
            pos++;
        size_t digits = pos;
        while (pos < end && text[pos] >= '0' && text[pos] <= '9')
            pos++;
        bool number = pos > digits;
        size_t blanks = pos;
        while (pos < end && text[pos] == ' ')
            pos++;
        if (number && pos > blanks && end - pos == nameLength && memcmp(text + pos, RAVEL_CHARDEV_NAME, nameLength) == 0)
            return true;
        at = end + 1;
    }
    return false;
}

size_t DescriptorTotalLength(const uint8_t* descriptors, size_t length)
{
    if (!descriptors || length < 4)
        return 0;
    return static_cast<size_t>(descriptors[2]) | static_cast<size_t>(descriptors[3]) << 8;
}

std::string QueryBlockText(uint8_t* block, size_t length)
{
    if (length <= RAVEL_DEVICE_HEADER_SIZE)
        return std::string();
    block[length - 1] = 0;
    const char* text = reinterpret_cast<const char*>(block + RAVEL_DEVICE_HEADER_SIZE);
    return std::string(text, strnlen(text, length - RAVEL_DEVICE_HEADER_SIZE));
}

uint32_t MapStubStatus(int32_t status)
{
    switch (status) {
    case 0:
        return 0;
    case 15:
        return 15;
    case -115: // EINPROGRESS
        return 1;
    case -104: // ECONNRESET
    case -2:   // ENOENT
    case -1:   // EPERM
        return 2;
    case -18: // EXDEV
        return 3;
    case -110: // ETIMEDOUT
        return 4;
    case -22: // EINVAL
        return 5;
    case -108: // ESHUTDOWN
    case -19:  // ENODEV
        return 6;
    case -121: // EREMOTEIO
        return 7;
    case -75: // EOVERFLOW
        return 8;
    case -63: // ENOSR
        return 9;
    case -70: // ECOMM
        return 10;
    case -32: // EPIPE: stall
        return 11;
    case -84: // EILSEQ
        return 12;
    case -71: // EPROTO
        return 13;
    case -12: // ENOMEM
        return 14;
    case -90: // EMSGSIZE
        return 17;
    default:
        return 16;
    }
}
