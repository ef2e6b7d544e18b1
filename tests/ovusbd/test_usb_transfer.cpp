// Transfers and operations through the device's threads against the
// simulated bus's URB engine: splitting as submitted, statuses, exactly one
// completion whatever the order URBs come back in, the control watchdog,
// unplug during transfers, and every operation code.
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <functional>
#include <numeric>
#include <thread>

#include "tests/ovusbd/test_usb_transfer_support.h"

using namespace usbtest;

namespace {

class TransferTest : public TransferFixture {};

std::string cbw(uint32_t tag, uint32_t length, bool in, std::vector<uint8_t> cdb) {
  std::string out(31, '\0');
  uint32_t words[3] = {0x43425355, tag, length};
  memcpy(&out[0], words, sizeof words);
  out[12] = in ? static_cast<char>(0x80) : 0;
  out[14] = static_cast<char>(cdb.size());
  memcpy(&out[15], cdb.data(), cdb.size());
  return out;
}

TEST_F(TransferTest, MassStorageReadsWhatWasWrittenThroughSmallUrbs) {
  auto disk = std::make_shared<simbus::MassStorageDevice>(64);
  plug(disk);
  Completions done;
  auto command = [&](const std::string& block) {
    std::vector<uint8_t> bytes(block.begin(), block.end());
    size_t target = done.count() + 1;
    bulk(0x02, bytes, 31, &done);
    ASSERT_TRUE(done.waitFor(target));
  };
  // WRITE(10) of 80 blocks would not fit; 40 blocks = 20480 bytes, two URBs.
  std::vector<uint8_t> payload(40 * 512);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
  size_t before = bus.submitted().size();
  command(cbw(1, 20480, false, {0x2a, 0, 0, 0, 0, 4, 0, 0, 40, 0}));
  bulk(0x02, payload, static_cast<int32_t>(payload.size()), &done);
  ASSERT_TRUE(done.waitFor(2));
  std::vector<uint8_t> csw(13);
  bulk(0x81, csw, 13, &done);
  ASSERT_TRUE(done.waitFor(3));
  EXPECT_EQ(done.at(1).status, 0);
  EXPECT_EQ(done.at(1).length, 20480);
  EXPECT_EQ(csw[12], 0);  // command passed
  EXPECT_EQ(disk->disk.substr(4 * 512, payload.size()), std::string(payload.begin(), payload.end()));

  // READ(10) back into 40000 bytes asked: three URBs, the device sends 20480.
  command(cbw(2, 20480, true, {0x28, 0, 0, 0, 0, 4, 0, 0, 40, 0}));
  std::vector<uint8_t> read(40000);
  bulk(0x81, read, 40000, &done);
  ASSERT_TRUE(done.waitFor(5));
  EXPECT_EQ(done.at(4).status, 0);
  EXPECT_EQ(done.at(4).length, 20480);
  EXPECT_TRUE(std::equal(payload.begin(), payload.end(), read.begin()));
  bulk(0x81, csw, 13, &done);
  ASSERT_TRUE(done.waitFor(6));
  EXPECT_EQ(csw[12], 0);

  std::vector<simbus::SubmittedUrb> urbs = submittedSince(before);
  std::vector<std::tuple<int, unsigned, int>> shapes;  // endpoint, flags, length
  for (const auto& u : urbs) shapes.emplace_back(u.endpoint, u.flags, u.length);
  const unsigned kShort = USBDEVFS_URB_SHORT_NOT_OK, kCont = USBDEVFS_URB_BULK_CONTINUATION;
  std::vector<std::tuple<int, unsigned, int>> expected = {
      {0x02, 0, 31},     {0x02, 0, 16384}, {0x02, kCont, 4096}, {0x81, 0, 13},
      {0x02, 0, 31},     {0x81, kShort, 16384}, {0x81, kShort | kCont, 16384}, {0x81, kCont, 7232},
      {0x81, 0, 13},
  };
  EXPECT_EQ(shapes, expected);
}

TEST_F(TransferTest, InquiryAndCapacity) {
  plug(std::make_shared<simbus::MassStorageDevice>(2048));
  Completions done;
  std::vector<uint8_t> block;
  std::string c = cbw(5, 36, true, {0x12, 0, 0, 0, 36, 0});
  block.assign(c.begin(), c.end());
  bulk(0x02, block, 31, &done);
  std::vector<uint8_t> inquiry(36), csw(13);
  bulk(0x81, inquiry, 36, &done);
  bulk(0x81, csw, 13, &done);
  c = cbw(6, 8, true, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  std::vector<uint8_t> block2(c.begin(), c.end()), capacity(8), csw2(13);
  bulk(0x02, block2, 31, &done);
  bulk(0x81, capacity, 8, &done);
  bulk(0x81, csw2, 13, &done);
  ASSERT_TRUE(done.waitFor(6));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&inquiry[8]), 8), "SIMBUS  ");
  EXPECT_EQ(capacity, (std::vector<uint8_t>{0, 0, 0x07, 0xff, 0, 0, 2, 0}));
  EXPECT_EQ(csw2[4], 6);  // the tag comes back
}

