// Files, folders and volumes. Paths are formed by the logic with "\"
// separators (gamefolder + "\tmp" + key); they are turned into the system's
// form here, where they meet the file system, and nowhere else.
#pragma once

#include <cstdint>
#include <optional>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vantrel::platform {

// "\" becomes "/"; nothing else changes.
std::string ToSystemPath(const std::string& path);

// Full path of the running executable (system form) and its folder without
// a trailing separator. Raise EOSError when the system cannot tell.
std::string ExecutablePath();
std::string ExecutableFolder();
// Makes the executable's folder the current folder, so bare names such as
// "lang.dat" resolve next to the executable.
void EnterExecutableFolder();

bool FileExists(const std::string& path);    // a regular file (or a link to one)
bool FolderExists(const std::string& path);
// Removes a file; false when it could not be removed (missing included).
bool RemoveFileAt(const std::string& path);
// Renames, replacing an existing target; false on failure.
bool RenameFileAt(const std::string& from, const std::string& to);
// Creates a folder and its missing parents; false on failure.
bool ForceFolders(const std::string& path);
// Removes a folder and everything under it; false on failure.
bool RemoveFolderTree(const std::string& path);
// The system form of path with each component that does not exist as
// written replaced by an entry of its folder that differs only in ASCII
// letter case (the first such entry in name order). Files extracted from
// the pack carry lower-case names; on a file system that tells case apart
// this finds "bin32/myrefall.exe" for "\bin32\Myrefall.exe". A path
// that cannot be matched comes back in plain system form.
std::string FindPathIgnoringCase(const std::string& path);
// Removes a folder only when it is empty; false otherwise.
bool RemoveEmptyFolder(const std::string& path);
// Gives a file the execute rights of a program (rwxr-xr-x); false on failure.
bool MakeExecutable(const std::string& path);
// Size of a file in bytes, or -1 when it does not exist.
int64_t FileSizeOf(const std::string& path);
// Flushes a folder's entries to the device (after a rename). False on failure.
bool SyncFolder(const std::string& path);
// Replaces the file at path with bytes so that a crash leaves either the old
// file or the new one, whole: the bytes go to path + ".tmp", are flushed to
// the device, the temporary file is renamed over path and the folder is
// flushed (where the file system can). Raises EFOpenError / EWriteError /
// EOSError when the file could not be written or renamed; the old file then
// stays as it was.
void ReplaceFileDurably(const std::string& path, std::span<const uint8_t> bytes);

// Text before the last separator ("\" or "/"), or empty.
std::string ExtractFileDir(const std::string& path);
// Text after the last separator.
std::string ExtractFileName(const std::string& path);
// The path with its extension (from the last "." of the file name) replaced.
std::string ChangeFileExt(const std::string& path, const std::string& ext);

// Logical sector size of the volume that holds folder, or nullopt when the
// system cannot tell. OverrideSectorSize (tests) or the environment
// variable VANTREL_SECTOR_SIZE (child processes of tests) replace the answer.
std::optional<int> LogicalSectorSize(const std::string& folder);
void OverrideSectorSize(std::optional<int> bytes);

}  // namespace vantrel::platform
