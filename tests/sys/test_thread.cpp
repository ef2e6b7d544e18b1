// Waits, locks, guards, threads, atomics, rundown, tick and sleep.
#include "sys/thread"

#include <dlfcn.h>
#include <signal.h>

#include <atomic>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

// Records which clock the library's timed locks wait on. The library is
// linked statically, so its calls bind to this definition.
static std::atomic<int> g_clocklockCalls{0};
static std::atomic<int> g_clocklockLastClock{-1};
static std::atomic<int> g_timedlockCalls{0};

extern "C" int pthread_mutex_clocklock(pthread_mutex_t* mutex, clockid_t clock, const struct timespec* deadline)
{
    using Real = int (*)(pthread_mutex_t*, clockid_t, const struct timespec*);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "pthread_mutex_clocklock"));
    g_clocklockCalls++;
    g_clocklockLastClock = clock;
    return real(mutex, clock, deadline);
}

extern "C" int pthread_mutex_timedlock(pthread_mutex_t* mutex, const struct timespec* deadline)
{
    using Real = int (*)(pthread_mutex_t*, const struct timespec*);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "pthread_mutex_timedlock"));
    g_timedlockCalls++;
    return real(mutex, deadline);
}

namespace {

uint32_t ElapsedMs(uint32_t start)
{
    return GetTickCountMs() - start;
}

// Runs a function on a joinable CThread and joins it on destruction.
class Runner {
public:
    template <typename F>
    explicit Runner(F function) : m_function(function)
    {
        m_thread.reset(CThread::Create(Entry, this, CTHREAD_JOINABLE));
        EXPECT_NE(m_thread, nullptr);
    }
    ~Runner()
    {
        if (m_thread) {
            EXPECT_EQ(m_thread->Join(-1), SYNC_OK);
        }
    }

private:
    static int Entry(void* self)
    {
        static_cast<Runner*>(self)->m_function();
        return 0;
    }
    std::function<void()> m_function;
    std::unique_ptr<CThread> m_thread;
};

// Holds a mutex on another thread until released.
class Holder {
public:
    explicit Holder(CMutex* mutex)
        : m_runner([this, mutex] {
              EXPECT_EQ(mutex->Lock(-1), SYNC_OK);
              m_locked.Set();
              m_release.Wait(-1);
              if (m_stopBeforeUnlock)
                  m_stopBeforeUnlock->Set();
              mutex->Unlock();
          })
    {
        EXPECT_EQ(m_locked.Wait(10000), SYNC_OK);
    }
    ~Holder() { Release(); }
    void Release() { m_release.Set(); }
    // Sets the stop event and unlocks right after, when released.
    void SetStopOnRelease(CEvent* stop) { m_stopBeforeUnlock = stop; }

private:
    CEvent m_locked;
    CEvent m_release;
    CEvent* m_stopBeforeUnlock = nullptr;
    Runner m_runner;
};

// What another thread gets when it tries the mutex without waiting; it
// unlocks again what it took.
int TryFromAnotherThread(CMutex& mutex)
{
    int result = 0;
    {
        Runner taker([&] {
            result = mutex.Lock(0);
            if (result == SYNC_OK)
                mutex.Unlock();
        });
    }
    return result;
}

// Sets an event from another thread after a delay, while the test waits.
class LateSetter {
public:
    LateSetter(CEvent* event, uint32_t delayMs)
        : m_runner([event, delayMs] {
              SleepMs(delayMs);
              event->Set();
          })
    {
    }

private:
    Runner m_runner;
};

} // namespace

TEST(Exception, Constructors)
{
    CExceptionEx empty;
    EXPECT_EQ(empty, CExceptionEx(0, 0, 0));

    errno = 0;
    CExceptionEx zero(1, 10);
    EXPECT_EQ(zero.GetError(), 0u);
    errno = ENOENT;
    CExceptionEx fromErrno(0x16, 317);
    EXPECT_EQ(fromErrno, CExceptionEx(0x16, 317, ENOENT));

    CExceptionEx wide(MODULE_SOCKETFACTORY, 0x10005, 0xF0000001);
    EXPECT_EQ(wide.GetModule(), 0x200);
    EXPECT_EQ(wide.GetLine(), 5);
    EXPECT_EQ(wide.GetError(), 0xF0000001u);
    CExceptionEx copy(wide);
    EXPECT_EQ(copy, wide);
    copy = fromErrno;
    EXPECT_EQ(copy, fromErrno);
}

