// The version check and the launcher's self-update.
#include <chrono>
#include <thread>

#include "download/download_manager.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "update/bounded_unpack.h"
#include "update/update_logic.h"
#include "update/workflow_thread.h"
#include "versions/release_record.h"
#include "versions/version_records.h"

namespace vantrel {

bool TUpdateLogic::ReplaceLauncher(const std::string& launcherpath) {
  // One rename: the launcher's name points at the old file or at the new
  // one, whole, at every instant; the running program keeps its own inode.
  if (!platform::RenameFileAt(launcherpath + ".new", launcherpath)) {
    NoteFailure("Unable to replace launcher");
    return false;
  }
  if (!platform::SyncFolder(platform::ExtractFileDir(launcherpath))) {
    // The new launcher is in place; a power cut may bring the old one back,
    // which then updates itself again.
    LogMessage("Unable to flush launcher folder");
  }
  return true;
}

bool TUpdateLogic::LoadLocalVersion() {
  curlist = std::make_unique<TUpdateList>();
  return curlist->LoadFromFile(gamefolder + versionfilefolder + "client.version");
}

void TUpdateLogic::EnsureDownloadManager() {
  std::lock_guard<std::mutex> lock(workinglock_);
  if (!DownloadManager) {
    DownloadManager = std::make_unique<TDownloadManager>(
        DownloadServers, DownloadThreadsPerSever, 10000, gamefolder + downloadfolder,
        "launcher.version", 36, TDownloadTimings{}, servertrust);
  }
}

void TUpdateLogic::ShowVersionCheckUpdate() {
  OnStatusMessage("UpdateReady");
  LaunchUpdate();
}

bool TUpdateLogic::LaunchVersionCheck() {
  if (auto running = WorkingThread(); running && !running->Finished()) return false;
  LogMessage("Load version file");
  LoadLocalVersion();
  LogMessage("Starting update manager");
  EnsureDownloadManager();
  LogMessage("Launch version check thread");
  return StartWorkflow(TWorkflowKind::VersionCheck,
                       [this](TWorkflowThread& self) { VersionCheckRun(self); });
}

void TUpdateLogic::VersionCheckRun(TWorkflowThread& self) {
  auto error = [this](const std::string& line) {
    NoteFailure(line);
    ShowVersionCheckError();
  };
  OnStatusMessage("CheckingUpdate");
  LogMessage("Check old launcher");
  if (platform::FileExists(launchername + ".old")) {
    std::this_thread::sleep_for(std::chrono::milliseconds(timings.oldlauncherwaitms));
    LogMessage("Delete old launcher");
    platform::RemoveFileAt(launchername + ".old");
  }

  ShowProgressBarSmall();
  // A launcher built with release keys trusts the version files only
  // through a record signed by one of them, fetched and checked first.
  std::optional<TReleaseRecord> release;
  if (releasekeys) {
    if (!FetchTrustedRelease(error)) {
      HideProgressBarSmall();
      return;
    }
    release = TrustedRelease();
  }
  LogMessage("Downloading launcher version");
  std::unique_ptr<TMemoryStream> stream = DownloadManager->DownloadFileToMemory("launcher.version", 36);
  HideProgressBarSmall();
  TLauncherVersionRecord launcherversion;
  if (!launcherversion.Parse(*stream)) {
    LogDroppedServers();
    return error("Failed download launcher version");
  }
  if (release &&
      !MatchesRelease("launcher.version", release->launcherversion, stream->Bytes(), error)) {
    return;
  }
  LogMessage("Compare launcher version checksumm");
  if (!launcherversion.IsDigestValid()) return error("Launcher version checksumm mismatch");
  // A transfer file of no bytes (or fewer) would be waited for for ever.
  if (launcherversion.launchersize <= 0) return error("Launcher version size is invalid");
  stream->Clear();
  const TBytes launcherhash(launcherversion.launcherhash.begin(), launcherversion.launcherhash.end());

  LogMessage("Get and check launcher md5 checksumm");
  if (GetFileMD5(launchername) != launcherhash) {
    // --- Self-update ---
    LogMessage("Launcher checksumm mismatch");
    ShowProgressBarSmall();
    DownloadManager->SetStatusUpdateEvent(
        [this](int64_t down, int64_t full, int64_t speed, bool speedupdated, bool isfilesize) {
          UpdateDownStatusSmall(down, full, speed, speedupdated, isfilesize);
        });
    LogMessage("Downloading latest launcher");
    const std::string launcherpath = gamefolder + launcherfilefolder + launchername;
    const std::string transferfile = gamefolder + downloadfolder + launcherfilefolder + launchername + ".u";
    // DownloadFile leaves the transfer file on disk whatever its size.
    const bool fetched = DownloadManager->DownloadFile(launcherfilefolder + launchername,
                                                       launcherversion.launchersize, true);
    DownloadManager->UnsetStatusUpdateEvent();
    HideProgressBarSmall();
    HideSize();
    HideSpeed();
    if (!fetched) return error("Launcher download failed");
    if (release) {
      // Checked before a byte of it is unpacked; a forged file goes at once.
      TFileFingerprint got;
      try {
        got = FingerprintOfFile(transferfile);
      } catch (const EStreamError&) {
        // Unreadable: it matches nothing.
      }
      if (got != release->launchertransfer) {
        platform::RemoveFileAt(transferfile);
        if (downloadfolder.size() > 1) platform::RemoveEmptyFolder(gamefolder + downloadfolder);
        return error("Launcher transfer file does not match the release record");
      }
    }

    LogMessage("Unpack new launcher");
    const std::string newlauncher = launcherpath + ".new";
    try {
      // A program's mode, set on the file itself, and its bytes on the
      // device before it can take the launcher's place.
      TFileStream packed(transferfile, TFileMode::OpenRead, TFileShare::DenyNone);
      UnpackToFile(packed, newlauncher, unpacklimits.maxfilesize, newlauncher, 0755, true);
    } catch (const std::exception& e) {
      // No new launcher: the digest check below reports it.
      LogMessage(std::string("Unable to unpack new launcher: ") + e.what());
    }
    LogMessage("Delete packed launcher");
    platform::RemoveFileAt(transferfile);
    if (downloadfolder.size() > 1 && platform::FolderExists(gamefolder + downloadfolder)) {
      LogMessage("Delete download temp folder");
      platform::RemoveEmptyFolder(gamefolder + downloadfolder);
    }
    LogMessage("Get and check new launcher md5 checksumm");
    TBytes newhash;
    try {
      newhash = GetFileMD5(newlauncher);
    } catch (const EFOpenError&) {
      // No new launcher at all: the same outcome as a wrong one.
    }
    if (newhash != launcherhash) return error("New launcher checksumm mismatch");

    // A close that began meanwhile wins: nothing is swapped or started
    // behind it, and the next start fetches the launcher again.
    if (self.Terminated()) {
      platform::RemoveFileAt(newlauncher);
      return;
    }
    LogMessage("Replace old launcher with new one");
    if (!ReplaceLauncher(launcherpath)) return ShowVersionCheckError();
    if (self.Terminated()) return;
    LogMessage("Create process for new launcher");
    try {
      platform::TSpawnOptions options;
      options.program = platform::ToSystemPath(launcherpath);
      options.argv.push_back(options.program);
      options.argv.insert(options.argv.end(), restartargs.begin(), restartargs.end());
      options.newprocessgroup = true;
      newlauncherpid = platform::SpawnProcess(options);
    } catch (const EOSError&) {
      return error("CNew launcher lainching failed");
    }
    AppClose(true, 0);
    return;
  }

  // --- Client check ---
  if (curlist->updateversion == -1) {
    LogMessage("Current client version missing, creating repair thread");
    LaunchRepair();
    return;
  }
  if (curlist->updateversion == 0) {
    LogMessage("Current client version load failed");
    OnStatusMessage("ClientCorrupted");
    OnChangeButtonsState(true, false, false, false);
    return;
  }
  if (self.Terminated()) return;
  LogMessage("Downloading build version");
  stream = DownloadManager->DownloadFileToMemory("build.version", 24);
  TBuildVersionRecord buildversion;
  if (!buildversion.Parse(*stream)) return error("Unable download build version");
  if (release && !MatchesRelease("build.version", release->buildversion, stream->Bytes(), error)) {
    return;
  }
  LogMessage("Comparing build version checksumm");
  if (!buildversion.IsDigestValid()) return error("Build version checksumm mismatch");
  if (release && buildversion.updateversion != release->updateversion) {
    return error("build.version does not match the release record");
  }
  clientversiondownsize = buildversion.clientversiondownsize;
  stream->Clear();
  if (buildversion.updateversion == curlist->updateversion) {
    LogMessage("Client version is match build version");
    // The installed client is this release: nothing older is taken from now
    // on. A floor that cannot be stored here stays where the update left it.
    if (release) AcceptRelease(release->updateversion);
    ShowVersionCheckSuccess();
  } else {
    LogMessage("Client version is not match build version, launching update thread");
    ShowVersionCheckUpdate();
  }
}

}  // namespace vantrel