TEST_F(TransferTest, ShortPacketEndsAMultiUrbInTransferWithItsBytes) {
  auto hid = std::make_shared<simbus::HidDevice>();
  hid->reports.push_back("0123456789");
  plug(hid);
  Completions done;
  std::vector<uint8_t> buffer(40000);
  bulk(0x81, buffer, 40000, &done, USBDEVFS_URB_TYPE_BULK);
  ASSERT_TRUE(done.waitFor(1));
  EXPECT_EQ(done.at(0).status, 0);
  EXPECT_EQ(done.at(0).length, 10);
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 10), "0123456789");
  EXPECT_EQ(done.at(0).connection, 7);
  // With the client's "short is an error" flag the short packet is the status.
  bus.withModel("1-1", [](simbus::UsbModel& m) { static_cast<simbus::HidDevice&>(m).reports.push_back("ab"); });
  bulk(0x81, buffer, 64, &done, USBDEVFS_URB_TYPE_INTERRUPT, 2);
  ASSERT_TRUE(done.waitFor(2));
  EXPECT_EQ(done.at(1).length, 2);
  EXPECT_EQ(done.at(1).status, 0);  // -EREMOTEIO counts as data on IN
  EXPECT_EQ(bus.submitted().back().flags, static_cast<unsigned>(USBDEVFS_URB_SHORT_NOT_OK));
}

TEST_F(TransferTest, StreamIdMakesABulkUrbAndZeroLengthIsOneUrb) {
  auto gate = std::make_shared<simbus::GateDevice>();
  gate->open = true;
  plug(gate);
  Completions stream, empty;
  std::vector<uint8_t> buffer(64);
  size_t before = bus.submitted().size();
  bulk(0x81, buffer, 64, &stream, USBDEVFS_URB_TYPE_INTERRUPT, 0, 5);
  bulk(0x02, buffer, 0, &empty);
  ASSERT_TRUE(stream.waitFor(1));
  ASSERT_TRUE(empty.waitFor(1));
  auto urbs = submittedSince(before);
  ASSERT_EQ(urbs.size(), 2u);
  EXPECT_EQ(urbs[0].type, USBDEVFS_URB_TYPE_BULK);
  EXPECT_EQ(urbs[0].streamId, 5u);
  EXPECT_EQ(urbs[1].length, 0);
  EXPECT_EQ(empty.at(0).status, 0);
  EXPECT_EQ(empty.at(0).length, 0);
}

TEST_F(TransferTest, IsoTransferIsCutAndItsPacketResultsCopied) {
  auto gate = std::make_shared<simbus::GateDevice>();
  gate->open = true;
  plug(gate);
  Completions done;
  Iso transfer;
  size_t before = bus.submitted().size();
  iso(0x83, std::vector<uint32_t>(300, 1024), &transfer, &done);
  ASSERT_TRUE(done.waitFor(1));
  EXPECT_EQ(done.at(0).status, 0);
  EXPECT_EQ(done.at(0).length, 300 * 1024);
  EXPECT_EQ(done.at(0).errors, 0);
  auto urbs = submittedSince(before);
  ASSERT_EQ(urbs.size(), 3u);
  EXPECT_EQ(urbs[0].packets, 128);
  EXPECT_EQ(urbs[1].packets, 128);
  EXPECT_EQ(urbs[2].packets, 44);
  EXPECT_EQ(urbs[2].length, 44 * 1024);
  for (size_t p = 0; p < 300; ++p) {
    uint32_t words[3];
    memcpy(words, &transfer.results[p * 12], 12);
    ASSERT_EQ(words[0], 1024u) << p;
    ASSERT_EQ(words[1], 1024u) << p;
    ASSERT_EQ(words[2], 0u) << p;
  }
  EXPECT_EQ(transfer.data[0], 0x5a);
}

TEST_F(TransferTest, BadIsoRequestsAreRefusedBeforeTheKernelSeesThem) {
  auto gate = std::make_shared<simbus::GateDevice>();
  gate->open = true;
  plug(gate);
  Completions done, refused;
  size_t before = bus.submitted().size();
  Iso transfer;
  iso(0x83, {1024, 1024}, &transfer, &done);
  ASSERT_TRUE(done.waitFor(1));
  // The descriptors claim more than the data buffer holds.
  DeviceOperation* op = newOperation(kOpIsoTransfer, 0x83, &refused);
  std::vector<uint8_t> descriptors(12, 0), data(100), results(12);
  uint32_t length = 4096;
  memcpy(descriptors.data(), &length, 4);
  op->isoPacketCount = 1;
  op->isoLength = 4096;
  op->isoPackets = descriptors.data();
  op->isoPacketsLength = descriptors.size();
  op->isoResults = results.data();
  op->isoResultsLength = results.size();
  op->isoInBuffer = data.data();
  op->isoBufferLength = data.size();
  enqueueDeviceOperation(op);
  ASSERT_TRUE(refused.waitFor(1));
  EXPECT_EQ(done.at(0).status, 0);
  EXPECT_EQ(refused.at(0).status, -EINVAL);
  EXPECT_EQ(submittedSince(before).size(), 3u - 2u);  // only the good transfer's one URB
}

