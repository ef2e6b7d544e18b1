// Frame encoding and decoding: the server's pure parser and encoder against
// the independent test client codec, the size and compression rules, and
// every malformed frame that must be refused before a handler sees it.
#include <gtest/gtest.h>
#include <lz4.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "ovusbd/core/framebudget.h"
#include "ovusbd/core/frameparser.h"
#include "ovusbd/core/framing.h"
#include "ovusbd/core/largebuffers.h"
#include "ovusbd/core/message.h"
#include "tests/support/ovclient.h"
#include "tests/support/wait.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes prefix(uint32_t c, uint32_t l) {
    Bytes v;
    ovclient::putLe32(v, 0, c);
    ovclient::putLe32(v, 4, l);
    return v;
}

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

ovclient::Message clientMessage(uint8_t type, size_t payloadLength, uint8_t fill = 'x') {
    ovclient::Message m;
    m.type = type;
    for (int i = 0; i < 5; i++) {
        m.context[i] = 0x11111111u * uint32_t(i + 1);
    }
    m.deviceAddress = 112;
    m.payload.assign(payloadLength, fill);
    return m;
}

long parse(const Bytes& bytes, const MessageHeader** body, FrameScratch* scratch) {
    return parseFrame(bytes.data(), bytes.size(), scratch, body);
}

struct MalformedCase {
    const char* name;
    Bytes frame;
    int expected;
};

// Each way a body can disagree with its prefix. All must be refused: the
// receive thread then ends, as for a frame that is too big.
std::vector<MalformedCase> malformedCases() {
    std::vector<MalformedCase> cases;
    cases.push_back({"C=1, L=0 and one zero byte", concat(prefix(1, 0), {0}), FRAME_TOO_SHORT});
    cases.push_back({"raw body of 32 bytes", concat(prefix(0, 32), Bytes(32, 0)), FRAME_TOO_SHORT});
    cases.push_back({"raw, L=0", prefix(0, 0), FRAME_TOO_SHORT});

    Bytes f = ovclient::encodeFrame(clientMessage(kMsgKeepAlive, 0), ovclient::Compression::Never);
    ovclient::putLe32(f, 8 + 29, 5);
    cases.push_back({"payload length above L-33", f, FRAME_BAD_PAYLOAD_LENGTH});
    f = ovclient::encodeFrame(clientMessage(kMsgHello, 16), ovclient::Compression::Never);
    ovclient::putLe32(f, 8 + 29, 0xffffffffu);
    cases.push_back({"payload length near 2^32", f, FRAME_BAD_PAYLOAD_LENGTH});

    // A compressed body whose header lies about the payload.
    ovclient::Message lie = clientMessage(kMsgDeviceListRequest, 2000);
    Bytes body;
    {
        Bytes raw = ovclient::encodeFrame(lie, ovclient::Compression::Never);
        body.assign(raw.begin() + 8, raw.end());
        ovclient::putLe32(body, 29, 2001);
        Bytes block(LZ4_compressBound(int(body.size())));
        int c = LZ4_compress_default(reinterpret_cast<const char*>(body.data()), reinterpret_cast<char*>(block.data()),
                                     int(body.size()), int(block.size()));
        block.resize(size_t(c));
        cases.push_back({"compressed, payload length wrong", concat(prefix(uint32_t(c), uint32_t(body.size())), block),
                         FRAME_BAD_PAYLOAD_LENGTH});
    }

    Bytes c = ovclient::encodeFrame(clientMessage(kMsgDeviceListRequest, 2000), ovclient::Compression::Always);
    ovclient::putLe32(c, 4, 33 + 2000 + 100);
    cases.push_back({"LZ4 result shorter than L", c, FRAME_SIZE_MISMATCH});
    c = ovclient::encodeFrame(clientMessage(kMsgDeviceListRequest, 2000), ovclient::Compression::Always);
    ovclient::putLe32(c, 4, 33 + 1000);
    cases.push_back({"LZ4 result longer than L", c, FRAME_BAD_COMPRESSION});
    cases.push_back({"LZ4 garbage", concat(prefix(20, 100), Bytes(20, 0xff)), FRAME_BAD_COMPRESSION});
    cases.push_back({"C one above the limit", concat(prefix(0x900001, 40), Bytes(16, 1)), FRAME_TOO_BIG});
    cases.push_back({"L one above the limit", concat(prefix(0, 0x900001), Bytes(16, 1)), FRAME_TOO_BIG});
    cases.push_back({"both words maximal", prefix(0xffffffffu, 0xffffffffu), FRAME_TOO_BIG});
    Bytes t = ovclient::encodeFrame(clientMessage(kMsgHello, 128), ovclient::Compression::Never);
    t.resize(t.size() - 1);
    cases.push_back({"body cut short", t, FRAME_INCOMPLETE});
    cases.push_back({"prefix cut short", Bytes{1, 0, 0}, FRAME_INCOMPLETE});
    return cases;
}

