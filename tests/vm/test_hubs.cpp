// Hub ports on the real kernel: a keyboard behind an emulated usb-hub, bound
// by the protocol test client, whose port the client queries and resets;
// then a gadget on dummy_hcd, whose root hub port the client switches off
// and on, and which the kernel enumerates anew.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/ovclient.h"
#include "tests/vm/guest.h"

#ifndef OVUSB_VM_SERVER
#define OVUSB_VM_SERVER "(ovusbd is not built)"
#endif
#ifndef OVUSB_VM_PROBE
#define OVUSB_VM_PROBE "(ovprobe is not built)"
#endif

namespace {

// The keyboard sits on port 2 of the hub: sysfs name 1-1.2, address 112.
constexpr uint32_t kKeyboard = 112;

std::string guestLog(vmguest::Guest& guest) {
  std::string text;
  guest.run("cat /tmp/ovusbd.log", &text);
  return text;
}

int32_t word0(const ovclient::Message& reply) {
  return reply.payload.size() >= 4 ? static_cast<int32_t>(ovclient::le32(reply.payload.data())) : 0x7fffffff;
}

// Waits for an announcement of a device of the vendor in `state` (1
// present, 0 removed) and gives its address.
bool announced(ovclient::OvClient& client, uint16_t vendorId, uint8_t state, uint32_t* address, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  ovclient::Message message;
  while (std::chrono::steady_clock::now() < deadline) {
    // The server drops a client that stays silent past its ping time-out.
    if (!client.keepAlive()) return false;
    if (!client.waitFor(kMsgDeviceAnnounce, &message, 2000)) continue;
    ovclient::DeviceAnnouncement announcement;
    if (ovclient::parseDeviceAnnouncement(message, &announcement) && announcement.vendorId == vendorId &&
        announcement.state == state) {
      *address = announcement.address;
      return true;
    }
  }
  return false;
}

}  // namespace

