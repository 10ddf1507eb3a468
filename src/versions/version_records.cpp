#include "versions/version_records.h"

#include <algorithm>
#include <cstring>

namespace vantrel {

namespace {

void PutI32(uint8_t* p, int32_t v) {
  const auto u = static_cast<uint32_t>(v);
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(u >> (8 * i));
}

int32_t GetI32(const uint8_t* p) {
  return static_cast<int32_t>(uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 |
                              uint32_t{p[3]} << 24);
}

TDigest DigestOf(const uint8_t* p, size_t n) {
  TMemoryStream m(TBytes(p, p + n));
  const TBytes md5 = GetStreamMD5(m);
  TDigest d{};
  std::copy_n(md5.begin(), 16, d.begin());
  return d;
}

// A stream read whole, but only when it has exactly the wanted length.
bool ReadExact(TStream& stream, int64_t size, TBytes& out) {
  if (stream.Size() != size) return false;
  out.assign(static_cast<size_t>(size), 0);
  stream.SetPosition(0);
  stream.ReadBuffer(out.data(), size);
  return true;
}

}  // namespace

bool TLauncherVersionRecord::Parse(std::span<const uint8_t> bytes) {
  if (static_cast<int64_t>(bytes.size()) != kSize) return false;
  std::copy_n(bytes.begin(), 16, digest.begin());
  launchersize = GetI32(bytes.data() + 16);
  std::copy_n(bytes.begin() + 20, 16, launcherhash.begin());
  return true;
}

bool TLauncherVersionRecord::Parse(TStream& stream) {
  TBytes b;
  return ReadExact(stream, kSize, b) && Parse(b);
}

TBytes TLauncherVersionRecord::Serialize() const {
  TBytes b(kSize, 0);
  PutI32(b.data() + 16, launchersize);
  std::copy(launcherhash.begin(), launcherhash.end(), b.begin() + 20);
  const TDigest d = DigestOf(b.data() + 16, kSize - 16);
  std::copy(d.begin(), d.end(), b.begin());
  return b;
}

bool TLauncherVersionRecord::IsDigestValid() const {
  const TBytes b = Serialize();
  return std::equal(digest.begin(), digest.end(), b.begin());
}

bool TBuildVersionRecord::Parse(std::span<const uint8_t> bytes) {
  if (static_cast<int64_t>(bytes.size()) != kSize) return false;
  std::copy_n(bytes.begin(), 16, digest.begin());
  updateversion = GetI32(bytes.data() + 16);
  clientversiondownsize = GetI32(bytes.data() + 20);
  return true;
}

bool TBuildVersionRecord::Parse(TStream& stream) {
  TBytes b;
  return ReadExact(stream, kSize, b) && Parse(b);
}

TBytes TBuildVersionRecord::Serialize() const {
  TBytes b(kSize, 0);
  PutI32(b.data() + 16, updateversion);
  PutI32(b.data() + 20, clientversiondownsize);
  const TDigest d = DigestOf(b.data() + 16, kSize - 16);
  std::copy(d.begin(), d.end(), b.begin());
  return b;
}

bool TBuildVersionRecord::IsDigestValid() const {
  const TBytes b = Serialize();
  return std::equal(digest.begin(), digest.end(), b.begin());
}

}  // namespace vantrel
