#include "pack/pack_file_record.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "pack/pack_crypto.h"
#include "platform/locale.h"

namespace vantrel {

namespace {

// Plain layout of a record (before encryption).
constexpr size_t kMarginAt = 0;
constexpr size_t kDigestAt = 4;
constexpr size_t kReservedAt = 20;  // written as 0x80000000, skipped on reading
constexpr size_t kSizeAt = 24;
constexpr size_t kNameAt = 32;  // 261 bytes, then 3 zero bytes
constexpr size_t kUncompSizeAt = 296;
constexpr size_t kOffsetAt = 304;
constexpr size_t kCTimeAt = 312;
constexpr size_t kMTimeAt = 320;

template <typename T>
void Put(uint8_t* p, T v) {
  for (size_t i = 0; i < sizeof(T); ++i)
    p[i] = static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i));
}

template <typename T>
T Get(const uint8_t* p) {
  uint64_t v = 0;
  for (size_t i = 0; i < sizeof(T); ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
  return static_cast<T>(v);
}

}  // namespace

std::string TPackFileRecord::FixName(const std::string& filename) { return PackNameOf(filename); }

std::array<uint8_t, kPackRecordSize> TPackFileRecord::Encode() const {
  std::array<uint8_t, kPackRecordSize> plain{};
  Put<int32_t>(&plain[kMarginAt], margin);
  std::memcpy(&plain[kDigestAt], digest.data(), digest.size());
  Put<uint32_t>(&plain[kReservedAt], 0x80000000u);
  Put<int64_t>(&plain[kSizeAt], size);
  std::memcpy(&plain[kNameAt], fname.data(), fname.size());
  Put<int64_t>(&plain[kUncompSizeAt], uncompSize);
  Put<int64_t>(&plain[kOffsetAt], offset);
  Put<int64_t>(&plain[kCTimeAt], ctime);
  Put<int64_t>(&plain[kMTimeAt], mtime);
  const std::vector<uint8_t> enc = EncryptDirData(plain);
  std::array<uint8_t, kPackRecordSize> out{};
  std::copy(enc.begin(), enc.end(), out.begin());
  return out;
}

bool TPackFileRecord::Decode(const uint8_t* encrypted) {
  std::vector<uint8_t> plain;
  try {
    plain = DecryptDirData(std::span<const uint8_t>(encrypted, kPackRecordSize));
  } catch (const std::exception&) {
    return false;
  }
  margin = Get<int32_t>(&plain[kMarginAt]);
  std::memcpy(digest.data(), &plain[kDigestAt], digest.size());
  size = Get<int64_t>(&plain[kSizeAt]);
  std::memcpy(fname.data(), &plain[kNameAt], fname.size());
  fname.back() = '\0';  // a name without its NUL ends at 260 bytes
  uncompSize = Get<int64_t>(&plain[kUncompSizeAt]);
  offset = Get<int64_t>(&plain[kOffsetAt]);
  ctime = Get<int64_t>(&plain[kCTimeAt]);
  mtime = Get<int64_t>(&plain[kMTimeAt]);
  return true;
}

bool TPackFileRecord::Load(TStream& packfile) {
  std::array<uint8_t, kPackRecordSize> buf{};
  packfile.ReadBuffer(buf.data(), kPackRecordSize);
  return Decode(buf.data());
}

bool TPackFileRecord::Save(TStream& packfile) const {
  std::array<uint8_t, kPackRecordSize> buf{};
  try {
    buf = Encode();
  } catch (const std::exception&) {
    return false;
  }
  packfile.WriteBuffer(buf.data(), kPackRecordSize);
  return true;
}

std::string TPackFileRecord::Name() const { return std::string(fname.data()); }

void TPackFileRecord::SetName(const std::string& name) {
  size_t n = std::min(name.size(), kPackMaxNameLength);
  // Back off to the start of a UTF-8 character when the cut falls inside one.
  if (n < name.size()) {
    while (n > 0 && (static_cast<unsigned char>(name[n]) & 0xC0) == 0x80) --n;
  }
  fname.fill('\0');
  std::memcpy(fname.data(), name.data(), n);
}

bool IsSafePackPath(const std::string& name) {
  if (name.empty() || name.find('\0') != std::string::npos) return false;
  size_t start = 0;
  for (;;) {
    const size_t end = name.find_first_of("/\\", start);
    const std::string part = name.substr(start, end == std::string::npos ? end : end - start);
    if (part.empty() || part == "." || part == ".." || part.find(':') != std::string::npos) {
      return false;
    }
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

}  // namespace vantrel