TEST(Hubs, PortStatusResetAndPowerOfADeviceBehindAHub) {
  vmguest::Guest guest;
  ASSERT_TRUE(guest.boot({{vmguest::serverBinary(OVUSB_VM_SERVER), "/usr/sbin/ovusbd"}, {OVUSB_VM_PROBE, "/usr/bin/ovprobe"}},
                         {"-device", "qemu-xhci,id=xhci,addr=0x14,p2=15,p3=15", "-device",
                          "usb-hub,bus=xhci.0,port=1,id=hub", "-device", "usb-kbd,bus=xhci.0,port=1.2,id=kbd"}))
      << guest.error();
  std::string output;
  ASSERT_EQ(guest.run("echo TCPPort=7575 >/etc/ovusbd.ini; "
                      "ovusbd -c /etc/ovusbd.ini -r /tmp/ovusbd.log </dev/null >/dev/null 2>&1 & "
                      "n=0; until netstat -ltn | grep -q ':7575 '; do n=$((n+1)); [ $n -gt 300 ] && exit 1; "
                      "sleep 0.1; done",
                      &output, 60000),
            0)
      << output << guestLog(guest) << guest.diagnostics();

  ovclient::OvClient client;
  ASSERT_TRUE(client.connectTo("127.0.0.1", guest.port(), 10000));
  ovclient::HelloReply hello;
  ASSERT_TRUE(client.hello("vm-test", "hubs", &hello, 10000));
  ovclient::BindResult bound;
  ASSERT_TRUE(client.bind(kKeyboard, &bound, 30000));
  ASSERT_EQ(bound.result, 1) << guestLog(guest);

  // Port status of the real port: connected, enabled, powered.
  ovclient::Message reply;
  ASSERT_TRUE(client.request(kMsgPortStatus, {}, &reply, kMsgPortStatusReply, kKeyboard, 30000));
  ASSERT_EQ(reply.payload.size(), 6u);
  EXPECT_EQ(word0(reply), 4) << guestLog(guest);
  uint16_t status = ovclient::le16(reply.payload.data() + 4);
  EXPECT_EQ(status & 0x0103, 0x0103) << std::hex << status;

  // SET_FEATURE(PORT_RESET) naming no port reaches the keyboard's port 2;
  // the reset port comes back enabled with its keyboard.
  const std::vector<uint8_t> portReset = {0x23, 3, 4, 0, 0, 0, 0, 0};
  ASSERT_TRUE(client.request(kMsgHubClassRequest, portReset, &reply, kMsgHubClassReply, kKeyboard, 30000));
  EXPECT_EQ(word0(reply), 0) << guestLog(guest);
  ASSERT_TRUE(client.request(kMsgPortStatus, {}, &reply, kMsgPortStatusReply, kKeyboard, 30000));
  EXPECT_EQ(word0(reply), 4);
  EXPECT_EQ(ovclient::le16(reply.payload.data() + 4) & 0x0103, 0x0103);

  // qemu's usb-hub keeps its ports powered whatever it is told; port power
  // is tried on dummy_hcd's root hub, whose port power is real. A gadget
  // there is found by the server under the address of its name, 3-1.
  ASSERT_EQ(guest.run("cd /sys/kernel/config/usb_gadget && mkdir g && cd g && echo 0x1209 >idVendor && "
                      "echo 0x7a01 >idProduct && mkdir strings/0x409 && echo hubtest >strings/0x409/product && "
                      "mkdir configs/c.1 functions/SourceSink.0 && ln -s functions/SourceSink.0 configs/c.1/ && "
                      "ls /sys/class/udc >UDC",
                      &output, 30000),
            0)
      << output;
  uint32_t gadget = 0;
  ASSERT_TRUE(announced(client, 0x1209, 1, &gadget, 60000)) << guestLog(guest);
  std::string hub;
  ASSERT_EQ(guest.run("for d in /sys/bus/usb/devices/*; do [ \"$(cat $d/idVendor 2>/dev/null)\" = 1209 ] && "
                      "basename $(dirname $(readlink -f $d)); done; true",
                      &hub, 30000),
            0);
  hub = hub.substr(0, hub.find_first_of("\r\n"));
  // Port requests reach only a device the client holds.
  ASSERT_TRUE(client.bind(gadget, &bound, 30000));
  ASSERT_EQ(bound.result, 1) << guestLog(guest);
  ASSERT_TRUE(client.request(kMsgPortStatus, {}, &reply, kMsgPortStatusReply, gadget, 30000));
  EXPECT_EQ(word0(reply), 4);
  EXPECT_EQ(ovclient::le16(reply.payload.data() + 4), 0x0503);  // high speed, enabled, connected, powered

  // Off: the root hub's port loses power and its device.
  ASSERT_TRUE(client.request(kMsgPortPower, {0}, &reply, kMsgPortPowerReply, gadget, 30000));
  EXPECT_EQ(word0(reply), 0) << guestLog(guest);
  ASSERT_EQ(guest.run("ovprobe hubport " + hub + " 1 status", &output, 30000), 0) << output;
  EXPECT_NE(output.find("@@fact hubport.status 0000"), std::string::npos) << hub << ": " << output;
  // On: dummy_hcd reports the change, the kernel drops the old device and
  // enumerates it anew; the server follows with a removal and an arrival.
  ASSERT_TRUE(client.request(kMsgPortPower, {1}, &reply, kMsgPortPowerReply, gadget, 30000));
  EXPECT_EQ(word0(reply), 0) << guestLog(guest);
  uint32_t address = 0;
  ASSERT_TRUE(announced(client, 0x1209, 0, &address, 60000)) << guestLog(guest);
  EXPECT_EQ(address, gadget);
  ASSERT_TRUE(announced(client, 0x1209, 1, &address, 60000)) << guestLog(guest);
  EXPECT_EQ(address, gadget);
  // The binding ended with the device it named: the new one is bound anew.
  ASSERT_TRUE(client.bind(gadget, &bound, 30000));
  ASSERT_EQ(bound.result, 1) << guestLog(guest);
  ASSERT_TRUE(client.request(kMsgPortStatus, {}, &reply, kMsgPortStatusReply, gadget, 30000));
  EXPECT_EQ(word0(reply), 4);
  EXPECT_EQ(ovclient::le16(reply.payload.data() + 4), 0x0503);
}
