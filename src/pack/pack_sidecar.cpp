#include "pack/pack_sidecar.h"

#include <openssl/evp.h>
#include <zlib.h>

#include <cstring>

namespace vantrel {

namespace {

constexpr char kSidecarMagic[8] = {'V', 'P', 'A', 'K', 'D', 'I', 'R', '1'};
constexpr size_t kFixedPart = 8 + 4 + 4 + 8 + 8 + 8 + 8;  // up to the tail
constexpr size_t kDigestSize = 16;

void PutLE(std::vector<uint8_t>& out, uint64_t v, int width) {
  for (int i = 0; i < width; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

uint64_t GetLE(const uint8_t* p, int width) {
  uint64_t v = 0;
  for (int i = 0; i < width; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
  return v;
}

bool MD5Of(const uint8_t* data, size_t n, uint8_t* out) {
  unsigned int len = 0;
  return EVP_Digest(data, n, out, &len, EVP_md5(), nullptr) == 1 && len == kDigestSize;
}

}  // namespace

uint32_t PackDirCheck(std::span<const uint8_t> header28, std::span<const uint8_t> records) {
  uLong crc = crc32(0L, Z_NULL, 0);
  // zlib reads a null buffer as "start again": empty spans are skipped.
  if (!header28.empty()) crc = crc32_z(crc, header28.data(), header28.size());
  if (!records.empty()) crc = crc32_z(crc, records.data(), records.size());
  return static_cast<uint32_t>(crc);
}

std::vector<uint8_t> EncodePackSidecar(const TPackSidecar& sidecar) {
  std::vector<uint8_t> out(kSidecarMagic, kSidecarMagic + sizeof kSidecarMagic);
  out.reserve(kFixedPart + sidecar.tail.size() + kDigestSize);
  PutLE(out, static_cast<uint32_t>(sidecar.sectorsize), 4);
  PutLE(out, sidecar.prevcheck, 4);
  PutLE(out, static_cast<uint64_t>(sidecar.endofdata), 8);
  PutLE(out, sidecar.saveid, 8);
  PutLE(out, sidecar.prevsaveid, 8);
  PutLE(out, sidecar.tail.size(), 8);
  out.insert(out.end(), sidecar.tail.begin(), sidecar.tail.end());
  uint8_t digest[kDigestSize];
  MD5Of(out.data(), out.size(), digest);
  out.insert(out.end(), digest, digest + kDigestSize);
  return out;
}

std::optional<TPackSidecar> DecodePackSidecar(std::span<const uint8_t> bytes) {
  if (bytes.size() < kFixedPart + kDigestSize) return std::nullopt;
  if (std::memcmp(bytes.data(), kSidecarMagic, sizeof kSidecarMagic) != 0) return std::nullopt;
  const uint8_t* p = bytes.data();
  const uint64_t taillen = GetLE(p + 40, 8);
  if (taillen != bytes.size() - kFixedPart - kDigestSize) return std::nullopt;
  uint8_t digest[kDigestSize];
  if (!MD5Of(p, bytes.size() - kDigestSize, digest) ||
      std::memcmp(digest, p + bytes.size() - kDigestSize, kDigestSize) != 0) {
    return std::nullopt;
  }
  TPackSidecar sc;
  sc.sectorsize = static_cast<int32_t>(GetLE(p + 8, 4));
  sc.prevcheck = static_cast<uint32_t>(GetLE(p + 12, 4));
  sc.endofdata = static_cast<int64_t>(GetLE(p + 16, 8));
  sc.saveid = GetLE(p + 24, 8);
  sc.prevsaveid = GetLE(p + 32, 8);
  if (sc.sectorsize <= 0 || sc.sectorsize > (1 << 20) || sc.endofdata < 0) return std::nullopt;
  sc.tail.assign(p + kFixedPart, p + kFixedPart + taillen);
  return sc;
}

}  // namespace vantrel
