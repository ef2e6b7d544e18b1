// A held device stays with its client across configuration changes, and
// goes back to the host whole, on the real kernel: with "AutoAttachToKernel"
// on, drivers_autoprobe stays 1, so every new configuration makes the
// kernel probe usb-storage on the disk's interface at once. One boot, five
// scenarios in order, each ending with the disk back with the host:
//   1. SET_CONFIGURATION 0 then 1, and 0 then a reset-and-configure to 1,
//      while the disk is bound: usb-storage never keeps the interface, no
//      block device appears, and the client's reads go on.
//   2. SET_CONFIGURATION 0, then unbind: the host gets the disk back.
//   3. Unbind while a large read and many bulk IN requests are queued and
//      more arrive: every request is answered once, usbfs never sees a
//      request on a released interface, and the host gets the disk back
//      with its data.
//   4. The generic usb driver lets go of the free disk and takes it back
//      (binding usbip-host and unbinding it does the same), which revokes
//      the server's usbfs descriptor: a bind still claims it and reads.
//   5. The same under a binding: the client's request fails, its unbind
//      gives the disk back to the host, and a new bind reads again.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "tests/support/bulkonly.h"
#include "tests/support/ovclient.h"
#include "tests/vm/guest.h"

#ifndef OVUSB_VM_SERVER
#define OVUSB_VM_SERVER "(ovusbd is not built)"
#endif

namespace {

using Bytes = std::vector<uint8_t>;

// qemu-xhci with the disk on port 3 (SuperSpeed: 2-3, address 23), reads
// throttled to 1 MB/s so that a read of megabytes is still under way when
// the unbind comes.
constexpr uint32_t kDisk = 23;
constexpr uint32_t kDiskBytes = 16u << 20;
constexpr uint32_t kSector = 512;
constexpr uint8_t kIn = 0x81, kOut = 0x02;

uint8_t patternByte(uint32_t offset) {
  const uint32_t sector = offset / kSector, at = offset % kSector;
  if (at < 4) return uint8_t(sector >> (8 * at));
  return uint8_t(sector * 7 + at * 13 + (at >> 8));
}

bool writeDiskImage(const std::string& path) {
  std::ofstream out(path, std::ios::binary);
  Bytes chunk(1 << 20);
  for (uint32_t base = 0; base < kDiskBytes; base += chunk.size()) {
    for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = patternByte(base + uint32_t(i));
    out.write(reinterpret_cast<const char*>(chunk.data()), std::streamsize(chunk.size()));
  }
  return bool(out);
}

Bytes expected(uint32_t lba, uint32_t blocks) {
  Bytes bytes(size_t(blocks) * kSector);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = patternByte(lba * kSector + uint32_t(i));
  return bytes;
}

std::string hex(const Bytes& bytes) {
  std::string text;
  char pair[3];
  for (uint8_t b : bytes) {
    snprintf(pair, sizeof pair, "%02x", b);
    text += pair;
  }
  return text;
}

const char kStorageHasDisk[] = "ls /sys/bus/usb/drivers/usb-storage | grep -q '^2-3:'";
const char kBlockDevice[] = "$(ls /sys/bus/usb/devices/2-3/2-3:1.0/host*/target*/*/block 2>/dev/null | head -n 1)";

class HandBack : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(writeDiskImage(guest.runDir() + "/disk.img"));
    ASSERT_TRUE(guest.boot({{OVUSB_VM_SERVER, "/usr/sbin/ovusbd"}},
                           {"-device", "qemu-xhci,id=xhci,addr=0x14,p2=15,p3=15", "-drive",
                            "if=none,id=disk,format=raw,cache=writeback,throttling.bps-read=1000000,file=" +
                                guest.runDir() + "/disk.img",
                            "-device", "usb-storage,bus=xhci.0,port=3,drive=disk,id=storage,serial=VMDISK01"}))
        << guest.error();
    ASSERT_EQ(waitGuest(kStorageHasDisk), 0) << "usb-storage never took the disk" << guest.diagnostics();
    std::string why;
    ASSERT_TRUE(vmguest::startServer(guest, "AutoAttachToKernel=1\n", &why)) << why;
    ASSERT_TRUE(client.connectTo("127.0.0.1", guest.port(), 10000));
    ovclient::HelloReply hello;
    ASSERT_TRUE(client.hello("vm-test", "handback", &hello, 10000));
  }

  int waitGuest(const std::string& condition, std::string* output = nullptr) {
    return guest.run("for i in $(seq 600); do " + condition + " && exit 0; sleep 0.1; done; exit 1", output, 90000);
  }

  void bindOk() {
    ovclient::BindResult bound;
    ASSERT_TRUE(client.bind(kDisk, &bound, 60000)) << vmguest::serverLog(guest);
    ASSERT_EQ(bound.result, 1) << vmguest::serverLog(guest);
    ASSERT_NE(guest.run(kStorageHasDisk), 0) << "usb-storage still holds the bound disk";
  }

  void unbindOk() {
    ASSERT_TRUE(client.unbind(kDisk));
    ovclient::Message notice;
    ASSERT_TRUE(client.waitFor(kMsgDeviceUnbound, &notice, 120000)) << vmguest::serverLog(guest);
    EXPECT_EQ(notice.deviceAddress, kDisk);
  }

  void setConfiguration(uint16_t value) {
    ovclient::ControlReply reply;
    ASSERT_TRUE(client.controlTransfer(kDisk, {0x00, 9, value, 0, 0}, {}, &reply, 60000)) << vmguest::serverLog(guest);
    ASSERT_EQ(reply.status, 0) << "SET_CONFIGURATION " << value << "\n" << vmguest::serverLog(guest);
  }

  // The disk is the client's: no host driver on its interface, no block
  // device, and a read through the server gives the image's sectors.
  void heldByClient(const char* after) {
    SCOPED_TRACE(after);
    std::string output;
    EXPECT_NE(guest.run(kStorageHasDisk), 0) << "usb-storage has the held disk\n" << guestState();
    EXPECT_NE(guest.run(std::string("[ -n \"") + kBlockDevice + "\" ]"), 0) << "the host made a block device\n"
                                                                             << guestState();
    bulkonly::Session disk(ovclient::bulkPipes(client, kDisk, kIn, kOut));
    ASSERT_TRUE(disk.waitReady(20)) << disk.error() << vmguest::serverLog(guest);
    Bytes data;
    ASSERT_TRUE(disk.read(4096, 8, &data)) << disk.error() << vmguest::serverLog(guest);
    EXPECT_TRUE(data == expected(4096, 8)) << "sectors differ";
  }

  // The host has the disk again and reads the image's sectors from it.
  void backWithHost(const char* after) {
    SCOPED_TRACE(after);
    std::string output;
    ASSERT_EQ(waitGuest(std::string("[ -b /dev/") + kBlockDevice + " ]", &output), 0)
        << "no block device after the unbind\n"
        << vmguest::serverLog(guest) << guestState();
    std::string read;
    guest.run(std::string("dd if=/dev/") + kBlockDevice + " bs=512 skip=4096 count=2 2>/dev/null | od -An -tx1 -v | tr -d ' \\n'",
              &read);
    EXPECT_EQ(read, hex(expected(4096, 2)));
  }

  std::string guestState() {
    std::string output;
    guest.run("ls /sys/bus/usb/drivers/usb-storage; cat /sys/bus/usb/devices/2-3/bConfigurationValue; "
              "ls /sys/bus/usb/devices/2-3/2-3:1.0; ls /sys/block; dmesg | tail -n 40",
              &output);
    return output + guest.diagnostics();
  }

  vmguest::Guest guest;
  ovclient::OvClient client;
};

}  // namespace

