// One mounted pack: the client's files in one large file with an encrypted
// directory at its end (layout in docs/formats.md). The process has a single
// TPackDirRecord, made by GetPackDir and kept until the process ends; it
// owns its records and the open pack file.
//
// Threads: one thread at a time runs the pack operations, with one
// exception: Save and Dismount may run on another thread than an
// AddReplaceFile or RemoveFile. They meet through the ischanging / issaving
// handshake: a save waits for the change under way to end, and an add or
// remove refuses (returns false) while a save runs. Every other field is
// unguarded and belongs to the thread that runs the operations; read it
// only from there.
//
// Names: every name a caller hands in is brought into the normal form of
// TPackFileRecord::FixName first. Texts are UTF-8 (the system's 8-bit code
// page), so each operation has one form for names.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "pack/pack_file_record.h"
#include "pack/pack_sidecar.h"
#include "platform/stream.h"
#include "versions/update_utils.h"

namespace vantrel {

class TPackDirRecord {
 public:
  // The reset state; the cipher is set up on first use.
  TPackDirRecord();
  // Neither saves nor writes anything; the file, when open, is closed.
  ~TPackDirRecord();
  TPackDirRecord(const TPackDirRecord&) = delete;
  TPackDirRecord& operator=(const TPackDirRecord&) = delete;

  // --- Mounting -----------------------------------------------------------

  // Opens the pack at filename ("\" separators allowed) for reading and
  // writing, no other holder allowed, creating it when missing, and reads its
  // directory. A directory that is missing or unreadable leaves the pack
  // empty; one that a crash overwrote is taken from the sidecar when that fits
  // the pack (isrecovered). An error while reading the directory closes the
  // file again (loaderror tells why) and returns false. Raises
  // EFOpenError when the file can neither be opened nor created, EPackError
  // when a pack is already mounted.
  bool Mount(const std::string& filename);
  // The same for looking only: the file must exist, nothing is ever written
  // to it or to its sidecar, and every change raises EPackError.
  bool MountReadOnly(const std::string& filename);
  // False when nothing is mounted. Otherwise waits for a change under way,
  // saves when the directory changed, closes the file and resets the object.
  // A failed save raises after the file is closed.
  bool Dismount();
  bool IsMounted() const { return packfile != nullptr; }

  // --- Directory ----------------------------------------------------------

  // Reads the directory of the open pack: the volume's sector size first,
  // then 512. False when none was found (the directory is empty and
  // ischanged set). Read errors raise.
  bool Load();
  // One attempt with logicalsectorsize.
  bool LoadDir();
  // Waits for a change under way (add and remove are refused meanwhile),
  // then writes the directory with the volume's sector size: first the
  // sidecar, then the pack's record and header blocks at endofdata, cutting
  // the file after them. Always true; write errors raise and leave ischanged
  // set. Raises EPackError when nothing is mounted or it is read-only.
  bool Save();
  // The writing half of Save; the caller holds the save side of the handshake.
  bool SaveDir();
  // The values of a new object; closes the file when one is open.
  void Reset();

  // --- Files --------------------------------------------------------------

  // Stores the file at folder + "\" + the normalized name under filename.
  // Raises EFOpenError when the source cannot be opened (nothing changes).
  bool AddReplaceFile(const std::string& filename, const std::string& folder);
  // Stores the bytes from the stream's position to its end under filename.
  // False, with nothing changed, while a save runs. A read or write error
  // raises; the file then keeps its new place with its previous digest (zero
  // for a new file), so a digest check finds it different. Raises
  // EPackError, with nothing changed, for a file too large for the pack
  // (kPackMaxFileSize), a normalized name longer than kPackMaxNameLength or
  // unsafe to extract (IsSafePackPath, or holding "\"), or a pack not mounted.
  bool AddReplaceFile(const std::string& filename, TStream& stream);
  // True, also for a name not in the pack; false while a save runs.
  bool RemoveFile(const std::string& filename);
  // Recomputes the digest from the stored bytes and stores it when it
  // differs (ischanged). A stored file cut short by the pack's end digests
  // the bytes that are there. Always true.
  bool RecalculateFileDigest(const std::string& filename);
  // MD5 of the stored bytes, without changing anything; empty for a name
  // not in the pack.
  TBytes ComputeFileDigest(const std::string& filename);
  // The stored digest; 16 zero bytes for a name not in the pack.
  TBytes GetFileDigest(const std::string& filename) const;
  bool IsFileExist(const std::string& filename) const;
  // Every file as "\" + its name with "\" separators (\bin32\game.exe).
  std::vector<std::string> GetFileList() const;
  // Writes every file whose name begins with the normalized foldername + "/"
  // to dstfolder + "\" + its name, creating folders and replacing files.
  // When any such name is unsafe (IsSafePackPath) nothing is written and
  // EPackError names it; a folder that cannot be created after a few tries
  // raises EPackError; read and write errors raise. True otherwise. Each
  // file is written under a temporary name with mode permissions, flushed
  // and renamed over the old one; the folders are flushed at the end.
  bool UnpackFolderToDir(const std::string& foldername, const std::string& dstfolder,
                         unsigned permissions = 0644);
  // The same for every file of the pack.
  bool UnpackAllToDir(const std::string& dstfolder);

