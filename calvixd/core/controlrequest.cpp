#include "calvixd/core/controlrequest.h"

#include <cstring>

namespace {

// Walks the bytes of one request. Every Take* either fills its value and
// moves on, or records the total the request needs at least and fails.
class Reader {
public:
    Reader(const uint8_t* data, size_t length) : m_data(data), m_length(length) {}

    bool Need(size_t count)
    {
        if (m_length - m_pos >= count)
            return true;
        m_needed = m_pos + count;
        return false;
    }
    size_t Offset() const { return m_pos; }
    bool U8(uint8_t* out)
    {
        if (!Need(1))
            return false;
        *out = m_data[m_pos++];
        return true;
    }
    bool U16(uint16_t* out)
    {
        if (!Need(2))
            return false;
        *out = static_cast<uint16_t>(m_data[m_pos] | m_data[m_pos + 1] << 8);
        m_pos += 2;
        return true;
    }
    bool U32(uint32_t* out)
    {
        if (!Need(4))
            return false;
        *out = static_cast<uint32_t>(m_data[m_pos]) | static_cast<uint32_t>(m_data[m_pos + 1]) << 8 |
               static_cast<uint32_t>(m_data[m_pos + 2]) << 16 | static_cast<uint32_t>(m_data[m_pos + 3]) << 24;
        m_pos += 4;
        return true;
    }
    bool Bytes(size_t count, const uint8_t** out)
    {
        if (!Need(count))
            return false;
        *out = m_data + m_pos;
        m_pos += count;
        return true;
    }
    size_t Pos() const { return m_pos; }
    size_t Needed() const { return m_needed; }

private:
    const uint8_t* m_data;
    size_t m_length;
    size_t m_pos = 0;
    size_t m_needed = 0;
};

enum class Step { Ok, More, Invalid };

// A text whose bytes may contain NUL: where a reader fills a fixed buffer the
// text ends at its first NUL, so one rule is what comes before it.
std::string TextUpToNul(const uint8_t* bytes, size_t length)
{
    const void* nul = memchr(bytes, 0, length);
    size_t n = nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - bytes) : length;
    return std::string(reinterpret_cast<const char*>(bytes), n);
}

// u32 length, then that many bytes; a length over `limit` is refused.
Step Text(Reader* r, uint32_t limit, std::string* out)
{
    uint32_t length;
    if (!r->U32(&length))
        return Step::More;
    if (length > limit)
        return Step::Invalid;
    const uint8_t* bytes;
    if (!r->Bytes(length, &bytes))
        return Step::More;
    *out = TextUpToNul(bytes, length);
    return Step::Ok;
}

// u8 mode, u32 n, n texts; `skipEmpty` leaves out texts of length 0.
Step RuleList(Reader* r, uint8_t* mode, std::vector<std::string>* rules, bool skipEmpty)
{
    uint32_t count;
    if (!r->U8(mode) || !r->U32(&count))
        return Step::More;
    if (count > CORE_COUNT_LIMIT)
        return Step::Invalid;
    rules->clear();
    for (uint32_t i = 0; i < count; i++) {
        std::string text;
        Step step = Text(r, CORE_TEXT_LIMIT, &text);
        if (step != Step::Ok)
            return step;
        if (!(skipEmpty && text.empty()))
            rules->push_back(std::move(text));
    }
    return Step::Ok;
}

// Policy rules are read one by one: a text over CORE_POLICY_TEXT_LIMIT ends
// the reading at its length (its rule is dropped, nothing after it is read),
// and so does a list that breaks off after its count; the rules read whole
// so far are applied.
Step PolicyRules(Reader* r, ControlRequest* request)
{
    uint32_t count;
    if (!r->U8(&request->selector) || !r->U8(&request->mode) || !r->U32(&count))
        return Step::More;
    if (count > CORE_COUNT_LIMIT)
        return Step::Invalid;
    request->policyRules.clear();
    request->partialList = true;
    for (uint32_t i = 0; i < count; i++) {
        DevicePolicyRule rule;
        if (!r->U32(&rule.flags) || !r->U16(&rule.vendorId) || !r->U16(&rule.productId) ||
            !r->U8(&rule.deviceClass) || !r->U8(&rule.subClass) || !r->U8(&rule.protocol))
            return Step::More;
        for (std::string* text : {&rule.port, &rule.serial, &rule.name}) {
            uint32_t length;
            if (!r->U32(&length))
                return Step::More;
            if (length > CORE_POLICY_TEXT_LIMIT)
                return Step::Ok;
            const uint8_t* bytes;
            if (!r->Bytes(length, &bytes))
                return Step::More;
            *text = TextUpToNul(bytes, length);
        }
        request->policyRules.push_back(std::move(rule));
    }
    return Step::Ok;
}

