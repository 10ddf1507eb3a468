#include "download/synced_containers.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "download/download_task.h"

namespace vantrel {
namespace {

TEST(LinkedQueue, KeepsOrderAndCount) {
  TLinkedQueue<std::string> q;
  q.Enqueue("a");
  q.EnqueueSync("b");
  q.Enqueue("c");
  EXPECT_EQ(q.Count(), 3);
  EXPECT_EQ(q.Dequeue(), "a");
  EXPECT_EQ(q.DequeueSync(), "b");
  EXPECT_EQ(q.Dequeue(), "c");
  EXPECT_EQ(q.Count(), 0);
}

TEST(LinkedQueue, DequeueOfEmptyRaisesAndQueueStaysUsable) {
  TLinkedQueue<std::string> q;
  try {
    q.Dequeue();
    FAIL() << "no error";
  } catch (const EVantrelError& e) {
    EXPECT_STREQ(e.what(), "Unbalanced stack or queue operation");
  }
  EXPECT_THROW(q.DequeueSync(), EVantrelError);
  q.Enqueue("x");
  EXPECT_EQ(q.Count(), 1);
  EXPECT_EQ(q.Dequeue(), "x");
}

TEST(LinkedQueue, StaleTailIsNeverUsed) {
  TLinkedQueue<std::string> q;
  q.Enqueue("A");
  EXPECT_EQ(q.Dequeue(), "A");
  q.Enqueue("B");
  EXPECT_EQ(q.Count(), 1);
  EXPECT_EQ(q.Dequeue(), "B");
  q.Enqueue("C");
  q.Enqueue("D");
  EXPECT_EQ(q.Dequeue(), "C");
  EXPECT_EQ(q.Dequeue(), "D");
}

TEST(LinkedQueue, ClearLeavesTasksAlive) {
  auto a = std::make_unique<TDownloadTask>("\\a", 0, 9, 0, 0, false, -1);
  auto b = std::make_unique<TDownloadTask>("\\b", 0, 9, 0, 0, false, -1);
  {
    TLinkedQueue<TDownloadTask*> q;
    q.Enqueue(a.get());
    q.Enqueue(b.get());
    q.Clear();
    EXPECT_EQ(q.Count(), 0);
    q.Enqueue(b.get());  // destroyed with one item still queued
  }
  EXPECT_EQ(a->filename, "\\a");  // ASan reports any use after free here
  EXPECT_EQ(b->filename, "\\b");
  TLinkedQueue<std::string> strings;
  strings.Enqueue(std::string(1000, 's'));
  strings.Clear();  // the copies go; LeakSanitizer would report a lost one
  EXPECT_EQ(strings.Count(), 0);
}

TEST(LinkedQueue, LockedFormsFromManyThreads) {
  TLinkedQueue<int> q;
  constexpr int kPerThread = 2000;
  std::vector<std::thread> producers;
  for (int t = 0; t < 4; ++t) {
    producers.emplace_back([&q, t] {
      for (int i = 0; i < kPerThread; ++i) q.EnqueueSync(t * kPerThread + i);
    });
  }
  std::vector<int> seen;
  std::thread consumer([&] {
    while (seen.size() < 4 * kPerThread) {
      if (q.Count() > 0) {
        seen.push_back(q.DequeueSync());
      } else {
        std::this_thread::yield();
      }
    }
  });
  for (auto& p : producers) p.join();
  consumer.join();
  std::vector<int> last(4, -1);
  for (int v : seen) {  // each producer's items come out in its order
    EXPECT_GT(v, last[v / kPerThread]);
    last[v / kPerThread] = v;
  }
  EXPECT_EQ(q.Count(), 0);
}

TEST(SyncedDictionary, AddLookupRemove) {
  TFileDownload one, two;
  TSyncedDictionary<TFileDownload> d;
  d.Add("\\bin32\\a.dll", &one);
  d.AddSync("\\bin32\\A.dll", &two);  // keys compare case included
  EXPECT_EQ(d.Count(), 2);
  TFileDownload* got = nullptr;
  ASSERT_TRUE(d.TryGetValueSync("\\bin32\\A.dll", got));
  EXPECT_EQ(got, &two);
  EXPECT_FALSE(d.TryGetValueSync("\\bin32\\b.dll", got));
  d.RemoveSync("\\missing");  // no error
  d.RemoveSync("\\bin32\\a.dll");
  EXPECT_EQ(d.Count(), 1);
  one.size = 5;  // the record survives its removal
  d.ClearSync();
  EXPECT_EQ(d.Count(), 0);
  EXPECT_EQ(one.size, 5);
}

TEST(SyncedDictionary, DuplicateKeyRaisesAndLeavesTableUnchanged) {
  TFileDownload one, two;
  TSyncedDictionary<TFileDownload> d;
  d.Add("\\a", &one);
  try {
    d.Add("\\a", &two);
    FAIL() << "no error";
  } catch (const EVantrelError& e) {
    EXPECT_STREQ(e.what(), "Duplicates not allowed");
  }
  EXPECT_THROW(d.AddSync("\\a", &two), EVantrelError);
  TFileDownload* got = nullptr;
  ASSERT_TRUE(d.TryGetValueSync("\\a", got));
  EXPECT_EQ(got, &one);
  EXPECT_EQ(d.Count(), 1);
}

}  // namespace
}  // namespace vantrel
