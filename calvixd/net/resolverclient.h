// The server core's client of the asynchronous name resolver: host-name rules
// are watched through it and their addresses come back to the core.
#pragma once

#include <string>

class CResolverClient {
public:
    virtual ~CResolverClient() {}
    // false when the name cannot be watched.
    virtual bool WatchName(const std::string& name) = 0;
    // No more results reach the owner after this returns.
    virtual void Unregister() = 0;
};

// Until the resolver resolves names, no name can be watched.
class CIdleResolverClient : public CResolverClient {
public:
    bool WatchName(const std::string&) override { return false; }
    void Unregister() override {}
};
