#include "ovusbd/usb/enumerationworker.h"

#include <pthread.h>
#include <string.h>

#include "ovusbd/core/log.h"
#include "ovusbd/usb/discovery.h"

namespace {

// All guarded by workerMutex.
pthread_mutex_t workerMutex = PTHREAD_MUTEX_INITIALIZER;
bool accepting = false;
bool pending = false;     // a pass was asked for and has not started
bool running = false;     // the worker is in its loop
bool joinable = false;    // worker holds a thread not yet joined
pthread_t worker;

void* enumerationThread(void*) {
    pthread_mutex_lock(&workerMutex);
    while (pending && accepting) {
        pending = false;
        pthread_mutex_unlock(&workerMutex);
        enumerateUsbDevices();
        pthread_mutex_lock(&workerMutex);
    }
    running = false;
    pthread_mutex_unlock(&workerMutex);
    return nullptr;
}

}  // namespace

void startEnumerationWorker() {
    pthread_mutex_lock(&workerMutex);
    accepting = true;
    pthread_mutex_unlock(&workerMutex);
}

void requestUsbEnumeration() {
    pthread_mutex_lock(&workerMutex);
    if (!accepting) {
        pthread_mutex_unlock(&workerMutex);
        logMessage(7, "Enumeration not started: discovery is not running");
        return;
    }
    pending = true;
    if (!running) {
        // The previous worker has left its loop; joining it is immediate.
        if (joinable) {
            pthread_join(worker, nullptr);
            joinable = false;
        }
        const int rc = pthread_create(&worker, nullptr, enumerationThread, nullptr);
        if (rc == 0) {
            running = true;
            joinable = true;
        } else {
            pending = false;
            logMessage(3, "Error %d starting the enumeration thread, %s", rc, strerror(rc));
        }
    }
    pthread_mutex_unlock(&workerMutex);
}

void stopEnumerationWorker() {
    pthread_mutex_lock(&workerMutex);
    accepting = false;
    pending = false;
    const bool join = joinable;
    const pthread_t thread = worker;
    joinable = false;
    pthread_mutex_unlock(&workerMutex);
    if (join) {
        pthread_join(thread, nullptr);
    }
}
