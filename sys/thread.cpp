// Threads and synchronisation: polled waits, timed and abortable locks,
// thread objects, rundown, tick and sleep.
// The destructor of a running joinable thread reports through the assertion
// machinery in every build.
#undef NDEBUG
#include <assert.h>

#include "sys/thread"

#include <errno.h>

#include <algorithm>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace {

constexpr int WAIT_SLICE_MS = 100;
constexpr int LOCK_SLICE_MS = 200;
constexpr int JOIN_POLL_MS = 10;

struct THREAD_START_BLOCK {
    THREAD_FUNCTION function;
    void* argument;
};

bool IsFlagSet(SYNC_FLAG* flag)
{
    return flag != nullptr && flag->load() != 0;
}

// Takes the next slice of a wait: the whole slice when there is no limit,
// else at most what is left, which is reduced by it.
int NextSlice(int& ms, int slice)
{
    if (ms < 0)
        return slice;
    int step = std::min(slice, ms);
    ms -= step;
    return step;
}

// pthread_mutex_clocklock waits on CLOCK_MONOTONIC. ThreadSanitizer (GCC 12)
// does not intercept it, so tell it about the lock ourselves; otherwise the
// intercepted unlock would be an unlock of a mutex it never saw locked.
int ClockLock(pthread_mutex_t* mutex, const timespec* deadline)
{
#if defined(__SANITIZE_THREAD__)
    __tsan_mutex_pre_lock(mutex, __tsan_mutex_try_lock);
    int rc = pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, deadline);
    __tsan_mutex_post_lock(mutex, rc == 0 ? __tsan_mutex_try_lock : __tsan_mutex_try_lock | __tsan_mutex_try_lock_failed, 0);
    return rc;
#else
    return pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, deadline);
#endif
}

} // namespace

int WaitForFlag(SYNC_FLAG* flag, int ms)
{
    while (flag->load() == 0) {
        int slice = NextSlice(ms, WAIT_SLICE_MS);
        SleepMs(static_cast<uint32_t>(slice));
        // A flag set during the last slice is not looked at again.
        if (ms == 0)
            return SYNC_TIMEOUT;
    }
    return SYNC_OK;
}

int WaitForFlagAbortable(SYNC_FLAG* flag, SYNC_FLAG* stop, int ms)
{
    if (IsFlagSet(stop))
        return SYNC_ABORTED;
    do {
        int slice = NextSlice(ms, WAIT_SLICE_MS);
        int result = WaitForFlag(flag, slice);
        if (IsFlagSet(stop))
            return SYNC_ABORTED;
        if (result != SYNC_TIMEOUT)
            return result;
    } while (ms != 0);
    return SYNC_TIMEOUT;
}

int LockMutex(pthread_mutex_t* mutex, int ms)
{
    int rc;
    if (ms == 0) {
        rc = pthread_mutex_trylock(mutex);
    } else if (ms < 0) {
        rc = pthread_mutex_lock(mutex);
    } else {
        timespec deadline;
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += ms / 1000;
        deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000L;
        }
        rc = ClockLock(mutex, &deadline);
    }
    return rc == 0 ? SYNC_OK : SYNC_TIMEOUT;
}

int LockMutexAbortable(pthread_mutex_t* mutex, SYNC_FLAG* stop, int ms)
{
    if (IsFlagSet(stop))
        return SYNC_ABORTED;
    do {
        int slice = NextSlice(ms, LOCK_SLICE_MS);
        int result = LockMutex(mutex, slice);
        if (IsFlagSet(stop)) {
            if (result == SYNC_OK)
                pthread_mutex_unlock(mutex);
            return SYNC_ABORTED;
        }
        if (result != SYNC_TIMEOUT)
            return result;
    } while (ms != 0);
    return SYNC_TIMEOUT;
}

int UnlockMutex(pthread_mutex_t* mutex)
{
    return pthread_mutex_unlock(mutex);
}

void SetFlag(SYNC_FLAG* flag)
{
    flag->store(1);
}

void ResetFlag(SYNC_FLAG* flag)
{
    flag->store(0);
}

uint32_t TimeToTickMs(const struct timespec& time)
{
    // Unsigned arithmetic: the tick wraps to 0 after 2^32 ms.
    return static_cast<uint32_t>(static_cast<uint64_t>(time.tv_sec) * 1000u +
                                 static_cast<uint64_t>(time.tv_nsec) / 1000000u);
}

