// Message queues made by a test live in a private IPC namespace, never in
// the machine's own.
#pragma once

#include <sched.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include <gtest/gtest.h>

inline bool EnterPrivateIpcNamespace()
{
    static bool entered = unshare(CLONE_NEWIPC) == 0;
    return entered;
}

inline unsigned long QueueLength(int id)
{
    struct msqid_ds status;
    if (msgctl(id, IPC_STAT, &status) != 0)
        return ~0UL;
    return status.msg_qnum;
}

inline bool QueueExists(int id)
{
    struct msqid_ds status;
    return msgctl(id, IPC_STAT, &status) == 0;
}