// Three URBs of each kind come back in every order, the last one failed:
// one completion, with the failure.
TEST_F(TransferTest, ExactlyOneCompletionInEveryReturnOrder) {
  auto gate = std::make_shared<simbus::GateDevice>();
  plug(gate);
  settings.bulkUrbSize = 16;
  settings.isoUrbSize = 64;
  enum Kind { Bulk, Control, IsoKind };
  for (Kind kind : {Bulk, Control, IsoKind}) {
    std::vector<size_t> order = {0, 1, 2};
    do {
      SCOPED_TRACE(std::to_string(kind) + ": " + std::to_string(order[0]) + std::to_string(order[1]) +
                   std::to_string(order[2]));
      bus.withModel("1-1", [](simbus::UsbModel& m) { static_cast<simbus::GateDevice&>(m).open = false; });
      bus.holdCompletions();
      Completions done;
      std::vector<uint8_t> buffer(40);
      Iso transfer;
      if (kind == Bulk) bulk(0x81, buffer, 40, &done);
      if (kind == Control) control({0xc0, 1, 0, 0, 0, 0, 40, 0}, buffer, &done);
      if (kind == IsoKind) iso(0x83, {32, 32, 32, 32, 32, 8}, &transfer, &done);
      ASSERT_TRUE(waitUntil([this] { return bus.pendingUrbs() == 3; }));
      bus.completePendingUrb("1-1", 2, -EPIPE);
      bus.withModel("1-1", [](simbus::UsbModel& m) { static_cast<simbus::GateDevice&>(m).open = true; });
      ASSERT_EQ(bus.heldCompletions(), 3u);
      // Held order: the failed last URB, then the first and the second.
      std::vector<size_t> release;
      for (size_t urb : order) release.push_back(urb == 2 ? 0 : urb + 1);
      bus.releaseCompletions(release);
      ASSERT_TRUE(done.waitFor(1));
      ASSERT_TRUE(waitUntil([this] { return idle(); }));
      EXPECT_EQ(done.count(), 1u);
      EXPECT_EQ(done.at(0).status, -EPIPE);
    } while (std::next_permutation(order.begin(), order.end()));
  }
}

TEST_F(TransferTest, ThousandsOfUrbsInOneTransfer) {
  auto gate = std::make_shared<simbus::GateDevice>();
  gate->open = true;
  plug(gate);
  settings.bulkUrbSize = 8;
  Completions done, isoDone;
  std::vector<uint8_t> buffer(8 * 1000);
  bulk(0x81, buffer, static_cast<int32_t>(buffer.size()), &done);
  Iso transfer;
  iso(0x83, std::vector<uint32_t>(17000, 0), &transfer, &isoDone);
  ASSERT_TRUE(done.waitFor(1) && isoDone.waitFor(1));
  ASSERT_TRUE(waitUntil([this] { return idle(); }));
  EXPECT_EQ(done.count() + isoDone.count(), 2u);
  EXPECT_EQ(done.at(0).length, 8000);
  EXPECT_EQ(done.at(0).status, 0);
  EXPECT_EQ(isoDone.at(0).status, 0);
}

TEST_F(TransferTest, StalledMultiUrbOutReportsTheStallWhateverTheOrder) {
  plug(std::make_shared<simbus::SilentDevice>());
  Completions done;
  std::vector<uint8_t> buffer(40000);
  for (std::vector<size_t> order : {std::vector<size_t>{0, 1, 2}, std::vector<size_t>{2, 1, 0}}) {
    bus.holdCompletions();
    size_t before = done.count();
    bulk(0x02, buffer, 40000, &done);
    ASSERT_TRUE(waitUntil([this] { return bus.pendingUrbs() == 3; }));
    bus.stallEndpoint("1-1", 0x02);  // the first fails -EPIPE, the others are cancelled
    ASSERT_EQ(bus.heldCompletions(), 3u);
    bus.releaseCompletions(order);
    ASSERT_TRUE(done.waitFor(before + 1));
    EXPECT_EQ(done.at(before).status, -EPIPE);
    EXPECT_EQ(done.at(before).length, 0);
    Completions clear;
    DeviceOperation* op = newOperation(kOpClearHalt, 0x02, &clear);
    enqueueDeviceOperation(op);
    ASSERT_TRUE(clear.waitFor(1));
    EXPECT_EQ(clear.at(0).status, 0);
  }
}

