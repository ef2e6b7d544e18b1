// The pure pieces of the transfer engine: URB splitting, URB sizes from the
// kernel release, how a reaped URB counts, request checks and the descriptor
// patches.
#include <errno.h>
#include <linux/usbdevice_fs.h>
#include <string.h>

#include <string>
#include <vector>

#include "ovusbd/usb/descriptorpatch.h"
#include "ovusbd/usb/transferchecks.h"
#include "ovusbd/usb/urbsplit.h"
#include "ovusbd/usb/urbstatus.h"
#include "ovusbd/usb/usbsettings.h"
#include "tests/ovusbd/test_usb_support.h"

namespace {

constexpr unsigned kShort = USBDEVFS_URB_SHORT_NOT_OK;
constexpr unsigned kCont = USBDEVFS_URB_BULK_CONTINUATION;

struct BulkCase {
  uint32_t length, urbSize;
  bool in, shortNotOk;
  std::vector<std::pair<uint32_t, unsigned>> pieces;  // length, flags
};

TEST(UrbSplit, BulkPiecesAndFlags) {
  const BulkCase cases[] = {
      {40000, 16384, true, false, {{16384, kShort}, {16384, kShort | kCont}, {7232, kCont}}},
      {40000, 16384, false, false, {{16384, 0}, {16384, kCont}, {7232, kCont}}},
      {40000, 16384, true, true, {{16384, kShort}, {16384, kShort | kCont}, {7232, kShort | kCont}}},
      {0, 16384, false, false, {{0, 0}}},
      {0, 16384, true, false, {{0, 0}}},
      {16384, 16384, true, false, {{16384, 0}}},
      {16385, 16384, false, false, {{16384, 0}, {1, kCont}}},
      {9437184, kLargeUrbSize, true, false, {{9437184, 0}}},
      {9437185, kLargeUrbSize, true, false, {{9437184, kShort}, {1, kCont}}},
  };
  for (const BulkCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.length) + (c.in ? " IN" : " OUT"));
    ASSERT_EQ(bulkUrbCount(c.length, c.urbSize), c.pieces.size());
    uint32_t offset = 0;
    for (uint32_t i = 0; i < c.pieces.size(); ++i) {
      UrbPiece piece = bulkUrbPiece(c.length, c.urbSize, i, c.in, c.shortNotOk);
      EXPECT_EQ(piece.offset, offset);
      EXPECT_EQ(piece.length, c.pieces[i].first);
      EXPECT_EQ(piece.flags, c.pieces[i].second) << "URB " << i;
      EXPECT_EQ(piece.isLast, i + 1 == c.pieces.size());
      offset += piece.length;
    }
  }
}

TEST(UrbSplit, IsoPacketsPerUrb) {
  struct IsoCase {
    std::vector<uint32_t> lengths;
    uint32_t urbSize;
    std::vector<uint32_t> packetsPerUrb;
  };
  std::vector<IsoCase> cases = {
      {std::vector<uint32_t>(300, 1024), kSmallIsoUrbSize, {128, 128, 44}},
      {std::vector<uint32_t>(300, 1024), kLargeUrbSize, {128, 128, 44}},
      // 196608 bytes hold 64 packets of 3072.
      {std::vector<uint32_t>(130, 3072), kSmallIsoUrbSize, {64, 64, 2}},
      {{0, 0, 0}, kSmallIsoUrbSize, {3}},
      {{100, kSmallIsoUrbSize, 1}, kSmallIsoUrbSize, {1, 1, 1}},
  };
  for (const IsoCase& c : cases) {
    std::vector<uint32_t> got;
    uint32_t packet = 0, offset = 0, bytes = 0;
    UrbPiece piece;
    while (nextIsoUrbPiece(c.lengths.data(), static_cast<uint32_t>(c.lengths.size()), c.urbSize, packet, offset,
                           &piece)) {
      EXPECT_EQ(piece.firstPacket, packet);
      EXPECT_EQ(piece.offset, offset);
      EXPECT_EQ(piece.flags, static_cast<uint32_t>(USBDEVFS_URB_ISO_ASAP));
      EXPECT_LE(piece.length, c.urbSize);
      got.push_back(piece.packetCount);
      packet += piece.packetCount;
      offset += piece.length;
      bytes += piece.length;
      EXPECT_EQ(piece.isLast, packet == c.lengths.size());
    }
    EXPECT_EQ(got, c.packetsPerUrb);
    EXPECT_EQ(packet, c.lengths.size());
  }
  // A packet larger than a URB cannot be placed: no piece, never an empty one.
  std::vector<uint32_t> tooBig = {kSmallIsoUrbSize + 1};
  UrbPiece piece;
  EXPECT_FALSE(nextIsoUrbPiece(tooBig.data(), 1, kSmallIsoUrbSize, 0, 0, &piece));
}

