// The close sequence: every way out of the launcher ends here.
#include <chrono>
#include <thread>

#include "download/download_manager.h"
#include "update/update_logic.h"
#include "update/workflow_thread.h"

namespace vantrel {

void TUpdateLogic::AppClose(bool showclosemsg, int32_t closedelay) {
  // First: a game launch waiting for its ticket stops waiting.
  closerequested.Set();
  if (showclosemsg) OnStatusMessage("ClientFSUninit");
  LogMessage("Closing launcher");
  try {
    const auto running = WorkingThread();
    if (running && !running->Finished()) {
      LogMessage("Terminate working thread");
      running->Terminate();
    }
  } catch (...) {
  }
  if (showclosemsg) OnStatusMessage("ClientFSUninit");
  while (DownloadManager && DownloadManager->IsDownloading()) {
    LogMessage("Terminate download");
    DownloadManager->TerminateDownload();
    std::this_thread::sleep_for(std::chrono::milliseconds(timings.closepollms));
  }
  {
    // Wait for a workflow that is between downloads to reach its next
    // check of the stop flag; a workflow parked in the manager holds no lock.
    // The close sequence runs on the version check's own thread during a
    // self-update, which never holds the lock.
    std::lock_guard<std::mutex> packuse(packuselock_);
    {
      // A download run that started just before the close may still deliver
      // files; from here on they are dropped instead of reaching the pack.
      std::lock_guard<std::mutex> copy(copylock_);
      closed_ = true;
    }
    LogMessage("Unmount client file system");
    ClientFileSystemUnmount();
    LogMessage("Uninit client file system");
    ClientFileSystemUninit();
  }
  LogMessage("Close browser");
  UnInitLogFile();
  if (FOnCloseFinished) FOnCloseFinished(closedelay);
}

void TUpdateLogic::LaunchClose(bool showclosemsg, int32_t closedelay) {
  TWorkflowThread::Start(
      [this, showclosemsg, closedelay](TWorkflowThread&) { AppClose(showclosemsg, closedelay); },
      [this, closedelay](TWorkflowThread&, const std::string& what) {
        // A close that failed (a save on a full disk) still closes the
        // window: the page would otherwise wait for it for ever.
        NoteFailure("Close failed: " + what);
        if (FOnCloseFinished) FOnCloseFinished(closedelay);
      });
}

}  // namespace vantrel
