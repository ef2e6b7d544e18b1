#include "ovusbd/core/lockedlist.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <chrono>
#include <thread>
#include <vector>

namespace {

// Items are small integers cast to pointers; key is the wanted value.
void* item(intptr_t value) { return reinterpret_cast<void*>(value); }
intptr_t value(void* item) { return reinterpret_cast<intptr_t>(item); }

bool equalsKey(void* it, const void* key) { return value(it) == *static_cast<const intptr_t*>(key); }
bool isEven(void* it, const void*) { return value(it) % 2 == 0; }

void collect(void* it, void* out) { static_cast<std::vector<intptr_t>*>(out)->push_back(value(it)); }

void recordDestroyed(void* it, void* arg) { static_cast<std::vector<intptr_t>*>(arg)->push_back(value(it)); }

std::vector<intptr_t> contents(LockedList* list) {
  std::vector<intptr_t> out;
  forEachInLockedList(list, nullptr, collect, nullptr, &out, 0);
  return out;
}

class LockedListTest : public ::testing::Test {
 protected:
  void SetUp() override { list = createLockedList(); ASSERT_NE(list, nullptr); }
  void TearDown() override {
    clearLockedList(list, nullptr);
    destroyLockedList(list);
  }
  void fill(std::initializer_list<intptr_t> values) {
    for (intptr_t v : values) ASSERT_EQ(appendToLockedList(list, item(v)), 0);
  }
  LockedList* list = nullptr;
};

// Waits with a deadline for a condition another thread makes true.
template <typename F>
bool eventually(F condition) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

pid_t currentTid() { return static_cast<pid_t>(syscall(SYS_gettid)); }

// True once the thread sleeps in the kernel (state S), i.e. it is blocked in
// its condition wait rather than still on its way there.
bool threadIsBlocked(pid_t tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  size_t paren = text.rfind(')');
  return paren != std::string::npos && paren + 2 < text.size() && text[paren + 2] == 'S';
}

TEST_F(LockedListTest, AppendKeepsOrderAndCounts) {
  EXPECT_EQ(countLockedList(list), 0u);
  fill({1, 2, 3});
  ASSERT_EQ(appendToLockedList(list, nullptr), 0);  // a null item is an item
  EXPECT_EQ(countLockedList(list), 4u);
  EXPECT_EQ(contents(list), (std::vector<intptr_t>{1, 2, 3, 0}));
}

TEST_F(LockedListTest, FindAndForEach) {
  fill({5, 6, 7, 8});
  intptr_t present = 7, absent = 9;
  EXPECT_TRUE(findInLockedList(list, equalsKey, &present));
  EXPECT_FALSE(findInLockedList(list, equalsKey, &absent));

  std::vector<intptr_t> even;
  forEachInLockedList(list, isEven, collect, nullptr, &even, 0);
  EXPECT_EQ(even, (std::vector<intptr_t>{6, 8}));

  // firstOnly stops after the first item the action ran on, wherever it is.
  std::vector<intptr_t> first;
  forEachInLockedList(list, equalsKey, collect, &present, &first, 1);
  EXPECT_EQ(first, (std::vector<intptr_t>{7}));
}

TEST_F(LockedListTest, RemoveTakesEveryMatchAndHandsItToTheDestructor) {
  fill({1, 2, 3, 2, 4, 2});
  intptr_t key = 2;
  std::vector<intptr_t> destroyed;
  removeFromLockedList(list, equalsKey, recordDestroyed, &key, &destroyed);
  EXPECT_EQ(destroyed, (std::vector<intptr_t>{2, 2, 2}));
  EXPECT_EQ(contents(list), (std::vector<intptr_t>{1, 3, 4}));

  // Without a destructor the items are only unlinked.
  removeFromLockedList(list, isEven, nullptr, nullptr, nullptr);
  EXPECT_EQ(contents(list), (std::vector<intptr_t>{1, 3}));
}

TEST_F(LockedListTest, UpdateOrAppendReplacesEveryMatchAndMovesToTheEnd) {
  fill({2, 1, 2, 3});
  intptr_t key = 2;
  std::vector<intptr_t> destroyed;
  struct Post {
    void* seen = nullptr;
    int calls = 0;
  } post;
  auto postInsert = [](void* newItem, void* arg) {
    static_cast<Post*>(arg)->seen = newItem;
    static_cast<Post*>(arg)->calls++;
  };
  ASSERT_EQ(updateOrAppendInLockedList(list, equalsKey, recordDestroyed, postInsert, &key, &destroyed, &post,
                                       item(2)),
            0);
  EXPECT_EQ(destroyed, (std::vector<intptr_t>{2, 2}));
  EXPECT_EQ(contents(list), (std::vector<intptr_t>{1, 3, 2}));
  EXPECT_EQ(post.calls, 1);
  EXPECT_EQ(post.seen, item(2));

  // No match: a plain append. A destructor is required.
  intptr_t other = 9;
  ASSERT_EQ(updateOrAppendInLockedList(list, equalsKey, recordDestroyed, nullptr, &other, &destroyed, nullptr,
                                       item(9)),
            0);
  EXPECT_EQ(contents(list), (std::vector<intptr_t>{1, 3, 2, 9}));
  EXPECT_EQ(updateOrAppendInLockedList(list, equalsKey, nullptr, nullptr, &other, nullptr, nullptr, item(9)),
            -EINVAL);
  EXPECT_EQ(countLockedList(list), 4u);
}

TEST_F(LockedListTest, ClearHandsEveryItemToTheDestructorInOrder) {
  fill({4, 5, 6});
  std::vector<intptr_t> destroyed;
  // clearLockedList passes a null arg, so collect through a static.
  static std::vector<intptr_t>* sink;
  sink = &destroyed;
  clearLockedList(list, [](void* it, void*) { sink->push_back(value(it)); });
  EXPECT_EQ(destroyed, (std::vector<intptr_t>{4, 5, 6}));
  EXPECT_EQ(countLockedList(list), 0u);
}

TEST_F(LockedListTest, TakeReturnsItemsInOrder) {
  fill({1, 2});
  EXPECT_EQ(value(takeFromLockedList(list)), 1);
  EXPECT_EQ(value(takeFromLockedList(list)), 2);
  EXPECT_EQ(countLockedList(list), 0u);
}

// The queue pattern of every worker: take until a null item, handling what
// was queued before the null.
TEST_F(LockedListTest, NullItemStopsAConsumerThread) {
  std::vector<intptr_t> handled;
  std::atomic<pid_t> tid{0};
  std::thread consumer([&] {
    tid = currentTid();
    for (;;) {
      void* it = takeFromLockedList(list);
      if (!it) return;
      handled.push_back(value(it));
    }
  });
  fill({7, 8});
  ASSERT_TRUE(eventually([&] { return countLockedList(list) == 0 && tid != 0 && threadIsBlocked(tid); }));
  // A null item appended to the empty queue wakes the consumer, which ends.
  ASSERT_EQ(appendToLockedList(list, nullptr), 0);
  consumer.join();
  EXPECT_EQ(handled, (std::vector<intptr_t>{7, 8}));
  EXPECT_EQ(countLockedList(list), 0u);
}

// A consumer blocked on an empty queue is woken by the append (itemAdded).
TEST_F(LockedListTest, ItemAddedWakesABlockedConsumer) {
  std::atomic<intptr_t> got{-1};
  std::atomic<pid_t> tid{0};
  std::thread consumer([&] {
    tid = currentTid();
    got = value(takeFromLockedList(list));
  });
  ASSERT_TRUE(eventually([&] { return tid != 0 && threadIsBlocked(tid); }));
  EXPECT_EQ(got.load(), -1);
  fill({42});
  consumer.join();
  EXPECT_EQ(got.load(), 42);
  EXPECT_EQ(countLockedList(list), 0u);
}

// A thread waiting for the list to drain is woken once it is empty (emptied).
TEST_F(LockedListTest, EmptiedWakesAWaiterWhenTheLastItemGoes) {
  fill({1, 2, 3});
  std::atomic<bool> drained{false};
  std::atomic<pid_t> tid{0};
  std::thread waiter([&] {
    tid = currentTid();
    waitForEmptyLockedList(list);
    drained = true;
  });
  ASSERT_TRUE(eventually([&] { return tid != 0 && threadIsBlocked(tid); }));
  intptr_t one = 1;
  removeFromLockedList(list, equalsKey, nullptr, &one, nullptr);
  EXPECT_EQ(value(takeFromLockedList(list)), 2);
  EXPECT_FALSE(drained.load());
  EXPECT_EQ(value(takeFromLockedList(list)), 3);
  waiter.join();
  EXPECT_TRUE(drained.load());
}

// Counts signals of `emptied` by a waiter that records each wake-up.
struct EmptiedCounter {
  LockedList* list;
  int wakeups = 0;
  bool waiting = false;
  bool stop = false;
  pthread_t thread{};

