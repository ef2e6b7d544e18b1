#include "calvixd/net/socketfactory.h"

#include "calvixd/net/pipesocket.h"
#include "calvixd/net/socketurl.h"
#include "calvixd/net/tcpsocket.h"

CSocket* CGenericSocketFactory::Create(const std::string& url)
{
    if (url.empty() || url.compare(0, 3, "://") == 0)
        throw new CExceptionEx(MODULE_SOCKETFACTORY, __LINE__, SOCK_INVALID_ARGUMENT);
    std::string scheme = GetUrlScheme(url);
    if (scheme == "tcp" || scheme == "tcp4" || scheme == "tcp6")
        return new CTcpSocket();
    if (scheme == "pipe")
        return new CPipeSocket();
    throw new CExceptionEx(MODULE_SOCKETFACTORY, __LINE__, SOCK_FAMILY_NOT_SUPPORTED);
}