TEST(UrbSizes, FromTheKernelRelease) {
  usbtest::LogCapture log;
  struct SizeCase {
    const char* release;
    uint32_t bulk, iso;
    const char* line;
  };
  const SizeCase cases[] = {
      {"3.2.0", kSmallBulkUrbSize, kSmallIsoUrbSize, "Using small URB's"},
      {"2.6.32-5-686", kSmallBulkUrbSize, kSmallIsoUrbSize, "Using small URB's"},
      {"3.3.0", kLargeUrbSize, kLargeUrbSize, "Using large URB's"},
      {"4.0", kLargeUrbSize, kLargeUrbSize, "Using large URB's"},
      {"6.1.0-13-amd64", kLargeUrbSize, kLargeUrbSize, "Using large URB's"},
      {"linux", kSmallBulkUrbSize, kSmallIsoUrbSize,
       "Warning, failed quering major linux version 'linux', defaulting to small URB sizes"},
      {"5", kSmallBulkUrbSize, kSmallIsoUrbSize,
       "Warning, failed quering minor linux version '5', defaulting to small URB sizes"},
      {"5.x", kSmallBulkUrbSize, kSmallIsoUrbSize,
       "Warning, failed quering minor linux version '5.x', defaulting to small URB sizes"},
  };
  for (const SizeCase& c : cases) {
    SCOPED_TRACE(c.release);
    UsbSettings settings;
    configureUrbSizes(c.release, &settings);
    EXPECT_EQ(settings.bulkUrbSize, c.bulk);
    EXPECT_EQ(settings.isoUrbSize, c.iso);
    EXPECT_TRUE(log.contains(c.line));
  }
}

TEST(UrbStatus, HowOneUrbCounts) {
  struct TallyCase {
    GroupKind kind;
    bool out;
    int status, actual, errors;
    UrbTally expected;
  };
  const GroupKind bulk = GroupKind::BulkInterrupt, iso = GroupKind::Isochronous, control = GroupKind::Control;
  const TallyCase cases[] = {
      {bulk, false, 0, 512, 0, {0, 512, 0}},
      {bulk, false, -EREMOTEIO, 10, 0, {0, 10, 0}},   // short packet
      {bulk, false, -ECONNRESET, 0, 0, {0, 0, 0}},    // cancelled continuation
      {bulk, false, -EPIPE, 0, 0, {-EPIPE, 0, 0}},
      {bulk, false, -ENOENT, 0, 0, {-ENOENT, 0, 0}},  // discarded
      {bulk, true, 0, 512, 0, {0, 512, 0}},
      {bulk, true, -EPIPE, 64, 0, {-EPIPE, 0, 0}},
      {bulk, true, -ECONNRESET, 0, 0, {-ECONNRESET, 0, 0}},
      {control, false, -EPIPE, 0, 0, {-EPIPE, 0, 0}},
      {control, false, 0, 18, 0, {0, 18, 0}},
      {iso, false, 0, 3000, 2, {0, 3000, 2}},
      {iso, true, -EXDEV, 100, 1, {-EXDEV, 100, 1}},
      {bulk, false, 0, -5, 0, {0, 0, 0}},
  };
  for (const TallyCase& c : cases) {
    UrbTally got = tallyUrb(c.kind, c.out, c.status, c.actual, c.errors);
    EXPECT_EQ(got.error, c.expected.error) << c.status;
    EXPECT_EQ(got.addLength, c.expected.addLength) << c.status;
    EXPECT_EQ(got.addErrors, c.expected.addErrors) << c.status;
  }
}

std::vector<uint8_t> isoDescriptors(const std::vector<uint32_t>& lengths) {
  std::vector<uint8_t> bytes(lengths.size() * 12, 0);
  for (size_t i = 0; i < lengths.size(); ++i) memcpy(&bytes[i * 12], &lengths[i], 4);
  return bytes;
}

