// An owner's link to the resolver: a reference-counted adapter that is the
// resolver's callback and forwards the four results to its owner, so an
// owner never has to outlive the lookups it started.
#pragma once

#include <set>
#include <string>

#include "calvixd/net/resolver.h"

// What an owner of a resolver client hears; all empty by default.
class CResolverClientCallbackIface {
public:
    virtual ~CResolverClientCallbackIface() {}
    virtual void OnNameResolved(const std::string&, const std::set<ADDRESS>&) {}
    virtual void OnNameNotResolved(const std::string&) {}
    virtual void OnAddressResolved(const ADDRESS&, const std::string&) {}
    virtual void OnAddressNotResolved(const ADDRESS&) {}
};

class CResolverClient : public CResolverCallbackIface {
public:
    // A null resolver makes a client that resolves nothing (every request
    // returns false); a null owner drops the results.
    CResolverClient(Resolver* resolver, CResolverClientCallbackIface* owner);
    // Unregisters, drops the owner's reference and waits until no delivery
    // holds one: after it returns no result reaches the owner.
    ~CResolverClient() override;
    CResolverClient(const CResolverClient&) = delete;
    CResolverClient& operator=(const CResolverClient&) = delete;

    virtual bool ResolveName(const std::string& host);
    virtual bool WatchName(const std::string& host);
    virtual bool UnwatchName(const std::string& host);
    virtual bool ResolveAddress(const ADDRESS& address);
    virtual void Unregister();

    void OnNameResolved(const std::string& host, const std::set<ADDRESS>& addresses) override;
    void OnNameNotResolved(const std::string& host) override;
    void OnAddressResolved(const ADDRESS& address, const std::string& host) override;
    void OnAddressNotResolved(const ADDRESS& address) override;
    void AddRef() override { m_references.Increment(); }
    void Release() override;

private:
    Resolver* m_resolver;
    CResolverClientCallbackIface* m_owner;
    CAtomic<int> m_references{1}; // the owner's
    CEvent m_released;
};
