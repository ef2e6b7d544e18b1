#include "calvixd/net/loaderapi.h"

#include <fcntl.h>

#include <cerrno>
#include <new>

#include "calvixd/net/ravelblocks.h"
#include "calvixd/net/ravelsys.h"

namespace {

// /proc/devices lists some hundred short lines.
constexpr size_t PROC_DEVICES_LIMIT = 65536;
// A driver whose answer keeps changing the descriptors' length is not asked
// forever.
constexpr int DESCRIPTOR_LENGTH_CHANGES = 3;

[[noreturn]] void Raise(uint32_t line, int error)
{
    throw new CExceptionEx(MODULE_LOADERAPIKMOD, line, static_cast<uint32_t>(error));
}

} // namespace

CLoaderApiKmod::CLoaderApiKmod(CLoaderEvents* events, const std::string& sysfsRoot)
    : m_events(events), m_sysfs(sysfsRoot)
{
    std::vector<char> text(PROC_DEVICES_LIMIT);
    ssize_t length = ravelSys->readProcDevices(text.data(), text.size());
    if (length < 0)
        Raise(__LINE__, static_cast<int>(-length));
    if (!ProcDevicesHasRavel(text.data(), static_cast<size_t>(length)))
        Raise(__LINE__, ENODEV);
    int fd = OpenRavelNode(RAVEL_CONTROL_NODE);
    if (fd < 0)
        Raise(__LINE__, -fd);
    m_control = fd;
}

CLoaderApiKmod::~CLoaderApiKmod()
{
    // The listener calls into this object until it is joined.
    StopListener();
    if (m_control >= 0)
        ravelSys->close(m_control);
}

int CLoaderApiKmod::Control(unsigned long request, std::vector<uint8_t>* block)
{
    return ravelSys->ioctl(m_control, request, block->data());
}

void CLoaderApiKmod::Start()
{
    if (!StartListener())
        Raise(__LINE__, errno);
    ScanPresentDevices();
}

void CLoaderApiKmod::Stop()
{
    StopListener();
}

bool CLoaderApiKmod::SetClaimRules(const std::vector<LoaderRule>& rules)
{
    try {
        std::vector<uint8_t> block = BuildClaimRulesBlock(rules);
        return Control(RAVEL_SET_CLAIM_RULES, &block) >= 0;
    } catch (std::bad_alloc&) {
        return false;
    }
}

bool CLoaderApiKmod::ClearClaimRules()
{
    std::vector<uint8_t> block = BuildEmptyBlock();
    return Control(RAVEL_CLEAR_CLAIM_RULES, &block) >= 0;
}

bool CLoaderApiKmod::SetQuirks(const std::vector<LoaderQuirk>& quirks)
{
    try {
        std::vector<uint8_t> block = BuildQuirksBlock(quirks);
        return Control(RAVEL_SET_QUIRKS, &block) >= 0;
    } catch (std::bad_alloc&) {
        return false;
    }
}

bool CLoaderApiKmod::ClearQuirks()
{
    std::vector<uint8_t> block = BuildEmptyBlock();
    return Control(RAVEL_CLEAR_QUIRKS, &block) >= 0;
}

int CLoaderApiKmod::GetStubNumber(const std::string& busId)
{
    CMutexGuard guard(&m_mapLock);
    guard.Lock(-1);
    auto entry = m_busIds.find(busId);
    return entry == m_busIds.end() ? -1 : entry->second.stubNumber;
}

int CLoaderApiKmod::Rebind(const std::string& busId)
{
    std::vector<uint8_t> block = BuildDeviceBlock(busId, 0);
    int result = Control(RAVEL_REBIND, &block);
    return result < 0 ? result : 0;
}

int CLoaderApiKmod::GetDescriptors(const std::string& busId, std::vector<uint8_t>* descriptors)
{
    size_t wanted = RAVEL_DESCRIPTORS_MIN;
    for (int changes = 0;; changes++) {
        std::vector<uint8_t> block;
        try {
            block = BuildDeviceBlock(busId, wanted);
        } catch (std::bad_alloc&) {
            return -ENOMEM;
        }
        int result = Control(RAVEL_GET_DESCRIPTORS, &block);
        if (result < 0)
            return result;
        const uint8_t* data = block.data() + RAVEL_DEVICE_HEADER_SIZE;
        // The length is the driver's word: it sizes the next request only
        // within what a configuration block can be.
        size_t total = DescriptorTotalLength(data, wanted);
        if (total < RAVEL_DESCRIPTORS_MIN || total > RAVEL_DESCRIPTORS_MAX)
            return -EPROTO;
        if (total == wanted) {
            descriptors->assign(data, data + wanted);
            return 0;
        }
        if (changes == DESCRIPTOR_LENGTH_CHANGES)
            return -EPROTO;
        wanted = total;
    }
}

