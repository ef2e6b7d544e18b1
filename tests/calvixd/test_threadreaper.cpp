#include "calvixd/core/threadreaper.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <sstream>

#include "calvixd/core/usbcore.h"
#include "tests/calvixd/fakes.h"
#include "tests/calvixd/tempdir.h"

namespace {

struct Work {
    CEvent release;
    std::atomic<int> touched{0};
};

int Worker(void* argument)
{
    auto* work = static_cast<std::shared_ptr<Work>*>(argument);
    (*work)->release.Wait(-1);
    (*work)->touched++; // would be a use after free if the work were not kept
    return 0;
}

bool WaitFor(const std::function<bool()>& condition, int ms)
{
    for (uint32_t start = GetTickCountMs(); GetTickCountMs() - start < static_cast<uint32_t>(ms); SleepMs(5)) {
        if (condition())
            return true;
    }
    return condition();
}

} // namespace

TEST(ThreadReaper, JoinedThreadIsDeleted)
{
    auto work = std::make_shared<Work>();
    work->release.Set();
    std::shared_ptr<Work> handle = work;
    CThread* thread = CThread::Create(Worker, &handle, CTHREAD_JOINABLE);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(CThreadReaper::JoinOrAbandon(&thread, 5000, work, nullptr, 1, 10), SYNC_OK);
    EXPECT_EQ(thread, nullptr);
    EXPECT_EQ(work->touched.load(), 1);
}

TEST(ThreadReaper, TimedOutJoinLeavesTheThreadRunningWithWhatItUses)
{
    CTempDir dir;
    std::string path = dir.File("calvixd.log");
    CEventLog log(path.c_str());
    CoreJournal journal;
    journal.fileContents.debuglog = true;
    CFakeFactory factory(&journal);
    CUsbCore core(&log, &factory);
    core.Start();

    size_t before = CThreadReaper::GetAbandonedCount();
    std::weak_ptr<Work> watch;
    auto* handle = new std::shared_ptr<Work>(std::make_shared<Work>());
    watch = *handle;
    CThread* thread = CThread::Create(
        [](void* argument) {
            std::unique_ptr<std::shared_ptr<Work>> own(static_cast<std::shared_ptr<Work>*>(argument));
            return Worker(own.get());
        },
        handle, CTHREAD_JOINABLE);
    ASSERT_NE(thread, nullptr);
    {
        // The owner lets go of its reference right after the join, as an
        // object being destroyed would.
        std::shared_ptr<Work> ownerReference = watch.lock();
        EXPECT_EQ(CThreadReaper::JoinOrAbandon(&thread, 30, ownerReference, &core, 1, 4321), SYNC_TIMEOUT);
    }
    EXPECT_EQ(thread, nullptr);
    EXPECT_EQ(CThreadReaper::GetAbandonedCount(), before + 1);
    ASSERT_FALSE(watch.expired());

    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("Debug: Module 0x0001 Line 4321 Error 1460\n"), std::string::npos) << text.str();

    // Still running: a sweep keeps it.
    CThreadReaper::Sweep();
    EXPECT_EQ(CThreadReaper::GetAbandonedCount(), before + 1);

    watch.lock()->release.Set();
    EXPECT_TRUE(WaitFor(
        [&] {
            CThreadReaper::Sweep();
            return CThreadReaper::GetAbandonedCount() == before;
        },
        5000));
    EXPECT_TRUE(watch.expired());
}
