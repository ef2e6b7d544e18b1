#include "calvixd/net/loaderapi.h"

#include <cerrno>

#include "sys/thread"

void CLoaderApiKmod::Start()
{
    throw new CExceptionEx(MODULE_LOADERAPIKMOD, __LINE__, ERROR_NOT_SUPPORTED);
}

int CLoaderApiKmod::Rebind(const std::string&)
{
    return -ENOSYS;
}

int CLoaderApiKmod::GetDescriptors(const std::string&, std::vector<uint8_t>*)
{
    return -ENOSYS;
}

size_t DescriptorBlockLength(const uint8_t* block, size_t length)
{
    if (!block || length < 4)
        return 0;
    size_t total = static_cast<size_t>(block[2]) | static_cast<size_t>(block[3]) << 8;
    return total == length ? total : 0;
}
