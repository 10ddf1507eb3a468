// The download manager: probes the download servers, keeps the worker pool,
// fetches lists of files in CRC-checked, resumable chunks into the download
// folder (or, for a file of one chunk, into memory), fetches single small
// files into memory, and reports progress and finished files through two
// events. One manager serves a launcher process; runs follow one another
// from the workflow threads and never overlap. The manager owns its workers,
// its file thread and the records of the current run; it never logs.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "download/download_task.h"
#include "download/download_timings.h"
#include "download/synced_containers.h"
#include "download/wakeup.h"
#include "download/worker_pool.h"
#include "platform/stream.h"
#include "versions/update_list.h"

namespace vantrel {

// Progress: with isfilesize true, bytes received, bytes to fetch and bytes
// received since the previous report (speedupdated true); with isfilesize
// false, file counts and 0 (speedupdated false).
using TOnStatusUpdateEvent =
    std::function<void(int64_t downloadedsize, int64_t fullsize, int64_t downloadspeed,
                       bool speedupdated, bool isfilesize)>;
// One finished file: its key and its record. The handler may replace the
// record's stream; it must not keep the record, which is destroyed when the
// handler returns. Called on the manager's event thread, one file at a time.
using TOnFileDownloadedEvent = std::function<void(const std::string& fname, TFileDownload& tdf)>;

class TDownloadManager {
 public:
  // Item caps of resultqueue (fetched chunks waiting for the file thread)
  // and memfilequeue (files held in memory waiting for delivery). Beside
  // them the bytes the two queues hold together are bounded by
  // TDownloadTimings::maxqueuedbytes; whichever limit is reached first
  // holds the producer back.
  static constexpr int32_t MaxQueuedItems = 1000;
  // Chunk tasks created ahead of the workers: the rest of a run's chunks are
  // created as the queue drains, so an entry claiming any size costs no
  // more memory than this.
  static constexpr int32_t MaxQueuedTasks = 1000;
  // Definite refusals (a missing file, a wrong length or check value) a
  // chunk takes from each server before that server is not asked for it
  // again; a chunk that no server may be asked for any more ends the run.
  static constexpr int32_t RefusalsPerServer = 3;

  // downloadseeds: server base URLs (probed in a shuffled order);
  // downloadmultiplier: workers per server (at least 1); downloadtimeout:
  // connection time-out in milliseconds (an answer silent for three times as
  // long fails); sdownloadfolder: the download folder without a trailing
  // "\"; filecheck / filechecksize: the probe file and its exact size;
  // trust: the authorities of HTTPS servers. The server probe and the file
  // thread start at once.
  TDownloadManager(std::vector<std::string> downloadseeds, int32_t downloadmultiplier,
                   int32_t downloadtimeout, std::string sdownloadfolder, std::string filecheck,
                   int32_t filechecksize, TDownloadTimings timings = {}, TServerTrust trust = {});
  // Stops every thread of the manager, cutting off requests under way. Not
  // while a run is under way or a caller is parked in one.
  ~TDownloadManager();
  TDownloadManager(const TDownloadManager&) = delete;
  TDownloadManager& operator=(const TDownloadManager&) = delete;

  // Fetches every entry's missing or damaged chunks and hands each finished
  // file to the file-downloaded event (a file of 0 bytes as an empty memory
  // stream). True when every file was fetched, stored and delivered. False
  // also when the run cannot progress: a chunk that every server refused
  // (RefusalsPerServer times each) or that needs byte ranges no server
  // serves, or no new byte from any server for timings.silencelimit;
  // LastRunError says why. Chunks stored so far stay in the download folder.
  // Raises the error of a local transfer file that cannot be opened during
  // preparation, and EVantrelError for a key that would reach outside the
  // download folder (no run starts then). After TerminateDownload during the
  // run it never returns.
  bool DownloadFileList(const TUpdateFileRefs& filenamesize);
  // DownloadFileList of one entry without chunk check values. The file
  // always ends up in the download folder as downfolder + filename (+ ".u"
  // when compressed), also when it fits one chunk and came in one response
  // (it then reaches the handler in memory too).
  bool DownloadFile(const std::string& filename, int64_t filesize, bool compressed);
  // The file (filesize > 0: exactly that many bytes) in a stream at position
  // 0, or an empty stream when two workers failed or no worker exists.
  // Never null.
  std::unique_ptr<TMemoryStream> DownloadFileToMemory(const std::string& filename,
                                                      int64_t filesize);

  void SetStatusUpdateEvent(TOnStatusUpdateEvent onstatusupdate);
  void UnsetStatusUpdateEvent();
  void SetFileDownloadedEvent(TOnFileDownloadedEvent onfiledownloadedupdate);
  void UnsetFileDownloadedEvent();

  bool IsDownloading() const { return downloading.load(); }
  // Why the last run of DownloadFileList or DownloadFile returned false: one
  // English sentence naming the file or the server; empty after a run that
  // succeeded.
  std::string LastRunError() const;
  // What the last run found out about the servers, one English sentence
  // each (a server that answers ranged requests with the whole file).
  std::vector<std::string> LastRunNotes() const;
  // Makes the current run stop; a call outside a run is forgotten.
  void TerminateDownload();