bool CLoaderApiKmod::QueryDeviceString(const std::string& busId, std::string* text)
{
    std::vector<uint8_t> block = BuildDeviceBlock(busId, RAVEL_QUERY_SIZE - RAVEL_DEVICE_HEADER_SIZE);
    if (Control(RAVEL_QUERY_DEVICE_STRING, &block) < 0)
        return false;
    *text = QueryBlockText(block.data(), block.size());
    return true;
}

bool CLoaderApiKmod::AddDeviceRef(const std::string& busId, uint32_t bits)
{
    CMutexGuard guard(&m_mapLock);
    guard.Lock(-1);
    auto entry = m_busIds.find(busId);
    if (entry != m_busIds.end()) {
        entry->second.mask |= bits;
        return false;
    }
    m_busIds[busId].mask = bits;
    return true;
}

bool CLoaderApiKmod::RemoveDeviceRef(const std::string& busId, uint32_t bits)
{
    CMutexGuard guard(&m_mapLock);
    guard.Lock(-1);
    auto entry = m_busIds.find(busId);
    if (entry == m_busIds.end())
        return false;
    entry->second.mask &= ~bits;
    if (entry->second.mask != 0)
        return false;
    m_busIds.erase(entry);
    return true;
}

bool CLoaderApiKmod::SetStubNumber(const std::string& busId, int number)
{
    CMutexGuard guard(&m_mapLock);
    guard.Lock(-1);
    auto entry = m_busIds.find(busId);
    if (entry == m_busIds.end() || entry->second.stubNumber == number)
        return false;
    entry->second.stubNumber = number;
    return true;
}

void CLoaderApiKmod::ScanPresentDevices()
{
    // One device per pass: the core's arrival handling may take long, and
    // the list is read again after it.
    for (;;) {
        CMutexGuard guard(&m_eventLock);
        if (guard.Lock(-1) != SYNC_OK) {
            SleepMs(1);
            continue;
        }
        std::vector<std::string> present;
        m_sysfs.ListDevices(&present);
        bool handled = false;
        for (const std::string& busId : present) {
            if (!AddDeviceRef(busId, SOURCE_USB))
                continue;
            m_events->OnDeviceArrived(busId);
            Rebind(busId);
            handled = true;
            break;
        }
        guard.Unlock();
        if (!handled)
            return;
        SleepMs(1);
    }
}

void CLoaderApiKmod::OnUEvent(const UEvent& event)
{
    CMutexGuard guard(&m_eventLock);
    if (guard.Lock(-1) != SYNC_OK) {
        m_events->LogDebug(MODULE_LOADERAPIKMOD, __LINE__, 0);
        return;
    }
    std::string subsystem = event.GetSubsystem();
    if (subsystem == "usb")
        HandleUsbEvent(event);
    else if (subsystem == RAVEL_CHARDEV_NAME)
        HandleStubEvent(event);
}

void CLoaderApiKmod::HandleUsbEvent(const UEvent& event)
{
    std::string path = event.GetDevPath();
    std::string action = event.GetAction();
    std::string busId;
    if (BusIdFromDevicePath(path, &busId)) {
        if (action == "remove" && RemoveDeviceRef(busId, SOURCE_USB))
            m_events->OnDeviceRemoved(busId);
    } else if (InterfaceFromDevicePath(path, &busId)) {
        // A device is ready for its drivers once its interfaces exist.
        if (action == "add" && AddDeviceRef(busId, SOURCE_USB))
            m_events->OnDeviceArrived(busId);
    }
}

void CLoaderApiKmod::HandleStubEvent(const UEvent& event)
{
    if (event.GetVariable("raveld_cdev_TYPE") != "stub")
        return;
    std::string busId;
    if (!BusIdFromDevicePath(event.GetVariable("raveld_cdev_DEV"), &busId))
        return;
    // With SUPPRESS the driver stands for the USB subsystem too: the core
    // hears of the device from it alone.
    uint32_t bits = event.GetVariable("raveld_cdev_SUPPRESS") == "true" ? SOURCE_DRIVER | SOURCE_USB : SOURCE_DRIVER;
    std::string action = event.GetAction();
    if (action == "add") {
        if (AddDeviceRef(busId, bits))
            m_events->OnDeviceArrived(busId);
    } else if (action == "online") {
        int number = StubNumberFromDevicePath(event.GetDevPath());
        if (number >= 0 && SetStubNumber(busId, number))
            m_events->OnStubAttached(busId);
    } else if (action == "offline") {
        SetStubNumber(busId, -1);
    } else if (action == "remove") {
        if (RemoveDeviceRef(busId, bits))
            m_events->OnDeviceRemoved(busId);
    }
}

size_t DescriptorBlockLength(const uint8_t* block, size_t length)
{
    if (!block || length < 4)
        return 0;
    size_t total = static_cast<size_t>(block[2]) | static_cast<size_t>(block[3]) << 8;
    return total == length ? total : 0;
}
