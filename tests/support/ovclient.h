// Client side of the ovusbd protocol, for tests, the benchmark and the VM
// suite. Framing is written here independently of the server's code so that
// a fault in one is not mirrored in the other.
//
// Summary:
//   OvClient c; c.connectTo("::1", port);            // or adopt(fd) after accept
//   c.hello("name", "detail", &reply);               // kMsgHello -> kMsgHelloReply
//   c.listDevices(&devices, quietMs);                // kMsgDeviceListRequest -> kMsgDeviceAnnounce each
//   c.request(type, payload, &reply, replyType);     // any request/reply pair
//   c.send(msg) / c.sendRaw(bytes)                   // raw frames, malformed too
//   c.receive(&msg, timeoutMs)                       // next frame, any type
//   c.waitFor(type, &msg, timeoutMs)                 // skips others into backlog
//   c.waitClosed(timeoutMs)                          // server dropped us
//   parseHelloReply / parseDeviceAnnouncement / parseBindResult /
//   parseServerInfo / parseTextNotice / parseUnboundNotice  // payload views
//
// Device requests (header device address = the bound device):
//   c.controlTransfer(addr, setup, out, &ControlReply)        13 -> 14
//   c.bulkTransfer(addr, BulkRequest, &TransferReply)          18 or 74 -> 19
//   c.isoTransfer(addr, IsoRequest, &IsoReply)                 36 -> 37, 77 -> 76 (or 37)
//   c.hubClassRequest(addr, setup, out, &TransferReply)        59 -> 60
//   c.portStatus(addr, &PortStatusReply)                       20 -> 21
//   c.statusRequest(addr, StatusRequest, &result)              22/26/28/30/48/50/51/70/72
// Each has a pure encoder (encode*) and parser (parse*) for the unit tests,
// and sendTagged/waitTagged pipeline several requests matched by context
// word 1.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "ovusbd/core/messagetypes.h"
#include "tests/support/bulkonly.h"