  // Bytes of fetched data the queues hold now, and the most they held at
  // once since the current (or last) run of DownloadFileList started.
  int64_t QueuedBytes() const { return queuedbytes.load(); }
  int64_t PeakQueuedBytes() const { return peakqueuedbytes.load(); }

  // The local transfer file of a key: downfolder + key (+ ".u").
  std::string LocalTransferFile(const std::string& key, bool compressed) const;
  // Waits until the server probe has ended; the servers of the listed
  // workers in dispatch order.
  std::vector<std::string> WorkerServers();
  // The servers the probe dropped so far, one English sentence each with
  // the answer of the last attempt (a refused connection, a certificate
  // that does not verify, a wrong status).
  std::vector<std::string> DroppedServers() const;

 private:
  struct TRun;
  class TChunkPlan;
  bool RunList(const TUpdateFileRefs& filenamesize, bool storememoryfiles);
  void Prepare(const TUpdateFileRefs& filenamesize, TChunkPlan& plan);
  // False when the run cannot progress (the reason is set).
  bool Dispatch(TChunkPlan& plan, uint64_t runid);
  void Refill(TChunkPlan& plan);
  // Hands the fetched tasks of the run that ready workers still hold to the
  // file thread (a run that ends early keeps what it fetched).
  void CollectResults(const std::vector<TDownloadThread*>& list, uint64_t runid);
  void SetRunError(const std::string& text);
  void AddRunNote(const std::string& text);
  void ResetRunState();
  void FileThreadLoop();
  void StoreResult(std::unique_ptr<TDownloadTask>& task);
  void EventThreadLoop(TRun& run);
  void StatusThreadLoop(TRun& run);
  void ReportStatus(int64_t a, int64_t b, int64_t c, bool speedupdated, bool isfilesize);
  void WaitServersReady();
  void ReleaseTasks(TLinkedQueue<TDownloadTask*>& queue, bool locked);
  // Releases every task of resultqueue and takes its bytes off the count.
  void ReleaseResults();
  // Waits while resultqueue is at its item cap or a result of bytes would
  // take the queued bytes past their bound (or fileerror is set); true when
  // it had to wait. Then counts the bytes and queues the task.
  bool QueueResult(std::unique_ptr<TDownloadTask> task);
  void AddQueuedBytes(int64_t bytes);
  void SubQueuedBytes(int64_t bytes);

  // Flags of the current run, each written by one thread and polled by others.
  std::atomic<bool> downloading{false};
  std::atomic<bool> isterminate{false};
  std::atomic<bool> fileerror{false};

  const std::string downfolder;
  const TDownloadTimings timings;

  TLinkedQueue<TDownloadTask*> taskqueue;          // the run's thread only, plain operations
  TLinkedQueue<TDownloadTask*> resultqueue;        // locked operations; owns its tasks in effect
  TLinkedQueue<std::string> diskfilequeue;         // locked operations
  TLinkedQueue<std::string> memfilequeue;          // locked operations
  TSyncedDictionary<TFileDownload> filedownloads;  // the records of the current run

  std::atomic<int64_t> totalbytes{0};      // final before the run's threads start
  std::atomic<int64_t> writtenbytes{0};    // written by the file thread
  std::atomic<int64_t> receivedbytes{0};   // written by the run's thread
  std::atomic<int32_t> filecount{0};       // final before the run's threads start
  std::atomic<int32_t> deliveredcount{0};  // written by the event thread
  // Bytes of the tasks in resultqueue (and the one the file thread holds)
  // plus the memory-held files of memfilequeue until they are delivered.
  // Raised by the run's thread only, lowered by the file and event threads.
  std::atomic<int64_t> queuedbytes{0};
  std::atomic<int64_t> peakqueuedbytes{0};

  mutable std::mutex reportmutex;  // guards runerror and runnotes
  std::string runerror;
  std::vector<std::string> runnotes;

  std::mutex eventsmutex;  // guards the two handlers
  std::shared_ptr<const TOnStatusUpdateEvent> onstatusupdate;
  std::shared_ptr<const TOnFileDownloadedEvent> onfiledownloadedupdate;

  // Serialises the file thread's handling of one result with the clean-up
  // that ends a run; currentrun is the run whose results are stored (0: none).
  std::mutex runmutex;
  std::atomic<uint64_t> currentrun{0};
  uint64_t runcounter = 0;  // the run's thread only

  // The run's thread waits on pool.wake: workers ready, results stored,
  // files delivered, TerminateDownload.
  TWakeup filewake;   // the file thread waits: results queued
  TWakeup eventwake;  // the event thread waits: files completed
  std::atomic<bool> stopping{false};

  TWorkerPool pool;
  std::unique_ptr<TInitThread> initthread;
  std::thread filethread;
};

}  // namespace vantrel
