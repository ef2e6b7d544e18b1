// Recording fakes of the collaborators of the server core, a fake clock
// and a sysfs tree in the kernel's format, for the device model tests.
#pragma once

#include <sys/stat.h>

#include <array>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "calvixd/core/usbservercoreimpl.h"
#include "tests/calvixd/tempdir.h"

// One attribute tree per device under a private root, written the way the
// kernel writes it ("%04x\n", "%d\n", "%s\n").
class CSysfsTree {
public:
    struct Device {
        std::string busId;
        uint16_t vendorId = 0x1234;
        uint16_t productId = 0x5678;
        uint16_t bcdDevice = 0x0100;
        int deviceClass = 0;
        int subClass = 0;
        int protocol = 0;
        int numConfigurations = 1;
        int configuration = 1;
        // One interface triple per interface.
        std::vector<std::array<int, 3>> interfaces = {{3, 1, 2}};
        std::string speed = "480";
        std::string version = " 2.00";
        int bmAttributes = 0xa0;
        std::string manufacturer = "ACME";
        std::string product = "Mouse";
        std::string serial = "SN0001";
        bool writeBcdDevice = true;
    };

    CSysfsTree() { m_root = m_dir.Path() + "/devices/"; std::filesystem::create_directories(m_root); }
    const std::string& Root() const { return m_root; }

    void Write(const std::string& name, const char* attribute, const std::string& text)
    {
        std::filesystem::create_directories(m_root + name);
        std::ofstream(m_root + name + "/" + attribute) << text;
    }
    void Remove(const std::string& name, const char* attribute)
    {
        std::filesystem::remove(m_root + name + "/" + attribute);
    }
    static std::string Hex4(int value)
    {
        char text[16];
        snprintf(text, sizeof(text), "%04x\n", value);
        return text;
    }
    static std::string Hex2(int value)
    {
        char text[16];
        snprintf(text, sizeof(text), "%02x\n", value);
        return text;
    }

    void Add(const Device& d)
    {
        Write(d.busId, "idVendor", Hex4(d.vendorId));
        Write(d.busId, "idProduct", Hex4(d.productId));
        if (d.writeBcdDevice)
            Write(d.busId, "bcdDevice", Hex4(d.bcdDevice));
        Write(d.busId, "bDeviceClass", Hex2(d.deviceClass));
        Write(d.busId, "bDeviceSubClass", Hex2(d.subClass));
        Write(d.busId, "bDeviceProtocol", Hex2(d.protocol));
        Write(d.busId, "bNumConfigurations", std::to_string(d.numConfigurations) + "\n");
        Write(d.busId, "bConfigurationValue", d.configuration < 0 ? "\n" : std::to_string(d.configuration) + "\n");
        Write(d.busId, "bNumInterfaces", d.interfaces.empty() ? "\n" : " " + std::to_string(d.interfaces.size()) + "\n");
        Write(d.busId, "speed", d.speed + "\n");
        Write(d.busId, "version", d.version + "\n");
        Write(d.busId, "bmAttributes", Hex2(d.bmAttributes));
        if (!d.manufacturer.empty())
            Write(d.busId, "manufacturer", d.manufacturer + "\n");
        if (!d.product.empty())
            Write(d.busId, "product", d.product + "\n");
        if (!d.serial.empty())
            Write(d.busId, "serial", d.serial + "\n");
        for (size_t i = 0; i < d.interfaces.size(); i++) {
            std::string name = d.busId + ":" + std::to_string(d.configuration) + "." + std::to_string(i);
            Write(name, "bInterfaceClass", Hex2(d.interfaces[i][0]));
            Write(name, "bInterfaceSubClass", Hex2(d.interfaces[i][1]));
            Write(name, "bInterfaceProtocol", Hex2(d.interfaces[i][2]));
        }
    }

private:
    CTempDir m_dir;
    std::string m_root;
};

// Everything the fakes saw, in order, under one lock (events come from
// several threads in the threaded tests).
struct ModelJournal {
    std::mutex lock;
    std::vector<std::string> events;
    // What the fake network server shows the snapshot (under lock).
    std::vector<ConnectionSnapshot> connections;
    std::map<uint32_t, std::string> connectionNames;
    int nameLookups = 0;
    std::vector<std::string> debugLines;
    int saves = 0;
    int notifies = 0;

