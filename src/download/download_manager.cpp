#include "download/download_manager.h"

#include <algorithm>
#include <set>
#include <utility>
#include <vector>

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

int64_t ChunkStep(const TUpdateFile& e) {
  return e.chunksize > 0 ? e.chunksize : GetChunkSize(e.size);
}

// Number of non-empty chunks of an entry.
int64_t ChunkTotal(const TUpdateFile& e, int64_t step) {
  if (e.size <= 0) return 0;
  return e.size / step + (e.size % step != 0 ? 1 : 0);
}

// Bytes a fetched task holds.
int64_t ResultBytes(const TDownloadTask& t) { return t.data ? t.data->Size() : 0; }

uint32_t StoredCRC(const TUpdateFile& e, int64_t index) {
  return index < static_cast<int64_t>(e.chunkcrc32.size()) ? e.chunkcrc32[index] : 0;
}

std::string JoinTexts(const std::vector<std::string>& parts, const char* separator) {
  std::string out;
  for (const auto& p : parts) {
    if (!out.empty()) out += separator;
    out += p;
  }
  return out;
}

}  // namespace

// The chunks a run still has to queue, file by file in the list's order.
// Tasks are made from it as the queue drains, so its size is one small
// record per file plus the runs of damaged chunks found in local files.
// Used by the run's thread only.
class TDownloadManager::TChunkPlan {
 public:
  explicit TChunkPlan(uint64_t run) : runid(run) {}

  // spans: chunk indices [first, last) to fetch, in increasing order.
  void AddFile(const std::string& key, const TUpdateFile& e,
               std::vector<std::pair<int64_t, int64_t>> spans) {
    if (!spans.empty()) files.push_back({key, &e, ChunkStep(e), std::move(spans)});
  }

  bool Empty() {
    Advance();
    return file >= files.size();
  }

  // The next chunk's task; only when !Empty().
  std::unique_ptr<TDownloadTask> Next() {
    Advance();
    const TFilePlan& f = files[file];
    const TUpdateFile& e = *f.entry;
    const int64_t first = index * f.step;
    const int64_t length = std::min<int64_t>(f.step, e.size - first);
    auto t = std::make_unique<TDownloadTask>(f.key, first, first + length - 1, 0,
                                             StoredCRC(e, index), false, e.posinfile);
    t->runid = runid;
    t->wholefile = e.posinfile < 0 && first == 0 && length == e.size;
    ++index;
    return t;
  }

 private:
  struct TFilePlan {
    std::string key;
    const TUpdateFile* entry;  // the caller's entry, alive for the run
    int64_t step;
    std::vector<std::pair<int64_t, int64_t>> spans;
  };

  // Moves to the next chunk still to queue (or past the last file).
  void Advance() {
    while (file < files.size()) {
      const TFilePlan& f = files[file];
      if (span >= f.spans.size()) {
        ++file;
        span = 0;
        index = -1;
        continue;
      }
      if (index < f.spans[span].first) index = f.spans[span].first;
      if (index < f.spans[span].second) return;
      ++span;
      index = -1;
    }
  }

  const uint64_t runid;
  std::vector<TFilePlan> files;
  size_t file = 0;
  size_t span = 0;
  int64_t index = -1;
};

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
                                   int32_t filechecksize, TDownloadTimings t, TServerTrust trust)
    : downfolder(std::move(sdownloadfolder)), timings(std::move(t)) {
  initthread = std::make_unique<TInitThread>(pool, std::move(downloadseeds), downloadmultiplier,
                                             downloadtimeout, std::move(filecheck), filechecksize,
                                             timings, std::move(trust));
  filethread = std::thread([this] { FileThreadLoop(); });
}

TDownloadManager::~TDownloadManager() {
  stopping.store(true);
  filewake.Notify();
  if (filethread.joinable()) filethread.join();
  initthread.reset();
  ResetRunState();
}

