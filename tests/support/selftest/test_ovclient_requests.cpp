// The protocol client's device requests against bytes written by hand from
// the message layouts: a client that encodes a field at the wrong offset
// would agree with itself and with nothing else.
#include <gtest/gtest.h>

#include <vector>

#include "tests/support/bulkonly.h"
#include "tests/support/ovclient.h"

using namespace ovclient;
using Bytes = std::vector<uint8_t>;

namespace {

Message reply(MessageType type, Bytes payload) {
    Message m;
    m.type = type;
    m.payload = std::move(payload);
    return m;
}

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace

TEST(OvClientRequests, ControlTransferPayloads) {
    // GET_DESCRIPTOR(device), 18 bytes IN, short answers an error.
    SetupPacket get{0x80, 6, 0x0100, 0, 18};
    EXPECT_EQ(encodeControlTransfer(get, {}, 2),
              (Bytes{0, 0, 0, 0, 2, 0, 0, 0, 0x80, 6, 0x00, 0x01, 0, 0, 18, 0}));
    // A class OUT request carries its data behind the setup packet; IN data
    // given by mistake is not sent.
    SetupPacket out{0x21, 9, 0x0200, 0x0001, 3};
    EXPECT_EQ(encodeControlTransfer(out, {0xaa, 0xbb, 0xcc}),
              (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0x21, 9, 0x00, 0x02, 0x01, 0x00, 3, 0, 0xaa, 0xbb, 0xcc}));
    EXPECT_EQ(encodeControlTransfer(get, {1, 2, 3}).size(), 16u);
}

TEST(OvClientRequests, ControlTransferReplies) {
    const Bytes setupIn{0x80, 6, 0x00, 0x01, 0, 0, 18, 0};
    Bytes data(18, 0);
    for (size_t i = 0; i < data.size(); i++) data[i] = uint8_t(0x40 + i);
    ControlReply r;
    // 34 bytes: setup, status 0, actual 12, the data area of wLength bytes.
    ASSERT_TRUE(parseControlReply(reply(kMsgControlTransferReply, concat(concat(setupIn, {0, 0, 0, 0, 12, 0, 0, 0}), data)), &r));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.actualLength, 12u);
    EXPECT_EQ(r.setup.value, 0x0100);
    EXPECT_EQ(r.setup.length, 18);
    EXPECT_EQ(r.data, Bytes(data.begin(), data.begin() + 12));
    // A failed IN request: status -32 (EPIPE), no data handed out.
    ASSERT_TRUE(parseControlReply(
        reply(kMsgControlTransferReply, concat(concat(setupIn, {0xe0, 0xff, 0xff, 0xff, 0, 0, 0, 0}), data)), &r));
    EXPECT_EQ(r.status, -32);
    EXPECT_TRUE(r.data.empty());
    // An OUT reply is 16 bytes.
    const Bytes setupOut{0x21, 9, 0, 2, 1, 0, 3, 0};
    ASSERT_TRUE(parseControlReply(reply(kMsgControlTransferReply, concat(setupOut, {0, 0, 0, 0, 3, 0, 0, 0})), &r));
    EXPECT_EQ(r.actualLength, 3u);

    struct Bad {
        const char* what;
        Message m;
    } bad[] = {
        {"actual beyond the data area",
         reply(kMsgControlTransferReply, concat(concat(setupIn, {0, 0, 0, 0, 19, 0, 0, 0}), data))},
        {"data area shorter than wLength",
         reply(kMsgControlTransferReply, concat(concat(setupIn, {0, 0, 0, 0, 0, 0, 0, 0}), Bytes(17, 0)))},
        {"OUT reply with data", reply(kMsgControlTransferReply, concat(concat(setupOut, Bytes(8, 0)), {1}))},
        {"shorter than 16", reply(kMsgControlTransferReply, Bytes(15, 0))},
        {"wrong type", reply(kMsgBulkInterruptTransferReply, concat(concat(setupOut, Bytes(8, 0)), {}))},
    };
    for (const Bad& b : bad) EXPECT_FALSE(parseControlReply(b.m, &r)) << b.what;
}