  static void* run(void* arg) {
    EmptiedCounter* self = static_cast<EmptiedCounter*>(arg);
    pthread_mutex_lock(&self->list->mutex);
    while (!self->stop) {
      self->waiting = true;
      pthread_cond_wait(&self->list->emptied, &self->list->mutex);
      self->waiting = false;
      if (!self->stop) self->wakeups++;
    }
    pthread_mutex_unlock(&self->list->mutex);
    return nullptr;
  }
  void start() { pthread_create(&thread, nullptr, run, this); }
  bool isWaiting() {
    pthread_mutex_lock(&list->mutex);
    bool w = waiting;
    pthread_mutex_unlock(&list->mutex);
    return w;
  }
  int count() {
    pthread_mutex_lock(&list->mutex);
    int c = wakeups;
    pthread_mutex_unlock(&list->mutex);
    return c;
  }
  void finish() {
    pthread_mutex_lock(&list->mutex);
    stop = true;
    pthread_cond_broadcast(&list->emptied);
    pthread_mutex_unlock(&list->mutex);
    pthread_join(thread, nullptr);
  }
};

// Which operations signal `emptied`: a removal leaving the list empty and
// every clear; never a removal on an empty list or update-or-append.
// (Spurious wake-ups are allowed by POSIX but do not happen here.)
TEST_F(LockedListTest, EmptiedIsSignalledExactlyWhenTheListBecomesEmpty) {
  EmptiedCounter counter{list};
  counter.start();
  auto settle = [&] { return eventually([&] { return counter.isWaiting(); }); };
  ASSERT_TRUE(settle());

  intptr_t key = 1;
  removeFromLockedList(list, equalsKey, nullptr, &key, nullptr);  // empty: no signal
  intptr_t dummy = 5;
  ASSERT_EQ(updateOrAppendInLockedList(list, equalsKey, [](void*, void*) {}, nullptr, &dummy, nullptr, nullptr,
                                       item(1)),
            0);
  fill({2});
  removeFromLockedList(list, equalsKey, nullptr, &key, nullptr);  // not empty yet: no signal
  ASSERT_TRUE(settle());
  EXPECT_EQ(counter.count(), 0);

  intptr_t two = 2;
  removeFromLockedList(list, equalsKey, nullptr, &two, nullptr);  // last item: one signal
  ASSERT_TRUE(eventually([&] { return counter.count() == 1; }));
  ASSERT_TRUE(settle());

  clearLockedList(list, nullptr);  // already empty: still signalled
  ASSERT_TRUE(eventually([&] { return counter.count() == 2; }));
  ASSERT_TRUE(settle());
  counter.finish();
  EXPECT_EQ(counter.wakeups, 2);
}

TEST_F(LockedListTest, ManyProducersOneConsumer) {
  const int producers = 4, perProducer = 500;
  std::atomic<long> sum{0};
  std::thread consumer([&] {
    for (;;) {
      void* it = takeFromLockedList(list);
      if (!it) return;
      sum += value(it);
    }
  });
  std::vector<std::thread> threads;
  for (int p = 0; p < producers; p++)
    threads.emplace_back([&] {
      for (int i = 1; i <= perProducer; i++) appendToLockedList(list, item(i));
    });
  for (auto& t : threads) t.join();
  appendToLockedList(list, nullptr);
  consumer.join();
  EXPECT_EQ(sum.load(), long(producers) * perProducer * (perProducer + 1) / 2);
}

}  // namespace