TEST(Exception, ThrownAsPointerOwnedByCatcher)
{
    try {
        throw new CExceptionEx(MODULE_TCPSOCKET, 42, ERROR_TIMEOUT);
    } catch (CExceptionEx* error) {
        std::unique_ptr<CExceptionEx> owned(error);
        EXPECT_EQ(owned->GetModule(), 0x101);
        EXPECT_EQ(owned->GetError(), 1460u);
    }
}

// Wait results of CEvent::Wait and CEvent::WaitAbortable.
TEST(Event, WaitResults)
{
    enum Setup { CLEAR, SET, SET_DURING, STOP_BEFORE, STOP_DURING, SET_AND_STOP };
    struct Case {
        const char* name;
        Setup setup;
        bool abortable;
        int ms;
        int expected;
    };
    const Case cases[] = {
        {"clear, no wait", CLEAR, false, 0, SYNC_TIMEOUT},
        {"set, no wait", SET, false, 0, SYNC_OK},
        {"set, no limit", SET, false, -1, SYNC_OK},
        {"clear, 250 ms", CLEAR, false, 250, SYNC_TIMEOUT},
        {"set during the wait", SET_DURING, false, 20000, SYNC_OK},
        {"abortable clear, no wait", CLEAR, true, 0, SYNC_TIMEOUT},
        {"abortable set", SET, true, 0, SYNC_OK},
        {"abortable clear, 250 ms", CLEAR, true, 250, SYNC_TIMEOUT},
        {"abortable set during the wait", SET_DURING, true, 20000, SYNC_OK},
        {"stop set before", STOP_BEFORE, true, -1, SYNC_ABORTED},
        {"stop set during", STOP_DURING, true, -1, SYNC_ABORTED},
        {"stop wins over a set event", SET_AND_STOP, true, 0, SYNC_ABORTED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CEvent event;
        CEvent stop;
        std::unique_ptr<LateSetter> setter;
        if (c.setup == SET || c.setup == SET_AND_STOP)
            event.Set();
        if (c.setup == STOP_BEFORE || c.setup == SET_AND_STOP)
            stop.Set();
        if (c.setup == SET_DURING)
            setter = std::make_unique<LateSetter>(&event, 150);
        if (c.setup == STOP_DURING)
            setter = std::make_unique<LateSetter>(&stop, 150);

        uint32_t start = GetTickCountMs();
        int result = c.abortable ? event.WaitAbortable(&stop, c.ms) : event.Wait(c.ms);
        uint32_t elapsed = ElapsedMs(start);
        EXPECT_EQ(result, c.expected);
        if (c.expected == SYNC_TIMEOUT) {
            EXPECT_GE(elapsed, static_cast<uint32_t>(c.ms));
        }
        if (c.setup == SET_DURING || c.setup == STOP_DURING) {
            EXPECT_LT(elapsed, 20000u);
        }
        // Waiting never clears the event.
        if (c.setup == SET || c.setup == SET_DURING) {
            EXPECT_EQ(event.Wait(0), SYNC_OK);
        }
    }
}

TEST(Event, NullStopNeverAborts)
{
    CEvent event;
    EXPECT_EQ(event.WaitAbortable(nullptr, 0), SYNC_TIMEOUT);
    event.Set();
    EXPECT_EQ(event.WaitAbortable(nullptr, 0), SYNC_OK);
    event.Reset();
    EXPECT_EQ(event.Wait(0), SYNC_TIMEOUT);
}

// The flag publishes what the setter wrote before setting it.
TEST(Event, SetPublishesData)
{
    for (int round = 0; round < 20; round++) {
        CEvent ready;
        int value = 0;
        Runner writer([&] {
            value = round + 1;
            ready.Set();
        });
        ASSERT_EQ(ready.Wait(-1), SYNC_OK);
        EXPECT_EQ(value, round + 1);
    }
}

// Lock results against a mutex held by another thread.
TEST(Mutex, LockTimeoutsAndAborts)
{
    enum Stop { NONE, BEFORE, DURING };
    struct Case {
        const char* name;
        bool abortable;
        Stop stop;
        int ms;
        int expected;
    };
    const Case cases[] = {
        {"try once", false, NONE, 0, SYNC_TIMEOUT},
        {"timed", false, NONE, 300, SYNC_TIMEOUT},
        {"abortable, try once", true, NONE, 0, SYNC_TIMEOUT},
        {"abortable, timed over slices", true, NONE, 450, SYNC_TIMEOUT},
        {"stop set before", true, BEFORE, -1, SYNC_ABORTED},
        {"stop set during", true, DURING, -1, SYNC_ABORTED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CMutex mutex;
        CEvent stop;
        Holder holder(&mutex);
        if (c.stop == BEFORE)
            stop.Set();
        std::unique_ptr<LateSetter> setter;
        if (c.stop == DURING)
            setter = std::make_unique<LateSetter>(&stop, 250);
        uint32_t start = GetTickCountMs();
        int result = c.abortable ? mutex.LockAbortable(&stop, c.ms) : mutex.Lock(c.ms);
        uint32_t elapsed = ElapsedMs(start);
        EXPECT_EQ(result, c.expected);
        if (c.expected == SYNC_TIMEOUT) {
            EXPECT_GE(elapsed, static_cast<uint32_t>(c.ms));
        }
    }
}

TEST(Mutex, LockSucceedsWhenReleasedDuringWait)
{
    for (bool abortable : {false, true}) {
        SCOPED_TRACE(abortable ? "abortable" : "timed");
        CMutex mutex;
        CEvent stop;
        Holder holder(&mutex);
        CEvent release;
        Runner releaser([&] {
            SleepMs(250);
            holder.Release();
        });
        int result = abortable ? mutex.LockAbortable(&stop, 20000) : mutex.Lock(20000);
        EXPECT_EQ(result, SYNC_OK);
        if (result == SYNC_OK)
            mutex.Unlock();
    }
}

TEST(Mutex, AbortBeforeLeavesMutexUntouched)
{
    CMutex mutex;
    CEvent stop;
    stop.Set();
    EXPECT_EQ(mutex.LockAbortable(&stop, 1000), SYNC_ABORTED);
    // Still free: another thread can take it at once.
    EXPECT_EQ(TryFromAnotherThread(mutex), SYNC_OK);
}

// The holder sets the stop event and unlocks: whether the waiter's slice
// takes the mutex or times out, it answers SYNC_ABORTED and leaves the mutex
// free.
TEST(Mutex, StopSeenAfterSuccessfulSliceReleasesMutex)
{
    CMutex mutex;
    CEvent stop;
    {
        Holder holder(&mutex);
        holder.SetStopOnRelease(&stop);
        Runner releaser([&] {
            SleepMs(100);
            holder.Release();
        });
        EXPECT_EQ(mutex.LockAbortable(&stop, -1), SYNC_ABORTED);
    }
    EXPECT_EQ(TryFromAnotherThread(mutex), SYNC_OK);
}

// Timed locks take their deadline from the monotonic clock, so stepping the
// system clock cannot stretch or cut them.
TEST(Mutex, TimedLockUsesMonotonicClock)
{
    CMutex mutex;
    Holder holder(&mutex);
    int callsBefore = g_clocklockCalls;
    int timedBefore = g_timedlockCalls;
    EXPECT_EQ(mutex.Lock(50), SYNC_TIMEOUT);
    CEvent stop;
    EXPECT_EQ(mutex.LockAbortable(&stop, 50), SYNC_TIMEOUT);
    EXPECT_GE(g_clocklockCalls - callsBefore, 2);
    EXPECT_EQ(g_clocklockLastClock.load(), CLOCK_MONOTONIC);
    EXPECT_EQ(g_timedlockCalls - timedBefore, 0);
}

TEST(Mutex, ProtectsSharedCounterUnderAllLockKinds)
{
    CMutex mutex;
    CEvent stop;
    long counter = 0;
    std::vector<std::unique_ptr<Runner>> runners;
    for (int kind = 0; kind < 4; kind++) {
        runners.push_back(std::make_unique<Runner>([&, kind] {
            for (int i = 0; i < 2000; i++) {
                int result;
                switch (kind) {
                case 0: result = mutex.Lock(-1); break;
                case 1: result = mutex.Lock(10000); break;
                case 2: result = mutex.LockAbortable(&stop, -1); break;
                default:
                    do
                        result = mutex.Lock(0);
                    while (result != SYNC_OK);
                    break;
                }
                ASSERT_EQ(result, SYNC_OK);
                counter++;
                mutex.Unlock();
            }
        }));
    }
    runners.clear();
    EXPECT_EQ(counter, 8000);
}

TEST(Guard, MutexGuard)
{
    CMutex mutex;
    {
        CMutexGuard guard(&mutex);
        EXPECT_EQ(guard.Unlock(), 0); // never locked
        EXPECT_EQ(guard.Lock(0), SYNC_OK);
        EXPECT_EQ(mutex.Lock(0), SYNC_TIMEOUT);
        EXPECT_EQ(guard.Unlock(), 0);
        EXPECT_EQ(guard.Unlock(), 0);
        EXPECT_EQ(guard.LockAbortable(nullptr, 100), SYNC_OK);
    } // the destructor unlocks
    EXPECT_EQ(mutex.Lock(0), SYNC_OK);

    // A guard that never locked does not touch a mutex held elsewhere.
    {
        CMutexGuard idle(&mutex);
    }
    EXPECT_EQ(TryFromAnotherThread(mutex), SYNC_TIMEOUT);
    mutex.Unlock();
}

TEST(Guard, MutexGuardFailedLockLeavesGuardUnlocked)
{
    CMutex mutex;
    CEvent stop;
    Holder holder(&mutex);
    CMutexGuard guard(&mutex);
    EXPECT_EQ(guard.Lock(0), SYNC_TIMEOUT);
    stop.Set();
    EXPECT_EQ(guard.LockAbortable(&stop, 100), SYNC_ABORTED);
    EXPECT_EQ(guard.Unlock(), 0);
}

// CMutexAutoGuard throws CMutexAutoGuardException holding the lock result.
TEST(Guard, AutoGuardThrowsWithResult)
{
    struct Case {
        const char* name;
        bool held;
        bool stopSet;
        int ms;
        int expected; // SYNC_OK: no exception
    };
    const Case cases[] = {
        {"free mutex", false, false, 0, SYNC_OK},
        {"held, try once", true, false, 0, SYNC_TIMEOUT},
        {"held, timed", true, false, 250, SYNC_TIMEOUT},
        {"free mutex, stop set", false, true, 1000, SYNC_ABORTED},
        {"held, stop set", true, true, -1, SYNC_ABORTED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CMutex mutex;
        CEvent stop;
        if (c.stopSet)
            stop.Set();
        std::unique_ptr<Holder> holder;
        if (c.held)
            holder = std::make_unique<Holder>(&mutex);
        int result = SYNC_OK;
        try {
            CMutexAutoGuard guard(&mutex, &stop, c.ms);
            EXPECT_EQ(mutex.Lock(0), SYNC_TIMEOUT); // held by the guard
        } catch (CMutexAutoGuardException& error) {
            result = error.GetResult();
        }
        EXPECT_EQ(result, c.expected);
        holder.reset();
        // Whatever happened, the mutex is free again.
        EXPECT_EQ(mutex.Lock(0), SYNC_OK);
        mutex.Unlock();
    }
}

TEST(Guard, AutoGuardUnlockEarly)
{
    CMutex mutex;
    CMutexAutoGuard guard(&mutex, nullptr, -1);
    EXPECT_EQ(guard.Unlock(), 0);
    EXPECT_EQ(guard.Unlock(), 0);
    EXPECT_EQ(mutex.Lock(0), SYNC_OK);
    mutex.Unlock();
}

namespace {

struct Gate {
    CEvent started;
    CEvent go;
    CEvent finished;
    std::atomic<CThread*> self{nullptr};
    std::atomic<int> joinSelf{0};
};

int GatedThread(void* argument)
{
    Gate* gate = static_cast<Gate*>(argument);
    gate->started.Set();
    gate->go.Wait(-1);
    gate->finished.Set();
    return 7;
}

int SelfJoiningThread(void* argument)
{
    Gate* gate = static_cast<Gate*>(argument);
    while (gate->self.load() == nullptr)
        SleepMs(1);
    gate->joinSelf = gate->self.load()->Join(0);
    gate->finished.Set();
    return 0;
}

} // namespace

TEST(Thread, JoinResults)
{
    Gate gate;
    std::unique_ptr<CThread> thread(CThread::Create(GatedThread, &gate, CTHREAD_JOINABLE));
    ASSERT_NE(thread, nullptr);
    EXPECT_FALSE(thread->IsCurrentThread());
    ASSERT_EQ(gate.started.Wait(10000), SYNC_OK);

    EXPECT_EQ(thread->Join(0), SYNC_TIMEOUT); // running: one try
    uint32_t start = GetTickCountMs();
    EXPECT_EQ(thread->Join(35), SYNC_TIMEOUT);
    EXPECT_GE(ElapsedMs(start), 35u);

    gate.go.Set();
    EXPECT_EQ(thread->Join(20000), SYNC_OK);
    EXPECT_TRUE(gate.finished.IsSet());
    EXPECT_EQ(thread->Join(0), SYNC_OK); // again: the thread is not touched
    thread.reset(); // joined: the destructor does nothing more
}

TEST(Thread, JoinOfEndedThreadAndUnlimitedJoin)
{
    Gate gate;
    gate.go.Set();
    std::unique_ptr<CThread> thread(CThread::Create(GatedThread, &gate, CTHREAD_JOINABLE));
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(thread->Join(-1), SYNC_OK);
}

TEST(Thread, JoinOfItselfFails)
{
    Gate gate;
    std::unique_ptr<CThread> thread(CThread::Create(SelfJoiningThread, &gate, CTHREAD_JOINABLE));
    ASSERT_NE(thread, nullptr);
    gate.self = thread.get();
    ASSERT_EQ(gate.finished.Wait(10000), SYNC_OK);
    EXPECT_EQ(gate.joinSelf.load(), SYNC_ERROR);
    EXPECT_EQ(thread->Join(-1), SYNC_OK);
}

// A thread created without CTHREAD_JOINABLE is detached when its object goes
// while it runs, and runs on to its end.
TEST(Thread, NonJoinableDetachesOnDestruction)
{
    Gate gate;
    CThread* thread = CThread::Create(GatedThread, &gate, 0);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(gate.started.Wait(10000), SYNC_OK);
    delete thread;
    gate.go.Set();
    EXPECT_EQ(gate.finished.Wait(10000), SYNC_OK);
}

namespace {

struct SelfDelete {
    std::atomic<CThread*> self{nullptr};
    CEvent done;
};

int SelfDeletingThread(void* argument)
{
    SelfDelete* state = static_cast<SelfDelete*>(argument);
    while (state->self.load() == nullptr)
        SleepMs(1);
    EXPECT_TRUE(state->self.load()->IsCurrentThread());
    delete state->self.load(); // on its own thread: detaches, even joinable
    state->done.Set();
    return 0;
}

} // namespace

TEST(Thread, JoinableDeletedOnItsOwnThreadDetaches)
{
    SelfDelete state;
    CThread* thread = CThread::Create(SelfDeletingThread, &state, CTHREAD_JOINABLE);
    ASSERT_NE(thread, nullptr);
    state.self = thread;
    EXPECT_EQ(state.done.Wait(10000), SYNC_OK);
}

TEST(ThreadDeathTest, JoinableDestroyedWhileRunningStopsProgram)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            Gate gate;
            CThread* thread = CThread::Create(GatedThread, &gate, CTHREAD_JOINABLE);
            gate.started.Wait(10000);
            delete thread;
        },
        "sys/thread:76.*Assertion `false' failed");
}

