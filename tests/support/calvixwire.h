// A test client of calvixd's client wire, written from the byte layouts of
// the protocol alone: the handshake (with the remote-desktop prefix for
// pipes), session records and device records, and the device data
// connection's connect exchange. Plain blocking sockets with a receive
// time-out, so a test that waits for bytes that never come fails instead of
// hanging.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace calvixwire {

constexpr uint32_t kServerVersion = 0x10000A16;

struct Record {
    uint32_t type = 0;
    uint32_t length = 0;        // as the header says (whole record)
    std::vector<uint8_t> bytes; // the whole record, header included
    uint32_t word(size_t offset) const;
};

struct DeviceRecord {
    uint32_t type = 0, length = 0;
    uint16_t vendorId = 0, productId = 0, bcdDevice = 0;
    uint8_t deviceClass = 0, subClass = 0, protocol = 0, speed = 0, stateOrEvent = 0;
    uint32_t deviceId = 0, clientV4 = 0, flags = 0;
    uint16_t usbVersion = 0;
    std::string strings[5];
    std::vector<uint8_t> clientV6; // 16 bytes when clientV4 is 0xFFFFFFFF
};

class Connection {
public:
    Connection() = default;
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;
    Connection(Connection &&other) noexcept;

    // TCP to host:port (numeric, IPv4 or IPv6), optionally from a local
    // address; abstract Unix name padded to the whole sockaddr_un.
    bool connectTcp(const std::string &host, uint16_t port, const std::string &from = "");
    bool connectPipe(const std::string &name);
    // Adopts a connected descriptor (from a test listener).
    void adopt(int fd);
    void close();
    int fd() const { return fd_; }

    bool sendBytes(const void *data, size_t size);
    bool sendBytes(const std::vector<uint8_t> &bytes) { return sendBytes(bytes.data(), bytes.size()); }
    // Exactly size bytes, or false on time-out, error or end of stream.
    bool receiveBytes(void *data, size_t size);
    std::vector<uint8_t> receive(size_t size);
    // True when the peer has closed (no byte arrives before end of stream).
    bool waitClosed();
    // Bytes that are there now, without waiting.
    size_t available();
    void setTimeoutMs(int ms);

    // The client half of the handshake up to and including the request
    // byte. accept is the server's first byte; serverReply its 6 bytes.
    bool handshake(uint8_t request, uint32_t version = kServerVersion, uint8_t platform = 0x01,
                   uint8_t *accept = nullptr, std::vector<uint8_t> *serverReply = nullptr);
    // The accepting half of the handshake, for a connection the server
    // dialled: accept byte, the server's hello, the platform answer; then
    // the server's request byte into *request.
    bool answerHandshake(uint8_t platform, uint8_t *request, uint32_t version = kServerVersion);
    // The client side of a device data connection after a 'C' handshake:
    // the connect record, its echo, the confirmation, then either the
    // refusal (*refusal gets its code) or the capability exchange up to the
    // device's identification blocks (*refusal 0). False when the exchange
    // broke off or the echo was wrong.
    bool openData(uint32_t deviceId, uint32_t sessionId, uint8_t platform, uint32_t *refusal);
    // "KQWA", u32 length, name.
    bool sendDesktopPrefix(const std::string &name, uint32_t declaredLength);
    bool sendDesktopPrefix(const std::string &name) {
        return sendDesktopPrefix(name, static_cast<uint32_t>(name.size()));
    }

    // One session record (header then the rest of its length).
    bool readRecord(Record *record);
    // '0', the 16-byte server id, the type-7 record; the connection id.
    bool readGreetingStart(std::vector<uint8_t> *serverId, uint32_t *connectionId);

    // A data connection's capability exchange after the server's '6' has
    // been read, asking for and keeping capabilities, through the
    // identification blocks ('2' and both lengths, then the blocks).
    bool negotiate(uint32_t capabilities = 0x10);

private:
    int fd_ = -1;
};

std::vector<uint8_t> recordBytes(std::initializer_list<uint32_t> words);
// A 92-byte connect record for a data connection: device id and session
// connection id in clear, bytes 8 to 91 scrambled for the platform byte of
// the client's hello. *echo gets the 16 bytes the server must send back.
std::vector<uint8_t> connectRecord(uint32_t deviceId, uint32_t connectionId, uint8_t platform,
                                   std::vector<uint8_t> *echo);
DeviceRecord parseDeviceRecord(const Record &record);
// A device record built from the layout, for golden comparisons.
std::vector<uint8_t> buildDeviceRecord(const DeviceRecord &device);

} // namespace calvixwire