TEST(FrameParser, RefusesEveryMalformedFrame) {
    for (const auto& tc : malformedCases()) {
        SCOPED_TRACE(tc.name);
        FrameScratch scratch{};
        const MessageHeader* body = nullptr;
        EXPECT_EQ(parse(tc.frame, &body, &scratch), tc.expected) << frameErrorText(int(parse(tc.frame, &body, &scratch)));
        releaseFrameScratch(&scratch);
    }
}

// A peer that pads its frames: L above 33 + P. The message is the header's
// P bytes, the padding is skipped with the frame, and the next frame is read
// as usual. Raw and compressed alike.
TEST(FrameParser, PaddedBodyIsAcceptedAndItsTrailingBytesIgnored) {
    for (auto mode : {ovclient::Compression::Never, ovclient::Compression::Always}) {
        ovclient::Message padded = clientMessage(kMsgHello, 128, 'p');
        Bytes stream = ovclient::encodeFrame(padded, mode);
        if (mode == ovclient::Compression::Never) {
            ovclient::putLe32(stream, 8 + 29, 64);  // the last 64 bytes become padding
        } else {
            Bytes raw = ovclient::encodeFrame(padded, ovclient::Compression::Never);
            Bytes body(raw.begin() + 8, raw.end());
            ovclient::putLe32(body, 29, 64);
            Bytes block(LZ4_compressBound(int(body.size())));
            int c = LZ4_compress_default(reinterpret_cast<const char*>(body.data()),
                                         reinterpret_cast<char*>(block.data()), int(body.size()), int(block.size()));
            block.resize(size_t(c));
            stream = concat(prefix(uint32_t(c), uint32_t(body.size())), block);
        }
        const size_t first = stream.size();
        stream = concat(stream, ovclient::encodeFrame(clientMessage(kMsgKeepAlive, 0), ovclient::Compression::Never));
        FrameScratch scratch{};
        const MessageHeader* body = nullptr;
        ASSERT_EQ(parse(stream, &body, &scratch), long(first)) << frameErrorText(int(parse(stream, &body, &scratch)));
        EXPECT_EQ(body->type, kMsgHello);
        EXPECT_EQ(body->payloadLength, 64u);
        EXPECT_EQ(messagePayload(body)[63], 'p');
        Bytes rest(stream.begin() + long(first), stream.end());
        ASSERT_EQ(parse(rest, &body, &scratch), long(rest.size()));
        EXPECT_EQ(body->type, kMsgKeepAlive);
        releaseFrameScratch(&scratch);
    }
}

TEST(FrameParser, LimitEdgeIsAcceptedOneAboveIsNot) {
    FrameSizes sizes;
    Bytes p = prefix(0x900000, 0x900000);
    EXPECT_EQ(parseFramePrefix(p.data(), p.size(), &sizes), 0);
    EXPECT_EQ(sizes.frameBytes, 0x900000u);
    p = prefix(0, 0x900000);
    EXPECT_EQ(parseFramePrefix(p.data(), p.size(), &sizes), 0);
    p = prefix(0x900001, 0x900000);
    EXPECT_EQ(parseFramePrefix(p.data(), p.size(), &sizes), FRAME_TOO_BIG);
    EXPECT_EQ(sizes.compressedLength, 0x900001u);  // both words are there for the log line
    p = prefix(0, 33);
    EXPECT_EQ(parseFramePrefix(p.data(), p.size(), &sizes), 0);
}