    void Add(const std::string& event)
    {
        std::lock_guard<std::mutex> hold(lock);
        events.push_back(event);
    }
    std::vector<std::string> Events()
    {
        std::lock_guard<std::mutex> hold(lock);
        return events;
    }
    size_t Count(const std::string& prefix)
    {
        std::lock_guard<std::mutex> hold(lock);
        size_t n = 0;
        for (const std::string& e : events)
            n += e.rfind(prefix, 0) == 0;
        return n;
    }
    void Clear()
    {
        std::lock_guard<std::mutex> hold(lock);
        events.clear();
        debugLines.clear();
        saves = notifies = 0;
    }
};

class CFakeOwner : public CUsbServerCoreOwner {
public:
    CFakeOwner(ModelJournal* journal, CEventLog* log) : m_journal(journal), m_log(log) {}
    uint32_t GetStartupState() override { return startupState.load(); }
    void LogDebug(uint16_t module, uint32_t line, uint32_t error) override
    {
        std::lock_guard<std::mutex> hold(m_journal->lock);
        m_journal->debugLines.push_back(std::to_string(module) + ":" + std::to_string(line) + ":" +
                                        std::to_string(error));
    }
    void NotifyListeners() override
    {
        std::lock_guard<std::mutex> hold(m_journal->lock);
        m_journal->notifies++;
    }
    void SaveConfig() override
    {
        std::lock_guard<std::mutex> hold(m_journal->lock);
        m_journal->saves++;
    }
    CEventLog* GetEventLog() override { return m_log; }
    uint8_t GetPlatformCode() override { return 0x90; }

    std::atomic<uint32_t> startupState{100};

private:
    ModelJournal* m_journal;
    CEventLog* m_log;
};

// What the stub driver would answer; set by the test before the events.
struct LoaderScript {
    std::mutex lock;
    std::map<std::string, std::string> identities; // bus id -> identity text; missing: query fails
    std::map<std::string, int> stubNumbers;        // missing: -1
    std::map<std::string, std::vector<uint8_t>> descriptors;
    int rebindResult = 0;
    bool claimRulesResult = true;
    std::vector<std::vector<LoaderRule>> ruleSets;
};

class CFakeLoader : public CLoaderApi {
public:
    CFakeLoader(LoaderScript* script, ModelJournal* journal) : m_script(script), m_journal(journal) {}
    void Start() override { m_journal->Add("loader.Start"); }
    void Stop() override { m_journal->Add("loader.Stop"); }
    bool SetClaimRules(const std::vector<LoaderRule>& rules) override
    {
        std::lock_guard<std::mutex> hold(m_script->lock);
        m_script->ruleSets.push_back(rules);
        return m_script->claimRulesResult;
    }
    bool ClearClaimRules() override { return true; }
    bool SetQuirks(const std::vector<LoaderQuirk>&) override { return true; }
    bool ClearQuirks() override { return true; }
    int GetStubNumber(const std::string& busId) override
    {
        std::lock_guard<std::mutex> hold(m_script->lock);
        auto it = m_script->stubNumbers.find(busId);
        return it == m_script->stubNumbers.end() ? -1 : it->second;
    }
    int Rebind(const std::string& busId) override
    {
        m_journal->Add("loader.Rebind(" + busId + ")");
        std::lock_guard<std::mutex> hold(m_script->lock);
        return m_script->rebindResult;
    }
    int GetDescriptors(const std::string& busId, std::vector<uint8_t>* block) override
    {
        m_journal->Add("loader.GetDescriptors(" + busId + ")");
        std::lock_guard<std::mutex> hold(m_script->lock);
        auto it = m_script->descriptors.find(busId);
        if (it == m_script->descriptors.end())
            return -ENODEV;
        *block = it->second;
        return 0;
    }
    bool QueryDeviceString(const std::string& busId, std::string* text) override
    {
        std::lock_guard<std::mutex> hold(m_script->lock);
        auto it = m_script->identities.find(busId);
        if (it == m_script->identities.end())
            return false;
        *text = it->second;
        return true;
    }

private:
    LoaderScript* m_script;
    ModelJournal* m_journal;
};