std::vector<std::string> TDownloadManager::DroppedServers() const {
  return initthread ? initthread->DroppedServers() : std::vector<std::string>();
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

void TDownloadManager::ReleaseResults() {
  while (resultqueue.Count() > 0) {
    const std::unique_ptr<TDownloadTask> task(resultqueue.DequeueSync());
    SubQueuedBytes(ResultBytes(*task));
  }
}

void TDownloadManager::AddQueuedBytes(int64_t bytes) {
  const int64_t now = queuedbytes.fetch_add(bytes) + bytes;
  int64_t peak = peakqueuedbytes.load();
  while (now > peak && !peakqueuedbytes.compare_exchange_weak(peak, now)) {
  }
}

void TDownloadManager::SubQueuedBytes(int64_t bytes) { queuedbytes.fetch_sub(bytes); }

bool TDownloadManager::QueueResult(std::unique_ptr<TDownloadTask> task) {
  const int64_t bytes = ResultBytes(*task);
  bool waited = false;
  uint64_t token = pool.wake.Token();
  // An item larger than the bound passes once the queues are empty.
  while ((resultqueue.Count() > MaxQueuedItems ||
          (queuedbytes.load() > 0 && queuedbytes.load() + bytes > timings.maxqueuedbytes)) &&
         !fileerror.load()) {
    pool.wake.Wait(token, kPollStep);
    waited = true;
  }
  AddQueuedBytes(bytes);
  resultqueue.EnqueueSync(task.release());
  filewake.Notify();
  return waited;
}

// Leaves nothing of a run behind: no queued task or key, no record, no
// open local file, and no result of it stored later.
void TDownloadManager::ResetRunState() {
  {
    std::lock_guard<std::mutex> hold(runmutex);
    currentrun.store(0);
    ReleaseResults();
    while (memfilequeue.Count() > 0) memfilequeue.DequeueSync();
    while (diskfilequeue.Count() > 0) diskfilequeue.DequeueSync();
    // The memory-held files of the queue go with their records below.
    queuedbytes.store(0);
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

void TDownloadManager::Prepare(const TUpdateFileRefs& filenamesize, TChunkPlan& plan) {
  const int32_t entries = static_cast<int32_t>(filenamesize.size());
  for (const auto& [key, entry] : filenamesize) {
    // A key is joined to the download folder: one that would reach outside
    // it is refused before anything is opened or written for the run.
    if (!TUpdateList::IsSafeKey(key.empty() || key[0] != '\\' ? "\\" + key : key)) {
      throw EVantrelError("Unsafe file name in download list: " + key);
    }
    const TUpdateFile& e = *entry;
    const std::string local = LocalTransferFile(key, e.compressed);
    const int64_t step = ChunkStep(e);
    const int64_t chunks = ChunkTotal(e, step);
    int64_t tofetch = 0;
    std::vector<std::pair<int64_t, int64_t>> spans;
    auto need = [&](int64_t index) {
      if (!spans.empty() && spans.back().second == index) {
        spans.back().second = index + 1;
      } else {
        spans.emplace_back(index, index + 1);
      }
    };
    if (!platform::FileExists(local)) {
      if (chunks > 0) spans.emplace_back(0, chunks);
      tofetch = std::max<int64_t>(e.size, 0);
    } else {
      TFileStream file(local, TFileMode::OpenReadWrite);
      if (file.Size() != e.size) file.SetSize(e.size);
      // Only chunks with a stored check value are read; every later one has
      // to be fetched anyway.
      const int64_t checked = std::min<int64_t>(chunks, static_cast<int64_t>(e.chunkcrc32.size()));
      for (int64_t index = 0; index < checked; ++index) {
        const int64_t first = index * step;
        const int64_t length = std::min<int64_t>(step, e.size - first);
        const uint32_t stored = StoredCRC(e, index);
        bool intact = false;
        if (stored != 0) {
          file.SetPosition(first);
          intact = GetStreamCRC32Value(file, length) == stored;
        }
        if (!intact) {
          need(index);
          tofetch += length;
        }
      }
      if (checked < chunks) {
        spans.emplace_back(checked, chunks);
        tofetch += e.size - checked * step;
      }
    }
    plan.AddFile(key, e, std::move(spans));
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

void TDownloadManager::Refill(TChunkPlan& plan) {
  while (taskqueue.Count() < MaxQueuedTasks && !plan.Empty()) {
    taskqueue.Enqueue(plan.Next().release());
  }
}

void TDownloadManager::SetRunError(const std::string& text) {
  std::lock_guard<std::mutex> hold(reportmutex);
  if (runerror.empty()) runerror = text;  // the first cause is the one told
}

void TDownloadManager::AddRunNote(const std::string& text) {
  std::lock_guard<std::mutex> hold(reportmutex);
  runnotes.push_back(text);
}

std::string TDownloadManager::LastRunError() const {
  std::lock_guard<std::mutex> hold(reportmutex);
  return runerror;
}

std::vector<std::string> TDownloadManager::LastRunNotes() const {
  std::lock_guard<std::mutex> hold(reportmutex);
  return runnotes;
}

bool TDownloadManager::RunList(const TUpdateFileRefs& filenamesize, bool storememoryfiles) {
  totalbytes.store(0);
  writtenbytes.store(0);
  receivedbytes.store(0);
  filecount.store(0);
  deliveredcount.store(0);
  isterminate.store(false);
  {
    std::lock_guard<std::mutex> hold(reportmutex);
    runerror.clear();
    runnotes.clear();
  }
  bool result = true;

  // Whatever an earlier run left behind goes first; its late results are
  // dropped from here on.
  ResetRunState();
  peakqueuedbytes.store(0);
  const uint64_t runid = ++runcounter;
  currentrun.store(runid);
  TChunkPlan plan(runid);
  try {
    Prepare(filenamesize, plan);
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

  const bool progressed = Dispatch(plan, runid);

  uint64_t token = pool.wake.Token();
  if (!progressed || taskqueue.Count() > 0 || !plan.Empty()) {
    if (progressed && !fileerror.load() && !isterminate.load()) {
      SetRunError("No download server is available");
    }
    ReleaseTasks(taskqueue, false);
    result = false;
    // Chunks already fetched still go to the download folder for the next
    // run to resume from.
    while (resultqueue.Count() > 0 && !fileerror.load() && !isterminate.load()) {
      pool.wake.Wait(token, kWriteWaitStep);
    }
  }
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
  if (result) {
    std::lock_guard<std::mutex> hold(reportmutex);
    runerror.clear();
  }
  downloading.store(false);
  if (isterminate.load()) {
    // The close sequence relies on the workflow thread doing nothing more.
    for (;;) std::this_thread::sleep_for(timings.parkstep);
  }
  return result;
}

namespace {

// Whether a worker of server may be given t; servesranges: the server was
// not found to ignore byte ranges.
bool MayTake(const TDownloadTask& t, const std::string& server, bool servesranges) {
  if (!t.wholefile && !servesranges) return false;
  if (t.refusals.empty()) return true;
  const auto it = t.refusals.find(server);
  return it == t.refusals.end() || it->second.count < TDownloadManager::RefusalsPerServer;
}

// Why no server of servers may be given t, one clause per server.
std::string Unservable(const TDownloadTask& t, const std::set<std::string>& servers,
                       const std::set<std::string>& norange) {
  std::vector<std::string> why;
  for (const std::string& server : servers) {
    const auto it = t.refusals.find(server);
    if (!t.wholefile && norange.count(server) > 0) {
      why.push_back(server + " answers ranged requests with the whole file");
    } else if (it != t.refusals.end()) {
      why.push_back(server + " refused it " + std::to_string(it->second.count) + " times (" +
                    it->second.answer + ")");
    }
  }
  return "No download server can serve " + t.filename + ": " + JoinTexts(why, "; ");
}

// The servers of the workers of list that have not ended.
std::set<std::string> LiveServers(const std::vector<TDownloadThread*>& list) {
  std::set<std::string> servers;
  for (TDownloadThread* w : list) {
    if (w != nullptr && !w->IsFinished()) servers.insert(w->Server());
  }
  return servers;
}

}  // namespace

bool TDownloadManager::Dispatch(TChunkPlan& plan, uint64_t runid) {
  using clock = std::chrono::steady_clock;
  uint64_t token = pool.wake.Token();
  // Servers found this run to answer a ranged request with the whole file:
  // their workers take whole-file tasks only.
  std::set<std::string> norange;
  // The silence bound counts from the last time the bytes received passed
  // their highest value so far: bytes of failed attempts, taken back, do
  // not count twice.
  int64_t highwater = receivedbytes.load();
  auto lastprogress = clock::now();
  bool done = false;
  while (!done && !fileerror.load() && !isterminate.load()) {
    Refill(plan);
    if (pool.serversready.load()) {
      done = true;
      bool live = false;
      bool busy = false;  // a worker fetches or pauses: the queue may still move
      const auto list = pool.Snapshot();
      for (TDownloadThread* w : *list) {
        if (w == nullptr || w->IsFinished()) continue;
        live = true;
        receivedbytes.fetch_add(w->GetDownloadDiff());
        if (!w->IsReady()) {
          done = false;
          busy = true;
          continue;
        }
        if (w->IsFailed()) {
          std::unique_ptr<TDownloadTask> t = w->GetTask();
          const TTaskOutcome outcome = w->Outcome();
          if (outcome == TTaskOutcome::WholeBody && norange.insert(w->Server()).second) {
            AddRunNote("Download server " + w->Server() +
                       " answers ranged requests with the whole file; it is given whole files "
                       "only for the rest of the run");
          }
          w->UnsetFailed();
          done = false;
          busy = true;
          if (!t || t->runid != runid) continue;
          if (outcome == TTaskOutcome::Refused || outcome == TTaskOutcome::WholeBody) {
            auto& refusal = t->refusals[w->Server()];
            ++refusal.count;
            refusal.answer = w->FailureText();
            // A chunk that no server may be asked for any more ends the run
            // (once the probe has placed every server that answers).
            const std::set<std::string> servers = LiveServers(*list);
            if (pool.probedone.load() &&
                std::none_of(servers.begin(), servers.end(), [&](const std::string& server) {
                  return MayTake(*t, server, norange.count(server) == 0);
                })) {
              SetRunError(Unservable(*t, servers, norange));
              CollectResults(*list, runid);
              return false;
            }
            // Asked again first, so that a chunk no server has tells soon.
            taskqueue.EnqueueFront(t.release());
          } else {
            taskqueue.Enqueue(t.release());
          }
          continue;
        }
        std::unique_ptr<TDownloadTask> taken = w->GetTask();
        // A result of an earlier run (or of a memory fetch) is not this run's.
        if (taken && taken->runid != runid) taken.reset();
        Refill(plan);
        TDownloadTask* next = nullptr;
        const std::string& server = w->Server();
        const bool servesranges = norange.count(server) == 0;
        if (taskqueue.DequeueFirst(
                [&](TDownloadTask* const& t) { return MayTake(*t, server, servesranges); },
                next)) {
          w->SetTask(std::unique_ptr<TDownloadTask>(next));
          done = false;
          busy = true;
        }
        // Waiting for the disk is no silence of the servers.
        if (taken && QueueResult(std::move(taken))) lastprogress = clock::now();
      }
      Refill(plan);
      if (live && taskqueue.Count() > 0) {
        done = false;
        if (!busy && pool.probedone.load()) {
          // Every worker is idle and none may take any queued task.
          const std::unique_ptr<TDownloadTask> head(taskqueue.Dequeue());
          SetRunError(Unservable(*head, LiveServers(*list), norange));
          return false;
        }
      }
      if (done) break;
    }
    const int64_t received = receivedbytes.load();
    if (received > highwater) {
      highwater = received;
      lastprogress = clock::now();
    } else if (clock::now() - lastprogress > timings.silencelimit) {
      SetRunError("No data arrived from any download server for " +
                  std::to_string(std::chrono::duration_cast<std::chrono::seconds>(
                                     timings.silencelimit)
                                     .count()) +
                  " seconds");
      CollectResults(*pool.Snapshot(), runid);
      return false;
    }
    pool.wake.Wait(token, kPollStep);
  }
  return true;
}

void TDownloadManager::CollectResults(const std::vector<TDownloadThread*>& list, uint64_t runid) {
  for (TDownloadThread* w : list) {
    if (w == nullptr || w->IsFinished() || !w->IsReady() || w->IsFailed()) continue;
    std::unique_ptr<TDownloadTask> taken = w->GetTask();
    if (!taken || taken->runid != runid) continue;
    QueueResult(std::move(taken));
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
    if (task->runid == 0 || task->runid != currentrun.load()) {  // a run that ended
      SubQueuedBytes(ResultBytes(*task));
      continue;
    }
    bool heldback = false;
    const int64_t bytes = ResultBytes(*task);
    try {
      StoreResult(task);
      heldback = task != nullptr;
    } catch (const std::exception& e) {
      SetRunError(std::string("A downloaded file could not be stored: ") + e.what());
      fileerror.store(true);
      task.reset();
      SubQueuedBytes(bytes);
      ReleaseResults();
    } catch (...) {
      SetRunError("A downloaded file could not be stored");
      fileerror.store(true);
      task.reset();
      SubQueuedBytes(bytes);
      ReleaseResults();
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
  SubQueuedBytes(length);
}

void TDownloadManager::EventThreadLoop(TRun& run) {
  uint64_t token = eventwake.Token();
  while (!run.stopevents.load()) {
    if (memfilequeue.Count() == 0 && diskfilequeue.Count() == 0) {
      eventwake.Wait(token, kPollStep);
      continue;
    }
    const bool inmemory = memfilequeue.Count() > 0;
    const std::string key = inmemory ? memfilequeue.DequeueSync() : diskfilequeue.DequeueSync();
    TFileDownload* found = nullptr;
    if (!filedownloads.TryGetValueSync(key, found)) continue;
    filedownloads.RemoveSync(key);
    std::unique_ptr<TFileDownload> record(found);
    // A memory-held file's bytes count as queued until it is delivered.
    const int64_t heldbytes = inmemory && record->stream ? record->stream->Size() : 0;
    // A file of 0 bytes has no chunk and no local file: it is handed over
    // as what it is, an empty stream.
    if (!record->stream && record->fullsize == 0) record->stream = std::make_unique<TMemoryStream>();
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
    } catch (const std::exception& e) {
      // A handler that let an error escape, or a file that could not be
      // kept: the run fails, the thread goes on.
      SetRunError("Downloaded file " + key + " could not be handed over: " + e.what());
      run.deliveryerror.store(true);
    } catch (...) {
      SetRunError("Downloaded file " + key + " could not be handed over");
      run.deliveryerror.store(true);
    }
    record.reset();
    SubQueuedBytes(heldbytes);
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
