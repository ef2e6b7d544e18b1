// Makes the socket class that a URL's scheme names.
#pragma once

#include <string>

#include "calvixd/net/socket.h"

class CSocketFactory {
public:
    virtual ~CSocketFactory() {}
    // A new socket in state new that the caller owns. Throws
    // CExceptionEx*(0x200, line, 64) for an empty URL or one that begins with
    // "://", and 5 for an unknown scheme.
    virtual CSocket* Create(const std::string& url) = 0;
};

class CGenericSocketFactory : public CSocketFactory {
public:
    CSocket* Create(const std::string& url) override;
};