TEST_F(TransferTest, RemoteIoOnALaterSubmitCountsAsSuccess) {
  auto hid = std::make_shared<simbus::HidDevice>();
  plug(hid);
  Completions done;
  std::vector<uint8_t> buffer(40000);
  bus.failSubmit(2, EREMOTEIO);
  bus.withModel("1-1", [](simbus::UsbModel& m) { static_cast<simbus::HidDevice&>(m).reports.push_back(std::string(16384, 'x')); });
  bulk(0x81, buffer, 40000, &done);
  ASSERT_TRUE(done.waitFor(1));
  EXPECT_EQ(done.at(0).status, 0);
  EXPECT_EQ(done.at(0).length, 16384);
  // The same failure on the first URB is the transfer's status.
  bus.failSubmit(1, EREMOTEIO);
  bulk(0x81, buffer, 40000, &done);
  ASSERT_TRUE(done.waitFor(2));
  EXPECT_EQ(done.at(1).status, -EREMOTEIO);
}

// Fault: the completion thread gave up on a device whose URBs did not come
// back and never delivered again.
TEST_F(TransferTest, HalfSubmittedTransferWaitsForItsUrbsAndTheThreadServesOn) {
  auto gate = std::make_shared<simbus::GateDevice>();
  plug(gate);
  Completions done, later;
  std::vector<uint8_t> buffer(40000), other(40000);
  bus.failSubmit(2, ENOMEM);
  bulk(0x81, buffer, 40000, &done);
  ASSERT_TRUE(waitUntil([this] {
    return log.contains("LOG_ERR     Error, the USB device at address 11 is non responsive!");
  }));
  EXPECT_EQ(done.count(), 0u);  // its first URB is still out
  // A second half-submitted transfer is still served.
  bus.failSubmit(2, EPERM);
  bulk(0x81, other, 40000, &later);
  ASSERT_TRUE(waitUntil([this] { return bus.pendingUrbs() == 2; }));
  bus.withModel("1-1", [](simbus::UsbModel& m) { static_cast<simbus::GateDevice&>(m).open = true; });
  ASSERT_TRUE(done.waitFor(1));
  ASSERT_TRUE(later.waitFor(1));
  ASSERT_TRUE(waitUntil([this] { return idle(); }));
  EXPECT_EQ(done.count(), 1u);
  EXPECT_EQ(done.at(0).status, -ENOMEM);
  EXPECT_EQ(done.at(0).length, 16384);
  EXPECT_EQ(later.at(0).status, -EPERM);
}

TEST_F(TransferTest, WatchdogDiscardsAControlRequestNobodyAnswers) {
  settings.controlTimeoutMs = 150;
  plug(std::make_shared<simbus::SilentDevice>());
  Completions done;
  std::vector<uint8_t> buffer(18);
  control({0x80, 6, 0, 1, 0, 0, 18, 0}, buffer, &done);
  ASSERT_TRUE(done.waitFor(1));
  EXPECT_EQ(done.at(0).status, -ENOENT);  // the discard status
  ASSERT_TRUE(waitUntil([this] { return idle(); }));
  EXPECT_EQ(done.count(), 1u);
}

TEST_F(TransferTest, ControlInCopiesOnlyWhatTheDeviceSent) {
  auto responder = std::make_shared<simbus::ControlResponder>();
  responder->answer({0xc0, 1, 0, 0, 0, 0}, "0123456789");
  responder->answer({0x40, 2, 0, 0, 0, 0}, "");
  plug(responder);
  Completions done;
  std::vector<uint8_t> buffer(64, 0xee);
  control({0xc0, 1, 0, 0, 0, 0, 64, 0}, buffer, &done);
  ASSERT_TRUE(done.waitFor(1));
  EXPECT_EQ(done.at(0).status, 0);
  EXPECT_EQ(done.at(0).length, 10);
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 10), "0123456789");
  EXPECT_TRUE(std::all_of(buffer.begin() + 10, buffer.end(), [](uint8_t b) { return b == 0xee; }));
  // Host-to-device data reaches the device; a request it does not know stalls.
  std::vector<uint8_t> out = {1, 2, 3};
  Completions known, unknown;
  control({0x40, 2, 0, 0, 0, 0, 3, 0}, out, &known);
  control({0x40, 9, 0, 0, 0, 0, 0, 0}, out, &unknown);
  ASSERT_TRUE(known.waitFor(1));
  ASSERT_TRUE(unknown.waitFor(1));
  EXPECT_EQ(known.at(0).status, 0);
  EXPECT_EQ(unknown.at(0).status, -EPIPE);
  bus.withModel("1-1", [](simbus::UsbModel& m) {
    EXPECT_EQ(static_cast<simbus::ControlResponder&>(m).outData.at(0), std::string("\x01\x02\x03"));
  });
}

