#include "ovusbd/core/logbursttable.h"

#include <string.h>

namespace {

bool windowOver(const LogBurstTable* table, const LogBurstSlot& slot, int64_t nowMs) {
    return nowMs - slot.windowStart >= table->windowMs;
}

LogBurstReport reportOf(const LogBurstSlot& slot) {
    return {slot.connectionId, slot.bySource, slot.source, slot.level, slot.format, slot.counted};
}

struct BurstKey {
    uint16_t connectionId;
    bool bySource;
    PeerSource source;
};

bool keyMatches(const LogBurstSlot& slot, const BurstKey& key) {
    return slot.connectionId == key.connectionId && slot.bySource == key.bySource &&
           (!key.bySource || samePeerSource(slot.source, key.source));
}

// Frees the slots `pick` selects; the counts they hold go to out.
template <typename Pick>
size_t releaseSlots(LogBurstTable* table, Pick pick, LogBurstReport* out, size_t capacity) {
    size_t written = 0;
    for (LogBurstSlot& slot : table->slots) {
        if (!slot.used || !pick(slot)) {
            continue;
        }
        if (slot.counted > 0) {
            if (written == capacity) {
                break;  // the rest waits for the next call
            }
            out[written++] = reportOf(slot);
        }
        slot.used = false;
    }
    return written;
}

size_t releaseOverflow(LogBurstTable* table, LogBurstReport* out, size_t capacity) {
    if (table->overflow == 0 || capacity == 0) {
        return 0;
    }
    *out = {0, false, PeerSource{}, table->overflowLevel, nullptr, table->overflow};
    table->overflow = 0;
    return 1;
}

bool admitKeyed(LogBurstTable* table, const BurstKey& key, int level, const char* format, int64_t nowMs,
                LogBurstReport* report) {
    *report = {key.connectionId, key.bySource, key.source, level, format, 0};
    LogBurstSlot* unused = nullptr;
    LogBurstSlot* finished = nullptr;
    for (LogBurstSlot& slot : table->slots) {
        if (!slot.used) {
            unused = unused != nullptr ? unused : &slot;
            continue;
        }
        if (keyMatches(slot, key) && slot.format == format) {
            if (windowOver(table, slot, nowMs)) {
                *report = reportOf(slot);
                slot.windowStart = nowMs;
                slot.logged = 0;
                slot.counted = 0;
            }
            if (slot.logged < table->linesPerWindow) {
                slot.logged++;
                return true;
            }
            slot.counted++;
            return false;
        }
        if (finished == nullptr && windowOver(table, slot, nowMs)) {
            finished = &slot;
        }
    }
    LogBurstSlot* slot = unused != nullptr ? unused : finished;
    if (slot == nullptr) {
        if (table->overflow == 0 || level < table->overflowLevel) {
            table->overflowLevel = level;
        }
        table->overflow++;
        return false;
    }
    if (slot == finished) {
        *report = reportOf(*finished);
    }
    *slot = {key.connectionId, key.bySource, key.source, true, level, format, nowMs, 1, 0};
    return true;
}

} // namespace

void initLogBurstTable(LogBurstTable* table, uint32_t linesPerWindow, int64_t windowMs) {
    memset(table, 0, sizeof *table);
    table->linesPerWindow = linesPerWindow > 0 ? linesPerWindow : 1;
    table->windowMs = windowMs;
}

bool admitLogRecord(LogBurstTable* table, uint16_t connectionId, int level, const char* format, int64_t nowMs,
                    LogBurstReport* report) {
    return admitKeyed(table, {connectionId, false, PeerSource{}}, level, format, nowMs, report);
}

bool admitSourceLogRecord(LogBurstTable* table, const PeerSource& source, int level, const char* format,
                          int64_t nowMs, LogBurstReport* report) {
    return admitKeyed(table, {0, true, source}, level, format, nowMs, report);
}

size_t sweepLogBursts(LogBurstTable* table, int64_t nowMs, LogBurstReport* out, size_t capacity) {
    const size_t written =
        releaseSlots(table, [&](const LogBurstSlot& slot) { return windowOver(table, slot, nowMs); }, out, capacity);
    return written + releaseOverflow(table, out + written, capacity - written);
}

size_t releaseConnectionLogBursts(LogBurstTable* table, uint16_t connectionId, LogBurstReport* out, size_t capacity) {
    return releaseSlots(
        table, [&](const LogBurstSlot& slot) { return !slot.bySource && slot.connectionId == connectionId; }, out,
        capacity);
}

size_t releaseAllLogBursts(LogBurstTable* table, LogBurstReport* out, size_t capacity) {
    const size_t written = releaseSlots(table, [](const LogBurstSlot&) { return true; }, out, capacity);
    return written + releaseOverflow(table, out + written, capacity - written);
}
