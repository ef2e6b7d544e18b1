#include "calvixd/net/resolverclient.h"

CResolverClient::CResolverClient(Resolver* resolver, CResolverClientCallbackIface* owner)
    : m_resolver(resolver), m_owner(owner)
{
}

CResolverClient::~CResolverClient()
{
    Unregister();
    Release();
    m_released.Wait(-1);
}

bool CResolverClient::ResolveName(const std::string& host)
{
    return m_resolver && m_resolver->ResolveName(host, this);
}

bool CResolverClient::WatchName(const std::string& host)
{
    return m_resolver && m_resolver->WatchName(host, this);
}

bool CResolverClient::UnwatchName(const std::string& host)
{
    return m_resolver && m_resolver->UnwatchName(host, this);
}

bool CResolverClient::ResolveAddress(const ADDRESS& address)
{
    return m_resolver && m_resolver->ResolveAddress(address, this);
}

void CResolverClient::Unregister()
{
    if (m_resolver)
        m_resolver->RemoveCallback(this);
}

void CResolverClient::Release()
{
    if (m_references.Decrement() == 0)
        m_released.Set();
}

void CResolverClient::OnNameResolved(const std::string& host, const std::set<ADDRESS>& addresses)
{
    if (m_owner)
        m_owner->OnNameResolved(host, addresses);
}

void CResolverClient::OnNameNotResolved(const std::string& host)
{
    if (m_owner)
        m_owner->OnNameNotResolved(host);
}

void CResolverClient::OnAddressResolved(const ADDRESS& address, const std::string& host)
{
    if (m_owner)
        m_owner->OnAddressResolved(address, host);
}

void CResolverClient::OnAddressNotResolved(const ADDRESS& address)
{
    if (m_owner)
        m_owner->OnAddressNotResolved(address);
}
