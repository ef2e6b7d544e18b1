#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "calvixd/net/usbsysfs.h"
#include "calvixd/net/usbsysfstext.h"
#include "tests/calvixd/test_devicemodel_fakes.h"

namespace {

// The texts of one multi-string part of the block.
std::vector<std::string> Texts(const uint8_t* part)
{
    std::vector<std::string> texts;
    const char* p = reinterpret_cast<const char*>(part);
    const char* end = p + 256;
    while (p < end && *p) {
        size_t n = strnlen(p, static_cast<size_t>(end - p));
        texts.emplace_back(p, n);
        p += n + 1;
    }
    return texts;
}

} // namespace

TEST(UsbSysfsText, NumbersAsTheKernelWritesThem)
{
    struct Case {
        const char* text;
        int decimal;
        int hex;
    };
    const Case cases[] = {
        {"1\n", 1, 1},
        {" 2\n", 2, 2},           // bNumInterfaces is "%2d"
        {"046d\n", 46, 0x46d},
        {"ff\n", -1, 255},
        {"0x1f\n", 0, 0x1f},
        {"\n", -1, -1},           // unconfigured device
        {"", -1, -1},
        {"-3\n", -3, -1},
        {"2147483647", 2147483647, -1},
        {"2147483648", -1, -1},   // out of range: rejected, not wrapped
        {"7fffffff", 7, 0x7fffffff},
        {"80000000", 80000000, -1},
        {"12abc", 12, 0x12abc},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseDecimalAttribute(c.text, strlen(c.text)), c.decimal) << c.text;
        EXPECT_EQ(ParseHexAttribute(c.text, strlen(c.text)), c.hex) << c.text;
    }
    // Only the given bytes are read.
    EXPECT_EQ(ParseDecimalAttribute("123", 2), 12);
    EXPECT_EQ(ParseHexAttribute("fff", 1), 15);
}

TEST(UsbSysfsText, VersionAndSpeed)
{
    struct Version {
        const char* text;
        uint16_t value;
    };
    const Version versions[] = {{" 2.00\n", 0x0200}, {" 1.10\n", 0x0110}, {" 3.20\n", 0x0320},
                                {"2.1\n", 0x0201},   {"x\n", 0},          {"", 0},
                                {"2\n", 0},          {"1.1ff\n", 0x01ff}};
    for (const Version& v : versions)
        EXPECT_EQ(ParseUsbVersion(v.text, strlen(v.text)), v.value) << v.text;

    struct Speed {
        const char* text;
        uint8_t value;
    };
    const Speed speeds[] = {{"5000\n", 3}, {"10000\n", 255}, {"480\n", 2}, {"12\n", 1},
                            {"1.5\n", 0},  {"", 255},        {"48\n", 255}};
    for (const Speed& s : speeds)
        EXPECT_EQ(ParseUsbSpeed(s.text, strlen(s.text)), s.value) << s.text;
}

TEST(UsbSysfsText, SerialsAndNames)
{
    struct Serial {
        const char* text;
        bool plain;
    };
    const Serial serials[] = {{"ABC123", true}, {"", false},    {"AB C", false}, {"A,B", false},
                              {"A\tB", false},  {"\xC3\xA9", false}, {"~!@#", true}};
    for (const Serial& s : serials)
        EXPECT_EQ(IsPlainSerial(s.text), s.plain) << s.text;

    struct Name {
        const char* manufacturer;
        const char* product;
        bool composite;
        const char* name;
    };
    const Name names[] = {
        {"ACME", "ACME Mouse", false, "ACME Mouse"},
        {"ACME", "Mouse", false, "ACME Mouse"},
        {"ACME", "ACMEMouse", false, "ACME ACMEMouse"},
        {"", "Mouse", false, "Mouse"},
        {"ACME", "", false, "ACME"},
        {"ACME", "Hub", true, "ACME Hub Composite USB Device"},
        {"", "", true, "Composite USB Device"},
        {"", "", false, "USB Device vendor_id 0x04ab - product_id 0x00cd"},
        {"Line\nBreak", "Two\rParts", false, "Line Break Two Parts"},
    };
    for (const Name& n : names)
        EXPECT_EQ(BuildDeviceName(n.manufacturer, n.product, n.composite, 0x04ab, 0x00cd), n.name);
    EXPECT_EQ(BuildDeviceName(std::string(300, 'M'), std::string(300, 'P'), false, 1, 2).size(), 255u);
    EXPECT_EQ(TrimSysfsText(" \r\n Mouse 2 \n", 13), "Mouse 2");
}

