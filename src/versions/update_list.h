// Version lists: one build of the game client, file by file. "client.version"
// on the download servers is the published build, the copy in the game
// folder describes the installed client. A list has no lock: the thread
// that loads it fills it, afterwards it is only read.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/stream.h"
#include "versions/update_utils.h"

namespace vantrel {

// One file of a build.
struct TUpdateFile {
  int64_t size = 0;                  // bytes of the transfer form on the servers
  TBytes hash;                       // MD5 of the installed file (16 bytes)
  int64_t buildersize = 0;           // builder lists only
  double builderdate = 0;            // builder lists only (days since 1899-12-30)
  bool compressed = true;            // transfer form is a zlib stream (".u" on the client)
  std::vector<uint32_t> chunkcrc32;  // one check value per chunk; 0 = no check
  int32_t chunksize = 0;             // GetChunkSize(size), set on load
  int32_t chunkcount = 0;            // GetChunkCount(size), set on load
  int64_t posinfile = -1;            // offset in the folder's combined transfer file; -1 = own file
};

// Entries by key ("\" + path relative to the game folder, "\" separators).
// Keys compare exactly, case included. The list owns its entries.
using TUpdateFileMap = std::map<std::string, std::unique_ptr<TUpdateFile>>;
// Entries handed to the download manager: plain references into a list that
// outlives the use.
using TUpdateFileRefs = std::map<std::string, const TUpdateFile*>;

class TUpdateList {
 public:
  int32_t structversion = 0;  // layout version (one byte in the file)
  int32_t updateversion = 0;  // build number; -1 after loading a missing file
  int64_t fullunpakedsize = 0;
  bool compressall = true;
  bool foldersplit = false;
  std::string exclude;  // ";"-separated key suffixes that invert compressall
  TUpdateFileMap filelist;

  // Adds an entry; raises EVantrelError "Duplicates not allowed" when the key
  // is present already (the list is then unchanged).
  void AddFile(const std::string& key, std::unique_ptr<TUpdateFile> file);

  // Reads a list occupying the stream from offset 0 to its end. False when
  // the stored digest does not match (the list is unchanged); false with
  // nothing of the list kept (a list error) when a key is unsafe to join to
  // a folder, when its pack name is longer than kPackMaxNameLength or when
  // its transfer form is larger than the pack can hold (kPackMaxFileSize,
  // plus zlib's overhead when compressed); false when the build number is
  // not above 0.
  bool LoadFromStream(TStream& stream, bool isbuilder = false);
  // False and updateversion -1 when the file does not exist; raises the
  // opening error of a file that exists but cannot be opened.
  bool LoadFromFile(const std::string& filename, bool isbuilder = false);
  // Writes the whole-body form in the layout of structversion: the header
  // fields, names, check values and positions that layout stores, so that
  // the file reads back as it was. Raises file and stream errors, and
  // EVantrelError for an entry without a 16-byte hash or with a number of
  // check values other than GetChunkCount(size).
  void SaveToFile(const std::string& filename, bool isbuilder = false) const;
  // The same bytes in memory.
  TBytes SaveToBytes(bool isbuilder = false) const;

  // Whether a key may be joined to the game folder or the download folder:
  // it begins with "\", and has no empty, "." or ".." component, no "/",
  // no NUL byte, no drive or device form.
  static bool IsSafeKey(const std::string& key);
};

// The items of an exclude text: split at ";", an item that begins with a
// double quote is quoted text (a doubled quote stands for one, ";" inside
// belongs to it). An empty text has no items; an empty item matches every
// key.
std::vector<std::string> SplitExclude(const std::string& exclude);
// The compression rule of layout 3 and later: a key matches when it ends
// with one of the items (case-sensitive); compressed when compressall and
// no match, or not compressall and a match.
bool IsCompressedByRule(const std::string& key, bool compressall,
                        const std::vector<std::string>& excludeitems);

}  // namespace vantrel
