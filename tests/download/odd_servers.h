// Download servers that are not nginx, for the download tests: Python's
// http.server (answers every request with the whole file and status 200,
// ignoring the Range header), and a trickle server that answers every
// request with a body sent one byte at a time. Both listen on 127.0.0.1 on a
// free port and stop what they started when they go away.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

namespace vantrel::testing {

// python3 -m http.server over root (the download servers' files lie in
// root/kestrune/). Raises std::runtime_error when it cannot be started.
class TPythonServer {
 public:
  explicit TPythonServer(const std::string& root);
  ~TPythonServer();
  TPythonServer(const TPythonServer&) = delete;
  TPythonServer& operator=(const TPythonServer&) = delete;

  // "http://127.0.0.1:<port>/kestrune/".
  std::string BaseUrl() const;
  // The paths of the GET requests logged so far ("/kestrune//bin32/a.dll.u").
  std::vector<std::string> Requests() const;
  void Stop();

 private:
  TTempDir dir_;  // holds the request log
  std::string root_;
  int port_ = 0;
  pid_t pid_ = -1;
};

// Answers every request with status 200 and a body of bodysize bytes (all
// "x"), announced by Content-Length and sent one byte every gap.
class TTrickleServer {
 public:
  TTrickleServer(int64_t bodysize, std::chrono::milliseconds gap);
  ~TTrickleServer();
  TTrickleServer(const TTrickleServer&) = delete;
  TTrickleServer& operator=(const TTrickleServer&) = delete;

  std::string BaseUrl() const;  // "http://127.0.0.1:<port>/"
  // Bodies sent to their end so far.
  int Completed() const { return completed_.load(); }

 private:
  void Accept();
  void Serve(int fd);

  const int64_t bodysize_;
  const std::chrono::milliseconds gap_;
  int listenfd_ = -1;
  int port_ = 0;
  std::atomic<int> completed_{0};
  std::mutex mutex_;  // guards stop_ and connections_; pairs with cv_
  std::condition_variable cv_;
  bool stop_ = false;
  std::vector<std::thread> connections_;
  std::thread acceptor_;
};

}  // namespace vantrel::testing
