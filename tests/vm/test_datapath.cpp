// The data path on the real kernel: the protocol client on the host binds
// emulated devices in the guest through qemu's forwarded port and drives
// them through ovusbd and usbfs: a usb-storage disk with SCSI commands over
// bulk-only transport, a usb-kbd's interrupt endpoint, and an unplug while
// bulk reads are under way.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <set>
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
using ovclient::OvClient;

// qemu-xhci with the disk on port 3 (SuperSpeed: 2-3, address 23) and a
// keyboard on port 2 (1-2, address 12).
constexpr uint32_t kDisk = 23;
constexpr uint32_t kKeyboard = 12;
constexpr uint32_t kDiskBytes = 16u << 20;
constexpr uint32_t kSector = 512;

// Every sector differs from every other and every byte from its
// neighbours: a sector read from the wrong place or shifted shows.
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

// For the unplug group: a usb-audio speaker on port 4 (1-4, address 14),
// whose streaming interface has an isochronous OUT endpoint, and the disk
// throttled to 1 MB/s, so that a read of megabytes is still under way
// when the unplug comes, however fast the machine.
constexpr uint32_t kSpeaker = 14;

std::vector<std::string> qemuArguments(const std::string& runDir, bool unplugGroup) {
  std::vector<std::string> arguments = {
      "-device", "qemu-xhci,id=xhci,addr=0x14,p2=15,p3=15",
      "-device", "usb-kbd,bus=xhci.0,port=2,id=kbd",
      "-drive",  "if=none,id=disk,format=raw,cache=writeback,file=" + runDir + "/disk.img" +
                     (unplugGroup ? ",throttling.bps-read=1000000" : ""),
      "-device", "usb-storage,bus=xhci.0,port=3,drive=disk,id=storage,serial=VMDISK01"};
  if (unplugGroup) {
    for (const char* a : {"-audiodev", "none,id=snd", "-device", "usb-audio,bus=xhci.0,port=4,audiodev=snd,id=speaker"}) {
      arguments.push_back(a);
    }
  }
  return arguments;
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

// Hex of a guest file's bytes, through busybox od.
std::string guestHex(vmguest::Guest& guest, const std::string& command) {
  std::string output;
  if (guest.run(command + " | od -An -tx1 -v | tr -d ' \\n'", &output) != 0) return "(failed: " + output + ")";
  return output;
}

// The first bulk IN and OUT endpoints of a configuration descriptor set.
bool bulkEndpoints(const Bytes& configuration, uint8_t* in, uint8_t* out) {
  *in = *out = 0;
  for (size_t at = 0; at + 1 < configuration.size() && configuration[at] != 0; at += configuration[at]) {
    if (configuration[at + 1] != 5 || at + 4 > configuration.size()) continue;
    const uint8_t address = configuration[at + 2], attributes = configuration[at + 3];
    if ((attributes & 3) != 2) continue;
    uint8_t* slot = (address & 0x80) ? in : out;
    if (*slot == 0) *slot = address;
  }
  return *in != 0 && *out != 0;
}

// The first isochronous endpoint of a configuration descriptor set, with
// the interface and alternate setting it belongs to.
struct IsoEndpoint {
  uint8_t interface = 0, altSetting = 0, address = 0;
  uint16_t maxPacket = 0;
};
bool isoEndpoint(const Bytes& configuration, IsoEndpoint* found) {
  uint8_t interface = 0, alt = 0;
  for (size_t at = 0; at + 1 < configuration.size() && configuration[at] != 0; at += configuration[at]) {
    if (configuration[at + 1] == 4 && at + 4 <= configuration.size()) {
      interface = configuration[at + 2];
      alt = configuration[at + 3];
    } else if (configuration[at + 1] == 5 && at + 6 <= configuration.size() && (configuration[at + 3] & 3) == 1) {
      *found = {interface, alt, configuration[at + 2],
                uint16_t((configuration[at + 4] | configuration[at + 5] << 8) & 0x7ff)};
      return true;
    }
  }
  return false;
}

class DataPath : public ::testing::Test {
 protected:
  void boot(bool unplugGroup = false, const std::string& config = "AutoAttachToKernel=1\n") {
    ASSERT_TRUE(writeDiskImage(guest.runDir() + "/disk.img"));
    ASSERT_TRUE(guest.boot({{vmguest::serverBinary(OVUSB_VM_SERVER), "/usr/sbin/ovusbd"}}, qemuArguments(guest.runDir(), unplugGroup)))
        << guest.error();
    // The kernel's usb-storage driver has the disk before the server runs.
    ASSERT_EQ(waitGuest("ls /sys/bus/usb/drivers/usb-storage | grep -q '^2-3:'"), 0)
        << "usb-storage never took the disk" << guest.diagnostics();
    std::string why;
    ASSERT_TRUE(vmguest::startServer(guest, config, &why)) << why;
    ASSERT_TRUE(client.connectTo("127.0.0.1", guest.port(), 10000));
    ovclient::HelloReply hello;
    ASSERT_TRUE(client.hello("vm-test", "datapath", &hello, 10000));
  }

  // Runs a shell condition every 100 ms for up to a minute; its exit status.
  int waitGuest(const std::string& condition, std::string* output = nullptr) {
    return guest.run("for i in $(seq 600); do " + condition + " && exit 0; sleep 0.1; done; exit 1", output, 90000);
  }

  void bindOk(uint32_t address) {
    ovclient::BindResult bound;
    ASSERT_TRUE(client.bind(address, &bound, 60000)) << vmguest::serverLog(guest);
    ASSERT_EQ(bound.result, 1) << vmguest::serverLog(guest);
  }

  // What the kernel has made of the devices, for failure messages.
  std::string guestState() {
    std::string output;
    guest.run("ls -R /sys/bus/usb/drivers/usb-storage /sys/bus/usb/drivers/usb; cat /sys/bus/usb/drivers_autoprobe; "
              "ls /sys/bus/usb/devices/2-3/2-3:1.0; ls /sys/block; dmesg | tail -n 40",
              &output);
    return output + guest.diagnostics();
  }

  vmguest::Guest guest;
  OvClient client;
};

}  // namespace

