#include "tests/support/ravelsim.h"

#include <fcntl.h>
#include <linux/netlink.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "calvixd/net/ravelsys.h"

namespace ravelsim {

namespace {

// Requests of the control node and of the stub nodes, as the driver knows
// them.
enum : unsigned long {
    CTL_SET_RULES = 0x40C8,
    CTL_CLEAR_RULES = 0x40C9,
    CTL_REBIND = 0x40CC,
    CTL_DESCRIPTORS = 0x40CD,
    CTL_QUERY = 0x40CE,
    CTL_SET_QUIRKS = 0x40CF,
    CTL_CLEAR_QUIRKS = 0x40D0,
    STUB_READ = 0x40A0,
    STUB_WRITE = 0x40A1,
    STUB_FLUSH = 0x40A2,
    STUB_RESET_MODE = 0x40A4,
    STUB_FLAGS = 0x40A5,
    STUB_RESET = 0x40A6,
    STUB_NEEDS_RESET = 0x40A7,
};

enum : uint32_t {
    RULE_VENDOR = 0x1,
    RULE_PRODUCT = 0x2,
    RULE_CLASS = 0x8,
    RULE_SUBCLASS = 0x10,
    RULE_PROTOCOL = 0x20,
    RULE_PORT = 0x40,
    RULE_SERIAL = 0x80,
    RULE_IDENTITY = 0x10000000,
    RULE_CLAIM = 0x20000000,
    QUIRK_IGNORE_SERIAL = 0x2,
};

constexpr size_t HEADER = 40; // size word, 32-byte bus id, 4 zero bytes
constexpr size_t QUERY_SIZE = 297;
constexpr size_t MESSAGE_MIN = 24;
constexpr int CONTROL_NUMBER = 0;

RavelSim* g_installed = nullptr;

uint32_t U32(const uint8_t* at)
{
    uint32_t value;
    memcpy(&value, at, 4);
    return value;
}

uint16_t U16(const uint8_t* at)
{
    uint16_t value;
    memcpy(&value, at, 2);
    return value;
}

void PutU32(uint8_t* at, uint32_t value)
{
    memcpy(at, &value, 4);
}

uint64_t NowMs()
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

std::string Hex(unsigned long value)
{
    char text[32];
    snprintf(text, sizeof(text), "0x%lx", value);
    return text;
}

std::string Hex4(unsigned value)
{
    char text[16];
    snprintf(text, sizeof(text), "%04x\n", value);
    return text;
}

std::string Hex2(unsigned value)
{
    char text[16];
    snprintf(text, sizeof(text), "%02x\n", value);
    return text;
}

std::vector<uint8_t> DefaultDescriptors(const SimDevice& d)
{
    uint8_t interfaceClass = d.interfaces.empty() ? 0 : d.interfaces[0][0];
    std::vector<uint8_t> block = {
        9, 2, 34, 0, 1, 1, 0, 0xa0, 50,                   // configuration
        9, 4, 0, 0, 1, interfaceClass, 1, 2, 0,           // interface
        9, 0x21, 0x11, 0x01, 0, 1, 0x22, 52, 0,           // HID
        7, 5, 0x81, 3, 4, 0, 10};                         // endpoint
    return block;
}

int SeamOpen(const char* path, int flags)
{
    return g_installed ? g_installed->Open(path, flags) : -ENOENT;
}
int SeamClose(int fd)
{
    return g_installed ? g_installed->Close(fd) : -EBADF;
}
int SeamIoctl(int fd, unsigned long request, void* argument)
{
    return g_installed ? g_installed->Ioctl(fd, request, argument) : -EBADF;
}
ssize_t SeamReadProcDevices(char* buffer, size_t size)
{
    return g_installed ? g_installed->ReadProcDevices(buffer, size) : -ENOENT;
}

const RavelSys SIM_TABLE = {SeamOpen, SeamClose, SeamIoctl, SeamReadProcDevices};

} // namespace

RavelSim::RavelSim(const std::string& sysfsRoot) : m_root(sysfsRoot), m_madeAt(NowMs())
{
    if (m_root.empty() || m_root.back() != '/')
        m_root += '/';
    // A tree that cannot be made shows as no devices.
    std::error_code ignored;
    std::filesystem::create_directories(m_root, ignored);
}

RavelSim::~RavelSim()
{
    if (g_installed == this) {
        ravelSys = &productionRavelSys;
        g_installed = nullptr;
    }
    for (auto& entry : m_stubs) {
        if (entry.second.eventFd >= 0)
            close(entry.second.eventFd);
    }
    for (auto& entry : m_nodes)
        close(entry.first);
    if (m_ueventSocket >= 0)
        close(m_ueventSocket);
}

void RavelSim::Install()
{
    g_installed = this;
    ravelSys = &SIM_TABLE;
}

void RavelSim::SetDriverPresent(bool present)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_present = present;
}
void RavelSim::SetControlNodeDelayMs(int ms)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_controlDelayMs = ms;
}
void RavelSim::SetStubNodeDelayMs(int ms)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_stubDelayMs = ms;
}
void RavelSim::SetClaimRulesRefused(bool refused)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_rulesRefused = refused;
}
void RavelSim::SetQuirksRefused(bool refused)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_quirksRefused = refused;
}
void RavelSim::SetRebindBusy(bool busy)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_rebindBusy = busy;
}
void RavelSim::FailNextStubIoctlWithRestart()
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_restartOnce = true;
}
void RavelSim::SetSuppress(bool suppress)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_suppress = suppress;
}
void RavelSim::SetNeedsReset(bool needs)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_needsReset = needs;
}
void RavelSim::SetEcho(bool echo)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_echo = echo;
}

