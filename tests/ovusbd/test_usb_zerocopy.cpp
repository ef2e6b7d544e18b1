// Transfer buffers: heap below the minimum, mappings from the usbfs node
// reused per endpoint, zero copy switched off by EACCES, and the collector
// unmapping buffers that stay unused; transfer replies that a client gets
// built in those mappings.
#include <sys/mman.h>

#include <atomic>
#include <random>

#include "ovusbd/core/connectionmodule.h"
#include "ovusbd/core/handlers.h"
#include "ovusbd/core/replybuffers.h"
#include "ovusbd/usb/zerocopy.h"
#include "tests/ovusbd/test_usb_transfer_support.h"

using namespace usbtest;

namespace {

class ZeroCopyTest : public TransferFixture {
 protected:
  void SetUp() override {
    collectorSleepMs = 60 * 60 * 1000;  // no pass unless a test wants one
    TransferFixture::SetUp();
    plug(std::make_shared<simbus::SilentDevice>());
    bus.setMmapCapable("1-1", true);
    setCapable(1);
  }
  static void setCapable(uint8_t capable) {
    visitDevice(kAddress, [](ManagedUsbDevice* d, void* in) { d->zeroCopyCapable = *static_cast<uint8_t*>(in); },
                &capable);
  }
  static uint8_t capable() {
    uint8_t value = 0;
    visitDevice(kAddress, [](ManagedUsbDevice* d, void* out) { *static_cast<uint8_t*>(out) = d->zeroCopyCapable; },
                &value);
    return value;
  }
  static bool mapped(uint8_t* buffer) { return reinterpret_cast<UrbBufferHeader*>(buffer)[-1].mapped == 1; }
};

TEST_F(ZeroCopyTest, AcquireTable) {
  struct Step {
    const char* what;
    uint8_t endpoint;
    uint32_t size, minSize;
    bool mapped;
    size_t pool;  // mappings in the pool afterwards
  };
  const Step steps[] = {
      {"below the minimum", 0x81, 512, 16384, false, 0},
      {"large", 0x81, 65536, 16384, true, 1},
      {"OUT data asks with no minimum", 0x02, 512, 0, true, 2},
  };
  std::vector<uint8_t*> held;
  for (const Step& s : steps) {
    uint8_t* buffer = acquireUrbBuffer(kAddress, s.endpoint, s.size, s.minSize);
    ASSERT_NE(buffer, nullptr) << s.what;
    EXPECT_EQ(mapped(buffer), s.mapped) << s.what;
    EXPECT_EQ(zeroCopyPoolCount(), s.pool) << s.what;
    buffer[s.size - 1] = 1;  // the whole size is usable
    held.push_back(buffer);
  }
  for (uint8_t* buffer : held) releaseUrbBuffer(kAddress, buffer);
  EXPECT_EQ(zeroCopyPoolInUse(), 0u);

  // Released, the 65536-byte mapping serves the next request of its endpoint
  // and size; a larger request or another endpoint maps anew.
  uint8_t* again = acquireUrbBuffer(kAddress, 0x81, 65536, 16384);
  EXPECT_EQ(again, held[1]);
  uint8_t* smaller = acquireUrbBuffer(kAddress, 0x81, 20000, 16384);
  EXPECT_NE(smaller, held[1]);
  uint8_t* larger = acquireUrbBuffer(kAddress, 0x81, 65537, 16384);
  EXPECT_TRUE(mapped(larger));
  EXPECT_EQ(zeroCopyPoolCount(), 4u);
  for (uint8_t* buffer : {again, smaller, larger}) releaseUrbBuffer(kAddress, buffer);

  // A device that cannot map gets heap buffers; an unknown device too.
  setCapable(0);
  uint8_t* heap = acquireUrbBuffer(kAddress, 0x81, 65536, 16384);
  EXPECT_FALSE(mapped(heap));
  releaseUrbBuffer(kAddress, heap);
  uint8_t* unknown = acquireUrbBuffer(99, 0x81, 65536, 16384);
  EXPECT_FALSE(mapped(unknown));
  releaseUrbBuffer(99, unknown);
  releaseUrbBuffer(kAddress, nullptr);
}

TEST_F(ZeroCopyTest, RefusedMappingTurnsZeroCopyOff) {
  bus.failMmap(ENOMEM);
  uint8_t* first = acquireUrbBuffer(kAddress, 0x81, 65536, 16384);
  EXPECT_FALSE(mapped(first));
  EXPECT_EQ(capable(), 1);  // another failure leaves it on
  bus.failMmap(EACCES);
  uint8_t* second = acquireUrbBuffer(kAddress, 0x81, 65536, 16384);
  EXPECT_FALSE(mapped(second));
  EXPECT_EQ(capable(), 0);
  bus.failMmap(0);
  uint8_t* third = acquireUrbBuffer(kAddress, 0x81, 65536, 16384);
  EXPECT_FALSE(mapped(third));  // no further attempt
  EXPECT_EQ(bus.mappings(), 0u);
  for (uint8_t* buffer : {first, second, third}) releaseUrbBuffer(kAddress, buffer);
}

TEST_F(ZeroCopyTest, HeapBuffersAreZeroed) {
  setCapable(0);
  for (int round = 0; round < 4; ++round) {
    uint8_t* buffer = acquireUrbBuffer(kAddress, 0x81, 4096, 16384);
    for (int i = 0; i < 4096; ++i) ASSERT_EQ(buffer[i], 0) << round << " " << i;
    memset(buffer, 0xab, 4096);
    releaseUrbBuffer(kAddress, buffer);
  }
}

TEST_F(ZeroCopyTest, CollectorUnmapsWhatStaysUnused) {
  stopDeviceManagerThreads();
  settings.collectorSleepMs = 25;
  ASSERT_EQ(startDeviceManagerThreads(), 0);
  uint8_t* idle = acquireUrbBuffer(kAddress, 0x81, 65536, 16384);
  uint8_t* busy = acquireUrbBuffer(kAddress, 0x82, 65536, 16384);
  releaseUrbBuffer(kAddress, idle);
  ASSERT_EQ(bus.mappings(), 2u);
  ASSERT_TRUE(waitUntil([this] { return bus.mappings() == 1; }));
  EXPECT_EQ(zeroCopyPoolCount(), 1u);
  EXPECT_EQ(zeroCopyPoolInUse(), 1u);
  // The one in use survives; it goes back to the pool after its device has
  // gone, and the stop unmaps it.
  ASSERT_EQ(unplugDevice(kAddress, nullptr, 0), 0);
  releaseUrbBuffer(kAddress, busy);
  stopDeviceManagerThreads();
  EXPECT_EQ(bus.mappings(), 0u);
  ASSERT_EQ(startDeviceManagerThreads(), 0);
}

// A device that sends `answer` over bulk IN, URB after URB.
class BulkSource : public simbus::UsbModel {
 public:
  void send(std::string bytes) {
    answer = std::move(bytes);
    sent = 0;
  }
  simbus::UrbAnswer in(uint8_t, size_t length) override {
    std::string next = answer.substr(sent, length);
    sent += next.size();
    return simbus::UrbAnswer{false, 0, next};
  }
  std::string answer;
  size_t sent = 0;
};

// A client over loopback asks the device for bulk IN transfers, with the
// reply buffers installed as start-up installs them.
class ReplyBufferTest : public ZeroCopyTest {
 protected:
  // A client that stops reading on purpose, and then sends nothing while
  // the test waits, keeps its connection on a loaded machine.
  static constexpr int kPatientSeconds = 120;
  ReplyBufferTest() { coreSettings.pingTimeout = kPatientSeconds; }
  void SetUp() override {
    ZeroCopyTest::SetUp();
    source = std::make_shared<BulkSource>();
    bus.setModel("1-1", source);
    fillMessageHandlerTable();
    // These tests are about where replies live, not who may ask: the client
    // holds no binding, so the holder check is off.
    for (MessageHandlerEntry& entry : messageHandlers) entry.heldDeviceOnly = false;
  }
  void TearDown() override {
    // Replies still queued go back to the pool before its mappings go.
    disconnect();
    ZeroCopyTest::TearDown();
    removeReplyBuffers();
  }
  void connect() {
    int fd = connectLoopbackClient(kPatientSeconds);
    ASSERT_GE(fd, 0);
    client.adopt(fd);
  }
  // Joins the connection's threads: no message is being freed after it.
  void disconnect() {
    client.close();
    removeAllClients("test over");
  }
  // The pool changes only while no client is connected, as at start-up.
  void install(bool bulkZeroCopy, int minimum, bool isoZeroCopy = false) {
    disconnect();
    settings.enableBulkIntZeroCopy = bulkZeroCopy;
    settings.minBulkIntZeroCopySize = minimum;
    settings.enableIsoZeroCopy = isoZeroCopy;
    installReplyBuffers(settings);
    connect();
  }
  // Asks for `length` bytes from 0x81; the reply's status word and data.
  ovclient::TransferReply bulkIn(uint32_t length) {
    ovclient::BulkRequest request;
    request.endpoint = 0x81;
    request.length = length;
    ovclient::TransferReply reply;
    EXPECT_TRUE(client.bulkTransfer(kAddress, request, &reply));
    return reply;
  }
  static std::string randomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string bytes(n, '\0');
    for (char& c : bytes) c = char(rng());
    return bytes;
  }
  std::shared_ptr<BulkSource> source;
  ovclient::OvClient client;
};

