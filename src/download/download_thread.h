// One HTTP download worker bound to one download server. The manager hands
// it a task while it is ready and collects the task when it is ready again;
// the worker's own thread runs the request over its own libcurl handle (one
// connection kept alive between requests). Every other method is called by
// the manager's threads. Owned by the download manager; the thread ends on
// SetTerminate (seen between tasks) or when the object is destroyed.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "download/download_task.h"
#include "download/download_timings.h"
#include "download/self_ending_thread.h"
#include "download/server_trust.h"
#include "download/wakeup.h"

namespace vantrel {

// How the last task of a worker ended.
enum class TTaskOutcome : uint8_t {
  Done,       // the answer passed every check
  Transient,  // no answer, a time-out, an answer too slow, a status other than those below
  // A definite answer that asking again will not change: status 404, 410 or
  // 416, a body shorter or longer than asked, a chunk check value mismatch.
  Refused,
  // A ranged request answered with status 200 and a body longer than the
  // range: the server does not serve byte ranges (also counts as Refused).
  WholeBody,
};

class TDownloadThread {
 public:
  // downloadtimeout: connection time-out in milliseconds; an answer that
  // brings no data for three times as long fails. readywake (may be null) is
  // notified whenever the worker turns ready. From timings: the pause after
  // a failed task (UnsetFailed) and the low-speed floor of a request. trust:
  // the authorities an HTTPS server's certificate must chain to. Starts the
  // thread at once.
  TDownloadThread(std::string downloadseed, int32_t downloadtimeout, TWakeup* readywake,
                  const TDownloadTimings& timings = {}, const TServerTrust& trust = {});
  // Ends the thread after its current request and waits for it.
  ~TDownloadThread();
  TDownloadThread(const TDownloadThread&) = delete;
  TDownloadThread& operator=(const TDownloadThread&) = delete;

  // Only while IsReady(): takes t (a task still held is released), gives it
  // a new empty data stream and starts it.
  void SetTask(std::unique_ptr<TDownloadTask> t);
  // Only while IsReady(): hands back the task held (null for an idle worker).
  std::unique_ptr<TDownloadTask> GetTask();
  bool IsReady() const { return taskready.load(); }
  bool IsFailed() const { return taskfailed.load(); }
  // Only while IsReady(), after a task: how it ended, and for a failure a
  // short English description of the answer ("status 404", ...).
  TTaskOutcome Outcome() const { return outcome.load(); }
  std::string FailureText() const { return failuretext; }
  // After a failure: the worker pauses, then turns ready without a task.
  void UnsetFailed();
  void SetTerminate();
  // SetTerminate that also cuts off a request under way (used when the
  // owner goes away, never during a run).
  void Abort();
  // The thread has ended or was told to end.
  bool IsFinished() const { return clientterminate.load() || finished.load(); }
  // Body bytes received since the previous call (negative after a failure:
  // the bytes of the failed attempt are taken back).
  int64_t GetDownloadDiff();
  const std::string& Server() const { return server; }

 private:
  void Execute();
  // Sends the task's request and checks the answer; false when it failed.
  TTaskOutcome RunTask(TDownloadTask& t);
  // Sends the request; the status of the answer, or a raised error when no
  // complete answer came (TRequestError tells an over-long body).
  long Request(TDownloadTask& t, std::vector<uint8_t>& body);
  void BecomeReady();
  // Sets the TLS rules of the handle (at least TLS 1.2, peer and host
  // verified, the pinned authorities); drops a handle that refuses them.
  void ConfigureTls(const TServerTrust& trust);

  static size_t OnWrite(char* ptr, size_t size, size_t nmemb, void* userdata);
  static int OnProgress(void* userdata, int64_t dltotal, int64_t dlnow, int64_t ultotal,
                        int64_t ulnow);

  const std::string server;
  const int32_t timeout;
  TWakeup* const readywake;
  const std::chrono::milliseconds pause;
  const int64_t lowspeedlimit;
  const std::chrono::seconds lowspeedtime;

  // Handover: the manager writes task before tasknew; the worker sets
  // taskready last. task belongs to the worker between the two.
  std::unique_ptr<TDownloadTask> task;
  std::atomic<bool> tasknew{false};
  std::atomic<bool> taskready{true};
  std::atomic<bool> taskfailed{false};
  std::atomic<bool> tasksleep{false};
  std::atomic<TTaskOutcome> outcome{TTaskOutcome::Done};
  std::string failuretext;  // written by the worker before taskready
  std::atomic<bool> clientterminate{false};
  std::atomic<bool> aborting{false};
  std::atomic<bool> finished{false};
  int64_t downloadlast = 0;                 // manager side only
  std::atomic<int64_t> downloadcurrent{0};  // written by the worker

  // Worker-thread state of the request under way.
  void* httpclient = nullptr;  // CURL*, used by the worker's thread only
  std::array<char, 256> errorbuffer_{};  // libcurl's detail of a failed request (CURL_ERROR_SIZE)
  std::vector<std::string> httpclientheaders;
  std::vector<uint8_t>* body_ = nullptr;
  int64_t expected_ = -1;
  bool overlong_ = false;    // the answer brought more than expected_
  int64_t errorbytes_ = 0;  // body bytes of an answer that is not a success
  int64_t lastbytes_ = 0;
  std::chrono::steady_clock::time_point lastdata_;

  std::mutex wakemutex;  // pairs with wakecv; guards nothing but the wait
  std::condition_variable wakecv;
  TSelfEndingThread thread;
};

}  // namespace vantrel