// ---------------------------------------------------------------------------
// The bus

std::string RavelSim::DevicePath(const std::string& busId) const
{
    size_t dash = busId.find('-');
    std::string bus = busId.substr(0, dash);
    return "/devices/pci0000:00/0000:00:14.0/usb" + bus + "/" + busId;
}

void RavelSim::WriteSysfs(const SimDevice& d)
{
    auto write = [&](const std::string& name, const char* attribute, const std::string& text) {
        std::error_code ignored;
        std::filesystem::create_directories(m_root + name, ignored);
        std::ofstream(m_root + name + "/" + attribute) << text;
    };
    const std::string& id = d.busId;
    write(id, "idVendor", Hex4(d.vendorId));
    write(id, "idProduct", Hex4(d.productId));
    write(id, "bcdDevice", Hex4(d.bcdDevice));
    write(id, "bDeviceClass", Hex2(d.deviceClass));
    write(id, "bDeviceSubClass", Hex2(d.subClass));
    write(id, "bDeviceProtocol", Hex2(d.protocol));
    write(id, "bNumConfigurations", "1\n");
    write(id, "bConfigurationValue", "1\n");
    write(id, "bNumInterfaces", " " + std::to_string(d.interfaces.size()) + "\n");
    write(id, "bmAttributes", "a0\n");
    write(id, "speed", d.speed + "\n");
    write(id, "version", " 2.00\n");
    size_t dash = id.find('-');
    write(id, "busnum", id.substr(0, dash) + "\n");
    write(id, "devnum", "2\n");
    if (!d.manufacturer.empty())
        write(id, "manufacturer", d.manufacturer + "\n");
    if (!d.product.empty())
        write(id, "product", d.product + "\n");
    if (!d.serial.empty())
        write(id, "serial", d.serial + "\n");
    for (size_t i = 0; i < d.interfaces.size(); i++) {
        std::string name = id + ":1." + std::to_string(i);
        write(name, "bInterfaceClass", Hex2(d.interfaces[i][0]));
        write(name, "bInterfaceSubClass", Hex2(d.interfaces[i][1]));
        write(name, "bInterfaceProtocol", Hex2(d.interfaces[i][2]));
        write(name, "bInterfaceNumber", Hex2(static_cast<unsigned>(i)));
    }
}

void RavelSim::RemoveSysfs(const SimDevice& d)
{
    std::error_code ignored;
    std::filesystem::remove_all(m_root + d.busId, ignored);
    for (size_t i = 0; i < d.interfaces.size(); i++)
        std::filesystem::remove_all(m_root + d.busId + ":1." + std::to_string(i), ignored);
}

