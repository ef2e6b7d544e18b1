// Command line of calvix: turns the argument vector into one action with the
// identifier and value fields it needs. No request to the daemon is made here
// and nothing beyond the syntax of each word is checked; whether a device is
// identified well enough or a port is in range is decided by the caller.
#pragma once

#include <string>

// Action codes. 1, 2 and 3 are the parse errors; 27 and 52 are never produced.
enum CalvixAction : int {
  ACTION_NONE = 0,
  ACTION_SYNTAX_ERROR = 1,
  ACTION_MULTIPLE_ACTIONS = 2,
  ACTION_UNKNOWN_WORD = 3,
  ACTION_SHARE = 4,
  ACTION_UNSHARE = 5,
  ACTION_CONNECT = 6,
  ACTION_CONNECT_TO = 7,
  ACTION_DISCONNECT = 8,
  ACTION_DISCONNECT_WORD_ALL = 9,  // "-disconnect all"; main shows the usage
  ACTION_DISCONNECT_FROM = 10,
  ACTION_ADD_EXCLUSION = 11,
  ACTION_REMOVE_EXCLUSION = 12,
  ACTION_ADD_SERVER = 13,
  ACTION_REMOVE_SERVER = 14,
  ACTION_AUTO_SHARE_ON = 15,
  ACTION_AUTO_SHARE_OFF = 16,
  ACTION_AUTO_CONNECT_ON = 17,
  ACTION_AUTO_CONNECT_OFF = 18,
  ACTION_REMOTE_AUTO_CONNECT_ON = 19,
  ACTION_REMOTE_AUTO_CONNECT_OFF = 20,
  ACTION_LIST_DEVICES = 21,
  ACTION_LIST_LOCAL_DEVICES = 22,
  ACTION_LIST_REMOTE_DEVICES = 23,
  ACTION_LIST_CLIENTS = 24,
  ACTION_INFO = 25,
  ACTION_SET_TCP_PORT = 26,
  ACTION_CREATE_CALLBACK = 28,
  ACTION_CLOSE_CALLBACK = 29,
  ACTION_SET_RESET_METHOD = 30,
  ACTION_SET_NICKNAME = 31,
  ACTION_SET_TIMEOUT = 32,
  ACTION_HELP = 33,
  ACTION_LIST_DEVICE_POLICY = 34,
  ACTION_LIST_CLIENT_DEVICE_POLICY = 35,
  ACTION_LIST_SERVER_DEVICE_POLICY = 36,
  ACTION_SET_DEVICE_POLICY_MODE = 37,
  ACTION_SET_SERVER_DEVICE_POLICY_MODE = 38,
  ACTION_SET_CLIENT_DEVICE_POLICY_MODE = 39,
  ACTION_ADD_DEVICE_POLICY_RULE = 40,
  ACTION_ADD_SERVER_DEVICE_POLICY_RULE = 41,
  ACTION_ADD_CLIENT_DEVICE_POLICY_RULE = 42,
  ACTION_REMOVE_DEVICE_POLICY_RULE = 43,
  ACTION_REMOVE_SERVER_DEVICE_POLICY_RULE = 44,
  ACTION_REMOVE_CLIENT_DEVICE_POLICY_RULE = 45,
  ACTION_REMOVE_ALL_DEVICE_POLICY_RULES = 46,
  ACTION_REMOVE_ALL_SERVER_DEVICE_POLICY_RULES = 47,
  ACTION_REMOVE_ALL_CLIENT_DEVICE_POLICY_RULES = 48,
  ACTION_CLOSE_ALL_CALLBACKS = 49,
  ACTION_DISCONNECT_ALL = 50,
  ACTION_VERSION = 51,
  ACTION_PNP_INSTANCE_ID = 53,
  ACTION_LIST_ACL = 54,
  ACTION_SET_ACL_MODE = 55,
  ACTION_ADD_ACL = 56,
  ACTION_REMOVE_ACL = 57,
  ACTION_REMOVE_ALL_ACL = 58,
  ACTION_LIST_IP_FILTERS = 59,
  ACTION_SET_IP_FILTERS_MODE = 60,
  ACTION_ADD_IP_FILTER = 61,
  ACTION_REMOVE_IP_FILTER = 62,
  ACTION_REMOVE_ALL_IP_FILTERS = 63,
};

// Transport kinds of an address argument.
enum : int {
  TRANSPORT_NONE = 0,
  TRANSPORT_RDP = 16,
  TRANSPORT_TCP = 32,
};

// Result of one parse. -1 means "not given" for every integer field.
struct ParsedCommand {
  int action = ACTION_NONE;
  int vendorId = -1;
  int productId = -1;
  int deviceClass = -1;
  int deviceSubclass = -1;
  int deviceProtocol = -1;
  int objectId = -1;  // client, callback or server number
  int deviceId = -1;
  int ruleId = -1;    // counts from 1, as the user sees the rules
  std::string deviceName;
  std::string serial;
  std::string usbPort;
  std::string address;  // host part; IPv6 in brackets keeps them
  std::string text;     // nickname, rule text or rule name
  std::string file;
  int port = -1;
  int transportKind = TRANSPORT_NONE;
  int value = -1;  // mode, reset method or seconds
  bool silent = false;

  bool operator==(const ParsedCommand&) const = default;
};

class CCommandLine {
public:
  // argv is not copied: it must outlive the object (it is main's).
  CCommandLine(int argc, char** argv);
  virtual ~CCommandLine();

  // Walks argv[1..argc-1] once. Always completes: a malformed argument, a
  // second different action or an unknown word is reported through
  // result.action (1, 2, 3), with the fields filled so far kept.
  void Parse(ParsedCommand& result) const;

  // Word routines. Exposed for the tests; the parse is their only user.
  static bool IsOptionWord(const char* word);
  // A number of at most maxValue. Leading blanks, a '+' sign and, for base
  // 16, "0x" are accepted; '-' is not, nor anything but blanks after the
  // digits. Vendor, product and class values wider than their fields are
  // refused by the caller, which knows what the number names.
  static bool ParseNumber(const char* word, int base, unsigned long maxValue, int& result);
  // Decimal digits only.
  static bool ParseId(const char* word, int& result);
  // "N-M" of decimal digits; outputs are written only on success.
  static bool ParseIdPair(const char* word, int& first, int& second);
  // "[tcp://|rdp://]host[:port]", IPv6 bare or in brackets. Outputs are
  // written only on success.
  static bool ParseAddress(const char* word, std::string& address, int& port, int& transportKind);

private:
  int m_argc;
  char** m_argv;
};
