// Pure readers of the control interface's replies: each takes the bytes the
// daemon sent (after the status word) and their length, and nothing else.
//
// Order of checks in every reader: a field is read only when all its bytes
// are there (else 1065, the reply ended early); a counted text or address is
// checked against its bound before a byte of it is kept (else 1359); counts
// sent by the daemon never size an allocation: entries are added only as
// their bytes are read. A failed read keeps the entries read so far.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "calvix/apirecords.h"
#include "sys/thread"

struct ConnectionEntry {
    uint32_t id = 0;
    uint32_t state = 0;
    CExceptionEx error;
    uint32_t platform = 0;
    std::string name;
    ADDRESS address;
    uint16_t port = 0;
    ADDRESS secondAddress;
    uint32_t flags = 0;
    uint32_t extra = 0;
};

struct DeviceEntry {
    uint32_t id = 0;
    uint32_t owner = 0;
    uint32_t state = 0;
    CExceptionEx error;
    uint32_t flags = 0;
    ADDRESS clientAddress;
    uint32_t timeout = 0;
    uint8_t speed = 0;
    uint8_t byte10 = 0;
    uint8_t resetMethod = 0;
    uint8_t byte12 = 0;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t bcdDevice = 0;
    uint8_t deviceClass = 0;
    uint8_t deviceSubclass = 0;
    uint8_t deviceProtocol = 0;
    std::string product;
    std::string nickname;
    std::string identity;
    std::string serial;
    std::string busId;
};

struct UsageEntry {
    uint32_t owner = 0;
    uint32_t deviceId = 0;
    ADDRESS address;
    std::string clientName;
};

struct SnapshotLists {
    std::vector<ConnectionEntry> connections;
    std::vector<DeviceEntry> devices;
    std::vector<UsageEntry> usages;
};

// Results: 0, or the error number of the client API.
// The three lists of a snapshot reply. Texts longer than CORE_MAX_WIRE_TEXT
// and addresses of a length other than 0, 4 and 16 give 1359.
uint32_t ParseSnapshotReply(const uint8_t* data, size_t length, SnapshotLists& lists);

// u8 mode, u32 n, n counted texts (IP filters, device ACL). Empty texts are
// dropped: in a rule multi-string an empty text ends the list.
uint32_t ParseRuleListReply(const uint8_t* data, size_t length, uint8_t& mode, std::vector<std::string>& rules);

// count device policy rules: u32 flags, u16 vendor, u16 product, u8 class,
// u8 subclass, u8 protocol, then port, serial and name as u32 length and
// bytes. A text longer than its 255-character field gives 1359.
uint32_t ParsePolicyRules(const uint8_t* data, size_t length, uint32_t count, std::vector<API_POLICY_RULE>& rules);

// u32 length L, L bytes; L above maxLength gives 1359.
uint32_t ParseCountedBytes(const uint8_t* data, size_t length, size_t maxLength, std::vector<uint8_t>& bytes);

// Class, subclass and protocol of every interface (alternate setting 0) of
// a configuration descriptor set. A block too short to hold its own total
// length, or whose total length exceeds the block, gives 1359.
uint32_t ParseInterfaceClasses(const uint8_t* data, size_t length, std::vector<uint8_t>& triples);
