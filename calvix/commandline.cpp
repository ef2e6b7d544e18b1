#include "calvix/commandline.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "sys/thread"

namespace {

// Largest number any field takes: the fields are ints in which -1 means "not
// given", so 0xFFFFFFFF and everything above INT_MAX would wrap to a
// different meaning.
constexpr unsigned long kMaxField = INT_MAX;

// What an option does with the words after it.
enum class Kind {
  Device,             // [device]
  Address,            // [address]; bad: syntax error
  RemoveServer,       // [number to objectId, else address]
  CloseCallback,      // ["all" | number to objectId | address]
  ConnectTo,          // [id pair only]
  Disconnect,         // ["all" | device]
  DisconnectFrom,     // ["all" | device id or name]
  OnOff,              // on/off word required
  OnOffThenIds,       // on/off word required, then [id pair or number]
  OnOffThenDigits,    // on/off word required, then [digits to objectId]
  None,               // no argument
  File,               // [text to file]
  TcpPort,            // [decimal number to port]
  ResetMethod,        // [reset method word], then [device]
  Nickname,           // [text], then [device]
  Timeout,            // [decimal seconds], then [device]
  Hex,                // [hexadecimal to a field]
  Text,               // [text to a field]
  Digits,             // [digits to a field]
  AddressField,       // [address], no action
  Silent,             // skips the next word, whatever it is
  AddAcl,             // [rule text], then [device]
  RemoveAcl,          // ["all" | id pair | rule text], then [device]
  ModeThenDevice,     // [mode word], then [device]
  RuleText,           // [rule text or name]
  RemoveRule,         // ["all" | digits to ruleId | rule text]
  Mode,               // [mode word]
  List,               // ["devices" | "clients"], taken even when it looks like an option
  Ids,                // [id pair or number]
};

constexpr int kUnchanged = -1;

struct Option {
  const char* word;
  Kind kind;
  int action;     // kUnchanged for identifier options
  int altAction;  // the "all" or "off" form
  int ParsedCommand::*intField = nullptr;
  std::string ParsedCommand::*textField = nullptr;
  unsigned long maxValue = kMaxField;
};

// Matching order matters only in that the first match wins; the words are
// compared exactly and case-sensitively, with no abbreviations.
const Option kOptions[] = {
    {"-share", Kind::Device, ACTION_SHARE, 0},
    {"-s", Kind::Device, ACTION_SHARE, 0},
    {"-unshare", Kind::Device, ACTION_UNSHARE, 0},
    {"-t", Kind::Device, ACTION_UNSHARE, 0},
    {"-add-server", Kind::Address, ACTION_ADD_SERVER, 0},
    {"-addserver", Kind::Address, ACTION_ADD_SERVER, 0},
    {"-a", Kind::Address, ACTION_ADD_SERVER, 0},
    {"-remove-server", Kind::RemoveServer, ACTION_REMOVE_SERVER, 0},
    {"-remserver", Kind::RemoveServer, ACTION_REMOVE_SERVER, 0},
    {"-r", Kind::RemoveServer, ACTION_REMOVE_SERVER, 0},
    {"-create-callback", Kind::Address, ACTION_CREATE_CALLBACK, 0},
    {"-createcallback", Kind::Address, ACTION_CREATE_CALLBACK, 0},
    {"-close-callback", Kind::CloseCallback, ACTION_CLOSE_CALLBACK, ACTION_CLOSE_ALL_CALLBACKS},
    {"-closecallback", Kind::CloseCallback, ACTION_CLOSE_CALLBACK, ACTION_CLOSE_ALL_CALLBACKS},
    {"-connect", Kind::Device, ACTION_CONNECT, 0},
    {"-c", Kind::Device, ACTION_CONNECT, 0},
    {"-connect-to", Kind::ConnectTo, ACTION_CONNECT_TO, 0},
    {"-connectto", Kind::ConnectTo, ACTION_CONNECT_TO, 0},
    {"-disconnect", Kind::Disconnect, ACTION_DISCONNECT, ACTION_DISCONNECT_WORD_ALL},
    {"-u", Kind::Disconnect, ACTION_DISCONNECT, ACTION_DISCONNECT_WORD_ALL},
    {"-disconnect-from", Kind::DisconnectFrom, ACTION_DISCONNECT_FROM, ACTION_DISCONNECT_ALL},
    {"-disconnectfrom", Kind::DisconnectFrom, ACTION_DISCONNECT_FROM, ACTION_DISCONNECT_ALL},
    {"-add-exclusion", Kind::Device, ACTION_ADD_EXCLUSION, 0},
    {"-addexclude", Kind::Device, ACTION_ADD_EXCLUSION, 0},
    {"-remove-exclusion", Kind::Device, ACTION_REMOVE_EXCLUSION, 0},
    {"-remexclude", Kind::Device, ACTION_REMOVE_EXCLUSION, 0},
    {"-auto-share", Kind::OnOff, ACTION_AUTO_SHARE_ON, ACTION_AUTO_SHARE_OFF},
    {"-autoshare", Kind::OnOff, ACTION_AUTO_SHARE_ON, ACTION_AUTO_SHARE_OFF},
    {"-auto-connect", Kind::OnOffThenIds, ACTION_AUTO_CONNECT_ON, ACTION_AUTO_CONNECT_OFF},
    {"-autoconnect", Kind::OnOffThenIds, ACTION_AUTO_CONNECT_ON, ACTION_AUTO_CONNECT_OFF},
    {"-list-devices", Kind::None, ACTION_LIST_DEVICES, 0},
    {"-l", Kind::None, ACTION_LIST_DEVICES, 0},
    {"-list-local-devices", Kind::None, ACTION_LIST_LOCAL_DEVICES, 0},
    {"-list-remote-devices", Kind::None, ACTION_LIST_REMOTE_DEVICES, 0},
    {"-list-clients", Kind::None, ACTION_LIST_CLIENTS, 0},
    {"-list-device-policy", Kind::None, ACTION_LIST_DEVICE_POLICY, 0},
    {"-list-client-device-policy", Kind::None, ACTION_LIST_CLIENT_DEVICE_POLICY, 0},
    {"-list-server-device-policy", Kind::None, ACTION_LIST_SERVER_DEVICE_POLICY, 0},
    {"-list-ip-filters", Kind::None, ACTION_LIST_IP_FILTERS, 0},
    {"-list-acl", Kind::Device, ACTION_LIST_ACL, 0},
    {"-file", Kind::File, kUnchanged, 0},
    {"-help", Kind::None, ACTION_HELP, 0},
    {"-?", Kind::None, ACTION_HELP, 0},
    {"-h", Kind::None, ACTION_HELP, 0},
    {"-info", Kind::None, ACTION_INFO, 0},
    {"-i", Kind::None, ACTION_INFO, 0},
    {"-set-tcp-port", Kind::TcpPort, ACTION_SET_TCP_PORT, 0},
    {"-settcpport", Kind::TcpPort, ACTION_SET_TCP_PORT, 0},
    {"-n", Kind::TcpPort, ACTION_SET_TCP_PORT, 0},
    {"-network", Kind::TcpPort, ACTION_SET_TCP_PORT, 0},
    {"-set-reset-method", Kind::ResetMethod, ACTION_SET_RESET_METHOD, 0},
    {"-resetmethod", Kind::ResetMethod, ACTION_SET_RESET_METHOD, 0},
    {"-set-nickname", Kind::Nickname, ACTION_SET_NICKNAME, 0},
    {"-nickname", Kind::Nickname, ACTION_SET_NICKNAME, 0},
    {"-set-timeout", Kind::Timeout, ACTION_SET_TIMEOUT, 0},
    {"-timeout", Kind::Timeout, ACTION_SET_TIMEOUT, 0},
    {"-vid", Kind::Hex, kUnchanged, 0, &ParsedCommand::vendorId},
    {"-pid", Kind::Hex, kUnchanged, 0, &ParsedCommand::productId},
    {"-class", Kind::Hex, kUnchanged, 0, &ParsedCommand::deviceClass},
    {"-subclass", Kind::Hex, kUnchanged, 0, &ParsedCommand::deviceSubclass},
    {"-protocol", Kind::Hex, kUnchanged, 0, &ParsedCommand::deviceProtocol},
    {"-serial", Kind::Text, kUnchanged, 0, nullptr, &ParsedCommand::serial},
    {"-usb-port", Kind::Text, kUnchanged, 0, nullptr, &ParsedCommand::usbPort},
    {"-usbport", Kind::Text, kUnchanged, 0, nullptr, &ParsedCommand::usbPort},
    {"-busid", Kind::Text, kUnchanged, 0, nullptr, &ParsedCommand::usbPort},
    {"-d", Kind::Text, kUnchanged, 0, nullptr, &ParsedCommand::usbPort},
    {"-name", Kind::Text, kUnchanged, 0, nullptr, &ParsedCommand::text},
    {"-device-name", Kind::Text, kUnchanged, 0, nullptr, &ParsedCommand::deviceName},
    {"-devname", Kind::Text, kUnchanged, 0, nullptr, &ParsedCommand::deviceName},
    {"-deviceid", Kind::Digits, kUnchanged, 0, &ParsedCommand::deviceId},
    {"-serverid", Kind::Digits, kUnchanged, 0, &ParsedCommand::objectId},
    {"-clientid", Kind::Digits, kUnchanged, 0, &ParsedCommand::objectId},
    {"-callbackid", Kind::Digits, kUnchanged, 0, &ParsedCommand::objectId},
    {"-ruleid", Kind::Digits, kUnchanged, 0, &ParsedCommand::ruleId},
    {"-server", Kind::AddressField, kUnchanged, 0},
    {"-client", Kind::AddressField, kUnchanged, 0},
    {"-silent", Kind::Silent, kUnchanged, 0},
    {"-version", Kind::None, ACTION_VERSION, 0},
    {"-remote-auto-connect", Kind::OnOffThenDigits, ACTION_REMOTE_AUTO_CONNECT_ON, ACTION_REMOTE_AUTO_CONNECT_OFF},
    {"-remoteautoconnect", Kind::OnOffThenDigits, ACTION_REMOTE_AUTO_CONNECT_ON, ACTION_REMOTE_AUTO_CONNECT_OFF},
    {"-pnp-instance-id", Kind::Device, ACTION_PNP_INSTANCE_ID, 0},
    {"-pnpinstanceid", Kind::Device, ACTION_PNP_INSTANCE_ID, 0},
    {"-add-acl", Kind::AddAcl, ACTION_ADD_ACL, 0},
    {"-remove-acl", Kind::RemoveAcl, ACTION_REMOVE_ACL, ACTION_REMOVE_ALL_ACL},
    {"-set-acl-mode", Kind::ModeThenDevice, ACTION_SET_ACL_MODE, 0},
    {"-add-ip-filter", Kind::RuleText, ACTION_ADD_IP_FILTER, 0},
    {"-remove-ip-filter", Kind::RemoveRule, ACTION_REMOVE_IP_FILTER, ACTION_REMOVE_ALL_IP_FILTERS},
    {"-set-ip-filters-mode", Kind::Mode, ACTION_SET_IP_FILTERS_MODE, 0},
    {"-add-device-policy-rule", Kind::RuleText, ACTION_ADD_DEVICE_POLICY_RULE, 0},
    {"-add-server-device-policy-rule", Kind::RuleText, ACTION_ADD_SERVER_DEVICE_POLICY_RULE, 0},
    {"-add-client-device-policy-rule", Kind::RuleText, ACTION_ADD_CLIENT_DEVICE_POLICY_RULE, 0},
    {"-remove-device-policy-rule", Kind::RemoveRule, ACTION_REMOVE_DEVICE_POLICY_RULE,
     ACTION_REMOVE_ALL_DEVICE_POLICY_RULES},
    {"-remove-server-device-policy-rule", Kind::RemoveRule, ACTION_REMOVE_SERVER_DEVICE_POLICY_RULE,
     ACTION_REMOVE_ALL_SERVER_DEVICE_POLICY_RULES},
    {"-remove-client-device-policy-rule", Kind::RemoveRule, ACTION_REMOVE_CLIENT_DEVICE_POLICY_RULE,
     ACTION_REMOVE_ALL_CLIENT_DEVICE_POLICY_RULES},
    {"-set-device-policy-mode", Kind::Mode, ACTION_SET_DEVICE_POLICY_MODE, 0},
    {"-set-server-device-policy-mode", Kind::Mode, ACTION_SET_SERVER_DEVICE_POLICY_MODE, 0},
    {"-set-client-device-policy-mode", Kind::Mode, ACTION_SET_CLIENT_DEVICE_POLICY_MODE, 0},
    {"-list", Kind::List, ACTION_LIST_DEVICES, 0},
    {"-autoshareon", Kind::None, ACTION_AUTO_SHARE_ON, 0},
    {"-autoshareoff", Kind::None, ACTION_AUTO_SHARE_OFF, 0},
    {"-autoconnecton", Kind::Ids, ACTION_AUTO_CONNECT_ON, 0},
    {"-autoconnectoff", Kind::Ids, ACTION_AUTO_CONNECT_OFF, 0},
    {"-conclients", Kind::None, ACTION_LIST_CLIENTS, 0},
    {"-clients", Kind::None, ACTION_LIST_CLIENTS, 0},
    {"-listclients", Kind::None, ACTION_LIST_CLIENTS, 0},
};

const Option* FindOption(const char* word) {
  for (const Option& option : kOptions) {
    if (std::strcmp(option.word, word) == 0) {
      return &option;
    }
  }
  return nullptr;
}

bool IsAllDigits(const char* word) {
  if (*word == '\0') {
    return false;
  }
  for (const char* p = word; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') {
      return false;
    }
  }
  return true;
}