void RavelSim::SendUevent(const std::string& action, const std::string& path,
                          const std::vector<std::string>& variables)
{
    if (m_ueventSocket < 0) {
        int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
        if (fd < 0)
            return;
        // A port id of its own: the daemon's listener binds the process id,
        // which an automatic bind would take first.
        static std::atomic<uint32_t> next{0xF0000000};
        for (int i = 0; i < 64; i++) {
            struct sockaddr_nl address;
            memset(&address, 0, sizeof(address));
            address.nl_family = AF_NETLINK;
            address.nl_pid = next++;
            if (bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) == 0) {
                m_ueventSocket = fd;
                break;
            }
        }
        if (m_ueventSocket < 0) {
            close(fd);
            return;
        }
    }
    std::string message = action + "@" + path;
    message.push_back('\0');
    std::vector<std::string> all = {"ACTION=" + action, "DEVPATH=" + path};
    all.insert(all.end(), variables.begin(), variables.end());
    all.push_back("SEQNUM=" + std::to_string(++m_seqnum));
    for (const std::string& variable : all) {
        message += variable;
        message.push_back('\0');
    }
    struct sockaddr_nl to;
    memset(&to, 0, sizeof(to));
    to.nl_family = AF_NETLINK;
    to.nl_groups = 1;
    sendto(m_ueventSocket, message.data(), message.size(), 0, reinterpret_cast<struct sockaddr*>(&to), sizeof(to));
}

std::string RavelSim::Identity(const SimDevice& d)
{
    bool ignoreSerial = false;
    for (const SimQuirk& q : m_quirks) {
        if (q.vendorId == d.vendorId && q.productId == d.productId && (q.flags & QUIRK_IGNORE_SERIAL))
            ignoreSerial = true;
    }
    return d.serial.empty() || ignoreSerial ? d.busId : d.serial;
}

bool RavelSim::Claims(const SimDevice& d)
{
    uint8_t cls = d.deviceClass, sub = d.subClass, proto = d.protocol;
    if (cls == 0 && d.interfaces.size() == 1) {
        cls = d.interfaces[0][0];
        sub = d.interfaces[0][1];
        proto = d.interfaces[0][2];
    }
    std::string identity = Identity(d);
    for (const SimRule& r : m_rules) {
        if ((r.flags & RULE_VENDOR) && r.vendorId != d.vendorId)
            continue;
        if ((r.flags & RULE_PRODUCT) && r.productId != d.productId)
            continue;
        if ((r.flags & RULE_CLASS) && r.deviceClass != cls)
            continue;
        if ((r.flags & RULE_SUBCLASS) && r.subClass != sub)
            continue;
        if ((r.flags & RULE_PROTOCOL) && r.protocol != proto)
            continue;
        if ((r.flags & RULE_PORT) && r.port != d.busId)
            continue;
        if ((r.flags & RULE_SERIAL) && r.serial != d.serial)
            continue;
        if ((r.flags & RULE_IDENTITY) && r.identity != identity)
            continue;
        return (r.flags & RULE_CLAIM) != 0;
    }
    return false;
}

void RavelSim::Claim(Device* device)
{
    int number = 1;
    while (m_stubs.count(number))
        number++;
    StubState& stub = m_stubs[number];
    stub.info.number = number;
    stub.info.busId = device->sim.busId;
    stub.eventFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    stub.onlineAt = NowMs();
    device->stub = number;
    std::string node = "/devices/virtual/raveld_cdev/raveld_cdev_" + std::to_string(number);
    std::vector<std::string> variables = {"SUBSYSTEM=raveld_cdev", "raveld_cdev_TYPE=stub",
                                          "raveld_cdev_DEV=" + DevicePath(device->sim.busId)};
    std::vector<std::string> add = variables;
    if (m_suppress)
        add.push_back("raveld_cdev_SUPPRESS=true");
    SendUevent("add", node, add);
    SendUevent("online", node, variables);
}

void RavelSim::HandBack(Device* device)
{
    auto stub = m_stubs.find(device->stub);
    if (stub == m_stubs.end())
        return;
    std::string node = "/devices/virtual/raveld_cdev/raveld_cdev_" + std::to_string(device->stub);
    std::vector<std::string> variables = {"SUBSYSTEM=raveld_cdev", "raveld_cdev_TYPE=stub",
                                          "raveld_cdev_DEV=" + DevicePath(device->sim.busId)};
    SendUevent("offline", node, variables);
    std::vector<std::string> remove = variables;
    if (m_suppress)
        remove.push_back("raveld_cdev_SUPPRESS=true");
    SendUevent("remove", node, remove);
    // The open descriptor stays valid, but the stub no longer answers.
    if (stub->second.eventFd >= 0)
        close(stub->second.eventFd);
    for (auto& node : m_nodes) {
        if (!node.second.control && node.second.stub == device->stub)
            node.second.stub = -1;
    }
    m_stubs.erase(stub);
    device->stub = -1;
}

