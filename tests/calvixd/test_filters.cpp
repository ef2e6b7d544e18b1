#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <functional>
#include <thread>

#include "tests/calvixd/rulesfixture.h"

namespace {

using Filters = RulesFixture;

std::vector<std::string> IpFilterTexts(CRulesCore* core, uint8_t* mode = nullptr)
{
    uint8_t m = 0;
    std::vector<std::string> rules;
    core->GetIpFilters(&m, &rules);
    if (mode)
        *mode = m;
    return rules;
}

std::vector<std::string> AclTexts(CRulesCore* core, uint32_t id, uint8_t* mode = nullptr)
{
    uint8_t m = 0;
    std::vector<std::string> rules;
    core->GetDeviceAcl(id, &m, &rules);
    if (mode)
        *mode = m;
    return rules;
}

// An IPv6 text as the kernel reports the peer of an IPv6 socket, mapped
// IPv4 addresses included (the text form may make plain IPv4 of them).
ADDRESS ClientAddress(const char* text)
{
    in6_addr v6;
    if (inet_pton(AF_INET6, text, &v6) == 1)
        return ADDRESS(&v6, 0);
    return ADDRESS(text);
}

} // namespace

// ---------------------------------------------------------------------------
// IP filters

TEST_F(Filters, IpFilterAdmission)
{
    struct Case {
        const char* what;
        uint8_t mode;
        std::vector<std::string> rules;
        const char* client;
        bool admitted;
    };
    const Case cases[] = {
        {"disabled", FILTER_MODE_DISABLED, {"10.0.0.5"}, "10.0.0.9", true},
        {"allow, listed", FILTER_MODE_ALLOW, {"10.0.0.5"}, "10.0.0.5", true},
        {"allow, not listed", FILTER_MODE_ALLOW, {"10.0.0.5"}, "10.0.0.9", false},
        {"allow, no rule", FILTER_MODE_ALLOW, {}, "10.0.0.9", false},
        {"allow, no rule, loopback", FILTER_MODE_ALLOW, {}, "127.0.0.1", true},
        {"allow, no rule, IPv6 loopback", FILTER_MODE_ALLOW, {}, "::1", true},
        {"allow, no rule, mapped loopback", FILTER_MODE_ALLOW, {}, "::ffff:127.0.0.1", true},
        {"deny, no rule", FILTER_MODE_DENY, {}, "10.0.0.9", true},
        {"deny, listed", FILTER_MODE_DENY, {"10.0.0.0/8"}, "10.0.0.9", false},
        {"deny, listed, loopback", FILTER_MODE_DENY, {"127.0.0.0/8"}, "127.0.0.1", true},
        {"deny, mapped client of a listed network", FILTER_MODE_DENY, {"10.0.0.0/8"}, "::ffff:10.0.0.9", false},
        {"allow, mapped client of a listed range", FILTER_MODE_ALLOW, {"10.0.0.1-10.0.0.20"}, "::ffff:10.0.0.9",
         true},
        {"allow, IPv6 network", FILTER_MODE_ALLOW, {"fe80::/10"}, "fe80::99", true},
        {"allow, resolved host", FILTER_MODE_ALLOW, {"printserver (10.0.0.7)"}, "10.0.0.7", true},
        {"allow, other address of no host", FILTER_MODE_ALLOW, {"printserver (10.0.0.7)"}, "10.0.0.8", false},
        {"allow, unresolved host", FILTER_MODE_ALLOW, {"scanner"}, "10.0.0.7", false},
        {"first match decides, deny", FILTER_MODE_DENY, {"10.9.9.9", "10.0.0.0/8"}, "10.0.0.9", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        core->SetIpFilters(c.mode, c.rules);
        EXPECT_EQ(core->CheckIpFilters(ADDRESS(c.client)), c.admitted);
    }
}

// Switching the filters off reaches the network server as well: its
// sessions apply the mode they are given, and an older one would go on
// dropping every new client after its greeting.
TEST_F(Filters, DisablingReachesTheNetworkServer)
{
    struct Case {
        const char* what;
        std::function<void()> disable;
    } cases[] = {
        {"whole list", [&] { core->SetIpFilters(FILTER_MODE_DISABLED, {}); }},
        {"mode alone", [&] { core->SetIpFilterMode(FILTER_MODE_DISABLED); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        core->SetIpFilters(FILTER_MODE_ALLOW, {});
        journal.Clear();
        c.disable();
        EXPECT_EQ(journal.Count("net.filters(0,0)"), 1u);
        EXPECT_TRUE(core->CheckIpFilters(ADDRESS("10.0.0.9")));
    }
}

TEST_F(Filters, StoredRulesThatAreInvalidNeverMatch)
{
    StoredSettings settings;
    settings.ipFilterMode = FILTER_MODE_DENY;
    settings.ipFilterRules = {"(10.0.0.5)", "10.0.0.9-10.0.0.1", "10.0.0.0/8", "Office"};
    Make(settings);
    EXPECT_TRUE(core->CheckIpFilters(ADDRESS("11.0.0.5")));
    EXPECT_FALSE(core->CheckIpFilters(ADDRESS("10.0.0.5")));
    // They are kept as written, so that the file loses nothing.
    uint8_t mode = 0;
    std::vector<std::string> rules;
    core->CollectIpFilters(&mode, &rules);
    EXPECT_EQ(rules, settings.ipFilterRules);
}

TEST_F(Filters, HostRulesAreWatchedFromTheStart)
{
    StoredSettings settings;
    settings.ipFilterMode = FILTER_MODE_ALLOW;
    settings.ipFilterRules = {"Office", "10.0.0.1"};
    settings.identities = {IdentityEntry{{1}, 4}};
    settings.aclModes = {{4, FILTER_MODE_ALLOW}};
    settings.aclRules = {{4, {"laptop (10.0.0.3)"}}};
    core.reset();
    journal.Clear();
    core = std::make_unique<CRulesCore>(
        std::make_unique<CRulesDeps>(&owner, sysfs.Root(), &loader, &stubs, &journal, &clock, &network));
    core->Start(settings);
    EXPECT_EQ(journal.Count("resolver.watch(office)"), 1u);
    EXPECT_EQ(journal.Count("resolver.watch(laptop)"), 1u);
    EXPECT_EQ(AclTexts(core.get(), 4), std::vector<std::string>{"laptop (10.0.0.3)"});
}

TEST_F(Filters, SetIpFiltersRefusesAWholeListForOneBadRule)
{
    core->SetIpFilters(FILTER_MODE_DENY, {"10.0.0.1"});
    journal.Clear();
    const std::pair<uint8_t, std::vector<std::string>> refused[] = {
        {3, {"10.0.0.2"}},
        {FILTER_MODE_ALLOW, {"10.0.0.2", "10.0.0.0/0"}},
        {FILTER_MODE_ALLOW, {"(10.0.0.5)"}},
        {FILTER_MODE_ALLOW, {"10.0.0.2\r\nipfiltersmode=disabled"}},
        {FILTER_MODE_ALLOW, {"host\x01"}},
    };
    for (const auto& [mode, rules] : refused) {
        SCOPED_TRACE(rules.back());
        EXPECT_EQ(ErrorOf([&] { core->SetIpFilters(mode, rules); }), ERROR_INVALID_PARAMETER);
        uint8_t kept = 0;
        EXPECT_EQ(IpFilterTexts(core.get(), &kept), std::vector<std::string>{"10.0.0.1"});
        EXPECT_EQ(kept, FILTER_MODE_DENY);
    }
    EXPECT_EQ(journal.Count("net.filters"), 0u);
    EXPECT_EQ(LogCount("IP filters modified"), 1u);
}

TEST_F(Filters, HostRulesKeepTheirAddressesAcrossSetAndGet)
{
    core->SetIpFilters(FILTER_MODE_ALLOW, {"Office (10.0.0.8, 10.0.0.7)", "10.1.0.0/16"});
    EXPECT_EQ(journal.Count("net.filters(1,2)"), 1u);
    EXPECT_EQ(journal.Count("resolver.watch(office)"), 1u);
    EXPECT_EQ(LogCount("IP filters modified\n"), 1u);
    std::vector<std::string> shown = IpFilterTexts(core.get());
    EXPECT_EQ(shown, (std::vector<std::string>{"Office (10.0.0.7, 10.0.0.8)", "10.1.0.0/16"}));
    // The file gets the bare name; the addresses live in the rule.
    uint8_t mode = 0;
    std::vector<std::string> stored;
    core->CollectIpFilters(&mode, &stored);
    EXPECT_EQ(stored, (std::vector<std::string>{"Office", "10.1.0.0/16"}));

    // Setting the shown list again keeps the addresses; a rule that names
    // the host without addresses takes those of the old rule.
    core->SetIpFilters(FILTER_MODE_ALLOW, {"office"});
    EXPECT_EQ(IpFilterTexts(core.get()), std::vector<std::string>{"office (10.0.0.7, 10.0.0.8)"});
    EXPECT_TRUE(core->CheckIpFilters(ADDRESS("10.0.0.7")));

}

namespace {

std::vector<std::string> ResolverCalls(ModelJournal* journal)
{
    std::vector<std::string> calls;
    for (const std::string& e : journal->Events())
        if (e.rfind("resolver.", 0) == 0)
            calls.push_back(e);
    return calls;
}

} // namespace

// The resolver keeps one watch per name: a name stays watched as long as
// any list still names it.
TEST_F(Filters, NamesStayWatchedWhileAnyRuleNamesThem)
{
    uint32_t first = Plug("1-1", "SN0001");
    uint32_t second = Plug("1-2", "SN0002");
    core->SetIpFilters(FILTER_MODE_ALLOW, {"office"});
    core->SetDeviceAcl(first, FILTER_MODE_ALLOW, {"laptop", "office"});
    core->SetDeviceAcl(second, FILTER_MODE_ALLOW, {"laptop"});
    EXPECT_EQ(ResolverCalls(&journal),
              (std::vector<std::string>{"resolver.watch(office)", "resolver.watch(laptop)"}));
    journal.Clear();

    core->SetIpFilters(FILTER_MODE_ALLOW, {"office", "printer"});
    core->SetDeviceAcl(first, FILTER_MODE_DISABLED, {});
    EXPECT_EQ(ResolverCalls(&journal), std::vector<std::string>{"resolver.watch(printer)"});
    // The second device still hears of its host.
    core->OnNameResolved("laptop", {ADDRESS("10.0.0.3")});
    EXPECT_EQ(AclTexts(core.get(), second), std::vector<std::string>{"laptop (10.0.0.3)"});

    journal.Clear();
    core->SetDeviceAcl(second, FILTER_MODE_DISABLED, {});
    core->SetIpFilters(FILTER_MODE_DISABLED, {});
    EXPECT_EQ(ResolverCalls(&journal), (std::vector<std::string>{"resolver.unwatch(laptop)",
                                                                 "resolver.unwatch(office)",
                                                                 "resolver.unwatch(printer)"}));
}

TEST_F(Filters, FilterModeChanges)
{
    core->SetIpFilters(FILTER_MODE_DISABLED, {"10.0.0.1"});
    EXPECT_EQ(journal.Count("net.filters(0,1)"), 1u) << "mode 0 is handed to the sessions too";
    core->SetIpFilterMode(FILTER_MODE_ALLOW);
    EXPECT_EQ(journal.Count("net.filters(1,1)"), 1u);
    EXPECT_EQ(LogCount("IP Filters mode changed to Allow\n"), 1u);
    core->SetIpFilterMode(FILTER_MODE_ALLOW);
    EXPECT_EQ(LogCount("IP Filters mode changed to"), 1u) << "the same mode changes nothing";
    core->SetIpFilterMode(FILTER_MODE_DENY);
    EXPECT_EQ(LogCount("IP Filters mode changed to Deny\n"), 1u);
    core->SetIpFilterMode(FILTER_MODE_DISABLED);
    EXPECT_EQ(LogCount("IP Filters mode changed to Disabled\n"), 1u);
    EXPECT_EQ(journal.Count("net.filters"), 4u);
    EXPECT_EQ(journal.Count("net.filters(0,1)"), 2u);
    EXPECT_TRUE(core->CheckIpFilters(ADDRESS("10.9.9.9")));
}

// Pipe clients never reach this check; a check that cannot take the lock
// (here: the daemon is stopping) lets the client in.
TEST_F(Filters, IpFilterCheckAdmitsWhenItsLockIsNotHad)
{
    core->SetIpFilters(FILTER_MODE_ALLOW, {});
    ASSERT_FALSE(core->CheckIpFilters(ADDRESS("10.0.0.9")));
    ASSERT_EQ(core->IpFilterMutex()->Lock(-1), SYNC_OK);
    core->RaiseStop();
    EXPECT_TRUE(core->CheckIpFilters(ADDRESS("10.0.0.9")));
    core->IpFilterMutex()->Unlock();
}

// ---------------------------------------------------------------------------
// Host-name updates

TEST_F(Filters, ResolvedNamesUpdateEveryRuleOfTheName)
{
    core->SetIpFilters(FILTER_MODE_ALLOW, {"office", "10.0.0.1", "Office"});
    uint32_t first = Plug("1-1", "SN0001");
    uint32_t second = Plug("1-2", "SN0002");
    core->SetDeviceAcl(first, FILTER_MODE_ALLOW, {"laptop", "office", "laptop"});
    core->SetDeviceAcl(second, FILTER_MODE_DENY, {"laptop"});
    journal.Clear();

    core->OnNameResolved("office", {ADDRESS("10.0.0.7")});
    EXPECT_EQ(IpFilterTexts(core.get()),
              (std::vector<std::string>{"office (10.0.0.7)", "10.0.0.1", "Office (10.0.0.7)"}));
    EXPECT_EQ(journal.Count("net.filters(1,3)"), 1u);
    EXPECT_EQ(journal.notifies, 1);

    core->OnNameResolved("laptop", {ADDRESS("10.0.0.3"), ADDRESS("fe80::3")});
    EXPECT_EQ(AclTexts(core.get(), first), (std::vector<std::string>{"laptop (10.0.0.3, fe80::3)",
                                                                     "office (10.0.0.7)",
                                                                     "laptop (10.0.0.3, fe80::3)"}));
    EXPECT_EQ(AclTexts(core.get(), second), std::vector<std::string>{"laptop (10.0.0.3, fe80::3)"});
    EXPECT_EQ(journal.notifies, 2);

    // The same answer again changes nothing.
    core->OnNameResolved("laptop", {ADDRESS("10.0.0.3"), ADDRESS("fe80::3")});
    core->OnNameResolved("office", {ADDRESS("10.0.0.7")});
    EXPECT_EQ(journal.notifies, 2);
    EXPECT_EQ(journal.Count("net.filters"), 1u);
}

// ---------------------------------------------------------------------------
// Device ACLs

TEST_F(Filters, AclAdmission)
{
    struct Case {
        const char* what;
        uint8_t mode;
        std::vector<std::string> rules;
        const char* client;
        const char* name;
        bool admitted;
        bool resolvesAgain;
    };
    const Case cases[] = {
        {"disabled", FILTER_MODE_DISABLED, {"10.0.0.5"}, "10.0.0.9", "", true, false},
        {"allow, listed", FILTER_MODE_ALLOW, {"10.0.0.5"}, "10.0.0.5", "", true, false},
        {"allow, not listed", FILTER_MODE_ALLOW, {"10.0.0.5"}, "10.0.0.9", "", false, false},
        {"allow, loopback", FILTER_MODE_ALLOW, {}, "127.0.0.1", "", true, false},
        {"allow, mapped loopback", FILTER_MODE_ALLOW, {}, "::ffff:127.0.0.1", "", true, false},
        {"deny, listed network", FILTER_MODE_DENY, {"10.0.0.0/8"}, "10.0.0.9", "", false, false},
        {"deny, mapped client", FILTER_MODE_DENY, {"10.0.0.0/8"}, "::ffff:10.0.0.9", "", false, false},
        {"allow, mapped client of a single rule", FILTER_MODE_ALLOW, {"10.0.0.5"}, "::ffff:10.0.0.5", "", true, false},
        {"deny, mapped client of a single rule", FILTER_MODE_DENY, {"10.0.0.5"}, "::ffff:10.0.0.5", "", false, false},
        {"deny, mapped client of a range", FILTER_MODE_DENY, {"10.0.0.1-10.0.0.9"}, "::ffff:10.0.0.5", "", false,
         false},
        {"deny, not listed", FILTER_MODE_DENY, {"10.0.0.0/8"}, "11.0.0.9", "", true, false},
        {"allow, resolved host", FILTER_MODE_ALLOW, {"laptop (10.0.0.3)"}, "10.0.0.3", "", true, false},
        {"allow, host by client name", FILTER_MODE_ALLOW, {"laptop"}, "10.0.0.4", "LAPTOP", true, true},
        {"deny, host by client name", FILTER_MODE_DENY, {"laptop"}, "10.0.0.4", "laptop", false, true},
        {"allow, other client name", FILTER_MODE_ALLOW, {"laptop"}, "10.0.0.4", "desktop", false, false},
        {"allow, no client name", FILTER_MODE_ALLOW, {"laptop"}, "10.0.0.4", "", false, false},
    };
    uint32_t id = Plug("1-1");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        core->SetDeviceAcl(id, c.mode, c.rules);
        journal.Clear();
        bool admitted = false;
        core->WithDevice(id, [&](UsbDevice* d) { admitted = core->CheckDeviceAcl(d, ClientAddress(c.client), c.name); });
        EXPECT_EQ(admitted, c.admitted);
        EXPECT_EQ(journal.Count("resolver.resolve(laptop)"), c.resolvesAgain ? 1u : 0u);
    }
}

TEST_F(Filters, SetDeviceAclIsAppliedWholeOrNotAtAll)
{
    uint32_t id = Plug("1-1");
    core->SetDeviceAcl(id, FILTER_MODE_ALLOW, {"10.0.0.1", "laptop (10.0.0.3)"});
    EXPECT_TRUE(Record(id).flags & DEVICE_FLAG_ACL);
    const std::pair<uint8_t, std::vector<std::string>> refused[] = {
        {3, {"10.0.0.2"}},
        {FILTER_MODE_DENY, {"10.0.0.2", "10.0.0.9-10.0.0.1"}},
        {FILTER_MODE_DENY, {"10.0.0.2", "laptop\n"}},
        {FILTER_MODE_DENY, {"(10.0.0.3)"}},
    };
    for (const auto& [mode, rules] : refused) {
        SCOPED_TRACE(rules.back());
        EXPECT_EQ(ErrorOf([&] { core->SetDeviceAcl(id, mode, rules); }), ERROR_INVALID_PARAMETER);
        uint8_t kept = 0;
        EXPECT_EQ(AclTexts(core.get(), id, &kept), (std::vector<std::string>{"10.0.0.1", "laptop (10.0.0.3)"}));
        EXPECT_EQ(kept, FILTER_MODE_ALLOW);
    }
    EXPECT_EQ(ErrorOf([&] { core->SetDeviceAcl(99, 1, {}); }), ERROR_UNKNOWN_DEVICE);
    EXPECT_EQ(ErrorOf([&] { AclTexts(core.get(), 99); }), ERROR_UNKNOWN_DEVICE);

    core->SetDeviceAcl(id, FILTER_MODE_DISABLED, {});
    EXPECT_FALSE(Record(id).flags & DEVICE_FLAG_ACL);
    // With no rule and mode 0 an unplugged record carries nothing to keep.
    core->OnDeviceRemoved("1-1");
    EXPECT_FALSE(core->WithDevice(id, [](UsbDevice*) {}));
}

TEST_F(Filters, AclChangeEndsWhatItNowRefuses)
{
    uint32_t connecting = PlugShared("1-1", "SN0001");
    core->MakeConnecting(connecting, 41, CONNECTION_KIND_TCP, clock);
    core->WithDevice(connecting, [](UsbDevice* d) { d->clientAddress = ADDRESS("10.0.0.9"); });
    uint32_t inUse = PlugShared("1-2", "SN0002");
    core->MakeInUse(inUse, 42, "10.0.0.9");
    uint32_t inactive = PlugShared("1-3", "SN0003");
    core->MakeInUse(inactive, 43, "10.0.0.9");
    core->WithDevice(inactive, [](UsbDevice* d) { d->state = DEVICE_STATE_INACTIVE; });
    PendingConnection reservation;
    reservation.connectionId = 44;
    reservation.address = ADDRESS("10.0.0.10");
    core->Reserve(inactive, reservation);
    journal.Clear();
    int stops = stubs.stops;

    const std::vector<std::string> denied = {"10.0.0.9", "10.0.0.10"};
    core->SetDeviceAcl(connecting, FILTER_MODE_DENY, denied);
    UsbDevice d = Record(connecting);
    EXPECT_EQ(d.state, DEVICE_STATE_SHARED);
    EXPECT_EQ(d.lastError.GetError(), ERROR_CONNECTION_CANCELLED);
    EXPECT_EQ(journal.Count("net.release(41)"), 1u);
    EXPECT_EQ(journal.Count("net.available(" + std::to_string(connecting) + ",0,0)"), 1u);

    core->SetDeviceAcl(inUse, FILTER_MODE_DENY, denied);
    EXPECT_EQ(stubs.stops, stops + 1) << "the refused client's data connection ends";

    // The inactive device's user stays (it is allowed), its reservation goes.
    core->SetDeviceAcl(inactive, FILTER_MODE_DENY, {"10.0.0.10"});
    EXPECT_EQ(journal.Count("net.release(44)"), 1u);
    EXPECT_EQ(core->ReservationCount(), 0u);
    EXPECT_EQ(stubs.stops, stops + 1);
    EXPECT_EQ(journal.Count("net.inactive(" + std::to_string(inactive) + ",0,0)"), 1u);
}

TEST_F(Filters, DataConnectionsAndTheAcl)
{
    uint32_t id = PlugShared("1-1");
    core->SetDeviceAcl(id, FILTER_MODE_ALLOW, {"10.0.0.0/8"});
    uint32_t code = 0;
    EXPECT_EQ(core->ServeDeviceConnection(nullptr, CONNECTION_KIND_TCP, ADDRESS("192.168.0.9"), "", 0x90, id, 5, &code),
              '3');
    EXPECT_EQ(code, 14u);
    EXPECT_EQ(Record(id).state, DEVICE_STATE_SHARED);
    EXPECT_EQ(LogCount("Client connected the USB device"), 0u);

    // A remote-desktop pipe client has no address: no ACL applies to it. Its
    // name, which the client chose, cannot start a line of its own.
    code = 0;
    core->ServeDeviceConnection(nullptr, CONNECTION_KIND_RDP, ADDRESS(), "desk\nInjected line", 0x90, id, 6, &code);
    EXPECT_NE(code, 14u);
    EXPECT_EQ(LogCount("Client connected the USB device (desk?Injected line; ACME Mouse;"), 1u) << LogText();
    EXPECT_EQ(LogCount("Client disconnected from USB device (desk?Injected line; ACME Mouse;"), 1u) << LogText();
    EXPECT_EQ(LogCount("\nInjected"), 0u);
}

// Results arrive on resolver threads while the control thread replaces the
// lists they update.
TEST_F(Filters, ResolverResultsRaceListChanges)
{
    uint32_t id = PlugShared("1-1");
    std::atomic<bool> done{false};
    std::vector<std::thread> resolvers;
    for (int t = 0; t < 2; t++) {
        resolvers.emplace_back([&, t] {
            for (uint32_t n = 1; !done; n++) {
                core->OnNameResolved(t ? "office" : "laptop", {ADDRESS(htonl(0x0A000000 | (n & 0xFF)))});
                core->CheckIpFilters(ADDRESS("10.0.0.1"));
            }
        });
    }
    // The control requests come one at a time in the daemon; two threads
    // here make the filter and ACL sides meet on the shared watch counts.
    std::thread acl([&] {
        for (int round = 0; round < 200; round++) {
            core->SetDeviceAcl(id, FILTER_MODE_ALLOW, round % 2 ? std::vector<std::string>{"laptop"}
                                                                : std::vector<std::string>{"office", "10.0.0.0/8"});
            AclTexts(core.get(), id);
        }
    });
    for (int round = 0; round < 200; round++) {
        core->SetIpFilters(round % 2 ? FILTER_MODE_ALLOW : FILTER_MODE_DENY,
                           round % 3 ? std::vector<std::string>{"office", "laptop"} : std::vector<std::string>{});
        IpFilterTexts(core.get());
    }
    acl.join();
    done = true;
    for (std::thread& t : resolvers)
        t.join();
    core->SetIpFilters(FILTER_MODE_DISABLED, {});
    core->SetDeviceAcl(id, FILTER_MODE_DISABLED, {});
    // Every watch was dropped again.
    size_t watches = journal.Count("resolver.watch(");
    EXPECT_EQ(journal.Count("resolver.unwatch("), watches);
}