namespace ovclient {

constexpr uint32_t kHeaderSize = 33;
constexpr uint32_t kPrefixSize = 8;
constexpr uint32_t kMaxLength = 0x900000;
constexpr uint32_t kDefaultCompressionLimit = 384;

// The protocol's type numbers are one list shared with the server.
using ::MessageType;

struct Message {
    uint8_t type = 0;
    uint8_t reserved[4] = {0, 0, 0, 0};
    uint32_t context[5] = {0, 0, 0, 0, 0};
    uint32_t deviceAddress = 0;
    std::vector<uint8_t> payload;
    // Set on received messages: the frame's C word (0 = arrived raw).
    uint32_t wireCompressedLength = 0;
};

enum class Compression { Auto, Never, Always };

// Encodes one frame. Auto compresses bodies longer than limit when LZ4 shrinks
// them to at most L bytes; Always compresses whenever LZ4 produces any block.
std::vector<uint8_t> encodeFrame(const Message& message, Compression mode = Compression::Auto,
                                 uint32_t limit = kDefaultCompressionLimit);
// Decodes one frame from the front of bytes. Returns bytes used, 0 when more
// bytes are needed, -1 when the frame is malformed.
long decodeFrame(const uint8_t* bytes, size_t length, Message* out);

uint32_t le32(const uint8_t* p);
uint16_t le16(const uint8_t* p);
void putLe32(std::vector<uint8_t>& out, size_t offset, uint32_t value);
std::string fixedText(const uint8_t* p, size_t width);

// Frames that break the framing rules, each with the start of the error
// line the server logs before it drops the sender. Both the in-process and
// the process tests of the server send this one table.
struct MalformedFrame {
    std::string what;
    std::vector<uint8_t> bytes;
    std::string logLine;
};
std::vector<MalformedFrame> malformedFrames();

struct HelloReply {
    uint8_t marker = 0;                 // 8
    std::string serverName, serverSerial, hostName, interfaceName;
    uint8_t uuid[16] = {};
    uint8_t version[3] = {};
    uint8_t remoteAdmin = 0, trovixAvailable = 0, trovixEnabled = 0, kernelAtLeast315 = 0;
    uint8_t trovixId[16] = {};
    uint8_t trovixPin[4] = {};
    Message raw;
};
bool parseHelloReply(const Message& message, HelloReply* out);

struct DeviceAnnouncement {
    uint16_t vendorId = 0, productId = 0;
    std::string manufacturer, product, nickname, clientText, serial, clientDetail;
    uint32_t address = 0;
    uint8_t state = 0;
    uint8_t boundUuid[16] = {};
    Message raw;
};
bool parseDeviceAnnouncement(const Message& message, DeviceAnnouncement* out);

struct BindResult {
    int32_t result = 0;
    uint8_t speed = 0;
    uint32_t address = 0;
    std::string product, serial, serverSerial;
};
bool parseBindResult(const Message& message, BindResult* out);

struct ServerInfo {
    std::string serverName, serverSerial;
    uint8_t trovixAvailable = 0, trovixEnabled = 0;
    uint8_t trovixId[16] = {};
    uint8_t trovixPin[4] = {};
};
// kMsgServerInfo (192 bytes).
bool parseServerInfo(const Message& message, ServerInfo* out);
// kMsgTextNotice: the notice text.
bool parseTextNotice(const Message& message, std::string* out);
// kMsgDeviceUnbound: 1 for an ordinary unbind, 2 when another client took the
// device; the device is the header's device address.
bool parseUnboundNotice(const Message& message, uint32_t* reason);

// ---- device requests ----

// The 8-byte setup packet of a control or hub-class request.
struct SetupPacket {
    uint8_t requestType = 0;
    uint8_t request = 0;
    uint16_t value = 0, index = 0, length = 0;
    bool in() const { return (requestType & 0x80) != 0; }
};
void putSetup(std::vector<uint8_t>& out, size_t offset, const SetupPacket& setup);
SetupPacket readSetup(const uint8_t* p);

// Message 13. flags bit 1: a short IN answer counts as an error. For an OUT
// request the data must hold wLength bytes.
std::vector<uint8_t> encodeControlTransfer(const SetupPacket& setup, const std::vector<uint8_t>& outData,
                                           uint32_t flags = 0, uint32_t endpoint = 0);
struct ControlReply {
    SetupPacket setup;
    int32_t status = 0;
    uint32_t actualLength = 0;
    std::vector<uint8_t> data;  // IN: the actualLength bytes received
};
// Message 14; false when the layout does not hold (wrong type, size, or an
// actual length beyond the data area).
bool parseControlReply(const Message& message, ControlReply* out);

constexpr uint8_t kUrbTypeInterrupt = 1;
constexpr uint8_t kUrbTypeBulk = 3;

struct BulkRequest {
    uint8_t endpoint = 0;          // bit 7 = IN
    uint8_t urbType = kUrbTypeBulk;
    int8_t flags = 0;              // 2: a short IN answer counts as an error
    uint32_t length = 0;           // IN: bytes asked for; OUT: outData's size
    std::vector<uint8_t> outData;
    bool stream = false;           // message 74 on streamId instead of 18
    uint32_t streamId = 0;
};
std::vector<uint8_t> encodeBulkTransfer(const BulkRequest& request);
inline MessageType bulkRequestType(const BulkRequest& request) {
    return request.stream ? kMsgBulkStreamTransfer : kMsgBulkInterruptTransfer;
}

// Replies 19 and 60: word 0 is the status when negative, else the length
// moved; IN data follows it.
struct TransferReply {
    int32_t result = 0;
    std::vector<uint8_t> data;  // IN: the result bytes received
};
bool parseTransferReply(const Message& message, TransferReply* out);
// The same, taking the message's payload over instead of copying it.
bool parseTransferReply(Message&& message, TransferReply* out);

struct IsoPacket {
    uint32_t length = 0, actualLength = 0, status = 0;
};
struct IsoRequest {
    uint8_t endpoint = 0;
    std::vector<uint32_t> packetLengths;
    std::vector<uint8_t> outData;  // OUT: the sum of packetLengths bytes
    bool packed = false;           // message 77 (reply 76) instead of 36 (37)
    uint32_t totalLength() const;
};
std::vector<uint8_t> encodeIsoTransfer(const IsoRequest& request);
struct IsoReply {
    int32_t result = 0;  // status when negative, else the actual length
    uint32_t errorCount = 0, reserved = 0;
    std::vector<IsoPacket> packets;
    bool packed = false;        // a type-76 reply: packets' data back to back
    std::vector<uint8_t> data;  // the data area as received
    std::vector<size_t> offsets;  // packet i's bytes start at data[offsets[i]]
    // Packet i's received bytes, wherever the reply's type put them.
    std::vector<uint8_t> packetData(size_t i) const;
};
// Replies 37 and 76 to a request of packetCount packets; requestedLengths
// locate each packet's slot in a type-37 reply.
bool parseIsoReply(const Message& message, const std::vector<uint32_t>& requestedLengths, IsoReply* out);

// Message 59: a class request to the device's parent hub.
std::vector<uint8_t> encodeHubClassRequest(const SetupPacket& setup, const std::vector<uint8_t>& outData);

struct PortStatusReply {
    int32_t result = 0;
    uint16_t portStatus = 0;
};
bool parsePortStatusReply(const Message& message, PortStatusReply* out);

// The requests answered by one i32 word, with their payloads.
struct StatusRequest {
    MessageType type = kMsgDeviceReset;
    std::vector<uint8_t> payload;
    MessageType replyType() const;
};
StatusRequest deviceResetRequest();
StatusRequest clearHaltRequest(uint32_t endpoint);
StatusRequest resetEndpointRequest(uint32_t endpoint);
StatusRequest abortEndpointRequest(uint32_t endpoint);
StatusRequest abortResetClearHaltRequest(uint32_t endpoint);
StatusRequest portPowerRequest(bool on);
// Configuration 0 leaves it; altSettings holds at most 16 entries.
StatusRequest resetAndConfigureRequest(uint8_t configuration, const std::vector<uint8_t>& altSettings);
StatusRequest allocStreamsRequest(uint32_t streams, const std::vector<uint8_t>& endpoints);
StatusRequest freeStreamsRequest(const std::vector<uint8_t>& endpoints);
// Word 0 of a 4-byte status reply.
bool parseStatusReply(const Message& message, int32_t* result);

class OvClient {
public:
    OvClient() = default;
    ~OvClient();
    OvClient(const OvClient&) = delete;
    OvClient& operator=(const OvClient&) = delete;