// Digits, exactly one '-', digits on both sides: a word of this shape can
// only mean an id pair, so a pair that does not fit is a syntax error rather
// than a device name.
bool HasIdPairShape(const char* word) {
  const char* dash = std::strchr(word, '-');
  if (dash == nullptr || dash == word || dash[1] == '\0' || std::strchr(dash + 1, '-') != nullptr) {
    return false;
  }
  for (const char* p = word; *p != '\0'; ++p) {
    if (p != dash && (*p < '0' || *p > '9')) {
      return false;
    }
  }
  return true;
}

int ModeWord(const char* word) {
  if (std::strcmp(word, "disabled") == 0) return 0;
  if (std::strcmp(word, "allow") == 0) return 1;
  if (std::strcmp(word, "deny") == 0) return 2;
  return -1;  // main rejects it with its own message
}

int ResetMethodWord(const char* word) {
  if (std::strcmp(word, "disabled") == 0 || std::strcmp(word, "disable") == 0) return 0;
  if (std::strcmp(word, "soft") == 0) return 1;
  if (std::strcmp(word, "hard") == 0) return 2;
  if (std::strcmp(word, "replug") == 0) return 3;
  return -1;
}

bool IsIPv6Text(const std::string& text) {
  ADDRESS address(text.c_str());
  return address.IsIPv6();
}