TEST(Atomic, ConcurrentCounting)
{
    CAtomic<int> counter(5);
    EXPECT_EQ(counter.Increment(), 6);
    EXPECT_EQ(counter.Decrement(), 5);
    EXPECT_EQ(counter.CompareExchange(4, 100), 5); // mismatch: unchanged
    EXPECT_EQ(counter.Get(), 5);
    EXPECT_EQ(counter.CompareExchange(5, 0), 5);
    EXPECT_EQ(counter.Get(), 0);
    {
        std::vector<std::unique_ptr<Runner>> runners;
        for (int t = 0; t < 4; t++)
            runners.push_back(std::make_unique<Runner>([&] {
                for (int i = 0; i < 10000; i++) {
                    counter.Increment();
                    counter.Increment();
                    counter.Decrement();
                }
            }));
    }
    EXPECT_EQ(counter.Get(), 40000);
}

TEST(Rundown, Sequence)
{
    struct Step {
        enum { ACQUIRE, RELEASE, CLOSE } op;
        int expected;
    };
    const Step steps[] = {
        {Step::ACQUIRE, 2}, {Step::ACQUIRE, 3}, {Step::RELEASE, 2}, {Step::CLOSE, 1},
        {Step::CLOSE, 0},   {Step::ACQUIRE, 0}, {Step::RELEASE, 1}, {Step::RELEASE, 0},
        {Step::ACQUIRE, 0},
    };
    CRundown rundown(1);
    int index = 0;
    for (const Step& step : steps) {
        SCOPED_TRACE(index++);
        int result = step.op == Step::ACQUIRE ? rundown.Acquire()
                     : step.op == Step::RELEASE ? rundown.Release()
                                                : rundown.Close();
        EXPECT_EQ(result, step.expected);
    }
}

