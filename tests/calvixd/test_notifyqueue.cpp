#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "calvixd/core/usbcore.h"
#include "tests/calvixd/fakes.h"
#include "tests/calvixd/ipcnamespace.h"

namespace {

struct ucred Peer(uid_t uid)
{
    struct ucred peer = {1234, uid, uid};
    return peer;
}

struct QueueFixture : ::testing::Test {
    CoreJournal journal;
    CFakeFactory factory{&journal};
    std::unique_ptr<CUsbCore> core;
    std::vector<int> made;

    void SetUp() override
    {
        if (!EnterPrivateIpcNamespace())
            GTEST_SKIP() << "needs root for a private IPC namespace";
        core = std::make_unique<CUsbCore>(nullptr, &factory);
    }
    void TearDown() override
    {
        core.reset();
        for (int id : made)
            msgctl(id, IPC_RMID, nullptr);
    }

    // A queue created by creator (in a child that takes that uid) and then
    // given to owner.
    int MakeQueue(uid_t creator = 0, uid_t owner = 0)
    {
        int id = -1;
        if (creator == 0) {
            id = msgget(IPC_PRIVATE, IPC_CREAT | 0600);
        } else {
            int pipeFds[2];
            EXPECT_EQ(pipe(pipeFds), 0);
            pid_t child = fork();
            if (child == 0) {
                int made = -1;
                if (setresgid(creator, creator, creator) == 0 && setresuid(creator, creator, creator) == 0)
                    made = msgget(IPC_PRIVATE, IPC_CREAT | 0666);
                (void)!write(pipeFds[1], &made, sizeof(made));
                _exit(0);
            }
            close(pipeFds[1]);
            EXPECT_EQ(read(pipeFds[0], &id, sizeof(id)), static_cast<ssize_t>(sizeof(id)));
            close(pipeFds[0]);
            waitpid(child, nullptr, 0);
        }
        EXPECT_GE(id, 0);
        struct msqid_ds status;
        EXPECT_EQ(msgctl(id, IPC_STAT, &status), 0);
        status.msg_perm.uid = owner;
        EXPECT_EQ(msgctl(id, IPC_SET, &status), 0);
        made.push_back(id);
        return id;
    }
};

} // namespace

TEST_F(QueueFixture, RegistrationNeedsOwnerCreatorOrRoot)
{
    struct Case {
        const char* name;
        uid_t creator;
        uid_t owner;
        uid_t peer;
        bool accepted;
    };
    const Case cases[] = {
        {"owner", 0, 1001, 1001, true},
        {"creator", 1002, 2002, 1002, true},
        {"root may name any queue", 1003, 2003, 0, true},
        {"another user's queue", 1004, 2004, 3000, false},
        {"root's queue", 0, 0, 3000, false},
    };
    for (const Case& c : cases) {
        int queue = MakeQueue(c.creator, c.owner);
        try {
            EXPECT_EQ(core->RegisterNotifyQueue(queue, Peer(c.peer)), 1) << c.name;
            EXPECT_TRUE(c.accepted) << c.name;
        } catch (CExceptionEx* error) {
            EXPECT_FALSE(c.accepted) << c.name;
            EXPECT_EQ(error->GetModule(), MODULE_USBCORE) << c.name;
            EXPECT_EQ(error->GetError(), ERROR_ACCESS_DENIED) << c.name;
            delete error;
        }
        std::vector<int> listed = core->GetNotifyQueues();
        EXPECT_EQ(std::count(listed.begin(), listed.end(), queue), c.accepted ? 1 : 0) << c.name;
        // A refused queue is never written to by a notification.
        core->NotifyListeners();
        EXPECT_EQ(QueueLength(queue), c.accepted ? 1u : 0u) << c.name;
    }
}

TEST_F(QueueFixture, QueueThatDoesNotExistIsRefused)
{
    int queue = MakeQueue();
    msgctl(queue, IPC_RMID, nullptr);
    try {
        core->RegisterNotifyQueue(queue, Peer(0));
        ADD_FAILURE() << "accepted a missing queue";
    } catch (CExceptionEx* error) {
        EXPECT_EQ(error->GetError(), ERROR_INVALID_PARAMETER);
        delete error;
    }
    EXPECT_TRUE(core->GetNotifyQueues().empty());
}