TEST(OvClientRequests, BulkInterruptAndStreamPayloads) {
    struct Case {
        const char* what;
        BulkRequest request;
        MessageType type;
        Bytes want;
    } cases[] = {
        {"bulk IN 512", {0x81, kUrbTypeBulk, 0, 512, {}, false, 0}, kMsgBulkInterruptTransfer,
         {0x81, 0, 0, 0, 0, 3, 0, 0, 0, 0x00, 0x02, 0, 0}},
        {"interrupt IN, short is an error", {0x83, kUrbTypeInterrupt, 2, 8, {}, false, 0}, kMsgBulkInterruptTransfer,
         {0x83, 0, 0, 0, 2, 1, 0, 0, 0, 8, 0, 0, 0}},
        {"bulk OUT carries its data, length from the data", {0x02, kUrbTypeBulk, 0, 999, {9, 8, 7}, false, 0},
         kMsgBulkInterruptTransfer, {0x02, 0, 0, 0, 0, 3, 0, 0, 0, 3, 0, 0, 0, 9, 8, 7}},
        {"stream 5: the stream id in word 5", {0x81, kUrbTypeBulk, 0, 0x10000, {}, true, 5}, kMsgBulkStreamTransfer,
         {0x81, 0, 0, 0, 0, 5, 0, 0, 0, 0, 0, 1, 0}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(encodeBulkTransfer(c.request), c.want) << c.what;
        EXPECT_EQ(bulkRequestType(c.request), c.type) << c.what;
    }
}

TEST(OvClientRequests, TransferReplies) {
    struct Case {
        const char* what;
        MessageType type;
        Bytes payload;
        bool parses;
        int32_t result;
        Bytes data;
    };
    const Case cases[] = {
        // Bulk IN of 512 answered with 13 bytes: 516 payload bytes.
        {"IN, short answer", kMsgBulkInterruptTransferReply, concat({13, 0, 0, 0}, Bytes(512, 0x5a)), true, 13,
         Bytes(13, 0x5a)},
        {"IN, whole area", kMsgBulkInterruptTransferReply, concat({4, 0, 0, 0}, {9, 8, 7, 6}), true, 4, {9, 8, 7, 6}},
        {"OUT: the length sent, no data", kMsgBulkInterruptTransferReply, {0, 2, 0, 0}, true, 512, {}},
        {"-19: the device is gone", kMsgBulkInterruptTransferReply, concat({0xed, 0xff, 0xff, 0xff}, Bytes(8, 0)),
         true, -19, {}},
        {"a hub-class reply has the same shape", kMsgHubClassReply, {4, 0, 0, 0, 1, 2, 3, 4}, true, 4, {1, 2, 3, 4}},
        {"a length beyond the data area", kMsgBulkInterruptTransferReply, concat({9, 0, 0, 0}, Bytes(8, 0)), false, 0,
         {}},
        {"shorter than the result word", kMsgBulkInterruptTransferReply, {1, 0, 0}, false, 0, {}},
        {"wrong type", kMsgControlTransferReply, {0, 0, 0, 0}, false, 0, {}},
    };
    for (const Case& c : cases) {
        // Both forms: the copying one and the one that takes the payload over.
        TransferReply copied, taken;
        copied.data = taken.data = {0xee};
        const Message m = reply(c.type, c.payload);
        EXPECT_EQ(parseTransferReply(m, &copied), c.parses) << c.what;
        EXPECT_EQ(parseTransferReply(reply(c.type, c.payload), &taken), c.parses) << c.what;
        if (!c.parses) {
            continue;
        }
        EXPECT_EQ(copied.result, c.result) << c.what;
        EXPECT_EQ(copied.data, c.data) << c.what;
        EXPECT_EQ(taken.result, c.result) << c.what;
        EXPECT_EQ(taken.data, c.data) << c.what;
    }
}

TEST(OvClientRequests, IsoPayloadAndBothReplyShapes) {
    IsoRequest request;
    request.endpoint = 0x81;
    request.packetLengths = {192, 192};
    Bytes want(17 + 24, 0);
    want[0] = 0x81;
    want[5] = 0x80;  // 384 total
    want[6] = 0x01;
    want[13] = 2;
    want[17] = 192;
    want[29] = 192;
    EXPECT_EQ(encodeIsoTransfer(request), want);
    IsoRequest out;
    out.endpoint = 0x01;
    out.packetLengths = {2, 1};
    out.outData = {7, 8, 9};
    EXPECT_EQ(encodeIsoTransfer(out), concat(Bytes{0x01, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0,
                                                    0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
                                              {7, 8, 9}));

    // 8 packets of 192 answered with 100 bytes each: type 37 keeps each
    // packet at its 192-byte slot, type 76 packs them into 800 bytes.
    const std::vector<uint32_t> lengths(8, 192);
    Bytes head{0x20, 0x03, 0, 0, 1, 0, 0, 0, 7, 0, 0, 0};  // 800 bytes, 1 error, reserved 7
    Bytes results;
    for (int i = 0; i < 8; i++) results = concat(results, {192, 0, 0, 0, 100, 0, 0, 0, 0, 0, 0, 0});
    Bytes slots(8 * 192, 0), packed;
    for (int i = 0; i < 8; i++) {
        for (int j = 0; j < 100; j++) slots[192 * i + j] = uint8_t(i * 16 + j);
        packed.insert(packed.end(), slots.begin() + 192 * i, slots.begin() + 192 * i + 100);
    }
    IsoReply r37, r76;
    ASSERT_TRUE(parseIsoReply(reply(kMsgIsoTransferReply, concat(concat(head, results), slots)), lengths, &r37));
    ASSERT_TRUE(parseIsoReply(reply(kMsgIsoPackedTransferReply, concat(concat(head, results), packed)), lengths, &r76));
    EXPECT_EQ(r37.result, 800);
    EXPECT_EQ(r37.errorCount, 1u);
    EXPECT_EQ(r37.reserved, 7u);
    EXPECT_FALSE(r37.packed);
    EXPECT_TRUE(r76.packed);
    for (size_t i = 0; i < 8; i++) {
        EXPECT_EQ(r37.packetData(i), r76.packetData(i)) << i;
        EXPECT_EQ(r76.packetData(i), Bytes(packed.begin() + 100 * i, packed.begin() + 100 * (i + 1))) << i;
    }
    // Packed data that does not add up to the packets' actual lengths, and a
    // packet longer than it was asked to be, are refused.
    EXPECT_FALSE(parseIsoReply(reply(kMsgIsoPackedTransferReply, concat(concat(head, results), Bytes(799, 0))), lengths, &r76));
    Bytes tooLong = results;
    tooLong[4] = 193;
    EXPECT_FALSE(parseIsoReply(reply(kMsgIsoTransferReply, concat(concat(head, tooLong), slots)), lengths, &r37));
    EXPECT_FALSE(parseIsoReply(reply(kMsgIsoTransferReply, concat(head, Bytes(95, 0))), lengths, &r37));
}

TEST(OvClientRequests, StatusRequestsAndReplies) {
    struct Case {
        const char* what;
        StatusRequest request;
        MessageType type, replyType;
        Bytes payload;
    } cases[] = {
        {"reset", deviceResetRequest(), kMsgDeviceReset, kMsgDeviceResetReply, {}},
        {"clear halt", clearHaltRequest(0x81), kMsgClearHalt, kMsgClearHaltReply, {0x81, 0, 0, 0}},
        {"reset endpoint", resetEndpointRequest(0x02), kMsgResetEndpoint, kMsgResetEndpointReply, {2, 0, 0, 0}},
        {"abort endpoint", abortEndpointRequest(0x83), kMsgAbortEndpoint, kMsgAbortEndpointReply, {0x83, 0, 0, 0}},
        {"abort, reset, clear halt", abortResetClearHaltRequest(0x81), kMsgAbortResetClearHalt,
         kMsgAbortResetClearHaltReply, {0x81, 0, 0, 0}},
        {"port power on", portPowerRequest(true), kMsgPortPower, kMsgPortPowerReply, {1}},
        {"port power off", portPowerRequest(false), kMsgPortPower, kMsgPortPowerReply, {0}},
        {"reset and configure", resetAndConfigureRequest(1, {0, 2}), kMsgResetAndConfigure, kMsgDeviceResetReply,
         {1, 2, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"alloc streams", allocStreamsRequest(4, {0x81, 0x02}), kMsgAllocStreams, kMsgAllocStreamsReply,
         {4, 0, 0, 0, 2, 0, 0, 0, 0x81, 0x02}},
        {"free streams", freeStreamsRequest({0x81}), kMsgFreeStreams, kMsgFreeStreamsReply,
         {0, 0, 0, 0, 1, 0, 0, 0, 0x81}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.request.type, c.type) << c.what;
        EXPECT_EQ(c.request.replyType(), c.replyType) << c.what;
        EXPECT_EQ(c.request.payload, c.payload) << c.what;
        int32_t result = 0;
        EXPECT_TRUE(parseStatusReply(reply(c.replyType, {0xb9, 0xff, 0xff, 0xff}), &result)) << c.what;
        EXPECT_EQ(result, -71) << c.what;
    }
    // More than 16 alternate settings: only 16 travel, and the count says so.
    StatusRequest many = resetAndConfigureRequest(0, Bytes(20, 1));
    EXPECT_EQ(many.payload.size(), 18u);
    EXPECT_EQ(many.payload[1], 16);
    int32_t result;
    EXPECT_FALSE(parseStatusReply(reply(kMsgDeviceResetReply, {0, 0, 0}), &result));
    EXPECT_FALSE(parseStatusReply(reply(kMsgPortStatusReply, {0, 0, 0, 0}), &result));

    PortStatusReply port;
    ASSERT_TRUE(parsePortStatusReply(reply(kMsgPortStatusReply, {0, 0, 0, 0, 0x03, 0x01}), &port));
    EXPECT_EQ(port.result, 0);
    EXPECT_EQ(port.portStatus, 0x0103);
    EXPECT_FALSE(parsePortStatusReply(reply(kMsgPortStatusReply, {0, 0, 0, 0}), &port));

    // GET_STATUS of hub port 2 (IN), SET_FEATURE(PORT_POWER) (OUT, no data).
    EXPECT_EQ(encodeHubClassRequest({0xa3, 0, 0, 2, 4}, {9}), (Bytes{0xa3, 0, 0, 0, 2, 0, 4, 0}));
    EXPECT_EQ(encodeHubClassRequest({0x23, 3, 8, 2, 1}, {9}), (Bytes{0x23, 3, 8, 0, 2, 0, 1, 0, 9}));
}

TEST(BulkOnly, WrappersAndCommands) {
    // READ(10) of 8 blocks at 0x12345, IN, tag 7.
    Bytes cbw = bulkonly::commandBlockWrapper(7, 4096, true, 0, bulkonly::read10(0x12345, 8));
    EXPECT_EQ(cbw, (Bytes{0x55, 0x53, 0x42, 0x43, 7, 0, 0, 0, 0, 0x10, 0, 0, 0x80, 0, 10,
                          0x28, 0, 0, 0x01, 0x23, 0x45, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(bulkonly::write10(1, 0x0102), (Bytes{0x2a, 0, 0, 0, 0, 1, 0, 1, 2, 0}));

    bulkonly::CommandStatus status;
    ASSERT_TRUE(bulkonly::parseCommandStatus({0x55, 0x53, 0x42, 0x53, 7, 0, 0, 0, 0, 2, 0, 0, 1}, &status));
    EXPECT_EQ(status.tag, 7u);
    EXPECT_EQ(status.residue, 512u);
    EXPECT_EQ(status.status, 1);
    EXPECT_FALSE(bulkonly::parseCommandStatus({0x55, 0x53, 0x42, 0x43, 7, 0, 0, 0, 0, 0, 0, 0, 0}, &status))
        << "a command wrapper's signature";
    EXPECT_FALSE(bulkonly::parseCommandStatus(Bytes(12, 0), &status));
}

// A session over scripted pipes: the status wrapper must carry the tag of
// the command it answers.
TEST(BulkOnly, SessionChecksTags) {
    std::vector<Bytes> sent;
    std::vector<Bytes> answers;
    bulkonly::Transport t;
    t.out = [&](const Bytes& data, std::string*) {
        sent.push_back(data);
        return true;
    };
    t.in = [&](uint32_t, Bytes* data, std::string* why) {
        if (answers.empty()) {
            *why = "nothing scripted";
            return false;
        }
        *data = answers.front();
        answers.erase(answers.begin());
        return true;
    };
    bulkonly::Session disk(t);
    answers = {Bytes(1024, 0x11), {0x55, 0x53, 0x42, 0x53, 1, 0, 0, 0, 0, 0, 0, 0, 0}};
    Bytes data;
    ASSERT_TRUE(disk.read(4, 2, &data)) << disk.error();
    EXPECT_EQ(data, Bytes(1024, 0x11));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0][15], 0x28);
    answers = {Bytes(512, 0), {0x55, 0x53, 0x42, 0x53, 9, 0, 0, 0, 0, 0, 0, 0, 0}};
    EXPECT_FALSE(disk.read(0, 1, &data)) << "a status wrapper of another command";
    answers = {Bytes(512, 0), {0x55, 0x53, 0x42, 0x53, 3, 0, 0, 0, 0, 2, 0, 0, 0}};
    EXPECT_FALSE(disk.read(0, 1, &data)) << "a residue";
}

// A disk of 3 MiB answering bulk-only commands from its wrappers' bytes:
// the throughput read's checksum covers exactly the disk's first MiB, read
// in reads of any size, and every bulk transfer is counted.
TEST(BulkOnly, ThroughputChecksumAndTransfers) {
    const uint32_t blocks = 3 * 2048;
    Bytes image(size_t(blocks) * 512);
    for (size_t i = 0; i < image.size(); i++) {
        image[i] = uint8_t(i * 7 + (i >> 9));
    }
    // By hand: FNV-1a 64 over bytes [0, 1 MiB).
    uint64_t expected = 0xcbf29ce484222325ull;
    for (size_t i = 0; i < (1u << 20); i++) {
        expected = (expected ^ image[i]) * 0x100000001b3ull;
    }
    Bytes pending;  // the data stage of the last command
    uint32_t tag = 0;
    uint64_t calls = 0;
    bulkonly::Transport t;
    t.out = [&](const Bytes& cbw, std::string*) {
        calls++;
        tag = uint32_t(cbw[4] | cbw[5] << 8 | cbw[6] << 16 | cbw[7] << 24);
        const uint8_t* cdb = cbw.data() + 15;
        pending.clear();
        if (cdb[0] == 0x25) {  // READ CAPACITY(10): last LBA, block size
            pending = {uint8_t((blocks - 1) >> 24), uint8_t((blocks - 1) >> 16), uint8_t((blocks - 1) >> 8),
                       uint8_t(blocks - 1), 0, 0, 2, 0};
        } else if (cdb[0] == 0x28) {
            const uint32_t lba = uint32_t(cdb[2] << 24 | cdb[3] << 16 | cdb[4] << 8 | cdb[5]);
            const uint32_t count = uint32_t(cdb[7] << 8 | cdb[8]);
            pending.assign(image.begin() + lba * 512, image.begin() + (lba + count) * 512);
        }
        return true;
    };
    t.in = [&](uint32_t length, Bytes* data, std::string*) {
        calls++;
        if (length == 13 && pending.empty()) {
            *data = {0x55, 0x53, 0x42, 0x53, uint8_t(tag), uint8_t(tag >> 8), uint8_t(tag >> 16), uint8_t(tag >> 24),
                     0, 0, 0, 0, 0};
        } else {
            *data = pending;
            pending.clear();
        }
        return true;
    };
    for (uint32_t chunk : {4096u, 1u << 20, 3u << 19}) {
        bulkonly::Session disk(t);
        calls = 0;
        double rate = 0;
        uint64_t sum = 0;
        // 2 MiB: past the checksummed first MiB, not past the disk's end.
        ASSERT_TRUE(disk.readThroughput(2, chunk, &rate, &sum)) << chunk << ": " << disk.error();
        EXPECT_EQ(sum, expected) << "reads of " << chunk << " bytes";
        EXPECT_GT(rate, 0);
        EXPECT_EQ(disk.transfers, calls) << chunk;
    }
}
