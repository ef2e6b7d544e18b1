#include "calvix/ruleediting.h"

#include <cstring>
#include <vector>

#include "calvix/api.h"
#include "calvix/controlwire.h"
#include "calvix/listreader.h"

namespace {

void SetError(uint32_t code, uint32_t line)
{
    ApiSetLastError(code, static_cast<uint32_t>(MODULE_CLIENTAPI) << 16 | line);
}

// End of a multi-string: the address of its closing empty text.
char* ListEnd(char* list)
{
    while (*list)
        list += strlen(list) + 1;
    return list;
}

// Removes the rule at rule by moving the following rules and the closing
// empty text down.
void RemoveAt(char* rule)
{
    char* next = rule + strlen(rule) + 1;
    char* end = ListEnd(next);
    memmove(rule, next, static_cast<size_t>(end - next) + 1);
}

// A rule list of the daemon (IP filters, or the ACL of one device): read
// with its mode, and written back whole.
class CRuleList {
public:
    explicit CRuleList(const uint32_t* device) : m_device(device) {}

    // extra: room for a rule the caller appends.
    bool Read(size_t extra)
    {
        uint32_t size = 0;
        bool read = ReadListWithRetry(
            [&](void* buffer, uint32_t* bufferSize) {
                char* text = static_cast<char*>(buffer);
                return m_device ? ApiGetDeviceAcl(*m_device, &m_mode, text, bufferSize)
                                : ApiGetIpFilters(&m_mode, text, bufferSize);
            },
            m_text, &size, extra);
        return read;
    }
    bool ReadMode()
    {
        return m_device ? ApiGetDeviceAcl(*m_device, &m_mode, nullptr, nullptr)
                        : ApiGetIpFilters(&m_mode, nullptr, nullptr);
    }
    bool Write(uint8_t mode, const char* list)
    {
        return m_device ? ApiSetDeviceAcl(*m_device, mode, list) : ApiSetIpFilters(mode, list);
    }
    bool Write() { return Write(m_mode, m_text.data()); }

    char* List() { return m_text.data(); }
    uint8_t Mode() const { return m_mode; }

private:
    const uint32_t* m_device;
    uint8_t m_mode = 0;
    std::vector<char> m_text;
};

bool SetMode(const uint32_t* device, int mode)
{
    CRuleList list(device);
    if (!list.Read(0))
        return false;
    return list.Write(static_cast<uint8_t>(mode), list.List());
}

// checkFullLength: the ACL checks the whole text, the IP filters its key.
bool AddRule(const uint32_t* device, const std::string& text, bool checkFullLength)
{
    size_t full = 0;
    size_t key = RuleKeyLength(text.c_str(), &full);
    size_t checked = checkFullLength ? full : key;
    if (checked < 1 || checked > API_MAX_RULE_INPUT || key < 1) {
        SetError(API_ERROR_INVALID_PARAMETER, __LINE__);
        return false;
    }
    CRuleList list(device);
    // Room for the text, its NUL and the new closing empty text.
    if (!list.Read(text.size() + 1))
        return false;
    if (FindRuleByKey(list.List(), text.c_str(), key)) {
        SetError(API_ERROR_ALREADY_DONE, __LINE__);
        return true;
    }
    char* end = ListEnd(list.List());
    memcpy(end, text.c_str(), text.size() + 1);
    end[text.size() + 1] = '\0';
    return list.Write();
}

bool RemoveRule(const uint32_t* device, int index, const std::string& text, bool checkFullLength)
{
    size_t full = 0;
    size_t key = RuleKeyLength(text.c_str(), &full);
    if (index == -1) {
        size_t checked = checkFullLength ? full : key;
        if (checked < 1 || checked > API_MAX_RULE_INPUT || key < 1) {
            SetError(API_ERROR_INVALID_PARAMETER, __LINE__);
            return false;
        }
    }
    CRuleList list(device);
    if (!list.Read(0))
        return false;
    bool removed = index == -1 ? RemoveRuleByKey(list.List(), text.c_str(), key) : RemoveRuleByIndex(list.List(), index);
    if (!removed) {
        SetError(API_ERROR_FILE_NOT_FOUND, __LINE__);
        return false;
    }
    return list.Write();
}

bool RemoveAll(const uint32_t* device)
{
    CRuleList list(device);
    if (!list.ReadMode())
        return false;
    return list.Write(list.Mode(), "");
}

} // namespace