TEST_F(TransferTest, DescriptorRepliesPatchedForADeviceBehindAContainerIdHub) {
  auto responder = std::make_shared<simbus::ControlResponder>();
  std::string deviceDescriptor = std::string("\x12\x01\x00\x02", 4) + std::string(14, '\0');
  responder->answer({0x80, 6, 0, 1, 0, 0}, deviceDescriptor);
  // GET_DESCRIPTOR(BOS) is not answered: the device stalls.
  plug(responder);
  const uint8_t id[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  visitDevice(kAddress, [](ManagedUsbDevice* d, void* in) {
    d->hasContainerId = 1;
    memcpy(d->containerId, in, 16);
  }, const_cast<uint8_t*>(id));
  Completions d1, h1, w1, d2, h2;
  std::vector<uint8_t> descriptor(18), header(5), whole(25);
  control({0x80, 6, 0, 1, 0, 0, 18, 0}, descriptor, &d1);
  control({0x80, 6, 0, 0x0f, 0, 0, 5, 0}, header, &h1);
  control({0x80, 6, 0, 0x0f, 0, 0, 25, 0}, whole, &w1);
  ASSERT_TRUE(d1.waitFor(1) && h1.waitFor(1) && w1.waitFor(1));
  EXPECT_EQ(descriptor[2] | descriptor[3] << 8, 0x0210);
  EXPECT_EQ(h1.at(0).status, 0);
  EXPECT_EQ(h1.at(0).length, 5);
  EXPECT_EQ(header, (std::vector<uint8_t>{5, 0x0f, 25, 0, 1}));
  EXPECT_EQ(w1.at(0).length, 25);
  EXPECT_TRUE(std::equal(id, id + 16, whole.begin() + 9));
  // Without a Container ID the replies pass as they are.
  visitDevice(kAddress, [](ManagedUsbDevice* d, void*) { d->hasContainerId = 0; }, nullptr);
  control({0x80, 6, 0, 1, 0, 0, 18, 0}, descriptor, &d2);
  control({0x80, 6, 0, 0x0f, 0, 0, 5, 0}, header, &h2);
  ASSERT_TRUE(d2.waitFor(1) && h2.waitFor(1));
  EXPECT_EQ(descriptor[2] | descriptor[3] << 8, 0x0200);
  EXPECT_EQ(h2.at(0).status, -EPIPE);
}

TEST_F(TransferTest, OperationCodes) {
  plug(std::make_shared<simbus::SilentDevice>());
  struct OpCase {
    uint32_t code;
    int expected;
    unsigned long request;  // the ioctl it must have reached, 0: none checked
  };
  const OpCase cases[] = {
      {kOpClearHalt, 0, USBDEVFS_CLEAR_HALT}, {kOpAbortEndpoint, 0, 0},
      {kOpResetEndpoint, 0, USBDEVFS_RESETEP}, {kOpResetDevice, 0, USBDEVFS_RESET},
      {kOpClearStall, 0, USBDEVFS_CLEAR_HALT},
  };
  for (const OpCase& c : cases) {
    Completions done;
    enqueueDeviceOperation(newOperation(c.code, 0x81, &done));
    ASSERT_TRUE(done.waitFor(1)) << c.code;
    EXPECT_EQ(done.at(0).status, c.expected) << c.code;
    if (c.request) {
      std::vector<unsigned long> requests = bus.nodeRequests("1-1");
      EXPECT_NE(std::find(requests.begin(), requests.end(), c.request), requests.end()) << c.code;
    }
  }
  // Reset, configuration 1, alternate setting 0 of interface 0; then one
  // interface too many.
  uint8_t alts[2] = {0, 0};
  for (int8_t count : {1, 2}) {
    Completions done;
    DeviceOperation* op = newOperation(kOpResetAndConfigure, 0, &done);
    op->configurationValue = 1;
    op->altSettingCount = count;
    op->altSettings = alts;
    enqueueDeviceOperation(op);
    ASSERT_TRUE(done.waitFor(1));
    EXPECT_EQ(done.at(0).status, count == 1 ? 0 : -EINVAL);
  }
  // Streams: the kernel's grant, the free, and a refused request.
  struct StreamCase {
    uint32_t code, streams, endpoints;
    int expected;
  };
  for (const StreamCase& c : {StreamCase{kOpAllocStreams, 4, 1, 4}, StreamCase{kOpFreeStreams, 0, 1, 0},
                              StreamCase{kOpAllocStreams, 4, 0, -1}}) {
    Completions done;
    DeviceOperation* op = newOperation(c.code, 0, &done);
    op->streamCount = c.streams;
    op->streamEndpointCount = c.endpoints;
    op->streamEndpoints = static_cast<uint8_t*>(calloc(1, 1));
    op->streamEndpoints[0] = 0x81;
    enqueueDeviceOperation(op);
    ASSERT_TRUE(done.waitFor(1));
    EXPECT_EQ(done.at(0).status, c.expected);
    EXPECT_EQ(done.at(0).connection, 7);
  }
}

TEST_F(TransferTest, AbortEndpointEndsItsTransfersWithTheDiscardStatus) {
  plug(std::make_shared<simbus::SilentDevice>());
  Completions in, out, abort;
  std::vector<uint8_t> a(100), b(100);
  bulk(0x81, a, 100, &in);
  bulk(0x02, b, 100, &out);
  ASSERT_TRUE(waitUntil([this] { return bus.pendingUrbs() == 2; }));
  enqueueDeviceOperation(newOperation(kOpAbortEndpoint, 0x81, &abort));
  ASSERT_TRUE(in.waitFor(1));
  ASSERT_TRUE(abort.waitFor(1));
  EXPECT_EQ(in.at(0).status, -ENOENT);
  EXPECT_EQ(out.count(), 0u);  // the other endpoint goes on
  EXPECT_EQ(bus.pendingUrbs(), 1u);
  ASSERT_EQ(unplugDevice(kAddress, nullptr, 0), 0);
  EXPECT_EQ(out.count(), 1u);
}

// Answers every bulk URB at once and notes, in order, its length and the
// thread that submitted it (models run inside the submitter's ioctl).
class SubmitterRecorder : public simbus::UsbModel {
 public:
  struct Seen {
    int length;
    std::thread::id thread;
  };
  std::vector<Seen> seen;
  simbus::UrbAnswer in(uint8_t, size_t length) override {
    seen.push_back(Seen{static_cast<int>(length), std::this_thread::get_id()});
    return simbus::UrbAnswer{false, 0, std::string(length, 'i')};
  }
  simbus::UrbAnswer out(uint8_t, const std::string& data) override {
    seen.push_back(Seen{static_cast<int>(data.size()), std::this_thread::get_id()});
    return simbus::UrbAnswer{};
  }
};

// A transfer for a device with nothing queued and nothing running is
// submitted by its submitter on the way; one that arrives while an
// operation runs, or behind queued ones, waits in the queue and keeps its
// place, and the operation thread hands the device back once the queue is
// empty.
TEST_F(TransferTest, TransfersGoStraightToTheDeviceOnlyWhenItsQueueIsIdle) {
  auto recorder = std::make_shared<SubmitterRecorder>();
  plug(recorder);
  const std::thread::id self = std::this_thread::get_id();
  auto seen = [this] {
    std::vector<SubmitterRecorder::Seen> copy;
    bus.withModel("1-1", [&](simbus::UsbModel& m) { copy = static_cast<SubmitterRecorder&>(m).seen; });
    return copy;
  };
  std::vector<uint8_t> in1(1), out2(2), in3(3), in4(4), in5(5);

  // Idle: submitted by this thread before the call returns.
  Completions first;
  bulk(0x81, in1, 1, &first);
  ASSERT_EQ(seen().size(), 1u);
  EXPECT_EQ(seen()[0].thread, self);
  ASSERT_TRUE(first.waitFor(1));

  // A clear halt runs on the operation thread and waits in the kernel; the
  // transfers behind it are queued, not submitted, and follow it in order.
  bus.holdIoctl(USBDEVFS_CLEAR_HALT);
  Completions done;
  enqueueDeviceOperation(newOperation(kOpClearHalt, 0x02, &done));
  ASSERT_TRUE(waitUntil([this] { return bus.heldIoctls() == 1; })) << "the clear halt to reach the kernel";
  bulk(0x02, out2, 2, &done);
  bulk(0x81, in3, 3, &done);
  bulk(0x81, in4, 4, &done);
  EXPECT_EQ(seen().size(), 1u) << "a transfer overtook the running operation";
  bus.releaseIoctl();
  ASSERT_TRUE(done.waitFor(4));
  std::vector<SubmitterRecorder::Seen> order = seen();
  ASSERT_EQ(order.size(), 4u);
  for (size_t i = 1; i < 4; ++i) {
    EXPECT_EQ(order[i].length, static_cast<int>(i + 1));
    EXPECT_NE(order[i].thread, self);
  }
  EXPECT_EQ(done.at(0).status, 0);  // the clear halt, first
  for (size_t i = 1; i < 4; ++i) EXPECT_EQ(done.at(i).length, static_cast<int32_t>(i + 1));

  // Idle again: straight from this thread.
  Completions last;
  bulk(0x81, in5, 5, &last);
  ASSERT_EQ(seen().size(), 5u);
  EXPECT_EQ(seen()[4].thread, self);
  ASSERT_TRUE(last.waitFor(1));
  EXPECT_EQ(last.at(0).length, 5);
}

TEST_F(TransferTest, OperationForAMissingDeviceCompletesWithNoDevice) {
  Completions done;
  DeviceOperation* op = newOperation(kOpTransfer, 0x81, &done);
  op->address = 99;
  uint8_t queued = 7;
  op->queued = &queued;
  EXPECT_EQ(enqueueDeviceOperation(op), 0);
  EXPECT_EQ(queued, 0);
  ASSERT_TRUE(done.waitFor(1));
  EXPECT_EQ(done.at(0).status, -ENODEV);
  Completions reset;
  EXPECT_EQ(queueDeviceReset(99, Completions::operation, &reset), 0);
  ASSERT_TRUE(reset.waitFor(1));
  EXPECT_EQ(reset.at(0).status, -ENODEV);
  std::vector<uint8_t> buffer(8);
  Completions control;
  submitControlTransfer(99, 0, std::vector<uint8_t>{0x80, 6, 0, 1, 0, 0, 8, 0}.data(), nullptr, buffer.data(), 0,
                        Completions::transfer, &control, 3);
  ASSERT_TRUE(control.waitFor(1));
  EXPECT_EQ(control.at(0).status, -ENODEV);
}

// Unplug while a transfer of each kind is out: each completes once.
TEST_F(TransferTest, UnplugDuringEachKindOfTransfer) {
  for (bool held : {false, true}) {
    SCOPED_TRACE(held ? "discards never come back" : "discards come back");
    plug(std::make_shared<simbus::SilentDevice>());
    if (held) bus.holdCompletions();
    Completions bulkDone, controlDone, isoDone, opsDone;
    std::vector<uint8_t> buffer(40000), setupData(18);
    Iso transfer;
    bulk(0x81, buffer, 40000, &bulkDone);
    control({0x80, 6, 0, 1, 0, 0, 18, 0}, setupData, &controlDone);
    iso(0x83, {100, 100}, &transfer, &isoDone);
    ASSERT_TRUE(waitUntil([this] { return bus.pendingUrbs() == 5; }));
    for (int i = 0; i < 20; ++i) enqueueDeviceOperation(newOperation(kOpClearHalt, 0x81, &opsDone));
    ASSERT_EQ(unplugDevice(kAddress, nullptr, 0), 0);
    for (Completions* c : {&bulkDone, &controlDone, &isoDone}) {
      ASSERT_TRUE(c->waitFor(1));
      EXPECT_LT(c->at(0).status, 0);
      if (held) {
        EXPECT_EQ(c->at(0).status, -ENODEV);
        EXPECT_EQ(c->at(0).length, 0);
      }
    }
    ASSERT_TRUE(opsDone.waitFor(20));
    EXPECT_EQ(bulkDone.count() + controlDone.count() + isoDone.count(), 3u);
    EXPECT_EQ(opsDone.count(), 20u);
    EXPECT_EQ(bus.openDescriptors(), 0);
    if (held) bus.releaseCompletions();
    bus.removeDevice("1-1");
  }
}

TEST_F(TransferTest, DeviceVanishingFromTheBusEndsItsTransfers) {
  plug(std::make_shared<simbus::SilentDevice>());
  Completions done;
  std::vector<uint8_t> buffer(100);
  bulk(0x81, buffer, 100, &done);
  ASSERT_TRUE(waitUntil([this] { return bus.pendingUrbs() == 1; }));
  bus.removeDevice("1-1");  // the kernel kills the URB; the reaper gets it
  ASSERT_TRUE(done.waitFor(1));
  EXPECT_EQ(done.at(0).status, -ENOENT);
  ASSERT_EQ(unplugDevice(kAddress, nullptr, 0), 0);
  EXPECT_EQ(done.count(), 1u);
}

// Fault: the usbfs descriptor was closed while another thread still used it.
TEST_F(TransferTest, DescriptorIsClosedOnlyAfterItsLastUser) {
  plug(std::make_shared<simbus::SilentDevice>());
  std::string node = bus.nodePath("1-1");
  int fd = acquireUsbfs(kAddress);
  ASSERT_GE(fd, 0);
  std::thread unplugger([] { unplugDevice(kAddress, nullptr, 0); });
  // Removal has begun: no new user gets the descriptor, and it stays open.
  ASSERT_TRUE(waitUntil([] {
    int other = acquireUsbfs(kAddress);
    if (other >= 0) releaseUsbfs(kAddress, other);
    return other == -ENODEV;
  }));
  Completions done;
  EXPECT_EQ(queueDeviceReset(kAddress, Completions::operation, &done), 0);
  ASSERT_TRUE(done.waitFor(1));
  EXPECT_EQ(done.at(0).status, -ENODEV);
  auto open = [&] {
    std::vector<std::string> paths = bus.openPaths();
    return std::count(paths.begin(), paths.end(), node) != 0;
  };
  // The removal gets as far as the descriptor (the reaper's wake-up eventfd
  // is closed once the reaper has been joined), and no further.
  ASSERT_TRUE(waitUntil([this] { return bus.openDescriptors() == 1; }));
  EXPECT_FALSE(waitUntil([&] { return !open(); }, 200));
  uint32_t interface = 0;
  EXPECT_EQ(usbSys->ioctl(fd, USBDEVFS_CLAIMINTERFACE, &interface), 0);
  releaseUsbfs(kAddress, fd);
  unplugger.join();
  EXPECT_FALSE(open());
}

// Fault: a revoked descriptor closed, and its number free for reuse, while
// a thread still held it; or never closed. After the generic usb driver let
// go and took the device again, one holder renews the descriptor: the
// reaper follows to the new one (a transfer completes), the descriptor
// still held stays open and revoked, and its last release closes it.
TEST_F(TransferTest, RevokedDescriptorIsClosedByItsLastHolder) {
  auto gate = std::make_shared<simbus::GateDevice>();
  gate->open = true;
  plug(gate);
  const std::string node = bus.nodePath("1-1");
  auto nodeDescriptors = [this, &node] {
    std::vector<std::string> paths = bus.openPaths();
    return std::count(paths.begin(), paths.end(), node);
  };
  const int held = acquireUsbfs(kAddress);
  ASSERT_GE(held, 0);
  bus.unbindGenericDriver("1-1");
  bus.bindGenericDriver("1-1");
  int fd = acquireUsbfs(kAddress);
  ASSERT_EQ(fd, held);
  uint32_t interface = 0;
  ASSERT_EQ(usbSys->ioctl(fd, USBDEVFS_CLAIMINTERFACE, &interface), -ENODEV);
  const int renewed = renewUsbfs(kAddress, fd);
  ASSERT_GE(renewed, 0);
  EXPECT_NE(renewed, held);
  EXPECT_EQ(usbSys->ioctl(renewed, USBDEVFS_CLAIMINTERFACE, &interface), 0);
  EXPECT_EQ(acquireClientUsbfs(kAddress), renewed);
  releaseClientUsbfs(kAddress, renewed);

  Completions done;
  std::vector<uint8_t> buffer(64);
  bulk(0x81, buffer, 64, &done);
  ASSERT_TRUE(done.waitFor(1));
  EXPECT_EQ(done.at(0).status, 0);
  EXPECT_EQ(done.at(0).length, 64);

  EXPECT_EQ(nodeDescriptors(), 2);
  EXPECT_EQ(usbSys->ioctl(held, USBDEVFS_CLAIMINTERFACE, &interface), -ENODEV) << "closed under its holder";
  releaseUsbfs(kAddress, held);
  EXPECT_EQ(nodeDescriptors(), 1);
  releaseUsbfs(kAddress, renewed);
  ASSERT_EQ(unplugDevice(kAddress, nullptr, 0), 0);
  EXPECT_EQ(nodeDescriptors(), 0);
}

// A revoked descriptor is not renewed for a device that has left (even
// when its node, by number, now opens another device), nor for one that
// another device driver holds (a claim would reset it under that driver):
// nothing is opened, and the hold stays on the old descriptor.
TEST_F(TransferTest, DescriptorIsNotRenewedForADeviceThatLeftOrIsHeldElsewhere) {
  const struct Case {
    const char* what;
    std::function<void(simbus::SimBus&, const std::string& node)> leave;
    int result;
  } cases[] = {
      {"gone from the bus", [](simbus::SimBus& bus, const std::string&) { bus.removeDevice("1-1"); }, -ENODEV},
      // Its node now opens another device, plugged at another port.
      {"its number taken by another device",
       [](simbus::SimBus& bus, const std::string& node) {
         bus.removeDevice("1-1");
         simbus::SimDevice other = device("1-2");
         other.devnum = atoi(node.substr(node.size() - 3).c_str());
         bus.addDevice(other);
       },
       -ENODEV},
      {"held by usbip-host", [](simbus::SimBus& bus, const std::string&) { bus.bindDeviceDriver("1-1", "usbip-host"); },
       -EBUSY},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    plug(std::make_shared<simbus::SilentDevice>());
    const std::string node = bus.nodePath("1-1");
    int fd = acquireUsbfs(kAddress);
    ASSERT_GE(fd, 0);
    c.leave(bus, node);
    EXPECT_EQ(renewUsbfs(kAddress, fd), c.result);
    std::vector<std::string> paths = bus.openPaths();
    EXPECT_EQ(std::count(paths.begin(), paths.end(), node), 1);
    releaseUsbfs(kAddress, fd);
    ASSERT_EQ(unplugDevice(kAddress, nullptr, 0), 0);
    bus.removeDevice("1-1");
    bus.removeDevice("1-2");
  }
}

}  // namespace
