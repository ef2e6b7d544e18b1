// How a transfer is cut into URBs: pure functions of its lengths and the
// URB size limits (usbsettings.h).
#pragma once

#include <stddef.h>
#include <stdint.h>

struct UrbPiece {
  uint32_t offset;       // byte offset in the transfer's buffer
  uint32_t length;       // bytes of this URB
  uint32_t flags;        // USBDEVFS_URB_* flags
  uint32_t firstPacket;  // isochronous: first packet
  uint32_t packetCount;  // isochronous: packets of this URB
  bool isLast;
};

// Bulk and interrupt: URBs of at most urbSize bytes in order; length 0 is
// one URB of length 0. Every URB but the first carries BULK_CONTINUATION
// (the kernel then cancels the rest of the transfer after a failed or
// short URB); every IN URB but the last SHORT_NOT_OK, so a short packet
// ends the transfer; `shortNotOk` adds SHORT_NOT_OK to all IN URBs.
uint32_t bulkUrbCount(uint32_t length, uint32_t urbSize);
UrbPiece bulkUrbPiece(uint32_t length, uint32_t urbSize, uint32_t index, bool isIn, bool shortNotOk);

// Isochronous: from `firstPacket` on, a URB takes packets while their sum
// stays within urbSize and it has fewer than 128. Fills `piece` and returns
// true; false when no packet is left, or when the next packet alone exceeds
// urbSize (validateIsoRequest refuses such requests first).
constexpr uint32_t kMaxIsoPacketsPerUrb = 128;
bool nextIsoUrbPiece(const uint32_t* packetLengths, uint32_t packetCount, uint32_t urbSize, uint32_t firstPacket,
                     uint32_t offset, UrbPiece* piece);