size_t RuleKeyLength(const char* text, size_t* fullLength)
{
    size_t full = strlen(text);
    if (fullLength)
        *fullLength = full;
    const char* open = strchr(text, '(');
    size_t key = open ? static_cast<size_t>(open - text) : full;
    while (key > 0 && text[key - 1] == ' ')
        --key;
    return key;
}

const char* FindRuleByKey(const char* list, const char* key, size_t keyLength)
{
    for (const char* rule = list; *rule; rule += strlen(rule) + 1) {
        if (strncmp(rule, key, keyLength) != 0 || strlen(rule) < keyLength)
            continue;
        const char* rest = rule + keyLength;
        while (*rest == ' ')
            ++rest;
        if (*rest == '(' || *rest == '\0')
            return rule;
    }
    return nullptr;
}

const char* NthRule(const char* list, int n)
{
    if (n < 0)
        return nullptr;
    const char* rule = list;
    for (int i = 0; *rule; rule += strlen(rule) + 1, ++i) {
        if (i == n)
            return rule;
    }
    return nullptr;
}

bool RemoveRuleByKey(char* list, const char* key, size_t keyLength)
{
    char* rule = const_cast<char*>(FindRuleByKey(list, key, keyLength));
    if (!rule)
        return false;
    RemoveAt(rule);
    return true;
}

bool RemoveRuleByIndex(char* list, int n)
{
    char* rule = const_cast<char*>(NthRule(list, n));
    if (!rule)
        return false;
    RemoveAt(rule);
    return true;
}

bool SetIpFilterMode(int mode)
{
    return SetMode(nullptr, mode);
}

bool AddIpFilter(const std::string& text)
{
    return AddRule(nullptr, text, false);
}

bool RemoveIpFilter(int index, const std::string& text)
{
    return RemoveRule(nullptr, index, text, false);
}

bool RemoveAllIpFilters()
{
    return RemoveAll(nullptr);
}

bool SetAclMode(uint32_t device, int mode)
{
    return SetMode(&device, mode);
}

bool AddAclRule(uint32_t device, const std::string& text)
{
    return AddRule(&device, text, true);
}

bool RemoveAclRule(uint32_t device, int index, const std::string& text)
{
    return RemoveRule(&device, index, text, true);
}

bool RemoveAllAclRules(uint32_t device)
{
    return RemoveAll(&device);
}

// Device policy.

namespace {

uint32_t CriteriaFlags(int vendorId, int productId, int deviceClass, int subclass, int protocol,
                       const std::string& serial, const std::string& usbPort)
{
    uint32_t flags = 0;
    if (vendorId != -1)
        flags |= POLICY_MATCH_VENDOR;
    if (productId != -1)
        flags |= POLICY_MATCH_PRODUCT;
    if (deviceClass != -1)
        flags |= POLICY_MATCH_CLASS;
    if (subclass != -1)
        flags |= POLICY_MATCH_SUBCLASS;
    if (protocol != -1)
        flags |= POLICY_MATCH_PROTOCOL;
    if (!usbPort.empty())
        flags |= POLICY_MATCH_PORT;
    if (!serial.empty())
        flags |= POLICY_MATCH_SERIAL;
    return flags;
}

void CopyField(char (&field)[256], const std::string& text)
{
    size_t take = std::min<size_t>(text.size(), sizeof(field) - 1);
    memcpy(field, text.data(), take);
    field[take] = '\0';
}

struct PolicyList {
    uint8_t mode = 0;
    std::vector<API_POLICY_RULE> rules;
    uint32_t size = 0;

    bool Read(size_t extraRules)
    {
        return ReadListWithRetry(
            [&](void* buffer, uint32_t* bufferSize) {
                return ApiGetDevicePolicy(&mode, static_cast<API_POLICY_RULE*>(buffer), bufferSize);
            },
            rules, &size, extraRules * sizeof(API_POLICY_RULE));
    }
};

} // namespace

