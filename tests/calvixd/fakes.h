// Recording fakes of the parts that CUsbCore creates: each call is
// appended to one shared journal, so a test sees the order across parts.
#pragma once

#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "calvixd/core/usbcore.h"

struct CoreJournal {
    std::vector<std::string> events;
    CUsbCore* core = nullptr;
    int controlStartResult = 1;
    std::string failCreate;            // "random", "control", "resolver", "server"
    bool failCreateWithRecord = false; // throw a CExceptionEx* instead of another type
    std::set<std::string> throwing;    // server core operations that throw
    StoredSettings fileContents;       // what ReadAll hands out
    int readAllResult = 1;
    std::vector<StoredSettings> written; // what WriteAll received
    StoredSettings started;              // what the server core was started with
    bool stateComplete = true;           // what CollectState reports

    // Saves may run on several threads at once.
    void Add(const std::string& event)
    {
        std::lock_guard<std::mutex> hold(*lock);
        events.push_back(event);
    }
    std::shared_ptr<std::mutex> lock = std::make_shared<std::mutex>();
    std::string State() const { return core ? std::to_string(core->GetStartupState()) : "?"; }
    size_t Count(const std::string& event) const
    {
        size_t n = 0;
        for (const std::string& e : events)
            n += e == event;
        return n;
    }
};

class CFakeControlServer : public CCoreIface {
public:
    explicit CFakeControlServer(CoreJournal* journal) : CCoreIface("", "", ""), m_journal(journal) {}
    ~CFakeControlServer() override { m_journal->Add("control.delete"); }
    int Start() override
    {
        m_journal->Add("control.Start@" + m_journal->State());
        return m_journal->controlStartResult;
    }
    void Stop() override { m_journal->Add("control.Stop"); }
    void HandleRequest(CCoreIfaceConnection*) override {}

private:
    CoreJournal* m_journal;
};

class CFakeResolver : public Resolver {
public:
    CFakeResolver(CoreJournal* journal, int workers, int idleMs) : Resolver(workers, idleMs), m_journal(journal) {}
    ~CFakeResolver() override { m_journal->Add("resolver.delete"); }

private:
    CoreJournal* m_journal;
};

class CFakeConfigFile : public CConfigFile {
public:
    explicit CFakeConfigFile(CoreJournal* journal) : m_journal(journal) {}
    int ReadAll(StoredSettings* settings) override
    {
        m_journal->Add("config.ReadAll@" + m_journal->State());
        if (m_journal->readAllResult) {
            std::vector<DeviceQuirk> quirks = settings->quirks;
            *settings = m_journal->fileContents;
            quirks.insert(quirks.end(), m_journal->fileContents.quirks.begin(), m_journal->fileContents.quirks.end());
            settings->quirks = quirks;
        }
        return m_journal->readAllResult;
    }
    int WriteAll(const StoredSettings& settings) override
    {
        m_journal->Add("config.WriteAll");
        std::lock_guard<std::mutex> hold(*m_journal->lock);
        m_journal->written.push_back(settings);
        return 1;
    }

private:
    CoreJournal* m_journal;
};

class CFakeServerCore : public CUsbServerCore {
public:
    explicit CFakeServerCore(CoreJournal* journal) : m_journal(journal) {}
    ~CFakeServerCore() override { m_journal->Add("server.delete"); }