  // --- Space --------------------------------------------------------------

  // Slack to reserve behind a file of this normalized name and size.
  // Raises EPackError when the file is too large for the pack.
  int64_t CalculateFileMargin(const std::string& filename, int64_t size) const;
  // Sorts, merges and hands back the unused slots (once per change).
  void OptimizeUnusedRecords();
  // Places a file (new or replaced) under the normalized name n with size z
  // and returns its record, registered in filelist.
  TPackFileRecord& PlaceFile(const std::string& n, int64_t z);
  // Gives r's slot back: to the end of the data area when it is last,
  // otherwise to unusedlist. r stays in filelist; the caller removes it.
  void FreeSlot(const TPackFileRecord& r);

  // --- State (owned by the thread that runs the operations) --------------

  int32_t sig = kPackMagic;
  int32_t ver = 0;
  int32_t numRecord = 0;
  int32_t numUnused = 0;
  uint32_t attr = 0;
  std::map<std::string, std::unique_ptr<TPackFileRecord>> filelist;
  std::vector<std::unique_ptr<TPackFileRecord>> unusedlist;
  std::unique_ptr<TFileStream> packfile;
  int64_t packfilesize = 0;
  int32_t logicalsectorsize = kPackFallbackSectorSize;
  int32_t reallogicalsectorsize = kPackFallbackSectorSize;
  bool ischanged = false;
  bool isunusedoptimized = true;
  int64_t endofdata = 0;
  // The handshake flags; written under flagsmutex_, readable anywhere.
  std::atomic<bool> ischanging{false};
  std::atomic<bool> issaving{false};
  bool isoldversion = false;

  // What the last mount found (for tools and logs).
  std::string packfilename;
  bool isreadonly = false;
  int32_t foundsectorsize = 0;  // S the directory was read with; 0: none read
  bool isrecovered = false;     // the directory came from the sidecar
  // Records left out: outside the data area, unsafe names, the older of
  // two records of one name. The next save writes the directory without them.
  int32_t droppedrecords = 0;
  // Names of records left out as unsafe, for the caller to log; those files
  // count as absent.
  std::vector<std::string> unsafenames;
  // Files of a directory taken from the sidecar whose stored bytes no longer
  // matched their digest; the recomputed digest replaced the stored one.
  int32_t recovereddigests = 0;
  std::string loaderror;  // why reading the directory failed, if it did

 private:
  struct THeader {
    int32_t numUnused, sig, numRecord, ver;
    uint32_t attr;
    uint64_t saveid;
    uint32_t check;
    std::array<uint8_t, kPackHeaderSize> plain;
  };

  bool MountFile(const std::string& filename, bool readonly);
  void ResetState();
  void LoadDirectory();
  std::optional<THeader> ReadHeader(int32_t sectorsize);
  bool LoadFromSidecar(const TPackSidecar& sc, uint64_t diskid, uint32_t diskcheck);
  void RecomputeDigests();
  bool TailMatches(const TPackSidecar& sc);
  void ParseRecords(const uint8_t* block, int32_t unused, int32_t files);
  void SaveUnderHandshake();
  void WriteSidecar(const std::vector<uint8_t>& tail, uint64_t saveid);
  void RequireFile() const;
  void RequireWritable() const;
  void ExtractEntries(
      const std::vector<const std::pair<const std::string, std::unique_ptr<TPackFileRecord>>*>&
          entries,
      const std::string& dstfolder, unsigned permissions);
  TBytes DigestStored(const TPackFileRecord& r);

  // The handshake: BeginChange refuses while a save runs, BeginSave waits
  // for another save and for the change under way.
  bool BeginChange();
  void EndChange();
  void BeginSave();
  void EndSave();

  std::mutex flagsmutex_;  // guards the test-and-set pairs of ischanging/issaving
  std::condition_variable flagscv_;
  uint64_t headersaveid_ = 0;  // id the header on disk carries (0: none known)
  uint32_t headercheck_ = 0;   // and its check value
};

// The process's single pack object, made on first use (thread-safe).
TPackDirRecord& GetPackDir();

}  // namespace vantrel