const API_POLICY_RULE* FindPolicyRule(const API_POLICY_RULE* records, size_t byteSize, int index, int vendorId,
                                      int productId, int deviceClass, int subclass, int protocol,
                                      const std::string& serial, const std::string& usbPort, const std::string& name)
{
    size_t count = byteSize / sizeof(API_POLICY_RULE);
    uint32_t criteria = CriteriaFlags(vendorId, productId, deviceClass, subclass, protocol, serial, usbPort);
    size_t first = 0;
    size_t last = count;
    if (index != -1) {
        if (index < 0 || static_cast<size_t>(index) >= count)
            return nullptr;
        first = static_cast<size_t>(index);
        last = first + 1;
    }
    for (size_t i = first; i < last; ++i) {
        const API_POLICY_RULE& rule = records[i];
        if (criteria != 0) {
            if (rule.flags != criteria)
                continue;
            if (vendorId != -1 && rule.vendorId != static_cast<uint16_t>(vendorId))
                continue;
            if (productId != -1 && rule.productId != static_cast<uint16_t>(productId))
                continue;
            if (deviceClass != -1 && rule.deviceClass != static_cast<uint8_t>(deviceClass))
                continue;
            if (subclass != -1 && rule.deviceSubclass != static_cast<uint8_t>(subclass))
                continue;
            if (protocol != -1 && rule.deviceProtocol != static_cast<uint8_t>(protocol))
                continue;
            if (!usbPort.empty() && usbPort != rule.usbPort)
                continue;
            if (!serial.empty() && serial != rule.serial)
                continue;
        }
        if (name.empty() || name == rule.name)
            return &rule;
    }
    return nullptr;
}

bool SetDevicePolicyMode(int mode)
{
    PolicyList policy;
    if (!policy.Read(0))
        return false;
    return ApiSetDevicePolicy(static_cast<uint8_t>(mode), policy.rules.data(), policy.size);
}

bool AddDevicePolicyRule(int vendorId, int productId, int deviceClass, int subclass, int protocol,
                         const std::string& serial, const std::string& usbPort, const std::string& name)
{
    PolicyList policy;
    if (!policy.Read(1))
        return false;
    if (FindPolicyRule(policy.rules.data(), policy.size, -1, vendorId, productId, deviceClass, subclass, protocol,
                       serial, usbPort, "")) {
        SetError(API_ERROR_ALREADY_DONE, __LINE__);
        return true;
    }
    API_POLICY_RULE& rule = policy.rules[policy.size / sizeof(API_POLICY_RULE)];
    memset(&rule, 0, sizeof(rule));
    rule.flags = CriteriaFlags(vendorId, productId, deviceClass, subclass, protocol, serial, usbPort);
    rule.vendorId = static_cast<uint16_t>(vendorId);
    rule.productId = static_cast<uint16_t>(productId);
    rule.deviceClass = static_cast<uint8_t>(deviceClass);
    rule.deviceSubclass = static_cast<uint8_t>(subclass);
    rule.deviceProtocol = static_cast<uint8_t>(protocol);
    if (vendorId == -1)
        rule.vendorId = 0;
    if (productId == -1)
        rule.productId = 0;
    if (deviceClass == -1)
        rule.deviceClass = 0;
    if (subclass == -1)
        rule.deviceSubclass = 0;
    if (protocol == -1)
        rule.deviceProtocol = 0;
    CopyField(rule.usbPort, usbPort);
    CopyField(rule.serial, serial);
    CopyField(rule.name, name);
    return ApiSetDevicePolicy(policy.mode, policy.rules.data(), policy.size + sizeof(API_POLICY_RULE));
}

bool RemoveDevicePolicyRule(int index, int vendorId, int productId, int deviceClass, int subclass, int protocol,
                            const std::string& serial, const std::string& usbPort, const std::string& name)
{
    PolicyList policy;
    if (!policy.Read(0))
        return false;
    const API_POLICY_RULE* rule = FindPolicyRule(policy.rules.data(), policy.size, index, vendorId, productId,
                                                 deviceClass, subclass, protocol, serial, usbPort, name);
    if (!rule) {
        SetError(API_ERROR_FILE_NOT_FOUND, __LINE__);
        return false;
    }
    size_t at = static_cast<size_t>(rule - policy.rules.data());
    size_t count = policy.size / sizeof(API_POLICY_RULE);
    policy.rules.erase(policy.rules.begin() + static_cast<std::ptrdiff_t>(at));
    return ApiSetDevicePolicy(policy.mode, policy.rules.data(),
                              static_cast<uint32_t>((count - 1) * sizeof(API_POLICY_RULE)));
}

bool RemoveAllDevicePolicyRules()
{
    uint8_t mode = 0;
    if (!ApiGetDevicePolicy(&mode, nullptr, nullptr))
        return false;
    return ApiSetDevicePolicy(mode, nullptr, 0);
}
