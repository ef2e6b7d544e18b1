#include "calvixd/core/peerlog.h"

#include <cstdarg>
#include <cstdio>
#include <string>

CPeerLog::CPeerLog(CEventLog* log, uint32_t linesPerWindow, uint32_t windowMs)
    : m_log(log), m_table(PEER_LOG_SLOTS, linesPerWindow, windowMs),
      // A tick of at most a second: a count is written soon after its window.
      m_tickMs(windowMs < 1000 ? (windowMs > 0 ? static_cast<int>(windowMs) : 1) : 1000)
{
    m_reports.reserve(PEER_LOG_SLOTS + 1);
    if (m_log)
        m_flusher = CThread::Create(FlusherThread, this, CTHREAD_JOINABLE);
}

CPeerLog::~CPeerLog()
{
    if (m_flusher) {
        m_stop.Set();
        while (m_flusher->Join(1000) == SYNC_TIMEOUT) {
        }
        delete m_flusher;
    }
    std::vector<LogBurstReport> reports;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_table.ReleaseAll(&m_reports);
        reports.swap(m_reports);
    }
    WriteReports(reports);
}

int CPeerLog::FlusherThread(void* argument)
{
    CPeerLog* self = static_cast<CPeerLog*>(argument);
    std::vector<LogBurstReport> reports;
    reports.reserve(PEER_LOG_SLOTS + 1);
    while (self->m_stop.Wait(self->m_tickMs) == SYNC_TIMEOUT) {
        {
            std::lock_guard<std::mutex> lock(self->m_lock);
            self->m_table.Sweep(GetTickCountMs(), &self->m_reports);
            reports.swap(self->m_reports);
        }
        self->WriteReports(reports);
        reports.clear();
    }
    return 0;
}

void CPeerLog::WriteReports(const std::vector<LogBurstReport>& reports)
{
    if (!m_log)
        return;
    for (const LogBurstReport& report : reports) {
        if (!report.site) {
            m_log->Print("%u lines of further clients not logged: too many clients at once.\n", report.count);
            continue;
        }
        // The call site's text without its line end, as the key it was.
        std::string site(report.site);
        while (!site.empty() && site.back() == '\n')
            site.pop_back();
        if (report.source[0] != '\0')
            m_log->Print("%u more lines like \"%s\" from %s not logged.\n", report.count, site.c_str(), report.source);
        else
            m_log->Print("%u more lines like \"%s\" not logged.\n", report.count, site.c_str());
    }
}

void CPeerLog::Print(const char* source, int level, const char* format, ...)
{
    if (!m_log)
        return;
    LogBurstReport report;
    bool write = true;
    if (m_flusher) {
        std::lock_guard<std::mutex> lock(m_lock);
        write = m_table.Admit(source, format, level, GetTickCountMs(), &report);
    }
    if (report.count > 0)
        WriteReports({report});
    if (!write)
        return;
    va_list args;
    va_start(args, format);
    m_log->VPrint(format, args);
    va_end(args);
}