TEST(FrameParser, DecodesClientFramesRawAndCompressedInSequence) {
    Bytes stream;
    std::vector<ovclient::Message> sent;
    for (auto [size, mode] : {std::pair{0ul, ovclient::Compression::Never}, {128ul, ovclient::Compression::Always},
                              {5000ul, ovclient::Compression::Auto}, {351ul, ovclient::Compression::Auto}}) {
        sent.push_back(clientMessage(uint8_t(size % 200), size, uint8_t(size)));
        stream = concat(stream, ovclient::encodeFrame(sent.back(), mode));
    }
    FrameScratch scratch{};
    size_t offset = 0;
    for (const auto& expected : sent) {
        const MessageHeader* body = nullptr;
        long used = parseFrame(stream.data() + offset, stream.size() - offset, &scratch, &body);
        ASSERT_GT(used, 0) << frameErrorText(int(used));
        EXPECT_EQ(body->type, expected.type);
        EXPECT_EQ(body->context1, expected.context[0]);
        EXPECT_EQ(body->context5, expected.context[4]);
        EXPECT_EQ(body->deviceAddress, 112u);
        ASSERT_EQ(body->payloadLength, expected.payload.size());
        if (!expected.payload.empty()) {
            EXPECT_EQ(0, memcmp(messagePayload(body), expected.payload.data(), expected.payload.size()));
        }
        offset += size_t(used);
    }
    EXPECT_EQ(offset, stream.size());
    releaseFrameScratch(&scratch);
}

struct ServerFrame {
    Bytes bytes;
    uint32_t compressed;
    uint32_t length;
};

ServerFrame encodeWithServer(uint32_t payloadLength, uint32_t limit, bool random = false) {
    MessageHeader* m = allocMessage(payloadLength, kMsgDeviceAnnounce, 0, 0, 1, 2, 3, 4, 5, 6);
    EXPECT_NE(m, nullptr);
    std::mt19937 rng(7);
    for (uint32_t i = 0; i < payloadLength; i++) {
        messagePayload(m)[i] = random ? uint8_t(rng()) : uint8_t('a' + i % 3);
    }
    FrameEncoder encoder;
    initFrameEncoder(&encoder, limit);
    const uint8_t* frame = nullptr;
    size_t length = 0;
    ServerFrame out{};
    if (encodeFrame(&encoder, m, &frame, &length) == 0) {
        out.bytes.assign(frame, frame + length);
        out.compressed = ovclient::le32(frame);
        out.length = ovclient::le32(frame + 4);
    }
    releaseFrameEncoder(&encoder);
    freeMessage(m);
    return out;
}

TEST(FrameEncoder, CompressesOnlyAboveTheLimit) {
    // L = 384 is the default limit itself: sent raw. One more byte: LZ4.
    ServerFrame at = encodeWithServer(351, kDefaultCompressionLimit);
    EXPECT_EQ(at.compressed, 0u);
    EXPECT_EQ(at.length, 384u);
    EXPECT_EQ(at.bytes.size(), 8u + 384u);
    ServerFrame above = encodeWithServer(352, kDefaultCompressionLimit);
    EXPECT_GT(above.compressed, 0u);
    EXPECT_EQ(above.length, 385u);
    EXPECT_EQ(above.bytes.size(), 8u + above.compressed);
    EXPECT_GT(encodeWithServer(100, 32).compressed, 0u);
    EXPECT_EQ(encodeWithServer(100, 1000).compressed, 0u);
}

TEST(FrameEncoder, IncompressibleBodyGoesRaw) {
    ServerFrame f = encodeWithServer(4000, kDefaultCompressionLimit, true);
    EXPECT_EQ(f.compressed, 0u);
    EXPECT_EQ(f.bytes.size(), 8u + 33u + 4000u);
}