// With "EnableBulkIntZeroCopy" a reply of at least the minimum is a mapped
// buffer: the device's URBs write straight into it and the client gets the
// very bytes, and the mapping serves the next reply of its endpoint. Below the
// minimum, with the switch off, or when the device will not map, replies
// are heap messages with the same bytes.
TEST_F(ReplyBufferTest, BulkInRepliesLiveInTheMappedUrbBuffer) {
  struct Case {
    const char* what;
    bool zeroCopy;
    int minimum;
    int mmapFailure;
    uint32_t length, answered;
    bool inMapping;
    size_t mappings;  // in the pool afterwards
  };
  const Case cases[] = {
      {"64 KiB", true, 16384, 0, 65536, 65536, true, 1},
      {"below the minimum", true, 16384, 0, 512, 512, false, 1},
      // The pool is asked for the whole reply: 41 bytes of prefix and header,
      // 4 of status, then the data.
      {"a reply of exactly the minimum", true, 16384, 0, 16384 - 45, 16384 - 45, true, 1},
      {"a reply one byte below the minimum", true, 16384, 0, 16384 - 46, 16384 - 46, false, 1},
      {"no minimum", true, 0, 0, 512, 512, true, 1},
      {"larger than the mapping", true, 16384, 0, 200000, 200000, true, 2},
      {"mapping refused", true, 16384, ENOMEM, 300000, 300000, false, 2},
      {"switched off", false, 16384, 0, 65536, 65536, false, 2},
  };
  unsigned seed = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    install(c.zeroCopy, c.minimum);
    bus.failMmap(c.mmapFailure);
    bus.withModel("1-1", [&](simbus::UsbModel&) { source->send(randomBytes(c.answered, seed++)); });
    const size_t before = bus.submitted().size();
    ovclient::TransferReply reply = bulkIn(c.length);
    EXPECT_EQ(reply.result, int32_t(c.answered));
    ASSERT_EQ(reply.data.size(), c.answered);
    EXPECT_TRUE(std::string(reply.data.begin(), reply.data.end()) == source->answer);
    std::vector<simbus::SubmittedUrb> urbs = submittedSince(before);
    ASSERT_FALSE(urbs.empty());
    for (const simbus::SubmittedUrb& urb : urbs) {
      EXPECT_EQ(urb.result, 0);
      EXPECT_EQ(urb.inMapping, c.inMapping);
    }
    EXPECT_EQ(zeroCopyPoolCount(), c.mappings);
    // Sent and freed: every mapping is back in the pool for the next one.
    EXPECT_TRUE(waitUntil([] { return zeroCopyPoolInUse() == 0; }));
  }
  bus.failMmap(0);
}

