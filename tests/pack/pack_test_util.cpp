#include "pack_test_util.h"

#include <algorithm>
#include <cstring>

#include "pack/pack_crypto.h"
#include "versions/update_utils.h"

namespace vantrel::testing {

std::vector<uint8_t> PatternBytes(size_t n, uint32_t seed) {
  std::vector<uint8_t> out(n);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    out[i] = static_cast<uint8_t>(x);
  }
  return out;
}

std::vector<uint8_t> MD5Of(const std::vector<uint8_t>& bytes) {
  TMemoryStream s(bytes);
  return GetStreamMD5(s);
}

bool AddBytes(TPackDirRecord& dir, const std::string& name, const std::vector<uint8_t>& bytes) {
  TMemoryStream s(bytes);
  return dir.AddReplaceFile(name, s);
}

std::vector<uint8_t> BuildRawPack(int32_t s, const std::vector<uint8_t>& data,
                                  const std::vector<TPackFileRecord>& unused,
                                  const std::vector<TPackFileRecord>& files, TRawHeader header) {
  std::vector<uint8_t> out = data;
  for (const auto* list : {&unused, &files}) {
    for (const TPackFileRecord& r : *list) {
      const auto enc = r.Encode();
      out.insert(out.end(), enc.begin(), enc.end());
    }
  }
  const size_t records = out.size() - data.size();
  out.resize(data.size() + static_cast<size_t>(PackRoundup(static_cast<int64_t>(records), s)), 0);
  std::vector<uint8_t> plain(32, 0);
  auto put = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) plain[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  put(0, static_cast<uint32_t>(header.numUnused));
  put(4, header.attr);
  put(8, static_cast<uint32_t>(header.sig));
  put(12, static_cast<uint32_t>(header.numRecord));
  put(16, static_cast<uint32_t>(header.ver));
  std::copy_n(header.reserved.begin(), std::min<size_t>(header.reserved.size(), 12),
              plain.begin() + 20);
  const std::vector<uint8_t> enc = EncryptDirData(plain);
  out.insert(out.end(), enc.begin(), enc.end());
  out.resize(out.size() + static_cast<size_t>(PackRoundup(32, s) - 32), 0);
  return out;
}

std::vector<uint8_t> DecryptHeaderAt(const std::vector<uint8_t>& pack, int64_t at) {
  return DecryptDirData(std::span<const uint8_t>(pack.data() + at, 32));
}

TPackFileRecord MakeRecord(const std::string& name, int64_t offset, int64_t size, int32_t margin) {
  TPackFileRecord r;
  r.SetName(name);
  r.offset = offset;
  r.size = r.uncompSize = size;
  r.margin = margin;
  return r;
}

}  // namespace vantrel::testing

namespace vantrel::testing {

std::vector<uint8_t> CrashContent(uint64_t version) {
  const uint64_t h = version * 0x9E3779B97F4A7C15ull;
  const size_t size = (h >> 60) < 3 ? static_cast<size_t>((h >> 20) % 200000)
                                    : static_cast<size_t>((h >> 20) % 20000);
  return PatternBytes(size, static_cast<uint32_t>(h >> 32));
}

}  // namespace vantrel::testing
