#include "calvixd/core/threadreaper.h"

#include <mutex>
#include <vector>

#include "calvixd/core/usbcore.h"

namespace {

struct AbandonedThread {
    CThread* thread;
    std::shared_ptr<void> keepAlive;
};

struct ReaperList {
    std::mutex lock; // guards threads
    std::vector<AbandonedThread> threads;
};

// Never destroyed: an abandoned thread may still run while the process
// exits, and must not see what it uses freed by static destructors.
ReaperList* GetList()
{
    static ReaperList* list = new ReaperList();
    return list;
}

} // namespace

int CThreadReaper::JoinOrAbandon(CThread** thread, int ms, std::shared_ptr<void> keepAlive, CUsbCore* core,
                                 uint16_t module, uint32_t line)
{
    CThread* object = *thread;
    *thread = nullptr;
    if (!object)
        return SYNC_OK;
    int result = object->Join(ms);
    if (result == SYNC_OK) {
        delete object;
        return SYNC_OK;
    }
    if (core)
        core->LogDebug(module, line, ERROR_TIMEOUT);
    ReaperList* list = GetList();
    std::lock_guard<std::mutex> guard(list->lock);
    list->threads.push_back({object, std::move(keepAlive)});
    return result;
}

void CThreadReaper::Sweep()
{
    ReaperList* list = GetList();
    std::vector<AbandonedThread> ended;
    {
        std::lock_guard<std::mutex> guard(list->lock);
        for (size_t i = 0; i < list->threads.size();) {
            if (list->threads[i].thread->Join(0) == SYNC_OK) {
                ended.push_back(std::move(list->threads[i]));
                list->threads.erase(list->threads.begin() + static_cast<std::ptrdiff_t>(i));
            } else {
                i++;
            }
        }
    }
    for (AbandonedThread& entry : ended)
        delete entry.thread;
}

size_t CThreadReaper::GetAbandonedCount()
{
    ReaperList* list = GetList();
    std::lock_guard<std::mutex> guard(list->lock);
    return list->threads.size();
}