void RavelSim::Plug(const SimDevice& sim)
{
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_devices.count(sim.busId))
        return;
    Device& device = m_devices[sim.busId];
    device.sim = sim;
    if (device.sim.descriptors.empty())
        device.sim.descriptors = DefaultDescriptors(sim);
    WriteSysfs(sim);
    std::string path = DevicePath(sim.busId);
    SendUevent("add", path, {"SUBSYSTEM=usb", "DEVTYPE=usb_device"});
    for (size_t i = 0; i < sim.interfaces.size(); i++)
        SendUevent("add", path + "/" + sim.busId + ":1." + std::to_string(i),
                   {"SUBSYSTEM=usb", "DEVTYPE=usb_interface"});
    if (Claims(device.sim))
        Claim(&device);
}

bool RavelSim::Unplug(const std::string& busId)
{
    std::lock_guard<std::mutex> hold(m_lock);
    auto found = m_devices.find(busId);
    if (found == m_devices.end())
        return false;
    Device& device = found->second;
    if (device.stub >= 0)
        HandBack(&device);
    std::string path = DevicePath(busId);
    for (size_t i = device.sim.interfaces.size(); i-- > 0;)
        SendUevent("remove", path + "/" + busId + ":1." + std::to_string(i),
                   {"SUBSYSTEM=usb", "DEVTYPE=usb_interface"});
    RemoveSysfs(device.sim);
    SendUevent("remove", path, {"SUBSYSTEM=usb", "DEVTYPE=usb_device"});
    m_devices.erase(found);
    return true;
}

bool RavelSim::PushMessage(const std::string& busId, std::vector<uint8_t> message)
{
    std::lock_guard<std::mutex> hold(m_lock);
    auto found = m_devices.find(busId);
    if (found == m_devices.end() || found->second.stub < 0 || message.size() < MESSAGE_MIN)
        return false;
    StubState& stub = m_stubs[found->second.stub];
    PutU32(&message[8], static_cast<uint32_t>(message.size()));
    stub.queue.push_back(std::move(message));
    uint64_t one = 1;
    if (write(stub.eventFd, &one, sizeof(one)) != sizeof(one))
        return false;
    return true;
}

// ---------------------------------------------------------------------------
// Observers

std::vector<SimRule> RavelSim::ClaimRules()
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_rules;
}
std::vector<SimQuirk> RavelSim::Quirks()
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_quirks;
}
std::vector<std::string> RavelSim::IoctlLog()
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_log;
}
void RavelSim::ClearIoctlLog()
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_log.clear();
}
std::vector<uint8_t> RavelSim::LastBlock(unsigned long request)
{
    std::lock_guard<std::mutex> hold(m_lock);
    auto found = m_lastBlocks.find(request);
    return found == m_lastBlocks.end() ? std::vector<uint8_t>() : found->second;
}
int RavelSim::StubNumber(const std::string& busId)
{
    std::lock_guard<std::mutex> hold(m_lock);
    auto found = m_devices.find(busId);
    return found == m_devices.end() ? -1 : found->second.stub;
}
SimStub RavelSim::Stub(const std::string& busId)
{
    std::lock_guard<std::mutex> hold(m_lock);
    auto found = m_devices.find(busId);
    if (found == m_devices.end() || found->second.stub < 0)
        return SimStub();
    return m_stubs[found->second.stub].info;
}
bool RavelSim::IsPlugged(const std::string& busId)
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_devices.count(busId) != 0;
}
std::string RavelSim::IdentityOf(const std::string& busId)
{
    std::lock_guard<std::mutex> hold(m_lock);
    auto found = m_devices.find(busId);
    return found == m_devices.end() ? std::string() : Identity(found->second.sim);
}

void RavelSim::Record(const std::string& line)
{
    m_log.push_back(line);
}

// ---------------------------------------------------------------------------
// The seam

long RavelSim::ReadProcDevices(char* buffer, size_t size)
{
    std::lock_guard<std::mutex> hold(m_lock);
    std::string text = "Character devices:\n  1 mem\n  4 /dev/vc/0\n  5 /dev/tty\n189 usb_device\n";
    if (m_present)
        text += "240 raveld_cdev\n";
    text += "\nBlock devices:\n  7 loop\n  8 sd\n";
    size_t n = text.size() < size ? text.size() : size;
    memcpy(buffer, text.data(), n);
    return static_cast<long>(n);
}