TEST_F(QueueFixture, DuplicatesAndUnknownIds)
{
    int first = MakeQueue();
    int second = MakeQueue();
    EXPECT_EQ(core->RegisterNotifyQueue(first, Peer(0)), 1);
    EXPECT_EQ(core->RegisterNotifyQueue(second, Peer(0)), 1);
    EXPECT_EQ(core->RegisterNotifyQueue(first, Peer(0)), 1);
    EXPECT_EQ(core->GetNotifyQueues(), (std::vector<int>{first, second}));
    core->NotifyListeners();
    EXPECT_EQ(QueueLength(first), 1u);
    EXPECT_EQ(QueueLength(second), 1u);

    EXPECT_NO_THROW(core->UnregisterNotifyQueue(999999, Peer(0)));
    core->UnregisterNotifyQueue(first, Peer(0));
    EXPECT_EQ(core->GetNotifyQueues(), (std::vector<int>{second}));
    core->ClearNotifyQueues();
    EXPECT_TRUE(core->GetNotifyQueues().empty());
}

TEST_F(QueueFixture, UnregisterFollowsTheSameRule)
{
    int queue = MakeQueue(0, 1001);
    core->RegisterNotifyQueue(queue, Peer(1001));
    try {
        core->UnregisterNotifyQueue(queue, Peer(3000));
        ADD_FAILURE() << "another user removed the registration";
    } catch (CExceptionEx* error) {
        EXPECT_EQ(error->GetError(), ERROR_ACCESS_DENIED);
        delete error;
    }
    EXPECT_EQ(core->GetNotifyQueues().size(), 1u);
    // Once the queue is gone there is nothing left to protect.
    msgctl(queue, IPC_RMID, nullptr);
    EXPECT_NO_THROW(core->UnregisterNotifyQueue(queue, Peer(3000)));
    EXPECT_TRUE(core->GetNotifyQueues().empty());
}

TEST_F(QueueFixture, VanishedQueueIsDropped)
{
    int gone = MakeQueue();
    int kept = MakeQueue();
    core->RegisterNotifyQueue(gone, Peer(0));
    core->RegisterNotifyQueue(kept, Peer(0));
    msgctl(gone, IPC_RMID, nullptr);
    core->NotifyListeners();
    EXPECT_EQ(core->GetNotifyQueues(), (std::vector<int>{kept}));
    EXPECT_EQ(QueueLength(kept), 1u);
}

TEST_F(QueueFixture, FullQueueIsRemovedAtOnce)
{
    int full = MakeQueue();
    int kept = MakeQueue();
    // Room for exactly one empty message.
    struct msqid_ds status;
    ASSERT_EQ(msgctl(full, IPC_STAT, &status), 0);
    status.msg_qbytes = 1;
    ASSERT_EQ(msgctl(full, IPC_SET, &status), 0);
    core->RegisterNotifyQueue(full, Peer(0));
    core->RegisterNotifyQueue(kept, Peer(0));
    core->NotifyListeners();
    EXPECT_EQ(QueueLength(full), 1u);
    core->NotifyListeners();
    EXPECT_FALSE(QueueExists(full));
    EXPECT_EQ(core->GetNotifyQueues(), (std::vector<int>{kept}));
    EXPECT_EQ(QueueLength(kept), 2u);
}

TEST_F(QueueFixture, UnreadQueueIsRemovedAfterFiftyNotifications)
{
    int unread = MakeQueue();
    int read = MakeQueue();
    core->RegisterNotifyQueue(unread, Peer(0));
    core->RegisterNotifyQueue(read, Peer(0));
    for (unsigned long i = 1; i <= NOTIFY_QUEUE_LIMIT; i++) {
        core->NotifyListeners();
        CORE_NOTIFY_MESSAGE message;
        ASSERT_EQ(msgrcv(read, &message, 0, 0, IPC_NOWAIT), 0);
        EXPECT_EQ(message.type, 1);
    }
    EXPECT_EQ(QueueLength(unread), NOTIFY_QUEUE_LIMIT);
    EXPECT_EQ(core->GetNotifyQueues().size(), 2u);
    core->NotifyListeners();
    EXPECT_FALSE(QueueExists(unread));
    EXPECT_EQ(core->GetNotifyQueues(), (std::vector<int>{read}));
    EXPECT_TRUE(QueueExists(read));
}
