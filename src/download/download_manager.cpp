#include "download/download_manager.h"

#include <algorithm>
#include <utility>

#include "platform/errors.h"
#include "platform/files.h"
#include "versions/update_utils.h"

namespace vantrel {

namespace {

using std::chrono::milliseconds;

constexpr milliseconds kPollStep{5};
constexpr milliseconds kWriteWaitStep{10};
constexpr milliseconds kDeliveryStep{50};
constexpr milliseconds kStatusTick{100};
constexpr int kTicksPerReport = 10;

// Calls f(index, first, length) for every non-empty chunk of an entry.
template <typename F>
void ForEachChunk(const TUpdateFile& e, F f) {
  const int64_t step = e.chunksize > 0 ? e.chunksize : GetChunkSize(e.size);
  int32_t index = 0;
  for (int64_t first = 0; first < e.size; first += step, ++index) {
    f(index, first, std::min<int64_t>(step, e.size - first));
  }
}

uint32_t StoredCRC(const TUpdateFile& e, int32_t index) {
  return index < static_cast<int32_t>(e.chunkcrc32.size()) ? e.chunkcrc32[index] : 0;
}

}  // namespace

// The per-run threads and what they share with the run's thread.
struct TDownloadManager::TRun {
  bool storememoryfiles = false;
  std::atomic<bool> stopstatus{false};
  std::atomic<bool> stopevents{false};
  std::atomic<bool> deliveryerror{false};  // a handler failed or a file could not be kept
  TWakeup statuswake;
  std::thread statusthread;
  std::thread eventthread;
};

TDownloadManager::TDownloadManager(std::vector<std::string> downloadseeds,
                                   int32_t downloadmultiplier, int32_t downloadtimeout,
                                   std::string sdownloadfolder, std::string filecheck,
                                   int32_t filechecksize, TDownloadTimings t)
    : downfolder(std::move(sdownloadfolder)), timings(std::move(t)) {
  initthread =
      std::make_unique<TInitThread>(pool, std::move(downloadseeds), downloadmultiplier,
                                    downloadtimeout, std::move(filecheck), filechecksize, timings);
  filethread = std::thread([this] { FileThreadLoop(); });
}

TDownloadManager::~TDownloadManager() {
  stopping.store(true);
  filewake.Notify();
  if (filethread.joinable()) filethread.join();
  initthread.reset();
  ResetRunState();
}

std::string TDownloadManager::LocalTransferFile(const std::string& key, bool compressed) const {
  return downfolder + key + (compressed ? ".u" : "");
}

void TDownloadManager::SetStatusUpdateEvent(TOnStatusUpdateEvent handler) {
  auto h = std::make_shared<const TOnStatusUpdateEvent>(std::move(handler));
  std::lock_guard<std::mutex> hold(eventsmutex);
  onstatusupdate = std::move(h);
}

void TDownloadManager::UnsetStatusUpdateEvent() {
  std::lock_guard<std::mutex> hold(eventsmutex);
  onstatusupdate.reset();
}

void TDownloadManager::SetFileDownloadedEvent(TOnFileDownloadedEvent handler) {
  auto h = std::make_shared<const TOnFileDownloadedEvent>(std::move(handler));
  std::lock_guard<std::mutex> hold(eventsmutex);
  onfiledownloadedupdate = std::move(h);
}

void TDownloadManager::UnsetFileDownloadedEvent() {
  std::lock_guard<std::mutex> hold(eventsmutex);
  onfiledownloadedupdate.reset();
}

void TDownloadManager::TerminateDownload() {
  isterminate.store(true);
  pool.wake.Notify();
}

void TDownloadManager::ReportStatus(int64_t a, int64_t b, int64_t c, bool speedupdated,
                                    bool isfilesize) {
  std::shared_ptr<const TOnStatusUpdateEvent> handler;
  {
    std::lock_guard<std::mutex> hold(eventsmutex);
    handler = onstatusupdate;
  }
  if (!handler || !*handler) return;
  try {
    (*handler)(a, b, c, speedupdated, isfilesize);
  } catch (...) {
    // A progress display that fails must not stop the run.
  }
}

void TDownloadManager::WaitServersReady() {
  uint64_t token = pool.wake.Token();
  while (!pool.serversready.load()) pool.wake.Wait(token, kPollStep);
}

std::vector<std::string> TDownloadManager::WorkerServers() {
  uint64_t token = pool.wake.Token();
  while (!pool.probedone.load()) pool.wake.Wait(token, kPollStep);
  std::vector<std::string> servers;
  for (TDownloadThread* w : *pool.Snapshot()) servers.push_back(w->Server());
  return servers;
}

void TDownloadManager::ReleaseTasks(TLinkedQueue<TDownloadTask*>& queue, bool locked) {
  while (queue.Count() > 0) delete (locked ? queue.DequeueSync() : queue.Dequeue());
}

// Leaves nothing of a run behind: no queued task or key, no record, no
// open local file, and no result of it stored later.
void TDownloadManager::ResetRunState() {
  {
    std::lock_guard<std::mutex> hold(runmutex);
    currentrun.store(0);
    ReleaseTasks(resultqueue, true);
    while (memfilequeue.Count() > 0) memfilequeue.DequeueSync();
    while (diskfilequeue.Count() > 0) diskfilequeue.DequeueSync();
  }
  ReleaseTasks(taskqueue, false);
  for (auto& [key, record] : filedownloads.TakeAllSync()) delete record;
}

bool TDownloadManager::DownloadFile(const std::string& filename, int64_t filesize,
                                    bool compressed) {
  TUpdateFile entry;
  entry.size = filesize;
  entry.compressed = compressed;
  entry.chunksize = GetChunkSize(filesize);
  entry.chunkcount = GetChunkCount(filesize);
  entry.posinfile = -1;
  const TUpdateFileRefs refs{{filename, &entry}};
  return RunList(refs, true);
}

bool TDownloadManager::DownloadFileList(const TUpdateFileRefs& filenamesize) {
  return RunList(filenamesize, false);
}

void TDownloadManager::Prepare(const TUpdateFileRefs& filenamesize, uint64_t runid) {
  const int32_t entries = static_cast<int32_t>(filenamesize.size());
  for (const auto& [key, entry] : filenamesize) {
    // A key is joined to the download folder: one that would reach outside
    // it is refused before anything is opened or written for the run.
    if (!TUpdateList::IsSafeKey(key.empty() || key[0] != '\\' ? "\\" + key : key)) {
      throw EVantrelError("Unsafe file name in download list: " + key);
    }
    const TUpdateFile& e = *entry;
    const std::string local = LocalTransferFile(key, e.compressed);
    int64_t tofetch = 0;
    const std::string& keyname = key;  // a lambda may not capture a structured binding (clang)
    auto queue = [&](int32_t index, int64_t first, int64_t length) {
      auto* t = new TDownloadTask(keyname, first, first + length - 1, 0, StoredCRC(e, index), false,
                                  e.posinfile);
      t->runid = runid;
      taskqueue.Enqueue(t);
    };
    if (!platform::FileExists(local)) {
      ForEachChunk(e, queue);
      tofetch = e.size;
    } else {
      TFileStream file(local, TFileMode::OpenReadWrite);
      if (file.Size() != e.size) file.SetSize(e.size);
      ForEachChunk(e, [&](int32_t index, int64_t first, int64_t length) {
        const uint32_t stored = StoredCRC(e, index);
        bool intact = false;
        if (stored != 0) {
          file.SetPosition(first);
          intact = GetStreamCRC32Value(file, length) == stored;
        }
        if (!intact) {
          queue(index, first, length);
          tofetch += length;
        }
      });
    }
    totalbytes.fetch_add(tofetch);
    auto record = std::make_unique<TFileDownload>();
    record->size = tofetch;
    record->fullsize = e.size;
    record->compressed = e.compressed;
    filedownloads.Add(key, record.get());
    record.release();
    filecount.fetch_add(1);
    if (tofetch == 0) diskfilequeue.EnqueueSync(key);
    ReportStatus(filedownloads.Count(), entries, 0, false, false);
  }
}

bool TDownloadManager::RunList(const TUpdateFileRefs& filenamesize, bool storememoryfiles) {
  totalbytes.store(0);
  writtenbytes.store(0);
  receivedbytes.store(0);
  filecount.store(0);
  deliveredcount.store(0);
  isterminate.store(false);
  bool result = true;

  // Whatever an earlier run left behind goes first; its late results are
  // dropped from here on.
  ResetRunState();
  const uint64_t runid = ++runcounter;
  currentrun.store(runid);
  try {
    Prepare(filenamesize, runid);
  } catch (...) {
    ResetRunState();
    throw;
  }

  TRun run;
  run.storememoryfiles = storememoryfiles;
  downloading.store(true);
  fileerror.store(false);
  run.statusthread = std::thread([this, &run] { StatusThreadLoop(run); });
  run.eventthread = std::thread([this, &run] { EventThreadLoop(run); });

  Dispatch(runid);

  if (taskqueue.Count() > 0) {
    ReleaseTasks(taskqueue, false);
    result = false;
  }
  uint64_t token = pool.wake.Token();
  while (result && writtenbytes.load() < totalbytes.load() && !fileerror.load() &&
         !isterminate.load()) {
    pool.wake.Wait(token, kWriteWaitStep);
  }
  run.stopstatus.store(true);
  run.statuswake.Notify();
  run.statusthread.join();
  ReportStatus(receivedbytes.load(), totalbytes.load(), 0, true, true);
  if (fileerror.load()) result = false;
  while (deliveredcount.load() < filecount.load() && result && !isterminate.load()) {
    pool.wake.Wait(token, kDeliveryStep);
    ReportStatus(deliveredcount.load(), filecount.load(), 0, false, false);
  }
  run.stopevents.store(true);
  eventwake.Notify();
  run.eventthread.join();
  if (run.deliveryerror.load()) result = false;
  if (!result || isterminate.load()) ResetRunState();
  downloading.store(false);
  if (isterminate.load()) {
    // The close sequence relies on the workflow thread doing nothing more.
    for (;;) std::this_thread::sleep_for(timings.parkstep);
  }
  return result;
}

void TDownloadManager::Dispatch(uint64_t runid) {
  uint64_t token = pool.wake.Token();
  bool done = false;
  while (!done && !fileerror.load() && !isterminate.load()) {
    if (pool.serversready.load()) {
      done = true;
      bool live = false;
      const auto list = pool.Snapshot();
      for (TDownloadThread* w : *list) {
        if (w == nullptr || w->IsFinished()) continue;
        live = true;
        receivedbytes.fetch_add(w->GetDownloadDiff());
        if (!w->IsReady()) {
          done = false;
          continue;
        }
        if (w->IsFailed()) {
          std::unique_ptr<TDownloadTask> t = w->GetTask();
          if (t && t->runid == runid) taskqueue.Enqueue(t.release());
          w->UnsetFailed();
          continue;
        }
        std::unique_ptr<TDownloadTask> taken = w->GetTask();
        // A result of an earlier run (or of a memory fetch) is not this run's.
        if (taken && taken->runid != runid) taken.reset();
        if (taskqueue.Count() > 0) {
          w->SetTask(std::unique_ptr<TDownloadTask>(taskqueue.Dequeue()));
          done = false;
        }
        if (taken) {
          while (resultqueue.Count() > MaxQueuedItems && !fileerror.load()) {
            pool.wake.Wait(token, kPollStep);
          }
          resultqueue.EnqueueSync(taken.release());
          filewake.Notify();
        }
      }
      if (live && taskqueue.Count() > 0) done = false;
      if (done) break;
    }
    pool.wake.Wait(token, kPollStep);
  }
}

void TDownloadManager::FileThreadLoop() {
  uint64_t token = filewake.Token();
  while (!stopping.load()) {
    if (resultqueue.Count() == 0) {
      filewake.Wait(token, kPollStep);
      continue;
    }
    std::unique_lock<std::mutex> hold(runmutex);
    if (resultqueue.Count() == 0) continue;
    std::unique_ptr<TDownloadTask> task(resultqueue.DequeueSync());
    if (task->runid == 0 || task->runid != currentrun.load()) continue;  // a run that ended
    bool heldback = false;
    try {
      StoreResult(task);
      heldback = task != nullptr;
    } catch (...) {
      fileerror.store(true);
      task.reset();
      ReleaseTasks(resultqueue, true);
    }
    if (heldback) resultqueue.EnqueueSync(task.release());
    hold.unlock();
    pool.wake.Notify();
    if (heldback) filewake.Wait(token, kPollStep);
  }
}

// Stores one fetched chunk, or keeps a file that came in one response in
// memory. Leaves task set when it has to wait for room in memfilequeue.
void TDownloadManager::StoreResult(std::unique_ptr<TDownloadTask>& task) {
  TFileDownload* record = nullptr;
  if (!filedownloads.TryGetValueSync(task->filename, record)) {
    throw EVantrelError("No download record for " + task->filename);
  }
  TMemoryStream& data = *task->data;
  const int64_t length = data.Size();
  if (length == record->fullsize) {
    if (memfilequeue.Count() > MaxQueuedItems) return;
    data.SetPosition(0);
    record->stream = std::move(task->data);
    writtenbytes.fetch_add(length);
    memfilequeue.EnqueueSync(task->filename);
    eventwake.Notify();
    task.reset();
    return;
  }
  if (!record->stream) {
    const std::string local = LocalTransferFile(task->filename, record->compressed);
    if (!platform::FileExists(local)) {
      const std::string folder = platform::ExtractFileDir(local);
      if (!folder.empty() && !platform::ForceFolders(folder)) {
        throw EVantrelError("Cannot create folder " + folder);
      }
    }
    record->stream = std::make_unique<TFileStream>(local, TFileMode::OpenOrCreate);
  }
  record->stream->SetPosition(task->rangefirst);
  record->stream->WriteBuffer(data.Memory(), length);
  if (length < record->size) {
    record->size -= length;
  } else {
    record->stream.reset();
    diskfilequeue.EnqueueSync(task->filename);
    eventwake.Notify();
  }
  writtenbytes.fetch_add(length);
  task.reset();
}

void TDownloadManager::EventThreadLoop(TRun& run) {
  uint64_t token = eventwake.Token();
  while (!run.stopevents.load()) {
    if (memfilequeue.Count() == 0 && diskfilequeue.Count() == 0) {
      eventwake.Wait(token, kPollStep);
      continue;
    }
    const std::string key =
        memfilequeue.Count() > 0 ? memfilequeue.DequeueSync() : diskfilequeue.DequeueSync();
    TFileDownload* found = nullptr;
    if (!filedownloads.TryGetValueSync(key, found)) continue;
    filedownloads.RemoveSync(key);
    std::unique_ptr<TFileDownload> record(found);
    try {
      auto* memory = dynamic_cast<TMemoryStream*>(record->stream.get());
      if (run.storememoryfiles && memory != nullptr) {
        // A single file fetched for the disk: it came in one response, so it
        // is written to its transfer file here (whole, then renamed).
        const std::string local = LocalTransferFile(key, record->compressed);
        const std::string folder = platform::ExtractFileDir(local);
        if (!folder.empty() && !platform::ForceFolders(folder)) {
          throw EVantrelError("Cannot create folder " + folder);
        }
        const std::string partial = local + ".part";
        {
          TFileStream out(partial, TFileMode::Create);
          out.WriteBuffer(memory->Memory(), memory->Size());
        }
        if (!platform::RenameFileAt(partial, local)) {
          platform::RemoveFileAt(partial);
          throw EVantrelError("Cannot rename " + partial);
        }
        memory->SetPosition(0);
      }
      std::shared_ptr<const TOnFileDownloadedEvent> handler;
      {
        std::lock_guard<std::mutex> hold(eventsmutex);
        handler = onfiledownloadedupdate;
      }
      if (handler && *handler) (*handler)(key, *record);
    } catch (...) {
      // A handler that let an error escape, or a file that could not be
      // kept: the run fails, the thread goes on.
      run.deliveryerror.store(true);
    }
    record.reset();
    deliveredcount.fetch_add(1);
    pool.wake.Notify();
  }
}

void TDownloadManager::StatusThreadLoop(TRun& run) {
  uint64_t token = run.statuswake.Token();
  int ticks = 0;
  int64_t previous = 0;
  auto next = std::chrono::steady_clock::now();
  while (!run.stopstatus.load()) {
    next += kStatusTick;
    while (!run.stopstatus.load() && std::chrono::steady_clock::now() < next) {
      run.statuswake.Wait(
          token, std::chrono::duration_cast<milliseconds>(next - std::chrono::steady_clock::now()) +
                     milliseconds(1));
    }
    if (run.stopstatus.load()) break;
    ++ticks;
    std::shared_ptr<const TOnStatusUpdateEvent> handler;
    {
      std::lock_guard<std::mutex> hold(eventsmutex);
      handler = onstatusupdate;
    }
    if (handler && *handler && ticks >= kTicksPerReport) {
      ticks = 0;
      const int64_t received = receivedbytes.load();
      try {
        (*handler)(received, totalbytes.load(), received - previous, true, true);
      } catch (...) {
        // A progress display that fails must not stop the run.
      }
      previous = received;
    }
  }
}

std::unique_ptr<TMemoryStream> TDownloadManager::DownloadFileToMemory(const std::string& filename,
                                                                      int64_t filesize) {
  totalbytes.store(0);
  receivedbytes.store(0);
  auto task = std::make_unique<TDownloadTask>(filename, 0, filesize > 0 ? filesize - 1 : -1, 0, 0,
                                              true, -1);
  WaitServersReady();
  uint64_t token = pool.wake.Token();
  int failures = 0;
  size_t start = 0;
  for (;;) {
    const auto list = pool.Snapshot();
    const size_t n = list->size();
    TDownloadThread* worker = nullptr;
    size_t at = 0;
    for (size_t k = 0; k < n && worker == nullptr; ++k) {
      at = (start + k) % n;
      TDownloadThread* w = (*list)[at];
      if (w != nullptr && !w->IsFinished()) worker = w;
    }
    if (worker == nullptr) return std::make_unique<TMemoryStream>();
    while (!worker->IsReady() && !worker->IsFinished()) pool.wake.Wait(token, kPollStep);
    if (!worker->IsReady()) {
      start = at + 1;
      continue;
    }
    worker->SetTask(std::move(task));
    while (!worker->IsReady()) {
      receivedbytes.fetch_add(worker->GetDownloadDiff());
      pool.wake.Wait(token, kPollStep);
    }
    receivedbytes.fetch_add(worker->GetDownloadDiff());
    task = worker->GetTask();
    if (!worker->IsFailed()) {
      std::unique_ptr<TMemoryStream> data = std::move(task->data);
      data->SetPosition(0);
      return data;
    }
    worker->UnsetFailed();
    if (++failures >= 2) return std::make_unique<TMemoryStream>();
    start = at + 1;
  }
}

}  // namespace vantrel