// The reply's padding beyond what the device sent is zero on the wire too:
// a reused mapping held the previous reply's bytes.
TEST_F(ReplyBufferTest, ShortAnswerLeavesNoStaleBytesOnTheWire) {
  install(true, 16384);
  bus.withModel("1-1", [&](simbus::UsbModel&) { source->send(std::string(65536, '\xa5')); });
  ASSERT_EQ(bulkIn(65536).result, 65536);
  // The client can have the reply before the server has freed it.
  ASSERT_TRUE(waitUntil([] { return zeroCopyPoolInUse() == 0; }));
  bus.withModel("1-1", [&](simbus::UsbModel&) { source->send("tail"); });
  ovclient::BulkRequest request;
  request.endpoint = 0x81;
  request.length = 65536;
  ovclient::Message raw;
  ASSERT_TRUE(client.request(kMsgBulkInterruptTransfer, ovclient::encodeBulkTransfer(request), &raw,
                             kMsgBulkInterruptTransferReply, kAddress));
  ASSERT_EQ(raw.payload.size(), 4u + 65536);
  EXPECT_EQ(ovclient::le32(raw.payload.data()), 4u);
  EXPECT_EQ(std::string(raw.payload.begin() + 4, raw.payload.begin() + 8), "tail");
  EXPECT_TRUE(std::all_of(raw.payload.begin() + 8, raw.payload.end(), [](uint8_t b) { return b == 0; }));
  EXPECT_EQ(zeroCopyPoolCount(), 1u);
}

