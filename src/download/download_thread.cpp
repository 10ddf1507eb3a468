#include "download/download_thread.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <type_traits>

#include "platform/errors.h"
#include "versions/update_utils.h"

namespace vantrel {

static_assert(std::is_same_v<curl_off_t, int64_t>, "curl_off_t is a 64-bit integer here");

namespace {

constexpr const char* kFolderMark = "11223344556677889900";
// Bytes of an error answer's body read before the connection is given up.
constexpr int64_t kMaxErrorBody = 64 * 1024;

void ReplaceAll(std::string& s, char from, const std::string& to) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    if (c == from) {
      out += to;
    } else {
      out += c;
    }
  }
  s = std::move(out);
}

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool InFolderSplit(const TDownloadTask& t) { return !t.ismemory && t.posinfile >= 0; }

}  // namespace

std::string TaskRangeValue(const TDownloadTask& task) {
  const int64_t shift = InFolderSplit(task) ? task.posinfile : 0;
  std::string value = "bytes=";
  if (task.rangefirst >= 0) value += std::to_string(task.rangefirst + shift);
  value += "-";
  if (task.rangelast >= 0) value += std::to_string(task.rangelast + shift);
  return value;
}

std::string EncodeUrlPath(const std::string& path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(path.size());
  for (const char ch : path) {
    const auto c = static_cast<unsigned char>(ch);
    const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                            (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
                            c == '~';
    if (unreserved || c == '/') {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    }
  }
  return out;
}

std::string TaskUrl(const std::string& server, const TDownloadTask& task) {
  std::string path = task.filename;
  if (task.ismemory) {
    ReplaceAll(path, '\\', "/");
    return server + EncodeUrlPath(path);
  }
  if (task.posinfile >= 0) {
    // The folder's combined transfer file: the text before the last "\"
    // ("\" itself for a file at the top), without a trailing "\".
    const size_t last = path.rfind('\\');
    std::string folder = last == std::string::npos || last == 0 ? "\\" : path.substr(0, last);
    if (!folder.empty() && folder.back() == '\\') folder.pop_back();
    path = folder;
  }
  ReplaceAll(path, '\\', "/");
  ReplaceAll(path, '#', kFolderMark);
  return server + EncodeUrlPath(path) + ".u";
}

TDownloadThread::TDownloadThread(std::string downloadseed, int32_t downloadtimeout, TWakeup* wake,
                                 const TDownloadTimings& timings, const TServerTrust& trust)
    : server(std::move(downloadseed)),
      timeout(downloadtimeout),
      readywake(wake),
      pause(timings.failurepause),
      lowspeedlimit(timings.lowspeedlimit),
      lowspeedtime(timings.lowspeedtime),
      httpclientheaders{"Cache-Control: no-cache", "Pragma: no-cache", "Connection: keep-alive",
                        // No Accept header on the wire (libcurl would send */*).
                        "Accept:"} {
  InitCurlOnce();
  httpclient = curl_easy_init();
  if (httpclient != nullptr) ConfigureTls(trust);
  thread.Start([this] { Execute(); });
}

TDownloadThread::~TDownloadThread() {
  Abort();
  thread.Wait();
}

void TDownloadThread::SetTask(std::unique_ptr<TDownloadTask> t) {
  t->data = std::make_unique<TMemoryStream>();
  task = std::move(t);
  downloadlast = 0;
  downloadcurrent.store(0);
  taskready.store(false);
  taskfailed.store(false);
  {
    std::lock_guard<std::mutex> hold(wakemutex);
    tasknew.store(true);
  }
  wakecv.notify_one();
}

std::unique_ptr<TDownloadTask> TDownloadThread::GetTask() { return std::move(task); }

void TDownloadThread::UnsetFailed() {
  taskfailed.store(false);
  taskready.store(false);
  {
    std::lock_guard<std::mutex> hold(wakemutex);
    tasksleep.store(true);
  }
  wakecv.notify_one();
}

void TDownloadThread::SetTerminate() {
  {
    std::lock_guard<std::mutex> hold(wakemutex);
    clientterminate.store(true);
  }
  wakecv.notify_one();
}

void TDownloadThread::Abort() {
  aborting.store(true);
  SetTerminate();
}

int64_t TDownloadThread::GetDownloadDiff() {
  const int64_t current = downloadcurrent.load();
  const int64_t diff = current - downloadlast;
  downloadlast = current;
  return diff;
}

void TDownloadThread::ConfigureTls(const TServerTrust& trust) {
  auto* curl = static_cast<CURL*>(httpclient);
  // The handle keeps these for every request. A handle that refuses them
  // is not used: an HTTPS server would otherwise be trusted on weaker terms.
  bool ok = curl_easy_setopt(curl, CURLOPT_SSLVERSION, CURL_SSLVERSION_TLSv1_2) == CURLE_OK &&
            curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
            curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK;
  if (ok && !trust.cabundle.empty()) {
    // Only the deployment's own authorities: no system file or folder.
    curl_blob blob{};
    blob.data = const_cast<char*>(trust.cabundle.data());
    blob.len = trust.cabundle.size();
    blob.flags = CURL_BLOB_COPY;
    ok = curl_easy_setopt(curl, CURLOPT_CAINFO_BLOB, &blob) == CURLE_OK &&
         curl_easy_setopt(curl, CURLOPT_CAPATH, nullptr) == CURLE_OK;
  }
  if (!ok) {
    curl_easy_cleanup(curl);
    httpclient = nullptr;
  }
}

void TDownloadThread::BecomeReady() {
  taskready.store(true);
  if (readywake != nullptr) readywake->Notify();
}

void TDownloadThread::Execute() {
  while (!clientterminate.load()) {
    std::unique_lock<std::mutex> hold(wakemutex);
    if (tasksleep.load()) {
      wakecv.wait_for(hold, pause, [&] { return clientterminate.load(); });
      tasksleep.store(false);
      hold.unlock();
      BecomeReady();
      continue;
    }
    if (!tasknew.load()) {
      wakecv.wait(hold,
                  [&] { return tasknew.load() || tasksleep.load() || clientterminate.load(); });
      continue;
    }
    tasknew.store(false);
    hold.unlock();
    const TTaskOutcome result = RunTask(*task);
    const bool ok = result == TTaskOutcome::Done;
    if (!ok) {
      downloadcurrent.store(0);
      task->data.reset();
    }
    outcome.store(result);
    taskfailed.store(!ok);
    BecomeReady();
  }
  if (httpclient != nullptr) {
    curl_easy_cleanup(static_cast<CURL*>(httpclient));
    httpclient = nullptr;
  }
  finished.store(true);
  if (readywake != nullptr) readywake->Notify();
}

TTaskOutcome TDownloadThread::RunTask(TDownloadTask& t) {
  failuretext.clear();
  try {
    std::vector<uint8_t> body;
    const long status = Request(t, body);
    if (overlong_) {
      // A server that ignores the range sends the whole file with 200.
      const bool whole = status == 200 && !t.ismemory && t.rangefirst >= 0;
      failuretext = whole ? "the whole file (status 200) for a ranged request"
                          : "a body longer than asked";
      return whole ? TTaskOutcome::WholeBody : TTaskOutcome::Refused;
    }
    if (status < 200 || status > 299) {
      char text[64];
      std::snprintf(text, sizeof text, "%ld", status);
      failuretext = std::string("Invalid response code '") + text + "' for url: '" + server +
                    t.filename + "'";
      const bool definite = status == 404 || status == 410 || status == 416;
      return definite ? TTaskOutcome::Refused : TTaskOutcome::Transient;
    }
    // Length, then CRC; without a length rule there is no CRC check either.
    int64_t want = -1;
    if (t.size > 0) {
      want = t.size;
    } else if (t.rangefirst >= 0) {
      want = t.rangelast - t.rangefirst + 1;
    }
    if (want >= 0) {
      if (static_cast<int64_t>(body.size()) != want) {
        failuretext = "a body of " + std::to_string(body.size()) + " bytes where " +
                      std::to_string(want) + " were asked";
        return TTaskOutcome::Refused;
      }
      if (t.checksum != 0 && CRC32Value(body.data(), body.size()) != t.checksum) {
        failuretext = "a chunk whose check value does not match";
        return TTaskOutcome::Refused;
      }
    }
    t.data = std::make_unique<TMemoryStream>(std::move(body));
    return TTaskOutcome::Done;
  } catch (const std::exception& e) {
    // Network errors, time-outs, an answer below the speed floor, memory:
    // asking again may succeed. Nothing is shown or logged here.
    failuretext = e.what();
    return TTaskOutcome::Transient;
  } catch (...) {
    failuretext = "unknown error";
    return TTaskOutcome::Transient;
  }
}

long TDownloadThread::Request(TDownloadTask& t, std::vector<uint8_t>& body) {
  auto* curl = static_cast<CURL*>(httpclient);
  if (curl == nullptr) throw EVantrelError("HTTP client could not be created");
  const std::string url = TaskUrl(server, t);

  curl_slist* headers = nullptr;
  for (const auto& h : httpclientheaders) headers = curl_slist_append(headers, h.c_str());
  headers = curl_slist_append(headers, ("Range: " + TaskRangeValue(t)).c_str());
  std::unique_ptr<curl_slist, void (*)(curl_slist*)> headerguard(headers, curl_slist_free_all);

  // The exact body length the answer checks will require, when known: a
  // longer answer is cut off at once instead of being held in memory.
  expected_ = -1;
  if (t.size > 0) {
    expected_ = t.size;
  } else if (t.rangefirst >= 0) {
    expected_ = t.rangelast - t.rangefirst + 1;
  }
  overlong_ = false;
  errorbytes_ = 0;
  if (expected_ > 0) body.reserve(static_cast<size_t>(std::min<int64_t>(expected_, 64 << 20)));
  body_ = &body;
  lastbytes_ = 0;
  lastdata_ = std::chrono::steady_clock::now();

  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout));
  // A base URL or a redirect naming another scheme (file:, ftp:, ...) is
  // refused: the servers are plain HTTP file servers.