TEST_F(HandBack, ConfigurationChangesAndUnbindsOfTheDisk) {
  // 1. Configuration changes while held.
  ASSERT_NO_FATAL_FAILURE(bindOk());
  ASSERT_NO_FATAL_FAILURE(setConfiguration(0));
  ASSERT_NO_FATAL_FAILURE(setConfiguration(1));
  ASSERT_NO_FATAL_FAILURE(heldByClient("SET_CONFIGURATION 0, 1"));
  ASSERT_NO_FATAL_FAILURE(setConfiguration(0));
  int32_t result = 1;
  ASSERT_TRUE(client.statusRequest(kDisk, ovclient::resetAndConfigureRequest(1, {0}), &result, 60000))
      << vmguest::serverLog(guest);
  ASSERT_EQ(result, 0) << vmguest::serverLog(guest);
  ASSERT_NO_FATAL_FAILURE(heldByClient("SET_CONFIGURATION 0, reset and configure 1"));

  // 2. Left unconfigured, then unbound.
  ASSERT_NO_FATAL_FAILURE(setConfiguration(0));
  ASSERT_NO_FATAL_FAILURE(unbindOk());
  ASSERT_NO_FATAL_FAILURE(backWithHost("unbind of the unconfigured disk"));
  EXPECT_EQ(vmguest::serverLog(guest).find("drivers_probe"), std::string::npos) << vmguest::serverLog(guest);

  // 3. Unbind under a queued read: an 8 MiB READ(10), its data asked for in
  // 64 KiB pieces, the unbind after the first piece, and more pieces sent
  // behind the unbind as a client that has not heard of it yet would.
  ASSERT_NO_FATAL_FAILURE(bindOk());
  {
    bulkonly::Session disk(ovclient::bulkPipes(client, kDisk, kIn, kOut));
    ASSERT_TRUE(disk.waitReady(20)) << disk.error();
  }
  constexpr uint32_t kPiece = 64 << 10, kPieces = 128, kBefore = 64;
  ovclient::BulkRequest cbw;
  cbw.endpoint = kOut;
  cbw.outData = bulkonly::commandBlockWrapper(0x7777, kPiece * kPieces, true, 0,
                                              bulkonly::read10(0, uint16_t(kPiece * kPieces / kSector)));
  ASSERT_TRUE(client.sendTagged(kMsgBulkInterruptTransfer, ovclient::encodeBulkTransfer(cbw), kDisk, 1000));
  ovclient::BulkRequest piece;
  piece.endpoint = kIn;
  piece.length = kPiece;
  for (uint32_t i = 0; i < kBefore; ++i) {
    ASSERT_TRUE(client.sendTagged(kMsgBulkInterruptTransfer, ovclient::encodeBulkTransfer(piece), kDisk, 2000 + i));
  }
  ovclient::Message reply;
  ASSERT_TRUE(client.waitTagged(kMsgBulkInterruptTransferReply, 1000, &reply, 60000));
  ASSERT_TRUE(client.waitTagged(kMsgBulkInterruptTransferReply, 2000, &reply, 60000));
  ovclient::TransferReply first;
  ASSERT_TRUE(ovclient::parseTransferReply(reply, &first));
  ASSERT_EQ(first.result, int32_t(kPiece));
  ASSERT_TRUE(client.unbind(kDisk));
  for (uint32_t i = kBefore; i < kPieces; ++i) {
    ASSERT_TRUE(client.sendTagged(kMsgBulkInterruptTransfer, ovclient::encodeBulkTransfer(piece), kDisk, 2000 + i));
  }
  std::map<int32_t, int> results;
  for (uint32_t i = 1; i < kPieces; ++i) {
    ASSERT_TRUE(client.waitTagged(kMsgBulkInterruptTransferReply, 2000 + i, &reply, 120000))
        << "piece " << i << " never answered\n"
        << vmguest::serverLog(guest);
    ovclient::TransferReply r;
    ASSERT_TRUE(ovclient::parseTransferReply(reply, &r));
    if (r.result > 0) {
      EXPECT_TRUE(r.data == expected(i * kPiece / kSector, kPiece / kSector)) << "piece " << i;
    }
    ++results[r.result > 0 ? 1 : r.result];
  }
  ovclient::Message notice;
  ASSERT_TRUE(client.waitFor(kMsgDeviceUnbound, &notice, 120000)) << vmguest::serverLog(guest);
  ASSERT_NO_FATAL_FAILURE(backWithHost("unbind under a queued read"));
  std::string dmesg;
  guest.run("dmesg | grep -c 'did not claim interface' || true", &dmesg);
  EXPECT_EQ(dmesg.substr(0, dmesg.find_first_of("\r\n")), "0") << "usbfs saw requests on released interfaces";
  std::string summary;
  for (const auto& [result, count] : results) {
    summary += (result == 1 ? std::string("data") : std::to_string(result)) + " x" + std::to_string(count) + " ";
  }
  RecordProperty("unbind under read", summary);
  std::printf("unbind under a queued read: %s\n", summary.c_str());

  // 4. The generic driver lets go of the free disk and takes it back.
  ASSERT_EQ(guest.run("echo 2-3 >/sys/bus/usb/drivers/usb/unbind && echo 2-3 >/sys/bus/usb/drivers/usb/bind"), 0)
      << guestState();
  ASSERT_EQ(waitGuest(kStorageHasDisk), 0) << "usb-storage never took the disk back\n" << guestState();
  ASSERT_NO_FATAL_FAILURE(bindOk());
  ASSERT_NO_FATAL_FAILURE(heldByClient("the generic driver let go of the free disk and took it back"));
  ASSERT_NO_FATAL_FAILURE(unbindOk());
  ASSERT_NO_FATAL_FAILURE(backWithHost("unbind after the free disk's descriptor was renewed"));

  // 5. The generic driver lets go of the held disk.
  ASSERT_NO_FATAL_FAILURE(bindOk());
  ASSERT_EQ(guest.run("echo 2-3 >/sys/bus/usb/drivers/usb/unbind"), 0) << guestState();
  ovclient::ControlReply status;
  ASSERT_TRUE(client.controlTransfer(kDisk, {0x80, 0, 0, 0, 2}, {}, &status, 60000)) << vmguest::serverLog(guest);
  EXPECT_LT(status.status, 0) << "a request reached the disk through the revoked descriptor";
  ASSERT_NO_FATAL_FAILURE(unbindOk());
  ASSERT_NO_FATAL_FAILURE(backWithHost("unbind after the generic driver let go of the held disk"));
  ASSERT_NO_FATAL_FAILURE(bindOk());
  ASSERT_NO_FATAL_FAILURE(heldByClient("the generic driver let go of the held disk and the hand-back gave it back"));
  ASSERT_NO_FATAL_FAILURE(unbindOk());
  ASSERT_NO_FATAL_FAILURE(backWithHost("unbind after the held disk's descriptor was renewed"));
  const std::string log = vmguest::serverLog(guest);
  size_t renewals = 0;
  for (size_t at = 0; (at = log.find("usbfs revoked the descriptor of device 23", at)) != std::string::npos; ++at) {
    ++renewals;
  }
  EXPECT_EQ(renewals, 2u) << log;
}