class CFakeNetwork : public CNetworkServerIface {
public:
    explicit CFakeNetwork(ModelJournal* journal) : m_journal(journal) {}
    void BroadcastDeviceAvailable(const UsbDevice& d, uint32_t target, int mode) override
    {
        Add("available", d.id, target, mode);
    }
    void BroadcastDeviceInUse(uint32_t id, uint32_t flags, const ADDRESS& client, uint32_t target, int mode) override
    {
        Add("inuse", id, target, mode, flags, &client);
    }
    void BroadcastDeviceInUseDetails(const UsbDevice& d, uint32_t flags, const ADDRESS& client, uint32_t target,
                                     int mode) override
    {
        Add("inusedetails", d.id, target, mode, flags, &client);
    }
    void BroadcastDeviceInactive(const UsbDevice& d, uint32_t target, int mode) override
    {
        Add("inactive", d.id, target, mode);
    }
    void BroadcastDeviceRemoved(uint32_t id, uint32_t target, int mode) override { Add("removed", id, target, mode); }
    void BroadcastDeviceUnshared(uint32_t id, uint32_t target, int mode) override
    {
        Add("unshared", id, target, mode);
    }
    bool AcquireConnection(uint32_t id) override
    {
        m_journal->Add("net.acquire(" + std::to_string(id) + ")");
        return true;
    }
    void ReleaseConnection(uint32_t id) override { m_journal->Add("net.release(" + std::to_string(id) + ")"); }
    uint32_t GetTcpV4State() override { return LISTENER_RUNNING; }
    CExceptionEx GetPipeListenerError() override { return CExceptionEx(2, 70, 31); }
    uint32_t GetPipeListenerState() override { return 6; }
    void ListConnections(std::vector<ConnectionSnapshot>* out) override
    {
        std::lock_guard<std::mutex> hold(m_journal->lock);
        out->insert(out->end(), m_journal->connections.begin(), m_journal->connections.end());
    }
    std::string GetConnectionName(uint32_t id) override
    {
        std::lock_guard<std::mutex> hold(m_journal->lock);
        m_journal->nameLookups++;
        return m_journal->connectionNames[id];
    }

private:
    // "net.<event>(id,target,mode)" plus ",flags,address" where given.
    void Add(const char* what, uint32_t id, uint32_t target, int mode, uint32_t flags = 0,
             const ADDRESS* client = nullptr)
    {
        std::ostringstream text;
        text << "net." << what << "(" << id << "," << target << "," << mode;
        if (client) {
            ADDRESS copy(*client);
            text << ",0x" << std::hex << flags << std::dec << "," << copy.ToString();
        }
        text << ")";
        m_journal->Add(text.str());
    }

    ModelJournal* m_journal;
};

// Stubs record their stop requests and their end; a test may make the
// destructor wait (as the real one does for a running data connection).
struct StubScript {
    std::atomic<int> made{0};
    std::atomic<int> destroyed{0};
    std::atomic<int> stops{0};
    std::atomic<bool> fail{false};
    std::atomic<bool> failBadAlloc{false};
    // Run by the destructor, e.g. to check the device mutex or to block.
    std::function<void()> onDestroy;
    std::vector<UsbStubParams> params;
    std::mutex lock;
};

class CFakeStub : public CUsbStub {
public:
    explicit CFakeStub(StubScript* script) : m_script(script) {}
    ~CFakeStub() override
    {
        if (m_script->onDestroy)
            m_script->onDestroy();
        m_script->destroyed++;
    }
    void RequestStop() override { m_script->stops++; }
    void ClearActivitySignal() override {}
    void SetInactivityTimeout(uint32_t) override {}
    void SetResetMode(uint8_t) override {}
    void SetStubFlags(uint32_t) override {}

private:
    StubScript* m_script;
};

class CFakeDeps : public CUsbServerCoreDeps {
public:
    CFakeDeps(CUsbServerCoreOwner* owner, const std::string& root, LoaderScript* loader, StubScript* stubs,
              ModelJournal* journal, std::atomic<uint32_t>* clock)
        : CUsbServerCoreDeps(owner), m_root(root), m_loader(loader), m_stubs(stubs), m_journal(journal),
          m_clock(clock)
    {
    }
    std::string GetSysfsRoot() override { return m_root; }
    CLoaderApi* CreateLoader(CLoaderEvents*) override { return new CFakeLoader(m_loader, m_journal); }
    CNetworkServerIface* CreateNetworkServer(CUsbServerCore*) override { return new CFakeNetwork(m_journal); }
    std::shared_ptr<CUsbStub> CreateStub(const UsbStubParams& params) override
    {
        if (m_stubs->fail)
            throw new CExceptionEx(MODULE_USBSTUB, 42, 2);
        if (m_stubs->failBadAlloc)
            throw std::bad_alloc();
        {
            std::lock_guard<std::mutex> hold(m_stubs->lock);
            m_stubs->params.push_back(params);
        }
        m_stubs->made++;
        return std::make_shared<CFakeStub>(m_stubs);
    }
    uint32_t GetTickMs() override { return m_clock->load(); }

private:
    std::string m_root;
    LoaderScript* m_loader;
    StubScript* m_stubs;
    ModelJournal* m_journal;
    std::atomic<uint32_t>* m_clock;
};