#if LIBCURL_VERSION_NUM >= 0x075500
  if (curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https") != CURLE_OK ||
      curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") != CURLE_OK) {
    throw EVantrelError("HTTP client refuses the protocol restriction");
  }
#else
  if (curl_easy_setopt(curl, CURLOPT_PROTOCOLS, CURLPROTO_HTTP | CURLPROTO_HTTPS) != CURLE_OK ||
      curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS, CURLPROTO_HTTP | CURLPROTO_HTTPS) !=
          CURLE_OK) {
    throw EVantrelError("HTTP client refuses the protocol restriction");
  }
#endif
  // The speed floor: an answer that trickles in is given up, so another
  // worker can take the chunk.
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, static_cast<long>(lowspeedlimit));
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME,
                   static_cast<long>(lowspeedlimit > 0 ? lowspeedtime.count() : 0));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &TDownloadThread::OnWrite);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &TDownloadThread::OnProgress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);
  static_assert(std::tuple_size_v<decltype(errorbuffer_)> >= CURL_ERROR_SIZE);
  errorbuffer_[0] = 0;
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorbuffer_.data());

  const CURLcode rc = curl_easy_perform(curl);
  body_ = nullptr;
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  // The status decides an answer that was not a success, also when its
  // body was cut off.
  if (overlong_ || (status != 0 && (status < 200 || status > 299))) return status;
  if (rc != CURLE_OK) {
    // libcurl's detail names the cause (a certificate that does not verify, ...).
    std::string text = curl_easy_strerror(rc);
    if (errorbuffer_[0] != 0) text += std::string(": ") + errorbuffer_.data();
    throw EVantrelError(text);
  }
  return status;
}

