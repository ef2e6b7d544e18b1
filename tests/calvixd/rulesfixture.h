// The server core on the recording fakes, with a network server that also
// records nickname and IP filter hand-overs, a resolver client that records
// the names it is asked to watch, and stubs that record the settings passed
// on to them. Used by the sharing-settings and the filter tests.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "tests/calvixd/test_devicemodel_fakes.h"

class CRulesNetwork : public CFakeNetwork {
public:
    explicit CRulesNetwork(ModelJournal* journal) : CFakeNetwork(journal), m_journal(journal) {}
    void SendDeviceNickname(uint32_t id, const std::string& nickname) override
    {
        m_journal->Add("net.nickname(" + std::to_string(id) + "," + nickname + ")");
    }
    // "net.filters(mode,count)"; the rules themselves in filterRules.
    void SetIpFilters(uint8_t mode, const std::vector<AddressRule>& rules) override
    {
        {
            std::lock_guard<std::mutex> hold(m_journal->lock);
            filterRules = rules;
        }
        m_journal->Add("net.filters(" + std::to_string(mode) + "," + std::to_string(rules.size()) + ")");
    }
    std::vector<AddressRule> filterRules;

private:
    ModelJournal* m_journal;
};

class CRulesResolverClient : public CResolverClient {
public:
    CRulesResolverClient(ModelJournal* journal, CResolverClientCallbackIface* owner)
        : CResolverClient(nullptr, owner), m_journal(journal)
    {
    }
    bool ResolveName(const std::string& host) override { return Add("resolve", host); }
    bool WatchName(const std::string& host) override { return Add("watch", host); }
    bool UnwatchName(const std::string& host) override { return Add("unwatch", host); }

private:
    bool Add(const char* what, const std::string& host)
    {
        m_journal->Add(std::string("resolver.") + what + "(" + host + ")");
        return true;
    }
    ModelJournal* m_journal;
};

class CRulesStub : public CFakeStub {
public:
    CRulesStub(StubScript* script, ModelJournal* journal) : CFakeStub(script), m_journal(journal) {}
    void SetInactivityTimeout(uint32_t seconds) override
    {
        m_journal->Add("stub.timeout(" + std::to_string(seconds) + ")");
    }
    void SetResetMode(uint8_t mode) override { m_journal->Add("stub.reset(" + std::to_string(mode) + ")"); }

private:
    ModelJournal* m_journal;
};

class CRulesDeps : public CFakeDeps {
public:
    CRulesDeps(CUsbServerCoreOwner* owner, const std::string& root, LoaderScript* loader, StubScript* stubs,
               ModelJournal* journal, std::atomic<uint32_t>* clock, CRulesNetwork** network)
        : CFakeDeps(owner, root, loader, stubs, journal, clock), m_journal(journal), m_stubs(stubs),
          m_network(network)
    {
    }
    CNetworkServerIface* CreateNetworkServer(CUsbServerCore*) override
    {
        *m_network = new CRulesNetwork(m_journal);
        return *m_network;
    }
    CResolverClient* CreateResolverClient(CUsbServerCore* core) override
    {
        return new CRulesResolverClient(m_journal, static_cast<CUsbServerCoreImpl*>(core));
    }
    std::shared_ptr<CUsbStub> CreateStub(const UsbStubParams&) override
    {
        m_stubs->made++;
        return std::make_shared<CRulesStub>(m_stubs, m_journal);
    }

private:
    ModelJournal* m_journal;
    StubScript* m_stubs;
    CRulesNetwork** m_network;
};

// The core with a window on its IP filter lock.
class CRulesCore : public CTestServerCore {
public:
    using CTestServerCore::CTestServerCore;
    CMutex* IpFilterMutex() { return &m_ipFilterMutex; }
};

struct RulesFixture : ::testing::Test {
    CTempDir logDir;
    CEventLog log{logDir.File("calvixd.log").c_str()};
    ModelJournal journal;
    CFakeOwner owner{&journal, &log};
    LoaderScript loader;
    StubScript stubs;
    std::atomic<uint32_t> clock{1000};
    CSysfsTree sysfs;
    CRulesNetwork* network = nullptr; // owned by the core
    std::unique_ptr<CRulesCore> core;

    void SetUp() override { Make(); }
    void TearDown() override { core.reset(); }

    void Make(const StoredSettings& settings = StoredSettings())
    {
        core.reset();
        core = std::make_unique<CRulesCore>(
            std::make_unique<CRulesDeps>(&owner, sysfs.Root(), &loader, &stubs, &journal, &clock, &network));
        core->Start(settings);
        journal.Clear();
    }

    // A device in sysfs (busnum 1, devnum from the port's last digit) whose
    // driver identity is its serial; then its arrival. Returns its id.
    uint32_t Plug(const std::string& busId, const std::string& serial = "SN0001")
    {
        CSysfsTree::Device d;
        d.busId = busId;
        d.serial = serial;
        sysfs.Add(d);
        sysfs.Write(busId, "busnum", "1\n");
        sysfs.Write(busId, "devnum", std::string(1, busId.back()) + "\n");
        {
            std::lock_guard<std::mutex> hold(loader.lock);
            loader.identities[busId] = serial;
            loader.stubNumbers[busId] = 7;
        }
        core->OnDeviceArrived(busId);
        for (auto& [id, state] : core->States()) {
            UsbDevice d2;
            core->Snapshot(id, &d2);
            if (d2.port == busId && state != DEVICE_STATE_NOT_PLUGGED)
                return id;
        }
        return 0;
    }
    // Plugged, shared by the user and attached: state 3 with a stub.
    uint32_t PlugShared(const std::string& busId, const std::string& serial = "SN0001")
    {
        uint32_t id = Plug(busId, serial);
        core->ShareDevice(id, 0, false);
        core->OnStubAttached(busId);
        EXPECT_TRUE(core->HasStub(id));
        journal.Clear();
        return id;
    }
    UsbDevice Record(uint32_t id)
    {
        UsbDevice d;
        EXPECT_TRUE(core->Snapshot(id, &d)) << "no record for id " << id;
        return d;
    }
    std::string LogText()
    {
        std::ifstream in(logDir.File("calvixd.log"));
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    size_t LogCount(const std::string& fragment)
    {
        std::string text = LogText();
        size_t n = 0;
        for (size_t at = text.find(fragment); at != std::string::npos; at = text.find(fragment, at + 1))
            n++;
        return n;
    }
    // The error a call throws; 0 when it returns.
    template <typename F>
    static uint32_t ErrorOf(F call)
    {
        try {
            call();
        } catch (CExceptionEx* error) {
            uint32_t code = error->GetError();
            delete error;
            return code;
        }
        return 0;
    }
};