// The server core with a window on its records for the tests: they read and
// set what the requests of later parts (connect, reserve, data connections)
// would, always under the device mutex.
class CTestServerCore : public CUsbServerCoreImpl {
public:
    using CUsbServerCoreImpl::CUsbServerCoreImpl;

    // Runs fn on the record under the mutex; false when there is none.
    bool WithDevice(uint32_t id, const std::function<void(UsbDevice*)>& fn)
    {
        CMutexGuard guard(&m_deviceMutex);
        guard.Lock(-1);
        UsbDevice* d = FindDevice(id);
        if (d)
            fn(d);
        return d != nullptr;
    }
    // A copy of the record's plain fields (the stub stays behind).
    bool Snapshot(uint32_t id, UsbDevice* out)
    {
        return WithDevice(id, [&](UsbDevice* d) {
            out->id = d->id;
            out->flags = d->flags;
            out->state = d->state;
            out->shareMode = d->shareMode;
            out->lastError = d->lastError;
            out->port = d->port;
            out->serial = d->serial;
            out->name = d->name;
            out->nickname = d->nickname;
            out->clientName = d->clientName;
            out->timeout = d->timeout;
            out->resetMode = d->resetMode;
            out->quirkFlags = d->quirkFlags;
            out->instanceIdentity = d->instanceIdentity;
            out->vendorId = d->vendorId;
            out->productId = d->productId;
            out->clientConnectionId = d->clientConnectionId;
            out->lastChange = d->lastChange;
            out->descriptors = d->descriptors;
            out->stub.reset();
        });
    }
    bool HasStub(uint32_t id)
    {
        bool has = false;
        WithDevice(id, [&](UsbDevice* d) { has = d->stub != nullptr; });
        return has;
    }
    bool HasSlot(uint32_t id)
    {
        CMutexGuard guard(&m_deviceMutex);
        guard.Lock(-1);
        return m_devices.count(id) != 0;
    }
    // Ids of the records, in map order: id -> state.
    std::map<uint32_t, int> States()
    {
        CMutexGuard guard(&m_deviceMutex);
        guard.Lock(-1);
        std::map<uint32_t, int> states;
        for (auto& entry : m_devices) {
            if (entry.second.device)
                states[entry.first] = entry.second.device->state;
        }
        return states;
    }
    // Puts a device into the connecting state, as a connect request does.
    void MakeConnecting(uint32_t id, uint32_t connectionId, uint32_t kind, uint32_t now)
    {
        WithDevice(id, [&](UsbDevice* d) {
            d->SetState(DEVICE_STATE_CONNECTING, now);
            d->clientConnectionId = connectionId;
            d->flags = SetClientKindFlags(d->flags, kind);
        });
    }
    void MakeInUse(uint32_t id, uint32_t connectionId, const char* address)
    {
        WithDevice(id, [&](UsbDevice* d) {
            d->SetState(DEVICE_STATE_IN_USE, 0);
            d->clientConnectionId = connectionId;
            d->clientAddress = ADDRESS(address);
            d->flags = SetClientKindFlags(d->flags, CONNECTION_KIND_TCP);
        });
    }
    void Reserve(uint32_t id, const PendingConnection& reservation)
    {
        CMutexGuard guard(&m_deviceMutex);
        guard.Lock(-1);
        m_reservations[id] = reservation;
    }
    size_t ReservationCount()
    {
        CMutexGuard guard(&m_deviceMutex);
        guard.Lock(-1);
        return m_reservations.size();
    }
    CMutex* DeviceMutex() { return &m_deviceMutex; }
    // What an operation that makes a reservation or a connecting device does.
    void Wake() { WakeWorker(); }
    // What the destructor does first: every abortable wait ends.
    void RaiseStop() { m_stop.Set(); }
};
