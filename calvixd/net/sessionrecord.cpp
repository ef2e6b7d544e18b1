#include "calvixd/net/sessionrecord.h"

#include <cstring>

static uint32_t ReadU32(const uint8_t* bytes)
{
    uint32_t value;
    memcpy(&value, bytes, sizeof value);
    return value;
}

RecordParse ParseClientRecord(const uint8_t* bytes, size_t size, ClientRecord* record)
{
    if (size < SESSION_RECORD_HEADER_SIZE)
        return RecordParse::NeedMore;
    uint32_t type = ReadU32(bytes);
    uint32_t length = ReadU32(bytes + 4);
    if (type != SESSION_RECORD_PING && type != SESSION_RECORD_SESSION_COMMAND &&
        type != SESSION_RECORD_DEVICE_COMMAND)
        return RecordParse::Invalid;
    if (length < SESSION_RECORD_HEADER_SIZE || length > SESSION_RECORD_LIMIT)
        return RecordParse::Invalid;
    if (size < length)
        return RecordParse::NeedMore;
    *record = ClientRecord();
    record->type = type;
    record->length = length;
    if (type == SESSION_RECORD_PING)
        return RecordParse::Complete;
    const uint8_t* body = bytes + SESSION_RECORD_HEADER_SIZE;
    size_t bodySize = length - SESSION_RECORD_HEADER_SIZE;
    if (bodySize < 1) {
        record->ignored = true;
        return RecordParse::Complete;
    }
    record->command = body[0];
    if (type == SESSION_RECORD_SESSION_COMMAND) {
        if (record->command == SESSION_COMMAND_DIAL_BACK && bodySize >= 9) {
            record->values[0] = ReadU32(body + 1);
            record->values[1] = ReadU32(body + 5);
        } else if (record->command != SESSION_COMMAND_REMOVE_CALLBACK) {
            record->ignored = true;
        }
    } else {
        if (record->command == DEVICE_COMMAND_RESERVE && bodySize >= 5)
            record->deviceId = ReadU32(body + 1);
        else
            record->ignored = true;
    }
    return RecordParse::Complete;
}
