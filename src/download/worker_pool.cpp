#include "download/worker_pool.h"

#include <random>

namespace vantrel {

TWorkerPool::~TWorkerPool() {
  std::vector<std::unique_ptr<TDownloadThread>> owned;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    owned.swap(owned_);
  }
  for (auto& w : owned) w->Abort();
  owned.clear();  // each destructor waits for its thread
}

std::shared_ptr<const TWorkerPool::TList> TWorkerPool::Snapshot() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return list_;
}

void TWorkerPool::Publish(TList list) {
  auto published = std::make_shared<const TList>(std::move(list));
  std::lock_guard<std::mutex> hold(mutex_);
  list_ = std::move(published);
}

TDownloadThread* TWorkerPool::Adopt(std::unique_ptr<TDownloadThread> w) {
  std::lock_guard<std::mutex> hold(mutex_);
  owned_.push_back(std::move(w));
  return owned_.back().get();
}

TInitThread::TInitThread(TWorkerPool& workerpool, std::vector<std::string> downloadseeds,
                         int32_t downloadmultiplier, int32_t downloadtimeout, std::string filecheck,
                         int32_t filechecksize, TDownloadTimings t, TServerTrust servertrust)
    : pool(workerpool),
      downservers(std::move(downloadseeds)),
      downmultiplier(downloadmultiplier < 1 ? 1 : downloadmultiplier),
      downtimeout(downloadtimeout),
      fcheck(std::move(filecheck)),
      fchecksize(filechecksize),
      timings(std::move(t)),
      trust(std::move(servertrust)) {
  thread.Start([this] { Execute(); });
}

TInitThread::~TInitThread() {
  stop.store(true);
  thread.Wait();
}

std::vector<std::string> TInitThread::Servers() const {
  std::lock_guard<std::mutex> hold(serversmutex);
  return downservers;
}

std::vector<std::string> TInitThread::DroppedServers() const {
  std::lock_guard<std::mutex> hold(serversmutex);
  return dropped;
}

int64_t TInitThread::Now() const {
  if (timings.clock) return timings.clock();
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::unique_ptr<TDownloadTask> TInitThread::ProbeTask() const {
  return std::make_unique<TDownloadTask>(fcheck, 0, -1, fchecksize, 0, true, -1);
}

TDownloadThread* TInitThread::NewWorker(const std::string& server) {
  return pool.Adopt(
      std::make_unique<TDownloadThread>(server, downtimeout, &pool.wake, timings, trust));
}

void TInitThread::Execute() {
  try {
    Probe();
  } catch (...) {
    // An error ends the probe: servers not settled are neither placed nor
    // dropped.
  }
  pool.serversready.store(true);
  pool.probedone.store(true);
  pool.wake.Notify();
}

void TInitThread::Probe() {
  {
    std::lock_guard<std::mutex> hold(serversmutex);
    std::mt19937 random(std::random_device{}());
    for (size_t i = downservers.size(); i-- > 1;) {
      std::uniform_int_distribution<size_t> pick(0, i);
      std::swap(downservers[i], downservers[pick(random)]);
    }
  }
  struct TSlot {
    TDownloadThread* worker;
    bool settled = false;
    bool secondchance = false;
  };
  std::vector<TSlot> slots;
  uint64_t token = pool.wake.Token();
  for (const auto& server : downservers) {
    TDownloadThread* w = NewWorker(server);
    w->SetTask(ProbeTask());
    slots.push_back({w});
  }
  bool anyplaced = false;
  int64_t firstsuccess = 0;
  for (;;) {
    bool allsettled = true;
    for (size_t i = 0; i < slots.size(); ++i) {
      TSlot& s = slots[i];
      if (s.settled) continue;
      if (!s.worker->IsReady()) {
        allsettled = false;
        continue;
      }
      if (s.worker->IsFailed() && !s.secondchance) {
        s.secondchance = true;
        s.worker->GetTask();
        s.worker->SetTask(ProbeTask());
        allsettled = false;
      } else if (s.worker->IsFailed()) {
        s.settled = true;
        s.worker->GetTask();
        {
          std::lock_guard<std::mutex> hold(serversmutex);
          dropped.push_back("Server " + downservers[i] +
                            " dropped by the probe: " + s.worker->FailureText());
        }
        s.worker->SetTerminate();
      } else {
        s.settled = true;
        s.worker->GetTask();
        s.worker->GetDownloadDiff();  // the probe's bytes belong to no run
        const std::string& server = downservers[i];
        bool interleave = false;
        if (!anyplaced) {
          firstsuccess = Now();
        } else {
          interleave = Now() - firstsuccess <= timings.probewindow.count();
        }
        TWorkerPool::TList list = *pool.Snapshot();
        const std::function<TDownloadThread*()> make = [&] { return NewWorker(server); };
        PlaceServerWorkers<TDownloadThread*>(list, s.worker, make, downmultiplier, interleave);
        pool.Publish(std::move(list));
        anyplaced = true;
        pool.serversready.store(true);
        pool.wake.Notify();
      }
    }
    if (allsettled || stop.load()) break;
    pool.wake.Wait(token, std::chrono::milliseconds(5));
  }
}

}  // namespace vantrel
