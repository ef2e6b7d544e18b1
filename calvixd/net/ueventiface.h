// CUEventIface: listens to the kernel's device events (uevents) on a
// netlink socket, on a thread of its own, and hands each parsed message to
// the derived class. The listener calls OnUEvent until StopListener
// returns, so StopListener is called before the object's destruction begins.
#pragma once

#include <pthread.h>

#include <atomic>
#include <exception>

#include "calvixd/net/uevent.h"
#include "sys/thread"

constexpr size_t UEVENT_BUFFER_SIZE = 4096;
// How long the listener waits for a message before it looks at the stop flag.
constexpr int UEVENT_POLL_MS = 20;

class CUEventIface {
public:
    // Throws std::bad_alloc when the receive buffer cannot be allocated.
    CUEventIface();
    virtual ~CUEventIface();
    CUEventIface(const CUEventIface&) = delete;
    CUEventIface& operator=(const CUEventIface&) = delete;

    // Opens the socket and starts the listener thread. False with errno set
    // when either fails (nothing is left open then).
    bool StartListener();
    // Stops and joins the listener when one was started and not joined yet;
    // returns within one poll slice plus the running handler.
    void StopListener();

protected:
    // On the listener thread, once per parsed message.
    virtual void OnUEvent(const UEvent& event) = 0;
    // The listener loop ended by an exception; the thread returns after the
    // call and no new listener is started.
    virtual void OnUnknownError() {}
    // Takes the record and deletes it.
    virtual void OnError(CExceptionEx* error) { delete error; }
    virtual void OnBadAlloc() {}
    virtual void OnStdException(const std::exception&) {}

private:
    static void* ListenerEntry(void* self);
    // Runs until the stop flag is set or an exception ends it; closes the
    // socket on every way out.
    void ListenerMain();
    void ListenerLoop();

    std::atomic<int> m_stop{0};
    pthread_t m_thread{};
    bool m_started = false; // a thread was started and is not joined yet
    char* m_buffer;
    // Opened by StartListener; from the thread's start on the listener alone
    // uses and closes it.
    int m_socket = -1;
};

// socket(AF_NETLINK, SOCK_DGRAM, NETLINK_KOBJECT_UEVENT) bound to the
// process id and the kernel's group 1. The descriptor or -errno.
int OpenUEventSocket();