// Bind the disk, compare descriptors with sysfs, read and write sectors
// with SCSI over bulk-only transport, unbind, and see the kernel's
// usb-storage driver take the disk back with the written sectors on it.
TEST_F(DataPath, StorageReadWriteAndHandBack) {
  ASSERT_NO_FATAL_FAILURE(boot());
  ASSERT_NO_FATAL_FAILURE(bindOk(kDisk));
  std::string output;
  EXPECT_NE(guest.run("ls /sys/bus/usb/drivers/usb-storage | grep -q '^2-3:'", &output), 0)
      << "usb-storage still holds the bound disk";

  // Device and configuration descriptors by GET_DESCRIPTOR, against the
  // kernel's copy in sysfs.
  ovclient::ControlReply device, configuration;
  ASSERT_TRUE(client.controlTransfer(kDisk, {0x80, 6, 0x0100, 0, 18}, {}, &device, 30000));
  ASSERT_EQ(device.status, 0);
  ASSERT_EQ(device.actualLength, 18u);
  EXPECT_EQ(hex(device.data), guestHex(guest, "head -c 18 /sys/bus/usb/devices/2-3/descriptors"));
  ASSERT_TRUE(client.controlTransfer(kDisk, {0x80, 6, 0x0200, 0, 255}, {}, &configuration, 30000));
  ASSERT_EQ(configuration.status, 0);
  ASSERT_GE(configuration.data.size(), 9u);
  const uint16_t total = uint16_t(configuration.data[2] | configuration.data[3] << 8);
  ASSERT_EQ(configuration.data.size(), total);
  EXPECT_EQ(hex(configuration.data),
            guestHex(guest, "dd if=/sys/bus/usb/devices/2-3/descriptors bs=1 skip=18 count=" + std::to_string(total) +
                                " 2>/dev/null"));
  uint8_t in = 0, out = 0;
  ASSERT_TRUE(bulkEndpoints(configuration.data, &in, &out)) << hex(configuration.data);

  bulkonly::Session disk(ovclient::bulkPipes(client, kDisk, in, out));
  ASSERT_TRUE(disk.waitReady(20)) << disk.error() << vmguest::serverLog(guest);
  uint32_t blocks = 0, blockSize = 0;
  ASSERT_TRUE(disk.capacity(&blocks, &blockSize)) << disk.error();
  EXPECT_EQ(blockSize, kSector);
  EXPECT_EQ(blocks, kDiskBytes / kSector);

  // Reads: the first sector, a short run, one of 1 MiB, and the last ones.
  struct Read {
    uint32_t lba, blocks;
  } reads[] = {{0, 1}, {3, 61}, {4096, 2048}, {kDiskBytes / kSector - 8, 8}};
  for (const Read& r : reads) {
    Bytes data;
    ASSERT_TRUE(disk.read(r.lba, uint16_t(r.blocks), &data)) << disk.error() << " at " << r.lba;
    EXPECT_TRUE(data == expected(r.lba, r.blocks)) << "sectors " << r.lba << "+" << r.blocks << " differ";
  }

  // Writes, read back over the same pipes.
  Bytes written(16 * kSector);
  for (size_t i = 0; i < written.size(); ++i) written[i] = uint8_t(0xa5 ^ (i * 31));
  ASSERT_TRUE(disk.write(100, written)) << disk.error();
  Bytes back;
  ASSERT_TRUE(disk.read(96, 24, &back)) << disk.error();
  ASSERT_EQ(back.size(), 24u * kSector);
  EXPECT_TRUE(Bytes(back.begin(), back.begin() + 4 * kSector) == expected(96, 4)) << "the sectors before moved";
  EXPECT_TRUE(Bytes(back.begin() + 4 * kSector, back.begin() + 20 * kSector) == written) << "written sectors differ";
  EXPECT_TRUE(Bytes(back.begin() + 20 * kSector, back.end()) == expected(116, 4)) << "the sectors after moved";

  // The other requests on the bound disk, each answered. Results the
  // kernel decides for sure are checked; port power is only switched on (off
  // would take the disk away).
  struct Status {
    const char* what;
    ovclient::StatusRequest request;
    bool mustSucceed;
  } statuses[] = {
      {"clear halt", ovclient::clearHaltRequest(in), true},
      {"reset endpoint", ovclient::resetEndpointRequest(in), true},
      {"abort endpoint", ovclient::abortEndpointRequest(in), true},
      {"abort, reset, clear halt", ovclient::abortResetClearHaltRequest(out), true},
      {"device reset", ovclient::deviceResetRequest(), true},
      {"reset and configure 1", ovclient::resetAndConfigureRequest(1, {0}), true},
      {"port power on", ovclient::portPowerRequest(true), false},
      // usb-storage without UAS has no streams: refused, but answered.
      {"alloc streams", ovclient::allocStreamsRequest(4, {in, out}), false},
      {"free streams", ovclient::freeStreamsRequest({in, out}), false},
  };
  for (const Status& s : statuses) {
    int32_t result = 1;
    ASSERT_TRUE(client.statusRequest(kDisk, s.request, &result, 60000)) << s.what << " unanswered\n"
                                                                        << vmguest::serverLog(guest);
    if (s.mustSucceed) {
      EXPECT_EQ(result, 0) << s.what;
    }
    RecordProperty(s.what, result);
  }
  ovclient::PortStatusReply port;
  ASSERT_TRUE(client.portStatus(kDisk, &port, 60000)) << vmguest::serverLog(guest);
  RecordProperty("port status", std::to_string(port.result) + " " + std::to_string(port.portStatus));
  // GET_PORT_STATUS to the root hub (class request, recipient other).
  ovclient::TransferReply hub;
  ASSERT_TRUE(client.hubClassRequest(kDisk, {0xa3, 0, 0, 3, 4}, {}, &hub, 60000)) << vmguest::serverLog(guest);
  RecordProperty("hub class", hub.result);
  ovclient::BulkRequest onStream;
  onStream.endpoint = in;
  onStream.length = 512;
  onStream.stream = true;
  onStream.streamId = 1;
  ovclient::TransferReply streamed;
  ASSERT_TRUE(client.bulkTransfer(kDisk, onStream, &streamed, 60000)) << vmguest::serverLog(guest);
  EXPECT_LT(streamed.result, 0) << "a stream transfer on an endpoint without streams";
  // After the resets the disk still reads.
  ASSERT_TRUE(disk.waitReady(20)) << disk.error();
  Bytes again;
  ASSERT_TRUE(disk.read(5000, 2, &again)) << disk.error();
  EXPECT_TRUE(again == expected(5000, 2));

  // Unbind: the notice, then the kernel's driver has the disk again and
  // reads the written sectors from it.
  ASSERT_TRUE(client.unbind(kDisk));
  ovclient::Message notice;
  ASSERT_TRUE(client.waitFor(kMsgDeviceUnbound, &notice, 60000)) << vmguest::serverLog(guest);
  uint32_t reason = 0;
  ASSERT_TRUE(ovclient::parseUnboundNotice(notice, &reason));
  EXPECT_EQ(reason, 1u);
  EXPECT_EQ(notice.deviceAddress, kDisk);
  const std::string blockDevice = "$(ls /sys/bus/usb/devices/2-3/2-3:1.0/host*/target*/*/block 2>/dev/null | head -n 1)";
  ASSERT_EQ(waitGuest("[ -b /dev/" + blockDevice + " ]", &output), 0)
      << "no block device after the unbind\n"
      << vmguest::serverLog(guest) << guestState();
  EXPECT_EQ(guestHex(guest, "dd if=/dev/" + blockDevice + " bs=512 skip=100 count=16 2>/dev/null"), hex(written));
  EXPECT_EQ(guestHex(guest, "dd if=/dev/" + blockDevice + " bs=512 skip=5000 count=2 2>/dev/null"),
            hex(expected(5000, 2)));
}