uint32_t GetTickCountMs()
{
    timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0)
        return static_cast<uint32_t>(static_cast<uint64_t>(::time(nullptr)) * 1000u);
    return TimeToTickMs(now);
}

void SleepMs(uint32_t ms)
{
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

CMutex::CMutex()
{
    if (pthread_mutex_init(&m_mutex, nullptr) != 0)
        throw std::exception();
}

CMutex::~CMutex()
{
    pthread_mutex_destroy(&m_mutex);
}

int CMutexGuard::Lock(int ms)
{
    int result = m_mutex->Lock(ms);
    if (result == SYNC_OK)
        m_locked = true;
    return result;
}

int CMutexGuard::LockAbortable(CEvent* stop, int ms)
{
    int result = m_mutex->LockAbortable(stop, ms);
    if (result == SYNC_OK)
        m_locked = true;
    return result;
}

int CMutexGuard::Unlock()
{
    if (!m_locked)
        return 0;
    m_locked = false;
    return m_mutex->Unlock();
}

CMutexAutoGuard::CMutexAutoGuard(CMutex* mutex, CEvent* stop, int ms) : m_mutex(mutex), m_locked(false)
{
    int result = m_mutex->LockAbortable(stop, ms);
    if (result != SYNC_OK)
        throw CMutexAutoGuardException(result);
    m_locked = true;
}

int CMutexAutoGuard::Unlock()
{
    if (!m_locked)
        return 0;
    m_locked = false;
    return m_mutex->Unlock();
}

CThread::CThread(THREAD_FUNCTION function, void* argument, uint32_t flags) : m_thread(), m_flags(flags), m_joined(false)
{
    THREAD_START_BLOCK* block = new THREAD_START_BLOCK{function, argument};
    if (pthread_create(&m_thread, nullptr, ThreadEntry, block) != 0) {
        delete block;
        throw std::exception();
    }
}

CThread* CThread::Create(THREAD_FUNCTION function, void* argument, uint32_t flags)
{
    try {
        return new CThread(function, argument, flags);
    } catch (...) {
        return nullptr;
    }
}

void* CThread::ThreadEntry(void* block)
{
    // The block belongs to this thread from its first instruction.
    THREAD_START_BLOCK* start = static_cast<THREAD_START_BLOCK*>(block);
    int result = start->function(start->argument);
    delete start;
    return reinterpret_cast<void*>(static_cast<intptr_t>(result));
}

int CThread::Join(int ms)
{
    // A second join would hand a released thread id to pthread; a thread
    // joining itself would wait forever.
    if (m_joined)
        return SYNC_OK;
    if (IsCurrentThread())
        return SYNC_ERROR;
    for (;;) {
        int rc = pthread_tryjoin_np(m_thread, nullptr);
        if (rc == 0) {
            m_joined = true;
            return SYNC_OK;
        }
        if (rc != EBUSY)
            return SYNC_ERROR;
        int step = ms < 0 ? JOIN_POLL_MS : std::min(JOIN_POLL_MS, ms);
        SleepMs(static_cast<uint32_t>(step));
        if (ms >= 0) {
            ms -= step;
            if (ms == 0)
                return SYNC_TIMEOUT;
        }
    }
}

bool CThread::IsCurrentThread() const
{
    return pthread_equal(pthread_self(), m_thread) != 0;
}

CThread::~CThread()
{
    if (m_joined)
        return;
    if (IsCurrentThread() || !(m_flags & CTHREAD_JOINABLE)) {
        pthread_detach(m_thread);
        return;
    }
    // A joinable thread must have been joined, or have ended, by now; one
    // still running would outlive the object that owns it. Stop the program
    // whatever NDEBUG says.
    if (Join(0) != SYNC_OK)
        __assert_fail("false", "sys/thread", 76, __PRETTY_FUNCTION__);
}

int CRundown::Acquire()
{
    for (;;) {
        int value = m_count.Get();
        // A full count would run into the closing bit: refuse like a close.
        if (value < 0 || value == 0x7FFFFFFF)
            return 0;
        if (m_count.CompareExchange(value, value + 1) == value)
            return value + 1;
    }
}

int CRundown::Release()
{
    return static_cast<int>(static_cast<uint32_t>(m_count.Decrement()) & 0x7FFFFFFFu);
}

int CRundown::Close()
{
    for (;;) {
        int value = m_count.Get();
        int closed = static_cast<int>(static_cast<uint32_t>(value) | 0x80000000u);
        if (m_count.CompareExchange(value, closed) == value)
            return value < 0 ? 0 : 1;
    }
}
