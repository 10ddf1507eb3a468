// Version list files built by hand, field by field, for tests and for the
// fuzz seed corpus. Independent of TUpdateList's own writer, so a test can
// check the reader against the layout itself and produce layouts the writer
// never writes (the raw-header form, layout 2's flags, the folder table).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vantrel::testing {

struct TRawEntry {
  std::string name;  // written as given: a whole key or a bare file name
  int64_t size = 0;
  std::vector<uint8_t> hash = std::vector<uint8_t>(16, 0xAB);
  bool compressed = true;  // layout 2 only
  // Check values as they appear in the file (4 bytes each). When empty and
  // the layout stores values, GetChunkCount(size) zero values are written.
  std::vector<uint8_t> crcbytes;
  int64_t posinfile = -1;   // layout 5 and later with foldersplit
  int64_t buildersize = 0;  // builder lists
  double builderdate = 0;
};

struct TRawFolder {  // folder table record of layout 4 with foldersplit
  std::string name;
  int64_t size = 0;
};

struct TRawList {
  int structversion = 5;
  int32_t updateversion = 1;
  int64_t fullunpakedsize = 0;
  bool compressall = true;
  std::string exclude;
  bool foldersplit = false;
  // Raw-header form: structversion, updateversion and fullunpakedsize
  // unpacked at offset 16, a zlib stream from offset 29. With structversion
  // 1 that stream holds the entries alone, otherwise a header first.
  bool rawheader = false;
  bool builder = false;
  std::vector<TRawFolder> folders;
  std::vector<TRawEntry> entries;
};

// The unpacked body: header (unless raw-header layout 1) and entries.
std::vector<uint8_t> BuildListBody(const TRawList& list);
// The whole file: digest, then the body in the list's form.
std::vector<uint8_t> BuildListFile(const TRawList& list);
// Rewrites bytes 0..15 as the MD5 of everything after them.
void FixListDigest(std::vector<uint8_t>& file);
// zlib stream of data at the default level.
std::vector<uint8_t> ZlibPack(const std::vector<uint8_t>& data);

}  // namespace vantrel::testing