TEST(FrameEncoder, SizeLimitAtAndAboveTheEdge) {
    ServerFrame edge = encodeWithServer(kMaxFrameLength - 33, kDefaultCompressionLimit);
    EXPECT_EQ(edge.length, kMaxFrameLength);
    ovclient::Message decoded;
    EXPECT_GT(ovclient::decodeFrame(edge.bytes.data(), edge.bytes.size(), &decoded), 0);
    EXPECT_EQ(decoded.payload.size(), kMaxFrameLength - 33);

    MessageHeader* m = newMessage({.type = kMsgBulkInterruptTransferReply, .payloadLength = kMaxFrameLength - 32});
    ASSERT_NE(m, nullptr);
    FrameEncoder encoder;
    initFrameEncoder(&encoder, kDefaultCompressionLimit);
    const uint8_t* frame = nullptr;
    size_t length = 0;
    EXPECT_EQ(encodeFrame(&encoder, m, &frame, &length), FRAME_TOO_BIG);
    // A header whose payload length would wrap 33 + P past 2^32 is too big too.
    m->payloadLength = 0xfffffff0u;
    EXPECT_EQ(encodeFrame(&encoder, m, &frame, &length), FRAME_TOO_BIG);
    releaseFrameEncoder(&encoder);
    freeMessage(m);
}

TEST(FrameEncoder, ClientDecodesWhatServerEncodes) {
    for (uint32_t size : {0u, 1u, 351u, 352u, 70000u}) {
        SCOPED_TRACE(size);
        ServerFrame f = encodeWithServer(size, kDefaultCompressionLimit);
        ovclient::Message m;
        ASSERT_EQ(ovclient::decodeFrame(f.bytes.data(), f.bytes.size(), &m), long(f.bytes.size()));
        EXPECT_EQ(m.type, kMsgDeviceAnnounce);
        EXPECT_EQ(m.context[0], 1u);
        EXPECT_EQ(m.context[1], 2u);
        EXPECT_EQ(m.deviceAddress, 3u);
        EXPECT_EQ(m.context[2], 4u);
        EXPECT_EQ(m.context[4], 6u);
        ASSERT_EQ(m.payload.size(), size);
        for (uint32_t i = 0; i < size; i++) {
            ASSERT_EQ(m.payload[i], uint8_t('a' + i % 3));
        }
    }
}

TEST(Message, AllocCloneAndReply) {
    MessageHeader* m = allocMessage(10, kMsgServerInfo, 0, 0, 11, 22, 33, 44, 55, 66);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->type, kMsgServerInfo);
    EXPECT_EQ(m->context1, 11u);
    EXPECT_EQ(m->context2, 22u);
    EXPECT_EQ(m->deviceAddress, 33u);
    EXPECT_EQ(m->context3, 44u);
    EXPECT_EQ(m->context5, 66u);
    EXPECT_EQ(m->payloadLength, 10u);
    for (uint8_t b : m->reserved) {
        EXPECT_EQ(b, 0);
    }
    messagePrefix(m)->bodyLength = 43;
    memcpy(messagePayload(m), "0123456789", 10);
    MessageHeader* copy = cloneMessage(m);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(0, memcmp(messagePrefix(copy), messagePrefix(m), 8 + 33 + 10));
    MessageHeader* reply = newMessage({.type = kMsgType2Reply, .deviceAddress = 5, .replyTo = m});
    EXPECT_EQ(reply->context1, 11u);
    EXPECT_EQ(reply->context4, 55u);
    EXPECT_EQ(reply->deviceAddress, 33u);
    EXPECT_EQ(reply->type, kMsgType2Reply);
    EXPECT_EQ(reply->payloadLength, 0u);
    freeMessage(reply);
    MessageHeader* own = newMessage({.type = kMsgBindResult, .payloadLength = 3, .deviceAddress = 5});
    EXPECT_EQ(own->type, kMsgBindResult);
    EXPECT_EQ(own->context1, 0u);
    EXPECT_EQ(own->context5, 0u);
    EXPECT_EQ(own->deviceAddress, 5u);
    EXPECT_EQ(own->payloadLength, 3u);
    freeMessage(own);
    freeMessage(copy);
    freeMessage(m);
    freeMessage(nullptr);
    EXPECT_EQ(allocMessage(kMaxFrameLength + 1, kMsgHello, 0, 0, 0, 0, 0, 0, 0, 0), nullptr);
}

