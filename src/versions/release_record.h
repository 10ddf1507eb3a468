// The signed release record ("release.version") that a publisher writes
// beside the three version files when it signs a release. One Ed25519
// signature binds the release's update version, its validity, the sizes and
// SHA-256 digests of "client.version", "build.version" and
// "launcher.version", and those of the launcher's transfer file. A launcher
// built with release keys uses a version file only once it matches a record
// signed by one of them. Plain values and pure functions; any thread.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "platform/stream.h"
#include "versions/update_utils.h"

namespace vantrel {

using TSha256 = std::array<uint8_t, 32>;
using TEd25519Signature = std::array<uint8_t, 64>;

// Name of the record on the download servers.
inline constexpr const char* kReleaseRecordName = "release.version";

// SHA-256 (FIPS 180-4) of bytes in memory, and of a stream from its
// position to its end (the stream is left at its end; raises its errors).
TSha256 GetBytesSHA256(std::span<const uint8_t> bytes);
TSha256 GetStreamSHA256(TStream& stream);

// The size and SHA-256 digest of a file's bytes.
struct TFileFingerprint {
  int64_t size = 0;
  TSha256 sha256{};

  bool operator==(const TFileFingerprint&) const = default;
};

TFileFingerprint FingerprintOf(std::span<const uint8_t> bytes);
// The whole file (opened for reading, others may read). Raises EFOpenError
// when it cannot be opened, EReadError when it cannot be read.
TFileFingerprint FingerprintOfFile(const std::string& path);

// "release.version", 284 bytes; docs/formats.md has the byte table.
struct TReleaseRecord {
  static constexpr int64_t kSize = 284;
  // Bytes 0 to 219: what the signature covers (everything but itself).
  static constexpr int64_t kSignedSize = 220;
  static constexpr std::array<uint8_t, 8> kMagic = {'V', 'R', 'E', 'L', 'R', 'E', 'C', '1'};

  int32_t updateversion = 0;
  int64_t signedat = 0;   // seconds since 1970-01-01 UTC
  int64_t expiresat = 0;  // seconds since 1970-01-01 UTC; not valid from then on
  TFileFingerprint clientversion;
  TFileFingerprint buildversion;
  TFileFingerprint launcherversion;
  TFileFingerprint launchertransfer;
  TSha256 keyid{};  // SHA-256 of the signing key's 32 raw public-key bytes
  TEd25519Signature signature{};

  // False (record unchanged) unless bytes holds exactly kSize bytes that
  // begin with the magic. The signature is not checked here.
  bool Parse(std::span<const uint8_t> bytes);
  // The whole stream from offset 0; false unless it is exactly kSize long.
  bool Parse(TStream& stream);
  // The kSignedSize bytes the signature covers.
  TBytes SignedPart() const;
  // All kSize bytes.
  TBytes Serialize() const;
};

}  // namespace vantrel