    // Connects (numeric host or name, IPv4 or IPv6); false on failure or time-out.
    bool connectTo(const std::string& host, uint16_t port, int timeoutMs = 20000);
    // Takes over a connected socket (e.g. one the server dialled).
    void adopt(int fd);
    void close();
    int fd() const { return fd_; }
    bool connected() const { return fd_ >= 0; }

    Compression compression = Compression::Auto;
    uint32_t compressionLimit = kDefaultCompressionLimit;
    // Pings (kMsgPing) are answered by nothing; when true receive() drops them.
    bool skipPings = true;

    bool send(const Message& message);
    bool sendRaw(const void* bytes, size_t length);
    // Next message (backlog first). 1 = got one, 0 = time-out, -1 = closed or
    // malformed input.
    int receive(Message* out, int timeoutMs);
    // Waits for a message of the type; other messages go to the backlog.
    bool waitFor(uint8_t type, Message* out, int timeoutMs);
    // True once the server has closed the connection (EOF or reset).
    bool waitClosed(int timeoutMs);

    // Sends a request with context words {1,2,3,4,5} unless given, and waits
    // for replyType.
    bool request(uint8_t type, const std::vector<uint8_t>& payload, Message* reply, uint8_t replyType,
                 uint32_t deviceAddress = 0, int timeoutMs = 20000);

