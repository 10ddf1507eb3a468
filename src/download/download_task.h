// One ranged request (TDownloadTask) and one file of a download run
// (TFileDownload). A task belongs to one thread at a time: the manager, or a
// worker between its SetTask and its next ready report.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "platform/stream.h"

namespace vantrel {

struct TDownloadTask {
  TDownloadTask(std::string fname, int64_t trangefirst, int64_t trangelast, int64_t tsize,
                uint32_t tchecksum, bool tismemory, int64_t tposinfile)
      : filename(std::move(fname)),
        rangefirst(trangefirst),
        rangelast(trangelast),
        size(tsize),
        checksum(tchecksum),
        ismemory(tismemory),
        posinfile(tposinfile) {}

  // Memory task: the server-relative name ("launcher.version"); file task:
  // the version-list key ("\bin32\a.dll").
  std::string filename;
  // The received body; a new empty stream is given by SetTask.
  std::unique_ptr<TMemoryStream> data;
  int64_t rangefirst;  // inside the file's own transfer form; < 0: no start, no length check
  int64_t rangelast;   // inclusive; < 0: open-ended
  int64_t size;        // > 0: exact body length required
  uint32_t checksum;   // chunk check value required of the body; 0: none
  bool ismemory;       // fetch filename itself rather than a transfer form
  int64_t posinfile;   // offset inside the folder's combined transfer file; -1: own file
  // The download run that queued the task (0 for memory tasks): a result
  // that arrives after its run ended is dropped rather than stored.
  uint64_t runid = 0;
  // A file task whose range is the file's whole transfer form: a server that
  // ignores byte ranges still answers it right.
  bool wholefile = false;
  // Definite refusals of this task so far, by server base URL, each with
  // the last answer given (kept by the manager's run).
  struct TRefusal {
    int32_t count = 0;
    std::string answer;
  };
  std::map<std::string, TRefusal> refusals;
};

// One file of a download run; owns whatever stream it holds.
struct TFileDownload {
  int64_t size = 0;      // bytes still to be stored in this run
  int64_t fullsize = 0;  // size of the whole transfer form
  bool compressed = true;
  // The open local transfer file while chunks are written; the whole
  // transfer form (at position 0) when it came in one response; null once a
  // file on disk is complete or when nothing had to be fetched.
  std::unique_ptr<TStream> stream;
};

// "bytes=" + first + "-" + last, each part left out when negative; for a
// file task in the folder-split layout both ends are shifted by posinfile.
std::string TaskRangeValue(const TDownloadTask& task);
// Percent-encodes every byte of path that is not an unreserved character
// (RFC 3986: letters, digits, "-", ".", "_", "~"); "/" stays a separator.
std::string EncodeUrlPath(const std::string& path);
// The request URL of a task on a server whose base URL is server: the path
// part built from the task's name, percent-encoded segment by segment.
std::string TaskUrl(const std::string& server, const TDownloadTask& task);

}  // namespace vantrel