TEST(TransferChecks, IsoRequests) {
  struct IsoCheck {
    const char* what;
    std::vector<uint32_t> lengths;
    uint32_t count;
    size_t descriptorBytes;  // 0: exactly the descriptors
    int32_t total;
    size_t buffer;
    int expected;
  };
  const IsoCheck cases[] = {
      {"fits", {1024, 1024}, 2, 0, 2048, 2048, 0},
      {"no packets", {}, 0, 0, 0, 0, -EINVAL},
      {"descriptors cut", {1024, 1024}, 2, 23, 2048, 2048, -EINVAL},
      {"count beyond descriptors", {1024}, 2, 0, 1024, 4096, -EINVAL},
      {"sum differs", {1024, 1024}, 2, 0, 2000, 4096, -EINVAL},
      {"buffer short", {1024, 1024}, 2, 0, 2048, 2047, -EINVAL},
      {"packet beyond a URB", {kSmallIsoUrbSize + 1}, 1, 0, kSmallIsoUrbSize + 1, kSmallIsoUrbSize + 1, -EINVAL},
      {"negative total", {0}, 1, 0, -1, 10, -EINVAL},
  };
  for (const IsoCheck& c : cases) {
    std::vector<uint8_t> bytes = isoDescriptors(c.lengths);
    size_t descriptorBytes = c.descriptorBytes ? c.descriptorBytes : bytes.size();
    EXPECT_EQ(validateIsoRequest(c.count, bytes.data(), descriptorBytes, c.count * 12, c.total, c.buffer,
                                 kSmallIsoUrbSize),
              c.expected)
        << c.what;
  }
  std::vector<uint8_t> many = isoDescriptors(std::vector<uint32_t>(65536, 0));
  EXPECT_EQ(validateIsoRequest(65536, many.data(), many.size(), many.size(), 0, 0, kSmallIsoUrbSize), -EINVAL);
  EXPECT_EQ(validateIsoRequest(65535, many.data(), many.size(), many.size(), 0, 0, kSmallIsoUrbSize), 0);
  // The results must fit too: the reaper writes 12 bytes per packet.
  std::vector<uint8_t> two = isoDescriptors({1, 1});
  EXPECT_EQ(validateIsoRequest(2, two.data(), two.size(), 12, 2, 2, kSmallIsoUrbSize), -EINVAL);
}

TEST(TransferChecks, BulkRequests) {
  EXPECT_EQ(validateBulkRequest(512, 512, USBDEVFS_URB_TYPE_BULK, 0), 0);
  EXPECT_EQ(validateBulkRequest(0, 0, USBDEVFS_URB_TYPE_INTERRUPT, 0), 0);
  EXPECT_EQ(validateBulkRequest(513, 512, USBDEVFS_URB_TYPE_BULK, 0), -EINVAL);
  EXPECT_EQ(validateBulkRequest(-1, 512, USBDEVFS_URB_TYPE_BULK, 0), -EINVAL);
  EXPECT_EQ(validateBulkRequest(8, 8, USBDEVFS_URB_TYPE_CONTROL, 0), -EINVAL);
  EXPECT_EQ(validateBulkRequest(8, 8, USBDEVFS_URB_TYPE_ISO, 3), 0);  // a stream makes it bulk
}

const uint8_t kContainer[16] = {0xc0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 0xcf};

std::vector<uint8_t> containerCap(const uint8_t id[16]) {
  std::vector<uint8_t> cap(20, 0);
  cap[0] = 20;
  cap[1] = 0x10;
  cap[2] = 4;
  for (size_t i = 0; i < 16; ++i) cap[4 + i] = id[i];
  return cap;
}

// A BOS: header, then the capabilities.
std::vector<uint8_t> bos(const std::vector<std::vector<uint8_t>>& caps) {
  std::vector<uint8_t> out = {5, 0x0f, 0, 0, static_cast<uint8_t>(caps.size())};
  for (const auto& cap : caps) out.insert(out.end(), cap.begin(), cap.end());
  out[2] = static_cast<uint8_t>(out.size());
  out[3] = static_cast<uint8_t>(out.size() >> 8);
  return out;
}

