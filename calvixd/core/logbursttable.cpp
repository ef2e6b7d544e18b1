#include "calvixd/core/logbursttable.h"

#include <cstring>

namespace {

void CopySource(char* out, const char* source)
{
    size_t length = source ? strnlen(source, LOG_BURST_SOURCE_SIZE - 1) : 0;
    if (length > 0)
        memcpy(out, source, length);
    out[length] = '\0';
}

} // namespace

CLogBurstTable::CLogBurstTable(size_t slots, uint32_t linesPerWindow, uint32_t windowMs)
    : m_slots(slots > 0 ? slots : 1), m_linesPerWindow(linesPerWindow > 0 ? linesPerWindow : 1),
      m_windowMs(windowMs)
{
}

bool CLogBurstTable::WindowOver(const Slot& slot, uint32_t nowMs) const
{
    // Unsigned difference: right across the wrap of the tick.
    return nowMs - slot.windowStart >= m_windowMs;
}

void CLogBurstTable::ReportOf(const Slot& slot, LogBurstReport* report)
{
    memcpy(report->source, slot.source, sizeof report->source);
    report->site = slot.site;
    report->level = slot.level;
    report->count = slot.counted;
}

bool CLogBurstTable::Admit(const char* source, const char* site, int level, uint32_t nowMs, LogBurstReport* report)
{
    char key[LOG_BURST_SOURCE_SIZE];
    CopySource(key, source);
    *report = LogBurstReport();
    Slot* unused = nullptr;
    Slot* finished = nullptr;
    for (Slot& slot : m_slots) {
        if (!slot.used) {
            unused = unused ? unused : &slot;
            continue;
        }
        if (slot.site == site && strcmp(slot.source, key) == 0) {
            if (WindowOver(slot, nowMs)) {
                ReportOf(slot, report);
                slot.windowStart = nowMs;
                slot.written = 0;
                slot.counted = 0;
            }
            // The report carries the most severe level of its lines.
            if (slot.counted == 0 || level < slot.level)
                slot.level = level;
            if (slot.written < m_linesPerWindow) {
                slot.written++;
                return true;
            }
            slot.counted++;
            return false;
        }
        if (!finished && WindowOver(slot, nowMs))
            finished = &slot;
    }
    Slot* slot = unused ? unused : finished;
    if (!slot) {
        if (m_overflow == 0 || level < m_overflowLevel)
            m_overflowLevel = level;
        m_overflow++;
        return false;
    }
    if (slot == finished)
        ReportOf(*finished, report);
    slot->used = true;
    memcpy(slot->source, key, sizeof key);
    slot->site = site;
    slot->level = level;
    slot->windowStart = nowMs;
    slot->written = 1;
    slot->counted = 0;
    return true;
}

template <typename Pick>
void CLogBurstTable::Release(Pick pick, std::vector<LogBurstReport>* out)
{
    out->reserve(m_slots.size() + 1);
    for (Slot& slot : m_slots) {
        if (!slot.used || !pick(slot))
            continue;
        if (slot.counted > 0) {
            LogBurstReport report;
            ReportOf(slot, &report);
            out->push_back(report);
        }
        slot.used = false;
    }
}

void CLogBurstTable::ReleaseOverflow(std::vector<LogBurstReport>* out)
{
    if (m_overflow == 0)
        return;
    LogBurstReport report;
    report.level = m_overflowLevel;
    report.count = m_overflow;
    out->push_back(report);
    m_overflow = 0;
}

void CLogBurstTable::Sweep(uint32_t nowMs, std::vector<LogBurstReport>* out)
{
    Release([&](const Slot& slot) { return WindowOver(slot, nowMs); }, out);
    ReleaseOverflow(out);
}

void CLogBurstTable::ReleaseAll(std::vector<LogBurstReport>* out)
{
    Release([](const Slot&) { return true; }, out);
    ReleaseOverflow(out);
}

size_t CLogBurstTable::GetUsedSlots() const
{
    size_t used = 0;
    for (const Slot& slot : m_slots)
        used += slot.used ? 1 : 0;
    return used;
}
