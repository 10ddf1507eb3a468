#include "versions/release_record.h"

#include <openssl/evp.h>

#include <algorithm>
#include <memory>

#include "platform/errors.h"

namespace vantrel {

namespace {

constexpr int64_t kHashBlock = 64 * 1024;

struct TEvpMdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using TEvpMdCtx = std::unique_ptr<EVP_MD_CTX, TEvpMdCtxFree>;

TEvpMdCtx NewSha256() {
  TEvpMdCtx ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) {
    throw EVantrelError("SHA-256 is not available");
  }
  return ctx;
}

TSha256 FinishSha256(EVP_MD_CTX* ctx) {
  TSha256 digest{};
  unsigned int len = 0;
  if (EVP_DigestFinal_ex(ctx, digest.data(), &len) != 1 || len != digest.size()) {
    throw EVantrelError("SHA-256 failed");
  }
  return digest;
}

void PutU64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint64_t GetU64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// Field offsets (docs/formats.md, "release.version").
constexpr size_t kOffVersion = 8;
constexpr size_t kOffSignedAt = 12;
constexpr size_t kOffExpiresAt = 20;
constexpr size_t kOffFiles = 28;  // four fingerprints of 40 bytes each
constexpr size_t kFingerprintSize = 40;
constexpr size_t kOffKeyId = 188;
constexpr size_t kOffSignature = 220;
static_assert(kOffFiles + 4 * kFingerprintSize == kOffKeyId);
static_assert(kOffKeyId + 32 == kOffSignature);
static_assert(kOffSignature == TReleaseRecord::kSignedSize);
static_assert(kOffSignature + 64 == TReleaseRecord::kSize);

void PutFingerprint(uint8_t* p, const TFileFingerprint& f) {
  PutU64(p, static_cast<uint64_t>(f.size));
  std::copy(f.sha256.begin(), f.sha256.end(), p + 8);
}

TFileFingerprint GetFingerprint(const uint8_t* p) {
  TFileFingerprint f;
  f.size = static_cast<int64_t>(GetU64(p));
  std::copy_n(p + 8, f.sha256.size(), f.sha256.begin());
  return f;
}

}  // namespace

TSha256 GetBytesSHA256(std::span<const uint8_t> bytes) {
  TEvpMdCtx ctx = NewSha256();
  if (EVP_DigestUpdate(ctx.get(), bytes.data(), bytes.size()) != 1) {
    throw EVantrelError("SHA-256 failed");
  }
  return FinishSha256(ctx.get());
}

TSha256 GetStreamSHA256(TStream& stream) {
  TEvpMdCtx ctx = NewSha256();
  std::vector<uint8_t> buf(kHashBlock);
  for (;;) {
    const int64_t n = stream.Read(buf.data(), kHashBlock);
    if (n <= 0) break;
    if (EVP_DigestUpdate(ctx.get(), buf.data(), static_cast<size_t>(n)) != 1) {
      throw EVantrelError("SHA-256 failed");
    }
  }
  return FinishSha256(ctx.get());
}

TFileFingerprint FingerprintOf(std::span<const uint8_t> bytes) {
  return {static_cast<int64_t>(bytes.size()), GetBytesSHA256(bytes)};
}

TFileFingerprint FingerprintOfFile(const std::string& path) {
  TFileStream f(path, TFileMode::OpenRead, TFileShare::DenyNone);
  TFileFingerprint fp;
  fp.sha256 = GetStreamSHA256(f);
  fp.size = f.Position();
  return fp;
}

bool TReleaseRecord::Parse(std::span<const uint8_t> bytes) {
  if (static_cast<int64_t>(bytes.size()) != kSize) return false;
  if (!std::equal(kMagic.begin(), kMagic.end(), bytes.begin())) return false;
  const uint8_t* p = bytes.data();
  updateversion =
      static_cast<int32_t>(uint32_t{p[kOffVersion]} | uint32_t{p[kOffVersion + 1]} << 8 |
                           uint32_t{p[kOffVersion + 2]} << 16 | uint32_t{p[kOffVersion + 3]} << 24);
  signedat = static_cast<int64_t>(GetU64(p + kOffSignedAt));
  expiresat = static_cast<int64_t>(GetU64(p + kOffExpiresAt));
  clientversion = GetFingerprint(p + kOffFiles);
  buildversion = GetFingerprint(p + kOffFiles + kFingerprintSize);
  launcherversion = GetFingerprint(p + kOffFiles + 2 * kFingerprintSize);
  launchertransfer = GetFingerprint(p + kOffFiles + 3 * kFingerprintSize);
  std::copy_n(p + kOffKeyId, keyid.size(), keyid.begin());
  std::copy_n(p + kOffSignature, signature.size(), signature.begin());
  return true;
}

bool TReleaseRecord::Parse(TStream& stream) {
  if (stream.Size() != kSize) return false;
  TBytes b(static_cast<size_t>(kSize));
  stream.SetPosition(0);
  stream.ReadBuffer(b.data(), kSize);
  return Parse(b);
}

TBytes TReleaseRecord::Serialize() const {
  TBytes b(static_cast<size_t>(kSize), 0);
  uint8_t* p = b.data();
  std::copy(kMagic.begin(), kMagic.end(), p);
  const auto v = static_cast<uint32_t>(updateversion);
  for (int i = 0; i < 4; ++i) p[kOffVersion + i] = static_cast<uint8_t>(v >> (8 * i));
  PutU64(p + kOffSignedAt, static_cast<uint64_t>(signedat));
  PutU64(p + kOffExpiresAt, static_cast<uint64_t>(expiresat));
  PutFingerprint(p + kOffFiles, clientversion);
  PutFingerprint(p + kOffFiles + kFingerprintSize, buildversion);
  PutFingerprint(p + kOffFiles + 2 * kFingerprintSize, launcherversion);
  PutFingerprint(p + kOffFiles + 3 * kFingerprintSize, launchertransfer);
  std::copy(keyid.begin(), keyid.end(), p + kOffKeyId);
  std::copy(signature.begin(), signature.end(), p + kOffSignature);
  return b;
}

TBytes TReleaseRecord::SignedPart() const {
  TBytes b = Serialize();
  b.resize(static_cast<size_t>(kSignedSize));
  return b;
}

}  // namespace vantrel