TEST(DescriptorPatch, DeviceDescriptorClaimsUsb21) {
  struct Case {
    uint16_t bcd;
    int32_t length;
    uint16_t expected;
  };
  const Case cases[] = {{0x0200, 18, 0x0210}, {0x0110, 18, 0x0210}, {0x0201, 18, 0x0201},
                        {0x0300, 18, 0x0300}, {0x0200, 3, 0x0200}};
  for (const Case& c : cases) {
    uint8_t reply[18] = {18, 1, static_cast<uint8_t>(c.bcd), static_cast<uint8_t>(c.bcd >> 8)};
    patchDeviceDescriptor(reply, c.length);
    EXPECT_EQ(reply[2] | reply[3] << 8, c.expected);
  }
}

TEST(DescriptorPatch, BosAnswersAndAppends) {
  const std::vector<uint8_t> usb2Ext = {7, 0x10, 2, 2, 0, 0, 0};
  uint8_t other[16];
  memset(other, 0x77, sizeof other);
  struct BosCase {
    const char* what;
    std::vector<uint8_t> reply;  // what the device returned
    uint16_t wLength;
    int32_t status;
    BosPatch expected;
    int32_t status2, length2;
    std::vector<uint8_t> result;  // the first length2 bytes afterwards
  };
  std::vector<uint8_t> withOwn = bos({usb2Ext});
  std::vector<uint8_t> appended = bos({usb2Ext, containerCap(kContainer)});
  std::vector<uint8_t> full = bos({containerCap(kContainer)});
  std::vector<BosCase> cases = {
      {"stall, header asked", {}, 5, -EPIPE, BosPatch::Synthesised, 0, 5, {5, 0x0f, 25, 0, 1}},
      {"stall, whole asked", {}, 25, -EPIPE, BosPatch::Synthesised, 0, 25, full},
      {"stall, odd length", {}, 12, -EPIPE, BosPatch::UnexpectedLength, 0, 0, {}},
      {"gone", {}, 25, -ENODEV, BosPatch::Unchanged, -ENODEV, 0, {}},
      {"timeout", {}, 25, -ETIMEDOUT, BosPatch::Unchanged, -ETIMEDOUT, 0, {}},
      {"appended", withOwn, 64, 0, BosPatch::Appended, 0, static_cast<int32_t>(appended.size()), appended},
      {"no room", withOwn, static_cast<uint16_t>(withOwn.size() + 19), 0, BosPatch::NoRoom, 0,
       static_cast<int32_t>(withOwn.size()), withOwn},
      {"same id", full, 64, 0, BosPatch::SameContainerId, 0, 25, full},
      {"other id", bos({containerCap(other)}), 64, 0, BosPatch::ContainerConflict, 0, 25, bos({containerCap(other)})},
  };
  // Malformed walks: a zero-length capability, one running past the data,
  // a Container ID capability too short to hold an id, a BOS cut short.
  std::vector<uint8_t> zero = bos({{0, 0x10, 2}});
  std::vector<uint8_t> past = bos({{40, 0x10, 2, 0}});
  std::vector<uint8_t> shortId = bos({{8, 0x10, 4, 0, 1, 2, 3, 4}});
  std::vector<uint8_t> cut = bos({usb2Ext, usb2Ext});
  cases.push_back({"zero length", zero, 64, 0, BosPatch::Malformed, 0, static_cast<int32_t>(zero.size()), zero});
  cases.push_back({"past the end", past, 64, 0, BosPatch::Malformed, 0, static_cast<int32_t>(past.size()), past});
  cases.push_back({"short id", shortId, 64, 0, BosPatch::Malformed, 0, static_cast<int32_t>(shortId.size()), shortId});
  cases.push_back({"cut", std::vector<uint8_t>(cut.begin(), cut.begin() + 12), 64, 0, BosPatch::Unchanged, 0, 12,
                   std::vector<uint8_t>(cut.begin(), cut.begin() + 12)});
  for (const BosCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> buffer(c.wLength, 0xee);
    std::copy(c.reply.begin(), c.reply.end(), buffer.begin());
    int32_t status = c.status;
    int32_t length = c.status < 0 ? 0 : static_cast<int32_t>(c.reply.size());
    EXPECT_EQ(patchBosDescriptor(buffer.data(), c.wLength, &status, &length, kContainer), c.expected);
    EXPECT_EQ(status, c.status2);
    EXPECT_EQ(length, c.length2);
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + static_cast<long>(c.result.size())), c.result);
  }
}

}  // namespace
