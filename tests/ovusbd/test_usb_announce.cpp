// What a connected client sees of the USB layer, as real frames read by the
// test protocol client: the device list answering message 9 with one
// message 16 per device present at start-up, and an announcement when a
// device is plugged and when it is removed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <vector>

#include "ovusbd/core/handlers.h"
#include "tests/ovusbd/test_usb_support.h"
#include "tests/support/ovclient.h"

using namespace usbtest;
using simbus::Format;

namespace {

class AnnounceTest : public UsbFixture {
 protected:
  void SetUp() override {
    UsbFixture::SetUp();
    fillMessageHandlerTable();
  }
  void TearDown() override {
    client.close();
    UsbFixture::TearDown();
  }
  // A client on one end of a loopback TCP connection, the server's link on
  // the other, handed over as the listener would.
  void connectClient() {
    int fd = connectLoopbackClient();
    ASSERT_GE(fd, 0);
    client.adopt(fd);
    ASSERT_TRUE(waitUntil([] { return connectionCount() == 1; }));
  }
  std::vector<ovclient::DeviceAnnouncement> listWithContext(const uint32_t context[5]) {
    ovclient::Message request;
    request.type = kMsgDeviceListRequest;
    for (int i = 0; i < 5; ++i) request.context[i] = context[i];
    EXPECT_TRUE(client.send(request));
    std::vector<ovclient::DeviceAnnouncement> devices;
    ovclient::Message reply;
    while (client.waitFor(kMsgDeviceAnnounce, &reply, 300)) {
      ovclient::DeviceAnnouncement device;
      EXPECT_TRUE(ovclient::parseDeviceAnnouncement(reply, &device));
      for (int i = 0; i < 5; ++i) EXPECT_EQ(reply.context[i], context[i]);
      devices.push_back(device);
    }
    return devices;
  }
  ovclient::OvClient client;
};

TEST_F(AnnounceTest, DeviceListCarriesTheDevicesPresentAtStartup) {
  simbus::SimDevice keyboard = device("1-2", 0x046d, 0xc52b);
  keyboard.manufacturer = std::string("Logitech");
  keyboard.product = std::string("USB Receiver");
  keyboard.serial = std::string("ABC123");
  keyboard.interfaces = {simbus::SimInterface{3, 1, 1}};
  bus.addDevice(keyboard);
  bus.addDevice(device("1-3", 0x0781, 0x5567));
  bus.addDevice(simbus::hubDevice("1-4"));
  startDiscovery();
  connectClient();
  const uint32_t context[5] = {11, 22, 33, 44, 55};
  std::vector<ovclient::DeviceAnnouncement> devices = listWithContext(context);
  ASSERT_EQ(devices.size(), 2u);  // the hub is not offered
  EXPECT_EQ(devices[0].address, 12u);
  EXPECT_EQ(devices[0].vendorId, 0x046d);
  EXPECT_EQ(devices[0].productId, 0xc52b);
  EXPECT_EQ(devices[0].manufacturer, "Logitech");
  EXPECT_EQ(devices[0].product, "USB Receiver");
  EXPECT_EQ(devices[0].serial, "ABC123");
  EXPECT_EQ(devices[0].state, DEVICE_FREE);
  // bNumConfigurations, bNumInterfaces and the first interface's class triple.
  const uint8_t* payload = devices[0].raw.payload.data();
  EXPECT_EQ(payload[221], 1);
  EXPECT_EQ(payload[222], 1);
  EXPECT_EQ(payload[223], 3);
  EXPECT_EQ(payload[224], 1);
  EXPECT_EQ(payload[225], 1);
  EXPECT_EQ(devices[1].address, 13u);
}

TEST_F(AnnounceTest, EmptyBusGivesNoReply) {
  startDiscovery();
  connectClient();
  const uint32_t context[5] = {1, 2, 3, 4, 5};
  EXPECT_TRUE(listWithContext(context).empty());
}

TEST_F(AnnounceTest, ClientHearsArrivalAndRemoval) {
  startDiscovery();
  connectClient();
  bus.plug(device("1-5", 0x1234, 0xabcd), Format::Both);
  ovclient::Message message;
  ASSERT_TRUE(client.waitFor(kMsgDeviceAnnounce, &message, 5000));
  ovclient::DeviceAnnouncement arrival;
  ASSERT_TRUE(ovclient::parseDeviceAnnouncement(message, &arrival));
  EXPECT_EQ(arrival.address, 15u);
  EXPECT_EQ(arrival.state, DEVICE_FREE);
  EXPECT_EQ(arrival.productId, 0xabcd);
  for (uint32_t word : message.context) EXPECT_EQ(word, 0u);  // unsolicited

  bus.unplug("1-5", Format::Both);
  ASSERT_TRUE(client.waitFor(kMsgDeviceAnnounce, &message, 5000));
  ovclient::DeviceAnnouncement removal;
  ASSERT_TRUE(ovclient::parseDeviceAnnouncement(message, &removal));
  EXPECT_EQ(removal.address, 15u);
  EXPECT_EQ(removal.state, DEVICE_REMOVED);
  EXPECT_EQ(removal.product, "Widget");

  // One arrival and one removal, whatever else the bus said.
  ASSERT_TRUE(drainUevents());
  EXPECT_FALSE(client.waitFor(kMsgDeviceAnnounce, &message, 200));
  const uint32_t context[5] = {1, 2, 3, 4, 5};
  EXPECT_TRUE(listWithContext(context).empty());
}

// A binding change the USB layer reports is announced anew to every client.
TEST_F(AnnounceTest, BindingChangeIsAnnouncedToEveryClient) {
  bus.addDevice(device("1-5", 0x1234, 0xabcd));
  startDiscovery();
  connectClient();
  reportBindingChanged(15);
  ovclient::Message message;
  ASSERT_TRUE(client.waitFor(kMsgDeviceAnnounce, &message, 5000));
  ovclient::DeviceAnnouncement announcement;
  ASSERT_TRUE(ovclient::parseDeviceAnnouncement(message, &announcement));
  EXPECT_EQ(announcement.address, 15u);
  EXPECT_EQ(announcement.productId, 0xabcd);
  for (uint32_t word : message.context) EXPECT_EQ(word, 0u);  // unsolicited
  reportBindingChanged(99);  // gone: nothing is sent
  EXPECT_FALSE(client.waitFor(kMsgDeviceAnnounce, &message, 200));
}

TEST_F(AnnounceTest, MalformedUeventsNeitherAnnounceNorHurt) {
  startDiscovery();
  connectClient();
  for (int i = 0; i < 50; ++i) {
    std::vector<uint8_t> junk(static_cast<size_t>(i * 37 % 900), static_cast<uint8_t>('@' + i % 3));
    bus.sendDatagram(junk, i % 2 ? 1 : 2);
  }
  bus.plug(device("1-6"), Format::Kernel);
  ovclient::Message message;
  ASSERT_TRUE(client.waitFor(kMsgDeviceAnnounce, &message, 5000));
  ovclient::DeviceAnnouncement arrival;
  ASSERT_TRUE(ovclient::parseDeviceAnnouncement(message, &arrival));
  EXPECT_EQ(arrival.address, 16u);
}

}  // namespace