// A fake pool that hands out heap buffers and records what it saw.
struct FakePool {
    static inline int acquired = 0, released = 0;
    static inline void* last = nullptr;
    static void* acquire(uint32_t, uint8_t, uint32_t size, uint32_t) {
        acquired++;
        last = malloc(size);
        memset(last, 0xAB, size);
        return last;
    }
    static bool release(uint32_t, void* buffer) {
        if (buffer != last) {
            return false;
        }
        released++;
        free(buffer);
        last = nullptr;
        return true;
    }
};

TEST(Message, TransferRepliesUseThePoolOnlyWhenSwitchedOn) {
    MessageBufferPool pool{FakePool::acquire, FakePool::release, false, true, 16384, 16384};
    setMessageBufferPool(&pool);
    MessageHeader* heap = allocMessage(100, kMsgBulkInterruptTransferReply, 0x81, 4, 0, 0, 7, 0, 0, 0);
    EXPECT_EQ(FakePool::acquired, 0);
    freeMessage(heap);
    EXPECT_EQ(FakePool::released, 0);

    MessageHeader* iso = allocMessage(100, kMsgIsoTransferReply, 0x81, 4, 0, 0, 7, 0, 0, 0);
    ASSERT_EQ(FakePool::acquired, 1);
    EXPECT_EQ(iso->deviceAddress, 7u);
    EXPECT_EQ(messagePayload(iso)[3], 0);       // within zeroCount: cleared
    EXPECT_EQ(messagePayload(iso)[4], 0xAB);    // beyond: left for the kernel
    MessageHeader* clone = cloneMessage(iso);   // a clone is always heap
    freeMessage(clone);
    EXPECT_EQ(FakePool::released, 0);
    freeMessage(iso);
    EXPECT_EQ(FakePool::released, 1);
    setMessageBufferPool(nullptr);
}

// Sizes of the frame and, compressed, of the inflated body, as a prefix.
FrameSizes frameSizes(uint32_t compressed, uint32_t body) {
    return {compressed, body, compressed != 0 ? compressed : body};
}

constexpr FrameBudgetStop kNeverStop = {nullptr, nullptr};
// One thread alone never has to wait for the budget: if it does, bytes were
// not given back, and the frame fails instead of waiting for ever.
constexpr FrameBudgetStop kNoWaiting = {[](const void*) { return true; }, nullptr};

int begin(FrameDecoder* decoder, FrameSizes sizes) {
    return beginFrame(decoder, &sizes, kNoWaiting);
}
constexpr uint32_t kLargeBody = uint32_t(kKeptFrameBody) + 1;

struct DecoderCase {
    const char* name;
    FrameSizes sizes;
    size_t budget;  // bytes the frame holds of the frame budget
};

// Only bodies above the kept size draw on the budget, and only for the
// frame: afterwards the decoder holds small buffers alone.
TEST(FrameDecoder, LargeBuffersAreBudgetedAndGoBackAfterTheFrame) {
    const DecoderCase cases[] = {
        {"raw, small", frameSizes(0, 100), 0},
        {"raw, the largest kept", frameSizes(0, uint32_t(kKeptFrameBody)), 0},
        {"raw, one byte more", frameSizes(0, kLargeBody), kLargeBody + 8},
        {"compressed, both small", frameSizes(50, 4000), 0},
        {"small block inflating to 9 MiB", frameSizes(40000, kMaxFrameLength), kMaxFrameLength + 8},
        {"large block, large body", frameSizes(kLargeBody, kMaxFrameLength), kLargeBody + 8 + kMaxFrameLength + 8},
    };
    FrameDecoder decoder{};
    for (const DecoderCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(frameBudgetInUse(), 0u);
        ASSERT_EQ(begin(&decoder, c.sizes), 0);
        EXPECT_EQ(frameBudgetInUse(), c.budget);
        // Every byte of the frame and of the body is writable, behind the
        // prefix slot a message needs.
        EXPECT_EQ(frameDecoderFrame(&decoder), decoder.frame + kFramePrefixSize);
        memset(frameDecoderFrame(&decoder), 1, c.sizes.frameBytes);
        if (c.sizes.compressedLength != 0) {
            EXPECT_EQ(frameDecoderInflate(&decoder), decoder.inflate + kFramePrefixSize);
            memset(frameDecoderInflate(&decoder), 2, c.sizes.bodyLength);
        }
        endFrame(&decoder);
        EXPECT_EQ(frameBudgetInUse(), 0u);
        EXPECT_LE(decoder.frameSize, kKeptFrameBody + kFramePrefixSize);
        EXPECT_LE(decoder.inflateSize, kKeptFrameBody + kFramePrefixSize);
    }
    // A small frame after a small frame reuses the buffer it has.
    ASSERT_EQ(begin(&decoder, frameSizes(0, 200)), 0);
    endFrame(&decoder);
    uint8_t* kept = decoder.frame;
    ASSERT_EQ(begin(&decoder, frameSizes(0, 150)), 0);
    EXPECT_EQ(decoder.frame, kept);
    endFrame(&decoder);
    // A thread that ends in the middle of a large frame returns its bytes.
    ASSERT_EQ(begin(&decoder, frameSizes(0, kLargeBody)), 0);
    releaseFrameDecoder(&decoder);
    EXPECT_EQ(frameBudgetInUse(), 0u);
}