Step Address(Reader* r, ADDRESS* out)
{
    uint32_t length;
    if (!r->U32(&length))
        return Step::More;
    if (length != 4 && length != 16)
        return Step::Invalid;
    const uint8_t* bytes;
    if (!r->Bytes(length, &bytes))
        return Step::More;
    if (length == 4) {
        in_addr v4;
        memcpy(&v4, bytes, 4);
        *out = ADDRESS(&v4);
    } else {
        in6_addr v6;
        memcpy(&v6, bytes, 16);
        *out = ADDRESS(&v6, 0);
    }
    return Step::Ok;
}

Step ParseArguments(Reader* r, ControlRequest* q)
{
    auto all = [](std::initializer_list<bool> reads) {
        for (bool ok : reads)
            if (!ok)
                return Step::More;
        return Step::Ok;
    };
    switch (q->code) {
    case CORE_REQ_GET_SNAPSHOT:
    case CORE_REQ_GET_STARTUP_STATE:
    case CORE_REQ_GET_IP_FILTERS:
    case CORE_REQ_GET_VERSION:
        return Step::Ok;
    case CORE_REQ_SHARE_DEVICE:
    case CORE_REQ_UNSHARE_DEVICE:
    case CORE_REQ_DISCONNECT_DEVICE:
    case CORE_REQ_GET_DEVICE_ACL:
    case CORE_REQ_GET_DEVICE_DATA:
        return r->U32(&q->deviceId) ? Step::Ok : Step::More;
    case CORE_REQ_SET_TCP_PORT:
    case CORE_REQ_REMOVE_CALLBACK:
    case CORE_REQ_REGISTER_NOTIFY_QUEUE:
    case CORE_REQ_UNREGISTER_NOTIFY_QUEUE:
        return r->U32(&q->value) ? Step::Ok : Step::More;
    case CORE_REQ_SET_DEVICE_TIMEOUT:
    case CORE_REQ_SET_DEVICE_RESET_METHOD:
    case CORE_REQ_CONNECT_DEVICE:
        return all({r->U32(&q->deviceId), r->U32(&q->value)});
    case CORE_REQ_SET_DEVICE_NICKNAME: {
        uint32_t length = 0;
        Step step = all({r->U32(&q->serverId), r->U32(&q->deviceId), r->U32(&length)});
        if (step != Step::Ok)
            return step;
        // Only the first 255 bytes are read; the rest stays unread.
        const uint8_t* bytes;
        if (!r->Bytes(length < CORE_NICKNAME_LIMIT ? length : CORE_NICKNAME_LIMIT, &bytes))
            return Step::More;
        q->text = TextUpToNul(bytes, length < CORE_NICKNAME_LIMIT ? length : CORE_NICKNAME_LIMIT);
        return Step::Ok;
    }
    case CORE_REQ_SET_IP_FILTERS:
        return RuleList(r, &q->mode, &q->rules, false);
    case CORE_REQ_SET_DEVICE_ACL: {
        if (!r->U32(&q->deviceId))
            return Step::More;
        Step step = RuleList(r, &q->mode, &q->rules, true);
        // From the count on, a list that breaks off is applied with the
        // rules read whole so far.
        q->partialList = step == Step::More && r->Offset() >= 13;
        return step;
    }
    case CORE_REQ_ADD_CALLBACK: {
        Step step = Text(r, CORE_CALLBACK_ADDRESS_LIMIT - 1, &q->text);
        if (step != Step::Ok)
            return step;
        return all({r->U16(&q->port), r->U32(&q->kind)});
    }
    case CORE_REQ_SET_LISTEN_ADDRESS:
        return Address(r, &q->address);
    case CORE_REQ_SHARE_DEVICE_EX:
        return all({r->U32(&q->serverId), r->U32(&q->deviceId), r->U32(&q->value)});
    case CORE_REQ_SET_AUTO_SHARE_MODE:
        return all({r->U32(&q->serverId), r->U32(&q->value)});
    case CORE_REQ_GET_DEVICE_INSTANCE_ID:
    case CORE_REQ_ADD_EXCLUSION:
    case CORE_REQ_REMOVE_EXCLUSION:
        return all({r->U32(&q->serverId), r->U32(&q->deviceId)});
    case CORE_REQ_SET_OBJECT_FLAGS: {
        uint32_t ignored = 0;
        return all({r->U32(&q->deviceId), r->U32(&ignored), r->U32(&q->value)});
    }
    case CORE_REQ_GET_DEVICE_POLICY:
        return r->U8(&q->selector) ? Step::Ok : Step::More;
    case CORE_REQ_SET_DEVICE_POLICY:
        return PolicyRules(r, q);
    default:
        return Step::Ok;
    }
}