// With zero copy on, bulk IN replies are built in usbfs mappings of the
// disk that the kernel fills in place: the reads are byte-exact, short ones
// included, and the server holds such mappings.
TEST_F(DataPath, StorageReadsThroughMappedUrbBuffers) {
  ASSERT_NO_FATAL_FAILURE(boot(false, "AutoAttachToKernel=1\nEnableBulkIntZeroCopy=1\nMinBulkIntZeroCopySize=512\n"));
  ASSERT_NO_FATAL_FAILURE(bindOk(kDisk));
  ovclient::ControlReply configuration;
  ASSERT_TRUE(client.controlTransfer(kDisk, {0x80, 6, 0x0200, 0, 255}, {}, &configuration, 30000));
  ASSERT_EQ(configuration.status, 0);
  uint8_t in = 0, out = 0;
  ASSERT_TRUE(bulkEndpoints(configuration.data, &in, &out)) << hex(configuration.data);
  bulkonly::Session disk(ovclient::bulkPipes(client, kDisk, in, out));
  ASSERT_TRUE(disk.waitReady(20)) << disk.error() << vmguest::serverLog(guest);
  struct Read {
    uint32_t lba, blocks;
  } reads[] = {{0, 1}, {4096, 2048}, {7, 3}, {4096, 2048}, {kDiskBytes / kSector - 8, 8}};
  for (const Read& r : reads) {
    Bytes data;
    ASSERT_TRUE(disk.read(r.lba, uint16_t(r.blocks), &data)) << disk.error() << " at " << r.lba;
    EXPECT_TRUE(data == expected(r.lba, r.blocks)) << "sectors " << r.lba << "+" << r.blocks << " differ";
  }
  std::string maps;
  EXPECT_EQ(guest.run("grep bus/usb /proc/$(pidof ovusbd)/maps", &maps), 0)
      << "no usbfs mapping in the server\n" << vmguest::serverLog(guest);
}

