// The client repair: trusts nothing local, recomputes every digest.
#include <set>

#include "download/download_manager.h"
#include "pack/pack_limits.h"
#include "update/update_logic.h"
#include "update/workflow_thread.h"
#include "versions/release_record.h"
#include "versions/version_records.h"

namespace vantrel {

bool TUpdateLogic::LaunchRepair() {
  // A repair started before any version check (the headless "repair")
  // needs the manager the check would have made.
  EnsureDownloadManager();
  return StartWorkflow(TWorkflowKind::Repair, [this](TWorkflowThread& self) { RepairRun(self); });
}

void TUpdateLogic::RepairRun(TWorkflowThread& self) {
  std::unique_lock<std::mutex> packuse(packuselock_);
  // After the close has unmounted the pack nothing may mount it again.
  if (self.Terminated() || closed_) return;
  auto error = [this](const std::string& line) {
    NoteFailure(line);
    ShowRepairError();
  };
  // The published version files fail the check of the version check.
  auto versionerror = [this](const std::string& line) {
    NoteFailure(line);
    ShowVersionCheckError();
  };
  OnChangeButtonsState(false, false, false, true);
  OnStatusMessage("GetLatestFileList");

  // With release keys the repair trusts only what a record it checked
  // itself names, whatever an earlier version check found.
  std::optional<TReleaseRecord> release;
  if (releasekeys) {
    packuse.unlock();
    const bool trusted = FetchTrustedRelease(versionerror);
    packuse.lock();
    if (!trusted || self.Terminated()) return;
    release = TrustedRelease();
  }

  LogMessage("Downloading build version");
  packuse.unlock();
  std::unique_ptr<TMemoryStream> stream = DownloadManager->DownloadFileToMemory("build.version", 24);
  packuse.lock();
  if (self.Terminated()) return;
  TBuildVersionRecord buildversion;
  if (!buildversion.Parse(*stream)) return versionerror("Unable to download build version");
  if (release &&
      !MatchesRelease("build.version", release->buildversion, stream->Bytes(), versionerror)) {
    return;
  }
  if (!buildversion.IsDigestValid()) return versionerror("Build version checksumm mismatch");
  clientversiondownsize = buildversion.clientversiondownsize;

  TMemoryStream newbytes;
  auto newlist = std::make_unique<TUpdateList>();
  if (!FetchNewListAndMount(self, packuse, newbytes, *newlist, true, error)) return;

  OnStatusMessage("RemoveDeletedFiles");
  if (Configs.Value("RemoveDeletedFiles") == "true") {
    LogMessage("Checking existing client files");
    const std::vector<std::string> listing = ClientFileSystemGetFileList();
    // The pack lists its entries in lower case: an entry is published when
    // a key of the list names it in the pack's own form. Comparing the
    // listing with the keys as they are would remove every intact file
    // whose published name has a capital letter, and fetch it again.
    std::set<std::string> published;
    for (const auto& [name, file] : newlist->filelist) published.insert(PackNameOf(name));
    int64_t i = 0;
    for (const std::string& name : listing) {
      if (self.Terminated()) return;
      UpdateDownStatusSmall(i, static_cast<int64_t>(listing.size()), 0, false, false);
      ++i;
      if (published.count(PackNameOf(name)) == 0) {
        LogMessage("Removing old file: " + name);
        ClientFileSystemRemoveFile(name);
      }
    }
    HideSize();
  }

  ShowProgressBarSmall();
  TUpdateFileRefs downloadset;
  int64_t n = 0;
  const int64_t total = static_cast<int64_t>(newlist->filelist.size());
  for (const auto& [name, file] : newlist->filelist) {
    if (self.Terminated()) return;
    OnStatusMessage("CheckingFile", name);
    LogMessage("Check file for download: " + name);
    if (!ClientFileSystemIsFileExist(name) ||
        ClientFileSystemGetRecalculatedFileHash(name) != file->hash) {
      downloadset.emplace(name, file.get());
    }
    ++n;
    UpdateDownStatusSmall(n, total, 0, false, false);
  }
  HideSize();

  if (!DownloadAndVerify(self, packuse, std::move(downloadset), true)) return;
  if (!FinishClientUpdate(std::move(newlist), newbytes, true)) return ShowRepairError();
  ShowRepairSuccess();
}

}  // namespace vantrel