    bool hello(const std::string& name, const std::string& detail, HelloReply* reply, int timeoutMs = 20000);
    bool keepAlive();
    // Collects type-16 answers to one type-9 request until quietMs pass
    // without one (the protocol has no end marker).
    bool listDevices(std::vector<DeviceAnnouncement>* out, int quietMs = 300);
    bool bind(uint32_t deviceAddress, BindResult* result, int timeoutMs = 20000);
    bool unbind(uint32_t deviceAddress);
    bool forward(const uint8_t uuid[16], const std::vector<uint8_t>& rest);

    // Device requests: false when the reply does not come (time-out, closed)
    // or does not parse; the reply's own status is in the out record.
    bool controlTransfer(uint32_t deviceAddress, const SetupPacket& setup, const std::vector<uint8_t>& outData,
                         ControlReply* reply, int timeoutMs = 20000, uint32_t flags = 0);
    bool bulkTransfer(uint32_t deviceAddress, const BulkRequest& request, TransferReply* reply,
                      int timeoutMs = 20000);
    bool isoTransfer(uint32_t deviceAddress, const IsoRequest& request, IsoReply* reply, int timeoutMs = 20000);
    bool hubClassRequest(uint32_t deviceAddress, const SetupPacket& setup, const std::vector<uint8_t>& outData,
                         TransferReply* reply, int timeoutMs = 20000);
    bool portStatus(uint32_t deviceAddress, PortStatusReply* reply, int timeoutMs = 20000);
    bool statusRequest(uint32_t deviceAddress, const StatusRequest& request, int32_t* result,
                       int timeoutMs = 20000);

    // Pipelining: a request whose context word 1 is tag; waitTagged takes
    // the reply of that type carrying the tag, other messages go to the
    // backlog.
    bool sendTagged(uint8_t type, std::vector<uint8_t> payload, uint32_t deviceAddress, uint32_t tag);
    bool waitTagged(uint8_t replyType, uint32_t tag, Message* out, int timeoutMs);

    size_t bytesReceived() const { return bytesReceived_; }

private:
    template <typename Match>
    bool waitMatching(Match match, Message* out, int timeoutMs);
    int readMore(int timeoutMs);
    int fd_ = -1;
    // Received bytes not yet decoded: rxData_[rxStart_, rxEnd_). Not a vector,
    // so that growing it does not zero-fill megabytes per large frame.
    uint8_t* rxBytes() { return rxData_.get() + rxStart_; }
    size_t rxSize() const { return rxEnd_ - rxStart_; }
    void rxConsume(size_t n);
    uint8_t* rxReserve(size_t n);  // room for n more bytes at rxEnd_
    std::unique_ptr<uint8_t[]> rxData_;
    size_t rxCapacity_ = 0, rxStart_ = 0, rxEnd_ = 0;
    // The socket's SO_RCVLOWAT: raised while a large frame is in progress,
    // so that poll wakes us once for much of it rather than per segment.
    int rxLowat_ = 1;
    std::deque<Message> backlog_;
    size_t bytesReceived_ = 0;
    bool closed_ = false;
};

// The bulk pipes of a mass-storage device bound through the client, for
// bulkonly::Session.
bulkonly::Transport bulkPipes(OvClient& client, uint32_t deviceAddress, uint8_t endpointIn, uint8_t endpointOut,
                              int timeoutMs = 30000);

// Connects and returns a socket fd, -1 on failure (used by the bench's echo too).
int connectTcp(const std::string& host, uint16_t port, int timeoutMs);

// A listening socket on 127.0.0.1 at a port the kernel picks, stored in
// *port; returns the fd, or -1 on failure.
int listenLoopback(uint16_t* port);

} // namespace ovclient
