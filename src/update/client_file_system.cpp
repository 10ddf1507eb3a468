// The facade over the process's pack file ("\game_pak" in the game folder).
#include "pack/pack_dir_record.h"
#include "platform/files.h"
#include "update/update_logic.h"

namespace vantrel {

bool TUpdateLogic::ClientFileSystemInit() { return true; }
bool TUpdateLogic::ClientFileSystemUninit() { return true; }

bool TUpdateLogic::ClientFileSystemMount() {
  TPackDirRecord& pack = GetPackDir();
  // A run that failed left the pack mounted: save what it changed and start
  // from the file again, so a mount never lands on a mounted pack.
  if (pack.IsMounted()) pack.Dismount();
  const bool mounted = pack.Mount(gamefolder + "\\game_pak");
  // Records whose names could lead outside the folder they are extracted to
  // were left out; those files count as absent and are fetched again.
  for (const std::string& name : pack.unsafenames) {
    LogMessage("Unsafe file name in client file system, ignored: " + name);
  }
  return mounted;
}

bool TUpdateLogic::ClientFileSystemSave() { return GetPackDir().Save(); }
bool TUpdateLogic::ClientFileSystemUnmount() { return GetPackDir().Dismount(); }

bool TUpdateLogic::ClientFileSystemIsFileExist(const std::string& fname) {
  return GetPackDir().IsFileExist(fname);
}

TBytes TUpdateLogic::ClientFileSystemGetFileHash(const std::string& fname) {
  return GetPackDir().GetFileDigest(fname);
}

TBytes TUpdateLogic::ClientFileSystemGetRecalculatedFileHash(const std::string& fname) {
  TPackDirRecord& pack = GetPackDir();
  pack.RecalculateFileDigest(fname);
  return pack.GetFileDigest(fname);
}

bool TUpdateLogic::ClientFileSystemCopyFile(const std::string& fname, TStream* stream) {
  TPackDirRecord& pack = GetPackDir();
  if (stream != nullptr) return pack.AddReplaceFile(fname, *stream);
  // The file lies in the download folder under the key as it was written;
  // pack names are lower case, and this file system tells case apart, so
  // the file is opened by its own name rather than by the pack's.
  const std::string local = gamefolder + downloadfolder + fname;
  bool added = false;
  {
    TFileStream source(local, TFileMode::OpenRead, TFileShare::DenyNone);
    added = pack.AddReplaceFile(fname, source);
  }
  platform::RemoveFileAt(local);
  return added;
}

bool TUpdateLogic::ClientFileSystemRemoveFile(const std::string& fname) {
  return GetPackDir().RemoveFile(fname);
}

bool TUpdateLogic::ForceFolderBounded(const std::string& folder) {
  for (int attempt = 0; attempt < timings.folderattempts; ++attempt) {
    if (platform::ForceFolders(folder)) return true;
  }
  LogMessage("Unable to create folder: " + folder);
  return false;
}

bool TUpdateLogic::ClientFileSystemFinishUpdate() {
  TPackDirRecord& pack = GetPackDir();
  if (!ForceFolderBounded(gamefolder + "\\bin32")) return false;
  // The game's programs live in bin32; on this platform a file needs its
  // execute rights to be started. Only the files written here get them.
  bool result = pack.UnpackFolderToDir("/bin32", gamefolder, 0755);
  if (Configs.Value("UnpackDevDB") == "true") {
    if (!ForceFolderBounded(gamefolder + "\\game\\db")) return false;
    result = pack.UnpackFolderToDir("/game/db", gamefolder) && result;
  }
  return result;
}

std::vector<std::string> TUpdateLogic::ClientFileSystemGetFileList() {
  return GetPackDir().GetFileList();
}

}  // namespace vantrel
