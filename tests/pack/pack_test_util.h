// Helpers of the pack tests: file contents, raw pack images, digests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pack/pack_dir_record.h"

namespace vantrel::testing {

// n bytes that depend on seed.
std::vector<uint8_t> PatternBytes(size_t n, uint32_t seed);
std::vector<uint8_t> MD5Of(const std::vector<uint8_t>& bytes);
// Adds bytes under name; asserts nothing, returns the add's result.
bool AddBytes(TPackDirRecord& dir, const std::string& name, const std::vector<uint8_t>& bytes);

struct TRawHeader {
  int32_t numUnused = 0;
  uint32_t attr = 0;
  int32_t sig = kPackMagic;
  int32_t numRecord = 0;
  int32_t ver = 0;
  std::vector<uint8_t> reserved = {};  // header bytes 20.. (up to 12), zero when empty
};
// A pack image: data, then the records (unused first) padded to S, then the
// header block, the way the format lays it out; filler is zero.
std::vector<uint8_t> BuildRawPack(int32_t s, const std::vector<uint8_t>& data,
                                  const std::vector<TPackFileRecord>& unused,
                                  const std::vector<TPackFileRecord>& files, TRawHeader header);
// The 32 plain header bytes of a pack image with sector size s.
std::vector<uint8_t> DecryptHeaderAt(const std::vector<uint8_t>& pack, int64_t at);
TPackFileRecord MakeRecord(const std::string& name, int64_t offset, int64_t size, int32_t margin);

}  // namespace vantrel::testing

namespace vantrel::testing {

// The bytes of version v of a file in the crash test: sizes from 0 to about
// 200 KB, mostly small.
std::vector<uint8_t> CrashContent(uint64_t version);

}  // namespace vantrel::testing
