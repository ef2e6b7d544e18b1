#include "ovusbd/core/framebudget.h"

#include <pthread.h>
#include <time.h>

#include "ovusbd/core/util.h"

namespace {

constexpr long kStopCheckMs = 100;

// One for the process: every receive thread draws on the same bytes.
struct FrameBudget {
    pthread_mutex_t mutex;  // guards the fields below; never held while stop is asked
    pthread_cond_t returned;  // CLOCK_MONOTONIC; signalled when bytes come back
    size_t limit;
    size_t inUse;
    size_t peak;
    int waiters;
};

FrameBudget budget = {PTHREAD_MUTEX_INITIALIZER, {}, kDefaultFrameBudget, 0, 0, 0};
pthread_once_t condOnce = PTHREAD_ONCE_INIT;

void initCondition() {
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&budget.returned, &attributes);
    pthread_condattr_destroy(&attributes);
}

template <typename T>
T readLocked(const T& field) {
    pthread_mutex_lock(&budget.mutex);
    const T value = field;
    pthread_mutex_unlock(&budget.mutex);
    return value;
}

bool fits(size_t bytes) {
    return budget.inUse == 0 || (bytes <= budget.limit && budget.inUse <= budget.limit - bytes);
}

} // namespace

bool takeFrameBudget(size_t bytes, FrameBudgetStop stop) {
    pthread_once(&condOnce, initCondition);
    pthread_mutex_lock(&budget.mutex);
    while (!fits(bytes)) {
        const timespec until = monotonicDeadline(kStopCheckMs);
        budget.waiters++;
        const int rc = pthread_cond_timedwait(&budget.returned, &budget.mutex, &until);
        budget.waiters--;
        if (rc == 0 && fits(bytes)) {
            break;
        }
        // The stop check takes the connection-list lock: asked unlocked, so
        // no lock order ties this mutex to that one.
        pthread_mutex_unlock(&budget.mutex);
        if (stop.stopped != nullptr && stop.stopped(stop.argument)) {
            return false;
        }
        pthread_mutex_lock(&budget.mutex);
    }
    budget.inUse += bytes;
    if (budget.inUse > budget.peak) {
        budget.peak = budget.inUse;
    }
    pthread_mutex_unlock(&budget.mutex);
    return true;
}

void returnFrameBudget(size_t bytes) {
    if (bytes == 0) {
        return;
    }
    pthread_once(&condOnce, initCondition);
    pthread_mutex_lock(&budget.mutex);
    budget.inUse -= bytes;
    // Every waiter: the bytes back may fit several smaller frames.
    pthread_cond_broadcast(&budget.returned);
    pthread_mutex_unlock(&budget.mutex);
}

void setFrameBudgetLimit(size_t bytes) {
    pthread_once(&condOnce, initCondition);
    pthread_mutex_lock(&budget.mutex);
    budget.limit = bytes;
    pthread_cond_broadcast(&budget.returned);
    pthread_mutex_unlock(&budget.mutex);
}

size_t frameBudgetLimit() {
    return readLocked(budget.limit);
}

size_t frameBudgetInUse() {
    return readLocked(budget.inUse);
}

size_t frameBudgetPeak() {
    return readLocked(budget.peak);
}

void resetFrameBudgetPeak() {
    pthread_mutex_lock(&budget.mutex);
    budget.peak = budget.inUse;
    pthread_mutex_unlock(&budget.mutex);
}

int frameBudgetWaiters() {
    return readLocked(budget.waiters);
}
