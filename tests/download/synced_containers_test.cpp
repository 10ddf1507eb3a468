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

// A stream that tells when it is destroyed: a record destroyed by the
// table would take it along.
class TWatchedStream : public TMemoryStream {
 public:
  explicit TWatchedStream(bool& destroyed) : destroyed_(destroyed) {}
  ~TWatchedStream() override { destroyed_ = true; }

 private:
  bool& destroyed_;
};

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
  EXPECT_FALSE(d.TryGetValueSync("\\bin32\\a.dll", got));
  d.ClearSync();
  EXPECT_EQ(d.Count(), 0);
}

TEST(SyncedDictionary, RemovingAndClearingLeaveTheRecordsAlive) {
  // Records on the heap, each owning a stream that reports its end: the
  // table must destroy neither (AddressSanitizer would also report a record
  // freed by the table when the test frees it).
  bool gone[3] = {false, false, false};
  std::vector<std::unique_ptr<TFileDownload>> records;
  for (bool& flag : gone) {
    records.push_back(std::make_unique<TFileDownload>());
    records.back()->stream = std::make_unique<TWatchedStream>(flag);
  }
  {
    TSyncedDictionary<TFileDownload> d;
    d.Add("\\a", records[0].get());
    d.Add("\\b", records[1].get());
    d.Add("\\c", records[2].get());
    d.RemoveSync("\\a");
    d.ClearSync();
    d.Add("\\c", records[2].get());  // the table goes with one record held
  }
  EXPECT_FALSE(gone[0] || gone[1] || gone[2]);
  records.clear();  // the owner's release is the one that ends them
  EXPECT_TRUE(gone[0] && gone[1] && gone[2]);
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