// Released large buffers serve the next request of up to their size (the
// smallest that fits); small ones are freed; the cache keeps at most its
// count and its bytes.
TEST(LargeBuffers, ReusedSmallestFirstAndBounded) {
    emptyLargeBufferCache();
    giveLargeBuffer(malloc(1000));
    EXPECT_EQ(largeBufferCacheCount(), 0u);
    bool fresh = false;
    uint8_t* a = takeLargeBuffer(200000, false, &fresh);
    EXPECT_TRUE(fresh);
    uint8_t* b = takeLargeBuffer(400000, false, &fresh);
    giveLargeBuffer(b);
    giveLargeBuffer(a);
    EXPECT_EQ(largeBufferCacheCount(), 2u);
    EXPECT_EQ(takeLargeBuffer(150000, false, &fresh), a);
    EXPECT_FALSE(fresh);
    uint8_t* c = takeLargeBuffer(500000, true, &fresh);
    EXPECT_TRUE(fresh);
    EXPECT_NE(c, b);
    EXPECT_EQ(c[499999], 0);
    EXPECT_EQ(takeLargeBuffer(300000, false, &fresh), b);
    EXPECT_EQ(largeBufferCacheCount(), 0u);
    for (uint8_t* buffer : {a, b, c}) giveLargeBuffer(buffer);

    std::vector<uint8_t*> many;
    for (size_t i = 0; i < kLargeBufferCacheCount + 4; i++) many.push_back(takeLargeBuffer(1 << 20, false, nullptr));
    for (size_t i = 0; i < 3; i++) many.push_back(takeLargeBuffer(kMaxFrameLength, false, nullptr));
    for (uint8_t* buffer : many) giveLargeBuffer(buffer);
    EXPECT_EQ(largeBufferCacheCount(), kLargeBufferCacheCount);
    EXPECT_LE(largeBufferCacheBytes(), kLargeBufferCacheBytes);
    emptyLargeBufferCache();
    EXPECT_EQ(largeBufferCacheBytes(), 0u);
}

// A message in a reused buffer starts zero-filled like a fresh one; only a
// bulk or interrupt transfer reply, whose completion clears what the device
// does not fill, has just its header and first payload bytes cleared. Freed,
// the buffer goes back for the next one.
TEST(Message, LargeMessagesInReusedBuffers) {
    constexpr uint32_t kPayload = 200000;
    for (MessageType type : {kMsgForward, kMsgBulkInterruptTransferReply}) {
        SCOPED_TRACE(int(type));
        emptyLargeBufferCache();
        uint8_t* dirty = takeLargeBuffer(kPayload + 41, false, nullptr);
        memset(dirty, 0xaa, kPayload + 41);
        giveLargeBuffer(dirty);
        MessageHeader* m = newMessage({.type = type, .payloadLength = kPayload, .deviceAddress = 7, .endpoint = 0x81,
                                       .zeroCount = 4});
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(reinterpret_cast<uint8_t*>(m) - kFramePrefixSize, dirty);
        EXPECT_EQ(m->type, type);
        EXPECT_EQ(m->payloadLength, kPayload);
        EXPECT_EQ(m->deviceAddress, 7u);
        const uint8_t* header = reinterpret_cast<const uint8_t*>(m);
        EXPECT_TRUE(std::all_of(header + 1, header + 5, [](uint8_t b) { return b == 0; }));
        const uint8_t* payload = messagePayload(m);
        const size_t zeroed = type == kMsgForward ? kPayload : 4;
        EXPECT_TRUE(std::all_of(payload, payload + zeroed, [](uint8_t b) { return b == 0; }));
        freeMessage(m);
        EXPECT_EQ(largeBufferCacheCount(), 1u);
    }
    emptyLargeBufferCache();
}