TEST(UsbSysfs, BusIds)
{
    const std::pair<const char*, bool> cases[] = {
        {"1-1", true},   {"3-1.4.2", true}, {"10-12", true}, {"usb1", false}, {"1-1:1.0", false},
        {"1-", false},   {"-1", false},     {"1-1.", false}, {"1-1..2", false}, {"", false}};
    for (const auto& [text, ok] : cases)
        EXPECT_EQ(UsbSysfs::IsBusId(text), ok) << text;
}

struct UsbSysfsTree : ::testing::Test {
    CSysfsTree tree;
    UsbSysfs sysfs{tree.Root()};

    UsbDeviceInfo Read(const CSysfsTree::Device& d, bool expected = true)
    {
        tree.Add(d);
        UsbDeviceInfo info;
        EXPECT_EQ(sysfs.ReadDeviceInfo(d.busId, &info), expected) << d.busId;
        return info;
    }
};

TEST_F(UsbSysfsTree, BootMouse)
{
    CSysfsTree::Device d;
    d.busId = "1-1.2";
    d.vendorId = 0x046d;
    d.productId = 0xc077;
    d.bcdDevice = 0x7200;
    d.speed = "1.5";
    d.version = " 2.00";
    d.manufacturer = "Logitech";
    d.product = "USB Optical Mouse";
    d.serial = "";
    d.bmAttributes = 0xa0;
    UsbDeviceInfo info = Read(d);
    EXPECT_EQ(info.vendorId, 0x046d);
    EXPECT_EQ(info.productId, 0xc077);
    EXPECT_EQ(info.bcdDevice, 0x7200);
    EXPECT_EQ(info.deviceClass, 3);
    EXPECT_EQ(info.subClass, 1);
    EXPECT_EQ(info.protocol, 2);
    EXPECT_EQ(info.speed, 0);
    EXPECT_EQ(info.usbVersion, 0x0200);
    EXPECT_EQ(info.remoteWakeup, 1u);
    EXPECT_EQ(info.busId, "1-1.2");
    EXPECT_EQ(info.serial, "");
    EXPECT_EQ(info.Name(), "Logitech USB Optical Mouse");
    EXPECT_EQ(Texts(info.textBlock + 256),
              (std::vector<std::string>{"USB\\VID_046D&PID_C077&REV_7200", "USB\\VID_046D&PID_C077"}));
    EXPECT_EQ(Texts(info.textBlock + 512),
              (std::vector<std::string>{"USB\\Class_03&SubClass_01&Prot_02", "USB\\Class_03&SubClass_01",
                                        "USB\\Class_03"}));
}

TEST_F(UsbSysfsTree, CompositeDevice)
{
    struct Case {
        int deviceClass, subClass, protocol;
        int configurations;
        bool composite;
    };
    const Case cases[] = {
        {0, 0, 0, 1, true},
        {0xEF, 2, 1, 1, true},   // interface association
        {0xEF, 2, 2, 1, false},
        {0, 0, 0, 2, false},     // two configurations
        {2, 0, 0, 1, false},
    };
    int port = 1;
    for (const Case& c : cases) {
        CSysfsTree::Device d;
        d.busId = "2-" + std::to_string(port++);
        d.deviceClass = c.deviceClass;
        d.subClass = c.subClass;
        d.protocol = c.protocol;
        d.numConfigurations = c.configurations;
        d.interfaces = {{8, 6, 0x50}, {3, 0, 0}};
        UsbDeviceInfo info = Read(d);
        std::vector<std::string> compatible = Texts(info.textBlock + 512);
        ASSERT_FALSE(compatible.empty());
        if (c.composite) {
            EXPECT_EQ(info.deviceClass, 0);
            EXPECT_EQ(compatible.back(), "USB\\COMPOSITE") << d.busId;
            EXPECT_EQ(compatible.front(), "USB\\DevClass_00&SubClass_00&Prot_00");
            EXPECT_EQ(info.Name(), "ACME Mouse Composite USB Device");
        } else {
            // The first interface gives the class.
            EXPECT_EQ(info.deviceClass, 8) << d.busId;
            EXPECT_EQ(info.protocol, 0x50);
            EXPECT_EQ(compatible.front(), "USB\\Class_08&SubClass_06&Prot_50");
        }
    }
}

