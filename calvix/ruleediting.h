// Client-side editing of the daemon's rule lists: read the whole list,
// change it in memory, write the whole list back. A rule's key is its text
// before the first '(' without trailing spaces; the rest is a comment, and
// two rules with the same key are the same rule.
//
// Each editing routine returns a bool; false leaves the API's last error
// set (8 out of memory, 87 unusable rule text, 2 rule not found). A rule to
// add that exists already leaves 1247 and counts as success.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "calvix/apirecords.h"

// Rule lists are multi-strings: zero-terminated texts ended by an empty one.
size_t RuleKeyLength(const char* text, size_t* fullLength);
const char* FindRuleByKey(const char* list, const char* key, size_t keyLength);
const char* NthRule(const char* list, int n);
bool RemoveRuleByKey(char* list, const char* key, size_t keyLength);
bool RemoveRuleByIndex(char* list, int n);

bool SetIpFilterMode(int mode);
bool AddIpFilter(const std::string& text);
bool RemoveIpFilter(int index, const std::string& text);
bool RemoveAllIpFilters();

bool SetAclMode(uint32_t device, int mode);
bool AddAclRule(uint32_t device, const std::string& text);
bool RemoveAclRule(uint32_t device, int index, const std::string& text);
bool RemoveAllAclRules(uint32_t device);

// Criteria: -1 (or an empty text) means not given. index -1 searches by
// criteria and name, otherwise only the rule at that index is tried.
const API_POLICY_RULE* FindPolicyRule(const API_POLICY_RULE* records, size_t byteSize, int index, int vendorId,
                                      int productId, int deviceClass, int subclass, int protocol,
                                      const std::string& serial, const std::string& usbPort, const std::string& name);
bool SetDevicePolicyMode(int mode);
bool AddDevicePolicyRule(int vendorId, int productId, int deviceClass, int subclass, int protocol,
                         const std::string& serial, const std::string& usbPort, const std::string& name);
bool RemoveDevicePolicyRule(int index, int vendorId, int productId, int deviceClass, int subclass, int protocol,
                            const std::string& serial, const std::string& usbPort, const std::string& name);
bool RemoveAllDevicePolicyRules();
