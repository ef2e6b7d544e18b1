#include "calvixd/net/usbstub.h"

#include <cerrno>
#include <cstring>

#include "calvixd/core/usbservercoreimpl.h"

namespace {

// What a data connection reports, passed on to the server core that owns
// the stub. Activity changes are only recorded here: the pump that reports
// them must not wait for the device mutex, so the stub's worker passes them
// on.
class CStubEvents : public CDataConnectionEvents {
public:
    explicit CStubEvents(CUsbServerCore* owner) : m_core(static_cast<CUsbServerCoreImpl*>(owner)) {}
    uint32_t GetTickMs() override { return m_core ? m_core->GetTickMs() : GetTickCountMs(); }
    void LogDebug(uint16_t module, uint32_t line, uint32_t error) override
    {
        // Not through the virtual table: a data connection may still end
        // while the core's destructor runs (it stops the stubs).
        if (m_core)
            m_core->CUsbServerCoreImpl::LogDebug(module, line, error);
    }
    CEventLog* GetEventLog() override { return m_core ? m_core->GetEventLog() : nullptr; }
    void SetDeviceConfiguration(uint32_t deviceId, int value) override
    {
        if (m_core)
            m_core->SetDeviceConfiguration(deviceId, value);
    }
    void SetInactive(bool inactive) override
    {
        m_inactive = inactive;
        m_changed.Set();
    }

    // The worker: reports each change of the flag once, until stop is set.
    void ReportChanges(uint32_t deviceId)
    {
        while (m_changed.WaitAbortable(&m_stop, -1) == SYNC_OK) {
            m_changed.Reset();
            bool inactive = m_inactive.load();
            if (inactive == m_reported.exchange(inactive) || !m_core)
                continue;
            if (inactive)
                m_core->OnDeviceInactive(deviceId);
            else
                m_core->OnDeviceActive(deviceId);
        }
    }
    void Stop() { m_stop.Set(); }
    // A new data connection starts active, whatever the last one reported.
    void Clear()
    {
        m_inactive = false;
        m_reported = false;
    }

private:
    CUsbServerCoreImpl* m_core;
    std::atomic<bool> m_inactive{false};
    std::atomic<bool> m_reported{false};
    CEvent m_changed;
    CEvent m_stop;
};

struct ActivityWorkerJob {
    CStubEvents* events;
    uint32_t deviceId;
};

int ActivityWorker(void* argument)
{
    std::unique_ptr<ActivityWorkerJob> job(static_cast<ActivityWorkerJob*>(argument));
    job->events->ReportChanges(job->deviceId);
    return 0;
}

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
    auto events = std::make_unique<CStubEvents>(params.owner);
    auto* job = new ActivityWorkerJob{events.get(), params.deviceId};
    m_activityWorker = CThread::Create(ActivityWorker, job, CTHREAD_JOINABLE);
    if (!m_activityWorker) {
        delete job;
        throw new CExceptionEx(MODULE_USBSTUB, __LINE__, static_cast<uint32_t>(ENOMEM));
    }
    m_events = std::move(events);
    DataConnectionParams connection;
    connection.deviceId = params.deviceId;
    connection.textBlock = m_textBlock;
    connection.inactivitySeconds = params.timeout;
    try {
        m_connection = std::make_unique<CDataConnection>(m_api.get(), m_events.get(), connection);
    } catch (...) {
        StopActivityWorker();
        throw;
    }
}

void CUsbStubKmod::ClearActivitySignal()
{
    static_cast<CStubEvents*>(m_events.get())->Clear();
}

CUsbStubKmod::~CUsbStubKmod()
{
    m_gate.Close();
    StopActivityWorker();
    m_api->FlushRequests();
}

void CUsbStubKmod::StopActivityWorker()
{
    if (!m_activityWorker)
        return;
    static_cast<CStubEvents*>(m_events.get())->Stop();
    // The worker's last report may wait for the device mutex; the stub is
    // never destroyed with that mutex held.
    m_activityWorker->Join(-1);
    delete m_activityWorker;
    m_activityWorker = nullptr;
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
    // Without a time-out a device is never inactive: one that was is active
    // again now, not at the driver's next message.
    if (seconds == 0)
        m_events->SetInactive(false);
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