// Users acquire and release while another thread closes: no acquire succeeds
// after the close, and the count drains to zero.
TEST(Rundown, ConcurrentClose)
{
    CRundown rundown(1);
    std::atomic<int> acquiredAfterClose{0};
    std::atomic<bool> closed{false};
    {
        std::vector<std::unique_ptr<Runner>> runners;
        for (int t = 0; t < 4; t++)
            runners.push_back(std::make_unique<Runner>([&] {
                for (int i = 0; i < 20000; i++) {
                    bool wasClosed = closed.load();
                    if (rundown.Acquire() == 0)
                        continue;
                    if (wasClosed)
                        acquiredAfterClose++;
                    rundown.Release();
                }
            }));
        runners.push_back(std::make_unique<Runner>([&] {
            SleepMs(5);
            EXPECT_EQ(rundown.Close(), 1);
            closed = true;
        }));
    }
    EXPECT_EQ(acquiredAfterClose.load(), 0);
    EXPECT_EQ(rundown.Release(), 0); // the owner's own reference
    EXPECT_EQ(rundown.Acquire(), 0);
}

TEST(Tick, TimeToTickWrapsAround)
{
    struct Case {
        time_t seconds;
        long nanoseconds;
        uint32_t expected;
    };
    const Case cases[] = {
        {0, 0, 0},
        {0, 999999, 0},
        {1, 999999999, 1999},
        {4294967, 295000000, 4294967295u},
        {4294967, 296000000, 0},
        {4294968, 0, 704},
        {8589934, 592000000, 0}, // two full turns
    };
    for (const Case& c : cases) {
        timespec time{c.seconds, c.nanoseconds};
        EXPECT_EQ(TimeToTickMs(time), c.expected) << c.seconds << "s " << c.nanoseconds << "ns";
    }
    // A difference across the wrap is the elapsed time.
    uint32_t before = TimeToTickMs(timespec{4294967, 290000000});
    uint32_t after = TimeToTickMs(timespec{4294967, 310000000});
    EXPECT_EQ(after - before, 20u);
}

TEST(Tick, FollowsMonotonicClock)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint32_t expected = TimeToTickMs(now);
    uint32_t tick = GetTickCountMs();
    EXPECT_LT(tick - expected, 1000u);
    SleepMs(30);
    EXPECT_GE(GetTickCountMs() - tick, 30u);
}

namespace {

std::atomic<int> g_signals{0};

void CountSignal(int)
{
    g_signals++;
}

} // namespace

// Signals interrupt nanosleep; SleepMs sleeps on for the rest of the time.
TEST(Sleep, ResumesAfterSignals)
{
    struct sigaction action {};
    action.sa_handler = CountSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

    pthread_t sleeper = pthread_self();
    CEvent done;
    uint32_t elapsed = 0;
    {
        Runner signaller([&] {
            while (done.Wait(20) != SYNC_OK)
                pthread_kill(sleeper, SIGUSR1);
        });
        uint32_t start = GetTickCountMs();
        SleepMs(300);
        elapsed = ElapsedMs(start);
        done.Set();
    }
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_GT(g_signals.load(), 0);
    EXPECT_GE(elapsed, 300u);
}