size_t TDownloadThread::OnWrite(char* ptr, size_t size, size_t nmemb, void* userdata) {
  auto* self = static_cast<TDownloadThread*>(userdata);
  const size_t n = size * nmemb;
  try {
    long status = 0;
    curl_easy_getinfo(static_cast<CURL*>(self->httpclient), CURLINFO_RESPONSE_CODE, &status);
    if (status < 200 || status > 299) {
      // The body of an error answer is not kept; a long one is cut off.
      self->errorbytes_ += static_cast<int64_t>(n);
      return self->errorbytes_ > kMaxErrorBody ? 0 : n;
    }
    std::vector<uint8_t>& body = *self->body_;
    if (self->expected_ >= 0 && static_cast<int64_t>(body.size() + n) > self->expected_) {
      self->overlong_ = true;
      return 0;  // longer than required: fails anyway
    }
    body.insert(body.end(), reinterpret_cast<uint8_t*>(ptr), reinterpret_cast<uint8_t*>(ptr) + n);
    self->downloadcurrent.store(static_cast<int64_t>(body.size()));
    self->lastdata_ = std::chrono::steady_clock::now();
    return n;
  } catch (...) {
    return 0;  // never let an exception cross into libcurl
  }
}

namespace {

int OnProgressImpl(int64_t dlnow, int64_t& lastbytes,
                   std::chrono::steady_clock::time_point& lastdata, int32_t timeout) {
  const auto now = std::chrono::steady_clock::now();
  if (dlnow != lastbytes) {
    lastbytes = dlnow;
    lastdata = now;
    return 0;
  }
  // The response time-out: no data for three times the connection time-out.
  return now - lastdata > std::chrono::milliseconds(3LL * timeout) ? 1 : 0;
}

}  // namespace

int TDownloadThread::OnProgress(void* userdata, int64_t, int64_t dlnow, int64_t, int64_t) {
  auto* self = static_cast<TDownloadThread*>(userdata);
  if (self->aborting.load()) return 1;
  return OnProgressImpl(dlnow, self->lastbytes_, self->lastdata_, self->timeout);
}

}  // namespace vantrel