// One walk over the words. Each Take* routine returns false for a malformed
// argument (syntax error).
class CWordCursor {
public:
  CWordCursor(int argc, char** argv, ParsedCommand& result)
      : m_argc(argc), m_argv(argv), m_result(result) {}

  bool AtEnd() const { return m_index >= m_argc; }
  const char* Next() { return m_argv[m_index++]; }

  // The next word if there is one and it is not an option word; consumed.
  const char* TakeOptional() {
    if (m_index < m_argc && !CCommandLine::IsOptionWord(m_argv[m_index])) {
      return m_argv[m_index++];
    }
    return nullptr;
  }

  // The next word whatever it is; consumed.
  const char* TakeAny() { return m_index < m_argc ? m_argv[m_index++] : nullptr; }

  bool ApplyDevice(const char* word, bool pairAllowed) {
    if (pairAllowed && HasIdPairShape(word)) {
      return CCommandLine::ParseIdPair(word, m_result.objectId, m_result.deviceId);
    }
    if (IsAllDigits(word)) {
      return CCommandLine::ParseId(word, m_result.deviceId);
    }
    m_result.deviceName = word;
    return true;
  }

  bool TakeDevice(bool pairAllowed = true) {
    const char* word = TakeOptional();
    return word == nullptr || ApplyDevice(word, pairAllowed);
  }

