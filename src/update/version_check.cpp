// The version check and the launcher's self-update.
#include <chrono>
#include <thread>

#include "download/download_manager.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "update/update_logic.h"
#include "update/workflow_thread.h"
#include "versions/version_records.h"

namespace vantrel {

bool TUpdateLogic::LoadLocalVersion() {
  curlist = std::make_unique<TUpdateList>();
  return curlist->LoadFromFile(gamefolder + versionfilefolder + "client.version");
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
  if (!DownloadManager) {
    DownloadManager = std::make_unique<TDownloadManager>(
        DownloadServers, DownloadThreadsPerSever, 10000, gamefolder + downloadfolder,
        "launcher.version", 36);
  }
  LogMessage("Launch version check thread");
  return StartWorkflow([this](TWorkflowThread& self) { VersionCheckRun(self); });
}

void TUpdateLogic::VersionCheckRun(TWorkflowThread& self) {
  auto error = [this](const char* line) {
    LogMessage(line);
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
  LogMessage("Downloading launcher version");
  std::unique_ptr<TMemoryStream> stream = DownloadManager->DownloadFileToMemory("launcher.version", 36);
  HideProgressBarSmall();
  if (stream->Size() != TLauncherVersion::kSize) return error("Failed download launcher version");
  LogMessage("Compare launcher version checksumm");
  const auto launcherversion = TLauncherVersion::Parse(stream->Bytes());
  if (!launcherversion) return error("Launcher version checksumm mismatch");
  stream->Clear();

  LogMessage("Get and check launcher md5 checksumm");
  if (GetFileMD5(launchername) != launcherversion->launcherhash) {
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
    // A launcher whose transfer form fits one chunk arrives in memory; it
    // must reach the transfer file all the same.
    DownloadManager->SetFileDownloadedEvent([&transferfile](const std::string&, TFileDownload& tdf) {
      if (!tdf.stream) return;
      try {
        platform::ForceFolders(platform::ExtractFileDir(transferfile));
        TFileStream out(transferfile, TFileMode::Create);
        tdf.stream->SetPosition(0);
        out.CopyFrom(*tdf.stream);
      } catch (const std::exception&) {
        // The digest check of the unpacked launcher reports the failure.
      }
    });
    const bool fetched = DownloadManager->DownloadFile(launcherfilefolder + launchername,
                                                       launcherversion->transfersize, true);
    DownloadManager->UnsetFileDownloadedEvent();
    DownloadManager->UnsetStatusUpdateEvent();
    HideProgressBarSmall();
    HideSize();
    HideSpeed();
    if (!fetched) return error("Launcher download failed");

    LogMessage("Unpack new launcher");
    DecompressFile(transferfile, launcherpath + ".new");
    LogMessage("Delete packed launcher");
    platform::RemoveFileAt(transferfile);
    if (downloadfolder.size() > 1 && platform::FolderExists(gamefolder + downloadfolder)) {
      LogMessage("Delete download temp folder");
      platform::RemoveEmptyFolder(gamefolder + downloadfolder);
    }
    LogMessage("Get and check new launcher md5 checksumm");
    TBytes newhash;
    try {
      newhash = GetFileMD5(launcherpath + ".new");
    } catch (const EFOpenError&) {
      // No new launcher at all: the same outcome as a wrong one.
    }
    if (newhash != launcherversion->launcherhash) return error("New launcher checksumm mismatch");

    LogMessage("Replace old launcher with new one");
    platform::RenameFileAt(launcherpath, launcherpath + ".old");
    platform::RenameFileAt(launcherpath + ".new", launcherpath);
    platform::MakeExecutable(launcherpath);
    LogMessage("Create process for new launcher");
    try {
      platform::TProcessOptions options;
      options.newprocessgroup = true;
      newlauncherpid = platform::StartProcess(launcherpath, newlauncherargs, options);
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
  if (stream->Size() != TBuildVersion::kSize) return error("Unable download build version");
  LogMessage("Comparing build version checksumm");
  const auto buildversion = TBuildVersion::Parse(stream->Bytes());
  if (!buildversion) return error("Build version checksumm mismatch");
  clientversiondownsize = buildversion->clientversionsize;
  stream->Clear();
  if (buildversion->updateversion == curlist->updateversion) {
    LogMessage("Client version is match build version");
    ShowVersionCheckSuccess();
  } else {
    LogMessage("Client version is not match build version, launching update thread");
    ShowVersionCheckUpdate();
  }
}

}  // namespace vantrel