    void Start(const StoredSettings& settings) override
    {
        Call("Start@" + m_journal->State(), "Start");
        m_journal->started = settings;
    }
    bool CollectState(std::vector<DeviceInfo>* devices, std::vector<ConnectionInfo>*,
                      std::vector<DeviceClientInfo>*) override
    {
        Call("CollectState");
        if (devices)
            devices->push_back(DeviceInfo());
        return m_journal->stateComplete;
    }
    void SetTcpPort(uint16_t port) override { Call("SetTcpPort(" + std::to_string(port) + ")", "SetTcpPort"); }
    void SetListenAddress(const ADDRESS&) override { Call("SetListenAddress"); }
    void SetAutoShareMode(uint32_t mode) override
    {
        Call("SetAutoShareMode(" + std::to_string(mode) + ")", "SetAutoShareMode");
    }
    void ShareDevice(uint32_t id, uint32_t parameter, bool byUser) override
    {
        Call("ShareDevice(" + std::to_string(id) + "," + std::to_string(parameter) + "," + std::to_string(byUser) + ")",
             "ShareDevice");
    }
    void UnshareDevice(uint32_t id, bool byUser) override
    {
        Call("UnshareDevice(" + std::to_string(id) + "," + std::to_string(byUser) + ")", "UnshareDevice");
    }
    void ConnectDevice(uint32_t, uint32_t) override { Call("ConnectDevice"); }
    void DisconnectDevice(uint32_t) override { Call("DisconnectDevice"); }
    void GetIpFilters(uint8_t*, std::vector<std::string>*) override { Call("GetIpFilters"); }
    void SetIpFilters(uint8_t, const std::vector<std::string>&) override { Call("SetIpFilters"); }
    void SetIpFilterMode(uint8_t mode) override
    {
        Call("SetIpFilterMode(" + std::to_string(mode) + ")", "SetIpFilterMode");
    }
    void GetDeviceAcl(uint32_t, uint8_t*, std::vector<std::string>*) override { Call("GetDeviceAcl"); }
    void SetDeviceAcl(uint32_t, uint8_t, const std::vector<std::string>&) override { Call("SetDeviceAcl"); }
    void SetDeviceTimeout(uint32_t, uint32_t) override { Call("SetDeviceTimeout"); }
    void SetDeviceNickname(uint32_t, const std::string&) override { Call("SetDeviceNickname"); }
    void SetDeviceResetMethod(uint32_t, uint32_t) override { Call("SetDeviceResetMethod"); }
    void GetDeviceData(uint32_t, std::vector<uint8_t>*) override { Call("GetDeviceData"); }
    uint32_t AddCallbackConnection(const std::string&, uint16_t, uint32_t) override
    {
        Call("AddCallbackConnection");
        return 0xC0000007;
    }
    void RemoveCallbackConnection(uint32_t) override { Call("RemoveCallbackConnection"); }
    void SetCallbackConnectionFlags(uint32_t id, uint32_t flags) override
    {
        Call("SetCallbackConnectionFlags(" + std::to_string(id) + "," + std::to_string(flags) + ")",
             "SetCallbackConnectionFlags");
    }
    void SetDeviceExcluded(uint32_t id, bool excluded, bool byUser) override
    {
        Call("SetDeviceExcluded(" + std::to_string(id) + "," + std::to_string(excluded) + "," +
                 std::to_string(byUser) + ")",
             "SetDeviceExcluded");
    }
    void GetDeviceNodePath(uint32_t, std::string* path) override
    {
        Call("GetDeviceNodePath");
        *path = "/dev/bus/usb/001/002";
    }
    void GetDevicePolicy(uint8_t* mode, std::vector<DevicePolicyRule>*) override
    {
        Call("GetDevicePolicy");
        *mode = FILTER_MODE_ALLOW;
    }
    void SetDevicePolicy(uint8_t, const std::vector<DevicePolicyRule>&) override { Call("SetDevicePolicy"); }

    void GetServerId(uint8_t id[16]) override
    {
        Call("GetServerId");
        for (int i = 0; i < 16; i++)
            id[i] = static_cast<uint8_t>(0xA0 + i);
    }
    void CollectIdentities(std::vector<IdentityEntry>*) override { Call("CollectIdentities"); }
    void CollectNicknames(std::map<uint32_t, std::string>*) override { Call("CollectNicknames"); }
    void CollectTimeouts(std::map<uint32_t, uint32_t>*) override { Call("CollectTimeouts"); }
    void CollectIpFilters(uint8_t*, std::vector<std::string>*) override { Call("CollectIpFilters"); }
    void CollectDeviceAcls(std::map<uint32_t, uint8_t>*, std::map<uint32_t, std::vector<std::string>>*) override
    {
        Call("CollectDeviceAcls");
    }
    void GetQuirks(std::vector<DeviceQuirk>*) override { Call("GetQuirks"); }
    uint32_t GetAutoShareMode() override
    {
        Call("GetAutoShareMode");
        return autoShareMode;
    }
    ADDRESS GetListenAddressV4() override
    {
        Call("GetListenAddressV4");
        return ADDRESS("10.1.2.3");
    }
    uint16_t GetTcpPort() override
    {
        Call("GetTcpPort");
        return 4242;
    }

    uint32_t autoShareMode = 0;

private:
    void Call(const std::string& event, const std::string& name = "")
    {
        m_journal->Add("server." + event);
        if (m_journal->throwing.count(name.empty() ? event : name))
            throw new CExceptionEx(MODULE_USBSERVERCORE, 77, ERROR_TIMEOUT);
    }

    CoreJournal* m_journal;
};

class CFakeFactory : public CUsbCoreFactory {
public:
    explicit CFakeFactory(CoreJournal* journal) : m_journal(journal) {}

    CRandom* CreateRandom() override
    {
        Fail("random");
        return new CRandom();
    }
    CCoreIface* CreateControlServer(CUsbCore* core, const char* name, const char* userGroup,
                                    const char* adminGroup) override
    {
        m_journal->core = core;
        m_journal->Add(std::string("create.control(") + name + "," + userGroup + "," + adminGroup + ")");
        Fail("control");
        return new CFakeControlServer(m_journal);
    }
    Resolver* CreateResolver(int workers, int idleMs) override
    {
        m_journal->Add("create.resolver(" + std::to_string(workers) + "," + std::to_string(idleMs) + ")");
        Fail("resolver");
        return new CFakeResolver(m_journal, workers, idleMs);
    }
    CUsbServerCore* CreateServerCore(CUsbCore*) override
    {
        m_journal->Add("create.server");
        Fail("server");
        return new CFakeServerCore(m_journal);
    }
    CConfigFile* CreateConfigFile() override { return new CFakeConfigFile(m_journal); }

private:
    void Fail(const std::string& step)
    {
        if (m_journal->failCreate != step)
            return;
        if (m_journal->failCreateWithRecord)
            throw new CExceptionEx(MODULE_USBSERVERCORE, 99, 1234);
        throw std::bad_alloc();
    }

    CoreJournal* m_journal;
};
