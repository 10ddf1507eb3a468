// One ranged request (TDownloadTask) and one file of a download run
// (TFileDownload). A task belongs to one thread at a time: the manager, or a
// worker between its SetTask and its next ready report.
#pragma once

#include <cstdint>
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
// The request URL of a task on a server whose base URL is server.
std::string TaskUrl(const std::string& server, const TDownloadTask& task);

}  // namespace vantrel
