#include "calvixd/net/usbstub.h"

#include <cstring>

CUsbStubKmod::CUsbStubKmod(const UsbStubParams& params) : m_params(params), m_timeout(params.timeout)
{
    memset(m_textBlock, 0, sizeof(m_textBlock));
    if (params.textBlock)
        memcpy(m_textBlock, params.textBlock, sizeof(m_textBlock));
    m_params.textBlock = m_textBlock;
    if (params.stubNumber < 0)
        throw new CExceptionEx(MODULE_USBSTUB, __LINE__, static_cast<uint32_t>(ENODEV));
    m_api = std::make_unique<CStubApiKmod>(static_cast<uint32_t>(params.stubNumber));
    if (!m_api->SetResetMode(params.resetMode))
        throw new CExceptionEx(MODULE_USBSTUB, __LINE__);
    if (!m_api->SetFlags(params.quirkFlags))
        throw new CExceptionEx(MODULE_USBSTUB, __LINE__);
    m_api->FlushRequests();
    if (m_api->NeedsReset() && !(params.quirkFlags & STUB_FLAG_NO_RESET))
        m_api->ResetDevice();
}

CUsbStubKmod::~CUsbStubKmod()
{
    m_stop.Set();
    m_api->FlushRequests();
}

void CUsbStubKmod::SetResetMode(uint8_t mode)
{
    m_params.resetMode = mode;
    m_api->SetResetMode(mode);
}

void CUsbStubKmod::SetStubFlags(uint32_t flags)
{
    m_params.quirkFlags = flags;
    m_api->SetFlags(flags);
}

std::shared_ptr<CUsbStub> CreateKmodUsbStub(const UsbStubParams& params)
{
    return std::make_shared<CUsbStubKmod>(params);
}