bool IsKnown(uint32_t code)
{
    switch (code) {
    case CORE_REQ_GET_SNAPSHOT:
    case CORE_REQ_SHARE_DEVICE:
    case CORE_REQ_UNSHARE_DEVICE:
    case CORE_REQ_SET_TCP_PORT:
    case CORE_REQ_GET_STARTUP_STATE:
    case CORE_REQ_SET_DEVICE_TIMEOUT:
    case CORE_REQ_SET_DEVICE_NICKNAME:
    case CORE_REQ_GET_IP_FILTERS:
    case CORE_REQ_SET_IP_FILTERS:
    case CORE_REQ_CONNECT_DEVICE:
    case CORE_REQ_DISCONNECT_DEVICE:
    case CORE_REQ_ADD_CALLBACK:
    case CORE_REQ_REMOVE_CALLBACK:
    case CORE_REQ_SET_LISTEN_ADDRESS:
    case CORE_REQ_SET_DEVICE_RESET_METHOD:
    case CORE_REQ_GET_DEVICE_ACL:
    case CORE_REQ_SET_DEVICE_ACL:
    case CORE_REQ_GET_DEVICE_DATA:
    case CORE_REQ_SHARE_DEVICE_EX:
    case CORE_REQ_SET_AUTO_SHARE_MODE:
    case CORE_REQ_GET_DEVICE_INSTANCE_ID:
    case CORE_REQ_ADD_EXCLUSION:
    case CORE_REQ_REMOVE_EXCLUSION:
    case CORE_REQ_SET_OBJECT_FLAGS:
    case CORE_REQ_GET_VERSION:
    case CORE_REQ_REGISTER_NOTIFY_QUEUE:
    case CORE_REQ_UNREGISTER_NOTIFY_QUEUE:
    case CORE_REQ_GET_DEVICE_POLICY:
    case CORE_REQ_SET_DEVICE_POLICY:
        return true;
    default:
        return false;
    }
}

} // namespace

ControlParseResult ParseControlRequest(const uint8_t* data, size_t length, ControlRequest* request)
{
    ControlParseResult result;
    *request = ControlRequest();
    Reader reader(data, length);
    if (!reader.U32(&request->code)) {
        result.needed = reader.Needed();
        return result;
    }
    request->known = IsKnown(request->code);
    switch (ParseArguments(&reader, request)) {
    case Step::Ok:
        result.status = ControlParse::Complete;
        result.used = reader.Pos();
        result.needed = reader.Pos();
        break;
    case Step::More:
        result.status = ControlParse::NeedMore;
        result.needed = reader.Needed();
        break;
    case Step::Invalid:
        result.status = ControlParse::Invalid;
        result.needed = 0;
        break;
    }
    return result;
}
