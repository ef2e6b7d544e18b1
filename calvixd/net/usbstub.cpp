#include "calvixd/net/usbstub.h"

#include <cstring>

#include "calvixd/core/usbservercoreimpl.h"

namespace {

// What a data connection reports, passed on to the server core that owns
// the stub.
class CStubEvents : public CDataConnectionEvents {
public:
    explicit CStubEvents(CUsbServerCore* owner) : m_core(static_cast<CUsbServerCoreImpl*>(owner)) {}
    uint32_t GetTickMs() override { return m_core ? m_core->GetTickMs() : GetTickCountMs(); }
    void LogDebug(uint16_t module, uint32_t line, uint32_t error) override
    {
        if (m_core)
            m_core->LogDebug(module, line, error);
    }
    CEventLog* GetEventLog() override { return nullptr; }
    void SetDeviceConfiguration(uint32_t deviceId, int value) override
    {
        if (m_core)
            m_core->SetDeviceConfiguration(deviceId, value);
    }
    // The state change reaches the core from the stub's worker, never from
    // the pump: the pump must not wait for the device mutex.
    void SetInactive(bool) override {}

private:
    CUsbServerCoreImpl* m_core;
};

} // namespace

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
    m_events = std::make_unique<CStubEvents>(params.owner);
    DataConnectionParams connection;
    connection.deviceId = params.deviceId;
    connection.textBlock = m_textBlock;
    connection.inactivitySeconds = params.timeout;
    m_connection = std::make_unique<CDataConnection>(m_api.get(), m_events.get(), connection);
}

CUsbStubKmod::~CUsbStubKmod()
{
    m_gate.Close();
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

void CUsbStubKmod::SetInactivityTimeout(uint32_t seconds)
{
    m_timeout = seconds;
    m_connection->SetInactivityTimeout(seconds);
}

uint8_t CUsbStubKmod::RunDataConnection(CSocket* socket, uint8_t, uint32_t* code)
{
    if (!m_gate.Begin()) {
        *code = DATA_REFUSED_STOPPED;
        return '3';
    }
    uint8_t answer = '3';
    try {
        answer = m_connection->Run(socket, m_gate.GetStopEvent(), code);
    } catch (...) {
        *code = DATA_REFUSED_NO_THREAD;
    }
    m_gate.End();
    return answer;
}
