#include "calvixd/core/controlreply.h"

#include "calvixd/core/controlrequest.h"

void CControlReply::U16(uint16_t value)
{
    m_bytes.push_back(static_cast<uint8_t>(value));
    m_bytes.push_back(static_cast<uint8_t>(value >> 8));
}

void CControlReply::U32(uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        m_bytes.push_back(static_cast<uint8_t>(value >> shift));
}

void CControlReply::Text(const std::string& text, size_t limit)
{
    size_t length = text.size() < limit ? text.size() : limit;
    U32(static_cast<uint32_t>(length));
    Bytes(reinterpret_cast<const uint8_t*>(text.data()), length);
}

// The scope id does not travel.
void CControlReply::Address(const ADDRESS& address)
{
    uint32_t length = address.GetAddressLength();
    U32(length);
    Bytes(address.GetAddressBytes(), length);
}

void CControlReply::Record(const CExceptionEx& error)
{
    U16(error.GetModule());
    U16(error.GetLine());
    U32(error.GetError());
}

void CControlReply::Connection(const ConnectionInfo& info)
{
    U32(info.id);
    U32(info.state);
    Record(info.lastError);
    U32(info.platformCode);
    Text(info.name);
    Address(info.address);
    U16(info.port);
    Address(info.listenAddress);
    U32(info.flags);
    U32(info.fixedWord);
}

void CControlReply::Device(const DeviceInfo& info)
{
    U32(info.id);
    U32(info.clientConnectionId);
    U32(info.state);
    Record(info.lastError);
    // The address list is always sent empty.
    U32(0);
    U32(info.flags);
    Address(info.clientAddress);
    U32(info.timeout);
    U8(info.speed);
    U8(0);
    U8(info.resetMode);
    U8(255);
    U16(info.vendorId);
    U16(info.productId);
    U16(info.bcdDevice);
    U8(info.deviceClass);
    U8(info.subClass);
    U8(info.protocol);
    Text(info.name);
    Text(info.nickname);
    Text(info.instanceIdentity);
    Text(info.serial);
    Text(info.port);
}

void CControlReply::DeviceClient(const DeviceClientInfo& info)
{
    U32(0);
    U32(info.deviceId);
    Address(info.clientAddress);
    Text(info.clientName);
}

void CControlReply::PolicyRule(const DevicePolicyRule& rule)
{
    U32(rule.flags);
    U16(rule.vendorId);
    U16(rule.productId);
    U8(rule.deviceClass);
    U8(rule.subClass);
    U8(rule.protocol);
    Text(rule.port, CORE_POLICY_TEXT_LIMIT);
    Text(rule.serial, CORE_POLICY_TEXT_LIMIT);
    Text(rule.name, CORE_POLICY_TEXT_LIMIT);
}
