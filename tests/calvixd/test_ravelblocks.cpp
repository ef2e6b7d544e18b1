// The driver blocks, the status map, uevent parsing and device paths, each
// against bytes written out by hand from the driver's layouts.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "calvixd/net/ravelblocks.h"
#include "calvixd/net/uevent.h"

namespace {

using Bytes = std::vector<uint8_t>;

void U32(Bytes* b, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        b->push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void U16(Bytes* b, uint16_t v)
{
    b->push_back(static_cast<uint8_t>(v));
    b->push_back(static_cast<uint8_t>(v >> 8));
}
void Text(Bytes* b, const char* text)
{
    b->insert(b->end(), text, text + strlen(text) + 1);
}
void Zeros(Bytes* b, size_t n)
{
    b->insert(b->end(), n, 0);
}

} // namespace

TEST(RavelBlocks, ClaimRulesWithMixedTexts)
{
    LoaderRule byIdentity;
    byIdentity.flags = 0x10000003 | 0x40000000;
    byIdentity.vendorId = 0x1234;
    byIdentity.productId = 0x5678;
    byIdentity.instanceIdentity = "SN1";
    LoaderRule byPort;
    byPort.flags = 0x40 | 0x80 | 0x8 | 0x20000000;
    byPort.deviceClass = 3;
    byPort.subClass = 1;
    byPort.protocol = 2;
    byPort.port = "1-1.2";
    byPort.serial = "AB";
    LoaderRule catchAll;
    catchAll.flags = 0x20000000;

    Bytes expected;
    U32(&expected, 105);
    U32(&expected, 3);
    // flags, three text lengths, ids, bcdDevice, class triple, 3 zeros, texts
    U32(&expected, 0x50000003);
    U32(&expected, 0);
    U32(&expected, 0);
    U32(&expected, 4);
    U16(&expected, 0x1234);
    U16(&expected, 0x5678);
    U16(&expected, 0);
    Zeros(&expected, 3 + 3);
    Text(&expected, "SN1");
    U32(&expected, 0x200000C8);
    U32(&expected, 6);
    U32(&expected, 3);
    U32(&expected, 0);
    U16(&expected, 0);
    U16(&expected, 0);
    U16(&expected, 0);
    expected.push_back(3);
    expected.push_back(1);
    expected.push_back(2);
    Zeros(&expected, 3);
    Text(&expected, "1-1.2");
    Text(&expected, "AB");
    U32(&expected, 0x20000000);
    Zeros(&expected, 24);
    ASSERT_EQ(expected.size(), 105u);

    EXPECT_EQ(BuildClaimRulesBlock({byIdentity, byPort, catchAll}), expected);
}

TEST(RavelBlocks, ThreeQuirksIn92Bytes)
{
    Bytes expected;
    U32(&expected, 92);
    U32(&expected, 3);
    const uint16_t ids[3][2] = {{0x6547, 0x0232}, {0x1234, 0x5678}, {0xabcd, 0xef01}};
    const uint32_t flags[3] = {0x80000002, 0x2, 0x3};
    for (int i = 0; i < 3; i++) {
        U16(&expected, ids[i][0]);
        U16(&expected, ids[i][1]);
        U32(&expected, flags[i]);
    }
    Zeros(&expected, 60);
    std::vector<LoaderQuirk> quirks;
    for (int i = 0; i < 3; i++)
        quirks.push_back({ids[i][0], ids[i][1], flags[i]});
    EXPECT_EQ(BuildQuirksBlock(quirks), expected);
    EXPECT_EQ(BuildQuirksBlock({}), Bytes({8, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(RavelBlocks, DeviceBlocksCarryTheBusIdIn32Bytes)
{
    Bytes rebind;
    U32(&rebind, 40);
    Text(&rebind, "3-1.4.2");
    Zeros(&rebind, 40 - rebind.size());
    EXPECT_EQ(BuildDeviceBlock("3-1.4.2", 0), rebind);

    Bytes query = BuildDeviceBlock("1-1", 257);
    ASSERT_EQ(query.size(), 297u);
    EXPECT_EQ(ReadU32(query.data()), 297u);
    // A bus id of 40 characters is cut to 32, the four zero bytes stay.
    std::string longId(40, '7');
    Bytes cut = BuildDeviceBlock(longId, 0);
    EXPECT_EQ(std::string(cut.begin() + 4, cut.begin() + 36), std::string(32, '7'));
    EXPECT_EQ(Bytes(cut.begin() + 36, cut.end()), Bytes(4, 0));
    EXPECT_EQ(BuildEmptyBlock(), Bytes({4, 0, 0, 0}));
}

TEST(RavelBlocks, QueryTextEndsInsideTheBlock)
{
    Bytes filled = BuildDeviceBlock("1-1", 257);
    memcpy(&filled[40], "SN0001", 6);
    EXPECT_EQ(QueryBlockText(filled.data(), filled.size()), "SN0001");
    // A driver that fills every byte: the text stops at byte 296.
    memset(&filled[40], 'A', 257);
    EXPECT_EQ(QueryBlockText(filled.data(), filled.size()), std::string(256, 'A'));
}

TEST(RavelBlocks, ProcDevicesLines)
{
    struct Case {
        const char* text;
        bool present;
    };
    const Case cases[] = {
        {"Character devices:\n  1 mem\n240 raveld_cdev\n\nBlock devices:\n", true},
        {"240 raveld_cdev", true},
        {"240 raveld_cdev2\n", false},
        {"240 raveld\n", false},
        {"raveld_cdev\n", false},
        {"240raveld_cdev\n", false},
        {"x 240 raveld_cdev\n", false},
        {"", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ProcDevicesHasRavel(c.text, strlen(c.text)), c.present) << c.text;
}

TEST(RavelBlocks, StatusMap)
{
    const std::pair<int32_t, uint32_t> cases[] = {
        {0, 0},    {15, 15},  {-115, 1}, {-104, 2}, {-2, 2},   {-1, 2},   {-18, 3},  {-110, 4},
        {-22, 5},  {-108, 6}, {-19, 6},  {-121, 7}, {-75, 8},  {-63, 9},  {-70, 10}, {-32, 11},
        {-84, 12}, {-71, 13}, {-12, 14}, {-90, 17}, {1, 16},   {-5, 16},  {16, 16},
    };
    for (const auto& [driver, client] : cases)
        EXPECT_EQ(MapStubStatus(driver), client) << driver;
}

namespace {

std::string Message(std::initializer_list<const char*> parts)
{
    std::string text;
    for (const char* part : parts) {
        text += part;
        text.push_back('\0');
    }
    return text;
}

} // namespace

TEST(UEventParse, Messages)
{
    struct Case {
        const char* what;
        std::string message;
        bool parsed;
    };
    const Case cases[] = {
        {"complete", Message({"add@/devices/x", "ACTION=add", "DEVPATH=/devices/x", "SUBSYSTEM=usb"}), true},
        {"keys in lower case", Message({"add@/devices/x", "action=add", "devpath=/devices/x"}), true},
        {"no DEVPATH", Message({"add@/devices/x", "ACTION=add", "SUBSYSTEM=usb"}), false},
        {"no ACTION", Message({"add@/devices/x", "DEVPATH=/devices/x"}), false},
        {"ACTIONX is not ACTION", Message({"add@/devices/x", "ACTIONX=add", "DEVPATH=/devices/x"}), false},
        {"no at sign", Message({"add/devices/x", "ACTION=add", "DEVPATH=/devices/x"}), false},
        {"header only", Message({"add@/devices/x"}), false},
        {"not terminated", std::string("add@/x\0ACTION=add\0DEVPATH=/x", 27), false},
        {"two bytes", std::string("@\0", 2), false},
        {"a variable cut short", Message({"add@/devices/x", "ACTION", "DEVPATH=/devices/x"}), false},
    };
    for (const Case& c : cases) {
        UEvent event;
        EXPECT_EQ(event.Parse(c.message.data(), c.message.size()), c.parsed) << c.what;
    }
    std::string message = Message({"add@/devices/x", "action=add", "DEVPATH=/devices/x", "SUBSYSTEM=usb",
                                   "raveld_cdev_TYPE=stub", "EMPTY="});
    UEvent event;
    ASSERT_TRUE(event.Parse(message.data(), message.size()));
    EXPECT_EQ(event.GetAction(), "add");
    EXPECT_EQ(event.GetDevPath(), "/devices/x");
    EXPECT_EQ(event.GetSubsystem(), "usb");
    EXPECT_EQ(event.GetVariable("RAVELD_CDEV_TYPE"), "stub");
    EXPECT_EQ(event.GetVariable("EMPTY"), "");
    EXPECT_EQ(event.GetVariable("MISSING"), "");
    EXPECT_EQ(event.GetVariable("ACT"), "");
}

TEST(UEventParse, DevicePaths)
{
    const std::string usb = "/devices/pci0000:00/0000:00:14.0/usb1";
    struct Case {
        std::string path;
        const char* device;    // bus id of a device path, "" none
        const char* interface; // bus id of an interface path, "" none
    };
    const Case cases[] = {
        {usb + "/1-1", "1-1", ""},
        {usb + "/1-1/1-1.2", "1-1.2", ""},
        {usb + "/1-1/1-1:1.0", "", "1-1"},
        {usb + "/1-1/1-1.2/1-1.2:1.1", "", "1-1.2"},
        {usb, "", ""},
        {usb + "/:1.0", "", ""},
        {usb + "/1-1:", "", ""},
        {"/sys" + usb + "/1-1", "", ""},
        {"/devices/platform/usbx/1-1", "", ""},
        {"/devices/virtual/raveld_cdev/raveld_cdev_3", "", ""},
    };
    for (const Case& c : cases) {
        std::string busId;
        EXPECT_EQ(BusIdFromDevicePath(c.path, &busId) ? busId : "", c.device) << c.path;
        busId.clear();
        EXPECT_EQ(InterfaceFromDevicePath(c.path, &busId) ? busId : "", c.interface) << c.path;
    }
    const std::pair<const char*, int> stubs[] = {
        {"/devices/virtual/raveld_cdev/raveld_cdev_12", 12},
        {"/class/raveld_cdev/raveld_cdev_1", 1},
        {"/devices/virtual/raveld_cdev/raveld_cdev_", -1},
        {"/devices/virtual/raveld_cdev/raveld_cdev_1a", -1},
        {"/devices/virtual/other/raveld_cdev_1", -1},
        {"/sys/class/raveld_cdev/raveld_cdev_1", -1},
        {"/devices/virtual/raveld_cdev/raveld_cdev_99999999999", -1},
    };
    for (const auto& [path, number] : stubs)
        EXPECT_EQ(StubNumberFromDevicePath(path), number) << path;
}