// A large frame's buffer serves the next large frame once the first has
// been handled; the budget counts each frame as before.
TEST(FrameDecoder, LargeFrameBufferServesTheNextLargeFrame) {
    emptyLargeBufferCache();
    FrameDecoder decoder{};
    ASSERT_EQ(begin(&decoder, frameSizes(0, 1 << 20)), 0);
    uint8_t* first = decoder.frame;
    EXPECT_EQ(frameBudgetInUse(), (1u << 20) + 8);
    endFrame(&decoder);
    EXPECT_EQ(frameBudgetInUse(), 0u);
    EXPECT_EQ(largeBufferCacheCount(), 1u);
    ASSERT_EQ(begin(&decoder, frameSizes(0, (1 << 20) - 100)), 0);
    EXPECT_EQ(decoder.frame, first);
    EXPECT_EQ(frameBudgetInUse(), (1u << 20) - 100 + 8);
    releaseFrameDecoder(&decoder);
    EXPECT_EQ(frameBudgetInUse(), 0u);
    emptyLargeBufferCache();
}

// The decoder holding one received body, as the receive thread has it while
// a handler runs.
class ReceivedBody : public ::testing::Test {
protected:
    void TearDown() override {
        setDispatchingDecoder(nullptr);
        releaseFrameDecoder(&decoder_);
        setMessageBufferPool(nullptr);
    }

    // Reads frame into the decoder as the receive thread does and returns
    // the body; null when the decoder has no room.
    const MessageHeader* receive(const Bytes& frame) {
        FrameSizes sizes;
        EXPECT_EQ(parseFramePrefix(frame.data(), frame.size(), &sizes), 0);
        if (beginFrame(&decoder_, &sizes, kNoWaiting) != 0) {
            return nullptr;
        }
        memcpy(frameDecoderFrame(&decoder_), frame.data() + 8, sizes.frameBytes);
        const bool compressed = sizes.compressedLength != 0;
        const MessageHeader* body = nullptr;
        EXPECT_EQ(decodeFrameBody(&sizes, frameDecoderFrame(&decoder_), sizes.frameBytes,
                                  compressed ? frameDecoderInflate(&decoder_) : nullptr,
                                  compressed ? sizes.bodyLength : 0, &body),
                  0);
        setDispatchingDecoder(&decoder_);
        return body;
    }

    static Bytes bytesOf(const MessageHeader* m) {
        const auto* p = reinterpret_cast<const uint8_t*>(m);
        return Bytes(p, p + kMessageHeaderSize + m->payloadLength);
    }

    FrameDecoder decoder_{};
};

// A large body becomes the message itself, raw or inflated: no copy, and it
// leaves the decoder and the budget; freeMessage frees it like any message.
TEST_F(ReceivedBody, LargeBodyIsHandedOverNotCopied) {
    for (auto mode : {ovclient::Compression::Never, ovclient::Compression::Always}) {
        SCOPED_TRACE(mode == ovclient::Compression::Never ? "raw" : "LZ4");
        const MessageHeader* body = receive(ovclient::encodeFrame(clientMessage(kMsgForward, kLargeBody), mode));
        ASSERT_NE(body, nullptr);
        const Bytes before = bytesOf(body);
        EXPECT_GT(frameBudgetInUse(), 0u);
        MessageHeader* taken = takeReceivedMessage(body);
        EXPECT_EQ(taken, body);
        EXPECT_EQ(frameBudgetInUse(), 0u);
        EXPECT_EQ(bytesOf(taken), before);
        // The next frame gets a buffer of its own, not the one handed over.
        endFrame(&decoder_);
        const MessageHeader* next = receive(ovclient::encodeFrame(clientMessage(kMsgForward, kLargeBody, 'y'), mode));
        ASSERT_NE(next, nullptr);
        EXPECT_NE(next, taken);
        EXPECT_EQ(bytesOf(taken), before);
        endFrame(&decoder_);
        freeMessage(taken);
    }
}