  bool ApplyAddress(const char* word) {
    return CCommandLine::ParseAddress(word, m_result.address, m_result.port, m_result.transportKind);
  }

  // Id pair to (objectId, deviceId) or a number to objectId.
  bool ApplyIds(const char* word) {
    if (HasIdPairShape(word)) {
      return CCommandLine::ParseIdPair(word, m_result.objectId, m_result.deviceId);
    }
    return CCommandLine::ParseId(word, m_result.objectId);
  }

  // Required on/off word, consumed even when it looks like an option.
  bool TakeOnOff(const Option& option, int& action) {
    const char* word = TakeAny();
    if (word == nullptr) {
      return false;
    }
    if (std::strcmp(word, "on") == 0) {
      action = option.action;
      return true;
    }
    if (std::strcmp(word, "off") == 0) {
      action = option.altAction;
      return true;
    }
    return false;
  }

  // Consumes the arguments of one option and tells the action it stands for
  // (kUnchanged for identifier options).
  bool Apply(const Option& option, int& action);

private:
  int m_argc;
  char** m_argv;
  int m_index = 1;
  ParsedCommand& m_result;
};

bool CWordCursor::Apply(const Option& option, int& action) {
  ParsedCommand& r = m_result;
  action = option.action;
  const char* word = nullptr;

  switch (option.kind) {
  case Kind::None:
    return true;

  case Kind::Device:
    return TakeDevice();

  case Kind::Address:
  case Kind::AddressField:
    word = TakeOptional();
    return word == nullptr || ApplyAddress(word);

  case Kind::RemoveServer:
    word = TakeOptional();
    if (word == nullptr) return true;
    if (IsAllDigits(word)) return CCommandLine::ParseId(word, r.objectId);
    return ApplyAddress(word);

  case Kind::CloseCallback:
    word = TakeOptional();
    if (word == nullptr) return true;
    if (std::strcmp(word, "all") == 0) {
      action = option.altAction;
      return true;
    }
    if (IsAllDigits(word)) return CCommandLine::ParseId(word, r.objectId);
    return ApplyAddress(word);

  case Kind::ConnectTo:
    word = TakeOptional();
    if (word == nullptr) return true;
    return CCommandLine::ParseIdPair(word, r.objectId, r.deviceId);

  case Kind::Disconnect:
  case Kind::DisconnectFrom:
    word = TakeOptional();
    if (word == nullptr) return true;
    if (std::strcmp(word, "all") == 0) {
      action = option.altAction;
      return true;
    }
    return ApplyDevice(word, option.kind == Kind::Disconnect);

  case Kind::OnOff:
    return TakeOnOff(option, action);

  case Kind::OnOffThenIds:
    if (!TakeOnOff(option, action)) return false;
    word = TakeOptional();
    return word == nullptr || ApplyIds(word);

  case Kind::OnOffThenDigits:
    if (!TakeOnOff(option, action)) return false;
    word = TakeOptional();
    return word == nullptr || CCommandLine::ParseId(word, r.objectId);

  case Kind::Ids:
    word = TakeOptional();
    return word == nullptr || ApplyIds(word);

  case Kind::File:
    if ((word = TakeOptional()) != nullptr) r.file = word;
    return true;

  case Kind::TcpPort:
    word = TakeOptional();
    return word == nullptr || CCommandLine::ParseNumber(word, 10, kMaxField, r.port);

  case Kind::ResetMethod:
    if ((word = TakeOptional()) != nullptr) r.value = ResetMethodWord(word);
    return TakeDevice();

  case Kind::Nickname:
    if ((word = TakeOptional()) != nullptr) r.text = word;
    return TakeDevice();

  case Kind::Timeout:
    word = TakeOptional();
    if (word != nullptr && !CCommandLine::ParseNumber(word, 10, kMaxField, r.value)) return false;
    return TakeDevice();

  case Kind::Hex:
    word = TakeOptional();
    return word == nullptr || CCommandLine::ParseNumber(word, 16, option.maxValue, r.*option.intField);

  case Kind::Text:
    if ((word = TakeOptional()) != nullptr) r.*option.textField = word;
    return true;

  case Kind::Digits:
    word = TakeOptional();
    return word == nullptr || CCommandLine::ParseId(word, r.*option.intField);

  case Kind::Silent:
    r.silent = true;
    TakeAny();
    return true;

  case Kind::AddAcl:
    if ((word = TakeOptional()) != nullptr) r.text = word;
    return TakeDevice();

  case Kind::RemoveAcl:
    word = TakeOptional();
    if (word != nullptr) {
      if (std::strcmp(word, "all") == 0) {
        action = option.altAction;
      } else if (HasIdPairShape(word)) {
        if (!CCommandLine::ParseIdPair(word, r.deviceId, r.ruleId)) return false;
      } else {
        r.text = word;
      }
    }
    word = TakeOptional();
    if (word == nullptr) return true;
    // The pair form already named the device; a second one is ambiguous.
    if (r.deviceId != -1) return false;
    return ApplyDevice(word, true);

  case Kind::ModeThenDevice:
    if ((word = TakeOptional()) != nullptr) r.value = ModeWord(word);
    return TakeDevice();

  case Kind::RuleText:
    if ((word = TakeOptional()) != nullptr) r.text = word;
    return true;

  case Kind::RemoveRule:
    word = TakeOptional();
    if (word == nullptr) return true;
    if (std::strcmp(word, "all") == 0) {
      action = option.altAction;
      return true;
    }
    if (IsAllDigits(word)) return CCommandLine::ParseId(word, r.ruleId);
    r.text = word;
    return true;

  case Kind::Mode:
    if ((word = TakeOptional()) != nullptr) r.value = ModeWord(word);
    return true;

  case Kind::List:
    word = TakeAny();
    if (word == nullptr) return true;
    if (std::strcmp(word, "devices") == 0) {
      action = ACTION_LIST_DEVICES;
      return true;
    }
    if (std::strcmp(word, "clients") == 0) {
      action = ACTION_LIST_CLIENTS;
      return true;
    }
    return false;
  }
  return false;
}

}  // namespace