// The writes of one client's link, by thread: a blocking write on the
// device's reaper thread would stall every transfer of the device (and of
// every other client) for as long as that client does not read.
struct WatchedWrites {
  static inline int (*realWrite)(NetworkConnection*, const void*, size_t) = nullptr;
  static inline int (*realWriteNow)(NetworkConnection*, const void*, size_t) = nullptr;
  static inline pthread_t reaper{};
  static inline std::atomic<int> blocking{0};          // write calls
  static inline std::atomic<int> blockingOnReaper{0};  // of them, on the reaper
  static inline std::atomic<int> refused{0};           // writeNow that did not take a whole frame
  static int write(NetworkConnection* link, const void* buffer, size_t length) {
    blocking++;
    if (pthread_equal(pthread_self(), reaper)) blockingOnReaper++;
    return realWrite(link, buffer, length);
  }
  static int writeNow(NetworkConnection* link, const void* buffer, size_t length) {
    const int result = realWriteNow(link, buffer, length);
    if (result == -EAGAIN || (result > 0 && static_cast<size_t>(result) < length)) refused++;
    return result;
  }
};

// A client that does not read fills its link: the reaper, which writes a
// reply itself while the link takes it at once, then hands the replies to
// the client's transmit thread and goes on reaping, so another client's
// transfer on the same device is answered meanwhile. Once the first client
// reads, it gets every reply, in the order of its requests (a transfer whose
// URBs were back before its submitter was done with it was once delivered
// by another thread, behind the next one).
TEST_F(ReplyBufferTest, ALinkThatIsFullGetsItsRepliesFromItsTransmitThread) {
  install(true, 16384);
  uint16_t id = 0;
  ASSERT_EQ(copyConnectionIds(&id, 1), 1u);
  NetworkConnection* link = nullptr;
  pthread_mutex_t* writeLock = nullptr;
  ASSERT_TRUE(withClient(id, [&](ConnectedClient* c) {
    link = c->link;
    writeLock = &c->writeLock;
  }));
  ASSERT_NE(link->writeNow, nullptr);
  // Every write to the link is made under its write lock.
  pthread_mutex_lock(writeLock);
  visitDevice(
      kAddress, [](ManagedUsbDevice* d, void*) { WatchedWrites::reaper = d->reaperThread; }, nullptr);
  WatchedWrites::realWrite = link->write;
  WatchedWrites::realWriteNow = link->writeNow;
  link->write = WatchedWrites::write;
  link->writeNow = WatchedWrites::writeNow;
  pthread_mutex_unlock(writeLock);

  // More than the socket buffers of both ends hold (loopback autotuning
  // stops at a few MiB each), less than the transmit queue may hold.
  constexpr size_t kTransfers = 384, kSize = 65536;
  const std::string data = randomBytes((kTransfers + 1) * kSize, 11);
  bus.withModel("1-1", [&](simbus::UsbModel&) { source->send(data); });
  ovclient::BulkRequest request;
  request.endpoint = 0x81;
  request.length = kSize;
  ovclient::Message ask;
  ask.type = kMsgBulkInterruptTransfer;
  ask.deviceAddress = kAddress;
  ask.payload = ovclient::encodeBulkTransfer(request);
  for (size_t i = 0; i < kTransfers; ++i) {
    for (int w = 0; w < 5; ++w) ask.context[w] = static_cast<uint32_t>(i);
    ASSERT_TRUE(client.send(ask));
  }
  ASSERT_TRUE(waitUntil([] { return WatchedWrites::refused.load() > 0; }, 20000)) << "the link to be full";
  // Every transfer has come back from the device: the reaper was not held
  // up by the full link.
  ASSERT_TRUE(waitUntil(
      [&] {
        size_t sent = 0;
        bus.withModel("1-1", [&](simbus::UsbModel&) { sent = source->sent; });
        return sent == kTransfers * kSize && idle();
      },
      20000))
      << "the device to answer every transfer";

  ovclient::OvClient other;
  int fd = connectLoopbackClient();
  ASSERT_GE(fd, 0);
  other.adopt(fd);
  ovclient::TransferReply answer;
  ASSERT_TRUE(other.bulkTransfer(kAddress, request, &answer));
  EXPECT_EQ(answer.result, static_cast<int32_t>(kSize));
  EXPECT_TRUE(std::string(answer.data.begin(), answer.data.end()) == data.substr(kTransfers * kSize, kSize));

  for (size_t i = 0; i < kTransfers; ++i) {
    ovclient::Message reply;
    ASSERT_TRUE(client.waitFor(kMsgBulkInterruptTransferReply, &reply, 20000)) << "reply " << i;
    EXPECT_EQ(reply.context[0], static_cast<uint32_t>(i));
    ASSERT_EQ(reply.payload.size(), 4 + kSize) << "reply " << i;
    EXPECT_EQ(ovclient::le32(reply.payload.data()), kSize);
    EXPECT_TRUE(memcmp(reply.payload.data() + 4, data.data() + i * kSize, kSize) == 0) << "reply " << i;
  }
  EXPECT_GT(WatchedWrites::blocking.load(), 0) << "nothing went through the transmit thread";
  EXPECT_EQ(WatchedWrites::blockingOnReaper.load(), 0);
}

