// The client update, the download loop it shares with the repair, and the
// handling of each downloaded file.
#include <algorithm>
#include <chrono>
#include <map>
#include <string>

#include "download/download_manager.h"
#include "pack/pack_dir_record.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "update/bounded_unpack.h"
#include "update/update_logic.h"
#include "update/workflow_thread.h"
#include "versions/release_record.h"

namespace vantrel {

bool TUpdateLogic::StartWorkflow(TWorkflowKind kind, std::function<void(TWorkflowThread&)> run) {
  std::lock_guard<std::mutex> lock(workinglock_);
  if (closed_) return false;
  if (workingthread && !workingthread->Finished()) {
    // A workflow may hand over to the next one from its own thread, unless
    // it was told to stop: the close may already have let go of the pack.
    // Anyone else must wait until it has ended.
    if (!workingthread->IsCurrent() || workingthread->Terminated()) return false;
  }
  workingthread = TWorkflowThread::Start(
      std::move(run), [this, kind](TWorkflowThread& self, const std::string& what) {
        ReportWorkflowFailure(kind, self, what);
      });
  return true;
}

void TUpdateLogic::ReportWorkflowFailure(TWorkflowKind kind, TWorkflowThread& self,
                                         const std::string& what) {
  const char* name = kind == TWorkflowKind::VersionCheck ? "Version check"
                     : kind == TWorkflowKind::Update     ? "Update"
                                                         : "Repair";
  NoteFailure(std::string(name) + " failed: " + what);
  // A workflow the close told to stop leaves the status to the close.
  if (self.Terminated()) return;
  HideProgressBarSmall();
  switch (kind) {
    case TWorkflowKind::VersionCheck:
      ShowVersionCheckError();
      break;
    case TWorkflowKind::Update:
      ShowUpdateError();
      break;
    case TWorkflowKind::Repair:
      ShowRepairError();
      break;
  }
}

std::shared_ptr<TWorkflowThread> TUpdateLogic::WorkingThread() const {
  std::lock_guard<std::mutex> lock(workinglock_);
  return workingthread;
}

bool TUpdateLogic::LaunchUpdate() {
  EnsureDownloadManager();
  return StartWorkflow(TWorkflowKind::Update, [this](TWorkflowThread& self) { UpdateRun(self); });
}

void TUpdateLogic::UpdateRun(TWorkflowThread& self) {
  std::unique_lock<std::mutex> packuse(packuselock_);
  // After the close has unmounted the pack nothing may mount it again.
  if (self.Terminated() || closed_) return;
  auto error = [this](const std::string& line) {
    NoteFailure(line);
    ShowUpdateError();
  };
  if (!curlist) LoadLocalVersion();  // started without a version check
  OnChangeButtonsState(false, false, false, true);
  OnStatusMessage("GetLatestFileList");
  std::vector<std::string> checklist;
  TUpdateFileRefs downloadset;

  TMemoryStream newbytes;
  auto newlist = std::make_unique<TUpdateList>();
  if (!FetchNewListAndMount(self, packuse, newbytes, *newlist, false, error)) return;

  OnStatusMessage("ComputingFiles");
  LogMessage("Checking existing client files");
  const int64_t oldcount = static_cast<int64_t>(curlist->filelist.size());
  int64_t i = 0;
  const std::string ownkey = launcherfilefolder + launchername;
  for (const auto& [name, oldfile] : curlist->filelist) {
    if (self.Terminated()) return;
    UpdateDownStatusSmall(i, oldcount, 0, false, false);
    ++i;
    const auto it = newlist->filelist.find(name);
    if (it != newlist->filelist.end()) {
      if (name == ownkey) continue;
      LogMessage("Checking file: " + name);
      if (oldfile->hash != it->second->hash) checklist.push_back(name);
    } else {
      LogMessage("Removing old file: " + name);
      if (ClientFileSystemIsFileExist(name)) ClientFileSystemRemoveFile(name);
    }
  }
  HideSize();
  for (const auto& [name, file] : newlist->filelist) {
    if (curlist->filelist.count(name) == 0) {
      LogMessage("Add new file to list: " + name);
      checklist.push_back(name);
    }
  }

  ShowProgressBarSmall();
  int64_t j = 0;
  for (const std::string& name : checklist) {
    if (self.Terminated()) return;
    LogMessage("Check file for download: " + name);
    OnStatusMessage("CheckingFile", name);
    const TUpdateFile* file = newlist->filelist.at(name).get();
    if (!ClientFileSystemIsFileExist(name) || ClientFileSystemGetFileHash(name) != file->hash) {
      downloadset.emplace(name, file);
    }
    ++j;
    UpdateDownStatusSmall(j, static_cast<int64_t>(checklist.size()), 0, false, false);
  }
  HideSize();

  if (!DownloadAndVerify(self, packuse, std::move(downloadset), false)) return;
  if (!FinishClientUpdate(std::move(newlist), newbytes, false)) return ShowUpdateError();
  ShowUpdateSuccess();
}

bool TUpdateLogic::FetchNewListAndMount(TWorkflowThread& self,
                                        std::unique_lock<std::mutex>& packuse,
                                        TMemoryStream& newbytes, TUpdateList& newlist,
                                        bool setasidebroken,
                                        const std::function<void(const std::string&)>& error) {
  // With release keys the list must be the one the trusted record names: an
  // update started without a version check (or long after it) fetches the
  // record itself.
  std::optional<TReleaseRecord> release;
  if (releasekeys) {
    release = TrustedRelease();
    if (!release || WallClockNow() >= release->expiresat) {
      packuse.unlock();
      const bool trusted = FetchTrustedRelease(error);
      packuse.lock();
      if (!trusted || self.Terminated()) return false;
      release = TrustedRelease();
    }
  }
  ShowProgressBarSmall();
  DownloadManager->SetStatusUpdateEvent(
      [this](int64_t down, int64_t full, int64_t speed, bool speedupdated, bool isfilesize) {
        UpdateDownStatusSmall(down, full, speed, speedupdated, isfilesize);
      });
  LogMessage("Downloading client version");
  packuse.unlock();
  std::unique_ptr<TMemoryStream> fetched = DownloadManager->DownloadFileToMemory(
      "client.version", release ? release->clientversion.size : clientversiondownsize);
  packuse.lock();
  DownloadManager->UnsetStatusUpdateEvent();
  HideProgressBarSmall();
  HideSize();
  HideSpeed();
  if (self.Terminated()) return false;

  newbytes.Clear();
  fetched->SetPosition(0);
  newbytes.CopyFrom(*fetched);
  newbytes.SetPosition(0);
  if (release && fetched->Size() > 0 &&
      !MatchesRelease("client.version", release->clientversion, newbytes.Bytes(), error)) {
    return false;
  }
  if (!newlist.LoadFromStream(newbytes)) {
    error("Unable to load new client version");
    return false;
  }
  if (release && newlist.updateversion != release->updateversion) {
    error("client.version does not match the release record");
    return false;
  }

  OnStatusMessage("ClientFSInit");
  LogMessage("Init client file system");
  ClientFileSystemInit();
  LogMessage("Mount client file system");
  if (!MountForWorkflow(setasidebroken)) {
    error("Unable to mount client file system");
    return false;
  }
  return true;
}

bool TUpdateLogic::MountForWorkflow(bool setasidebroken) {
  if (ClientFileSystemMount()) return true;
  if (!setasidebroken) return false;
  // The directory cannot be read. The repair starts a new pack and keeps
  // the old bytes, once, for inspection.
  const std::string pack = gamefolder + "\\game_pak";
  const std::string broken = pack + ".broken";
  LogMessage("Setting aside unreadable client file system: " + GetPackDir().loaderror);
  platform::RemoveFileAt(PackSidecarPath(broken));
  if (!platform::RenameFileAt(pack, broken)) {
    LogMessage("Unable to set aside client file system");
    return false;
  }
  // Its sidecar describes the old bytes only; it goes with them.
  platform::RenameFileAt(PackSidecarPath(pack), PackSidecarPath(broken));
  platform::SyncFolder(gamefolder);
  return ClientFileSystemMount();
}

bool TUpdateLogic::DownloadAndVerify(TWorkflowThread& self, std::unique_lock<std::mutex>& packuse,
                                     TUpdateFileRefs downloadset, bool recalculate) {
  // Passes whose delivered file failed its check, by file.
  std::map<std::string, int> checkfailures;
  while (!downloadset.empty()) {
    if (self.Terminated()) return false;
    {
      std::lock_guard<std::mutex> copy(copylock_);
      refusedfile_.clear();
    }
    OnStatusMessage("DownloadingAndUnpackingFiles");
    ShowProgressBarSmall();
    DownloadManager->SetStatusUpdateEvent(
        [this](int64_t down, int64_t full, int64_t speed, bool speedupdated, bool isfilesize) {
          UpdateDownStatusSmall(down, full, speed, speedupdated, isfilesize);
        });
    // With release keys a file must have the digest of the signed list
    // before it may enter the pack.
    DownloadManager->SetFileDownloadedEvent([this, &downloadset](const std::string& fname,
                                                                 TFileDownload& tdf) {
      const auto it = downloadset.find(fname);
      const TBytes* expected = releasekeys && it != downloadset.end() ? &it->second->hash : nullptr;
      StoreDownloadedFile(fname, tdf, expected);
    });
    LogMessage("Downloading files");
    // The event thread writes the pack while this thread waits here; a
    // close stops the run and parks this thread inside the manager.
    packuse.unlock();
    const bool fetched = DownloadManager->DownloadFileList(downloadset);
    packuse.lock();
    DownloadManager->UnsetFileDownloadedEvent();
    DownloadManager->UnsetStatusUpdateEvent();
    HideSize();
    HideSpeed();
    for (const std::string& note : DownloadManager->LastRunNotes()) LogMessage(note);
    if (self.Terminated()) return false;
    std::string refused;
    {
      std::lock_guard<std::mutex> copy(copylock_);
      refused.swap(refusedfile_);
    }
    if (!refused.empty()) {
      // The same bytes would come again in every pass.
      NoteFailure("Unpacked file is too large for the client file system: " + refused);
      HideProgressBarSmall();
      if (recalculate) {
        ShowRepairError();
      } else {
        ShowUpdateError();
      }
      return false;
    }
    if (!fetched) {
      NoteFailure("Failed to download files");
      // Why the run failed: a sentence naming the file or the server; the
      // headless front end shows the last failure noted.
      if (const std::string reason = DownloadManager->LastRunError(); !reason.empty()) {
        NoteFailure(reason);
      }
      HideProgressBarSmall();
      if (recalculate) {
        ShowRepairError();
      } else {
        ShowUpdateError();
      }
      return false;
    }
    OnStatusMessage("ClientFSSave");
    LogMessage("Saving client file system");
    ClientFileSystemSave();

    TUpdateFileRefs again;
    ShowProgressBarSmall();
    int64_t k = 0;
    for (const auto& [name, file] : downloadset) {
      OnStatusMessage("CheckingFile", name);
      LogMessage("Checking files: " + name);
      const bool present = ClientFileSystemIsFileExist(name);
      const bool good = present && (recalculate ? ClientFileSystemGetRecalculatedFileHash(name)
                                                : ClientFileSystemGetFileHash(name)) == file->hash;
      if (!good) again.emplace(name, file);
      ++k;
      UpdateDownStatusSmall(k, static_cast<int64_t>(downloadset.size()), 0, false, false);
    }
    HideSize();
    // Every file of the pass was delivered: one that fails again would come
    // with the same bytes in every later pass.
    for (const auto& [name, file] : again) {
      if (++checkfailures[name] < CheckPassesPerFile) continue;
      NoteFailure("Client file " + name + " fails its check after " +
                  std::to_string(CheckPassesPerFile) + " downloads");
      HideProgressBarSmall();
      if (recalculate) {
        ShowRepairError();
      } else {
        ShowUpdateError();
      }
      return false;
    }
    downloadset = std::move(again);
  }
  return !self.Terminated();
}

bool TUpdateLogic::FinishClientUpdate(std::unique_ptr<TUpdateList> newlist,
                                      const TMemoryStream& newbytes, bool createfolder) {
  OnStatusMessage("ClientFSUninit");
  // The floor goes up before anything of the new release is called
  // installed (its programs copied out, its list stored): a kill in between
  // leaves a floor above the old release, never an installed release above
  // its floor that an older signed release could replace.
  if (releasekeys && !AcceptRelease(newlist->updateversion)) {
    NoteFailure("Unable to store accepted release " + std::to_string(newlist->updateversion));
    HideProgressBarSmall();
    return false;
  }
  LogMessage("Finish update client file system");
  // Executables that could not be written must not be called current: the
  // old "client.version" stays, so the next check tries again.
  std::string why;
  bool extracted = false;
  try {
    extracted = ClientFileSystemFinishUpdate();
  } catch (const std::exception& e) {
    why = std::string(": ") + e.what();
  }
  if (!extracted) {
    NoteFailure("Unable to extract client files" + why);
    HideProgressBarSmall();
    return false;
  }
  LogMessage("Unmount client file system");
  ClientFileSystemUnmount();
  LogMessage("Uninit client file system");
  ClientFileSystemUninit();
  if (downloadfolder.size() > 1 && platform::FolderExists(gamefolder + downloadfolder)) {
    LogMessage("Removing download temp folder");
    platform::RemoveFolderTree(gamefolder + downloadfolder);
  }
  curlist = std::move(newlist);
  const std::string versionfile = gamefolder + versionfilefolder + "client.version";
  if (createfolder) platform::ForceFolders(platform::ExtractFileDir(versionfile));
  LogMessage("Saving client version");
  // The list is stored exactly as fetched, replacing the old one only once
  // it is whole on disk.
  platform::ReplaceFileDurably(versionfile, newbytes.Bytes());
  HideProgressBarSmall();
  return true;
}

void TUpdateLogic::ProcessDownloadedFile(const std::string& fname, TFileDownload& tdf) {
  StoreDownloadedFile(fname, tdf, nullptr);
}

bool TUpdateLogic::UnpackedFileMatches(const std::string& fname, TFileDownload& tdf,
                                       const TBytes& expected) {
  if (tdf.stream) {
    tdf.stream->SetPosition(0);
    const TBytes got = GetStreamMD5(*tdf.stream);
    tdf.stream->SetPosition(0);
    return got == expected;
  }
  const std::string local = gamefolder + downloadfolder + fname;
  TBytes got;
  try {
    got = GetFileMD5(local);
  } catch (const EStreamError&) {
    return false;
  }
  if (got == expected) return true;
  platform::RemoveFileAt(local);
  return false;
}

void TUpdateLogic::StoreDownloadedFile(const std::string& fname, TFileDownload& tdf,
                                       const TBytes* expected) {
  std::lock_guard<std::mutex> copy(copylock_);
  if (closed_) return;
  try {
    LogMessage("Process downloaded file: " + fname);
    if (tdf.compressed) UnpackDownloadedFile(fname, tdf);
    if (expected != nullptr && !UnpackedFileMatches(fname, tdf, *expected)) {
      // Chunks that passed their check values but not the signed digest:
      // the file stays out of the pack and fails its check after the pass.
      LogMessage("Downloaded file does not match the signed list, not stored: " + fname);
      return;
    }
    ClientFileSystemCopyFile(fname, tdf.stream.get());
    // The pack's directory on disk names only what the last save knew; a
    // save every few seconds keeps a killed run from losing every file it
    // had already put into the pack.
    const auto now = std::chrono::steady_clock::now();
    if (now - lastpacksave_ >= std::chrono::milliseconds(timings.packsaveintervalms)) {
      ClientFileSystemSave();
      lastpacksave_ = now;
    }
  } catch (const EUnpackLimit&) {
    // Fetching it again would bring the same bytes: the run fails with it.
    refusedfile_ = fname;
    try {
      LogMessage("Unpacked file too large: " + fname);
    } catch (...) {
    }
  } catch (...) {
    // The file fails its check after the pass and is fetched again.
  }
}

void TUpdateLogic::UnpackDownloadedFile(const std::string& fname, TFileDownload& tdf) {
  const std::string local = gamefolder + downloadfolder + fname;
  if (!tdf.stream) {
    // The transfer file goes whatever the outcome: a damaged one is
    // fetched again in the next pass.
    try {
      TFileStream packed(local + ".u", TFileMode::OpenRead, TFileShare::DenyNone);
      UnpackToFile(packed, local, unpacklimits.maxfilesize, fname);
    } catch (...) {
      platform::RemoveFileAt(local + ".u");
      throw;
    }
    platform::RemoveFileAt(local + ".u");
    return;
  }
  // A file that came in one response is unpacked in memory while it stays
  // small; a larger one is unpacked again, as a stream, into the download
  // folder and taken from there.
  tdf.stream->SetPosition(0);
  auto unpacked = std::make_unique<TMemoryStream>();
  bool inmemory = false;
  bool exceeded = false;
  {
    TLimitedStream limited(*unpacked, std::min(unpacklimits.inmemorysize, unpacklimits.maxfilesize));
    inmemory = DecompressStream(*tdf.stream, limited);
    exceeded = limited.Exceeded();
  }
  if (inmemory) {
    unpacked->SetPosition(0);
    tdf.stream = std::move(unpacked);
    return;
  }
  if (!exceeded) throw EVantrelError("Unable to unpack " + fname);
  if (unpacklimits.inmemorysize >= unpacklimits.maxfilesize) throw EUnpackLimit(fname);
  // The name comes from the server's list: it must stay inside the
  // download folder before anything is written under it.
  if (!IsSafePackPath(TPackFileRecord::FixName(fname))) {
    throw EVantrelError("Unsafe file name, not unpacked: " + fname);
  }
  unpacked.reset();
  platform::ForceFolders(platform::ExtractFileDir(local));
  tdf.stream->SetPosition(0);
  UnpackToFile(*tdf.stream, local, unpacklimits.maxfilesize, fname);
  tdf.stream.reset();
}

}  // namespace vantrel
