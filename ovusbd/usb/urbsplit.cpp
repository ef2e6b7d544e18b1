#include "ovusbd/usb/urbsplit.h"

#include <linux/usbdevice_fs.h>

uint32_t bulkUrbCount(uint32_t length, uint32_t urbSize) {
  if (length == 0 || urbSize == 0) return 1;
  return length / urbSize + (length % urbSize ? 1 : 0);
}

UrbPiece bulkUrbPiece(uint32_t length, uint32_t urbSize, uint32_t index, bool isIn, bool shortNotOk) {
  uint32_t count = bulkUrbCount(length, urbSize);
  UrbPiece piece{};
  piece.offset = length == 0 ? 0 : index * urbSize;
  piece.length = length == 0 ? 0 : (index + 1 == count ? length - piece.offset : urbSize);
  piece.isLast = index + 1 == count;
  if (isIn && shortNotOk) piece.flags |= USBDEVFS_URB_SHORT_NOT_OK;
  if (index > 0) piece.flags |= USBDEVFS_URB_BULK_CONTINUATION;
  if (isIn && !piece.isLast) piece.flags |= USBDEVFS_URB_SHORT_NOT_OK;
  return piece;
}

bool nextIsoUrbPiece(const uint32_t* packetLengths, uint32_t packetCount, uint32_t urbSize, uint32_t firstPacket,
                     uint32_t offset, UrbPiece* piece) {
  if (firstPacket >= packetCount || packetLengths[firstPacket] > urbSize) return false;
  uint64_t bytes = 0;
  uint32_t packet = firstPacket;
  while (packet < packetCount && packet - firstPacket < kMaxIsoPacketsPerUrb &&
         bytes + packetLengths[packet] <= urbSize) {
    bytes += packetLengths[packet];
    ++packet;
  }
  *piece = UrbPiece{};
  piece->offset = offset;
  piece->length = static_cast<uint32_t>(bytes);
  piece->flags = USBDEVFS_URB_ISO_ASAP;
  piece->firstPacket = firstPacket;
  piece->packetCount = packet - firstPacket;
  piece->isLast = packet == packetCount;
  return true;
}
