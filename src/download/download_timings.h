// Time constants and limits of the download manager and its workers. The
// shipped values are the defaults; tests shorten them. docs/download.md says
// why each shipped value is what it is.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace vantrel {

struct TDownloadTimings {
  std::chrono::milliseconds failurepause{5000};  // a worker's pause after a failed task
  std::chrono::milliseconds probewindow{1000};   // later servers within it are interleaved
  std::chrono::milliseconds parkstep{1000};      // sleep step of a caller parked for good
  // Low-speed floor of one request: an answer that brings fewer than
  // lowspeedlimit bytes per second for lowspeedtime is given up (and the
  // chunk goes to another worker). lowspeedlimit 0: no floor.
  int64_t lowspeedlimit = 512;
  std::chrono::seconds lowspeedtime{60};
  // A run during which no new byte has arrived from any server for this
  // long ends with an error.
  std::chrono::milliseconds silencelimit{std::chrono::minutes(10)};
  // Bytes of fetched data the manager's queues may hold at once: chunks
  // waiting for the file thread plus files held in memory waiting for
  // delivery. Reached before the queues' item caps on a slow disk; a single
  // item larger than the bound still passes when the queues are empty.
  int64_t maxqueuedbytes = int64_t{16} << 20;
  // Milliseconds on a monotonic clock, read by the probe; empty: steady clock.
  std::function<int64_t()> clock;
};

}  // namespace vantrel