CCommandLine::CCommandLine(int argc, char** argv) : m_argc(argc), m_argv(argv) {}

CCommandLine::~CCommandLine() = default;

void CCommandLine::Parse(ParsedCommand& result) const {
  result = ParsedCommand();
  CWordCursor cursor(m_argc, m_argv, result);
  while (!cursor.AtEnd()) {
    const Option* option = FindOption(cursor.Next());
    if (option == nullptr) {
      result.action = ACTION_UNKNOWN_WORD;
      return;
    }
    int action = kUnchanged;
    if (!cursor.Apply(*option, action)) {
      result.action = ACTION_SYNTAX_ERROR;
      return;
    }
    if (action == kUnchanged) {
      continue;
    }
    // One run performs one action; repeating the same one only lets later
    // arguments overwrite earlier ones.
    if (result.action != ACTION_NONE && result.action != action) {
      result.action = ACTION_MULTIPLE_ACTIONS;
      return;
    }
    result.action = action;
  }
}

bool CCommandLine::IsOptionWord(const char* word) {
  while (*word == ' ' || *word == '\t') {
    ++word;
  }
  return *word == '-';
}

bool CCommandLine::ParseNumber(const char* word, int base, unsigned long maxValue, int& result) {
  // strtoul skips these blanks and then takes a sign; a negative number comes
  // back wrapped to a huge unsigned value, so '-' is refused here while '+'
  // stays accepted as strtoul accepts it.
  const char* p = word;
  while (std::isspace(static_cast<unsigned char>(*p))) {
    ++p;
  }
  if (*p == '-') {
    return false;
  }
  errno = 0;
  char* end = nullptr;
  unsigned long number = std::strtoul(p, &end, base);
  if (end == p || errno == ERANGE) {
    return false;
  }
  for (; *end != '\0'; ++end) {
    if (*end != ' ' && *end != '\t' && *end != '\r' && *end != '\n') {
      return false;
    }
  }
  // unsigned long is 64 bits here: a value past 32 bits, or past what the
  // field holds, would otherwise be cut to something else entirely.
  if (number > 0xFFFFFFFFUL || number > maxValue || number > kMaxField) {
    return false;
  }
  result = static_cast<int>(number);
  return true;
}