int RavelSim::Open(const char* path, int flags)
{
    std::lock_guard<std::mutex> hold(m_lock);
    if ((flags & O_ACCMODE) != O_RDWR)
        return -EACCES;
    const char prefix[] = "/dev/raveld_cdev_";
    if (!m_present || strncmp(path, prefix, sizeof(prefix) - 1) != 0)
        return -ENOENT;
    const char* digits = path + sizeof(prefix) - 1;
    if (!*digits || strspn(digits, "0123456789") != strlen(digits) || strlen(digits) > 6)
        return -ENOENT;
    int number = atoi(digits);
    Node node;
    if (number == CONTROL_NUMBER) {
        if (NowMs() - m_madeAt < static_cast<uint64_t>(m_controlDelayMs))
            return -ENOENT;
        int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (fd < 0)
            return -errno;
        m_nodes[fd] = node;
        return fd;
    }
    auto stub = m_stubs.find(number);
    if (stub == m_stubs.end() || NowMs() - stub->second.onlineAt < static_cast<uint64_t>(m_stubDelayMs))
        return -ENOENT;
    // The node shares the stub's eventfd, so poll sees its messages.
    int fd = dup(stub->second.eventFd);
    if (fd < 0)
        return -errno;
    node.control = false;
    node.stub = number;
    node.number = number;
    m_nodes[fd] = node;
    return fd;
}

int RavelSim::Close(int fd)
{
    std::lock_guard<std::mutex> hold(m_lock);
    auto found = m_nodes.find(fd);
    if (found == m_nodes.end())
        return -EBADF;
    Record(found->second.control ? "close ctl" : "close stub " + std::to_string(found->second.number));
    m_nodes.erase(found);
    close(fd);
    return 0;
}

int RavelSim::Ioctl(int fd, unsigned long request, void* argument)
{
    std::lock_guard<std::mutex> hold(m_lock);
    auto found = m_nodes.find(fd);
    if (found == m_nodes.end())
        return -EBADF;
    uint8_t* block = static_cast<uint8_t*>(argument);
    if (found->second.control) {
        int result = ControlIoctl(request, block);
        Record("ctl " + Hex(request) + " size " + std::to_string(U32(block)) + " -> " + std::to_string(result));
        uint32_t size = U32(block);
        if (size >= 4 && size <= 1 << 20)
            m_lastBlocks[request].assign(block, block + size);
        return result;
    }
    // A stub handed back answers nothing more on the descriptors still open.
    auto stub = m_stubs.find(found->second.stub);
    int result;
    if (stub == m_stubs.end()) {
        result = -ENODEV;
    } else if (m_restartOnce) {
        m_restartOnce = false;
        result = -ERESTART;
    } else {
        result = StubIoctl(&stub->second, request, block);
    }
    Record("stub " + std::to_string(found->second.number) + " " + Hex(request) + " -> " + std::to_string(result));
    return result;
}

RavelSim::Device* RavelSim::FindDevice(const uint8_t* busIdField)
{
    std::string busId(reinterpret_cast<const char*>(busIdField), strnlen(reinterpret_cast<const char*>(busIdField), 32));
    auto found = m_devices.find(busId);
    return found == m_devices.end() ? nullptr : &found->second;
}

