// The download workers of one manager in dispatch order, and the server
// probe that fills it. The init thread is the only writer of the list; it
// publishes every change as a complete new list, so a walk by the manager
// sees each worker once and never a half-moved list. The pool owns every
// worker it ever created (also the dropped ones) until it is destroyed.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "download/download_thread.h"
#include "download/download_timings.h"
#include "download/self_ending_thread.h"
#include "download/wakeup.h"

namespace vantrel {

// Places the m workers of a server that passed its probe into list. The
// probe worker is one of them; make creates each of the other m - 1.
// interleave: the server passed within the probe window of the first one,
// so its workers are spread between those already listed (list.size() is a
// multiple of m); otherwise they are appended, probe worker first.
template <typename W>
void PlaceServerWorkers(std::vector<W>& list, W probeworker, const std::function<W()>& make,
                        int32_t m, bool interleave) {
  if (!interleave || list.empty()) {
    list.push_back(probeworker);
    for (int32_t i = 1; i < m; ++i) list.push_back(make());
    return;
  }
  const int64_t L = static_cast<int64_t>(list.size());
  const int64_t step = L / m;
  list.resize(static_cast<size_t>(L + m));
  list[static_cast<size_t>(L + m - 1)] = probeworker;
  int64_t remaining = m - 1;
  int64_t count = 0;
  for (int64_t slot = L + m - 2; slot >= 1 && remaining > 0; --slot) {
    if (count == step) {
      list[static_cast<size_t>(slot)] = make();
      --remaining;
      count = 0;
    } else {
      list[static_cast<size_t>(slot)] = list[static_cast<size_t>(slot - remaining)];
      ++count;
    }
  }
}

class TWorkerPool {
 public:
  TWorkerPool() = default;
  // Ends every worker (a request under way is cut off) and waits for them.
  ~TWorkerPool();
  TWorkerPool(const TWorkerPool&) = delete;
  TWorkerPool& operator=(const TWorkerPool&) = delete;

  using TList = std::vector<TDownloadThread*>;
  // The current list; it never changes once taken.
  std::shared_ptr<const TList> Snapshot() const;
  void Publish(TList list);
  // Keeps w alive as long as the pool.
  TDownloadThread* Adopt(std::unique_ptr<TDownloadThread> w);

  // Set once the first server's workers are listed or the probe has ended.
  std::atomic<bool> serversready{false};
  // Set when the probe has ended.
  std::atomic<bool> probedone{false};
  // Notified whenever a worker turns ready, and when the flags above change.
  TWakeup wake;

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const TList> list_ = std::make_shared<TList>();  // guarded by mutex_
  std::vector<std::unique_ptr<TDownloadThread>> owned_;            // guarded by mutex_
};

// The server probe: shuffles the servers, probes each with the probe file
// (one immediate second chance), and places the workers of every server that
// answers (m per server) into the pool. Runs on its own thread from
// construction; the destructor asks it to stop and waits.
class TInitThread {
 public:
  TInitThread(TWorkerPool& pool, std::vector<std::string> downloadseeds, int32_t downloadmultiplier,
              int32_t downloadtimeout, std::string filecheck, int32_t filechecksize,
              TDownloadTimings timings, TServerTrust trust = {});
  ~TInitThread();
  TInitThread(const TInitThread&) = delete;
  TInitThread& operator=(const TInitThread&) = delete;

  // The servers in the order they were probed (after the shuffle).
  std::vector<std::string> Servers() const;
  // One English sentence per server the probe dropped so far, with the
  // answer of its last attempt.
  std::vector<std::string> DroppedServers() const;

 private:
  void Execute();
  void Probe();
  std::unique_ptr<TDownloadTask> ProbeTask() const;
  TDownloadThread* NewWorker(const std::string& server);
  int64_t Now() const;

  TWorkerPool& pool;
  std::vector<std::string> downservers;  // written by the thread before probing
  const int32_t downmultiplier;
  const int32_t downtimeout;
  const std::string fcheck;
  const int32_t fchecksize;
  const TDownloadTimings timings;
  const TServerTrust trust;
  mutable std::mutex serversmutex;  // guards downservers while the shuffle runs, and dropped
  std::vector<std::string> dropped;
  std::atomic<bool> stop{false};
  TSelfEndingThread thread;
};

}  // namespace vantrel