// Small bodies, and bodies that are not this thread's current frame, are
// copied; the decoder keeps its buffers.
TEST_F(ReceivedBody, OtherBodiesAreCopied) {
    const MessageHeader* small = receive(ovclient::encodeFrame(clientMessage(kMsgForward, 2000), ovclient::Compression::Always));
    ASSERT_NE(small, nullptr);
    MessageHeader* copy = takeReceivedMessage(small);
    EXPECT_NE(copy, small);
    EXPECT_EQ(bytesOf(copy), bytesOf(small));
    EXPECT_NE(decoder_.inflate, nullptr);
    freeMessage(copy);
    endFrame(&decoder_);

    MessageHeader* own = newMessage({.type = kMsgForward, .payloadLength = kLargeBody});
    copy = takeReceivedMessage(own);
    EXPECT_NE(copy, own);
    EXPECT_EQ(bytesOf(copy), bytesOf(own));
    freeMessage(copy);
    freeMessage(own);

    // A large body on a thread that dispatches nothing is copied too.
    const MessageHeader* large = receive(ovclient::encodeFrame(clientMessage(kMsgForward, kLargeBody), ovclient::Compression::Never));
    ASSERT_NE(large, nullptr);
    setDispatchingDecoder(nullptr);
    copy = takeReceivedMessage(large);
    EXPECT_NE(copy, large);
    EXPECT_EQ(bytesOf(copy), bytesOf(large));
    freeMessage(copy);
    endFrame(&decoder_);
}

// A handed-over body of a transfer-reply type is a heap buffer: freeMessage
// asks the pool, which does not know it, and frees it.
TEST_F(ReceivedBody, HandedOverBodyOfAPoolTypeIsFreedAsHeap) {
    MessageBufferPool pool{FakePool::acquire, FakePool::release, true, true, 16384, 16384};
    setMessageBufferPool(&pool);
    FakePool::released = 0;
    const MessageHeader* body =
        receive(ovclient::encodeFrame(clientMessage(kMsgBulkInterruptTransferReply, kLargeBody), ovclient::Compression::Never));
    ASSERT_NE(body, nullptr);
    MessageHeader* taken = takeReceivedMessage(body);
    EXPECT_EQ(taken, body);
    freeMessage(taken);
    EXPECT_EQ(FakePool::released, 0);
}

TEST(FrameBudget, WaitsForBytesToComeBackAndGivesUpWhenStopped) {
    setFrameBudgetLimit(100);
    ASSERT_TRUE(takeFrameBudget(60, kNeverStop));
    std::atomic<bool> took{false};
    std::thread waiter([&] { took = takeFrameBudget(60, kNeverStop); });
    ASSERT_TRUE(testwait::waitUntil([] { return frameBudgetWaiters() == 1; }, std::chrono::seconds(10)));
    EXPECT_FALSE(took);
    returnFrameBudget(60);
    waiter.join();
    EXPECT_TRUE(took);
    EXPECT_EQ(frameBudgetInUse(), 60u);

    // A stop check that turns true ends the wait with nothing taken.
    std::atomic<bool> stop{false};
    const FrameBudgetStop stopWhenSet = {[](const void* flag) { return static_cast<const std::atomic<bool>*>(flag)->load(); },
                                         &stop};
    std::thread stopped([&] { took = takeFrameBudget(60, stopWhenSet); });
    ASSERT_TRUE(testwait::waitUntil([] { return frameBudgetWaiters() == 1; }, std::chrono::seconds(10)));
    stop = true;
    stopped.join();
    EXPECT_FALSE(took);
    EXPECT_EQ(frameBudgetInUse(), 60u);
    returnFrameBudget(60);

    // More than the whole budget goes through alone rather than never.
    resetFrameBudgetPeak();
    ASSERT_TRUE(takeFrameBudget(150, kNeverStop));
    EXPECT_EQ(frameBudgetPeak(), 150u);
    returnFrameBudget(150);
    setFrameBudgetLimit(kDefaultFrameBudget);
}

} // namespace
