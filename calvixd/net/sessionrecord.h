// Records of a session connection: RecordHeader {u32 type, u32 length}, the
// length counting the whole record with its header, little-endian, no other
// framing. This file reads the client's records; it is a pure function of
// the bytes received.
#pragma once

#include <cstddef>
#include <cstdint>

enum SessionRecordType : uint32_t {
    SESSION_RECORD_DEVICE = 1,          // server: one device of the greeting list
    SESSION_RECORD_DEVICE_EVENT = 2,    // server: a device event
    SESSION_RECORD_PING = 4,            // both ways
    SESSION_RECORD_DROP = 5,            // server: this callback connection is dropped
    SESSION_RECORD_SESSION_COMMAND = 6, // client: 'G' or 'I'
    SESSION_RECORD_CONNECTION_ID = 7,   // server: the connection's id
    SESSION_RECORD_DEVICE_COMMAND = 8,  // both ways
    SESSION_RECORD_SETTINGS = 9,        // server: callback flags or a nickname
};

constexpr size_t SESSION_RECORD_HEADER_SIZE = 8;
// No record a client sends is longer: anything above is a broken stream,
// not a record to buffer.
constexpr uint32_t SESSION_RECORD_LIMIT = 4096;

// Session commands (first byte of a type-6 record) and device commands
// (first byte of a type-8 record).
constexpr uint8_t SESSION_COMMAND_DIAL_BACK = 'G';
constexpr uint8_t SESSION_COMMAND_REMOVE_CALLBACK = 'I';
constexpr uint8_t DEVICE_COMMAND_RESERVE = 1;

enum class RecordParse {
    NeedMore, // the record has not fully arrived
    Invalid,  // close the connection: unknown type or impossible length
    Complete, // *record describes a record of record->length bytes
};

struct ClientRecord {
    uint32_t type = 0;
    uint32_t length = 0;  // bytes to consume, header included
    bool ignored = false; // too short for its command, or an unknown command
    uint8_t command = 0;
    uint32_t deviceId = 0; // reserve command
    uint32_t values[2] = {}; // dial-back command
};

// Checks in this order: whole header; type 4, 6 or 8; length at least the
// header and at most SESSION_RECORD_LIMIT; whole record arrived; command
// byte and the command's own length.
RecordParse ParseClientRecord(const uint8_t* bytes, size_t size, ClientRecord* record);