// A key pressed through QMP arrives as the keyboard's interrupt IN report;
// an isochronous stream goes to a usb-audio speaker; then the disk is
// unplugged while bulk reads are in flight: every request gets its reply
// and the server goes on serving.
TEST_F(DataPath, KeyboardInterruptIsoStreamAndUnplugDuringBulkRead) {
  ASSERT_NO_FATAL_FAILURE(boot(true));
  ASSERT_NO_FATAL_FAILURE(bindOk(kKeyboard));

  ovclient::BulkRequest report;
  report.endpoint = 0x81;
  report.urbType = ovclient::kUrbTypeInterrupt;
  report.length = 8;
  ASSERT_TRUE(client.sendTagged(kMsgBulkInterruptTransfer, ovclient::encodeBulkTransfer(report), kKeyboard, 0x4b));
  // No key is down yet: the request waits on the endpoint.
  ovclient::Message reply;
  EXPECT_FALSE(client.waitTagged(kMsgBulkInterruptTransferReply, 0x4b, &reply, 2000)) << "a report before any key";
  std::string qmpReply;
  ASSERT_TRUE(guest.qmpOk("input-send-event",
                          R"({"events": [{"type": "key", "data": {"down": true, "key": )"
                          R"({"type": "qcode", "data": "a"}}}]})",
                          &qmpReply))
      << qmpReply;
  ASSERT_TRUE(client.waitTagged(kMsgBulkInterruptTransferReply, 0x4b, &reply, 60000)) << vmguest::serverLog(guest);
  ovclient::TransferReply key;
  ASSERT_TRUE(ovclient::parseTransferReply(reply, &key));
  ASSERT_EQ(key.result, 8) << vmguest::serverLog(guest);
  // Boot keyboard report: modifiers, reserved, then usage 0x04 ('a').
  EXPECT_EQ(hex(key.data), "0000040000000000");

  // The speaker: its streaming alternate setting chosen by SET_INTERFACE,
  // then 1 ms packets of 48 kHz 16-bit stereo, back to back, in both
  // request types. An OUT reply has no data area, so a packed request is
  // answered in the plain shape.
  ASSERT_NO_FATAL_FAILURE(bindOk(kSpeaker));
  ovclient::ControlReply speakerConfiguration, altSet;
  ASSERT_TRUE(client.controlTransfer(kSpeaker, {0x80, 6, 0x0200, 0, 1024}, {}, &speakerConfiguration, 30000));
  IsoEndpoint iso;
  ASSERT_TRUE(isoEndpoint(speakerConfiguration.data, &iso)) << hex(speakerConfiguration.data);
  ASSERT_EQ(iso.address & 0x80, 0) << "the speaker's stream goes out";
  ASSERT_TRUE(client.controlTransfer(kSpeaker, {0x01, 11, iso.altSetting, iso.interface, 0}, {}, &altSet, 30000));
  ASSERT_EQ(altSet.status, 0) << vmguest::serverLog(guest);
  constexpr uint32_t kPacket = 192, kPackets = 8, kRequests = 12;
  ASSERT_GE(iso.maxPacket, kPacket);
  for (uint32_t i = 0; i < kRequests; ++i) {
    ovclient::IsoRequest stream;
    stream.endpoint = iso.address;
    stream.packetLengths.assign(kPackets, kPacket);
    stream.outData.resize(kPacket * kPackets);
    for (size_t j = 0; j < stream.outData.size(); ++j) stream.outData[j] = uint8_t(i + j);
    stream.packed = i % 2 == 1;
    ASSERT_TRUE(client.sendTagged(stream.packed ? kMsgIsoPackedTransfer : kMsgIsoTransfer,
                                  ovclient::encodeIsoTransfer(stream), kSpeaker, 0x150 + i));
  }
  for (uint32_t i = 0; i < kRequests; ++i) {
    ASSERT_TRUE(client.waitTagged(kMsgIsoTransferReply, 0x150 + i, &reply, 60000))
        << "isochronous request " << i << " unanswered\n"
        << vmguest::serverLog(guest);
    ovclient::IsoReply r;
    ASSERT_TRUE(ovclient::parseIsoReply(reply, std::vector<uint32_t>(kPackets, kPacket), &r)) << i;
    EXPECT_EQ(r.result, int32_t(kPacket * kPackets)) << i;
    EXPECT_EQ(r.errorCount, 0u) << i;
    EXPECT_TRUE(r.data.empty()) << i;
    for (const ovclient::IsoPacket& packet : r.packets) {
      EXPECT_EQ(packet.length, kPacket) << i;
      EXPECT_EQ(packet.actualLength, kPacket) << i;
      EXPECT_EQ(packet.status, 0u) << i;
    }
  }

  // The disk: an 8 MiB READ(10), its data asked for in 64 KiB pieces, and
  // the device removed once the first piece is back.
  ASSERT_NO_FATAL_FAILURE(bindOk(kDisk));
  bulkonly::Session disk(ovclient::bulkPipes(client, kDisk, 0x81, 0x02));
  ASSERT_TRUE(disk.waitReady(20)) << disk.error();
  constexpr uint32_t kPiece = 64 << 10, kPieces = 128;
  ovclient::BulkRequest cbw;
  cbw.endpoint = 0x02;
  cbw.outData = bulkonly::commandBlockWrapper(0x7777, kPiece * kPieces, true, 0,
                                              bulkonly::read10(0, uint16_t(kPiece * kPieces / kSector)));
  ASSERT_TRUE(client.sendTagged(kMsgBulkInterruptTransfer, ovclient::encodeBulkTransfer(cbw), kDisk, 1000));
  ovclient::BulkRequest piece;
  piece.endpoint = 0x81;
  piece.length = kPiece;
  for (uint32_t i = 0; i < kPieces; ++i) {
    ASSERT_TRUE(client.sendTagged(kMsgBulkInterruptTransfer, ovclient::encodeBulkTransfer(piece), kDisk, 2000 + i));
  }
  ASSERT_TRUE(client.waitTagged(kMsgBulkInterruptTransferReply, 1000, &reply, 60000));
  ASSERT_TRUE(client.waitTagged(kMsgBulkInterruptTransferReply, 2000, &reply, 60000));
  ovclient::TransferReply first;
  ASSERT_TRUE(ovclient::parseTransferReply(reply, &first));
  ASSERT_EQ(first.result, int32_t(kPiece));
  EXPECT_TRUE(first.data == expected(0, kPiece / kSector));
  ASSERT_TRUE(guest.qmpOk("device_del", R"({"id": "storage"})", &qmpReply)) << qmpReply;

  // Every piece is answered: data while the device lasted, an error after.
  int answeredWithData = 1, answeredWithError = 0;
  std::set<int32_t> errors;
  for (uint32_t i = 1; i < kPieces; ++i) {
    ASSERT_TRUE(client.waitTagged(kMsgBulkInterruptTransferReply, 2000 + i, &reply, 120000))
        << "piece " << i << " never answered\n"
        << vmguest::serverLog(guest);
    ovclient::TransferReply r;
    ASSERT_TRUE(ovclient::parseTransferReply(reply, &r));
    if (r.result >= 0) {
      EXPECT_EQ(answeredWithError, 0) << "data after an error, piece " << i;
      EXPECT_TRUE(r.data == expected(i * kPiece / kSector, kPiece / kSector)) << "piece " << i;
      ++answeredWithData;
    } else {
      errors.insert(r.result);
      ++answeredWithError;
    }
  }
  EXPECT_GT(answeredWithError, 0) << "the unplug came after the whole read";
  // The holder hears of the surprise unbind, everybody of the removal.
  ovclient::Message notice;
  ASSERT_TRUE(client.waitFor(kMsgDeviceUnbound, &notice, 60000));
  EXPECT_EQ(notice.deviceAddress, kDisk);
  bool removed = false;
  for (ovclient::Message m; !removed && client.waitFor(kMsgDeviceAnnounce, &m, 60000);) {
    ovclient::DeviceAnnouncement a;
    removed = ovclient::parseDeviceAnnouncement(m, &a) && a.address == kDisk && a.state == 0;
  }
  ASSERT_TRUE(removed) << "no removal announcement\n" << vmguest::serverLog(guest);

  // The server goes on: a request on the gone device is answered with -19,
  // the keyboard still answers, and a new client gets the list.
  ovclient::TransferReply gone;
  ASSERT_TRUE(client.bulkTransfer(kDisk, piece, &gone, 60000));
  EXPECT_EQ(gone.result, -19);
  ovclient::ControlReply keyboard;
  ASSERT_TRUE(client.controlTransfer(kKeyboard, {0x80, 6, 0x0100, 0, 18}, {}, &keyboard, 30000));
  EXPECT_EQ(keyboard.status, 0);
  OvClient second;
  ASSERT_TRUE(second.connectTo("127.0.0.1", guest.port(), 10000));
  std::vector<ovclient::DeviceAnnouncement> devices;
  ASSERT_TRUE(second.listDevices(&devices, 3000));
  std::string listed;
  bool keyboardListed = false, diskListed = false;
  for (const ovclient::DeviceAnnouncement& d : devices) {
    listed += "[" + std::to_string(d.address) + " state " + std::to_string(d.state) + " " + d.product + "] ";
    keyboardListed = keyboardListed || d.address == kKeyboard;
    diskListed = diskListed || d.address == kDisk;
  }
  EXPECT_TRUE(keyboardListed) << listed;
  EXPECT_FALSE(diskListed) << listed;
  std::string output;
  EXPECT_EQ(guest.run("pidof ovusbd", &output), 0) << vmguest::serverLog(guest);
  std::string errorText;
  for (int32_t e : errors) errorText += std::to_string(e) + " ";
  const std::string summary = std::to_string(answeredWithData) + " pieces with data, errors " + errorText;
  RecordProperty("unplug", summary);
  std::printf("unplug during the read: %s\n", summary.c_str());
}