// Each kind of transfer reply follows its own switch: bulk and interrupt
// "EnableBulkIntZeroCopy", isochronous "EnableIsoZeroCopy".
TEST_F(ReplyBufferTest, EachReplyKindFollowsItsOwnSwitch) {
  for (bool bulkOn : {true, false}) {
    SCOPED_TRACE(bulkOn ? "bulk on, iso off" : "bulk off, iso on");
    install(bulkOn, 16384, !bulkOn);
    bus.withModel("1-1", [&](simbus::UsbModel&) { source->send(randomBytes(65536, 7)); });
    size_t before = bus.submitted().size();
    EXPECT_EQ(bulkIn(65536).result, 65536);
    for (const simbus::SubmittedUrb& urb : submittedSince(before)) EXPECT_EQ(urb.inMapping, bulkOn);

    ovclient::IsoRequest iso;
    iso.endpoint = 0x83;
    iso.packetLengths.assign(8, 3072);
    ovclient::IsoReply reply;
    before = bus.submitted().size();
    ASSERT_TRUE(client.isoTransfer(kAddress, iso, &reply));
    EXPECT_EQ(reply.result, 8 * 3072);
    EXPECT_EQ(reply.packetData(7), std::vector<uint8_t>(3072, 0x5a));
    for (const simbus::SubmittedUrb& urb : submittedSince(before)) EXPECT_EQ(urb.inMapping, !bulkOn);
  }
}

}  // namespace