TEST_F(UsbSysfsTree, AttributeFailures)
{
    struct Case {
        const char* what;
        std::function<void(CSysfsTree::Device*)> edit;
        const char* removed; // attribute deleted after writing
        bool ok;
    };
    const Case cases[] = {
        {"complete", [](CSysfsTree::Device*) {}, nullptr, true},
        {"no bcdDevice", [](CSysfsTree::Device*) {}, "bcdDevice", false},
        {"no idVendor", [](CSysfsTree::Device*) {}, "idVendor", false},
        {"unconfigured", [](CSysfsTree::Device* d) { d->configuration = -1; }, nullptr, false},
        {"configurations out of range", [](CSysfsTree::Device* d) { d->numConfigurations = 256; }, nullptr, false},
        {"no speed", [](CSysfsTree::Device*) {}, "speed", true},
        {"no version", [](CSysfsTree::Device*) {}, "version", true},
        {"no strings", [](CSysfsTree::Device* d) { d->manufacturer = d->product = d->serial = ""; }, nullptr, true},
    };
    int port = 1;
    for (const Case& c : cases) {
        CSysfsTree::Device d;
        d.busId = "3-" + std::to_string(port++);
        c.edit(&d);
        tree.Add(d);
        if (c.removed)
            tree.Remove(d.busId, c.removed);
        UsbDeviceInfo info;
        EXPECT_EQ(sysfs.ReadDeviceInfo(d.busId, &info), c.ok) << c.what;
        std::string what = c.what;
        if (what == "no speed") {
            EXPECT_EQ(info.speed, 255);
        } else if (what == "no version") {
            EXPECT_EQ(info.usbVersion, 0);
        } else if (what == "no strings") {
            EXPECT_EQ(info.Name(), "USB Device vendor_id 0x1234 - product_id 0x5678");
        }
    }

    // An interface directory with a bad class fails the read.
    CSysfsTree::Device d;
    d.busId = "3-20";
    tree.Add(d);
    tree.Write("3-20:1.0", "bInterfaceClass", "zz\n");
    UsbDeviceInfo info;
    EXPECT_FALSE(sysfs.ReadDeviceInfo("3-20", &info));
    EXPECT_FALSE(sysfs.ReadDeviceInfo("9-9", &info)) << "no such device";
}

// The usbfs node comes from "busnum" and "devnum", both counted from 1.
TEST_F(UsbSysfsTree, NodePaths)
{
    struct Case {
        const char* busnum; // null: missing
        const char* devnum;
        const char* path;   // null: no path
    };
    const Case cases[] = {
        {"1\n", "2\n", "/dev/bus/usb/001/002"},
        {"12\n", "127\n", "/dev/bus/usb/012/127"},
        {"0\n", "2\n", nullptr},
        {"1\n", "0\n", nullptr},
        {"-1\n", "2\n", nullptr},
        {nullptr, "2\n", nullptr},
        {"1\n", nullptr, nullptr},
    };
    int port = 1;
    for (const Case& c : cases) {
        CSysfsTree::Device d;
        d.busId = "4-" + std::to_string(port++);
        tree.Add(d);
        if (c.busnum)
            tree.Write(d.busId, "busnum", c.busnum);
        else
            tree.Remove(d.busId, "busnum");
        if (c.devnum)
            tree.Write(d.busId, "devnum", c.devnum);
        else
            tree.Remove(d.busId, "devnum");
        std::string path;
        EXPECT_EQ(sysfs.GetNodePath(d.busId, &path), c.path != nullptr) << d.busId;
        if (c.path)
            EXPECT_EQ(path, c.path);
    }
}

TEST_F(UsbSysfsTree, SerialsAreKeptOnlyWhenPlain)
{
    const std::pair<const char*, const char*> cases[] = {
        {"  ABC123 \r", "ABC123"}, {"AB C", ""}, {"A,B", ""}, {"", ""}};
    int port = 1;
    for (const auto& [written, kept] : cases) {
        CSysfsTree::Device d;
        d.busId = "4-" + std::to_string(port++);
        d.serial = written;
        EXPECT_EQ(Read(d).serial, kept) << written;
    }
}

TEST_F(UsbSysfsTree, ConfigurationValue)
{
    CSysfsTree::Device d;
    d.busId = "5-1";
    d.configuration = -1;
    tree.Add(d);
    EXPECT_FALSE(sysfs.HasConfiguration("5-1"));
    EXPECT_FALSE(sysfs.HasConfiguration("5-9"));
    EXPECT_EQ(sysfs.SetConfiguration("5-1", 2), 0);
    std::ifstream in(tree.Root() + "5-1/bConfigurationValue");
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "2\n");
    EXPECT_TRUE(sysfs.HasConfiguration("5-1"));
    EXPECT_EQ(sysfs.SetConfiguration("5-9", 1), -ENOENT);
}

TEST_F(UsbSysfsTree, LongTextsStayInTheirBlock)
{
    CSysfsTree::Device d;
    d.busId = "6-1";
    d.manufacturer = std::string(400, 'M'); // only its first 511 bytes are read
    d.product = std::string(400, 'P');
    UsbDeviceInfo info = Read(d);
    EXPECT_EQ(info.Name().size(), 255u);
    EXPECT_EQ(info.textBlock[255], 0);
    EXPECT_EQ(Texts(info.textBlock + 256).size(), 2u);
}
