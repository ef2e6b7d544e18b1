// The asynchronous name resolver that the core object owns and the server
// core uses for host-name rules. Only its construction is in place: no name
// is resolved yet.
#pragma once

class Resolver {
public:
    Resolver(int maxWorkers, int idleMs) : m_maxWorkers(maxWorkers), m_idleMs(idleMs) {}
    virtual ~Resolver() {}
    Resolver(const Resolver&) = delete;
    Resolver& operator=(const Resolver&) = delete;

    int GetMaxWorkers() const { return m_maxWorkers; }
    int GetIdleMs() const { return m_idleMs; }

private:
    int m_maxWorkers;
    int m_idleMs;
};