int RavelSim::ControlIoctl(unsigned long request, uint8_t* block)
{
    uint32_t size = U32(block);
    switch (request) {
    case CTL_SET_RULES: {
        if (size < 8)
            return -EINVAL;
        uint32_t count = U32(block + 4);
        std::vector<SimRule> rules;
        size_t at = 8;
        for (uint32_t i = 0; i < count; i++) {
            if (at + 28 > size)
                return -EINVAL;
            const uint8_t* e = block + at;
            SimRule rule;
            rule.flags = U32(e);
            uint32_t lengths[3] = {U32(e + 4), U32(e + 8), U32(e + 12)};
            rule.vendorId = U16(e + 16);
            rule.productId = U16(e + 18);
            rule.bcdDevice = U16(e + 20);
            rule.deviceClass = e[22];
            rule.subClass = e[23];
            rule.protocol = e[24];
            at += 28;
            std::string* texts[3] = {&rule.port, &rule.serial, &rule.identity};
            for (int t = 0; t < 3; t++) {
                if (lengths[t] == 0)
                    continue;
                if (lengths[t] > size - at || block[at + lengths[t] - 1] != 0)
                    return -EINVAL;
                texts[t]->assign(reinterpret_cast<const char*>(block + at), lengths[t] - 1);
                at += lengths[t];
            }
            rules.push_back(rule);
        }
        if (at != size)
            return -EINVAL;
        if (m_rulesRefused)
            return -EIO;
        m_rules = rules;
        return 0;
    }
    case CTL_CLEAR_RULES:
        if (size != 4)
            return -EINVAL;
        m_rules.clear();
        return 0;
    case CTL_SET_QUIRKS: {
        if (size < 8)
            return -EINVAL;
        uint32_t count = U32(block + 4);
        if (count > (1u << 16) || size != 8 + 28 * count)
            return -EINVAL;
        if (m_quirksRefused)
            return -EIO;
        m_quirks.clear();
        for (uint32_t i = 0; i < count; i++) {
            SimQuirk quirk;
            quirk.vendorId = U16(block + 8 + 8 * i);
            quirk.productId = U16(block + 10 + 8 * i);
            quirk.flags = U32(block + 12 + 8 * i);
            m_quirks.push_back(quirk);
        }
        return 0;
    }
    case CTL_CLEAR_QUIRKS:
        if (size != 4)
            return -EINVAL;
        m_quirks.clear();
        return 0;
    case CTL_REBIND: {
        if (size != HEADER)
            return -EINVAL;
        Device* device = FindDevice(block + 4);
        if (!device)
            return -ENODEV;
        if (m_rebindBusy)
            return -EBUSY;
        bool claim = Claims(device->sim);
        if (claim && device->stub < 0)
            Claim(device);
        else if (!claim && device->stub >= 0)
            HandBack(device);
        return 0;
    }
    case CTL_DESCRIPTORS: {
        if (size < HEADER)
            return -EINVAL;
        Device* device = FindDevice(block + 4);
        if (!device)
            return -ENODEV;
        size_t room = size - HEADER;
        const std::vector<uint8_t>& d = device->sim.descriptors;
        memcpy(block + HEADER, d.data(), d.size() < room ? d.size() : room);
        return 0;
    }
    case CTL_QUERY: {
        if (size != QUERY_SIZE)
            return -EINVAL;
        Device* device = FindDevice(block + 4);
        if (!device)
            return -ENODEV;
        std::string text = Identity(device->sim);
        memset(block + HEADER, 0, QUERY_SIZE - HEADER);
        memcpy(block + HEADER, text.data(), text.size() < QUERY_SIZE - HEADER - 1 ? text.size() : QUERY_SIZE - HEADER - 1);
        return 0;
    }
    default:
        return -ENOTTY;
    }
}

int RavelSim::StubIoctl(StubState* stub, unsigned long request, uint8_t* block)
{
    switch (request) {
    case STUB_READ: {
        uint32_t capacity = U32(block + 8);
        if (capacity < MESSAGE_MIN)
            return -EINVAL;
        if (stub->queue.empty())
            return -ENODATA;
        const std::vector<uint8_t>& message = stub->queue.front();
        if (message.size() > capacity) {
            PutU32(block + 8, static_cast<uint32_t>(message.size()));
            return -EMSGSIZE;
        }
        memcpy(block, message.data(), message.size());
        stub->queue.pop_front();
        if (stub->queue.empty()) {
            uint64_t count;
            if (read(stub->eventFd, &count, sizeof(count)) < 0)
                return -errno;
        }
        return 0;
    }
    case STUB_WRITE: {
        uint32_t length = U32(block + 8);
        if (length < MESSAGE_MIN || length > (1u << 24))
            return -EINVAL;
        if (!m_echo) {
            stub->info.written.emplace_back(block, block + length);
            return 0;
        }
        stub->queue.emplace_back(block, block + length);
        uint64_t one = 1;
        return write(stub->eventFd, &one, sizeof(one)) == sizeof(one) ? 0 : -EIO;
    }
    case STUB_FLUSH:
        if (U32(block) != 4)
            return -EINVAL;
        stub->info.flushes++;
        if (!stub->queue.empty()) {
            uint64_t count;
            if (read(stub->eventFd, &count, sizeof(count)) < 0)
                return -errno;
        }
        stub->queue.clear();
        return 0;
    case STUB_RESET_MODE:
        if (U32(block) != 8 || U32(block + 4) > 3)
            return -EINVAL;
        stub->info.resetMode = static_cast<int>(U32(block + 4));
        return 0;
    case STUB_FLAGS:
        if (U32(block) != 8)
            return -EINVAL;
        stub->info.flags = U32(block + 4);
        return 0;
    case STUB_RESET:
        if (U32(block) != 4)
            return -EINVAL;
        stub->info.resets++;
        return 0;
    case STUB_NEEDS_RESET:
        if (U32(block) != 8)
            return -EINVAL;
        PutU32(block + 4, m_needsReset ? 1 : 0);
        return 0;
    default:
        return -ENOTTY;
    }
}

} // namespace ravelsim
