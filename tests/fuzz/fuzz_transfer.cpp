// Fuzz entry of the transfer request checks and what trusts them: the URB
// splitting and the BOS patch. The first byte picks the target:
//   0  isochronous request: u8 large URBs, u16 packets, s32 total length,
//      u32 data buffer length, then the 12-byte packet descriptors;
//   1  bulk request: s32 length, u32 buffer length, u8 URB type, u32 stream,
//      u32 URB size;
//   2  BOS reply: u16 wLength, s32 status, then the bytes the device sent.
// A request the checks accept must split into URBs that stay inside its
// buffers; a violated invariant aborts.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "ovusbd/usb/descriptorpatch.h"
#include "ovusbd/usb/transferchecks.h"
#include "ovusbd/usb/urbsplit.h"

namespace {

struct Reader {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
  template <typename T>
  bool take(T* out) {
    if (size - at < sizeof(T)) return false;
    memcpy(out, data + at, sizeof(T));
    at += sizeof(T);
    return true;
  }
};

void check(bool holds) {
  if (!holds) abort();
}

void fuzzIso(Reader& in) {
  uint8_t large;
  uint16_t packets;
  int32_t total;
  uint32_t bufferLength;
  if (!in.take(&large) || !in.take(&packets) || !in.take(&total) || !in.take(&bufferLength)) return;
  uint32_t urbSize = large & 1 ? 0x900000 : 196608;
  size_t descriptorBytes = in.size - in.at;
  // Exact-size copies, so a read past them is caught.
  uint8_t* descriptors = static_cast<uint8_t*>(malloc(descriptorBytes ? descriptorBytes : 1));
  if (descriptorBytes) memcpy(descriptors, in.data + in.at, descriptorBytes);
  if (validateIsoRequest(packets, descriptors, descriptorBytes, descriptorBytes, total, bufferLength, urbSize) == 0) {
    uint32_t* lengths = static_cast<uint32_t*>(malloc(packets * sizeof(uint32_t)));
    for (uint32_t i = 0; i < packets; ++i) lengths[i] = isoPacketLength(descriptors, i);
    uint32_t packet = 0, offset = 0;
    UrbPiece piece;
    while (nextIsoUrbPiece(lengths, packets, urbSize, packet, offset, &piece)) {
      check(piece.packetCount >= 1 && piece.packetCount <= kMaxIsoPacketsPerUrb);
      check(piece.length <= urbSize);
      check(static_cast<uint64_t>(piece.offset) + piece.length <= bufferLength);
      packet += piece.packetCount;
      offset += piece.length;
    }
    check(packet == packets);
    check(offset == static_cast<uint32_t>(total));
    free(lengths);
  }
  free(descriptors);
}

void fuzzBulk(Reader& in) {
  int32_t length;
  uint32_t bufferLength, streamId, urbSize;
  uint8_t type;
  if (!in.take(&length) || !in.take(&bufferLength) || !in.take(&type) || !in.take(&streamId) || !in.take(&urbSize)) {
    return;
  }
  if (urbSize == 0) return;
  if (validateBulkRequest(length, bufferLength, type, streamId) != 0) return;
  uint32_t count = bulkUrbCount(static_cast<uint32_t>(length), urbSize);
  // Only the first and the last few pieces: a huge count would take long.
  for (uint32_t i = 0; i < count; i = i < 3 || i + 3 >= count ? i + 1 : count - 3) {
    UrbPiece piece = bulkUrbPiece(static_cast<uint32_t>(length), urbSize, i, type & 1, type & 2);
    check(piece.length <= urbSize);
    check(static_cast<uint64_t>(piece.offset) + piece.length <= bufferLength);
    check(piece.isLast == (i + 1 == count));
  }
}

void fuzzBos(Reader& in) {
  uint16_t wLength;
  int32_t status;
  if (!in.take(&wLength) || !in.take(&status)) return;
  uint8_t* reply = static_cast<uint8_t*>(calloc(1, wLength ? wLength : 1));
  size_t sent = in.size - in.at;
  if (sent > wLength) sent = wLength;
  if (sent) memcpy(reply, in.data + in.at, sent);
  int32_t actual = status < 0 ? 0 : static_cast<int32_t>(sent);
  const uint8_t id[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  patchBosDescriptor(reply, wLength, &status, &actual, id);
  check(actual >= 0 && actual <= wLength);
  patchDeviceDescriptor(reply, actual);
  free(reply);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  Reader in{data + 1, size - 1};
  switch (data[0] % 3) {
    case 0:
      fuzzIso(in);
      break;
    case 1:
      fuzzBulk(in);
      break;
    default:
      fuzzBos(in);
      break;
  }
  return 0;
}