bool CCommandLine::ParseId(const char* word, int& result) {
  return IsAllDigits(word) && ParseNumber(word, 10, kMaxField, result);
}

bool CCommandLine::ParseIdPair(const char* word, int& first, int& second) {
  const char* dash = std::strchr(word, '-');
  if (dash == nullptr || std::strchr(dash + 1, '-') != nullptr) {
    return false;
  }
  for (const char* p = word; *p != '\0'; ++p) {
    if (p != dash && (*p < '0' || *p > '9')) {
      return false;
    }
  }
  std::string left(word, dash);
  int a = -1;
  int b = -1;
  if (left.empty() || dash[1] == '\0' || !ParseNumber(left.c_str(), 10, kMaxField, a) ||
      !ParseNumber(dash + 1, 10, kMaxField, b)) {
    return false;
  }
  first = a;
  second = b;
  return true;
}

bool CCommandLine::ParseAddress(const char* word, std::string& address, int& port, int& transportKind) {
  std::string rest(word);
  int kind = TRANSPORT_TCP;
  std::size_t scheme = rest.find("://");
  if (scheme != std::string::npos) {
    if (rest.find("tcp://") != std::string::npos) {
      kind = TRANSPORT_TCP;
    } else if (rest.find("rdp://") != std::string::npos) {
      kind = TRANSPORT_RDP;
    } else {
      return false;
    }
    rest.erase(0, scheme + 3);
  }

  // A pipe name: taken whole, it has no port.
  if (kind == TRANSPORT_RDP) {
    address = rest;
    port = -1;
    transportKind = kind;
    return true;
  }

  std::string host;
  std::string portText;
  bool hasPort = false;
  std::size_t open = rest.find('[');
  std::size_t close = rest.find(']');
  if (open != std::string::npos || close != std::string::npos) {
    if (open != 0 || close == std::string::npos) {
      return false;
    }
    if (!IsIPv6Text(rest.substr(1, close - 1))) {
      return false;
    }
    host = rest.substr(0, close + 1);
    std::string tail = rest.substr(close + 1);
    if (!tail.empty()) {
      // Only ":port" may follow the bracket.
      if (tail[0] != ':') {
        return false;
      }
      hasPort = true;
      portText = tail.substr(1);
    }
  } else {
    std::size_t first = rest.find(':');
    std::size_t last = rest.rfind(':');
    if (first == last) {
      if (first == std::string::npos) {
        host = rest;
      } else {
        host = rest.substr(0, first);
        portText = rest.substr(first + 1);
        hasPort = true;
      }
    } else {
      // Several colons and no brackets: a bare IPv6 address without port.
      if (!IsIPv6Text(rest)) {
        return false;
      }
      host = rest;
    }
  }

  int number = -1;
  if (hasPort && !ParseNumber(portText.c_str(), 10, kMaxField, number)) {
    return false;
  }
  address = host;
  port = number;
  transportKind = kind;
  return true;
}
